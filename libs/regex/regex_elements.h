// Element classes of a compiled pattern. Each element matches itself at the current
// position of a CMatchContext and, after something later failed, finds its next way
// of matching (Backtrack). Everything that changes during a match lives in the
// context: an element that succeeds pushes what it needs to resume on the backtrack
// stack, and its Backtrack pops it. When Backtrack returns false (or Match fails) the
// element has undone everything it did.
#pragma once

#include "libs/regex/regex_chars.h"
#include "libs/regex/regex_engine.h"

// Thrown inside a match that exceeds its depth or step limit; MatchBuffer catches it
// and reports no match.
struct RegexLimitExceeded {};

class ElxInterface {
public:
    virtual ~ElxInterface() = default;

    bool Match(CMatchContext* c) const {
        Guard g(c);
        return DoMatch(c);
    }
    bool Backtrack(CMatchContext* c) const {
        Guard g(c);
        return DoBacktrack(c);
    }

protected:
    virtual bool DoMatch(CMatchContext* c) const = 0;
    virtual bool DoBacktrack(CMatchContext* c) const = 0;

private:
    // Counts one step and one level of nesting for every element call.
    struct Guard {
        explicit Guard(CMatchContext* c) : ctx(c) {
            if (++ctx->m_nSteps > ctx->m_nStepBudget || ctx->m_nDepth >= kRegexMaxMatchDepth)
                throw RegexLimitExceeded{};
            ++ctx->m_nDepth;
        }
        ~Guard() { --ctx->m_nDepth; }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        CMatchContext* ctx;
    };
};

// Adds work that is not an element call (long comparisons, record searches) to the
// step count of the match.
void RegexChargeSteps(CMatchContext* c, long long steps);

// Index of the latest capture record of group n, or -1 when it has none.
int RegexLatestRecord(const CMatchContext* c, int n);

class CEmptyElxT : public ElxInterface {
protected:
    bool DoMatch(CMatchContext*) const override { return true; }
    bool DoBacktrack(CMatchContext*) const override { return false; }
};

class CGlobalElxT : public ElxInterface {
protected:
    bool DoMatch(CMatchContext* c) const override { return c->m_nCurrentPos == c->m_nBeginPos; }
    bool DoBacktrack(CMatchContext*) const override { return false; }
};

template <class T>
class CBoundaryElxT : public ElxInterface {
public:
    // Kinds: 0 start of text, 1 end of text, 2 end of text or before a final line
    // break, 3 line start, 4 line end, 7 word boundary.
    CBoundaryElxT(int kind, int positive) : m_nType(kind), m_bPositive(positive) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext*) const override { return false; }

private:
    int m_nType;
    int m_bPositive;
};

template <class T>
class CStringElxT : public ElxInterface {
public:
    CStringElxT(const T* text, int length, int rightToLeft, int ignoreCase);

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;

private:
    CBufferT<T> m_szPattern;
    int m_bRightLeft;
    int m_bIgnoreCase;
};

template <class T>
class CRangeElxT : public ElxInterface {
public:
    CRangeElxT(int rightToLeft, int positive) : m_bRightLeft(rightToLeft), m_bPositive(positive) {}

    CBufferT<T> m_ranges;              // low, high pairs
    CBufferT<T> m_chars;               // single characters
    CBufferT<ElxInterface*> m_embeds;  // nested classes (\d, POSIX, ...)
    int m_bRightLeft;
    int m_bPositive;

    // Whether the pairs or single characters hold ch (nested classes not asked).
    bool Contains(T ch) const;

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

template <class T>
class CPosixElxT : public ElxInterface {
public:
    CPosixElxT(nimbo_regex::PosixTest test, int rightToLeft, int positive)
        : m_test(test), m_bRightLeft(rightToLeft), m_bPositive(positive) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;

private:
    nimbo_regex::PosixTest m_test;
    int m_bRightLeft;
    int m_bPositive;
};

template <class T>
class CBackrefElxT : public ElxInterface {
public:
    CBackrefElxT(int number, int rightToLeft, int ignoreCase)
        : m_nnumber(number), m_bRightLeft(rightToLeft), m_bIgnoreCase(ignoreCase) {}

