// The whole desktop against the real service side, started in this process with a private
// settings file inside a private network namespace.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "_gui/balloon.h"
#include "_gui/console_client.h"
#include "_gui/dhcp_page.h"
#include "_gui/gui_main.h"
#include "_gui/main_lists.h"
#include "_gui/main_window.h"
#include "_gui/settings_page.h"
#include "_gui/settings_sheet.h"
#include "_gui/transfer_list.h"
#include "_gui/tree_list.h"
#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/tftp_errsim.h"
#include "_services/tftpd_service.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "tests/_gui/gui_test_support.h"
#include "tests/support/skip.h"
#include "tests/support/temp_folder.h"

namespace {

using nimbo::test::ReadFile;

// The lines of `after` that differ from the same lines of `before` ("<missing>" for a line
// that went, "+" before a line that came at the end).
std::vector<std::string> ChangedLines(const std::string& before, const std::string& after)
{
    std::istringstream a(before), b(after);
    std::vector<std::string> diff;
    std::string la, lb;
    while (std::getline(a, la)) {
        if (!std::getline(b, lb))
            lb = "<missing>";
        if (la != lb)
            diff.push_back(lb);
    }
    while (std::getline(b, lb))
        diff.push_back("+" + lb);
    return diff;
}

// Waits until the file holds every line (or 10 s), then a little more for anything queued.
bool WaitForLines(const std::string& path, const std::vector<std::string>& lines)
{
    const bool all = QTest::qWaitFor(
        [&] {
            const std::string now = ReadFile(path);
            for (const std::string& line : lines)
                if (now.find(line + "\n") == std::string::npos)
                    return false;
            return true;
        },
        10000);
    QTest::qWait(300);
    return all;
}

class GuiService : public ::testing::Test {
protected:
    void SetUp() override
    {
        EnsureQtApp();
        // A network namespace of our own, so that the services bind freely, with one more
        // interface (10.9.8.7), so that the address list has an entry.
        NIMBO_SKIP_IF(nimbo::test::NeedPrivateNetwork());
        if (system("ip link add nimbo0 type veth peer name nimbo1 && ip addr add 10.9.8.7/24 dev nimbo0 && "
                   "ip link set nimbo0 up && ip link set nimbo1 up") != 0)
            GTEST_SKIP() << "cannot make a veth pair in the private network namespace";
        // Nothing of an earlier case: the settings and the DHCP record come from this case's
        // settings file alone, the error simulator is off and the log (silenced by the
        // desktop's close) writes again.
        SettingsReplace(DefaultGlobalSettings());
        ResetDhcpSettings();
        ErrSimSetLiveRecord(ErrorSimulatorRecord{});
        LogEnable();
        folder_.emplace("nimbo-gui-");
        dir_ = folder_->path();
    }
    void TearDown() override
    {
        if (!folder_)
            return;
        StopThreads(0);
        JoinThreadRow(TH_CONSOLE, 5000);
    }
    void Boot(const std::string& nimboSection, const std::string& tftpSection = "")
    {
        BootWith("[NIMBO]\n" + nimboSection + "[TFTP]\nTFTP_Port=6969\nTFTP_RootDirectory=" + dir_ + "\n" +
                 tftpSection);
    }
    // Starts the services with this settings file.
    void BootWith(const std::string& iniText)
    {
        ini_ = dir_ + "/Nimbo.ini";
        std::ofstream(ini_) << iniText;
        setenv("NIMBO_INI", ini_.c_str(), 1);
        RegisterDhcpService();
        ServiceBootThread();
    }
    // A settings file with every key of the table (defaults, TFTP on port 6969 over the test's
    // folder, an [NFS] of our own and an unknown [HTTP] key), so that saving a whole record
    // changes nothing by itself.
    std::string EveryKeyIni()
    {
        const GlobalSettings defaults = DefaultGlobalSettings();
        std::map<std::string, std::string> values;
        for (const SettingsRow& row : SettingsTable) {
            const char* field = reinterpret_cast<const char*>(&defaults) + row.offset;
            int32_t number = 0;
            std::memcpy(&number, field, 4);
            values[row.key] =
                row.type == SETTING_TEXT ? std::string(field, strnlen(field, row.size)) : std::to_string(number);
        }
        values["NIMBO_Services"] = "1";
        values["TFTP_RootDirectory"] = dir_ + "/";
        values["TFTP_Port"] = "6969";
        values["NFS_RootDir"] = "/srv/nfs";
        values["NFS_Version"] = "2";
        std::string text, section;
        for (const SettingsRow& row : SettingsTable) {
            const std::string path = row.keyPath;
            const std::string s = path.substr(path.rfind('\\') + 1);
            if (s != section) {
                text += "[" + s + "]\n";
                section = s;
                if (s == "HTTP")
                    text += "HTTP_Unknown=keep me\n";
            }
            text += std::string(row.key) + "=" + values[row.key] + "\n";
        }
        return text;
    }
    // Runs the desktop; once its window is up and filled, `drive` is called once (it must
    // close the window). Bounded: after 60 s the window is closed.
    int RunGui(const std::function<void(MainWindow*)>& drive)
    {
        bool driven = false;
        QElapsedTimer clock;
        clock.start();
        QTimer poll;
        poll.setInterval(20);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            MainWindow* w = CurrentMainWindow();
            if (driven || !w)
                return;
            const ConsoleModel& m = GuiConsole().model;
            const bool ready = w->isVisible() && !m.hostAddresses.empty() && !m.workingDirectories.empty();
            if (!ready && clock.elapsed() < 60000)
                return;
            driven = true;
            if (!ready) {
                ADD_FAILURE() << "the window did not fill in time";
                w->close();
                return;
            }
            drive(w);
        });
        poll.start();
        return GuiMain();
    }

    BoxRecorder boxes;
    std::optional<nimbo::test::TempFolder> folder_;  // removed after the threads have stopped
    std::string dir_, ini_;
};

