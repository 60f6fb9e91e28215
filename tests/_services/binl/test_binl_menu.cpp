// menu.def generation per platform, installation only on change, off_ twins.
#include <sys/stat.h>

#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_records.h"
#include "tests/_services/binl/binl_test_util.h"

namespace {

const char* const kBiosHeader =
    "############################################################################\r\n"
    "# Nimbo v4.6.0 multi-OS PXE Boot/Install Menu definition (BIOS)\r\n"
    "# Written and kept up to date by the Nimbo developers, 2014-2026\r\n"
    "############################################################################\r\n"
    "\r\n"
    "NOESCAPE           1\r\n"
    "PROMPT             0\r\n"
    "\r\n"
    "F1                 pxenimbo.cfg/F1\r\n"
    "\r\n"
    "menu color title   1;37;44     #FFFFFFFF *\r\n"
    "menu color border  37;44       #80FFFFFF #00000000 none\r\n"
    "menu color sel     *           #FFFFFFFF #76A1D0FF *\r\n"
    "menu color hotsel  1;7;37;40   #FFFFFFFF #76A1D0FF *\r\n"
    "menu color tabmsg  37;40       #FFFFFFFF #00000000 *\r\n"
    "menu color help    37;40       #FFDDDD00 #00000000 none\r\n"
    "\r\n"
    "menu margin        4\r\n"
    "menu width         78\r\n"
    "menu rows          15\r\n"
    "\r\n"
    "menu helpmsgrow    22\r\n"
    "menu helpmsgendrow 24\r\n"
    "menu tabmsgrow     21\r\n"
    "\r\n"
    "menu title         Nimbo v4.6.0 multi-OS PXE Boot/Install Menu (BIOS)\r\n"
    "menu notabmsg      Select an option and press ENTER to boot/install, or F1 for Help\r\n"
    "\r\n"
    "\r\n";

// The header of another platform: the BIOS header with the platform name replaced twice.
std::string HeaderFor(const char* name) {
    std::string h = kBiosHeader;
    for (int i = 0; i < 2; ++i) h.replace(h.find("(BIOS)"), 6, std::string("(") + name + ")");
    return h;
}

class MenuFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.root = root.path();
        ctx.computerName = "NIMBOHOST";
        ctx.tempFolder = temp.path() + "/";
        ctx.bmMode = 1;
    }
    void Header(const std::string& kind, const std::string& head, const char* product, const char* platform) {
        BinlAssetHeader h = NewAssetHeader();
        SetHeaderText(h.product, product);
        SetHeaderText(h.platform, platform);
        std::string folder = root / (kind + "/" + head + "/_NIMBO_");
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(WriteAssetFile(folder + "/NimboBINL.dat", h, {}));
    }
    void Nwa(const std::string& head, const char* product, const char* platform, const std::vector<std::string>& nine) {
        BinlAssetHeader h = NewAssetHeader();
        SetHeaderText(h.product, product);
        SetHeaderText(h.platform, platform);
        std::vector<uint8_t> records;
        for (const auto& s : nine) AppendMenuStringRecord(&records, s);
        std::string folder = root / ("NWA_PXE/" + head + "/_NIMBO_");
        std::filesystem::create_directories(folder);
        ASSERT_TRUE(WriteAssetFile(folder + "/NimboBINL.dat", h, records));
    }
    std::string Build(int platform) {
        std::string path = MenuDefPath(ctx, platform);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        EXPECT_EQ(BinlBuildMenuDef(ctx, path), 0);
        return ReadFile(path);
    }
    // A full set: one RIS asset, an x86/x64 WDS asset with its boot manager, an ARM64 WDS asset,
    // and an NWA asset with BIOS and EFI64 entries.
    void Populate() {
        Header("WIA_RIS", "XP32", "Windows XP Professional", "NTx86");
        Header("WIA_WDS", "Win10", "Windows 10 Pro", "x86 & AMD64");
        WriteFile(root / "WIA_WDS/Win10/_NIMBO_/bootmgfw.efi", "MZ");
        Header("WIA_WDS", "WinArm", "Windows 11 ARM", "ARM64");
        WriteFile(root / "WIA_WDS/WinArm/_NIMBO_/bootmgfw.efi", "MZ");
        Nwa("Linux", "Test Linux", "x64",
            {"NWA_PXE\\Linux\\vmlinuz", "initrd=NWA_PXE\\Linux\\initrd console=ttyS0", "2", "", "", "",
             "NWA_PXE\\Linux\\vmlinuz64", "initrd=NWA_PXE\\Linux\\initrd64", ""});
    }
    TempFolder root, temp;
    BinlContext ctx;
};

