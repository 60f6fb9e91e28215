#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>

#include "libs/wim/item_select.h"
#include "libs/wim/wim_entry.h"
#include "libs/wim/wim_error.h"
#include "libs/wim/wim_format.h"
#include "libs/wim/wim_handler.h"
#include "libs/wim/wim_update.h"
#include "tests/libs/wim/wim_test_util.h"

using namespace wimtest;
using namespace NArchive::NWim;

namespace {

struct Add {
  std::string imagePath;               // '\' separated
  std::optional<std::string> content;  // none: a source that does not exist
  uint32_t image = 1;
  bool folder = false;
};

struct Image {
  std::string name;
  std::string dirs, files, bytes;
};

// Image names and counters, and the boot index, from one wiminfo run.
std::vector<Image> Images(const fs::path& wim, std::string* bootIndex = nullptr) {
  std::vector<Image> images;
  for (const std::string& line : Lines(Run("wiminfo " + Quote(wim)))) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon), value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (key == "Boot Index" && bootIndex) *bootIndex = value;
    if (key == "Index") images.emplace_back();
    if (images.empty()) continue;
    if (key == "Name") images.back().name = value;
    if (key == "Directory Count") images.back().dirs = value;
    if (key == "File Count") images.back().files = value;
    if (key == "Total Bytes") images.back().bytes = value;
  }
  return images;
}

std::string Slashed(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  return path;
}

std::vector<std::string> OurPaths(const fs::path& wim, int image) {
  std::vector<std::string> out;
  int fd = open(wim.c_str(), O_RDONLY | O_CLOEXEC);
  CHandler handler;
  EXPECT_EQ(handler.Open(fd, false), arc::S_OK);
  const std::string prefix = std::to_string(image) + "\\";
  for (uint32_t i = 0; i < handler.GetNumberOfItems(); ++i) {
    WimItemInfo info;
    handler.GetItem(i, info);
    std::string path = WimUtf16ToUtf8(info.path);
    if (path.rfind(prefix, 0) == 0 && path != prefix) out.push_back("/" + Slashed(path.substr(prefix.size())));
  }
  close(fd);
  std::sort(out.begin(), out.end());
  return out;
}

class WimUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path& t = temp_.fspath();
    MakeSampleTree(t / "src");
    WriteFile(t / "src2" / "docs" / "readme.txt", "read me\n");
    fs::create_directories(t / "src2" / "empty2");
    base_ = t / "base.wim";
    ASSERT_TRUE(Capture(t / "src", base_, "Image One", "--compress=LZX"));
    ASSERT_TRUE(Capture(t / "src2", base_, "Image Two", "--compress=LZX"));
    ASSERT_EQ(system(("wimlib-imagex info " + Quote(base_) + " 2 --boot >/dev/null").c_str()), 0);
  }

  // Sources for the items, written below the temporary folder.
  std::vector<arc::CDirItem> Items(const std::vector<Add>& adds) {
    std::vector<arc::CDirItem> items;
    for (const Add& a : adds) {
      arc::CDirItem item;
      fs::path source = temp_.fspath() / "sources" / std::to_string(sources_++);
      if (a.content) WriteFile(source, *a.content);
      item.FullPath = source.string();
      item.Size = a.content ? a.content->size() : 0;
      item.MTime = item.CTime = item.ATime = WimFileTimeFromUnix(1700000000, 0);
      item.ImagePath = Utf8ToUtf16(a.imagePath);
      item.ImageIndex = a.image;
      item.Attrib = a.folder ? 0x10 : 0x20;
      items.push_back(item);
    }
    return items;
  }

  // Runs one update and checks the result against wimlib.
  void Check(const fs::path& source, const std::vector<Add>& adds, const std::vector<int32_t>& results, int image,
             int dirsAdded, int filesAdded, int64_t bytesAdded, const std::map<std::string, std::string>& expect) {
    const fs::path dest = temp_.fspath() / "dest.wim";
    fs::remove(dest);
    const std::string before = ReadFile(source);
    std::string oldBoot, newBoot;
    const std::vector<Image> old = Images(source, &oldBoot);
    std::vector<arc::CDirItem> items = Items(adds);
    ASSERT_TRUE(WimUpdateCopy(source.c_str(), dest.c_str(), items));
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].Result, results[i]) << adds[i].imagePath;
    EXPECT_EQ(ReadFile(source), before);
    EXPECT_TRUE(WimlibVerify(dest));
    std::vector<std::string> listed = WimlibList(dest, image);
    for (const auto& [path, content] : expect) {
      EXPECT_TRUE(std::find(listed.begin(), listed.end(), path) != listed.end()) << path;
      int status = 1;
      std::string got = WimlibExtract(dest, image, path, &status);
      EXPECT_TRUE(got == content) << path << ": " << got.size() << " bytes";
      EXPECT_EQ(status, 0) << path;
    }
    // Names, order and boot index stay; the counters of the image grow.
    std::vector<Image> now = Images(dest, &newBoot);
    ASSERT_EQ(now.size(), old.size());
    EXPECT_EQ(newBoot, oldBoot);
    for (size_t i = 0; i < now.size(); ++i) {
      EXPECT_EQ(now[i].name, old[i].name);
      bool changed = int(i + 1) == image;
      EXPECT_EQ(std::stoll(now[i].dirs), std::stoll(old[i].dirs) + (changed ? dirsAdded : 0));
      EXPECT_EQ(std::stoll(now[i].files), std::stoll(old[i].files) + (changed ? filesAdded : 0));
      EXPECT_EQ(std::stoll(now[i].bytes), std::stoll(old[i].bytes) + (changed ? bytesAdded : 0));
    }
    // Our own reader lists what wimlib lists and reads the new data.
    for (size_t i = 1; i <= now.size(); ++i) EXPECT_EQ(OurPaths(dest, int(i)), WimlibList(dest, int(i)));
    for (const auto& [path, content] : expect) {
      fs::path out = temp_.fspath() / "out";
      fs::remove_all(out);
      std::string name = std::to_string(image) + path;
      std::replace(name.begin(), name.end(), '/', '\\');
      ASSERT_EQ(ExtractFromWimFile(dest.c_str(), name.c_str(), out.c_str(), 0, false, false), ARCHIVE_OK);
      EXPECT_TRUE(ReadFile(out / fs::path(path).filename()) == content) << path;
    }
  }

  TempFolder temp_{"nimbo-wim-"};
  fs::path base_;
  int sources_ = 0;
};

constexpr int32_t kAddedNew = 0x101, kAddedShared = 0x102, kAddedEmpty = 0x100;
constexpr int32_t kReplacedNew = 0x201, kPresentShared = 0x402, kPresent = 0x400;

