// Lease tables: searches, freeing, and the round trip through the INI file with its keys
// and time format.
#include <gtest/gtest.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "libs/platform/profile.h"
#include "tests/_services/dhcp/dhcp_test_util.h"
#include "tests/support/temp_folder.h"

namespace {

class ProfileStore : public LeaseStore {
public:
    explicit ProfileStore(std::string path) : path_(std::move(path)) {}
    void ReadKeys(std::unordered_map<std::string, std::string>* keys) override {
        GetProfileSection("DHCP", keys, path_.c_str());
    }
    void WriteKeys(const std::vector<std::pair<std::string, std::string>>& keys) override {
        ++writes;
        lastKeys = keys.size();
        WriteProfileValues("DHCP", keys, path_.c_str());
    }
    void WaitQueued() override {}
    // Seeds the file as an earlier run left it.
    void WriteText(const char* key, const char* text, bool) { WriteProfileValue("DHCP", key, text, path_.c_str()); }
    void WriteInt(const char* key, int32_t value, bool) {
        WriteProfileValue("DHCP", key, std::to_string(value).c_str(), path_.c_str());
    }
    int writes = 0;
    size_t lastKeys = 0;
    std::string Content() const {
        std::ifstream f(path_);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
};

class LeaseFile : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    nimbo::test::TempFolder folder_{"dhcp_leases_"};
    const std::string path_ = folder_.Write("leases.ini", "");
    nimbo::test::LogCapture log_{LOG_DHCP};
};

const uint8_t kMacA[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kMacB[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x01};

TEST_F(LeaseFile, RoundTripWithExactKeys) {
    ProfileStore store(path_);
    {
        LeaseTable t;
        t.Configure(Ip("10.0.0.10"), 10, 60, true, &store);
        DhcpLease* a = t.Assign(nullptr, Ip("10.0.0.12"), kMacA, 6, 1700000000);
        DhcpLease* b = t.Assign(nullptr, Ip("10.0.0.10"), kMacB, 6, 1700000100);
        ASSERT_TRUE(a && b);
        t.StampStartTime(a, 1700000200);
        t.Save();
    }
    const std::string ini = store.Content();
    for (const char* line :
         {"DHCP_Lease_NumLeases=2", "DHCP_Lease_0DHCP_MAC=00:11:22:33:44:01", "DHCP_Lease_0DHCP_IP=10.0.0.10",
          "DHCP_Lease_0DHCP_InitialOfferTime=11/14/2023/22:15:00", "DHCP_Lease_1DHCP_MAC=00:11:22:33:44:55",
          "DHCP_Lease_1DHCP_IP=10.0.0.12", "DHCP_Lease_1DHCP_InitialOfferTime=11/14/2023/22:13:20",
          "DHCP_Lease_1DHCP_LeaseStartTime=11/14/2023/22:16:40"})
        EXPECT_NE(ini.find(line), std::string::npos) << line << "\n" << ini;

    LeaseTable back;
    back.Configure(Ip("10.0.0.10"), 10, 60, true, &store);
    back.Load();
    ASSERT_EQ(back.count(), 2);
    DhcpLease* a = back.FindByMac(kMacA, 6);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->address, Ip("10.0.0.12"));
    EXPECT_EQ(+a->offerTime, 1700000000);
    EXPECT_EQ(+a->startTime, 1700000200);
    EXPECT_EQ(+back.FindByMac(kMacB, 6)->startTime, 0);
}

TEST_F(LeaseFile, LoadDropsBadAndDuplicateLeases) {
    ProfileStore store(path_);
    auto put = [&](int i, const char* mac, const char* ip) {
        store.WriteText(("DHCP_Lease_" + std::to_string(i) + "DHCP_MAC").c_str(), mac, false);
        store.WriteText(("DHCP_Lease_" + std::to_string(i) + "DHCP_IP").c_str(), ip, false);
    };
    put(0, "00:11:22:33:44:55", "10.0.0.10");
    put(1, "00:11:22:33:44:56", "10.0.0.10");  // same address again
    put(2, "00:00:00:00:00:00", "10.0.0.11");  // no MAC
    put(3, "00:11:22:33:44:57", "10.9.9.9");   // outside the pool
    put(4, "00:11:22:33:44:58", "10.0.0.13");
    store.WriteText("DHCP_Lease_4DHCP_LeaseStartTime", "garbage", false);
    store.WriteInt("DHCP_Lease_NumLeases", 5, false);
    LeaseTable t;
    t.Configure(Ip("10.0.0.10"), 10, 60, true, &store);
    t.Load();
    ASSERT_EQ(t.count(), 2);
    EXPECT_EQ(t.at(1)->address, Ip("10.0.0.13"));
    EXPECT_EQ(+t.at(1)->startTime, 0);
    EXPECT_NE(store.Content().find("DHCP_Lease_NumLeases=2"), std::string::npos);

    LeaseTable small;
    small.Configure(Ip("10.0.0.10"), 1, 60, false, &store);
    store.WriteInt("DHCP_Lease_NumLeases", 5, false);
    small.Load();
    EXPECT_EQ(small.count(), 1);
    EXPECT_TRUE(Logged(log_, "The pool size is too small for the number of leases, ignoring extra leases"));
}

// A change writes the whole table once, however large it is: the cost of a change follows
// the size of the table, not its square.
TEST_F(LeaseFile, OneChangeIsOneWrite) {
    ProfileStore store(path_);
    LeaseTable t;
    t.Configure(Ip("10.1.0.1"), 400, 60, true, &store);
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        LeaseTable::Change change(t);
        for (int i = 0; i < 300; ++i) {
            const uint8_t mac[6] = {2, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            DhcpLease* l =
                t.Assign(nullptr, htonl(ntohl(Ip("10.1.0.1")) + static_cast<uint32_t>(i)), mac, 6, 1700000000);
            ASSERT_TRUE(l);
            t.StampStartTime(l, 1700000000);
        }
    }
    EXPECT_EQ(store.writes, 1);
    EXPECT_EQ(store.lastKeys, 1u + 4 * 300);
    const uint8_t fresh[6] = {2, 0, 0, 0, 9, 9};
    for (int round = 0; round < 3; ++round) {
        store.writes = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(t.mutex());
            LeaseTable::Change change(t);
            DhcpLease* l =
                round == 0 ? t.Assign(nullptr, Ip("10.1.1.100"), fresh, 6, 1700000100) : t.FindByMac(fresh, 6);
            ASSERT_TRUE(l);
            t.StampOfferTime(l, 1700000100 + round);
            t.StampStartTime(l, 1700000100 + round);
            if (round == 2) t.Free(l);
        }
        EXPECT_EQ(store.writes, 1) << round;
    }
    // Outside a Change each routine writes on its own, at once.
    store.writes = 0;
    t.Free(t.FindByMac(kMacA, 6));  // nothing to free: nothing written
    t.Free(t.at(0));
    EXPECT_EQ(store.writes, 1);
    EXPECT_NE(store.Content().find("DHCP_Lease_NumLeases=299"), std::string::npos);
}

