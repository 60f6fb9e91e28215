#include <gtest/gtest.h>

#include <string>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"
#include "tests/libs/xml/xml_test_util.h"

namespace nimbo {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

constexpr const char* kDefaultDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";

std::string Utf16(const std::string& utf8, bool bigEndian, bool mark) {
  std::string le;
  XmlToUtf16(le, utf8);
  std::string out = mark ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
  for (std::size_t k = 0; k + 1 < le.size(); k += 2) {
    if (bigEndian) {
      out += le[k + 1];
      out += le[k];
    } else {
      out += le[k];
      out += le[k + 1];
    }
  }
  return out;
}

std::string ContentOf(XmlElement* e) {
  std::string out;
  if (e && !e->GetContents().empty()) e->GetContents()[0]->GetValue(&out);
  return out;
}

TEST(XmlDocument, LoadsEveryEncodingFromMemoryAndFile) {
  const std::string declaration = "<?xml version=\"1.0\"?>";
  const std::string body = "<WIM><IMAGE INDEX=\"1\"><NAME>caf\xC3\xA9 \xF0\x9F\x98\x80 &#x1F600;</NAME></IMAGE></WIM>";
  const std::string plainName = "caf\xC3\xA9 \xF0\x9F\x98\x80 \xF0\x9F\x98\x80";
  struct Case {
    const char* label;
    std::string bytes;
    std::string headerText;
    unsigned loadState;
  };
  const std::string mark = "\xEF\xBB\xBF";
  const std::string defaultWithMark = mark + kDefaultDeclaration;
  const Case cases[] = {
      {"utf8", declaration + body, declaration, 0},
      {"utf8 mark", mark + declaration + body, mark + declaration, 0},
      {"utf16le mark", Utf16(declaration + body, false, true), mark + declaration, 0},
      {"utf16le", Utf16(declaration + body, false, false), declaration, 0},
      {"utf16be mark", Utf16(declaration + body, true, true), mark + declaration, 0},
      {"utf16be", Utf16(declaration + body, true, false), declaration, 0},
      {"utf8 no declaration", body, defaultWithMark, 1},
      {"utf16le mark no declaration", Utf16(body, false, true), defaultWithMark, 1},
      {"utf16be no declaration", Utf16(body, true, false), defaultWithMark, 1},
  };
  TempFolder dir{"nimbo_xml_"};
  for (const auto& c : cases) {
    WriteFile(dir / "in.xml", c.bytes);
    XmlDocument fromMemory(c.bytes, kXmlSourceText);
    XmlDocument fromFile(dir / "in.xml", kXmlSourceFile);
    for (XmlDocument* doc : {&fromMemory, &fromFile}) {
      ASSERT_NE(doc->GetRootElement(), nullptr) << c.label;
      EXPECT_EQ(doc->loadState, c.loadState) << c.label;
      EXPECT_EQ(doc->header->text, c.headerText) << c.label;
      XmlElement* image = doc->GetRootElement()->FindElement("IMAGE");
      ASSERT_NE(image, nullptr) << c.label;
      EXPECT_EQ(ContentOf(image->FindElement("NAME")), plainName) << c.label;
      EXPECT_TRUE(doc->GetRootElement()->GetContents().empty()) << c.label;  // no mark left in a content
    }
  }
}

TEST(XmlDocument, DefaultsForMissingInput) {
  struct Case {
    std::string text;
    const char* rootName;
    unsigned loadState;
  };
  const Case cases[] = {
      {"", "root", 0},
      {std::string("\0\0x", 3), "root", 0},
      {"   ", "root", 1},  // no '<' at all
      {"<?xml version=\"1.0\"?>", "root", 1},
      {"<?xml version=\"1.0\"?> <!-- only --> ", "", 0},  // a comment but no element
  };
  for (const auto& c : cases) {
    XmlDocument doc(c.text, kXmlSourceText);
    if (*c.rootName) {
      ASSERT_NE(doc.GetRootElement(), nullptr) << c.text;
      EXPECT_EQ(doc.GetRootElement()->name, c.rootName) << c.text;
    } else {
      EXPECT_EQ(doc.GetRootElement(), nullptr) << c.text;
    }
    EXPECT_EQ(doc.loadState, c.loadState) << c.text;
    ASSERT_NE(doc.header, nullptr);
  }
  XmlDocument empty;
  EXPECT_EQ(empty.header->text, kDefaultDeclaration);
  EXPECT_EQ(empty.GetRootElement()->name, "root");
}

TEST(XmlDocument, MissingFileIsCreatedOnSave) {
  TempFolder dir{"nimbo_xml_"};
  const std::string name = dir / "new.xml";
  {
    XmlDocument doc(name, kXmlSourceFile);
    EXPECT_EQ(doc.loadState, 0u);
    EXPECT_EQ(doc.header->text, kDefaultDeclaration);
    EXPECT_EQ(doc.GetRootElement()->name, "root");
    EXPECT_EQ(doc.sourceName, name);
    doc.GetRootElement()->FindElement("item", 1)->AddContent("a<b");
    EXPECT_EQ(doc.Save(nullptr, 1, kXmlSaveUtf8File), 1);
  }
  EXPECT_EQ(ReadFile(name),
            std::string(kDefaultDeclaration) + "\r\n<root>\r\n\t<item>\r\n\t\ta&lt;b\r\n\t</item>\r\n</root>\r\n");

  XmlDocument memory("<r/>", kXmlSourceText);
  EXPECT_EQ(memory.Save(nullptr, 1, kXmlSaveUtf8File), 0);  // no source name
  EXPECT_EQ(memory.Save((dir / "no/such/folder.xml").c_str(), 1, kXmlSaveUtf8File), 0);
  EXPECT_EQ(memory.Save((dir / "x.xml").c_str(), 1, kXmlSaveText), 0);  // memory kind needs a buffer
  XmlDocument folder(dir.path(), kXmlSourceFile);                       // a folder is not a readable file
  EXPECT_EQ(folder.GetRootElement()->name, "root");
}

TEST(XmlDocument, SavesFilesInBothEncodings) {
  TempFolder dir{"nimbo_xml_"};
  const std::string text = "<?xml version=\"1.0\"?><A><B x=\"&#x1F600;&amp;\">caf\xC3\xA9</B><!--c--></A>";
  XmlDocument doc(text, kXmlSourceText);
  XmlExportFormat compact;
  compact.indentCount = 0;
  compact.noBreakComments = compact.noBreakTags = compact.noBreakContents = 1;
  doc.SetExportFormat(compact);
  const std::string utf8 = dir / "a8.xml", utf16 = dir / "a16.xml";
  ASSERT_EQ(doc.Save(utf8.c_str(), 1, kXmlSaveUtf8File), 1);
  const std::string tree = "<A><B x=\"&#x1F600;&amp;\">caf\xC3\xA9</B><!--c--></A>";
  EXPECT_EQ(ReadFile(utf8), std::string(kDefaultDeclaration) + "\r\n" + tree);
  ASSERT_EQ(doc.Save(utf16.c_str(), 1, kXmlSaveUtf16File), 1);
  EXPECT_EQ(ReadFile(utf16),
            Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\" ?>\r\n" + tree, false, true));

