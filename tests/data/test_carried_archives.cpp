#include "data/carried_archives.h"
#include "libs/wim/archive_extract.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

using nimbo::test::ReadFile;

int RunQuiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class CarriedArchives : public ::testing::Test {
protected:
    nimbo::test::TempFolder tmp_{"nimbo-data-test-"};
    const fs::path base_ = tmp_.fspath();
};

TEST_F(CarriedArchives, EmbeddedBytesAreTheBuiltArchivesAndTestClean) {
    struct Case {
        CarriedBytes bytes;
        const char* file;
    } cases[] = {{BootComponentArchive(), NIMBO_BOOT_ARCHIVE_FILE}, {MacVendorArchive(), NIMBO_VENDOR_ARCHIVE_FILE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_GT(c.bytes.size, 32u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.bytes.data), c.bytes.size), ReadFile(c.file));
        EXPECT_EQ(RunQuiet(std::string("7zz t '") + c.file + "'"), 0);
    }
}

TEST_F(CarriedArchives, BootComponentsUnpackLikeTheReferenceTool) {
    CarriedBytes boot = BootComponentArchive();
    fs::path ours = base_ / "ours", reference = base_ / "reference";
    ASSERT_EQ(ExtractFrom7zBuffer(boot.data, boot.size, "^BM.*", ours.c_str(), 0, true, true), ARCHIVE_OK);
    ASSERT_EQ(RunQuiet("7zz x -y -o'" + reference.string() + "' '" NIMBO_BOOT_ARCHIVE_FILE "'"), 0);
    EXPECT_EQ(RunQuiet("diff -r '" + ours.string() + "' '" + reference.string() + "'"), 0);

    const fs::path root = ours / "BM/PXENIMBO";
    // The components the BINL preparation holds open, and the loader each one needs.
    const char* needed[] = {"BIOS/pxenimbo.0",    "BIOS/ldlinux.c32",   "BIOS/vesamenu.c32", "BIOS/libcom32.c32",
                            "BIOS/libutil.c32",   "BIOS/memdisk",       "BIOS/mboot.c32",    "BIOS/chain.c32",
                            "BIOS/pxechn.c32",    "EFI32/pxenimbo.efi", "EFI32/ldlinux.e32", "EFI32/vesamenu.c32",
                            "EFI64/pxenimbo.efi", "EFI64/ldlinux.e64",  "EFI64/vesamenu.c32"};
    for (const char* f : needed) EXPECT_TRUE(fs::is_regular_file(root / f)) << f;
    for (const char* platform : {"BIOS", "EFI32", "EFI64"})
        EXPECT_EQ(ReadFile(root / platform / "pxelinux.cfg/default"),
                  "UI vesamenu.c32\nINCLUDE pxenimbo.cfg/menu.def\n")
            << platform;
    // The companion builds are not carried.
    EXPECT_EQ(ExtractFrom7zBuffer(boot.data, boot.size, "^Nimbo.*", ours.c_str(), 0, true, true), ARCHIVE_ERR_NO_ITEM);
}

TEST_F(CarriedArchives, VendorTableIsCarried) {
    CarriedBytes vendors = MacVendorArchive();
    std::string table;
    ASSERT_EQ(ExtractItemToMemory(vendors.data, vendors.size, "Nimbo.evc", table), ARCHIVE_OK);
    EXPECT_EQ(table.rfind("#", 0), 0u);
    EXPECT_NE(table.find("\n00:00:0C\tCisco\n"), std::string::npos);
    EXPECT_NE(table.find("/28\t"), std::string::npos);
    EXPECT_NE(table.find("/36\t"), std::string::npos);
    fs::path out = base_ / "tmp";
    EXPECT_EQ(ExtractFrom7zBuffer(vendors.data, vendors.size, "Nimbo.evc", out.c_str(), 0, false, false), ARCHIVE_OK);
    EXPECT_EQ(ReadFile(out / "Nimbo.evc"), table);
}

}  // namespace
