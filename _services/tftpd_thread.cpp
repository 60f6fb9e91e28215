// The TFTP service thread: accepts requests on the service socket, keeps the transfer
// list, starts one worker per transfer, reports progress and stops transfers.
#include "_services/tftpd_thread.h"

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/tftp_errsim.h"
#include "_services/tftp_protocol.h"
#include "_services/tftp_worker.h"
#include "_services/tftpd_service.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

namespace {

constexpr size_t kMaxTransfers = 1000;
constexpr int kDefaultMainLoopWait = 2000;

// The list is shared by the TFTP thread (appends, removals), the workers (their socket)
// and the Console thread (request 200); every access holds this mutex briefly.
std::mutex g_listMutex;
std::list<std::shared_ptr<TftpTransfer>> g_list;
std::atomic<uint32_t> g_nextNumber{467};

// The last accepted request, for the duplicate guard (TFTP thread only).
struct LastRequest {
    uint8_t bytes[kTftpRequestSize];
    size_t length = 0;
    sockaddr_in client{};
    time_t second = 0;
} g_lastRequest;

void SendNotice(uint32_t id, const void* data, size_t length) { ToConsole(id, data, length, true); }

void RaiseFileLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

void LoadErrorSimulator(const GlobalSettings& s) {
    char text[sizeof s.TFTP_ErrorSimulator + 1] = {};
    memcpy(text, s.TFTP_ErrorSimulator, sizeof s.TFTP_ErrorSimulator);
    ErrorSimulatorRecord rec{};
    if (text[0]) ErrSimParse(text, &rec);
    ErrSimSetLiveRecord(rec);
}

// True when the request repeats the last accepted one (same bytes, same client, arrived in
// the same second): the client sent it again before the first answer reached it, and the
// transfer that serves the first copy answers it. The copy is dropped at once. The second is
// the datagram's arrival (the kernel's stamp), not the moment this thread reads it: a thread
// held up under load reads the two copies in different seconds.
bool TftpDuplicateGuard(const sockaddr_in& client, const uint8_t* request, size_t length, const timespec& arrival) {
    const time_t now = arrival.tv_sec ? arrival.tv_sec : time(nullptr);
    LastRequest& last = g_lastRequest;
    if (length == last.length && !memcmp(request, last.bytes, length) &&
        client.sin_addr.s_addr == last.client.sin_addr.s_addr && client.sin_port == last.client.sin_port &&
        now == last.second) {
        if (TftpClientLineWanted(client.sin_addr.s_addr, 1))
            LogLine(LOG_TFTP, 1, "TFTP Warn: received duplicated request from %s:%d", IPv4Text(client.sin_addr).c_str(),
                    ntohs(client.sin_port));
        return true;
    }
    memcpy(last.bytes, request, length);
    last.length = length;
    last.client = client;
    last.second = now;
    return false;
}

void TftpInitTransfer(TftpTransfer* t, size_t othersInList) {
    t->settings = SettingsSnapshot();
    t->timeout = t->settings.TFTP_Timeout > 0 ? static_cast<uint32_t>(t->settings.TFTP_Timeout) : 3;
    t->blockSize = kTftpDefaultBlockSize;
    t->number = g_nextNumber.fetch_add(1);
    t->oackPort = 0;
    t->windowStart = 0;
    t->startTime = static_cast<int64_t>(time(nullptr));
    t->state.store(TRANSFER_RUNNING);
    t->activeAtStart = static_cast<uint32_t>(othersInList);
    t->md5On = t->settings.TFTP_MD5File != 0;
    TftpClientLog(t, 9, "TFTP Inf: Transfert #%u", t->number);
}

int TftpAcceptRequest(int sock) {
    size_t count;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        count = g_list.size();
    }
    if (count >= kMaxTransfers) {
        uint8_t drop[kTftpRequestSize];
        Datagram info;
        if (RecvDatagram(sock, drop, sizeof drop, &info, MSG_DONTWAIT) >= 0 &&
            TftpClientLineWanted(info.peer.sin_addr.s_addr, 1))
            LogLine(LOG_TFTP, 1, "TFTP Err: max # of threads reached, connection from %s dropped",
                    IPv4Text(info.peer.sin_addr).c_str());
        return -1;
    }
    // An empty datagram is dropped at once: no transfer record, no thread, no reply.
    char probe;
    if (recv(sock, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT) == 0) {
        recv(sock, &probe, 0, MSG_DONTWAIT);
        return 1;
    }
    std::shared_ptr<TftpTransfer> t;
    try {
        t = std::make_shared<TftpTransfer>();
    } catch (...) {
        uint8_t drop[kTftpRequestSize];
        recv(sock, drop, sizeof drop, MSG_DONTWAIT);
        return 1;
    }
    Datagram info;
    ssize_t n = RecvDatagram(sock, t->request, sizeof t->request, &info, MSG_DONTWAIT);
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            LogLine(LOG_TFTP, 0, "TFTP Err: RecvFrom returns %d: <%s>", errno, LastErrorText());
        return 1;
    }
    t->requestLength = static_cast<size_t>(n);
    t->client = info.peer;
    t->local = info.local;
    t->ifindex = info.ifindex;
    if (TftpDuplicateGuard(t->client, t->request, t->requestLength, info.arrival)) return 1;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        TftpInitTransfer(t.get(), g_list.size());
        g_list.push_back(t);
    }
    t->busy.store(1);
    TftpTransfer* raw = t.get();
    if (!t->thread.Start([t] { TftpWorkerThread(t.get()); })) {
        std::lock_guard<std::mutex> lock(g_listMutex);
        g_list.remove(t);
        return 1;
    }
    DebugTrace("TFTP Inf: Thread transfer %u started (record %p)\n", raw->number, static_cast<void*>(raw));
    TftpClientLog(raw, 9, "TFTP Inf: thread %u started", raw->number);
    return 1;
}

