// Settings store, message queues, MD5 and command-line words.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "_services/md5.h"
#include "_services/message_queue.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/sockets.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_folder.h"

namespace {
// A new file with the content, in a temporary folder of the process (removed when it ends).
std::string WriteTemp(const std::string& content) {
    static nimbo::test::TempFolder folder("nimbo-host-");
    static int files = 0;
    return folder.Write("file" + std::to_string(files++), content);
}
}  // namespace

TEST(Settings, IniReadValueRules) {
    std::string ini = WriteTemp("[TFTP]\nTFTP_Port=abc\nTFTP_Timeout=\nTFTP_RootDirectory=" + std::string(300, 'r') +
                                "\nTFTP_MaxRetransmit= -12x\n[Plain]\nK=5\n");
    int32_t v = 77;
    EXPECT_GT(IniReadValue("SOFTWARE\\NIMBO\\TFTP", "TFTP_Port", &v, 4, SETTING_INT, ini.c_str()), 0);
    EXPECT_EQ(v, 0) << "a value without digits stores 0";
    v = 77;
    EXPECT_EQ(IniReadValue("SOFTWARE\\NIMBO\\TFTP", "TFTP_Timeout", &v, 4, SETTING_INT, ini.c_str()), 0);
    EXPECT_EQ(v, 77) << "an empty value keeps the default";
    EXPECT_GT(IniReadValue("SOFTWARE\\NIMBO\\TFTP", "TFTP_MaxRetransmit", &v, 4, SETTING_INT, ini.c_str()), 0);
    EXPECT_EQ(v, -12);
    char root[260];
    EXPECT_EQ(IniReadValue("SOFTWARE\\NIMBO\\TFTP", "TFTP_RootDirectory", root, 260, SETTING_TEXT, ini.c_str()), 300);
    EXPECT_EQ(strlen(root), 259u);
    EXPECT_GT(IniReadValue("Plain", "K", &v, 4, SETTING_INT, ini.c_str()), 0)
        << "a path without backslash is the section";
    EXPECT_EQ(v, 5);
    unlink(ini.c_str());
}

TEST(Settings, TableMatchesRecord) {
    int nfs = 0;
    for (const SettingsRow& r : SettingsTable) {
        EXPECT_LE(r.offset + static_cast<size_t>(r.size), sizeof(GlobalSettings)) << r.key;
        EXPECT_TRUE(r.type == SETTING_TEXT || r.size == 4) << r.key;
        if (strstr(r.keyPath, "\\NFS")) ++nfs;
    }
    EXPECT_EQ(nfs, 10);
    EXPECT_STREQ(SettingsTable[0].key, "NIMBO_HideWnd");
    EXPECT_STREQ(SettingsTable[67].key, "DHCP_PersistantLeases");
    EXPECT_STREQ(SettingsTable[45].key, "FTP_RegiteredRootDirectory");
    GlobalSettings d = DefaultGlobalSettings();
    EXPECT_STREQ(d.NIMBO_ConsolePassword, "qorlu7150");
    EXPECT_EQ(d.LogLevel, 8);
    EXPECT_EQ(d.TftpMainLoopWait, 2000);
    EXPECT_EQ(d.ConsolePort, 1994);
}

TEST(Settings, LoadSettingsChoosesWorkingDirectory) {
    nimbo::test::TempFolder rootFolder("nimbo-root-");
    const std::string root = rootFolder.path();
    std::string ini =
        WriteTemp("[TFTP]\nTFTP_RootDirectory=" + root + "\nTFTP_Port=6969\n[NIMBO]\nNIMBO_Services=0x41\n");
    SetIniPath(ini);
    setenv("NIMBO_DIR", "/nonexistent-folder", 1);
    LoadSettings();
    EXPECT_EQ(WorkingDirectory(), root);
    EXPECT_EQ(SettingsSnapshot().TFTP_Port, 6969);
    EXPECT_EQ(SettingsSnapshot().NIMBO_Services, 0) << "decimal conversion stops at the 'x'";

    // Request 209 with a root that does not exist keeps the working directory.
    GlobalSettings s = SettingsSnapshot();
    strcpy(s.TFTP_RootDirectory, "/nonexistent-root");
    StoreGlobalSettings(s);
    EXPECT_EQ(WorkingDirectory(), root);
    EXPECT_STREQ(SettingsSnapshot().TFTP_RootDirectory, "/nonexistent-root");
    EXPECT_FALSE(SetWorkingDirectory("/nonexistent-folder"));
    EXPECT_TRUE(SetWorkingDirectory("/tmp"));
    EXPECT_EQ(WorkingDirectory(), "/tmp");

    unsetenv("NIMBO_DIR");
    unlink(ini.c_str());
    rmdir(root.c_str());
}

