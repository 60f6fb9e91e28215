#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

struct TextCase {
  std::string in;
  std::string out;
};

TEST(XmlEscape, ReplacesMarkupCharacters) {
  const TextCase cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"a & b", "a &amp; b"},
      {"a<b>c", "a&lt;b&gt;c"},
      {"\"q\" 'a'", "&quot;q&quot; &apos;a&apos;"},
      {"x&#65;y", "x&#65;y"},                                            // a numeric reference survives storing
      {"&", "&amp;"},                                                    // '&' at the very end
      {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},  // multi-byte characters pass
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XmlEscape(c.in), c.out) << c.in;
    EXPECT_EQ(XmlEscapedLength(c.in), c.out.size()) << c.in;
  }
}

TEST(XmlUnescape, ResolvesReferences) {
  const TextCase cases[] = {
      {"&#65;", "A"},
      {"&#x41;", "A"},
      {"&#X41;", "A"},
      {"&#xE9;", "\xC3\xA9"},
      {"&#x20AC;", "\xE2\x82\xAC"},
      {"&#x1F600;", "\xF0\x9F\x98\x80"},  // beyond the BMP: four UTF-8 bytes
      {"&#128512;", "\xF0\x9F\x98\x80"},
      {"&#x10FFFF;", "\xF4\x8F\xBF\xBF"},
      {"&#x110000;", "\xEF\xBF\xBD"},               // not a character: U+FFFD
      {"&#xD800;", "\xEF\xBF\xBD"},                 // lone surrogate: U+FFFD
      {"&#99999999999999999999;", "\xEF\xBF\xBD"},  // long digit runs do not overflow
      {"&amp;lt;", "&lt;"},                         // one level only
      {"&amp;&quot;&apos;&lt;&gt;", "&\"'<>"},
      {"&AMP;", "&AMP;"},
      {"&foo;", "&foo;"},
      {"&amp", "&amp"},  // the ';' belongs to the name
      {"&#;", ""},
      {"&#0;x", "x"},   // value 0 writes nothing
      {"&#65x", "Ax"},  // only a ';' ends a reference
      {"&#65", "A"},    // text ending inside a reference
      {"&#x", ""},
      {"&#", ""},
      {"&", "&"},
      {"a&#x41;&#66;c", "aABc"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(XmlUnescape(c.in), c.out) << c.in;
    EXPECT_LE(XmlUnescape(c.in).size(), c.in.size()) << c.in;
    EXPECT_TRUE(XmlUnescapedEquals(c.in, c.out)) << c.in;
    EXPECT_FALSE(XmlUnescapedEquals(c.in, c.out + "z")) << c.in;
  }
}

TEST(XmlUnescape, ReferenceAtEndOfBufferIsNotReadPast) {
  // The text is a view into a larger block; the byte after it must not be consumed.
  const std::string block = "&#65;&#66;";
  EXPECT_EQ(XmlUnescape(std::string_view(block).substr(0, 9)), "AB");
  EXPECT_EQ(XmlUnescape(std::string_view(block).substr(0, 3)), "\x06");  // "&#6": U+0006, the 5 unseen
}

TEST(XmlEscape, RoundTripsThroughUnescape) {
  const std::string texts[] = {"a&b<c>\"d\"'e'", "\xF0\x9F\x98\x80 & \xC3\xA9", "&&&", "x > y"};
  for (const auto& t : texts) EXPECT_EQ(XmlUnescape(XmlEscape(t)), t) << t;
}

struct Utf16Case {
  std::string utf8;
  std::u16string utf16;
};

TEST(Utf16, ConvertsBothWays) {
  const Utf16Case cases[] = {
      {"", u""},
      {"abc", u"abc"},
      {"\xC3\xA9", u"\u00E9"},
      {"\xE2\x82\xAC", u"\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // surrogate pair
      {"\xEF\xBB\xBF<", u"\uFEFF<"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
    EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << c.utf8;
  }
}

TEST(Utf16, InvalidInputBecomesReplacement) {
  const Utf16Case bad8[] = {
      {"\xC3", u"\uFFFD"},  // truncated at the end
      {"\xE2\x82", u"\uFFFD"},
      {"\xF0\x9F\x98", u"\uFFFD"},
      {"\xC0\x80", u"\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"\xF5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\x80x", u"\uFFFDx"},
      {"\xC3x", u"\uFFFDx"},
  };
  for (const auto& c : bad8) EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
  EXPECT_EQ(Utf16ToUtf8(u"\xD800"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf16ToUtf8(u"\xDC00x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD83D)) + u"a"),
            "\xEF\xBF\xBD"
            "a");
}

TEST(XmlToUtf16, AppendsLittleEndianUnitsUpToNul) {
  std::string out = "ab";
  EXPECT_EQ(XmlToUtf16(out, ""), 0u);
  EXPECT_EQ(out, "ab");
  EXPECT_EQ(XmlToUtf16(out, std::string_view("A\xF0\x9F\x98\x80\0Z", 7)), 6u);
  EXPECT_EQ(out, std::string("abA\0\x3D\xD8\x00\xDE", 8));

  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  XmlWriteUtf16File(file, "hi");
  std::rewind(file);
  char bytes[8] = {};
  EXPECT_EQ(std::fread(bytes, 1, sizeof bytes, file), 4u);
  EXPECT_EQ(std::string(bytes, 4), std::string("h\0i\0", 4));
  std::fclose(file);
}

TEST(XmlWideText, GivesUtf8) {
  EXPECT_EQ(XmlWideText(u""), "");
  EXPECT_EQ(XmlWideText(u"IMAGE \u00E9"), "IMAGE \xC3\xA9");
}

}  // namespace
}  // namespace nimbo
