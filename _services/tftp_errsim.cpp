#include "_services/tftp_errsim.h"

#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "libs/regex/regex_engine.h"

namespace {

std::mutex g_liveMutex;
ErrorSimulatorRecord g_live{};

// Reads an unsigned decimal number of at most 10 digits; false when it does not fit 32 bits.
bool ReadNumber(const char*& p, uint32_t* out) {
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        ++p;
        if (++digits > 10) return false;
    }
    if (v > 0xFFFFFFFFull) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool ParseInto(const char* text, ErrorSimulatorRecord* rec) {
    static const char* const kPatterns[] = {
        "^fix\\|\\d{1,10}(,\\d{1,10}){0,9}( delay=\\d{1,10})?$",
        "^random\\|\\d{1,2}( delay=\\d{1,10})?$",
        "^even\\|\\d{1,2}( delay=\\d{1,10})?$",
    };
    bool matched = false;
    for (const char* pattern : kPatterns)
        if (RegexMatchWhole(text, pattern)) {
            matched = true;
            break;
        }
    if (!matched) return false;

    *rec = ErrorSimulatorRecord{};
    const char* bar = std::strchr(text, '|');
    if (!bar) return false;
    const char* p = bar + 1;
    if (std::strstr(text, "fix")) {
        rec->mode = ERRSIM_FIX;
        for (;;) {
            uint32_t v = 0;
            if (!ReadNumber(p, &v) || v == 0 || rec->count >= 10) return false;
            rec->blocks[rec->count++] = v;
            if (*p != ',') break;
            ++p;
        }
    } else {
        rec->mode = std::strstr(text, "random") ? ERRSIM_RANDOM : ERRSIM_EVEN;
        uint32_t n = 0;
        if (!ReadNumber(p, &n) || n < 1 || n > 10) return false;
        rec->count = n;
    }
    if (const char* d = std::strstr(text, " delay=")) {
        const char* q = d + 7;
        uint32_t v = 0;
        if (!ReadNumber(q, &v) || v == 0) return false;
        rec->delay = v;
    }
    return true;
}

void BuildCopy(const ErrorSimulatorRecord& live, uint32_t total, ErrorSimulatorRecord* copy,
               ErrSimRandomSource random) {
    *copy = ErrorSimulatorRecord{};
    copy->mode = live.mode;
    copy->delay = live.delay;
    const uint32_t n = live.count > 10 ? 10 : live.count;
    switch (live.mode) {
        case ERRSIM_FIX:
            *copy = live;
            copy->count = n;
            break;
        case ERRSIM_RANDOM: {
            uint32_t values[10] = {};
            if (n == 0 || !random || !random(values, n)) return;  // drops nothing
            copy->count = n;
            for (uint32_t i = 0; i < n; ++i)
                copy->blocks[i] =
                    static_cast<uint32_t>((static_cast<uint64_t>(values[i]) * total >> 32) + 1);  // 1..total
            break;
        }
        case ERRSIM_EVEN: {
            // Block 1 first; then the largest k (n down to 2) that leaves at least one block
            // between two drops on average (total / k >= 2), spread evenly up to the end.
            copy->blocks[0] = 1;
            copy->count = 1;
            if (total > 1 && n > 1) {
                for (uint32_t k = n; k >= 2; --k) {
                    if (total / k < 2) continue;
                    const uint32_t s = (total - 1) / (k - 1);
                    for (uint32_t i = 0; i < k; ++i) copy->blocks[i] = 1 + i * s;
                    copy->count = k;
                    break;
                }
            }
            break;
        }
        default: break;
    }
}

}  // namespace

int ErrSimParse(char* text, ErrorSimulatorRecord* record) {
    ErrorSimulatorRecord rec{};
    if (text && ParseInto(text, &rec)) {
        if (record) *record = rec;
        return 1;
    }
    if (record) *record = ErrorSimulatorRecord{};
    if (text) text[0] = '\0';
    return 0;
}

ErrorSimulatorRecord ErrSimLiveRecord() {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    return g_live;
}

void ErrSimSetLiveRecord(const ErrorSimulatorRecord& record) {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    g_live = record;
}

