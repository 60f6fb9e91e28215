// The network-card responder's workers under load: queries handed in from two threads while
// the table is withdrawn and loaded again. Every query is either answered or dropped with a
// log line, and no worker reads a table that is gone.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "_services/binl/binl_ncq.h"
#include "_services/binl/binl_prepare.h"
#include "_services/start_threads.h"
#include "tests/_services/binl/ris_fixture.h"

namespace {

TEST(BinlNcqWorkers, QueriesWhileTheTableChanges) {
    TempFolder root, temp;
    MakeRisAsset(root.path(), "XP_32");
    BinlContext ctx;
    ctx.root = root.path();
    ctx.computerName = "NIMBOSRV";
    ctx.tempFolder = temp.path() + "/";
    int count = 0;
    bool present = false;
    uint32_t stamp = 0;
    RisScanAssets(ctx, &count, &present, &stamp);
    ASSERT_EQ(BinlLoadRisAssetTable(ctx, count), 0);

    int server = LoopbackUdp(), client = LoopbackUdp();
    Datagram from;
    socklen_t len = sizeof from.peer;
    getsockname(client, reinterpret_cast<sockaddr*>(&from.peer), &len);
    ThreadSlots[TH_BINL].running = 1;
    RisTableUnavailable = 0;

    LogCapture log(LOG_BINL);
    const std::string ori = "\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32";
    NcqHeader h{};
    std::memcpy(h.signature, kNcqSignature, 4);
    h.vendor = 0x8086;
    h.device = 0x1229;
    h.oriSrcLength = int16_t(ori.size());
    const std::string query = std::string(reinterpret_cast<const char*>(&h), sizeof h) + ori;
    constexpr int kPerThread = 40;
    std::atomic<bool> stop{false};
    std::thread reloader([&] {
        while (!stop) {
            BinlFreeRisAssetTable();
            BinlLoadRisAssetTable(ctx, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    });
    auto sender = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            std::string d = query;
            EXPECT_EQ(BinlHandleMessage(reinterpret_cast<uint8_t*>(d.data()), d.size(), from, server), 1);
        }
    };
    std::thread a(sender), b(sender);
    a.join();
    b.join();
    for (int i = 0; i < 1000 && BinlActiveWorkers() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stop = true;
    reloader.join();
    EXPECT_EQ(BinlActiveWorkers(), 0);

    int answers = 0;
    pollfd p{client, POLLIN, 0};
    while (poll(&p, 1, 200) == 1) {
        char buf[2048];
        if (recv(client, buf, sizeof buf, 0) >= 4 && std::memcmp(buf, kNcrSignature, 4) == 0) ++answers;
    }
    int dropped = 0;
    for (const std::string& l : log.Lines()) dropped += l.find("Too many network-card queries") != std::string::npos;
    EXPECT_EQ(answers + dropped, 2 * kPerThread);
    EXPECT_GT(answers, 0);

    ThreadSlots[TH_BINL].running = 0;
    RisTableUnavailable = 1;
    BinlFreeRisAssetTable();
    close(server);
    close(client);
}

}  // namespace