struct TabCase {
    int services;
    QStringList tabs;
};

class GuiServiceTabs : public GuiService, public ::testing::WithParamInterface<TabCase> {};

}  // namespace

TEST_P(GuiServiceTabs, WindowShowsTheServicesAndStopsThemOnClose)
{
    const TabCase& c = GetParam();
    Boot("NIMBO_Services=" + std::to_string(c.services) + "\n");
    QRect saved;
    const int rc = RunGui([&](MainWindow* w) {
        const ConsoleModel& m = GuiConsole().model;
        EXPECT_EQ(w->windowTitle(), "Nimbo v4.6.0");
        EXPECT_EQ(w->tabTexts(), c.tabs);
        EXPECT_EQ(w->currentPageBit(), c.tabs.isEmpty() ? 0x800 : (c.tabs.last() == "Log" ? 0x400 : -1));

        GlobalSettings live = SettingsSnapshot();
        EXPECT_EQ(std::memcmp(&m.settings, &live, offsetof(GlobalSettings, RunningServices)), 0)
            << "the settings copy differs from the live record";
        std::vector<uint8_t> dhcp =
            ConsoleHooks().getDhcpSettings ? ConsoleHooks().getDhcpSettings() : std::vector<uint8_t>();
        dhcp.resize(kDhcpSettingsSize, 0);
        EXPECT_EQ(m.dhcpSettings, dhcp);
        EXPECT_EQ(m.settings.RunningServices & 0x7000u, 0x7000u);
        EXPECT_EQ(m.settings.RunningServices, GetRunningServices());

        in_addr a{};
        inet_pton(AF_INET, "10.9.8.7", &a);
        EXPECT_NE(std::find(m.hostAddresses.begin(), m.hostAddresses.end(), a.s_addr), m.hostAddresses.end());
        EXPECT_EQ(m.workingDirectories, std::vector<std::string>{live.WorkingDirectory});

        w->setGeometry(61, 52, 1000, 800);
        saved = w->frameGeometry();
        w->close();
    });
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(boxes.texts.empty()) << boxes.texts.front();
    // Request 203 stopped every service, the Console thread with them.
    EXPECT_TRUE(JoinThreadRow(TH_CONSOLE, 10000));
    EXPECT_EQ(GetRunningServices() & ~0x7000u, 0u);
    const std::string pos = "NIMBO_LastWindowPos=" + std::to_string(saved.left()) + "," + std::to_string(saved.top()) +
                            "," + std::to_string(saved.left() + saved.width()) + "," +
                            std::to_string(saved.top() + saved.height());
    EXPECT_NE(ReadFile(ini_).find(pos), std::string::npos) << pos << "\n" << ReadFile(ini_);

    // The next start comes back to the saved place.
    MainWindow next(0x1, QString());
    next.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&next));
    EXPECT_EQ(next.frameGeometry(), saved);
}

