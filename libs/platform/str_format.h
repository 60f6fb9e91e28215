// printf-style formatting into a std::string.
#pragma once
#include <cstdarg>
#include <string>

// The whole text, however long (nothing is cut). Formats in the current locale.
std::string StrFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string StrFormatV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
