// The TFTP service on loopback against real clients (tftp-hpa, atftp, curl) and a raw
// socket client: options, block-number wrap, MD5 files, 200 clients at once, the error
// simulator, the escape table and stopping a transfer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "_services/dhcp/dhcp_settings.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/tftp_errsim.h"
#include "_services/tftp_records.h"
#include "_services/tftp_worker.h"
#include "_services/tftpd_service.h"
#include "_services/tftpd_thread.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/event.h"
#include "libs/platform/sockets.h"
#include "tests/_services/process_load.h"
#include "tests/_services/service_test_util.h"
#include "tests/_services/tftp/tftp_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {

std::optional<nimbo::test::TempFolder> g_folder;
std::string g_base;  // the temporary folder: root/, out/, outside files
std::string g_root;
int g_port = 0;

// The notices the service posts while the suite runs: transfer begins (100), ends (101) and
// the statistics (102).
std::optional<nimbo::test::NoticeCapture> g_notices;
using nimbo::test::CapturedNotice;
using nimbo::test::RecordsOf;
constexpr uint32_t kBegin = 100, kEnd = 101, kStatistics = 102;

std::vector<TransferRecord> Begins() { return g_notices->Records<TransferRecord>(kBegin); }

// Runs a shell command bounded in time; returns its exit status.
int Shell(const std::string& cmd, int seconds = 60) {
    std::string full = "timeout " + std::to_string(seconds) + " sh -c '" + cmd + "' >/dev/null 2>&1";
    int r = system(full.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

std::string Out(const std::string& name) { return g_base + "/out/" + name; }
std::string Port() { return std::to_string(g_port); }

void SetSetting(const std::function<void(GlobalSettings&)>& edit) { SettingsUpdate(edit); }

class TftpServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_folder.emplace("tftp_srv_");
        g_base = g_folder->path();
        g_root = g_base + "/root";
        mkdir(g_root.c_str(), 0755);
        mkdir((g_base + "/out").c_str(), 0755);
        mkdir((g_base + "/sibling").c_str(), 0755);
        mkdir((g_root + "/Boot").c_str(), 0755);
        WriteFile(g_base + "/x", "outside");
        WriteFile(g_base + "/sibling/x", "sibling");
        WriteFile(g_root + "/small.bin", RandomBytes(100000, 1));
        WriteFile(g_root + "/exact.bin", RandomBytes(1024, 2));
        WriteFile(g_root + "/empty.bin", "");
        WriteFile(g_root + "/sim.bin", RandomBytes(20 * 512 + 100, 3));
        WriteFile(g_root + "/Boot/PXEboot.N12", RandomBytes(5000, 4));
        symlink("../x", (g_root + "/out").c_str());
        mkfifo((g_root + "/fifo").c_str(), 0644);

        SetWorkingDirectory(g_root);
        SettingsUpdate([](GlobalSettings& s) {
            snprintf(s.TFTP_RootDirectory, sizeof s.TFTP_RootDirectory, "%s", g_root.c_str());
            s.TFTP_Timeout = 3;
            s.TFTP_MaxRetransmit = 6;
            s.TFTP_LimitNegotiatedWindowsize = 16;
            s.TFTP_LimitNegotiatedBlksize = 1468;
            s.TFTP_MinInterFrameDelay = 0;
            s.TFTP_SecurityLevel = 1;
            s.OptionNegotiation = 1;
            s.PxeCompatibility = 0;
            s.TFTP_TranslateUnixFileNames = 1;
            s.TFTP_MD5File = 0;
            s.TFTP_DirTextFile = 0;
            s.TFTP_ErrorSimulator[0] = 0;
            s.TftpMainLoopWait = 2000;
            if (const char* log = getenv("TFTP_TEST_LOG")) {
                snprintf(s.NIMBO_LogFile, sizeof s.NIMBO_LogFile, "%s", log);
                s.LogLevel = 9;
            }
        });
        g_notices.emplace();

        // The row is started by the host on a free loopback port.
        int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
        g_port = ntohs(a.sin_port);
        close(probe);
        SettingsUpdate([](GlobalSettings& s) {
            s.TFTP_Port = g_port;
            snprintf(s.TFTP_LocalIP, sizeof s.TFTP_LocalIP, "127.0.0.1");
        });
        RegisterTftpService();
        ASSERT_EQ(StartThread(TH_TFTP), 1);
    }

    static void TearDownTestSuite() {
        ThreadSlots[TH_TFTP].running.store(0);
        WakeThread(TH_TFTP);
        EXPECT_TRUE(JoinThreadRow(TH_TFTP, 10000));
        g_notices.reset();
        g_folder.reset();
    }

    void TearDown() override {
        ErrSimSetLiveRecord(ErrorSimulatorRecord{});
        SetSetting([](GlobalSettings& s) {
            s.TFTP_ErrorSimulator[0] = 0;
            s.TFTP_SecurityLevel = 1;
            s.TFTP_MD5File = 0;
            s.TFTP_Timeout = 3;
            s.TFTP_MaxRetransmit = 6;
            s.TFTP_DirTextFile = 0;
            s.TFTP_SupportForPortOption = 0;
        });
        // Every transfer has ended and been freed before the next test.
        for (int i = 0; i < 200 && TftpTransferCount() != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
};

// A raw client on loopback.
struct RawClient {
    int fd = -1;
    sockaddr_in server{};
    RawClient() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        server.sin_family = AF_INET;
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server.sin_port = htons(static_cast<uint16_t>(g_port));
    }
    ~RawClient() { close(fd); }
    void SendRequest(uint16_t op, const std::string& name, std::vector<std::pair<std::string, std::string>> opts = {}) {
        const std::string p = Request(op, name, opts);
        sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    }
    static std::string Request(uint16_t op, const std::string& name,
                               const std::vector<std::pair<std::string, std::string>>& opts = {}) {
        std::string p;
        p += static_cast<char>(0);
        p += static_cast<char>(op);
        p += name;
        p += '\0';
        p += "octet";
        p += '\0';
        for (auto& [n, v] : opts) {
            p += n;
            p += '\0';
            p += v;
            p += '\0';
        }
        return p;
    }
    // Next datagram (from the transfer's port, which becomes the peer); empty on time-out.
    std::string Receive(int ms = 5000) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return {};
        char buf[70000];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return {};
        peer = from;
        return std::string(buf, static_cast<size_t>(n));
    }
    void SendToPeer(const std::string& p) {
        sendto(fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
    static std::string Ack(uint16_t block) {
        return std::string{0, 4, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)};
    }
    sockaddr_in peer{};
};

int Opcode(const std::string& p) {
    return p.size() >= 2 ? (static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]) : -1;
}
int ErrorCode(const std::string& p) {
    return Opcode(p) == 5 && p.size() >= 4 ? (static_cast<uint8_t>(p[2]) << 8) | static_cast<uint8_t>(p[3]) : -1;
}