TEST_F(LeaseFile, NothingWrittenWithoutPersistence) {
    ProfileStore store(path_);
    LeaseTable t;
    t.Configure(Ip("10.0.0.10"), 10, 60, false, &store);
    t.Assign(nullptr, Ip("10.0.0.10"), kMacA, 6, 1700000000);
    EXPECT_EQ(store.Content(), "");
}

// The MAC search orders hardware addresses byte by byte from the first, every byte taken as
// unsigned; the index follows every change of the table (new lease, reassignment, free,
// smaller pool).
TEST(LeaseTable, MacSearchAfterEveryChange) {
    const uint8_t macs[][6] = {
        {0xFF, 0, 0, 0, 0, 0}, {0x80, 0, 0, 0, 0, 0},    {0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0, 0x80, 0, 0, 0, 0},
        {0, 0, 0, 0, 0, 0xFF}, {0, 0, 0, 0, 0x80, 0x01}, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06}};
    const uint8_t absent[][6] = {{0x80, 0, 0, 0, 0, 1}, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0, 0, 0, 0, 0, 0}};
    LeaseTable t;
    t.Configure(Ip("10.0.0.1"), 20, 60, false, nullptr);
    const size_t n = sizeof macs / sizeof macs[0];
    for (size_t i = 0; i < n; ++i)
        ASSERT_TRUE(t.Assign(nullptr, Ip(("10.0.0." + std::to_string(20 - i)).c_str()), macs[i], 6, 100));
    for (size_t i = 0; i < n; ++i) {
        DhcpLease* l = t.FindByMac(macs[i], 6);
        ASSERT_TRUE(l) << i;
        EXPECT_EQ(std::memcmp(l->mac, macs[i], 6), 0) << i;
    }
    for (const auto& m : absent) EXPECT_FALSE(t.FindByMac(m, 6));
    // A short hardware address is searched with zeros after it.
    const uint8_t shortMac[3] = {0x7F, 0x01, 0x02};
    ASSERT_TRUE(t.Assign(nullptr, Ip("10.0.0.1"), shortMac, 3, 100));
    const uint8_t padded[6] = {0x7F, 0x01, 0x02, 0, 0, 0};
    EXPECT_EQ(t.FindByMac(shortMac, 3), t.FindByMac(padded, 6));
    EXPECT_TRUE(t.FindByMac(shortMac, 3));
    // Reassigned to another client: found under the new MAC only.
    DhcpLease* moved = t.FindByMac(macs[1], 6);
    ASSERT_TRUE(moved);
    t.Assign(moved, moved->address, absent[0], 6, 200);
    EXPECT_FALSE(t.FindByMac(macs[1], 6));
    EXPECT_EQ(t.FindByMac(absent[0], 6), moved);
    // Freed: gone, the others still found.
    t.Free(t.FindByMac(macs[0], 6));
    EXPECT_FALSE(t.FindByMac(macs[0], 6));
    for (size_t i = 2; i < n; ++i) EXPECT_TRUE(t.FindByMac(macs[i], 6)) << i;
    // A smaller pool drops the leases of the highest addresses: 10.0.0.19 (the reassigned
    // lease) and 10.0.0.18.
    t.Resize(5);
    EXPECT_EQ(t.count(), 5);
    EXPECT_FALSE(t.FindByMac(absent[0], 6));
    EXPECT_FALSE(t.FindByMac(macs[2], 6));
    for (size_t i = 0; i < n; ++i) {
        DhcpLease* l = t.FindByMac(macs[i], 6);
        bool kept = false;
        for (int k = 0; k < t.count(); ++k) kept = kept || std::memcmp(t.at(k)->mac, macs[i], 6) == 0;
        EXPECT_EQ(l != nullptr, kept) << i;
        if (l) { EXPECT_EQ(std::memcmp(l->mac, macs[i], 6), 0) << i; }
    }
}

