// Differential test against PCRE2 on a generated corpus, restricted to the part of the
// language where both engines must agree: ASCII subjects without line breaks, classes,
// anchors, groups, alternation, bounded and unbounded quantifiers (lazy and possessive
// too) on atoms that have a single way to match, '?' on any group whose every way is
// non-empty, atomic groups, look-ahead, fixed-length look-behind, back-references,
// conditionals on closed groups and (?i). For every pair the test compares whether it
// matched and group 0. The deliberate differences are tested one by one at the end.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libs/regex/regex_engine.h"
#include "tests/libs/regex/regex_test_util.h"

namespace {

// ------------------------------------------------------------------ PCRE2 side

struct PcreResult {
    bool compiled = false;
    bool matched = false;
    int start = -1;
    int end = -1;
    std::string error;
};

PcreResult RunPcre(const std::string& pattern, const std::string& subject) {
    PcreResult out;
    int err = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* code =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.c_str()), pattern.size(), 0, &err, &offset, nullptr);
    if (!code) {
        PCRE2_UCHAR text[256];
        pcre2_get_error_message(err, text, sizeof text);
        out.error = reinterpret_cast<const char*>(text);
        return out;
    }
    out.compiled = true;
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, md, nullptr);
    if (rc >= 0) {
        const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
        out.matched = true;
        out.start = static_cast<int>(ov[0]);
        out.end = static_cast<int>(ov[1]);
    } else if (rc != PCRE2_ERROR_NOMATCH) {
        out.compiled = false;  // resource limits: not comparable
    }
    pcre2_match_data_free(md);
    pcre2_code_free(code);
    return out;
}

// ------------------------------------------------------------------ generator

class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint32_t Next() {  // splitmix64
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<uint32_t>((z ^ (z >> 31)) >> 32);
    }
    int Below(int n) { return static_cast<int>(Next() % static_cast<uint32_t>(n)); }
    bool Percent(int p) { return Below(100) < p; }
    template <class T, size_t N>
    const T& Pick(const T (&a)[N]) {
        return a[Below(static_cast<int>(N))];
    }

private:
    uint64_t m_state;
};

const char kSubjectAlphabet[] = "abcABC12-_ .";

struct Node;
using NodeP = std::unique_ptr<Node>;
using Seq = std::vector<NodeP>;

struct Node {
    enum Kind { Lit, Class, Group, Quant, Anchor, Backref, Look, Cond } kind = Lit;
    std::string text;     // Lit, Class, Anchor: pattern text
    std::string members;  // Lit, Class: characters to sample from (empty: any)
    bool icase = false;   // sampling may flip letter case
    int groupKind = 0;    // 0 capture, 1 (?:, 2 (?>, 3 (?i:
    int number = 0;       // capture number, back-reference or condition group
    std::vector<Seq> alts;
    NodeP sub;             // Quant
    int min = 0, max = 0;  // Quant; max -1 unbounded
    std::string suffix;    // Quant: "", "?" or "+"
    std::string quantText;
    std::string lookOpen;  // Look: "(?=", "(?!", "(?<=", "(?<!"; Cond with a look-ahead
    NodeP condLook;
    int minLen = 0;
};

struct ClassDef {
    const char* text;
    const char* members;
};
const ClassDef kClasses[] = {
    {"[abc]", "abc"},
    {"[a-c]", "abc"},
    {"[^a]", "bcAB1-_ ."},
    {"[^ab1]", "cAB2-_ ."},
    {"[A-Ca]", "ABCa"},
    {"[\\d-]", "12-"},
    {"[[:alpha:]]", "abcABC"},
    {"[[:^digit:]]", "abA-_ ."},
    {"[[:digit:]_]", "12_"},
    {"[-a]", "-a"},
    {"[a-]", "a-"},
    {"[.]", "."},
    {"\\d", "12"},
    {"\\w", "abcAB12_"},
    {"\\s", " "},
    {"\\D", "abA-. "},
    {"\\W", "- ."},
    {"\\S", "abc1-"},
    {".", ""},
};
const char* const kLiterals[] = {"a", "a", "b", "b", "c", "A", "1", "-", " ", "\\.", "\\-", "_"};

class PatternGenerator {
public:
    explicit PatternGenerator(Random& r) : m_r(r) {}

    // A pattern and one subject built along it (which may or may not match).
    std::string Make(std::string& sample) {
        m_groups = 0;
        m_closed.clear();
        m_icase = m_r.Percent(15);
        std::vector<Seq> alts = GenAlternatives(2, false);
        std::string pattern = m_icase ? "(?i)" : "";
        pattern += PrintAlts(alts);
        m_captures.assign(m_groups + 1, std::string());
        m_set.assign(m_groups + 1, false);
        sample = SampleAlts(alts);
        return pattern;
    }

private:
    // -------------------------------------------------------------- building

