// The service side: settings and stored leases read through the INI layer, console hooks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/dhcp/dhcp_thread.h"
#include "_services/settings.h"
#include "_services/to_console.h"
#include "tests/_services/dhcp/dhcp_test_util.h"
#include "tests/support/temp_folder.h"

namespace {

using nimbo::test::TempFolder;

// No DHCP thread has run: the desktop's request 206 reads the [DHCP] keys first, so that a
// record stored back from the desktop does not empty them.
TEST(DhcpService, TheDesktopGetsTheStoredRecordWithoutADhcpThread) {
    TempFolder dir("dhcp_service_");
    SetIniPath(dir.Write("Nimbo.ini", "[DHCP]\nDHCP_IP_Pool=10.5.0.10\nDHCP_PoolSize=4\nDHCP_LeaseTime=777\n"));
    RegisterDhcpService();
    std::vector<uint8_t> bytes = ConsoleHooks().getDhcpSettings();
    ASSERT_EQ(bytes.size(), kDhcpSettingsSize);
    DhcpSettings rec;
    std::memcpy(&rec, bytes.data(), sizeof rec);
    EXPECT_STREQ(rec.DHCP_IP_Pool, "10.5.0.10");
    EXPECT_EQ(+rec.DHCP_PoolSize, 4);
    EXPECT_EQ(+rec.DHCP_LeaseTime, 777);
}

TEST(DhcpService, LoadsSettingsAndLeasesFromTheIni) {
    setenv("TZ", "UTC", 1);
    tzset();
    TempFolder dir("dhcp_service_");
    const std::string ini = dir / "Nimbo.ini";
    {
        std::ofstream f(ini);
        f << "[DHCP]\nDHCP_IP_Pool=10.5.0.10\nDHCP_PoolSize=4\nDHCP_IP_Mask=/24\nDHCP_BootFile=\\a.0|7i?\\i.efi\n"
             "DHCP_PersistantLeases=1\nDHCP_Lease_NumLeases=1\nDHCP_Lease_0DHCP_MAC=02:00:00:00:00:01\n"
             "DHCP_Lease_0DHCP_IP=10.5.0.11\nDHCP_Lease_0DHCP_InitialOfferTime=11/14/2023/22:13:20\n"
             "DHCP_Lease_0DHCP_LeaseStartTime=11/14/2023/22:16:40\n";
    }
    SetIniPath(ini);
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
}

// Counts the times a file is replaced by a rename into its folder.
class ReplaceCounter {
public:
    explicit ReplaceCounter(const std::string& path) {
        size_t slash = path.rfind('/');
        name_ = path.substr(slash + 1);
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, path.substr(0, slash).c_str(), IN_MOVED_TO);
    }
    ~ReplaceCounter() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    int Count() {
        alignas(inotify_event) char buf[8192];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) return count_;
            for (ssize_t i = 0; i < n;) {
                auto* e = reinterpret_cast<inotify_event*>(buf + i);
                if (e->len && name_ == e->name) ++count_;
                i += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

private:
    int fd_ = -1;
    int count_ = 0;
    std::string name_;
};

TEST(DhcpService, PersistentLeaseChangeReplacesTheFileOnce) {
    TempFolder dir("dhcp_persist_");
    const std::string ini = dir / "Nimbo.ini";
    {
        std::ofstream f(ini);
        f << "[NIMBO]\nNIMBO_Services=5\n[DHCP]\nDHCP_IP_Pool=10.6.0.1\nDHCP_PoolSize=400\nDHCP_IP_Mask=/16\n"
             "DHCP_LeaseTime=60\nDHCP_Lease_NumLeases=300\n";
        for (int i = 0; i < 300; ++i) {
            char mac[32], ip[32];
            std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", i >> 8, i & 0xFF);
            std::snprintf(ip, sizeof ip, "10.6.%d.%d", (i + 1) / 256, (i + 1) % 256);
            f << "DHCP_Lease_" << i << "DHCP_MAC=" << mac << "\nDHCP_Lease_" << i << "DHCP_IP=" << ip << "\n"
              << "DHCP_Lease_" << i << "DHCP_InitialOfferTime=11/14/2023/22:13:20\n"
              << "DHCP_Lease_" << i << "DHCP_LeaseStartTime=11/14/2023/22:16:40\n";
        }
    }
    SetIniPath(ini);
    SettingsUpdate([](GlobalSettings& g) { g.DHCP_PersistantLeases = 1; });
    RegisterDhcpService();
    ReplaceCounter replaces(ini);
    ASSERT_TRUE(replaces.ok());
    ASSERT_EQ(loadDhcpSettings(), 1);
    EXPECT_LE(replaces.Count(), 1);  // the table read back is written once at most
    LeaseTable& t = DhcpLeaseTable();
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        ASSERT_EQ(t.count(), 300);
    }
    auto cfg = DhcpSettingsSnapshot();
    DhcpEnv env;
    env.cfg = cfg.get();
    env.servicesMask = SVC_DHCP;
    env.leases = &t;
    env.now = time(nullptr);
    env.serverAddressForClient = [](uint32_t, bool) { return Ip("10.6.0.254"); };
    // A new client: DISCOVER then REQUEST, each one replace of the file.
    for (int type : {1, 3}) {
        const int before = replaces.Count();
        Packet p = MakeRequest(type, 0x42, {Addr(50, "10.6.1.45")});
        ASSERT_EQ(processDhcpRequest(env, 67, p.data(), &p.length), 1) << type;
        EXPECT_EQ(replaces.Count() - before, 1) << type;
    }
    std::ifstream f(ini);
    std::stringstream text;
    text << f.rdbuf();
    EXPECT_NE(text.str().find("DHCP_Lease_NumLeases=301"), std::string::npos);
    EXPECT_NE(text.str().find("DHCP_Lease_300DHCP_IP=10.6.1.45"), std::string::npos);
    SettingsUpdate([](GlobalSettings& g) { g = DefaultGlobalSettings(); });
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        t.Configure(0, 0, 60, false, nullptr);
    }
}