// Frees every record whose worker has left.
void RemoveFinished() {
    std::vector<std::shared_ptr<TftpTransfer>> done;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        for (auto it = g_list.begin(); it != g_list.end();) {
            if (!(*it)->busy.load()) {
                done.push_back(*it);
                it = g_list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& t : done) {
        t->thread.Join(-1);
        TftpClientLog(t, 9, "TFTP Inf: thread %u has exited", t->threadId);
        DebugTrace("TFTP Inf: removing thread %u (%p)\n", t->threadId, static_cast<void*>(t.get()));
    }
}

// Sends ERROR 99 (TFTP_ECANCELED) to the client, marks the transfer stopped and wakes its worker.
// Called with the list mutex held.
void StopLocked(TftpTransfer* t, bool markState) {
    if (t->sock >= 0 && !t->stop.load()) TftpSendError(t, TFTP_ECANCELED);
    if (markState) t->state.store(TRANSFER_STOPPED);
    t->stop.store(true);
    if (t->sock >= 0) shutdown(t->sock, SHUT_RDWR);
}

}  // namespace

void TftpPublishTransferSocket(TftpTransfer* t, int sock) {
    std::lock_guard<std::mutex> lock(g_listMutex);
    t->sock = sock;
    if (t->stop.load()) shutdown(sock, SHUT_RDWR);
}

void TftpCloseTransferSocket(TftpTransfer* t) {
    std::lock_guard<std::mutex> lock(g_listMutex);
    if (t->sock >= 0) close(t->sock);
    t->sock = -1;
}

void TftpReportStart(TftpTransfer* t) {
    TransferRecord rec{};
    rec.transferNumber = t->number;
    rec.stats = TftpStatsOf(*t);
    rec.opcode = t->opcode;
    rec.client.family = AF_INET;
    rec.client.portBE = t->client.sin_port;
    rec.client.addrBE = t->client.sin_addr.s_addr;
    snprintf(rec.fileName, sizeof rec.fileName, "%s", EscapePeerText(t->fileName, sizeof rec.fileName - 1).c_str());
    SendNotice(NOTICE_TRANSFER_BEGIN, &rec, sizeof rec);
    DebugTrace("TFTP Inf: starting transfer %u\n", t->number);
}

void TftpReportEnd(TftpTransfer* t) {
    TransferEndRecord rec{};
    rec.transferNumber = t->number;
    rec.stats = TftpStatsOf(*t);
    SendNotice(NOTICE_TRANSFER_END, &rec, sizeof rec);
    DebugTrace("TFTP Inf: end of transfer %u\n", t->number);
}

void TftpReportProgress() {
    static TransferStatsNotice notice;  // TFTP thread only
    uint32_t n = 0;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        for (const auto& t : g_list) {
            if (n >= kMaxStatsEntries) break;
            if (!t->busy.load()) continue;
            notice.entries[n].transferNumber = t->number;
            notice.entries[n].stats = TftpStatsOf(*t);
            ++n;
        }
    }
    notice.count = n;
    notice.now = static_cast<int64_t>(time(nullptr));
    SendNotice(NOTICE_TRANSFER_STATS, &notice, TransferStatsNoticeSize(n));
}

size_t TftpTransferCount() {
    std::lock_guard<std::mutex> lock(g_listMutex);
    return g_list.size();
}

void TftpStopTransfer(uint32_t transferNumber) {
    std::lock_guard<std::mutex> lock(g_listMutex);
    for (auto& t : g_list) {
        if (t->number == transferNumber && t->busy.load()) {
            StopLocked(t.get(), true);
            break;
        }
    }
}

void TftpThread() {
    ThreadSlot& slot = ThreadSlots[TH_TFTP];
    const GlobalSettings start = SettingsSnapshot();
    RaiseFileLimit();
    LoadErrorSimulator(start);
    EnableArrivalStamps(slot.socket);  // for the duplicate guard
    const int wait = start.TftpMainLoopWait > 0 ? start.TftpMainLoopWait : kDefaultMainLoopWait;

    while (slot.running.load()) {
        int r = WaitAny(slot.socket, slot.event, wait);
        if (!slot.running.load()) break;
        if (r & WAIT_FAILED) {
            LogLine(LOG_TFTP, 1, "TFTP Err: WaitForMultipleObjects error %d", errno);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (r == 0) {
            TftpReportProgress();
            continue;
        }
        if (r & WAIT_STOP) RemoveFinished();
        if (r & WAIT_READY) TftpAcceptRequest(slot.socket);
    }

    DebugTrace("TFTP Inf: signaling worker threads\n");
    std::vector<std::shared_ptr<TftpTransfer>> all;
    {
        std::lock_guard<std::mutex> lock(g_listMutex);
        for (auto& t : g_list) {
            if (t->busy.load()) StopLocked(t.get(), false);
            all.push_back(t);
        }
    }
    DebugTrace("TFTP Inf: waiting for worker threads\n");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    for (auto& t : all) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        bool ended = t->thread.Join(static_cast<int>(std::max<long long>(left, 100)));
        DebugTrace("TFTP Inf: End of thread %u\n", t->threadId);
        if (!ended) t->thread.Detach();  // it holds its own reference and ends on its stop flag
        std::lock_guard<std::mutex> lock(g_listMutex);
        g_list.remove(t);
    }
    DebugTrace("Thread Inf: TFTP thread ends here\n");
}

void RegisterTftpService() {
    RegisterThreadFunction(TH_TFTP, TftpThread);
    ConsoleHooks().stopTransfer = TftpStopTransfer;
}
