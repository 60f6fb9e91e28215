#include <gtest/gtest.h>

#include <string>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

XmlExportFormat WimFormat() {
  XmlExportFormat f;
  f.indentCount = 0;
  f.noBreakDeclaration = f.noBreakComments = f.noBreakTags = f.noBreakContents = 1;
  return f;
}

// Writes an element (with children unless told otherwise) as 8-bit text, no header.
std::string Write(XmlElement& e, int escaped = 1, int withChildren = 1) {
  std::string out;
  XmlTarget target;
  target.buffer = &out;
  e.Export(target, withChildren, escaped, kXmlSaveText, nullptr);
  return out;
}

// R with attribute x, a child B holding t and an empty child E.
std::unique_ptr<XmlElement> SampleTree() {
  auto r = std::make_unique<XmlElement>(nullptr, "<R x=\"1\">");
  r->AppendChild(std::make_unique<XmlElement>(nullptr, "B"))->AddContent("t");
  r->AppendChild(std::make_unique<XmlElement>(nullptr, "E"));
  return r;
}

TEST(XmlWriter, DefaultLayout) {
  XmlDocument doc;
  doc.SetRootElement(SampleTree());
  doc.SetExportFormat(XmlExportFormat{});
  std::string out;
  ASSERT_EQ(doc.Save(&out, 1, kXmlSaveText), 1);
  EXPECT_EQ(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>\r\n"
            "<R x=\"1\">\r\n"
            "\t<B>\r\n"
            "\t\tt\r\n"
            "\t</B>\r\n"
            "\t<E/>\r\n"
            "</R>\r\n");
}

TEST(XmlWriter, WimLayoutIsOneRun) {
  XmlDocument doc;
  doc.SetRootElement(SampleTree());
  doc.SetHeader(std::make_unique<XmlHeader>(""));
  doc.SetExportFormat(WimFormat());
  std::string out;
  ASSERT_EQ(doc.Save(&out, 1, kXmlSaveText), 1);
  EXPECT_EQ(out, "<R x=\"1\"><B>t</B><E/></R>");

  std::string wide;
  ASSERT_EQ(doc.Save(&wide, 1, kXmlSaveUtf16Text), 1);
  std::string expected = "\xFF\xFE";
  XmlToUtf16(expected, "<R x=\"1\"><B>t</B><E/></R>");
  EXPECT_EQ(wide, expected);
}

TEST(XmlWriter, ItemsPlacedByPosition) {
  struct Case {
    const char* text;
    const char* written;
  };
  const Case cases[] = {
      // a content at position 1 goes between the two children
      {"<A><B/>x<C/></A>", "<A><B/>x<C/></A>"},
      // a comment positioned past the last child comes after it
      {"<A><B/><C/><!--c--></A>", "<A><B/><C/><!--c--></A>"},
      // content, then CDATA, then the child when both stand at position 0
      {"<A>t<![CDATA[d]]><B/></A>", "<A>t<![CDATA[d]]><B/></A>"},
      // without contents the CDATA section follows the last child
      {"<A><![CDATA[d]]><B/></A>", "<A><B/><![CDATA[d]]></A>"},
      // attributes only: an empty-element tag
      {"<A x=\"1\" y=\"2\"></A>", "<A x=\"1\" y=\"2\"/>"},
  };
  for (const auto& c : cases) {
    XmlDocument doc(c.text, kXmlSourceText);
    ASSERT_NE(doc.GetRootElement(), nullptr) << c.text;
    doc.SetExportFormat(WimFormat());
    EXPECT_EQ(Write(*doc.GetRootElement()), c.written) << c.text;
  }
}

TEST(XmlWriter, ContentPositionsWithComments) {
  auto a = std::make_unique<XmlElement>(nullptr, "A");
  a->AppendChild(std::make_unique<XmlElement>(nullptr, "B"));
  a->AppendChild(std::make_unique<XmlElement>(nullptr, "C"));
  a->AddContent("mid", 1);
  a->comments.push_back(std::make_unique<XmlComment>(a.get(), 5, "late"));
  a->ApplyExportFormat(WimFormat());
  EXPECT_EQ(Write(*a), "<A><B/>mid<C/><!--late--></A>");
}

TEST(XmlWriter, WithoutChildren) {
  XmlDocument doc("<A><B/></A>", kXmlSourceText);
  doc.SetExportFormat(WimFormat());
  EXPECT_EQ(Write(*doc.GetRootElement(), 1, 0), "<A/>");
  XmlDocument withText("<A>t<B/></A>", kXmlSourceText);
  withText.SetExportFormat(WimFormat());
  EXPECT_EQ(Write(*withText.GetRootElement(), 1, 0), "<A>t</A>");
}

