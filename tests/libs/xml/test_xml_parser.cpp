#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "libs/xml/xml_document.h"

namespace nimbo {
namespace {

std::string Name(const XmlElement* e) {
  std::string out;
  if (e) e->GetName(&out);
  return out;
}

std::string Content(const XmlElement* e, std::size_t k = 0) {
  std::string out;
  if (e && k < e->contents.size()) e->contents[k]->GetValue(&out, 1);
  return out;
}

// Names of the children, joined by ','.
std::string ChildNames(const XmlElement* e) {
  std::string out;
  for (const auto& c : e->children) {
    if (!out.empty()) out += ',';
    out += Name(c.get());
  }
  return out;
}

TEST(XmlParser, WimImageText) {
  XmlDocument doc("<WIM><IMAGE INDEX=\"1\"><NAME>x</NAME></IMAGE></WIM>", kXmlSourceText);
  XmlElement* root = doc.GetRootElement();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(Name(root), "WIM");
  ASSERT_EQ(root->children.size(), 1u);
  XmlElement* image = root->children[0].get();
  EXPECT_EQ(Name(image), "IMAGE");
  EXPECT_EQ(image->parent, root);
  ASSERT_EQ(image->attributes.size(), 1u);
  EXPECT_EQ(image->attributes[0]->name, "INDEX");
  EXPECT_EQ(image->attributes[0]->value, "1");
  ASSERT_EQ(image->children.size(), 1u);
  XmlElement* name = image->children[0].get();
  EXPECT_EQ(Name(name), "NAME");
  ASSERT_EQ(name->contents.size(), 1u);
  EXPECT_EQ(name->contents[0]->position, 0);
  EXPECT_EQ(Content(name), "x");
  EXPECT_EQ(doc.loadState, 1u);  // no declaration
}

TEST(XmlParser, TextBetweenTagsIsTrimmedAndPositioned) {
  XmlDocument doc("<?xml version=\"1.0\"?>\r\n<A> x <B/> y </A>\n", kXmlSourceText);
  XmlElement* a = doc.GetRootElement();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(doc.loadState, 0u);
  EXPECT_EQ(doc.header->text, "<?xml version=\"1.0\"?>");
  EXPECT_EQ(ChildNames(a), "B");
  ASSERT_EQ(a->contents.size(), 2u);
  EXPECT_EQ(Content(a, 0), "x");
  EXPECT_EQ(a->contents[0]->position, 0);
  EXPECT_EQ(Content(a, 1), "y");
  EXPECT_EQ(a->contents[1]->position, 1);

  XmlDocument blanks("<A>\r\n\t <B/>\n  \t</A>", kXmlSourceText);
  EXPECT_TRUE(blanks.GetRootElement()->contents.empty());
  XmlDocument control("<A>\x01 x \x01</A>", kXmlSourceText);  // other control characters end trimming
  EXPECT_EQ(Content(control.GetRootElement()), "\x01 x \x01");
}

TEST(XmlParser, CommentPositions) {
  XmlDocument doc("<?xml version=\"1.0\"?><!--before--><A><B/><!--in--><C/></A><!--after-->", kXmlSourceText);
  ASSERT_EQ(doc.header->comments.size(), 2u);
  EXPECT_EQ(doc.header->comments[0]->text, "before");
  EXPECT_EQ(doc.header->comments[0]->position, 0);
  EXPECT_EQ(doc.header->comments[1]->text, "after");
  EXPECT_EQ(doc.header->comments[1]->position, 1);
  XmlElement* a = doc.GetRootElement();
  ASSERT_EQ(a->comments.size(), 1u);
  EXPECT_EQ(a->comments[0]->text, "in");
  EXPECT_EQ(a->comments[0]->position, 1);
  EXPECT_EQ(a->comments[0]->owner, a);
}

TEST(XmlParser, CDataSections) {
  XmlDocument doc("<A><![CDATA[x<y>&z]]><B/><![CDATA[]]></A>", kXmlSourceText);
  XmlElement* a = doc.GetRootElement();
  ASSERT_EQ(a->cdataSections.size(), 2u);
  EXPECT_EQ(a->cdataSections[0]->text, "x<y>&z");
  EXPECT_EQ(a->cdataSections[0]->position, 0);
  EXPECT_EQ(a->cdataSections[1]->text, "");
  EXPECT_EQ(a->cdataSections[1]->position, 1);
  EXPECT_EQ(ChildNames(a), "B");
}

TEST(XmlParser, TagQuirks) {
  struct Case {
    const char* text;
    const char* childNames;  // of the root
    unsigned loadState;
  };
  const Case cases[] = {
      {"<a><b></c></a>", "b", 1},  // end-tag names are not compared
      {"<a><b/><c></c><d/></a>", "b,c,d", 1},
      {"<a><b></b></a><z></z>", "", 1},  // the latest top-level element is the root
  };
  for (const auto& c : cases) {
    XmlDocument doc(c.text, kXmlSourceText);
    ASSERT_NE(doc.GetRootElement(), nullptr) << c.text;
    EXPECT_EQ(ChildNames(doc.GetRootElement()), c.childNames) << c.text;
    EXPECT_EQ(doc.loadState, c.loadState) << c.text;
  }
  XmlDocument two("<a><b></b></a><z></z>", kXmlSourceText);
  EXPECT_EQ(Name(two.GetRootElement()), "z");
  XmlDocument empties("<a/><z/>", kXmlSourceText);  // an empty-element tag is kept only when first
  EXPECT_EQ(Name(empties.GetRootElement()), "a");
}

TEST(XmlParser, Attributes) {
  struct Case {
    const char* tag;
    std::vector<std::pair<std::string, std::string>> attributes;
    const char* name;
  };
  const Case cases[] = {
      {"<a x=\"1\"y=\"2\">", {{"x", "1"}, {"y", "2"}}, "a"},
      {"<a x='1'>", {}, "a"},  // double quotes only
      {"<IMAGE\r\nINDEX=\"1\">", {{"INDEX", "1"}}, "IMAGE"},
      {"<a  x  =\"a&amp;b\" >", {{"x", "a&amp;b"}}, "a"},  // name trimmed, value as written
      {"<a x=\"1\" y>", {{"x", "1"}}, "a"},                // malformed attribute ends the list
      {"<a x=\"1\" y=\"2>", {{"x", "1"}}, "a"},
      {"root", {}, "root"},
      {"<<b>", {}, "b"},
      {"a/", {}, "a"},
  };
  for (const auto& c : cases) {
    XmlElement e(nullptr, c.tag);
    EXPECT_EQ(Name(&e), c.name) << c.tag;
    ASSERT_EQ(e.attributes.size(), c.attributes.size()) << c.tag;
    for (std::size_t k = 0; k < c.attributes.size(); ++k) {
      EXPECT_EQ(e.attributes[k]->name, c.attributes[k].first) << c.tag;
      EXPECT_EQ(e.attributes[k]->value, c.attributes[k].second) << c.tag;
      EXPECT_EQ(e.attributes[k]->owner, &e);
    }
  }
  XmlElement whole(nullptr, "<a x=\"1\">", 1);
  EXPECT_EQ(whole.name, "<a x=\"1\">");
  EXPECT_TRUE(whole.attributes.empty());
}

TEST(XmlParser, ReferencesStayEscaped) {
  XmlDocument doc("<v>a&amp;b</v>", kXmlSourceText);
  XmlElement* v = doc.GetRootElement();
  ASSERT_EQ(v->contents.size(), 1u);
  std::string stored, plain;
  v->contents[0]->GetValue(&stored, 1);
  v->contents[0]->GetValue(&plain, 0);
  EXPECT_EQ(stored, "a&amp;b");
  EXPECT_EQ(plain, "a&b");
}

TEST(XmlParser, ProcessingInstructionsAndComments) {
  // A processing instruction is taken down the comment path: four characters cut at the
  // front and three at the end; very short ones give an empty text.
  XmlDocument doc("<a><?pi data?><!----><?a?><!--><b/></a>", kXmlSourceText);
  XmlElement* a = doc.GetRootElement();
  ASSERT_NE(a, nullptr);
  std::vector<std::string> texts;
  for (const auto& c : a->comments) texts.push_back(c->text);
  EXPECT_EQ(texts, (std::vector<std::string>{" dat", "", "", ""}));
  EXPECT_EQ(ChildNames(a), "b");
  EXPECT_EQ(doc.loadState, 1u);

  XmlDocument top("<?a?><!-->x<r/>", kXmlSourceText);
  ASSERT_EQ(top.header->text, "<?a?>");
  ASSERT_EQ(top.header->comments.size(), 1u);
  EXPECT_EQ(top.header->comments[0]->text, "");
  EXPECT_EQ(Name(top.GetRootElement()), "r");
  EXPECT_EQ(top.loadState, 0u);
}

TEST(XmlParser, UnclosedElement) {
  XmlDocument doc("<a>", kXmlSourceText);
  EXPECT_EQ(doc.loadState, 2u);
  EXPECT_EQ(doc.GetRootElement(), nullptr);
  XmlDocument doctype("<!DOCTYPE x><x></x>", kXmlSourceText);
  EXPECT_EQ(doctype.loadState, 2u);
}

TEST(XmlParser, ScanStoppingInsideStartTag) {
  // A '/' outside quotes inside a start tag ends the element scan there: the element is
  // kept and nothing inside it is read.
  XmlDocument doc("<a b=c/d>text</a>", kXmlSourceText);
  ASSERT_NE(doc.GetRootElement(), nullptr);
  EXPECT_EQ(Name(doc.GetRootElement()), "a");
  EXPECT_TRUE(doc.GetRootElement()->contents.empty());
  XmlDocument quoted("<a x=\"<\" y/z>t</a>", kXmlSourceText);
  ASSERT_NE(quoted.GetRootElement(), nullptr);
  EXPECT_EQ(Name(quoted.GetRootElement()), "a");
}

}  // namespace
}  // namespace nimbo