// The end notice of a transfer, waited for up to 20 s.
bool WaitEnd(uint32_t number, TransferEndRecord* out) {
    return g_notices->WaitUntil(
        [&](const std::vector<CapturedNotice>& all) {
            for (auto& r : RecordsOf<TransferEndRecord>(all, kEnd))
                if (r.transferNumber == number) {
                    *out = r;
                    return true;
                }
            return false;
        },
        std::chrono::seconds(20));
}

// Waits (up to 5 s) until more than before transfers began; true when they did.
bool WaitBegins(size_t before) {
    return g_notices->WaitUntil(
        [&](const std::vector<CapturedNotice>& all) { return RecordsOf<TransferRecord>(all, kBegin).size() > before; },
        std::chrono::seconds(5));
}

uint32_t LastBeginNumber(size_t before) {
    if (!WaitBegins(before)) return 0;
    return Begins().back().transferNumber;
}

size_t BeginCount() { return Begins().size(); }

TEST_F(TftpServer, TftpHpaReadsAndWrites) {
    for (const char* name : {"small.bin", "exact.bin", "empty.bin"}) {
        SCOPED_TRACE(name);
        std::string out = Out(std::string("hpa_") + name);
        Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get " + name + " " + out);
        EXPECT_EQ(ReadFile(out), ReadFile(g_root + "/" + name));
    }
    // Mixed case and backslashes, as Windows boot programs ask.
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get \"boot\\\\pxeboot.n12\" " + Out("pxe"));
    EXPECT_EQ(ReadFile(Out("pxe")), ReadFile(g_root + "/Boot/PXEboot.N12"));
    // Write.
    WriteFile(Out("up.bin"), RandomBytes(70000, 9));
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c put " + Out("up.bin") + " up_hpa.bin");
    EXPECT_EQ(ReadFile(g_root + "/up_hpa.bin"), ReadFile(Out("up.bin")));
}

TEST_F(TftpServer, AtftpWithOptions) {
    const std::string opts =
        " --option \"blksize 1468\" --option \"tsize 0\" --option \"timeout 2\" --option \"windowsize 16\" ";
    Shell("atftp" + opts + "-g -r small.bin -l " + Out("at_small") + " 127.0.0.1 " + Port());
    EXPECT_EQ(ReadFile(Out("at_small")), ReadFile(g_root + "/small.bin"));
    WriteFile(Out("at_up"), RandomBytes(123457, 10));
    Shell("atftp" + opts + "-p -l " + Out("at_up") + " -r up_atftp.bin 127.0.0.1 " + Port());
    EXPECT_EQ(ReadFile(g_root + "/up_atftp.bin"), ReadFile(Out("at_up")));
    // windowsize 4 with 512-byte blocks.
    Shell("atftp --option \"windowsize 4\" -g -r sim.bin -l " + Out("at_w4") + " 127.0.0.1 " + Port());
    EXPECT_EQ(ReadFile(Out("at_w4")), ReadFile(g_root + "/sim.bin"));
}

// Windows leave in batches: one segmented send where the kernel takes it, one datagram at
// a time otherwise. Sizes cover a last block that is empty, short, or a window of its own.
TEST_F(TftpServer, WindowedSendsWithAndWithoutSegmentOffload) {
    struct Case {
        uint32_t blksize, window;
        size_t bytes;
    };
    const Case cases[] = {{1468, 16, 1468u * 16u * 5u},
                          {512, 64, 512u * 200u + 3u},
                          {16384, 8, 16384u * 17u + 100u},
                          {1024, 3, 1024u * 7u + 1u}};
    int n = 0;
    for (bool offload : {true, false}) {
        TftpSetSegmentOffload(offload);
        for (const Case& c : cases) {
            const std::string name = "win" + std::to_string(n++);
            SCOPED_TRACE(name);
            WriteFile(g_root + "/" + name + ".bin", RandomBytes(c.bytes, 40 + n));
            Shell("atftp --option \"blksize " + std::to_string(c.blksize) + "\" --option \"windowsize " +
                  std::to_string(c.window) + "\" -g -r " + name + ".bin -l " + Out(name) + " 127.0.0.1 " + Port());
            EXPECT_EQ(ReadFile(Out(name)), ReadFile(g_root + "/" + name + ".bin"));
        }
    }
    TftpSetSegmentOffload(true);
}