INSTANTIATE_TEST_SUITE_P(Masks, GuiServiceTabs,
                         ::testing::Values(TabCase{1, {"TFTP", "Log"}}, TabCase{0x205, {"TFTP", "DHCP", "BINL", "Log"}},
                                           TabCase{0x305, {"TFTP", "PDHCP", "BINL", "Log"}}, TabCase{0x200, {}}),
                         [](const ::testing::TestParamInfo<TabCase>& info) {
                             char name[32];
                             std::snprintf(name, sizeof(name), "Mask%X", info.param.services);
                             return std::string(name);
                         });

TEST_F(GuiService, NothingConfiguredShowsAboutThenTheStartBalloon)
{
    Boot("NIMBO_Services=0\n");
    bool aboutSeen = false, balloonSeen = false;
    QStringList tabs{"not checked"};
    bool hintShown = false;
    RunGui([&](MainWindow* w) {
        tabs = w->tabTexts();
        hintShown = w->control(CTL_MAIN_HINT)->isVisible();
        // The About box runs its own loop under this call: answer it, then look again.
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->objectName() == "aboutBox" && top->isVisible()) {
                aboutSeen = true;
                QMetaObject::invokeMethod(top, "accept", Qt::QueuedConnection);
            }
        auto* later = new QTimer(w);
        later->setInterval(20);
        auto ticks = std::make_shared<int>(0);
        QObject::connect(later, &QTimer::timeout, w, [&, w, later, ticks] {
            if (++*ticks > 1500) {  // bounded: 30 s
                later->stop();
                w->close();
            } else if (BalloonWindow* b = CurrentBalloon()) {
                balloonSeen =
                    b->title() == "Nimbo v4.6.0" && b->text() == " Click icon for menu\n Double-click for settings.";
                later->stop();
                w->close();
            }
        });
        later->start();
    });
    EXPECT_TRUE(tabs.isEmpty());
    EXPECT_TRUE(hintShown);
    EXPECT_TRUE(aboutSeen);
    EXPECT_TRUE(balloonSeen);
}

TEST_F(GuiService, ErrorSimulatorWarningAtStartUp)
{
    Boot("NIMBO_Services=1\n", "TFTP_ErrorSimulator=fix|3\n");
    char text[] = "fix|3";
    ErrorSimulatorRecord rec{};
    ASSERT_EQ(ErrSimParse(text, &rec), 1);
    ErrSimSetLiveRecord(rec);
    bool warned = false;
    RunGui([&](MainWindow* w) {
        warned = QTest::qWaitFor(
            [&] {
                return !w->logList()
                            ->findItems("TFTP Warn: The Error Simulation engine is ON; fix|3", Qt::MatchEndsWith)
                            .isEmpty();
            },
            10000);
        GuiRequestClose(GUI_CLOSE_USER);
    });
    ErrSimSetLiveRecord(ErrorSimulatorRecord{});
    EXPECT_TRUE(warned);
}

TEST_F(GuiService, PositionOffTheScreenIsNotRestored)
{
    Boot("NIMBO_Services=1\nNIMBO_LastWindowPos=5000,40,6000,840\n");
    QRect seen;
    RunGui([&](MainWindow* w) {
        seen = w->frameGeometry();
        GuiRequestClose(GUI_CLOSE_USER);
    });
    const QRect screen = QGuiApplication::primaryScreen()->virtualGeometry();
    EXPECT_TRUE(screen.intersects(seen)) << seen.x() << "," << seen.y();
}

