// SYSLOG collector (RFC 3164 over UDP): each accepted message goes to the GUI's syslog list,
// optionally to a text file with a local time stamp and optionally to a named pipe.
#pragma once
#include <time.h>

#include <cstddef>
#include <functional>
#include <string>

#include "_services/udp/udp_records.h"
#include "libs/platform/named_pipe.h"

constexpr const char* kSyslogPipeName = "NimboSyslog";
constexpr size_t kSyslogLineMax = 1023;  // characters of a file line, its CRLF included
// Rows of the desktop's list a second: of one sender, and of all senders together. Generous, as
// recording the messages is the service's purpose: a client that logs a burst at boot is shown
// whole; only a flood is cut (the file and the pipe still get every message).
constexpr unsigned kSyslogRowsPerSender = 200;
constexpr unsigned kSyslogRowsPerSecond = 1000;

// 1 for an accepted message, 0 otherwise. buffer holds at least length + 1 bytes and length
// is at most kSyslogMessageMax. An accepted message is NUL-terminated at its length and
// every byte from 0x80 up becomes '.'.
int SyslogValidate(char* buffer, size_t length);
// The 24 characters of a local time in the fixed C-locale form "Thu Dec 09 01:02:03 2026".
std::string SyslogTimeText(const struct tm& local);
// One file line: "<time>: <message>\r\n", at most kSyslogLineMax characters, bytes below
// 0x20 written as \DDD (decimal); a long message is cut, the CRLF always stays.
std::string SyslogFileLine(const struct tm& local, const char* message, size_t length);

// The outputs of the collector: file, named pipe and the GUI notice.
class SyslogCollector {
public:
    SyslogCollector();
    ~SyslogCollector();
    SyslogCollector(const SyslogCollector&) = delete;
    SyslogCollector& operator=(const SyslogCollector&) = delete;

    // Closes the current file and opens path for appending (created 0644 when missing);
    // an empty path means no file. Logs and goes on without a file when it cannot.
    void SyslogOpenFile(const std::string& path);
    // Creates the named pipe in folder and logs the result.
    void OpenPipe(const std::string& folder);
    // Hands one received datagram (buffer of kSyslogMessageMax + 1 bytes) to every output.
    // Returns SyslogValidate's verdict.
    int Collect(char* buffer, size_t length, const char* sender, time_t now);
    void Close();

    // Notice 107 goes here; the thread sends it to the console.
    std::function<void(const SyslogRow& row, size_t length)> notify;

private:
    int file_ = -1;
    NamedPipeWriter pipe_;
};

void SyslogThread();
