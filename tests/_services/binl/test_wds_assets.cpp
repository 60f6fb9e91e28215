// WDS assets: the private boot image, boot files, the asset's BCD store and the shared EFI
// boot managers, checked with wimlib-imagex and the hivex tools.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "_services/binl/binl_context.h"
#include "_services/binl/binl_files.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/wds_assets.h"
#include "_services/host_info.h"
#include "tests/_services/binl/wds_fixture.h"

namespace {

namespace fs = std::filesystem;

struct WdsTest : WdsRootTest {
    std::string Asset(const std::string& head) { return root / ("WIA_WDS/" + head); }
    // The golden export of a store; NIMBO_UPDATE_GOLDEN=1 writes it from the store instead.
    std::string Golden(const std::string& name, const std::string& actual) {
        const std::string path = std::string(NIMBO_SOURCE_DIR) + "/tests/_services/binl/golden/" + name;
        if (getenv("NIMBO_UPDATE_GOLDEN")) WriteFile(path, actual);
        return ReadFile(path);
    }
};

std::string Export(const std::string& hive) { return Shell("hivexregedit --export '" + hive + "' '\\' 2>&1"); }

TEST_F(WdsTest, BuildsBootImageFilesAndStore) {
    MakeWdsMedium(root.path(), "W11");
    const std::string a = Asset("W11");
    WriteFile(a + "/$OEM$/$Boot$/$1/$WinPEDriver$/NIC/e1000.inf", "[Version]\r\n");
    WriteFile(a + "/$OEM$/$Boot$/$1/$WinPEDriver$/NIC/e1000.sys", "driver");
    WriteFile(a + "/NimboAsset.inf", "[PXENIMBO_MENU_ENTRY]\r\nplatform=Intel x64\r\n");
    int count = 0;
    bool present = false;
    uint32_t stamp = 0;
    EXPECT_EQ(WdsScanAssets(ctx, &count, &present, &stamp), 1);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(present);
    EXPECT_NE(stamp, 0u);

    const std::string wim = a + "/_NIMBO_/boot/NimboBoot.wim";
    EXPECT_NE(Shell("wimlib-imagex verify '" + wim + "' 2>&1; echo rc=$?").find("rc=0"), std::string::npos);
    const std::string dir = Shell("wimlib-imagex dir '" + wim + "' 1");
    for (const char* p : {"/$WinPEDriver$/NIC/e1000.inf", "/$WinPEDriver$/NIC/e1000.sys",
                          "/Windows/System32/NimboAsset.inf", "/Nimbo.txt"})
        EXPECT_NE(dir.find(p), std::string::npos) << p;
    // Without the companion program Windows PE keeps its own shell.
    EXPECT_EQ(dir.find("Winpeshl.ini"), std::string::npos);
    EXPECT_EQ(dir.find("NimboReadme.txt"), std::string::npos);
    EXPECT_TRUE(log.Has("BINL Warn: The NimboPENet builds are not carried"));

    for (const char* f : {"pxeboot.n12", "bootmgr.exe", "bootmgfw.efi", "boot/boot.sdi", "boot/Fonts/wgl4_boot.ttf",
                          "boot/Fonts/segmono_boot.ttf", "NimboBINL.dat", "boot/bcd"})
        EXPECT_TRUE(IsRegularFile(a + "/_NIMBO_/" + f)) << f;
    for (const char* f :
         {"BM/MICROSOFT/boot.sdi", "BM/MICROSOFT/EFI64/bootmgfw.efi", "BM/MICROSOFT/EFI64/bootmgfw.efi.org",
          "BM/MICROSOFT/EFI64/Fonts/wgl4_boot.ttf", "WIA_WDS/NimboReadme.txt", "WIA_WDS/W11/$OEM$/NimboReadme.txt",
          "WIA_WDS/W11/sources/$OEM$/NimboReadme.txt"})
        EXPECT_TRUE(IsRegularFile(root / f)) << f;
    EXPECT_TRUE(IsDirectory(a + "/sources/$OEM$/$progs"));

    BinlAssetHeader h;
    ASSERT_TRUE(ReadAssetHeader(a + "/_NIMBO_/NimboBINL.dat", &h));
    EXPECT_EQ(HeaderText(h.product), "Windows 11 Pro");
    EXPECT_EQ(HeaderText(h.osVersion), "");
    EXPECT_EQ(HeaderText(h.platform), "Intel x64");
    EXPECT_EQ(HeaderText(h.computerName), "NIMBOSRV");

    const std::string bcd = a + "/_NIMBO_/boot/bcd";
    EXPECT_EQ(Shell("hivexget '" + bcd + "' Description KeyName"), "BCD00000001\n");
    const std::string exported = Export(bcd);
    EXPECT_EQ(exported, Golden("wds_asset_bcd.reg", exported));

    // A second run changes nothing; the image is not rebuilt.
    struct stat before, after;
    ASSERT_EQ(stat(wim.c_str(), &before), 0);
    EXPECT_EQ(WdsBuildAsset(ctx, "W11"), 0);
    EXPECT_EQ(WdsBuildAsset(ctx, "W11"), 0);
    // A new computer name rewrites the header and the store, not the image.
    ctx.computerName = "OTHER";
    EXPECT_EQ(WdsBuildAsset(ctx, "W11"), 1);
    ASSERT_EQ(stat(wim.c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(
        Shell("hivexget '" + bcd + "' 'Objects\\{05c7723b-f767-4747-9817-1bc45593c778}\\Elements\\12000030' Element"),
        "NIMBO_WIA_PATH=\\\\OTHER\\WIA_WDS_SHARE\\W11\n");
    // A new driver rebuilds the image.
    WriteFile(a + "/$OEM$/$Boot$/$1/$WinPEDriver$/NIC/extra.inf", "[Version]\r\n");
    EXPECT_EQ(WdsBuildAsset(ctx, "W11"), 1);
    EXPECT_NE(Shell("wimlib-imagex dir '" + wim + "' 1").find("/$WinPEDriver$/NIC/extra.inf"), std::string::npos);
}

TEST_F(WdsTest, IncompleteAndForeignAssets) {
    MakeWdsMedium(root.path(), "NoInstall");
    fs::remove(Asset("NoInstall") + "/sources/install.wim");
    WdsMedium ia64;
    ia64.arch = 6;
    MakeWdsMedium(root.path(), "Itanium", ia64);
    WdsMedium esd;
    esd.esd = true;
    esd.arch = 12;
    MakeWdsMedium(root.path(), "Arm", esd);
    WriteFile(Asset("Arm") + "/NimboAsset.inf", "[PXENIMBO_MENU_ENTRY]\r\nasset=My Arm Build\r\n");
    int count = 0;
    bool present = false;
    uint32_t stamp = 0;
    EXPECT_EQ(WdsScanAssets(ctx, &count, &present, &stamp), 1);
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(PathExists(Asset("NoInstall") + "/_NIMBO_"));
    EXPECT_TRUE(log.Has("is not x86/amd64/arm/arm64"));
    EXPECT_FALSE(PathExists(Asset("Itanium") + "/_NIMBO_/NimboBINL.dat"));
    BinlAssetHeader h;
    ASSERT_TRUE(ReadAssetHeader(Asset("Arm") + "/_NIMBO_/NimboBINL.dat", &h));
    EXPECT_EQ(HeaderText(h.product), "My Arm Build");
    EXPECT_EQ(HeaderText(h.platform), "AMD64");
    EXPECT_TRUE(IsRegularFile(root / "BM/MICROSOFT/EFIARM64/bootmgfw.efi"));
    // ARM has no BIOS boot programs.
    EXPECT_FALSE(PathExists(Asset("Arm") + "/_NIMBO_/pxeboot.n12"));

    // A non-ASCII Unattend.ini stops all WDS work of the run.
    WriteFile(root / "WIA_WDS/Unattend.ini", "[x]\r\nUser=J\xc3\xb6rg\r\n");
    EXPECT_EQ(WdsScanAssets(ctx, &count, &present, &stamp), 0);
    EXPECT_TRUE(log.Has("BINL Err: Found non-ASCII chars in"));
}

// The header follows a successful build only: a failed build is tried again at the next run.
TEST_F(WdsTest, FailedBuildLeavesNoHeader) {
    MakeWdsMedium(root.path(), "W11");
    const std::string image = Asset("W11") + "/_NIMBO_/boot/NimboBoot.wim";
    fs::create_directories(image + "/blocked");
    EXPECT_LT(WdsBuildAsset(ctx, "W11"), 0);
    EXPECT_TRUE(log.Has("BINL Err: Creating " + image));
    EXPECT_FALSE(PathExists(Asset("W11") + "/_NIMBO_/NimboBINL.dat"));
    EXPECT_FALSE(PathExists(Asset("W11") + "/_NIMBO_/boot/bcd"));
    fs::remove_all(image);
    EXPECT_EQ(WdsBuildAsset(ctx, "W11"), 1);
    EXPECT_TRUE(IsRegularFile(image));
    EXPECT_TRUE(IsRegularFile(Asset("W11") + "/_NIMBO_/NimboBINL.dat"));
}

TEST_F(WdsTest, SharedBootManagerMovesOnlyForward) {
    WdsMedium newer;
    newer.bootmgrLs = 0x585D0001;  // 10.0.22621.1
    MakeWdsMedium(root.path(), "B_New", newer);
    MakeWdsMedium(root.path(), "A_Old");
    int count = 0;
    bool present = false;
    uint32_t stamp = 0;
    WdsScanAssets(ctx, &count, &present, &stamp);
    EXPECT_EQ(count, 2);
    const std::string target = root / "BM/MICROSOFT/EFI64/bootmgfw.efi";
    EXPECT_EQ(GetFileVersion64(target), 0x000A0000585D0001ull);
    EXPECT_EQ(GetFileVersion64(target + ".bak"), 0x000A00004A610001ull);
    EXPECT_TRUE(log.Has("BINL Inf: Updated\tOK " + target + " 10.0.22621.1 from 10.0.19041.1 src=WIA_WDS\\B_New"));
}

}  // namespace
