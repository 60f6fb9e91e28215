// The thread table and the console link, driven in-process through a console client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "libs/log/log.h"

#include "_services/host_records.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "tests/_services/console_client.h"
#include "tests/support/skip.h"
#include "tests/support/temp_folder.h"

namespace {
class HostFixture : public ::testing::Test {
protected:
    void SetUp() override {
        NIMBO_SKIP_IF(nimbo::test::NeedPrivateNetwork());
        tmp_.emplace("nimbo-console-");
        dir_ = tmp_->path();
    }
    void TearDown() override {
        if (!tmp_) return;
        StopThreads(0);
        JoinThreadRow(TH_CONSOLE, 5000);
    }
    void Boot(const std::string& iniText) {
        ini_ = dir_ + "/Nimbo.ini";
        std::ofstream(ini_) << iniText;
        setenv("NIMBO_INI", ini_.c_str(), 1);
        ServiceBootThread();
        port_ = static_cast<uint16_t>(WaitConsoleListening(10000));
        ASSERT_NE(port_, 0);
    }
    std::optional<nimbo::test::TempFolder> tmp_;  // removed after the threads have stopped
    std::string dir_, ini_;
    uint16_t port_ = 0;
};

// The Console thread has taken the GUI that connected (its handshake ends before it does so):
// waited for, at most 10 s.
bool WaitConnected() {
    for (int i = 0; i < 1000 && ConsoleState() != CONSOLE_CONNECTED; ++i) usleep(10000);
    return ConsoleState() == CONSOLE_CONNECTED;
}

// The Console thread has let the GUI go: waited for, at most 30 s.
bool WaitNotConnected() {
    for (int i = 0; i < 3000 && ConsoleState() == CONSOLE_CONNECTED; ++i) usleep(10000);
    return ConsoleState() != CONSOLE_CONNECTED;
}

uint32_t U32(const ConsoleFrame& f) {
    uint32_t v = 0;
    if (f.payload.size() >= 4) memcpy(&v, f.payload.data(), 4);
    return v;
}
}  // namespace

TEST_F(HostFixture, ThreadTableStartSuspendRestartAndBindFailure) {
    // Hold the TFTP port so that the TFTP row cannot bind it.
    int held = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(6969);
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

    // TFTP | FTP | HTTP | NFS, and BINL, which needs DHCP or PDHCP and therefore stays off.
    Boot("[NIMBO]\nNIMBO_Services=1729\n[TFTP]\nTFTP_Port=6969\nTFTP_RootDirectory=" + dir_ + "\n");
    const uint32_t infra = SVC_CONSOLE | SVC_REGISTRY | SVC_SCHEDULER;
    EXPECT_EQ(GetRunningServices(), infra | SVC_FTP | SVC_HTTP | SVC_NFS);

    ConsoleTestClient c;
    ASSERT_EQ(c.Connect(port_), 1);
    ASSERT_TRUE(c.Request(REQ_SEND_RUNNING_SERVICES));
    EXPECT_EQ(U32(c.WaitFor(NOTICE_RUNNING_SERVICES)), infra | SVC_FTP | SVC_HTTP | SVC_NFS);

    ASSERT_TRUE(c.Request(REQ_SUSPEND));
    ASSERT_TRUE(c.Request(REQ_SEND_RUNNING_SERVICES));
    EXPECT_EQ(U32(c.WaitFor(NOTICE_RUNNING_SERVICES)), infra) << "suspend leaves the infrastructure running";

    ASSERT_TRUE(c.Request(REQ_START));
    ConsoleFrame err = c.WaitFor(NOTICE_ERROR);
    std::string text(err.payload.begin(), err.payload.end());
    EXPECT_NE(text.find("Nimbo can not bind the TFTP port"), std::string::npos) << text;
    EXPECT_EQ(c.WaitFor(NOTICE_SERVICES_STARTED).id, NOTICE_SERVICES_STARTED);
    ASSERT_TRUE(c.Request(REQ_SEND_RUNNING_SERVICES));
    EXPECT_EQ(U32(c.WaitFor(NOTICE_RUNNING_SERVICES)), infra | SVC_FTP | SVC_HTTP | SVC_NFS);

    // Once the port is free the TFTP row starts with the others; the rest are not started twice.
    close(held);
    ASSERT_TRUE(c.Request(REQ_START));
    EXPECT_EQ(c.WaitFor(NOTICE_SERVICES_STARTED).id, NOTICE_SERVICES_STARTED);
    ASSERT_TRUE(c.Request(REQ_SEND_RUNNING_SERVICES));
    EXPECT_EQ(U32(c.WaitFor(NOTICE_RUNNING_SERVICES)), infra | SVC_TFTP_SERVER | SVC_FTP | SVC_HTTP | SVC_NFS);

    // Request 201 stops the TFTP row alone; 205 joins it and starts it again.
    ASSERT_TRUE(c.Request(REQ_STOP_TFTP));
    ASSERT_TRUE(c.Request(REQ_START));
    EXPECT_EQ(c.WaitFor(NOTICE_SERVICES_STARTED).id, NOTICE_SERVICES_STARTED);
    EXPECT_TRUE(IsRowRunning(TH_TFTP));

    // Stop all: every row stops and the connection ends.
    ASSERT_TRUE(c.Request(REQ_STOP_ALL));
    EXPECT_TRUE(c.PeerClosed());
    EXPECT_TRUE(JoinThreadRow(TH_CONSOLE, 5000));
    EXPECT_EQ(GetRunningServices(), 0u);
    EXPECT_EQ(ToConsole(NOTICE_LOG, "late", 5, true), 0) << "a late notice is harmless";
}