TEST(LeaseTable, SearchesAndFreeing) {
    LeaseTable t;
    t.Configure(Ip("10.0.0.1"), 20, 60, false, nullptr);
    int wakes = 0;
    t.SetWakeUp([&] { ++wakes; });
    for (uint8_t i = 0; i < 6; ++i) {
        const uint8_t mac[6] = {0, 0, 0, 0, 0, static_cast<uint8_t>(9 - i)};
        ASSERT_TRUE(t.Assign(nullptr, Ip(("10.0.0." + std::to_string(i + 1)).c_str()), mac, 6, 100));
    }
    const uint8_t smallest[6] = {0, 0, 0, 0, 0, 4};
    t.Free(t.FindByMac(smallest, 6));
    EXPECT_EQ(wakes, 1);
    for (uint8_t m = 5; m <= 9; ++m) {
        const uint8_t mac[6] = {0, 0, 0, 0, 0, m};
        EXPECT_TRUE(t.FindByMac(mac, 6)) << int(m);
    }
    bool expired = false;
    DhcpLease* l = t.FindByIp(Ip("10.0.0.2"), &expired, 100);
    ASSERT_TRUE(l);
    EXPECT_TRUE(expired);  // never acknowledged
    t.StampStartTime(l, 100);
    t.FindByIp(Ip("10.0.0.2"), &expired, 100 + 3599);
    EXPECT_FALSE(expired);
    t.FindByIp(Ip("10.0.0.2"), &expired, 100 + 3601);
    EXPECT_TRUE(expired);
    t.Free(nullptr);
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(formatMacText(smallest, 6, ':'), "00:00:00:00:00:04");
    EXPECT_EQ(parseLeaseTime("13/45/2020/99:00:00") == -1 || parseLeaseTime("13/45/2020/99:00:00") > 0, true);
    EXPECT_EQ(parseLeaseTime("x"), -1);
}

TEST(LeaseTable, RowsForTheConsole) {
    LeaseTable t;
    t.Configure(Ip("10.0.0.1"), 60, 60, false, nullptr);
    for (int i = 0; i < 55; ++i) {
        const uint8_t mac[6] = {2, 0, 0, 0, 0, static_cast<uint8_t>(i)};
        t.Assign(nullptr, Ip(("10.0.0." + std::to_string(i + 1)).c_str()), mac, 6, 100);
    }
    auto rows = t.Rows();
    EXPECT_EQ(rows.size(), 50u);
    EXPECT_STREQ(rows[0].address, "10.0.0.1");
    EXPECT_STREQ(rows[0].mac, "02:00:00:00:00:00");
}

}  // namespace
