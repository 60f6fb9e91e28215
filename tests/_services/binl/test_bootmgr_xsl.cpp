#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "bootmgr_xsl.h"

namespace {

const char kSheet[] = R"(<?xml version="1.0" encoding="utf-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform" xmlns:osxml="urn:test-osxml">
  <xsl:output method="xml"/>
  <xsl:template match="osboot-list">
    <osxml:text-mode-ui background-color="XXXX">
      <head>
        <xsl:for-each select="@wds">
          <title color="XXXX">Old title</title>
        </xsl:for-each>
        <footer>ENTER=Choose</footer>
      </head>
      <body><p>old body</p></body>
    </osxml:text-mode-ui>
  </xsl:template>
</xsl:stylesheet>
)";

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

struct Edited {
  int rc;
  pugi::xml_document doc;
};

int Edit(const std::string& sheet, int style, const std::string& title, int platform, pugi::xml_document* doc,
         std::vector<uint8_t>* raw = nullptr) {
  std::vector<uint8_t> buffer = Bytes(sheet);
  uint32_t length = uint32_t(buffer.size());
  int rc = EditBootmgrXsl(buffer, length, style, title.c_str(), platform);
  if (rc == 0) {
    EXPECT_EQ(buffer.size(), size_t(length) + 2);
    EXPECT_EQ(buffer[length], 0);
    EXPECT_EQ(buffer[length + 1], 0);
    EXPECT_TRUE(doc->load_buffer(buffer.data(), length, pugi::parse_default | pugi::parse_comments,
                                 pugi::encoding_utf16_le));
    if (raw) *raw = buffer;
  }
  return rc;
}

std::string Line(const std::string& framed, int n) {
  size_t start = 0;
  for (int i = 0; i < n; ++i) start = framed.find('\n', start) + 1;
  return framed.substr(start, framed.find('\n', start) - start);
}

