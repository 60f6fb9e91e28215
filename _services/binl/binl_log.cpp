#include "binl_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "log.h"

namespace {
std::atomic<BinlLogSink> g_sink{nullptr};
}

BinlLogSink SetBinlLogSink(BinlLogSink sink) { return g_sink.exchange(sink); }

void BinlLog(const char* format, ...) {
    char text[512];  // log texts are cut at 511 characters
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (BinlLogSink sink = g_sink.load()) sink(1, text);
    else LogPrint(1, "%s", text);
}