TEST_F(WimUpdateTest, AddsAndReplacesFiles) {
  const std::string noise = Noise(200000, 7);
  struct Case {
    const char* what;
    std::vector<Add> adds;
    std::vector<int32_t> results;
    int dirs, files;
    int64_t bytes;
    std::map<std::string, std::string> expect;
  } cases[] = {
      {"new file in a non-empty folder",
       {{"\\dir\\new.txt", "new content"}},
       {kAddedNew},
       0,
       1,
       11,
       {{"/dir/new.txt", "new content"}, {"/dir/big.bin", noise}}},
      {"new file in an empty folder",
       {{"\\EMPTY\\inside.txt", "inside"}},
       {kAddedNew},
       0,
       1,
       6,
       {{"/empty/inside.txt", "inside"}}},
      {"new nested folders",
       {{"\\$WinPEDriver$\\NIC\\drv.inf", "[Version]\n"}},
       {kAddedNew},
       2,
       1,
       10,
       {{"/$WinPEDriver$/NIC/drv.inf", "[Version]\n"}}},
      {"different content",
       {{"\\dir\\sub\\text.txt", "short"}},
       {kReplacedNew},
       0,
       0,
       5 - 300000,
       {{"/dir/sub/text.txt", "short"}}},
      {"different content of a hard link",
       {{"\\a.txt", "changed"}},
       {kReplacedNew},
       0,
       0,
       1,
       {{"/a.txt", "changed"}, {"/dir/hard.txt", "changed"}}},
      {"same content", {{"\\A.TXT", "hello\n"}}, {kPresentShared}, 0, 0, 0, {{"/a.txt", "hello\n"}}},
      {"a duplicate of another file",
       {{"\\dir\\copy.bin", noise}},
       {kAddedShared},
       0,
       1,
       200000,
       {{"/dir/copy.bin", noise}}},
      {"the same file twice",
       {{"\\twice.txt", "twice"}, {"\\twice.txt", "twice"}},
       {kAddedNew, kPresentShared},
       0,
       1,
       5,
       {{"/twice.txt", "twice"}}},
      {"an empty file", {{"\\dir\\new-empty", ""}}, {kAddedEmpty}, 0, 1, 0, {{"/dir/new-empty", ""}}},
      {"folders",
       {{"\\dir", std::nullopt, 1, true}, {"\\newdir\\deeper", std::nullopt, 1, true}},
       {kPresent, 0x100},
       2,
       0,
       0,
       {}},
      {"items that are skipped",
       {{"\\missing.txt", std::nullopt},
        {"\\a.txt\\under-a-file.txt", "x"},
        {"\\link", "not a link"},
        {"\\empty", "a file for a folder"},
        {"\\..\\up.txt", "x"}},
       {0, 0, 0, 0, 0},
       0,
       0,
       0,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Check(base_, c.adds, c.results, 1, c.dirs, c.files, c.bytes, c.expect);
  }
  // An image the file does not have fails the whole update.
  std::vector<arc::CDirItem> beyond = Items({{"\\x.txt", "x", 3}});
  EXPECT_FALSE(WimUpdateCopy(base_.c_str(), (temp_.fspath() / "beyond.wim").c_str(), beyond));
  EXPECT_FALSE(fs::exists(temp_.fspath() / "beyond.wim"));
  // The lookup record of shared content counts the new reference.
  Check(base_, {{"\\dir\\copy.bin", noise}}, {kAddedShared}, 1, 0, 1, 200000, {});
  int fd = open((temp_.fspath() / "dest.wim").c_str(), O_RDONLY | O_CLOEXEC);
  CHandler handler;
  ASSERT_EQ(handler.Open(fd, false), arc::S_OK);
  for (uint32_t i = 0; i < handler.GetNumberOfItems(); ++i) {
    WimItemInfo info;
    handler.GetItem(i, info);
    if (info.path == u"1\\dir\\copy.bin" || info.path == u"1\\dir\\big.bin") { EXPECT_EQ(info.refCount, 2u); }
  }
  close(fd);
}

// Image 1 rewritten by wimlib keeps its metadata behind image 2's: numbers must stay.
TEST_F(WimUpdateTest, KeepsImageNumbersOfRewrittenFiles) {
  WriteFile(temp_.fspath() / "extra.txt", "extra\n");
  ASSERT_EQ(system(("wimlib-imagex update " + Quote(base_) + " 1 --command 'add " +
                    (temp_.fspath() / "extra.txt").string() + " /extra.txt' >/dev/null")
                       .c_str()),
            0);
  Check(base_, {{"\\docs\\new.txt", "for image two", 2}, {"\\empty2\\x.txt", "x", 2}}, {kAddedNew, kAddedNew}, 2, 0, 2,
        14, {{"/docs/new.txt", "for image two"}, {"/empty2/x.txt", "x"}});
  Check(base_, {{"\\y.txt", "y", 1}}, {kAddedNew}, 1, 0, 1, 1, {{"/extra.txt", "extra\n"}, {"/y.txt", "y"}});
}

TEST_F(WimUpdateTest, DropsTheIntegrityTable) {
  const fs::path checked = temp_.fspath() / "checked.wim";
  ASSERT_TRUE(Capture(temp_.fspath() / "src", checked, "Checked", "--compress=XPRESS --check"));
  Check(checked, {{"\\Windows\\System32\\Winpeshl.ini", "[LaunchApps]\n"}}, {kAddedNew}, 1, 2, 1, 13,
        {{"/Windows/System32/Winpeshl.ini", "[LaunchApps]\n"}});
  EXPECT_NE(wimtest::Run("wimlib-imagex info --header " + Quote(checked)).find("Integrity Size              = 32"),
            std::string::npos);
  EXPECT_NE(wimtest::Run("wimlib-imagex info --header " + Quote(temp_.fspath() / "dest.wim"))
                .find("Integrity Size              = 0\n"),
            std::string::npos);
}

// A write that fails part-way leaves the destination as it was and no temporary file.
TEST_F(WimUpdateTest, FailedWriteLeavesNothingBehind) {
  const fs::path folder = temp_.fspath() / "target";
  fs::create_directories(folder);
  const fs::path dest = folder / "boot.wim";
  WriteFile(dest, "previous destination");
  std::vector<arc::CDirItem> items = Items({{"\\big.bin", Noise(300000, 3)}});
  const off_t limit = off_t(fs::file_size(base_) + 100000);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {rlim_t(limit), rlim_t(limit)};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(WimUpdateCopy(base_.c_str(), dest.c_str(), items) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ReadFile(dest) == "previous destination");
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(folder)) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"boot.wim"});
  // Without the limit the same update succeeds.
  ASSERT_TRUE(WimUpdateCopy(base_.c_str(), dest.c_str(), items));
  EXPECT_TRUE(WimlibVerify(dest));
}