TEST_F(HostFixture, SynchronousNoticeFollowsQueuedOnes) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    EXPECT_EQ(ToConsole(NOTICE_LOG, "x", 2, false), 0) << "no GUI: dropped";
    ConsoleTestClient c;
    ASSERT_EQ(c.Connect(port_), 1);
    ASSERT_TRUE(WaitConnected());

    std::thread poster([] {
        for (int i = 0; i < 50; ++i) {
            std::string line = "line " + std::to_string(i);
            ToConsole(NOTICE_LOG, line.c_str(), line.size() + 1, false);
        }
        uint8_t rec[188] = {1, 2, 3};
        EXPECT_EQ(ToConsole(NOTICE_DHCP_EVENT, rec, sizeof rec, true), 1);
    });
    int logs = 0;
    for (;;) {
        ConsoleFrame f = c.Next();
        ASSERT_NE(f.id, 0u) << "connection lost after " << logs << " notices";
        if (f.id == NOTICE_DHCP_EVENT) {
            EXPECT_EQ(f.payload.size(), 188u);
            break;
        }
        if (f.id == NOTICE_LOG) {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.payload.data())), "line " + std::to_string(logs));
            ++logs;
        }
    }
    poster.join();
    EXPECT_EQ(logs, 50);

    // Notices posted in a wake batch leave in order once the batch ends.
    {
        ConsoleWakeBatch batch;
        for (int i = 0; i < 30; ++i) {
            std::string line = "batched " + std::to_string(i);
            ToConsole(NOTICE_LOG, line.c_str(), line.size() + 1, false);
        }
    }
    for (int i = 0; i < 30; ++i) {
        ConsoleFrame f = c.Next();
        ASSERT_EQ(f.id, NOTICE_LOG) << "notice " << i;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.payload.data())), "batched " + std::to_string(i));
    }

    // When the GUI goes away, a synchronous notice does not wait for ever.
    c.Close();
    ASSERT_TRUE(WaitNotConnected());
    EXPECT_EQ(ToConsole(NOTICE_DHCP_EVENT, "x", 1, true), 0);
}