InterfaceAddress Row(int ifindex, const char* addr, const char* mask, bool up = true, bool loopback = false) {
    InterfaceAddress a;
    a.ifindex = ifindex;
    a.addr.s_addr = Ip(addr);
    a.mask.s_addr = Ip(mask);
    a.up = up;
    a.loopback = loopback;
    return a;
}

TEST(DhcpService, ServerAddressForClient) {
    const std::vector<InterfaceAddress> host = {
        Row(1, "127.0.0.1", "255.0.0.0", true, true), Row(2, "10.1.0.1", "255.255.0.0"),
        Row(3, "192.168.7.1", "255.255.255.0"), Row(3, "192.168.8.1", "255.255.255.0"),
        Row(4, "172.16.0.1", "255.255.0.0", false)};
    struct Case {
        const char* client;
        bool strict;
        int ifindex;
        const char* want;  // "0.0.0.0": none
    } cases[] = {
        {"127.0.0.5", false, 0, "10.1.0.1"},  // loopback is never the answer
        {"127.0.0.5", true, 0, "0.0.0.0"},
        {"127.0.0.5", false, 1, "10.1.0.1"},       // not even on its own interface
        {"192.168.7.9", false, 0, "192.168.7.1"},  // the subnet of the client
        {"192.168.8.9", false, 3, "192.168.8.1"},  // on the receiving interface, its subnet
        {"10.9.9.9", false, 3, "192.168.7.1"},     // else its first address
        {"10.1.2.3", false, 2, "10.1.0.1"},
        {"172.16.5.5", true, 0, "0.0.0.0"},  // an interface that is down does not serve
        {"0.0.0.0", false, 0, "10.1.0.1"},   // no subnet: the first address
    };
    for (const auto& c : cases)
        EXPECT_EQ(pickServerAddress(host, Ip(c.client), c.strict, c.ifindex), Ip(c.want))
            << c.client << " " << c.ifindex;
    // A host with loopback only has nothing to offer; one address serves everyone.
    EXPECT_EQ(pickServerAddress({host[0]}, Ip("127.0.0.5"), false, 1), 0u);
    EXPECT_EQ(pickServerAddress({host[0], host[4]}, Ip("10.1.1.1"), true, 0), Ip("172.16.0.1"));
}