  for (const std::string& name : {utf8, utf16}) {
    XmlDocument again(name, kXmlSourceFile);
    EXPECT_EQ(again.loadState, 0u) << name;
    XmlElement* b = again.GetRootElement()->FindElement("B");
    ASSERT_NE(b, nullptr) << name;
    std::string value;
    b->FindAttribute("x")->GetValue(&value);
    EXPECT_EQ(value, "\xF0\x9F\x98\x80&") << name;
    EXPECT_EQ(ContentOf(b), "caf\xC3\xA9") << name;
  }

  // Wide file names.
  const std::u16string wide = Utf8ToUtf16(dir / "w\xC3\xA9.xml");
  ASSERT_EQ(doc.Save(wide.c_str(), 1, kXmlSaveUtf16File), 1);
  XmlDocument byWide(wide);
  EXPECT_TRUE(byWide.wideName);
  EXPECT_NE(byWide.GetRootElement()->FindElement("B"), nullptr);
  EXPECT_EQ(byWide.Save(nullptr, 1, kXmlSaveUtf8File), 1);
  EXPECT_EQ(ReadFile(dir / "w\xC3\xA9.xml").substr(0, 5), "<?xml");
}

TEST(XmlDocument, SaveOnDestroyWritesSourceFile) {
  TempFolder dir{"nimbo_xml_"};
  const std::string name = dir / "s.xml";
  WriteFile(name, "<?xml version=\"1.0\"?><r/>");
  {
    XmlDocument doc(name, kXmlSourceFile);
    doc.GetRootElement()->AddContent("v");
    doc.saveOnDestroy = true;
  }
  XmlDocument again(name, kXmlSourceFile);
  EXPECT_EQ(ContentOf(again.GetRootElement()), "v");
}

