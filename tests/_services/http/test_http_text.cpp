// The HTTP server's pure parts: request check, decoding, ranges, escaping, pages, listings,
// the folder scanner and the carried images.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "_services/http/beneath.h"
#include "_services/http/dir_scan.h"
#include "_services/http/http_records.h"
#include "_services/http/http_text.h"
#include "tests/support/temp_folder.h"

namespace {

FileEntry Entry(const std::string& name, bool folder, uint64_t size, int64_t createdSeconds) {
    FileEntry e;
    e.name = name;
    e.isFolder = folder;
    e.size = size;
    e.created = createdSeconds * 1000000000;
    return e;
}

std::string Names(const std::vector<FileEntry>& v) {
    std::string s;
    for (const auto& e : v) s += e.name + ",";
    return s;
}

using nimbo::test::TempFolder;

}  // namespace

TEST(HttpRecords, RequestLogRecordLayout) {
    EXPECT_EQ(sizeof(RequestLogRecord), 676u);
    EXPECT_EQ(offsetof(RequestLogRecord, resource), 16u);
    EXPECT_EQ(offsetof(RequestLogRecord, status), 276u);
}

TEST(HttpRequest, CompletenessAndSyntaxCheck) {
    EXPECT_FALSE(IsRequestComplete("GET / HTTP/1.0\r\n"));
    EXPECT_FALSE(IsRequestComplete("\r\n\r"));
    EXPECT_TRUE(IsRequestComplete("GET / HTTP/1.0\r\n\r\n"));
    struct Case {
        std::string request;
        bool passes;
    } cases[] = {
        {"GET / HTTP/1.0\r\n\r\n", true},
        {"GET /a/b.txt HTTP/1.1\r\nHost: x\r\nRange: bytes=0-1\r\n\r\n", true},
        {"HEAD /x HTTP/1.1\r\nUser-Agent: curl/7.88\r\n\r\n", true},
        {"GET /../etc/passwd HTTP/1.0\r\n\r\n", false},
        {"GET /a/.. HTTP/1.0\r\n\r\n", true},  // ".." followed by a blank passes the filter
        {"GET /%2e%2e/etc HTTP/1.0\r\n\r\n", false},
        {"GET /%2E%2e%2fetc HTTP/1.0\r\n\r\n", false},
        {"GET /a/%2e%2e HTTP/1.0\r\n\r\n", true},
        {"GET /..%5c..%5cwin.ini HTTP/1.0\r\n\r\n", false},
        {"GARBAGE\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nbad header line\r\n\r\n", false},
        {"GET / HTTP/1.0\r\n\r\nextra", false},
        {std::string("GET /\0 HTTP/1.0\r\n\r\n", 20), false},
    };
    for (const Case& c : cases) EXPECT_EQ(RequestCheck(c.request), c.passes) << c.request;
}

TEST(HttpRequest, DecodingAndSafePaths) {
    EXPECT_EQ(UrlDecode("/a%2fb"), "/a/b");
    EXPECT_EQ(UrlDecode("/%41+%4a%4A"), "/A+JJ");
    EXPECT_EQ(UrlDecode("/x%4"), "/x%4") << "a '%' near the end stays as it is";
    EXPECT_EQ(UrlDecode("/x%"), "/x%");
    EXPECT_EQ(UrlDecode("/%2e%2E"), "/..");
    struct Case {
        std::string path;
        bool safe;
        std::string relative;
    } cases[] = {
        {"/", true, ""},
        {"/a//b/", true, "a/b"},
        {"/a\\b\\c.txt", true, "a/b/c.txt"},
        {"/..", false, ""},
        {"/a/../../etc/passwd", false, ""},
        {"/.\\..\\x", false, ""},
        {"/./x", false, ""},
        {"/a/.", false, ""},
        {"/..a/b..", true, "..a/b.."},
        {std::string("/a\0b", 4), false, ""},
    };
    for (const Case& c : cases) {
        std::string rel = "unchanged";
        EXPECT_EQ(SafeRelativePath(c.path, &rel), c.safe) << c.path;
        if (c.safe) { EXPECT_EQ(rel, c.relative) << c.path; }
    }
}

