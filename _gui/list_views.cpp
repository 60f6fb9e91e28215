#include "_gui/list_views.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QHeaderView>
#include <QHelpEvent>
#include <QListWidget>
#include <QPainter>
#include <QTextOption>
#include <QToolTip>
#include <QTreeWidget>
#include <QtMath>
#include <cstring>

#include "_gui/control_ids.h"

namespace {

constexpr int L = Qt::AlignLeft | Qt::AlignVCenter;
constexpr int C = Qt::AlignHCenter | Qt::AlignVCenter;
constexpr int R = Qt::AlignRight | Qt::AlignVCenter;

const ListColumn kLeaseColumns[] = {{"allocated at", 150, L}, {"IP", 130, L}, {"MAC", 200, L}, {"renewed at", 150, L}};
const ListColumn kDhcpColumns[] = {
    {"client IP", 130, L}, {"client MAC", 200, L}, {"siaddr", 130, L}, {"file", 122, L}, {"time", 140, L}};
const ListColumn kBinlColumns[] = {{"peer", 110, L}, {"event", 55, L}, {"payload", 360, L}, {"time", 140, L}};
const ListColumn kTransferColumns[] = {{"peer", 170, L}, {"file", 170, L}, {"start time", 80, L}, {"progress", 60, C},
                                       {"bytes", 80, R}, {"total", 80, R}, {"timeouts", 80, R}};
const ListColumn kSyslogColumns[] = {{"text", 250, L}, {"from", 120, L}, {"date", 180, L}};
const ListColumn kDnsColumns[] = {{"hostname", 150, L}, {"ipv4", 150, L}, {"ipv6", 150, L}};
const ListColumn kRequestColumns[] = {{"peer", 110, L}, {"status", 150, L}, {"resource", 200, L}, {"time", 185, L}};
const ListColumn kSntpColumns[] = {{"peer", 110, L}, {"time", 200, L}};

constexpr int kCellCopyMax = 1499;
// Texts measured or laid out before the caches start over.
constexpr int kTextCacheMax = 4096;

// Shows the whole text at the pointer when it is cut short, hides the tip otherwise.
bool ShowCutText(QHelpEvent* event, QAbstractItemView* view, const QString& text, bool cut)
{
    if (event->type() != QEvent::ToolTip)
        return false;
    if (cut && !text.isEmpty())
        QToolTip::showText(event->globalPos(), text, view);
    else
        QToolTip::hideText();
    return true;
}

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

constexpr ListSpec kListSpecs[9] = {
    {CTL_MAIN_TRANSFER_LIST, kTransferColumns, 7, 100, 7, 139, 140, 141},
    {CTL_MAIN_LEASE_LIST, kLeaseColumns, 4, 103, 4, 137, 138, 0},
    {CTL_MAIN_DHCP_EVENT_LIST, kDhcpColumns, 5, 114, 4, 116, 118, 120},
    {CTL_MAIN_BINL_LIST, kBinlColumns, 4, 113, 4, 142, 143, 145},
    {CTL_MAIN_SYSLOG_LIST, kSyslogColumns, 3, 107, 3, 126, 128, 130},
    {CTL_MAIN_DNS_LIST, kDnsColumns, 3, 112, 3, 131, 132, 133},
    {CTL_MAIN_FTP_LIST, kRequestColumns, 4, 115, 4, 119, 122, 124},
    {CTL_MAIN_HTTP_LIST, kRequestColumns, 4, 116, 4, 121, 123, 125},
    {CTL_MAIN_SNTP_LIST, kSntpColumns, 2, 117, 2, 134, 135, 136},
};
static_assert(ControlIdsUnique(kListSpecs, &ListSpec::control));

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
    cell = TextRect(cell, index.column());
    const int align = index.data(Qt::TextAlignmentRole).isValid() ? index.data(Qt::TextAlignmentRole).toInt()
                                                                  : int(Qt::AlignLeft | Qt::AlignVCenter);
    painter->setPen(text);
    painter->setFont(opt.font);
    const QString whole = opt.text.left(2047);
    if (TextWidth(opt.font, whole) <= cell.width())
        painter->drawText(cell, align, whole);
    else
        painter->drawText(cell, align, opt.fontMetrics.elidedText(whole, Qt::ElideRight, cell.width()));
    painter->restore();
}

QRect ListRowDelegate::TextRect(const QRect& cell, int column)
{
    const int inset = column == 0 ? 2 : 6;
    return cell.adjusted(inset, 0, -inset, 0);
}