// A GUI that stops reading must hold no service thread: synchronous notices wait a bounded
// time, the Console thread's writes time out and the link is dropped as lost.
TEST_F(HostFixture, GuiThatStopsReadingHoldsNoServiceThread) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    ConsoleTestClient stuck;
    ASSERT_EQ(stuck.Connect(port_), 1);
    ASSERT_TRUE(WaitConnected());

    // Lease lists and transfer reports go out as synchronous notices; far more bytes than
    // the socket buffers hold, while the GUI reads nothing.
    std::atomic<int> sent{0};
    std::atomic<bool> done{false};
    std::thread service([&] {
        std::vector<uint8_t> rows(30000, 0x41);
        for (int i = 0; i < 1000; ++i) {
            ToConsole(NOTICE_LEASE_ROWS, rows.data(), rows.size(), true);
            ++sent;
        }
        done = true;
    });
    // A bound far beyond the waits involved: only a thread that is held for good misses it.
    for (int i = 0; i < 9000 && !done; ++i) usleep(10000);
    if (!done) {
        service.detach();
        FAIL() << "a service thread is held by a GUI that does not read, after " << sent << " notices";
    }
    service.join();
    EXPECT_TRUE(WaitNotConnected()) << "the link to a GUI that does not read is dropped";
    // What was written before the drop is still there to read, then the end of the stream.
    bool ended = false;
    timeval limit{10, 0};
    setsockopt(stuck.sock(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<uint8_t> chunk(1 << 16);
    for (int i = 0; i < 100000 && !ended; ++i) {
        ssize_t n = recv(stuck.sock(), chunk.data(), chunk.size(), 0);
        if (n <= 0) ended = true;
    }
    EXPECT_TRUE(ended) << "the link to a GUI that does not read is closed";

    // The next GUI is served, and its synchronous notices are written again (once the Console
    // thread listens again).
    port_ = static_cast<uint16_t>(WaitConsoleListening(10000));
    ASSERT_NE(port_, 0);
    ConsoleTestClient next;
    ASSERT_EQ(next.Connect(port_), 1);
    ASSERT_TRUE(WaitConnected());
    ASSERT_TRUE(next.Request(REQ_SEND_RUNNING_SERVICES));
    EXPECT_EQ(next.WaitFor(NOTICE_RUNNING_SERVICES).id, NOTICE_RUNNING_SERVICES);
    std::thread again([] {
        uint8_t rec[188] = {7};
        ToConsole(NOTICE_DHCP_EVENT, rec, sizeof rec, true);
    });
    ConsoleFrame f = next.WaitFor(NOTICE_DHCP_EVENT);
    again.join();
    ASSERT_EQ(f.payload.size(), 188u);
    EXPECT_EQ(f.payload[0], 7);
}

// A GUI that falls behind loses notices, never a service thread's time: what the full queue
// drops is counted, and the GUI is told the number after the notices that did reach it, so
// that every notice is either received, in order, or counted.
TEST_F(HostFixture, NoticesAGuiFallsBehindOnAreCountedAndTold) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    ConsoleTestClient gui;
    ASSERT_EQ(gui.Connect(port_), 1);
    for (int i = 0; i < 100 && ConsoleState() != CONSOLE_CONNECTED; ++i) usleep(10000);
    ASSERT_EQ(ConsoleState(), CONSOLE_CONNECTED);
    const uint64_t droppedBefore = ConsoleDroppedNotices();
    // Far more than the socket buffers and the queue hold, posted while the GUI reads nothing.
    constexpr int kPosted = 20000;
    const std::string pad(1000, 'p');
    for (int i = 0; i < kPosted; ++i) {
        const std::string line = "n#" + std::to_string(i) + " " + pad;
        EXPECT_EQ(ToConsole(NOTICE_LOG, line.c_str(), line.size() + 1, false), 1);
    }
    const uint64_t dropped = ConsoleDroppedNotices() - droppedBefore;
    EXPECT_GT(dropped, 0u);

    int received = 0, last = -1;
    uint64_t told = 0;
    for (int frames = 0; frames < 2 * kPosted && received + told < static_cast<uint64_t>(kPosted); ++frames) {
        ConsoleFrame f = gui.Next(10);
        ASSERT_NE(f.id, 0u) << "link lost after " << received << " notices, " << told << " told as dropped";
        if (f.id != NOTICE_LOG) continue;
        const char* chars = reinterpret_cast<const char*>(f.payload.data());
        const std::string text(chars, strnlen(chars, f.payload.size()));
        if (text.rfind("n#", 0) == 0) {
            const int n = std::stoi(text.substr(2));
            EXPECT_GT(n, last) << "out of order";
            last = n;
            ++received;
            continue;
        }
        const size_t at = text.find("Console Warn: ");
        if (at != std::string::npos) {
            EXPECT_EQ(text[0], '[') << "a log line with its time stamp: " << text;
            told += std::stoull(text.substr(at + 14));
        }
    }
    EXPECT_EQ(received + told, static_cast<uint64_t>(kPosted));
    EXPECT_EQ(told, dropped);
    EXPECT_EQ(ConsoleState(), CONSOLE_CONNECTED) << "a GUI that catches up keeps its link";
}

namespace {
// The log lines of the bound test that went to the GUI, by the spell they were posted in.
std::mutex g_spellLock;
std::map<int64_t, int> g_linesBySpell;
void CountLineBySpell(uint32_t id, const void* data, size_t length) {
    if (id != NOTICE_LOG ||
        std::string_view(static_cast<const char*>(data), length).find("] l#") == std::string_view::npos)
        return;
    const int64_t ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    std::lock_guard<std::mutex> lock(g_spellLock);
    ++g_linesBySpell[ms / kConsoleLineSpellMs];
}
}  // namespace

