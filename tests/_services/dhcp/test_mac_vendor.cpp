#include "_services/dhcp/dhcp_leases.h"
#include "_services/dhcp/mac_vendor.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string Format(const uint8_t mac[6], size_t size = kMacVendorTextSize) {
    char buffer[kMacVendorTextSize];
    return formatMacWithVendor(mac, buffer, size);
}

std::string Format(std::initializer_list<int> bytes) {
    uint8_t mac[6];
    int i = 0;
    for (int b : bytes) mac[i++] = uint8_t(b);
    return Format(mac);
}

TEST(MacVendorAddress, ParsesTheWordForms) {
    struct Case {
        const char* word;
        bool ok;
        int length;
        uint8_t bytes[6];
    } cases[] = {
        {"00:00:0C", true, 0, {0x00, 0x00, 0x0C}},
        {"00-00-0C", true, 0, {0x00, 0x00, 0x0C}},
        {"00.00.0C", true, 0, {0x00, 0x00, 0x0C}},
        {"0:0:c", true, 0, {0x00, 0x00, 0x0C}},
        {"00:00:0C:12:34:56", true, 48, {0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}},
        {"00:55:DA:10:00:00/28", true, 28, {0x00, 0x55, 0xDA, 0x10, 0x00, 0x00}},
        {"00:55:DA:1F:FF:FF/28", true, 28, {0x00, 0x55, 0xDA, 0x10, 0x00, 0x00}},
        {"70:B3:D5:57:7F:FF/36", true, 36, {0x70, 0xB3, 0xD5, 0x57, 0x70, 0x00}},
        {"FF:FF:FF:FF:FF:FF/1", true, 1, {0x80, 0, 0, 0, 0, 0}},
        {"FF:FF:FF:FF:FF:FF/47", true, 47, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}},
        {"00:00-0C", false, 0, {}},
        {"00::0C", false, 0, {}},
        {"00:00:0C:", false, 0, {}},
        {"00:00", false, 0, {}},
        {"00:00:0C:12", false, 0, {}},
        {"00:00:0C:12:34:56:78", false, 0, {}},
        {"100:00:0C", false, 0, {}},
        {"0g:00:0C", false, 0, {}},
        {"00:00:0C:12:34:56/0", false, 0, {}},
        {"00:00:0C:12:34:56/48", false, 0, {}},
        {"00:00:0C:12:34:56/", false, 0, {}},
        {"00:00:0C:12:34:56/28x", false, 0, {}},
        {"", false, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        uint8_t bytes[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        int length = -1;
        ASSERT_EQ(parseMacVendorAddress(c.word, bytes, &length), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(length, c.length);
        EXPECT_EQ(memcmp(bytes, c.bytes, c.length == 0 ? 3 : 6), 0);
    }
}

TEST(MacVendorAddress, LinesAndBoundedCopies) {
    uint8_t bytes[6];
    int length;
    std::string name;
    EXPECT_TRUE(parseMacVendorLine("  00:00:0C\tCisco  extra words # note", bytes, &length, &name));
    EXPECT_EQ(name, "Cisco");
    EXPECT_TRUE(parseMacVendorLine("00:00:0C", bytes, &length, &name));
    EXPECT_EQ(name, "");
    EXPECT_FALSE(parseMacVendorLine("# 00:00:0C Cisco", bytes, &length, &name));
    EXPECT_FALSE(parseMacVendorLine("Cisco 00:00:0C", bytes, &length, &name));

    char target[8];
    EXPECT_EQ(copyStringBounded(target, "abc", sizeof target), 3u);
    EXPECT_STREQ(target, "abc");
    EXPECT_EQ(copyStringBounded(target, "0123456789", sizeof target), 10u);
    EXPECT_STREQ(target, "0123456");
    EXPECT_EQ(copyStringBounded(target, "xyz", 1), 3u);
    EXPECT_STREQ(target, "");
}

TEST(MacVendorTable, HashesAndFindsEveryPrefixLength) {
    const uint8_t a[6] = {0x00, 0x55, 0xDA, 0x10, 0x00, 0x00};
    EXPECT_EQ(hashMacPrefix(a, 28), 0x245);
    const uint8_t b[6] = {0x00, 0x00, 0x0C, 0x00, 0x00, 0x00};
    EXPECT_EQ(hashMacPrefix(b, 24), 0x0C);
    const uint8_t c[6] = {0xA0, 0, 0, 0, 0, 0};
    EXPECT_EQ(hashMacPrefix(c, 4), 0xA0);

    MacVendorTable table;
    uint8_t mac[6] = {0x9E, 0x37, 0x79, 0xB9, 0x7F, 0x4A};
    for (int length = 1; length <= 48; ++length) {
        SCOPED_TRACE(length);
        table.addMacVendor(mac, length, ("L" + std::to_string(length)).c_str());
        const MacVendorPrefixEntry* e = table.findPrefixEntry(mac, length);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(std::string(e->name), "L" + std::to_string(length));
        EXPECT_LT(hashMacPrefix(e->mac, length), 2048);
        // The longest prefix that covers the MAC wins.
        EXPECT_STREQ(table.FindName(mac), e->name);
    }
}

class MacVendorFiles : public ::testing::Test {
protected:
    void TearDown() override { freeMacVendorTables(); }
    std::string Write(const char* name, const std::string& text) { return tmp_.Write(name, text); }
    nimbo::test::TempFolder tmp_{"nimbo-vendor-test-"};
    const fs::path dir_ = tmp_.fspath();
};

const char kCarried[] =
    "# vendor codes\n"
    "00:00:0C\tCisco\n"
    "00:55:DA\tIEEE\r\n"
    "00:55:DA:10:00:00/28\tOurs28 # comment\n"
    "70:B3:D5:57:70:00/36\tDSILOG\r"
    "01:02:03\tA-very-long-name\n"
    "0A:0B:0C:0D:0E:00/40\t0123456789012345678901234567890123456789012345678901234567890123456789\n"
    "not-an-address\tNobody\n";

TEST_F(MacVendorFiles, LooksUpPrefixesAndRanges) {
    freeMacVendorTables();
    EXPECT_EQ(Format({0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}), "00:00:0C:12:34:56");

    loadMacVendorNamesFrom(Write("Nimbo.evc", kCarried).c_str(), (dir_ / "none.def").string(), false);
    struct Case {
        std::initializer_list<int> mac;
        const char* text;
    } cases[] = {
        {{0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}, "Cisco/00:00:0C:12:34:56"},
        {{0x01, 0x00, 0x0C, 0x12, 0x34, 0x56}, "Cisco/01:00:0C:12:34:56"},  // multicast form
        {{0x00, 0x55, 0xDA, 0x1A, 0xBC, 0xDE}, "Ours28/00:55:DA:1A:BC:DE"},
        {{0x00, 0x55, 0xDA, 0x2A, 0xBC, 0xDE}, "IEEE/00:55:DA:2A:BC:DE"},
        {{0x70, 0xB3, 0xD5, 0x57, 0x7A, 0xBC}, "DSILOG/70:B3:D5:57:7A:BC"},
        {{0x70, 0xB3, 0xD5, 0x57, 0x80, 0x00}, "?/70:B3:D5:57:80:00"},
        {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}, "A-very-l/01:02:03:04:05:06"},
        {{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xFF}, "0123456789012345678901234567890/0A:0B:0C:0D:0E:FF"},
        {{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, "?/AA:BB:CC:DD:EE:FF"},
    };
    for (const Case& c : cases) EXPECT_EQ(Format(c.mac), c.text);
    const uint8_t cisco[6] = {0x00, 0x00, 0x0C, 0x12, 0x34, 0x56};
    const uint8_t unknown[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(LookupMacVendor(cisco), "Cisco");
    EXPECT_EQ(LookupMacVendor(unknown), "");
    EXPECT_EQ(formatMacWithVendor(cisco), "Cisco/00:00:0C:12:34:56");

    // A small buffer is never overrun.
    const uint8_t mac[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xFF};
    EXPECT_EQ(Format(mac, 27), "01234567890123456789012345");

    freeMacVendorTables();
    EXPECT_EQ(Format({0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}), "00:00:0C:12:34:56");
}

TEST_F(MacVendorFiles, UserFileRenamesAndAddsButKeepsCarriedRanges) {
    const std::string user = Write("NimboDHCP_mac_evc.def",
                                   "# my lab\n"
                                   "00-00-0c   Renamed\n"
                                   "70.B3.D5.57.70.00/36 Dup\n"
                                   "11:22:33:44:55:66\tLabPC # the whole MAC\r\n"
                                   "00:55:DA:10:00:00/30 Narrow\n");
    loadMacVendorNamesFrom(Write("Nimbo.evc", kCarried).c_str(), user, true);
    EXPECT_EQ(Format({0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}), "Renamed/00:00:0C:12:34:56");
    EXPECT_EQ(Format({0x70, 0xB3, 0xD5, 0x57, 0x7A, 0xBC}), "DSILOG/70:B3:D5:57:7A:BC");
    EXPECT_EQ(Format({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), "LabPC/11:22:33:44:55:66");
    EXPECT_EQ(Format({0x11, 0x22, 0x33, 0x44, 0x55, 0x67}), "?/11:22:33:44:55:67");
    EXPECT_EQ(Format({0x00, 0x55, 0xDA, 0x10, 0x00, 0x01}), "Narrow/00:55:DA:10:00:01");
    EXPECT_EQ(Format({0x00, 0x55, 0xDA, 0x1F, 0x00, 0x01}), "Ours28/00:55:DA:1F:00:01");

    // Only a user file: names are shown all the same.
    loadMacVendorNamesFrom((dir_ / "missing.evc").c_str(), user, false);
    EXPECT_EQ(Format({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), "LabPC/11:22:33:44:55:66");
    EXPECT_EQ(Format({0x00, 0x55, 0xDA, 0x1F, 0x00, 0x01}), "?/00:55:DA:1F:00:01");
    // Neither file: bare MACs.
    loadMacVendorNamesFrom((dir_ / "missing.evc").c_str(), (dir_ / "missing.def").string(), false);
    EXPECT_EQ(Format({0x11, 0x22, 0x33, 0x44, 0x55, 0x66}), "11:22:33:44:55:66");
}

TEST_F(MacVendorFiles, LeaseRowsCarryTheVendorTextCutToTheirField) {
    loadMacVendorNamesFrom(Write("Nimbo.evc", kCarried).c_str(), (dir_ / "none.def").string(), false);
    LeaseTable leases;
    leases.Configure(0x0A000064, 4, 60, false, nullptr);
    const uint8_t cisco[6] = {0x00, 0x00, 0x0C, 0x12, 0x34, 0x56};
    const uint8_t longName[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0xFF};
    ASSERT_NE(leases.Assign(nullptr, 0x0A000064, cisco, 6, 1000), nullptr);
    ASSERT_NE(leases.Assign(nullptr, 0x0A000065, longName, 6, 1000), nullptr);
    std::vector<LeaseRow> rows = leases.Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_STREQ(rows[0].mac, "Cisco/00:00:0C:12:34:56");
    // The 31-character name does not fit the 27-byte field: cut, terminated.
    EXPECT_EQ(std::string(rows[1].mac, strnlen(rows[1].mac, sizeof rows[1].mac)),
              std::string("0123456789012345678901234567890/0A:0B:0C:0D:0E:FF").substr(0, sizeof rows[1].mac - 1));
}

TEST_F(MacVendorFiles, CarriedTableIsReadFromTheProgram) {
    loadMacVendorNamesFrom(nullptr, (dir_ / "none.def").string(), false);
    EXPECT_EQ(Format({0x00, 0x00, 0x0C, 0x12, 0x34, 0x56}), "Cisco/00:00:0C:12:34:56");
    // Two 28-bit blocks of one 24-bit block.
    EXPECT_EQ(Format({0x20, 0x85, 0x93, 0xD1, 0x23, 0x45}), "Shanghai/20:85:93:D1:23:45");
    EXPECT_EQ(Format({0x20, 0x85, 0x93, 0x01, 0x23, 0x45}), "Hemina/20:85:93:01:23:45");
}

}  // namespace
