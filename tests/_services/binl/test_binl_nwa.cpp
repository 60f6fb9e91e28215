// NWA assets from NimboAsset.inf fixtures: key checks, token expansion, records, stamps.
#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_nwa.h"
#include "_services/binl/binl_records.h"
#include "tests/_services/binl/binl_test_util.h"

namespace {

class NwaFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.root = root.path();
        ctx.computerName = "NIMBOHOST";
        ctx.tempFolder = root.path() + "/";
    }
    void Inf(const std::string& head, const std::string& body) {
        WriteFile(root / ("NWA_PXE/" + head + "/NimboAsset.inf"), "[PXENIMBO_MENU_ENTRY]\r\n" + body);
    }
    std::string Dat(const std::string& head) { return root / ("NWA_PXE/" + head + "/_NIMBO_/NimboBINL.dat"); }
    bool Records(const std::string& head, std::string (&out)[kMenuStringCount]) {
        std::vector<uint8_t> bytes;
        return ReadWholeFile(Dat(head), &bytes) && ParseMenuStringRecords(bytes.data(), bytes.size(), out);
    }
    TempFolder root;
    BinlContext ctx;
};

TEST_F(NwaFixture, RefusedDescriptions) {
    struct Case {
        const char* what;
        std::string body;
        std::string message;
    } cases[] = {
        {"no asset", "platform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n", "BINL Err: \"asset\" not defined in "},
        {"no platform", "asset=A\r\nkernel_bios=k\r\nappend_bios=a\r\n", "BINL Err: \"platform\" not defined in "},
        {"no complete set", "asset=A\r\nplatform=x\r\nkernel_efi64=k\r\n",
         "BINL Err: \"kernel/append\" set not defined in "},
        {"old and new BIOS keys", "asset=A\r\nplatform=x\r\nkernel=k\r\nappend=a\r\nkernel_bios=k\r\nappend_bios=a\r\n",
         "BINL Err: \"xxx_bios\" and \"xxx\" parameters cannot coexist in "},
        {"old ipappend with new BIOS set", "asset=A\r\nplatform=x\r\nipappend=1\r\nkernel_bios=k\r\nappend_bios=a\r\n",
         "BINL Err: \"xxx_bios\" and \"xxx\" parameters cannot coexist in "},
        {"efi64 kernel without append", "asset=A\r\nplatform=x\r\nkernel_bios=k\r\nappend_bios=a\r\nkernel_efi64=k\r\n",
         "BINL Err: incomplete \"kernel/append\" set/s in "},
        {"efi32 append without kernel", "asset=A\r\nplatform=x\r\nkernel_bios=k\r\nappend_bios=a\r\nappend_efi32=a\r\n",
         "BINL Err: incomplete \"kernel/append\" set/s in "},
        {"non-ASCII", "asset=A\xE9\r\nplatform=x\r\nkernel_bios=k\r\nappend_bios=a\r\n",
         "BINL Err: Found non-ASCII chars in "},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string head = "A" + std::to_string(i++);
        Inf(head, c.body);
        LogCapture log(LOG_BINL);
        bool share = false;
        EXPECT_EQ(NwaBuildAsset(ctx, head, &share), -1) << c.what;
        EXPECT_TRUE(log.Has(c.message + (root / ("NWA_PXE/" + head + "/NimboAsset.inf")))) << c.what;
        EXPECT_FALSE(PathExists(Dat(head))) << c.what;
    }
    bool share = false;
    std::filesystem::create_directories(root / "NWA_PXE/Empty");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(NwaBuildAsset(ctx, "Empty", &share), -1);
    EXPECT_TRUE(log.Lines().empty());  // no description: silent
}

