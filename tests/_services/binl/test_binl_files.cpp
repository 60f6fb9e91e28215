// File and text routines of the BINL add-on.
#include <sys/stat.h>

#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/host_info.h"
#include "tests/_services/binl/binl_test_util.h"

namespace {

TEST(MakePath, CreatesFoldersAndWritesFiles) {
    TempFolder dir;
    LogCapture log(LOG_BINL);
    EXPECT_EQ(MakePathAndWriteFile(dir / "a/b", nullptr, nullptr, 0, BINL_CREATE_ALWAYS), 0);
    EXPECT_TRUE(IsDirectory(dir / "a"));
    EXPECT_TRUE(IsDirectory(dir / "a/b"));
    EXPECT_EQ(MakePathAndWriteFile(dir / "a/b/", nullptr, nullptr, 0, BINL_CREATE_ALWAYS), 0);

    const char text[] = "first";
    EXPECT_EQ(MakePathAndWriteFile(dir / "x/y", "readme.txt", text, 5, BINL_CREATE_NEW), 0);
    EXPECT_EQ(ReadFile(dir / "x/y/readme.txt"), "first");
    // create-new over an existing file: success, file unchanged
    EXPECT_EQ(MakePathAndWriteFile(dir / "x/y", "readme.txt", "second", 6, BINL_CREATE_NEW), 0);
    EXPECT_EQ(ReadFile(dir / "x/y/readme.txt"), "first");
    EXPECT_EQ(MakePathAndWriteFile(dir / "x/y", "readme.txt", "second", 6, BINL_CREATE_ALWAYS), 0);
    EXPECT_EQ(ReadFile(dir / "x/y/readme.txt"), "second");
    // no temporary files stay behind
    for (const auto& e : ListFolder(dir / "x/y")) EXPECT_EQ(e.name, "readme.txt");

    // a file in the way of a folder fails with the message
    WriteFile(dir / "file", "f");
    EXPECT_EQ(MakePathAndWriteFile(dir / "file/sub", nullptr, nullptr, 0, BINL_CREATE_ALWAYS), -1);
    EXPECT_TRUE(log.Has("BINL Err: Creating " + (dir / "file/sub")));
    EXPECT_EQ(MakePathAndWriteFile("relative", nullptr, nullptr, 0, BINL_CREATE_ALWAYS), -1);
    EXPECT_EQ(MakePathAndWriteFile(std::string(5000, 'a'), nullptr, nullptr, 0, BINL_CREATE_ALWAYS), -1);
}

TEST(Ascii, FileCheck) {
    TempFolder dir;
    struct Case {
        std::string content;
        int expected;
    } cases[] = {
        {"", 1},
        {"[x]\r\nkey=value\twith tab\n", 1},
        {"non\xA0"
         "breaking",
         0},
        {std::string("nul\0x", 5), 0},
        {"\x7F", 0},
        {"~ ", 1},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string p = dir / ("f" + std::to_string(i++));
        WriteFile(p, c.content);
        EXPECT_EQ(IsAsciiFile(p), c.expected) << i;
    }
    EXPECT_EQ(IsAsciiFile(dir / "missing"), 1);
}

TEST(Text, TrimFindWidenLastComponent) {
    struct Trim {
        const char* in;
        const char* out;
    } trims[] = {{" \t \t", ""}, {"", ""}, {"  a b\t\r\n", "a b"}, {"x", "x"}, {"\x0b\x0c y \x0d", "y"}};
    for (const Trim& t : trims) {
        EXPECT_EQ(TrimSpaces(std::string(t.in)), t.out);
        char buf[32];
        std::strcpy(buf, t.in);
        EXPECT_STREQ(TrimSpaces(buf), t.out);
    }

    const char* text = "append nfsroot=x/$head_dir$/y";
    EXPECT_EQ(FindTextNoCase(text, "$HEAD_DIR$"), text + 17);
    EXPECT_EQ(FindTextNoCase(text, ""), text);
    EXPECT_EQ(FindTextNoCase(text, "$COMP_NAME$"), nullptr);
    EXPECT_EQ(FindTextNoCase("ab", "abc"), nullptr);

    uint8_t wide[16] = {};
    EXPECT_EQ(AsciiToUtf16("MUI", wide), 6u);
    const uint8_t expected[8] = {'M', 0, 'U', 0, 'I', 0, 0, 0};
    EXPECT_EQ(std::memcmp(wide, expected, 8), 0);

    struct Last {
        const char* path;
        size_t capacity;
        const char* out;
    } lasts[] = {
        {"D:\\boot\\WIA_WDS\\Win10\\", 64, "Win10"},
        {"/srv/boot/WIA_WDS/Win10/", 64, "Win10"},
        {"/srv/boot/WIA_WDS/Win10", 64, "Win10"},
        {"nobackslash", 64, ""},
        {"/top", 64, ""},
        {"/srv/Win10", 9, "Win10"},
        {"/srv/Win10", 8, ""},
    };
    for (const Last& l : lasts) {
        std::string out = "junk";
        EXPECT_EQ(PathLastComponent(l.path, &out, l.capacity), std::strlen(l.out)) << l.path;
        EXPECT_EQ(out, l.out) << l.path;
    }
}

TEST(Paths, ResolveWithoutCaseAndListing) {
    TempFolder dir;
    WriteFile(dir / "I386/NTDETECT.COM", "x");
    WriteFile(dir / "sources/boot.wim", "w");
    WriteFile(dir / "sources/Install.WIM", "w");
    EXPECT_EQ(ResolveNoCase(dir.path(), "i386\\ntdetect.com"), dir / "I386/NTDETECT.COM");
    EXPECT_EQ(ResolveNoCase(dir.path(), "Sources/BOOT.wim"), dir / "sources/boot.wim");
    EXPECT_EQ(ResolveNoCase(dir.path(), "sources/new.txt"), dir / "sources/new.txt");
    EXPECT_EQ(ResolveNoCase(dir.path(), "none/x"), dir / "none/x");

    std::string wim;
    EXPECT_EQ(FindFirstWim(dir / "sources", &wim, 64), 8u);
    EXPECT_EQ(wim, "boot.wim");
    EXPECT_EQ(FindFirstWim(dir / "I386", &wim, 64), 0u);

    WriteFile(dir / "list/b", "");
    WriteFile(dir / "list/A/x", "");
    WriteFile(dir / "list/c", "");
    auto entries = ListFolder(dir / "list");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "A");
    EXPECT_TRUE(entries[0].isFolder);
    EXPECT_EQ(entries[1].name, "b");
    EXPECT_FALSE(entries[1].isFolder);

    EXPECT_EQ(StripTrailingSeparators("/srv/boot//"), "/srv/boot");
    EXPECT_EQ(StripTrailingSeparators("D:\\boot\\\\"), "D:\\boot");
    EXPECT_EQ(StripTrailingSeparators("/"), "/");
}

TEST(Paths, AtomicCopyReplacesReadOnlyTarget) {
    TempFolder dir;
    WriteFile(dir / "src", "new content");
    WriteFile(dir / "dst", "old");
    ::chmod((dir / "dst").c_str(), 0444);
    EXPECT_TRUE(CopyFileAtomic(dir / "src", dir / "dst"));
    EXPECT_EQ(ReadFile(dir / "dst"), "new content");
    EXPECT_FALSE(CopyFileAtomic(dir / "missing", dir / "dst2"));
    EXPECT_FALSE(PathExists(dir / "dst2"));
}

}  // namespace
