// The HTTP service in a private network namespace, against a raw socket client and real
// clients (curl, wget): the reply table, traversal refusals, request notices, big ranged
// files, the protective limits, start failures and stopping with clients connected.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "_services/http/generic_server.h"
#include "_services/http/http_records.h"
#include "_services/http/http_server.h"
#include "_services/http/http_service.h"
#include "_services/http/http_text.h"
#include "_services/md5.h"
#include "_services/peer_log.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "tests/_services/console_client.h"
#include "tests/_services/process_load.h"
#include "tests/_services/service_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/skip.h"
#include "tests/support/temp_folder.h"

namespace {

bool g_private = false;  // in a private network namespace, the served tree made
bool g_treeMade = false;
std::optional<nimbo::test::TempFolder> g_folder;
std::string g_base;  // the temporary folder: root/ and files outside it
std::string g_root;
std::string g_file1000;
std::string g_bigTail;  // the last MiB of the sparse 5 GiB file
constexpr uint64_t kBigSize = 5ull << 30;
constexpr uint64_t kMiB = 1ull << 20;

// The desktop's request list: the notices the service posts while the suite runs.
std::optional<nimbo::test::NoticeCapture> g_notices;
std::vector<RequestLogRecord> HttpNotices() { return g_notices->Records<RequestLogRecord>(NOTICE_HTTP_EVENT); }

std::string Md5(const std::string& data) {
    MD5Context ctx;
    uint8_t d[16];
    MD5Init(&ctx);
    MD5Update(&ctx, data.data(), data.size());
    MD5Final(d, &ctx);
    return MD5Hex(d);
}

int Shell(const std::string& cmd, int seconds = 60) {
    std::string full = "timeout " + std::to_string(seconds) + " sh -c '" + cmd + "' >/dev/null 2>&1";
    int r = system(full.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until the peer closes (bounded in time); "closed" tells whether it did.
std::string ReadAll(int fd, int ms, bool* closed = nullptr) {
    std::string out;
    char buf[65536];
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (closed) *closed = false;
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

struct Reply {
    std::string status;  // first line without CRLF; empty when the server closed without a reply
    std::string head;
    std::string body;
};

Reply Exchange(const std::string& request, uint16_t port = 80) {
    Reply r;
    int fd = Connect(port);
    if (fd < 0) return r;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all = ReadAll(fd, 10000);
    close(fd);
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    r.head = all.substr(0, end + 2);
    r.status = all.substr(0, all.find("\r\n"));
    r.body = all.substr(end + 4);
    return r;
}

std::string Get(const std::string& path, const std::string& extra = "", const std::string& method = "GET") {
    return method + " " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n";
}

// Once per process: a private network namespace and the served tree. Gives why this machine
// cannot run the tests ("" when it can); whether the tree was made is in g_treeMade.
const std::string& PrepareOnce() {
    static const std::string why = [] {
        std::string reason = nimbo::test::NeedPrivateNetwork();
        if (!reason.empty()) return reason;
        g_folder.emplace("http_srv_");
        g_base = g_folder->path();
        g_root = g_base + "/root";
        for (const char* d : {"", "/Docs", "/sub", "/sub/inner", "/empty", "/long", "/nodefault"})
            mkdir((g_root + d).c_str(), 0755);
        g_file1000 = RandomBytes(1000, 1);
        WriteFile(g_root + "/file1000.bin", g_file1000);
        WriteFile(g_root + "/empty.txt", "");
        WriteFile(g_root + "/Docs/index.htm", "<html>docs</html>");
        WriteFile(g_root + "/sub/a.txt", "alpha");
        WriteFile(g_root + "/sub/<b&c>.txt", "beta");
        WriteFile(g_root + "/long/" + std::string(64, 'L'), "cut name");
        WriteFile(g_base + "/secret", "root:x:0:0:outside");
        WriteFile(g_root + "/Mixed.TXT", "mixed case");
        symlink("../secret", (g_root + "/escape").c_str());
        symlink(g_base.c_str(), (g_root + "/absolute").c_str());
        mkfifo((g_root + "/fifo").c_str(), 0644);
        // A sparse 5 GiB file with a random last MiB.
        g_bigTail = RandomBytes(kMiB, 5);
        int fd = open((g_root + "/big.img").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        g_treeMade = fd >= 0 && ftruncate(fd, static_cast<off_t>(kBigSize)) == 0 &&
                     pwrite(fd, g_bigTail.data(), g_bigTail.size(), static_cast<off_t>(kBigSize - kMiB)) ==
                         static_cast<ssize_t>(kMiB);
        if (fd >= 0) close(fd);
        return reason;
    }();
    g_private = why.empty() && g_treeMade;
    return why;
}

// In a test's SetUp or body: skips where the machine cannot run it, fails when the tree is missing.
#define NIMBO_NEED_HTTP_TREE()                                     \
    do {                                                           \
        NIMBO_SKIP_IF(PrepareOnce());                              \
        ASSERT_TRUE(g_treeMade) << "the served tree was not made"; \
    } while (0)

class HttpService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!PrepareOnce().empty() || !g_treeMade) return;

        SettingsUpdate([](GlobalSettings& s) {
            snprintf(s.HTTP_RootDir, sizeof s.HTTP_RootDir, "%s", g_root.c_str());
            snprintf(s.HTTP_DefaultPage, sizeof s.HTTP_DefaultPage, "index.htm");
            s.HTTP_LocalIP[0] = 0;
            s.HTTP_Port = 80;
            s.HTTP_AllowFileBrowsing = 1;
            s.HTTP_TruncateGETFileName64 = 1;
            snprintf(s.NIMBO_LogFile, sizeof s.NIMBO_LogFile, "%s/log.txt", g_base.c_str());
        });
        g_notices.emplace();
        RegisterHttpService();
        StartRow();
    }

    static void StartRow() {
        ASSERT_EQ(StartThread(TH_HTTP), 1);
        for (int i = 0; i < 200; ++i) {
            int fd = Connect(80);
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "the HTTP row did not start listening";
    }

    static void StopRow() {
        ThreadSlots[TH_HTTP].running.store(0);
        WakeThread(TH_HTTP);
        EXPECT_TRUE(JoinThreadRow(TH_HTTP, 10000));
    }

    static void TearDownTestSuite() {
        if (!g_private) return;
        StopRow();
        g_notices.reset();
    }

    void SetUp() override { NIMBO_NEED_HTTP_TREE(); }
};

TEST_F(HttpService, ReplyTable) {
    const std::string browser = "User-Agent: Mozilla/5.0\r\n";
    const std::string longName = std::string(64, 'L') + "123456";
    // clang-format off
    struct Case {
        std::string              name;
        std::string              request;
        std::string              status;
        std::vector<std::string> headers;
        std::string              bodyMd5;       // empty: not compared
        std::vector<std::string> bodyHas;
        bool                     emptyBody = false;
    } cases[] = {
        {"whole file", Get("/file1000.bin"), "HTTP/1.0 200 OK",
         {"Content-Length: 1000\r\n", "Connection: close\r\n", "Content-Type: unknown/unknown\r\n", "Last-Modified: ",
          "Accept-Ranges: bytes\r\n", "Server: Nimbo v4.6.0 HTML module\r\n"},
         Md5(g_file1000), {}},
        {"range a-b", Get("/file1000.bin", "Range: bytes=0-99\r\n"), "HTTP/1.1 206 Partial Content",
         {"Content-Range: bytes 0-99/1000\r\n", "Content-Length: 100\r\n"}, Md5(g_file1000.substr(0, 100)), {}},
        {"range end beyond", Get("/file1000.bin", "Range: bytes=990-2000\r\n"), "HTTP/1.1 206 Partial Content",
         {"Content-Range: bytes 990-999/1000\r\n", "Content-Length: 10\r\n"}, Md5(g_file1000.substr(990)), {}},
        {"range a-", Get("/file1000.bin", "Range: bytes=900-\r\n"), "HTTP/1.1 206 Partial Content",
         {"Content-Range: bytes 900-999/1000\r\n"}, Md5(g_file1000.substr(900)), {}},
        {"suffix range", Get("/file1000.bin", "Range: bytes=-100\r\n"), "HTTP/1.1 206 Partial Content",
         {"Content-Range: bytes 900-999/1000\r\n", "Content-Length: 100\r\n"}, Md5(g_file1000.substr(900)), {}},
        {"malformed range", Get("/file1000.bin", "Range: bytes=1-2,5-6\r\n"), "HTTP/1.0 200 OK",
         {"Content-Length: 1000\r\n"}, Md5(g_file1000), {}},
        {"range past the end", Get("/file1000.bin", "Range: bytes=1000-\r\n"),
         "HTTP/1.1 416 Requested Range Not Satisfiable", {"Content-Range: bytes */1000\r\n"}, "",
         {"Error 416 - Requested Range Not Satisfiable"}},
        {"empty file", Get("/empty.txt"), "HTTP/1.0 200 OK", {"Content-Length: 0\r\n", "Content-Type: text/plain\r\n"},
         "", {}, true},
        {"folder without slash", Get("/Docs"), "HTTP/1.1 301 Moved Permanently", {"Location: /Docs/\r\n"}, "",
         {"301 - Moved permanently to <a href=\"/Docs/\">/Docs/</a>"}},
        {"default page", Get("/Docs/"), "HTTP/1.0 200 OK",
         {"Content-Length: 17\r\n", "Content-Type: text/html\r\n", "Connection: close\r\n"}, Md5("<html>docs</html>"), {}},
        {"default page keep-alive", Get("/docs/", "Connection: Keep-Alive\r\n"), "HTTP/1.0 200 OK",
         {"Connection: Keep-Alive\r\n"}, Md5("<html>docs</html>"), {}},
        {"case-insensitive file", Get("/mixed.txt"), "HTTP/1.0 200 OK", {"Content-Length: 10\r\n"}, Md5("mixed case"), {}},
        {"not a regular file", Get("/fifo"), "HTTP/1.0 403 Forbidden", {}, "", {"Error 403 - Forbidden -  Host returns : "}},
        {"missing", Get("/missing.bin"), "HTTP/1.0 404 Resource not found", {"Content-Type: text/html\r\n"}, "",
         {"Error 404 - Resource not found"}},
        {"POST", Get("/file1000.bin", "", "POST"), "HTTP/1.0 501 Not Implemented", {}, "",
         {"Error 501 - Requested method not supported"}},
        {"HEAD file", Get("/file1000.bin", "", "HEAD"), "HTTP/1.0 200 OK", {"Content-Length: 1000\r\n"}, "", {}, true},
        {"HEAD range", Get("/file1000.bin", "Range: bytes=0-9\r\n", "HEAD"), "HTTP/1.1 206 Partial Content",
         {"Content-Length: 10\r\n"}, "", {}, true},
        {"HEAD default page", Get("/Docs/", "", "HEAD"), "HTTP/1.0 200 OK", {"Content-Length: 17\r\n"}, "", {}, true},
        {"HEAD image", Get("/~imgFolder", "", "HEAD"), "HTTP/1.0 200 OK", {"Content-Length: 562\r\n"}, "", {}, true},
        {"HEAD listing", Get("/sub/", browser, "HEAD"), "HTTP/1.0 200 OK", {"Content-Type: text/html\r\n"}, "", {}, true},
        {"HEAD error", Get("/missing", "", "HEAD"), "HTTP/1.0 404 Resource not found", {}, "", {}, true},
        {"HEAD folder", Get("/Docs", "", "HEAD"), "HTTP/1.1 301 Moved Permanently", {}, "", {}, true},
        {"64-character retry", Get("/long/" + longName), "HTTP/1.0 200 OK", {"Content-Length: 8\r\n"}, Md5("cut name"), {}},
        {"plain listing for curl", Get("/sub/", "User-Agent: curl/7.88.1\r\n"), "HTTP/1.0 200 OK", {}, "",
         {"<title>Index of /sub/</title>", "<a href=\"../\">../</a>", "<a href=\"./a.txt\">a.txt</a>",
          "<a href=\"./%3Cb%26c%3E.txt\">&lt;b&amp;c&gt;.txt</a>", "<a href=\"./inner/\">inner/</a>"}},
        {"plain listing for wget", Get("/sub/", "User-Agent: wget\r\n"), "HTTP/1.0 200 OK", {}, "", {"Index of /sub/"}},
        {"sortable listing for a browser", Get("/sub/?sort=asn", browser), "HTTP/1.0 200 OK", {}, "",
         {"XHTML 1.0 Strict", "?sort=dsn\">Filesize", "<img src=\"/~imgFile\" alt=\"\" /><b>a.txt</b>",
          "Found: 1 folders and 2 files (9 Bytes)", "<b>&lt;b&amp;c&gt;.txt</b>"}},
        {"empty folder", Get("/empty/", browser), "HTTP/1.0 200 OK", {}, "", {"Found: 0 folder and 0 file (0 Bytes)"}},
        {"carried icon", Get("/favicon.ico"), "HTTP/1.0 200 OK", {"Content-Length: 1150\r\n", "Content-Type: image/gif\r\n"},
         "", {}},
        {"bad request line", "GARBAGE\r\n\r\n", "", {}, "", {}},
    };
    // clang-format on
    for (const Case& c : cases) {
        Reply r = Exchange(c.request);
        EXPECT_EQ(r.status, c.status) << c.name;
        for (const std::string& h : c.headers) EXPECT_NE(r.head.find(h), std::string::npos) << c.name << ": " << h;
        if (!c.bodyMd5.empty()) { EXPECT_EQ(Md5(r.body), c.bodyMd5) << c.name; }
        for (const std::string& b : c.bodyHas) EXPECT_NE(r.body.find(b), std::string::npos) << c.name << ": " << b;
        if (c.emptyBody) { EXPECT_TRUE(r.body.empty()) << c.name; }
        if (!r.status.empty() && r.status.find("301") == std::string::npos) {
            size_t at = r.head.find("Content-Length: ");
            ASSERT_NE(at, std::string::npos) << c.name;
            if (!c.emptyBody) {
                EXPECT_EQ(std::to_string(r.body.size()), r.head.substr(at + 16, r.head.find('\r', at) - at - 16))
                    << c.name;
            }
        }
    }
}

TEST_F(HttpService, LocationAndLinksCannotSplitHeaders) {
    mkdir((g_root + "/we ird\r\nX-Injected: 1").c_str(), 0755);
    Reply r = Exchange(Get("/we%20ird%0d%0aX-Injected:%201"));
    EXPECT_EQ(r.status, "HTTP/1.1 301 Moved Permanently");
    EXPECT_NE(r.head.find("Location: /we%20ird%0D%0AX-Injected%3A%201/\r\n"), std::string::npos) << r.head;
    EXPECT_EQ(r.head.find("\nX-Injected"), std::string::npos);
}

TEST_F(HttpService, XhtmlPagesAreWellFormed) {
    const std::string browser = "User-Agent: Mozilla/5.0\r\n";
    const std::string page = g_base + "/page.xhtml";
    for (const std::string& request : {Get("/sub/?sort=dn", browser), Get("/", browser), Get("/missing"),
                                       Get("/file1000.bin", "Range: bytes=5000-\r\n")}) {
        Reply r = Exchange(request);
        ASSERT_FALSE(r.body.empty()) << request;
        WriteFile(page, r.body);
        EXPECT_EQ(Shell("xmllint --noout --nonet " + page), 0) << request << r.body;
    }
}

TEST_F(HttpService, EveryTraversalFormIsRefused) {
    const char* paths[] = {
        "/../secret",
        "/..",
        "/%2e%2e/secret",
        "/%2E%2e%2fsecret",
        "/.%2e/.%2e/etc/passwd",
        "/.%2e/secret",
        "/%2e./secret",
        "/sub/.%2E/.%2e/secret",
        "/..%5csecret",
        "/.%2e%5csecret",
        "/sub%5c.%2e%5c.%2e%5csecret",
        "/%2e%2e%5c..%5csecret",
        "/escape",
        "/absolute/secret",
        "/sub/%00/../secret",
        "/a.txt%00.html",
        "/./file1000.bin",
        "/sub/./a.txt",
    };
    for (const char* p : paths) {
        Reply r = Exchange(Get(p));
        EXPECT_TRUE(r.status.empty() || r.status.find(" 403 ") != std::string::npos ||
                    r.status.find(" 404 ") != std::string::npos)
            << p << ": " << r.status;
        EXPECT_EQ(r.body.find("outside"), std::string::npos) << p;
    }
    Reply ok = Exchange(Get("/sub/a.txt"));
    EXPECT_EQ(ok.body, "alpha") << "the server still answers";
}

TEST_F(HttpService, RequestNotices) {
    // A second of its own: the tests before may have used this second's lines of 127.0.0.1.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    g_notices->Clear();
    Exchange(Get("/file1000.bin", "", "POST"));
    Exchange("GARBAGE\r\n\r\n");
    Exchange(Get("/fifo"));
    Exchange(Get("/sub/", "User-Agent: curl\r\n"));
    Exchange(Get("/file1000.bin", "Range: bytes=5-6\r\n"));
    const std::vector<RequestLogRecord> notices = HttpNotices();
    ASSERT_EQ(notices.size(), 5u);
    const std::pair<const char*, const char*> want[] = {{"POST", "501 Not Implemented"},
                                                        {"", "Bad format requestd"},
                                                        {"/fifo", "303 Forbidden"},
                                                        {"/sub/", "200 OK Browse Page"},
                                                        {"/file1000.bin", "206 OK"}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(notices[i].peer, "127.0.0.1");
        EXPECT_STREQ(notices[i].resource, want[i].first) << i;
        EXPECT_STREQ(notices[i].status, want[i].second) << i;
    }
    const std::string log = ReadFile(g_base + "/log.txt");
    for (std::string line :
         {"HTTP Inf: Server started OK on port [80] at [INADDR_ANY] offering publicly [" + g_root + "/]",
          std::string("HTTP Err: 501 Not Implemented. Method [POST] Client [127.0.0.1] "),
          std::string("HTTP Err: Bad format request. Client [127.0.0.1] "),
          std::string("HTTP Err: 303 Forbidden. [/fifo] Client [127.0.0.1] "),
          std::string("HTTP Inf: 200 OK. Browse Page [/sub/] Client [127.0.0.1] "),
          std::string("HTTP Inf: 206 OK. Resource [/file1000.bin] Client [127.0.0.1] ")})
        EXPECT_NE(log.find("] " + line), std::string::npos) << line << "\n" << log;
}

TEST_F(HttpService, CurlAndWgetFetchTheLastMibOfASparse5GiBFile) {
    const std::string out = g_base + "/out";
    const std::string first = std::to_string(kBigSize - kMiB), last = std::to_string(kBigSize - 1);
    ASSERT_EQ(Shell("curl -sf -r " + first + "-" + last + " -o " + out + " http://127.0.0.1/big.img"), 0);
    EXPECT_EQ(Md5(ReadFile(out)), Md5(g_bigTail));
    ASSERT_EQ(Shell("curl -sf -r -" + std::to_string(kMiB) + " -o " + out + " http://127.0.0.1/big.img"), 0);
    EXPECT_EQ(Md5(ReadFile(out)), Md5(g_bigTail)) << "suffix range";
    // wget continues a partial copy: a sparse local file of 5 GiB - 1 MiB.
    const std::string part = g_base + "/big.img";
    int fd = open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(kBigSize - kMiB)), 0);
    close(fd);
    ASSERT_EQ(Shell("cd " + g_base + " && wget -q -c http://127.0.0.1/big.img"), 0);
    struct stat st {};
    ASSERT_EQ(stat(part.c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), kBigSize);
    std::string tail(kMiB, '\0');
    fd = open(part.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(pread(fd, tail.data(), kMiB, static_cast<off_t>(kBigSize - kMiB)), static_cast<ssize_t>(kMiB));
    close(fd);
    EXPECT_EQ(Md5(tail), Md5(g_bigTail));
    unlink(part.c_str());
    // Whole small files and listings.
    ASSERT_EQ(Shell("curl -sf -o " + out + " http://127.0.0.1/file1000.bin"), 0);
    EXPECT_EQ(ReadFile(out), g_file1000);
    ASSERT_EQ(Shell("curl -sf -o " + out + " http://127.0.0.1/sub/"), 0);
    EXPECT_NE(ReadFile(out).find("Index of /sub/"), std::string::npos) << "curl gets the plain listing";
    ASSERT_EQ(Shell("wget -q -O " + out + " http://127.0.0.1/sub"), 0);
    EXPECT_NE(ReadFile(out).find("XHTML 1.0 Strict"), std::string::npos)
        << "wget follows the 301; its agent name starts with a capital W";
    ASSERT_EQ(Shell("wget -q -O " + out + " http://127.0.0.1/Docs/"), 0);
    EXPECT_EQ(ReadFile(out), "<html>docs</html>");
    EXPECT_NE(Shell("curl -sf -o " + out + " http://127.0.0.1/missing"), 0);
    EXPECT_EQ(Shell("curl -sf --path-as-is -o " + out + " http://127.0.0.1/.%2e/.%2e/etc/passwd") == 0, false);
}

// Fewer than one address may hold at once: the connection that found the row listening may
// still count until the server has seen it close.
TEST_F(HttpService, ManyClientsAtOnce) {
    constexpr int kClients = 24;
    static_assert(kClients < CGenericServer::kMaxClientsPerAddress, "below the per-address cap");
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            Reply r = Exchange(Get(i % 2 ? "/file1000.bin" : "/sub/a.txt"));
            if (r.body == (i % 2 ? g_file1000 : std::string("alpha"))) ++good;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), kClients);
}

