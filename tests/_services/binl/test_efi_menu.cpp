// EFI menu stores: one boot-manager menu of the visible WDS entries of a platform's menu.
#include <gtest/gtest.h>

#include <filesystem>

#include "_services/binl/binl_context.h"
#include "_services/binl/binl_files.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/efi_menu.h"
#include "_services/binl/wds_assets.h"
#include "tests/_services/binl/wds_fixture.h"

namespace {

namespace fs = std::filesystem;

struct EfiMenuTest : WdsRootTest {
    std::string x64Wim, armWim;
    void SetUp() override {
        WdsRootTest::SetUp();
        WriteFile(root / "pe/x.txt", "x");
        for (auto [wim, arch] : {std::pair{&x64Wim, 9}, std::pair{&armWim, 12}}) {
            *wim = root / ("boot" + std::to_string(arch) + ".wim");
            ASSERT_TRUE(Sh("wimlib-imagex capture '" + root / "pe" + "' '" + *wim + "' PE --boot"));
            ASSERT_TRUE(
                Sh("wimlib-imagex info '" + *wim + "' 1 --image-property WINDOWS/ARCH=" + std::to_string(arch)));
        }
    }
    // A prepared asset: boot manager and private boot image.
    void Asset(const std::string& head, const std::string& wim) {
        const std::string n = root / ("WIA_WDS/" + head + "/_NIMBO_");
        WriteFile(n + "/bootmgfw.efi", "efi");
        fs::create_directories(n + "/boot");
        fs::copy_file(wim, n + "/boot/NimboBoot.wim");
    }
    std::string Store(const char* platform) { return root / (std::string("BM/MICROSOFT/") + platform + "/bcd"); }
    std::string Get(const std::string& store, const std::string& key, const char* value) {
        return Shell("hivexget '" + store + "' '" + key + "' " + value + " 2>&1");
    }
};

std::string Entry(const std::string& head, int n, const std::string& text, bool hide = false) {
    char number[8];
    snprintf(number, sizeof number, "%2d", n);
    return "\r\nLABEL   WIA_WDS\\" + head + "\\\r\n" + (hide ? "   MENU HIDE \r\n" : "") + "   menu label   ^ " +
           number + ") " + text + "\r\n   kernel       x\r\n";
}

TEST_F(EfiMenuTest, VisibleEntriesOfThePlatformInOrder) {
    for (const char* h : {"A", "B", "C", "D", "Hidden", "Esc"}) Asset(h, x64Wim);
    Asset("Arm", armWim);
    const std::string longText(70, 'L');
    const std::string menu = root / "menu.def";
    WriteFile(menu, "MENU TITLE   My Title\r\n" + Entry("A", 1, "Alpha, AMD64") + Entry("Arm", 2, "Arm one, ARM64") +
                        Entry("Hidden", 3, "Hidden", true) + Entry("B", 4, "Beta") + Entry("C", 5, longText) +
                        Entry("Missing", 6, "No asset") + Entry("..\\WIA_WDS\\D", 7, "Escapes") +
                        "LABEL WIA_WDS\\E\\\r\nMENU BEGIN\r\n   menu label   ^ 8) Dropped\r\n");
    ASSERT_EQ(BinlBuildEfiMenu(ctx, menu, Store("EFI64")), 0);
    const std::string s = Store("EFI64");
    EXPECT_EQ(Get(s, "Description", "KeyName"), "BCD00000001\n");
    const std::string bm = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\";
    EXPECT_EQ(Get(s, bm + "12000004", "Element"), "My Title\n");
    EXPECT_EQ(Get(s, bm + "1200004A", "Element"), "\\BM\\MICROSOFT\\EFI64\\Fonts\n");
    EXPECT_EQ(Get(s, bm + "24000001", "Element"),
              EfiLoaderGuid(1) + "\n" + EfiLoaderGuid(2) + "\n" + EfiLoaderGuid(3) + "\n\n");
    const auto loader = [](int n) { return "Objects\\" + EfiLoaderGuid(n) + "\\Elements\\"; };
    EXPECT_EQ(Get(s, loader(1) + "12000004", "Element"), "  1) Alpha, AMD64\n");
    EXPECT_EQ(Get(s, loader(2) + "12000004", "Element"), "  2) Beta\n");
    EXPECT_EQ(Get(s, loader(3) + "12000004", "Element"), "  3) " + longText.substr(0, 58) + "...\n");
    EXPECT_EQ(Get(s, loader(2) + "12000030", "Element"), "NIMBO_WIA_PATH=\\\\NIMBOSRV\\WIA_WDS_SHARE\\B\n");
    EXPECT_EQ(EfiLoaderGuid(3), "{51554E44-415F-4C4F-4D42-415249584F03}");
    EXPECT_NE(Get(s, "Objects\\" + EfiLoaderGuid(4) + "\\Description", "Type"), "270532611\n");
    const std::string exported = Shell("hivexregedit --export '" + s + "' '\\' 2>&1");
    const std::string golden = std::string(NIMBO_SOURCE_DIR) + "/tests/_services/binl/golden/efi64_menu_bcd.reg";
    if (getenv("NIMBO_UPDATE_GOLDEN")) WriteFile(golden, exported);
    EXPECT_EQ(exported, ReadFile(golden));

    // The EFI32 store of x64 assets is empty; the old store is kept as .bak.
    WriteFile(Store("EFI32"), "old");
    ASSERT_EQ(BinlBuildEfiMenu(ctx, menu, Store("EFI32")), 0);
    EXPECT_EQ(ReadFile(Store("EFI32") + ".bak"), "old");
    EXPECT_EQ(Get(Store("EFI32"), bm + "24000001", "Element"), "\n");
    EXPECT_FALSE(PathExists(ctx.tempFolder + "bcd_x86"));
    // A store that cannot be installed is logged.
    fs::create_directories(Store("EFIARM32") + "/x");
    ASSERT_EQ(BinlBuildEfiMenu(ctx, menu, Store("EFIARM32")), 0);
    EXPECT_TRUE(log.Has("BINL Err: Updating " + Store("EFIARM32")));
    // BIOS has no store.
    EXPECT_EQ(BinlBuildEfiMenu(ctx, menu, root / "BM/MICROSOFT/BIOS/bcd"), 0);
    EXPECT_FALSE(PathExists(root / "BM/MICROSOFT/BIOS/bcd"));
}

TEST_F(EfiMenuTest, DefaultTitleMissingMenuAndLoaderLimit) {
    Asset("A", x64Wim);
    std::string text;
    for (int i = 1; i <= 101; ++i) text += Entry("A", i, "Entry " + std::to_string(i));
    const std::string menu = root / "menu.def";
    WriteFile(menu, text);
    ASSERT_EQ(BinlBuildEfiMenu(ctx, menu, Store("EFI64")), 0);
    const std::string bm = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\";
    EXPECT_EQ(Get(Store("EFI64"), bm + "12000004", "Element"), DefaultEfiMenuTitle() + "\n");
    EXPECT_EQ(Get(Store("EFI64"), "Objects\\" + EfiLoaderGuid(99) + "\\Elements\\12000004", "Element"),
              " 99) Entry 99\n");
    EXPECT_TRUE(log.Has("BINL Warn: More than 99 entries"));
    // A menu that cannot be read gives the options and an empty boot manager.
    ASSERT_EQ(BinlBuildEfiMenu(ctx, root / "none.def", Store("EFI64")), 0);
    EXPECT_EQ(Get(Store("EFI64"), bm + "24000001", "Element"), "\n");
    EXPECT_EQ(Get(Store("EFI64"), "Objects\\{ae5534e0-a924-466c-b836-758539a3ee3a}\\Elements\\32000004", "Element"),
              "\\BM\\MICROSOFT\\boot.sdi\n");
}

// The whole road: assets prepared, menus built from them, stores built from the menus.
TEST_F(EfiMenuTest, StoresFromBuiltMenus) {
    ctx.bmMode = 3;  // the EFI clients of mode 3 boot these stores; mode 1 menus leave WDS assets out
    MakeWdsMedium(root.path(), "W11");
    WdsMedium arm;
    arm.arch = 12;
    MakeWdsMedium(root.path(), "WArm", arm);
    WriteFile(root / "WIA_WDS/WArm/NimboAsset.inf", "[PXENIMBO_MENU_ENTRY]\r\nplatform=ARM64\r\n");
    int count = 0;
    bool present = false;
    uint32_t stamp = 0;
    WdsScanAssets(ctx, &count, &present, &stamp);
    ASSERT_EQ(count, 2);
    for (int p : {PLATFORM_EFI64, PLATFORM_EFIARM64}) {
        fs::create_directories(root / (std::string("BM/MICROSOFT/") + PlatformFolder(p)));
        fs::create_directories(fs::path(MenuDefPath(ctx, p)).parent_path());
        ASSERT_EQ(BinlBuildMenuDef(ctx, MenuDefPath(ctx, p)), 0);
        ASSERT_EQ(BinlBuildEfiMenu(ctx, MenuDefPath(ctx, p), Store(PlatformFolder(p))), 0);
    }
    const std::string first = "Objects\\" + EfiLoaderGuid(1) + "\\Elements\\12000030";
    EXPECT_EQ(Get(Store("EFI64"), first, "Element"), "NIMBO_WIA_PATH=\\\\NIMBOSRV\\WIA_WDS_SHARE\\W11\n");
    EXPECT_EQ(Get(Store("EFIARM64"), first, "Element"), "NIMBO_WIA_PATH=\\\\NIMBOSRV\\WIA_WDS_SHARE\\WArm\n");
    const std::string bm = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}\\Elements\\24000001";
    EXPECT_EQ(Get(Store("EFI64"), bm, "Element"), EfiLoaderGuid(1) + "\n\n");
    EXPECT_EQ(Get(Store("EFIARM64"), bm, "Element"), EfiLoaderGuid(1) + "\n\n");
}

}  // namespace
