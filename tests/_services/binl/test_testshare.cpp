// The SMB share self-test: the SMB 1 messages byte by byte, the reply checks on hand-made
// replies, and the whole test against a real SMB server (smbd) in a private network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "_services/binl/testshare.h"
#include "libs/platform/share_info.h"
#include "tests/_services/binl/binl_test_util.h"
#include "tests/support/skip.h"

namespace {
uint16_t Get16(const std::vector<uint8_t>& m, size_t at) { return static_cast<uint16_t>(m[at] | m[at + 1] << 8); }
uint32_t Get32(const std::vector<uint8_t>& m, size_t at) {
    return static_cast<uint32_t>(m[at]) | static_cast<uint32_t>(m[at + 1]) << 8 |
           static_cast<uint32_t>(m[at + 2]) << 16 | static_cast<uint32_t>(m[at + 3]) << 24;
}
size_t NetbiosLength(const std::vector<uint8_t>& m) { return static_cast<size_t>(m[2]) << 8 | m[3]; }

TEST(SmbMessages, Layouts) {
    auto neg = smb1::BuildNegotiate();
    ASSERT_EQ(neg.size(), 137u);
    EXPECT_EQ(NetbiosLength(neg), 133u);
    EXPECT_EQ(0, memcmp(&neg[4], "\xFFSMB", 4));
    EXPECT_EQ(neg[8], 0x72);
    EXPECT_EQ(neg[13], 0x18);
    EXPECT_EQ(Get16(neg, 14), 0xC053);
    EXPECT_EQ(Get16(neg, 30), 65111);
    EXPECT_EQ(neg[36], 0);
    EXPECT_EQ(Get16(neg, 37), 98);
    EXPECT_EQ(neg[39], 0x02);
    EXPECT_EQ(0, memcmp(&neg[125], "\x02NT LM 0.12", 12));

    auto ss = smb1::BuildSessionSetup("HOST", "WIA_RIS_SHARE");
    std::string path = "\\\\HOST\\WIA_RIS_SHARE";
    ASSERT_EQ(ss.size(), 134 + (path.size() + 1) * 2 + 6);
    EXPECT_EQ(NetbiosLength(ss), ss.size() - 4);
    EXPECT_EQ(ss[8], 0x73);
    EXPECT_EQ(Get16(ss, 14), 0xC007);
    EXPECT_EQ(Get16(ss, 34), 8);
    EXPECT_EQ(ss[36], 13);
    EXPECT_EQ(ss[37], 0x75);
    EXPECT_EQ(Get16(ss, 39), 118);
    EXPECT_EQ(Get16(ss, 41), 0x1104);
    EXPECT_EQ(Get16(ss, 43), 5);
    EXPECT_EQ(Get16(ss, 51), 24);
    EXPECT_EQ(Get16(ss, 53), 24);
    EXPECT_EQ(Get32(ss, 59), 0xD4u);
    EXPECT_EQ(Get16(ss, 63), 57);
    EXPECT_EQ(ss[65], 0x3f);
    EXPECT_EQ(ss[89], 0xa4);
    EXPECT_EQ(ss[88], 0x58);   // last byte of the case-insensitive response
    EXPECT_EQ(ss[112], 0x35);  // last byte of the case-sensitive response
    EXPECT_EQ(ss[122], 4);
    EXPECT_EQ(ss[123], 0xFF);
    EXPECT_EQ(Get16(ss, 125), 176);
    EXPECT_EQ(Get16(ss, 127), 0x0008);
    EXPECT_EQ(Get16(ss, 129), 1);
    EXPECT_EQ(Get16(ss, 131), path.size() * 2 + 9);
    EXPECT_EQ(ss[133], 0);
    EXPECT_EQ(ss[134], '\\');
    EXPECT_EQ(ss[135], 0);
    EXPECT_EQ(ss[138], 'H');
    EXPECT_EQ(0, memcmp(&ss[ss.size() - 6], "?????", 6));

    auto nt = smb1::BuildNtCreate("astamp.dat", 0x20, 7, 9, 10, 18);
    ASSERT_EQ(nt.size(), 88u + 22);
    EXPECT_EQ(nt[8], 0xA2);
    EXPECT_EQ(Get16(nt, 28), 7);
    EXPECT_EQ(Get16(nt, 30), 10);
    EXPECT_EQ(Get16(nt, 32), 9);
    EXPECT_EQ(Get16(nt, 34), 18);
    EXPECT_EQ(nt[36], 24);
    EXPECT_EQ(Get16(nt, 42), 22);
    EXPECT_EQ(Get32(nt, 44), 0x10u);
    EXPECT_EQ(Get32(nt, 52), 0x20u);
    EXPECT_EQ(Get32(nt, 68), 1u);
    EXPECT_EQ(Get32(nt, 72), 1u);
    EXPECT_EQ(Get32(nt, 80), 2u);
    EXPECT_EQ(Get16(nt, 85), 23);
    EXPECT_EQ(nt[88], 'a');
    EXPECT_EQ(Get16(nt, 88 + 20), 0);

    auto cl = smb1::BuildClose(0x4001, 7, 9, 8, 16);
    ASSERT_EQ(cl.size(), 45u);
    EXPECT_EQ(cl[8], 0x04);
    EXPECT_EQ(cl[36], 3);
    EXPECT_EQ(Get16(cl, 37), 0x4001);

    auto lo = smb1::BuildLogoff(9);
    ASSERT_EQ(lo.size(), 43u);
    EXPECT_EQ(lo[8], 0x74);
    EXPECT_EQ(lo[13], 0);
    EXPECT_EQ(Get16(lo, 14), 0);
    EXPECT_EQ(Get16(lo, 28), 0);
    EXPECT_EQ(Get16(lo, 32), 9);
    EXPECT_EQ(lo[36], 2);
    EXPECT_EQ(lo[37], 0xFF);
}

// A NEGOTIATE reply with the given dialect, challenge and names.
std::vector<uint8_t> NegotiateReply(uint16_t dialect, const std::string& domain, const std::string& server) {
    std::vector<uint8_t> m(69 + 8, 0);
    memcpy(&m[0], "\xFFSMB", 4);
    m[4] = 0x72;
    m[32] = 17;
    m[33] = static_cast<uint8_t>(dialect);
    m[34] = static_cast<uint8_t>(dialect >> 8);
    m[66] = 8;
    for (const std::string* s : {&domain, &server}) {
        for (char c : *s) {
            m.push_back(static_cast<uint8_t>(c));
            m.push_back(0);
        }
        m.push_back(0);
        m.push_back(0);
    }
    return m;
}

TEST(SmbMessages, ReplyChecks) {
    std::vector<uint8_t> shortReply(32, 0);
    EXPECT_EQ(smb1::CheckReply(shortReply.data(), shortReply.size(), 0x72), smb1::ReplyCheck::WrongSize);
    auto ok = NegotiateReply(5, "WORKGROUP", "NIMBOHOST");
    EXPECT_EQ(smb1::CheckReply(ok.data(), ok.size(), 0x72), smb1::ReplyCheck::Ok);
    EXPECT_EQ(smb1::CheckReply(ok.data(), ok.size(), 0x73), smb1::ReplyCheck::WrongCommand);
    auto smb2 = ok;
    smb2[0] = 0xFE;
    EXPECT_EQ(smb1::CheckReply(smb2.data(), smb2.size(), 0x72), smb1::ReplyCheck::WrongProtocol);

    std::string server;
    EXPECT_EQ(smb1::ParseNegotiate(ok.data(), ok.size(), &server), smb1::NegotiateResult::Ok);
    EXPECT_EQ(server, "NIMBOHOST");
    auto other = NegotiateReply(2, "WORKGROUP", "NIMBOHOST");
    EXPECT_EQ(smb1::ParseNegotiate(other.data(), other.size(), &server), smb1::NegotiateResult::NoNtLm012);
    auto longName = NegotiateReply(5, "WORKGROUP", "ABCDEFGHIJKLMNOP");  // 16 characters
    EXPECT_EQ(smb1::ParseNegotiate(longName.data(), longName.size(), &server), smb1::NegotiateResult::BadName);
    // Names running past the end of the reply are never read beyond it.
    auto cut = NegotiateReply(5, "WORKGROUP", "NIMBOHOST");
    cut.resize(cut.size() - 4);
    EXPECT_EQ(smb1::ParseNegotiate(cut.data(), cut.size(), &server), smb1::NegotiateResult::BadName);
    auto lying = ok;
    lying[66] = 0xFF;  // a challenge longer than the reply
    EXPECT_EQ(smb1::ParseNegotiate(lying.data(), lying.size(), &server), smb1::NegotiateResult::BadName);

    // Session setup: the chained tree-connect reply at the AndX offset, its service after the words.
    std::vector<uint8_t> ss(60, 0);
    memcpy(&ss[0], "\xFFSMB", 4);
    ss[4] = 0x73;
    ss[24] = 0x21;
    ss[28] = 0x64;
    ss[32] = 3;
    ss[35] = 41;
    ss[41] = 7;
    memcpy(&ss[41 + 17], "A:", 2);
    uint16_t tid = 0, uid = 0;
    bool disk = false;
    EXPECT_FALSE(smb1::ParseSessionSetup(ss.data(), ss.size(), &tid, &uid, &disk)) << "service runs past the end";
    ss.resize(41 + 17 + 3 + 10, 0);
    EXPECT_TRUE(smb1::ParseSessionSetup(ss.data(), ss.size(), &tid, &uid, &disk));
    EXPECT_EQ(tid, 0x21);
    EXPECT_EQ(uid, 0x64);
    EXPECT_TRUE(disk);
    ss[41 + 17] = 'I';
    EXPECT_TRUE(smb1::ParseSessionSetup(ss.data(), ss.size(), &tid, &uid, &disk));
    EXPECT_FALSE(disk);
    ss[35] = 0xF0;
    ss[36] = 0xFF;
    EXPECT_FALSE(smb1::ParseSessionSetup(ss.data(), ss.size(), &tid, &uid, &disk)) << "AndX offset beyond the reply";

    EXPECT_STREQ(smb1::StatusName(0x73, 0xC000006D), "STATUS_LOGON_FAILURE");
    EXPECT_EQ(smb1::StatusName(0x04, 0xC000006D), nullptr);
    EXPECT_STREQ(smb1::StatusName(0x04, 0x00060001), "STATUS_SMB_BAD_FID");
    EXPECT_STREQ(smb1::StatusName(0x72, 0x00010002), "STATUS_INVALID_SMB");
}

TEST(SmbMessages, ExpectedFolders) {
    EXPECT_EQ(ExpectedShareFolder("/srv/root", WIA_RIS_SHARE), "/srv/root");
    EXPECT_EQ(ExpectedShareFolder("/srv/root", WIA_WDS_SHARE), "/srv/root/WIA_WDS");
    EXPECT_EQ(ExpectedShareFolder("/srv/root/", NWA_PXE_SHARE), "/srv/root/NWA_PXE");
}

// A server that accepts and answers every request with the given bytes (NetBIOS header included).
class CannedServer {
public:
    explicit CannedServer(std::vector<uint8_t> answer) : answer_(std::move(answer)) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        listen(listen_, 1);
        thread_ = std::thread([this] {
            int c = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            char buf[4096];
            if (recv(c, buf, sizeof buf, 0) > 0) send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            usleep(200000);
            close(c);
        });
    }
    ~CannedServer() {
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    uint16_t port() const { return port_; }

private:
    std::vector<uint8_t> answer_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

std::vector<uint8_t> WithNetbios(const std::vector<uint8_t>& msg, size_t claimed) {
    std::vector<uint8_t> m = {0, 0, static_cast<uint8_t>(claimed >> 8), static_cast<uint8_t>(claimed)};
    m.insert(m.end(), msg.begin(), msg.end());
    return m;
}

TEST(SmbSelfTest, FaultyServersGiveTheirLines) {
    BinlContext ctx;
    ctx.root = "/nonexistent";
    struct Case {
        std::vector<uint8_t> answer;
        const char* line;
    } cases[] = {
        {WithNetbios(NegotiateReply(2, "W", "S"), NegotiateReply(2, "W", "S").size()),
         "BINL Err: WIA_RIS_SHARE not found; 127.0.0.1:445 SMB does not support \"NT LM 0.12\" dialect"},
        {WithNetbios(NegotiateReply(5, "W", "S"), 6000),
         "BINL Err: WIA_RIS_SHARE not found; 127.0.0.1:445 SMB is not responding"},
        {WithNetbios(std::vector<uint8_t>(20, 0xFF), 20),
         "BINL Err: WIA_RIS_SHARE not found; 127.0.0.1:445 SMB_COM_NEGOTIATE answers wrong packet size"},
        {WithNetbios(NegotiateReply(5, "W", "ABCDEFGHIJKLMNOP"), NegotiateReply(5, "W", "ABCDEFGHIJKLMNOP").size()),
         "BINL Err: WIA_RIS_SHARE not found; 127.0.0.1:445 SMB_COM_NEGOTIATE answers invalid COMPUTERNAME"},
    };
    for (const Case& c : cases) {
        CannedServer server(c.answer);
        SetSmbTestPort(server.port());
        LogCapture log(LOG_BINL);
        EXPECT_EQ(TestShareRis(ctx, "127.0.0.1"), -1);
        EXPECT_TRUE(log.Has(c.line)) << c.line;
    }
    SetSmbTestPort(445);
}

// smbd in the foreground with a private configuration, inside this process's own network
// namespace; killed with the fixture.
class SmbServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        skip_ = nimbo::test::NeedRoot();
        if (skip_.empty()) skip_ = nimbo::test::NeedPrivateNetwork();
    }
    void SetUp() override {
        NIMBO_SKIP_IF(skip_);
        chmod(dir_.path().c_str(), 0755);  // the guest account walks down to the shares
        root_ = dir_ / "root";
        WriteFile(root_ + "/astamp.dat", "stamp");
        chmod((root_ + "/astamp.dat").c_str(), 0755);
        std::filesystem::create_directories(root_ + "/WIA_WDS");
        std::filesystem::create_directories(root_ + "/NWA_PXE");
        ctx_.root = root_;
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) usleep(100000);
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        SetShareConfigFile("");
    }
    // Writes the configuration and starts smbd; waits until port 445 accepts.
    void Start(const std::string& globalExtra, const std::string& risPath, const std::string& risExtra) {
        std::string conf = dir_ / "smb.conf";
        std::string text =
            "[global]\n"
            "  server role = standalone server\n  map to guest = Bad User\n"
            "  interfaces = lo\n  bind interfaces only = yes\n  smb ports = 445\n"
            "  disable netbios = yes\n  load printers = no\n  printcap name = /dev/null\n"
            "  acl allow execute always = yes\n";
        for (const char* d :
             {"private dir", "lock directory", "state directory", "cache directory", "pid directory", "ncalrpc dir"}) {
            std::string sub = dir_ / (std::string("var_") + std::to_string(strlen(d)) + d[0]);
            std::filesystem::create_directories(sub);
            text += std::string("  ") + d + " = " + sub + "\n";
        }
        text += "  log file = " + (dir_ / "smbd.log") + "\n" + globalExtra;
        text += "[WIA_RIS_SHARE]\n  path = " + risPath + "\n  guest ok = yes\n" + risExtra;
        text += "[WIA_WDS_SHARE]\n  path = " + root_ + "/WIA_WDS/\n  guest ok = yes\n  read only = yes\n";
        text += "[NWA_PXE_SHARE]\n  path = " + root_ + "/NWA_PXE\n  guest ok = yes\n  read only = yes\n";
        WriteFile(conf, text);
        SetShareConfigFile(conf);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);  // the server signals its own process group when it ends
            execlp("smbd", "smbd", "--foreground", "--no-process-group", ("--configfile=" + conf).c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(445);
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            close(s);
            if (up) return;
            ASSERT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "smbd ended";
            usleep(100000);
        }
        FAIL() << "smbd does not listen";
    }
    static inline std::string skip_;  // why the machine cannot run the suite
    TempFolder dir_;
    std::string root_;
    BinlContext ctx_;
    pid_t pid_ = -1;
};