    std::vector<Seq> GenAlternatives(int depth, bool icase) {
        std::vector<Seq> alts;
        const int n = m_r.Percent(70) ? 1 : 2 + m_r.Below(2);
        for (int i = 0; i < n; ++i) alts.push_back(GenSeq(depth, icase));
        return alts;
    }

    Seq GenSeq(int depth, bool icase) {
        Seq seq;
        const int n = 1 + m_r.Below(3);
        for (int i = 0; i < n; ++i) seq.push_back(GenItem(depth, icase));
        return seq;
    }

    NodeP GenItem(int depth, bool icase) {
        const int roll = m_r.Below(100);
        if (roll < 50 || depth <= 0) {
            NodeP atom = GenDetAtom(depth, icase);
            if (m_r.Percent(45)) return Quantify(std::move(atom), true);
            return atom;
        }
        if (roll < 66) {
            NodeP g = GenGroup(depth, icase, false);
            if (g->minLen >= 1 && m_r.Percent(30)) {
                auto q = std::make_unique<Node>();
                q->kind = Node::Quant;
                q->min = 0;
                q->max = 1;
                q->quantText = "?";
                q->suffix = m_r.Percent(30) ? "?" : "";
                q->sub = std::move(g);
                q->minLen = 0;
                return q;
            }
            return g;
        }
        if (roll < 74) {
            static const char* const kAnchors[] = {"^", "$", "\\b", "\\B", "\\A", "\\z", "\\Z"};
            auto n = std::make_unique<Node>();
            n->kind = Node::Anchor;
            n->text = m_r.Pick(kAnchors);
            return n;
        }
        if (roll < 82 && !m_closed.empty()) {
            auto n = std::make_unique<Node>();
            n->kind = Node::Backref;
            n->number = m_closed[m_r.Below(static_cast<int>(m_closed.size()))];
            n->icase = icase || m_icase;
            return n;
        }
        if (roll < 93) {
            auto n = std::make_unique<Node>();
            n->kind = Node::Look;
            const int k = m_r.Below(4);
            static const char* const kOpen[] = {"(?=", "(?!", "(?<=", "(?<!"};
            n->lookOpen = kOpen[k];
            if (k < 2)
                n->alts = GenAlternatives(depth - 1, icase);
            else
                n->alts = GenFixedAlternatives(icase);
            return n;
        }
        if (!m_closed.empty() || m_r.Percent(50)) {
            auto n = std::make_unique<Node>();
            n->kind = Node::Cond;
            if (!m_closed.empty() && m_r.Percent(60)) {
                n->number = m_closed[m_r.Below(static_cast<int>(m_closed.size()))];
            } else {
                n->number = -1;
                n->condLook = std::make_unique<Node>();
                n->condLook->kind = Node::Look;
                n->condLook->lookOpen = m_r.Percent(50) ? "(?=" : "(?!";
                n->condLook->alts = GenAlternatives(depth - 1, icase);
            }
            n->alts.push_back(GenSeq(depth - 1, icase));
            if (m_r.Percent(80)) n->alts.push_back(GenSeq(depth - 1, icase));
            n->minLen = 0;
            return n;
        }
        return GenDetAtom(depth, icase);
    }

    // Atoms with exactly one way to match, always consuming at least one character.
    NodeP GenDetAtom(int depth, bool icase) {
        const int roll = m_r.Below(100);
        auto n = std::make_unique<Node>();
        n->icase = icase || m_icase;
        n->minLen = 1;
        if (roll < 50 || (depth <= 0 && roll < 70)) {
            n->kind = Node::Lit;
            n->text = m_r.Pick(kLiterals);
            n->members = n->text.substr(n->text.size() - 1);
            return n;
        }
        if (roll < 85 || depth <= 0) {
            const ClassDef& c = m_r.Pick(kClasses);
            n->kind = Node::Class;
            n->text = c.text;
            n->members = c.members;
            return n;
        }
        if (roll < 93) return GenGroup(depth, icase, true);
        // atomic group over anything whose every way is non-empty
        for (int tries = 0; tries < 4; ++tries) {
            const int number = m_groups;
            auto g = std::make_unique<Node>();
            g->kind = Node::Group;
            g->groupKind = 2;
            g->alts = GenAlternatives(depth - 1, icase);
            g->minLen = MinLenAlts(g->alts);
            if (g->minLen >= 1) return g;
            m_groups = number;  // drop groups made inside the rejected try
            while (!m_closed.empty() && m_closed.back() > number) m_closed.pop_back();
        }
        n->kind = Node::Lit;
        n->text = "b";
        n->members = "b";
        return n;
    }

