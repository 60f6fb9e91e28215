// The SYSLOG collector: message rule, file lines, the named pipe and the GUI row.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "_services/udp/syslog_collector.h"
#include "tests/_services/udp/udp_test_util.h"
#include "tests/support/skip.h"

namespace {

struct Rows {
    std::vector<std::pair<std::string, std::string>> rows;  // sender, message
    std::vector<size_t> lengths;
    void Attach(SyslogCollector& c) {
        c.notify = [this](const SyslogRow& r, size_t length) {
            rows.emplace_back(r.sender, std::string(r.message));
            lengths.push_back(length);
        };
    }
};

struct tm Local(int year, int mon, int mday, int h, int m, int s, int wday) {
    struct tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_wday = wday;
    return t;
}

std::string Drain(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
}

}  // namespace

TEST(Syslog, ValidateRule) {
    struct Case {
        std::string text;
        int want;
    };
    const Case cases[] = {
        {"<13>Dec  9 host app: hello", 1},
        {"<1>x", 0},         // 4 bytes
        {"<1>xy", 1},        // 5 bytes with a priority part
        {"abcd>>>rest", 1},  // three closing brackets at offsets 4 to 6
        {"abcd>>", 0},       // six bytes: the rule needs seven
        {"abcd>>x", 0},
        {"plain message", 0},
        {std::string("wake up\0", 8), 0},
    };
    for (const auto& c : cases) {
        char buf[kSyslogMessageMax + 1];
        memset(buf, 'Z', sizeof buf);
        memcpy(buf, c.text.data(), c.text.size());
        EXPECT_EQ(SyslogValidate(buf, c.text.size()), c.want) << c.text;
        if (c.want) { EXPECT_EQ(buf[c.text.size()], '\0'); }
    }
    // A full-size message keeps its NUL inside the buffer; high bytes become '.'.
    char big[kSyslogMessageMax + 1];
    memset(big, 0xE9, sizeof big);
    big[0] = '<';
    ASSERT_EQ(SyslogValidate(big, kSyslogMessageMax), 1);
    EXPECT_EQ(big[kSyslogMessageMax], '\0');
    EXPECT_EQ(big[1], '.');
    EXPECT_EQ(strlen(big), kSyslogMessageMax);
}

TEST(Syslog, TimeTextAndFileLine) {
    struct tm t = Local(2026, 12, 9, 1, 2, 3, 3);
    EXPECT_EQ(SyslogTimeText(t), "Wed Dec 09 01:02:03 2026");
    EXPECT_EQ(SyslogFileLine(t, "<13>hi", 6), "Wed Dec 09 01:02:03 2026: <13>hi\r\n");
    std::string ctl("<1>a\nb\r\0c\x1f", 10);
    EXPECT_EQ(SyslogFileLine(t, ctl.data(), ctl.size()), "Wed Dec 09 01:02:03 2026: <1>a\\010b\\013\\000c\\031\r\n");

    // A long message is cut; the line keeps its CRLF and holds at most 1023 characters.
    std::string longMsg = "<1>" + std::string(1021, 'x');
    std::string line = SyslogFileLine(t, longMsg.data(), longMsg.size());
    EXPECT_EQ(line.size(), kSyslogLineMax);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    // An escape is never split by the cut.
    std::string ctlMsg = "<1>" + std::string(1021, '\x01');
    line = SyslogFileLine(t, ctlMsg.data(), ctlMsg.size());
    EXPECT_LE(line.size(), kSyslogLineMax);
    EXPECT_EQ(line.substr(line.size() - 6), "\\001\r\n");
}

