#include "libs/platform/str_format.h"

#include <cstdio>

std::string StrFormatV(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

std::string StrFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = StrFormatV(format, args);
    va_end(args);
    return out;
}