TEST(XmlWriter, EscapedOrPlain) {
  XmlDocument doc("<v a=\"x&quot;y\">a&amp;b</v>", kXmlSourceText);
  doc.SetExportFormat(WimFormat());
  EXPECT_EQ(Write(*doc.GetRootElement(), 1), "<v a=\"x&quot;y\">a&amp;b</v>");
  EXPECT_EQ(Write(*doc.GetRootElement(), 0), "<v a=\"x\"y\">a&b</v>");
}

TEST(XmlWriter, IndentWithSpaces) {
  XmlDocument doc("<a><b><c/></b></a>", kXmlSourceText);
  XmlExportFormat f;
  f.indentWithSpaces = 1;
  f.indentCount = 3;
  doc.SetExportFormat(f);
  EXPECT_EQ(Write(*doc.GetRootElement()), "<a>\r\n   <b>\r\n      <c/>\r\n   </b>\r\n</a>\r\n");
  f.indentCount = 1000;  // capped at 50
  doc.SetExportFormat(f);
  EXPECT_EQ(doc.GetRootElement()->format.indentCount, 50);
}

TEST(XmlWriter, SingleContentStaysOnTagLine) {
  XmlDocument doc("<a><b>t</b></a>", kXmlSourceText);
  XmlExportFormat f;
  f.noBreakContents = 1;
  doc.SetExportFormat(f);
  // the content flag drops the content's indent and line break, and the end tag's indent
  EXPECT_EQ(Write(*doc.GetRootElement()), "<a>\r\n\t<b>\r\nt</b>\r\n</a>\r\n");
}

TEST(XmlWriter, HeaderAndUtf16Mark) {
  // Kind 4 starts with FF FE even when the declaration is empty, and a declaration that
  // starts with a UTF-8 byte-order mark loses it there; kind 1 keeps it.
  XmlDocument doc("\xEF\xBB\xBF<r/>", kXmlSourceText);
  ASSERT_EQ(doc.header->text, "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>");
  doc.SetExportFormat(WimFormat());
  std::string wide, narrow;
  ASSERT_EQ(doc.Save(&wide, 1, kXmlSaveUtf16Text), 1);
  std::string expected = "\xFF\xFE";
  XmlToUtf16(expected, "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?><r/>");
  EXPECT_EQ(wide, expected);
  ASSERT_EQ(doc.Save(&narrow, 1, kXmlSaveText), 1);
  EXPECT_EQ(narrow, doc.header->text + "<r/>");

  doc.SetHeader(std::make_unique<XmlHeader>(""));
  doc.header->AddComment("one", 0);
  doc.header->AddComment("two", 1);
  std::string out;
  doc.Save(&out, 1, kXmlSaveText);
  // a fresh header breaks its lines; the root keeps its compact format
  EXPECT_EQ(out, "\r\n<!--one-->\r\n<r/><!--two-->\r\n");
}

TEST(XmlWriter, EstimateBoundsOutput) {
  XmlDocument doc("<WIM><IMAGE INDEX=\"1\"><NAME>x &amp; y</NAME><!--c--><![CDATA[z]]></IMAGE></WIM>", kXmlSourceText);
  doc.SetExportFormat(XmlExportFormat{});
  std::string out;
  doc.Save(&out, 1, kXmlSaveText);
  EXPECT_GE(doc.GetRootElement()->EstimateSize(), out.size());
}

TEST(XmlWriter, NothingForUnknownKinds) {
  XmlDocument doc("<r/>", kXmlSourceText);
  std::string out;
  EXPECT_EQ(doc.Save(&out, 1, kXmlSaveNothing), 0);
  EXPECT_EQ(doc.Save(&out, 1, 5), 0);
  EXPECT_EQ(doc.Save(static_cast<std::string*>(nullptr), 1, kXmlSaveText), 0);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace nimbo

namespace nimbo {
namespace {

TEST(XmlWriter, Utf16MarkWithoutHeader) {
  XmlDocument doc("<r/>", kXmlSourceText);
  doc.SetHeader(nullptr);
  XmlExportFormat f;
  f.noBreakTags = 1;
  doc.SetExportFormat(f);
  std::string out;
  ASSERT_EQ(doc.Save(&out, 1, kXmlSaveUtf16Text), 1);
  EXPECT_EQ(out, std::string("\xFF\xFE<\0r\0/\0>\0", 10));
}

}  // namespace
}  // namespace nimbo
