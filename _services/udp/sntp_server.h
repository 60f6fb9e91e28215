// SNTP server (RFC 4330): answers client requests with the host's clock.
#pragma once
#include <time.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "_services/udp/udp_records.h"

constexpr uint32_t kNtpEpochOffset = 2208988800u;  // seconds from 1900 to 1970
constexpr size_t kSntpDatagramMax = 1024;
// What every reply says of the server: its stratum and its poll interval (log2 seconds).
constexpr uint8_t kSntpStratum = 10;
constexpr int8_t kSntpPollLog2 = 10;

// Entry m is the NTP fraction of m milliseconds: m * 2^32 / 1000, rounded to nearest.
constexpr std::array<uint32_t, 1000> MakeNtpFractionTable() {
    std::array<uint32_t, 1000> t{};
    for (uint64_t m = 0; m < 1000; ++m) t[m] = static_cast<uint32_t>(((m << 32) + 500) / 1000);
    return t;
}
inline constexpr std::array<uint32_t, 1000> NtpFractionTable = MakeNtpFractionTable();
static_assert(NtpFractionTable[1] == 0x00418937);
static_assert(NtpFractionTable[500] == 0x80000000);

// The transmit fractions of the last replies: a request that carries one of them is an echo
// of our own packet and is not answered.
class SntpReplayGuard {
public:
    // Zero entries (the start state, or the fraction of a whole second) never match, so a
    // client whose transmit time is zero is still answered.
    bool Seen(uint32_t fraction) const;
    void Store(uint32_t fraction);

private:
    std::array<uint32_t, 10> fractions_{};
    uint32_t count_ = 0;
};

// Turns a request of length bytes in place into the 48-byte reply for the time now
// (CLOCK_REALTIME). False when the request is not answered: shorter than 48 bytes, not a
// client request (Mode 3), or an echo the guard has seen.
bool SntpBuildReply(uint8_t* packet, size_t length, const timespec& now, SntpReplayGuard* guard);

void SntpThread();
