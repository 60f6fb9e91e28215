// The preparation on a fixture root: BM tree, unpacked boot programs, help screens,
// boot-program flags in the DHCP settings and BinlPreparationCount.
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/binl_texts.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/host_info.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "tests/_services/binl/binl_test_util.h"
#include "tests/_services/binl/pe_builder.h"
#include "tests/_services/binl/ris_fixture.h"
#include "tests/_services/binl/wds_fixture.h"

namespace {

void SetText(char* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

// Publishes DHCP settings whose boot file is the given text (default: the mode's list).
void PublishDhcp(int mode, const std::string* bootFile = nullptr) {
    DefaultLists lists = BuildDefaultLists();
    std::string text = bootFile ? *bootFile : (mode == 3 ? lists.bootManager : lists.biosEfi);
    DhcpConfig cfg;
    LoadDhcpConfig(
        &cfg,
        [&](const char* key, void* field, int size, int) {
            if (!std::strcmp(key, "DHCP_BootFile")) SetText(static_cast<char*>(field), size_t(size), text);
            if (!std::strcmp(key, "DHCP_BINL_BM_Mode"))
                SetText(static_cast<char*>(field), size_t(size), std::to_string(mode));
        },
        SVC_PDHCP | SVC_BINL | SVC_TFTP_SERVER, "", [](const std::string&, uint64_t*) { return false; });
    DhcpSettingsPublish(cfg);
}

class PrepareFixture : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TEMP", temp.path().c_str(), 1);
        SetServices(SVC_TFTP_SERVER | SVC_PDHCP | SVC_BINL, root.path() + "//");
        PublishDhcp(1);
        ASSERT_EQ(BinlPreparationCount.load(), 0);
    }
    void TearDown() override { unsetenv("TEMP"); }
    static void SetServices(uint32_t mask, const std::string& rootText) {
        SettingsUpdate([&](GlobalSettings& g) {
            g.NIMBO_Services = int32_t(mask);
            SetText(g.TFTP_RootDirectory, sizeof g.TFTP_RootDirectory, rootText);
        });
    }
    const ArchBootRow& Row(int r) { return dhcp()->rec.BootFileTable.rows[r]; }
    std::shared_ptr<const DhcpConfig> dhcp() { return DhcpSettingsSnapshot(); }
    static uint32_t Blocks(const std::string& path) {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return uint32_t((st.st_size + 511) / 512);
    }
    TempFolder root, temp;
};