TEST_F(SmbServer, PassesWithSmb1AndReadOnlyShares) {
    Start("  server min protocol = NT1\n", root_ + "/", "  read only = yes\n");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(TestShare(ctx_, WIA_RIS_SHARE), 0);
    EXPECT_EQ(TestShare(ctx_, WIA_WDS_SHARE), 0);
    EXPECT_EQ(TestShare(ctx_, NWA_PXE_SHARE), 0);
    EXPECT_TRUE(log.Has("BINL Inf: WIA_RIS_SHARE\t\tOK; 127.0.0.1:445"));
    EXPECT_TRUE(log.Has("BINL Inf: WIA_WDS_SHARE\tOK; 127.0.0.1:445"));
    EXPECT_TRUE(log.Has("BINL Inf: NWA_PXE_SHARE\tOK; 127.0.0.1:445"));
    for (const auto& l : log.Lines()) EXPECT_EQ(l.find("Err"), std::string::npos) << l;
}

TEST_F(SmbServer, WritableStampIsReported) {
    Start("  server min protocol = NT1\n", root_, "  read only = no\n  guest only = yes\n  force user = root\n");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(TestShare(ctx_, WIA_RIS_SHARE), -1);
    EXPECT_TRUE(log.Has("BINL ERR: WIA_RIS_SHARE wrong setup; 127.0.0.1:445 does have \"write\" rigths"));
}

