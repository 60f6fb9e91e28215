// Tree editing, comparison, paths, queries and swap files, with the document written out
// after each operation and compared as text.
#include <gtest/gtest.h>

#include <functional>

#include "libs/xml/xml_document.h"
#include "tests/libs/xml/xml_test_util.h"

namespace nimbo {
namespace {

std::string Text(XmlDocument& doc) {
  XmlExportFormat compact;
  compact.noBreakDeclaration = compact.noBreakComments = compact.noBreakTags = compact.noBreakContents = 1;
  compact.indentCount = 0;
  doc.SetExportFormat(compact);
  std::string out;
  doc.Save(&out, 1, kXmlSaveText);
  const auto decl = out.find("?>");
  return decl == std::string::npos ? out : out.substr(decl + 2);
}

constexpr const char* kImages =
    "<?xml version=\"1.0\"?><WIM><IMAGE INDEX=\"1\"><NAME>a</NAME></IMAGE><IMAGE INDEX=\"2\"><NAME>b</NAME></IMAGE>"
    "<IMAGE INDEX=\"20\"/><IMAGE/></WIM>";

TEST(XmlEdit, OperationsTable) {
  struct Case {
    const char* name;
    std::function<void(XmlElement*)> edit;
    const char* expected;
  } cases[] = {
      {"append", [](XmlElement* r) { r->AddChildElement("<c x=\"1\"/>"); }, "<r><a/><b/><c x=\"1\"/></r>"},
      {"insert at 0", [](XmlElement* r) { r->InsertChild(0, std::make_unique<XmlElement>(nullptr, "z")); },
       "<r><z/><a/><b/></r>"},
      {"insert past end", [](XmlElement* r) { r->InsertChild(9, std::make_unique<XmlElement>(nullptr, "z")); },
       "<r><a/><b/><z/></r>"},
      {"move", [](XmlElement* r) { r->MoveChild(0, 1); }, "<r><b/><a/></r>"},
      {"remove", [](XmlElement* r) { r->RemoveChildAt(0); }, "<r><b/></r>"},
      {"remove out of range", [](XmlElement* r) { EXPECT_EQ(r->RemoveChildAt(5), 2); }, "<r><a/><b/></r>"},
      {"replace",
       [](XmlElement* r) {
         std::unique_ptr<XmlElement> old;
         EXPECT_TRUE(r->ReplaceChild(1, std::make_unique<XmlElement>(nullptr, "n"), &old));
         EXPECT_EQ(old->name, "b");
         EXPECT_FALSE(r->ReplaceChild(7, std::make_unique<XmlElement>(nullptr, "n"), nullptr));
       },
       "<r><a/><n/></r>"},
      {"attributes",
       [](XmlElement* r) {
         r->AddAttribute("k", "v&w");
         r->AddAttribute("j", "1");
         r->RemoveAttributeAt(1);
       },
       "<r k=\"v&amp;w\"><a/><b/></r>"},
      {"comment and cdata",
       [](XmlElement* r) {
         r->AddComment(" c ", 1);
         r->AddCData("x<y", 2);
       },
       "<r><a/><!-- c --><b/><![CDATA[x<y]]></r>"},
      {"rename", [](XmlElement* r) { r->children[0]->SetName("q&q"); }, "<r><q&amp;q/><b/></r>"},
      {"sort",
       [](XmlElement* r) {
         r->AddChildElement("A0");
         r->SortChildren();
       },
       "<r><a/><A0/><b/></r>"},
      {"merge",
       [](XmlElement* r) {
         XmlElement other(nullptr, "<r k=\"2\"><b><c/></b><d/></r>");
         other.children.clear();
         other.AddChildElement("b")->AddChildElement("c");
         other.AddChildElement("d");
         r->AddAttribute("k", "1");
         r->Merge(other, false);
       },
       "<r k=\"1\"><a/><b><c/></b><d/></r>"},
      {"temporary sweep",
       [](XmlElement* r) {
         r->AppendChild(std::make_unique<XmlElement>(nullptr, "t", 0, 1));
         r->children[0]->AppendChild(std::make_unique<XmlElement>(nullptr, "t2", 0, 1));
         r->FindAttribute("tmp", 1, "x", 1);
         EXPECT_EQ(r->RemoveTemporaryChildren(true), 2);
         EXPECT_EQ(r->RemoveTemporaryAttributes(true), 1);
       },
       "<r><a/><b/></r>"},
  };
  for (const Case& c : cases) {
    XmlDocument doc;
    doc.LoadText("<r><a/><b/></r>");
    c.edit(doc.GetRootElement());
    EXPECT_EQ(Text(doc), c.expected) << c.name;
    EXPECT_TRUE(doc.Validate()) << c.name;
  }
}

TEST(XmlEdit, BorrowedChildrenStayAlive) {
  XmlElement owner(nullptr, "own");
  XmlElement* kept = owner.AddChildElement("kept");
  {
    XmlElement view(nullptr, "view");
    view.AddChildElement("mine");
    EXPECT_EQ(view.InsertBorrowedChild(kept, 0), 0);
    EXPECT_EQ(kept->parent, &owner) << "a borrowed child keeps its parent";
    EXPECT_EQ(view.children.size(), 2u);
    EXPECT_EQ(view.ReleaseBorrowedChildren(), 1);
    EXPECT_EQ(view.children.size(), 1u);
    view.InsertBorrowedChild(kept, 5);
    view.RemoveAllChildren();  // deletes "mine", leaves the borrowed one
    EXPECT_TRUE(view.children.empty());
    view.InsertBorrowedChild(kept, 0);
  }  // the view's destructor leaves it alone too
  EXPECT_EQ(owner.children[0].get(), kept);
  EXPECT_EQ(kept->name, "kept");
}

TEST(XmlEdit, CopyCompareAndPaths) {
  XmlDocument doc;
  doc.LoadText(kImages);
  auto copy = doc.Duplicate();
  EXPECT_EQ(doc.Compare(*copy), 0);
  copy->GetRootElement()->children[0]->FindAttribute("INDEX")->SetValue("11");  // longer value
  EXPECT_EQ(doc.Compare(*copy), 1);
  XmlElement* name = doc.GetRootElement()->FindByPath("IMAGE\\NAME");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->GetPath(), "IMAGE\\NAME");
  EXPECT_EQ(name->GetDepth(), 2);
  EXPECT_EQ(doc.GetRootElement()->FindByPath(""), doc.GetRootElement());
  EXPECT_EQ(doc.GetRootElement()->FindByPath("IMAGE\\MISSING"), nullptr);
  EXPECT_EQ(doc.GetRootElement()->CountDescendants(-1), 6);
  std::vector<XmlElement*> all;
  EXPECT_EQ(doc.GetRootElement()->CollectDescendants(&all, -1), 6);
  EXPECT_EQ(all[0]->name, "NAME") << "each child comes after its own descendants";
  EXPECT_EQ(doc.GetRootElement()->CountDescendants(0), doc.GetRootElement()->CollectDescendants(nullptr, 0));
}

TEST(XmlEdit, Queries) {
  XmlDocument doc;
  doc.LoadText(kImages);
  struct Case {
    const char* query;
    int matches;
  } cases[] = {
      {"INDEX == \"2*\"", 2},      {"INDEX >= 2", 2},     {"INDEX < 2", 1},
      {"INDEX != \"*\"", 0},       {"? == \"image\"", 4}, {"? == \"NAME\" ~0 == \"b\"", 1},
      {"! == \"IMAGE\\NAME\"", 2}, {"nothing", 6},        {"INDEX == 1 ? == \"IMAGE\"", 1},
      {"INDEX ~~ 3", 3},
  };
  for (const Case& c : cases) {
    std::vector<XmlElement*> out;
    EXPECT_EQ(doc.QueryByPath("", c.query, &out), c.matches) << c.query;
    EXPECT_EQ(static_cast<int>(out.size()), c.matches) << c.query;
  }
  EXPECT_TRUE(XmlWildcardMatch("Boot.WIM", "*.wim"));
  EXPECT_FALSE(XmlWildcardMatch("boot.wi", "*.wim"));
  EXPECT_TRUE(XmlWildcardMatch("a", "?"));
}

TEST(XmlEdit, SwapOutAndIn) {
  test::TempFolder dir{"nimbo_xml_"};
  SetXmlSwapFolder(dir.path());
  XmlDocument doc;
  doc.LoadText("<r><a/><b k=\"&amp;\"><c>x &lt; y</c></b></r>");
  const std::string before = Text(doc);
  XmlElement* root = doc.GetRootElement();
  EXPECT_EQ(root->SwapFileName(1), dir.path() + "/1.xmltmp");
  EXPECT_EQ(root->children[1]->SwapFileName(5), dir.path() + "/1-5.xmltmp");
  ASSERT_TRUE(root->SwapOutChild(1));
  EXPECT_EQ(root->children[1], nullptr);
  test::WriteFile(dir / "0.xmltmp", "<x/>");
  EXPECT_FALSE(root->SwapOutChild(0)) << "an existing swap file is never overwritten";
  EXPECT_NE(Text(doc).find("x &lt; y"), std::string::npos) << "the writer swaps in what it needs";
  EXPECT_EQ(Text(doc), before) << "the same subtree, escaped texts included";
  EXPECT_FALSE(std::filesystem::exists(dir / "1.xmltmp"));
  SetXmlSwapFolder("");
}

TEST(XmlEdit, TypedAttributeValues) {
  XmlAttribute a("n");
  a.SetValueUInt64(18446744073709551615ull);
  EXPECT_EQ(a.GetValueUInt64(), 18446744073709551615ull);
  a.SetValueInt64(-5);
  EXPECT_EQ(a.GetValueInt64(), -5);
  a.SetValueFloat(2.5);
  EXPECT_EQ(a.value, "2.500000");
  EXPECT_DOUBLE_EQ(a.GetValueFloat(), 2.5);
  a.SetValueFormat("%s<%d", "x", 3);
  EXPECT_EQ(a.value, "x&lt;3");
  XmlVersion v;
  XmlGetVersion(&v);
  EXPECT_EQ(v.major, 1u);
  EXPECT_EQ(v.minor, 100u);
  EXPECT_STREQ(v.date, "13-10-2011");
}

}  // namespace
}  // namespace nimbo
