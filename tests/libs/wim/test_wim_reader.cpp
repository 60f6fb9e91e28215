#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "libs/wim/short_name.h"
#include "libs/wim/wim_entry.h"
#include "libs/wim/wim_format.h"
#include "libs/wim/wim_handler.h"
#include "libs/wim/wim_xml.h"
#include "tests/libs/wim/wim_test_util.h"

using namespace wimtest;
using namespace NArchive::NWim;

namespace {

struct Listing {
  std::vector<std::string> paths;  // "/dir/file", sorted
  std::vector<std::string> files;  // regular files only
};

Listing OurList(const fs::path& wim, int image) {
  Listing out;
  int fd = open(wim.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  CHandler handler;
  EXPECT_EQ(handler.Open(fd, false), arc::S_OK);
  const std::string prefix = std::to_string(image) + "\\";
  for (uint32_t i = 0; i < handler.GetNumberOfItems(); ++i) {
    WimItemInfo info;
    EXPECT_EQ(handler.GetItem(i, info), arc::S_OK);
    std::string path = WimUtf16ToUtf8(info.path);
    if (path.rfind(prefix, 0) != 0 || path == prefix) continue;
    path = "/" + path.substr(prefix.size());
    std::replace(path.begin(), path.end(), '\\', '/');
    out.paths.push_back(path);
    if (!info.isDir && !(info.attributes & kAttrReparsePoint)) out.files.push_back(path);
  }
  handler.Close();
  close(fd);
  std::sort(out.paths.begin(), out.paths.end());
  return out;
}

std::string Backslashed(int image, std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return std::to_string(image) + path;
}

class WimReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = temp_.fspath() / "src";
    MakeSampleTree(src_);
    out_ = temp_.fspath() / "out";
  }
  TempFolder temp_{"nimbo-wim-"};
  fs::path src_, out_;
};

// Every compression kind: the listing equals wimlib's and every file extracts to wimlib's
// bytes with its modification time.
TEST_F(WimReaderTest, ListsAndExtractsLikeWimlib) {
  const char* kinds[] = {"--compress=LZX", "--compress=XPRESS", "--compress=none", "--compress=LZX --chunk-size=128K",
                         "--compress=XPRESS --chunk-size=8K"};
  int n = 0;
  for (const char* options : kinds) {
    SCOPED_TRACE(options);
    const fs::path wim = temp_.fspath() / ("k" + std::to_string(n++) + ".wim");
    ASSERT_TRUE(Capture(src_, wim, "Sample", options));
    Listing ours = OurList(wim, 1);
    EXPECT_EQ(ours.paths, WimlibList(wim, 1));
    EXPECT_EQ(ours.files.size(), 5u);  // a.txt, big.bin, hard.txt, text.txt, emptyfile
    for (const std::string& file : ours.files) {
      SCOPED_TRACE(file);
      fs::remove_all(out_);
      ASSERT_EQ(ExtractFromWimFile(wim.c_str(), Backslashed(1, file).c_str(), out_.c_str(), 0, false, false),
                ARCHIVE_OK);
      const fs::path got = out_ / fs::path(file).filename();
      EXPECT_EQ(ReadFile(got), WimlibExtract(wim, 1, file));
      struct stat a, b;
      ASSERT_EQ(stat(got.c_str(), &a), 0);
      ASSERT_EQ(stat((src_ / file.substr(1)).c_str(), &b), 0);
      EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec);
    }
  }
}

TEST_F(WimReaderTest, SelectsByNameOrPattern) {
  WriteFile(src_ / "Ωmega.txt", "omega");
  const fs::path wim = temp_.fspath() / "t.wim";
  ASSERT_TRUE(Capture(src_, wim, "Sample", "--compress=LZX"));
  struct Case {
    const char* what;
    bool pattern, withPaths;
    ArchiveOpResult rc;
    std::vector<std::string> tree;
  } cases[] = {
      {"1\\DIR\\SUB\\TEXT.TXT", false, false, ARCHIVE_OK, {"text.txt"}},
      {"1/dir/big.bin", false, true, ARCHIVE_OK, {"1/dir/big.bin"}},
      {"\\\\dir\\\\.*\\.(bin|txt)$", true, true, ARCHIVE_OK, {"1/dir/big.bin", "1/dir/hard.txt", "1/dir/sub/text.txt"}},
      // Paths are lower-cased before a pattern sees them.
      {"\\\\DIR\\\\", true, false, ARCHIVE_ERR_NO_ITEM, {}},
      {"1\\dir", false, false, ARCHIVE_ERR_NO_ITEM, {}},
      // Letter case beyond ASCII.
      {"1\\ωMEGA.TXT", false, false, ARCHIVE_OK, {"Ωmega.txt"}},
      {"\\ωmega", true, false, ARCHIVE_OK, {"Ωmega.txt"}},
      {"nothing", true, false, ARCHIVE_ERR_NO_ITEM, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out_);
    EXPECT_EQ(ExtractFromWimFile(wim.c_str(), c.what, out_.c_str(), 0, c.withPaths, c.pattern), c.rc);
    std::vector<std::string> tree;
    if (fs::exists(out_))
      for (auto& e : fs::recursive_directory_iterator(out_))
        if (!e.is_directory()) tree.push_back(fs::relative(e.path(), out_).string());
    std::sort(tree.begin(), tree.end());
    EXPECT_EQ(tree, c.tree);
  }
  EXPECT_EQ(ExtractFromWimFile((temp_.fspath() / "missing.wim").c_str(), "x", out_.c_str(), 0, false, false),
            ARCHIVE_ERR_FILE_OPEN);
  EXPECT_EQ(ExtractFromWimFile((src_ / "a.txt").c_str(), "x", out_.c_str(), 0, false, false), ARCHIVE_ERR_OPEN);
}

