// Request decoding, option negotiation, ERROR packets, name and access rules, and the
// confined open (escape table) against a temporary root.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "_services/tftp_menu_tokens.h"
#include "_services/tftp_request.h"
#include "tests/_services/tftp/tftp_test_util.h"
#include "tests/support/temp_folder.h"

namespace {

std::vector<uint8_t> Request(uint16_t opcode, const std::string& name, const std::string& mode,
                             const std::vector<std::pair<std::string, std::string>>& options = {}) {
    std::vector<uint8_t> p = {static_cast<uint8_t>(opcode >> 8), static_cast<uint8_t>(opcode)};
    auto add = [&](const std::string& s) {
        p.insert(p.end(), s.begin(), s.end());
        p.push_back(0);
    };
    add(name);
    add(mode);
    for (const auto& [n, v] : options) {
        add(n);
        add(v);
    }
    return p;
}

GlobalSettings Defaults() {
    GlobalSettings s{};
    s.TFTP_Timeout = 3;
    s.TFTP_LimitNegotiatedBlksize = 1468;
    s.TFTP_LimitNegotiatedWindowsize = 16;
    s.TFTP_Port = 69;
    s.OptionNegotiation = 1;
    s.TFTP_TranslateUnixFileNames = 1;
    s.TFTP_SecurityLevel = 3;
    return s;
}

// The OACK entries as "name=value" strings.
std::vector<std::string> OackEntries(const std::vector<uint8_t>& oack) {
    std::vector<std::string> out;
    if (oack.size() < 2) return out;
    EXPECT_EQ(oack[0], 0);
    EXPECT_EQ(oack[1], TFTP_OACK);
    size_t i = 2;
    while (i < oack.size()) {
        std::string n(reinterpret_cast<const char*>(&oack[i]));
        i += n.size() + 1;
        std::string v(reinterpret_cast<const char*>(&oack[i]));
        i += v.size() + 1;
        out.push_back(n + "=" + v);
    }
    EXPECT_EQ(i, oack.size());
    return out;
}

TEST(TftpRequest, DecodeTable) {
    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
        int code;
        int mode;
    } cases[] = {
        {"read octet", Request(1, "pxeboot.n12", "octet"), 0, TFTP_MODE_OCTET},
        {"write netascii", Request(2, "a.txt", "NetASCII"), 0, TFTP_MODE_NETASCII},
        {"ascii", Request(1, "a", "ascii"), 0, TFTP_MODE_NETASCII},
        {"mail", Request(1, "a", "MAIL"), 0, TFTP_MODE_MAIL},
        {"binary", Request(1, "a", "binary"), 0, TFTP_MODE_OCTET},
        {"mode image", Request(1, "a", "image"), 4, 0},
        {"opcode 3", Request(3, "a", "octet"), 4, 0},
        {"opcode 0", Request(0, "a", "octet"), 4, 0},
        {"short datagram", {0}, 4, 0},
        {"percent sign", Request(1, "a%20b", "octet"), 2, 0},
        {"name 260", Request(1, std::string(260, 'n'), "octet"), 4, 0},
        {"name 257", Request(1, std::string(257, 'n'), "octet"), 4, 0},
        {"name 256", Request(1, std::string(256, 'n'), "octet"), 0, TFTP_MODE_OCTET},
        {"name 600 unterminated", Request(1, std::string(600, 'n'), "octet"), 4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TftpRequest r;
        TftpLog log;
        EXPECT_EQ(TftpDecodeRequest(c.packet.data(), c.packet.size(), &r, &log), c.code);
        if (c.code == 0) { EXPECT_EQ(r.mode, c.mode); }
        if (c.code != 0) { ASSERT_FALSE(log.empty()); }
    }
}

TEST(TftpRequest, OptionsStayInsideTheDatagram) {
    // An option whose value runs off the end of the datagram is not taken.
    auto p = Request(1, "f", "octet", {{"blksize", "1468"}});
    p.push_back('t');
    p.push_back('s');
    TftpRequest r;
    ASSERT_EQ(TftpDecodeRequest(p.data(), p.size(), &r, nullptr), 0);
    ASSERT_EQ(r.options.size(), 1u);
    EXPECT_EQ(r.options[0].first, "blksize");
    // Empty strings between options are skipped.
    auto q = Request(1, "f", "octet");
    q.push_back(0);
    q.push_back(0);
    for (const char* s : {"tsize", "0"}) {
        q.insert(q.end(), s, s + strlen(s));
        q.push_back(0);
    }
    ASSERT_EQ(TftpDecodeRequest(q.data(), q.size(), &r, nullptr), 0);
    ASSERT_EQ(r.options.size(), 1u);
    EXPECT_EQ(r.options[0].first, "tsize");
}

struct NegCase {
    const char* what;
    uint16_t opcode;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> oack;
    uint32_t blockSize;
    uint32_t window;  // window size in blocks (K + 1)
    uint32_t timeout;
    uint64_t totalSize;
    void (*tweak)(GlobalSettings&);
};

TEST(TftpRequest, NegotiationTable) {
    const uint64_t fileSize = 123456;
    // clang-format off
    const NegCase cases[] = {
        {"no options", 1, {}, {}, 512, 1, 3, fileSize, nullptr},
        {"blksize 512", 1, {{"blksize", "512"}}, {"blksize=512"}, 512, 1, 3, fileSize, nullptr},
        {"blksize 1468", 1, {{"blksize", "1468"}}, {"blksize=1468"}, 1468, 1, 3, fileSize, nullptr},
        {"blksize 8192 limited", 1, {{"blksize", "8192"}}, {"blksize=1468"}, 1468, 1, 3, fileSize, nullptr},
        {"blksize 65464 limited", 1, {{"BlkSize", "65464"}}, {"BlkSize=1468"}, 1468, 1, 3, fileSize, nullptr},
        {"blksize 8192 no limit", 1, {{"blksize", "8192"}}, {"blksize=8192"}, 8192, 1, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_LimitNegotiatedBlksize = 0; }},
        {"blksize 65464 beyond 16384", 1, {{"blksize", "65464"}}, {"blksize=16384"}, 16384, 1, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_LimitNegotiatedBlksize = 0; }},
        {"blksize 20000 limit 1468", 1, {{"blksize", "20000"}}, {"blksize=1468"}, 1468, 1, 3, fileSize, nullptr},
        {"blksize 4 refused", 1, {{"blksize", "4"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"blksize negative", 1, {{"blksize", "-1"}}, {"blksize=1468"}, 1468, 1, 3, fileSize, nullptr},
        {"windowsize 1", 1, {{"windowsize", "1"}}, {"windowsize=1"}, 512, 1, 3, fileSize, nullptr},
        {"windowsize 4", 1, {{"windowsize", "4"}}, {"windowsize=4"}, 512, 4, 3, fileSize, nullptr},
        {"windowsize 16", 1, {{"windowsize", "16"}}, {"windowsize=16"}, 512, 16, 3, fileSize, nullptr},
        {"windowsize 64 limited", 1, {{"windowsize", "64"}}, {"windowsize=16"}, 512, 16, 3, fileSize, nullptr},
        {"windowsize 64 limit 64", 1, {{"windowsize", "64"}}, {"windowsize=64"}, 512, 64, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_LimitNegotiatedWindowsize = 64; }},
        {"windowsize 100", 1, {{"windowsize", "100"}}, {"windowsize=16"}, 512, 16, 3, fileSize, nullptr},
        {"windowsize 0 ignored", 1, {{"windowsize", "0"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"windowsize limit 1", 1, {{"windowsize", "8"}}, {}, 512, 1, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_LimitNegotiatedWindowsize = 1; }},
        {"windowsize limit 65", 1, {{"windowsize", "8"}}, {}, 512, 1, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_LimitNegotiatedWindowsize = 65; }},
        {"tsize probe", 1, {{"tsize", "0"}}, {"tsize=123456"}, 512, 1, 3, fileSize, nullptr},
        {"tsize write", 2, {{"tsize", "5000000000"}}, {"tsize=5000000000"}, 512, 1, 3, 5000000000ull, nullptr},
        {"timeout 255", 1, {{"timeout", "255"}}, {"timeout=255"}, 512, 1, 255, fileSize, nullptr},
        {"timeout 0", 1, {{"timeout", "0"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"timeout 256", 1, {{"timeout", "256"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"timeout 05 as in use", 1, {{"timeout", "05"}}, {"timeout=5"}, 512, 1, 5, fileSize, nullptr},
        {"timeout junk as in use", 1, {{"timeout", "  2junk"}}, {"timeout=2"}, 512, 1, 2, fileSize, nullptr},
        {"tsize write junk as in use", 2, {{"tsize", "0100x"}}, {"tsize=100"}, 512, 1, 3, 100, nullptr},
        {"repeated: the first counts", 1,
         {{"blksize", "1024"}, {"timeout", "2"}, {"BLKSIZE", "512"}, {"timeout", "9"}, {"blksize", "4"}},
         {"blksize=1024", "timeout=2"}, 1024, 1, 2, fileSize, nullptr},
        {"repeated write tsize", 2, {{"tsize", "700"}, {"tsize", "9000"}, {"windowsize", "4"}, {"windowsize", "8"}},
         {"tsize=700", "windowsize=4"}, 512, 4, 3, 700, nullptr},
        {"repeated after a refusal", 1, {{"blksize", "4"}, {"blksize", "1024"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"udpport off", 1, {{"udpport", "0"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"udpport on", 1, {{"udpport", "0"}}, {"udpport=40000"}, 512, 1, 3, fileSize,
         [](GlobalSettings& s) { s.TFTP_SupportForPortOption = 1; }},
        {"unknown only", 1, {{"multicast", ""}, {"foo", "1"}}, {}, 512, 1, 3, fileSize, nullptr},
        {"all in order", 1, {{"blksize", "1468"}, {"tsize", "0"}, {"windowsize", "8"}},
         {"blksize=1468", "tsize=123456", "windowsize=8"}, 1468, 8, 3, fileSize, nullptr},
        {"pxe compatibility", 1, {{"blksize", "1468"}, {"tsize", "0"}, {"windowsize", "8"}, {"timeout", "5"}},
         {"tsize=123456"}, 512, 1, 3, fileSize, [](GlobalSettings& s) { s.PxeCompatibility = 1; }},
        {"negotiation off", 1, {{"blksize", "1468"}, {"tsize", "0"}}, {}, 512, 1, 3, fileSize,
         [](GlobalSettings& s) { s.OptionNegotiation = 0; }},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        GlobalSettings s = Defaults();
        if (c.tweak) c.tweak(s);
        auto packet = Request(c.opcode, "file", "octet", c.options);
        TftpRequest r;
        ASSERT_EQ(TftpDecodeRequest(packet.data(), packet.size(), &r, nullptr), 0);
        TftpNegotiation n;
        TftpNegotiateOptions(r, s, c.opcode == TFTP_RRQ ? fileSize : 0, 40000, &n, nullptr);
        EXPECT_EQ(OackEntries(n.oack), c.oack);
        EXPECT_EQ(n.blockSize, c.blockSize);
        EXPECT_EQ(n.windowMinus1 + 1, c.window);
        EXPECT_EQ(n.timeout, c.timeout);
        EXPECT_EQ(n.totalSize, c.totalSize);
        EXPECT_EQ(n.oackPort, c.oack.size() == 1 && c.oack[0].rfind("udpport", 0) == 0 ? 69 : 0);
    }
}

TEST(TftpRequest, PortOptionIsTraced) {
    GlobalSettings s = Defaults();
    s.TFTP_SupportForPortOption = 1;
    auto packet = Request(1, "file", "octet", {{"udpport", "0"}});
    TftpRequest r;
    ASSERT_EQ(TftpDecodeRequest(packet.data(), packet.size(), &r, nullptr), 0);
    TftpNegotiation n;
    TftpLog log;
    TftpNegotiateOptions(r, s, 0, 40000, &n, &log);
    bool traced = false;
    for (const auto& l : log)
        traced |= l.level == kTftpTraceLevel && l.text == "TFTP Inf: using udpport option --> 40000";
    EXPECT_TRUE(traced);
}

TEST(TftpRequest, OackNeverOutgrowsItsBuffer) {
    std::vector<std::pair<std::string, std::string>> opts;
    for (int i = 0; i < 60; ++i) opts.push_back({i % 2 ? "tsize" : "x" + std::to_string(i), "0"});
    auto packet = Request(1, "f", "octet", opts);
    TftpRequest r;
    ASSERT_EQ(TftpDecodeRequest(packet.data(), packet.size(), &r, nullptr), 0);
    TftpNegotiation n;
    TftpNegotiateOptions(r, Defaults(), 99999999999ull, 1, &n, nullptr);
    EXPECT_LE(n.oack.size(), kTftpAckBufferSize);
    EXPECT_FALSE(OackEntries(n.oack).empty());
}

TEST(TftpRequest, ErrorPackets) {
    struct Case {
        int code;
        int wire;
        std::string text;
    } cases[] = {
        {0, 0, "Undefined error code"},
        {1, 1, "File not found"},
        {2, 2, "Access violation"},
        {3, 3, "Disk full or allocation exceeded"},
        {4, 4, "Illegal TFTP operation"},
        {5, 5, "Unknown transfer ID"},
        {6, 6, "File already exists"},
        {7, 7, "No such user"},
        {99, 0x63, "Canceled by administrator"},
        {102, 0, strerror(2)},
    };
    for (const auto& c : cases) {
        auto p = TftpBuildError(c.code);
        ASSERT_EQ(p.size(), 4 + c.text.size() + 1);
        EXPECT_EQ(p[0], 0);
        EXPECT_EQ(p[1], 5);
        EXPECT_EQ((p[2] << 8) | p[3], c.wire);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(&p[4])), c.text);
        EXPECT_EQ(p.back(), 0);
    }
}

TEST(TftpRequest, NamesAndAccessRules) {
    GlobalSettings s = Defaults();
    struct NameCase {
        const char* in;
        int vroot;
        const char* out;
    } names[] = {
        {"boot\\x86\\wdsnbp.com", 0, "boot/x86/wdsnbp.com"},
        {"/boot/pxelinux.0", 0, "/boot/pxelinux.0"},
        {"\\boot\\pxelinux.0", 1, "boot/pxelinux.0"},
        {"c:\\x", 0, "C:/x"},
    };
    for (const auto& c : names) {
        std::string n = c.in;
        s.TFTP_BackSlashAsVirtualRoot = c.vroot;
        TftpTranslateName(n, s);
        EXPECT_EQ(n, c.out);
    }
    struct NormCase {
        const char* in;
        bool ok;
        const char* rel;
    } norms[] = {
        {"a/b/c", true, "a/b/c"}, {"/a//b/./c", true, "a/b/c"}, {"a/../b", true, "b"},
        {"../x", false, ""},      {"..\\x", false, ""},         {"/../sibling/x", false, ""},
        {"a/../../x", false, ""}, {"a/b/../../..", false, ""},  {"", true, ""},
    };
    for (const auto& c : norms) {
        SCOPED_TRACE(c.in);
        std::string rel;
        EXPECT_EQ(TftpNormalizeName(c.in, &rel), c.ok);
        if (c.ok) { EXPECT_EQ(rel, c.rel); }
    }
    struct AccessCase {
        int level;
        uint16_t op;
        const char* name;
        int allowed;
    } access[] = {
        {0, TFTP_WRQ, "new.bin", 1}, {1, TFTP_WRQ, "new.bin", 1},   {2, TFTP_WRQ, "x", 1}, {2, TFTP_RRQ, "x", 1},
        {3, TFTP_RRQ, "x", 1},       {3, TFTP_WRQ, "x", 0},         {4, TFTP_RRQ, "x", 0}, {-1, TFTP_RRQ, "x", 0},
        {0, TFTP_RRQ, "../x", 0},    {0, TFTP_WRQ, "a/../../x", 0},
    };
    for (const auto& c : access)
        EXPECT_EQ(TftpCheckAccess("/srv/tftp", c.name, c.op, c.level), c.allowed) << c.level << c.name;
    // The root text and the name together stay below 260 characters.
    const std::string root = "/srv/tftp";  // 9 characters
    EXPECT_EQ(TftpCheckAccess(root, std::string(250, 'n'), TFTP_RRQ, 0), 1);
    errno = 0;
    EXPECT_EQ(TftpCheckAccess(root, std::string(251, 'n'), TFTP_RRQ, 0), 0);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(TftpCheckAccess(std::string(200, 'r'), std::string(60, 'n'), TFTP_RRQ, 0), 0);
    EXPECT_EQ(TftpErrnoToCode(ENOENT), 1);
    EXPECT_EQ(TftpErrnoToCode(ENOTDIR), 1);
    for (int e : {EMFILE, ENFILE, ENOMEM, ENOSPC, EDQUOT}) EXPECT_EQ(TftpErrnoToCode(e), 3);
    for (int e : {EACCES, EXDEV, ELOOP, EPERM}) EXPECT_EQ(TftpErrnoToCode(e), 2);
}

class TftpOpen : public ::testing::Test {
protected:
    void SetUp() override {
        mkdir(root_.c_str(), 0755);
        mkdir((base_ + "/sibling").c_str(), 0755);
        mkdir((root_ + "/Boot").c_str(), 0755);
        Write(base_ + "/secret", "secret");
        Write(base_ + "/sibling/x", "sibling");
        Write(root_ + "/Boot/PXEboot.N12", "pxe");
        Write(root_ + "/empty.bin", "");
        Write(root_ + "/full.bin", "data");
        symlink("../secret", (root_ + "/out").c_str());
        symlink("/etc/passwd", (root_ + "/abs").c_str());
        symlink("Boot/PXEboot.N12", (root_ + "/in").c_str());
        symlink("/proc/self/root/etc/passwd", (root_ + "/magic").c_str());
        mkfifo((root_ + "/fifo").c_str(), 0644);
        rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(rootFd_, 0);
    }
    void TearDown() override { close(rootFd_); }
    static void Write(const std::string& path, const std::string& data) {
        ASSERT_TRUE(nimbo::test::WriteFile(path, data)) << path;
    }
    // The whole server-side decision for one name: translate, normalise, access, open.
    int Decide(const std::string& requested, bool write, int level, std::string* opened = nullptr) {
        GlobalSettings s = Defaults();
        std::string name = requested;
        TftpTranslateName(name, s);
        if (!TftpCheckAccess(root_, name, write ? TFTP_WRQ : TFTP_RRQ, level)) return 2;
        std::string rel;
        TftpNormalizeName(name, &rel);
        TftpOpenResult r = TftpOpenFile(rootFd_, rel, write, level, nullptr);
        if (r.fd < 0) return r.errorCode;
        if (opened) *opened = r.path;
        close(r.fd);
        TftpDiscardWrite(&r.target);
        return 0;
    }
    nimbo::test::TempFolder folder_{"tftp_open_"};
    std::string base_ = folder_.path(), root_ = base_ + "/root";
    int rootFd_ = -1;
};

TEST_F(TftpOpen, EscapeTable) {
    struct Case {
        const char* name;
        int code;
    } cases[] = {
        {"../x", 2},
        {"..\\x", 2},
        {"..\\secret", 2},
        {"/../sibling/x", 2},
        {"a/../../x", 2},
        {"Boot/../../secret", 2},
        {"/etc/passwd", 1},  // absolute names are taken beneath the root
        {"out", 2},          // symlink leading out
        {"abs", 2},          // absolute symlink
        {"magic", 2},        // magic link
        {"Boot", 2},         // a directory
        {"/", 2},            // the root itself
        {"fifo", 2},         // not a regular file
        {"missing.bin", 1},
        {"Boot/missing/x", 1},
        {"full.bin/x", 1},
        {"in", 0},  // a symlink that stays inside is fine
        {"Boot/PXEboot.N12", 0},
        {"boot\\pxeboot.n12", 0},  // found without case
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decide(c.name, false, 3), c.code);
    }
    for (const char* w : {"../x", "out", "a/../../x", "Boot", "fifo"}) {
        SCOPED_TRACE(w);
        EXPECT_EQ(Decide(w, true, 0), 2);
    }
    std::string opened;
    EXPECT_EQ(Decide("BOOT/pxeboot.n12", false, 3, &opened), 0);
    EXPECT_EQ(opened, "Boot/PXEboot.N12");
    // Nothing outside was created or changed.
    struct stat st {};
    EXPECT_NE(stat((base_ + "/x").c_str(), &st), 0);
    EXPECT_EQ(stat((base_ + "/secret").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 6);
}

TEST_F(TftpOpen, WritesBySecurityLevel) {
    EXPECT_EQ(Decide("new.bin", true, 3), 2);
    EXPECT_EQ(Decide("new.bin", true, 5), 2);
    EXPECT_EQ(Decide("new.bin", true, 2), 2);   // level 2: missing file refused
    EXPECT_EQ(Decide("full.bin", true, 2), 2);  // level 2: non-empty file refused
    EXPECT_EQ(Decide("empty.bin", true, 2), 0);
    EXPECT_EQ(Decide("new.bin", true, 0), 0);  // level 0 creates
    std::string opened;
    EXPECT_EQ(Decide("boot/New.bin", true, 1, &opened), 0);  // directory found without case
    EXPECT_EQ(opened, "Boot/New.bin");
    Write(root_ + "/full.bin", "data");
    EXPECT_EQ(Decide("FULL.BIN", true, 0, &opened), 0);  // an existing file is found without case
    EXPECT_EQ(opened, "full.bin");
    struct stat upper {};
    EXPECT_NE(stat((root_ + "/FULL.BIN").c_str(), &upper), 0);
    // Opening for a write leaves the existing file whole.
    EXPECT_EQ(Decide("full.bin", true, 0), 0);
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/full.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

std::string ReadAll(const std::string& path) {
    std::string out;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "<missing>";
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

TEST_F(TftpOpen, WritesGoThroughATemporaryFile) {
    Write(root_ + "/Boot/old.bin", "the old content");
    chmod((root_ + "/Boot/old.bin").c_str(), 0640);
    const size_t entries = FolderEntryCount(root_ + "/Boot");
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "completed" : "aborted");
        TftpOpenResult w = TftpOpenFile(rootFd_, "boot/OLD.BIN", true, 0, nullptr);
        ASSERT_GE(w.fd, 0);
        EXPECT_EQ(w.path, "Boot/old.bin");
        ASSERT_EQ(write(w.fd, "new", 3), 3);
        EXPECT_EQ(ReadAll(root_ + "/Boot/old.bin"), "the old content");  // untouched while it runs
        EXPECT_EQ(FolderEntryCount(root_ + "/Boot"), entries + 1);       // the temporary file beside it
        // Readers wait for the end of the write.
        EXPECT_EQ(TftpOpenFile(rootFd_, "Boot/old.bin", false, 0, nullptr).errorCode, 2);
        close(w.fd);
        if (commit)
            EXPECT_TRUE(TftpCommitWrite(&w.target));
        else
            TftpDiscardWrite(&w.target);
        EXPECT_EQ(ReadAll(root_ + "/Boot/old.bin"), commit ? "new" : "the old content");
        EXPECT_EQ(FolderEntryCount(root_ + "/Boot"), entries);  // no temporary file left
    }
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/Boot/old.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replacement keeps the file's mode
    // A new file appears only when its write completes.
    TftpOpenResult n = TftpOpenFile(rootFd_, "Boot/fresh.bin", true, 0, nullptr);
    ASSERT_GE(n.fd, 0);
    EXPECT_EQ(ReadAll(root_ + "/Boot/fresh.bin"), "<missing>");
    close(n.fd);
    EXPECT_TRUE(TftpCommitWrite(&n.target));
    EXPECT_EQ(ReadAll(root_ + "/Boot/fresh.bin"), "");
}

TEST_F(TftpOpen, ShareModes) {
    // A reader blocks a writer, and a writer blocks readers: ERROR 2, file left intact.
    Write(root_ + "/full.bin", "data");
    TftpOpenResult reader = TftpOpenFile(rootFd_, "full.bin", false, 0, nullptr);
    ASSERT_GE(reader.fd, 0);
    EXPECT_EQ(reader.size, 4u);
    TftpOpenResult reader2 = TftpOpenFile(rootFd_, "full.bin", false, 0, nullptr);
    EXPECT_GE(reader2.fd, 0);
    TftpOpenResult writer = TftpOpenFile(rootFd_, "full.bin", true, 0, nullptr);
    EXPECT_LT(writer.fd, 0);
    EXPECT_EQ(writer.errorCode, 2);
    close(reader.fd);
    close(reader2.fd);
    struct stat st {};
    ASSERT_EQ(stat((root_ + "/full.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    writer = TftpOpenFile(rootFd_, "full.bin", true, 0, nullptr);
    ASSERT_GE(writer.fd, 0);
    EXPECT_EQ(TftpOpenFile(rootFd_, "full.bin", false, 0, nullptr).errorCode, 2);
    close(writer.fd);
    TftpDiscardWrite(&writer.target);
}

}  // namespace

// The address tokens of menu files, filled in for one client.
namespace {

uint32_t Addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

}  // namespace

TEST(MenuTokens, FilledForOneClient) {
    MenuTokenAddresses a;
    a.client = Addr("10.77.0.100");
    a.server = Addr("10.77.0.1");
    a.gateway = Addr("10.77.0.254");
    a.mask = Addr("255.255.255.0");
    MenuTokenAddresses noGateway = a;
    noGateway.gateway = 0;
    const struct {
        std::string text;
        std::string filled;
        const MenuTokenAddresses* with;
    } cases[] = {
        {"   append       ip=$IP_CLNT$:$IP_BSRV$:$IP_GWAY$:$IP_MASK$\r\n",
         "   append       ip=10.77.0.100:10.77.0.1:10.77.0.254:255.255.255.0\r\n", &a},
        // Found without case, every occurrence.
        {"srv=$ip_bsrv$ again=$Ip_BsRv$ c=$IP_CLNT$$IP_CLNT$", "srv=10.77.0.1 again=10.77.0.1 c=10.77.0.10010.77.0.100",
         &a},
        // Other "$...$" texts and stray dollars stay; a token may follow a dollar.
        {"$COMP_NAME$ $HEAD_DIR$ $5 $$IP_MASK$$", "$COMP_NAME$ $HEAD_DIR$ $5 $255.255.255.0$", &a},
        // A token cut off at the end of the text is no token.
        {"x=$IP_CLNT", "x=$IP_CLNT", &a},
        {"x=$IP_CLNT$", "x=10.77.0.100", &a},
        {"", "", &a},
        // No gateway known: the kernel's "none" address.
        {"gw=$IP_GWAY$", "gw=0.0.0.0", &noGateway},
        // Bytes of any value pass through.
        {std::string("a\0$IP_BSRV$\xff\r\n", 15),
         std::string("a\0"
                     "10.77.0.1\xff\r\n",
                     15),
         &a},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FillMenuAddressTokens(c.text, *c.with), c.filled);
    }
}

TEST(MenuTokens, MenuFilesAreThoseOfMenuFolders) {
    const struct {
        const char* path;
        bool menu;
    } cases[] = {
        {"BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def", true},
        {"BM\\PXENIMBO\\EFI64\\PXENIMBO.CFG\\default", true},
        {"x/pxenimbo.cfg/sub/menu.def", true},
        {"pxenimbo.cfg/F1", true},
        {"pxenimbo.cfg", false},
        {"BM/PXENIMBO/BIOS/pxenimbo.0", false},
        {"NWA_PXE/a/pxenimbo.cfgx/menu.def", false},
        {"NWA_PXE/a/xpxenimbo.cfg/menu.def", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(TftpIsMenuFile(c.path), c.menu) << c.path;
}

TEST(MenuTokens, FirstAddressOfTheRouterOption) {
    const uint8_t two[] = {3, 8, 10, 77, 0, 254, 10, 77, 0, 253};
    EXPECT_EQ(FirstOptionAddress(two, sizeof two), Addr("10.77.0.254"));
    const uint8_t none[270] = {};
    EXPECT_EQ(FirstOptionAddress(none, sizeof none), 0u);
    const uint8_t cut[] = {3, 8, 10, 77, 0, 254};  // says 8 bytes, holds 4
    EXPECT_EQ(FirstOptionAddress(cut, sizeof cut), 0u);
}