TEST_F(TftpServer, CurlWithBlksize) {
    for (const char* blk : {"512", "1468", "8192"}) {
        SCOPED_TRACE(blk);
        std::string out = Out(std::string("curl_") + blk);
        Shell("curl -s --tftp-blksize " + std::string(blk) + " -o " + out + " tftp://127.0.0.1:" + Port() +
              "/small.bin");
        EXPECT_EQ(ReadFile(out), ReadFile(g_root + "/small.bin"));
    }
    // A climb out of the root is refused: curl fails and writes nothing of the outside file.
    EXPECT_NE(Shell("curl -s --path-as-is -o " + Out("curl_escape") + " tftp://127.0.0.1:" + Port() + "/../x"), 0);
    EXPECT_NE(ReadFile(Out("curl_escape")), "outside");
}

TEST_F(TftpServer, LargeFileWrapsBlockNumbersAndWritesMd5) {
    SetSetting([](GlobalSettings& s) { s.TFTP_MD5File = 1; });
    const std::string big = g_root + "/big.bin";
    WriteFile(big, RandomBytes(65536u * 512u + 777u, 5));
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get big.bin " + Out("big"), 300);
    EXPECT_EQ(Shell("cmp " + big + " " + Out("big")), 0);
    // The ".md5" file holds the digest md5sum computes, and nothing else.
    std::string sum;
    {
        FILE* p = popen(("md5sum " + big).c_str(), "r");
        char buf[64] = {};
        if (p && fgets(buf, sizeof buf, p)) sum.assign(buf, 32);
        if (p) pclose(p);
    }
    for (int i = 0; i < 100 && ReadFile(big + ".md5").size() < 32; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(big + ".md5"), sum);
    unlink(big.c_str());
}

TEST_F(TftpServer, TwoHundredClientsAtOnce) {
    mkdir(Out("many").c_str(), 0755);
    Shell("for i in $(seq 1 200); do tftp 127.0.0.1 " + Port() + " -m binary -c get small.bin " + Out("many") +
              "/$i & done; wait",
          240);
    const std::string want = ReadFile(g_root + "/small.bin");
    int same = 0;
    for (int i = 1; i <= 200; ++i) same += ReadFile(Out("many") + "/" + std::to_string(i)) == want;
    EXPECT_EQ(same, 200);
}

TEST_F(TftpServer, ErrorSimulatorLossesStillGiveIdenticalFiles) {
    struct Case {
        const char* setting;
        const char* client;
    } cases[] = {
        {"fix|3,7", "tftp"},         {"random|3", "tftp"},       {"even|3", "tftp"},
        {"fix|2,9", "atftp-window"}, {"even|2", "atftp-window"},
    };
    const std::string want = ReadFile(g_root + "/sim.bin");
    // One transfer first: the service has then loaded its own setting of the simulator and
    // cannot overwrite the records set below.
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get exact.bin " + Out("sim_warm"));
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " " + c.client);
        char text[200];
        snprintf(text, sizeof text, "%s", c.setting);
        ErrorSimulatorRecord rec{};
        ASSERT_EQ(ErrSimParse(text, &rec), 1);
        // The service loads the setting when it starts; the live record takes it at once.
        SettingsUpdate(
            [&](GlobalSettings& s) { snprintf(s.TFTP_ErrorSimulator, sizeof s.TFTP_ErrorSimulator, "%s", text); });
        ErrSimSetLiveRecord(rec);
        const size_t before = BeginCount();
        std::string out = Out("sim" + std::to_string(n++));
        if (!strcmp(c.client, "tftp"))
            Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get sim.bin " + out);
        else
            Shell("atftp --option \"windowsize 4\" -g -r sim.bin -l " + out + " 127.0.0.1 " + Port());
        EXPECT_EQ(ReadFile(out), want);
        // The transfer that served the client completed after at least one retransmission
        // round. (A client that repeats its request may have started others beside it.)
        const bool done = g_notices->WaitUntil(
            [&](const std::vector<CapturedNotice>& all) {
                const auto begins = RecordsOf<TransferRecord>(all, kBegin);
                for (size_t i = before; i < begins.size(); ++i)
                    for (auto& e : RecordsOf<TransferEndRecord>(all, kEnd))
                        if (e.transferNumber == begins[i].transferNumber && e.stats.state == TRANSFER_DONE) {
                            EXPECT_GE(e.stats.errorRecoveries, 1u);
                            return true;
                        }
                return false;
            },
            std::chrono::seconds(10));
        EXPECT_TRUE(done);
    }
}

TEST_F(TftpServer, EscapeTableIsRefused) {
    struct Case {
        std::string name;
        uint16_t op;
        int code;
    } cases[] = {
        {"../x", 1, 2},        {"..\\x", 1, 2}, {"/../sibling/x", 1, 2}, {"a/../../x", 1, 2},
        {g_base + "/x", 1, 1},                 // absolute: taken beneath the root, where it does not exist
        {"/etc/passwd", 1, 1}, {"out", 1, 2},  // symlink leading out of the root
        {"Boot", 1, 2},                        // a directory
        {"fifo", 1, 2},                        // a FIFO
        {"../x", 2, 2},        {"out", 2, 2},   {"a%b", 1, 2},           {"missing.bin", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + (c.op == 2 ? " (write)" : ""));
        RawClient client;
        client.SendRequest(c.op, c.name);
        std::string reply = client.Receive();
        EXPECT_EQ(ErrorCode(reply), c.code);
    }
    EXPECT_EQ(ReadFile(g_base + "/x"), "outside");
    // Mode "image" is an illegal operation; write at level 3 an access violation.
    RawClient bad;
    std::string p = std::string("\0\1small.bin\0image\0", 18);
    sendto(bad.fd, p.data(), p.size(), 0, reinterpret_cast<sockaddr*>(&bad.server), sizeof bad.server);
    EXPECT_EQ(ErrorCode(bad.Receive()), 4);
    SetSetting([](GlobalSettings& s) { s.TFTP_SecurityLevel = 3; });
    RawClient w;
    w.SendRequest(2, "new.bin");
    EXPECT_EQ(ErrorCode(w.Receive()), 2);
}