TEST_F(NwaFixture, BiosOnlyDescriptionWithTokens) {
    Inf("Alpine",
        "asset = Small Linux\r\nplatform = x64\r\n"
        "kernel_BIOS = NWA_PXE\\$HEAD_DIR$\\vmlinuz\r\n"
        "append_BIOS = initrd=NWA_PXE\\$head_dir$\\initrd server=$Comp_Name$ dir=$HEAD_DIR$/x "
        "ip=$IP_CLNT$:$IP_BSRV$ share=\\\\$COMP_NAME$\\nwa_pxe_share\r\n"
        "ipappend_BIOS = $HEAD_DIR$\r\n");
    LogCapture log(LOG_BINL);
    bool share = false;
    EXPECT_EQ(NwaBuildAsset(ctx, "Alpine", &share), 1);
    EXPECT_TRUE(share);
    EXPECT_TRUE(log.Has("BINL Inf: Created\t\tOK, " + Dat("Alpine")));
    std::string r[kMenuStringCount];
    ASSERT_TRUE(Records("Alpine", r));
    EXPECT_EQ(r[0], "NWA_PXE\\Alpine\\vmlinuz");
    EXPECT_EQ(r[1],
              "initrd=NWA_PXE\\Alpine\\initrd server=NIMBOHOST dir=Alpine/x ip=$IP_CLNT$:$IP_BSRV$ "
              "share=\\\\NIMBOHOST\\nwa_pxe_share");
    EXPECT_EQ(r[2], "$HEAD_DIR$");  // ipappend is stored as written
    for (int i = 3; i < 9; ++i) EXPECT_EQ(r[i], "") << i;
    EXPECT_EQ(ReadFile(Dat("Alpine")).size(), 520u + (6 + r[0].size() + 1) + (6 + r[1].size() + 1) + 17 + 6 * 7);

    BinlAssetHeader h;
    ASSERT_TRUE(ReadAssetHeader(Dat("Alpine"), &h));
    EXPECT_EQ(HeaderText(h.product), "Small Linux");
    EXPECT_EQ(HeaderText(h.platform), "x64");
    EXPECT_EQ(HeaderText(h.computerName), "NIMBOHOST");
    EXPECT_EQ(uint32_t{h.recordCount}, 0u);
    EXPECT_EQ(h.refreshed, 1);
    uint32_t stamp = Crc32Update(Crc32File(root / "NWA_PXE/Alpine/NimboAsset.inf"), std::string("Alpine"));
    EXPECT_EQ(uint32_t{h.assetStamp}, stamp);
}

TEST_F(NwaFixture, OlderFormWarnsAndEfi64OnlyStoresSixEmptyRecordsFirst) {
    Inf("Old", "asset=Old\r\nplatform=x86\r\nkernel=k\r\nappend=a\r\nipappend=1\r\n");
    Inf("Efi", "asset=Efi\r\nplatform=x64\r\nkernel_efi64=k64\r\nappend_efi64=a64\r\n");
    LogCapture log(LOG_BINL);
    bool share = false;
    EXPECT_EQ(NwaBuildAsset(ctx, "Old", &share), 1);
    EXPECT_FALSE(share);
    EXPECT_TRUE(
        log.Has("BINL Warn: Update parameters \"kernel/append/ipappend\" to "
                "\"kernel_BIOS/append_BIOS/ipappend_BIOS\" in " +
                (root / "NWA_PXE/Old/NimboAsset.inf")));
    std::string r[kMenuStringCount];
    ASSERT_TRUE(Records("Old", r));
    EXPECT_EQ(r[0], "k");
    EXPECT_EQ(r[1], "a");
    EXPECT_EQ(r[2], "1");
    EXPECT_EQ(NwaBuildAsset(ctx, "Efi", &share), 1);
    ASSERT_TRUE(Records("Efi", r));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(r[i], "");
    EXPECT_EQ(r[6], "k64");
    EXPECT_EQ(r[7], "a64");
    EXPECT_EQ(r[8], "");
    EXPECT_EQ(ReadFile(Dat("Efi")).substr(520, 42), [] {
        std::string s;
        for (int i = 0; i < 6; ++i) s += std::string("STR\0\x01\0\0", 7);
        return s;
    }());
}