// A failed update names the step that failed and the system error it met.
TEST_F(WimUpdateTest, AFailedUpdateSaysWhy) {
  const fs::path& t = temp_.fspath();
  const fs::path damaged = t / "damaged.wim";
  WriteFile(damaged, std::string(4096, 'x'));
  struct Case {
    fs::path source, dest;
    off_t sizeLimit;  // 0: none (else the update runs in a child under that file size limit)
    const char* why;
  } const cases[] = {
      {t / "missing.wim", t / "out.wim", 0, "opening the source: No such file or directory"},
      {damaged, t / "out.wim", 0, "reading the source"},
      {base_, t / "no" / "out.wim", 0, "creating the copy: No such file or directory"},
      {base_, t / "out.wim", off_t(fs::file_size(base_) + 100000), "storing the data of an item: File too large"},
  };
  for (const Case& c : cases) {
    std::vector<arc::CDirItem> items = Items({{"\\big.bin", Noise(300000, 3)}});
    std::string why;
    if (!c.sizeLimit) {
      EXPECT_FALSE(WimUpdateCopy(c.source.c_str(), c.dest.c_str(), items));
      why = WimFailureText();
    } else {
      const fs::path text = t / "why.txt";
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {rlim_t(c.sizeLimit), rlim_t(c.sizeLimit)};
        setrlimit(RLIMIT_FSIZE, &rl);
        const bool ok = WimUpdateCopy(c.source.c_str(), c.dest.c_str(), items);
        rl = {RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &rl);
        WriteFile(text, WimFailureText());
        _exit(ok ? 1 : 0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.why;
      why = ReadFile(text);
    }
    EXPECT_EQ(why, c.why);
  }
  // A success clears what an earlier failure left.
  std::vector<arc::CDirItem> items = Items({{"\\new.txt", "new"}});
  ASSERT_TRUE(WimUpdateCopy(base_.c_str(), (t / "out.wim").c_str(), items));
  EXPECT_EQ(WimLastFailure().step, nullptr);
}

// A boot-metadata resource of its own lists as image 0 and is left alone by an update.
TEST_F(WimUpdateTest, LeavesASeparateBootMetadataAlone) {
  std::string bytes = ReadFile(base_);
  WimResource boot;
  boot.Parse(reinterpret_cast<const uint8_t*>(bytes.data()) + offsetof(WimHeaderDisk, bootMetadata));
  ASSERT_GT(boot.originalSize, 0u);
  const std::string copy = bytes.substr(boot.offset, boot.packedSize);
  boot.offset = bytes.size();
  bytes += copy;
  boot.Write(reinterpret_cast<uint8_t*>(bytes.data()) + offsetof(WimHeaderDisk, bootMetadata));
  const fs::path source = temp_.fspath() / "separate.wim";
  WriteFile(source, bytes);
  EXPECT_EQ(OurPaths(source, 0), WimlibList(base_, 2));

  std::vector<arc::CDirItem> items = Items({{"\\new.txt", "new", 1}});
  const fs::path dest = temp_.fspath() / "dest.wim";
  ASSERT_TRUE(WimUpdateCopy(source.c_str(), dest.c_str(), items));
  EXPECT_EQ(items[0].Result, kAddedNew);
  const std::string out = ReadFile(dest);
  WimResource after;
  after.Parse(reinterpret_cast<const uint8_t*>(out.data()) + offsetof(WimHeaderDisk, bootMetadata));
  EXPECT_EQ(after.offset, boot.offset);
  EXPECT_TRUE(out.substr(after.offset, after.packedSize) == copy);
  EXPECT_EQ(OurPaths(dest, 0), WimlibList(base_, 2));
  EXPECT_EQ(WimlibExtract(dest, 1, "/new.txt"), "new");
  std::string bootIndex;
  EXPECT_EQ(Images(dest, &bootIndex).size(), 2u);
  EXPECT_EQ(bootIndex, "2");
}

// Damaged tables and trees are refused by the update too; nothing crashes and a refused
// update leaves no file behind.
TEST_F(WimUpdateTest, RefusesDamagedSources) {
  const std::string original = ReadFile(base_);
  const fs::path damaged = temp_.fspath() / "damaged.wim", dest = temp_.fspath() / "out.wim";
  uint32_t seed = 5;
  int refused = 0;
  for (int round = 0; round < 80; ++round) {
    std::string bytes = original;
    for (int k = 0; k < 3; ++k) {
      seed = seed * 1103515245u + 12345u;
      size_t at = (round % 4 == 0) ? (seed >> 8) % 208 : bytes.size() - 1 - (seed >> 8) % 6000;
      bytes[at] = char(bytes[at] ^ (1 << (seed % 8)));
    }
    WriteFile(damaged, bytes);
    fs::remove(dest);
    std::vector<arc::CDirItem> items = Items({{"\\dir\\new.txt", "new"}, {"\\docs\\x", "x", 2}});
    if (!WimUpdateCopy(damaged.c_str(), dest.c_str(), items)) {
      ++refused;
      EXPECT_FALSE(fs::exists(dest));
    }
  }
  EXPECT_GT(refused, 0);
  std::vector<std::string> left;
  for (auto& e : fs::directory_iterator(temp_.fspath()))
    if (e.path().filename().string().rfind("out.wim.", 0) == 0) left.push_back(e.path().string());
  EXPECT_TRUE(left.empty());
}

TEST_F(WimUpdateTest, InjectsBootFiles) {
  const fs::path& t = temp_.fspath();
  const fs::path tmp = t / "tmp", nic = t / "nic", assets = t / "a" / "b" / "c" / "d";
  WriteFile(tmp / "Nimbo2.tmp", "companion x64");
  WriteFile(tmp / "Nimbo5.tmp", "Nimbo.txt");
  WriteFile(tmp / "Nimbo6.tmp", "[LaunchApps]\n");
  WriteFile(nic / "e1000.inf", "[Version]\n");
  WriteFile(nic / "e1000.sys", "driver");
  WriteFile(nic / "NimboReadme.txt", "not copied");
  fs::create_directories(assets);
  WriteFile(t / "a" / "NimboAsset.inf", "[NIMBOPENET]\nDeviceName=\n");
  const std::string folder = (assets / "").string(), tmpFolder = (tmp / "").string(), nicFolder = (nic / "").string();
  const fs::path dest = t / "boot.wim";
  ASSERT_EQ(
      InjectIntoBootWim(0, base_.c_str(), dest.c_str(), 2, 9, folder.c_str(), nicFolder.c_str(), tmpFolder.c_str()), 6);
  EXPECT_TRUE(WimlibVerify(dest));
  EXPECT_EQ(WimlibExtract(dest, 2, "/Windows/System32/NimboPENet.exe"), "companion x64");
  EXPECT_EQ(WimlibExtract(dest, 2, "/Windows/System32/Winpeshl.ini"), "[LaunchApps]\n");
  EXPECT_EQ(WimlibExtract(dest, 2, "/Windows/System32/NimboAsset.inf"), "[NIMBOPENET]\nDeviceName=\n");
  EXPECT_EQ(WimlibExtract(dest, 2, "/$WinPEDriver$/NIC/e1000.sys"), "driver");
  EXPECT_EQ(WimlibExtract(dest, 2, "/Nimbo.txt"), "Nimbo.txt");
  std::vector<std::string> listed = WimlibList(dest, 2);
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "/$WinPEDriver$/NIC/NimboReadme.txt"), 0);
  // The short names of new entries are 8.3 names.
  EXPECT_NE(wimtest::Run("wimlib-imagex dir " + Quote(dest) + " 2 --detailed").find("WINP~SSA.INI"), std::string::npos);

  // Injected again from the result: everything is already there.
  const fs::path again = t / "again.wim";
  ASSERT_EQ(
      InjectIntoBootWim(1, dest.c_str(), again.c_str(), 2, 9, folder.c_str(), nicFolder.c_str(), tmpFolder.c_str()), 6);
  EXPECT_TRUE(WimlibVerify(again));

  // Mode 2 without drivers and without a request lists nothing and writes nothing.
  const fs::path none = t / "none.wim";
  fs::create_directories(t / "nonic");
  EXPECT_EQ(InjectIntoBootWim(2, base_.c_str(), none.c_str(), 1, 9, folder.c_str(), (t / "nonic" / "").c_str(),
                              tmpFolder.c_str()),
            0);
  EXPECT_FALSE(fs::exists(none));
  // A request in the asset description brings the companion in.
  WriteFile(t / "a" / "NimboAsset.inf", "[NIMBOPENET]\nEndProcess=x.exe\n");
  EXPECT_EQ(InjectIntoBootWim(2, base_.c_str(), none.c_str(), 1, 9, folder.c_str(), (t / "nonic" / "").c_str(),
                              tmpFolder.c_str()),
            4);
  EXPECT_TRUE(WimlibVerify(none));
  EXPECT_EQ(
      InjectIntoBootWim(3, base_.c_str(), none.c_str(), 1, 9, folder.c_str(), nicFolder.c_str(), tmpFolder.c_str()),
      -1);
  // An image the file does not have.
  EXPECT_EQ(
      InjectIntoBootWim(0, base_.c_str(), none.c_str(), 3, 9, folder.c_str(), nicFolder.c_str(), tmpFolder.c_str()),
      -1);
}

