#pragma once
// The monotonic clock in milliseconds: deadlines, time-outs and rate limits, never the time of
// day; and local time turned into a time stamp from any thread.
#include <time.h>

#include <cstdint>
#include <mutex>

inline int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// mktime for every thread: the C library reads the time zone again in each call, freeing and
// copying its record of it, under a lock of its own that the thread checker cannot see; the
// calls of this process take turns here.
inline time_t LocalMakeTime(struct tm* local) {
    static std::mutex turns;
    std::lock_guard<std::mutex> guard(turns);
    return mktime(local);
}
