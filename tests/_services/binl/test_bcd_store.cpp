// The BCD store writer: the empty hive as laid out, then stores edited through hivex and
// read back with the hivex tools.
#include <gtest/gtest.h>
#include <stdio.h>

#include <cstring>
#include <string>

#include "_services/binl/bcd_hive.h"
#include "_services/binl/bcd_store.h"
#include "tests/_services/binl/wds_fixture.h"

namespace {

uint32_t U32(const std::vector<uint8_t>& v, size_t at) {
    uint32_t x;
    std::memcpy(&x, &v[at], 4);
    return x;
}

TEST(BcdHive, EmptyImageLayout) {
    std::vector<uint8_t> img = EmptyHiveImage("NimboBCD", "\\Boot\\BCD", 0x01D0000000000000ull);
    ASSERT_EQ(img.size(), 8192u);
    EXPECT_EQ(std::memcmp(img.data(), "regf", 4), 0);
    EXPECT_EQ(U32(img, 0x1FC), HiveBaseChecksum(img.data()));
    EXPECT_EQ(U32(img, 0x24), 0x20u);
    EXPECT_EQ(std::memcmp(&img[0xA4], "rmtm", 4), 0);
    EXPECT_EQ(img[0x94], uint8_t(img[0x70] + 1));
    EXPECT_EQ(std::memcmp(&img[0x1000], "hbin", 4), 0);
    EXPECT_EQ(int32_t(U32(img, 0x1020)), -96);
    EXPECT_EQ(std::memcmp(&img[0x1070], "NimboBCD\0", 9), 0);
    // The security cell is a list of one: it links to itself.
    EXPECT_EQ(int32_t(U32(img, 0x1080)), -144);
    EXPECT_EQ(U32(img, 0x1088), 0x80u);
    EXPECT_EQ(U32(img, 0x108C), 0x80u);
    EXPECT_EQ(U32(img, 0x1094), 116u);
    EXPECT_EQ(U32(img, 0x1110), 3824u);
    EXPECT_EQ(EmptyHiveImage(std::string(16, 'A'), "x", 0).size(), 8192u);
    EXPECT_TRUE(EmptyHiveImage(std::string(17, 'A'), "x", 0).empty());
}

TEST(BcdHive, EmptyHiveOpensInHivexsh) {
    TempFolder dir;
    std::string path = dir / "empty";
    hive_h* h = CreateEmptyHive(path, "EmptyRoot", "\\x");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(BcdCommit(h), 0);
    EXPECT_EQ(ReadFile(path).size(), 8192u);
    std::string out = Shell("printf 'ls\\nlsval\\n' | hivexsh '" + path + "' 2>&1");
    EXPECT_EQ(out, "");
    EXPECT_EQ(CreateEmptyHive(dir / "missing/x", "R", "x"), nullptr);
}

TEST(BcdStore, ObjectsAndElements) {
    TempFolder dir;
    std::string path = dir / "bcd";
    hive_h* h = BcdCreateStore(path);
    ASSERT_NE(h, nullptr);
    hive_node_h el = BcdCreateObject(h, "{0a}", 0x10200003);
    ASSERT_NE(el, 0u);
    EXPECT_EQ(BcdSetInteger(h, el, 0x25000004, -1), 0);
    EXPECT_EQ(BcdSetBoolean(h, el, 0x26000010, 2), 0);
    EXPECT_EQ(BcdSetString(h, el, 0x22000002, "\\Windows"), 0);
    static const char list[] = "{a}\0\xc3\xa9\0";  // the second string is one character
    EXPECT_EQ(BcdSetStringList(h, el, 0x24000001, list, sizeof list), 0);
    std::vector<uint8_t> dev = BcdRamdiskDevice("\\x.wim");
    EXPECT_EQ(dev.size(), 2u * 6 + 142);
    EXPECT_EQ(BcdSetBinary(h, el, 0x11000001, dev.data(), dev.size()), 0);
    ASSERT_EQ(BcdCommit(h), 0);

    EXPECT_EQ(Shell("hivexget '" + path + "' Description KeyName"), "BCD00000001\n");
    EXPECT_EQ(Shell("hivexget '" + path + "' 'Objects\\{0a}\\Description' Type"), "270532611\n");
    std::string out = Shell("hivexregedit --export '" + path + "' '\\Objects\\{0a}\\Elements' 2>&1");
    EXPECT_NE(out.find("[\\Objects\\{0a}\\Elements\\25000004]\n\"Element\"=hex(3):ff,ff,ff,ff,ff,ff,ff,ff"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("[\\Objects\\{0a}\\Elements\\26000010]\n\"Element\"=hex(3):01\n"), std::string::npos);
    // "\Windows" and its NUL: 18 bytes.
    EXPECT_NE(out.find("[\\Objects\\{0a}\\Elements\\22000002]\n\"Element\"=hex(1):5c,00,57,00,69,00,6e,00,64,00,"
                       "6f,00,77,00,73,00,00,00\n"),
              std::string::npos)
        << out;
    // The list length follows the UTF-16 form: "{a}", NUL, one character, NUL, NUL.
    EXPECT_NE(out.find("\"Element\"=hex(7):7b,00,61,00,7d,00,00,00,e9,00,00,00,00,00\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[\\Objects\\{0a}\\Elements\\11000001]\n\"Element\"=hex(3):e0,34,55,ae"), std::string::npos);
}

TEST(BcdStore, RamdiskDeviceLayout) {
    std::vector<uint8_t> v = BcdRamdiskDevice("\\ab");
    ASSERT_EQ(v.size(), 148u);
    EXPECT_EQ(U32(v, 20), 1u);
    EXPECT_EQ(U32(v, 24), 132u);
    EXPECT_EQ(U32(v, 32), 3u);
    EXPECT_EQ(U32(v, 60), 92u);
    EXPECT_EQ(U32(v, 68), 5u);
    EXPECT_EQ(U32(v, 76), 72u);
    EXPECT_EQ(v[140], '\\');
    EXPECT_EQ(v[142], 'a');
    EXPECT_EQ(v[146], 0);
    std::vector<uint8_t> b = BcdBootDevice();
    ASSERT_EQ(b.size(), 88u);
    EXPECT_EQ(U32(b, 16), 5u);
    EXPECT_EQ(U32(b, 24), 72u);
}

}  // namespace