TEST(DhcpService, LocalMacs) {
    // Other tests make and remove interfaces meanwhile, and the service rereads the list at most
    // once a second: a MAC that is not found must be gone by the next reading.
    const std::vector<std::array<uint8_t, 6>> macs = ListLocalMacs();
    for (const auto& m : macs) {
        bool found = isMACLocal(m.data()) == 1;
        for (int round = 0; !found && round < 3; ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            const auto now = ListLocalMacs();
            if (std::find(now.begin(), now.end(), m) == now.end()) break;  // removed meanwhile
            found = isMACLocal(m.data()) == 1;
        }
        const auto now = ListLocalMacs();
        EXPECT_TRUE(found || std::find(now.begin(), now.end(), m) == now.end());
    }
    std::array<uint8_t, 6> foreign = {0x02, 0x99, 0x99, 0x99, 0x99, 0x99};
    while (std::find(macs.begin(), macs.end(), foreign) != macs.end()) ++foreign[5];
    EXPECT_EQ(isMACLocal(foreign.data()), 0);
}

TEST(DhcpService, BootFileSizeAsTftpFindsIt) {
    TempFolder dir("dhcp_bootsize_");
    const std::string root = dir.path();
    ASSERT_EQ(mkdir((root + "/Boot").c_str(), 0755), 0);
    std::ofstream(root + "/Boot/BIOS.0") << std::string(1000, 'x');
    std::ofstream(root + "/outside.0") << "x";
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    struct Case {
        const char* entry;
        bool found;
    } cases[] = {
        {"\\Boot\\BIOS.0", true},  {"\\boot\\bios.0", true},   {"boot/bios.0", true},    {"BOOT\\Bios.0", true},
        {"/boot//./bios.0", true}, {"boot\\missing.0", false}, {"..\\outside.0", false}, {"boot", false},
    };
    for (const auto& c : cases) {
        uint64_t size = 0;
        EXPECT_EQ(BootFileSize(root, c.entry, &size), c.found) << c.entry;
        if (c.found) { EXPECT_EQ(size, 1000u) << c.entry; }
    }
    uint64_t size = 0;
    EXPECT_FALSE(BootFileSize(root + "/sub", "..\\outside.0", &size));  // never above the root

    // The loader joins root and entry with a separator and finds the size (option 13).
    SetIniPath(root + "/Nimbo.ini");
    std::ofstream(root + "/Nimbo.ini") << "[DHCP]\nDHCP_IP_Pool=10.5.0.10\nDHCP_PoolSize=4\n"
                                          "DHCP_BootFile=boot\\bios.0|7?\\BOOT\\BIOS.0\n";
    SettingsUpdate([&](GlobalSettings& g) {
        std::snprintf(g.TFTP_RootDirectory, sizeof g.TFTP_RootDirectory, "%s", root.c_str());
        g.NIMBO_Services = SVC_DHCP | SVC_TFTP_SERVER;
    });
    ASSERT_EQ(loadDhcpSettings(), 1);
    auto cfg = DhcpSettingsSnapshot();
    for (int row : {0, 7}) {
        EXPECT_EQ(+cfg->rec.BootFileTable.rows[row].present, 1u) << row;
        EXPECT_EQ(+cfg->rec.BootFileTable.rows[row].sizeBlocks, 2u) << row;
    }
    SettingsUpdate([](GlobalSettings& g) { g = DefaultGlobalSettings(); });
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
