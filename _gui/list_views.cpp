#include "_gui/list_views.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QHeaderView>
#include <QListWidget>
#include <QPainter>
#include <QTreeWidget>
#include <cstring>

namespace {

constexpr int L = Qt::AlignLeft | Qt::AlignVCenter;
constexpr int C = Qt::AlignHCenter | Qt::AlignVCenter;
constexpr int R = Qt::AlignRight | Qt::AlignVCenter;

const ListColumn kLeaseColumns[] = {{"allocated at", 150, L}, {"IP", 130, L}, {"MAC", 200, L}, {"renewed at", 150, L}};
const ListColumn kDhcpColumns[] = {
    {"client IP", 130, L}, {"client MAC", 200, L}, {"siaddr", 130, L}, {"file", 122, L}, {"time", 140, L}};
const ListColumn kBinlColumns[] = {{"peer", 110, L}, {"event", 55, L}, {"payload", 360, L}, {"time", 140, L}};
const ListColumn kTransferColumns[] = {{"peer", 170, L},  {"file", 170, L},  {"start time", 80, L},
                                       {"progress", 60, C}, {"bytes", 80, R}, {"total", 80, R},
                                       {"timeouts", 80, R}};
const ListColumn kSyslogColumns[] = {{"text", 250, L}, {"from", 120, L}, {"date", 180, L}};
const ListColumn kDnsColumns[] = {{"hostname", 150, L}, {"ipv4", 150, L}, {"ipv6", 150, L}};
const ListColumn kRequestColumns[] = {{"peer", 110, L}, {"status", 150, L}, {"resource", 200, L}, {"time", 185, L}};
const ListColumn kSntpColumns[] = {{"peer", 110, L}, {"time", 200, L}};

constexpr int kCellCopyMax = 1499;

QString Clock(const char* format, int64_t ms, bool withDayFirst)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    const QDate d = t.date();
    const QTime h = t.time();
    char buf[64];
    std::snprintf(buf, sizeof buf, format, withDayFirst ? d.day() : d.month(), withDayFirst ? d.month() : d.day(),
                  h.hour(), h.minute(), h.second(), h.msec());
    return QString::fromLatin1(buf);
}

}  // namespace

const ListSpec kListSpecs[9] = {
    {1156, kTransferColumns, 7, 100, 7, 139, 140, 141},
    {1199, kLeaseColumns, 4, 103, 4, 137, 138, 0},
    {1086, kDhcpColumns, 5, 114, 4, 116, 118, 120},
    {1029, kBinlColumns, 4, 113, 4, 142, 143, 145},
    {1157, kSyslogColumns, 3, 107, 3, 126, 128, 130},
    {1161, kDnsColumns, 3, 112, 3, 131, 132, 133},
    {1216, kRequestColumns, 4, 115, 4, 119, 122, 124},
    {1218, kRequestColumns, 4, 116, 4, 121, 123, 125},
    {1047, kSntpColumns, 2, 117, 2, 134, 135, 136},
};

const ListSpec* FindListSpec(int control)
{
    for (const ListSpec& s : kListSpecs)
        if (s.control == control)
            return &s;
    return nullptr;
}

void ListRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const auto* view = qobject_cast<const QAbstractItemView*>(opt.widget);
    const bool selected = (opt.state & QStyle::State_Selected) != 0;
    const bool focused = view && view->currentIndex().row() == index.row() && view->hasFocus();
    painter->save();
    QRect cell = opt.rect;
    QColor text = Qt::black;
    if (selected) {
        QRect fill = cell;
        if (index.column() == 0)
            fill.adjust(2, 0, 0, 0);
        painter->fillRect(fill, focused ? QColor(0x33, 0x33, 0xFF) : QColor(0x33, 0x99, 0xFF));
        text = Qt::white;
    } else {
        painter->fillRect(cell, index.row() % 2 ? QColor(0xE2, 0xED, 0xFC) : QColor(Qt::white));
    }
    const int inset = index.column() == 0 ? 2 : 6;
    cell.adjust(inset, 0, -inset, 0);
    const int align = index.data(Qt::TextAlignmentRole).isValid() ? index.data(Qt::TextAlignmentRole).toInt()
                                                                   : int(Qt::AlignLeft | Qt::AlignVCenter);
    painter->setPen(text);
    painter->setFont(opt.font);
    const QString shown = opt.fontMetrics.elidedText(opt.text.left(2047), Qt::ElideRight, cell.width());
    painter->drawText(cell, align, shown);
    painter->restore();
}

void ListViewInitColumns(QTreeWidget* list, const ListSpec& spec)
{
    list->setColumnCount(spec.columnCount);
    QStringList titles;
    for (int i = 0; i < spec.columnCount; ++i)
        titles << spec.columns[i].title;
    list->setHeaderLabels(titles);
    for (int i = 0; i < spec.columnCount; ++i) {
        list->setColumnWidth(i, spec.columns[i].width);
        list->headerItem()->setTextAlignment(i, Qt::Alignment(spec.columns[i].align));
    }
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setAllColumnsShowFocus(true);
    list->setMouseTracking(false);
    list->setItemDelegate(new ListRowDelegate(list));
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->header()->setStretchLastSection(false);
}

void TrimListRows(QTreeWidget* list, int keep)
{
    while (list->topLevelItemCount() > keep)
        delete list->takeTopLevelItem(0);
}

void AppendListRow(QTreeWidget* list, const QStringList& cells)
{
    auto* item = new QTreeWidgetItem(cells);
    const ListSpec* spec = FindListSpec(list->objectName().mid(3).toInt());
    for (int i = 0; spec && i < spec->columnCount && i < cells.size(); ++i)
        item->setTextAlignment(i, Qt::Alignment(spec->columns[i].align));
    list->addTopLevelItem(item);
    list->scrollToItem(item);
}

QString ListboxText(const QListWidget* list, bool selectedOnly)
{
    QString text;
    int taken = 0;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* item = list->item(i);
        if (selectedOnly && !item->isSelected())
            continue;
        if (selectedOnly && ++taken > 1200)
            break;
        text += item->text() + "\r\n";
    }
    return text;
}

QString ListViewText(const QTreeWidget* list, int columns, bool selectedOnly)
{
    QString text;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list->topLevelItem(i);
        if (selectedOnly && !item->isSelected())
            continue;
        for (int c = 0; c < columns; ++c)
            text += item->text(c).left(kCellCopyMax) + '\t';
        text += "\r\n";
    }
    return text;
}

void SetClipboardText(const QString& text)
{
    if (QClipboard* clipboard = QApplication::clipboard())
        clipboard->setText(text);
}

QString RecordField(const uint8_t* payload, size_t length, size_t offset, size_t size)
{
    if (offset >= length)
        return QString();
    const size_t n = std::min(size, length - offset);
    const char* text = reinterpret_cast<const char*>(payload + offset);
    return QString::fromLocal8Bit(text, static_cast<qsizetype>(strnlen(text, n)));
}

QString EventTimeText(int64_t ms) { return Clock(" [%02d/%02d %02d:%02d:%02d.%03d]", ms, true); }

QString SyslogDateText(int64_t ms) { return Clock("%02d/%02d %02d:%02d:%02d.%03d", ms, true); }

QString LeaseTimeText(int64_t seconds)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm {};
    if (localtime_r(&t, &tm) == nullptr)
        return QString();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d %02d:%02d:%02d", tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                  tm.tm_sec);
    return QString::fromLatin1(buf);
}
