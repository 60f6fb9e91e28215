// Pattern compiler: a scanner with a look-ahead of three tokens and a recursive-descent
// parser that builds the element tree of a CRegexT.
#pragma once

#include "libs/regex/regex_elements.h"
#include "libs/regex/regex_engine.h"

template <class T>
struct RegexToken {
    T ch = 0;
    int type = 0;  // 0 literal, 1 meta
    int pos = 0;   // index in the pattern
    int len = 0;   // pattern characters covered
};

template <class T>
class CRegexBuilderT {
public:
    CRegexBuilderT();
    ~CRegexBuilderT();
    CRegexBuilderT(const CRegexBuilderT&) = delete;
    CRegexBuilderT& operator=(const CRegexBuilderT&) = delete;

    ElxInterface* CompilePattern(const T* pattern, int length, int flags);
    void ClearPattern();

    ElxInterface* m_pTopElx = nullptr;
    int m_nFlags = 0;
    int m_nMaxNumber = 0;
    int m_nNextNamed = 0;
    // Group numbers that some group carries (for resetting the capture index).
    CBufferT<int> m_groupNumbers;

private:
    struct NamedGroup {
        CListElxT* list;
        CBracketElxT<T>* open;
        CBracketElxT<T>* close;
    };
    enum { kLiteral = 0, kMeta = 1 };
    using Token = RegexToken<T>;

    void Build(const T* pattern, int length, int flags);

    // scanner
    bool NextToken();
    bool ScanEscape(Token& t, int p);
    void Advance();
    bool IsEnd(const Token& t) const { return t.type == kMeta && t.ch == T(0); }
    static bool IsMeta(const Token& t, char ch) { return t.type == kMeta && t.ch == T(ch); }
    bool IsTerminator(const Token& t) const { return IsEnd(t) || IsMeta(t, '|') || IsMeta(t, ')'); }
    bool IsBlank(const Token& t) const { return !IsEnd(t) && nimbo_regex::IsSpace(nimbo_regex::Code(t.ch)); }
    void SkipCloseParen() {
        if (IsMeta(m_curr, ')')) Advance();
    }
    // Characters of the tokens up to (not including) the terminator; the parser then
    // stands on the terminator (or the end).
    CBufferT<T> ReadUntil(char terminator);
    // The decimal group number up to ')' of "(?n)"; 0 when there is none.
    int ReadGroupNumber();
    void GiveUp();

    // parser
    ElxInterface* ParseAlternation(int flags);
    ElxInterface* ParseSequence(int& flags);
    ElxInterface* ParseRepeat(int& flags);
    ElxInterface* ParseLiteralRun(int& flags);
    ElxInterface* ParseGroup(int& flags);
    ElxInterface* ParseClass(int& flags);
    ElxInterface* ParseAnchor(int& flags);
    ElxInterface* ParseBackReference(int& flags);
    ElxInterface* ParseNamedGroup(int& flags);
    ElxInterface* ParseCondition(int& flags);

    ElxInterface* StockElement(int index);
    int FindGroupNumber(const CBufferT<T>& name) const;
    bool IsNumber(const CBufferT<T>& text, int& value) const;
    int DecimalDigits() const { return sizeof(T) == 1 ? 3 : 6; }

    template <class E, class... A>
    E* Make(A&&... args) {
        E* e = new E(std::forward<A>(args)...);
        try {
            m_objlist.Push(e);
        } catch (...) {
            delete e;
            throw;
        }
        return e;
    }

    CBufferT<ElxInterface*> m_objlist;                  // every element made
    CBufferT<ElxInterface*> m_grouplist;                // group table
    CBufferT<CDelegateElxT<T>*> m_recursivelist;        // recursion elements
    CBufferT<NamedGroup> m_namedlist;                   // named groups in order
    CBufferT<CBackrefElxT<T>*> m_namedbackreflist;      // back-references by name
    CBufferT<CConditionElxT<T>*> m_namedconditionlist;  // conditions by name

    CBufferRefT<T> m_pattern;
    Token m_prev, m_curr, m_next, m_nextnext;
    int m_nNextPos = 0;
    int m_nCharsetDepth = 0;
    int m_bQuoted = 0;
    int m_quoteConversion = 0;  // 0 none, 1 lower, 2 upper
    int m_nGroupNesting = 0;
    bool m_bTooDeep = false;
    ElxInterface* m_pStockElxs[17] = {};
};

// Reads a decimal: skips blanks, fails without a digit, reads at most maxDigits
// digits, skips blanks after them and moves the cursor past all it read.
bool RegexReadDecimal(const char*& cursor, int maxDigits, int& value);
// Reads up to maximum hexadecimal digits of text (of the given length); returns the
// value and sets count to the number read.
template <class T>
unsigned RegexReadHexDigits(const T* text, int length, int maximum, int& count);