TEST_F(MenuFixture, HeaderIsExactForEveryPlatform) {
    EXPECT_EQ(MenuHeaderText(PLATFORM_BIOS), kBiosHeader);
    EXPECT_EQ(MenuHeaderText(PLATFORM_EFI32), HeaderFor("EFI32"));
    EXPECT_EQ(MenuHeaderText(PLATFORM_EFIARM32), HeaderFor("ARM"));
    EXPECT_EQ(MenuHeaderText(PLATFORM_EFIARM64), HeaderFor("ARM64"));
    EXPECT_EQ(MenuPlatformOfPath("/x/BIOS/y/BM/PXENIMBO/EFI64/pxenimbo.cfg/menu.def"), PLATFORM_EFI64);
    EXPECT_EQ(MenuPlatformOfPath("/x/BM/PXENIMBO/EFIARM32/pxenimbo.cfg/menu.def"), PLATFORM_EFIARM32);
    EXPECT_EQ(MenuPlatformOfPath("menu.def"), -1);
}

TEST_F(MenuFixture, EveryPlatformListsItsAssetsInKindOrder) {
    Populate();
    LogCapture log(LOG_BINL);
    EXPECT_EQ(Build(PLATFORM_BIOS), std::string(kBiosHeader) +
                                        "\r\nLABEL   WIA_RIS\\XP32\\\r\n"
                                        "   menu label   ^  1) Windows XP Professional, NTx86\r\n"
                                        "   menu         default\r\n"
                                        "   kernel       pxechn.c32\r\n"
                                        "   append       ::WIA_RIS\\XP32\\_NIMBO_\\startrom.n12\r\n"
                                        "\r\nLABEL   WIA_WDS\\Win10\\\r\n"
                                        "   menu label   ^  2) Windows 10 Pro, x86 & AMD64\r\n"
                                        "   kernel       pxechn.c32\r\n"
                                        "   append       ::WIA_WDS\\Win10\\_NIMBO_\\pxeboot.n12\r\n"
                                        "\r\nLABEL   NWA_PXE\\Linux\\\r\n"
                                        "   menu label   ^  3) Test Linux, x64\r\n"
                                        "   kernel       NWA_PXE\\Linux\\vmlinuz\r\n"
                                        "   append       initrd=NWA_PXE\\Linux\\initrd console=ttyS0\r\n"
                                        "   ipappend     2\r\n");
    // The EFI menus of boot-manager mode 3 feed the EFI menu stores: they list the WDS assets.
    ctx.bmMode = 3;
    const std::string win10Efi =
        "\r\nLABEL   WIA_WDS\\Win10\\\r\n"
        "   menu label   ^  1) Windows 10 Pro, x86 & AMD64\r\n"
        "   menu\t\tdefault\r\n"
        "   kernel       pxechn.c32\r\n"
        "   append       ::WIA_WDS\\Win10\\_NIMBO_\\bootmgfw.efi\r\n";
    EXPECT_EQ(Build(PLATFORM_EFI32), HeaderFor("EFI32") + win10Efi);  // NWA has no EFI32 entry
    EXPECT_EQ(Build(PLATFORM_EFI64), HeaderFor("EFI64") + win10Efi +
                                         "\r\nLABEL   NWA_PXE\\Linux\\\r\n"
                                         "   menu label   ^  2) Test Linux, x64\r\n"
                                         "   kernel       NWA_PXE\\Linux\\vmlinuz64\r\n"
                                         "   append       initrd=NWA_PXE\\Linux\\initrd64\r\n");
    EXPECT_EQ(Build(PLATFORM_EFIARM64), HeaderFor("ARM64") +
                                            "\r\nLABEL   WIA_WDS\\WinArm\\\r\n"
                                            "   menu label   ^  1) Windows 11 ARM, ARM64\r\n"
                                            "   menu\t\tdefault\r\n"
                                            "   kernel       pxechn.c32\r\n"
                                            "   append       ::WIA_WDS\\WinArm\\_NIMBO_\\bootmgfw.efi\r\n");
    EXPECT_FALSE(log.Has("assets not found"));
    EXPECT_EQ(Build(PLATFORM_EFIARM32), HeaderFor("ARM"));
    EXPECT_TRUE(log.Has("BINL Warn: Nimbo assets not found when creating " + MenuDefPath(ctx, PLATFORM_EFIARM32)));
    // The temporary files are gone.
    EXPECT_TRUE(ListFolder(temp.path()).empty());
}