TEST(Syslog, FilePipeAndRow) {
    signal(SIGPIPE, SIG_IGN);
    TempFolder tmp("nimbo-syslog-");
    const std::string dir = tmp.path();
    std::string log = CaptureLog(dir);
    std::string file = dir + "/sys.log";
    {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(write(fd, "old line\r\n", 10), 10);
        close(fd);
    }
    SyslogCollector c;
    Rows rows;
    rows.Attach(c);
    c.SyslogOpenFile(file);
    c.OpenPipe(dir + "/run");
    EXPECT_NE(ReadFile(log).find("SYSLOG Inf: Named pipe NimboSyslog created succesfully"), std::string::npos);
    std::string fifo = dir + "/run/NimboSyslog";
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Without a reader nothing blocks and the other outputs still work.
    char buf[kSyslogMessageMax + 1];
    auto send = [&](const std::string& m) {
        memcpy(buf, m.data(), m.size());
        return c.Collect(buf, m.size(), "10.77.0.2", 1700000000);
    };
    EXPECT_EQ(send("<13>before reader"), 1);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(send("<13>caf\xe9 ok"), 1);
    EXPECT_EQ(send("nope"), 0);
    EXPECT_EQ(send("abcd>>>no priority"), 1);
    EXPECT_EQ(Drain(reader), "<13>caf. ok\nabcd>>>no priority\n");
    close(reader);  // the reader goes: the writer notices and opens again later
    EXPECT_EQ(send("<13>after reader"), 1);
    reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(send("<13>second reader"), 1);
    EXPECT_EQ(Drain(reader), "<13>second reader\n");
    close(reader);
    c.Close();

    std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("old line\r\n", 0), 0u) << "appended, never truncated";
    for (const char* m :
         {": <13>before reader\r\n", ": <13>caf. ok\r\n", ": abcd>>>no priority\r\n", ": <13>second reader\r\n"})
        EXPECT_NE(text.find(m), std::string::npos) << m;
    EXPECT_EQ(text.find("nope"), std::string::npos);
    ASSERT_EQ(rows.rows.size(), 5u);
    EXPECT_EQ(rows.rows[1], std::make_pair(std::string("10.77.0.2"), std::string("<13>caf. ok")));
    EXPECT_EQ(rows.lengths[1], 16u + 11u + 1u);
    ASSERT_EQ(stat(file.c_str(), &st), 0);
}

// Control bytes of a message reach neither the desktop's list nor the file raw.
TEST(Syslog, ControlBytesAreEscapedForTheListAndTheFile) {
    TempFolder tmp("nimbo-syslog-");
    const std::string dir = tmp.path();
    SyslogCollector c;
    Rows rows;
    rows.Attach(c);
    c.SyslogOpenFile(dir + "/sys.log");
    const std::string message = "<13>a\r\nThu Dec 09 01:02:03 2026: <13>forged\x1b[2J";
    char buf[kSyslogMessageMax + 1] = {};
    memcpy(buf, message.data(), message.size());
    EXPECT_EQ(c.Collect(buf, message.size(), "10.77.0.2", 0), 1);
    c.Close();
    ASSERT_EQ(rows.rows.size(), 1u);
    const std::string shown = "<13>a\\013\\010Thu Dec 09 01:02:03 2026: <13>forged\\027[2J";
    EXPECT_EQ(rows.rows[0].second, shown);
    EXPECT_EQ(rows.lengths[0], 16u + shown.size() + 1u);
    const std::string file = ReadFile(dir + "/sys.log");
    EXPECT_NE(file.find(": " + shown + "\r\n"), std::string::npos) << file;
    EXPECT_EQ(file.find('\x1b'), std::string::npos);
    // A message full of control bytes is cut to the row, never past it.
    std::string many(kSyslogMessageMax, '\x01');
    many.replace(0, 4, "<13>");
    memcpy(buf, many.data(), many.size());
    EXPECT_EQ(c.Collect(buf, many.size(), "10.77.0.2", 0), 1);
    ASSERT_EQ(rows.rows.size(), 2u);
    EXPECT_LE(rows.lengths[1], sizeof(SyslogRow));
}