TEST_F(PrepareFixture, FullRunPreparesTheTreeAndSetsTheFlags) {
    // A user's own help screen for BIOS survives; the others are written.
    WriteFile(root / "BM/PXENIMBO/BIOS/pxenimbo.cfg/F1", "my help");
    WriteFile(root / "NWA_PXE/Linux/NimboAsset.inf",
              "[PXENIMBO_MENU_ENTRY]\r\nasset=Test Linux\r\nplatform=x64\r\n"
              "kernel_bios=NWA_PXE\\$HEAD_DIR$\\vmlinuz\r\nappend_bios=initrd=NWA_PXE\\$HEAD_DIR$\\initrd\r\n");
    // A RIS asset: its driver table turns the network-card responder on.
    MakeRisAsset(root.path(), "XP32");
    LogCapture log(LOG_BINL);
    int countDuringRun = -1;
    BinlRun run;
    run.onStep = [&](const char* step) {
        if (!std::strcmp(step, "menus")) countDuringRun = BinlPreparationCount.load();
    };
    ASSERT_EQ(BinlPrepare(&run), 0);
    EXPECT_EQ(countDuringRun, 1);
    EXPECT_EQ(BinlPreparationCount.load(), 0);
    EXPECT_EQ(run.ctx.root, root.path());

    for (const char* folder : {"BM/PXENIMBO/BIOS/pxenimbo.cfg", "BM/PXENIMBO/EFIARM64/pxenimbo.cfg",
                               "BM/MICROSOFT/EFI32/Fonts", "BM/MICROSOFT/EFIARM64/Fonts"})
        EXPECT_TRUE(IsDirectory(root / folder)) << folder;
    for (const char* file :
         {"BM/PXENIMBO/BIOS/pxenimbo.0", "BM/PXENIMBO/BIOS/vesamenu.c32", "BM/PXENIMBO/BIOS/ldlinux.c32",
          "BM/PXENIMBO/BIOS/pxechn.c32", "BM/PXENIMBO/BIOS/pxelinux.cfg/default", "BM/PXENIMBO/EFI64/pxenimbo.efi",
          "BM/PXENIMBO/EFI64/ldlinux.e64", "BM/PXENIMBO/EFI32/pxenimbo.efi", "astamp.dat", "NWA_PXE/NimboReadme.txt",
          "NWA_PXE/Linux/_NIMBO_/NimboBINL.dat", "WIA_RIS/XP32/_NIMBO_/NimboBINL.dat", "WIA_RIS/XP32/_NIMBO_/ntldr"})
        EXPECT_TRUE(IsRegularFile(root / file)) << file;
    for (int p = 0; p < PLATFORM_COUNT; ++p) EXPECT_TRUE(IsRegularFile(MenuDefPath(run.ctx, p))) << p;
    EXPECT_NE(ReadFile(MenuDefPath(run.ctx, PLATFORM_BIOS)).find("LABEL   NWA_PXE\\Linux\\"), std::string::npos);
    EXPECT_EQ(ReadFile(root / "BM/PXENIMBO/BIOS/pxenimbo.cfg/F1"), "my help");
    EXPECT_EQ(ReadFile(root / "BM/PXENIMBO/EFI64/pxenimbo.cfg/F1"), F1HelpScreen());
    EXPECT_FALSE(PathExists(root / "BM/PXENIMBO/EFIARM32/pxenimbo.cfg/F1"));
    EXPECT_TRUE(log.Has("BINL Inf: Preparation/Maintenance procedures \"Start\"\t**"));
    EXPECT_TRUE(log.Has("BINL Inf: Preparation/Maintenance procedures \"End\"\t\t**"));

    // Flags: every row is declared (the default fills rows 0..13); rows 6, 7 and 9 name EFI programs.
    uint32_t bios = Blocks(root / "BM/PXENIMBO/BIOS/pxenimbo.0");
    uint32_t efi64 = Blocks(root / "BM/PXENIMBO/EFI64/pxenimbo.efi");
    uint32_t efi32 = Blocks(root / "BM/PXENIMBO/EFI32/pxenimbo.efi");
    for (int r = 0; r < 14; ++r) {
        EXPECT_EQ(uint32_t{Row(r).present}, 1u) << r;
        uint32_t expected = r == 6 ? efi32 : (r == 7 || r == 9) ? efi64 : bios;
        EXPECT_EQ(uint32_t{Row(r).sizeBlocks}, expected) << r;
    }
    EXPECT_EQ(uint32_t{Row(14).present}, 0u);
    EXPECT_EQ(RisTableUnavailable.load(), 0);
    EXPECT_NE(ReadFile(MenuDefPath(run.ctx, PLATFORM_BIOS)).find("LABEL   WIA_RIS\\XP32\\"), std::string::npos);

    // The boot programs are held: a writer cannot take them while the run lives.
    for (int i = 0; i < 10; ++i) EXPECT_GE(run.held[i], 0) << i;
    int fd = ::open((root / "BM/PXENIMBO/BIOS/pxenimbo.0").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

// A WDS medium becomes an asset, an entry of the EFI64 menu and a loader of its store.
TEST_F(PrepareFixture, WdsAssetReachesMenuAndEfiStore) {
    PublishDhcp(3);
    MakeWdsMedium(root.path(), "W11");
    BinlRun run;
    ASSERT_EQ(BinlPrepare(&run), 0);
    EXPECT_TRUE(IsRegularFile(root / "WIA_WDS/W11/_NIMBO_/boot/bcd"));
    EXPECT_TRUE(IsRegularFile(root / "WIA_WDS/W11/_NIMBO_/boot/NimboBoot.wim"));
    EXPECT_NE(ReadFile(MenuDefPath(run.ctx, PLATFORM_EFI64)).find("LABEL   WIA_WDS\\W11\\"), std::string::npos);
    const std::string store = root / "BM/MICROSOFT/EFI64/bcd";
    EXPECT_EQ(
        Shell("hivexget '" + store + "' 'Objects\\{51554E44-415F-4C4F-4D42-415249584F01}\\Elements\\12000030' Element"),
        "NIMBO_WIA_PATH=\\\\" + run.ctx.computerName + "\\WIA_WDS_SHARE\\W11\n");
    EXPECT_TRUE(IsRegularFile(root / "BM/MICROSOFT/EFI64/bootmgfw.efi"));
    EXPECT_TRUE(IsRegularFile(root / "BM/MICROSOFT/EFI32/bcd"));

    // Nothing changed: the next run rebuilds neither the image nor a menu.
    LogCapture log(LOG_BINL);
    BinlRun again;
    ASSERT_EQ(BinlPrepare(&again), 0);
    EXPECT_FALSE(log.Has("Injected"));
    EXPECT_FALSE(log.Has("menu.def"));
}

TEST_F(PrepareFixture, SecondRunWithoutChangesRebuildsNoMenu) {
    {
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
    }
    std::string menu = root / "BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def";
    struct stat before {};
    ::stat(menu.c_str(), &before);
    // An EFI store that is missing is rebuilt from the existing menu (a step that has nothing
    // to do yet); a menu that is missing is built again.
    ::unlink((root / "BM/PXENIMBO/EFI32/pxenimbo.cfg/menu.def").c_str());
    LogCapture log(LOG_BINL);
    BinlRun run;
    ASSERT_EQ(BinlPrepare(&run), 0);
    struct stat after {};
    ::stat(menu.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_FALSE(log.Has("OK, " + menu));
    EXPECT_TRUE(log.Has("BINL Inf: Created\t\tOK, " + (root / "BM/PXENIMBO/EFI32/pxenimbo.cfg/menu.def")));
}

TEST_F(PrepareFixture, FailedChecksStillMakeTheTreeAndKeepTheCountRaised) {
    SetServices(SVC_PDHCP | SVC_BINL, root.path());
    std::string wrong = "\\other.0";
    PublishDhcp(1, &wrong);
    LogCapture log(LOG_BINL);
    {
        BinlRun run;
        EXPECT_EQ(BinlPrepare(&run), -1);
        EXPECT_TRUE(log.Has("BINL Err: ABORT, Nimbo's TFTP service is Off"));
        EXPECT_TRUE(log.Has("BINL Err: ABORT, DHCP \"Boot File\" is not correct"));
        EXPECT_TRUE(IsDirectory(root / "BM/MICROSOFT/EFI64/Fonts"));
        EXPECT_TRUE(IsRegularFile(root / "BM/PXENIMBO/EFI32/pxenimbo.cfg/F1"));
        EXPECT_FALSE(PathExists(root / "BM/PXENIMBO/BIOS/pxenimbo.0"));
        EXPECT_EQ(BinlPreparationCount.load(), 1);
    }
    // The count is given back when the thread's run ends, so a later start can lower it.
    EXPECT_EQ(BinlPreparationCount.load(), 0);
}

// Every settings key is optional: with BINL on and no boot file, the preparation takes the
// default list of the boot-manager mode into the live settings, says so, and completes (the
// preparation count falls, so DHCP answers again).
TEST_F(PrepareFixture, MissingBootFileTakesTheDefaultListOfTheMode) {
    const DefaultLists lists = BuildDefaultLists();
    const std::string none;
    for (int mode : {1, 3}) {
        SCOPED_TRACE(mode);
        PublishDhcp(mode, &none);
        ASSERT_EQ(dhcp()->rec.DHCP_BootFile[0], 0);
        LogCapture log(LOG_BINL);
        BinlRun run;
        EXPECT_EQ(BinlPrepare(&run), 0);
        const std::string& expected = mode == 3 ? lists.bootManager : lists.biosEfi;
        EXPECT_EQ(std::string(dhcp()->rec.DHCP_BootFile), expected);
        EXPECT_TRUE(log.Has("BINL Inf: DHCP \"Boot File\" not set, the default list of boot-manager mode " +
                            std::to_string(mode) + " is used: " + expected));
        EXPECT_FALSE(log.Has("is not correct"));
        EXPECT_EQ(BinlPreparationCount.load(), 0);
        // The table follows the list: row 0 (BIOS) names pxenimbo.0 and is present.
        EXPECT_STREQ(Row(0).text, "\\BM\\PXENIMBO\\BIOS\\pxenimbo.0");
        EXPECT_EQ(uint32_t{Row(0).present}, 1u);
    }
    // A boot file that is set and wrong still stops the preparation.
    const std::string wrong = "\\other.0";
    PublishDhcp(1, &wrong);
    LogCapture log(LOG_BINL);
    BinlRun run;
    EXPECT_EQ(BinlPrepare(&run), -1);
    EXPECT_TRUE(log.Has("BINL Err: ABORT, DHCP \"Boot File\" is not correct"));
}

// Mode 1: the EFI menus leave the WDS asset out and the preparation names it in one warning;
// the BIOS menu keeps it. Switching to mode 3 builds the menus again, with the asset.
TEST_F(PrepareFixture, Mode1EfiMenusLeaveOutWdsAssetsWithOneWarning) {
    MakeWdsMedium(root.path(), "W11");
    const std::string efi64 = root / "BM/PXENIMBO/EFI64/pxenimbo.cfg/menu.def";
    const std::string bios = root / "BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def";
    auto warnings = [](const LogCapture& log) {
        int n = 0;
        for (const auto& l : log.Lines())
            if (l.find("BINL Warn: EFI menus leave out") != std::string::npos) {
                ++n;
                EXPECT_NE(l.find("WIA_WDS\\W11\\"), std::string::npos) << l;
            }
        return n;
    };
    {
        LogCapture log(LOG_BINL);
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
        EXPECT_EQ(warnings(log), 1);
    }
    EXPECT_EQ(ReadFile(efi64).find("WIA_WDS\\W11\\"), std::string::npos);
    EXPECT_EQ(ReadFile(root / "BM/PXENIMBO/EFI32/pxenimbo.cfg/menu.def").find("WIA_WDS"), std::string::npos);
    EXPECT_NE(ReadFile(bios).find("LABEL   WIA_WDS\\W11\\"), std::string::npos);
    {
        // Nothing changed: the menus stay, the warning comes again.
        LogCapture log(LOG_BINL);
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
        EXPECT_EQ(warnings(log), 1);
        EXPECT_FALSE(log.Has("OK, " + efi64));
    }
    PublishDhcp(3);
    {
        LogCapture log(LOG_BINL);
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
        EXPECT_EQ(warnings(log), 0);
    }
    EXPECT_NE(ReadFile(efi64).find("LABEL   WIA_WDS\\W11\\"), std::string::npos);
}

TEST_F(PrepareFixture, InaccessibleRootStops) {
    SetServices(SVC_TFTP_SERVER | SVC_PDHCP | SVC_BINL, root / "missing");
    LogCapture log(LOG_BINL);
    BinlRun run;
    EXPECT_EQ(BinlPrepare(&run), -1);
    EXPECT_TRUE(log.Has("BINL Err: ABORT, Cannot access TFTP root " + (root / "missing")));
}

TEST_F(PrepareFixture, OffTwinStopsBeforeTheComponents) {
    WriteFile(root / "NWA_PXE/Lin/NimboAsset.inf",
              "[PXENIMBO_MENU_ENTRY]\r\nasset=L\r\nplatform=x\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    std::filesystem::create_directories(root / "NWA_PXE/off_Lin");
    LogCapture log(LOG_BINL);
    BinlRun run;
    EXPECT_EQ(BinlPrepare(&run), -1);
    EXPECT_TRUE(log.Has("BINL Err: creating " + MenuDefPath(run.ctx, PLATFORM_BIOS)));
    EXPECT_FALSE(PathExists(root / "BM/PXENIMBO/BIOS/pxenimbo.0"));
    EXPECT_EQ(BinlPreparationCount.load(), 1);
}

TEST_F(PrepareFixture, StampFollowsTheMenusThatWereBuilt) {
    const std::string inf = "[PXENIMBO_MENU_ENTRY]\r\nasset=L\r\nplatform=x\r\nkernel_bios=k\r\nappend_bios=a\r\n";
    WriteFile(root / "NWA_PXE/Lin/NimboAsset.inf", inf);
    {
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
    }
    const std::string stamp = ReadFile(root / "astamp.dat");
    const std::string menu = root / "BM/PXENIMBO/BIOS/pxenimbo.cfg/menu.def";
    // A new asset, while an off_ twin stops the menu step: the stamp stays as it was.
    WriteFile(root / "NWA_PXE/New/NimboAsset.inf", inf);
    std::filesystem::create_directories(root / "NWA_PXE/off_Lin");
    {
        BinlRun run;
        EXPECT_EQ(BinlPrepare(&run), -1);
    }
    EXPECT_EQ(ReadFile(root / "astamp.dat"), stamp);
    EXPECT_EQ(ReadFile(menu).find("NWA_PXE\\New\\"), std::string::npos);
    // The twin removed: the next run sees the change and the menu gets the new asset.
    std::filesystem::remove(root / "NWA_PXE/off_Lin");
    {
        BinlRun run;
        ASSERT_EQ(BinlPrepare(&run), 0);
    }
    EXPECT_NE(ReadFile(menu).find("LABEL   NWA_PXE\\New\\"), std::string::npos);
    EXPECT_NE(ReadFile(root / "astamp.dat"), stamp);
}

TEST(BootProgramFlags, SizesInBlocksAndOption67Rows) {
    TempFolder root;
    WriteFile(root / "a.0", std::string(513, 'a'));
    WriteFile(root / "B/b.efi", std::string(512, 'b'));
    WriteFile(root / "empty", "");
    DhcpSettings s{};
    auto declare = [&](ArchBootTable& t, int r, const char* text) {
        SetText(t.rows[r].text, sizeof t.rows[r].text, text);
        t.rows[r].declared = 1;
    };
    declare(s.BootFileTable, 0, "\\a.0");
    declare(s.BootFileTable, 6, "\\b\\B.EFI");  // found without case
    declare(s.BootFileTable, 7, "\\missing.efi");
    declare(s.BootFileTable, 9, "/empty");
    s.BootFileTable.rows[7].present = 1;
    s.BootFileTable.rows[7].sizeBlocks = 99;
    s.BootFileTable.rows[3].present = 1;  // undeclared rows are left alone
    declare(s.Option67Table, 0, "ignored");
    declare(s.Option67Table, 7, "ignored");
    BinlWriteBootProgramFlags(&s, root.path() + "/");
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[0].present}, 1u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[0].sizeBlocks}, 2u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[6].present}, 1u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[6].sizeBlocks}, 1u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[7].present}, 0u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[9].present}, 1u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[9].sizeBlocks}, 0u);
    EXPECT_EQ(uint32_t{s.BootFileTable.rows[3].present}, 1u);
    EXPECT_EQ(uint32_t{s.Option67Table.rows[0].present}, 1u);
    EXPECT_EQ(uint32_t{s.Option67Table.rows[0].sizeBlocks}, 2u);
    EXPECT_EQ(uint32_t{s.Option67Table.rows[7].present}, 0u);
}