// A flipped byte inside stored data is reported and leaves no output behind.
TEST_F(WimReaderTest, DamagedDataGivesTheErrorResult) {
  for (const char* options : {"--compress=none", "--compress=LZX"}) {
    SCOPED_TRACE(options);
    const fs::path wim = temp_.fspath() / "d.wim";
    fs::remove(wim);
    ASSERT_TRUE(Capture(src_, wim, "Sample", options));
    std::string bytes = ReadFile(wim);
    // The noise file is stored as is in both kinds: find its first bytes.
    const std::string noise = Noise(200000, 7);
    size_t at = bytes.find(noise.substr(1000, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 10] ^= 0x40;
    WriteFile(wim, bytes);
    fs::remove_all(out_);
    EXPECT_EQ(ExtractFromWimFile(wim.c_str(), "1\\dir\\big.bin", out_.c_str(), 0, false, false), ARCHIVE_ERR_ITEM_DATA);
    EXPECT_FALSE(fs::exists(out_ / "big.bin"));
    EXPECT_EQ(ExtractFromWimFile(wim.c_str(), "1\\a.txt", out_.c_str(), 0, false, false), ARCHIVE_OK);
  }
}

// Random damage anywhere in the file is refused or reported, never a crash or a hang.
TEST_F(WimReaderTest, SurvivesDamagedFiles) {
  const fs::path wim = temp_.fspath() / "f.wim";
  ASSERT_TRUE(Capture(src_, wim, "Sample", "--compress=XPRESS"));
  const std::string original = ReadFile(wim);
  uint32_t seed = 1;
  for (int round = 0; round < 150; ++round) {
    std::string bytes = original;
    for (int k = 0; k < 4; ++k) {
      seed = seed * 1103515245u + 12345u;
      // Half of the damage goes to the header and the tables at the end.
      size_t at = (round % 2) ? (seed >> 8) % 208 : bytes.size() - 1 - (seed >> 8) % 4096;
      bytes[at] = char(bytes[at] ^ (1 << (seed % 8)));
    }
    WriteFile(wim, bytes);
    fs::remove_all(out_);
    ArchiveOpResult rc = ExtractFromWimFile(wim.c_str(), ".*", out_.c_str(), 0, true, true);
    EXPECT_TRUE(rc == ARCHIVE_OK || rc == ARCHIVE_ERR_OPEN || rc == ARCHIVE_ERR_ITEM_DATA ||
                rc == ARCHIVE_ERR_NO_ITEM || rc == ARCHIVE_ERR_EXTRACT)
        << rc;
    uint32_t index = 0, length = 50;
    int arch = 0, bits = -1, major = -1, minor = -1;
    char name[50];
    GetWimBootImageArch(wim.c_str(), &index, &arch);
    GetWimImagesSummary(wim.c_str(), name, &length, &bits, &major, &minor);
  }
}

TEST_F(WimReaderTest, RefusesWhatItDoesNotRead) {
  const fs::path wim = temp_.fspath() / "h.wim";
  ASSERT_TRUE(Capture(src_, wim, "Sample", "--compress=LZX"));
  const std::string original = ReadFile(wim);
  auto patched = [&](size_t offset, uint32_t value) {
    std::string bytes = original;
    std::memcpy(&bytes[offset], &value, 4);
    WriteFile(wim, bytes);
    return ExtractFromWimFile(wim.c_str(), "1\\a.txt", out_.c_str(), 0, false, false);
  };
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, chunkSize), 0x28000), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, version), 0x0A00), ARCHIVE_ERR_OPEN);  // old layout
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, headerSize), 96), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, totalParts), 0x00020001), ARCHIVE_ERR_OPEN);  // split set
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, imageCount), 2), ARCHIVE_ERR_OPEN);
  // A lookup table with a stray byte.
  uint64_t tableSize = 0;
  std::memcpy(&tableSize, &original[offsetof(WimHeaderDisk, lookupTable)], 7);
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, lookupTable), uint32_t(tableSize + 1)), ARCHIVE_ERR_OPEN);
  EXPECT_EQ(patched(offsetof(WimHeaderDisk, version), 0x10D00), ARCHIVE_OK);
  WriteFile(wim, original.substr(0, 100));
  EXPECT_EQ(ExtractFromWimFile(wim.c_str(), "1\\a.txt", out_.c_str(), 0, false, false), ARCHIVE_ERR_OPEN);

  // Solid (LZMS) files are refused for extraction; their XML is still read.
  const fs::path esd = temp_.fspath() / "s.esd";
  ASSERT_TRUE(Capture(src_, esd, "Solid x64", "--solid"));
  ASSERT_EQ(system(("wimlib-imagex info " + Quote(esd) + " 1 --image-property WINDOWS/ARCH=9 >/dev/null").c_str()), 0);
  EXPECT_EQ(ExtractFromWimFile(esd.c_str(), "1\\a.txt", out_.c_str(), 0, false, false), ARCHIVE_ERR_OPEN);
  char name[64];
  uint32_t length = sizeof name;
  int bits = -1, major = -1, minor = -1;
  EXPECT_EQ(GetWimImagesSummary(esd.c_str(), name, &length, &bits, &major, &minor), 0);
  EXPECT_STREQ(name, "Solid x64");
  EXPECT_EQ(bits, kWimBitX64);
}

