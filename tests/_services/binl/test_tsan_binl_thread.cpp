// The BINL thread run through the service host's thread table: it prepares the root,
// publishes the boot-program flags while other threads read the DHCP settings, and ends
// when its row is stopped.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_service.h"
#include "_services/dhcp/dhcp_leases.h"
#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/dhcp/dhcp_thread.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "tests/_services/binl/binl_test_util.h"
#include "tests/_services/binl/ris_fixture.h"

namespace {

// Slow storage: while armed, every flush of a file to disk takes this long first (calls
// from the program's own code reach these definitions before the C library's).
std::atomic<int> g_flushDelayMs{0};
std::atomic<int> g_flushes{0};

void SlowFlush() {
    g_flushes.fetch_add(1);
    if (int ms = g_flushDelayMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

extern "C" int fsync(int fd) {
    SlowFlush();
    return static_cast<int>(syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
    SlowFlush();
    return static_cast<int>(syscall(SYS_fdatasync, fd));
}

namespace {

// The services and the TFTP root of a run; TEMP names the temporary folder.
void UseServices(uint32_t mask, const TempFolder& root, const TempFolder& temp, int persistentLeases = 0) {
    setenv("TEMP", temp.path().c_str(), 1);
    SettingsUpdate([&](GlobalSettings& g) {
        g.NIMBO_Services = static_cast<int32_t>(mask);
        g.DHCP_PersistantLeases = persistentLeases;
        std::memset(g.TFTP_RootDirectory, 0, sizeof g.TFTP_RootDirectory);
        std::strncpy(g.TFTP_RootDirectory, root.path().c_str(), sizeof g.TFTP_RootDirectory - 1);
    });
}

TEST(BinlThread, PreparesPublishesAndStops) {
    TempFolder root, temp;
    UseServices(SVC_TFTP_SERVER | SVC_PDHCP | SVC_BINL, root, temp);
    std::string list = BuildDefaultLists().biosEfi;
    DhcpConfig cfg;
    LoadDhcpConfig(
        &cfg,
        [&](const char* key, void* field, int size, int) {
            if (!std::strcmp(key, "DHCP_BootFile"))
                std::strncpy(static_cast<char*>(field), list.c_str(), size_t(size) - 1);
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

// After a restart with many stored leases on slow storage, the DHCP settings are published
// late: the preparation waits for them instead of stopping on a boot-file list it has not
// been given yet.
TEST(BinlThread, WaitsForTheDhcpSettingsOfManyStoredLeases) {
    const int kLeases = 1000;
    TempFolder root, temp, conf;
    UseServices(SVC_TFTP_SERVER | SVC_DHCP | SVC_BINL, root, temp, 1);
    // Stored leases and one outside the pool, which the load drops and so rewrites the
    // stored table.
    std::string ini = "[DHCP]\nDHCP_IP_Pool=10.20.0.10\nDHCP_PoolSize=1200\nDHCP_IP_Mask=/16\nDHCP_BootFile=" +
                      BuildDefaultLists().biosEfi + "\nDHCP_Lease_NumLeases=" + std::to_string(kLeases + 1) + "\n";
    for (int i = 0; i <= kLeases; ++i) {
        char lease[256];
        const int host = i < kLeases ? 10 + i : 5;  // 10.20.0.5 lies outside the pool
        std::snprintf(lease, sizeof lease,
                      "DHCP_Lease_%dDHCP_MAC=02:00:00:00:%02x:%02x\nDHCP_Lease_%dDHCP_IP=10.20.%d.%d\n"
                      "DHCP_Lease_%dDHCP_InitialOfferTime=11/14/2023/22:13:20\n"
                      "DHCP_Lease_%dDHCP_LeaseStartTime=11/14/2023/22:16:40\n",
                      i, (i >> 8) & 0xFF, i & 0xFF, i, host >> 8, host & 0xFF, i, i);
        ini += lease;
    }
    WriteFile(conf / "nimbo.ini", ini);
    SetIniPath(conf / "nimbo.ini");
    ASSERT_FALSE(DhcpSettingsPublished());  // a fresh start: nothing published yet

    LogCapture log(LOG_BINL);
    RegisterBinlService();
    ASSERT_EQ(StartThread(TH_BINL), 1);
    // The DHCP thread's load, on storage whose first flush takes 4 s.
    g_flushDelayMs = 4000;
    std::thread loader([] { loadDhcpSettings(); });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(150);
    while (std::chrono::steady_clock::now() < deadline && g_flushes.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_flushDelayMs = 0;  // later flushes at the storage's own pace
    loader.join();
    EXPECT_GT(g_flushes.load(), 0);
    {
        LeaseTable& t = DhcpLeaseTable();
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        EXPECT_EQ(t.count(), kLeases);
    }
    while (std::chrono::steady_clock::now() < deadline &&
           !(DhcpSettingsSnapshot()->rec.BootFileTable.rows[0].present == 1 && BinlPreparationCount.load() == 0))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(BinlPreparationCount.load(), 0);
    EXPECT_EQ(uint32_t{DhcpSettingsSnapshot()->rec.BootFileTable.rows[0].present}, 1u);
    EXPECT_FALSE(log.Has("BINL Err: ABORT"));
    EXPECT_FALSE(log.Has("stopped"));
    StopThreads(1);
    EXPECT_FALSE(DhcpSettingsPublished());  // the next start waits for a new load
    unsetenv("TEMP");
}

// A preparation that stops says why in the log.
TEST(BinlThread, GivesUpWaitingWithALogLineAndLogsTheStop) {
    TempFolder root, temp;
    UseServices(SVC_TFTP_SERVER | SVC_DHCP | SVC_BINL, root, temp);
    // Nothing loaded: not even what an earlier test of this program left published.
    DhcpSettingsPublish(DhcpConfig{});
    DhcpSettingsClearPublished();
    LogCapture log(LOG_BINL);
    EXPECT_FALSE(BinlWaitForDhcpSettings(300, [] { return true; }));
    EXPECT_TRUE(log.Has("BINL Err: DHCP settings not loaded after 0 s; preparing without waiting further"));
    BinlRun run;
    EXPECT_EQ(BinlPrepare(&run), -1);
    EXPECT_TRUE(log.Has("BINL Err: ABORT, DHCP \"Boot File\" is not correct"));
    EXPECT_TRUE(
        log.Has("BINL Err: Preparation/Maintenance procedures stopped: the DHCP settings are not loaded; "
                "DHCP requests stay on hold until the services restart"));
    // Stopped from outside while it waits: no wait at all.
    EXPECT_FALSE(BinlWaitForDhcpSettings(60000, [] { return false; }));
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
