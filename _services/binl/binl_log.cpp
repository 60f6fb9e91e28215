#include "_services/binl/binl_log.h"

#include <cstdarg>

void BinlLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogLineV(LOG_BINL, 1, format, args);
    va_end(args);
}
