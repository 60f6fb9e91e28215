#include "_services/dhcp/mac_vendor.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

// Lease and event lines are formatted on several threads while the DHCP thread loads and
// releases the tables.
TEST(MacVendorThreads, FormatWhileLoadingAndReleasing) {
    nimbo::test::TempFolder dir("nimbo-vendor-tsan-");
    const std::string path = dir.Write("Nimbo.evc", "00:00:0C\tCisco\n00:55:DA:10:00:00/28\tOurs28\n");

    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t) {
        readers.emplace_back([&] {
            const uint8_t mac[6] = {0x00, 0x00, 0x0C, 0x12, 0x34, 0x56};
            for (int i = 0; i < 20000 && !stop.load(); ++i) {
                std::string s = formatMacWithVendor(mac);
                ASSERT_TRUE(s == "Cisco/00:00:0C:12:34:56" || s == "00:00:0C:12:34:56") << s;
                std::string name = LookupMacVendor(mac);
                ASSERT_TRUE(name == "Cisco" || name.empty()) << name;
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        loadMacVendorNamesFrom(path.c_str(), "/nonexistent/NimboDHCP_mac_evc.def", i & 1);
        freeMacVendorTables();
    }
    stop = true;
    for (auto& t : readers) t.join();
}

}  // namespace