// Request 209: a record the INI file cannot keep is refused whole, before anything is stored.
TEST(Settings, RecordsThatWouldBreakTheFileAreRefused) {
    struct Case {
        const char* what;
        size_t offset;
        const char* text;
        bool valid;
    } cases[] = {
        {"LF in a text", offsetof(GlobalSettings, HTTP_DefaultPage), "a.htm\n[NIMBO]\nNIMBO_Services=0", false},
        {"CR in a text", offsetof(GlobalSettings, NIMBO_LogFile), "/tmp/x\r", false},
        {"binary in a text", offsetof(GlobalSettings, FTP_Usr1Name), "us\x01er", false},
        {"DEL in a text", offsetof(GlobalSettings, TFTPC_Server), "host\x7f", false},
        {"garbage address", offsetof(GlobalSettings, TFTP_LocalIP), "junk", false},
        {"address with a tail", offsetof(GlobalSettings, DHCP_LocalIP), "10.0.0.1x", false},
        {"multicast address", offsetof(GlobalSettings, TFTP_MulticastAddress), "239.0.0.300", false},
        {"good address", offsetof(GlobalSettings, TFTP_LocalIP), "10.0.0.1", true},
        {"empty address", offsetof(GlobalSettings, SNTP_LocalIP), "", true},
        {"accented path", offsetof(GlobalSettings, HTTP_RootDir), "/srv/caf\xc3\xa9", true},
    };
    for (const auto& c : cases) {
        GlobalSettings s = DefaultGlobalSettings();
        std::memcpy(reinterpret_cast<char*>(&s) + c.offset, c.text, std::strlen(c.text) + 1);
        std::string why;
        EXPECT_EQ(ValidGlobalSettings(s, &why), c.valid) << c.what;
        if (!c.valid) { EXPECT_FALSE(why.empty()) << c.what; }
    }
    // Bytes after a text's NUL are not part of it.
    GlobalSettings tail = DefaultGlobalSettings();
    std::memcpy(tail.HTTP_DefaultPage, "a.htm\0\n\x01", 8);
    std::string why;
    EXPECT_TRUE(ValidGlobalSettings(tail, &why)) << why;

    std::string ini = WriteTemp("[TFTP]\nTFTP_Port=69\n");
    SetIniPath(ini);
    SettingsReplace(DefaultGlobalSettings());
    GlobalSettings bad = DefaultGlobalSettings();
    bad.TFTP_Port = 7070;
    std::strcpy(bad.TFTP_LocalIP, "junk");
    EXPECT_FALSE(StoreGlobalSettings(bad));
    EXPECT_EQ(SettingsSnapshot().TFTP_Port, 69) << "nothing of a refused record is live";
    std::ifstream f(ini);
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_EQ(text.str(), "[TFTP]\nTFTP_Port=69\n") << "nothing of a refused record is stored";
    unlink(ini.c_str());
}

namespace {
std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}
}  // namespace

