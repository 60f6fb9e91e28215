// The PE resource reader: file versions and the ("MUI", 1) resource, on images built here.
#include <cstring>

#include "_services/binl/binl_files.h"
#include "libs/platform/pe_version.h"
#include "tests/_services/binl/binl_test_util.h"
#include "tests/_services/binl/pe_builder.h"

namespace {

using namespace pe_builder;

TEST(PeReader, VersionAndMuiOfWellFormedImages) {
    for (bool plus : {true, false}) {
        PeSpec spec;
        spec.pe32plus = plus;
        std::vector<uint8_t> img = BuildImage(spec);
        uint64_t v = 0;
        EXPECT_EQ(PeFileVersion(img.data(), img.size(), &v), PE_OK) << plus;
        EXPECT_EQ(v, 0x000A00004A610001ull);
        EXPECT_EQ(PeFindResource(img.data(), img.size(), "MUI", 1), PE_OK);
        EXPECT_EQ(PeFindResource(img.data(), img.size(), "mui", 1), PE_OK);
        EXPECT_EQ(PeFindResource(img.data(), img.size(), "MUI", 2), PE_NOT_FOUND);
    }
    PeSpec bare;
    bare.mui = false;
    bare.version = false;
    std::vector<uint8_t> img = BuildImage(bare);
    uint64_t v = 1;
    EXPECT_EQ(PeFileVersion(img.data(), img.size(), &v), PE_NOT_FOUND);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(PeFindResource(img.data(), img.size(), "MUI", 1), PE_NOT_FOUND);
}

TEST(PeReader, DamagedImagesNeverReadOutside) {
    std::vector<uint8_t> good = BuildImage(PeSpec{});
    // Every byte set to 0xFF in turn, and every length the image can be cut to.
    for (size_t i = 0; i < good.size(); ++i) {
        std::vector<uint8_t> bad = good;
        bad[i] = 0xFF;
        uint64_t v;
        PeFileVersion(bad.data(), bad.size(), &v);
        PeFindResource(bad.data(), bad.size(), "MUI", 1);
        std::vector<uint8_t> cut(good.begin(), good.begin() + long(i));
        PeFileVersion(cut.data(), cut.size(), &v);
        int rc = PeFindResource(cut.data(), cut.size(), "MUI", 1);
        if (i < 0x170) {
            EXPECT_EQ(rc, PE_BAD_IMAGE) << i;  // headers cut
        }
    }
    const uint8_t notPe[] = "MZ this is no image at all";
    uint64_t v;
    EXPECT_EQ(PeFileVersion(notPe, sizeof notPe, &v), PE_BAD_IMAGE);
}

TEST(PeReader, FileRoutines) {
    TempFolder dir;
    std::vector<uint8_t> img = BuildImage(PeSpec{});
    WriteFile(dir / "bootmgfw.efi", std::string(img.begin(), img.end()));
    PeSpec noMui;
    noMui.mui = false;
    noMui.ms = 0x00060001;
    noMui.ls = 0x1DB10000;
    std::vector<uint8_t> img2 = BuildImage(noMui);
    WriteFile(dir / "stripped.efi", std::string(img2.begin(), img2.end()));
    WriteFile(dir / "text.txt", "plain text");
    EXPECT_EQ(GetFileVersion64(dir / "bootmgfw.efi"), 0x000A00004A610001ull);
    EXPECT_EQ(GetFileVersion64(dir / "stripped.efi"), 0x000600011DB10000ull);
    EXPECT_EQ(GetFileVersion64(dir / "text.txt"), 0u);
    EXPECT_EQ(GetFileVersion64(dir / "missing"), 0u);
    EXPECT_EQ(HasMuiResource(dir / "bootmgfw.efi"), 1);
    EXPECT_EQ(HasMuiResource(dir / "stripped.efi"), 0);
    EXPECT_EQ(HasMuiResource(dir / "text.txt"), -3);
    EXPECT_EQ(HasMuiResource(dir / "missing"), -1);
}

}  // namespace
