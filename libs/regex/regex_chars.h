// ASCII character helpers of the regular-expression engine. They never consult the C
// library's locale: characters outside 0 to 127 belong to no class and have no case.
#pragma once

namespace nimbo_regex {

// Character code as an unsigned value (an 8-bit char reads 0 to 255).
inline unsigned Code(char c) { return static_cast<unsigned char>(c); }
inline unsigned Code(char16_t c) { return c; }

// Value used when comparing class range ends: signed 8-bit in the 8-bit instance,
// unsigned 16-bit in the 16-bit instance.
inline int Ord(char c) { return static_cast<signed char>(c); }
inline int Ord(char16_t c) { return c; }

inline bool IsUpper(unsigned c) { return c >= 'A' && c <= 'Z'; }
inline bool IsLower(unsigned c) { return c >= 'a' && c <= 'z'; }
inline bool IsDigit(unsigned c) { return c >= '0' && c <= '9'; }
inline bool IsAlpha(unsigned c) { return IsUpper(c) || IsLower(c); }
inline bool IsAlnum(unsigned c) { return IsAlpha(c) || IsDigit(c); }
inline bool IsWord(unsigned c) { return IsAlnum(c) || c == '_'; }
inline bool IsSpace(unsigned c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool IsXDigit(unsigned c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
inline unsigned ToUpper(unsigned c) { return IsLower(c) ? c - 'a' + 'A' : c; }
inline unsigned ToLower(unsigned c) { return IsUpper(c) ? c - 'A' + 'a' : c; }

template <class T>
inline T UpperChar(T c) {
    return static_cast<T>(ToUpper(Code(c)));
}
template <class T>
inline T LowerChar(T c) {
    return static_cast<T>(ToLower(Code(c)));
}

// Equal, or equal once ASCII letters are upper-cased.
template <class T>
inline bool SameIgnoringCase(T a, T b) {
    return a == b || ToUpper(Code(a)) == ToUpper(Code(b));
}

// POSIX class tests on a character code.
using PosixTest = int (*)(unsigned);
inline int PosixAlnum(unsigned c) { return IsAlnum(c); }
inline int PosixAlpha(unsigned c) { return IsAlpha(c); }
inline int PosixAscii(unsigned c) { return c <= 127; }
inline int PosixCntrl(unsigned c) { return c <= 31 || c == 127; }
inline int PosixDigit(unsigned c) { return IsDigit(c); }
inline int PosixGraph(unsigned c) { return c >= 33 && c <= 126; }
inline int PosixLower(unsigned c) { return IsLower(c); }
inline int PosixPrint(unsigned c) { return c >= 32 && c <= 126; }
inline int PosixPunct(unsigned c) { return PosixGraph(c) && !IsAlnum(c); }
inline int PosixSpace(unsigned c) { return IsSpace(c); }
inline int PosixUpper(unsigned c) { return IsUpper(c); }
inline int PosixXDigit(unsigned c) { return IsXDigit(c); }
inline int PosixBlank(unsigned c) { return c == ' ' || c == '\t'; }

}  // namespace nimbo_regex