TEST(XmlDocument, FindersVisitChildrenInOrder) {
  XmlDocument doc(
      "<WIM><TOTALBYTES>10</TOTALBYTES><IMAGE INDEX=\"1\"/><name/><IMAGE INDEX=\"2\"/>"
      "<IMAGE INDEX=\"3\"/></WIM>",
      kXmlSourceText);
  XmlElement* root = doc.GetRootElement();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->AppendChild(std::make_unique<XmlElement>(nullptr, "A&B"))->name, "A&amp;B");
  EXPECT_EQ(root->FindElement("NAME"), nullptr);  // case matters
  EXPECT_NE(root->FindElement("name"), nullptr);
  EXPECT_NE(root->FindElement("A&B"), nullptr);  // the stored name is unescaped for comparing
  EXPECT_EQ(root->FindElement("A&amp;B"), nullptr);

  std::vector<int> indexes;
  for (XmlElement* image = root->FindFirstElement("IMAGE"); image; image = root->FindNextElement("IMAGE"))
    indexes.push_back(image->FindAttribute("INDEX")->GetValueInt());
  EXPECT_EQ(indexes, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(root->FindNextElement("IMAGE"), nullptr);  // stays at the end
  EXPECT_EQ(root->FindNextElement("IMAGE"), nullptr);
  EXPECT_EQ(root->FindFirstElement("NONE"), nullptr);
  EXPECT_EQ(root->findCursor, root->children.size());

  XmlElement* made = root->FindElement("NEW", 1, "<NEW a=\"1\">", 1);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made, root->children.back().get());
  EXPECT_EQ(made->parent, root);
  EXPECT_TRUE(made->temporary);
  EXPECT_EQ(made->attributes.size(), 1u);
  EXPECT_EQ(root->FindElement("NEW"), made);
}

