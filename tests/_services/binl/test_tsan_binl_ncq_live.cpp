// The network-card query responder through the running service: the BINL thread prepares a
// RIS asset, the proxyDHCP thread hands the queries sent to port 4011 to the responder, the
// answers come back on the wire and each query and answer reaches the console as notice 113.
// Runs in a private network namespace of its own; skipped without the right to make one.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_ncq.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_service.h"
#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/host_records.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/platform/sockets.h"
#include "tests/_services/binl/ris_fixture.h"
#include "tests/_services/console_client.h"
#include "tests/_services/process_load.h"
#include "tests/support/skip.h"

namespace {

class LiveResponder : public ::testing::Test {
protected:
    void SetUp() override {
        NIMBO_SKIP_IF(nimbo::test::NeedPrivateNetwork());
        booted_ = true;
        setenv("TEMP", temp_.path().c_str(), 1);
        MakeRisAsset(root_.path(), "XP_32");
        std::string ini = temp_ / "Nimbo.ini";
        std::ofstream(ini) << "[NIMBO]\nNIMBO_Services=" << (SVC_TFTP_SERVER | SVC_PDHCP | SVC_BINL | extraServices_)
                           << "\n[TFTP]\nTFTP_RootDirectory=" << root_.path()
                           << "\n[DHCP]\nDHCP_BootFile=" << BuildDefaultLists().biosEfi << "\n";
        setenv("NIMBO_INI", ini.c_str(), 1);
        RegisterDhcpService();
        RegisterBinlService();
        ServiceBootThread();
        uint16_t port = uint16_t(WaitConsoleListening(10000));
        ASSERT_NE(port, 0);
        ASSERT_EQ(console_.Connect(port), 1);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (RisTableUnavailable.load() != 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(RisTableUnavailable.load(), 0) << "the preparation loads the RIS table";

        client_ = LoopbackUdp();
        ASSERT_GE(client_, 0);
    }
    void TearDown() override {
        if (client_ >= 0) close(client_);
        if (!booted_) return;
        console_.Close();
        StopThreads(0);
        JoinThreadRow(TH_CONSOLE, 5000);
        unsetenv("TEMP");
    }
    // Sends the datagram to port 4011 of server (host order) and returns the answer ("" when
    // none came in ms); *from receives the answer's source address.
    std::string Exchange(const std::string& d, int ms, uint32_t server = INADDR_LOOPBACK, sockaddr_in* from = nullptr) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(4011);
        to.sin_addr.s_addr = htonl(server);
        sendto(client_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return "";
        char buf[2048];
        sockaddr_in sender{};
        socklen_t len = sizeof sender;
        ssize_t n = recvfrom(client_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&sender), &len);
        if (from) *from = sender;
        return n > 0 ? std::string(buf, size_t(n)) : "";
    }
    std::string OriSrc() const { return "\\\\" + BinlComputerName() + "\\WIA_RIS_SHARE\\WIA_RIS\\XP_32"; }
    // The next BINL event of the console, as "peer|tag|text".
    std::string NextEvent(int seconds) {
        ConsoleFrame f = console_.WaitFor(NOTICE_BINL_EVENT, seconds);
        if (f.id != NOTICE_BINL_EVENT || f.payload.size() != sizeof(BinlEventRecord)) return "";
        BinlEventRecord ev;
        std::memcpy(&ev, f.payload.data(), sizeof ev);
        return std::string(ev.peer) + "|" + ev.tag + "|" + ev.text;
    }
    static std::string Ncq(uint16_t vendor, uint16_t device, const std::string& ori, int16_t length) {
        NcqHeader h{};
        std::memcpy(h.signature, kNcqSignature, 4);
        h.vendor = vendor;
        h.device = device;
        h.oriSrcLength = length;
        return std::string(reinterpret_cast<const char*>(&h), sizeof h) + ori;
    }
    uint32_t extraServices_ = 0;
    TempFolder root_, temp_;
    ConsoleTestClient console_;
    int client_ = -1;
    bool booted_ = false;
};

TEST_F(LiveResponder, AnswersQueriesOnTheProxyPort) {
    const std::string ori = "\\\\" + BinlComputerName() + "\\WIA_RIS_SHARE\\WIA_RIS\\XP_32";
    const int16_t n = int16_t(ori.size());

    std::vector<uint8_t> ok = BuildNcrOk(0x8086, 0x1229, "e100b325.sys", "E100B");
    EXPECT_EQ(Exchange(Ncq(0x8086, 0x1229, ori, n), 20000), std::string(ok.begin(), ok.end()));
    EXPECT_EQ(NextEvent(20), "127.0.0.1|NCQ|VEN=8086 DEV=1229 OriSrc=" + ori);
    EXPECT_EQ(NextEvent(20), "127.0.0.1|NCR|VEN=8086 DEV=1229 SvcBinary=e100b325.sys SvcName=E100B");
    EXPECT_TRUE(IsRegularFile(root_ / "WIA_RIS/XP_32/I386/e100b325.sys")) << "extracted from driver.cab";

    std::vector<uint8_t> ko = BuildNcrKo();
    EXPECT_EQ(Exchange(Ncq(0x1234, 0x5678, ori, n), 20000), std::string(ko.begin(), ko.end()));
    EXPECT_EQ(NextEvent(20), "127.0.0.1|NCQ|VEN=1234 DEV=5678 OriSrc=" + ori);
    EXPECT_EQ(NextEvent(20), "127.0.0.1|NCR KO|VEN=1234 DEV=5678 -Net driver not found-");

    // Malformed queries and responses of other servers get no answer and no event.
    EXPECT_EQ(Exchange(Ncq(0x8086, 0x1229, ori, -1), 300), "");
    EXPECT_EQ(Exchange(Ncq(0x8086, 0x1229, ori, int16_t(n + 1)), 300), "");
    EXPECT_EQ(Exchange(Ncq(0x8086, 0x1229, ori, n).substr(0, 53), 300), "");
    EXPECT_EQ(Exchange(std::string(ko.begin(), ko.end()), 300), "");
    // A query after them is answered again: its events are the next ones.
    EXPECT_EQ(Exchange(Ncq(0x8086, 0x1030, ori, n), 20000).substr(0, 4), "\x82NCR");
    EXPECT_EQ(NextEvent(20), "127.0.0.1|NCQ|VEN=8086 DEV=1030 OriSrc=" + ori);
}

// The answer leaves from the address the query reached, not from the one the kernel would
// pick for the client (127.0.0.1 here).
TEST_F(LiveResponder, AnswersFromTheAddressTheQueryReached) {
    const std::string ori = OriSrc();
    for (uint32_t server : {0x7F000002u, 0x7F000003u, 0x7F000001u}) {
        sockaddr_in from{};
        std::string answer = Exchange(Ncq(0x8086, 0x1229, ori, int16_t(ori.size())), 20000, server, &from);
        EXPECT_EQ(answer.substr(0, 4), "\x82NCR");
        EXPECT_EQ(ntohl(from.sin_addr.s_addr), server) << IPv4Text(from.sin_addr);
    }
}

// Empty datagrams are dropped at once: ten a second from one peer used to cost half a second
// each and silenced the port for everybody else.
// With the DHCP server on as well: the old pause only happened then.
class LiveResponderWithDhcp : public LiveResponder {
protected:
    void SetUp() override {
        extraServices_ = SVC_DHCP;
        LiveResponder::SetUp();
    }
};

TEST_F(LiveResponderWithDhcp, EmptyDatagramsDoNotHoldUpQueries) {
    const std::string ori = OriSrc();
    const std::string query = Ncq(0x8086, 0x1229, ori, int16_t(ori.size()));
    ASSERT_EQ(Exchange(query, 20000).substr(0, 4), "\x82NCR");  // the driver is extracted once
    const ProcessLoad before = ReadProcessLoad();
    int attacker = LoopbackUdp();
    ASSERT_GE(attacker, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(4011);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int answered = 0;
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 10; ++i) sendto(attacker, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        // Each query is answered within a bound well below the 10 x 500 ms of the old pause.
        auto start = std::chrono::steady_clock::now();
        std::string answer = Exchange(query, 3000);
        if (answer.substr(0, 4) == "\x82NCR") ++answered;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000)) << "round " << round;
    }
    EXPECT_EQ(answered, 10);
    close(attacker);
    // A worker counts itself out just before its thread ends: wait for both (bounded).
    ProcessLoad after = ReadProcessLoad();
    for (int i = 0;
         i < 150 && (BinlActiveWorkers() > 0 || after.threads > before.threads || after.files > before.files); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        after = ReadProcessLoad();
    }
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.files, before.files);
    EXPECT_LE(after.rssKb, before.rssKb + 16 * 1024);
}

}  // namespace