TEST_F(TftpServer, OptionAckAndProbes) {
    {
        // OACK holds the options in request order, spelt as sent; ACK 0 starts the data.
        RawClient c;
        c.SendRequest(1, "exact.bin", {{"BLKSIZE", "1468"}, {"tsize", "0"}, {"windowsize", "8"}});
        std::string oack = c.Receive();
        EXPECT_EQ(oack, std::string("\0\6BLKSIZE\0"
                                    "1468\0tsize\0"
                                    "1024\0windowsize\0"
                                    "8\0",
                                    39));
        c.SendToPeer(RawClient::Ack(0));
        std::string data = c.Receive();
        EXPECT_EQ(Opcode(data), 3);
        EXPECT_EQ(data.size(), 4u + 1024u);
        c.SendToPeer(RawClient::Ack(1));
    }
    {
        // tsize probe, then the client aborts with an ERROR: the server ends the transfer silently.
        RawClient c;
        c.SendRequest(1, "small.bin", {{"tsize", "0"}});
        std::string oack = c.Receive();
        EXPECT_EQ(oack, std::string("\0\6tsize\0"
                                    "100000\0",
                                    15));
        c.SendToPeer(std::string("\0\5\0\10probe\0", 10));
        EXPECT_EQ(c.Receive(1500), "");
    }
    {
        // The OACK is sent again when its acknowledgement does not come.
        RawClient c;
        c.SendRequest(1, "exact.bin", {{"blksize", "1024"}});
        std::string first = c.Receive();
        std::string again = c.Receive(3000);
        EXPECT_EQ(first, again);
        c.SendToPeer(std::string("\0\5\0\0bye\0", 8));
    }
    {
        // Unknown options only: no OACK, DATA 1 comes directly.
        RawClient c;
        c.SendRequest(1, "exact.bin", {{"foo", "1"}});
        std::string d = c.Receive();
        EXPECT_EQ(Opcode(d), 3);
        EXPECT_EQ(d.size(), 516u);
        c.SendToPeer(std::string("\0\5\0\0bye\0", 8));
    }
    {
        // A write announcing more than the free space: ERROR 3.
        RawClient c;
        c.SendRequest(2, "huge.bin", {{"tsize", "1152921504606846976"}});
        EXPECT_EQ(ErrorCode(c.Receive()), 3);
    }
}

TEST_F(TftpServer, StopTransferSendsError99AndReportsStopped) {
    const size_t begins = BeginCount();
    RawClient c;
    c.SendRequest(1, "small.bin");
    std::string d = c.Receive();
    ASSERT_EQ(Opcode(d), 3);
    uint32_t number = 0;
    {
        ASSERT_TRUE(WaitBegins(begins));
        const TransferRecord last = Begins().back();
        number = last.transferNumber;
        EXPECT_EQ(last.opcode, 1u);
        EXPECT_STREQ(last.fileName, "small.bin");
        EXPECT_EQ(last.client.family, AF_INET);
    }
    // Request 200 reaches the service through the console hook it registered.
    ASSERT_NE(ConsoleHooks().stopTransfer, nullptr);
    ConsoleHooks().stopTransfer(number + 1000);  // unknown: nothing happens
    ConsoleHooks().stopTransfer(number);
    std::string e;
    for (int i = 0; i < 5 && Opcode(e) != 5; ++i) e = c.Receive();  // a repeated DATA may come first
    EXPECT_EQ(ErrorCode(e), 99);
    EXPECT_EQ(e.substr(4), std::string("Canceled by administrator\0", 26));
    ASSERT_TRUE(g_notices->WaitUntil(
        [&](const std::vector<CapturedNotice>& all) {
            for (auto& r : RecordsOf<TransferEndRecord>(all, kEnd))
                if (r.transferNumber == number) return true;
            return false;
        },
        std::chrono::seconds(5)));
    for (auto& r : g_notices->Records<TransferEndRecord>(kEnd))
        if (r.transferNumber == number) { EXPECT_EQ(r.stats.state, TRANSFER_STOPPED); }
}

TEST_F(TftpServer, SilentClientsEndTheTransfer) {
    SetSetting([](GlobalSettings& s) {
        s.TFTP_Timeout = 1;
        s.TFTP_MaxRetransmit = 2;
    });
    {
        // Every block acknowledged but the last: a warning, and the transfer is complete.
        size_t before = BeginCount();
        RawClient c;
        c.SendRequest(1, "exact.bin");
        for (int b = 1; b <= 3; ++b) {
            std::string d = c.Receive();
            ASSERT_EQ(Opcode(d), 3);
            EXPECT_EQ(d.size(), b < 3 ? 516u : 4u);  // 1024 bytes: two full blocks and an empty one
            if (b < 3) c.SendToPeer(RawClient::Ack(static_cast<uint16_t>(b)));
        }
        TransferEndRecord end{};
        ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
        EXPECT_EQ(end.stats.state, TRANSFER_DONE);
        EXPECT_EQ(end.stats.totalSize, 1024u);
    }
    {
        // A client that stops in the middle: ERROR 0 and the transfer failed.
        size_t before = BeginCount();
        RawClient c;
        c.SendRequest(1, "small.bin");
        ASSERT_EQ(Opcode(c.Receive()), 3);
        std::string e;
        for (int i = 0; i < 5 && Opcode(e) != 5; ++i) e = c.Receive();
        EXPECT_EQ(ErrorCode(e), 0);
        TransferEndRecord end{};
        ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
        EXPECT_EQ(end.stats.state, TRANSFER_FAILED);
    }
}

