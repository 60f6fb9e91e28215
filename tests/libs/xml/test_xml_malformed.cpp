// Malformed input must fail cleanly: no crash, no read past the text, no unbounded recursion.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

// Loads, then saves in every memory kind and reads every stored text unescaped.
void Exercise(const std::string& text) {
  XmlDocument doc(text, kXmlSourceText);
  ASSERT_NE(doc.header, nullptr);
  std::string out8, out16;
  doc.SetExportFormat(XmlExportFormat{});
  EXPECT_EQ(doc.Save(&out8, 0, kXmlSaveText), 1);
  EXPECT_EQ(doc.Save(&out16, 1, kXmlSaveUtf16Text), 1);
  std::vector<XmlElement*> pending;
  if (doc.GetRootElement()) pending.push_back(doc.GetRootElement());
  std::string scratch;
  while (!pending.empty()) {
    XmlElement* e = pending.back();
    pending.pop_back();
    e->GetName(&scratch);
    for (const auto& a : e->attributes) a->GetValue(&scratch);
    for (const auto& c : e->contents) c->GetValue(&scratch);
    for (const auto& child : e->children) pending.push_back(child.get());
  }
}

TEST(XmlMalformed, TruncatedAndUnclosed) {
  struct Case {
    std::string text;
    unsigned loadState;
    bool hasRoot;
  };
  const Case cases[] = {
      {"<", 1, false},
      {"<a", 1, false},
      {"<a x=\"1", 1, false},
      {"<a><b", 2, false},
      {"<a>", 2, false},
      {"<a><b></a>", 2, false},
      {"<a><!-- </a>", 2, false},
      {"<a><![CDATA[ </a>", 2, false},
      {"<a x=\"></a>", 2, false},  // unterminated quote
      {"<!--", 1, false},
      {"<![CDATA[", 1, false},
      {"<?xml", 1, false},
      {"<?xml version=\"1.0\"", 1, false},
      {"<a></", 2, false},
      {"</a>", 1, false},
      {"<a/>", 1, true},
      {"<a></a", 2, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    XmlDocument doc(c.text, kXmlSourceText);
    EXPECT_EQ(doc.loadState, c.loadState);
    EXPECT_EQ(doc.GetRootElement() != nullptr, c.hasRoot);
    Exercise(c.text);
  }
  // Every prefix of a well-formed document fails cleanly too.
  const std::string full = "<?xml version=\"1.0\"?><!--c--><W a=\"1&amp;\"><I><![CDATA[x]]>t&#x41;<N/></I></W>";
  for (std::size_t n = 0; n <= full.size(); ++n) Exercise(full.substr(0, n));
}

TEST(XmlMalformed, StrayReferences) {
  const std::string texts[] = {"<a>&</a>",
                               "<a>&#</a>",
                               "<a>&#x</a>",
                               "<a>&#x;</a>",
                               "<a>t&#65</a>",
                               "<a>&#99999999999999999999999;</a>",
                               "<a x=\"&#\">&amp</a>",
                               "<a x=\"&#x\"/>",
                               "<a>&#xD800;&#xDFFF;&#x110000;</a>"};
  for (const auto& t : texts) {
    SCOPED_TRACE(t);
    Exercise(t);
  }
  XmlDocument doc("<a x=\"&#x\">t&#65</a>", kXmlSourceText);
  std::string value;
  doc.GetRootElement()->contents[0]->GetValue(&value);
  EXPECT_EQ(value, "tA");
  doc.GetRootElement()->attributes[0]->GetValue(&value);
  EXPECT_EQ(value, "");
}

std::string Nested(int levels) {
  std::string text;
  for (int k = 0; k < levels; ++k) text += "<e>";
  text += "x";
  for (int k = 0; k < levels; ++k) text += "</e>";
  return text;
}

TEST(XmlMalformed, NestingIsLimited) {
  XmlDocument deepest(Nested(XmlDocument::kMaxDepth), kXmlSourceText);
  ASSERT_NE(deepest.GetRootElement(), nullptr);
  EXPECT_EQ(deepest.loadState, 1u);
  int depth = 1;
  for (XmlElement* e = deepest.GetRootElement(); !e->children.empty(); e = e->children[0].get()) ++depth;
  EXPECT_EQ(depth, XmlDocument::kMaxDepth);

  XmlDocument tooDeep;
  EXPECT_EQ(tooDeep.Load(Nested(XmlDocument::kMaxDepth + 1), kXmlSourceText), 0);
  EXPECT_EQ(tooDeep.loadState, 2u);
  EXPECT_EQ(tooDeep.GetRootElement(), nullptr);

  // Far deeper input, balanced or not, fails the same way instead of exhausting the stack.
  std::string open;
  for (int k = 0; k < 20000; ++k) open += "<e>";
  for (const std::string& text : {Nested(20000), open + std::string(20000 * 4, ' ')}) {
    XmlDocument doc;
    doc.Load(text, kXmlSourceText);
    EXPECT_EQ(doc.loadState, 2u);
    EXPECT_EQ(doc.GetRootElement(), nullptr);
  }
}

TEST(XmlMalformed, MutatedDocumentsFailCleanly) {
  // Deterministic mutations of a small image XML: bytes replaced, dropped or cut.
  const std::string base =
      "\xEF\xBB\xBF<?xml version=\"1.0\"?><!--h--><WIM><IMAGE INDEX=\"1\"><NAME>a &amp; b</NAME>"
      "<![CDATA[<x>]]><?pi?><T>1</T><E/></IMAGE><TOTALBYTES>5</TOTALBYTES></WIM><!--t-->";
  const char alphabet[] = "<>/\"'=&#;x!-?[] \n";
  std::uint32_t state = 12345;
  const auto next = [&]() {
    state = state * 1103515245u + 12345u;
    return (state >> 16) & 0x7FFF;
  };
  for (int round = 0; round < 1500; ++round) {
    std::string text = base;
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int k = 0; k < edits && !text.empty(); ++k) {
      const std::size_t at = next() % text.size();
      switch (next() % 3) {
        case 0: text[at] = alphabet[next() % (sizeof alphabet - 1)]; break;
        case 1: text.erase(at, 1 + next() % 5); break;
        default: text.resize(at); break;
      }
    }
    SCOPED_TRACE(text);
    Exercise(text);
    std::string wide;
    XmlToUtf16(wide, text);
    Exercise("\xFF\xFE" + wide);
    Exercise(wide);
  }
}

}  // namespace
}  // namespace nimbo
