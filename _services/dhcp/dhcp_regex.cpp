#include "dhcp_regex.h"

#ifdef NIMBO_DHCP_STD_REGEX
// Stand-in until the engine is linked in.
#include <regex>
#include <string>
bool DhcpMatchWhole(const char* text, const char* pattern) {
    std::cmatch m;
    if (!std::regex_search(text, m, std::regex(pattern))) return false;
    return static_cast<size_t>(m.length(0)) == std::char_traits<char>::length(text);
}
bool DhcpSearch(const char* text, const char* pattern) {
    return std::regex_search(text, std::regex(pattern));
}
#else
#include "regex_engine.h"
bool DhcpMatchWhole(const char* text, const char* pattern) { return RegexMatchWhole(text, pattern); }
bool DhcpSearch(const char* text, const char* pattern) { return RegexSearch(text, pattern); }
#endif
