// Matching: the element operations and the start-position loop.
#include <climits>

#include "libs/regex/regex_builder.h"
#include "libs/regex/regex_elements.h"

using namespace nimbo_regex;

namespace {

template <class T>
const T* Text(const CMatchContext* c) {
    return static_cast<const T*>(c->m_pMatchString);
}

// Capture records are four ints: group, start, end (-1 while open), nesting.
enum { kGroup = 0, kStart = 1, kEnd = 2, kNest = 3, kRecord = 4 };

}  // namespace

void RegexChargeSteps(CMatchContext* c, long long steps) {
    c->m_nSteps += steps;
    if (c->m_nSteps > c->m_nStepBudget) throw RegexLimitExceeded{};
}

// The capture index may point past records that an assertion, an atomic group or a
// possessive repeat cut away; the search steps down from there (or from the last
// record) to the latest record of the group that still exists.
int RegexLatestRecord(const CMatchContext* c, int n) {
    if (n < 0 || n >= c->m_captureindex.GetSize()) return -1;
    int i = c->m_captureindex[n];
    if (i < 0) return -1;
    const int last = c->m_capturestack.GetSize() - kRecord;
    if (i > last) i = last;
    i -= i % kRecord;
    const int from = i;
    while (i >= 0 && c->m_capturestack[i + kGroup] != n) i -= kRecord;
    if (from - i >= 8 * kRecord) RegexChargeSteps(const_cast<CMatchContext*>(c), (from - i) / (8 * kRecord));
    return i;
}

// ---------------------------------------------------------------- CBoundaryElxT

template <class T>
bool CBoundaryElxT<T>::DoMatch(CMatchContext* c) const {
    const T* s = Text<T>(c);
    const int len = c->m_nMatchStringLength;
    const int pos = c->m_nCurrentPos;
    bool r = false;
    switch (m_nType) {
    case 0: r = pos <= 0; break;
    case 1: r = pos >= len; break;
    case 2:
        r = pos >= len || (pos == len - 1 && s[pos] == T('\n')) ||
            (pos == len - 2 && s[pos] == T('\r') && s[pos + 1] == T('\n'));
        break;
    case 3:
        r = pos <= 0 || s[pos - 1] == T('\n') || (s[pos - 1] == T('\r') && (pos >= len || s[pos] != T('\n')));
        break;
    case 4: r = pos >= len || s[pos] == T('\r') || (s[pos] == T('\n') && (pos <= 0 || s[pos - 1] != T('\r'))); break;
    case 7: {
        const bool before = pos > 0 && pos <= len && IsWord(Code(s[pos - 1]));
        const bool after = pos >= 0 && pos < len && IsWord(Code(s[pos]));
        r = before != after;
        break;
    }
    default: r = false; break;
    }
    return m_bPositive ? r : !r;
}

// ---------------------------------------------------------------- CStringElxT

template <class T>
CStringElxT<T>::CStringElxT(const T* text, int length, int rightToLeft, int ignoreCase)
    : m_szPattern(text, length), m_bRightLeft(rightToLeft), m_bIgnoreCase(ignoreCase) {}

template <class T>
bool CStringElxT<T>::DoMatch(CMatchContext* c) const {
    const T* s = Text<T>(c);
    const int len = c->m_nMatchStringLength;
    const int n = m_szPattern.GetSize();
    const int pos = c->m_nCurrentPos;
    int from;
    if (m_bRightLeft) {
        if (pos < n) return false;
        from = pos - n;
    } else {
        if (pos > len - n) return false;
        from = pos;
    }
    const T* p = m_szPattern.GetBuffer();
    int i = 0;
    while (i < n && (m_bIgnoreCase ? SameIgnoringCase(s[from + i], p[i]) : s[from + i] == p[i])) ++i;
    if (i >= 8) RegexChargeSteps(c, i / 8);  // long comparisons count as work
    if (i < n) return false;
    c->m_nCurrentPos = m_bRightLeft ? pos - n : pos + n;
    return true;
}

