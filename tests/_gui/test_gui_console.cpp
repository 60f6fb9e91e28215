// The desktop's console client and main window against a scripted service end.
#include <gtest/gtest.h>

#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QStyleOptionViewItem>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <memory>

#include "_gui/console_client.h"
#include "_gui/main_window.h"
#include "libs/mini_tcp4u/tcp4u.h"
#include "tests/_gui/console_fixture.h"
#include "tests/_gui/fake_console.h"
#include "tests/_gui/gui_test_support.h"

namespace {

class GuiConsoleTest : public ConsoleWindowFixture {};

}  // namespace

TEST_F(GuiConsoleTest, ConnectProvesThePasswordAndFetchesTheCopies)
{
    fake.settings.NIMBO_Services = 0x205;
    for (size_t i = 0; i < fake.dhcp.size(); ++i)
        fake.dhcp[i] = static_cast<uint8_t>(i * 13 + 1);
    ASSERT_TRUE(Connect());
    const ConsoleModel& m = GuiConsole().model;
    GlobalSettings expected = fake.settings;
    expected.RunningServices = fake.running;
    EXPECT_EQ(std::memcmp(&m.settings, &expected, sizeof(expected)), 0);
    EXPECT_EQ(m.dhcpSettings, fake.dhcp);
    EXPECT_EQ(fake.Requests(),
              (std::vector<uint32_t>{REQ_SEND_GLOBAL_SETTINGS, REQ_SEND_DHCP_SETTINGS, REQ_SEND_RUNNING_SERVICES}));
    EXPECT_EQ(fake.handshakeResult(), 1);
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(GuiConsoleTest, WithoutTheRunningServicesTheStartGoesOn)
{
    fake.answerRunning = false;
    fake.greeting = 0;
    ASSERT_TRUE(Connect());
    EXPECT_EQ(GuiConsole().model.settings.RunningServices, 0u);
    EXPECT_EQ(GuiConsole().model.settings.NIMBO_Services, fake.settings.NIMBO_Services);
    EXPECT_TRUE(fake.HasRequest(REQ_SEND_RUNNING_SERVICES));
}

TEST_F(GuiConsoleTest, HandshakeFailuresAreReported)
{
    struct Case {
        const char* password;
        uint32_t version;
        const char* message;
    };
    const Case cases[] = {
        {"other", 12, "Bad Password"},
        {"qorlu7150", 11, "Console version does not match service's"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        FakeConsole server;
        ASSERT_TRUE(server.Start(c.password, c.version));
        ResetGuiConsole();
        GuiConsole().model.settings.ConsolePort = server.port();
        boxes.texts.clear();
        EXPECT_EQ(ConnectToService("127.0.0.1"), 0);
        EXPECT_EQ(boxes.texts, std::vector<std::string>{c.message});
        EXPECT_LT(GuiConsole().sock, 0);
    }
}

TEST_F(GuiConsoleTest, NoListenerMeansNoConnection)
{
    uint16_t port = 0;
    const int s = TcpListenSocket(nullptr, &port, true);
    ASSERT_GE(s, 0);
    TcpClose(s);
    GuiConsole().model.settings.ConsolePort = port;
    EXPECT_EQ(ConnectToService("127.0.0.1"), 0);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0].rfind("Can't connect to the service\nError 111 (", 0), 0u) << boxes.texts[0];
}

TEST_F(GuiConsoleTest, MainWindowShowsTheLinkNotices)
{
    ASSERT_TRUE(OpenWindow(0x205));
    EXPECT_EQ(window->windowTitle(), "Nimbo v4.6.0");
    EXPECT_EQ(window->tabTexts(), (QStringList{"TFTP", "DHCP", "BINL", "Log"}));
    EXPECT_EQ(window->currentPageBit(), 0x400);
    const ConsoleModel& m = GuiConsole().model;
    EXPECT_EQ(m.hostAddresses, (std::vector<uint32_t>{0x0100000A, 0x0200A8C0}));
    EXPECT_EQ(m.workingDirectories, std::vector<std::string>{"/srv/tftp"});
    const char line[] = "[01/01 10:00:00.000] hello";
    fake.Send(NOTICE_LOG, line, sizeof(line));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto items = window->logList()->findItems(line, Qt::MatchExactly);
            return !items.isEmpty();
        },
        10000));
    const char warning[] = "disk full";
    fake.Send(NOTICE_WARNING, warning, sizeof(warning));
    EXPECT_TRUE(QTest::qWaitFor([&] { return boxes.Saw("disk full"); }, 10000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 10000));
}

TEST_F(GuiConsoleTest, PrivateMessagesSendTheirRequests)
{
    ASSERT_TRUE(OpenWindow());
    struct Case {
        int message;
        intptr_t lparam;
        uint32_t request;
    };
    const Case cases[] = {
        {PM_STOP_TRANSFER, 7, REQ_STOP_TRANSFER},
        {PM_SET_WORKDIR, 0, REQ_SET_WORKING_DIR},
        {PM_STORE_SETTINGS, 0, REQ_STORE_GLOBAL_SETTINGS},
        {PM_STORE_DHCP, 0, REQ_STORE_DHCP_SETTINGS},
        {PM_FREE_LEASE, 0x0100000A, REQ_FREE_LEASE},
        {PM_ERASE_SETTINGS, 0, REQ_ERASE_SETTINGS},
        {PM_START_SERVICES, 0, REQ_START},
    };
    for (const Case& c : cases) {
        window->post(c.message, c.lparam);
        EXPECT_TRUE(WaitForRequest(c.request)) << std::hex << c.message;
    }
    window->systemCommand(SC_SUSPEND);
    EXPECT_TRUE(WaitForRequest(REQ_SUSPEND));
}

