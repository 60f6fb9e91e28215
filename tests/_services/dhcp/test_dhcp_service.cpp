// The service side: settings and stored leases read through the INI layer, console hooks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "dhcp_service.h"
#include "dhcp_settings.h"
#include "dhcp_test_util.h"
#include "dhcp_thread.h"
#include "settings.h"
#include "to_console.h"

namespace {

TEST(DhcpService, LoadsSettingsAndLeasesFromTheIni) {
    setenv("TZ", "UTC", 1);
    tzset();
    char tmpl[] = "/tmp/dhcp_service_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream f(tmpl);
        f << "[DHCP]\nDHCP_IP_Pool=10.5.0.10\nDHCP_PoolSize=4\nDHCP_IP_Mask=/24\nDHCP_BootFile=\\a.0|7i?\\i.efi\n"
             "DHCP_PersistantLeases=1\nDHCP_Lease_NumLeases=1\nDHCP_Lease_0DHCP_MAC=02:00:00:00:00:01\n"
             "DHCP_Lease_0DHCP_IP=10.5.0.11\nDHCP_Lease_0DHCP_InitialOfferTime=11/14/2023/22:13:20\n"
             "DHCP_Lease_0DHCP_LeaseStartTime=11/14/2023/22:16:40\n";
    }
    SetIniPath(tmpl);
    RegisterDhcpService();
    ASSERT_EQ(loadDhcpSettings(), 1);
    auto cfg = DhcpSettingsSnapshot();
    EXPECT_EQ(cfg->rec.PoolStart, Ip("10.5.0.10"));
    EXPECT_EQ(cfg->rec.SubnetMask, Ip("255.255.255.0"));
    EXPECT_EQ(cfg->bootFileIpxe, 1 << 12);
    LeaseTable& t = DhcpLeaseTable();
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        ASSERT_EQ(t.count(), 1);
        EXPECT_EQ(t.at(0)->address, Ip("10.5.0.11"));
        EXPECT_EQ(+t.at(0)->startTime, 1700000200);
    }
    // Request 206 sends the whole record; request 213 frees a lease.
    std::vector<uint8_t> rec = ConsoleHooks().getDhcpSettings();
    EXPECT_EQ(rec.size(), kDhcpSettingsSize);
    ConsoleHooks().freeLease(Ip("10.5.0.11"));
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        EXPECT_EQ(t.count(), 0);
    }
    // Request 208: the record as the GUI prepared it replaces the live one; the lease table
    // follows a new pool size. The key bits come from the record's own texts.
    DhcpSettings next = DhcpSettingsRecord();
    next.DHCP_PoolSize = 2;
    std::snprintf(next.DHCP_BootFile, sizeof next.DHCP_BootFile, "\\b.0|0i?\\i.pxe");
    ArchBootTable table{};
    ASSERT_EQ(parseArchFileList(next.DHCP_BootFile, &table), 0);
    next.BootFileTable = table;
    std::vector<uint8_t> bytes(reinterpret_cast<uint8_t*>(&next), reinterpret_cast<uint8_t*>(&next) + sizeof next);
    ConsoleHooks().applyDhcpSettings(bytes.data(), bytes.size());
    auto applied = DhcpSettingsSnapshot();
    EXPECT_EQ(+applied->rec.DHCP_PoolSize, 2);
    EXPECT_EQ(applied->bootFileIpxe, 1 << 10);
    EXPECT_EQ(applied->defaultBootFileList, cfg->defaultBootFileList);
    EXPECT_EQ(t.capacity(), 2);
    unlink(tmpl);
}

TEST(DhcpService, ServerAddressNeverLoopback) {
    uint32_t a = findServerAddressForClient(Ip("127.0.0.5"), false);
    EXPECT_NE(a & 0xFF, 127u);
    EXPECT_EQ(isMACLocal(reinterpret_cast<const uint8_t*>("\x02\x99\x99\x99\x99\x99")), 0);
}

TEST(DhcpService, MacFilterMatch) {
    DhcpSettings s{};
    uint64_t mac, mask;
    ASSERT_EQ(parseMacFilterEntry("00:00:0C:00:00:00|FF:FF:FF:00:00:00", &mac, &mask, nullptr), 1);
    s.MacFilters[0].mac = mac;
    s.MacFilters[0].mask = mask;
    EXPECT_EQ(matchMacFilter(s, reinterpret_cast<const uint8_t*>("\x00\x00\x0C\x12\x34\x56")), 1);
    EXPECT_EQ(matchMacFilter(s, reinterpret_cast<const uint8_t*>("\x00\x00\x0D\x12\x34\x56")), 0);
}

}  // namespace
