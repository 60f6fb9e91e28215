#include "_services/dhcp/dhcp_regex.h"

#include "libs/regex/regex_engine.h"

bool DhcpMatchWhole(const char* text, const char* pattern) { return RegexMatchWhole(text, pattern); }
bool DhcpSearch(const char* text, const char* pattern) { return RegexSearch(text, pattern); }