TEST_F(GuiService, CloseAfterAFailedSettingsWriteKeepsTheOldPosition)
{
    Boot("NIMBO_Services=1\nNIMBO_LastWindowPos=20,30,1020,830\n");
    const int rc = RunGui([&](MainWindow* w) {
        EXPECT_EQ(w->frameGeometry(), QRect(20, 30, 1000, 800));
        w->move(100, 100);
        std::thread writer([] { GuiRequestClose(GUI_CLOSE_INI_FAILURE); });
        writer.join();
    });
    EXPECT_EQ(rc, 1);
    EXPECT_NE(ReadFile(ini_).find("NIMBO_LastWindowPos=20,30,1020,830"), std::string::npos) << ReadFile(ini_);
}

TEST_F(GuiService, ServiceEndEndsTheSession)
{
    Boot("NIMBO_Services=1\n");
    const int rc = RunGui([&](MainWindow*) { std::thread([] { StopThreads(0); }).detach(); });
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(boxes.Saw("Nimbo service has ended\nThis session will terminate"));
}

TEST_F(GuiService, OtherPasswordIsRefused)
{
    Boot("NIMBO_Services=1\nNIMBO_ConsolePassword=other\n");
    EXPECT_EQ(GuiMain(), 0);
    EXPECT_EQ(boxes.texts, std::vector<std::string>{"Bad Password"});
}

TEST_F(GuiService, NoListenerNoSession)
{
    EXPECT_EQ(GuiMain(), 0);
    ASSERT_EQ(boxes.texts.size(), 1u);
    EXPECT_EQ(boxes.texts[0].rfind("Can't connect to the service\nError 111 (", 0), 0u) << boxes.texts[0];
}

TEST_F(GuiService, AtftpGetShowsInTheTransferListWithAGauge)
{
    std::ofstream(dir_ + "/pxe.bin") << std::string(200000, 'x');
    RegisterTftpService();
    Boot("NIMBO_Services=1\n", "TFTP_LocalIP=127.0.0.1\n");
    const int rc = RunGui([&](MainWindow* w) {
        GuiConsole().model.settings.ShowProgressBar = 1;
        QTreeWidget* list = w->lists()->list(CTL_MAIN_TRANSFER_LIST);
        int fetched = -1;
        std::thread client([&] {
            const std::string cmd =
                "timeout 30 atftp -g -r pxe.bin -l " + dir_ + "/got.bin 127.0.0.1 6969 >/dev/null 2>&1";
            fetched = system(cmd.c_str());
        });
        const bool done = QTest::qWaitFor(
            [&] { return list->topLevelItemCount() == 1 && list->topLevelItem(0)->text(3) == "100%"; }, 40000);
        client.join();
        EXPECT_EQ(fetched, 0);
        ASSERT_TRUE(done);
        const QTreeWidgetItem* row = list->topLevelItem(0);
        EXPECT_TRUE(row->text(0).startsWith("127.0.0.1:")) << row->text(0).toStdString();
        EXPECT_EQ(row->text(1), "<pxe.bin<");
        EXPECT_EQ(row->text(4), "200000");
        EXPECT_EQ(row->text(5), "200000");
        // Its gauge opened with the transfer and closed with it.
        EXPECT_EQ(w->lists()->transfers()->gaugesCreated(), 1);
        EXPECT_TRUE(QTest::qWaitFor([&] { return w->findChildren<GaugeWindow*>().isEmpty(); }, 10000));
        EXPECT_TRUE(w->lists()->transfers()->nodes().empty());
        w->close();
    });
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(ReadFile(dir_ + "/got.bin").size(), 200000u);
}