template <class T>
bool CStringElxT<T>::DoBacktrack(CMatchContext* c) const {
    const int n = m_szPattern.GetSize();
    c->m_nCurrentPos += m_bRightLeft ? n : -n;
    return false;
}

// ---------------------------------------------------------------- CRangeElxT

template <class T>
bool CRangeElxT<T>::Contains(T ch) const {
    const int v = Ord(ch);
    for (int i = 0; i + 1 < m_ranges.GetSize(); i += 2) {
        if (v >= Ord(m_ranges[i]) && v <= Ord(m_ranges[i + 1])) return true;
    }
    for (int i = 0; i < m_chars.GetSize(); ++i) {
        if (m_chars[i] == ch) return true;
    }
    return false;
}

template <class T>
bool CRangeElxT<T>::DoMatch(CMatchContext* c) const {
    const int at = m_bRightLeft ? c->m_nCurrentPos - 1 : c->m_nCurrentPos;
    if (at < 0 || at >= c->m_nMatchStringLength) return false;
    const T ch = Text<T>(c)[at];
    const int size = m_ranges.GetSize() / 2 + m_chars.GetSize() + m_embeds.GetSize();
    if (size >= 8) RegexChargeSteps(c, size / 8);
    bool member = Contains(ch);
    for (int i = 0; !member && i < m_embeds.GetSize(); ++i) {
        const int saved = c->m_nCurrentPos;
        member = m_embeds[i]->Match(c);
        c->m_nCurrentPos = saved;
    }
    if (member != static_cast<bool>(m_bPositive)) return false;
    c->m_nCurrentPos += m_bRightLeft ? -1 : 1;
    return true;
}

template <class T>
bool CRangeElxT<T>::DoBacktrack(CMatchContext* c) const {
    c->m_nCurrentPos += m_bRightLeft ? 1 : -1;
    return false;
}

// ---------------------------------------------------------------- CPosixElxT

template <class T>
bool CPosixElxT<T>::DoMatch(CMatchContext* c) const {
    if (!m_test) return false;
    const int at = m_bRightLeft ? c->m_nCurrentPos - 1 : c->m_nCurrentPos;
    if (at < 0 || at >= c->m_nMatchStringLength) return false;
    const bool member = m_test(Code(Text<T>(c)[at])) != 0;
    if (member != static_cast<bool>(m_bPositive)) return false;
    c->m_nCurrentPos += m_bRightLeft ? -1 : 1;
    return true;
}

template <class T>
bool CPosixElxT<T>::DoBacktrack(CMatchContext* c) const {
    c->m_nCurrentPos += m_bRightLeft ? 1 : -1;
    return false;
}

// ---------------------------------------------------------------- CBackrefElxT

template <class T>
bool CBackrefElxT<T>::DoMatch(CMatchContext* c) const {
    if (m_nnumber < 0 || m_nnumber >= c->m_captureindex.GetSize()) return false;
    const int r = RegexLatestRecord(c, m_nnumber);
    if (r < 0) return false;
    const int pos = c->m_nCurrentPos;
    int a = c->m_capturestack[r + kStart];
    int b = c->m_capturestack[r + kEnd];
    if (b == -1) b = pos;
    const int lo = a < b ? a : b;
    const int n = (a < b ? b : a) - lo;
    const int len = c->m_nMatchStringLength;
    int from;
    if (m_bRightLeft) {
        if (pos < n) return false;
        from = pos - n;
    } else {
        if (pos > len - n) return false;
        from = pos;
    }
    const T* s = Text<T>(c);
    int i = 0;
    while (i < n && (m_bIgnoreCase ? SameIgnoringCase(s[from + i], s[lo + i]) : s[from + i] == s[lo + i])) ++i;
    if (i >= 8) RegexChargeSteps(c, i / 8);
    if (i < n) return false;
    c->m_stack.Push(pos);
    c->m_nCurrentPos = m_bRightLeft ? pos - n : pos + n;
    return true;
}