TEST(AssetStamp, WrittenOnlyWhenItDiffers) {
    TempFolder root;
    BinlContext ctx;
    ctx.root = root.path();
    EXPECT_EQ(BinlUpdateAssetStamp(ctx, 0x11223344), 1);
    EXPECT_EQ(ReadFile(root / "astamp.dat"), "\x44\x33\x22\x11");
    EXPECT_EQ(BinlUpdateAssetStamp(ctx, 0x11223344), 0);
    EXPECT_EQ(BinlUpdateAssetStamp(ctx, 0), 1);
    EXPECT_EQ(ReadFile(root / "astamp.dat"), std::string(4, '\0'));
}

TEST(EfiBootManagers, BackupsAreKeptConsistent) {
    using namespace pe_builder;
    TempFolder root;
    BinlContext ctx;
    ctx.root = root.path();
    auto image = [](bool mui, uint32_t ms, uint32_t ls) {
        PeSpec spec;
        spec.mui = mui;
        spec.ms = ms;
        spec.ls = ls;
        std::vector<uint8_t> b = BuildImage(spec);
        return std::string(b.begin(), b.end());
    };
    std::string v10 = image(true, 0x000A0000, 100), v11 = image(true, 0x000A0000, 200);
    std::string stripped = image(false, 0x000A0000, 300);
    std::string bm = root / "BM/MICROSOFT/";
    WriteFile(bm + "EFI64/bootmgfw.efi", v10);       // backup missing, live intact: recovered
    WriteFile(bm + "EFI32/bootmgfw.efi", stripped);  // backup missing, live broken: deleted
    WriteFile(bm + "EFIARM64/bootmgfw.efi", v11);    // live newer than backup: backup updated
    WriteFile(bm + "EFIARM64/bootmgfw.efi.org", v10);
    WriteFile(bm + "EFIARM32/bootmgfw.efi", stripped);  // mode 3: live broken, backup intact
    WriteFile(bm + "EFIARM32/bootmgfw.efi.org", v10);
    ::chmod((bm + "EFIARM32/bootmgfw.efi").c_str(), 0444);
    ctx.bmMode = 3;
    LogCapture log(LOG_BINL);
    bool changed = false;
    BinlMaintainEfiBootManagers(ctx, &changed);
    EXPECT_FALSE(changed);
    EXPECT_EQ(ReadFile(bm + "EFI64/bootmgfw.efi.org"), v10);
    EXPECT_TRUE(log.Has("BINL Warn: Recovering erased " + bm + "EFI64/bootmgfw.efi.org"));
    EXPECT_FALSE(PathExists(bm + "EFI32/bootmgfw.efi"));
    EXPECT_TRUE(log.Has("BINL Warn: Original missing, deleting " + bm + "EFI32/bootmgfw.efi"));
    EXPECT_EQ(ReadFile(bm + "EFIARM64/bootmgfw.efi.org"), v11);
    EXPECT_TRUE(log.Has("BINL Warn: Updating " + bm + "EFIARM64/bootmgfw.efi.org"));
    EXPECT_EQ(ReadFile(bm + "EFIARM32/bootmgfw.efi"), v10);
    struct stat st {};
    ::stat((bm + "EFIARM32/bootmgfw.efi").c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);  // the live file keeps its attributes
    EXPECT_TRUE(log.Has("BINL Inf: BM_mode=3, updating " + bm + "EFIARM32/bootmgfw.efi"));

    // Mode 3 recreates a missing live file from its intact backup; mode 1 does not.
    ::unlink((bm + "EFI64/bootmgfw.efi").c_str());
    ctx.bmMode = 1;
    BinlMaintainEfiBootManagers(ctx, &changed);
    EXPECT_FALSE(PathExists(bm + "EFI64/bootmgfw.efi"));
    ctx.bmMode = 3;
    BinlMaintainEfiBootManagers(ctx, &changed);
    EXPECT_EQ(ReadFile(bm + "EFI64/bootmgfw.efi"), v10);
}