TEST(Log, ALineIsFormattedOnlyWhenSomethingReadsIt) {
    ASSERT_NE(ConsoleState(), CONSOLE_CONNECTED);
    const std::string file = WriteTemp("");
    SettingsUpdate([](GlobalSettings& s) {
        s.NIMBO_LogFile[0] = 0;
        s.LogLevel = 4;
    });
    EXPECT_FALSE(LogWanted(LOG_PROGRAM, 1)) << "no desktop and no log file";
    EXPECT_TRUE(LogWanted(LOG_PROGRAM, kLogError)) << "texts for the user always go out";
    SettingsUpdate([&](GlobalSettings& s) { snprintf(s.NIMBO_LogFile, sizeof s.NIMBO_LogFile, "%s", file.c_str()); });
    EXPECT_TRUE(LogWanted(LOG_PROGRAM, 4));
    EXPECT_FALSE(LogWanted(LOG_PROGRAM, 5)) << "above the log level";
    LogPrint(1, "TEST Inf: %s %d", "one", 1);
    LogPrint(5, "TEST Inf: hidden");
    LogLine(LOG_DHCP, 2, "DHCP Inf: %s", "two");

    // A sink takes its tag's lines at every level, in place of the program log.
    nimbo::test::LogCapture caught(LOG_DHCP);
    EXPECT_TRUE(LogWanted(LOG_DHCP, 15));
    LogLine(LOG_DHCP, 15, "DHCP Inf: %s", std::string(600, 'x').c_str());
    LogLine(LOG_DHCP, kLogError, "DHCP Err: %d", 3);
    caught.Stop();
    const std::vector<nimbo::test::CapturedLine> lines = caught.All();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, 15);
    EXPECT_EQ(lines[0].text.size(), 511u) << "texts are cut at 511 characters";
    EXPECT_EQ(lines[1], (nimbo::test::CapturedLine{kLogError, "DHCP Err: 3"}));

    const std::string text = ReadText(file);
    EXPECT_NE(text.find("] TEST Inf: one 1\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("] DHCP Inf: two\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    EXPECT_EQ(text.find("xxx"), std::string::npos) << text;
    SettingsUpdate([](GlobalSettings& s) {
        s.NIMBO_LogFile[0] = 0;
        s.LogLevel = 8;
    });
    unlink(file.c_str());
}

// The developer trace stays off the terminal unless it is asked for.
TEST(Log, DebugTraceOnlyWhenAsked) {
    const bool was = DebugTraceOn();
    SetDebugTrace(false);
    testing::internal::CaptureStderr();
    DebugTrace("trace-probe %d\n", 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    SetDebugTrace(true);
    testing::internal::CaptureStderr();
    DebugTrace("trace-probe %d\n", 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(" :trace-probe 2\n"), std::string::npos);
    SetDebugTrace(was);
}

namespace {
struct TagLine {
    LogTag tag;
    const char* text;
};
const TagLine kTagLines[] = {
    {LOG_TFTP, "TFTP Err: t"}, {LOG_HTTP, "HTTP Err: h"},     {LOG_FTP, "FTP  Err: f"},      {LOG_NFS, "NFS Err: n"},
    {LOG_DNS, "DNS  Warn: d"}, {LOG_SNTP, "SNTP Srv Err: s"}, {LOG_SYSLOG, "SYSLOG Err: y"}, {LOG_DHCP, "DHCP Err: p"},
};
}  // namespace

// Each service's lines reach its own sink and no other.
TEST(Log, EveryServiceHasItsOwnTag) {
    std::vector<std::unique_ptr<nimbo::test::LogCapture>> captures;
    for (const TagLine& t : kTagLines) captures.push_back(std::make_unique<nimbo::test::LogCapture>(t.tag));
    for (const TagLine& t : kTagLines) LogLine(t.tag, 1, "%s", t.text);
    for (auto& c : captures) c->Stop();
    for (size_t i = 0; i < std::size(kTagLines); ++i)
        EXPECT_EQ(captures[i]->Lines(), std::vector<std::string>{kTagLines[i].text}) << i;
}

// One tap sees every notice posted for the desktop, connected or not: the notices of the
// services and the program log's error texts alike.
TEST(Log, OneTapSeesEveryNotice) {
    ASSERT_NE(ConsoleState(), CONSOLE_CONNECTED);
    SettingsUpdate([](GlobalSettings& s) { s.LogLevel = 8; });
    nimbo::test::NoticeCapture tapped;
    RequestLogRecord r{};
    snprintf(r.peer, sizeof r.peer, "%s", "10.0.0.1");
    ToConsole(NOTICE_FTP_EVENT, &r, sizeof r, true);
    LogError("NFS Err: %s", "no export");
    LogWarningBox("careful");
    tapped.Stop();
    ToConsole(NOTICE_HTTP_EVENT, &r, sizeof r, false);
    std::vector<std::pair<uint32_t, std::string>> seen;
    for (const nimbo::test::CapturedNotice& n : tapped.All()) seen.emplace_back(n.id, n.Text());
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {NOTICE_FTP_EVENT, "10.0.0.1"}, {NOTICE_ERROR, "NFS Err: no export"}, {NOTICE_WARNING, "careful"}};
    EXPECT_EQ(seen, expected);
}