// Lines of the log file that hold all the parts.
size_t CountLines(const std::string& log, std::initializer_list<std::string> parts) {
    size_t n = 0;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        bool all = true;
        for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
        n += all;
    }
    return n;
}

// Waits (bounded) until the process holds no more threads and files than before.
ProcessLoad SettledLoad(const ProcessLoad& before) {
    ProcessLoad now = ReadProcessLoad();
    for (int i = 0; i < 150 && (now.threads > before.threads || now.files > before.files); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        now = ReadProcessLoad();
    }
    return now;
}

// One host holding 600 slow connections (a header line now and then) takes no more than its
// share of the server: a client on another address is served at once, and the refusals are
// logged once a second with their count, not once per connection.
TEST_F(HttpService, OneAddressCannotTakeEverySlot) {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max >= 4096) {
        files.rlim_cur = 4096;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    ASSERT_EQ(Exchange(Get("/sub/a.txt")).body, "alpha");
    const ProcessLoad before = ReadProcessLoad();
    const size_t logBefore = ReadFile(g_base + "/log.txt").size();
    std::vector<int> held;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 600; ++i) {
        int fd = Connect(80);
        if (fd < 0) continue;
        send(fd, "GET /sub/a.txt HTTP/1.1\r\n", 25, MSG_NOSIGNAL);
        held.push_back(fd);
    }
    ASSERT_GE(held.size(), 513u);
    for (int i = 0; i < 3; ++i) {
        for (int fd : held) send(fd, "X-Slow: 1\r\n", 11, MSG_NOSIGNAL);
        const std::string out = g_base + "/legit.txt";
        unlink(out.c_str());
        EXPECT_EQ(Shell("curl -sf --max-time 5 --interface 127.0.0.2 -o " + out + " http://127.0.0.1/sub/a.txt", 10),
                  0);
        EXPECT_EQ(ReadFile(out), "alpha") << "curl from another address, round " << i;
        unlink(out.c_str());
        EXPECT_EQ(Shell("wget -q -T 5 -t 1 --bind-address=127.0.0.2 -O " + out + " http://127.0.0.1/file1000.bin", 10),
                  0);
        EXPECT_EQ(ReadFile(out), g_file1000) << "wget from another address, round " << i;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int fd : held) close(fd);
    const ProcessLoad after = SettledLoad(before);
    EXPECT_LE(after.threads, before.threads);
    EXPECT_LE(after.files, before.files);
    EXPECT_LE(after.rssKb, before.rssKb + 64 * 1024);

    const std::string log = ReadFile(g_base + "/log.txt").substr(logBefore);
    const size_t refusals = CountLines(log, {"Too many connections", "Client [127.0.0.1] refused"});
    EXPECT_GE(refusals, 1u);
    EXPECT_LE(refusals, static_cast<size_t>(seconds) + 2) << "at most one line a second";
    EXPECT_EQ(CountLines(log, {"Client [127.0.0.2]"}), 6u) << "the other client's lines are all there";
    EXPECT_EQ(Exchange(Get("/sub/a.txt")).body, "alpha") << "the host is served again once it lets go";
}

