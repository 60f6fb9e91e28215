// Log lines of the DHCP server: the program log under the DHCP tag. Tests set a sink on the
// tag to catch the lines and check the texts.
#pragma once
#include <sys/types.h>

#include <cstdint>

#include "libs/log/log.h"

// level >= 0: a log line of that level; kDhcpLogError: an error line; kDhcpLogWarningBox: a
// warning for the user.
constexpr int kDhcpLogError = kLogError;
constexpr int kDhcpLogWarningBox = kLogWarningBox;

inline LogSink SetDhcpLogSink(LogSink sink) { return SetLogSink(LOG_DHCP, sink); }
// True when a line of that level would be read (skip building costly arguments).
inline bool DhcpLogEnabled(int level) { return LogWanted(LOG_DHCP, level); }
void DhcpLogLine(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The peer a request's lines are about, named by the service thread for as long as it handles
// the request: the client's hardware address (chaddr), or the sender's address for a datagram
// too short to hold one. The lines of one peer are bounded a second (kPeerLinesPerSecond), and
// those of all peers together (kServiceLinesPerSecond); the first line let through after a
// drop is preceded by "... N lines suppressed. Client [...]". Lines written outside a scope
// (start-up, settings, the address checks of declined leases) are not bounded.
class DhcpPeerScope {
public:
    // prefix begins the "suppressed" line ("DHCP Inf:"); packet holds length bytes (a negative
    // length: a datagram cut by the receive); source is the sender's address (network order).
    DhcpPeerScope(const char* prefix, const uint8_t* packet, ssize_t length, uint32_t source);
    ~DhcpPeerScope();
    DhcpPeerScope(const DhcpPeerScope&) = delete;
    DhcpPeerScope& operator=(const DhcpPeerScope&) = delete;

    uint64_t Key() const;
    const char* prefix;
    const uint8_t* packet;
    ssize_t length;
    uint32_t source;

private:
    const DhcpPeerScope* outer_;
};
// True when a line of that level may be written for the peer of the request at hand (always
// outside a scope, and for the texts for the user below level 0). Asked only for a line that
// will be read, before any of its text is formatted.
bool DhcpPeerMayLog(int level);

// A DHCP log line. Its arguments (addresses and MACs made text) are evaluated only when the line
// will be read and its peer's budget allows it: at the default level, with no log file and no
// desktop, an exchange formats nothing.
#define DhcpLog(level, ...) \
    (DhcpLogEnabled(level) && DhcpPeerMayLog(level) ? DhcpLogLine((level), __VA_ARGS__) : void())
int DhcpThreadId();
