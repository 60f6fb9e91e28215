#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "libs/wim/short_name.h"
#include "libs/wim/wim_collect.h"
#include "libs/wim/wim_entry.h"
#include "libs/wim/wim_format.h"
#include "libs/wim/wim_update.h"
#include "tests/libs/wim/wim_test_util.h"

using namespace wimtest;
using namespace NArchive::NWim;

namespace {

std::string ImagePath(const arc::CDirItem& item) {
  std::string s;
  for (char16_t c : item.ImagePath) s += char(c);
  return s;
}

std::set<std::string> Paths(const std::vector<arc::CDirItem>& items) {
  std::set<std::string> out;
  for (const arc::CDirItem& item : items)
    out.insert(ImagePath(item) + ((item.Attrib & arc::kAttribDirectory) ? "\\" : ""));
  return out;
}

// Writes a new WIM from the items; the status of the writer.
Status WriteNewWim(const fs::path& wim, std::vector<arc::CDirItem>& items) {
  int fd = open(wim.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  EXPECT_GE(fd, 0);
  CArchiveUpdateCallback callback(&items);
  COutHandler writer;
  Status s = writer.UpdateItems(fd, uint32_t(items.size()), &callback);
  close(fd);
  return s;
}

// A tree with nested folders, an empty folder, an empty file, duplicate contents and
// names that differ only in case.
void MakeTree(const fs::path& root) {
  WriteFile(root / "a.txt", "hello\n");
  WriteFile(root / "A.TXT", "upper\n");
  WriteFile(root / "dir" / "copy.txt", "hello\n");
  WriteFile(root / "dir" / "Dir2" / "big.bin", Noise(300000, 3));
  WriteFile(root / "dir" / "dir2" / "big2.bin", Noise(300000, 3));
  WriteFile(root / "emptyfile", "");
  fs::create_directories(root / "empty");
  fs::create_directories(root / "dir" / "nested" / "deeper");
}

TEST(NewWim, FolderTreePassesTheWimTools) {
  TempFolder tmp("nimbo-wim-");
  const fs::path source = tmp.fspath() / "src" / "$OEM$" / "$Install$" / "$1";
  MakeTree(source);
  std::vector<arc::CDirItem> items;
  uint32_t count = 0;
  ASSERT_GT(CollectInstallFiles(1, (tmp.fspath() / "src").c_str(), items, count, 1000, {}), 0);
  const fs::path wim = tmp.fspath() / "new.wim";
  ASSERT_EQ(WriteNewWim(wim, items), arc::S_OK);
  for (const arc::CDirItem& item : items) EXPECT_EQ(item.Result & 0xFF00, arc::kItemAdded) << ImagePath(item);

  EXPECT_TRUE(WimlibVerify(wim));
  const std::vector<std::string> expected = {"/$OEM$",
                                             "/$OEM$/$Install$",
                                             "/$OEM$/$Install$/$1",
                                             "/$OEM$/$Install$/$1/A.TXT",
                                             "/$OEM$/$Install$/$1/a.txt",
                                             "/$OEM$/$Install$/$1/dir",
                                             "/$OEM$/$Install$/$1/dir/Dir2",
                                             "/$OEM$/$Install$/$1/dir/Dir2/big.bin",
                                             "/$OEM$/$Install$/$1/dir/copy.txt",
                                             "/$OEM$/$Install$/$1/dir/dir2",
                                             "/$OEM$/$Install$/$1/dir/dir2/big2.bin",
                                             "/$OEM$/$Install$/$1/dir/nested",
                                             "/$OEM$/$Install$/$1/dir/nested/deeper",
                                             "/$OEM$/$Install$/$1/empty",
                                             "/$OEM$/$Install$/$1/emptyfile"};
  // The collector put the tree below the marker at the image root.
  std::vector<std::string> listed = WimlibList(wim, 1);
  std::vector<std::string> want;
  for (const std::string& p : expected)
    if (p.rfind("/$OEM$/$Install$/$1/", 0) == 0) want.push_back(p.substr(std::string("/$OEM$/$Install$/$1").size()));
  std::sort(want.begin(), want.end());
  EXPECT_EQ(listed, want);

  const fs::path out = tmp.fspath() / "out";
  int status = 0;
  wimtest::Run("wimextract " + Quote(wim) + " 1 --dest-dir=" + Quote(out), &status);
  ASSERT_EQ(status, 0);
  for (const char* f : {"a.txt", "A.TXT", "dir/copy.txt", "dir/Dir2/big.bin", "dir/dir2/big2.bin", "emptyfile"})
    EXPECT_TRUE(ReadFile(out / f) == ReadFile(source / f)) << f;
  EXPECT_TRUE(fs::is_directory(out / "empty"));
  EXPECT_TRUE(fs::is_directory(out / "dir/nested/deeper"));

  // Duplicate contents are stored once: three distinct non-empty contents.
  EXPECT_EQ(WimInfoValue(wim, 0, "Image Count"), "1");
  EXPECT_EQ(WimInfoValue(wim, 1, "Directory Count"), "7");
  EXPECT_EQ(WimInfoValue(wim, 1, "File Count"), "6");
  EXPECT_EQ(WimInfoValue(wim, 1, "Total Bytes"), std::to_string(6 + 6 + 6 + 300000 + 300000));
  EXPECT_FALSE(WimInfoValue(wim, 1, "Creation Time").empty());
  EXPECT_FALSE(WimInfoValue(wim, 1, "Last Modification Time").empty());
  EXPECT_EQ(WimInfoValue(wim, 0, "Compression"), "None");
  int shared = 0;
  for (const arc::CDirItem& item : items) shared += (item.Result & kItemSharedRecord) ? 1 : 0;
  EXPECT_EQ(shared, 2);
  EXPECT_LT(fs::file_size(wim), 600000u + 6 + 6 + 4096);

  // Each file gets a new random GUID.
  const fs::path again = tmp.fspath() / "again.wim";
  ASSERT_EQ(WriteNewWim(again, items), arc::S_OK);
  EXPECT_NE(WimInfoValue(wim, 0, "GUID"), WimInfoValue(again, 0, "GUID"));
}

TEST(NewWim, EmptyImage) {
  TempFolder tmp("nimbo-wim-");
  std::vector<arc::CDirItem> none;
  const fs::path wim = tmp.fspath() / "empty.wim";
  ASSERT_EQ(WriteNewWim(wim, none), arc::S_OK);
  EXPECT_TRUE(WimlibVerify(wim));
  EXPECT_TRUE(WimlibList(wim, 1).empty());
  EXPECT_EQ(WimInfoValue(wim, 1, "Directory Count"), "1");
  EXPECT_EQ(WimInfoValue(wim, 1, "File Count"), "0");
  CArchiveUpdateCallback callback(&none);
  EXPECT_EQ(COutHandler().UpdateItems(-1, 0, &callback), arc::E_INVALIDARG);
  EXPECT_EQ(COutHandler().UpdateItems(1, 1, &callback), arc::E_INVALIDARG);
}

TEST(NewWim, UnusableItemsAreLeftOut) {
  TempFolder tmp("nimbo-wim-");
  WriteFile(tmp.fspath() / "f", "data");
  auto item = [&](const char16_t* path, const char* source, uint32_t attrib = 0x20) {
    arc::CDirItem d;
    d.ImagePath = path;
    d.FullPath = (tmp.fspath() / source).string();
    d.Attrib = attrib;
    d.ImageIndex = 1;
    return d;
  };
  std::vector<arc::CDirItem> items = {
      item(u"\\ok\\f", "f"),         item(u"\\ok\\f", "f"),        // repeated path
      item(u"\\ok\\f\\under", "f"),  item(u"\\..\\evil", "f"),     // through a file; ".."
      item(u"\\missing", "nothing"), item(u"\\", "f"),             // unreadable; no name
      item(u"/ok/sub", "", 0x10),    item(u"\\ok\\SUB\\g", "f")};  // folders; case differs
  const fs::path wim = tmp.fspath() / "x.wim";
  ASSERT_EQ(WriteNewWim(wim, items), arc::S_OK);
  std::vector<int32_t> results;
  for (const arc::CDirItem& d : items) results.push_back(d.Result & 0xFF00);
  EXPECT_EQ(results, (std::vector<int32_t>{0x100, 0, 0, 0, 0, 0, 0x100, 0x100}));
  EXPECT_TRUE(WimlibVerify(wim));
  EXPECT_EQ(WimlibList(wim, 1), (std::vector<std::string>{"/ok", "/ok/SUB", "/ok/SUB/g", "/ok/f", "/ok/sub"}));
  EXPECT_EQ(WimlibExtract(wim, 1, "/ok/SUB/g"), "data");
}

TEST(Collectors, StayInTheSourceFolder) {
  TempFolder tmp("nimbo-wim-");
  const fs::path src = tmp.fspath() / "src", outside = tmp.fspath() / "outside";
  WriteFile(outside / "secret", "no");
  WriteFile(src / "top.txt", "1");
  WriteFile(src / "sub" / "flat.txt", "2");
  WriteFile(src / "$OEM$" / "$Install$" / "$1" / "Windows" / "x.txt", "3");
  WriteFile(src / "$OEM$" / "$Install$" / "$1" / "_AppSetup_" / "NimboReadme.txt", "4");
  WriteFile(src / "$oem$" / "$boot$" / "$1" / "boot.txt", "5");
  fs::create_directories(src / "$OEM$" / "$Install$" / "$1" / "Empty");
  fs::create_directory_symlink(outside, src / "linkdir");
  fs::create_symlink(outside / "secret", src / "linkfile");
  std::vector<arc::CDirItem> items;
  uint32_t count = 0;
  int n = CollectInstallFiles(0, (src.string() + "\\").c_str(), items, count, 100, {"\\_APPSETUP_\\nimboreadme.txt"});
  // A folder whose only file is excluded is kept as an empty folder.
  EXPECT_EQ(n, 6);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(Paths(items), (std::set<std::string>{"\\top.txt", "\\flat.txt", "\\Windows\\x.txt", "\\boot.txt",
                                                 "\\Empty\\", "\\_AppSetup_\\"}));
  for (const arc::CDirItem& item : items) {
    EXPECT_EQ(item.FullPath.find("outside"), std::string::npos);
    EXPECT_EQ(item.ImageIndex, 0u);
  }

  // The maximum: a file met while the count exceeds it fails, nothing is kept.
  items.clear();
  count = 3;
  EXPECT_EQ(CollectInstallFiles(2, src.c_str(), items, count, 2, {}), -1);
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(CollectInstallFiles(2, (tmp.fspath() / "none").c_str(), items, count, 100, {}), -1);

  // Too deep a tree fails instead of running away.
  fs::path deep = tmp.fspath() / "deep";
  for (int i = 0; i < kMaxTreeDepth + 2; ++i) deep /= "d";
  fs::create_directories(deep);
  count = 0;
  EXPECT_EQ(CollectInstallFiles(0, (tmp.fspath() / "deep").c_str(), items, count, 100, {}), -1);
}

TEST(Collectors, WindowsPeRules) {
  TempFolder tmp("nimbo-wim-");
  const fs::path src = tmp.fspath() / "pe";
  WriteFile(src / "Unattend.xml", "u");
  WriteFile(src / "NimboReadme.txt", "r");
  WriteFile(src / "autounattend.xml.bak", "a");
  WriteFile(src / "$WinPEDriver$" / "nic.inf", "n");
  WriteFile(src / "$OEM$" / "$1" / "Tools" / "t.exe", "t");
  WriteFile(src / "other.txt", "o");
  std::vector<arc::CDirItem> items;
  uint32_t count = 0;
  EXPECT_EQ(CollectPeFiles(1, src.c_str(), 0, items, count, 100), 4);
  EXPECT_EQ(Paths(items),
            (std::set<std::string>{"\\Unattend.xml", "\\Autounattend.xml", "\\Tools\\t.exe", "\\other.txt"}));
  // Over the maximum: files at depth 0 other than Unattend.xml still count in...
  fs::remove(src / "Unattend.xml");
  fs::remove_all(src / "$OEM$");
  items.clear();
  count = 5;
  EXPECT_EQ(CollectPeFiles(1, src.c_str(), 0, items, count, 2), 1);
  // ...but Unattend.xml and deeper files do not.
  WriteFile(src / "UNATTEND.XML", "u");
  items.clear();
  count = 5;
  EXPECT_EQ(CollectPeFiles(1, src.c_str(), 0, items, count, 2), -1);
  EXPECT_EQ(CollectPeFiles(1, src.c_str(), 1, items, count, 2), -1);
}

class InstallWim : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeSampleTree(tmp.fspath() / "img1");
    WriteFile(tmp.fspath() / "img2" / "other.txt", "second image\n");
    ASSERT_TRUE(Capture(tmp.fspath() / "img1", install, "one", "--compress=lzx"));
    ASSERT_TRUE(Capture(tmp.fspath() / "img2", install, "two", "--compress=lzx"));
    WriteFile(files / "$OEM$" / "$Install$" / "$1" / "Windows" / "Setup" / "run.cmd", "@echo run\n");
    WriteFile(files / "$OEM$" / "$Install$" / "$1" / "_AppSetup_" / "NimboReadme.txt", "readme");
    WriteFile(files / "$OEM$" / "$Install$" / "$1" / "_AppSetup_" / "app.msi", Noise(5000, 9));
    WriteFile(files / "top.txt", "top\n");
  }
  TempFolder tmp{"nimbo-wim-"};
  fs::path install = tmp.fspath() / "install.wim";
  fs::path second = tmp.fspath() / "install.new.wim";
  fs::path files = tmp.fspath() / "files";
};