// One client sending request after request writes a bounded number of lines a second (the
// rest are counted in one "lines suppressed" line); another client's lines are all written.
TEST_F(HttpService, OneClientCannotFloodTheLog) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const size_t logBefore = ReadFile(g_base + "/log.txt").size();
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    const auto start = std::chrono::steady_clock::now();
    std::thread flood([&] {
        while (!stop) {
            Exchange(Get("/missing" + std::to_string(sent.load())));
            ++sent;
        }
    });
    for (int i = 0; i < 4; ++i) {
        const std::string out = g_base + "/legit.txt";
        EXPECT_EQ(Shell("curl -sf --max-time 5 --interface 127.0.0.2 -o " + out + " http://127.0.0.1/sub/a.txt", 10),
                  0);
        EXPECT_EQ(ReadFile(out), "alpha");
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    stop = true;
    flood.join();
    // One more line of the flooding client after a second: it carries the count.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    Exchange(Get("/missing-last"));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string log = ReadFile(g_base + "/log.txt").substr(logBefore);
    const size_t flooded = CountLines(log, {"404 Resource not found", "Client [127.0.0.1]"});
    ASSERT_GT(sent.load(), 200) << "the flood is a flood";
    EXPECT_LE(flooded, (static_cast<size_t>(seconds) + 1) * kPeerLinesPerSecond);
    EXPECT_LT(flooded, static_cast<size_t>(sent.load()));
    EXPECT_GE(CountLines(log, {"lines suppressed", "Client [127.0.0.1]"}), 1u);
    EXPECT_EQ(CountLines(log, {"200 OK. Resource [/sub/a.txt] Client [127.0.0.2]"}), 4u);
}

