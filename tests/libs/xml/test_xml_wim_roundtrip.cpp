// Round trip of a real image XML made by the wimlib tools, checked with xmllint.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"
#include "tests/libs/xml/xml_test_util.h"
#include "tests/support/skip.h"

namespace nimbo {
namespace {

using test::ReadFile;
using test::TempFolder;
using test::WriteFile;

// Runs a shell command; returns its exit status and standard output.
int RunCommand(const std::string& command, std::string* output = nullptr) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string out;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  const int status = ::pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WimXmlRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    NIMBO_SKIP_IF(test::NeedTools({"wimlib-imagex", "wiminfo", "xmllint"}));
    ASSERT_FALSE(dir_.path().empty());
    const std::string src = dir_ / "src";
    ASSERT_EQ(RunCommand("mkdir -p '" + src + "/sub' && printf hello > '" + src + "/a.txt' && printf x > '" + src +
                         "/sub/b.txt'"),
              0);
    ASSERT_EQ(RunCommand("wimlib-imagex capture '" + src + "' '" + (dir_ / "t.wim") +
                         "' 'Test & <Image> \xC3\xA9 \xF0\x9F\x98\x80' 'desc \"q\"' >/dev/null 2>&1"),
              0);
    ASSERT_EQ(RunCommand("wiminfo '" + (dir_ / "t.wim") + "' --extract-xml '" + (dir_ / "orig.xml") + "'"), 0);
    original_ = ReadFile(dir_ / "orig.xml");
    ASSERT_GE(original_.size(), 2u);
    ASSERT_EQ(original_.substr(0, 2), "\xFF\xFE");
    // Text after the root element (the tools end the file with a line break) is not kept.
    compact_ = original_;
    while (compact_.size() >= 4 && compact_.substr(compact_.size() - 2) == std::string("\n\0", 2))
      compact_.resize(compact_.size() - 2);
  }

  std::string C14n(const std::string& file) {
    std::string out;
    EXPECT_EQ(RunCommand("xmllint --c14n '" + file + "'", &out), 0) << file;
    return out;
  }

  TempFolder dir_{"nimbo_xml_"};
  std::string original_;
  std::string compact_;
};

TEST_F(WimXmlRoundTrip, CompactUtf16InMemory) {
  // The way the image engine rewrites the XML: load from memory, drop the declaration,
  // compact layout, save as UTF-16 with byte-order mark into memory.
  XmlDocument doc(original_, kXmlSourceText);
  ASSERT_EQ(doc.loadState, 1u);  // no declaration in the image XML
  XmlElement* root = doc.GetRootElement();
  ASSERT_NE(root, nullptr);
  XmlElement* image = root->FindFirstElement("IMAGE");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->FindAttribute("INDEX")->GetValueInt(), 1);
  std::string name;
  XmlElement* nameElement = image->FindElement("NAME");
  ASSERT_NE(nameElement, nullptr);
  ASSERT_FALSE(nameElement->GetContents().empty());
  nameElement->GetContents()[0]->GetValue(&name);
  EXPECT_EQ(name, "Test & <Image> \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(root->FindNextElement("IMAGE"), nullptr);

  doc.SetHeader(std::make_unique<XmlHeader>(""));
  XmlExportFormat wim;
  wim.indentCount = 0;
  wim.noBreakDeclaration = wim.noBreakComments = wim.noBreakTags = wim.noBreakContents = 1;
  doc.SetExportFormat(wim);
  std::string saved;
  ASSERT_EQ(doc.Save(&saved, 1, kXmlSaveUtf16Text), 1);
  EXPECT_EQ(saved, compact_);  // byte for byte the same text
  WriteFile(dir_ / "saved.xml", saved);
  EXPECT_EQ(RunCommand("xmllint --noout '" + (dir_ / "saved.xml") + "'"), 0);
  EXPECT_EQ(C14n(dir_ / "saved.xml"), C14n(dir_ / "orig.xml"));

  // Changing the totals as an update does: remove the contents, add the new text.
  XmlElement* total = root->FindElement("TOTALBYTES");
  ASSERT_NE(total, nullptr);
  total->RemoveAllContents();
  total->AddContent("123456789");
  std::string changed;
  ASSERT_EQ(doc.Save(&changed, 1, kXmlSaveUtf16Text), 1);
  WriteFile(dir_ / "changed.xml", changed);
  std::string value;
  EXPECT_EQ(RunCommand("xmllint --xpath 'string(/WIM/TOTALBYTES)' '" + (dir_ / "changed.xml") + "'", &value), 0);
  EXPECT_EQ(value, "123456789");
  EXPECT_EQ(RunCommand("xmllint --xpath 'string(/WIM/IMAGE/NAME)' '" + (dir_ / "changed.xml") + "'", &value), 0);
  EXPECT_EQ(value, "Test & <Image> \xC3\xA9 \xF0\x9F\x98\x80");
}

TEST_F(WimXmlRoundTrip, IndentedFilesAreWellFormed) {
  XmlDocument doc(dir_ / "orig.xml", kXmlSourceFile);
  ASSERT_NE(doc.GetRootElement(), nullptr);
  doc.SetExportFormat(XmlExportFormat{});
  const std::string utf16 = dir_ / "indented16.xml", utf8 = dir_ / "indented8.xml";
  ASSERT_EQ(doc.Save(utf16.c_str(), 1, kXmlSaveUtf16File), 1);
  ASSERT_EQ(doc.Save(utf8.c_str(), 1, kXmlSaveUtf8File), 1);
  for (const std::string& file : {utf16, utf8}) {
    EXPECT_EQ(RunCommand("xmllint --noout '" + file + "'"), 0) << file;
    std::string value;
    EXPECT_EQ(RunCommand("xmllint --xpath 'string(/WIM/IMAGE/@INDEX)' '" + file + "'", &value), 0);
    EXPECT_EQ(value, "1");
  }
  // The saved files read back into the same compact text.
  XmlDocument again(utf16, kXmlSourceFile);
  again.SetHeader(std::make_unique<XmlHeader>(""));
  XmlExportFormat wim;
  wim.indentCount = 0;
  wim.noBreakDeclaration = wim.noBreakComments = wim.noBreakTags = wim.noBreakContents = 1;
  again.SetExportFormat(wim);
  std::string saved;
  ASSERT_EQ(again.Save(&saved, 1, kXmlSaveUtf16Text), 1);
  EXPECT_EQ(saved, compact_);
}

}  // namespace
}  // namespace nimbo
