#include "_gui/main_lists.h"

#include <QApplication>
#include <QCursor>
#include <QDateTime>
#include <QFile>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>
#include <QWheelEvent>
#include <arpa/inet.h>
#include <cstring>

#include "_gui/list_views.h"
#include "_gui/main_window.h"
#include "_gui/transfer_list.h"
#include "libs/regex/regex_engine.h"

const char* const kLogFilters[3] = {" Err: ", " Warn: ", " Err: | Warn: "};

namespace {

constexpr int kLogLinesBeforeAdd = 1000;
constexpr int kEventRowsBeforeAdd = 490;
constexpr int kSyslogDnsRows = 500;
constexpr int kCmdLogCopy = 117, kCmdLogCopyAll = 127, kCmdLogClear = 129;
constexpr int kCmdStopTransfer = 105, kCmdReclaimLease = 107;
// Notices and log lines that arrive within this time are shown in one pass: a few passes a
// second, each a relayout and a repaint of the lists that changed.
constexpr int kFlushDelayMs = 250;

qint64 NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

// Lease row layout: IP text, MAC text, offer and start times.
constexpr size_t kLeaseIp = 0, kLeaseMac = 16, kLeaseOffer = 43, kLeaseStart = 51;

int64_t ReadI64(const uint8_t* p)
{
    int64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

QAction* AddCommand(QMenu* menu, const char* text, int command, bool enabled)
{
    QAction* a = menu->addAction(text);
    a->setData(command);
    a->setEnabled(enabled);
    return a;
}

// The log's search commands, as its keys give them.
constexpr int kCmdFilterErrors = 0x7101, kCmdFilterWarnings = 0x7102, kCmdFilterBoth = 0x7103;
constexpr int kCmdFindPrevious = 0x7104, kCmdFindNext = 0x7105;
struct SearchCommand {
    const char* text;
    int command;
    QKeyCombination key;
};
const SearchCommand kSearchCommands[] = {
    {"Search &Errors", kCmdFilterErrors, Qt::CTRL | Qt::Key_E},
    {"Search &Warnings", kCmdFilterWarnings, Qt::CTRL | Qt::Key_W},
    {"Search Errors an&d Warnings", kCmdFilterBoth, Qt::CTRL | Qt::Key_B},
    {"Find &Previous", kCmdFindPrevious, Qt::CTRL | Qt::Key_Up},
    {"Find &Next", kCmdFindNext, Qt::CTRL | Qt::Key_Down},
};

}  // namespace

MainLists::MainLists(MainWindow* window) : QObject(window), window_(window)
{
    log_ = window->logList();
    log_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    log_->setContextMenuPolicy(Qt::CustomContextMenu);
    log_->installEventFilter(this);
    logViewport_ = log_->viewport();
    logViewport_->installEventFilter(this);
    connect(log_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (log_->selectedItems().isEmpty())
            if (QListWidgetItem* item = log_->itemAt(at)) {
                log_->setCurrentItem(item);
                item->setSelected(true);
            }
        ContextMenu(CTL_MAIN_LOG_LIST)->popup(log_->viewport()->mapToGlobal(at));
    });
    for (const ListSpec& spec : kListSpecs) {
        QTreeWidget* tree = list(spec.control);
        if (!tree)
            continue;
        if (spec.control == CTL_MAIN_TRANSFER_LIST)
            transfers_ = new TransferList(tree, window);
        else
            ListViewInitColumns(tree, spec);
        const int control = spec.control;
        connect(tree, &QWidget::customContextMenuRequested, this, [this, tree, control](const QPoint& at) {
            ContextMenu(control)->popup(tree->viewport()->mapToGlobal(at));
        });
    }
    statsPath_ = qEnvironmentVariable("NIMBO_GUI_STATS");
    flushTimer_ = new QTimer(this);
    flushTimer_->setSingleShot(true);
    flushTimer_->setInterval(kFlushDelayMs);
    connect(flushTimer_, &QTimer::timeout, this, &MainLists::Flush);
}

void MainLists::NoteArrival()
{
    ++shown_;
    if (firstPendingMs_ < 0)
        firstPendingMs_ = NowMs();
}