TEST_F(TftpServer, LockStepReadSurvivesStrayDatagramsAndRetransmits) {
    // Block by block over several read-ahead batches: an empty datagram, a short one and a
    // stale acknowledgement change nothing, and a block left unacknowledged comes again
    // with the same bytes.
    SetSetting([](GlobalSettings& s) {
        s.TFTP_Timeout = 1;
        s.TFTP_MaxRetransmit = 3;
    });
    const std::string file = ReadFile(g_root + "/small.bin");
    size_t before = BeginCount();
    RawClient c;
    c.SendRequest(1, "small.bin");
    std::string got;
    bool retransmitted = false;
    for (uint16_t b = 1;; ++b) {
        std::string d = c.Receive();
        ASSERT_EQ(Opcode(d), 3) << "block " << b;
        ASSERT_EQ((static_cast<uint8_t>(d[2]) << 8) | static_cast<uint8_t>(d[3]), b);
        if (b == 100 && !retransmitted) {
            retransmitted = true;  // no acknowledgement: the block comes again after the timeout
            d = c.Receive(3000);
            ASSERT_EQ(Opcode(d), 3);
            ASSERT_EQ((static_cast<uint8_t>(d[2]) << 8) | static_cast<uint8_t>(d[3]), b);
        }
        got += d.substr(4);
        if (b == 1) c.SendToPeer("");
        if (b == 2) c.SendToPeer(std::string{0, 4});
        if (b == 3) c.SendToPeer(RawClient::Ack(1));
        c.SendToPeer(RawClient::Ack(b));
        if (d.size() < 516) break;
    }
    EXPECT_TRUE(got == file);
    TransferEndRecord end{};
    ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
    EXPECT_EQ(end.stats.state, TRANSFER_DONE);
}

TEST_F(TftpServer, HugeSparseFileKeepsItsSize) {
    // 5 GiB: tsize goes out whole, the 32-bit report field saturates.
    const std::string path = g_root + "/sparse.img";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 5ll << 30), 0);
    close(fd);
    size_t before = BeginCount();
    RawClient c;
    c.SendRequest(1, "sparse.img", {{"tsize", "0"}, {"blksize", "1468"}});
    EXPECT_EQ(c.Receive(), std::string("\0\6tsize\0"
                                       "5368709120\0blksize\0"
                                       "1468\0",
                                       32));
    uint32_t number = LastBeginNumber(before);
    {
        const std::vector<TransferRecord> begins = Begins();
        ASSERT_FALSE(begins.empty());
        EXPECT_EQ(begins.back().stats.totalSize, 0xFFFFFFFFu);
    }
    c.SendToPeer(RawClient::Ack(0));
    std::string d = c.Receive();
    EXPECT_EQ(d.size(), 4u + 1468u);
    c.SendToPeer(std::string("\0\5\0\0bye\0", 8));
    TransferEndRecord end{};
    ASSERT_TRUE(WaitEnd(number, &end));
    EXPECT_EQ(end.stats.state, TRANSFER_FAILED);
    unlink(path.c_str());
}

TEST_F(TftpServer, DuplicateRequestIsDroppedAtOnce) {
    // Both copies inside one second: start early in a second.
    for (int i = 0; i < 200; ++i) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_nsec < 300000000) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const size_t before = BeginCount();
    RawClient c;
    // Both copies in one system call: they arrive within microseconds of each other.
    std::string request = RawClient::Request(1, "exact.bin");
    iovec iov[2] = {{request.data(), request.size()}, {request.data(), request.size()}};
    mmsghdr copies[2] = {};
    for (int i = 0; i < 2; ++i) {
        copies[i].msg_hdr.msg_name = &c.server;
        copies[i].msg_hdr.msg_namelen = sizeof c.server;
        copies[i].msg_hdr.msg_iov = &iov[i];
        copies[i].msg_hdr.msg_iovlen = 1;
    }
    ASSERT_EQ(sendmmsg(c.fd, copies, 2, 0), 2);
    // One transfer serves the client; the copy starts none. A block sent again because an
    // acknowledgement came late (a slow machine) is the same transfer's, from its port.
    sockaddr_in first{};
    for (uint16_t b = 1, datagrams = 0; b <= 3 && datagrams < 50; ++datagrams) {
        std::string d = c.Receive();
        ASSERT_EQ(Opcode(d), 3);
        if (first.sin_port == 0) first = c.peer;
        EXPECT_EQ(c.peer.sin_port, first.sin_port) << "a second transfer answers the copy";
        const uint16_t block = static_cast<uint16_t>((static_cast<uint8_t>(d[2]) << 8) | static_cast<uint8_t>(d[3]));
        if (block < b) continue;  // sent again, already acknowledged
        ASSERT_EQ(block, b);
        c.SendToPeer(RawClient::Ack(b++));
    }
    TransferEndRecord end{};
    ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
    EXPECT_EQ(end.stats.state, TRANSFER_DONE);
    EXPECT_EQ(BeginCount(), before + 1);
    // What still arrives is the one transfer's blocks sent again: no second transfer sends anything.
    for (int i = 0; i < 20; ++i) {
        if (c.Receive(300).empty()) break;
        EXPECT_EQ(c.peer.sin_port, first.sin_port) << "a second transfer answers the copy";
    }
}

