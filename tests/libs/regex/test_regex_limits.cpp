// Bounded matching: pathological backtracking, runaway recursion and deep nesting end
// as "no match" instead of hanging the caller or exhausting its stack.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "libs/regex/regex_engine.h"
#include "tests/libs/regex/regex_test_util.h"

namespace {

TEST(RegexLimits, CatastrophicBacktrackingEndsWithinTheStepBudget) {
    const std::string text(10000, 'a');
    CRegexT<char> re("(a*)*b", 0);
    CMatchContext ctx;
    EXPECT_EQ(re.Match(text.c_str(), -1, &ctx).GetSize(), 0);
    EXPECT_GT(ctx.m_nSteps, ctx.m_nStepBudget);  // given up, not searched to the end
    EXPECT_EQ(ctx.m_nStepBudget, kRegexStepBudget + kRegexStepsPerChar * 10000);
    EXPECT_TRUE(Run8("(a|aa)+$", text + "b").empty());
    EXPECT_TRUE(Run8("(x+x+)+y", std::string(5000, 'x')).empty());
    EXPECT_FALSE(RegexSearch(text.c_str(), "(a*)*b"));
    // long back-references are charged to the budget too
    EXPECT_TRUE(Run8("(.*)(.*)\\1\\2x", std::string(3000, 'z')).empty());
}

TEST(RegexLimits, OrdinaryWorkOnLongTextsStaysWithinTheBudget) {
    std::string text(200000, 'x');
    text += "needle";
    EXPECT_EQ(Whole(Run8("needle", text)), std::make_pair(200000, 200006));
    EXPECT_EQ(Whole(Run8("x*needle", text)), std::make_pair(0, 200006));
    EXPECT_EQ(Whole(Run8("(x)*n", text)), std::make_pair(0, 200001));
}

TEST(RegexLimits, RunawayRecursionIsNoMatch) {
    EXPECT_TRUE(Run8("(?R)", "aaa").empty());  // left recursion
    EXPECT_TRUE(Run8("a|(?R)b", "bbb").empty());
    EXPECT_TRUE(Run8("(a(?1))", "aaaa").empty());
    EXPECT_TRUE(Run8("(?<n>x?(?R<n>))", "xx").empty());
    EXPECT_TRUE(Run16(u"(?R)", u"abc").empty());
    // a recursion deeper than the limit is no match, a shallow one works
    const std::string deep = std::string(5000, 'a') + std::string(5000, 'b');
    EXPECT_TRUE(Run8("^(a(?1)?b)$", deep).empty());
    const std::string shallow = std::string(200, 'a') + std::string(200, 'b');
    EXPECT_EQ(Whole(Run8("^(a(?1)?b)$", shallow)), std::make_pair(0, 400));
}

TEST(RegexLimits, DeeplyNestedPatternsCompileToNoMatch) {
    auto nested = [](int depth) { return std::string(depth, '(') + "a" + std::string(depth, ')'); };
    const auto r = Run8(nested(kRegexMaxGroupNesting), "a");
    ASSERT_EQ(r.size(), 2u * kRegexMaxGroupNesting + 4);
    EXPECT_EQ(r[1], kRegexMaxGroupNesting);
    EXPECT_TRUE(Run8(nested(kRegexMaxGroupNesting + 1), "a").empty());
    EXPECT_TRUE(Run8(nested(100000), "a").empty());
    EXPECT_TRUE(Run8(std::string(100000, '(') + "a", "a").empty());
    std::string looks;
    for (int i = 0; i < 50000; ++i) looks += "(?=";
    EXPECT_TRUE(Run8(looks + "a", "a").empty());
    std::string conds;
    for (int i = 0; i < 50000; ++i) conds += "(?(?=a)";
    EXPECT_TRUE(Run8(conds, "a").empty());
    // long but flat patterns are fine
    std::string flat;
    for (int i = 0; i < 20000; ++i) flat += "(?:a)";
    EXPECT_EQ(Whole(Run8(flat, std::string(20000, 'a'))), std::make_pair(0, 20000));
    std::string alternatives = "x";
    for (int i = 0; i < 20000; ++i) alternatives += "|y";
    alternatives += "|a";
    EXPECT_EQ(Whole(Run8(alternatives, "a")), std::make_pair(0, 1));
}

TEST(RegexLimits, LongClassesAndStringsStayCheap) {
    std::string letters;
    for (int i = 0; i < 200000; ++i) letters += static_cast<char>('a' + i % 26);
    // widening a long class for (?i) is one pass
    EXPECT_EQ(Whole(Run8("(?i)[" + letters + "]+", "xyzXYZ")), std::make_pair(0, 6));
    // matching a long class or string on a long text is charged to the budget
    EXPECT_TRUE(Run8("[" + letters + "]{2}1", std::string(200000, 'q')).empty());
    EXPECT_TRUE(Run8(letters + "!", letters + letters).empty());
    // a long literal that mostly fails at its first character is cheap to search for
    const std::string haystack = std::string(500000, 'x') + letters;
    EXPECT_EQ(Whole(Run8(letters, haystack)), std::make_pair(500000, 700000));
}

TEST(RegexLimits, HugeGroupNumbersStayCheapPerStartPosition) {
    // a group numbered 999999 (16-bit digit names) on a long text without a match
    const std::u16string text(20000, u'b');
    EXPECT_TRUE(Run16(u"(?<999999>a)", text).empty());
    const auto r = Run16(u"(?<999999>a)", text + u"a");
    ASSERT_EQ(r.size(), 2u * 999999 + 4);
    EXPECT_EQ(r[2], 20000);
}

}  // namespace