size_t Points(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

TEST(BootmgrXsl, EditsBothStylesAndPlatforms) {
  const char* head = "/xsl:stylesheet/xsl:template[@match='osboot-list']/osxml:text-mode-ui/head";
  for (int style : {1, 2}) {
    for (int platform : {2, 3}) {
      for (size_t titleLength : {size_t(5), size_t(76), size_t(77), size_t(90)}) {
        SCOPED_TRACE(std::to_string(style) + "/" + std::to_string(platform) + "/" + std::to_string(titleLength));
        std::string title(titleLength, 'T');
        title[0] = 'A';
        pugi::xml_document doc;
        std::vector<uint8_t> raw;
        ASSERT_EQ(Edit(kSheet, style, title, platform, &doc, &raw), 0);
        // UTF-16 text, little-endian.
        EXPECT_EQ(raw[0], '<');
        EXPECT_EQ(raw[1], 0);
        const size_t line = style == 1 ? 78 : 79, room = line - 2;
        pugi::xml_node t = doc.select_node((std::string(head) + "/xsl:for-each[@select='@wds']/title").c_str()).node();
        ASSERT_TRUE(t);
        const std::string framed = t.child_value();
        for (int l = 0; l < 3; ++l) EXPECT_EQ(Points(Line(framed, l)), line) << l;
        const std::string middle = Line(framed, 1);
        const size_t kept = std::min(titleLength, room);
        EXPECT_NE(middle.find("A" + std::string(kept - 1, 'T')), std::string::npos);
        EXPECT_EQ(middle.find(std::string(kept, 'T')), std::string::npos);
        const size_t leftPad = middle.find('A') - std::strlen("\u2551");
        EXPECT_EQ(leftPad, (room - kept) / 2);
        pugi::xml_node footer = doc.select_node((std::string(head) + "/footer").c_str()).node();
        EXPECT_EQ(std::string(footer.first_child().value()), "ESC=UEFI Settings          Nimbo IP:");
        EXPECT_STREQ(footer.child("xsl:value-of").attribute("select").value(), "@wds");
        EXPECT_EQ(std::string(footer.last_child().value()), platform == 2 ? " Nimbo v4.6.0 EFI32" : " Nimbo v4.6.0 EFI64");
        EXPECT_STRNE(t.attribute("color").value(), footer.attribute("color").value());
        pugi::xml_node select = doc.select_node("//select[@name='osboot-selection']").node();
        ASSERT_TRUE(select);
        pugi::xml_node option = select.child("xsl:for-each").child("option");
        EXPECT_STREQ(select.child("xsl:for-each").attribute("select").value(), "osboot-entry");
        EXPECT_STREQ(option.child("xsl:if").attribute("test").value(), "@default");
        EXPECT_TRUE(doc.select_node("//option/xsl:attribute[@name='carat']/xsl:value-of[@select='@carat']"));
        EXPECT_TRUE(doc.select_node("//option/xsl:attribute[@name='value']/xsl:value-of[@select='@value']"));
        EXPECT_TRUE(doc.select_node("//p[.='Select an option and press ENTER to boot/install']"));
        EXPECT_FALSE(doc.select_node("//p[.='old body']"));
        const std::string comment = doc.document_element().first_child().value();
        EXPECT_NE(comment.find("Resource edited by Nimbo v4.6.0"), std::string::npos);
        EXPECT_EQ(comment[1], '[');
        // Editing the result again works too.
        std::vector<uint8_t> again = raw;
        uint32_t length = uint32_t(raw.size() - 2);
        EXPECT_EQ(EditBootmgrXsl(again, length, style, "x", platform), 0);
      }
    }
  }
}

TEST(BootmgrXsl, Errors) {
  pugi::xml_document doc;
  std::string noFooter = kSheet;
  noFooter.replace(noFooter.find("<footer>"), std::strlen("<footer>ENTER=Choose</footer>"), "");
  std::string noTitle = kSheet;
  noTitle.replace(noTitle.find("select=\"@wds\""), 13, "select=\"@x\"");
  struct Case {
    std::string sheet;
    int style, platform, rc;
  } cases[] = {
      {kSheet, 1, 1, kBootmgrXslBadPlatform},   {kSheet, 1, 4, kBootmgrXslBadPlatform},
      {kSheet, 3, 2, kBootmgrXslBadArgument},   {kSheet, 0, 3, kBootmgrXslBadArgument},
      {"<a><b></a>", 1, 2, kBootmgrXslBadDocument}, {"", 1, 2, kBootmgrXslBadDocument},
      {noFooter, 1, 2, kBootmgrXslNoNode},      {noTitle, 2, 3, kBootmgrXslNoNode},
      {"<xsl:stylesheet/>", 1, 3, kBootmgrXslNoNode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sheet.substr(0, 20));
    EXPECT_EQ(Edit(c.sheet, c.style, "t", c.platform, &doc), c.rc);
  }
  // A length beyond the buffer is refused.
  std::vector<uint8_t> buffer = Bytes(kSheet);
  uint32_t length = uint32_t(buffer.size() + 1);
  EXPECT_EQ(EditBootmgrXsl(buffer, length, 1, "t", 2), kBootmgrXslBadArgument);
}

TEST(XmlMemoryWriter, NeverWritesPastItsCapacity) {
  const std::string text = "0123456789";
  for (size_t capacity : {size_t(0), size_t(3), size_t(10), size_t(25), size_t(40)}) {
    SCOPED_TRACE(capacity);
    std::vector<char> buffer(capacity + 8, '#');
    xml_memory_writer w(capacity ? buffer.data() : nullptr, capacity);
    for (int i = 0; i < 3; ++i) w.write(text.data(), text.size());
    EXPECT_EQ(w.written(), 30u);
    const std::string all = text + text + text;
    const size_t kept = std::min(capacity, all.size());
    EXPECT_EQ(std::string(buffer.data(), kept), all.substr(0, kept));
    for (size_t i = kept; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << i;
  }
}

}  // namespace