void MainLists::ScheduleFlush()
{
    // While nothing is drawn no timer runs: the lines and rows wait, within their limits,
    // and the window shows them when it comes back.
    if (window_->listsAsleep()) {
        sleptSince_ = true;
        return;
    }
    if (!flushTimer_->isActive())
        flushTimer_->start();
}

bool MainLists::passDue() const { return flushTimer_->isActive(); }

void MainLists::Flush()
{
    flushTimer_->stop();  // this is the pass, however it was called
    if (window_->listsAsleep()) {
        sleptSince_ = firstPendingMs_ >= 0;
        return;  // the window calls again when it is shown
    }
    for (uint32_t id : pendingNotices_)
        if (model_)
            TakeNotice(id, *model_);
    pendingNotices_.clear();
    FlushLog();
    if (firstPendingMs_ >= 0) {
        ++passes_;
        if (!sleptSince_)
            longestWaitMs_ = qMax(longestWaitMs_, NowMs() - firstPendingMs_);
        firstPendingMs_ = -1;
        sleptSince_ = false;
        WriteStats();
    }
}

void MainLists::WriteStats()
{
    if (statsPath_.isEmpty() || NowMs() - statsWrittenMs_ < 1000)
        return;
    statsWrittenMs_ = NowMs();
    QFile file(statsPath_);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(
            QString("passes %1 shown %2 longest_wait_ms %3\n").arg(passes_).arg(shown_).arg(longestWaitMs_).toLatin1());
}

QTreeWidget* MainLists::list(int control) const { return qobject_cast<QTreeWidget*>(window_->control(control)); }

void MainLists::AppendLogLine(const QString& text)
{
    NoteArrival();
    pendingLog_.push_back(text);
    while (pendingLog_.size() > kLogLinesBeforeAdd + 1)
        pendingLog_.pop_front();
    ScheduleFlush();
}

void MainLists::FlushLog()
{
    if (pendingLog_.empty())
        return;
    const int incoming = static_cast<int>(pendingLog_.size());
    // Each line is added after the lines beyond 1000 have gone: of the old lines, those
    // that the new ones leave room for stay.
    const int keepOld = qMax(0, kLogLinesBeforeAdd + 1 - incoming);
    if (log_->count() > keepOld)
        log_->model()->removeRows(0, log_->count() - keepOld);
    QStringList lines;
    lines.reserve(incoming);
    for (QString& line : pendingLog_)
        lines << std::move(line);
    pendingLog_.clear();
    log_->addItems(lines);
    log_->scrollToBottom();
}

QTreeWidgetItem* MainLists::NewRow(int control, const QStringList& cells)
{
    auto* item = new QTreeWidgetItem(cells);
    if (const ListSpec* spec = FindListSpec(control))
        for (int i = 0; i < spec->columnCount && i < cells.size(); ++i)
            item->setTextAlignment(i, Qt::Alignment(spec->columns[i].align));
    return item;
}

QStringList MainLists::RowCells(uint32_t id, const uint8_t* p, size_t n, const QString& time)
{
    switch (id) {
    case NOTICE_DHCP_EVENT:
        return {RecordField(p, n, 0, 16), RecordField(p, n, 16, 27), RecordField(p, n, 43, 16),
                RecordField(p, n, 59, 129), time};
    case NOTICE_BINL_EVENT:
        return {RecordField(p, n, 0, 16), RecordField(p, n, 16, 40), RecordField(p, n, 56, 500), time};
    case NOTICE_FTP_EVENT:
    case NOTICE_HTTP_EVENT:
        return {RecordField(p, n, 0, 16), RecordField(p, n, 276, 400), RecordField(p, n, 16, 260), time};
    case NOTICE_SNTP_CLIENT: return {RecordField(p, n, 0, 16), time};
    case NOTICE_SYSLOG_ROW: return {RecordField(p, n, 16, n), RecordField(p, n, 0, 16), time};
    default: return {};
    }
}

