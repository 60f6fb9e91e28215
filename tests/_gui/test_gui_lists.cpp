// The main window's lists, log view, transfer list and gauges, fed by the scripted service end.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>
#include <QWheelEvent>
#include <arpa/inet.h>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "_gui/balloon.h"
#include "_gui/directory_dialog.h"
#include "_gui/list_views.h"
#include "_gui/main_lists.h"
#include "_gui/transfer_list.h"
#include "libs/mini_tcp4u/tcp4u.h"
#include "tests/_gui/console_fixture.h"

namespace {

class GuiLists : public ConsoleWindowFixture {
protected:
    QTreeWidget* List(int control) { return window->lists()->list(control); }
    // Runs the event loop until the condition holds, without the pauses of QTest::qWaitFor,
    // so that long runs of notices are taken as fast as they come.
    template <typename F>
    static bool Wait(F cond, int ms = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!cond()) {
            if (timer.elapsed() > ms)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        return true;
    }
    // Sends a log line after what was queued and waits for it: frames are taken in order.
    bool Drained()
    {
        const std::string mark = "mark " + std::to_string(++marks_);
        SendLog(mark);
        return Wait([&] {
            QListWidget* log = window->logList();
            return log->count() > 0 && log->item(log->count() - 1)->text().toStdString() == mark;
        });
    }
    int marks_ = 0;
    bool WaitRows(int control, int rows)
    {
        return Wait([&] { return List(control)->topLevelItemCount() == rows; });
    }
    static QStringList Cells(const QTreeWidgetItem* item)
    {
        QStringList cells;
        for (int i = 0; i < item->columnCount(); ++i)
            cells << item->text(i);
        return cells;
    }
    static QString Clipboard() { return QApplication::clipboard()->text(); }
    // Whether the menu's item with this text is enabled.
    static bool Enabled(QMenu* menu, const QString& text)
    {
        for (QAction* a : menu->actions())
            if (QString(a->text()).remove('&') == text)  // mnemonics aside
                return a->isEnabled();
        ADD_FAILURE() << "no item " << text.toStdString();
        return false;
    }
    bool MenuAllows(int control, const QString& text)
    {
        QMenu* menu = window->lists()->ContextMenu(control);
        const bool enabled = Enabled(menu, text);
        delete menu;
        return enabled;
    }
    void SendLog(const std::string& line) { fake.Send(NOTICE_LOG, line.c_str(), line.size() + 1); }
};

// A record of `size` bytes with texts at their offsets.
std::vector<uint8_t> Record(size_t size, std::initializer_list<std::pair<size_t, std::string>> fields)
{
    std::vector<uint8_t> r(size);
    for (const auto& [offset, text] : fields)
        std::memcpy(r.data() + offset, text.data(), std::min(text.size(), size - offset - 1));
    return r;
}

TransferRecord Begin(uint32_t number, uint32_t total, uint32_t opcode, uint16_t port, const char* file)
{
    TransferRecord r{};
    r.transferNumber = number;
    r.stats.totalSize = total;
    r.stats.startTime = 1700000000;
    r.stats.lastUpdate = r.stats.startTime;
    r.opcode = opcode;
    r.client.family = 2;
    r.client.portBE = htons(port);
    r.client.addrBE = htonl(INADDR_LOOPBACK);
    std::strncpy(r.fileName, file, sizeof r.fileName - 1);
    return r;
}

std::vector<uint8_t> Stats(int64_t now, std::vector<TransferEndRecord> entries)
{
    std::vector<uint8_t> p(12 + entries.size() * sizeof(TransferEndRecord));
    const uint32_t count = static_cast<uint32_t>(entries.size());
    std::memcpy(p.data(), &count, 4);
    std::memcpy(p.data() + 4, &now, 8);
    std::memcpy(p.data() + 12, entries.data(), entries.size() * sizeof(TransferEndRecord));
    return p;
}

}  // namespace

TEST_F(GuiLists, LogKeepsAtMost1001LinesAndCopiesThem)
{
    ASSERT_TRUE(OpenWindow());
    QListWidget* log = window->logList();
    ASSERT_TRUE(Drained());
    window->lists()->Command(129);
    for (int i = 0; i <= 1001; ++i)
        SendLog("line " + std::to_string(i));
    ASSERT_TRUE(Wait([&] { return log->count() > 0 && log->item(log->count() - 1)->text() == "line 1001"; }));
    EXPECT_EQ(log->count(), 1001);
    EXPECT_EQ(log->item(0)->text(), "line 1");

    log->item(1)->setSelected(true);
    log->item(3)->setSelected(true);
    window->lists()->Command(117);
    EXPECT_EQ(Clipboard(), "line 2\r\nline 4\r\n");
    window->lists()->Command(127);
    EXPECT_TRUE(Clipboard().startsWith("line 1\r\nline 2\r\n"));
    EXPECT_TRUE(Clipboard().endsWith("line 1001\r\n"));
    EXPECT_EQ(Clipboard().count("\r\n"), 1001);

    window->lists()->Command(129);
    EXPECT_EQ(log->count(), 0);
    EXPECT_FALSE(MenuAllows(CTL_MAIN_LOG_LIST, "Copy All"));
    EXPECT_FALSE(MenuAllows(CTL_MAIN_LOG_LIST, "Clear All"));
}