TEST(HttpRequest, RangesDigitsOnly) {
    struct Case {
        const char* header;
        bool satisfiable;
        uint64_t start, last;
        bool present;
    } cases[] = {
        {"bytes=0-99", true, 0, 99, true},    {"bytes=990-2000", true, 990, 999, true},
        {"bytes=900-", true, 900, 999, true}, {"bytes=-100", true, 900, 999, true},
        {"bytes=-5000", true, 0, 999, true},  {"bytes=1000-", false, 0, 0, true},
        {"bytes=50-10", false, 0, 0, true},   {"bytes=-0", false, 0, 0, true},
        {"bytes=abc", false, 0, 0, false},    {"bytes=1-2,5-6", false, 0, 0, false},
        {"bytes=+1-2", false, 0, 0, false},   {"bytes= 1-2", false, 0, 0, false},
        {"bytes=-", false, 0, 0, false},      {"bytes=99999999999999999999-", false, 0, 0, false},
        {"items=0-1", false, 0, 0, false},
    };
    for (const Case& c : cases) {
        std::string request = std::string("GET /f HTTP/1.1\r\nRange: ") + c.header + "\r\n\r\n";
        ByteRange r = ParseRange(request);
        EXPECT_EQ(r.present, c.present) << c.header;
        uint64_t start = 0, last = 0;
        if (!r.present) continue;
        EXPECT_EQ(ResolveRange(r, 1000, &start, &last), c.satisfiable) << c.header;
        if (c.satisfiable) {
            EXPECT_EQ(start, c.start) << c.header;
            EXPECT_EQ(last, c.last) << c.header;
        }
    }
    EXPECT_FALSE(ParseRange("GET / HTTP/1.1\r\n\r\n").present);
}