// A hand-made tree with an alternate stream and lengths that are not multiples of 8.
std::vector<uint8_t> HandMadeTree() {
  std::vector<uint8_t> m(416, 0);
  auto entry = [&](size_t pos, uint64_t length, uint32_t attributes, uint64_t subdir, const std::u16string& name,
                   uint16_t streams, uint8_t hashByte) {
    SetAt<uint64_t>(m.data(), pos, length);
    SetAt<uint32_t>(m.data(), pos + offsetof(WimDirEntryDisk, attributes), attributes);
    SetAt<int32_t>(m.data(), pos + offsetof(WimDirEntryDisk, securityId), -1);
    SetAt<uint64_t>(m.data(), pos + offsetof(WimDirEntryDisk, subdirOffset), subdir);
    if (hashByte) std::memset(m.data() + pos + offsetof(WimDirEntryDisk, hash), hashByte, 20);
    SetAt<uint16_t>(m.data(), pos + offsetof(WimDirEntryDisk, streamCount), streams);
    SetAt<uint16_t>(m.data(), pos + offsetof(WimDirEntryDisk, longNameBytes), uint16_t(name.size() * 2));
    std::memcpy(m.data() + pos + sizeof(WimDirEntryDisk), name.data(), name.size() * 2);
  };
  SetAt<uint32_t>(m.data(), 0, 8);                      // security block
  entry(8, 104, kAttrDirectory, 120, u"", 0, 0);        // root; its list ends at 112
  entry(120, 114, kAttrArchive, 0, u"f.txt", 1, 0x11);  // occupies 120
  SetAt<uint64_t>(m.data(), 240, 42);                   // stream entry, occupies 48
  std::memset(m.data() + 240 + offsetof(WimStreamEntryDisk, hash), 0x22, 20);
  SetAt<uint16_t>(m.data(), 240 + offsetof(WimStreamEntryDisk, nameBytes), 2);
  m[240 + sizeof(WimStreamEntryDisk)] = 's';
  entry(288, 110, kAttrDirectory, 408, u"sub", 0, 0);  // occupies 112; list ends at 400
  return m;                                            // 408: the empty list of sub
}