TEST_F(InstallWim, EveryImageGetsTheFiles) {
  const std::string original = ReadFile(install);
  // The target is missing: the second file becomes the target and is rebuilt from it.
  ASSERT_EQ(rename(install.c_str(), second.c_str()), 0);
  EXPECT_EQ(InjectIntoInstallWim(install.c_str(), second.c_str(), files.c_str()), 3);
  EXPECT_TRUE(ReadFile(install) == original);
  EXPECT_TRUE(WimlibVerify(second));
  for (int image = 1; image <= 2; ++image) {
    SCOPED_TRACE(image);
    std::vector<std::string> listed = WimlibList(second, image);
    for (const char* p : {"/Windows/Setup/run.cmd", "/_AppSetup_/app.msi", "/top.txt"})
      EXPECT_NE(std::find(listed.begin(), listed.end(), p), listed.end()) << p;
    EXPECT_EQ(std::find(listed.begin(), listed.end(), "/_AppSetup_/NimboReadme.txt"), listed.end());
    EXPECT_EQ(WimlibExtract(second, image, "/Windows/Setup/run.cmd"), "@echo run\n");
  }
  EXPECT_EQ(WimlibExtract(second, 1, "/a.txt"), "hello\n");

  // Again with the target present: the result is rebuilt from the untouched target.
  WriteFile(files / "top.txt", "changed\n");
  EXPECT_EQ(InjectIntoInstallWim(install.c_str(), second.c_str(), files.c_str()), 3);
  EXPECT_TRUE(WimlibVerify(second));
  EXPECT_EQ(WimlibExtract(second, 2, "/top.txt"), "changed\n");

  // Nothing to add: the target goes back to the second name.
  fs::remove_all(files);
  fs::create_directories(files);
  EXPECT_EQ(InjectIntoInstallWim(install.c_str(), second.c_str(), files.c_str()), 0);
  EXPECT_FALSE(fs::exists(install));
  EXPECT_TRUE(ReadFile(second) == original);
}

