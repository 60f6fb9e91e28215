// Log lines of the DHCP server: the program log under the DHCP tag. Tests set a sink on the
// tag to catch the lines and check the texts.
#pragma once
#include "libs/log/log.h"

// level >= 0: a log line of that level; kDhcpLogError: an error line; kDhcpLogWarningBox: a
// warning for the user.
constexpr int kDhcpLogError = kLogError;
constexpr int kDhcpLogWarningBox = kLogWarningBox;

inline LogSink SetDhcpLogSink(LogSink sink) { return SetLogSink(LOG_DHCP, sink); }
// True when a line of that level would be read (skip building costly arguments).
inline bool DhcpLogEnabled(int level) { return LogWanted(LOG_DHCP, level); }
void DhcpLogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// A DHCP log line. Its arguments (addresses and MACs made text) are evaluated only when the line
// will be read: at the default level, with no log file and no desktop, an exchange formats
// nothing.
#define DhcpLog(level, ...) (DhcpLogEnabled(level) ? DhcpLogLine((level), __VA_ARGS__) : void())
int  DhcpThreadId();