namespace {

// A path the named pipe must never be opened through. Each row spoils the folder (made empty,
// 0700) beside "victim", a regular file in the same parent.
struct PipePathCase {
    const char* name;
    bool needsRoot;  // makes a FIFO of another user
    void (*spoil)(const std::string& folder, const std::string& parent);
};
void PrintTo(const PipePathCase& c, std::ostream* os) { *os << c.name; }

class SyslogPipePath : public ::testing::TestWithParam<PipePathCase> {};

}  // namespace

TEST_P(SyslogPipePath, IsRefusedAndTheRowStillGoes) {
    const PipePathCase& c = GetParam();
    if (c.needsRoot) NIMBO_SKIP_IF(nimbo::test::NeedRoot());
    TempFolder tmp("nimbo-syslog-");
    const std::string dir = tmp.path();
    std::string log = CaptureLog(dir);
    const std::string victim = dir + "/victim";
    {
        int fd = open(victim.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(write(fd, "keep", 4), 4);
        close(fd);
    }
    const std::string folder = dir + "/f";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    c.spoil(folder, dir);
    ASSERT_FALSE(HasFatalFailure());
    SyslogCollector col;
    col.OpenPipe(folder);
    char buf[kSyslogMessageMax + 1] = "<13>hello";
    EXPECT_EQ(col.Collect(buf, 9, "127.0.0.1", 0), 1) << "the row still goes out";
    EXPECT_EQ(ReadFile(victim), "keep");
    const std::string text = ReadFile(log);
    const std::string error = "SYSLOG Err: Error creating named pipe NimboSyslog";
    const size_t first = text.find(error);
    EXPECT_NE(first, std::string::npos) << text;
    if (first != std::string::npos) { EXPECT_EQ(text.find(error, first + 1), std::string::npos) << text; }
    EXPECT_EQ(text.find("created succesfully"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Syslog, SyslogPipePath,
    ::testing::Values(PipePathCase{"SymbolicLink", false,
                                   [](const std::string& f, const std::string& parent) {
                                       ASSERT_EQ(symlink((parent + "/victim").c_str(), (f + "/NimboSyslog").c_str()),
                                                 0);
                                   }},
                      PipePathCase{"RegularFile", false,
                                   [](const std::string& f, const std::string& parent) {
                                       ASSERT_EQ(link((parent + "/victim").c_str(), (f + "/NimboSyslog").c_str()), 0);
                                   }},
                      PipePathCase{"AnotherUsersFifo", true,
                                   [](const std::string& f, const std::string&) {
                                       ASSERT_EQ(mkfifo((f + "/NimboSyslog").c_str(), 0600), 0);
                                       ASSERT_EQ(chown((f + "/NimboSyslog").c_str(), 12345, 12345), 0);
                                   }},
                      PipePathCase{
                          "WorldWritableFolder", false,
                          [](const std::string& f, const std::string&) { ASSERT_EQ(chmod(f.c_str(), 0777), 0); }},
                      PipePathCase{"FolderThatIsALink", false,
                                   [](const std::string& f, const std::string& parent) {
                                       ASSERT_EQ(rmdir(f.c_str()), 0);
                                       ASSERT_EQ(symlink(parent.c_str(), f.c_str()), 0);
                                   }}),
    [](const ::testing::TestParamInfo<PipePathCase>& info) { return std::string(info.param.name); });

TEST(Syslog, MissingFileFolderIsLoggedAndRowsStillGo) {
    TempFolder tmp("nimbo-syslog-");
    const std::string dir = tmp.path();
    std::string log = CaptureLog(dir);
    SyslogCollector c;
    Rows rows;
    rows.Attach(c);
    c.SyslogOpenFile(dir + "/missing/sys.log");
    EXPECT_NE(ReadFile(log).find("SYSLOG Err: Error opening/creating " + dir + "/missing/sys.log"), std::string::npos);
    c.SyslogOpenFile("");  // no file: nothing created, nothing logged
    char buf[kSyslogMessageMax + 1] = "<13>still here";
    EXPECT_EQ(c.Collect(buf, 14, "127.0.0.1", 0), 1);
    EXPECT_EQ(rows.rows.size(), 1u);
}