// Log lines, texts for the user and message boxes are cut at 511 characters, however long
// the text formatted (one helper formats them all now: the cut must survive it).
TEST(Log, LongTextsAreCutAt511Characters) {
    ASSERT_NE(ConsoleState(), CONSOLE_CONNECTED);
    const std::string file = WriteTemp("");
    SettingsUpdate([&](GlobalSettings& s) {
        s.LogLevel = 4;
        snprintf(s.NIMBO_LogFile, sizeof s.NIMBO_LogFile, "%s", file.c_str());
    });
    const size_t stamp = std::string("[01/02 03:04:05.678] ").size();
    for (const size_t length : {510u, 511u, 512u, 5000u, 70000u}) {
        const std::string text(length, 'e');
        const std::string shown = text.substr(0, 511);
        nimbo::test::NoticeCapture tapped;
        LogError("%s", text.c_str());
        LogWarningBox("%s", text.c_str());
        LogPrint(1, "%s", text.c_str());
        tapped.Stop();
        std::vector<std::pair<uint32_t, std::string>> seen;
        for (const nimbo::test::CapturedNotice& n : tapped.All()) seen.emplace_back(n.id, n.Text());
        ASSERT_EQ(seen.size(), 3u) << length;
        EXPECT_EQ(seen[0], (std::pair<uint32_t, std::string>{NOTICE_ERROR, shown})) << length;
        EXPECT_EQ(seen[1], (std::pair<uint32_t, std::string>{NOTICE_WARNING, shown})) << length;
        EXPECT_EQ(seen[2].first, NOTICE_LOG) << length;
        EXPECT_EQ(seen[2].second.size(), std::min<size_t>(stamp + length, 511)) << length;
        EXPECT_EQ(seen[2].second.substr(stamp), text.substr(0, 511 - stamp)) << length;
    }
    SettingsUpdate([](GlobalSettings& s) {
        s.NIMBO_LogFile[0] = 0;
        s.LogLevel = 8;
    });
    const std::string written = ReadText(file);
    EXPECT_NE(written.find("] " + std::string(511 - stamp, 'e') + "\r\n"), std::string::npos);
    EXPECT_EQ(written.find(std::string(512 - stamp, 'e')), std::string::npos);
    unlink(file.c_str());
}

namespace {
std::vector<std::pair<int, std::string>> g_bindReports;
void CatchBindReport(int err, const std::string& address) { g_bindReports.emplace_back(err, address); }
}  // namespace

TEST(ThreadTable, StreamRowHoldsAListenerAndReportsATakenPort) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    int probe = OpenTcpListener(loopback, 0, 1);
    ASSERT_GE(probe, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback;
    sa.sin_port = htons(static_cast<uint16_t>(LocalPort(probe)));
    ASSERT_NE(sa.sin_port, 0);
    close(probe);
    SettingsUpdate([&](GlobalSettings& s) {
        s.HTTP_Port = ntohs(sa.sin_port);
        snprintf(s.HTTP_LocalIP, sizeof s.HTTP_LocalIP, "127.0.0.1");
    });
    auto stopRow = [] {
        ThreadSlots[TH_HTTP].running = 0;
        WakeThread(TH_HTTP);
        EXPECT_TRUE(JoinThreadRow(TH_HTTP, 10000));
    };

    ASSERT_EQ(StartThread(TH_HTTP), 1);
    const int listener = ThreadSlots[TH_HTTP].socket;
    ASSERT_GE(listener, 0) << "the row opens its listener before its thread starts";
    EXPECT_TRUE(fcntl(listener, F_GETFL) & O_NONBLOCK);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    close(client);
    stopRow();
    EXPECT_EQ(ThreadSlots[TH_HTTP].socket, -1) << "closed once the row's thread has ended";

    // Taken by another: the service's own report, and no thread.
    int taken = OpenTcpListener(loopback, ntohs(sa.sin_port), 1);
    ASSERT_GE(taken, 0);
    RegisterBindReport(TH_HTTP, CatchBindReport);
    EXPECT_EQ(StartThread(TH_HTTP), 0);
    RegisterBindReport(TH_HTTP, nullptr);
    EXPECT_FALSE(IsRowRunning(TH_HTTP));
    EXPECT_EQ(g_bindReports, (std::vector<std::pair<int, std::string>>{{EADDRINUSE, "127.0.0.1"}}));
    close(taken);
    ASSERT_EQ(StartThread(TH_HTTP), 1) << "free again: the row starts";
    stopRow();
}

