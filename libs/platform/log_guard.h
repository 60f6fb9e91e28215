// Guards between peer input and the log: escaping of peer text and a per-key line budget.
#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

// Peer-supplied text on its way into a log line, a desktop list or a log file: control bytes
// (below 0x20, and 0x7F) become "\DDD", the decimal escape of the syslog file, so that a peer can
// neither start a forged line nor send terminal sequences. At most maxOut bytes are produced; an
// escape is never cut in half.
std::string EscapePeerText(std::string_view text, size_t maxOut = static_cast<size_t>(-1));

// How many log lines one key (a client address, a connection) may write per second, and how many
// all keys together may. Lines over either budget are dropped and counted; the first line that is
// let through after a drop hands back the count so that its writer can say "N lines suppressed".
// The table of keys is bounded: when it is full, idle keys are forgotten and, failing that, new
// keys share one overflow entry. Thread-safe.
class LogRateGate {
public:
    LogRateGate(unsigned perKeyPerSecond, unsigned totalPerSecond, size_t maxKeys = 4096);
    // True when the line may be written. *suppressed (may be null) receives the number of this
    // key's lines dropped since its last line that was let through.
    bool Allow(uint64_t key, uint64_t nowMs, unsigned* suppressed = nullptr);
    // Same, with the monotonic clock.
    bool Allow(uint64_t key, unsigned* suppressed = nullptr);
    size_t KeyCount() const;

private:
    struct Entry {
        uint64_t second = 0;
        unsigned lines = 0;
        unsigned dropped = 0;
    };
    Entry& Find(uint64_t key, uint64_t second);

    const unsigned perKey_;
    const unsigned total_;
    const size_t maxKeys_;
    mutable std::mutex lock_;
    std::unordered_map<uint64_t, Entry> keys_;
    Entry overflow_;
    uint64_t totalSecond_ = 0;
    unsigned totalLines_ = 0;
};

// Key of a peer address for LogRateGate (IPv4 in host or network order alike, or any 64-bit id).
inline uint64_t LogKeyOf(uint32_t address, uint32_t connection = 0) {
    return (static_cast<uint64_t>(connection) << 32) | address;
}