TEST_F(GuiConsoleTest, ClosingTheWindowStopsTheServices)
{
    ASSERT_TRUE(OpenWindow());
    window->close();
    EXPECT_TRUE(window->finished());
    EXPECT_TRUE(WaitForRequest(REQ_STOP_ALL));
    EXPECT_LT(GuiConsole().sock, 0);
    EXPECT_TRUE(GuiConsole().model.quiet);
}

TEST_F(GuiConsoleTest, LosingTheLinkEndsTheSession)
{
    struct Case {
        bool closeLink;
        const char* message;
    };
    const Case cases[] = {
        {true, "Nimbo service has ended\nThis session will terminate"},
        {false, "Nimbo has been disconnected from the service\nThis session will terminate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        window.reset();
        ResetGuiConsole();
        fake.Stop();
        fake.~FakeConsole();
        new (&fake) FakeConsole;
        boxes.texts.clear();
        ASSERT_TRUE(OpenWindow());
        if (c.closeLink)
            fake.Close();
        else
            fake.SendRaw({0x80, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00});  // length with bit 15
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->finished(); }, 20000));
        EXPECT_TRUE(window->linkLost());
        EXPECT_TRUE(boxes.Saw(c.message));
    }
}

TEST_F(GuiConsoleTest, ModalDialogInsideADispatchKeepsTheLinkRead)
{
    ASSERT_TRUE(OpenWindow());
    const char during[] = "[01/01 10:00:01.000] while the dialog is open";
    int phase = 0;
    int listed = -1;
    QElapsedTimer clock;
    QTimer poll;
    poll.setInterval(20);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = window->findChild<QDialog*>("directoryDialog");
        if (!dialog || !dialog->isVisible())
            return;
        if (phase == 0) {
            listed = dialog->findChild<QListWidget*>()->count();
            fake.Send(NOTICE_LOG, during, sizeof(during));
            clock.start();
            phase = 1;
        } else if (phase == 1) {
            const bool seen = !window->logList()->findItems(during, Qt::MatchExactly).isEmpty();
            if (seen || clock.elapsed() > 10000) {  // bounded either way
                phase = seen ? 2 : 3;
                dialog->accept();
            }
        }
    });
    poll.start();
    std::vector<uint8_t> listing(4 + 2 * 64);
    const uint32_t count = 2;
    std::memcpy(listing.data(), &count, 4);
    std::strcpy(reinterpret_cast<char*>(listing.data()) + 4, "boot.img\t12/01/26\t1024");
    std::strcpy(reinterpret_cast<char*>(listing.data()) + 68, "menu.c32\t12/01/26\t2048");
    fake.Send(NOTICE_DIRECTORY_LISTING, listing.data(), listing.size());
    ASSERT_TRUE(QTest::qWaitFor([&] { return phase >= 2; }, 30000));
    EXPECT_EQ(phase, 2) << "the link was not read while the dialog was open";
    EXPECT_EQ(listed, 2);
}

TEST_F(GuiConsoleTest, HintWrapsInsideTheWindowAndLogTabsStayClose)
{
    ASSERT_TRUE(OpenWindow());
    auto* hint = qobject_cast<QLabel*>(window->control(CTL_MAIN_HINT));
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->wordWrap());
    for (const QSize size : {QSize(900, 700), QSize(1400, 900), window->minimumSize()}) {
        window->resize(size);
        QCoreApplication::processEvents();
        const QRect r = hint->geometry();
        const int areaWidth = hint->parentWidget()->width();
        SCOPED_TRACE(areaWidth);
        EXPECT_GE(r.left(), 0);
        EXPECT_LE(r.right(), areaWidth - 1);
        // The whole wrapped text fits the label.
        const QRect text = hint->fontMetrics().boundingRect(QRect(0, 0, r.width(), 10000),
                                                            Qt::TextWordWrap | Qt::AlignCenter, hint->text());
        EXPECT_LE(text.width(), r.width());
        EXPECT_LE(text.height(), r.height());
    }
    // Tabs advance to the next stop a few pixels on, not by whole columns.
    QListWidget* log = window->logList();
    log->addItem("Created\t\tOK, menu.def");
    log->addItem("CreatedOK, menu.def");
    QStyleOptionViewItem option;
    option.initFrom(log);
    const QAbstractItemModel* model = log->model();
    const int tabbed = log->itemDelegate()->sizeHint(option, model->index(log->count() - 2, 0)).width();
    const int plain = log->itemDelegate()->sizeHint(option, model->index(log->count() - 1, 0)).width();
    const int charWidth = log->fontMetrics().horizontalAdvance('x');
    EXPECT_GT(tabbed, plain);
    EXPECT_LE(tabbed - plain, 2 * (log->fontMetrics().averageCharWidth() + charWidth));
}

TEST_F(GuiConsoleTest, TrayClickOpensTheMenuDoubleClickTheWindow)
{
    ASSERT_TRUE(OpenWindow());
    QMenu* menu = window->systemMenu();
    window->trayActivated(QSystemTrayIcon::Trigger);
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu->isVisible(); }, 5000));
    menu->hide();
    // A double click: the window comes back, and the menu does not open.
    window->hide();
    window->minimizeToTrayAction()->setChecked(true);
    window->trayActivated(QSystemTrayIcon::Trigger);
    window->trayActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible(); }, 5000));
    EXPECT_FALSE(window->minimizeToTrayAction()->isChecked());
    QTest::qWait(QApplication::doubleClickInterval() + 300);
    EXPECT_FALSE(menu->isVisible());
}
