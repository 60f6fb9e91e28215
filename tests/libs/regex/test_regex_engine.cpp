// The pattern language, the match result and the buffers of the regular-expression
// engine, in both character widths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/regex/regex_engine.h"
#include "tests/libs/regex/regex_test_util.h"

namespace {

using V = std::vector<int>;
const V kNone{};

// ------------------------------------------------------------------ buffers

TEST(RegexBuffer, RefCountsItemsBeforeTheTerminatingZero) {
    EXPECT_EQ(CBufferRefT<char>("abc").GetSize(), 3);
    EXPECT_EQ(CBufferRefT<char>("").GetSize(), 0);
    EXPECT_EQ(CBufferRefT<char>(static_cast<const char*>(nullptr)).GetSize(), 0);
    EXPECT_EQ(CBufferRefT<char16_t>(u"\u0141x").GetSize(), 2);
    const char text[] = "abcdef";
    EXPECT_EQ(CBufferRefT<char>(text, 4).GetSize(), 4);
}

TEST(RegexBuffer, GrowthRule) {
    CBufferT<int> b;
    b.Push(1);
    EXPECT_EQ(b.GetCapacity(), 8);  // at least 8
    for (int i = 0; i < 8; ++i) b.Push(i);
    EXPECT_EQ(b.GetCapacity(), 16);  // doubled when full

    CBufferT<char> s;
    s.Append("abc", 3);
    EXPECT_EQ(s.GetCapacity(), 16);  // max(8, current) doubled
    const std::string forty(40, 'x');
    CBufferT<char> t;
    t.Append(forty.data(), 40);
    EXPECT_EQ(t.GetCapacity(), 48);  // 40 + 4 rounded up to a multiple of 8

    CBufferT<int> idx;
    idx.Prepare(5, 0xFF);
    ASSERT_EQ(idx.GetSize(), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(idx[i], -1);
    CBufferT<void*> ptrs;
    ptrs.Prepare(2, 0);
    EXPECT_EQ(ptrs[2], nullptr);
}

TEST(RegexBuffer, KeepsTerminatingZeroWhenAskedAndCopies) {
    CBufferT<char> s;
    s.Append("abc", 3, true);
    EXPECT_EQ(s.GetSize(), 3);
    EXPECT_STREQ(s.GetBuffer(), "abc");
    s.Append("de", 2, true);
    EXPECT_STREQ(s.GetBuffer(), "abcde");

    CBufferT<char> copy(s);
    copy[0] = 'X';
    EXPECT_EQ(s[0], 'a');
    CBufferT<char> moved(std::move(copy));
    EXPECT_EQ(moved.GetSize(), 5);
    EXPECT_EQ(moved[0], 'X');
    EXPECT_EQ(moved.Pop(), 'e');
    moved.Restore(1);
    EXPECT_EQ(moved.GetSize(), 1);
    moved.Restore(10);  // never grows
    EXPECT_EQ(moved.GetSize(), 1);
}

// ------------------------------------------------------------------ 8-bit language

struct Case {
    const char* pattern;
    int flags;
    std::string text;
    V expect;  // the whole result: 1, G, then start/end pairs; empty: no match
};

const Case kMatcherCases[] = {
    // first match, not the longest; result layout
    {"a*", 0, "bbb", {1, 0, 0, 0}},
    {"(a)|b", 0, "b", {1, 1, 0, 1, -1, -1}},
    {"(a)*", 0, "aaa", {1, 1, 0, 3, 2, 3}},
    {"a|ab", 0, "ab", {1, 0, 0, 1}},
    {"", 0, "abc", {1, 0, 0, 0}},
    {"x(y)?(z)", 0, "axz", {1, 2, 1, 3, -1, -1, 2, 3}},
    // repeats
    {"a{2,3}?b", 0, "aaab", {1, 0, 0, 4}},
    {"(?>a*)a", 0, "aaa", kNone},
    {"a*+a", 0, "aaa", kNone},
    {"a*a", 0, "aaa", {1, 0, 0, 3}},
    {"a+?", 0, "aaa", {1, 0, 0, 1}},
    {"a*?b", 0, "aab", {1, 0, 0, 3}},
    {"<.+?>", 0, "<a><b>", {1, 0, 0, 3}},
    {"a++b", 0, "aab", {1, 0, 0, 3}},
    {"a{2}", 0, "aaa", {1, 0, 0, 2}},
    {"a{2}?", 0, "aaa", {1, 0, 0, 2}},  // suffix on a fixed count changes nothing
    {"a{2,}", 0, "aaaa", {1, 0, 0, 4}},
    {"a{3,1}", 0, "aaaa", {1, 0, 0, 3}},
    {"x{0}y", 0, "y", {1, 0, 0, 1}},
    {"x{,3}", 0, "xxx", {1, 0, 0, 0}},
    {"x{}y", 0, "y", {1, 0, 0, 1}},
    {"a{x}b", 0, "b", {1, 0, 0, 1}},
    {"{ab}", 0, "{ab}", {1, 0, 0, 4}},
    {"a{ 2 , 3 }", 0, "aaaa", {1, 0, 0, 3}},
    {"ab*", 0, "abbb", {1, 0, 0, 4}},
    {"ab*", 0, "ababab", {1, 0, 0, 2}},
    {"(ab)*", 0, "ababx", {1, 1, 0, 4, 2, 4}},
    // special characters taken as literals
    {"*a", 0, "x*a", {1, 0, 1, 3}},
    {"a**", 0, "aa*", {1, 0, 0, 3}},
    {"a}", 0, "a}", {1, 0, 0, 2}},
    {"a]-:", 0, "a]-:", {1, 0, 0, 4}},
    {"a)b", 0, "xa", {1, 0, 1, 2}},  // an unmatched ')' ends the pattern
    {"(a", 0, "a", {1, 1, 0, 1, 0, 1}},
    {"[ab", 0, "xb", {1, 0, 1, 2}},
    {"a\\", 0, "a\\", {1, 0, 0, 2}},  // a lone backslash at the end is literal
    {"a\\|b", 0, "a|b", {1, 0, 0, 3}},
    {"\\.\\(\\)\\[\\^\\$\\{", 0, ".()[^${", {1, 0, 0, 7}},
    // escapes
    {"\\x41\\x{42}\\x", 0, "ABx", {1, 0, 0, 3}},
    {"\\x{141}", 0, "A", {1, 0, 0, 1}},  // cut to 8 bits
    {"\\u0041\\u", 0, "Au", {1, 0, 0, 2}},
    {"\\t\\n\\r\\f\\v\\a\\e", 0, "\t\n\r\f\v\a\x1b", {1, 0, 0, 7}},
    {"\\Qa.b\\E", 0, "axb", kNone},
    {"\\Qa.b\\E", 0, "a.b", {1, 0, 0, 3}},
    {"\\Qa.b", 0, "a.b", {1, 0, 0, 3}},
    {"\\Ua.b\\E", 0, "A.B", {1, 0, 0, 3}},
    {"\\LAbC\\Ed", 0, "abcd", {1, 0, 0, 4}},
    {"a\\Eb", 0, "ab", {1, 0, 0, 2}},
    // classes
    {"a.c", 0, "a\nc", kNone},
    {"a.c", DotAll, "a\nc", {1, 0, 0, 3}},
    {"\\d+", 0, "ab123c", {1, 0, 2, 5}},
    {"\\D\\W\\S", 0, "a! ", kNone},
    {"\\D\\W\\S", 0, "a!b", {1, 0, 0, 3}},
    {"\\w+", 0, "  a_1  ", {1, 0, 2, 5}},
    {"\\s", 0, "a\fb", kNone},               // FF is no blank left to right
    {"(?<=\\s)b", 0, "a\fb", {1, 0, 2, 3}},  // but is one inside a look-behind
    {"[a-]", 0, "-", {1, 0, 0, 1}},
    {"[a-]", 0, "a", {1, 0, 0, 1}},
    {"[\\b]", 0, "\b", {1, 0, 0, 1}},
    {"[]", 0, "a]", kNone},
    {"[^]", 0, "\n", {1, 0, 0, 1}},
    {"[a-\\d]", 0, "-", {1, 0, 0, 1}},
    {"[a-\\d]", 0, "7", {1, 0, 0, 1}},
    {"[a-\\d]", 0, "b", kNone},
    {"[z-a]", 0, "m", kNone},
    {"[^a-c]", 0, "abcd", {1, 0, 3, 4}},
    {"[.$()*+?{|}]+", 0, ".$()*+?{|}", {1, 0, 0, 10}},
    {"[\\x80-\\xff]", 0, "a\xe9", {1, 0, 1, 2}},
    {"[\\x00-\\xff]", 0, "a\xe9", kNone},  // signed 8-bit ends: an empty range
    {"\\w", 0, "\xe9", kNone},
    {"[:alpha:]", 0, "1b", {1, 0, 1, 2}},
    {"[[:^digit:]]", 0, "5x", {1, 0, 1, 2}},
    {"[[:alpha:]_]+", 0, "1a_b2", {1, 0, 1, 4}},
    {"[[:nosuch:]]", 0, "abc", kNone},
    {"[:^nosuch:]", 0, "abc", kNone},
    {"[[:xdigit:]]+", 0, "xfF09g", {1, 0, 1, 5}},
    {"[[:punct:]]", 0, "a1!", {1, 0, 2, 3}},
    {"[[:blank:]]", 0, "a\tb", {1, 0, 1, 2}},
    {"[[:space:]]", 0, "a\vb", {1, 0, 1, 2}},
    {"[[:cntrl:]]", 0, "a\x7f", {1, 0, 1, 2}},
    {"[[:upper:]][[:lower:]]", 0, "aAb", {1, 0, 1, 3}},
    {"[[:graph:]]", 0, " \x01~", {1, 0, 2, 3}},
    {"[[:print:]]", 0, "\x01 ", {1, 0, 1, 2}},
    {"[[:ascii:]]", 0, "\xe9z", {1, 0, 1, 2}},
    {"[[:alnum:]]", 0, "\xe9-7", {1, 0, 2, 3}},
    // case
    {"(?i)abc", 0, "xABC", {1, 0, 1, 4}},
    {"a(?i)bc", 0, "aBC", {1, 0, 0, 3}},
    {"a(?i)bc", 0, "ABC", kNone},
    {"(a(?i)b|c)", 0, "C", {1, 1, 0, 1, 0, 1}},
    {"(?i-i)a", 0, "A", kNone},
    {"(?i:a)b", 0, "AB", kNone},
    {"(?i:a)b", 0, "Ab", {1, 0, 0, 2}},
    {"(?i(a)b)c", 0, "ABc", {1, 1, 0, 3, 0, 1}},
    {"[a-z]", IgnoreCase, "Q", {1, 0, 0, 1}},
    {"[a-f\\d]", IgnoreCase, "F", {1, 0, 0, 1}},
    {"[a-f\\d]", IgnoreCase, "5", {1, 0, 0, 1}},
    {"[^a]", IgnoreCase, "Ab", {1, 0, 1, 2}},
    {"(?i)\\xe9", 0, "\xc9", kNone},  // ASCII letters only
    {"(?i)(a)\\1", 0, "aA", {1, 1, 0, 2, 0, 1}},
    {"(a)\\1", 0, "aA", kNone},
    {"(?x)a b", 0, "a b", {1, 0, 0, 3}},  // 'x' is no inline flag
    {"a b # note\n c", Extended, "abc", {1, 0, 0, 3}},
    {"[a b]", Extended, " b", {1, 0, 1, 2}},
    {"\\Qa b\\E", Extended, "a b", {1, 0, 0, 3}},
    // anchors
    {"^a$", 0, "a\n", kNone},
    {"^a\\Z", 0, "a\n", {1, 0, 0, 1}},
    {"^a\\Z", 0, "a\r\n", {1, 0, 0, 1}},
    {"a\\z", 0, "a\n", kNone},
    {"\\Aa", 0, "ba", kNone},
    {"^b", 0, "a\nb", kNone},
    {"^b", MultiLine, "a\nb", {1, 0, 2, 3}},
    {"^b", MultiLine, "a\rb", {1, 0, 2, 3}},
    {"a$", MultiLine, "a\nb", {1, 0, 0, 1}},
    {"a$", MultiLine, "a\r\nb", {1, 0, 0, 1}},
    {"(?m)^b", 0, "a\nb", {1, 0, 2, 3}},
    {"\\bfoo\\b", 0, "a foo b", {1, 0, 2, 5}},
    {"\\bfoo\\b", 0, "afoo", kNone},
    {"\\Bo", 0, "foo", {1, 0, 1, 2}},
    {"\\Ga", 0, "ba", {1, 0, 1, 2}},  // without Global \G matches anywhere
    {"\\Ga", Global, "ba", kNone},
    {"(?g)\\Ga", 0, "ab", {1, 0, 0, 1}},
    // groups and numbering
    {"(?:a)(b)", 0, "ab", {1, 1, 0, 2, 1, 2}},
    {"(?<n>a)(b)", 0, "ab", {1, 2, 0, 2, 1, 2, 0, 1}},
    {"(?<x>a)(?<X>b)", 0, "ab", {1, 1, 0, 2, 1, 2}},
    {"(?'q'a)(?P<r>b)(?P's'c)", 0, "abc", {1, 3, 0, 3, 0, 1, 1, 2, 2, 3}},
    {"(?<3>x)", 0, "x", {1, 3, 0, 1, -1, -1, -1, -1, 0, 1}},
    {"(?< 2 >x)", 0, "x", {1, 2, 0, 1, -1, -1, 0, 1}},
    {"(?<1000>x)", 0, "x", {1, 1, 0, 1, 0, 1}},  // four digits: a name
    {"(?<a>x)(?<A>y)\\k<a>", 0, "xyy", {1, 1, 0, 3, 1, 2}},
    {"(?#x", 0, "abc", {1, 0, 0, 0}},
    {"a(?#comment)b", 0, "ab", {1, 0, 0, 2}},
    // back-references
    {"(a+)b\\1", 0, "aaabaa", {1, 1, 1, 6, 1, 3}},
    {"\\1(a)", 0, "aa", kNone},
    {"(a)\\2", 0, "aa", kNone},
    {"(?<w>a)\\k<w>\\k'w'\\g<w>\\g'w'", 0, "aaaaa", {1, 1, 0, 5, 0, 1}},
    {"(a)\\k<1>\\k1\\g1", 0, "aaaa", {1, 1, 0, 4, 0, 1}},
    {"\\k<nosuch>", 0, "a", kNone},
    {"a\\0", 0, "aa", {1, 0, 0, 2}},  // the whole match so far
    // look-around and atomic groups
    {"(?<=ab)c", 0, "abc", {1, 0, 2, 3}},
    {"(?<!ab)c", 0, "abc", kNone},
    {"(?<=a+)b", 0, "xaaab", {1, 0, 4, 5}},  // look-behind of any length
    {"(?<=^\\w+,\\s*)x", 0, "abc,   x", {1, 0, 7, 8}},
    {"(?=(a))a", 0, "a", {1, 1, 0, 1, 0, 1}},
    {"(?!(a))b|a", 0, "a", {1, 1, 0, 1, -1, -1}},  // no captures from a failed assertion
    {"a(?=b)", 0, "acab", {1, 0, 2, 3}},
    {"a(?!b)", 0, "abac", {1, 0, 2, 3}},
    {"(?>a|ab)c", 0, "abc", kNone},
    // conditionals
    {"(a)?(?(1)b|c)", 0, "ab", {1, 1, 0, 2, 0, 1}},
    {"(a)?(?(1)b|c)", 0, "c", {1, 1, 0, 1, -1, -1}},
    {"(a)?(?(1)b|c)", 0, "ac", {1, 1, 1, 2, -1, -1}},
    {"(?(1)a|b|c)", 0, "c", {1, 0, 0, 1}},
    {"(?(x)x|y)", 0, "x", {1, 0, 0, 1}},
    {"(?(x)x|y)", 0, "y", {1, 0, 0, 1}},
    {"(?<x>a)?(?(x)b|c)", 0, "ab", {1, 1, 0, 2, 0, 1}},
    {"(?(?=a)ab|cd)", 0, "cd", {1, 0, 0, 2}},
    {"(?(?=a)ab|cd)", 0, "ab", {1, 0, 0, 2}},
    {"(?(?!a)cd)", 0, "ab", {1, 0, 0, 0}},
    // recursion
    {"\\((?:[^()]|(?R))*\\)", 0, "x(a(b)c)y", {1, 0, 1, 8}},
    {"(a(?1)?b)", 0, "aaabbb", {1, 1, 0, 6, 0, 6}},
    {"(?<p>a(?R<p>)?b)", 0, "xaabb", {1, 1, 1, 5, 1, 5}},
    {"(?<p>a(?R'p')?b)", 0, "aabb", {1, 1, 0, 4, 0, 4}},
    {"a(?0)?b", 0, "aabb", {1, 0, 0, 4}},
    {"a(?R<nosuch>)b", 0, "ab", {1, 0, 0, 2}},  // a missing target matches empty
    {"a(?9)b", 0, "ab", {1, 0, 0, 2}},
};
TEST(RegexMatch, LanguageTable) {
    for (const Case& c : kMatcherCases) {
        EXPECT_EQ(Run8(c.pattern, c.text, c.flags), c.expect)
            << "pattern \"" << c.pattern << "\" flags " << c.flags << " text \"" << c.text << "\"";
    }
}

TEST(RegexMatch, RightToLeft) {
    EXPECT_EQ(Run8("ab", "xab", RightToLeft), (V{1, 0, 1, 3}));
    EXPECT_EQ(Run8("a+", "aaxa", RightToLeft), (V{1, 0, 3, 4}));  // tried from the end backwards
    EXPECT_EQ(Run8("(a)(b)", "ab", RightToLeft), (V{1, 2, 0, 2, 0, 1, 1, 2}));
    EXPECT_EQ(Run8("\\s", "a\fb", RightToLeft), (V{1, 0, 1, 2}));
    EXPECT_EQ(Run8("(?=b)a", "ab", RightToLeft), kNone);  // look-ahead still runs left to right
    EXPECT_EQ(Run8("^a", "aa", RightToLeft), (V{1, 0, 0, 1}));
    EXPECT_EQ(Run8("(a)\\1", "xaa", RightToLeft), kNone);  // the reference is met before its group
    EXPECT_EQ(Run8("\\1(a)", "xaa", RightToLeft), (V{1, 1, 1, 3, 2, 3}));
}

TEST(RegexMatch, StartPosition) {
    CRegexT<char> ltr("a", 0);
    EXPECT_EQ(ToVector<char>(ltr.Match("aba", 1)), (V{1, 0, 2, 3}));
    EXPECT_EQ(ToVector<char>(ltr.Match("aba", 3)), kNone);
    EXPECT_EQ(ToVector<char>(ltr.Match("aba", 9)), kNone);  // beyond the text: no match
    CRegexT<char> empty("", 0);
    EXPECT_EQ(ToVector<char>(empty.Match("ab", 2)), (V{1, 0, 2, 2}));
    CRegexT<char> rtl("a", RightToLeft);
    EXPECT_EQ(ToVector<char>(rtl.Match("aba", 9)), (V{1, 0, 2, 3}));  // beyond: from the end
    EXPECT_EQ(ToVector<char>(rtl.Match("aba", 2)), (V{1, 0, 0, 1}));
}

TEST(RegexMatch, ItemZeroTellsWhetherItMatched) {
    CRegexT<char16_t> re(u"^BM.*", 0);
    EXPECT_EQ(re.Match(u"BM\\x").At(0), 1);
    const CBufferT<int> none = re.Match(u"x");
    EXPECT_EQ(none.GetSize(), 0);
    EXPECT_EQ(none.At(0), 0);
    EXPECT_EQ(none.At(3, -1), -1);
}

TEST(RegexMatch, NullPatternAndTextNeverMatch) {
    CRegexT<char> none(nullptr, 0);
    EXPECT_EQ(ToVector<char>(none.Match("abc")), kNone);
    CRegexT<char> any("", 0);
    EXPECT_EQ(ToVector<char>(any.Match(nullptr)), kNone);
    EXPECT_EQ(ToVector<char>(any.MatchBuffer("abc", 0)), (V{1, 0, 0, 0}));
    EXPECT_EQ(ToVector<char>(any.MatchBuffer("abc", -1)), kNone);
}

TEST(RegexMatch, CompiledPatternIsReusableAndContextsAreReset) {
    CRegexT<char> re("(a)(b)?", 0);
    CMatchContext ctx;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ToVector<char>(re.Match("xab", -1, &ctx)), (V{1, 2, 1, 3, 1, 2, 2, 3}));
        EXPECT_EQ(ToVector<char>(re.Match("a", -1, &ctx)), (V{1, 2, 0, 1, 0, 1, -1, -1}));
        EXPECT_EQ(ToVector<char>(re.Match("zz")), kNone);
    }
}