// The DHCP page against the real service side: turning the DHCP server on and adding a user
// option in the tree list reach the settings file as exactly those keys; every other [DHCP]
// key, [NFS] and unknown keys stay as they were, and a second open shows both.
TEST_F(GuiService, DhcpPageWritesExactlyTheChangedKeys)
{
    std::string dhcp =
        "DHCP_PoolSize=10\nDHCP_IP_Pool=10.9.8.100\nDHCP_IP_NextServer=\n"
        "DHCP_IP_Mask=255.255.255.0\nDHCP_BootFile=pxenimbo.0\nDHCP_DefaultGateway=10.9.8.1\n"
        "DHCP_DNS=10.9.8.1\nDHCP_DomainName=lab\nDHCP_LeaseTime=2880\nDHCP_ProcStatLeases=0\n"
        "DHCP_ProcMacFilter=0\nDHCP_BINL_BM_Mode=1\nDHCP_Unknown=keep me\n";
    for (const char* key : {"DHCP_Option", "DHCP_StaticLease", "DHCP_MacFilter"})
        for (int i = 1; i <= 10; ++i)
            dhcp += std::string(key) + std::to_string(i) + "=" +
                    (std::string(key) == "DHCP_Option" && i == 2 ? "23|10" : "") + "\n";
    // The [DHCP] keys of the record join the section's keys of the table.
    std::string text = EveryKeyIni();
    const size_t section = text.find("[DHCP]\n");
    if (section == std::string::npos)
        text += "[DHCP]\n" + dhcp;
    else
        text.insert(section + 7, dhcp);
    BootWith(text);
    const std::string before = ReadFile(ini_);
    bool checked = false;
    RunGui([&](MainWindow* w) {
        SettingsSheet* sheet = ShowSettingsSheet(w, QString());
        EXPECT_TRUE(QTest::qWaitFor([&] { return GuiConsole().model.dhcpSettings[0] != 0; }, 5000));
        QTest::qWait(200);
        EXPECT_TRUE(sheet->setCurrentPage(3));
        SettingsPage* page = sheet->currentPage();
        EXPECT_EQ(page->controlAs<QLineEdit>(CTL_DHCP_DOMAIN)->text(), "lab");
        page->controlAs<QCheckBox>(CTL_DHCP_SERVER)->click();
        TreeList* tree = DhcpPageTree(page);
        QTreeWidgetItem* group = tree ? TreeListFindItem(tree->tree(), nullptr, "DHCP Options") : nullptr;
        EXPECT_NE(group, nullptr);
        if (group) {
            tree->beginEdit(group->child(0), 1);
            if (auto* editor = qobject_cast<QLineEdit*>(tree->editor()))
                editor->setText("42|10.9.8.1");
        }
        EXPECT_TRUE(sheet->pressOk());
        const std::vector<std::string> changed = {"NIMBO_Services=5", "DHCP_Option1=42|10.9.8.1"};
        EXPECT_TRUE(WaitForLines(ini_, changed));
        EXPECT_EQ(ChangedLines(before, ReadFile(ini_)), changed);

        sheet = ShowSettingsSheet(w, QString());
        EXPECT_TRUE(sheet->setCurrentPage(3));
        tree = DhcpPageTree(sheet->currentPage());
        group = tree ? TreeListFindItem(tree->tree(), nullptr, "DHCP Options") : nullptr;
        EXPECT_TRUE(group && group->child(0)->text(1) == "42|10.9.8.1");
        EXPECT_TRUE(sheet->currentPage()->controlAs<QCheckBox>(CTL_DHCP_SERVER)->isChecked());
        sheet->pressCancel();
        checked = true;
        w->close();
    });
    EXPECT_TRUE(checked);
}