void MainLists::UpsertDnsRow(const uint8_t* p, size_t n)
{
    QTreeWidget* tree = list(CTL_MAIN_DNS_LIST);
    if (!tree)
        return;
    const QString host = RecordField(p, n, 0, 1025);
    QTreeWidgetItem* row = nullptr;
    for (int i = 0; i < tree->topLevelItemCount() && !row; ++i)
        if (tree->topLevelItem(i)->text(0).compare(host, Qt::CaseInsensitive) == 0)
            row = tree->topLevelItem(i);
    if (!row) {
        TrimListRows(tree, kSyslogDnsRows - 1);
        row = new QTreeWidgetItem({host});
        tree->addTopLevelItem(row);
    }
    row->setText(1, RecordField(p, n, 1025, 16));
    row->setText(2, RecordField(p, n, 1041, 48));
}

// The list is replaced by the rows, row by row: only the cells that differ are set, rows
// are added or removed at the end, so an unchanged list costs no relayout.
void MainLists::FillLeaseList(const std::vector<std::vector<uint8_t>>& rows)
{
    QTreeWidget* tree = list(CTL_MAIN_LEASE_LIST);
    if (!tree || (rows == leaseRowsShown_ && tree->topLevelItemCount() == static_cast<int>(rows.size())))
        return;  // the same list again: nothing to change
    leaseRowsShown_ = rows;
    int at = 0;
    QList<QTreeWidgetItem*> added;
    for (const std::vector<uint8_t>& r : rows) {
        if (r.size() < kGuiLeaseRowSize)
            continue;
        const QString ip = RecordField(r.data(), r.size(), kLeaseIp, 16);
        const int64_t renewed = ReadI64(r.data() + kLeaseStart);
        const QStringList cells{LeaseTimeText(ReadI64(r.data() + kLeaseOffer)), ip,
                                RecordField(r.data(), r.size(), kLeaseMac, 27),
                                renewed ? LeaseTimeText(renewed) : QString()};
        uint32_t addr = 0;  // network byte order, as the free-lease request carries it
        if (inet_pton(AF_INET, ip.toLatin1().constData(), &addr) != 1)
            addr = 0;
        QTreeWidgetItem* item = at < tree->topLevelItemCount() ? tree->topLevelItem(at) : nullptr;
        if (!item) {
            item = new QTreeWidgetItem(cells);
            added << item;
        } else {
            for (int c = 0; c < cells.size(); ++c)
                if (item->text(c) != cells[c])
                    item->setText(c, cells[c]);
        }
        if (item->data(0, Qt::UserRole).toUInt() != addr)
            item->setData(0, Qt::UserRole, addr);
        ++at;
    }
    if (!added.isEmpty())
        tree->addTopLevelItems(added);
    else if (tree->topLevelItemCount() > at)
        tree->model()->removeRows(at, tree->topLevelItemCount() - at);
}

void MainLists::OnNotice(uint32_t id, ConsoleModel& model)
{
    model_ = &model;
    switch (id) {
    case NOTICE_TRANSFER_STATS:
    case NOTICE_TRANSFER_BEGIN:
    case NOTICE_TRANSFER_END:
        TakeNotice(id, model);  // the transfer list keeps the state of every transfer
        return;
    default:
        NoteArrival();
        pendingNotices_.insert(id);
        ScheduleFlush();
        return;
    }
}