    // det: a group of single-way items (unquantified, fixed count or possessive).
    NodeP GenGroup(int depth, bool icase, bool det) {
        auto g = std::make_unique<Node>();
        g->kind = Node::Group;
        const int roll = m_r.Below(100);
        g->groupKind = roll < 60 ? 0 : roll < 85 ? 1 : roll < 93 ? 3 : 2;
        if (det && g->groupKind == 2) g->groupKind = 1;
        const bool inner = icase || g->groupKind == 3;
        if (g->groupKind == 0) g->number = ++m_groups;
        if (det) {
            Seq seq;
            const int n = 1 + m_r.Below(3);
            for (int i = 0; i < n; ++i) {
                NodeP a = GenDetAtom(depth - 1, inner);
                if (m_r.Percent(25)) a = Quantify(std::move(a), false);
                seq.push_back(std::move(a));
            }
            g->alts.push_back(std::move(seq));
        } else {
            g->alts = GenAlternatives(depth - 1, inner);
        }
        g->minLen = MinLenAlts(g->alts);
        if (g->groupKind == 0) m_closed.push_back(g->number);
        return g;
    }

    // Any quantifier (general) or only single-way ones: {n} and possessive with a
    // minimum of one.
    NodeP Quantify(NodeP atom, bool general) {
        auto q = std::make_unique<Node>();
        q->kind = Node::Quant;
        const int kind = general ? m_r.Below(6) : 3 + m_r.Below(2);
        switch (kind) {
        case 0:
            q->min = 0;
            q->max = -1;
            q->quantText = "*";
            break;
        case 1:
            q->min = 1;
            q->max = -1;
            q->quantText = "+";
            break;
        case 2:
            q->min = 0;
            q->max = 1;
            q->quantText = "?";
            break;
        case 3:
            q->min = q->max = 1 + m_r.Below(3);
            q->quantText = "{" + std::to_string(q->min) + "}";
            break;
        case 4: {
            q->min = 1 + m_r.Below(2);
            q->max = q->min + 1 + m_r.Below(2);
            q->quantText = "{" + std::to_string(q->min) + "," + std::to_string(q->max) + "}";
            break;
        }
        default: {
            q->min = m_r.Below(3);
            if (m_r.Percent(50)) {
                q->max = -1;
                q->quantText = "{" + std::to_string(q->min) + ",}";
            } else {
                q->max = q->min + 1 + m_r.Below(3);
                q->quantText = "{" + std::to_string(q->min) + "," + std::to_string(q->max) + "}";
            }
            break;
        }
        }
        if (q->min != q->max) {
            if (!general)
                q->suffix = "+";
            else
                q->suffix = m_r.Percent(30) ? "?" : m_r.Percent(25) ? "+" : "";
        }
        q->minLen = q->min * atom->minLen;
        q->sub = std::move(atom);
        return q;
    }

    // Look-behind contents: alternatives of fixed length.
    std::vector<Seq> GenFixedAlternatives(bool icase) {
        std::vector<Seq> alts;
        const int n = m_r.Percent(70) ? 1 : 2;
        for (int i = 0; i < n; ++i) {
            Seq seq;
            const int k = 1 + m_r.Below(3);
            for (int j = 0; j < k; ++j) {
                NodeP a = GenDetAtom(0, icase);
                if (m_r.Percent(20)) {
                    auto q = std::make_unique<Node>();
                    q->kind = Node::Quant;
                    q->min = q->max = 2;
                    q->quantText = "{2}";
                    q->minLen = 2;
                    q->sub = std::move(a);
                    a = std::move(q);
                }
                seq.push_back(std::move(a));
            }
            alts.push_back(std::move(seq));
        }
        return alts;
    }

    static int MinLenSeq(const Seq& s) {
        int n = 0;
        for (const auto& i : s) n += i->minLen;
        return n;
    }
    static int MinLenAlts(const std::vector<Seq>& alts) {
        int best = 1 << 20;
        for (const auto& a : alts) best = std::min(best, MinLenSeq(a));
        return alts.empty() ? 0 : best;
    }

    // -------------------------------------------------------------- printing

    static std::string PrintAlts(const std::vector<Seq>& alts) {
        std::string s;
        for (size_t i = 0; i < alts.size(); ++i) {
            if (i) s += "|";
            for (const auto& n : alts[i]) s += Print(*n);
        }
        return s;
    }

