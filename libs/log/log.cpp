#include "libs/log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "libs/platform/str_format.h"

namespace {
std::atomic<bool> g_logDisabled{false};
std::atomic<MessageBoxHandler> g_boxHandler{nullptr};
std::atomic<const ProgramLog*> g_programLog{nullptr};
std::atomic<LogSink> g_sinks[LOG_TAGS];
// -1: not decided yet (the environment decides on the first trace).
std::atomic<int> g_traceOn{-1};
constexpr size_t kLineMax = 511;         // texts for the log, the desktop and message boxes are cut here
constexpr off_t kLogFileMax = 16 << 20;  // bytes of the log file before it is renamed to "<name>.old"

std::string CutLine(std::string text) {
    if (text.size() > kLineMax) text.resize(kLineMax);
    return text;
}

bool ProgramLogWanted(int level) {
    const ProgramLog* log = g_programLog.load();
    if (!log || (level >= 0 && g_logDisabled)) return false;
    return log->wanted(level);
}

// Texts for the user go out as they are; log lines get the time stamp in front.
void WriteProgramLog(int level, const char* format, va_list ap) {
    std::string line;
    if (level >= 0) {
        char stamp[32];
        line.assign(stamp, LogTimeStamp(stamp, sizeof stamp));
    }
    line = CutLine(line + StrFormatV(format, ap));
    if (const ProgramLog* log = g_programLog.load()) log->write(level, line.c_str(), line.size());
}
}  // namespace

size_t LogTimeStamp(char* out, size_t size) {
    timeval tv;
    gettimeofday(&tv, nullptr);
    // The local time is worked out once a second per thread: the conversion takes a lock and
    // walks the zone's rules, and a busy service writes many lines a second.
    thread_local time_t convertedSecond = -1;
    thread_local tm lt;
    if (tv.tv_sec != convertedSecond) {
        localtime_r(&tv.tv_sec, &lt);
        convertedSecond = tv.tv_sec;
    }
    const int n = snprintf(out, size, "[%02d/%02d %02d:%02d:%02d.%03d] ", lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                           lt.tm_min, lt.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

void SetProgramLog(const ProgramLog* log) { g_programLog = log; }

void LogDisable() { g_logDisabled = true; }
void LogEnable() { g_logDisabled = false; }

void AppendLogFile(const char* path, const char* text, size_t length) {
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0 && attempt < 2) usleep(50000);
    }
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size >= kLogFileMax) {
        // A full file becomes "<name>.old" (replacing the one before) and a new one begins: the
        // log never holds more than twice the cap, whatever the network sends.
        static std::mutex rotation;
        std::lock_guard<std::mutex> lock(rotation);
        close(fd);
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size >= kLogFileMax) {
            close(fd);
            rename(path, (std::string(path) + ".old").c_str());
            fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        }
        if (fd < 0) return;
    }
    std::string line(text, length);
    line += "\r\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
}

void LogLineV(LogTag tag, int level, const char* format, va_list ap) {
    if (LogSink sink = g_sinks[tag].load()) {
        sink(level, CutLine(StrFormatV(format, ap)).c_str());
    } else if (ProgramLogWanted(level)) {
        WriteProgramLog(level, format, ap);
    }
}

LogSink SetLogSink(LogTag tag, LogSink sink) { return g_sinks[tag].exchange(sink); }

bool LogWanted(LogTag tag, int level) { return g_sinks[tag].load() || ProgramLogWanted(level); }

void LogLine(LogTag tag, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(tag, level, format, ap);
    va_end(ap);
}

void LogPrint(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(LOG_PROGRAM, level, format, ap);
    va_end(ap);
}

void LogError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(LOG_PROGRAM, kLogError, format, ap);
    va_end(ap);
}

void LogWarningBox(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(LOG_PROGRAM, kLogWarningBox, format, ap);
    va_end(ap);
}

void SetDebugTrace(bool on) { g_traceOn = on ? 1 : 0; }

bool DebugTraceOn() {
    int on = g_traceOn.load(std::memory_order_relaxed);
    if (on < 0) {
        const char* env = getenv("NIMBO_TRACE");
        on = env && *env && strcmp(env, "0") != 0 ? 1 : 0;
        int expected = -1;
        if (!g_traceOn.compare_exchange_strong(expected, on)) on = expected;
    }
    return on != 0;
}

void DebugTrace(const char* format, ...) {
    if (!DebugTraceOn()) return;
    std::string text = StrFormat("Th%5d :", static_cast<int>(syscall(SYS_gettid)));
    va_list ap;
    va_start(ap, format);
    text += StrFormatV(format, ap);
    va_end(ap);
    if (text.back() != '\n') {
        if (text.size() >= kLineMax) text.resize(kLineMax - 1);
        text += '\n';
    } else if (text.size() > kLineMax) {
        text.resize(kLineMax - 1);
        text += '\n';
    }
    ssize_t w = write(STDERR_FILENO, text.data(), text.size());
    (void)w;
}

const char* LastErrorText(int err) {
    thread_local char buf[512];
    char tmp[512];
    const char* msg = strerror_r(err, tmp, sizeof tmp);  // GNU form
    snprintf(buf, sizeof buf, "%s", msg ? msg : "");
    if (char* cr = strpbrk(buf, "\r\n")) *cr = '\0';
    return buf;
}

const char* LastErrorText() { return LastErrorText(errno); }

void SetMessageBoxHandler(MessageBoxHandler h) { g_boxHandler = h; }

int MessageBoxPrintf(void* owner, const char* format, const char* caption, unsigned type, ...) {
    va_list ap;
    va_start(ap, type);
    const std::string text = CutLine(StrFormatV(format, ap));
    va_end(ap);
    if (!caption) caption = "";
    if (MessageBoxHandler h = g_boxHandler.load()) return h(owner, text, caption, type);
    std::string line = std::string(caption) + ": " + text + "\n";
    ssize_t w = write(STDERR_FILENO, line.data(), line.size());
    (void)w;
    static const int buttons[6][3] = {
        {IDOK, 0, 0},     {IDOK, IDCANCEL, 0},   {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL},
        {IDYES, IDNO, 0}, {IDRETRY, IDCANCEL, 0}};
    unsigned group = type & 0xF;
    if (group == 0 || group > 5) return IDOK;
    unsigned def = (type >> 8) & 0xF;
    if (def > 2 || buttons[group][def] == 0) def = 0;
    return buttons[group][def];
}