template <class T>
bool CBackrefElxT<T>::DoBacktrack(CMatchContext* c) const {
    c->m_nCurrentPos = c->m_stack.Pop();
    return false;
}

// ---------------------------------------------------------------- CBracketElxT

template <class T>
bool CBracketElxT<T>::DoMatch(CMatchContext* c) const {
    const int n = m_nnumber;
    if (n < 0) return false;
    CBufferT<int>& cs = c->m_capturestack;
    if (!m_bRightSide) {
        c->m_captureindex.Prepare(n, 0xFF);
        const int r = RegexLatestRecord(c, n);
        if (r >= 0 && cs[r + kEnd] == -1) {
            // re-entered by recursion while still open
            cs[r + kNest] -= 1;
        } else {
            c->m_captureindex[n] = cs.GetSize();
            cs.Push(n);
            cs.Push(c->m_nCurrentPos);
            cs.Push(-1);
            cs.Push(0);
        }
    } else {
        const int r = RegexLatestRecord(c, n);
        if (r >= 0) {
            if (cs[r + kNest] < 0) {
                cs[r + kNest] += 1;
            } else {
                cs[r + kEnd] = c->m_nCurrentPos;
                cs[r + kNest] = c->m_nCloseCounter++;
            }
        }
    }
    return true;
}

template <class T>
bool CBracketElxT<T>::DoBacktrack(CMatchContext* c) const {
    const int n = m_nnumber;
    const int r = RegexLatestRecord(c, n);
    if (r < 0) return false;
    CBufferT<int>& cs = c->m_capturestack;
    if (m_bRightSide) {
        if (cs[r + kEnd] != -1) {
            cs[r + kEnd] = -1;
            cs[r + kNest] = 0;
        } else {
            cs[r + kNest] -= 1;
        }
    } else if (cs[r + kNest] < 0) {
        cs[r + kNest] += 1;
    } else {
        cs.Restore(cs.GetSize() - kRecord);
        int i = cs.GetSize() - kRecord;
        if (i > r - kRecord) i = r - kRecord;
        while (i >= 0 && cs[i + kGroup] != n) i -= kRecord;
        c->m_captureindex[n] = i;
    }
    return false;
}

// ---------------------------------------------------------------- CListElxT

// Matches the elements from index i on; on a failure earlier elements are asked for
// their next way, nearest first.
bool CListElxT::MatchFrom(CMatchContext* c, int i) const {
    const int n = m_elxlist.GetSize();
    while (i < n) {
        if (At(i)->Match(c)) {
            ++i;
            continue;
        }
        for (;;) {
            if (i == 0) return false;
            --i;
            if (At(i)->Backtrack(c)) {
                ++i;
                break;
            }
        }
    }
    return true;
}

bool CListElxT::DoMatch(CMatchContext* c) const { return MatchFrom(c, 0); }

bool CListElxT::DoBacktrack(CMatchContext* c) const {
    int i = m_elxlist.GetSize();
    for (;;) {
        if (i == 0) return false;
        --i;
        if (At(i)->Backtrack(c)) return MatchFrom(c, i + 1);
    }
}

// ---------------------------------------------------------------- CAlternativeElxT

bool CAlternativeElxT::DoMatch(CMatchContext* c) const {
    const int n = m_elxlist.GetSize();
    if (n == 0) return true;
    for (int i = 0; i < n; ++i) {
        if (m_elxlist[i]->Match(c)) {
            c->m_stack.Push(i);
            return true;
        }
    }
    return false;
}