    static std::string Print(const Node& n) {
        switch (n.kind) {
        case Node::Lit:
        case Node::Class:
        case Node::Anchor: return n.text;
        case Node::Group: {
            static const char* const kOpen[] = {"(", "(?:", "(?>", "(?i:"};
            return kOpen[n.groupKind] + PrintAlts(n.alts) + ")";
        }
        case Node::Quant: return Print(*n.sub) + n.quantText + n.suffix;
        case Node::Backref: return "\\" + std::to_string(n.number);
        case Node::Look: return n.lookOpen + PrintAlts(n.alts) + ")";
        case Node::Cond: {
            std::string s = "(?";
            s += n.number >= 0 ? "(" + std::to_string(n.number) + ")"
                               : n.condLook->lookOpen + PrintAlts(n.condLook->alts) + ")";
            for (const auto& i : n.alts[0]) s += Print(*i);
            if (n.alts.size() > 1) {
                s += "|";
                for (const auto& i : n.alts[1]) s += Print(*i);
            }
            return s + ")";
        }
        }
        return {};
    }

    // -------------------------------------------------------------- sampling

    char Flip(char c, bool icase) {
        if (!icase || !m_r.Percent(50)) return c;
        if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
        if (c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
        return c;
    }

    std::string SampleAlts(const std::vector<Seq>& alts) {
        if (alts.empty()) return {};
        const Seq& s = alts[m_r.Below(static_cast<int>(alts.size()))];
        std::string out;
        for (const auto& n : s) out += Sample(*n);
        return out;
    }

    std::string Sample(const Node& n) {
        switch (n.kind) {
        case Node::Lit:
        case Node::Class: {
            if (n.members.empty()) return std::string(1, kSubjectAlphabet[m_r.Below(sizeof kSubjectAlphabet - 1)]);
            return std::string(1, Flip(n.members[m_r.Below(static_cast<int>(n.members.size()))], n.icase));
        }
        case Node::Group: {
            std::string s = SampleAlts(n.alts);
            if (n.groupKind == 0 && n.number < static_cast<int>(m_captures.size())) {
                m_captures[n.number] = s;
                m_set[n.number] = true;
            }
            return s;
        }
        case Node::Quant: {
            const int top = n.max < 0 ? n.min + 3 : n.max;
            const int count = n.min + m_r.Below(top - n.min + 1);
            std::string s;
            for (int i = 0; i < count; ++i) s += Sample(*n.sub);
            return s;
        }
        case Node::Backref:
            return n.number < static_cast<int>(m_captures.size()) ? m_captures[n.number] : std::string();
        case Node::Cond: {
            bool yes = m_r.Percent(50);
            if (n.number >= 0 && n.number < static_cast<int>(m_set.size())) yes = m_set[n.number];
            if (yes) {
                std::string s;
                for (const auto& i : n.alts[0]) s += Sample(*i);
                return s;
            }
            std::string s;
            if (n.alts.size() > 1)
                for (const auto& i : n.alts[1]) s += Sample(*i);
            return s;
        }
        case Node::Anchor:
        case Node::Look: return {};
        }
        return {};
    }

    Random& m_r;
    int m_groups = 0;
    std::vector<int> m_closed;
    bool m_icase = false;
    std::vector<std::string> m_captures;
    std::vector<bool> m_set;
};

std::string Mutate(Random& r, std::string s) {
    const int edits = r.Below(3);
    for (int i = 0; i < edits; ++i) {
        const char c = kSubjectAlphabet[r.Below(sizeof kSubjectAlphabet - 1)];
        const int op = r.Below(3);
        const int at = s.empty() ? 0 : r.Below(static_cast<int>(s.size()) + 1);
        if (op == 0 || s.empty())
            s.insert(s.begin() + at, c);
        else if (op == 1 && at < static_cast<int>(s.size()))
            s.erase(s.begin() + at);
        else if (at < static_cast<int>(s.size()))
            s[at] = c;
    }
    return s;
}

std::string RandomText(Random& r, int maxLen) {
    std::string s;
    const int n = r.Below(maxLen + 1);
    for (int i = 0; i < n; ++i) s += kSubjectAlphabet[r.Below(sizeof kSubjectAlphabet - 1)];
    return s;
}

TEST(RegexPcreDifferential, GeneratedCorpusAgreesOnMatchAndGroupZero) {
    Random rnd(0x5EED2026u);
    PatternGenerator gen(rnd);
    constexpr int kPatterns = 1500;
    int pairs = 0;
    int matched = 0;
    int mismatches = 0;
    for (int p = 0; p < kPatterns; ++p) {
        std::string sample;
        const std::string pattern = gen.Make(sample);
        std::vector<std::string> subjects = {sample, Mutate(rnd, sample),
                                             RandomText(rnd, 3) + sample + RandomText(rnd, 3), RandomText(rnd, 10)};
        CRegexT<char> ours(pattern.c_str(), 0);
        for (const std::string& subject : subjects) {
            const PcreResult ref = RunPcre(pattern, subject);
            ASSERT_TRUE(ref.compiled) << "generated pattern PCRE2 rejects: " << pattern << " (" << ref.error << ")";
            const CBufferT<int> r = ours.MatchBuffer(subject.data(), static_cast<int>(subject.size()));
            const bool ok = r.GetSize() > 0;
            ++pairs;
            matched += ref.matched ? 1 : 0;
            const bool same = ok == ref.matched && (!ok || (r[2] == ref.start && r[3] == ref.end));
            if (!same && ++mismatches <= 20) {
                ADD_FAILURE() << "pattern \"" << pattern << "\" subject \"" << subject << "\": ours "
                              << (ok ? std::to_string(r[2]) + ".." + std::to_string(r[3]) : "no match") << ", PCRE2 "
                              << (ref.matched ? std::to_string(ref.start) + ".." + std::to_string(ref.end)
                                              : "no match");
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(pairs, kPatterns * 4);
    // the corpus is only useful when both outcomes are common
    EXPECT_GT(matched, pairs / 4);
    EXPECT_LT(matched, pairs * 9 / 10);
}

// ------------------------------------------------------------------ deliberate differences

struct Difference {
    const char* pattern;
    std::string subject;
    std::pair<int, int> ours;  // group 0, {-1, -1}: no match
    std::pair<int, int> pcre;  // {-2, -2}: PCRE2 rejects the pattern
    const char* why;
};

TEST(RegexPcreDifferential, DeliberateDifferences) {
    const Difference kCases[] = {
        {"(a|ab)*c",
         "abac",
         {2, 4},
         {0, 4},
         "a greedy repeat gives back its last iteration's other ways but never re-extends after them"},
        {"(?:|a)*", "aa", {0, 2}, {0, 0}, "an empty iteration is refused and its non-empty way taken"},
        {"(a|)+b", "aab", {0, 3}, {0, 3}, "(agrees: control for the empty-iteration rule)"},
        {"^a$", "a\n", {-1, -1}, {0, 1}, "'$' matches only at the end of the text"},
        {"x{}", "x{}", {0, 0}, {0, 3}, "a brace form without a number drops the atom"},
        {"x{,3}", "xxx", {0, 0}, {-3, -3}, "'{,m}' drops the atom (other engines differ by version)"},
        {"^a{1000}$", std::string(100, 'a'), {0, 100}, {-1, -1}, "at most three digits are read"},
        {"\\sx", "\fx", {-1, -1}, {0, 2}, "\\s left to right is space, HT, CR and LF only"},
        {"[\\x00-\\xff]", "a", {-1, -1}, {0, 1}, "8-bit range ends compare as signed characters"},
        {"(?i)[[:upper:]]", "a", {-1, -1}, {0, 1}, "(?i) does not widen POSIX classes"},
        {"a\\", "a\\", {0, 2}, {-2, -2}, "a lone backslash at the end is literal"},
        {"[:digit:]", "5", {0, 1}, {-2, -2}, "a POSIX class may stand outside brackets"},
        {"(?<=a+)b", "aab", {2, 3}, {-2, -2}, "look-behind may have any length"},
        {"[b-a]|c", "bc", {1, 2}, {-2, -2}, "a range whose end is below its start matches nothing"},
    };
    for (const Difference& d : kCases) {
        EXPECT_EQ(Whole(Run8(d.pattern, d.subject)), d.ours) << d.pattern << ": " << d.why;
        if (d.pcre.first == -3) continue;
        const PcreResult ref = RunPcre(d.pattern, d.subject);
        if (d.pcre.first == -2) {
            EXPECT_FALSE(ref.compiled) << d.pattern;
            continue;
        }
        ASSERT_TRUE(ref.compiled) << d.pattern;
        EXPECT_EQ(std::make_pair(ref.start, ref.end), d.pcre) << d.pattern << ": " << d.why;
    }
    // named groups are numbered after the unnamed ones
    const std::vector<int> r = Run8("(?<n>a)(b)", "ab");
    EXPECT_EQ(r, (std::vector<int>{1, 2, 0, 2, 1, 2, 0, 1}));
}

}  // namespace