// Readers of the shared record see whole records while a writer changes it: each change
// is published as a new record, and one a reader holds never changes under it.
TEST(Settings, SharedRecordStaysWholeWhileChanged) {
    SettingsUpdate([](GlobalSettings& g) {
        g.TFTP_Port = 1000;
        g.TFTP_Timeout = 1000;
    });
    auto first = SettingsShared();
    EXPECT_EQ(first, SettingsShared()) << "no change, no new record";
    std::thread writer([] {
        for (int i = 1; i <= 2000; ++i)
            SettingsUpdate([i](GlobalSettings& g) {
                g.TFTP_Port = 1000 + i;
                g.TFTP_Timeout = 1000 + i;
            });
    });
    std::vector<std::thread> readers;
    int torn[3] = {};
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([r, &torn] {
            for (int i = 0; i < 2000; ++i) {
                auto s = SettingsShared();
                torn[r] += s->TFTP_Port != s->TFTP_Timeout;
            }
        });
    writer.join();
    for (auto& t : readers) t.join();
    EXPECT_EQ(torn[0] + torn[1] + torn[2], 0);
    EXPECT_EQ(first->TFTP_Port, 1000) << "a held record is never changed";
    EXPECT_EQ(SettingsShared()->TFTP_Port, 3000);
    EXPECT_TRUE(SetWorkingDirectory("/tmp"));
    EXPECT_STREQ(SettingsShared()->WorkingDirectory, "/tmp") << "every change is seen";
    SettingsReplace(DefaultGlobalSettings());
    EXPECT_EQ(SettingsShared()->TFTP_Port, DefaultGlobalSettings().TFTP_Port);
}

TEST(Queue, CapacitySequenceAndOrder) {
    ASSERT_EQ(QueueCreate(9, 10), -1);
    ASSERT_EQ(QueueCreate(4, 200), 4);
    for (int i = 0; i < 199; ++i) ASSERT_EQ(QueuePostEx(4, &i, sizeof i, 0x10000u + i), 1);
    EXPECT_EQ(QueuePost(4, "x", 1), 0) << "a queue holds capacity - 1 items";
    std::vector<uint8_t> data;
    int seq = -1;
    uint32_t flags = 0;
    ASSERT_TRUE(QueueGetEx(4, data, &seq, &flags));
    EXPECT_EQ(seq, 1);
    EXPECT_EQ(flags, 0x10000u);
    EXPECT_EQ(QueuePost(4, "", 0), 1) << "room again after one item was taken";
    for (int i = 1; i < 199; ++i) {
        ASSERT_TRUE(QueueGetEx(4, data, &seq, &flags));
        int v;
        memcpy(&v, data.data(), sizeof v);
        EXPECT_EQ(v, i);
        EXPECT_EQ(seq, i + 1);
    }
    ASSERT_TRUE(QueueGetEx(4, data, &seq, nullptr));
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(seq, 200) << "the refused post consumed no number";
    seq = -5;
    EXPECT_FALSE(QueueGetEx(4, data, &seq, &flags));
    EXPECT_EQ(seq, -5);
    QueueWaitEmpty(4);  // returns at once on an empty queue
    QueueDestroy(4);
    EXPECT_EQ(QueuePost(4, "x", 1), 0) << "a destroyed queue refuses posts";
}

