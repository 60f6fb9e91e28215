#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "_services/binl/bootmgr_xsl.h"
#include "libs/platform/pe_resource.h"
#include "libs/platform/pe_version.h"
#include "tests/_services/binl/pe_builder.h"
#include "tests/support/temp_folder.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

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
                SCOPED_TRACE(std::to_string(style) + "/" + std::to_string(platform) + "/" +
                             std::to_string(titleLength));
                std::string title(titleLength, 'T');
                title[0] = 'A';
                pugi::xml_document doc;
                std::vector<uint8_t> raw;
                ASSERT_EQ(Edit(kSheet, style, title, platform, &doc, &raw), 0);
                // UTF-16 text, little-endian.
                EXPECT_EQ(raw[0], '<');
                EXPECT_EQ(raw[1], 0);
                const size_t line = style == 1 ? 78 : 79, room = line - 2;
                pugi::xml_node t =
                    doc.select_node((std::string(head) + "/xsl:for-each[@select='@wds']/title").c_str()).node();
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
                EXPECT_EQ(std::string(footer.last_child().value()),
                          platform == 2 ? " Nimbo v4.6.0 EFI32" : " Nimbo v4.6.0 EFI64");
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
        {kSheet, 1, 1, kBootmgrXslBadPlatform},
        {kSheet, 1, 4, kBootmgrXslBadPlatform},
        {kSheet, 3, 2, kBootmgrXslBadArgument},
        {kSheet, 0, 3, kBootmgrXslBadArgument},
        {"<a><b></a>", 1, 2, kBootmgrXslBadDocument},
        {"", 1, 2, kBootmgrXslBadDocument},
        {noFooter, 1, 2, kBootmgrXslNoNode},
        {noTitle, 2, 3, kBootmgrXslNoNode},
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

// ---- the resource in a PE file ---------------------------------------------------------

namespace fs = std::filesystem;

std::vector<uint8_t> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void WriteAll(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// A boot manager stand-in: a version resource, a ("MUI", 1) resource and BOOTMGR.XSL.
std::vector<uint8_t> BootManagerImage(bool withXsl = true, const std::string& xsl = kSheet) {
    std::vector<uint8_t> img = pe_builder::BuildImage({});
    pe_builder::Put32(img, 0x58 + 32, 0x1000);  // section alignment
    pe_builder::Put32(img, 0x58 + 36, 0x200);   // file alignment
    PeResourceImage image;
    EXPECT_TRUE(image.Load(img));
    if (withXsl) image.Set(PeResourceKey::Id(23), PeResourceKey::Name("BOOTMGR.XSL"), 1033, Bytes(xsl));
    std::vector<uint8_t> out;
    EXPECT_TRUE(image.Save(out));
    return out;
}

uint32_t Checksum(const std::vector<uint8_t>& b, size_t at) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == at || i == at + 2) continue;
        sum += b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return uint32_t(((sum & 0xFFFF) + (sum >> 16)) + b.size());
}

class BootManagerFile : public ::testing::Test {
protected:
    nimbo::test::TempFolder tmp_{"nimbo-bootmgr-"};
    const fs::path dir_ = tmp_.fspath(), file_ = dir_ / "bootmgfw.efi";
};