void MainLists::TakeNotice(uint32_t id, ConsoleModel& model)
{
    if (id == NOTICE_TRANSFER_STATS) {
        if (transfers_)
            transfers_->OnTransferStats(model.transferStats, static_cast<int64_t>(model.statsTime));
        return;
    }
    if (id == NOTICE_LEASE_ROWS) {
        FillLeaseList(model.leaseRows);
        return;
    }
    auto it = model.kept.find(id);
    if (it == model.kept.end() || it->second.empty())
        return;
    auto& records = it->second;
    QTreeWidget* tree = nullptr;
    int control = 0;
    for (const ListSpec& spec : kListSpecs)
        if (spec.notice == id) {
            tree = list(spec.control);
            control = spec.control;
        }
    switch (id) {
    case NOTICE_TRANSFER_BEGIN:
    case NOTICE_TRANSFER_END:
        if (tree)
            tree->setUpdatesEnabled(false);
        for (const std::vector<uint8_t>& rec : records)
            if (transfers_) {
                if (id == NOTICE_TRANSFER_BEGIN)
                    transfers_->OnTransferBegin(rec.data(), rec.size());
                else
                    transfers_->OnTransferEnd(rec.data(), rec.size());
            }
        if (tree) {
            tree->setUpdatesEnabled(true);
            if (tree->topLevelItemCount() > 0)
                tree->scrollToItem(tree->topLevelItem(tree->topLevelItemCount() - 1));
        }
        break;
    case NOTICE_DNS_ENTRY:
        if (tree)
            tree->setUpdatesEnabled(false);
        for (const std::vector<uint8_t>& rec : records)
            UpsertDnsRow(rec.data(), rec.size());
        if (tree)
            tree->setUpdatesEnabled(true);
        break;
    default: {
        if (!tree)
            break;
        // The rows of the pass go in at once, after the oldest rows they leave no room for:
        // the list ends as if each had been added after trimming it, with one insertion.
        // Rows that would go again at once are not made.
        const int keep = id == NOTICE_SYSLOG_ROW ? kSyslogDnsRows : kEventRowsBeforeAdd + 1;
        const QString time = id == NOTICE_SYSLOG_ROW ? SyslogDateText(QDateTime::currentMSecsSinceEpoch())
                                                     : EventTimeText(QDateTime::currentMSecsSinceEpoch());
        const size_t skip = records.size() > static_cast<size_t>(keep) ? records.size() - keep : 0;
        QList<QTreeWidgetItem*> rows;
        rows.reserve(static_cast<qsizetype>(records.size() - skip));
        for (size_t i = skip; i < records.size(); ++i)
            rows << NewRow(control, RowCells(id, records[i].data(), records[i].size(), time));
        TrimListRows(tree, keep - static_cast<int>(rows.size()));
        tree->addTopLevelItems(rows);
        if (tree->topLevelItemCount() > 0 && (id != NOTICE_SYSLOG_ROW || tree->selectedItems().isEmpty()))
            tree->scrollToItem(tree->topLevelItem(tree->topLevelItemCount() - 1));
        break;
    }
    }
    // Taken: the lists hold them from now on.
    records.clear();
}

QMenu* MainLists::ContextMenu(int control)
{
    if (control == CTL_MAIN_TRANSFER_LIST && transfers_) {
        QMenu* menu = transfers_->Menu();
        connect(menu, &QMenu::triggered, this, [this](QAction* a) { Command(a->data().toInt()); });
        return menu;
    }
    auto* menu = new QMenu(window_);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (control == CTL_MAIN_LOG_LIST) {
        const bool empty = log_->count() == 0;
        AddCommand(menu, "&Copy", kCmdLogCopy, !log_->selectedItems().isEmpty())
            ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
        AddCommand(menu, "Copy &All", kCmdLogCopyAll, !empty)
            ->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_C));
        AddCommand(menu, "C&lear All", kCmdLogClear, !empty);
        menu->addSeparator();
        for (const SearchCommand& c : kSearchCommands) {
            QAction* a = AddCommand(menu, c.text, c.command, c.command < kCmdFindPrevious || !empty);
            a->setShortcut(QKeySequence(c.key));
            a->setShortcutContext(Qt::WidgetShortcut);  // shown only: the log's keys do the work
            if (c.command < kCmdFindPrevious) {
                a->setCheckable(true);
                a->setChecked(filter_ == c.command - kCmdFilterErrors);
            }
        }
    } else if (const ListSpec* spec = FindListSpec(control); spec && list(control)) {
        QTreeWidget* tree = list(control);
        const bool empty = tree->topLevelItemCount() == 0;
        const bool selected = !tree->selectedItems().isEmpty();
        AddCommand(menu, "&Copy", spec->cmdCopy, selected);
        AddCommand(menu, "Copy &All", spec->cmdCopyAll, !empty);
        if (control == CTL_MAIN_LEASE_LIST)
            AddCommand(menu, "&Reclaim Lease/s", kCmdReclaimLease, selected);
        else
            AddCommand(menu, "C&lear All", spec->cmdClear, !empty);
    }
    connect(menu, &QMenu::triggered, this, [this](QAction* a) { Command(a->data().toInt()); });
    return menu;
}