TEST(Md5, RfcVectorsAndSplits) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, hex] : vectors) {
        MD5Context ctx;
        uint8_t d[16];
        MD5Init(&ctx);
        MD5Update(&ctx, text.data(), text.size());
        MD5Final(d, &ctx);
        EXPECT_EQ(MD5Hex(d), hex) << text;
    }
    // Odd update splits of a larger buffer agree with md5sum.
    std::vector<uint8_t> buf(100003);
    std::mt19937 rng(7);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    std::string path = WriteTemp(std::string(buf.begin(), buf.end()));
    std::string cmd = "md5sum " + path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char out[64] = {};
    ASSERT_EQ(fread(out, 1, 32, p), 32u);
    pclose(p);
    unlink(path.c_str());
    for (size_t step : {1u, 3u, 63u, 64u, 65u, 4097u}) {
        MD5Context ctx;
        uint8_t d[16];
        MD5Init(&ctx);
        for (size_t i = 0; i < buf.size(); i += step) MD5Update(&ctx, buf.data() + i, std::min(step, buf.size() - i));
        MD5Final(d, &ctx);
        EXPECT_EQ(MD5Hex(d), std::string(out, 32)) << "step " << step;
    }
}

TEST(CommandLine, WordsAndOptions) {
    CommandLineWords w = SplitCommandLine("  -s \"C:/my folder\" -x  last");
    ASSERT_EQ(w.count, 5);
    EXPECT_EQ(w.words[0], "Nimbo v4.6.0");
    EXPECT_EQ(w.words[2], "C:/my folder");
    EXPECT_EQ(w.words[4], "last");

    std::string many;
    for (int i = 0; i < 40; ++i) many += "w" + std::to_string(i) + " ";
    w = SplitCommandLine(many);
    EXPECT_EQ(w.count, 31) << "30 words at most";
    EXPECT_EQ(w.words[30], "w29");

    unsetenv("NIMBO_LOG");
    unsetenv("NIMBO_INI");
    unsetenv("NIMBO_DIR");
    ParseCommandLine("-l 12 -i my.ini -log 9 -s");
    EXPECT_STREQ(getenv("NIMBO_LOG"), "9") << "only the second character is tested";
    EXPECT_STREQ(getenv("NIMBO_INI"), "my.ini");
    EXPECT_EQ(getenv("NIMBO_DIR"), nullptr) << "a lone -s sets nothing";
    ParseCommandLine("-s \"/a folder/x\"");
    EXPECT_STREQ(getenv("NIMBO_DIR"), "/a folder/x");
    unsetenv("NIMBO_LOG");
    unsetenv("NIMBO_INI");
    unsetenv("NIMBO_DIR");
}

// The log file cannot grow without bound: at 16 MiB it becomes "<name>.old" (replacing the one
// before) and a new file begins, from several writers at once too.
TEST(LogFile, IsRenamedAtItsCapAndBeginsAnew) {
    nimbo::test::TempFolder dir("nimbo-logcap-");
    const std::string path = dir / "nimbo.log";
    const std::string chunk(256 * 1024, 'x');
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&] {
            for (int i = 0; i < 40; ++i) AppendLogFile(path.c_str(), chunk.data(), chunk.size());
        });
    for (auto& t : writers) t.join();  // 40 MiB written in all
    struct stat now {
    }, old{};
    ASSERT_EQ(stat(path.c_str(), &now), 0);
    ASSERT_EQ(stat((path + ".old").c_str(), &old), 0);
    constexpr off_t kCap = 16 << 20;
    const off_t slack = 4 * static_cast<off_t>(chunk.size() + 2);  // lines written while another rotated
    EXPECT_LE(now.st_size, kCap + slack);
    EXPECT_GE(old.st_size, kCap);
    EXPECT_LE(old.st_size, kCap + slack);
    // Every line is whole: a line ends where the next begins.
    std::ifstream f(path, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) EXPECT_EQ(line, chunk + "\r");
}
