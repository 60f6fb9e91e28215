// The live settings and the lease table shared by the DHCP, Console and BINL threads.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/_services/dhcp/dhcp_test_util.h"

namespace {

TEST(DhcpShared, SettingsSnapshotsWhileBinlWritesSizes) {
    DhcpConfig cfg;
    cfg.rec.DHCP_PoolSize = 3;
    DhcpSettingsPublish(cfg);
    std::atomic<bool> stop{false};
    std::thread binl([&] {
        for (uint32_t i = 1; i <= 2000; ++i)
            DhcpSettingsUpdate([i](DhcpSettings& s) {
                s.BootFileTable.rows[0].sizeBlocks = i;
                s.BootFileTable.rows[0].present = 1;
            });
        stop = true;
    });
    uint32_t last = 0;
    while (!stop) {
        auto snap = DhcpSettingsSnapshot();
        uint32_t now = snap->rec.BootFileTable.rows[0].sizeBlocks;
        EXPECT_GE(now, last);
        last = now;
        EXPECT_EQ(+snap->rec.DHCP_PoolSize, 3);
    }
    binl.join();
    EXPECT_EQ(+DhcpSettingsRecord().BootFileTable.rows[0].sizeBlocks, 2000u);
}

TEST(DhcpShared, ConsoleFreesLeasesWhileRequestsRun) {
    SetDhcpLogSink(nullptr);
    DhcpConfig cfg;
    cfg.rec.PoolStart = Ip("10.1.0.1");
    cfg.rec.DHCP_PoolSize = 50;
    cfg.rec.DHCP_LeaseTime = 60;
    cfg.rec.NextServer = 0xFFFFFFFFu;
    LeaseTable leases;
    leases.Configure(cfg.rec.PoolStart, 50, 60, false, nullptr);
    std::atomic<bool> stop{false};
    std::thread console([&] {
        while (!stop) {
            for (int i = 1; i <= 50; ++i) {
                std::lock_guard<std::recursive_mutex> lock(leases.mutex());
                if (DhcpLease* l = leases.FindByIp(Ip(("10.1.0." + std::to_string(i)).c_str()), nullptr, 0))
                    leases.Free(l);
            }
        }
    });
    DhcpEnv env;
    env.cfg = &cfg;
    env.servicesMask = SVC_DHCP;
    env.leases = &leases;
    env.now = 1700000000;
    for (int round = 0; round < 300; ++round) {
        Packet p = MakeRequest(1, static_cast<uint8_t>(round % 40), {});
        size_t len = 0;
        processDhcpRequest(env, 67, p.data(), &len);
        Packet r = MakeRequest(3, static_cast<uint8_t>(round % 40), {});
        std::memcpy(r.data() + kOffCiaddr, p.data() + kOffYiaddr, 4);
        processDhcpRequest(env, 67, r.data(), &len);
    }
    stop = true;
    console.join();
    std::lock_guard<std::recursive_mutex> lock(leases.mutex());
    EXPECT_LE(leases.count(), 50);
}

}  // namespace
