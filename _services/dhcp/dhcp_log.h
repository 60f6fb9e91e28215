// Log lines of the DHCP server. The service routes them to the program log; tests catch
// them to check the texts.
#pragma once

// level >= 0: a log line of that level; kDhcpLogError: an error line; kDhcpLogWarningBox: a
// warning for the user.
constexpr int kDhcpLogError = -1;
constexpr int kDhcpLogWarningBox = -2;
using DhcpLogSink = void (*)(int level, const char* text);
using DhcpLogGate = int (*)();  // current log level; lines above it are not formatted

void SetDhcpLogSink(DhcpLogSink sink, DhcpLogGate gate);
// True when a line of that level would be written (skip building costly arguments).
bool DhcpLogEnabled(int level);
void DhcpLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
int  DhcpThreadId();
