// The FTP server's pure parts: path normalisation and confinement, the verb table, the
// command-line reader, argument parsers and the reply and listing-line builders.
#include <gtest/gtest.h>

#include <string>

#include "_services/ftp/ftp_paths.h"
#include "_services/ftp/ftp_proto.h"

namespace {

TEST(FtpPaths, SimplifyPathTable) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\\b\\\\c", "a/b/c"},
        {"/a/./b/", "/a/b"},
        {"/a/b/..", "/a"},
        {"/a/b/../c", "/a/c"},
        {"/a/..", "/"},
        {"/..", "/"},
        {"/../x", "/x"},
        {"/../../etc", "/etc"},
        {"/a/../../b", "/b"},
        {"/..x", "/..x"},
        {"/a/..x/", "/a/..x"},
        {"/x/.", "/x"},
        {"/./././", "/"},
        {"//a///b//", "/a/b"},
        {".", "/"},
        {"..", "/"},
        {"./a", "/a"},
        {"../a", "/a"},
        {"C:\\ftp\\", "C:/ftp"},
        {"C:/", "C:/"},
        {"C:/a/..", "C:/"},
        {"C:/..", "C:/"},
        {"C:/../x", "C:/x"},
        {"/", "/"},
        {"/a/b/c/../../d", "/a/d"},
        {"/a/./../b/./c", "/b/c"},
        {"/.../x", "/.../x"},
    };
    for (const Case& c : cases) {
        std::string s = c.in;
        EXPECT_TRUE(SimplifyPath(s)) << c.in;
        EXPECT_EQ(s, c.out) << c.in;
    }
    std::string empty;
    EXPECT_FALSE(SimplifyPath(empty));
    EXPECT_TRUE(empty.empty());
}

TEST(FtpPaths, VirtualPathTable) {
    struct Case {
        const char* current;
        const char* arg;  // nullptr: no argument
        const char* out;  // nullptr: does not resolve
    } cases[] = {
        {"/", nullptr, "/"},     {"/a", nullptr, "/a"},   {"/", "..", "/"},         {"/a", "../../etc", "/etc"},
        {"/a", "b", "/a/b"},     {"/a", "/b/../c", "/c"}, {"/a", "\\b\\c", "/b/c"}, {"/a", "b\\..\\..\\..\\x", "/x"},
        {"/", "/C:/x", "/C:/x"}, {"/", "", "/"},
    };
    for (const Case& c : cases) {
        std::string out;
        bool ok = BuildVirtualPath(c.current, c.arg, &out);
        EXPECT_EQ(ok, c.out != nullptr) << c.current << " + " << (c.arg ? c.arg : "(none)");
        if (ok && c.out) { EXPECT_EQ(out, c.out) << c.current << " + " << c.arg; }
    }
    // Too long, or a join that would have been cut: the tail of a cut join could hold "..".
    std::string out;
    EXPECT_FALSE(BuildVirtualPath("/", std::string(300, 'a').c_str(), &out));
    EXPECT_FALSE(BuildVirtualPath("/", ("/" + std::string(300, 'a')).c_str(), &out));
    std::string deep = "/" + std::string(200, 'd');
    std::string arg = std::string(55, 'x') + "/../../..";  // 256 + 1 + 64 > 263: refused whole
    EXPECT_FALSE(BuildVirtualPath(deep, arg.c_str(), &out));
    EXPECT_TRUE(BuildVirtualPath(deep, "../e", &out));
    EXPECT_EQ(out, "/e");
    // Something that shrinks back below the limit once normalised still resolves.
    std::string back = std::string(120, 'q') + "/../" + std::string(100, 'r');
    EXPECT_TRUE(BuildVirtualPath("/", back.c_str(), &out));
    EXPECT_EQ(out, "/" + std::string(100, 'r'));
}

