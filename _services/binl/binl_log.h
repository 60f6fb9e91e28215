// Logging of the BINL add-on: the program log under the BINL tag, at level 1. Tests may set a
// sink on the tag to look at the lines.
#pragma once
#include "libs/log/log.h"

inline LogSink SetBinlLogSink(LogSink sink) { return SetLogSink(LOG_BINL, sink); }
void BinlLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