// A URL with %0d%0a (and other control bytes) cannot start a forged line: the log, the log
// file and the desktop's request list get them as \DDD.
TEST_F(HttpService, UrlCannotForgeLogLines) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    g_notices->Clear();
    const size_t logBefore = ReadFile(g_base + "/log.txt").size();
    EXPECT_EQ(Shell("curl -gs --max-time 5 -o /dev/null "
                    "http://127.0.0.1/x%0d%0a%5B01/01%2000:00:00.000%5D%20HTTP%20Inf:%20forged%1b%5B2J",
                    10),
              0);
    Exchange(Get("/..%0d%0aforged2/../../etc/passwd"));
    const std::string log = ReadFile(g_base + "/log.txt").substr(logBefore);
    EXPECT_EQ(log.find("\n[01/01 00:00:00.000] HTTP Inf: forged"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
    EXPECT_NE(log.find("/x\\013\\010[01/01 00:00:00.000] HTTP Inf: forged\\027[2J"), std::string::npos) << log;
    EXPECT_EQ(log.find("\nforged2"), std::string::npos) << log;
    const std::vector<RequestLogRecord> notices = HttpNotices();
    ASSERT_FALSE(notices.empty());
    for (const RequestLogRecord& r : notices)
        for (const char* c = r.resource; *c; ++c) EXPECT_GE(static_cast<unsigned char>(*c), 0x20) << r.resource;
}

TEST_F(HttpService, FolderWithoutDefaultPageIsForbiddenWhenBrowsingIsOff) {
    StopRow();
    SettingsUpdate([](GlobalSettings& s) { s.HTTP_AllowFileBrowsing = 0; });
    StartRow();
    Reply r = Exchange(Get("/nodefault/"));
    EXPECT_EQ(r.status, "HTTP/1.0 403 Forbidden");
    EXPECT_NE(r.body.find("Error 403 - Forbidden"), std::string::npos);
    EXPECT_EQ(Exchange(Get("/~imgFile")).body.size(), 97u) << "images are served with browsing off";
    EXPECT_EQ(Exchange(Get("/Docs/")).body, "<html>docs</html>");
    StopRow();
    SettingsUpdate([](GlobalSettings& s) { s.HTTP_AllowFileBrowsing = 1; });
    StartRow();
}

// The server object on its own, with small limits.
class HttpLimits : public ::testing::Test {
protected:
    void SetUp() override {
        NIMBO_NEED_HTTP_TREE();
        server.SetLimits(4, 1500);
        ASSERT_EQ(server.Start(0, g_root, "index.htm", kPort, 1000), 1);
    }
    static constexpr uint16_t kPort = 8080;
    CHTTPServer server;
};

TEST_F(HttpLimits, OversizedSlowAndIdleRequestsAreClosed) {
    // Over 80 KiB without an empty line.
    int fd = Connect(kPort);
    ASSERT_GE(fd, 0);
    std::string big = "GET /" + std::string(kMaxRequestBytes + 1024, 'a');
    send(fd, big.data(), big.size(), MSG_NOSIGNAL);
    bool closed = false;
    EXPECT_TRUE(ReadAll(fd, 5000, &closed).empty());
    EXPECT_TRUE(closed);
    close(fd);
    // A byte every 300 ms keeps the idle timer alive, but not past the whole-request deadline.
    fd = Connect(kPort);
    ASSERT_GE(fd, 0);
    closed = false;
    const std::string slow = "GET /sub/a.txt HTTP/1.0\r\nX-Slow: " + std::string(40, 'x');
    for (size_t i = 0; i < slow.size() && !closed; ++i) {
        send(fd, &slow[i], 1, MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 300) > 0) closed = true;
    }
    EXPECT_TRUE(closed) << "the deadline ends a request that never completes";
    close(fd);
    // Nothing at all: the idle timeout.
    fd = Connect(kPort);
    ASSERT_GE(fd, 0);
    ReadAll(fd, 4000, &closed);
    EXPECT_TRUE(closed);
    close(fd);
}