TEST(HttpText, EscapingTypesAndQuery) {
    EXPECT_EQ(HtmlEscape("<a href=\"x\">&'"), "&lt;a href=&quot;x&quot;&gt;&amp;&#39;");
    EXPECT_EQ(PercentEncodePath("/a b/\r\n\"<x>%.txt"), "/a%20b/%0D%0A%22%3Cx%3E%25.txt");
    EXPECT_EQ(QueryValue("a=1&sort=dn&sort=an", "sort"), "dn");
    EXPECT_EQ(QueryValue("sort&x=2", "sort"), "");
    EXPECT_EQ(QueryValue("x=2", "sort"), "");
    const std::pair<const char*, const char*> types[] = {
        {"/README", "text/html"},
        {"/a.HTM", "text/html"},
        {"/b.JpG", "image/jpeg"},
        {"/c.zzz", "unknown/unknown"},
        {"/d.udeb", "application/x-debian-package"},
        {"/e.rpm", "application/octet-stream"},
        {"/x.dir/f", "unknown/unknown"},
        {"/f.h", "text/plain"},
        {"/g.ico", "image/x-icon"},
        {"/h.avi", "video/x-msvideo"},
    };
    for (const auto& [path, type] : types) EXPECT_EQ(ContentType(path), type) << path;
    EXPECT_EQ(HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(HttpDate(1796774400), "Wed, 09 Dec 2026 00:00:00 GMT");
}

TEST(HttpText, SizesInTheCLocaleWhateverTheProcessLocale) {
    // A locale with a decimal comma must not reach the pages.
    const char* old = setlocale(LC_ALL, nullptr);
    std::string saved = old ? old : "C";
    bool comma = setlocale(LC_NUMERIC, "de_DE.UTF-8") || setlocale(LC_NUMERIC, "fr_FR.UTF-8");
    EXPECT_EQ(SizeText(5ull << 30), "5.00 GB");
    EXPECT_EQ(SizeText(1536), "1.50 KB");
    EXPECT_EQ(SizeText(3 * 1048576 + 1048576 / 4), "3.25 MB");
    EXPECT_EQ(SizeText(1023), "1023  B");
    EXPECT_EQ(StatsLine(0, 0, 0), "Found: 0 folder and 0 file (0 Bytes)");
    EXPECT_EQ(StatsLine(1, 2, (5ull << 30) + 1024), "Found: 1 folders and 2 files (5.00 GB)");
    EXPECT_EQ(StatsLine(0, 1, 10), "Found: 0 folders and 1 files (10 Bytes)");
    setlocale(LC_ALL, saved.c_str());
    (void)comma;
}

TEST(HttpText, ErrorRepliesAndHeadOnly) {
    std::string date = HttpDate(0);
    std::string full = ErrorReply("404 Resource not found", "Error 404 - Resource not found\r\n", date, false);
    std::string head = ErrorReply("404 Resource not found", "Error 404 - Resource not found\r\n", date, true);
    ASSERT_TRUE(full.starts_with("HTTP/1.0 404 Resource not found\r\nContent-Length: "));
    EXPECT_TRUE(full.starts_with(head));
    size_t body = full.find("\r\n\r\n") + 4;
    EXPECT_EQ(head.size(), body) << "HEAD gets the head alone";
    EXPECT_NE(full.find("Content-Length: " + std::to_string(full.size() - body) + "\r\n"), std::string::npos);
    EXPECT_NE(full.find("XHTML 1.0 Strict"), std::string::npos);
    EXPECT_NE(full.find("<h2>Error 404 - Resource not found"), std::string::npos);
    EXPECT_NE(full.find("Nimbo v4.6.0 HTTP Server module<br />" + date), std::string::npos);
    std::string range = RangeErrorReply(1000, date, false);
    EXPECT_TRUE(range.starts_with("HTTP/1.1 416 Requested Range Not Satisfiable\r\n"));
    EXPECT_NE(range.find("Content-Range: bytes */1000\r\n"), std::string::npos);
}

TEST(HttpListing, PlainListing) {
    std::string longName(70, 'n');
    std::vector<FileEntry> entries = {Entry("b.txt", false, 1234, 1796774400 + 3600 * 13 + 60 * 5),
                                      Entry("A dir", true, 0, 1796774400), Entry(longName, false, 7, 1796774400),
                                      Entry("<x&y>", false, 1, 1796774400)};
    std::string r = PlainListing(entries, "/sub/", HttpDate(0), false, false);
    ASSERT_TRUE(r.starts_with("HTTP/1.0 200 OK\r\n"));
    EXPECT_NE(r.find("Connection: close\r\n"), std::string::npos);
    EXPECT_NE(r.find("charset=windows-1252"), std::string::npos);
    EXPECT_NE(r.find("<title>Index of /sub/</title>"), std::string::npos);
    EXPECT_NE(r.find("<pre><a href=\"../\">../</a>\r\n<a href=\"./%3Cx%26y%3E\">&lt;x&amp;y&gt;</a>"),
              std::string::npos)
        << "sorted by name, names escaped and links encoded";
    std::string folderLine = "\r\n<a href=\"./A%20dir/\">A dir/</a> " + std::string(61 - 6 - 11, ' ') +
                             "09-Dec-2026 00:00" + std::string(19, ' ') + "-";
    EXPECT_NE(r.find(folderLine), std::string::npos);
    std::string fileLine = "<a href=\"./b.txt\">b.txt</a> " + std::string(61 - 5 - 11, ' ') + "09-Dec-2026 13:05" +
                           std::string(16, ' ') + "1234";
    EXPECT_NE(r.find(fileLine), std::string::npos);
    EXPECT_NE(r.find(">" + longName.substr(0, 47) + "..&gt;</a> 09-Dec-2026"), std::string::npos);
    std::string root = PlainListing({}, "/", HttpDate(0), true, false);
    EXPECT_NE(root.find("<pre>\r\n</pre>"), std::string::npos) << "an empty root: a single CRLF, no ../ link";
    EXPECT_NE(root.find("Connection: Keep-Alive\r\n"), std::string::npos);
    std::string head = PlainListing(entries, "/sub/", HttpDate(0), false, true);
    EXPECT_TRUE(head.ends_with("\r\n\r\n"));
    EXPECT_EQ(head.find("<html>"), std::string::npos);
}

TEST(HttpListing, XhtmlListingSortsAndLinks) {
    std::vector<FileEntry> entries = {Entry("b.bin", false, 5ull << 30, 300), Entry("a.txt", false, 10, 100),
                                      Entry("Zdir", true, 0, 200), Entry("cdir", true, 0, 50)};
    struct Case {
        const char* sort;
        const char* order;
        const char* header;
    } cases[] = {
        {"", "cdir,Zdir,a.txt,b.bin,",
         "?sort=dn\">Filename</a></th><th><a href=\"?sort=asn\">Filesize</a></th><th><a href=\"?sort=atn\""},
        {"an", "cdir,Zdir,a.txt,b.bin,", "?sort=dn\""},
        {"dn", "Zdir,cdir,b.bin,a.txt,", "?sort=an\">Filename"},
        {"asn", "a.txt,b.bin,cdir,Zdir,", "?sort=dsn\">Filesize"},
        {"dsn", "b.bin,a.txt,cdir,Zdir,", "?sort=asn\">Filesize"},
        {"atn", "cdir,Zdir,a.txt,b.bin,", "?sort=dtn\">Filetime"},
        {"dtn", "Zdir,cdir,b.bin,a.txt,", "?sort=atn\">Filetime"},
        {"bogus", "b.bin,a.txt,Zdir,cdir,", nullptr},
    };
    for (const Case& c : cases) {
        std::string page = XhtmlListing(entries, (5ull << 30) + 10, "/sub/", c.sort, HttpDate(0), false, false);
        std::string order;
        for (size_t at = page.find("<b>"); at != std::string::npos; at = page.find("<b>", at + 1))
            order += page.substr(at + 3, page.find("</b>", at) - at - 3) + ",";
        EXPECT_EQ(order, c.order) << c.sort;
        if (c.header) {
            EXPECT_NE(page.find(c.header), std::string::npos) << c.sort;
        } else {
            EXPECT_EQ(page.find("<th>"), std::string::npos) << "no header row for an unknown sort value";
        }
    }
    std::string page = XhtmlListing(entries, (5ull << 30) + 10, "/sub/", "", HttpDate(0), false, false);
    EXPECT_NE(page.find("XHTML 1.0 Strict"), std::string::npos);
    EXPECT_NE(page.find("<title>Nimbo v4.6.0 /sub/</title>"), std::string::npos);
    EXPECT_NE(page.find("href=\"favicon.ico\""), std::string::npos);
    EXPECT_NE(page.find("<div id=\"folder\">/sub/</div>"), std::string::npos);
    EXPECT_NE(page.find("class=\"big\" href=\"..\"><img src=\"/~imgUpFolder\""), std::string::npos);
    EXPECT_NE(page.find("Found: 2 folders and 2 files (5.00 GB)"), std::string::npos);
    EXPECT_NE(page.find("5.00 GB</td>"), std::string::npos);
    EXPECT_NE(page.find("10  B</td>"), std::string::npos);
    EXPECT_NE(page.find("01/01/1970 12:01:40 AM"), std::string::npos) << "creation time as UTC, 12-hour clock";
    EXPECT_NE(page.find("Servertime: " + HttpDate(0)), std::string::npos);
    std::string empty = XhtmlListing({}, 0, "/", "", HttpDate(0), false, false);
    EXPECT_NE(empty.find("Found: 0 folder and 0 file (0 Bytes)"), std::string::npos);
    EXPECT_EQ(empty.find("<table"), std::string::npos);
    EXPECT_EQ(empty.find("~imgUpFolder"), std::string::npos) << "no UP link at the root";
    std::string evil =
        XhtmlListing({Entry("\"><script>x</script>", false, 1, 0)}, 1, "/<i>/", "", HttpDate(0), false, false);
    EXPECT_EQ(evil.find("<script>"), std::string::npos);
    EXPECT_EQ(evil.find("<i>"), std::string::npos);
    EXPECT_TRUE(WantsPlainListing("GET / HTTP/1.1\r\nUser-Agent: curl/7.88.1\r\n\r\n"));
    EXPECT_TRUE(WantsPlainListing("GET / HTTP/1.1\r\nUser-Agent: my wget\r\n\r\n"));
    EXPECT_FALSE(WantsPlainListing("GET / HTTP/1.1\r\nUser-Agent: Wget/1.21\r\n\r\n"));
    EXPECT_FALSE(WantsPlainListing("GET / HTTP/1.1\r\nUser-Agent: Mozilla/5.0\r\nX: curl\r\n\r\n"));
}

TEST(HttpListing, CarriedImages) {
    struct Case {
        const char* path;
        size_t size;
        const char* magic;
        size_t magicLength;
    } cases[] = {
        {"/favicon.ico", 1150, "\0\0\1\0\1\0", 6},
        {"/~imgUpFolder", 578, "GIF89a", 6},
        {"/~imgFolder", 562, "GIF89a", 6},
        {"/~imgFile", 97, "GIF89a", 6},
    };
    for (const Case& c : cases) {
        CarriedImage img = BuiltinImage(c.path);
        ASSERT_NE(img.data, nullptr) << c.path;
        EXPECT_EQ(img.size, c.size) << c.path;
        EXPECT_EQ(memcmp(img.data, c.magic, c.magicLength), 0) << c.path;
    }
    EXPECT_EQ(BuiltinImage("/~imgfile").data, nullptr) << "names compare with case";
    EXPECT_GT(ListingStyleSheet().size(), 1000u);
    for (const char* id : {"#folderlabel", "#folder", "#body", "#folderstats", "#footer", ".big"})
        EXPECT_NE(ListingStyleSheet().find(id), std::string::npos) << id;
}

TEST(DirScan, Wildcards) {
    struct Case {
        const char* pattern;
        const char* name;
        bool match;
    } cases[] = {
        {"*", "anything", true},  {"*", "", true},        {"*.txt", "a.txt", true}, {"*.txt", "a.txt.gz", false},
        {"a?c", "abc", true},     {"a?c", "abcd", false}, {"abc", "ABC", false},    {"a*b*c", "axxbyyc", true},
        {"a*zz*c", "abc", false}, {"*b*", "abc", true},   {"x*", "abc", false},     {"??", "ab", true},
    };
    for (const Case& c : cases) EXPECT_EQ(WildcardMatch(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
    EXPECT_FALSE(WildcardMatch("*", std::string(1024, 'a')));
    EXPECT_TRUE(WildcardListMatch("a.log", "*.txt;*.log"));
    EXPECT_TRUE(WildcardListMatch("a.txt", "*.txt;*.log"));
    EXPECT_FALSE(WildcardListMatch("a.bin", "*.txt;*.log"));
    EXPECT_FALSE(WildcardListMatch("a", ""));
}

TEST(DirScan, ScanFiltersTotalsAndOrders) {
    TempFolder d("http_text_");
    d.MakeFolder("tmp");
    d.MakeFolder("sub");
    d.Write("sub/inner.txt", "12345");
    d.Write("tmp/hidden.txt", "x");
    d.Write("a.txt", "abc");
    d.Write("b.log", "");
    d.Write("c.bin", std::string(1024, 'c'));
    // A sparse 5 GiB file counts in full.
    int fd = open((d.path() + "/big.img").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, 5ll << 30), 0);
    close(fd);
    symlink("/etc", (d.path() + "/outside").c_str());

    int root = open(d.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    DirScanOptions o;
    o.rootFd = root;
    o.folder = ".";
    o.includeFolders = true;
    o.sortAfterScan = true;
    o.include = "*";
    CDirScan all(o);
    all.Scan();
    EXPECT_EQ(Names(all.Result()), "a.txt,b.log,big.img,c.bin,sub,tmp,") << "the link leading outside is left out";
    EXPECT_EQ(all.Total(), (5ull << 30) + 3 + 1024);
    all.SortByNameAsc();
    EXPECT_EQ(Names(all.Result()), "sub,tmp,a.txt,b.log,big.img,c.bin,");
    all.SortBySizeDesc();
    EXPECT_EQ(Names(all.Result()), "big.img,c.bin,a.txt,b.log,sub,tmp,");

    o.include = "*.txt;*.log";
    o.folderExclude = "tmp";
    o.recursive = true;
    o.sortAfterScan = false;
    CDirScan filtered(o);
    filtered.Scan();
    std::vector<FileEntry> v = filtered.Result();
    EXPECT_EQ(v.size(), 4u) << Names(v);
    auto pos = [&](const std::string& n) {
        for (size_t i = 0; i < v.size(); ++i)
            if (v[i].name == n) return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(pos("inner.txt"), pos("sub")) << "a sub-folder's files come before its own entry";
    EXPECT_EQ(pos("hidden.txt"), -1);
    EXPECT_EQ(pos("tmp"), -1);

    o.include = "";
    o.recursive = false;
    o.folderExclude = "";
    CDirScan none(o);
    none.Scan();
    none.SortByNameAsc();
    EXPECT_EQ(Names(none.Result()), "sub,tmp,") << "no include pattern: folders only";
    none.Clear();
    EXPECT_TRUE(none.Result().empty());

    o.folder = "missing";
    CDirScan missing(o);
    missing.Scan();
    EXPECT_TRUE(missing.Result().empty());
    close(root);
}

TEST(Beneath, ExactThenUniqueCaseMatchNeverAbove) {
    TempFolder d("http_text_");
    d.MakeFolder("Boot");
    d.Write("Boot/PXEboot.N12", "x");
    d.Write("twin", "1");
    d.Write("TWIN", "2");
    symlink("../..", (d.path() + "/Boot/up").c_str());
    symlink("PXEboot.N12", (d.path() + "/Boot/alias").c_str());
    int root = open(d.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(root, 0);
    struct Case {
        const char* path;
        bool opens;
    } cases[] = {
        {"Boot/PXEboot.N12", true},
        {"boot/pxeboot.n12", true},
        {"BOOT/PXEBOOT.N12", true},
        {"twin", true},
        {"Twin", false},  // two names differ only in case: no guess
        {"Boot/alias", true},
        {"Boot/up/etc/passwd", false},
        {"Boot/up", false},
        {"missing", false},
    };
    for (const Case& c : cases) {
        int fd = OpenBeneathNoCase(root, c.path, O_RDONLY, CaseMatch::Unique);
        EXPECT_EQ(fd >= 0, c.opens) << c.path;
        if (fd >= 0) close(fd);
    }
    close(root);
}