TEST_F(GuiLists, CtrlKeysSearchTheLogForErrorsAndWarnings)
{
    ASSERT_TRUE(OpenWindow());
    QListWidget* log = window->logList();
    window->lists()->Command(129);
    const std::vector<std::string> lines = {"[a] TFTP Inf: start", "[b] DHCP Err: bad",  "[c] TFTP Warn: slow",
                                            "[d] HTTP Inf: get",   "[e] NFS Warn: late", "[f] FTP Err: gone"};
    for (const auto& l : lines)
        SendLog(l);
    ASSERT_TRUE(Wait([&] { return log->count() == 6; }));
    MainLists* lists = window->lists();
    log->setFocus();
    log->setCurrentRow(0);

    QTest::keyClick(log, Qt::Key_W, Qt::ControlModifier);
    EXPECT_EQ(lists->logFilter(), 1);
    QTest::keyClick(log, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 2);
    EXPECT_FALSE(log->item(0)->isSelected());
    QTest::keyClick(log, Qt::Key_Down, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(log->currentRow(), 4);
    EXPECT_TRUE(log->item(2)->isSelected());

    // Past the last match: a beep, the selection stays.
    const int beeps = lists->beeps();
    QTest::keyClick(log, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(lists->beeps(), beeps + 1);
    EXPECT_EQ(log->currentRow(), 4);
    EXPECT_TRUE(log->item(4)->isSelected());

    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(Clipboard(), "[c] TFTP Warn: slow\r\n[e] NFS Warn: late\r\n");

    QTest::keyClick(log, Qt::Key_E, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_Up, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 1);
    QTest::keyClick(log, Qt::Key_B, Qt::ControlModifier);
    QTest::keyClick(log, Qt::Key_Down, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 2);

    QTest::keyClick(log, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(Clipboard().count("\r\n"), 6);

    // Ctrl and the wheel: towards the user searches forwards, away backwards, without a beep.
    auto wheel = [&](int dy, Qt::KeyboardModifiers mods) {
        const QPointF at(5, 5);
        QWheelEvent e(at, log->viewport()->mapToGlobal(at), QPoint(), QPoint(0, dy), Qt::NoButton, mods,
                      Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(log->viewport(), &e);
    };
    const int quiet = lists->beeps();
    wheel(-120, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 4);
    wheel(-120, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 5);
    wheel(-120, Qt::ControlModifier);
    EXPECT_EQ(log->currentRow(), 5);
    wheel(120, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(log->currentRow(), 4);
    EXPECT_TRUE(log->item(5)->isSelected());
    EXPECT_EQ(lists->beeps(), quiet);
}

TEST_F(GuiLists, TransferRowsGaugesAndStopTransfer)
{
    fake.settings.ShowProgressBar = 1;
    ASSERT_TRUE(OpenWindow());
    QTreeWidget* list = List(CTL_MAIN_TRANSFER_LIST);
    // A read of more than 2 GiB, and a write of unknown size.
    const TransferRecord big = Begin(467, 3000000000u, 1, 40000, "images/boot.wim");
    const TransferRecord unknown = Begin(468, 0, 2, 40001, "upload.bin");
    fake.Send(NOTICE_TRANSFER_BEGIN, &big, sizeof big);
    fake.Send(NOTICE_TRANSFER_BEGIN, &unknown, sizeof unknown);
    ASSERT_TRUE(WaitRows(CTL_MAIN_TRANSFER_LIST, 2));
    EXPECT_EQ(Cells(list->topLevelItem(0)).mid(0, 2), (QStringList{"127.0.0.1:40000", "<images/boot.wim<"}));
    EXPECT_EQ(Cells(list->topLevelItem(0)).mid(3), (QStringList{"0%", "0", "3000000000", "0"}));
    EXPECT_EQ(Cells(list->topLevelItem(1)).mid(0, 2), (QStringList{"127.0.0.1:40001", ">upload.bin>"}));
    EXPECT_EQ(Cells(list->topLevelItem(1)).mid(3), (QStringList{"N/A", "0", "unknown", "0"}));

    const QList<GaugeWindow*> gauges = window->findChildren<GaugeWindow*>();
    ASSERT_EQ(gauges.size(), 2);
    GaugeWindow* g = gauges[0]->number() == 467 ? gauges[0] : gauges[1];
    EXPECT_EQ(g->windowTitle(), "images/boot.wim to 127.0.0.1");
    EXPECT_EQ(g->sizeLabel()->text(), "File size : 3000000000");
    EXPECT_FALSE(g->isModal());

    TransferEndRecord half{467, big.stats};
    half.stats.bytesDone = 2250000000u;
    half.stats.errorRecoveries = 2;
    TransferEndRecord some{468, unknown.stats};
    some.stats.bytesDone = 4096;
    const auto stats = Stats(big.stats.startTime + 10, {half, some});
    fake.Send(NOTICE_TRANSFER_STATS, stats.data(), stats.size());
    ASSERT_TRUE(Wait([&] { return list->topLevelItem(0)->text(3) == "75%"; }));
    EXPECT_EQ(Cells(list->topLevelItem(0)).mid(3), (QStringList{"75%", "2250000000", "3000000000", "2"}));
    EXPECT_EQ(g->bar()->value(), 75);
    EXPECT_EQ(g->rateLabel()->text(), "2250000000 Bytes sent \t 225000000 Bytes/sec");

    // The unknown size cannot be stopped; the running one can.
    list->setCurrentItem(list->topLevelItem(1));
    EXPECT_FALSE(MenuAllows(CTL_MAIN_TRANSFER_LIST, "Stop Transfer"));
    list->setCurrentItem(list->topLevelItem(0));
    EXPECT_TRUE(MenuAllows(CTL_MAIN_TRANSFER_LIST, "Stop Transfer"));
    window->lists()->Command(105);
    ASSERT_TRUE(WaitForRequest(REQ_STOP_TRANSFER));
    EXPECT_EQ(fake.Payloads(REQ_STOP_TRANSFER), (std::vector<std::vector<uint8_t>>{{0xD3, 0x01, 0, 0}}));

    // The service stops it; the gauge's own button asks the same for the other one.
    TransferEndRecord stopped = half;
    stopped.stats.state = TRANSFER_STOPPED;
    fake.Send(NOTICE_TRANSFER_END, &stopped, sizeof stopped);
    ASSERT_TRUE(Wait([&] { return list->topLevelItem(0)->text(3) == "STPD"; }));
    EXPECT_FALSE(MenuAllows(CTL_MAIN_TRANSFER_LIST, "Stop Transfer"));
    EXPECT_TRUE(Wait([&] { return window->findChildren<GaugeWindow*>().size() == 1; }));
    window->findChildren<GaugeWindow*>()[0]->findChild<QPushButton*>("abortTransfer")->click();
    ASSERT_TRUE(Wait([&] { return fake.Payloads(REQ_STOP_TRANSFER).size() == 2; }));
    EXPECT_EQ(fake.Payloads(REQ_STOP_TRANSFER)[1], (std::vector<uint8_t>{0xD4, 0x01, 0, 0}));

    TransferEndRecord done{468, some.stats};
    done.stats.state = TRANSFER_DONE;
    fake.Send(NOTICE_TRANSFER_END, &done, sizeof done);
    ASSERT_TRUE(Wait([&] { return list->topLevelItem(1)->text(3) == "100%"; }));
    EXPECT_TRUE(window->lists()->transfers()->nodes().empty());

    list->clearSelection();
    list->topLevelItem(1)->setSelected(true);
    window->lists()->Command(139);
    EXPECT_EQ(Clipboard(),
              "127.0.0.1:40001\t>upload.bin>\t" + list->topLevelItem(1)->text(2) + "\t100%\t4096\tunknown\t0\t\r\n");
    window->lists()->Command(141);
    EXPECT_EQ(list->topLevelItemCount(), 0);
}

TEST_F(GuiLists, TransferCellsAndGaugePlaces)
{
    TransferStats s{};
    s.totalSize = 100;
    s.bytesDone = 50;
    EXPECT_EQ(TransferProgressText(s), "N/A");
    s.totalSize = 0xFFFFFFFFu;
    s.bytesDone = 0xFFFFFFFEu;
    EXPECT_EQ(TransferProgressText(s), "99%");
    EXPECT_EQ(TransferTotalText(s), "4294967295");
    const std::pair<uint32_t, const char*> ends[] = {{1, "100%"}, {2, "STPD"}, {3, "ERR"}, {9, "N/A"}};
    for (const auto& [state, text] : ends) {
        s.state = state;
        EXPECT_EQ(TransferProgressText(s), text);
    }
    EXPECT_TRUE(CanStopProgress("7%"));
    EXPECT_TRUE(CanStopProgress("99%"));
    EXPECT_FALSE(CanStopProgress("100%"));
    EXPECT_FALSE(CanStopProgress("N/A"));
    // A client area two gauges high still stacks three in one column.
    const QRect frame(100, 50, 600, 400);
    const QSize client(700, 2 * 60 + 20), gauge(300, 60);
    const int top = frame.bottom() + 1 - client.height();
    EXPECT_EQ(GaugePosition(0, frame, client, gauge), QPoint(110, top));
    EXPECT_EQ(GaugePosition(1, frame, client, gauge), QPoint(110, top + 70));
    EXPECT_EQ(GaugePosition(2, frame, client, gauge), QPoint(110, top + 140));
    EXPECT_EQ(GaugePosition(3, frame, client, gauge), QPoint(410, top));
}

TEST_F(GuiLists, LeaseListReclaimsInNetworkOrder)
{
    ASSERT_TRUE(OpenWindow());
    std::vector<uint8_t> notice(4);
    const uint32_t count = 3;
    std::memcpy(notice.data(), &count, 4);
    const int64_t offered = 1700000000, renewed = 1700003600, none = 0;
    for (const auto& [ip, mac, renew] : {std::tuple{"192.168.1.10", "00:11:22:33:44:55", renewed},
                                         std::tuple{"192.168.1.11", "00:11:22:33:44:66", none},
                                         std::tuple{"10.0.0.200", "aa:bb:cc:dd:ee:ff", renewed}}) {
        auto row = Record(59, {{0, ip}, {16, mac}});
        std::memcpy(row.data() + 43, &offered, 8);
        std::memcpy(row.data() + 51, &renew, 8);
        notice.insert(notice.end(), row.begin(), row.end());
    }
    notice.resize(notice.size() + 10);  // a torn row past the count is ignored
    fake.Send(NOTICE_LEASE_ROWS, notice.data(), notice.size());
    ASSERT_TRUE(WaitRows(CTL_MAIN_LEASE_LIST, 3));
    QTreeWidget* list = List(CTL_MAIN_LEASE_LIST);
    const QString at = LeaseTimeText(offered);
    EXPECT_EQ(Cells(list->topLevelItem(0)),
              (QStringList{at, "192.168.1.10", "00:11:22:33:44:55", LeaseTimeText(renewed)}));
    EXPECT_EQ(Cells(list->topLevelItem(1)).last(), "");
    EXPECT_EQ(at.size(), 14);

    EXPECT_FALSE(MenuAllows(CTL_MAIN_LEASE_LIST, "Reclaim Lease/s"));
    EXPECT_FALSE(MenuAllows(CTL_MAIN_LEASE_LIST, "Copy"));
    EXPECT_TRUE(MenuAllows(CTL_MAIN_LEASE_LIST, "Copy All"));
    list->topLevelItem(0)->setSelected(true);
    list->topLevelItem(2)->setSelected(true);
    EXPECT_TRUE(MenuAllows(CTL_MAIN_LEASE_LIST, "Reclaim Lease/s"));
    // Selected rows are filled blue, the others alternate white and pale blue.
    const QImage shot = list->viewport()->grab().toImage();
    auto colour = [&](int row) {
        return shot.pixelColor(40 * shot.devicePixelRatio(),
                               list->visualItemRect(list->topLevelItem(row)).center().y() * shot.devicePixelRatio());
    };
    EXPECT_EQ(colour(0), QColor(0x33, 0x99, 0xFF));
    EXPECT_EQ(colour(1), QColor(0xE2, 0xED, 0xFC));
    window->lists()->Command(137);
    EXPECT_EQ(Clipboard(), at + "\t192.168.1.10\t00:11:22:33:44:55\t" + LeaseTimeText(renewed) + "\t\r\n" + at +
                               "\t10.0.0.200\taa:bb:cc:dd:ee:ff\t" + LeaseTimeText(renewed) + "\t\r\n");
    window->lists()->Command(107);
    ASSERT_TRUE(Wait([&] { return fake.Payloads(REQ_FREE_LEASE).size() == 2; }));
    EXPECT_EQ(fake.Payloads(REQ_FREE_LEASE), (std::vector<std::vector<uint8_t>>{{192, 168, 1, 10}, {10, 0, 0, 200}}));

    // Each notice replaces the list whole.
    const uint32_t zero = 0;
    fake.Send(NOTICE_LEASE_ROWS, &zero, 4);
    EXPECT_TRUE(WaitRows(CTL_MAIN_LEASE_LIST, 0));
}

TEST_F(GuiLists, EventListsFillKeepTheirLimitAndCopy)
{
    ASSERT_TRUE(OpenWindow());
    struct Case {
        uint32_t notice;
        int control;
        size_t size;
        int limit;
        QStringList first;  // copied cells of the row (the time cell checked apart)
        int copied;
    };
    const auto dhcp = Record(188, {{0, "10.1.1.5"}, {16, "00:01:02:03:04:05"}, {43, "10.1.1.1"}, {59, "pxeboot.n12"}});
    const auto binl = Record(556, {{0, "10.1.1.6"}, {16, "NCQ"}, {56, "8086/100E"}});
    const auto request = Record(676, {{0, "10.1.1.7"}, {16, "/boot/x.cfg"}, {276, "200 OK"}});
    const auto sntp = Record(16, {{0, "10.1.1.8"}});
    const auto syslog = Record(16 + 40, {{0, "10.1.1.9"}, {16, "<13>kernel: hello"}});
    const std::vector<std::pair<Case, std::vector<uint8_t>>> cases = {
        {{NOTICE_DHCP_EVENT,
          CTL_MAIN_DHCP_EVENT_LIST,
          188,
          491,
          {"10.1.1.5", "00:01:02:03:04:05", "10.1.1.1", "pxeboot.n12"},
          4},
         dhcp},
        {{NOTICE_BINL_EVENT, CTL_MAIN_BINL_LIST, 556, 491, {"10.1.1.6", "NCQ", "8086/100E"}, 4}, binl},
        {{NOTICE_FTP_EVENT, CTL_MAIN_FTP_LIST, 676, 491, {"10.1.1.7", "200 OK", "/boot/x.cfg"}, 4}, request},
        {{NOTICE_HTTP_EVENT, CTL_MAIN_HTTP_LIST, 676, 491, {"10.1.1.7", "200 OK", "/boot/x.cfg"}, 4}, request},
        {{NOTICE_SNTP_CLIENT, CTL_MAIN_SNTP_LIST, 16, 491, {"10.1.1.8"}, 2}, sntp},
        {{NOTICE_SYSLOG_ROW, CTL_MAIN_SYSLOG_LIST, 56, 500, {"<13>kernel: hello", "10.1.1.9"}, 3}, syslog},
    };
    for (const auto& [c, record] : cases) {
        SCOPED_TRACE(c.control);
        for (int i = 0; i < c.limit + 1; ++i)
            fake.Send(c.notice, record.data(), record.size());
        QTreeWidget* list = List(c.control);
        ASSERT_TRUE(Drained());
        EXPECT_EQ(list->topLevelItemCount(), c.limit);
        const QStringList cells = Cells(list->topLevelItem(0));
        EXPECT_EQ(cells.mid(0, c.first.size()), c.first);
        const QString time = cells.last();
        if (c.notice == NOTICE_SYSLOG_ROW)
            EXPECT_TRUE(QRegularExpression("^\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$").match(time).hasMatch())
                << time.toStdString();
        else
            EXPECT_TRUE(
                QRegularExpression("^ \\[\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\]$").match(time).hasMatch())
                << time.toStdString();
        list->clearSelection();
        list->topLevelItem(0)->setSelected(true);
        list->topLevelItem(1)->setSelected(true);
        const ListSpec* spec = FindListSpec(c.control);
        window->lists()->Command(spec->cmdCopy);
        const QStringList second = Cells(list->topLevelItem(1));
        EXPECT_EQ(Clipboard(),
                  cells.mid(0, c.copied).join('\t') + "\t\r\n" + second.mid(0, c.copied).join('\t') + "\t\r\n");
        window->lists()->Command(spec->cmdClear);
        EXPECT_EQ(list->topLevelItemCount(), 0);
    }
}

// Each list's dates as the lists have always written them: event rows day first in brackets
// behind a blank, syslog rows day first, lease times month first (as the lease file).
TEST(GuiListTimes, EachListKeepsItsDateFormat)
{
    struct Case {
        QDateTime at;
        const char* event;
        const char* syslog;
        const char* lease;
    };
    const Case cases[] = {
        {QDateTime(QDate(2026, 3, 25), QTime(14, 5, 9, 7)), " [25/03 14:05:09.007]", "25/03 14:05:09.007",
         "03/25 14:05:09"},
        {QDateTime(QDate(2026, 12, 1), QTime(0, 0, 0, 999)), " [01/12 00:00:00.999]", "01/12 00:00:00.999",
         "12/01 00:00:00"},
        {QDateTime(QDate(2027, 1, 13), QTime(23, 59, 59, 0)), " [13/01 23:59:59.000]", "13/01 23:59:59.000",
         "01/13 23:59:59"},
    };
    for (const Case& c : cases) {
        const int64_t ms = c.at.toMSecsSinceEpoch();
        EXPECT_EQ(EventTimeText(ms).toStdString(), c.event);
        EXPECT_EQ(SyslogDateText(ms).toStdString(), c.syslog);
        EXPECT_EQ(LeaseTimeText(ms / 1000).toStdString(), c.lease);
    }
}

// While the window is minimised the notices are only stored, within the lists' limits: no
// pass is scheduled and no list changes. Restored, the window shows what the lists would
// hold had every notice been shown as it came.
TEST_F(GuiLists, MinimisedWindowStoresNoticesAndShowsThemWhenRestored)
{
    ASSERT_TRUE(OpenWindow());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(Drained());
    window->lists()->Command(129);
    QListWidget* log = window->logList();
    QTreeWidget* events = List(CTL_MAIN_DHCP_EVENT_LIST);
    QTreeWidget* leases = List(CTL_MAIN_LEASE_LIST);
    ASSERT_EQ(events->topLevelItemCount(), 0);
    window->showMinimized();
    ASSERT_TRUE(window->listsAsleep());

    auto event = [](int i) {
        return Record(188, {{0, "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250)},
                            {16, "00:01:02:03:04:05"},
                            {43, "10.1.1.1"},
                            {59, "pxeboot.n12"}});
    };
    auto leaseList = [](int rows) {
        std::vector<uint8_t> notice(4);
        const uint32_t count = rows;
        std::memcpy(notice.data(), &count, 4);
        for (int i = 0; i < rows; ++i) {
            const auto row = Record(59, {{0, "192.168.7." + std::to_string(i + 1)}, {16, "00:11:22:33:44:55"}});
            notice.insert(notice.end(), row.begin(), row.end());
        }
        return notice;
    };
    for (int i = 0; i < 1100; ++i) {
        SendLog("asleep " + std::to_string(i));
        if (i < 600)
            fake.Send(NOTICE_DHCP_EVENT, event(i).data(), 188);
        if (i % 500 == 0) {
            const auto notice = leaseList(1 + i / 500);
            fake.Send(NOTICE_LEASE_ROWS, notice.data(), notice.size());
        }
    }
    const auto last = leaseList(4);
    fake.Send(NOTICE_LEASE_ROWS, last.data(), last.size());
    // Frames are taken in order: the last lease list comes after everything else.
    const ConsoleModel& model = GuiConsole().model;
    bool scheduled = false;
    ASSERT_TRUE(Wait([&] {
        scheduled = scheduled || window->lists()->passDue();
        return model.leaseRows.size() == 4;
    }));
    EXPECT_FALSE(scheduled) << "a pass was scheduled while the window was minimised";
    EXPECT_EQ(window->lists()->pendingLogLines(), 1001);
    EXPECT_EQ(model.kept.at(NOTICE_DHCP_EVENT).size(), kGuiKeptPerNotice);
    EXPECT_EQ(log->count(), 0);
    EXPECT_EQ(events->topLevelItemCount(), 0);
    EXPECT_EQ(leases->topLevelItemCount(), 0);

    window->showNormal();
    ASSERT_TRUE(Wait([&] { return log->count() == 1001 && events->topLevelItemCount() == 491; }));
    EXPECT_EQ(log->item(0)->text(), "asleep 99");
    EXPECT_EQ(log->item(1000)->text(), "asleep 1099");
    EXPECT_EQ(events->topLevelItem(0)->text(0), "10.1.0.109");
    EXPECT_EQ(events->topLevelItem(490)->text(0), "10.1.2.99");
    ASSERT_EQ(leases->topLevelItemCount(), 4);
    EXPECT_EQ(leases->topLevelItem(3)->text(1), "192.168.7.4");
    EXPECT_EQ(window->lists()->pendingLogLines(), 0);
}

// The link is read in large pieces: thousands of frames in one write are all taken in
// order, and a frame cut short waits, received in part, while the window goes on; its rest
// completes it.
TEST_F(GuiLists, LinkIsReadInPiecesAndACutFrameWaitsForItsRest)
{
    ASSERT_TRUE(OpenWindow());
    ASSERT_TRUE(Drained());
    QListWidget* log = window->logList();
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "bulk " + std::to_string(i);
        ASSERT_TRUE(AppendConsoleMsg(&bytes, NOTICE_LOG, line.c_str(), line.size() + 1));
    }
    fake.SendRaw(bytes);
    ASSERT_TRUE(Wait([&] { return log->count() > 0 && log->item(log->count() - 1)->text() == "bulk 2999"; }));
    EXPECT_EQ(log->count(), 1001);
    EXPECT_EQ(log->item(0)->text(), "bulk 1999");

    std::vector<uint8_t> cut;
    ASSERT_TRUE(AppendConsoleMsg(&cut, NOTICE_LOG, "cut in two", 11));
    fake.SendRaw(std::vector<uint8_t>(cut.begin(), cut.begin() + 5));
    const ConsoleClient& console = GuiConsole();
    ASSERT_TRUE(Wait([&] { return console.inboxEnd - console.inboxBegin == 5; }));
    EXPECT_FALSE(window->linkLost());
    EXPECT_EQ(log->item(log->count() - 1)->text(), "bulk 2999");
    fake.SendRaw(std::vector<uint8_t>(cut.begin() + 5, cut.end()));
    ASSERT_TRUE(Wait([&] { return log->item(log->count() - 1)->text() == "cut in two"; }));
    EXPECT_FALSE(window->linkLost());
    EXPECT_TRUE(Drained());
}

TEST_F(GuiLists, DnsRowsAreKeyedByHostWithoutCase)
{
    ASSERT_TRUE(OpenWindow());
    QTreeWidget* list = List(CTL_MAIN_DNS_LIST);
    for (int i = 0; i < 501; ++i) {
        const auto r = Record(1089, {{0, "host" + std::to_string(i) + ".lan"}, {1025, "10.2.0.1"}});
        fake.Send(NOTICE_DNS_ENTRY, r.data(), r.size());
    }
    ASSERT_TRUE(Drained());
    EXPECT_EQ(list->topLevelItemCount(), 500);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "host1.lan");
    const auto again = Record(1089, {{0, "HOST7.LAN"}, {1025, "10.2.0.99"}, {1041, "fe80::1"}});
    fake.Send(NOTICE_DNS_ENTRY, again.data(), again.size());
    ASSERT_TRUE(Wait([&] { return list->topLevelItem(6)->text(1) == "10.2.0.99"; }));
    EXPECT_EQ(Cells(list->topLevelItem(6)), (QStringList{"host7.lan", "10.2.0.99", "fe80::1"}));
    EXPECT_EQ(list->topLevelItemCount(), 500);
}

TEST_F(GuiLists, DirectoryDialogCopiesNamesAndNeverHoldsTheLink)
{
    ASSERT_TRUE(OpenWindow());
    std::vector<uint8_t> listing(4 + 3 * 64);
    const uint32_t count = 99;  // more than were sent: only the whole slots are shown
    std::memcpy(listing.data(), &count, 4);
    std::strcpy(reinterpret_cast<char*>(listing.data()) + 4, "boot.img\t12/01/26\t1024");
    std::strcpy(reinterpret_cast<char*>(listing.data()) + 68, "menu.c32\t12/01/26\t3000000000");
    std::strcpy(reinterpret_cast<char*>(listing.data()) + 132, "pxelinux.0");
    listing.resize(listing.size() + 20);
    fake.Send(NOTICE_DIRECTORY_LISTING, listing.data(), listing.size());
    ASSERT_TRUE(Drained());  // read while the dialog is open
    auto* dialog = window->findChild<DirectoryDialog*>("directoryDialog");
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowTitle(), "Nimbo32 directory");
    ASSERT_EQ(dialog->list()->count(), 3);
    EXPECT_EQ(dialog->list()->item(1)->text(), "menu.c32\t12/01/26\t3000000000");
    dialog->list()->setCurrentRow(1);
    EXPECT_EQ(Clipboard(), "menu.c32");
    dialog->list()->setCurrentRow(2);
    EXPECT_EQ(Clipboard(), "pxelinux.0");
    dialog->accept();
    EXPECT_TRUE(Wait([&] { return window->findChild<DirectoryDialog*>("directoryDialog") == nullptr; }));

    EXPECT_EQ(DirectoryLineName(std::string(250, 'a') + "\tx").size(), 250u);
    EXPECT_EQ(DirectoryLineName(std::string(256, 'a')), "");
}

// Every page of the main window, the TFTP client pane among them, lays its controls out
// without overlaps and with combo boxes of their normal height, inside the available screen
// (the runs on a small screen and at scale factor 2 check the fit where it is tight).
TEST_F(GuiLists, EveryPageIsLaidOutAndFitsTheScreen)
{
    ASSERT_TRUE(OpenWindow(0x2FF));
    // Every service on, with the DHCP server, then with proxyDHCP (whose tab replaces it).
    QStringList seen;
    for (const uint32_t mask : {0x2FFu, 0x3FFu}) {
        SCOPED_TRACE(mask);
        if (mask != 0x2FF) {
            window.reset();
            window = std::make_unique<MainWindow>(mask, "/nonexistent/Nimbo.chm");
        }
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        EXPECT_TRUE(FitsScreen(window.get()))
            << window->frameGeometry().width() << "x" << window->frameGeometry().height();
        EXPECT_LE(window->minimumWidth(), window->screen()->availableGeometry().width());
        EXPECT_LE(window->minimumHeight(), window->screen()->availableGeometry().height());
        auto* tabs = window->findChild<QTabBar*>();
        ASSERT_NE(tabs, nullptr);
        for (int i = 0; i < tabs->count(); ++i) {
            tabs->setCurrentIndex(i);
            QCoreApplication::processEvents();
            seen << tabs->tabText(i);
            EXPECT_EQ(LayoutFaults(window.get()).join("\n").toStdString(), "") << tabs->tabText(i).toStdString();
        }
    }
    seen.removeDuplicates();
    EXPECT_EQ(seen.size(), 11) << seen.join(" ").toStdString();  // every tab of the table
}

// Every menu gives each of its items a letter of its own; the log's menu shows the search
// commands with the keys that give them in the log.
TEST_F(GuiLists, MenusHaveMnemonicsAndTheLogShowsItsSearchKeys)
{
    ASSERT_TRUE(OpenWindow(0x2FF));
    SendLog("[10/12 18:30:00.000] TFTP Inf: one line");
    ASSERT_TRUE(Drained());
    std::vector<std::pair<QString, QMenu*>> menus{{"system", window->systemMenu()}};
    std::vector<std::unique_ptr<QMenu>> owned;
    owned.emplace_back(window->lists()->ContextMenu(CTL_MAIN_LOG_LIST));
    menus.emplace_back("log", owned.back().get());
    for (const ListSpec& spec : kListSpecs) {
        owned.emplace_back(window->lists()->ContextMenu(spec.control));
        menus.emplace_back(QString::number(spec.control), owned.back().get());
    }
    for (const auto& [name, menu] : menus) {
        ASSERT_NE(menu, nullptr) << name.toStdString();
        EXPECT_GE(menu->actions().size(), 3) << name.toStdString();
        EXPECT_EQ(MnemonicFaults(menu).join("\n").toStdString(), "") << name.toStdString();
    }
    struct Search {
        const char* text;
        QKeyCombination key;
    };
    const Search searches[] = {
        {"Search Errors", Qt::CTRL | Qt::Key_E},
        {"Search Warnings", Qt::CTRL | Qt::Key_W},
        {"Search Errors and Warnings", Qt::CTRL | Qt::Key_B},
        {"Find Previous", Qt::CTRL | Qt::Key_Up},
        {"Find Next", Qt::CTRL | Qt::Key_Down},
    };
    QMenu* log = menus[1].second;
    for (const Search& s : searches) {
        const QAction* found = nullptr;
        for (const QAction* a : log->actions())
            if (QString(a->text()).remove('&') == s.text)
                found = a;
        ASSERT_NE(found, nullptr) << s.text;
        EXPECT_EQ(found->shortcut(), QKeySequence(s.key)) << s.text;
        EXPECT_TRUE(found->isEnabled()) << s.text;
    }
    // Chosen from the menu, a search command does what its key does.
    QAction* warnings = nullptr;
    for (QAction* a : log->actions())
        if (QString(a->text()).remove('&') == "Search Warnings")
            warnings = a;
    ASSERT_NE(warnings, nullptr);
    warnings->trigger();
    EXPECT_EQ(window->lists()->logFilter(), 1);
}

// A cell cut short shows its whole text as a tooltip, in the lists and in the log; a cell
// shown whole shows none. F1 in the log gives its help (here: the balloon of the missing file).
TEST_F(GuiLists, CutCellsShowTheirTextAndF1HelpsInTheLog)
{
    ASSERT_TRUE(OpenWindow(0x2FF));
    window->resize(700, 500);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    const std::string longFile(300, 'f');
    const auto event =
        Record(188, {{0, "192.168.1.10"}, {16, "00:11:22:33:44:55"}, {43, "192.168.1.1"}, {59, longFile}});
    fake.Send(NOTICE_DHCP_EVENT, event.data(), event.size());
    const std::string longLine = "[10/12 18:30:00.000] DHCP Inf: " + std::string(400, 'x');
    SendLog(longLine);
    ASSERT_TRUE(Drained());
    auto tipAt = [](QAbstractItemView* view, const QRect& cell) {
        QToolTip::hideText();
        EXPECT_TRUE(QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000));
        QHelpEvent help(QEvent::ToolTip, cell.center(), view->viewport()->mapToGlobal(cell.center()));
        QCoreApplication::sendEvent(view->viewport(), &help);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QTreeWidget* events = List(CTL_MAIN_DHCP_EVENT_LIST);
    window->lists()->list(CTL_MAIN_DHCP_EVENT_LIST)->setVisible(true);
    QTreeWidgetItem* row = events->topLevelItem(0);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(tipAt(events, events->visualItemRect(row).adjusted(0, 0, 0, 0) &
                                QRect(events->header()->sectionPosition(3), 0, events->columnWidth(3), 10000)),
              row->text(3));
    EXPECT_GT(row->text(3).size(), 100);
    EXPECT_EQ(tipAt(events, QRect(events->header()->sectionPosition(0), events->visualItemRect(row).top(),
                                  events->columnWidth(0), events->visualItemRect(row).height())),
              QString());
    // Every list alike: the first column shown, cut and whole.
    for (const ListSpec& spec : kListSpecs) {
        SCOPED_TRACE(spec.control);
        QTreeWidget* list = List(spec.control);
        list->setVisible(true);
        const int column = list->header()->logicalIndex(0);
        const QString longText = QString("cut-%1-").arg(spec.control) + QString(300, 'y');
        QStringList cells;
        for (int c = 0; c < spec.columnCount; ++c)
            cells << (c == column ? longText : QString("z"));
        AppendListRow(list, cells);
        AppendListRow(list, QStringList(spec.columnCount, "short"));
        const int rows = list->topLevelItemCount();
        for (const auto& [item, tip] :
             {std::pair{list->topLevelItem(rows - 2), longText}, std::pair{list->topLevelItem(rows - 1), QString()}}) {
            list->scrollToItem(item);
            const QRect r = list->visualItemRect(item);
            EXPECT_EQ(tipAt(list, QRect(list->header()->sectionViewportPosition(column), r.top(),
                                        list->columnWidth(column), r.height()) &
                                      list->viewport()->rect()),
                      tip);
        }
        list->setVisible(false);
    }
    QListWidget* log = window->logList();
    log->setVisible(true);
    QListWidgetItem* line = log->item(log->count() - 2);
    ASSERT_EQ(line->text().toStdString(), longLine);
    log->scrollToItem(line);
    EXPECT_EQ(tipAt(log, log->visualItemRect(line)), QString::fromStdString(longLine));
    QToolTip::hideText();

    BalloonClose();
    log->setFocus();
    QTest::keyClick(log, Qt::Key_F1);
    BalloonWindow* balloon = CurrentBalloon();
    ASSERT_NE(balloon, nullptr);
    EXPECT_EQ(balloon->text(), "Error:\nNimbo couldn't find \"Nimbo.chm\"");
    BalloonClose();
}

// Columns of numbers hold a 64-bit size uncut; the SYSLOG message is the last column shown
// and takes the free width, while its copy keeps the order of the cells.
TEST_F(GuiLists, NumberColumnsHoldA64BitSizeAndSyslogTextStretches)
{
    ASSERT_TRUE(OpenWindow(0x2FF));
    for (const ListSpec& spec : kListSpecs) {
        QTreeWidget* tree = List(spec.control);
        ASSERT_NE(tree, nullptr);
        const QRect cell(0, 0, 0, 10);
        for (int c = 0; c < spec.columnCount; ++c)
            if (spec.columns[c].align & Qt::AlignRight) {
                const int room = ListRowDelegate::TextRect(cell.adjusted(0, 0, tree->columnWidth(c), 0), c).width();
                EXPECT_GE(room, tree->fontMetrics().horizontalAdvance("18446744073709551615"))
                    << spec.control << " column " << spec.columns[c].title;
            }
    }
    QTreeWidget* syslog = List(CTL_MAIN_SYSLOG_LIST);
    EXPECT_EQ(syslog->header()->logicalIndex(2), 0);
    EXPECT_TRUE(syslog->header()->stretchLastSection());
}

// Every tab with content; with NIMBO_TAB_SHOTS set to a folder, each page is saved there as
// a PNG (tools/screenshot-tabs).
TEST_F(GuiLists, EveryTabShowsItsList)
{
    fake.settings.ShowProgressBar = 1;
    ASSERT_TRUE(OpenWindow(0x2FF));
    window->resize(QSize(900, 600).boundedTo(window->screen()->availableGeometry().size() - QSize(20, 40)));
    window->show();
    const TransferRecord running = Begin(467, 3000000000u, 1, 40000, "images/boot.wim");
    const TransferRecord done = Begin(468, 26000, 1, 40001, "pxelinux.0");
    fake.Send(NOTICE_TRANSFER_BEGIN, &running, sizeof running);
    fake.Send(NOTICE_TRANSFER_BEGIN, &done, sizeof done);
    TransferEndRecord end{468, done.stats};
    end.stats.bytesDone = 26000;
    end.stats.state = TRANSFER_DONE;
    fake.Send(NOTICE_TRANSFER_END, &end, sizeof end);
    TransferEndRecord half{467, running.stats};
    half.stats.bytesDone = 1200000000u;
    const auto stats = Stats(running.stats.startTime + 12, {half});
    fake.Send(NOTICE_TRANSFER_STATS, stats.data(), stats.size());
    std::vector<uint8_t> leases(4);
    const uint32_t one = 1;
    std::memcpy(leases.data(), &one, 4);
    auto lease = Record(59, {{0, "192.168.1.10"}, {16, "00:11:22:33:44:55 (Intel)"}});
    const int64_t at = 1700000000;
    std::memcpy(lease.data() + 43, &at, 8);
    leases.insert(leases.end(), lease.begin(), lease.end());
    fake.Send(NOTICE_LEASE_ROWS, leases.data(), leases.size());
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> events = {
        {NOTICE_DHCP_EVENT,
         Record(188, {{0, "192.168.1.10"}, {16, "00:11:22:33:44:55"}, {43, "192.168.1.1"}, {59, "pxeboot.n12"}})},
        {NOTICE_BINL_EVENT, Record(556, {{0, "192.168.1.10"}, {16, "NCQ"}, {56, "8086/100E rev 2"}})},
        {NOTICE_FTP_EVENT, Record(676, {{0, "192.168.1.11"}, {16, "/iso/netinst.iso"}, {276, "RETR done"}})},
        {NOTICE_HTTP_EVENT, Record(676, {{0, "192.168.1.12"}, {16, "/boot/menu.cfg"}, {276, "200 OK"}})},
        {NOTICE_SNTP_CLIENT, Record(16, {{0, "192.168.1.13"}})},
        {NOTICE_SYSLOG_ROW, Record(64, {{0, "192.168.1.14"}, {16, "<13>installer: partitioning done"}})},
        {NOTICE_DNS_ENTRY, Record(1089, {{0, "mirror.lan"}, {1025, "192.168.1.2"}})},
    };
    for (const auto& [id, record] : events)
        fake.Send(id, record.data(), record.size());
    SendLog("[10/12 18:30:00.000] TFTP Inf: Read request for file <pxelinux.0>");
    SendLog("[10/12 18:30:01.000] DHCP Warn: pool is nearly full");
    ASSERT_TRUE(Drained());

    const QString folder = qEnvironmentVariable("NIMBO_TAB_SHOTS");
    auto* tabs = window->findChild<QTabBar*>();
    ASSERT_NE(tabs, nullptr);
    for (int i = 0; i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        QCoreApplication::processEvents();
        SCOPED_TRACE(tabs->tabText(i).toStdString());
        if (!folder.isEmpty()) {
            EXPECT_TRUE(window->grab().save(folder + "/tab-" + tabs->tabText(i) + ".png"));
        }
        if (tabs->tabText(i) == "TFTPC")
            continue;  // the client pane has its own views
        int shown = 0;
        for (const ListSpec& spec : kListSpecs)
            if (QTreeWidget* list = List(spec.control); list->isVisible())
                shown += list->topLevelItemCount();
        shown += window->logList()->isVisible() ? window->logList()->count() : 0;
        EXPECT_GT(shown, 0);
    }
    if (!folder.isEmpty())
        for (GaugeWindow* g : window->findChildren<GaugeWindow*>())
            g->grab().save(folder + "/gauge.png");
}