// A pool that runs past its subnet: the DHCP page refuses it at its field, and a record that
// carries one all the same (request 208 straight from the link) is refused by the service.
// The settings file is not written either way.
TEST_F(GuiService, APoolPastItsSubnetIsNeverWritten)
{
    std::string text = EveryKeyIni();
    text += "DHCP_IP_Pool=10.99.1.100\nDHCP_PoolSize=10\nDHCP_IP_Mask=255.255.0.0\n";
    BootWith(text);
    const std::string before = ReadFile(ini_);
    bool checked = false;
    RunGui([&](MainWindow* w) {
        SettingsSheet* sheet = ShowSettingsSheet(w, QString());
        EXPECT_TRUE(QTest::qWaitFor([&] { return GuiConsole().model.dhcpSettings[0] != 0; }, 5000));
        QTest::qWait(200);
        EXPECT_TRUE(sheet->setCurrentPage(3));
        SettingsPage* page = sheet->currentPage();
        page->controlAs<QCheckBox>(CTL_DHCP_SERVER)->click();
        page->controlAs<QLineEdit>(CTL_DHCP_POOL)->setText("10.99.1.0");
        auto* size = page->controlAs<QLineEdit>(CTL_DHCP_POOL_SIZE);
        size->setText("10991999");
        EXPECT_FALSE(sheet->pressOk());
        const QString refused = CurrentBalloon() ? CurrentBalloon()->text() : QString();
        EXPECT_TRUE(refused.startsWith("Error: \nDHCP Pool runs past its subnet 10.99.0.0/16"))
            << refused.toStdString();
        EXPECT_EQ(sheet->focusWidget(), size);
        sheet->pressCancel();

        DhcpSettings bad;
        std::memcpy(&bad, GuiConsole().model.dhcpSettings.data(), sizeof bad);
        std::snprintf(bad.DHCP_IP_Pool, sizeof bad.DHCP_IP_Pool, "10.99.1.0");
        bad.PoolStart = inet_addr("10.99.1.0");
        bad.DHCP_PoolSize = 10991999;
        std::memcpy(GuiConsole().model.dhcpSettings.data(), &bad, sizeof bad);
        SendStoreDhcpSettings();
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return !w->logList()
                            ->findItems("DHCP Err: new settings not stored: DHCP_PoolSize: ", Qt::MatchContains)
                            .isEmpty();
            },
            10000));
        QTest::qWait(300);
        EXPECT_EQ(ChangedLines(before, ReadFile(ini_)), std::vector<std::string>{});
        EXPECT_EQ(DhcpSettingsRecord().DHCP_PoolSize, 10);
        checked = true;
        w->close();
    });
    EXPECT_TRUE(checked);
}

TEST_F(GuiService, UdhcpcLeaseShowsInTheLeaseList)
{
    // The client end of the pair goes to a namespace of its own, where udhcpc asks.
    const std::string ns = "nimbogui" + std::to_string(getpid());
    if (system(("ip netns add " + ns + " && ip link set nimbo1 netns " + ns + " && ip netns exec " + ns +
                " sh -c 'ip link set lo up && ip link set nimbo1 address 00:0c:29:12:34:56 && ip link set nimbo1 up'")
                   .c_str()) != 0) {
        system(("ip netns del " + ns + " 2>/dev/null").c_str());
        GTEST_SKIP() << "cannot make a named network namespace";
    }
    Boot("NIMBO_Services=5\n",
         "[DHCP]\nDHCP_IP_Pool=10.9.8.100\nDHCP_PoolSize=20\nDHCP_IP_Mask=255.255.255.0\n"
         "DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=60\n");
    const int rc = RunGui([&](MainWindow* w) {
        QTreeWidget* list = w->lists()->list(CTL_MAIN_LEASE_LIST);
        int asked = -1;
        std::thread client([&] {
            const std::string cmd =
                "timeout 40 ip netns exec " + ns +
                " busybox udhcpc -i nimbo1 -n -q -f -t 6 -T 2 -s /bin/true -V PXEClient >/dev/null 2>&1";
            asked = system(cmd.c_str());
        });
        const bool shown = QTest::qWaitFor(
            [&] { return list->topLevelItemCount() == 1 && !list->topLevelItem(0)->text(3).isEmpty(); }, 45000);
        client.join();
        EXPECT_EQ(asked, 0);
        ASSERT_TRUE(shown);
        const QTreeWidgetItem* row = list->topLevelItem(0);
        EXPECT_TRUE(row->text(1).startsWith("10.9.8.1")) << row->text(1).toStdString();
        // "vendor/MAC": the address block's maker is known.
        const QString mac = row->text(2);
        EXPECT_TRUE(mac.endsWith("/00:0C:29:12:34:56")) << mac.toStdString();
        EXPECT_FALSE(mac.startsWith("?/") || mac.startsWith("/")) << mac.toStdString();
        EXPECT_FALSE(row->text(0).isEmpty());
        w->close();
    });
    system(("ip netns del " + ns).c_str());
    EXPECT_EQ(rc, 1);
}