// The name is read in a thread of its own with a host name of its own (a private UTS
// namespace), so that known names give known results.
TEST(ComputerName, FromTheHostName) {
    struct Case {
        const char* host;
        const char* want;
    } cases[] = {
        {"nimbo-host.example.org", "NIMBO-HOST"},
        {"abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNO"},
        {"Mixed9Case", "MIXED9CASE"},
    };
    for (const auto& c : cases) {
        std::string name;
        bool ran = false;
        std::thread([&] {
            if (::unshare(CLONE_NEWUTS) != 0 || ::sethostname(c.host, std::strlen(c.host)) != 0) return;
            ran = true;
            name = BinlComputerName();
        }).join();
        if (!ran) GTEST_SKIP() << "needs a UTS namespace (root)";
        EXPECT_EQ(name, c.want) << c.host;
    }
}

}  // namespace

namespace {

TEST(EfiBootManagers, BackupFollowsTheLiveVersion) {
    using namespace pe_builder;
    auto image = [](uint32_t ms, uint32_t ls) {
        PeSpec spec;
        spec.ms = ms;
        spec.ls = ls;
        std::vector<uint8_t> b = BuildImage(spec);
        return std::string(b.begin(), b.end());
    };
    struct Case {
        const char* what;
        int platform;
        uint32_t liveMs, liveLs, backupMs, backupLs;
        bool readOnly;
        bool backupUpdated;
    } cases[] = {
        {"newer live", PLATFORM_EFI64, 0xA0000, 200, 0xA0000, 100, false, true},
        {"older live", PLATFORM_EFI64, 0xA0000, 100, 0xA0000, 200, false, false},
        {"older read-only live", PLATFORM_EFI64, 0xA0000, 100, 0xA0000, 200, true, true},
        {"same version", PLATFORM_EFIARM64, 0xA0000, 100, 0xA0000, 100, true, false},
        {"EFI32 compares build and revision only", PLATFORM_EFI32, 0xB0000, 100, 0xA0000, 200, false, false},
        {"EFI64 compares all 64 bits", PLATFORM_EFI64, 0xB0000, 100, 0xA0000, 200, false, true},
    };
    for (const Case& c : cases) {
        TempFolder root;
        BinlContext ctx;
        ctx.root = root.path();
        std::string live = root / (std::string("BM/MICROSOFT/") + PlatformFolder(c.platform) + "/bootmgfw.efi");
        std::string liveImage = image(c.liveMs, c.liveLs), backupImage = image(c.backupMs, c.backupLs);
        WriteFile(live, liveImage);
        WriteFile(live + ".org", backupImage);
        if (c.readOnly) ::chmod(live.c_str(), 0444);
        bool changed = false;
        BinlMaintainEfiBootManagers(ctx, &changed);
        EXPECT_EQ(ReadFile(live + ".org"), c.backupUpdated ? liveImage : backupImage) << c.what;
        EXPECT_EQ(ReadFile(live), liveImage) << c.what;
    }
}

}  // namespace