TEST(WimTree, StreamsAreSkippedByTheirCount) {
  WimDatabase db;
  WimImageRecord image;
  image.metadata = HandMadeTree();
  image.rootPosition = 8;
  std::vector<CDirEntry> entries;
  ASSERT_EQ(WimParseImage(image.metadata, -2, &entries), arc::S_OK);
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[2].longName, u"f.txt:s");
  EXPECT_TRUE(entries[2].isStream);
  db.images.push_back(image);
  db.imageCount = 1;
  WimUpdateState state;
  state.db = &db;

  CUpdateItem add;
  add.components = {u"sub", u"new.txt"};
  add.imageIndex = 1;
  add.size = 3;
  std::memset(add.hash.data(), 0x33, 20);
  ASSERT_EQ(WimImage_ParseMetadataForUpdate(state, add), 0);
  EXPECT_EQ(add.result, arc::kItemAdded);
  // A file with an alternate stream keeps its content; a folder cannot take a file's place.
  CUpdateItem replace = add;
  replace.result = 0;
  replace.components = {u"F.TXT"};
  EXPECT_EQ(WimImage_ParseMetadataForUpdate(state, replace), 1);
  replace.components = {u"sub"};
  EXPECT_EQ(WimImage_ParseMetadataForUpdate(state, replace), 1);

  entries.clear();
  ASSERT_EQ(WimParseImage(db.images[0].metadata, -2, &entries), arc::S_OK);
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[2].hash[0], 0x22);  // the stream entry is untouched
  EXPECT_EQ(entries[3].longName, u"sub");
  EXPECT_EQ(entries[4].longName, u"new.txt");
  EXPECT_EQ(entries[4].parent, 3);
  EXPECT_EQ(entries[4].hash[0], 0x33);
  EXPECT_EQ(entries[4].shortName, u"NEW~" + entries[4].shortName.substr(4, 3) + u".TXT");
  EXPECT_EQ(db.images[0].filesAdded, 1u);
}

// A folder without a child list gets one at the end of the metadata.
TEST(WimTree, FolderWithoutChildListGetsOne) {
  WimDatabase db;
  WimImageRecord image;
  image.metadata = HandMadeTree();
  image.metadata.resize(400 + 8);
  SetAt<uint64_t>(image.metadata.data(), 288 + offsetof(WimDirEntryDisk, subdirOffset), 0);
  image.rootPosition = 8;
  db.images.push_back(image);
  WimUpdateState state;
  state.db = &db;
  CUpdateItem add;
  add.components = {u"sub", u"a", u"b.txt"};
  add.imageIndex = 1;
  ASSERT_EQ(WimImage_ParseMetadataForUpdate(state, add), 0);
  EXPECT_EQ(add.result, arc::kItemAdded);
  std::vector<CDirEntry> entries;
  ASSERT_EQ(WimParseImage(db.images[0].metadata, -2, &entries), arc::S_OK);
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[4].longName, u"a");
  EXPECT_EQ(entries[4].parent, 3);
  EXPECT_EQ(entries[5].longName, u"b.txt");
  EXPECT_EQ(entries[5].parent, 4);
  EXPECT_EQ(db.images[0].foldersAdded, 1u);
}

}  // namespace
