// Logging, debug trace, error texts and message boxes. This sits below every other module:
// the libraries, the services and the desktop all write through it.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>

// Every log line goes through LogLine with the service that writes it as its tag. A line is
// formatted only when it will be read: by the tag's sink when one is set (tests look at the
// lines there), otherwise by the program log (the console or the log file, within the log
// level). The texts carry their own service prefix ("HTTP Err: ..."); the tag routes them.
enum LogTag : int {
    LOG_PROGRAM = 0,
    LOG_DHCP,
    LOG_BINL,
    LOG_TFTP,
    LOG_HTTP,
    LOG_FTP,
    LOG_NFS,
    LOG_DNS,
    LOG_SNTP,
    LOG_SYSLOG,
    LOG_TAGS
};
// Levels below zero are texts for the user rather than log lines.
constexpr int kLogError = -1;       // an error notice (and the system event log when enabled)
constexpr int kLogWarningBox = -2;  // a warning notice
using LogSink = void (*)(int level, const char* text);

// The program log: where the lines of a tag without a sink go. The service host installs it
// (console link, log file, system event log); without one only the sinks see lines.
// wanted: true when a line of that level would be read. write: the finished line, time stamp
// included for levels from zero up, of the given length (at most 511 characters).
struct ProgramLog {
    bool (*wanted)(int level);
    void (*write)(int level, const char* line, size_t length);
};
void SetProgramLog(const ProgramLog* log);
// Installs the sink of a tag (nullptr: the program log). Returns the previous one.
LogSink SetLogSink(LogTag tag, LogSink sink);
// True when a line of that level and tag would be read (skip building costly arguments).
bool LogWanted(LogTag tag, int level);
void LogLine(LogTag tag, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
// The time stamp that begins every log line, "[mm/dd hh:mm:ss.mmm] " in local time, written to
// out (size of at least 24 bytes); returns its length.
size_t LogTimeStamp(char* out, size_t size);
void LogLineV(LogTag tag, int level, const char* format, va_list ap);

// The program's own lines and the services without a wrapper of their own.
void LogPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogWarningBox(const char* format, ...) __attribute__((format(printf, 1, 2)));
// No more log lines from here on (the desktop closing); LogEnable() lets them through again
// (tests that run the desktop and the services more than once in one process).
void LogDisable();
void LogEnable();
// Appends text and CR LF to the file (created when missing).
void AppendLogFile(const char* path, const char* text, size_t length);
// Developer trace of the calling thread on standard error, written only when asked for:
// NIMBO_TRACE set to anything but "" or "0" in the environment, or SetDebugTrace(true).
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetDebugTrace(bool on);
bool DebugTraceOn();
const char* LastErrorText();         // text of errno, thread-local buffer
const char* LastErrorText(int err);  // text of err, thread-local buffer

// Message box types (low four bits: buttons; icons above).
enum : unsigned {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_ABORTRETRYIGNORE = 0x2,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5,
    MB_ICONERROR = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_ICONINFORMATION = 0x40,
    MB_DEFBUTTON2 = 0x100,
    MB_DEFBUTTON3 = 0x200,
    MB_SYSTEMMODAL = 0x1000,
};
enum { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

int MessageBoxPrintf(void* owner, const char* format, const char* caption, unsigned type, ...);

// The GUI installs the function that shows boxes; without one the text goes to stderr and
// OK boxes return 1, question boxes their default button.
using MessageBoxHandler = int (*)(void* owner, const std::string& text, const std::string& caption, unsigned type);
void SetMessageBoxHandler(MessageBoxHandler h);