TEST(RegexMatch, MatchBufferNeedsNoTerminator) {
    const char text[] = {'x', 'a', 'b', 'a', 'b'};
    CRegexT<char> re("ab$", 0);
    EXPECT_EQ(ToVector<char>(re.MatchBuffer(text, 3)), (V{1, 0, 1, 3}));
    EXPECT_EQ(ToVector<char>(re.MatchBuffer(text, 5)), (V{1, 0, 3, 5}));
}

TEST(RegexMatch, ConveniencesOnEdgeCases) {
    EXPECT_TRUE(RegexMatchWhole("", ""));
    EXPECT_TRUE(RegexSearch("abc", ""));
    EXPECT_EQ(RegexMatchLength("abc", ""), 0);
    EXPECT_FALSE(RegexMatchWhole("ab", "a|ab"));  // the first match is "a"
    EXPECT_TRUE(RegexMatchWhole("ab", "ab|a"));
    EXPECT_TRUE(RegexMatchWhole("xab", "ab|xab"));  // lengths only: first match is at 0
    EXPECT_FALSE(RegexMatchWhole("xab", "ab"));
    EXPECT_TRUE(RegexMatchWhole("yab", "ab|..."));  // "yab" has no "ab" at 0
    EXPECT_EQ(RegexMatchLength("xxaaa", "a+"), 3);
    EXPECT_EQ(RegexMatchLength("xx", "a+"), 0);
    EXPECT_FALSE(RegexSearch("xx", "a"));
    EXPECT_FALSE(RegexSearch(nullptr, ""));
    EXPECT_FALSE(RegexSearch("x", nullptr));
    EXPECT_FALSE(RegexMatchWhole(nullptr, nullptr));
    EXPECT_EQ(RegexMatchLength(nullptr, "a"), 0);
}