TEST_F(HttpLimits, ConnectionsBeyondTheCapAreRefused) {
    std::vector<int> held;
    for (int i = 0; i < 4; ++i) held.push_back(Connect(kPort));
    for (int i = 0; i < 100 && server.LiveClients() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server.LiveClients(), 4u);
    int extra = Connect(kPort);
    ASSERT_GE(extra, 0);
    bool closed = false;
    ReadAll(extra, 3000, &closed);
    EXPECT_TRUE(closed);
    close(extra);
    for (int fd : held) close(fd);
    for (int i = 0; i < 100 && server.LiveClients() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Exchange(Get("/sub/a.txt"), kPort).body, "alpha");
}

TEST_F(HttpLimits, ShutdownWithClientsAndRestart) {
    int idle = Connect(kPort);
    ASSERT_GE(idle, 0);
    // A reader that stalls in the middle of a large reply.
    int stalled = Connect(kPort);
    ASSERT_GE(stalled, 0);
    int small = 4096;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string req = Get("/big.img");
    send(stalled, req.data(), req.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(server.Shutdown(), 1);
    EXPECT_EQ(server.LiveClients(), 0u);
    close(idle);
    close(stalled);
    // The port is free again at once.
    ASSERT_EQ(server.Start(0, g_root, "index.htm", kPort, 1000), 1);
    EXPECT_EQ(Exchange(Get("/sub/a.txt"), kPort).body, "alpha");
}

TEST(HttpOwnIcon, TheRootsFaviconWinsOverTheCarriedOne) {
    NIMBO_NEED_HTTP_TREE();
    const std::string root = g_base + "/iconroot";
    mkdir(root.c_str(), 0755);
    WriteFile(root + "/favicon.ico", "own icon");
    CHTTPServer server;
    ASSERT_EQ(server.Start(0, root, "index.htm", 8084, 1000), 1);
    Reply r = Exchange(Get("/favicon.ico"), 8084);
    EXPECT_EQ(r.status, "HTTP/1.0 200 OK");
    EXPECT_EQ(r.body, "own icon");
    EXPECT_NE(r.head.find("Content-Type: image/x-icon\r\n"), std::string::npos);
}

TEST(HttpStartFailure, StopsEverythingAndReports) {
    NIMBO_NEED_HTTP_TREE();
    CHTTPServer missingRoot;
    EXPECT_EQ(missingRoot.Start(0, "/nonexistent-folder", "index.htm", 8081, 1000), 0);
    // A port already taken: the start fails at once and leaves nothing listening.
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8082);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 4), 0);
    CHTTPServer busy;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(busy.Start(0, g_root, "index.htm", 8082, 1000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    EXPECT_FALSE(busy.Running());
    close(taken);
    EXPECT_LT(Connect(8082), 0) << "no listener was left behind";
    // An address this host does not have.
    in_addr other{};
    inet_pton(AF_INET, "192.0.2.1", &other);
    CHTTPServer elsewhere;
    EXPECT_EQ(elsewhere.Start(other.s_addr, g_root, "index.htm", 8083, 1000), 0);
}

}  // namespace
