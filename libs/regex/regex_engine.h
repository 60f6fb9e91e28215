// Backtracking regular-expression engine.
//
// CRegexT<char> works on 8-bit text, CRegexT<char16_t> on 16-bit text. A pattern is
// compiled once by the constructor and can then be matched any number of times; a
// compiled pattern is never changed by matching, so distinct objects may be used from
// distinct threads at once, and one object from several threads as long as each call
// has its own (or no) CMatchContext. There are no syntax errors: every pattern text
// compiles to something.
//
// Matching is bounded: a match that nests deeper than kRegexMaxMatchDepth element calls
// (deep recursion such as "(?R)") or that needs more than its step budget
// (kRegexStepBudget plus kRegexStepsPerChar for each character of the text) gives up and
// reports no match. Every element call counts one step; comparisons of long strings and
// back-references and scans of large classes add one step per 8 characters or members.
// Patterns that nest groups deeper than kRegexMaxGroupNesting compile to a pattern that
// never matches. At the depth limit a match needs about 256 KiB of stack in an optimised
// build (up to 1 MiB under the address sanitizer).
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

// Compile options. Patterns can also switch i, m, s and g on and off inline.
enum RegexFlags : int {
    DotAll = 0x01,       // '.' also matches LF
    MultiLine = 0x02,    // '^' and '$' also match at line breaks
    Global = 0x04,       // '\G' anchors where the previous match ended
    IgnoreCase = 0x08,   // ASCII letters match either case
    RightToLeft = 0x10,  // the whole pattern runs from right to left
    Extended = 0x20,     // blanks and '#' comments in the pattern are skipped
};

constexpr int kRegexMaxGroupNesting = 200;
constexpr int kRegexMaxMatchDepth = 3000;
constexpr long long kRegexStepBudget = 10000000;
constexpr long long kRegexStepsPerChar = 16;

// Read-only view of T items: pointer and item count.
template <class T>
class CBufferRefT {
public:
    CBufferRefT() = default;
    CBufferRefT(const T* data, int size) : m_pRef(data), m_nSize(data ? size : 0) {}
    // Counts the items before the terminating zero.
    explicit CBufferRefT(const T* text) : m_pRef(text), m_nSize(0) {
        if (text) {
            while (text[m_nSize] != T(0)) ++m_nSize;
        }
    }

    const T* GetBuffer() const { return m_pRef; }
    int GetSize() const { return m_nSize; }
    const T& operator[](int i) const { return m_pRef[i]; }
    // Item i, or def when i is outside the items (so item 0 of an empty match result
    // reads 0: no match).
    T At(int i, T def = T()) const { return i >= 0 && i < m_nSize ? m_pRef[i] : def; }

protected:
    const T* m_pRef = nullptr;
    int m_nSize = 0;
};

// Owned, growable array of T (trivially copyable items only).
template <class T>
class CBufferT : public CBufferRefT<T> {
    static_assert(std::is_trivially_copyable_v<T>, "CBufferT holds plain items");
    using Base = CBufferRefT<T>;

public:
    CBufferT() = default;
    CBufferT(const T* data, int size) { Append(data, size); }
    CBufferT(const CBufferT& other) : Base() { Append(other.GetBuffer(), other.GetSize()); }
    CBufferT(CBufferT&& other) noexcept : Base() { Swap(other); }
    CBufferT& operator=(const CBufferT& other) {
        if (this != &other) {
            CBufferT copy(other);
            Swap(copy);
        }
        return *this;
    }
    CBufferT& operator=(CBufferT&& other) noexcept {
        if (this != &other) {
            Release();
            Swap(other);
        }
        return *this;
    }
    ~CBufferT() { std::free(m_pBuffer); }

    T* GetBuffer() { return m_pBuffer; }
    const T* GetBuffer() const { return m_pBuffer; }
    T& operator[](int i) { return m_pBuffer[i]; }
    const T& operator[](int i) const { return m_pBuffer[i]; }
    int GetCapacity() const { return m_nCapacity; }

    // Appends one item; when full the capacity doubles (at least 8).
    void Push(const T& item) {
        if (this->m_nSize >= m_nCapacity) Grow(m_nCapacity < 8 ? 8 : m_nCapacity * 2);
        m_pBuffer[this->m_nSize++] = item;
    }
    // Removes and returns the last item; an empty buffer gives T().
    T Pop() { return this->m_nSize > 0 ? m_pBuffer[--this->m_nSize] : T(); }
    const T& Peek() const { return m_pBuffer[this->m_nSize - 1]; }