// Log lines for the GUI are bounded per spell, as many as its log shows at once: a stream of
// lines beyond that is neither formatted nor sent, only counted and told. Every line is
// received or counted, and no spell carries more than its bound.
TEST_F(HostFixture, LogLinesForTheGuiAreBoundedAndTheRestCounted) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    ConsoleTestClient gui;
    ASSERT_EQ(gui.Connect(port_), 1);
    for (int i = 0; i < 100 && ConsoleState() != CONSOLE_CONNECTED; ++i) usleep(10000);
    ASSERT_EQ(ConsoleState(), CONSOLE_CONNECTED);
    g_linesBySpell.clear();
    SetNoticeTap(CountLineBySpell);
    // Paced so that the queue keeps up with them: only the bound holds lines back.
    constexpr int kPosted = 5 * kConsoleLinesPerSpell;
    for (int i = 0; i < kPosted; ++i) {
        LogPrint(0, "l#%d", i);
        usleep(5);
    }
    SetNoticeTap(nullptr);
    int received = 0;
    uint64_t told = 0;
    for (int frames = 0; frames < 2 * kPosted && received + told < static_cast<uint64_t>(kPosted); ++frames) {
        ConsoleFrame f = gui.Next(10);
        ASSERT_NE(f.id, 0u) << "link lost after " << received << " lines, " << told << " told as dropped";
        if (f.id != NOTICE_LOG) continue;
        const char* chars = reinterpret_cast<const char*>(f.payload.data());
        const std::string text(chars, strnlen(chars, f.payload.size()));
        if (text.find("] l#") != std::string::npos) ++received;
        const size_t at = text.find("Console Warn: ");
        if (at != std::string::npos) told += std::stoull(text.substr(at + 14));
    }
    EXPECT_EQ(received + told, static_cast<uint64_t>(kPosted));
    int most = 0;
    for (const auto& [spell, lines] : g_linesBySpell) most = std::max(most, lines);
    // A line counted at the very end of a spell may reach the tap in the next one.
    EXPECT_LE(most, kConsoleLinesPerSpell + 16);
    EXPECT_GT(most, 0);
}

namespace {
std::atomic<int> g_boxes{0};
std::atomic<int> g_closeRequests{0};
int CountBox(void*, const std::string& text, const std::string&, unsigned) {
    if (text.find("couldn't save Nimbo.ini") != std::string::npos) ++g_boxes;
    return 1;
}
void CountClose() { ++g_closeRequests; }
}  // namespace

TEST_F(HostFixture, UnwritableIniGivesOneBoxPerSave) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    SetMessageBoxHandler(CountBox);
    SetIniFailureHandler(CountClose);
    SetIniPath("/nonexistent-folder/Nimbo.ini");
    ASSERT_EQ(SaveSettings(), 1);
    for (int i = 0; i < 1000 && g_boxes == 0; ++i) usleep(10000);
    EXPECT_EQ(g_boxes, 1) << "the box of the save";
    // Whatever the writer still had to do is done once it has stopped.
    StopThreads(0);
    EXPECT_TRUE(JoinThreadRow(TH_CONSOLE, 5000));
    EXPECT_EQ(GetRunningServices(), 0u) << "the settings writer stopped";
    EXPECT_EQ(g_boxes, 1) << "60 failed keys, one box";
    EXPECT_EQ(g_closeRequests, 1);
    SetMessageBoxHandler(nullptr);
    SetIniFailureHandler(nullptr);
}

TEST_F(HostFixture, AddressChangesReachTheGui) {
    Boot("[NIMBO]\nNIMBO_Services=0\n");
    ConsoleTestClient c;
    ASSERT_EQ(c.Connect(port_), 1);
    ASSERT_TRUE(c.Request(REQ_SEND_HOST_IPS));
    ConsoleFrame f = c.WaitFor(NOTICE_HOST_IP_LIST);
    ASSERT_EQ(f.payload.size(), sizeof(HostIpListRecord));
    HostIpListRecord rec;
    memcpy(&rec, f.payload.data(), sizeof rec);
    EXPECT_EQ(rec.count, 0u) << "loopback is not listed";

    // A new interface address in this private namespace is reported without being asked.
    ASSERT_EQ(system("ip link add nimbo-a type veth peer name nimbo-b && ip addr add 192.0.2.7/24 dev nimbo-a && "
                     "ip link set nimbo-a up"),
              0);
    in_addr want;
    inet_pton(AF_INET, "192.0.2.7", &want);
    bool seen = false;
    for (int i = 0; i < 10 && !seen; ++i) {
        f = c.WaitFor(NOTICE_HOST_IP_LIST, 30);
        ASSERT_EQ(f.payload.size(), sizeof rec);
        memcpy(&rec, f.payload.data(), sizeof rec);
        seen = rec.count == 1 && rec.slots[0].addr == want.s_addr;
    }
    EXPECT_TRUE(seen);
}