bool ErrSimSystemRandom(uint32_t* values, size_t n) {
    size_t want = n * sizeof(uint32_t), got = 0;
    auto* bytes = reinterpret_cast<uint8_t*>(values);
    while (got < want) {
        ssize_t r = getrandom(bytes + got, want - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        got += static_cast<size_t>(r);
    }
    return true;
}

int ErrSimShouldDropWith(const ErrorSimulatorRecord& live, uint32_t block, uint32_t totalBlocks,
                         ErrorSimulatorRecord* copy, ErrSimRandomSource random) {
    if (live.mode == ERRSIM_OFF || !copy) return 0;
    if (copy->mode == ERRSIM_OFF) BuildCopy(live, totalBlocks, copy, random);
    const uint32_t n = copy->count > 10 ? 10 : copy->count;
    for (uint32_t i = 0; i < n; ++i) {
        if (copy->blocks[i] != 0 && copy->blocks[i] == block) {
            copy->blocks[i] = 0;
            if (copy->delay) std::this_thread::sleep_for(std::chrono::milliseconds(copy->delay));
            return 1;
        }
    }
    return 0;
}

int ErrSimShouldDrop(uint32_t block, uint32_t totalBlocks, ErrorSimulatorRecord* copy) {
    return ErrSimShouldDropWith(ErrSimLiveRecord(), block, totalBlocks, copy, ErrSimSystemRandom);
}

// The monotonic clock in nanoseconds stands for the performance counter; no pinning is
// needed, since it is consistent across processors.
static uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

namespace {

// How long before the deadline a paced sleep wakes up to spin the rest: the measured
// wake-up latency of a short absolute sleep (its upper quartile), plus a microsecond.
constexpr uint64_t kCalibrationSleepNs = 50000;
constexpr int kCalibrationRounds = 24;
constexpr uint64_t kSpinLimitNs = 1000000;
constexpr uint64_t kSpinStepNs = 1500;

void SleepUntil(uint64_t ns) {
    const timespec ts{static_cast<time_t>(ns / 1000000000ull), static_cast<long>(ns % 1000000000ull)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {}
}

uint64_t MeasureWakeLatency() {
    uint64_t late[kCalibrationRounds];
    for (uint64_t& l : late) {
        const uint64_t target = MonotonicNs() + kCalibrationSleepNs;
        SleepUntil(target);
        const uint64_t now = MonotonicNs();
        l = now > target ? now - target : 0;
    }
    std::sort(late, late + kCalibrationRounds);
    return std::min(late[kCalibrationRounds * 3 / 4] + 1000, kSpinLimitNs);
}

std::atomic<uint64_t> g_spinNs{0};
std::once_flag g_calibrated;
std::atomic<int> g_pacers{0};  // paced transfers running
const int g_cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));

}  // namespace

int uSleepInit() {
    // Timer slack is per thread: the pacing thread asks for exact wake-ups.
    if (prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0) != 0) return errno ? errno : 1;
    std::call_once(g_calibrated, [] { g_spinNs.store(MeasureWakeLatency(), std::memory_order_relaxed); });
    return 0;
}

uSleepPacer::uSleepPacer() { g_pacers.fetch_add(1, std::memory_order_relaxed); }
uSleepPacer::~uSleepPacer() { g_pacers.fetch_sub(1, std::memory_order_relaxed); }

uint64_t uSleepSpinNs() { return g_spinNs.load(std::memory_order_relaxed); }

void uSleepStamp(uint64_t* stamp) { *stamp = MonotonicNs(); }

// Sleeps the bulk of the gap, then spins the last stretch so the frame leaves on time
// without a core spinning through the whole gap. The calibrated stretch then follows the wake-ups of the thread,
// staying at the upper quartile of their latency: a late wake-up lengthens it by a step, an early one shortens it by a
// third of a step. Long tails of the latency do not pull it up further than that.
int uSleep(uint64_t* stamp, uint32_t microseconds, bool restamp) {
    thread_local uint64_t spin = 0;
    if (spin == 0) spin = std::max<uint64_t>(g_spinNs.load(std::memory_order_relaxed), 1000);
    const uint64_t gap = static_cast<uint64_t>(microseconds) * 1000ull;
    const uint64_t target = *stamp + gap;
    // At least a quarter of a gap is slept, so that busy transfers slowing each other's
    // wake-ups cannot drive them all into spinning.
    uint64_t spinMax = std::clamp<uint64_t>(gap / 4 * 3, 1000, kSpinLimitNs);
    // Transfers spinning on more than half the cores delay each other's wake-ups more than
    // their spinning saves: the stretch shrinks as they outnumber the cores.
    const int pacers = g_pacers.load(std::memory_order_relaxed);
    if (pacers * 2 > g_cores)
        spinMax =
            std::max<uint64_t>(spinMax * static_cast<uint64_t>(g_cores) / (2 * static_cast<uint64_t>(pacers)), 1000);
    uint64_t now = MonotonicNs();
    if (now < target && target - now > std::min(spin, spinMax) + 1000) {
        SleepUntil(target - std::min(spin, spinMax));
        now = MonotonicNs();
        if (now > target)
            spin = std::min(spin + kSpinStepNs, spinMax);
        else
            spin = std::max<uint64_t>(spin - kSpinStepNs / 3, 1000);
    }
    while (now < target) now = MonotonicNs();
    if (restamp) *stamp = now;
    return 1;
}

int UdpSend(int localPort, const sockaddr_in& peer, const void* data, size_t length) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(localPort));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(s);
        return -8;
    }
    ssize_t r = sendto(s, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    close(s);
    return static_cast<int>(r);
}
