#include "libs/wim/archive_callbacks.h"
#include "libs/wim/archive_extract.h"
#include "tests/support/temp_folder.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Item {
  std::string name;
  std::string data;  // ignored for folders
  bool folder = false;
};

// Builds a 7z archive in memory; libarchive lets the test store any item name.
std::string Make7z(const std::vector<Item>& items) {
  struct archive* a = archive_write_new();
  archive_write_set_format_7zip(a);
  std::vector<char> buf(4 << 20);
  size_t used = 0;
  EXPECT_EQ(archive_write_open_memory(a, buf.data(), buf.size(), &used), ARCHIVE_OK);
  for (const Item& it : items) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, it.name.c_str());
    archive_entry_set_filetype(e, it.folder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(e, it.folder ? 0755 : 0644);
    archive_entry_set_size(e, it.folder ? 0 : la_int64_t(it.data.size()));
    archive_entry_set_mtime(e, 1700000000, 0);
    EXPECT_EQ(archive_write_header(a, e), ARCHIVE_OK) << it.name;
    if (!it.folder && !it.data.empty()) {
      EXPECT_EQ(archive_write_data(a, it.data.data(), it.data.size()), la_ssize_t(it.data.size()));
    }
    archive_entry_free(e);
  }
  EXPECT_EQ(archive_write_close(a), ARCHIVE_OK);
  archive_write_free(a);
  return std::string(buf.data(), used);
}

using nimbo::test::ReadFile;