    int m_nnumber;  // -1 while a name is unresolved, -3 when no group has the name
    int m_bRightLeft;
    int m_bIgnoreCase;
    CBufferT<T> m_szNamed;

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

template <class T>
class CBracketElxT : public ElxInterface {
public:
    // closes: 1 for the bracket met second in the matching direction.
    CBracketElxT(int number, int closes) : m_nnumber(number), m_bRightSide(closes) {}

    int m_nnumber;  // -1 until numbered
    int m_bRightSide;
    CBufferT<T> m_szNamed;  // opening bracket of a named group only

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

class CListElxT : public ElxInterface {
public:
    explicit CListElxT(int rightToLeft) : m_bRightLeft(rightToLeft) {}

    CBufferT<ElxInterface*> m_elxlist;
    int m_bRightLeft;

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;

private:
    const ElxInterface* At(int i) const { return m_elxlist[m_bRightLeft ? m_elxlist.GetSize() - 1 - i : i]; }
    bool MatchFrom(CMatchContext* c, int i) const;
};

class CAlternativeElxT : public ElxInterface {
public:
    CBufferT<ElxInterface*> m_elxlist;

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

// Fixed count ("{n}"); base of the other repeats.
class CRepeatElxT : public ElxInterface {
public:
    CRepeatElxT(ElxInterface* sub, int minimum) : m_pelx(sub), m_nfixed(minimum) {}

protected:
    bool DoMatch(CMatchContext* c) const override { return MatchMinimum(c); }
    bool DoBacktrack(CMatchContext* c) const override { return BacktrackMinimum(c); }

    bool MatchMinimum(CMatchContext* c) const;
    bool BacktrackMinimum(CMatchContext* c) const;
    bool MatchForward(CMatchContext* c, int done) const;

    ElxInterface* m_pelx;
    int m_nfixed;
};

class CGreedyElxT : public CRepeatElxT {
public:
    CGreedyElxT(ElxInterface* sub, int minimum, int extra) : CRepeatElxT(sub, minimum), m_nvart(extra) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
    void ExtendGreedy(CMatchContext* c) const;
    bool ShrinkGreedy(CMatchContext* c) const;

    int m_nvart;
};

class CReluctantElxT : public CRepeatElxT {
public:
    CReluctantElxT(ElxInterface* sub, int minimum, int extra) : CRepeatElxT(sub, minimum), m_nvart(extra) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
    bool ExtendReluctant(CMatchContext* c) const;

    int m_nvart;
};

class CPossessiveElxT : public CGreedyElxT {
public:
    CPossessiveElxT(ElxInterface* sub, int minimum, int extra) : CGreedyElxT(sub, minimum, extra) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

class CAssertElxT : public ElxInterface {
public:
    CAssertElxT(ElxInterface* sub, int positive) : m_pelx(sub), m_bPositive(positive) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;

private:
    ElxInterface* m_pelx;
    int m_bPositive;
};

class CIndependentElxT : public ElxInterface {
public:
    explicit CIndependentElxT(ElxInterface* sub) : m_pelx(sub) {}

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;

private:
    ElxInterface* m_pelx;
};

template <class T>
class CConditionElxT : public ElxInterface {
public:
    int m_nnumber = -1;  // -1 when the condition is an element
    CBufferT<T> m_szNamed;
    ElxInterface* m_pelxask = nullptr;
    ElxInterface* m_pelxyes = nullptr;
    ElxInterface* m_pelxno = nullptr;

protected:
    bool DoMatch(CMatchContext* c) const override;
    bool DoBacktrack(CMatchContext* c) const override;
};

template <class T>
class CDelegateElxT : public ElxInterface {
public:
    ElxInterface* m_pelx = nullptr;  // target, null until resolved
    int m_ndata = 0;                 // group number; -3 while a name is unresolved
    CBufferT<T> m_szNamed;

protected:
    bool DoMatch(CMatchContext* c) const override { return m_pelx ? m_pelx->Match(c) : true; }
    bool DoBacktrack(CMatchContext* c) const override { return m_pelx ? m_pelx->Backtrack(c) : false; }
};