bool CAlternativeElxT::DoBacktrack(CMatchContext* c) const {
    const int n = m_elxlist.GetSize();
    if (n == 0) return false;
    const int i = c->m_stack.Pop();
    if (i < 0 || i >= n) return false;
    if (m_elxlist[i]->Backtrack(c)) {
        c->m_stack.Push(i);
        return true;
    }
    for (int j = i + 1; j < n; ++j) {
        if (m_elxlist[j]->Match(c)) {
            c->m_stack.Push(j);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------- repeats

// Matches the remaining iterations of the minimum after `done` are in place; a failed
// iteration makes the previous ones find another way, last first.
bool CRepeatElxT::MatchForward(CMatchContext* c, int done) const {
    while (done < m_nfixed) {
        if (m_pelx->Match(c)) {
            ++done;
            continue;
        }
        for (;;) {
            if (done == 0) return false;
            if (m_pelx->Backtrack(c)) break;
            --done;
        }
    }
    return true;
}

bool CRepeatElxT::MatchMinimum(CMatchContext* c) const {
    if (m_nfixed <= 0) return true;
    return MatchForward(c, 0);
}

bool CRepeatElxT::BacktrackMinimum(CMatchContext* c) const {
    if (m_nfixed <= 0) return false;
    int done = m_nfixed;
    for (;;) {
        if (m_pelx->Backtrack(c)) break;
        if (--done == 0) return false;
    }
    return MatchForward(c, done);
}

// Adds iterations up to the extra count. An iteration that ends where it began is
// made to find a non-empty way; when it has none it is dropped and extending stops.
void CGreedyElxT::ExtendGreedy(CMatchContext* c) const {
    int added = 0;
    while (added < m_nvart) {
        const int start = c->m_nCurrentPos;
        if (!m_pelx->Match(c)) break;
        if (c->m_nCurrentPos == start) {
            bool moved = false;
            while (m_pelx->Backtrack(c)) {
                if (c->m_nCurrentPos != start) {
                    moved = true;
                    break;
                }
            }
            if (!moved) break;
        }
        ++added;
    }
    c->m_stack.Push(added);
}

bool CGreedyElxT::ShrinkGreedy(CMatchContext* c) const {
    const int added = c->m_stack.Pop();
    if (added <= 0) return false;
    if (m_pelx->Backtrack(c))
        c->m_stack.Push(added);
    else
        c->m_stack.Push(added - 1);
    return true;
}

bool CGreedyElxT::DoMatch(CMatchContext* c) const {
    if (!MatchMinimum(c)) return false;
    ExtendGreedy(c);
    return true;
}

bool CGreedyElxT::DoBacktrack(CMatchContext* c) const {
    if (ShrinkGreedy(c)) return true;
    if (!BacktrackMinimum(c)) return false;
    ExtendGreedy(c);
    return true;
}

bool CReluctantElxT::DoMatch(CMatchContext* c) const {
    if (!MatchMinimum(c)) return false;
    c->m_stack.Push(0);
    return true;
}

// Stack per added iteration: the iteration's own entries, then the position where it
// began; the count of added iterations on top.
bool CReluctantElxT::ExtendReluctant(CMatchContext* c) const {
    int added = c->m_stack.Pop();
    if (added < m_nvart) {
        const int start = c->m_nCurrentPos;
        if (m_pelx->Match(c)) {
            bool moved = c->m_nCurrentPos != start;
            while (!moved && m_pelx->Backtrack(c)) moved = c->m_nCurrentPos != start;
            if (moved) {
                c->m_stack.Push(start);
                c->m_stack.Push(added + 1);
                return true;
            }
        }
    }
    while (added > 0) {
        const int start = c->m_stack.Pop();
        while (m_pelx->Backtrack(c)) {
            if (c->m_nCurrentPos != start) {
                c->m_stack.Push(start);
                c->m_stack.Push(added);
                return true;
            }
        }
        --added;
    }
    return false;
}

bool CReluctantElxT::DoBacktrack(CMatchContext* c) const {
    if (ExtendReluctant(c)) return true;
    if (!BacktrackMinimum(c)) return false;
    c->m_stack.Push(0);
    return true;
}

namespace {
// An atomic construct (possessive repeat, independent group) is never re-entered: backtracking
// into it drops its captures and restores the position saved by its match.
bool UndoAtomicMatch(CMatchContext* c) {
    const int captures = c->m_stack.Pop();
    const int pos = c->m_stack.Pop();
    c->m_capturestack.Restore(captures);
    c->m_nCurrentPos = pos;
    return false;
}
}  // namespace

bool CPossessiveElxT::DoMatch(CMatchContext* c) const {
    const int pos = c->m_nCurrentPos;
    const int stack = c->m_stack.GetSize();
    const int captures = c->m_capturestack.GetSize();
    if (!MatchMinimum(c)) return false;
    ExtendGreedy(c);
    c->m_stack.Restore(stack);
    c->m_stack.Push(pos);
    c->m_stack.Push(captures);
    return true;
}

bool CPossessiveElxT::DoBacktrack(CMatchContext* c) const { return UndoAtomicMatch(c); }

// ---------------------------------------------------------------- groups and assertions

bool CIndependentElxT::DoMatch(CMatchContext* c) const {
    const int pos = c->m_nCurrentPos;
    const int stack = c->m_stack.GetSize();
    const int captures = c->m_capturestack.GetSize();
    const bool r = m_pelx->Match(c);
    c->m_stack.Restore(stack);
    if (!r) return false;
    c->m_stack.Push(pos);
    c->m_stack.Push(captures);
    return true;
}

bool CIndependentElxT::DoBacktrack(CMatchContext* c) const { return UndoAtomicMatch(c); }

bool CAssertElxT::DoMatch(CMatchContext* c) const {
    const int pos = c->m_nCurrentPos;
    const int stack = c->m_stack.GetSize();
    const int captures = c->m_capturestack.GetSize();
    bool r = m_pelx->Match(c);
    if (!m_bPositive) r = !r;
    c->m_stack.Restore(stack);
    c->m_nCurrentPos = pos;
    if (r) {
        c->m_stack.Push(captures);
        return true;
    }
    c->m_capturestack.Restore(captures);
    return false;
}

bool CAssertElxT::DoBacktrack(CMatchContext* c) const {
    c->m_capturestack.Restore(c->m_stack.Pop());
    return false;
}

template <class T>
bool CConditionElxT<T>::DoMatch(CMatchContext* c) const {
    const int pos = c->m_nCurrentPos;
    const int stack = c->m_stack.GetSize();
    const int captures = c->m_capturestack.GetSize();
    bool cond;
    if (m_nnumber >= 0) {
        cond = m_nnumber < c->m_captureindex.GetSize() && RegexLatestRecord(c, m_nnumber) >= 0;
    } else {
        cond = m_pelxask ? m_pelxask->Match(c) : true;
        c->m_stack.Restore(stack);
        c->m_nCurrentPos = pos;
    }
    const ElxInterface* branch = cond ? m_pelxyes : m_pelxno;
    if (branch && !branch->Match(c)) {
        c->m_capturestack.Restore(captures);
        return false;
    }
    c->m_stack.Push(captures);
    c->m_stack.Push(cond ? 1 : 0);
    return true;
}

template <class T>
bool CConditionElxT<T>::DoBacktrack(CMatchContext* c) const {
    const int cond = c->m_stack.Pop();
    const int captures = c->m_stack.Pop();
    const ElxInterface* branch = cond ? m_pelxyes : m_pelxno;
    if (branch && branch->Backtrack(c)) {
        c->m_stack.Push(captures);
        c->m_stack.Push(cond);
        return true;
    }
    c->m_capturestack.Restore(captures);
    return false;
}

// ---------------------------------------------------------------- CRegexT

template <class T>
CRegexT<T>::CRegexT(const T* pattern, int flags) : m_builder(new CRegexBuilderT<T>()) {
    if (!pattern) return;
    CBufferRefT<T> text(pattern);
    m_builder->CompilePattern(text.GetBuffer(), text.GetSize(), flags);
}

template <class T>
CRegexT<T>::~CRegexT() = default;

template <class T>
CBufferT<int> CRegexT<T>::Match(const T* text, int start, CMatchContext* context) const {
    if (!text) return CBufferT<int>();
    long long n = 0;
    while (text[n] != T(0)) {
        if (++n >= INT_MAX) return CBufferT<int>();
    }
    return MatchBuffer(text, static_cast<int>(n), start, context);
}

template <class T>
CBufferT<int> CRegexT<T>::MatchBuffer(const T* text, int length, int start, CMatchContext* context) const {
    CBufferT<int> result;
    const ElxInterface* root = m_builder->m_pTopElx;
    if (!root || length < 0 || (!text && length > 0) || length >= INT_MAX) return result;

    CMatchContext temporary;
    CMatchContext* c = context ? context : &temporary;
    const bool rtl = (m_builder->m_nFlags & RightToLeft) != 0;
    const int G = m_builder->m_nMaxNumber;

    c->m_nLastBeginPos = -1;
    c->m_nCloseCounter = 0;
    c->m_pMatchString = text;
    c->m_nMatchStringLength = length;
    c->m_nSteps = 0;
    c->m_nDepth = 0;
    c->m_nStepBudget = kRegexStepBudget + kRegexStepsPerChar * length;

    if (start < 0)
        start = rtl ? length : 0;
    else if (start > length)
        start = rtl ? length : length + 1;
    c->m_nBeginPos = c->m_nCurrentPos = start;

    const int step = rtl ? -1 : 1;
    const int stop = rtl ? -1 : length + 1;

    c->m_captureindex.Restore(0);
    c->m_captureindex.Prepare(G, 0xFF);
    const CBufferT<int>& numbers = m_builder->m_groupNumbers;

    try {
        while (c->m_nCurrentPos != stop) {
            c->m_stack.Restore(0);
            c->m_capturestack.Restore(0);
            // Only numbers that some group carries can have an entry.
            for (int i = 0; i < numbers.GetSize(); ++i) c->m_captureindex[numbers[i]] = -1;
            c->m_captureindex[0] = 0;
            c->m_capturestack.Push(0);
            c->m_capturestack.Push(c->m_nCurrentPos);
            c->m_capturestack.Push(-1);
            c->m_capturestack.Push(-1);

            if (root->Match(c)) {
                c->m_capturestack[kEnd] = c->m_nCurrentPos;
                if (c->m_nCurrentPos == c->m_nBeginPos) c->m_nCurrentPos += step;
                c->m_nLastBeginPos = c->m_nBeginPos;
                c->m_nBeginPos = c->m_nCurrentPos;

                result.Prepare(2 * G + 3, 0xFF);
                result[0] = 1;
                result[1] = G;
                for (int k = 0; k <= G; ++k) {
                    const int r = RegexLatestRecord(c, k);
                    if (r < 0) continue;
                    const int a = c->m_capturestack[r + kStart];
                    const int b = c->m_capturestack[r + kEnd];
                    if (b == -1) continue;  // still open: took no complete part
                    result[2 + 2 * k] = a < b ? a : b;
                    result[3 + 2 * k] = a < b ? b : a;
                }
                break;
            }
            c->m_nCurrentPos += step;
        }
    } catch (const RegexLimitExceeded&) {
        result.Release();
        c->m_stack.Restore(0);
        c->m_capturestack.Restore(0);
        c->m_nDepth = 0;
    }
    return result;
}

template class CBoundaryElxT<char>;
template class CBoundaryElxT<char16_t>;
template class CStringElxT<char>;
template class CStringElxT<char16_t>;
template class CRangeElxT<char>;
template class CRangeElxT<char16_t>;
template class CPosixElxT<char>;
template class CPosixElxT<char16_t>;
template class CBackrefElxT<char>;
template class CBackrefElxT<char16_t>;
template class CBracketElxT<char>;
template class CBracketElxT<char16_t>;
template class CConditionElxT<char>;
template class CConditionElxT<char16_t>;
template class CRegexT<char>;
template class CRegexT<char16_t>;
