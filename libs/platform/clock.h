#pragma once
// The monotonic clock in milliseconds: deadlines, time-outs and rate limits, never the time of day.
#include <time.h>

#include <cstdint>

inline int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