TEST(RegexMatch, QuantifierDigitsAreLimitedPerWidth) {
    const std::string a100(100, 'a');
    const std::string a99(99, 'a');
    EXPECT_EQ(Whole(Run8("^a{1000}$", a100)), std::make_pair(0, 100));  // reads "100"
    EXPECT_EQ(Run8("^a{1000}$", a99), kNone);
    const std::u16string w100(100, u'a');
    const std::u16string w1000(1000, u'a');
    EXPECT_EQ(Run16(u"^a{1000}$", w100), kNone);
    EXPECT_EQ(Whole(Run16(u"^a{1000}$", w1000)), std::make_pair(0, 1000));
}

// ------------------------------------------------------------------ 16-bit instance

TEST(Regex16, ArchivePathPatterns) {
    const std::u16string path = u"1\\windows\\boot\\efi\\bootmgfw.efi";
    EXPECT_EQ(Whole(Run16(u"\\\\bootmgfw.efi$", path)), std::make_pair(18, 31));
    EXPECT_EQ(Run16(u"\\\\bootmgfw.efi$", path + u".bak"), kNone);
    EXPECT_EQ(Whole(Run16(u"^BM.*", u"BM\\PXENIMBO\\BIOS\\pxenimbo.0")), std::make_pair(0, 27));
    EXPECT_EQ(Run16(u"^BM.*", u"xBM"), kNone);
    EXPECT_EQ(Run16(u"^Nimbo.*", u"nimbo1.tmp"), kNone);  // case matters without (?i)
    const std::u16string font = u"2\\windows\\boot\\fonts\\segmono_boot.ttf";
    EXPECT_EQ(Whole(Run16(u"\\\\windows\\\\boot\\\\fonts\\\\.*\\.ttf", font)), std::make_pair(1, 37));
    EXPECT_EQ(Whole(Run16(u"2\\\\windows\\\\boot\\\\fonts\\\\.*\\.ttf", font)), std::make_pair(0, 37));
    EXPECT_EQ(Run16(u"\\\\pxeboot.n12$", u"1\\windows\\boot\\pxe\\pxeboot.n12x"), kNone);
}

