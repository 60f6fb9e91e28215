// Asset data file layout, record walks and change stamps.
#include <sys/stat.h>
#include <utime.h>

#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_records.h"
#include "tests/_services/binl/binl_test_util.h"

namespace {

TEST(AssetFile, WriteReadRoundTripKeepsExactLayout) {
    TempFolder dir;
    BinlAssetHeader h = NewAssetHeader();
    SetHeaderText(h.product, "Some Linux 12 live system", 70);
    SetHeaderText(h.platform, "x86 & AMD64", 24);
    SetHeaderText(h.computerName, "NIMBOHOST");
    h.assetStamp = 0xA1B2C3D4;
    h.refreshed = 1;
    std::vector<uint8_t> records;
    AppendMenuStringRecord(&records, "vmlinuz");
    std::string path = dir / "NimboBINL.dat";
    ASSERT_TRUE(WriteAssetFile(path, h, records));

    std::string raw = ReadFile(path);
    ASSERT_EQ(raw.size(), 520u + 4 + 2 + 8);
    EXPECT_EQ(raw.substr(0, 11), std::string("NIMBO_BINL\0", 11));
    auto u32 = [&](size_t at) {
        uint32_t v;
        std::memcpy(&v, raw.data() + at, 4);
        return v;
    };
    EXPECT_EQ(u32(11), 3u);
    EXPECT_EQ(u32(15), 520u);
    EXPECT_EQ(u32(19), 0u);
    EXPECT_EQ(u32(23), 0xA1B2C3D4u);
    EXPECT_STREQ(raw.c_str() + 97, "x86 & AMD64");
    EXPECT_STREQ(raw.c_str() + 123, "Some Linux 12 live system");
    EXPECT_STREQ(raw.c_str() + 381, "NIMBOHOST");
    EXPECT_EQ(raw[416], 1);
    EXPECT_EQ(raw.substr(520, 4), std::string("STR\0", 4));

    BinlAssetHeader back;
    ASSERT_TRUE(ReadAssetHeader(path, &back));
    EXPECT_EQ(std::memcmp(&back, &h, sizeof h), 0);

    // Rewriting the header keeps the records.
    back.refreshed = 0;
    ASSERT_TRUE(RewriteAssetHeader(path, back));
    std::string again = ReadFile(path);
    EXPECT_EQ(again.size(), raw.size());
    EXPECT_EQ(again[416], 0);
    EXPECT_EQ(again.substr(520), raw.substr(520));
}

TEST(AssetFile, ShortFileIsNoHeader) {
    TempFolder dir;
    WriteFile(dir / "short.dat", std::string(519, 'x'));
    BinlAssetHeader h;
    EXPECT_FALSE(ReadAssetHeader(dir / "short.dat", &h));
    EXPECT_FALSE(ReadAssetHeader(dir / "missing.dat", &h));
}

TEST(AssetFile, TextFieldsAreCutAndReadWithinTheirField) {
    BinlAssetHeader h = NewAssetHeader();
    SetHeaderText(h.product, std::string(299, 'p'), 70);  // a long image name
    EXPECT_EQ(HeaderText(h.product), std::string(70, 'p'));
    SetHeaderText(h.platform, std::string(40, 'a'), 24);
    EXPECT_EQ(HeaderText(h.platform).size(), 24u);
    // A field without its NUL (a damaged file) reads as the field alone.
    std::memset(h.platform, 'z', sizeof h.platform);
    EXPECT_EQ(HeaderText(h.platform), std::string(26, 'z'));
}

TEST(NicDriverRecords, LengthAndWalk) {
    BinlAssetHeader h = NewAssetHeader();
    std::vector<uint8_t> records;
    AppendNicDriverRecord(&records, {0x8086, 0x100E, 0x001E8086, "E1000", "e1000325.sys"});
    AppendNicDriverRecord(&records, {0x10EC, 0x8139, 0, "RTL8139", "rtl8139.sys"});
    EXPECT_EQ(records[0] | (records[1] << 8), 29);  // 12 + 5 + 12
    EXPECT_EQ(records[29] | (records[30] << 8), 12 + 7 + 11);
    h.recordCount = 2;
    std::vector<uint8_t> file(sizeof h);
    std::memcpy(file.data(), &h, sizeof h);
    file.insert(file.end(), records.begin(), records.end());

    std::vector<NicDriver> seen;
    EXPECT_EQ(WalkNicDriverRecords(file.data(), file.size(), [&](const NicDriver& d) { seen.push_back(d); }), 2u);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].vendor, 0x8086);
    EXPECT_EQ(seen[0].device, 0x100E);
    EXPECT_EQ(seen[0].subsystem, 0x001E8086u);
    EXPECT_EQ(seen[0].service, "E1000");
    EXPECT_EQ(seen[0].driverFile, "e1000325.sys");
    EXPECT_EQ(seen[1].driverFile, "rtl8139.sys");
}

