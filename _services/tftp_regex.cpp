#include "tftp_regex.h"

#ifdef NIMBO_TFTP_HAVE_REGEX
#include "regex.h"
bool TftpRegexMatchWhole(const char* text, const char* pattern) { return RegexMatchWhole(text, pattern); }
#else
#include <regex>
bool TftpRegexMatchWhole(const char* text, const char* pattern) {
    return std::regex_match(text, std::regex(pattern, std::regex::ECMAScript));
}
#endif