// Empty datagrams are dropped at once: they start no transfer (no thread, no reply), and a
// real client beside a stream of them is served as usual.
TEST_F(TftpServer, EmptyDatagramsStartNothingAndStallNoClient) {
    const ProcessLoad before = ReadProcessLoad();
    const size_t begins = BeginCount();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0}, replies{0};
    std::thread flood([&] {
        RawClient attacker;
        while (!stop) {
            for (int i = 0; i < 20; ++i)
                sendto(attacker.fd, "", 0, 0, reinterpret_cast<sockaddr*>(&attacker.server), sizeof attacker.server);
            sent += 20;
            if (!attacker.Receive(5).empty()) ++replies;
        }
    });
    for (int i = 0; i < 3; ++i) {
        const std::string out = Out("beside_empty" + std::to_string(i));
        const auto start = std::chrono::steady_clock::now();
        Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get small.bin " + out);
        EXPECT_EQ(ReadFile(out), ReadFile(g_root + "/small.bin")) << "round " << i;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "round " << i;
    }
    stop = true;
    flood.join();
    EXPECT_GT(sent.load(), 100);
    EXPECT_EQ(replies.load(), 0) << "an empty datagram gets no answer";
    EXPECT_EQ(BeginCount(), begins + 3) << "only the real client's transfers began";
    for (int i = 0; i < 200 && TftpTransferCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ProcessLoad after = ReadProcessLoad();
    for (int i = 0; i < 100 && (after.threads > before.threads || after.files > before.files); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        after = ReadProcessLoad();
    }
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.files, before.files);
    EXPECT_LE(after.rssKb, before.rssKb + 32 * 1024);
}