TEST(Regex16, WideCharacters) {
    EXPECT_EQ(Run16(u"\\x{141}", u"A\u0141"), (V{1, 0, 1, 2}));  // 16 bits kept
    EXPECT_EQ(Run16(u"\\u0141+", u"\u0141\u0141"), (V{1, 0, 0, 2}));
    EXPECT_EQ(Run16(u"[\\u0100-\\uffff]", u"a\u4e2d"), (V{1, 0, 1, 2}));  // unsigned order
    EXPECT_EQ(Run16(u"[\\x80-\\xff]", u"\u00e9"), (V{1, 0, 0, 1}));
    EXPECT_EQ(Run16(u"\\w", u"\u00e9\u0141"), kNone);
    EXPECT_EQ(Run16(u"[[:alpha:]]", u"\u00e9\u0141"), kNone);  // no class above 127
    EXPECT_EQ(Run16(u"(?i)\u00e9", u"\u00c9"), kNone);         // and no case
    EXPECT_EQ(Run16(u"(?i)ab", u"AB"), (V{1, 0, 0, 2}));
    EXPECT_EQ(Run16(u"\u4e2d(\u6587)", u"x\u4e2d\u6587"), (V{1, 1, 1, 3, 2, 3}));
    // digit names read up to six digits
    const V r = Run16(u"(?<1000>x)", u"x");
    ASSERT_EQ(r.size(), 2u * 1000 + 4);
    EXPECT_EQ(r[1], 1000);
    EXPECT_EQ(r[2 + 2 * 1000], 0);
    EXPECT_EQ(r[3 + 2 * 1000], 1);
    // a name character above 255 ends the text handed to the decimal reader
    EXPECT_EQ(Run16(u"(?<5\u0141>x)", u"x"), (V{1, 5, 0, 1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1}));
}

TEST(Regex16, RightToLeftAndLookBehind) {
    EXPECT_EQ(Run16(u"\u0141b", u"x\u0141b", RightToLeft), (V{1, 0, 1, 3}));
    EXPECT_EQ(Run16(u"(?<=\u0141+)b", u"\u0141\u0141b"), (V{1, 0, 2, 3}));
}

}  // namespace