TEST(NicDriverRecords, DamagedFilesStopTheWalk) {
    BinlAssetHeader h = NewAssetHeader();
    std::vector<uint8_t> one;
    AppendNicDriverRecord(&one, {1, 2, 3, "svc", "drv.sys"});
    struct Case {
        const char* what;
        uint32_t count;
        uint32_t first;
        std::function<void(std::vector<uint8_t>&)> damage;
        size_t expected;
    } cases[] = {
        {"count larger than the records", 5, 520, [](std::vector<uint8_t>&) {}, 1},
        {"first record past the end", 1, 100000, [](std::vector<uint8_t>&) {}, 0},
        {"length past the end", 1, 520, [](std::vector<uint8_t>& f) { f[520] = 0xFF; }, 0},
        {"length below the fixed part", 1, 520,
         [](std::vector<uint8_t>& f) {
             f[520] = 3;
             f[521] = 0;
         },
         0},
        {"names without their NULs", 1, 520,
         [](std::vector<uint8_t>& f) {
             for (size_t i = 530; i < f.size(); ++i) f[i] = 'x';
         },
         0},
        {"length disagreeing with the names", 1, 520,
         [](std::vector<uint8_t>& f) {
             f[520] = uint8_t(f[520] + 1);
             f.push_back(0);
         },
         0},
        {"file cut inside the record", 1, 520, [](std::vector<uint8_t>& f) { f.resize(f.size() - 3); }, 0},
    };
    for (const Case& c : cases) {
        h.recordCount = c.count;
        h.firstRecord = c.first;
        std::vector<uint8_t> file(sizeof h);
        std::memcpy(file.data(), &h, sizeof h);
        file.insert(file.end(), one.begin(), one.end());
        c.damage(file);
        EXPECT_EQ(WalkNicDriverRecords(file.data(), file.size(), [](const NicDriver&) {}), c.expected) << c.what;
    }
    EXPECT_EQ(WalkNicDriverRecords(one.data(), one.size(), [](const NicDriver&) {}), 0u);
}