TEST_F(InstallWim, RefusesEsdAndMissingFiles) {
  const fs::path esd = tmp.fspath() / "sources" / "Install.esd";
  EXPECT_EQ(InjectIntoInstallWim(("x:\\sources\\Install.esd"), second.c_str(), files.c_str()), -1);
  EXPECT_EQ(InjectIntoInstallWim(esd.c_str(), second.c_str(), files.c_str()), -1);
  // Neither target nor second exists.
  const fs::path none = tmp.fspath() / "none.wim";
  EXPECT_EQ(InjectIntoInstallWim(none.c_str(), (tmp.fspath() / "none2.wim").c_str(), files.c_str()), -1);
  // A folder that cannot be listed.
  EXPECT_EQ(InjectIntoInstallWim(install.c_str(), second.c_str(), (tmp.fspath() / "nofolder").c_str()), -1);
  // A damaged target: nothing is written.
  WriteFile(second, "not a wim");
  std::string bytes = ReadFile(install);
  WriteFile(install, bytes.substr(0, 300));
  EXPECT_EQ(InjectIntoInstallWim(install.c_str(), second.c_str(), files.c_str()), -1);
  EXPECT_EQ(ReadFile(second), "not a wim");
}

}  // namespace

namespace {

TEST(UnsharedUpdate, StoresEveryCopy) {
  TempFolder tmp("nimbo-wim-");
  MakeSampleTree(tmp.fspath() / "img");
  const fs::path wim = tmp.fspath() / "in.wim", out = tmp.fspath() / "out.wim", shared = tmp.fspath() / "shared.wim";
  ASSERT_TRUE(Capture(tmp.fspath() / "img", wim, "one", "--compress=none"));
  ASSERT_TRUE(Capture(tmp.fspath() / "img", wim, "two", "--compress=none"));
  WriteFile(tmp.fspath() / "src" / "same.txt", "hello\n");  // content already in the WIM
  WriteFile(tmp.fspath() / "src" / "new.bin", Noise(70000, 5));
  auto make = [&] {
    std::vector<arc::CDirItem> items(3);
    items[0].ImagePath = u"\\added\\same.txt";
    items[0].FullPath = (tmp.fspath() / "src" / "same.txt").string();
    items[1].ImagePath = u"\\added\\new.bin";
    items[1].FullPath = (tmp.fspath() / "src" / "new.bin").string();
    items[2].ImagePath = u"\\added\\new2.bin";
    items[2].FullPath = items[1].FullPath;
    for (auto& i : items) i.Attrib = 0x20;
    return items;
  };
  std::vector<arc::CDirItem> a = make(), b = make();
  ASSERT_TRUE(WimUpdateCopy(wim.c_str(), out.c_str(), a, true));
  ASSERT_TRUE(WimUpdateCopy(wim.c_str(), shared.c_str(), b, false));
  for (const arc::CDirItem& i : a) EXPECT_EQ(i.Result, arc::kItemAdded | kItemNewRecord);
  EXPECT_EQ(b[0].Result, arc::kItemAdded | kItemSharedRecord);
  EXPECT_EQ(b[2].Result, arc::kItemAdded | kItemSharedRecord);
  // Two more copies of data, each with a 50-byte lookup record.
  EXPECT_EQ(fs::file_size(out) - fs::file_size(shared), 6u + 70000u + 2 * 50u);
  EXPECT_TRUE(WimlibVerify(out));
  for (int image = 1; image <= 2; ++image) {
    EXPECT_EQ(WimlibExtract(out, image, "/added/same.txt"), "hello\n");
    EXPECT_TRUE(WimlibExtract(out, image, "/added/new2.bin") == Noise(70000, 5));
    EXPECT_EQ(WimlibExtract(out, image, "/a.txt"), "hello\n");
  }
  // A failed update leaves nothing behind.
  std::vector<arc::CDirItem> c = make();
  c[0].ImageIndex = 7;
  EXPECT_FALSE(WimUpdateCopy(wim.c_str(), (tmp.fspath() / "fail.wim").c_str(), c, true));
  EXPECT_FALSE(fs::exists(tmp.fspath() / "fail.wim"));
}

}  // namespace

namespace {

TEST(ShortNameHelpers, LongNameCharactersAndUpperCase) {
  for (char16_t c : std::u16string(u"\"&*+,./:;<=>?[\\]^|\x01\x1F")) EXPECT_FALSE(IsLongNameChar(c)) << int(c);
  for (char16_t c : std::u16string(u"aZ09 _-~!#$%'()@{}`\x00E9")) EXPECT_TRUE(IsLongNameChar(c)) << int(c);
  EXPECT_EQ(ShortNameUpper(u'a'), u'A');
  EXPECT_EQ(ShortNameUpper(u'z'), u'Z');
  EXPECT_EQ(ShortNameUpper(u'A'), u'A');
  EXPECT_EQ(ShortNameUpper(u'{'), u'{');
  EXPECT_EQ(ShortNameUpper(u'\x00E9'), u'\x00E9');
}

}  // namespace