// Folder nesting is limited: a tree deeper than the limit is refused, not walked.
TEST_F(WimReaderTest, LimitsTheTreeDepth) {
  for (int depth : {200, 300}) {
    SCOPED_TRACE(depth);
    fs::path deep = temp_.fspath() / ("deep" + std::to_string(depth));
    fs::path leaf = deep;
    for (int i = 0; i < depth; ++i) leaf /= "d";
    WriteFile(leaf / "leaf.txt", "leaf");
    const fs::path wim = temp_.fspath() / ("deep" + std::to_string(depth) + ".wim");
    ASSERT_TRUE(Capture(deep, wim, "Deep", "--compress=XPRESS"));
    fs::remove_all(out_);
    EXPECT_EQ(ExtractFromWimFile(wim.c_str(), "leaf\\.txt$", out_.c_str(), 0, false, true),
              depth < kMaxTreeDepth ? ARCHIVE_OK : ARCHIVE_ERR_OPEN);
  }
}

TEST_F(WimReaderTest, ImageFactsFromTheXml) {
  const fs::path wim = temp_.fspath() / "two.wim";
  ASSERT_TRUE(Capture(src_, wim, "Alpha x64", "--compress=LZX"));
  fs::path src2 = temp_.fspath() / "src2";
  WriteFile(src2 / "two.txt", "two\n");
  ASSERT_TRUE(Capture(src2, wim, "Alpha x86", ""));
  const std::string info = "wimlib-imagex info " + Quote(wim);
  uint32_t index = 99;
  int arch = 99;
  // No boot image yet.
  EXPECT_EQ(GetWimBootImageArch(wim.c_str(), &index, &arch), 1);
  EXPECT_EQ(GetWimBootImageInfo(wim.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(system((info + " 1 --image-property WINDOWS/ARCH=9 --image-property WINDOWS/VERSION/MAJOR=10"
                           " --image-property WINDOWS/VERSION/MINOR=0 >/dev/null")
                       .c_str()),
            0);
  ASSERT_EQ(system((info + " 2 --boot --image-property WINDOWS/ARCH=0 --image-property WINDOWS/VERSION/MAJOR=10"
                           " --image-property WINDOWS/VERSION/MINOR=1 >/dev/null")
                       .c_str()),
            0);

  EXPECT_EQ(GetWimBootImageArch(wim.c_str(), &index, &arch), 0);
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(arch, kWimArchX86);

  char name[64];
  uint32_t length = sizeof name;
  int bits = -1, major = -1, minor = -1;
  EXPECT_EQ(GetWimImagesSummary(wim.c_str(), name, &length, &bits, &major, &minor), 0);
  EXPECT_STREQ(name, "Alpha x");
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(bits, kWimBitX86 | kWimBitX64);
  EXPECT_EQ(major, 10);
  EXPECT_EQ(minor, -1);  // the images differ

  length = sizeof name;
  bits = major = minor = -1;
  EXPECT_EQ(GetWimBootImageInfo(wim.c_str(), name, &length, &bits, &major, &minor), 0);
  EXPECT_STREQ(name, "Alpha x86");
  EXPECT_EQ(length, 9u);
  EXPECT_EQ(bits, kWimBitX86);
  EXPECT_EQ(major, 10);
  EXPECT_EQ(minor, 1);
  // A name that does not fit comes back empty.
  length = 5;
  EXPECT_EQ(GetWimBootImageInfo(wim.c_str(), name, &length, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_STREQ(name, "");

  // The second image's root is a folder item named after its number.
  int fd = open(wim.c_str(), O_RDONLY | O_CLOEXEC);
  CHandler handler;
  ASSERT_EQ(handler.Open(fd, false), arc::S_OK);
  bool sawRoot2 = false, sawXml = false;
  for (uint32_t i = 0; i < handler.GetNumberOfItems(); ++i) {
    WimItemInfo item;
    handler.GetItem(i, item);
    if (item.path == u"2\\") sawRoot2 = item.isDir;
    if (item.path == u"[1].xml") sawXml = true;
    EXPECT_NE(item.path, u"1\\");
  }
  EXPECT_TRUE(sawRoot2);
  EXPECT_TRUE(sawXml);
  close(fd);
  EXPECT_EQ(OurList(wim, 2).paths, WimlibList(wim, 2));
}

TEST(WimXmlCursor, ReadsEveryImageAndLeavesTheDocumentToItsOwner) {
  nimbo::XmlDocument doc(
      "<WIM><IMAGE INDEX=\"1\"><NAME>One</NAME><WINDOWS><ARCH>12</ARCH><VERSION><MAJOR>6</MAJOR>"
      "<MINOR>3</MINOR></VERSION></WINDOWS></IMAGE><IMAGE INDEX=\"2\"><NAME>A long name</NAME>"
      "<WINDOWS><ARCH>1234567890</ARCH><VERSION><MAJOR>x</MAJOR></VERSION></WINDOWS></IMAGE></WIM>",
      nimbo::kXmlSourceText);
  char name[8];
  uint32_t length = sizeof name;
  int arch, major, minor;
  ASSERT_EQ(WimXmlFirstImageInfo(&doc, name, &length, &arch, &major, &minor), 0);
  EXPECT_STREQ(name, "One");
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(arch, 12);
  EXPECT_EQ(major, 6);
  EXPECT_EQ(minor, 3);
  length = sizeof name;
  ASSERT_EQ(WimXmlNextImageInfo(&doc, name, &length, &arch, &major, &minor), 0);
  EXPECT_EQ(length, 0u);  // too long for the buffer
  EXPECT_EQ(arch, -1);    // more than 9 characters
  EXPECT_EQ(major, -1);
  EXPECT_EQ(minor, -1);
  EXPECT_EQ(WimXmlNextImageInfo(&doc, name, &length, &arch, nullptr, nullptr), -1);
  // The document is still usable.
  EXPECT_EQ(WimXmlFirstImageInfo(&doc, nullptr, nullptr, &arch, nullptr, nullptr), 0);
  EXPECT_EQ(arch, 12);
  EXPECT_EQ(WimArchBit(arch), kWimBitArm64);
  EXPECT_EQ(WimArchBit(6), kWimBitIa64);
  EXPECT_EQ(WimArchBit(3), 0);
}

TEST(WimShortNames, FollowTheEightDotThreeRule) {
  struct Case {
    std::u16string longName;
    std::u16string shortName;
  } cases[] = {
      {u"abc", u"ABC~T4X"},
      {u"Winpeshl.ini", u"WINP~SSA.INI"},
      {u"x.y", u"X~UMV.Y"},
      {u"New Folder", u"NEWF~#32"},
  };
  for (const Case& c : cases) {
    char16_t out[12];
    size_t n = MakeShortName83(c.longName.data(), c.longName.size(), out);
    EXPECT_EQ(std::u16string(out, n), c.shortName);
  }
  char16_t out[12];
  std::u16string invalid = u"+,;=.txt";
  size_t n = MakeShortName83(invalid.data(), invalid.size(), out);
  EXPECT_EQ(std::u16string(out, 2), u"_~");
  EXPECT_EQ(n, 9u);
  std::u16string a = u"NimboPENet.exe", b = u"NimboAsset.inf";
  char16_t sa[12], sb[12];
  MakeShortName83(a.data(), a.size(), sa);
  MakeShortName83(b.data(), b.size(), sb);
  EXPECT_NE(std::u16string(sa, 8), std::u16string(sb, 8));
}

}  // namespace
