// Pattern compiler. Nothing is rejected: malformed text is read by fixed rules.
#include <climits>
#include <cstring>
#include <string>

#include "libs/regex/regex_builder.h"

using namespace nimbo_regex;

namespace {

constexpr int kUnbounded = 2147483647;

// 8-bit copy of a text for the decimal reader and POSIX names; a character above 255
// (or a zero) ends it.
template <class T>
std::string Narrow(const T* s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        const unsigned c = Code(s[i]);
        if (c == 0 || c > 255) break;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

template <class T>
bool SameName(const CBufferT<T>& a, const CBufferT<T>& b) {
    if (a.GetSize() != b.GetSize()) return false;
    for (int i = 0; i < a.GetSize(); ++i) {
        if (ToUpper(Code(a[i])) != ToUpper(Code(b[i]))) return false;
    }
    return true;
}

bool IsQuantifierMeta(unsigned c) { return c == '{' || c == '?' || c == '*' || c == '+'; }

}  // namespace

bool RegexReadDecimal(const char*& cursor, int maxDigits, int& value) {
    const char* p = cursor;
    while (*p && IsSpace(Code(*p))) ++p;
    if (!IsDigit(Code(*p))) return false;
    int v = 0;
    for (int i = 0; i < maxDigits && IsDigit(Code(*p)); ++i) v = v * 10 + (*p++ - '0');
    while (*p && IsSpace(Code(*p))) ++p;
    value = v;
    cursor = p;
    return true;
}

template <class T>
unsigned RegexReadHexDigits(const T* text, int length, int maximum, int& count) {
    unsigned v = 0;
    count = 0;
    while (count < maximum && count < length) {
        const unsigned c = Code(text[count]);
        unsigned d;
        if (IsDigit(c))
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else
            break;
        v = v * 16 + d;
        ++count;
    }
    return v;
}

template <class T>
CRegexBuilderT<T>::CRegexBuilderT() {
    ClearPattern();
}

template <class T>
CRegexBuilderT<T>::~CRegexBuilderT() {
    ClearPattern();
}

template <class T>
void CRegexBuilderT<T>::ClearPattern() {
    for (int i = 0; i < m_objlist.GetSize(); ++i) delete m_objlist[i];
    m_objlist.Restore(0);
    m_pTopElx = nullptr;
    m_nMaxNumber = 0;
    m_nNextNamed = 0;
    m_groupNumbers.Restore(0);
    for (auto& s : m_pStockElxs) s = nullptr;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::CompilePattern(const T* pattern, int length, int flags) {
    ClearPattern();
    if (!pattern) return nullptr;
    Build(pattern, length, flags);
    return m_pTopElx;
}

// ------------------------------------------------------------------------ scanner

template <class T>
void CRegexBuilderT<T>::Advance() {
    m_prev = m_curr;
    m_curr = m_next;
    m_next = m_nextnext;
    while (!NextToken()) {}
}

// Fills the after-next slot. Returns false when the characters scanned make no token
// (skipped blanks and comments, quoting switches).
template <class T>
bool CRegexBuilderT<T>::NextToken() {
    Token& t = m_nextnext;
    const T* s = m_pattern.GetBuffer();
    const int n = m_pattern.GetSize();
    const int p = m_nNextPos;
    if (p >= n) {
        t = Token{T(0), kMeta, p, 0};
        return true;
    }
    const T ch = s[p];
    const unsigned c = Code(ch);

    if (m_bQuoted) {
        if (c == '\\' && p + 1 < n && s[p + 1] == T('E')) {
            m_bQuoted = 0;
            m_quoteConversion = 0;
            m_nNextPos += 2;
            return false;
        }
        T v = ch;
        if (m_quoteConversion == 1) v = LowerChar(ch);
        if (m_quoteConversion == 2) v = UpperChar(ch);
        t = Token{v, kLiteral, p, 1};
        m_nNextPos += 1;
        return true;
    }

    const bool extended = (m_nFlags & Extended) != 0;
    const int depth = m_nCharsetDepth;
    t = Token{ch, kLiteral, p, 1};
    switch (c) {
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case ' ':
        if (extended) {
            m_nNextPos += 1;
            return false;
        }
        break;
    case '#':
        if (extended) {
            int q = p;
            while (q < n && s[q] != T('\n') && s[q] != T('\r')) ++q;
            m_nNextPos = q;
            return false;
        }
        break;
    case '$':
    case ')':
    case '*':
    case '+':
    case '.':
    case '?':
    case '{':
    case '|':
    case '}':
        if (depth == 0) t.type = kMeta;
        break;
    case '(':
        if (p + 2 < n && s[p + 1] == T('?') && s[p + 2] == T('#')) {
            int q = p + 3;
            while (q < n && s[q] != T(')')) ++q;
            m_nNextPos = q < n ? q + 1 : n;
            return false;
        }
        if (depth == 0) t.type = kMeta;
        break;
    case '-':
        if (depth > 0) t.type = kMeta;
        break;
    case ':':
        if (IsMeta(m_next, '[')) t.type = kMeta;
        break;
    case '[':
        if (depth == 0 || (p + 1 < n && s[p + 1] == T(':'))) {
            t.type = kMeta;
            ++m_nCharsetDepth;
        }
        break;
    case ']':
        if (depth > 0) {
            t.type = kMeta;
            --m_nCharsetDepth;
        }
        break;
    case '^':
        if (depth == 0 || IsMeta(m_next, '[') || (IsMeta(m_curr, '[') && IsMeta(m_next, ':'))) t.type = kMeta;
        break;
    case '\\': return ScanEscape(t, p);
    default: break;
    }
    m_nNextPos += 1;
    return true;
}

template <class T>
bool CRegexBuilderT<T>::ScanEscape(Token& t, int p) {
    const T* s = m_pattern.GetBuffer();
    const int n = m_pattern.GetSize();
    if (p + 1 >= n) {  // a backslash that ends the pattern stands for itself
        t = Token{T('\\'), kLiteral, p, 1};
        m_nNextPos = p + 1;
        return true;
    }
    const T d = s[p + 1];
    const unsigned c = Code(d);
    t = Token{d, kLiteral, p, 2};
    if (IsDigit(c)) {
        t = Token{T('\\'), kMeta, p, 1};
        m_nNextPos = p + 1;
        return true;
    }
    switch (c) {
    case 'A':
    case 'B':
    case 'D':
    case 'S':
    case 'W':
    case 'Z':
    case 'd':
    case 'g':
    case 'k':
    case 's':
    case 'w':
    case 'z': t.type = kMeta; break;
    case 'G':
        if (m_nCharsetDepth > 0) {
            m_nNextPos = p + 2;
            return false;
        }
        t.type = kMeta;
        break;
    case 'b':
        if (m_nCharsetDepth == 0)
            t.type = kMeta;
        else
            t.ch = T(8);
        break;
    case 'E':
        m_bQuoted = 0;
        m_quoteConversion = 0;
        m_nNextPos = p + 2;
        return false;
    case 'Q':
        m_bQuoted = 1;
        m_nNextPos = p + 2;
        return false;
    case 'L':
    case 'U':
        if (m_quoteConversion == 0) m_quoteConversion = c == 'L' ? 1 : 2;
        m_bQuoted = 1;
        m_nNextPos = p + 2;
        return false;
    case 'a': t.ch = T(7); break;
    case 'e': t.ch = T(27); break;
    case 'f': t.ch = T(12); break;
    case 'n': t.ch = T(10); break;
    case 'r': t.ch = T(13); break;
    case 't': t.ch = T(9); break;
    case 'v': t.ch = T(11); break;
    case 'x':
    case 'u': {
        if (p + 2 < n && s[p + 2] == T('{')) {
            int count = 0;
            const unsigned v = RegexReadHexDigits(s + p + 3, n - (p + 3), 8, count);
            int q = p + 3 + count;
            while (q < n && s[q] != T('}')) ++q;
            if (q < n) ++q;
            t.ch = static_cast<T>(v);
            t.len = q - p;
            break;
        }
        int count = 0;
        const unsigned v = RegexReadHexDigits(s + p + 2, n - (p + 2), c == 'x' ? 2 : 4, count);
        if (count > 0) {
            t.ch = static_cast<T>(v);
            t.len = 2 + count;
        }
        break;
    }
    default: break;
    }
    m_nNextPos = p + t.len;
    return true;
}

template <class T>
int CRegexBuilderT<T>::ReadGroupNumber() {
    const CBufferT<T> text = ReadUntil(')');
    const std::string s = Narrow(text.GetBuffer(), text.GetSize());
    const char* p = s.c_str();
    int v = 0;
    return RegexReadDecimal(p, DecimalDigits(), v) ? v : 0;
}

template <class T>
CBufferT<T> CRegexBuilderT<T>::ReadUntil(char terminator) {
    CBufferT<T> out;
    while (!IsEnd(m_curr) && m_curr.ch != T(terminator)) {
        out.Push(m_curr.ch);
        Advance();
    }
    return out;
}

// A pattern nested too deeply compiles to nothing: stop scanning, so that every parse
// routine meets the end, and drop the root once the parse has unwound.
template <class T>
void CRegexBuilderT<T>::GiveUp() {
    m_bTooDeep = true;
    m_nNextPos = m_pattern.GetSize();
    m_bQuoted = 0;
    const Token end{T(0), kMeta, m_nNextPos, 0};
    m_curr = m_next = m_nextnext = end;
}

// ------------------------------------------------------------------------ build

template <class T>
void CRegexBuilderT<T>::Build(const T* pattern, int length, int flags) {
    m_pattern = CBufferRefT<T>(pattern, length < 0 ? 0 : length);
    m_nFlags = flags;
    m_nNextPos = 0;
    m_nCharsetDepth = 0;
    m_nMaxNumber = 0;
    m_nNextNamed = 0;
    m_bQuoted = 0;
    m_quoteConversion = 0;
    m_nGroupNesting = 0;
    m_bTooDeep = false;
    m_grouplist.Restore(0);
    m_recursivelist.Restore(0);
    m_namedlist.Restore(0);
    m_namedbackreflist.Restore(0);
    m_namedconditionlist.Restore(0);
    m_prev = m_curr = m_next = m_nextnext = Token{};
    Advance();
    Advance();
    Advance();

    ElxInterface* root = ParseAlternation(flags);
    if (m_bTooDeep) {
        m_pTopElx = nullptr;
        m_nMaxNumber = 0;
        return;
    }
    m_pTopElx = root;

    m_grouplist.Prepare(0, 0);
    m_grouplist[0] = root;
    // Named groups go after the numbered ones and are numbered after them; groups of
    // the same name (ASCII case ignored) share a number.
    for (int i = 0; i < m_namedlist.GetSize(); ++i) {
        NamedGroup& g = m_namedlist[i];
        m_grouplist.Push(g.list);
        if (g.open->m_nnumber < 1) {
            int num = FindGroupNumber(g.open->m_szNamed);
            if (num < 0) num = ++m_nMaxNumber;
            g.open->m_nnumber = num;
            g.close->m_nnumber = num;
        }
    }

    // The highest number is the largest on any group (digit names can set it).
    m_nMaxNumber = 0;
    m_groupNumbers.Restore(0);
    for (int i = 1; i < m_grouplist.GetSize(); ++i) {
        if (!m_grouplist[i]) continue;
        const auto* list = static_cast<const CListElxT*>(m_grouplist[i]);
        const auto* open = static_cast<const CBracketElxT<T>*>(list->m_elxlist[0]);
        if (open->m_nnumber > m_nMaxNumber) m_nMaxNumber = open->m_nnumber;
        if (open->m_nnumber >= 0) m_groupNumbers.Push(open->m_nnumber);
    }

    for (int i = 0; i < m_recursivelist.GetSize(); ++i) {
        CDelegateElxT<T>* d = m_recursivelist[i];
        if (d->m_ndata == -3) d->m_ndata = FindGroupNumber(d->m_szNamed);
        if (d->m_ndata == 0) {
            d->m_pelx = root;
        } else if (d->m_ndata > 0 && d->m_ndata <= m_nMaxNumber) {
            for (int j = 1; j < m_grouplist.GetSize(); ++j) {
                if (!m_grouplist[j]) continue;
                const auto* list = static_cast<const CListElxT*>(m_grouplist[j]);
                const auto* open = static_cast<const CBracketElxT<T>*>(list->m_elxlist[0]);
                if (open->m_nnumber == d->m_ndata) {
                    d->m_pelx = m_grouplist[j];
                    break;
                }
            }
        }
    }
    for (int i = 0; i < m_namedbackreflist.GetSize(); ++i) {
        CBackrefElxT<T>* b = m_namedbackreflist[i];
        b->m_nnumber = FindGroupNumber(b->m_szNamed);
    }
    for (int i = 0; i < m_namedconditionlist.GetSize(); ++i) {
        CConditionElxT<T>* cond = m_namedconditionlist[i];
        const int num = FindGroupNumber(cond->m_szNamed);
        if (num >= 0) {
            cond->m_nnumber = num;
            cond->m_pelxask = nullptr;
        }
    }
}

template <class T>
int CRegexBuilderT<T>::FindGroupNumber(const CBufferT<T>& name) const {
    for (int i = 0; i < m_namedlist.GetSize(); ++i) {
        if (SameName(m_namedlist[i].open->m_szNamed, name)) return m_namedlist[i].open->m_nnumber;
    }
    return -3;
}

template <class T>
bool CRegexBuilderT<T>::IsNumber(const CBufferT<T>& text, int& value) const {
    // A character above 255 (or a zero) ends the text, as it ends the narrowed copy.
    const std::string s = Narrow(text.GetBuffer(), text.GetSize());
    const char* p = s.c_str();
    int v = 0;
    if (!RegexReadDecimal(p, DecimalDigits(), v) || *p != '\0') return false;
    value = v;
    return true;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::StockElement(int index) {
    if (index < 0 || index > 16) index = 0;
    if (m_pStockElxs[index]) return m_pStockElxs[index];
    ElxInterface* e = nullptr;
    if (index == 0) {
        e = Make<CEmptyElxT>();
    } else {
        const int kind = (index - 1) % 8 + 1;  // 1..8
        const int rtl = index > 8 ? 1 : 0;
        const bool complement = kind == 1 || kind == 2 || kind == 4 || kind == 6 || kind == 8;
        auto* r = Make<CRangeElxT<T>>(rtl, complement ? 0 : 1);
        switch (kind) {
        case 2: r->m_chars.Push(T('\n')); break;
        case 3:
        case 4:
            r->m_ranges.Push(T('A'));
            r->m_ranges.Push(T('Z'));
            r->m_ranges.Push(T('a'));
            r->m_ranges.Push(T('z'));
            r->m_ranges.Push(T('0'));
            r->m_ranges.Push(T('9'));
            r->m_chars.Push(T('_'));
            break;
        case 5:
        case 6:
            r->m_chars.Push(T(' '));
            r->m_chars.Push(T('\t'));
            r->m_chars.Push(T('\r'));
            r->m_chars.Push(T('\n'));
            if (rtl) {
                r->m_chars.Push(T('\f'));
                r->m_chars.Push(T('\v'));
            }
            break;
        case 7:
        case 8:
            r->m_ranges.Push(T('0'));
            r->m_ranges.Push(T('9'));
            break;
        default: break;
        }
        e = r;
    }
    m_pStockElxs[index] = e;
    return e;
}

// ------------------------------------------------------------------------ parser

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseAlternation(int flags) {
    if (IsEnd(m_curr)) return StockElement(0);
    ElxInterface* first = ParseSequence(flags);
    if (!IsMeta(m_curr, '|')) return first;
    auto* alt = Make<CAlternativeElxT>();
    alt->m_elxlist.Push(first);
    while (IsMeta(m_curr, '|')) {
        Advance();
        alt->m_elxlist.Push(ParseSequence(flags));
    }
    return alt;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseSequence(int& flags) {
    if (IsTerminator(m_curr)) return StockElement(0);
    ElxInterface* first = ParseRepeat(flags);
    if (IsTerminator(m_curr)) return first;
    auto* list = Make<CListElxT>((flags & RightToLeft) ? 1 : 0);
    list->m_elxlist.Push(first);
    while (!IsTerminator(m_curr)) list->m_elxlist.Push(ParseRepeat(flags));
    return list;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseRepeat(int& flags) {
    ElxInterface* atom = ParseLiteralRun(flags);
    if (m_curr.type != kMeta || IsEnd(m_curr)) return atom;
    int minimum = 0;
    int maximum = 0;
    switch (Code(m_curr.ch)) {
    case '*':
        minimum = 0;
        maximum = kUnbounded;
        Advance();
        break;
    case '+':
        minimum = 1;
        maximum = kUnbounded;
        Advance();
        break;
    case '?':
        minimum = 0;
        maximum = 1;
        Advance();
        break;
    case '{': {
        Advance();
        CBufferT<T> body;
        while (!IsEnd(m_curr) && !IsMeta(m_curr, '}')) {
            body.Push(m_curr.ch);
            Advance();
        }
        if (IsMeta(m_curr, '}')) Advance();
        const std::string text = Narrow(body.GetBuffer(), body.GetSize());
        const char* p = text.c_str();
        if (!RegexReadDecimal(p, DecimalDigits(), minimum)) {
            minimum = maximum = 0;
        } else {
            // characters after the digits and before ',' are ignored
            while (*p && *p != ',') ++p;
            if (*p == ',') {
                ++p;
                if (!RegexReadDecimal(p, DecimalDigits(), maximum)) maximum = kUnbounded;
                if (maximum < minimum) maximum = minimum;
            } else {
                maximum = minimum;
            }
        }
        break;
    }
    default: return atom;
    }
    if (maximum == 0) return StockElement(0);
    if (minimum == maximum) {
        if (IsMeta(m_curr, '?') || IsMeta(m_curr, '+')) Advance();
        return Make<CRepeatElxT>(atom, minimum);
    }
    if (IsMeta(m_curr, '?')) {
        Advance();
        return Make<CReluctantElxT>(atom, minimum, maximum - minimum);
    }
    if (IsMeta(m_curr, '+')) {
        Advance();
        return Make<CPossessiveElxT>(atom, minimum, maximum - minimum);
    }
    return Make<CGreedyElxT>(atom, minimum, maximum - minimum);
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseLiteralRun(int& flags) {
    CBufferT<T> chars;
    for (;;) {
        if (IsEnd(m_curr)) break;
        if (m_curr.type == kMeta) {
            if (IsMeta(m_curr, ')') || IsMeta(m_curr, '|')) break;
            if (chars.GetSize() > 0) break;
            switch (Code(m_curr.ch)) {
            case '(': return ParseGroup(flags);
            case '.':
            case '[':
            case 'D':
            case 'S':
            case 'W':
            case 'd':
            case 's':
            case 'w': return ParseClass(flags);
            case '$':
            case '^':
            case 'A':
            case 'B':
            case 'G':
            case 'Z':
            case 'b':
            case 'z': return ParseAnchor(flags);
            case '\\':
            case 'g':
            case 'k': return ParseBackReference(flags);
            default:  // a quantifier with nothing to repeat, '}' and the like
                chars.Push(m_curr.ch);
                Advance();
                continue;
            }
        }
        if (m_next.type == kMeta && IsQuantifierMeta(Code(m_next.ch))) {
            if (chars.GetSize() > 0) break;
            chars.Push(m_curr.ch);
            Advance();
            break;
        }
        chars.Push(m_curr.ch);
        Advance();
    }
    if (chars.GetSize() == 0) return StockElement(0);
    return Make<CStringElxT<T>>(chars.GetBuffer(), chars.GetSize(), (flags & RightToLeft) ? 1 : 0,
                                (flags & IgnoreCase) ? 1 : 0);
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseGroup(int& flags) {
    if (m_nGroupNesting >= kRegexMaxGroupNesting) {
        GiveUp();
        return StockElement(0);
    }
    struct Nest {
        int& n;
        explicit Nest(int& v) : n(v) { ++n; }
        ~Nest() { --n; }
    } nest(m_nGroupNesting);

    const int rtl = (flags & RightToLeft) ? 1 : 0;
    Advance();  // past '('
    if (!IsMeta(m_curr, '?')) {
        const int number = ++m_nMaxNumber;
        auto* list = Make<CListElxT>(rtl);
        auto* open = Make<CBracketElxT<T>>(number, rtl);
        ElxInterface* body = ParseAlternation(flags);
        auto* close = Make<CBracketElxT<T>>(number, rtl ? 0 : 1);
        list->m_elxlist.Push(open);
        list->m_elxlist.Push(body);
        list->m_elxlist.Push(close);
        m_grouplist.Prepare(number, 0);
        m_grouplist[number] = list;
        SkipCloseParen();
        return list;
    }

    Advance();  // past '?'
    const unsigned c = IsEnd(m_curr) ? 0 : Code(m_curr.ch);
    if (c == '=' || c == '!') {
        Advance();
        auto* e = Make<CAssertElxT>(ParseAlternation(flags & ~RightToLeft), c == '=' ? 1 : 0);
        SkipCloseParen();
        return e;
    }
    if (c == '<' && (m_next.ch == T('=') || m_next.ch == T('!')) && !IsEnd(m_next)) {
        const int positive = m_next.ch == T('=') ? 1 : 0;
        Advance();
        Advance();
        auto* e = Make<CAssertElxT>(ParseAlternation(flags | RightToLeft), positive);
        SkipCloseParen();
        return e;
    }
    if (c == '<' || c == '\'' || c == 'P') return ParseNamedGroup(flags);
    if (c == '>') {
        Advance();
        auto* e = Make<CIndependentElxT>(ParseAlternation(flags));
        SkipCloseParen();
        return e;
    }
    if (c == '(' && m_curr.type == kMeta) return ParseCondition(flags);
    if (c == 'R') {
        Advance();
        while (IsBlank(m_curr)) Advance();
        auto* d = Make<CDelegateElxT<T>>();
        if (!IsEnd(m_curr) && (m_curr.ch == T('<') || m_curr.ch == T('\''))) {
            const char term = m_curr.ch == T('<') ? '>' : '\'';
            Advance();
            d->m_ndata = -3;
            d->m_szNamed = ReadUntil(term);
            if (!IsEnd(m_curr)) Advance();
            int v = 0;
            if (IsNumber(d->m_szNamed, v)) {
                d->m_ndata = v;
                d->m_szNamed.Restore(0);
            }
        } else {
            d->m_ndata = ReadGroupNumber();
        }
        m_recursivelist.Push(d);
        SkipCloseParen();
        return d;
    }

    while (IsBlank(m_curr)) Advance();
    if (!IsEnd(m_curr) && IsDigit(Code(m_curr.ch))) {
        auto* d = Make<CDelegateElxT<T>>();
        d->m_ndata = ReadGroupNumber();
        m_recursivelist.Push(d);
        SkipCloseParen();
        return d;
    }

    // inline flags
    int newFlags = flags;
    bool clear = false;
    ElxInterface* result = nullptr;
    while (!IsEnd(m_curr)) {
        if (IsMeta(m_curr, '(')) {
            result = ParseAlternation(newFlags);
            break;
        }
        if (m_curr.ch == T(':')) {
            Advance();
            result = ParseAlternation(newFlags);
            break;
        }
        if (IsMeta(m_curr, ')')) {
            flags = newFlags;
            break;
        }
        int bit = 0;
        switch (Code(m_curr.ch)) {
        case 'i':
        case 'I': bit = IgnoreCase; break;
        case 'm':
        case 'M': bit = MultiLine; break;
        case 's':
        case 'S': bit = DotAll; break;
        case 'g':
        case 'G': bit = Global; break;
        case '-': clear = true; break;
        default: break;
        }
        if (bit) newFlags = clear ? (newFlags & ~bit) : (newFlags | bit);
        Advance();
    }
    SkipCloseParen();
    return result ? result : StockElement(0);
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseNamedGroup(int& flags) {
    if (m_curr.ch == T('P')) Advance();
    const char term = m_curr.ch == T('\'') && !IsEnd(m_curr) ? '\'' : '>';
    Advance();  // past the opener
    const int rtl = (flags & RightToLeft) ? 1 : 0;
    auto* list = Make<CListElxT>(rtl);
    auto* open = Make<CBracketElxT<T>>(-1, rtl);
    auto* close = Make<CBracketElxT<T>>(-1, rtl ? 0 : 1);
    open->m_szNamed = ReadUntil(term);
    if (!IsEnd(m_curr)) Advance();
    int v = 0;
    if (IsNumber(open->m_szNamed, v)) {
        open->m_nnumber = v;
        close->m_nnumber = v;
        open->m_szNamed.Restore(0);
    }
    list->m_elxlist.Push(open);
    list->m_elxlist.Push(ParseAlternation(flags));
    list->m_elxlist.Push(close);
    m_namedlist.Push(NamedGroup{list, open, close});
    ++m_nNextNamed;
    SkipCloseParen();
    return list;
}

// "(?(" cond ")" yes ["|" no] ")": the current token is the '(' of the condition.
template <class T>
ElxInterface* CRegexBuilderT<T>::ParseCondition(int& flags) {
    auto* cond = Make<CConditionElxT<T>>();
    if (IsMeta(m_next, '?')) {
        cond->m_pelxask = ParseGroup(flags);
    } else {
        Advance();  // past '('
        const int from = m_curr.pos;
        cond->m_pelxask = Make<CAssertElxT>(ParseAlternation(flags), 1);
        int to = m_curr.pos;
        if (to > m_pattern.GetSize()) to = m_pattern.GetSize();
        if (to > from) cond->m_szNamed = CBufferT<T>(m_pattern.GetBuffer() + from, to - from);
        int v = 0;
        if (IsNumber(cond->m_szNamed, v)) {
            cond->m_nnumber = v;
            cond->m_pelxask = nullptr;
        } else {
            m_namedconditionlist.Push(cond);
        }
        SkipCloseParen();
    }
    int yesFlags = flags;
    cond->m_pelxyes = ParseSequence(yesFlags);
    if (IsMeta(m_curr, '|')) {
        Advance();
        cond->m_pelxno = ParseAlternation(flags);
    }
    SkipCloseParen();
    return cond;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseClass(int& flags) {
    const unsigned c = Code(m_curr.ch);
    const int rtl = (flags & RightToLeft) ? 1 : 0;
    Advance();
    switch (c) {
    case '.':
        if (flags & DotAll) return StockElement(rtl ? 9 : 1);
        return StockElement(rtl ? 10 : 2);
    case 'w': return StockElement(rtl ? 11 : 3);
    case 'W': return StockElement(rtl ? 12 : 4);
    case 's': return StockElement(rtl ? 13 : 5);
    case 'S': return StockElement(rtl ? 14 : 6);
    case 'd': return StockElement(rtl ? 15 : 7);
    case 'D': return StockElement(rtl ? 16 : 8);
    case '[': break;
    default: return StockElement(0);
    }

    if (IsMeta(m_curr, ':')) {  // POSIX class
        CBufferT<T> text;
        while (!IsEnd(m_curr) && !IsMeta(m_curr, ']')) {
            text.Push(m_curr.ch);
            Advance();
        }
        if (IsMeta(m_curr, ']')) Advance();
        std::string name = Narrow(text.GetBuffer(), text.GetSize());
        if (!name.empty()) name.erase(0, 1);  // the ':'
        int positive = 1;
        if (!name.empty() && name[0] == '^') {
            positive = 0;
            name.erase(0, 1);
        }
        static const struct {
            const char* name;
            PosixTest test;
        } kClasses[] = {
            {"alnum:", PosixAlnum}, {"alpha:", PosixAlpha}, {"ascii:", PosixAscii}, {"cntrl:", PosixCntrl},
            {"digit:", PosixDigit}, {"graph:", PosixGraph}, {"lower:", PosixLower}, {"print:", PosixPrint},
            {"punct:", PosixPunct}, {"space:", PosixSpace}, {"upper:", PosixUpper}, {"blank:", PosixBlank},
        };
        PosixTest test = nullptr;
        for (const auto& k : kClasses) {
            if (name.compare(0, 6, k.name) == 0) test = k.test;
        }
        if (name.compare(0, 7, "xdigit:") == 0) test = PosixXDigit;
        return Make<CPosixElxT<T>>(test, rtl, positive);
    }

    auto* range = Make<CRangeElxT<T>>(rtl, 1);
    if (IsMeta(m_curr, '^')) {
        range->m_bPositive = 0;
        Advance();
    }
    while (!IsEnd(m_curr) && !IsMeta(m_curr, ']')) {
        if (m_curr.type == kMeta) {
            const unsigned k = Code(m_curr.ch);
            if (k == '.' || k == 'D' || k == 'S' || k == 'W' || k == 'd' || k == 's' || k == 'w' ||
                (k == '[' && IsMeta(m_next, ':'))) {
                range->m_embeds.Push(ParseClass(flags));
                continue;
            }
        }
        if (IsMeta(m_next, '-') && m_nextnext.type == kLiteral) {
            range->m_ranges.Push(m_curr.ch);
            range->m_ranges.Push(m_nextnext.ch);
            Advance();
            Advance();
            Advance();
            continue;
        }
        range->m_chars.Push(m_curr.ch);
        Advance();
    }
    if (IsMeta(m_curr, ']')) Advance();

    if (flags & IgnoreCase) {
        // Only what was there before widening is examined.
        const int pairs = range->m_ranges.GetSize();
        const int singles = range->m_chars.GetSize();
        for (int i = 0; i + 1 < pairs; i += 2) {
            const int lo = Ord(range->m_ranges[i]);
            const int hi = Ord(range->m_ranges[i + 1]);
            if (lo <= 'Z' && hi >= 'A') {
                const int a = static_cast<int>(ToLower(static_cast<unsigned>(lo > 'A' ? lo : 'A')));
                const int b = static_cast<int>(ToLower(static_cast<unsigned>(hi < 'Z' ? hi : 'Z')));
                if (!(a >= lo && b <= hi)) {
                    range->m_ranges.Push(static_cast<T>(a));
                    range->m_ranges.Push(static_cast<T>(b));
                }
            }
            if (lo <= 'z' && hi >= 'a') {
                const int a = static_cast<int>(ToUpper(static_cast<unsigned>(lo > 'a' ? lo : 'a')));
                const int b = static_cast<int>(ToUpper(static_cast<unsigned>(hi < 'z' ? hi : 'z')));
                if (!(a >= lo && b <= hi)) {
                    range->m_ranges.Push(static_cast<T>(a));
                    range->m_ranges.Push(static_cast<T>(b));
                }
            }
        }
        // Which ASCII letters the class holds by now, so that a long class is widened
        // in one pass.
        bool holds[128] = {};
        for (int i = 0; i + 1 < range->m_ranges.GetSize(); i += 2) {
            const int lo = Ord(range->m_ranges[i]);
            const int hi = Ord(range->m_ranges[i + 1]);
            for (int a = lo < 0 ? 0 : lo; a <= hi && a < 128; ++a) holds[a] = true;
        }
        for (int i = 0; i < range->m_chars.GetSize(); ++i) {
            const unsigned u = Code(range->m_chars[i]);
            if (u < 128) holds[u] = true;
        }
        for (int i = 0; i < singles; ++i) {
            const T ch = range->m_chars[i];
            const unsigned u = Code(ch);
            if (!IsAlpha(u)) continue;
            const unsigned other = IsUpper(u) ? ToLower(u) : ToUpper(u);
            if (!holds[other]) {
                holds[other] = true;
                range->m_chars.Push(static_cast<T>(other));
            }
        }
    }
    return range;
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseAnchor(int& flags) {
    const unsigned c = Code(m_curr.ch);
    Advance();
    switch (c) {
    case '^': return Make<CBoundaryElxT<T>>((flags & MultiLine) ? 3 : 0, 1);
    case '$': return Make<CBoundaryElxT<T>>((flags & MultiLine) ? 4 : 1, 1);
    case 'A': return Make<CBoundaryElxT<T>>(0, 1);
    case 'z': return Make<CBoundaryElxT<T>>(1, 1);
    case 'Z': return Make<CBoundaryElxT<T>>(2, 1);
    case 'b': return Make<CBoundaryElxT<T>>(7, 1);
    case 'B': return Make<CBoundaryElxT<T>>(7, 0);
    case 'G':
        if (flags & Global) return Make<CGlobalElxT>();
        return StockElement(0);
    default: return StockElement(0);
    }
}

template <class T>
ElxInterface* CRegexBuilderT<T>::ParseBackReference(int& flags) {
    Advance();  // past '\', 'g' or 'k'
    const int rtl = (flags & RightToLeft) ? 1 : 0;
    const int icase = (flags & IgnoreCase) ? 1 : 0;
    if (!IsEnd(m_curr) && (m_curr.ch == T('<') || m_curr.ch == T('\''))) {
        const char term = m_curr.ch == T('<') ? '>' : '\'';
        Advance();
        CBufferT<T> name = ReadUntil(term);
        if (!IsEnd(m_curr)) Advance();
        int v = 0;
        if (IsNumber(name, v)) return Make<CBackrefElxT<T>>(v, rtl, icase);
        auto* b = Make<CBackrefElxT<T>>(-1, rtl, icase);
        b->m_szNamed = std::move(name);
        m_namedbackreflist.Push(b);
        return b;
    }
    int number = 0;
    for (int i = 0; i < 3 && !IsEnd(m_curr) && IsDigit(Code(m_curr.ch)); ++i) {
        number = number * 10 + static_cast<int>(Code(m_curr.ch) - '0');
        Advance();
    }
    return Make<CBackrefElxT<T>>(number, rtl, icase);
}

template class CRegexBuilderT<char>;
template class CRegexBuilderT<char16_t>;
template unsigned RegexReadHexDigits<char>(const char*, int, int, int&);
template unsigned RegexReadHexDigits<char16_t>(const char16_t*, int, int, int&);
