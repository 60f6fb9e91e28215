#include "_gui/transfer_list.h"

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <arpa/inet.h>
#include <cstring>
#include <ctime>

#include "_gui/console_client.h"
#include "_gui/control_ids.h"
#include "_gui/list_views.h"
#include "_gui/main_window.h"
#include "libs/log/log.h"
#include "libs/platform/sockets.h"
#include "libs/regex/regex_engine.h"

namespace {

constexpr int kColPeer = 0, kColFile = 1, kColStart = 2, kColProgress = 3, kColBytes = 4, kColTotal = 5,
              kColTimeouts = 6;
constexpr int kRowsKeptBeforeAdd = 490;
constexpr int kCmdStopTransfer = 105;

QString Dotted(uint32_t addrBE) { return QString::fromStdString(IPv4Text(addrBE)); }

uint32_t ItemNumber(const QTreeWidgetItem* item) { return item ? item->data(0, Qt::UserRole).toUInt() : 0; }

}  // namespace

std::string TransferProgressText(const TransferStats& s)
{
    switch (s.state) {
    case TRANSFER_RUNNING:
        if (s.totalSize > 100) {
            // Sizes are unsigned and may pass 2 GiB: the ratio is taken in 64 bits.
            const uint64_t percent = std::min<uint64_t>(100, uint64_t{s.bytesDone} * 100 / s.totalSize);
            return std::to_string(percent) + "%";
        }
        return "N/A";
    case TRANSFER_DONE: return "100%";
    case TRANSFER_STOPPED: return "STPD";
    case TRANSFER_FAILED: return "ERR";
    default: return "N/A";
    }
}

std::string TransferTotalText(const TransferStats& s)
{
    return s.totalSize == 0 ? std::string("unknown") : std::to_string(s.totalSize);
}

bool CanStopProgress(const std::string& progress) { return RegexMatchWhole(progress.c_str(), "^\\d{1,2}%$"); }

QPoint GaugePosition(int index, const QRect& frame, const QSize& client, const QSize& gauge)
{
    const int gh = qMax(1, gauge.height());
    const int rows = qMax(3, client.height() / (gh + 10));
    int columns = gauge.width() > 0 ? client.width() / gauge.width() : 1;
    if (columns <= 0)
        columns = 1;
    const int x = frame.left() + 10 + ((index / rows) % columns) * gauge.width();
    const int y = (frame.bottom() + 1 - client.height()) + (gh + 10) * (index % rows);
    return QPoint(x, y);
}

// ---- gauge ----