TEST_F(BootManagerFile, ReadEditWriteReadBack) {
    for (int style : {1, 2})
        for (int platform : {2, 3})
            for (size_t titleLength : {size_t(76), size_t(77)}) {
                SCOPED_TRACE(std::to_string(style) + "/" + std::to_string(platform) + "/" +
                             std::to_string(titleLength));
                WriteAll(file_, BootManagerImage());
                ASSERT_EQ(PeFindResourceInFile(file_.string(), "MUI", 1), PE_OK);
                uint32_t length = 0;
                ASSERT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, &length), 0);
                ASSERT_EQ(length, sizeof kSheet - 1);
                std::vector<uint8_t> buffer(length);
                ASSERT_EQ(ReadBootmgrXsl(file_.c_str(), buffer.data(), &length), 0);
                EXPECT_EQ(std::string(buffer.begin(), buffer.end()), kSheet);
                ASSERT_EQ(EditBootmgrXsl(buffer, length, style, std::string(titleLength, 'x').c_str(), platform), 0);
                ASSERT_EQ(WriteBootmgrXsl(file_.c_str(), buffer.data(), length), 0);

                uint32_t back = 0;
                ASSERT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, &back), 0);
                ASSERT_EQ(back, length);
                std::vector<uint8_t> read(back);
                ASSERT_EQ(ReadBootmgrXsl(file_.c_str(), read.data(), &back), 0);
                EXPECT_TRUE(std::equal(read.begin(), read.end(), buffer.begin()));
                EXPECT_EQ(PeFindResourceInFile(file_.string(), "MUI", 1), PE_NOT_FOUND);
                uint64_t version = 0;
                EXPECT_EQ(PeFileVersionOfFile(file_.string(), &version), PE_OK);
                EXPECT_EQ(version, 0x000A00004A610001ull);

                // Header fields follow the new section; the checksum is the file's own.
                const std::vector<uint8_t> bytes = ReadAll(file_);
                uint32_t rawSize = 0, virtualSize = 0, imageSize = 0, dirSize = 0, checksum = 0;
                const size_t opt = 0x58, sec = opt + 240;
                std::memcpy(&virtualSize, &bytes[sec + 8], 4);
                std::memcpy(&rawSize, &bytes[sec + 16], 4);
                std::memcpy(&imageSize, &bytes[opt + 56], 4);
                std::memcpy(&dirSize, &bytes[opt + 108 + 4 + 16 + 4], 4);
                std::memcpy(&checksum, &bytes[opt + 64], 4);
                EXPECT_EQ(rawSize % 0x200, 0u);
                EXPECT_EQ(bytes.size(), 0x200u + rawSize);
                EXPECT_EQ(dirSize, virtualSize);
                EXPECT_EQ(imageSize, (0x1000 + virtualSize + 0xFFF) / 0x1000 * 0x1000);
                EXPECT_EQ(checksum, Checksum(bytes, opt + 64));
            }
    // objdump reads the resource directory of the rewritten file.
    std::string command = "objdump -x '" + file_.string() + "' 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    int status = pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_NE(out.find("Resource Directory"), std::string::npos) << out;
    EXPECT_NE(out.find("BOOTMGR.XSL"), std::string::npos) << out;
    EXPECT_EQ(out.find("MUI"), std::string::npos);
    EXPECT_EQ(out.find("Corrupt"), std::string::npos) << out;
}

TEST_F(BootManagerFile, CertificateTableIsDroppedAndPe32Works) {
    std::vector<uint8_t> signedImage = BootManagerImage();
    const uint32_t certAt = uint32_t(signedImage.size());
    signedImage.resize(signedImage.size() + 40, 0x5A);
    const size_t security = 0x58 + 108 + 4 + 4 * 8;
    pe_builder::Put32(signedImage, security, certAt);
    pe_builder::Put32(signedImage, security + 4, 40);
    WriteAll(file_, signedImage);
    const std::vector<uint8_t> payload = Bytes("<y/>");
    ASSERT_EQ(WriteBootmgrXsl(file_.c_str(), payload.data(), 4), 0);
    const std::vector<uint8_t> bytes = ReadAll(file_);
    uint32_t entry[2];
    std::memcpy(entry, &bytes[security], 8);
    EXPECT_EQ(entry[0], 0u);
    EXPECT_EQ(entry[1], 0u);
    EXPECT_EQ(std::count(bytes.end() - 40, bytes.end(), 0x5A), 0);

    pe_builder::PeSpec spec;
    spec.pe32plus = false;
    std::vector<uint8_t> img = pe_builder::BuildImage(spec);
    pe_builder::Put32(img, 0x58 + 32, 0x1000);
    pe_builder::Put32(img, 0x58 + 36, 0x200);
    PeResourceImage image;
    ASSERT_TRUE(image.Load(img));
    image.Set(PeResourceKey::Id(23), PeResourceKey::Name("bootmgr.xsl"), 1033, Bytes(kSheet));
    std::vector<uint8_t> out;
    ASSERT_TRUE(image.Save(out));
    WriteAll(file_, out);
    uint32_t length = 0;
    EXPECT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, &length), 0);
    EXPECT_EQ(WriteBootmgrXsl(file_.c_str(), payload.data(), 4), 0);
    EXPECT_EQ(PeFindResourceInFile(file_.string(), "MUI", 1), PE_NOT_FOUND);
}