// Mode 1: EFI clients start pxenimbo.efi, which cannot chain to a Windows boot manager. The
// EFI32 and EFI64 menus leave the WDS assets out (the NWA entry becomes number 1); the BIOS
// menu and the ARM menus keep them.
TEST_F(MenuFixture, EfiMenusOfMode1LeaveOutWdsAssets) {
    Populate();
    EXPECT_NE(Build(PLATFORM_BIOS).find("LABEL   WIA_WDS\\Win10\\"), std::string::npos);
    EXPECT_EQ(Build(PLATFORM_EFI32), HeaderFor("EFI32"));
    EXPECT_EQ(Build(PLATFORM_EFI64), HeaderFor("EFI64") +
                                         "\r\nLABEL   NWA_PXE\\Linux\\\r\n"
                                         "   menu label   ^  1) Test Linux, x64\r\n"
                                         "   kernel       NWA_PXE\\Linux\\vmlinuz64\r\n"
                                         "   append       initrd=NWA_PXE\\Linux\\initrd64\r\n");
    EXPECT_NE(Build(PLATFORM_EFIARM64).find("LABEL   WIA_WDS\\WinArm\\"), std::string::npos);
    // The ones left out, named once: the x86/x64 asset; the ARM64 one was never for these menus.
    EXPECT_EQ(WdsEntriesLeftOutOfEfiMenus(ctx), std::vector<std::string>{"WIA_WDS\\Win10\\"});
    ctx.bmMode = 3;
    EXPECT_TRUE(WdsEntriesLeftOutOfEfiMenus(ctx).empty());
}

TEST_F(MenuFixture, WdsAssetNeedsItsBootManagerForEfiAndEmptyTextsShowQuestionMarks) {
    Header("WIA_WDS", "Win7", "", "");
    std::string bios = Build(PLATFORM_BIOS);
    EXPECT_NE(bios.find("^  1) Product ?, Platform ?\r\n"), std::string::npos);
    EXPECT_NE(bios.find("   menu\t\tdefault\r\n"), std::string::npos);
    Header("WIA_WDS", "Win7", "Windows 7", "AMD64");
    ctx.bmMode = 3;                                        // (mode 1 leaves WDS assets out of EFI menus in any case)
    EXPECT_EQ(Build(PLATFORM_EFI64), HeaderFor("EFI64"));  // no bootmgfw.efi
}

TEST_F(MenuFixture, UnusableFoldersAndDamagedDataFilesAreLeftOut) {
    Header("WIA_WDS", "My Win", "Windows 10", "AMD64");   // blank
    Header("WIA_WDS", "Win?", "Windows 10", "AMD64");     // question mark
    Header("WIA_WDS", "OFF_Win", "Windows 10", "AMD64");  // switched off
    WriteFile(root / "WIA_WDS/Short/_NIMBO_/NimboBINL.dat", std::string(100, 'x'));
    Nwa("Bad", "Bad", "x", {"k", "a", ""});  // three records instead of nine
    LogCapture log(LOG_BINL);
    EXPECT_EQ(Build(PLATFORM_BIOS), kBiosHeader);
    EXPECT_TRUE(log.Has("BINL Err: Bad Format " + (root / "NWA_PXE/Bad/_NIMBO_/NimboBINL.dat")));
}

TEST_F(MenuFixture, TextsFromDataFilesStayOnTheirLine) {
    Nwa("Planted", "Title\r\nLABEL   evil", "x64\nMENU HIDE",
        {"vmlinuz\r\n   append evil", "quiet\r\nLABEL WIA_WDS\\..\\..\\", "", "", "", "", "", "", ""});
    EXPECT_EQ(Build(PLATFORM_BIOS), std::string(kBiosHeader) +
                                        "\r\nLABEL   NWA_PXE\\Planted\\\r\n"
                                        "   menu label   ^  1) Title, x64\r\n"
                                        "   kernel       vmlinuz\r\n"
                                        "   append       quiet\r\n");
}

