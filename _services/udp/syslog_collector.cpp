#include "_services/udp/syslog_collector.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "_services/peer_log.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "_services/udp/udp_receive.h"
#include "libs/log/log.h"
#include "libs/platform/log_guard.h"

int SyslogValidate(char* buffer, size_t length) {
    if (length < 5 || length > kSyslogMessageMax) return 0;
    bool priority = buffer[0] == '<';
    bool arrows = length >= 7 && buffer[4] == '>' && buffer[5] == '>' && buffer[6] == '>';
    if (!priority && !arrows) return 0;
    buffer[length] = '\0';
    for (size_t i = 0; i < length; ++i)
        if (static_cast<unsigned char>(buffer[i]) >= 0x80) buffer[i] = '.';
    return 1;
}

std::string SyslogTimeText(const struct tm& t) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    snprintf(text, sizeof text, "%s %s %02d %02d:%02d:%02d %04d", days[(t.tm_wday % 7 + 7) % 7],
             months[(t.tm_mon % 12 + 12) % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
    return std::string(text).substr(0, 24);
}

std::string SyslogFileLine(const struct tm& local, const char* message, size_t length) {
    std::string line = SyslogTimeText(local) + ": ";
    const size_t room = kSyslogLineMax - 2;  // the CRLF
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(message[i]);
        char esc[8];
        if (c < 0x20)
            snprintf(esc, sizeof esc, "\\%03u", c);
        else
            esc[0] = static_cast<char>(c), esc[1] = '\0';
        size_t n = strlen(esc);
        if (line.size() + n > room) break;
        line.append(esc, n);
    }
    return line + "\r\n";
}

SyslogCollector::SyslogCollector() = default;
SyslogCollector::~SyslogCollector() { Close(); }

void SyslogCollector::SyslogOpenFile(const std::string& path) {
    if (file_ >= 0) close(file_);
    file_ = -1;
    if (path.empty()) return;
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    file_ = open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file_ < 0) LogLine(LOG_SYSLOG, 0, "SYSLOG Err: Error opening/creating %s", path.c_str());
}

void SyslogCollector::OpenPipe(const std::string& folder) {
    if (pipe_.Create(folder, kSyslogPipeName)) {
        LogLine(LOG_SYSLOG, 0, "SYSLOG Inf: Named pipe %s created succesfully", kSyslogPipeName);
    } else {
        int err = errno;
        LogLine(LOG_SYSLOG, 0, "SYSLOG Err: Error creating named pipe %s", kSyslogPipeName);
        DebugTrace("SYSLOG Err: named pipe %s/%s: %s\n", folder.c_str(), kSyslogPipeName, LastErrorText(err));
    }
}

int SyslogCollector::Collect(char* buffer, size_t length, const char* sender, time_t now) {
    if (!SyslogValidate(buffer, length)) return 0;
    if (file_ >= 0) {
        struct tm local;
        localtime_r(&now, &local);
        std::string line = SyslogFileLine(local, buffer, length);
        ssize_t n;
        do { n = write(file_, line.data(), line.size()); } while (n < 0 && errno == EINTR);
    }
    if (pipe_.created()) pipe_.Write(buffer, length);
    if (notify) {
        // The desktop's list shows the message on one line: control bytes as \DDD.
        SyslogRow row{};
        snprintf(row.sender, sizeof row.sender, "%s", sender);
        const std::string shown = EscapePeerText(std::string_view(buffer, length), kSyslogMessageMax);
        memcpy(row.message, shown.data(), shown.size());
        notify(row, offsetof(SyslogRow, message) + shown.size() + 1);
    }
    return 1;
}

void SyslogCollector::Close() {
    if (file_ >= 0) close(file_);
    file_ = -1;
    pipe_.Close();
}

void SyslogThread() {
    static const char kReceiveError[] = "SYSLOG Err: recvfrom error %d\n";
    ThreadSlot& slot = ThreadSlots[TH_SYSLOG];
    const GlobalSettings s = SettingsSnapshot();
    SyslogCollector collector;
    // The desktop's list shows a bounded number of messages a second of each sender and of
    // all of them (the file and the pipe get every message); the first row shown after a drop
    // is preceded by a log line that counts the rows left out.
    PeerLogGate rows("SYSLOG Inf:", LOG_SYSLOG, kSyslogRowsPerSender, kSyslogRowsPerSecond);
    uint32_t sender = 0;
    collector.notify = [&rows, &sender](const SyslogRow& row, size_t length) {
        if (rows.Allow(sender)) ToConsole(NOTICE_SYSLOG_ROW, &row, length, false);
    };
    if (s.SYSLOG_ForwardLogToPipe) collector.OpenPipe(NamedPipeFolder());
    const char* path = s.SYSLOG_SaveLogToFile;
    collector.SyslogOpenFile(std::string(path, strnlen(path, sizeof s.SYSLOG_SaveLogToFile)));
    char buf[kSyslogMessageMax + 1];
    while (slot.running) {
        Datagram info;
        // A longer datagram is cut to the first kSyslogMessageMax bytes.
        ssize_t n = ReceiveServiceDatagram(TH_SYSLOG, buf, kSyslogMessageMax, &info, kReceiveError);
        if (n <= 0) continue;
        sender = info.peer.sin_addr.s_addr;
        collector.Collect(buf, static_cast<size_t>(n), IPv4Text(info.peer.sin_addr).c_str(), time(nullptr));
    }
    collector.Close();
    DebugTrace("Thread Inf: SYSLOG thread ends here\n");
}