int ListRowDelegate::TextWidth(const QFont& font, const QString& text) const
{
    if (widthsFont_ != font || widths_.size() > kTextCacheMax) {
        widths_.clear();
        widthsFont_ = font;
    }
    auto it = widths_.constFind(text);
    if (it != widths_.constEnd())
        return *it;
    const int w = QFontMetrics(font).horizontalAdvance(text);
    widths_.insert(text, w);
    return w;
}

bool ListRowDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                const QModelIndex& index)
{
    if (!event || !view || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    return ShowCutText(event, view, text,
                       TextWidth(option.font, text.left(2047)) > TextRect(option.rect, index.column()).width());
}

LogLineDelegate::LogLineDelegate(int tabStop, QObject* parent) : QStyledItemDelegate(parent), tabStop_(qMax(1, tabStop))
{
}

QStaticText& LogLineDelegate::Layout(const QFont& font, const QString& text) const
{
    if (layoutsFont_ != font || layouts_.size() > kTextCacheMax) {
        layouts_.clear();
        layoutsFont_ = font;
    }
    auto it = layouts_.find(text);
    if (it != layouts_.end())
        return *it;
    QStaticText layout(text);
    QTextOption option(Qt::AlignLeft);
    option.setWrapMode(QTextOption::NoWrap);
    option.setTabStopDistance(tabStop_);
    layout.setTextOption(option);
    layout.setTextFormat(Qt::PlainText);
    layout.prepare(QTransform(), font);
    return *layouts_.insert(text, layout);
}

int LogLineDelegate::LineWidth(const QFont& font, const QString& text) const
{
    return qCeil(Layout(font, text).size().width());
}

void LogLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, opt.widget);
    const QPalette::ColorGroup group = opt.state & QStyle::State_Enabled ? QPalette::Normal : QPalette::Disabled;
    painter->save();
    painter->setFont(opt.font);
    painter->setPen(
        opt.palette.color(group, opt.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setClipRect(area, Qt::IntersectClip);
    const QStaticText& layout = Layout(opt.font, text);
    const int top = area.top() + (area.height() - qCeil(layout.size().height())) / 2;
    painter->drawStaticText(QPoint(area.left() + kMargin, top), layout);
    painter->restore();
}

QSize LogLineDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    return QSize(LineWidth(opt.font, opt.text) + 3 * kMargin, QStyledItemDelegate::sizeHint(option, index).height());
}

bool LogLineDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                                const QModelIndex& index)
{
    if (!event || !view || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString text = index.data(Qt::DisplayRole).toString();
    const int right = option.rect.left() + kMargin + LineWidth(option.font, text);
    return ShowCutText(event, view, text, option.rect.left() < 0 || right > view->viewport()->width());
}

void ListViewInitColumns(QTreeWidget* list, const ListSpec& spec)
{
    list->setColumnCount(spec.columnCount);
    QStringList titles;
    for (int i = 0; i < spec.columnCount; ++i)
        titles << spec.columns[i].title;
    list->setHeaderLabels(titles);
    // A column of numbers (right-aligned) is wide enough for the largest 64-bit size.
    const int numberWidth = list->fontMetrics().horizontalAdvance(QStringLiteral("18446744073709551615")) + 2 * 6 + 2;
    for (int i = 0; i < spec.columnCount; ++i) {
        const bool number = (spec.columns[i].align & Qt::AlignRight) != 0;
        list->setColumnWidth(i, number ? qMax(spec.columns[i].width, numberWidth) : spec.columns[i].width);
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
    if (spec.control == CTL_MAIN_SYSLOG_LIST) {
        // The message is shown last and takes the free width; copies keep the cell order.
        list->header()->moveSection(0, spec.columnCount - 1);
        list->header()->setStretchLastSection(true);
    }
}

void TrimListRows(QTreeWidget* list, int keep)
{
    if (list->topLevelItemCount() > keep)
        list->model()->removeRows(0, list->topLevelItemCount() - keep);
}

void AppendListRow(QTreeWidget* list, const QStringList& cells, bool show)
{
    auto* item = new QTreeWidgetItem(cells);
    const ListSpec* spec = FindListSpec(list->objectName().mid(3).toInt());
    for (int i = 0; spec && i < spec->columnCount && i < cells.size(); ++i)
        item->setTextAlignment(i, Qt::Alignment(spec->columns[i].align));
    list->addTopLevelItem(item);
    if (show)
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