TEST(FtpPaths, FullPathStaysBelowTheRoot) {
    struct Case {
        const char* root;
        const char* current;
        const char* arg;
        const char* full;  // nullptr: does not resolve
        const char* rel;
    } cases[] = {
        {"/srv/ftp", "/", nullptr, "/srv/ftp", "."},
        {"/srv/ftp", "/", "..", "/srv/ftp", "."},
        {"/srv/ftp", "/a", "../../../etc/passwd", "/srv/ftp/etc/passwd", "etc/passwd"},
        {"/srv/ftp", "/", "/..\\..\\etc", "/srv/ftp/etc", "etc"},
        {"/srv/ftp", "/", "a/b", "/srv/ftp/a/b", "a/b"},
        {"/", "/", "x", "/x", "x"},
        {"C:/ftp", "/", "/C:/x", "C:/ftp/C:/x", "C:/x"},
        {"", "/", "x", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string full, virt, rel;
        bool ok = BuildFullPath(c.root, c.current, c.arg, &full, &virt, &rel);
        ASSERT_EQ(ok, c.full != nullptr) << c.root << " " << (c.arg ? c.arg : "");
        if (!ok) continue;
        EXPECT_EQ(full, c.full);
        EXPECT_EQ(rel, c.rel);
        EXPECT_EQ(rel.find(".."), std::string::npos);
    }
    std::string full;
    std::string root = "/" + std::string(250, 'r');
    EXPECT_FALSE(BuildFullPath(root, "/", "012345678", &full));  // 261 > 260
    EXPECT_TRUE(BuildFullPath(root, "/", "01234567", &full));    // exactly 260
    EXPECT_EQ(full.size(), 260u);
}

TEST(FtpProto, VerbTable) {
    struct Case {
        const char* line;
        int verb;
        bool hasArg;
        const char* arg;
    } cases[] = {
        {"USER anonymous", FTP_USER, true, "anonymous"},
        {"user Anonymous", FTP_USER, true, "Anonymous"},
        {"pAsV", FTP_PASV, false, ""},
        {"LIST ", FTP_LIST, true, ""},
        {"STOR a b c", FTP_STOR, true, "a b c"},
        {"XPWD", FTP_XPWD, false, ""},
        {"opts utf8 on", FTP_OPTS, true, "utf8 on"},
        {"PASSX y", -1, true, "y"},
        {"PAS", -1, false, ""},
        {"", -1, false, ""},
    };
    for (const Case& c : cases) {
        FtpCommand cmd = ParseFtpCommand(c.line);
        EXPECT_EQ(cmd.verb, c.verb) << c.line;
        EXPECT_EQ(cmd.hasArgument, c.hasArg) << c.line;
        EXPECT_EQ(cmd.argument, c.arg) << c.line;
    }
    for (int v = 0; v < FTP_VERB_COUNT; ++v) EXPECT_EQ(ParseFtpCommand(FtpVerbName(v)).verb, v);
}

// Feeds text to a reader in pieces of the given size and collects what it gives back.
std::vector<std::string> Feed(const std::string& text, size_t piece) {
    FtpLineReader r;
    std::vector<std::string> out;
    size_t off = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        std::string line;
        FtpLineReader::Result res = r.Next(&line);
        if (res == FtpLineReader::kLine) out.push_back(line);
        if (res == FtpLineReader::kTooLong) out.push_back("<too long>");
        if (res != FtpLineReader::kNeedMore) continue;
        if (off == text.size()) break;
        size_t room;
        char* p = r.Room(&room);
        size_t n = std::min({room, piece, text.size() - off});
        memcpy(p, text.data() + off, n);
        r.Commit(n);
        off += n;
    }
    return out;
}

TEST(FtpProto, LineReader) {
    const std::string l291(291, 'a'), l292(292, 'b'), l900(900, 'c');
    struct Case {
        std::string in;
        std::vector<std::string> out;
    } cases[] = {
        {"NOOP\r\n", {"NOOP"}},
        {"\r\n\r\n\nNOOP\n\n", {"NOOP"}},
        {std::string("A\0B\rC\n", 6), {"A", "B", "C"}},
        {"USER x\r\nPASS y\r\n", {"USER x", "PASS y"}},
        {l291 + "\r\nNOOP\r\n", {l291, "NOOP"}},
        {l292 + "\r\nNOOP\r\n", {"<too long>", "NOOP"}},
        {l900 + "\r\nNOOP\r\n" + l900 + "\n", {"<too long>", "NOOP", "<too long>"}},
        {"NO", {}},
        // Telnet commands go before the line is read: IP, Synch (IAC DM) as sent before ABOR,
        // option negotiation, and IAC IAC as one byte 255.
        // clang-format off
        {"\xff\xf4\xff\xf2" "ABOR\r\n", {"ABOR"}},
        {"\xff\xf4\xf2" "ABOR\r\n", {"\xf2" "ABOR"}},
        {"NO\xff\xf1OP\r\n\xff\xfd\x01\xff\xfb\x0aSTAT\r\n", {"NOOP", "STAT"}},
        {"RETR a\xff\xff" "b\r\n", {"RETR a\xff" "b"}},
        // clang-format on
    };
    for (const Case& c : cases)
        for (size_t piece : {size_t(1), size_t(7), size_t(5000)})
            EXPECT_EQ(Feed(c.in, piece), c.out) << c.in.substr(0, 20) << " piece " << piece;
}

