// Logging of the BINL add-on. Messages go to the program log through a sink that tests
// may replace to look at them.
#pragma once
#include <string>

using BinlLogSink = void (*)(int level, const std::string& text);

// Installs the sink (nullptr: the program log). Returns the previous one.
BinlLogSink SetBinlLogSink(BinlLogSink sink);

void BinlLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
