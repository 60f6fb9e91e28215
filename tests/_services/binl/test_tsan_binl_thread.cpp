// The BINL thread run through the service host's thread table: it prepares the root,
// publishes the boot-program flags while other threads read the DHCP settings, and ends
// when its row is stopped.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "binl_files.h"
#include "binl_prepare.h"
#include "binl_service.h"
#include "binl_test_util.h"
#include "ris_fixture.h"
#include "dhcp_settings.h"
#include "settings.h"
#include "start_threads.h"

namespace {

TEST(BinlThread, PreparesPublishesAndStops) {
    TempDir root, temp;
    setenv("TEMP", temp.path().c_str(), 1);
    SettingsUpdate([&](GlobalSettings& g) {
        g.NIMBO_Services = SVC_TFTP_SERVER | SVC_PDHCP | SVC_BINL;
        std::memset(g.TFTP_RootDirectory, 0, sizeof g.TFTP_RootDirectory);
        std::strncpy(g.TFTP_RootDirectory, root.path().c_str(), sizeof g.TFTP_RootDirectory - 1);
    });
    std::string list = BuildDefaultLists().biosEfi;
    DhcpConfig cfg;
    LoadDhcpConfig(
        &cfg,
        [&](const char* key, void* field, int size, int) {
            if (!std::strcmp(key, "DHCP_BootFile")) std::strncpy(static_cast<char*>(field), list.c_str(), size_t(size) - 1);
        },
        SVC_PDHCP | SVC_BINL, "", [](const std::string&, uint64_t*) { return false; });
    DhcpSettingsPublish(cfg);

    // A reader in the way a request handler reads: snapshots, while the count is zero.
    std::atomic<bool> stop{false};
    std::atomic<int> sawRaised{0};
    std::thread reader([&] {
        while (!stop) {
            if (BinlPreparationCount.load() != 0) sawRaised = 1;
            auto s = DhcpSettingsSnapshot();
            volatile uint32_t p = s->rec.BootFileTable.rows[0].present;
            (void)p;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    // A RIS asset: its driver table turns the network-card responder on.
    MakeRisAsset(root.path(), "XP32");
    RegisterBinlService();
    ASSERT_EQ(StartThread(TH_BINL), 1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (std::chrono::steady_clock::now() < deadline &&
           !(DhcpSettingsSnapshot()->rec.BootFileTable.rows[0].present == 1 && BinlPreparationCount.load() == 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(uint32_t{DhcpSettingsSnapshot()->rec.BootFileTable.rows[0].present}, 1u);
    EXPECT_EQ(BinlPreparationCount.load(), 0);
    EXPECT_EQ(sawRaised.load(), 1);
    EXPECT_TRUE(IsRegularFile(root / "BM/PXENIMBO/BIOS/pxenimbo.0"));
    EXPECT_EQ(RisTableUnavailable.load(), 0);

    StopThreads(1);
    EXPECT_FALSE(IsRowRunning(TH_BINL));
    EXPECT_EQ(RisTableUnavailable.load(), 1);
    stop = true;
    reader.join();
    unsetenv("TEMP");
}

TEST(BinlThread, StopDuringTheStartPauseEndsAtOnce) {
    RegisterBinlService();
    ASSERT_EQ(StartThread(TH_BINL), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    StopThreads(1);
    // Ended within the stop's own wait: the row's thread has been joined already.
    EXPECT_TRUE(JoinThreadRow(TH_BINL, 0));
    EXPECT_EQ(BinlPreparationCount.load(), 0);
}

}  // namespace