TEST_F(BootManagerFile, DamagedFilesAndErrors) {
    std::vector<uint8_t> good = BootManagerImage();
    std::vector<uint8_t> loop = good;
    // The type directory's first entry points back at the root: a loop.
    pe_builder::Put32(loop, 0x200 + 16 + 4, 0x80000000u);
    std::vector<uint8_t> outside = good;
    pe_builder::Put32(outside, 0x200 + 16 + 4, 0x80000000u | 0x7FFFFF00u);
    std::vector<uint8_t> notLast = good;
    // A second section behind the resources: they cannot grow in place.
    pe_builder::Put16(notLast, 0x46, 2);
    std::memcpy(&notLast[0x58 + 240 + 40], ".data", 5);
    pe_builder::Put32(notLast, 0x58 + 240 + 40 + 12, 0x9000);
    pe_builder::Put32(notLast, 0x58 + 240 + 40 + 20, uint32_t(notLast.size()));
    std::vector<uint8_t> trailing = good;
    trailing.resize(trailing.size() + 64, 0xEE);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        int read, write;
    } cases[] = {
        {"not a PE", Bytes("MZ but nothing else"), -3, -3},
        {"truncated", std::vector<uint8_t>(good.begin(), good.begin() + 0x180), -3, -3},
        {"resource loop", loop, -3, -3},
        {"entry outside", outside, -3, -3},
        {"no BOOTMGR.XSL", BootManagerImage(false), -4, -4},
        {"empty BOOTMGR.XSL", BootManagerImage(true, ""), -5, 0},  // replaced
        {"resources not last", notLast, 0, -5},
        {"data behind the resources", trailing, 0, -5},
    };
    const std::vector<uint8_t> payload = Bytes("<x/>");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteAll(file_, c.bytes);
        uint32_t length = 0;
        EXPECT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, &length), c.read);
        EXPECT_EQ(WriteBootmgrXsl(file_.c_str(), payload.data(), uint32_t(payload.size())), c.write);
        if (c.write != 0) {
            EXPECT_TRUE(ReadAll(file_) == c.bytes);  // never half-written
        } else {
            EXPECT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, &length), 0);
            EXPECT_EQ(length, payload.size());
        }
    }
    uint32_t length = 0;
    EXPECT_EQ(ReadBootmgrXsl((dir_ / "missing.efi").c_str(), nullptr, &length), -1);
    EXPECT_EQ(WriteBootmgrXsl((dir_ / "missing.efi").c_str(), payload.data(), 4), -1);
    EXPECT_EQ(ReadBootmgrXsl(dir_.c_str(), nullptr, &length), -2);
    EXPECT_EQ(WriteBootmgrXsl(dir_.c_str(), payload.data(), 4), -2);
    WriteAll(file_, good);
    EXPECT_EQ(ReadBootmgrXsl(file_.c_str(), nullptr, nullptr), -6);
    std::vector<uint8_t> small(10);
    length = 10;
    EXPECT_EQ(ReadBootmgrXsl(file_.c_str(), small.data(), &length), -7);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(WriteBootmgrXsl(file_.c_str(), nullptr, 0), -7);
    // Backslashes are accepted; nothing is left beside the file after a write.
    std::string windows = file_.string();
    std::replace(windows.begin(), windows.end(), '/', '\\');
    EXPECT_EQ(WriteBootmgrXsl(windows.c_str(), payload.data(), 4), 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

}  // namespace
