// Pieces the TFTP server shares with the desktop's TFTP client: the error simulator that
// drops chosen data blocks, the microsecond pacing that spaces data packets, and the
// one-shot datagram sender.
#pragma once
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>

#include "_services/tftp_records.h"

// Parses a simulator setting ("fix|5,9 delay=100", "random|3", "even|4"). Returns 1 and
// fills the record (when given) for a valid text; otherwise returns 0, clears the record
// (when given) and empties the text.
int ErrSimParse(char* text, ErrorSimulatorRecord* record);

// The live record, parsed from TFTP_ErrorSimulator when the service starts; read by every
// transfer and shown by the desktop.
ErrorSimulatorRecord ErrSimLiveRecord();
void ErrSimSetLiveRecord(const ErrorSimulatorRecord& record);

// Fills n 32-bit values from a cryptographic source; false when it cannot.
using ErrSimRandomSource = bool (*)(uint32_t* values, size_t n);
bool ErrSimSystemRandom(uint32_t* values, size_t n);

// Returns 1 when this block is to be dropped now (after sleeping the delay), else 0.
// The copy starts zero-filled and is built from the live record on the first call.
int ErrSimShouldDrop(uint32_t block, uint32_t totalBlocks, ErrorSimulatorRecord* copy);
// The same decision against a given live record and random source.
int ErrSimShouldDropWith(const ErrorSimulatorRecord& live, uint32_t block, uint32_t totalBlocks,
                         ErrorSimulatorRecord* copy, ErrSimRandomSource random);

// Microsecond pacing on the monotonic clock: the bulk of a gap is slept, the last stretch
// spun. uSleepInit sets the calling thread's timer slack to 1 ns and, on its first call,
// measures the wake-up latency that sizes the spun stretch (uSleepSpinNs). The stamp is
// owned by the caller.
int uSleepInit();
uint64_t uSleepSpinNs();
void uSleepStamp(uint64_t* stamp);
int uSleep(uint64_t* stamp, uint32_t microseconds, bool restamp);
// Counts a paced transfer while it lives: the spun stretches shrink when paced transfers
// outnumber half the cores.
struct uSleepPacer {
    uSleepPacer();
    ~uSleepPacer();
    uSleepPacer(const uSleepPacer&) = delete;
    uSleepPacer& operator=(const uSleepPacer&) = delete;
};

// Sends one datagram from the given local port (all addresses) to the peer. Returns the
// bytes sent, -1 when no socket can be made, -8 when the bind fails.
int UdpSend(int localPort, const sockaddr_in& peer, const void* data, size_t length);