// The settings sheet against the real service side: one value changed on each page, OK,
// and the settings file differs in exactly those lines; [NFS], unknown keys and [DHCP] stay.
TEST_F(GuiService, SettingsSheetWritesExactlyTheChangedKeys)
{
    std::string text = EveryKeyIni();
    text += "DHCP_IP_Pool=10.9.8.100\nDHCP_PoolSize=10\nDHCP_LeaseTime=777\n[Custom]\nSomething=else\n";
    BootWith(text);
    const std::string before = ReadFile(ini_);

    bool checked = false;
    RunGui([&](MainWindow* w) {
        // No DHCP thread runs; the service read the [DHCP] keys for the desktop all the same.
        DhcpSettings copy;
        std::memcpy(&copy, GuiConsole().model.dhcpSettings.data(), sizeof copy);
        EXPECT_EQ(+copy.DHCP_LeaseTime, 777);
        EXPECT_STREQ(copy.DHCP_IP_Pool, "10.9.8.100");

        SettingsSheet* sheet = ShowSettingsSheet(w, QString());
        auto go = [&](const char* title) {
            for (int i = 0; i < sheet->pageCount(); ++i) {
                if (sheet->page(i)->title() == title) {
                    EXPECT_TRUE(sheet->setCurrentPage(i)) << title;
                }
            }
            return sheet->currentPage();
        };
        auto bindTo = [](SettingsPage* page, int box, int list) {
            page->controlAs<QCheckBox>(box)->setChecked(true);
            auto* combo = page->controlAs<QComboBox>(list);
            combo->setCurrentIndex(combo->findText("10.9.8.7"));
        };
        go("HTTP")->controlAs<QLineEdit>(CTL_HTTP_PORT)->setText("8081");
        go("FTP")->controlAs<QLineEdit>(CTL_FTP_PORT)->setText("2121");
        go("TFTP")->controlAs<QLineEdit>(CTL_TFTP_TIMEOUT)->setText("5");
        go("DHCP");
        bindTo(go("DNS"), CTL_DNS_BIND, CTL_DNS_BIND_LIST);
        bindTo(go("SNTP"), CTL_SNTP_BIND, CTL_SNTP_BIND_LIST);
        go("SYSLOG")->controlAs<QCheckBox>(CTL_SYSLOG_PIPE)->setChecked(true);
        EXPECT_TRUE(sheet->pressOk());

        // In the order of the file.
        const std::vector<std::string> changed = {"TFTP_Timeout=5",
                                                  "FTP_Port=2121",
                                                  "HTTP_Port=8081",
                                                  "DNS_LocalIP=10.9.8.7",
                                                  "SYSLOG_ForwardLogToPipe=1",
                                                  "SNTP_LocalIP=10.9.8.7"};
        EXPECT_TRUE(WaitForLines(ini_, changed));
        // The file differs in those lines only.
        EXPECT_EQ(ChangedLines(before, ReadFile(ini_)), changed);
        EXPECT_EQ(SettingsSnapshot().HTTP_Port, 8081);

        // A second open shows the new values.
        sheet = ShowSettingsSheet(w, QString());
        EXPECT_EQ(sheet->currentPage()->controlAs<QLineEdit>(CTL_HTTP_PORT)->text(), "8081");
        SettingsPage* dns = go("DNS");
        EXPECT_TRUE(dns->controlAs<QCheckBox>(CTL_DNS_BIND)->isChecked());
        EXPECT_EQ(dns->controlAs<QComboBox>(CTL_DNS_BIND_LIST)->currentText(), "10.9.8.7");
        EXPECT_EQ(go("TFTP")->controlAs<QLineEdit>(CTL_TFTP_TIMEOUT)->text(), "5");
        sheet->pressCancel();
        checked = true;
        w->close();
    });
    EXPECT_TRUE(checked);
}