// Every regular file below root, relative, sorted.
std::vector<std::string> Tree(const fs::path& root) {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (auto& e : fs::recursive_directory_iterator(root))
    if (!e.is_directory()) out.push_back(fs::relative(e.path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

class ExtractTest : public ::testing::Test {
 protected:
  ArchiveOpResult Extract(const std::string& archive, const char* what, bool withPaths, bool usePattern,
                          const fs::path* folder = nullptr) {
    std::string target = (folder ? *folder : out_).string();
    return ExtractFrom7zBuffer(archive.data(), uint32_t(archive.size()), what, target.c_str(), 0, withPaths,
                               usePattern);
  }

  nimbo::test::TempFolder tmp_{"nimbo-wim-test-"};
  const fs::path base_ = tmp_.fspath(), out_ = base_ / "out";
};

const std::vector<Item> kSample = {
    {"BM", "", true},
    {"BM/PXENIMBO", "", true},
    {"BM/PXENIMBO/BIOS", "", true},
    {"BM/PXENIMBO/BIOS/pxenimbo.0", "bios boot program"},
    {"BM/PXENIMBO/BIOS/pxelinux.cfg/default", "UI vesamenu.c32\n"},
    {"BM/PXENIMBO/EFI64/pxenimbo.efi", "efi boot program"},
    {"Nimbo.evc", "00:00:0C\tCisco\n"},
    {"Other/Nimbo.evc", "second copy"},
};

TEST_F(ExtractTest, SelectsByPatternOrExactName) {
  const std::string archive = Make7z(kSample);
  struct Case {
    const char* what;
    bool usePattern;
    bool withPaths;
    ArchiveOpResult rc;
    std::vector<std::string> tree;
  } cases[] = {
      {"^BM.*",
       true,
       true,
       ARCHIVE_OK,
       {"BM/PXENIMBO/BIOS/pxelinux.cfg/default", "BM/PXENIMBO/BIOS/pxenimbo.0", "BM/PXENIMBO/EFI64/pxenimbo.efi"}},
      // Patterns see the names with backslashes.
      {"^BM\\\\PXENIMBO\\\\EFI64\\\\", true, true, ARCHIVE_OK, {"BM/PXENIMBO/EFI64/pxenimbo.efi"}},
      {"^BM/PXENIMBO", true, true, ARCHIVE_ERR_NO_ITEM, {}},
      // Without paths only bare names are written; no folders are made.
      {"pxenimbo", true, false, ARCHIVE_OK, {"pxenimbo.0", "pxenimbo.efi"}},
      // Exact names ignore letter case and accept either separator.
      {"bm\\pxenimbo\\bios\\PXENIMBO.0", false, true, ARCHIVE_OK, {"BM/PXENIMBO/BIOS/pxenimbo.0"}},
      {"NIMBO.EVC", false, false, ARCHIVE_OK, {"Nimbo.evc"}},
      {"bm/pxenimbo/bios/pxenimbo.0", false, false, ARCHIVE_OK, {"pxenimbo.0"}},
      // A name or pattern that selects only folders selects nothing.
      {"BM\\PXENIMBO\\BIOS", false, true, ARCHIVE_ERR_NO_ITEM, {}},
      {"^BM\\\\PXENIMBO$", true, true, ARCHIVE_ERR_NO_ITEM, {}},
      {"pxenimbo.0x", false, true, ARCHIVE_ERR_NO_ITEM, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out_);
    EXPECT_EQ(Extract(archive, c.what, c.withPaths, c.usePattern), c.rc);
    EXPECT_EQ(Tree(out_), c.tree);
  }
  EXPECT_EQ(Extract(archive, "^BM.*", true, true), ARCHIVE_OK);
  EXPECT_EQ(ReadFile(out_ / "BM/PXENIMBO/BIOS/pxelinux.cfg/default"), "UI vesamenu.c32\n");
}

TEST_F(ExtractTest, SameNameWithoutPathsLeavesTheLastOne) {
  const std::string archive = Make7z(kSample);
  EXPECT_EQ(Extract(archive, "Nimbo\\.evc$", false, true), ARCHIVE_OK);
  EXPECT_EQ(Tree(out_), std::vector<std::string>{"Nimbo.evc"});
  EXPECT_EQ(ReadFile(out_ / "Nimbo.evc"), "second copy");

  std::string memory;
  EXPECT_EQ(ExtractItemToMemory(archive.data(), uint32_t(archive.size()), "nimbo.evc", memory), ARCHIVE_OK);
  EXPECT_EQ(memory, "00:00:0C\tCisco\n");
  EXPECT_EQ(ExtractItemToMemory(archive.data(), uint32_t(archive.size()), "BM", memory), ARCHIVE_ERR_NO_ITEM);
}

TEST_F(ExtractTest, ReplacesExistingFilesAndKeepsNoTemporaries) {
  const std::string archive = Make7z(kSample);
  fs::create_directories(out_);
  const fs::path target = out_ / "Nimbo.evc";
  { std::ofstream(target) << "an older and much longer table that must go away"; }
  ASSERT_EQ(chmod(target.c_str(), 0444), 0);
  EXPECT_EQ(Extract(archive, "nimbo.evc", false, false), ARCHIVE_OK);
  EXPECT_EQ(ReadFile(target), "00:00:0C\tCisco\n");
  EXPECT_EQ(Tree(out_), std::vector<std::string>{"Nimbo.evc"});
  // The item's modification time is kept.
  struct stat st;
  ASSERT_EQ(stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000000);

  // An output that is a folder cannot be replaced: the call fails, nothing is left over.
  fs::remove_all(out_);
  fs::create_directories(out_ / "Nimbo.evc");
  EXPECT_EQ(Extract(archive, "nimbo.evc", false, false), ARCHIVE_ERR_EXTRACT);
  EXPECT_EQ(Tree(out_), std::vector<std::string>{});
  // An output folder that is a file cannot be used.
  fs::remove_all(out_);
  { std::ofstream(out_) << "x"; }
  EXPECT_EQ(Extract(archive, "nimbo.evc", false, false), ARCHIVE_ERR_EXTRACT);
}

TEST_F(ExtractTest, RefusesItemNamesThatEscapeTheOutputFolder) {
  const char* names[] = {"../evil", "a/../../evil", "..", ".", "a/..", "..\\evil", "sub\\..\\..\\evil", "/"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    fs::remove_all(base_);
    fs::create_directories(out_);
    const std::string archive = Make7z({{name, "payload"}});
    EXPECT_EQ(Extract(archive, ".*", true, true), ARCHIVE_ERR_EXTRACT);
    EXPECT_EQ(Tree(base_), std::vector<std::string>{});
  }
  // A leading separator stays inside the output folder.
  fs::remove_all(base_);
  const std::string archive = Make7z({{"/abs/file", "payload"}});
  EXPECT_EQ(Extract(archive, ".*", true, true), ARCHIVE_OK);
  EXPECT_EQ(Tree(base_), std::vector<std::string>{"out/abs/file"});
}

TEST(ItemOutputPath, Table) {
  struct Case {
    const char* item;
    bool withPaths;
    bool ok;
    const char* relative;
  } cases[] = {
      {"a/b/c.txt", true, true, "a/b/c.txt"},
      {"a\\b\\c.txt", true, true, "a/b/c.txt"},
      {"a/b/c.txt", false, true, "c.txt"},
      {"a//./b", true, true, "a/b"},
      {"a/b/..", false, false, ""},
      {"a/../b", true, false, ""},
      {"a/../b", false, true, "b"},
      {"", true, false, ""},
      {"dir/", false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.item);
    std::string rel;
    EXPECT_EQ(arc::ItemOutputPath(c.item, c.withPaths, rel), c.ok);
    if (c.ok) { EXPECT_EQ(rel, c.relative); }
  }
}

TEST_F(ExtractTest, CorruptArchivesFailWithoutLeavingFiles) {
  std::string payload(200000, '\0');
  uint32_t seed = 12345;  // incompressible, so the packed data is long
  for (char& c : payload) c = char((seed = seed * 1103515245u + 12345u) >> 24);
  const std::string good = Make7z({{"big.bin", payload}, {"small.txt", "hello"}});
  ASSERT_EQ(Extract(good, ".*", true, true), ARCHIVE_OK);
  ASSERT_EQ(ReadFile(out_ / "big.bin"), payload);

  std::string flipped = good;
  ASSERT_GT(good.size(), 100000u);
  for (size_t i = 64; i < 2000; i += 97) flipped[i] = char(flipped[i] ^ 0x5A);
  std::string badHeader = good;
  for (size_t i = good.size() - 40; i < good.size(); ++i) badHeader[i] = char(badHeader[i] ^ 0xFF);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"garbage", std::string(1000, 'x')}, {"empty", std::string()}, {"truncated", good.substr(0, good.size() / 2)},
      {"bad header", badHeader},           {"bad data", flipped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(out_);
    ArchiveOpResult rc = Extract(c.bytes, ".*", true, true);
    EXPECT_TRUE(rc == ARCHIVE_ERR_OPEN || rc == ARCHIVE_ERR_ITEM_DATA) << rc;
    // Nothing partial: no temporary names, no truncated big.bin.
    for (const std::string& f : Tree(out_)) {
      EXPECT_EQ(f.find("/."), std::string::npos) << f;
      EXPECT_NE(f, "big.bin");
    }
  }
  EXPECT_EQ(ExtractFrom7zBuffer(nullptr, 10, ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_OPEN);
}

// Runs a shell command quietly; true when it exits with 0.
bool Shell(const std::string& command) {
  int rc = std::system((command + " >/dev/null 2>&1").c_str());
  return rc != -1 && WIFEXITED(rc) && WEXITSTATUS(rc) == 0;
}

TEST_F(ExtractTest, FromFilesMadeBy7zz) {
  const fs::path src = base_ / "src";
  fs::create_directories(src / "BM/PXENIMBO/BIOS");
  fs::create_directories(src / "empty");
  std::string big(300000, '\0');
  uint32_t seed = 99;
  for (char& c : big) c = char((seed = seed * 1103515245u + 12345u) >> 24);
  std::ofstream(src / "BM/PXENIMBO/BIOS/pxenimbo.0", std::ios::binary) << big;
  std::ofstream(src / "Nimbo.evc") << "00:00:0C\tCisco\n";
  const fs::path lzma = base_ / "lzma.7z", lzma2 = base_ / "lzma2.7z";
  ASSERT_TRUE(Shell("cd '" + src.string() + "' && 7zz a -t7z -m0=LZMA '" + lzma.string() + "' ."));
  ASSERT_TRUE(Shell("cd '" + src.string() + "' && 7zz a -t7z -m0=LZMA2 -mx=9 '" + lzma2.string() + "' ."));
  for (const fs::path& archive : {lzma, lzma2}) {
    SCOPED_TRACE(archive.string());
    fs::remove_all(out_);
    // Backslashes in the archive path are accepted.
    std::string windowsPath = archive.string();
    std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    EXPECT_EQ(ExtractFrom7zFile(windowsPath.c_str(), "^BM\\\\", out_.c_str(), 0, true, true), ARCHIVE_OK);
    EXPECT_EQ(Tree(out_), std::vector<std::string>{"BM/PXENIMBO/BIOS/pxenimbo.0"});
    EXPECT_TRUE(ReadFile(out_ / "BM/PXENIMBO/BIOS/pxenimbo.0") == big);
    EXPECT_EQ(ExtractFrom7zFile(archive.c_str(), "NIMBO.EVC", out_.c_str(), 0, false, false), ARCHIVE_OK);
    EXPECT_EQ(ReadFile(out_ / "Nimbo.evc"), "00:00:0C\tCisco\n");
    EXPECT_EQ(ExtractFrom7zFile(archive.c_str(), "empty", out_.c_str(), 0, true, false), ARCHIVE_ERR_NO_ITEM);
  }
  // Damaged data inside a file made by 7zz: -9, no partial output.
  std::string bytes = ReadFile(lzma);
  for (size_t i = 100; i < 4000; i += 61) bytes[i] = char(bytes[i] ^ 0x33);
  const fs::path damaged = base_ / "damaged.7z";
  std::ofstream(damaged, std::ios::binary) << bytes;
  fs::remove_all(out_);
  EXPECT_EQ(ExtractFrom7zFile(damaged.c_str(), ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_ITEM_DATA);
  for (const std::string& f : Tree(out_)) EXPECT_NE(f, "BM/PXENIMBO/BIOS/pxenimbo.0");

  // A file that cannot be opened: -1. A file that is not a 7z archive: -2.
  const std::string missing = (base_ / "missing.7z").string();
  EXPECT_EQ(ExtractFrom7zFile(missing.c_str(), ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_FILE_OPEN);
  EXPECT_EQ(ExtractFrom7zFile(nullptr, ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_FILE_OPEN);
  EXPECT_EQ(ExtractFrom7zFile(src.c_str(), ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_FILE_OPEN);
  const fs::path text = src / "Nimbo.evc";
  EXPECT_EQ(ExtractFrom7zFile(text.c_str(), ".*", out_.c_str(), 0, true, true), ARCHIVE_ERR_OPEN);
}

TEST(PrivateTempFolder, FollowsTheEnvironmentAndIsPrivate) {
  nimbo::test::TempFolder top("nimbo-env-");
  const std::string root = top.path();
  const char* vars[] = {"TEMP", "TMP", "TMPDIR"};
  for (int chosen = 0; chosen <= 3; ++chosen) {
    SCOPED_TRACE(chosen);
    for (int v = 0; v < 3; ++v) unsetenv(vars[v]);
    for (int v = chosen; v < 3; ++v) {
      std::string dir = root + "/" + vars[v];
      fs::create_directories(dir);
      setenv(vars[v], (dir + "/").c_str(), 1);
    }
    std::string folder = MakePrivateTempFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), '/');
    std::string expected = chosen < 3 ? root + "/" + vars[chosen] + "/nimbo-" : "/tmp/nimbo-";
    EXPECT_EQ(folder.rfind(expected, 0), 0u) << folder;
    struct stat st;
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string second = MakePrivateTempFolder();
    EXPECT_NE(second, folder);
    fs::remove_all(folder);
    fs::remove_all(second);
  }
  for (const char* v : vars) unsetenv(v);
}

}  // namespace