TEST(MenuStringRecords, NineRecordsParseAndDamageIsRefused) {
    std::vector<uint8_t> file(520, 0);
    const char* values[9] = {"", "", "", "", "", "", "k64", "initrd=i64 quiet", "2"};
    for (const char* v : values) AppendMenuStringRecord(&file, v);
    EXPECT_EQ(file.size(), 520u + 6 * 7 + (6 + 4) + (6 + 17) + (6 + 2));
    std::string out[kMenuStringCount];
    ASSERT_TRUE(ParseMenuStringRecords(file.data(), file.size(), out));
    for (int i = 0; i < 9; ++i) EXPECT_EQ(out[i], values[i]);

    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    } cases[] = {
        {"short header", [](std::vector<uint8_t>& f) { f.resize(519); }},
        {"tag wrong", [](std::vector<uint8_t>& f) { f[520] = 'X'; }},
        {"tag without NUL", [](std::vector<uint8_t>& f) { f[523] = 'X'; }},
        {"cut before the length", [](std::vector<uint8_t>& f) { f.resize(525); }},
        {"length past the end",
         [](std::vector<uint8_t>& f) {
             f[524] = 0xFF;
             f[525] = 0x7F;
         }},
        {"length zero", [](std::vector<uint8_t>& f) { f[524] = 0; }},
        {"text not NUL-terminated", [](std::vector<uint8_t>& f) { f.back() = 'x'; }},
        {"NUL inside the text", [](std::vector<uint8_t>& f) { f[f.size() - 2] = 0; }},
        {"eighth record missing", [](std::vector<uint8_t>& f) { f.resize(520 + 6 * 7 + 10 + 5); }},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = file;
        c.damage(bad);
        EXPECT_FALSE(ParseMenuStringRecords(bad.data(), bad.size(), out)) << c.what;
    }
}

TEST(Crc, KnownValuesAndContinuation) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("", 0), 0u);
    std::string a = "first part,", b = " second part";
    EXPECT_EQ(Crc32Update(Crc32(a), b), Crc32(a + b));
    EXPECT_EQ(Crc32Update(0, a), Crc32(a));

    TempFolder dir;
    WriteFile(dir / "empty", "");
    WriteFile(dir / "nine", "123456789");
    EXPECT_EQ(Crc32File(dir / "empty"), 0u);
    EXPECT_EQ(Crc32File(dir / "missing"), 0u);
    EXPECT_EQ(Crc32File(dir / "nine"), 0xCBF43926u);
    EXPECT_EQ(Crc32UpdateFile(Crc32(a), dir / "nine"), Crc32(a + "123456789"));
    EXPECT_EQ(Crc32UpdateFile(0x1234, dir / "missing"), 0x1234u);
}

TEST(Stamps, FindDataLayoutAndFolderStamp) {
    TempFolder dir;
    std::string folder = dir / "Asset1";
    WriteFile(folder + "/NimboAsset.inf", "[PXENIMBO_MENU_ENTRY]\r\n");
    WriteFile(dir / "file.bin", std::string(70000, 'x'));
    ::chmod((dir / "file.bin").c_str(), 0444);
    FindDataBytes fd;
    ASSERT_TRUE(GetFindData(dir / "file.bin", &fd));
    uint32_t attributes, low, high;
    std::memcpy(&attributes, fd.bytes, 4);
    std::memcpy(&high, fd.bytes + 28, 4);
    std::memcpy(&low, fd.bytes + 32, 4);
    EXPECT_EQ(attributes, 0x21u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(low, 70000u);
    ASSERT_TRUE(GetFindData(folder, &fd));
    std::memcpy(&attributes, fd.bytes, 4);
    EXPECT_EQ(attributes, 0x10u);
    uint64_t write;
    std::memcpy(&write, fd.bytes + 20, 8);
    EXPECT_GT(write, 116444736000000000ull);  // after 1970 in 100 ns units since 1601

    uint32_t s1 = 0;
    XorFindDataStamp(folder, &s1);
    EXPECT_NE(s1, 0u);
    uint32_t s2 = 0;
    XorFindDataStamp(folder + "/", &s2);
    EXPECT_EQ(s1, s2);
    // Touching the folder changes its stamp; a missing path leaves the stamp alone.
    struct utimbuf t {
        1000000000, 1000000000
    };
    ASSERT_EQ(::utime(folder.c_str(), &t), 0);
    uint32_t s3 = 0;
    XorFindDataStamp(folder, &s3);
    EXPECT_NE(s3, s1);
    uint32_t s4 = 77;
    XorFindDataStamp(dir / "missing", &s4);
    EXPECT_EQ(s4, 77u);
    // XOR-ing the same stamp twice cancels out.
    XorFindDataStamp(folder, &s3);
    EXPECT_EQ(s3, 0u);
}

}  // namespace
