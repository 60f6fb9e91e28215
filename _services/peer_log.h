// Log lines that a network peer causes: at most so many a second per peer address and in all.
#pragma once
#include <cstdint>

#include "libs/log/log.h"
#include "libs/platform/log_guard.h"

// Lines per second one address (or connection) may write, and all peers of a service together.
constexpr unsigned kPeerLinesPerSecond = 50;
constexpr unsigned kServiceLinesPerSecond = 500;

class PeerLogGate {
public:
    // prefix begins the "... lines suppressed" line, e.g. "HTTP Inf:"; that line goes to the
    // program's own log, or to the service's tag.
    explicit PeerLogGate(const char* prefix, unsigned perPeer = kPeerLinesPerSecond,
                         unsigned total = kServiceLinesPerSecond)
        : PeerLogGate(prefix, LOG_PROGRAM, perPeer, total) {}
    PeerLogGate(const char* prefix, LogTag tag, unsigned perPeer = kPeerLinesPerSecond,
                unsigned total = kServiceLinesPerSecond)
        : prefix_(prefix), tag_(tag), gate_(perPeer, total) {}
    // True when a line about this peer (address in network order) may be written now. When
    // lines of that peer were dropped before, says first how many ("… N lines suppressed").
    bool Allow(uint32_t address, uint32_t connection = 0);

private:
    const char* prefix_;
    const LogTag tag_;
    LogRateGate gate_;
};