// A file name with control bytes reaches the log escaped: it cannot start a forged line.
TEST_F(TftpServer, FileNameControlBytesAreEscapedInTheLog) {
    nimbo::test::LogCapture log(LOG_TFTP);
    RawClient c;
    c.SendRequest(1, "ctl\r\n[01/01 00:00:00.000] forged\x1b.bin");
    c.Receive();
    for (int i = 0; i < 200 && TftpTransferCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    log.Stop();
    size_t naming = 0;
    for (const std::string& l : log.Lines()) {
        EXPECT_EQ(l.find_first_of("\r\n\x1b"), std::string::npos) << l;
        naming += l.find("<ctl\\013\\010[01/01 00:00:00.000] forged\\027.bin>") != std::string::npos;
    }
    EXPECT_GE(naming, 1u);
}

TEST_F(TftpServer, EmptyStatisticsNoticeWhenIdle) {
    const size_t seen = g_notices->CountOf(kStatistics);
    ASSERT_TRUE(g_notices->WaitForMore(kStatistics, seen, std::chrono::seconds(10)));
    const auto statistics = g_notices->Matching([](const CapturedNotice& n) { return n.id == kStatistics; });
    EXPECT_EQ(statistics.back().bytes.size(), 12u);
}

TEST_F(TftpServer, ServiceStopCancelsRunningTransfers) {
    RawClient c;
    c.SendRequest(1, "small.bin");
    ASSERT_EQ(Opcode(c.Receive()), 3);
    ThreadSlots[TH_TFTP].running.store(0);
    WakeThread(TH_TFTP);
    ASSERT_TRUE(JoinThreadRow(TH_TFTP, 10000));
    std::string e;
    for (int i = 0; i < 5 && Opcode(e) != 5; ++i) e = c.Receive(2000);
    EXPECT_EQ(ErrorCode(e), 99);
    EXPECT_EQ(TftpTransferCount(), 0u);
    ASSERT_EQ(StartThread(TH_TFTP), 1);  // the row runs again for the rest of the suite
}

TEST_F(TftpServer, DirTxtListsTheRoot) {
    SetSetting([](GlobalSettings& s) { s.TFTP_DirTextFile = 1; });
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get exact.bin " + Out("dir_exact"));
    std::string dir = ReadFile(g_root + "/dir.txt");
    EXPECT_NE(dir.find("small.bin\t"), std::string::npos);
    EXPECT_NE(dir.find("exact.bin\t"), std::string::npos);
    ASSERT_GE(dir.size(), 2u);
    EXPECT_EQ(dir.substr(dir.size() - 2), "\r\n");
    // The listing is served like any file.
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get dir.txt " + Out("dir_txt"));
    EXPECT_FALSE(ReadFile(Out("dir_txt")).empty());
}

TEST_F(TftpServer, PortOptionAnswersFromTheServicePort) {
    SetSetting([](GlobalSettings& s) { s.TFTP_SupportForPortOption = 1; });
    RawClient c;
    c.SendRequest(1, "exact.bin", {{"udpport", "0"}});
    std::string oack = c.Receive();
    ASSERT_EQ(Opcode(oack), 6);
    EXPECT_EQ(ntohs(c.peer.sin_port), g_port);  // from the service socket
    std::string entry(oack.data() + 2, oack.size() - 2);
    ASSERT_EQ(entry.rfind(std::string("udpport\0", 8), 0), 0u);
    const int transferPort = atoi(entry.c_str() + 8);
    ASSERT_GT(transferPort, 0);
    c.peer.sin_port = htons(static_cast<uint16_t>(transferPort));
    c.SendToPeer(RawClient::Ack(0));
    std::string d = c.Receive();
    EXPECT_EQ(Opcode(d), 3);
    EXPECT_EQ(ntohs(c.peer.sin_port), transferPort);
    c.SendToPeer(std::string("\0\5\0\0bye\0", 8));
}

std::string Data(uint16_t block, const std::string& bytes) {
    return std::string{0, 3, static_cast<char>(block >> 8), static_cast<char>(block & 0xFF)} + bytes;
}

TEST_F(TftpServer, WritesEndByAnnouncedSizeOrShortBlock) {
    SetSetting([](GlobalSettings& s) { s.TFTP_SecurityLevel = 0; });
    const std::string full(512, 'a'), part(10, 'b');
    struct Case {
        const char* name;
        const char* tsize;  // nullptr: no option
        std::vector<std::string> blocks;
        std::string file;
    } cases[] = {
        // Announced 1000 bytes: two blocks, the transfer ends after block 2 even though it is full.
        {"w_sized.bin", "1000", {full, full}, full + full},
        // Size unknown (tsize 0): the first short block ends it.
        {"w_unknown.bin", "0", {full, part}, full + part},
        // No options: ACK 0, then blocks until a short one.
        {"w_plain.bin", nullptr, {full, full, ""}, full + full},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = BeginCount();
        RawClient cl;
        if (c.tsize)
            cl.SendRequest(2, c.name, {{"tsize", c.tsize}});
        else
            cl.SendRequest(2, c.name);
        std::string first = cl.Receive();
        EXPECT_EQ(Opcode(first), c.tsize ? 6 : 4);
        for (size_t i = 0; i < c.blocks.size(); ++i) {
            cl.SendToPeer(Data(static_cast<uint16_t>(i + 1), c.blocks[i]));
            EXPECT_EQ(cl.Receive(), RawClient::Ack(static_cast<uint16_t>(i + 1)));
        }
        TransferEndRecord end{};
        ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
        EXPECT_EQ(end.stats.state, TRANSFER_DONE);
        EXPECT_EQ(end.stats.bytesDone, c.file.size());
        EXPECT_EQ(ReadFile(g_root + "/" + c.name), c.file);
    }
    {
        // A first block numbered 0 is taken as the one before block 1.
        RawClient cl;
        cl.SendRequest(2, "w_zero.bin");
        EXPECT_EQ(cl.Receive(), RawClient::Ack(0));
        cl.SendToPeer(Data(0, "ignored"));
        EXPECT_EQ(cl.Receive(), RawClient::Ack(0));
        cl.SendToPeer(Data(1, part));
        EXPECT_EQ(cl.Receive(), RawClient::Ack(1));
        for (int i = 0; i < 100 && ReadFile(g_root + "/w_zero.bin") != part; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(ReadFile(g_root + "/w_zero.bin"), part);
    }
}

TEST_F(TftpServer, WindowedWriteWithoutSizeEndsOnTheShortBlock) {
    SetSetting([](GlobalSettings& s) { s.TFTP_SecurityLevel = 0; });
    const std::string full(512, 'w'), part(100, 'z');
    const size_t before = BeginCount();
    RawClient c;
    c.SendRequest(2, "w_window.bin", {{"windowsize", "4"}});
    ASSERT_EQ(c.Receive(), std::string("\0\6windowsize\0"
                                       "4\0",
                                       15));
    // Blocks 1 to 4 make one window: one acknowledgement, for block 4.
    for (uint16_t b = 1; b <= 4; ++b) c.SendToPeer(Data(b, full));
    EXPECT_EQ(c.Receive(), RawClient::Ack(4));
    // Blocks 5 and 6 (short): the short block ends the transfer and is acknowledged at once.
    c.SendToPeer(Data(5, full));
    c.SendToPeer(Data(6, part));
    EXPECT_EQ(c.Receive(), RawClient::Ack(6));
    TransferEndRecord end{};
    ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
    EXPECT_EQ(end.stats.state, TRANSFER_DONE);
    EXPECT_EQ(ReadFile(g_root + "/w_window.bin"), full + full + full + full + full + part);
    EXPECT_EQ(c.Receive(300), "");  // nothing more: no late acknowledgement
    // atftp with a window and no size.
    for (size_t size : {size_t(6 * 512 - 17), size_t(9 * 512), size_t(0)}) {
        SCOPED_TRACE(size);
        const std::string data = RandomBytes(size, static_cast<unsigned>(size) + 11);
        WriteFile(Out("at_w_nosize"), data);
        EXPECT_EQ(Shell("atftp --option \"windowsize 4\" -p -l " + Out("at_w_nosize") +
                            " -r at_w_nosize.bin 127.0.0.1 " + Port(),
                        30),
                  0);
        EXPECT_EQ(ReadFile(g_root + "/at_w_nosize.bin"), data);
    }
}

TEST_F(TftpServer, AbortedWriteLeavesTheOldFileWhole) {
    SetSetting([](GlobalSettings& s) { s.TFTP_SecurityLevel = 0; });
    const std::string old = RandomBytes(5000, 77);
    WriteFile(g_root + "/keep.bin", old);
    const size_t entries = FolderEntryCount(g_root);
    const std::string full(512, 'n');
    {
        // The client gives up after two of its blocks.
        const size_t before = BeginCount();
        RawClient c;
        c.SendRequest(2, "keep.bin");
        ASSERT_EQ(c.Receive(), RawClient::Ack(0));
        for (uint16_t b = 1; b <= 2; ++b) {
            c.SendToPeer(Data(b, full));
            ASSERT_EQ(c.Receive(), RawClient::Ack(b));
            EXPECT_EQ(ReadFile(g_root + "/keep.bin"), old);  // untouched while the write runs
        }
        c.SendToPeer(std::string("\0\5\0\0gone\0", 9));
        TransferEndRecord end{};
        ASSERT_TRUE(WaitEnd(LastBeginNumber(before), &end));
        EXPECT_EQ(end.stats.state, TRANSFER_FAILED);
    }
    EXPECT_EQ(ReadFile(g_root + "/keep.bin"), old);
    EXPECT_EQ(FolderEntryCount(g_root), entries);
    // A write that completes replaces it.
    WriteFile(Out("keep_new"), RandomBytes(1500, 78));
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c put " + Out("keep_new") + " keep.bin");
    EXPECT_EQ(ReadFile(g_root + "/keep.bin"), ReadFile(Out("keep_new")));
    EXPECT_EQ(FolderEntryCount(g_root), entries);
}

TEST_F(TftpServer, LongPathsAndRepeatedOptions) {
    {
        // Root and name together reach 260 characters: refused by the access rules.
        RawClient c;
        c.SendRequest(1, std::string(260 - g_root.size(), 'n'));
        EXPECT_EQ(ErrorCode(c.Receive()), 2);
    }
    {
        // The first occurrence of an option counts; the OACK carries the values in use.
        RawClient c;
        c.SendRequest(1, "exact.bin",
                      {{"blksize", "1024"}, {"timeout", "2junk"}, {"BLKSIZE", "512"}, {"timeout", "7"}});
        EXPECT_EQ(c.Receive(), std::string("\0\6blksize\0"
                                           "1024\0timeout\0"
                                           "2\0",
                                           25));
        c.SendToPeer(RawClient::Ack(0));
        std::string d = c.Receive();
        EXPECT_EQ(d.size(), 4u + 1024u);
        c.SendToPeer(std::string("\0\5\0\0bye\0", 8));
    }
}

}  // namespace

// A menu file leaves with its address tokens filled in for the client that asks, and the
// size announced by tsize is the filled length. The gateway and mask come from the DHCP
// settings; without a mask there, from the interface the request reached (loopback: /8).
TEST_F(TftpServer, MenuFilesGetTheirAddressTokensFilledIn) {
    const std::string folder = g_root + "/BM/PXENIMBO/BIOS/pxenimbo.cfg";
    ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
    // Tokens spread over several 512-byte blocks, one across a block boundary.
    std::string menu = "LABEL   NWA_PXE\\Linux\\\r\n   kernel       vmlinuz\r\n";
    menu += "   append       c=$IP_CLNT$ s=$IP_BSRV$ g=$IP_GWAY$ m=$IP_MASK$ " + std::string(480 - menu.size(), 'x');
    menu += "$ip_bsrv$ end\r\n";
    WriteFile(folder + "/menu.def", menu);
    WriteFile(g_root + "/not_a_menu.txt", "s=$IP_BSRV$");

    auto expected = [&](const std::string& gateway, const std::string& mask) {
        std::string e = "LABEL   NWA_PXE\\Linux\\\r\n   kernel       vmlinuz\r\n";
        e += "   append       c=127.0.0.1 s=127.0.0.1 g=" + gateway + " m=" + mask + " " +
             std::string(480 - e.size(), 'x');
        return e + "127.0.0.1 end\r\n";
    };
    auto publish = [](const char* mask) {
        DhcpConfig cfg;
        const uint8_t router[] = {3, 4, 10, 77, 0, 254};
        memcpy(cfg.rec.RouterOption, router, sizeof router);
        inet_pton(AF_INET, mask, &cfg.rec.SubnetMask);
        DhcpSettingsPublish(cfg);
    };
    auto tsizeOf = [](const std::string& name) {
        RawClient c;
        c.SendRequest(1, name, {{"tsize", "0"}});
        std::string oack = c.Receive();
        c.SendToPeer(std::string("\0\5\0\10probe\0", 10));
        const std::string key("\0\6tsize\0", 8);
        return oack.compare(0, key.size(), key) == 0 ? std::string(oack.c_str() + key.size()) : std::string("none");
    };

    publish("255.255.255.0");
    const std::string filled = expected("10.77.0.254", "255.255.255.0");
    EXPECT_EQ(tsizeOf("BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def"), std::to_string(filled.size()));
    Shell("atftp --option \"tsize 0\" -g -r BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def -l " + Out("menu1") + " 127.0.0.1 " +
          Port());
    EXPECT_EQ(ReadFile(Out("menu1")), filled);
    // Backslashes and another case reach the same file.
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get \"bm\\\\pxenimbo\\\\bios\\\\PXENIMBO.CFG\\\\menu.def\" " +
          Out("menu2"));
    EXPECT_EQ(ReadFile(Out("menu2")), filled);
    // The stored file is untouched, and other files go out as stored.
    EXPECT_EQ(ReadFile(folder + "/menu.def"), menu);
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get not_a_menu.txt " + Out("plain"));
    EXPECT_EQ(ReadFile(Out("plain")), "s=$IP_BSRV$");

    publish("0.0.0.0");
    Shell("tftp 127.0.0.1 " + Port() + " -m binary -c get BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def " + Out("menu3"));
    EXPECT_EQ(ReadFile(Out("menu3")), expected("10.77.0.254", "255.0.0.0"));
    DhcpSettingsPublish(DhcpConfig{});
}