TEST_F(MenuFixture, HeadFoldersWithControlCharactersAreLeftOut) {
    // Linux allows line breaks in names: such a folder would write lines of its own.
    Nwa("Evil\r\nLABEL_injected", "Title", "x64", {"vmlinuz", "quiet", "", "", "", "", "", "", ""});
    Header("WIA_WDS", "Win\nMENU_HIDE", "Windows 10", "AMD64");
    EXPECT_EQ(Build(PLATFORM_BIOS), kBiosHeader);
}

TEST_F(MenuFixture, OffTwinStopsTheBuild) {
    Header("WIA_WDS", "Win10", "Windows 10", "AMD64");
    std::filesystem::create_directories(root / "WIA_WDS/off_Win10");
    LogCapture log(LOG_BINL);
    std::string path = MenuDefPath(ctx, PLATFORM_BIOS);
    EXPECT_EQ(BinlBuildMenuDef(ctx, path), -1);
    EXPECT_TRUE(log.Has("BINL Err: ABORT, \\WIA_WDS contains both \"Win10\" and its off_ version"));
    EXPECT_FALSE(PathExists(path));
    EXPECT_EQ(CheckOffDuplicate(ctx.root, "WIA_WDS", "Win10"), 1);
    EXPECT_EQ(CheckOffDuplicate(ctx.root, "WIA_WDS", "Other"), 0);
}

TEST_F(MenuFixture, IdenticalRebuildKeepsFileChangedRebuildKeepsBackup) {
    Populate();
    std::string path = MenuDefPath(ctx, PLATFORM_BIOS);
    std::string first = Build(PLATFORM_BIOS);
    struct stat before {};
    ::stat(path.c_str(), &before);
    ::usleep(20000);
    EXPECT_EQ(Build(PLATFORM_BIOS), first);
    struct stat after {};
    ::stat(path.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_FALSE(PathExists(path + ".bak"));

    // A user's edit is replaced by the next rebuild and kept as menu.def.bak.
    WriteFile(path, "edited by the user\r\n");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(Build(PLATFORM_BIOS), first);
    EXPECT_EQ(ReadFile(path + ".bak"), "edited by the user\r\n");
    EXPECT_TRUE(log.Has("BINL Inf: Created\t\tOK, " + path + ".bak"));
}

TEST(InstallIfChanged, ComparesSizeAndBytes) {
    TempFolder dir;
    EXPECT_EQ(InstallIfChanged(dir / "missing", dir / "target"), -1);
    WriteFile(dir / "new", "abcd");
    EXPECT_EQ(InstallIfChanged(dir / "new", dir / "target"), 0);
    EXPECT_EQ(ReadFile(dir / "target"), "abcd");
    EXPECT_FALSE(PathExists(dir / "target.bak"));
    // Same size, other bytes.
    WriteFile(dir / "new", "abce");
    EXPECT_EQ(InstallIfChanged(dir / "new", dir / "target"), 0);
    EXPECT_EQ(ReadFile(dir / "target"), "abce");
    EXPECT_EQ(ReadFile(dir / "target.bak"), "abcd");
    // A target that cannot be replaced (its folder is gone) is a failure of the first copy.
    EXPECT_EQ(InstallIfChanged(dir / "new", dir / "nofolder/target"), 1);
}

TEST(HeadFolders, Filter) {
    struct Case {
        const char* name;
        bool usable;
    } cases[] = {{"Win10", true},  {"off_Win10", false}, {"OFF_x", false},          {"Win 10", false}, {"Win?", false},
                 {"offset", true}, {"of_f", true},       {"Win\r\nLABEL x", false}, {"Win\nx", false}, {"a\tb", false},
                 {"a\x7f", false}, {"a\x1b[2J", false},  {"Win\xc3\xa9", true}};
    for (const Case& c : cases) EXPECT_EQ(IsUsableHeadFolder(c.name), c.usable) << c.name;
}

}  // namespace