TEST(XmlDocument, ContentsAndAttributes) {
  XmlDocument doc("<WIM><TOTALBYTES>10</TOTALBYTES><E></E></WIM>", kXmlSourceText);
  XmlElement* root = doc.GetRootElement();
  EXPECT_TRUE(root->FindElement("E")->GetContents().empty());

  XmlElement* total = root->FindElement("TOTALBYTES");
  ASSERT_EQ(total->GetContents().size(), 1u);
  EXPECT_EQ(ContentOf(total), "10");
  total->RemoveAllContents();
  EXPECT_TRUE(total->GetContents().empty());
  EXPECT_EQ(total->AddContent("a<b"), 1);
  EXPECT_EQ(total->contents[0]->text, "a&lt;b");
  std::string plain;
  EXPECT_EQ(total->contents[0]->GetValue(&plain), 3u);
  EXPECT_EQ(plain, "a<b");
  EXPECT_EQ(total->contents[0]->GetValue(nullptr), 6u);
  EXPECT_EQ(total->AddContent(u"\u00E9", 2), 2);
  EXPECT_EQ(total->contents[1]->text, "\xC3\xA9");
  EXPECT_EQ(total->contents[1]->position, 2);
  EXPECT_EQ(total->AddContent(std::string_view("\x00\x01\xFF", 3), 0, 3), 3);
  EXPECT_EQ(total->contents[2]->text, "AAH/");    // bytes are stored as Base64
  EXPECT_EQ(total->AddContent("ab", 0, 100), 4);  // never read past the text
  EXPECT_EQ(total->contents[3]->text, "YWI=");

  struct IntCase {
    const char* value;
    int number;
  };
  const IntCase ints[] = {{"12abc", 12},
                          {"", 0},
                          {" -3", -3},
                          {"+7", 7},
                          {"x1", 0},
                          {"&#52;2", 42},
                          {"99999999999", 2147483647},
                          {"-99999999999", -2147483647 - 1}};
  for (const auto& c : ints) EXPECT_EQ(XmlAttribute("v", c.value, 1).GetValueInt(), c.number) << c.value;

  XmlAttribute* a = root->FindAttribute("k", 1, "x<y");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->owner, root);
  EXPECT_EQ(a->value, "x&lt;y");
  EXPECT_EQ(root->FindAttribute("k"), a);
  EXPECT_EQ(root->FindAttribute("K"), nullptr);
  XmlAttribute named("n  ", "", 1);
  EXPECT_EQ(named.name, "n");
  std::string name;
  EXPECT_EQ(root->GetName(&name), 3u);
  EXPECT_EQ(root->GetName(nullptr), 3u);
}

TEST(XmlDocument, RootAndHeaderExchange) {
  XmlDocument doc("<a><b/></a>", kXmlSourceText);
  auto old = doc.DetachRootElement();
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->name, "a");
  EXPECT_EQ(doc.GetRootElement()->name, "root");
  doc.SetRootElement(std::move(old));
  EXPECT_EQ(doc.GetRootElement()->name, "a");
  doc.SetHeader(std::make_unique<XmlHeader>(u"<?x?>"));
  EXPECT_EQ(doc.header->text, "<?x?>");
  doc.header->SetDeclaration("UTF-16");
  EXPECT_EQ(doc.header->text, "<?xml version=\"1.0\" encoding=\"UTF-16\" standalone=\"yes\" ?>");

  XmlDocument wide;
  wide.LoadWideText(u"<a>\u00E9</a>");
  EXPECT_EQ(ContentOf(wide.GetRootElement()), "\xC3\xA9");
}

// Reverses the bytes: enough to show the encoder and decoder are used.
class ReverseTransform : public XmlTransform {
 public:
  std::string Encode(std::string_view input) override { return {input.rbegin(), input.rend()}; }
  std::string Decode(std::string_view input) override { return {input.rbegin(), input.rend()}; }
};

TEST(XmlDocument, TransformEncodesAndDecodes) {
  TempFolder dir{"nimbo_xml_"};
  ReverseTransform transform;
  XmlDocument doc("<?xml version=\"1.0\"?><a>t</a>", kXmlSourceText);
  doc.SetExportFormat(XmlExportFormat{});
  const std::string name = dir / "t.bin";
  ASSERT_EQ(doc.Save(name.c_str(), 1, kXmlSaveUtf8File, &transform), 1);
  const std::string raw = ReadFile(name);
  EXPECT_EQ(raw.substr(0, 4), "\n\r>a");
  XmlDocument back(name, kXmlSourceFile, &transform);
  EXPECT_EQ(ContentOf(back.GetRootElement()), "t");
  EXPECT_TRUE(back.sourceName.empty());
}

}  // namespace
}  // namespace nimbo