void MainLists::Command(int command)
{
    switch (command) {
    case kCmdLogCopy: SetClipboardText(ListboxText(log_, true)); return;
    case kCmdLogCopyAll: SetClipboardText(ListboxText(log_, false)); return;
    case kCmdLogClear:
        pendingLog_.clear();
        log_->clear();
        return;
    case kCmdFilterErrors:
    case kCmdFilterWarnings:
    case kCmdFilterBoth:
        filter_ = command - kCmdFilterErrors;
        Beep();
        return;
    case kCmdFindPrevious: SearchLog(false, false); return;
    case kCmdFindNext: SearchLog(true, false); return;
    case kCmdStopTransfer:
        if (transfers_)
            transfers_->StopFocused();
        return;
    case kCmdReclaimLease:
        if (QTreeWidget* tree = list(CTL_MAIN_LEASE_LIST))
            for (int i = 0; i < tree->topLevelItemCount(); ++i)
                if (QTreeWidgetItem* item = tree->topLevelItem(i); item->isSelected()) {
                    const uint32_t addr = item->data(0, Qt::UserRole).toUInt();
                    if (addr != 0)
                        window_->post(PM_FREE_LEASE, addr);
                }
        return;
    default: break;
    }
    for (const ListSpec& spec : kListSpecs) {
        QTreeWidget* tree = list(spec.control);
        if (!tree)
            continue;
        if (command == spec.cmdCopy) {
            if (!tree->selectedItems().isEmpty())
                SetClipboardText(ListViewText(tree, spec.copyColumns, true));
        } else if (command == spec.cmdCopyAll) {
            SetClipboardText(ListViewText(tree, spec.copyColumns, false));
        } else if (command == spec.cmdClear) {
            tree->clear();
        } else {
            continue;
        }
        return;
    }
}

void MainLists::Beep()
{
    ++beeps_;
    QApplication::beep();
}

bool MainLists::SearchLog(bool forward, bool keep, bool beep)
{
    const int count = log_->count();
    const int caret = log_->currentRow();
    const int step = forward ? 1 : -1;
    int i = caret < 0 ? (forward ? 0 : count - 1) : caret + step;
    for (; i >= 0 && i < count; i += step)
        if (RegexSearch(log_->item(i)->text().toLocal8Bit().constData(), kLogFilters[filter_]))
            break;
    if (i < 0 || i >= count) {
        if (beep)
            Beep();
        return false;
    }
    if (!keep && caret >= 0)
        log_->item(caret)->setSelected(false);
    log_->setCurrentItem(log_->item(i), QItemSelectionModel::Select);
    log_->scrollToItem(log_->item(i));
    return true;
}

bool MainLists::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == log_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_F1 && !(key->modifiers() & Qt::ControlModifier)) {
            window_->showHelpAt(log_, "Using_Nimbo/Log.html");
            return true;  // taken: passed on, it would close the balloon it just opened
        }
        if (!(key->modifiers() & Qt::ControlModifier))
            return false;
        const bool shift = (key->modifiers() & Qt::ShiftModifier) != 0;
        switch (key->key()) {
        case Qt::Key_E:
            filter_ = 0;
            Beep();
            return true;
        case Qt::Key_W:
            filter_ = 1;
            Beep();
            return true;
        case Qt::Key_B:
            filter_ = 2;
            Beep();
            return true;
        case Qt::Key_Up: SearchLog(false, shift); return true;
        case Qt::Key_Down: SearchLog(true, shift); return true;
        case Qt::Key_C: Command(shift ? kCmdLogCopyAll : kCmdLogCopy); return true;
        case Qt::Key_F: return true;
        default: return false;
        }
    }
    if (watched == logViewport_ && event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        if (!(wheel->modifiers() & Qt::ControlModifier))
            return false;
        const bool shift = (wheel->modifiers() & Qt::ShiftModifier) != 0;
        SearchLog(wheel->angleDelta().y() < 0, shift, false);
        return true;
    }
    return false;
}
