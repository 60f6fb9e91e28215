// Helpers shared by the regular-expression tests.
#pragma once

#include <string>
#include <vector>

#include "libs/regex/regex_engine.h"

// The whole match result as a vector (empty when there is no match).
template <class T>
std::vector<int> ToVector(const CBufferT<int>& r) {
    return std::vector<int>(r.GetBuffer(), r.GetBuffer() + r.GetSize());
}

inline std::vector<int> Run8(const std::string& pattern, const std::string& text, int flags = 0, int start = -1) {
    CRegexT<char> re(pattern.c_str(), flags);
    return ToVector<char>(re.MatchBuffer(text.data(), static_cast<int>(text.size()), start));
}

inline std::vector<int> Run16(const std::u16string& pattern, const std::u16string& text, int flags = 0,
                              int start = -1) {
    CRegexT<char16_t> re(pattern.c_str(), flags);
    return ToVector<char16_t>(re.MatchBuffer(text.data(), static_cast<int>(text.size()), start));
}

// Start and end of group 0, or {-1, -1} when nothing matched.
inline std::pair<int, int> Whole(const std::vector<int>& r) {
    if (r.size() < 4) return {-1, -1};
    return {r[2], r[3]};
}
