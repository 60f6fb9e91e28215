// Conveniences of the 8-bit instance: compile with flags 0, search once from the
// beginning of the text, free everything before returning.
#include "libs/regex/regex_engine.h"

namespace {

// Length of the first match (end minus start of group 0), or -1 when none.
int FirstMatchLength(const char* text, const char* pattern) {
    if (!text || !pattern) return -1;
    CRegexT<char> regex(pattern, 0);
    const CBufferT<int> result = regex.Match(text, -1);
    if (result.GetSize() < 4 || result[0] == 0) return -1;
    return result[3] - result[2];
}

}  // namespace

bool RegexMatchWhole(const char* text, const char* pattern) {
    const int n = FirstMatchLength(text, pattern);
    return n >= 0 && n == CBufferRefT<char>(text).GetSize();
}

bool RegexSearch(const char* text, const char* pattern) { return FirstMatchLength(text, pattern) >= 0; }

int RegexMatchLength(const char* text, const char* pattern) {
    const int n = FirstMatchLength(text, pattern);
    return n > 0 ? n : 0;
}