    // Appends n items; with keepZero a zero item is kept after them (not counted).
    void Append(const T* items, int n, bool keepZero = false) {
        if (n < 0) n = 0;
        const int need = this->m_nSize + n + (keepZero ? 1 : 0);
        if (need > m_nCapacity) {
            long long cap = (m_nCapacity < 8 ? 8 : m_nCapacity) * 2LL;
            if (cap < need) cap = ((need + 4 + 7) / 8) * 8LL;
            Grow(cap);
        }
        if (n > 0) std::memmove(m_pBuffer + this->m_nSize, items, sizeof(T) * n);
        this->m_nSize += n;
        if (keepZero) m_pBuffer[this->m_nSize] = T(0);
    }
    // Makes index valid; new items are filled with the byte value fill
    // (0xFF in int buffers reads -1).
    void Prepare(int index, int fill = 0) {
        if (index < this->m_nSize) return;
        const int need = index + 1;
        if (need > m_nCapacity) {
            long long cap = (m_nCapacity < 8 ? 8 : m_nCapacity) * 2LL;
            if (cap < need) cap = ((need + 4 + 7) / 8) * 8LL;
            Grow(cap);
        }
        std::memset(static_cast<void*>(m_pBuffer + this->m_nSize), fill, sizeof(T) * (need - this->m_nSize));
        this->m_nSize = need;
    }
    // Cuts the item count back to size (never grows it).
    void Restore(int size) {
        if (size >= 0 && size < this->m_nSize) this->m_nSize = size;
    }
    void Release() {
        std::free(m_pBuffer);
        m_pBuffer = nullptr;
        this->m_pRef = nullptr;
        this->m_nSize = 0;
        m_nCapacity = 0;
    }

private:
    void Grow(long long cap) {
        if (cap > 0x7FFFFFF0LL) cap = 0x7FFFFFF0LL;
        if (cap <= m_nCapacity) throw std::bad_alloc();
        void* p = std::realloc(static_cast<void*>(m_pBuffer), sizeof(T) * static_cast<size_t>(cap));
        if (!p) throw std::bad_alloc();
        m_pBuffer = static_cast<T*>(p);
        this->m_pRef = m_pBuffer;
        m_nCapacity = static_cast<int>(cap);
    }
    void Swap(CBufferT& other) noexcept {
        std::swap(m_pBuffer, other.m_pBuffer);
        std::swap(this->m_pRef, other.m_pRef);
        std::swap(this->m_nSize, other.m_nSize);
        std::swap(m_nCapacity, other.m_nCapacity);
    }

    T* m_pBuffer = nullptr;
    int m_nCapacity = 0;
};

// Per-match state. Match and MatchBuffer use a temporary one unless the caller hands
// one in; a context serves one match at a time.
class CMatchContext {
public:
    CBufferT<int> m_stack;         // backtrack stack
    CBufferT<int> m_capturestack;  // records: group, start, end (-1 open), nesting
    CBufferT<int> m_captureindex;  // per group: index of its latest record, -1 none
    int m_nCurrentPos = 0;
    int m_nBeginPos = 0;
    int m_nLastBeginPos = -1;
    int m_nCloseCounter = 0;
    const void* m_pMatchString = nullptr;  // the subject text (characters of the instance)
    int m_nMatchStringLength = 0;

    // Limits of one match (see the top of this file).
    long long m_nSteps = 0;
    long long m_nStepBudget = 0;
    int m_nDepth = 0;
};

template <class T>
class CRegexBuilderT;

// A compiled pattern.
template <class T>
class CRegexT {
public:
    // Compiles a zero-terminated pattern with RegexFlags; a null pattern gives a
    // pattern that never matches.
    explicit CRegexT(const T* pattern = nullptr, int flags = 0);
    ~CRegexT();
    CRegexT(const CRegexT&) = delete;
    CRegexT& operator=(const CRegexT&) = delete;

    // Finds the first match in a zero-terminated text. start -1 is the beginning of
    // the text (its end for a RightToLeft pattern). The result is empty when nothing
    // matches; otherwise it holds 2 * G + 4 items: 1, G (the highest group number),
    // then the start and end offsets of groups 0 to G (-1, -1 for a group that took
    // no part).
    CBufferT<int> Match(const T* text, int start = -1, CMatchContext* context = nullptr) const;
    // The same on a text of the given length (need not be terminated).
    CBufferT<int> MatchBuffer(const T* text, int length, int start = -1, CMatchContext* context = nullptr) const;

private:
    std::unique_ptr<CRegexBuilderT<T>> m_builder;
};

// Conveniences on 8-bit text: each compiles the pattern with flags 0 and searches the
// text once from its beginning. A null text or pattern never matches.
// True when the first match covers the whole text (its length equals the text's).
bool RegexMatchWhole(const char* text, const char* pattern);
// True when the pattern matches anywhere in the text.
bool RegexSearch(const char* text, const char* pattern);
// Length of the first match, 0 when there is none.
int RegexMatchLength(const char* text, const char* pattern);
