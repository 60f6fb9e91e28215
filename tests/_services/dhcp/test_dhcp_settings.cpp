// Settings texts: per-architecture lists, address settings, static leases, MAC filters and
// the loader.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "_services/dhcp/dhcp_settings.h"

namespace {

uint32_t Ip(const char* t) {
    in_addr a;
    inet_pton(AF_INET, t, &a);
    return a.s_addr;
}

TEST(ArchFileList, DefaultAndKeyedRows) {
    ArchBootTable t{};
    IpxeKeyRows ipxe = 0;
    ASSERT_EQ(parseArchFileList("\\a.0|6?\\b.efi", &t, &ipxe), 0);
    EXPECT_STREQ(t.rows[6].text, "\\b.efi");
    EXPECT_EQ(+t.rows[6].length, 7);
    EXPECT_EQ(+t.rows[6].declared, 1u);
    EXPECT_EQ(+t.rows[6].fromDefault, 0u);
    for (int r : {0, 5, 7, 13}) {
        EXPECT_STREQ(t.rows[r].text, "\\a.0") << r;
        EXPECT_EQ(+t.rows[r].length, 5) << r;
        EXPECT_EQ(+t.rows[r].declared, 1u) << r;
        EXPECT_EQ(+t.rows[r].fromDefault, 1u) << r;
    }
    EXPECT_EQ(+t.rows[14].declared, 0u);
    EXPECT_EQ(ipxe, 0);

    ArchBootTable ab{};
    ASSERT_EQ(parseArchFileList("a?x|b?y", &ab, &ipxe), 0);
    for (int r = 0; r < kArchRows; ++r) EXPECT_EQ(+ab.rows[r].declared, r == 10 || r == 11 ? 1u : 0u) << r;

    ArchBootTable ip{};
    ASSERT_EQ(parseArchFileList("d|0i?i0|7i?i7", &ip, &ipxe), 0);
    EXPECT_EQ(ipxe, (1 << 10) | (1 << 12));
    EXPECT_STREQ(ip.rows[10].text, "i0");
    EXPECT_STREQ(ip.rows[11].text, "d");
}

TEST(ArchFileList, Results) {
    struct Case {
        const char* text;
        int result;
    } cases[] = {
        {"6?x|6?y", 1},
        {"a?x|0i?y", 1},
        {"b?x|6i?y", 1},
        {"x|0?y", 0},
    };
    for (const auto& c : cases) {
        ArchBootTable t{};
        EXPECT_EQ(parseArchFileList(c.text, &t), c.result) << c.text;
    }
    ArchBootTable t{};
    EXPECT_EQ(parseArchFileList(std::string(126, 'x').c_str(), &t), 0);
    ArchBootTable t2{};
    EXPECT_EQ(parseArchFileList(std::string(127, 'x').c_str(), &t2), 2);
    ArchBootTable t3{};
    EXPECT_EQ(parseArchFileList(std::string(1024, 'x').c_str(), &t3), 1);
    // Codes of the prefixed lists; lengths of options do not count the NUL.
    ArchBootTable o{};
    ASSERT_EQ(parseArchFileList("252|6?\\x", &o), 0);
    EXPECT_EQ(+o.rows[6].code, 252);
    EXPECT_EQ(+o.rows[6].length, 2);
    // A non-empty table is compared, not overwritten.
    ArchBootTable cmp{};
    ASSERT_EQ(parseArchFileList("x", &cmp), 0);
    EXPECT_EQ(parseArchFileList("y", &cmp), 3);
    EXPECT_STREQ(cmp.rows[0].text, "x");
    EXPECT_EQ(parseArchFileList("x", &cmp), 0);
}

TEST(ArchFileList, ValidatorMessages) {
    struct Case {
        const char* text;
        bool option252;
        const char* start;  // start of the message, "" when accepted
    } cases[] = {
        {"\\BM\\x.0|6?/y/z.efi", false, ""},
        {"a b", false, "Error: Boot File wrong format:\n"},
        {"x|y", false, "Error: Boot File wrong format:\n"},
        {"6?x|6?y", false, "Error: Boot File parameter collision.\n"},
        {"252|6?\\a\\bcd|a?x", true, ""},
        {"252|c:x", true, "Error: BINL Option 252 Overwrite format:\n252|"},
        {"252|6?x|6?y", true, "Error: BINL Option 252 Overwrite collision.\n"},
    };
    for (const auto& c : cases) {
        ArchBootTable t{};
        std::string msg;
        int ok = c.option252 ? validateOption252Setting(c.text, &t, &msg) : validateBootFileSetting(c.text, &t, &msg);
        EXPECT_EQ(ok, c.start[0] ? 0 : 1) << c.text;
        EXPECT_EQ(msg.rfind(c.start, 0), 0u) << c.text << ": " << msg;
    }
    ArchBootTable t{};
    std::string msg;
    EXPECT_EQ(validateBootFileSetting(std::string(127, 'x').c_str(), &t, &msg), 0);
    EXPECT_EQ(msg,
              "67-Format Error\nPlease verify Bootfile_X length < "
              "128\n<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
    ArchBootTable u{};
    ASSERT_EQ(parseArchFileList("x", &u), 0);
    EXPECT_EQ(validateBootFileSetting("y", &u, &msg), 0);
    EXPECT_EQ(msg, "Error: Boot File and DHCP Option 67 inconsistency\nParsed settings differ");
    EXPECT_EQ(validateOption252Setting(("252|" + std::string(128, 'x')).c_str(), &t, &msg), 0);
    EXPECT_EQ(msg,
              "Error: BINL Option 252 Overwrite format:\nPlease verify BCD_X length < "
              "128\n252|<arch_0?>BCD_0<|arch_1?BCD_1>...<|arch_b?BCD_b>");
}

TEST(AddressSetting, MasksListsAndAddresses) {
    struct Case {
        int kind;
        const char* text;
        const char* message;  // nullptr: accepted
    } cases[] = {
        {1, "255.255.255.0", nullptr},
        {1, "/24", nullptr},
        {1, "255.0.255.0", "1-Format Error\nSubnet Mask option is invalid\nIncorrect bit pattern"},
        {1, "255.255.255.255", "1-Format Error\nSubnet Mask option is invalid\nSee example:\n255.255.255.0"},
        {1, "/32", "1-Format Error\nSubnet Mask option is invalid\nSee example:\n/24"},
        {1, "/0", "1-Format Error\nSubnet Mask option is invalid\nSee example:\n/24"},
        {1, "mask", "1-Format Error\nDHCP requires a valid Subnet Mask like:\n255.255.255.0 or /24"},
        {3, "10.0.0.1,10.0.0.2", nullptr},
        {3, "10.0.0",
         "3-Format Error\nRouter option should look like:\n192.168.20.1  or  192.168.20.1,192.168.20.3, ..."},
        {3, "0.0.0.0",
         "3-Format Error\nRouter option invalid IP address/es\nSee example:\n192.168.20.1  or  "
         "192.168.20.1,192.168.20.3, ..."},
        {6, "x",
         "6-Format Error\nDomain Name Server option should look like:\n192.168.20.1  or  192.168.20.1,192.168.20.3, "
         "..."},
        {6, "10.0.0.300",
         "6-Format Error\nDomain Name Server option invalid IP address/es\nSee example:\n192.168.20.30  or  "
         "192.168.20.30,192.168.20.33, ..."},
        {0, "10.1.1.1", nullptr},
        {0, "10.1.1", "Format Error\nRequired a valid IP address like:\n192.168.20.20"},
        {0, "999.1.1.1", "Format Error\nInvalid IP address\nSee example:\n192.168.20.20"},
        {9, "anything", nullptr},
    };
    for (const auto& c : cases) {
        uint8_t out[270] = {};
        std::string msg;
        int ok = validateAddressSetting(c.kind, c.text, out, sizeof out, &msg);
        EXPECT_EQ(ok, c.message ? 0 : 1) << c.text;
        if (c.message) { EXPECT_EQ(msg, c.message) << c.text; }
    }
    uint8_t a[4], b[4];
    ASSERT_EQ(validateAddressSetting(1, "255.255.255.0", a, 4, nullptr), 1);
    ASSERT_EQ(validateAddressSetting(1, "/24", b, 4, nullptr), 1);
    EXPECT_EQ(std::memcmp(a, b, 4), 0);
    uint8_t r[270];
    ASSERT_EQ(validateAddressSetting(3, "10.0.0.1,10.0.0.2", r, sizeof r, nullptr), 1);
    EXPECT_EQ(r[0], 3);
    EXPECT_EQ(r[1], 8);
    EXPECT_EQ(isContiguousNetmask(Ip("255.255.254.0")), 1);
    EXPECT_EQ(isContiguousNetmask(Ip("0.255.255.0")), 0);
}

TEST(StaticLeaseAndFilter, Entries) {
    uint8_t out[10];
    std::string msg;
    ASSERT_EQ(parseStaticLeaseEntry("01:02:03:ab:bc:de|192.168.20.5", out, &msg), 1);
    const uint8_t want[10] = {1, 2, 3, 0xAB, 0xBC, 0xDE, 192, 168, 20, 5};
    EXPECT_EQ(std::memcmp(out, want, 10), 0);
    EXPECT_EQ(parseStaticLeaseEntry("01:02:03:ab:bc:de|0.0.0.0", out, &msg), 0);
    EXPECT_EQ(msg, "Format Error\nMAC Static Lease entry has an invalid IP");
    EXPECT_EQ(parseStaticLeaseEntry("01:02:03:ab:bc|1.2.3.4", out, &msg), 0);
    EXPECT_EQ(msg, "Format Error\nMAC Static Lease entries should look like:\n01:02:03:ab:bc:de|192.168.20.5 ");

    uint64_t mac = 0, mask = 0;
    ASSERT_EQ(parseMacFilterEntry("01:02:03:AB:BC:DE", &mac, &mask, &msg), 1);
    EXPECT_EQ(mask, ~0ull);
    EXPECT_EQ(mac, 0xDEBCAB0302010000ull);
    ASSERT_EQ(parseMacFilterEntry("01:02:03:AB:BC:DE|FF:FF:FF:00:00:00", &mac, &mask, &msg), 1);
    EXPECT_EQ(mask, 0x0000000000FFFFFF0000ull);
    EXPECT_EQ(parseMacFilterEntry("01:02:03:AB:BC:DE|00:00:00:00:00:00", &mac, &mask, &msg), 0);
    EXPECT_EQ(mac, 0u);
    EXPECT_EQ(msg, "Format Error\nMASK=00:00:00:00:00:00\nmatches all possible MACs");
    EXPECT_EQ(parseMacFilterEntry("01-02-03-AB-BC-DE", &mac, &mask, &msg), 0);
    EXPECT_EQ(msg,
              "Format Error\nMAC Filter entries should look like:\nMAC[|MASK]\n01:02:03:AB:BC:DE[|FF:FF:FF:FF:FF:00] ");
}

DhcpIniReader Reader(const std::map<std::string, std::string>& ini) {
    return [ini](const char* key, void* field, int size, int type) {
        auto it = ini.find(key);
        if (it == ini.end() || it->second.empty()) return;
        if (type == 4) {
            int32_t v = std::atoi(it->second.c_str());
            std::memcpy(field, &v, 4);
        } else {
            std::snprintf(static_cast<char*>(field), static_cast<size_t>(size), "%s", it->second.c_str());
        }
    };
}

TEST(DhcpLoader, EmptyIni) {
    DhcpConfig cfg;
    LoadDhcpConfig(&cfg, Reader({}), 0x4, "/tmp", nullptr);
    EXPECT_EQ(+cfg.rec.DHCP_PoolSize, 0);
    EXPECT_EQ(+cfg.rec.DHCP_LeaseTime, 2880);
    EXPECT_EQ(+cfg.rec.NextServer, 0xFFFFFFFFu);
    EXPECT_EQ(+cfg.rec.BmMode, 1);
    EXPECT_STREQ(cfg.rec.BmModeText, "1");
    EXPECT_EQ(cfg.defaultBootFileList, BuildDefaultLists().biosEfi);
    EXPECT_EQ(
        cfg.defaultBootFileList,
        "\\BM\\PXENIMBO\\BIOS\\pxenimbo.0|6?\\BM\\PXENIMBO\\EFI32\\pxenimbo.efi|7?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi"
        "|9?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi");
}

TEST(DhcpLoader, ModesAndFields) {
    for (const char* text : {"2", "0", "31", "03", "x"}) {
        DhcpConfig cfg;
        LoadDhcpConfig(&cfg, Reader({{"DHCP_BINL_BM_Mode", text}}), 0x4, "", nullptr);
        EXPECT_EQ(+cfg.rec.BmMode, 1) << text;
        EXPECT_STREQ(cfg.rec.BmModeText, "1") << text;
    }
    DhcpConfig cfg;
    LoadDhcpConfig(&cfg,
                   Reader({{"DHCP_BINL_BM_Mode", "3"},
                           {"DHCP_IP_Pool", "10.9.0.10"},
                           {"DHCP_PoolSize", "20"},
                           {"DHCP_IP_Mask", "/16"},
                           {"DHCP_DNS", "10.9.0.1"},
                           {"DHCP_IP_NextServer", "None"},
                           {"DHCP_LeaseTime", "0"},
                           {"DHCP_BootFile", "\\boot\\x.0"},
                           {"DHCP_Option1", "42|10.9.0.2"},
                           {"DHCP_Option2", "51|1"},
                           {"DHCP_Option3", "0|"},
                           {"DHCP_Option4", "67|\\other"},
                           {"DHCP_StaticLease1", "00:11:22:33:44:55|10.9.1.1"},
                           {"DHCP_MacFilter1", "00:11:22:33:44:55|FF:FF:FF:00:00:00"}}),
                   0x4, "", nullptr);
    const DhcpSettings& s = cfg.rec;
    EXPECT_EQ(+s.BmMode, 3);
    EXPECT_EQ(+s.PoolStart, Ip("10.9.0.10"));
    EXPECT_EQ(+s.SubnetMask, Ip("255.255.0.0"));
    EXPECT_EQ(+s.NextServer, 0u);
    EXPECT_EQ(+s.DHCP_LeaseTime, 2880);
    EXPECT_EQ(+s.DnsOption[0], 6);
    EXPECT_EQ(+s.RouterOption[0], 0);
    EXPECT_EQ(+s.UserOptions[0].encoded[0], 42);
    EXPECT_EQ(+s.UserOptions[1].text[0], 0);  // refused option loses its text
    const uint8_t pad[4] = {0, 0, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(s.UserOptions[2].encoded, pad, 4), 0);
    EXPECT_EQ(+s.UserOptions[3].text[0], 0);  // disagrees with the boot file
    EXPECT_EQ(+s.StaticLeases[0].address, Ip("10.9.1.1"));
    EXPECT_EQ(+s.MacFilters[0].mask, 0x0000000000FFFFFF0000ull);
    for (int r : {6, 7, 9, 10, 11}) {
        EXPECT_EQ(+s.Option252Table.rows[r].code, 252) << r;
        EXPECT_EQ(+s.Option252Table.rows[r].length, std::strlen(s.Option252Table.rows[r].text)) << r;
    }
    EXPECT_EQ(+s.Option252Table.rows[0].declared, 0u);
    EXPECT_EQ(cfg.defaultBootFileList, BuildDefaultLists().bootManager);
}

TEST(DhcpLoader, Option67AndBootProgramSizes) {
    DhcpConfig cfg;
    auto probe = [](const std::string& path, uint64_t* size) {
        if (path != "/srv\\a.0") return false;
        *size = (1ull << 41) + 1;  // more blocks than 32 bits hold
        return true;
    };
    LoadDhcpConfig(&cfg, Reader({{"DHCP_BootFile", "\\a.0"}, {"DHCP_Option1", "67|\\a.0"}}), 0x4, "/srv", probe);
    const DhcpSettings& s = cfg.rec;
    EXPECT_EQ(+s.UserOptions[0].encoded[0], 0x43);
    EXPECT_EQ(+s.UserOptions[0].encoded[1], 0);
    EXPECT_EQ(+s.Option67Table.rows[3].code, 0x43);
    EXPECT_EQ(+s.Option67Table.rows[3].length, 4);
    EXPECT_EQ(+s.BootFileTable.rows[0].present, 1u);
    EXPECT_EQ(+s.BootFileTable.rows[0].sizeBlocks, 0xFFFFFFFFu);
    EXPECT_EQ(+s.Option67Table.rows[0].present, 1u);
    EXPECT_EQ(SizeInBlocks(513), 2u);
    EXPECT_EQ(SizeInBlocks(0), 0u);
    // With BINL the option stays as text and is not encoded.
    DhcpConfig binl;
    LoadDhcpConfig(&binl, Reader({{"DHCP_Option1", "67|\\a.0"}}), 0x204, "/srv", probe);
    EXPECT_STREQ(binl.rec.UserOptions[0].text, "67|\\a.0");
    EXPECT_EQ(+binl.rec.UserOptions[0].encoded[0], 0);
    EXPECT_EQ(+binl.rec.BootFileTable.rows[0].present, 0u);
}

TEST(DhcpLoader, BootFilePathHasOneSeparator) {
    EXPECT_EQ(BootFilePath("/srv", "a.0"), "/srv/a.0");
    EXPECT_EQ(BootFilePath("/srv/", "a.0"), "/srv/a.0");
    EXPECT_EQ(BootFilePath("/srv", "\\a.0"), "/srv\\a.0");
    EXPECT_EQ(BootFilePath("/srv", "/a.0"), "/srv/a.0");
    EXPECT_EQ(BootFilePath("", "a.0"), "a.0");
    DhcpConfig cfg;
    std::vector<std::string> asked;
    auto probe = [&](const std::string& path, uint64_t* size) {
        asked.push_back(path);
        *size = 700;
        return path == "/srv/boot\\a.0";
    };
    LoadDhcpConfig(&cfg, Reader({{"DHCP_BootFile", "boot\\a.0"}}), 0x4, "/srv", probe);
    EXPECT_EQ(+cfg.rec.BootFileTable.rows[0].present, 1u) << (asked.empty() ? "" : asked[0]);
    EXPECT_EQ(+cfg.rec.BootFileTable.rows[0].sizeBlocks, 2u);
}

// Request 208: the texts of a record are checked as the loader reads them.
TEST(DhcpRecord, ValidatedBeforeStoring) {
    auto base = [] {
        DhcpSettings s{};
        std::snprintf(s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool, "10.0.0.10");
        std::snprintf(s.DHCP_IP_Mask, sizeof s.DHCP_IP_Mask, "255.255.255.0");
        std::snprintf(s.DHCP_IP_NextServer, sizeof s.DHCP_IP_NextServer, "Automatic");
        std::snprintf(s.DHCP_BootFile, sizeof s.DHCP_BootFile, "\\a.0|7?\\x64.efi");
        std::snprintf(s.DHCP_DefaultGateway, sizeof s.DHCP_DefaultGateway, "10.0.0.1");
        std::snprintf(s.BmModeText, sizeof s.BmModeText, "1");
        std::snprintf(s.UserOptions[0].text, sizeof s.UserOptions[0].text, "67|\\a.0");
        std::snprintf(s.UserOptions[1].text, sizeof s.UserOptions[1].text, "42|10.0.0.1");
        std::snprintf(s.StaticLeases[0].text, sizeof s.StaticLeases[0].text, "01:02:03:ab:bc:de|10.0.0.50");
        std::snprintf(s.MacFilters[0].text, sizeof s.MacFilters[0].text, "01:02:03:AB:BC:DE");
        return s;
    };
    std::string why;
    ASSERT_TRUE(ValidateDhcpRecord(base(), &why)) << why;
    ASSERT_TRUE(ValidateDhcpRecord(DhcpSettings{}, &why)) << why;  // nothing set
    struct Case {
        const char* key;
        void (*edit)(DhcpSettings&);
    } cases[] = {
        {"DHCP_DomainName", [](DhcpSettings& s) { std::snprintf(s.DHCP_DomainName, 64, "lan\r\n[NIMBO]"); }},
        {"DHCP_BootFile", [](DhcpSettings& s) { std::snprintf(s.DHCP_BootFile, 64, "\\a.0\nDHCP_PoolSize=1"); }},
        {"DHCP_BootFile", [](DhcpSettings& s) { std::snprintf(s.DHCP_BootFile, 64, "\\a.0|7?\\b|7?\\c"); }},
        {"DHCP_IP_Pool", [](DhcpSettings& s) { std::snprintf(s.DHCP_IP_Pool, 16, "10.0.0"); }},
        {"DHCP_IP_Mask", [](DhcpSettings& s) { std::snprintf(s.DHCP_IP_Mask, 16, "255.0.255.0"); }},
        {"DHCP_IP_NextServer", [](DhcpSettings& s) { std::snprintf(s.DHCP_IP_NextServer, 16, "Sometimes"); }},
        {"DHCP_DNS", [](DhcpSettings& s) { std::snprintf(s.DHCP_DNS, 16, "dns.example"); }},
        {"DHCP_BINL_BM_Mode", [](DhcpSettings& s) { std::snprintf(s.BmModeText, sizeof s.BmModeText, "2"); }},
        {"DHCP_Option2", [](DhcpSettings& s) { std::snprintf(s.UserOptions[1].text, 16, "300|x"); }},
        {"DHCP_Option3", [](DhcpSettings& s) { std::snprintf(s.UserOptions[2].text, 16, "12|a\x01b"); }},
        {"DHCP_StaticLease1", [](DhcpSettings& s) { std::snprintf(s.StaticLeases[0].text, 32, "01:02|10.0.0.50"); }},
        {"DHCP_MacFilter1", [](DhcpSettings& s) { std::snprintf(s.MacFilters[0].text, 32, "zz"); }},
        {"DHCP_PoolSize",
         [](DhcpSettings& s) {
             std::snprintf(s.DHCP_IP_Pool, 16, "10.99.1.0");
             std::snprintf(s.DHCP_IP_Mask, 16, "/16");
             s.DHCP_PoolSize = 10991999;
         }},
        {"DHCP_PoolSize", [](DhcpSettings& s) { s.DHCP_PoolSize = 246; }},  // reaches 10.0.0.255
    };
    for (const auto& c : cases) {
        DhcpSettings s = base();
        c.edit(s);
        why.clear();
        EXPECT_FALSE(ValidateDhcpRecord(s, &why)) << c.key;
        EXPECT_EQ(why.rfind(std::string(c.key) + ": ", 0), 0u) << why;
        EXPECT_EQ(why.find_first_of("\r\n"), std::string::npos) << why;
    }
}

// A pool holds host addresses of its subnet only: not the subnet's own address, not its
// broadcast address, nothing beyond.
TEST(DhcpPool, LiesInsideItsSubnet) {
    struct Case {
        const char* start;
        int32_t size;
        const char* mask;
        PoolFit fit;
        const char* message;  // nullptr: not checked
    } cases[] = {
        {"10.99.1.0", 10991999, "255.255.0.0", POOL_PAST_SUBNET,
         "Error: \nDHCP Pool runs past its subnet 10.99.0.0/16:\nfrom 10.99.1.0 at most 65279 addresses fit"},
        {"10.99.1.0", 65279, "255.255.0.0", POOL_FITS, nullptr},         // up to 10.99.255.254
        {"10.99.1.0", 65280, "255.255.0.0", POOL_PAST_SUBNET, nullptr},  // the broadcast address
        {"192.168.1.100", 20, "255.255.255.0", POOL_FITS, nullptr},
        {"192.168.1.100", 155, "255.255.255.0", POOL_FITS, nullptr},
        {"192.168.1.100", 156, "255.255.255.0", POOL_PAST_SUBNET, nullptr},
        {"192.168.1.1", 254, "255.255.255.0", POOL_FITS, nullptr},
        {"192.168.1.0", 10, "255.255.255.0", POOL_START_NOT_HOST,
         "Error: \nDHCP Pool starts at 192.168.1.0, which is not\na host address of its subnet 192.168.1.0/24"},
        {"192.168.1.255", 1, "255.255.255.0", POOL_START_NOT_HOST, nullptr},
        {"10.0.0.4", 2, "255.255.255.254", POOL_FITS, nullptr},  // a /31: both addresses are hosts
        {"10.0.0.4", 3, "255.255.255.254", POOL_PAST_SUBNET, nullptr},
        {"255.255.255.250", 2147483647, "255.255.255.248", POOL_PAST_SUBNET, nullptr},  // no wrap at the top
        {"0.0.0.1", 2147483646, "128.0.0.0", POOL_FITS, nullptr},
        {"0.0.0.1", 2147483647, "128.0.0.0", POOL_PAST_SUBNET, nullptr},
        // Nothing to judge: no pool, no start, no usable mask.
        {"10.99.1.0", 0, "255.255.0.0", POOL_FITS, nullptr},
        {"10.99.1.0", -5, "255.255.0.0", POOL_FITS, nullptr},
        {"0.0.0.0", 100, "255.255.0.0", POOL_FITS, nullptr},
        {"10.99.1.0", 10991999, "0.0.0.0", POOL_FITS, nullptr},
        {"10.99.1.0", 10991999, "255.0.255.0", POOL_FITS, nullptr},
    };
    for (const Case& c : cases) {
        std::string message = "untouched";
        EXPECT_EQ(checkPoolInSubnet(Ip(c.start), c.size, Ip(c.mask), &message), c.fit)
            << c.start << " + " << c.size << " in " << c.mask;
        if (c.fit == POOL_FITS)
            EXPECT_EQ(message, "untouched") << c.start;
        else if (c.message)
            EXPECT_EQ(message, c.message);
        else
            EXPECT_NE(message.find("Error: \nDHCP Pool "), std::string::npos) << message;
    }
    EXPECT_EQ(checkPoolInSubnet(Ip("10.99.1.0"), 10991999, Ip("255.255.0.0"), nullptr), POOL_PAST_SUBNET);
}

TEST(DhcpLive, SnapshotsStayStableWhileUpdated) {
    DhcpConfig cfg;
    cfg.rec.DHCP_PoolSize = 5;
    DhcpSettingsPublish(cfg);
    auto before = DhcpSettingsSnapshot();
    DhcpSettingsUpdate([](DhcpSettings& s) {
        s.BootFileTable.rows[0].present = 1;
        s.BootFileTable.rows[0].sizeBlocks = 77;
    });
    EXPECT_EQ(+before->rec.BootFileTable.rows[0].present, 0u);
    EXPECT_EQ(+DhcpSettingsRecord().BootFileTable.rows[0].sizeBlocks, 77u);
    EXPECT_EQ(+DhcpSettingsRecord().DHCP_PoolSize, 5);
    // The boot file parsed again from the live text.
    DhcpSettingsUpdate([](DhcpSettings& s) { std::snprintf(s.DHCP_BootFile, sizeof s.DHCP_BootFile, "x|7i?y"); });
    EXPECT_EQ(parseBootFileSetting(), 1);
    EXPECT_STREQ(DhcpSettingsSnapshot()->rec.BootFileTable.rows[12].text, "y");
    EXPECT_EQ(DhcpSettingsSnapshot()->bootFileIpxe, 1 << 12);
    DhcpSettingsUpdate([](DhcpSettings& s) { std::snprintf(s.DHCP_BootFile, sizeof s.DHCP_BootFile, "a b"); });
    EXPECT_EQ(parseBootFileSetting(), 0);
    EXPECT_STREQ(DhcpSettingsSnapshot()->rec.BootFileTable.rows[12].text, "y");
}

}  // namespace