GaugeWindow::GaugeWindow(MainWindow* owner, const TftpGui& node)
    : QDialog(owner, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      number_(node.number)
{
    setObjectName("gauge");
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(ControlObjectName(CTL_GAUGE_BAR));
    bar_->setRange(0, 100);
    bar_->setValue(0);
    size_ = new QLabel(this);
    size_->setObjectName(ControlObjectName(CTL_GAUGE_SIZE));
    rate_ = new QLabel(this);
    rate_->setObjectName(ControlObjectName(CTL_GAUGE_RATE));
    auto* abort = new QPushButton("Abort Transfer", this);
    abort->setObjectName("abortTransfer");
    layout->addWidget(bar_);
    layout->addWidget(size_);
    layout->addWidget(rate_);
    layout->addWidget(abort);
    connect(abort, &QPushButton::clicked, this, [this, owner] { owner->post(PM_STOP_TRANSFER, number_); });

    setWindowTitle(QString("%1 %2 %3")
                       .arg(QString::fromLocal8Bit(node.fileName.c_str()), node.direction == 1 ? "to" : "from",
                            Dotted(node.addrBE)));
    if (node.stats.totalSize == 0) {
        size_->setText("File size : Unknown");
        bar_->hide();
    } else {
        size_->setText(QString("File size : %1").arg(node.stats.totalSize));
    }
    adjustSize();
}

void GaugeWindow::update(const TftpGui& node, int64_t now)
{
    if (node.stats.totalSize > 100)
        bar_->setValue(
            static_cast<int>(std::min<uint64_t>(100, uint64_t{node.stats.bytesDone} * 100 / node.stats.totalSize)));
    // The first second of a transfer has no rate of its own yet: it counts as one second.
    const int64_t elapsed = std::max<int64_t>(1, now - node.stats.startTime);
    rate_->setText(QString("%1 Bytes %2 \t %3 Bytes/sec")
                       .arg(node.stats.bytesDone)
                       .arg(node.direction == 1 ? "sent" : "rcvd")
                       .arg(static_cast<qulonglong>(node.stats.bytesDone / static_cast<uint64_t>(elapsed))));
}

// ---- list ----

TransferList::TransferList(QTreeWidget* list, MainWindow* owner) : QObject(list), list_(list), owner_(owner)
{
    ListViewInitColumns(list_, *FindListSpec(CTL_MAIN_TRANSFER_LIST));
}

TransferList::~TransferList()
{
    for (TftpGui& node : nodes_)
        if (node.gauge)
            node.gauge->deleteLater();
}

void TransferList::OnTransferBegin(const uint8_t* record, size_t length)
{
    if (length < sizeof(TransferRecord))
        return;
    TransferRecord rec;
    std::memcpy(&rec, record, sizeof rec);
    TftpGui node;
    node.number = rec.transferNumber;
    node.stats = rec.stats;
    node.fileName.assign(rec.fileName, strnlen(rec.fileName, sizeof rec.fileName));
    node.direction = rec.opcode;
    node.port = ntohs(rec.client.portBE);
    node.addrBE = rec.client.addrBE;
    node.gaugeStamp = rec.stats.lastUpdate;
    nodes_.push_front(node);
    if (GuiConsole().model.settings.ShowProgressBar) {
        auto* gauge = new GaugeWindow(owner_, nodes_.front());
        const QRect frame = owner_->frameGeometry();
        gauge->move(GaugePosition(gaugeCounter_++, frame, owner_->size(), gauge->size()));
        gauge->show();
        nodes_.front().gauge = gauge;
    }
    Refresh();
}

void TransferList::OnTransferEnd(const uint8_t* record, size_t length)
{
    if (length < sizeof(TransferEndRecord))
        return;
    TransferEndRecord rec;
    std::memcpy(&rec, record, sizeof rec);
    for (auto it = nodes_.begin(); it != nodes_.end(); ++it) {
        if (it->number != rec.transferNumber)
            continue;
        it->stats = rec.stats;
        Refresh();
        if (it->gauge)
            it->gauge->close();
        nodes_.erase(it);
        DebugTrace("GUI: transfer destroyed\n");
        Refresh();
        return;
    }
}

void TransferList::OnTransferStats(const std::vector<TransferStatsEntry>& entries, int64_t now)
{
    for (const TransferStatsEntry& e : entries) {
        for (TftpGui& node : nodes_) {
            if (node.number != e.number)
                continue;
            std::memcpy(&node.stats, e.stats, sizeof node.stats);
            // A gauge changes at most once per second of the service's clock.
            if (node.gauge && now != node.gaugeStamp) {
                node.gauge->update(node, now);
                node.gaugeStamp = now;
            }
        }
    }
    Refresh();
}

void TransferList::Refresh()
{
    for (const TftpGui& node : nodes_) {
        int row = -1;
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            if (ItemNumber(list_->topLevelItem(i)) == node.number) {
                row = i;
                break;
            }
        if (row < 0)
            row = AddRow(node);
        UpdateRow(node, row);
    }
}

int TransferList::AddRow(const TftpGui& node)
{
    TrimListRows(list_, kRowsKeptBeforeAdd);
    const QString peer = QString("%1:%2").arg(Dotted(node.addrBE)).arg(node.port);
    DebugTrace("TFTP Inf: CREATING item <%s>\n", peer.toLatin1().constData());
    const time_t start = static_cast<time_t>(node.stats.startTime);
    struct tm tm {};
    char clock[32] = "";
    if (localtime_r(&start, &tm))
        std::snprintf(clock, sizeof clock, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    const QChar mark = node.direction == 1 ? '<' : '>';
    const QString file = mark + QString::fromLocal8Bit(node.fileName.c_str()) + mark;
    AppendListRow(list_, {peer, file, QString::fromLatin1(clock), "", "", "", ""});
    QTreeWidgetItem* item = list_->topLevelItem(list_->topLevelItemCount() - 1);
    item->setData(0, Qt::UserRole, node.number);
    return list_->topLevelItemCount() - 1;
}

void TransferList::UpdateRow(const TftpGui& node, int row)
{
    QTreeWidgetItem* item = list_->topLevelItem(row);
    if (!item)
        return;
    item->setText(kColProgress, QString::fromStdString(TransferProgressText(node.stats)));
    item->setText(kColBytes, QString::number(node.stats.bytesDone));
    item->setText(kColTotal, QString::fromStdString(TransferTotalText(node.stats)));
    item->setText(kColTimeouts, QString::number(node.stats.errorRecoveries));
}

bool TransferList::CanStopFocused() const
{
    const QTreeWidgetItem* item = list_->currentItem();
    return item && CanStopProgress(item->text(kColProgress).toStdString());
}

void TransferList::StopFocused()
{
    if (const uint32_t number = ItemNumber(list_->currentItem()); number != 0)
        owner_->post(PM_STOP_TRANSFER, number);
}

QMenu* TransferList::Menu()
{
    auto* menu = new QMenu(list_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const bool empty = list_->topLevelItemCount() == 0;
    QAction* copy = menu->addAction("&Copy");
    copy->setData(139);
    copy->setEnabled(!list_->selectedItems().isEmpty());
    QAction* copyAll = menu->addAction("Copy &All");
    copyAll->setData(140);
    copyAll->setEnabled(!empty);
    QAction* clear = menu->addAction("C&lear All");
    clear->setData(141);
    clear->setEnabled(!empty);
    QAction* stop = menu->addAction("&Stop Transfer");
    stop->setData(kCmdStopTransfer);
    stop->setEnabled(CanStopFocused());
    return menu;
}