TEST(FtpProto, PortArgument) {
    struct Case {
        const char* arg;
        bool ok;
        uint32_t addr;
        uint16_t port;
    } cases[] = {
        {"127,0,0,1,4,1", true, 0x7F000001, 1025},
        {"10,1,2,3,255,255", true, 0x0A010203, 65535},
        {"0,0,0,0,4,1", false, 0, 0},
        {"127,0,0,1,0,0", false, 0, 0},
        {"127,0,0,1,4", false, 0, 0},
        {"127,0,0,1,4,1,", false, 0, 0},
        {"127,0,0,256,4,1", false, 0, 0},
        {"127,0,0,1,4,0001", false, 0, 0},
        {" 127,0,0,1,4,1", false, 0, 0},
        {"a,b,c,d,e,f", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t a = 0;
        uint16_t p = 0;
        EXPECT_EQ(ParsePortArgument(c.arg, &a, &p), c.ok) << c.arg;
        if (c.ok) {
            EXPECT_EQ(a, c.addr);
            EXPECT_EQ(p, c.port);
        }
    }
}

TEST(FtpProto, RestAndSiteChmod) {
    int64_t off = -1;
    struct Rest {
        const char* arg;
        bool ok;
        int64_t value;
    } rests[] = {{"100", true, 100},
                 {"  +7x", true, 7},
                 {"-5", true, -5},
                 {"abc", true, 0},
                 {"9223372036854775807", true, INT64_MAX},
                 {"9223372036854775808", false, 0}};
    for (const Rest& r : rests) {
        EXPECT_EQ(ParseRestOffset(r.arg, &off), r.ok) << r.arg;
        if (r.ok) { EXPECT_EQ(off, r.value) << r.arg; }
    }
    struct Chmod {
        const char* arg;
        SiteChmod res;
        uint16_t mode;
        const char* path;
    } chmods[] = {
        {"CHMOD 755 file", SiteChmod::Ok, 0755, "file"},
        {"chmod 4755 a b", SiteChmod::Ok, 04755, "a b"},
        {"CHMOD 7 x", SiteChmod::Ok, 07, "x"},
        {"CHMOD 0644", SiteChmod::Ok, 0644, ""},
        {"CHMOD 7777 x", SiteChmod::Ok, 07777, "x"},
        {"CHMOD 75a x", SiteChmod::Syntax, 0, ""},
        {"CHMOD 789 x", SiteChmod::Syntax, 0, ""},
        {"CHMOD 12345 x", SiteChmod::Syntax, 0, ""},
        {"CHMOD ", SiteChmod::Syntax, 0, ""},
        {"CHMODX 755 x", SiteChmod::NotChmod, 0, ""},
        {"UMASK 022", SiteChmod::NotChmod, 0, ""},
    };
    for (const Chmod& c : chmods) {
        uint16_t mode = 0;
        std::string path;
        EXPECT_EQ(ParseSiteChmod(c.arg, &mode, &path), c.res) << c.arg;
        if (c.res == SiteChmod::Ok) {
            EXPECT_EQ(mode, c.mode) << c.arg;
            EXPECT_EQ(path, c.path) << c.arg;
        }
    }
    std::string longPath = "CHMOD 644 " + std::string(261, 'p');
    uint16_t m;
    std::string p;
    EXPECT_EQ(ParseSiteChmod(longPath, &m, &p), SiteChmod::Syntax);
}

TEST(FtpProto, ListingLines) {
    struct Case {
        unsigned mode;
        bool folder;
        const char* text;
    } cases[] = {
        {04755, false, "-rwsr-xr-x"}, {01777, true, "drwxrwxrwt"},  {0444, false, "-r--r--r--"},
        {0755, true, "drwxr-xr-x"},   {0, false, "----------"},     {06644, false, "-rwSr-Sr--"},
        {01000, false, "---------T"}, {01001, false, "---------t"}, {0100755, false, "-rwxr-xr-x"},
    };
    for (const Case& c : cases) EXPECT_EQ(PermissionText(ListModeWord(c.mode, c.folder)), c.text) << std::oct << c.mode;

    const int64_t now = 1780000000;  // 2026-05-28
    const int64_t day = 86400;
    std::string recent = FormatListLine(ListModeWord(0644, false), 1234, now - 100 * day, now, "a.txt", true);
    EXPECT_EQ(recent, "-rw-r--r-- 1 user group           1234 Feb 17 20:26 a.txt\r\n");
    std::string old = FormatListLine(ListModeWord(0755, true), 0, now - 200 * day, now, "dir", true);
    EXPECT_EQ(old, "drwxr-xr-x 1 user group              0 Nov  9  2025 dir/\r\n");
    std::string future = FormatListLine(0x666, 5, now + day, now, "f", false);
    EXPECT_NE(future.find(" May 29 20:26 f\r\n"), std::string::npos) << future;
}

TEST(FtpProto, Replies) {
    EXPECT_EQ(PasvReply(0x7F000001, 49153), "227 Entering Passive Mode (127,0,0,1,192,1)");
    EXPECT_EQ(EpsvReply(49153), "229 Entering Extended Passive Mode (,,,49153,)");
    EXPECT_EQ(MdtmReply(1780000000), "213 20260528202640");
    EXPECT_STREQ(kFtpFeatReply, "211-Features:\r\n CLNT\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n211 End");
}

}  // namespace