TEST_F(SmbServer, ShareElsewhereIsReported) {
    std::filesystem::create_directories(dir_ / "other");
    WriteFile(dir_ / "other/astamp.dat", "x");
    Start("  server min protocol = NT1\n", dir_ / "other", "  read only = yes\n");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(TestShare(ctx_, WIA_RIS_SHARE), -1);
    EXPECT_TRUE(log.Has("BINL Err: WIA_RIS_SHARE wrong setup; 127.0.0.1:445 SMB share doesn't point to " + root_));
}

TEST_F(SmbServer, Smb1OffIsReported) {
    Start("", root_, "  read only = yes\n");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(TestShare(ctx_, WIA_RIS_SHARE), -1);
    EXPECT_TRUE(log.Has("BINL Err: WIA_RIS_SHARE not found; 127.0.0.1:445 SMB does not support \"NT LM 0.12\" dialect"))
        << (log.Lines().empty() ? "" : log.Lines().back());
}

TEST_F(SmbServer, NoServerAndMissingShare) {
    LogCapture log(LOG_BINL);
    EXPECT_EQ(TestShare(ctx_, WIA_RIS_SHARE), -1);
    EXPECT_TRUE(log.Has("BINL Err: WIA_RIS_SHARE not found; Couldn't connect 127.0.0.1:445 Error=0x0000006F"));
    WriteFile(dir_ / "empty.conf", "[global]\n");
    SetShareConfigFile(dir_ / "empty.conf");
    EXPECT_EQ(TestShare(ctx_, WIA_WDS_SHARE), -1);
    EXPECT_TRUE(log.Has("BINL Err: WIA_WDS_SHARE wrong setup; 127.0.0.1:445 SMB share not found"));
}
}  // namespace