namespace {

// Any text is a pattern: random texts built from the language's special characters
// compile and match without faults, and every result has the documented layout.
template <class T>
void CheckLayout(const CBufferT<int>& r, int length, const std::string& pattern) {
    if (r.GetSize() == 0) return;
    ASSERT_GE(r.GetSize(), 4) << pattern;
    const int g = r[1];
    ASSERT_EQ(r[0], 1) << pattern;
    ASSERT_EQ(r.GetSize(), 2 * g + 4) << pattern;
    ASSERT_TRUE(r[2] >= 0 && r[2] <= r[3] && r[3] <= length) << pattern;
    for (int k = 1; k <= g; ++k) {
        const int a = r[2 + 2 * k], b = r[3 + 2 * k];
        ASSERT_TRUE((a == -1 && b == -1) || (a >= 0 && a <= b && b <= length)) << pattern << " group " << k;
    }
}

TEST(RegexLimits, ArbitraryPatternTextsAreSafe) {
    static const char kPieces[][6] = {
        "(", ")", "[", "]",  "{",   "}",   "|",  "*",  "+",   "?",   ".",    "^",   "$",   "\\",   "-",  ":",
        "<", ">", "=", "!",  "#",   "'",   "P",  "R",  "k",   "g",   "x",    "u",   "Q",   "E",    "L",  "U",
        "b", "B", "d", "w",  "s",   "S",   "A",  "z",  "Z",   "G",   "0",    "1",   "2",   ",",    "a",  "b",
        "i", "m", " ", "(?", "(?<", "(?(", "[:", ":]", "{1,", "\\1", "\\k<", "(?R", "(?#", "\\x{", "^]", "\xe9",
    };
    uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    };
    const char* subjects[] = {"", "a", "ab1 ba", "aaa(b)[c]", "x:y<z>", "\xe9\n\r\na-b"};
    for (int i = 0; i < 1000; ++i) {
        std::string pattern;
        const int n = 1 + static_cast<int>(next() % 14);
        for (int j = 0; j < n; ++j) pattern += kPieces[next() % (sizeof kPieces / sizeof kPieces[0])];
        const int flags = static_cast<int>(next() % 64);
        CRegexT<char> re8(pattern.c_str(), flags);
        const std::u16string wide(pattern.begin(), pattern.end());
        CRegexT<char16_t> re16(wide.c_str(), flags);
        for (const char* s : subjects) {
            const int len = static_cast<int>(std::string(s).size());
            CheckLayout<char>(re8.Match(s), len, pattern);
            const std::string narrow(s);
            const std::u16string ws(narrow.begin(), narrow.end());
            CheckLayout<char16_t>(re16.Match(ws.c_str()), len, pattern);
        }
    }
}

}  // namespace