TEST_F(NwaFixture, UnchangedDescriptionOnlyClearsTheRefreshedFlag) {
    Inf("Lin", "asset=Lin\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    bool share = false;
    ASSERT_EQ(NwaBuildAsset(ctx, "Lin", &share), 1);
    std::string first = ReadFile(Dat("Lin"));
    EXPECT_EQ(NwaBuildAsset(ctx, "Lin", &share), 0);
    std::string second = ReadFile(Dat("Lin"));
    EXPECT_EQ(second[416], 0);
    first[416] = 0;
    EXPECT_EQ(second, first);
    EXPECT_EQ(NwaBuildAsset(ctx, "Lin", &share), 0);
    EXPECT_EQ(ReadFile(Dat("Lin")), second);
    // A new computer name, or a changed description, rebuilds.
    ctx.computerName = "OTHER";
    EXPECT_EQ(NwaBuildAsset(ctx, "Lin", &share), 1);
    Inf("Lin", "asset=Lin 2\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    EXPECT_EQ(NwaBuildAsset(ctx, "Lin", &share), 1);
    // A description that went bad leaves the last good file in place.
    std::string good = ReadFile(Dat("Lin"));
    Inf("Lin", "asset=Lin 3\r\nplatform=x64\r\nkernel_bios=k\r\n");
    EXPECT_EQ(NwaBuildAsset(ctx, "Lin", &share), -1);
    EXPECT_EQ(ReadFile(Dat("Lin")), good);
}

TEST_F(NwaFixture, ScanCountsStampsAndSkipsBadNames) {
    Inf("Good", "asset=Good\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a NWA_PXE_SHARE\r\n");
    Inf("Bad Name", "asset=B\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    Inf("off_Good", "asset=G\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    Inf("Broken", "asset=B\r\n");
    Inf("Line\r\nLABEL_x", "asset=L\r\nplatform=x64\r\nkernel_bios=k\r\nappend_bios=a\r\n");
    LogCapture log(LOG_BINL);
    int count = 0;
    bool share = false;
    uint32_t stamp = 0;
    EXPECT_EQ(NwaScanAssets(ctx, &count, &share, &stamp), 1);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(share);
    EXPECT_TRUE(log.Has("BINL Err: Head dir \"" + (root / "NWA_PXE/Bad Name") +
                        "\" contains spaces and/or invalid characters; Skipped"));
    EXPECT_TRUE(log.Has("BINL Err: Head dir \"" + (root / "NWA_PXE/Line\\x0d\\x0aLABEL_x") +
                        "\" contains spaces and/or invalid characters; Skipped"));
    EXPECT_FALSE(PathExists(Dat("Line\r\nLABEL_x")));
    EXPECT_FALSE(log.Has("off_Good"));
    EXPECT_TRUE(IsRegularFile(root / "NWA_PXE/NimboReadme.txt"));
    uint32_t expected = 0;
    XorFindDataStamp(root / "NWA_PXE/Good", &expected);  // only the asset that did not fail
    EXPECT_EQ(stamp, expected);

    // Second run: nothing built, the same stamp, the read-me left as the user edited it.
    WriteFile(root / "NWA_PXE/NimboReadme.txt", "mine");
    stamp = 0;
    EXPECT_EQ(NwaScanAssets(ctx, &count, &share, &stamp), 0);
    EXPECT_FALSE(share);
    EXPECT_EQ(stamp, expected);
    EXPECT_EQ(ReadFile(root / "NWA_PXE/NimboReadme.txt"), "mine");
}

TEST(NwaTokens, Expansion) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"$HEAD_DIR$", "Head"},
        {"a$head_dir$b$Head_Dir$c", "aHeadbHeadc"},
        {"$COMP_NAME$$HEAD_DIR$", "HOSTHead"},
        {"$COMP_NAME", "$COMP_NAME"},
        {"$IP_CLNT$ $IP_MASK$", "$IP_CLNT$ $IP_MASK$"},
    };
    for (const Case& c : cases) EXPECT_EQ(ExpandNwaTokens(c.in, "HOST", "Head"), c.out) << c.in;
    // Growth past any fixed buffer is kept whole.
    std::string many;
    for (int i = 0; i < 600; ++i) many += "$COMP_NAME$";
    EXPECT_EQ(ExpandNwaTokens(many, std::string(15, 'N'), "h").size(), 600u * 15);
}

}  // namespace
