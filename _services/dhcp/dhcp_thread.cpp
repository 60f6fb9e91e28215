// The DHCP (port 67) and proxyDHCP (port 4011) service threads: receive, filter, pick the
// reply destination, fill the server identifier and siaddr, send.
#include "_services/dhcp/dhcp_thread.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "_services/dhcp/dhcp_accept.h"
#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_probe.h"
#include "_services/dhcp/dhcp_request.h"
#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/dhcp/mac_vendor.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/clock.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

namespace {

// Serialises the proxy handler between the two threads; lives as long as the process.
std::mutex g_requestLock;
LeaseTable g_leases;

uint32_t ParseLocal(const char* text, size_t size) {
    std::string t(text, strnlen(text, size));
    in_addr a{};
    return !t.empty() && ParseIPv4(t.c_str(), &a) ? a.s_addr : 0;
}

// How long the host name and the interface list are used before they are read again.
constexpr int64_t kHostViewAgeMs = 1000;

// The host name, read again when older than kHostViewAgeMs at nowMs (MonotonicMs; a system
// call per batch of requests otherwise). *ok is false when it cannot be read.
std::string HostName(bool* ok, int64_t nowMs = MonotonicMs()) {
    static std::mutex lock;
    static int64_t readAt = -1;
    static bool known = false;
    static std::string name;
    std::lock_guard<std::mutex> guard(lock);
    if (readAt < 0 || nowMs - readAt >= kHostViewAgeMs) {
        char b[129];
        known = gethostname(b, 128) == 0;
        b[128] = 0;
        name = known ? b : "";
        readAt = nowMs;
    }
    *ok = known;
    return name;
}

// The host's addresses and MACs. Every request looks at them and the system query costs
// more than the request itself: a list is read again only when older than kHostViewAgeMs, and
// a batch of requests takes one list for all of them (one lock, one clock reading).
struct HostInterfaces {
    std::vector<InterfaceAddress> addresses;
    std::vector<std::array<uint8_t, 6>> macs;
};
struct InterfaceCache {
    std::mutex lock;
    int64_t readAt = -1;
    std::shared_ptr<const HostInterfaces> current;
};
InterfaceCache g_interfaces;

std::shared_ptr<const HostInterfaces> CurrentInterfaces(int64_t nowMs) {
    std::lock_guard<std::mutex> guard(g_interfaces.lock);
    if (!g_interfaces.current || nowMs - g_interfaces.readAt >= kHostViewAgeMs) {
        auto fresh = std::make_shared<HostInterfaces>();
        fresh->addresses = ListInterfaceAddresses();
        fresh->macs = ListLocalMacs();
        g_interfaces.current = std::move(fresh);
        g_interfaces.readAt = nowMs;
    }
    return g_interfaces.current;
}

int MacIsLocal(const HostInterfaces& host, const uint8_t mac[6]) {
    for (const auto& m : host.macs)
        if (std::memcmp(m.data(), mac, 6) == 0) return 1;
    return 0;
}

// The interface list of the batch this thread is answering (nullptr between batches): the
// own-MAC check of the early drops reads it instead of the shared cache.
thread_local const HostInterfaces* t_batchInterfaces = nullptr;

int BatchMacIsLocal(const uint8_t mac[6]) {
    return t_batchInterfaces ? MacIsLocal(*t_batchInterfaces, mac) : isMACLocal(mac);
}

// The owners of declined addresses are asked for here, one at a time, so that the ARP
// wait (about a second each) never holds up a request. A few addresses wait at most; more
// DECLINEs while they do are not checked.
class DeclineChecker {
public:
    void Start();
    void Stop();
    void Post(uint32_t address);

private:
    void Run();
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<uint32_t> waiting_;
    bool stop_ = false;
    std::thread thread_;
};
DeclineChecker g_declines;
constexpr size_t kDeclinesWaiting = 8;

// eventsWait: each event notice waits until it is written to the desktop. Without it the
// events of a batch are queued and the thread goes on at once: the DHCP thread never waits
// for the desktop (when the console queue is full, notices are dropped, not requests).
DhcpEnv MakeEnv(const DhcpConfig* cfg, const GlobalSettings& g, int ifindex, const std::string& hostName,
                bool eventsWait = true) {
    DhcpEnv env;
    env.cfg = cfg;
    env.servicesMask = static_cast<uint32_t>(g.NIMBO_Services);
    env.pingAddress = g.DHCP_PingAddress != 0;
    env.dhcpLocalIp = ParseLocal(g.DHCP_LocalIP, sizeof g.DHCP_LocalIP);
    env.tftpLocalIp = ParseLocal(g.TFTP_LocalIP, sizeof g.TFTP_LocalIP);
    env.syslogLocalIp = ParseLocal(g.SYS_LOGLocalIP, sizeof g.SYS_LOGLocalIP);
    env.hostName = hostName;
    env.leases = &g_leases;
    env.now = static_cast<int64_t>(time(nullptr));
    env.probe = ProbeAddressInUse;
    env.checkDeclined = [](uint32_t address) { g_declines.Post(address); };
    env.serverAddressForClient = [ifindex](uint32_t client, bool strict) {
        return findServerAddressForClient(client, strict, ifindex);
    };
    env.sendEvent = [eventsWait](const DhcpEventRecord& ev) {
        ToConsole(NOTICE_DHCP_EVENT, &ev, sizeof ev, eventsWait);
    };
    return env;
}

void DeclineChecker::Start() {
    std::lock_guard<std::mutex> lock(m_);
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void DeclineChecker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
        waiting_.clear();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void DeclineChecker::Post(uint32_t address) {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (stop_ || !thread_.joinable() || waiting_.size() >= kDeclinesWaiting) return;
        if (std::find(waiting_.begin(), waiting_.end(), address) != waiting_.end()) return;
        waiting_.push_back(address);
    }
    cv_.notify_one();
}

void DeclineChecker::Run() {
    for (;;) {
        uint32_t address;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return stop_ || !waiting_.empty(); });
            if (stop_) return;
            address = waiting_.front();
            waiting_.pop_front();
        }
        uint8_t owner[6];
        if (!ArpOwner(address, owner)) continue;
        auto cfg = DhcpSettingsSnapshot();
        bool ok;
        DhcpEnv env = MakeEnv(cfg.get(), *SettingsShared(), 0, HostName(&ok));
        recordDeclinedAddress(env, address, owner);
    }
}

// The host name that the sname field of a request is compared with ("NimboDHCP" when
// unknown); read only for a request that names a server.
std::string ShortHostName() {
    bool ok;
    std::string h = HostName(&ok);
    if (!ok) h = "NimboDHCP";
    size_t dot = h.find('.');
    return dot == std::string::npos ? h : h.substr(0, dot);
}

// Waits for a datagram or the row's event: 0 time-out, 1 woken, 2 a datagram is waiting.
int WaitDatagram(int row) {
    ThreadSlot& slot = ThreadSlots[row];
    int r = WaitAny(slot.socket, slot.event, 1000);
    if (r == 0 || (r & WAIT_FAILED)) return 0;
    return (r & WAIT_READY) ? 2 : 1;
}

// Requests are read and answered in batches: one wake-up and one system call for all the
// datagrams waiting (up to kRequestBatch), one more for all their replies. Each datagram
// keeps its own arrival interface and address; each reply its own way out. A read that
// filled the batch is followed by the next read at once, without waiting in poll first: more
// requests are almost always waiting then.
constexpr int kRequestBatch = 32;
static_assert(kRequestBatch <= kDatagramBatch);
// Receive buffer of the two sockets: a burst of a few thousand requests waits rather than
// being dropped by the kernel.
constexpr int kReceiveBufferBytes = 4 << 20;
// Send buffer of the two sockets. A reply to an address that does not answer address
// resolution stays charged to the socket until the kernel gives up on it (about 3 s); the
// kernel holds at most about 200 KB of such replies per address, so a larger buffer keeps a
// few unreachable clients from taking all of it. Replies never wait for room: one the buffer
// cannot take is dropped and counted.
constexpr int kSendBufferBytes = 4 << 20;

void EnlargeBuffers(int sock) {
    int size = kReceiveBufferBytes;
    // Beyond the system's limit only with the privilege; else as much as the limit allows.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    size = kSendBufferBytes;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size) != 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

// Replies dropped because the socket's send buffer was full: since the start of the program,
// and since the last line that told of them.
std::atomic<uint64_t> g_repliesDropped{0};
std::atomic<uint64_t> g_droppedUntold{0};
// Lines about replies that could not be sent: one a second per destination and for the
// dropped replies together, a few a second in all.
LogRateGate g_sendErrorLines(1, 5);
constexpr uint64_t kDroppedLineKey = ~0ull;

// What the early drops of a datagram to port (67 or 4011) need of the host.
DhcpAcceptInput AcceptInput(uint16_t port, bool proxy, const DhcpConfig* cfg) {
    DhcpAcceptInput in;
    in.port = port;
    in.proxyMode = proxy;
    in.binlPreparing = BinlPreparationCount.load() != 0;
    in.leaseCapacity = g_leases.capacity();
    in.settings = cfg ? &cfg->rec : nullptr;
    in.hostName = ShortHostName;
    in.isLocalMac = BatchMacIsLocal;
    return in;
}

// A datagram longer than a request: its line counts against its sender's budget (the
// request's DhcpPeerScope is open).
void TruncatedDatagram(const char* p) {
    if (LogWanted(LOG_DHCP, 1) && DhcpPeerMayLog(1))
        LogLine(LOG_DHCP, 1, "%sDHCP Err: recvfrom() error %d", p, EMSGSIZE);
}

// The tail of a send-error line that follows lines held back by the rate gate.
std::string SuppressedNote(unsigned suppressed) {
    return suppressed ? " (" + std::to_string(suppressed) + " lines suppressed)" : std::string();
}

class RequestBatch {
public:
    RequestBatch() : storage_(kRequestBatch * kDhcpBufferSize) {
        for (int i = 0; i < kRequestBatch; ++i) bufs_[i] = storage_.data() + i * kDhcpBufferSize;
    }

    // Reads the datagrams waiting on the row's socket, each into a buffer of kDhcpBufferSize
    // bytes that is 0 beyond the datagram. Returns how many; 0 when there is nothing (a
    // receive error is logged, then a pause). A truncated datagram gets length -1 (its line
    // is written with the request's, see TruncatedDatagram). p is "P" for the proxy thread's
    // lines.
    int Receive(int row, const char* p) {
        for (int i = 0; i < used_; ++i) std::memset(bufs_[i], 0, kDhcpBufferSize);
        used_ = 0;
        int n = RecvDatagrams(ThreadSlots[row].socket, bufs_, kDhcpBufferSize, lengths_, infos_, kRequestBatch,
                              MSG_DONTWAIT);
        if (n < 0) {
            int err = errno;
            if (err == EAGAIN || err == ECONNREFUSED) return 0;
            LogLine(LOG_DHCP, 1, "%sDHCP Err: recvfrom() error %d", p, err);
            SleepWhileRunning(row, 500);
            return 0;
        }
        used_ = n;
        for (int i = 0; i < n; ++i)
            if (infos_[i].truncated) lengths_[i] = -1;
        return n;
    }

    uint8_t* buf(int i) { return bufs_[i]; }
    ssize_t length(int i) const { return lengths_[i]; }
    const Datagram& info(int i) const { return infos_[i]; }

    // Queues the reply built in buf(i) (len bytes); Flush sends it.
    void Queue(int i, size_t len, const ReplyTarget& target, uint32_t source, const char* prefix) {
        OutgoingDatagram& d = out_[queued_];
        d.data = bufs_[i];
        d.len = len;
        d.to = sockaddr_in{};
        d.to.sin_family = AF_INET;
        d.to.sin_addr.s_addr = target.address;
        d.to.sin_port = htons(target.port);
        // A relayed reply is routed; any other leaves through the interface the request came in on.
        const bool relayed = target.port == kBootpServerPort;
        d.ifindex = relayed ? 0 : infos_[i].ifindex;
        d.src.s_addr = relayed ? 0 : source;
        prefixes_[queued_++] = prefix;
    }

    // Sends the queued replies in their order without waiting for room in the send buffer: a
    // reply the buffer cannot take is dropped and counted, one that fails otherwise is logged
    // (at most once a second per destination, see g_sendErrorLines).
    void Flush(int sock) {
        if (queued_ == 0) return;
        int errors[kRequestBatch];
        SendDatagrams(sock, out_, queued_, errors, MSG_DONTWAIT);
        unsigned dropped = 0;
        const char* droppedPrefix = nullptr;
        for (int i = 0; i < queued_; ++i) {
            if (!errors[i]) continue;
            if (errors[i] == EAGAIN || errors[i] == EWOULDBLOCK || errors[i] == ENOBUFS) {
                ++dropped;
                droppedPrefix = prefixes_[i];
                continue;
            }
            const uint32_t to = out_[i].to.sin_addr.s_addr;
            unsigned suppressed = 0;
            if (!LogWanted(LOG_PROGRAM, 1) || !g_sendErrorLines.Allow(LogKeyOf(to), &suppressed)) continue;
            LogLine(LOG_DHCP, 1, "%s Err: Interface [%s] sendto() error %d: %s%s", prefixes_[i], IPv4Text(to).c_str(),
                    errors[i], LastErrorText(errors[i]), SuppressedNote(suppressed).c_str());
        }
        queued_ = 0;
        if (!dropped) return;
        const uint64_t total = g_repliesDropped.fetch_add(dropped, std::memory_order_relaxed) + dropped;
        g_droppedUntold.fetch_add(dropped, std::memory_order_relaxed);
        if (LogWanted(LOG_PROGRAM, 1) && g_sendErrorLines.Allow(kDroppedLineKey))
            LogLine(LOG_DHCP, 1, "%s Err: send queue full, %llu replies dropped (%llu since the start)", droppedPrefix,
                    static_cast<unsigned long long>(g_droppedUntold.exchange(0, std::memory_order_relaxed)),
                    static_cast<unsigned long long>(total));
    }

private:
    std::vector<uint8_t> storage_;
    uint8_t* bufs_[kRequestBatch];
    ssize_t lengths_[kRequestBatch] = {};
    Datagram infos_[kRequestBatch];
    int used_ = 0;  // buffers written since they were last cleared (all start cleared)
    OutgoingDatagram out_[kRequestBatch];
    const char* prefixes_[kRequestBatch] = {};
    int queued_ = 0;
};

}  // namespace

LeaseTable& DhcpLeaseTable() { return g_leases; }

int isMACLocal(const uint8_t mac[6]) { return MacIsLocal(*CurrentInterfaces(MonotonicMs()), mac); }

uint32_t findServerAddressForClient(uint32_t client, bool strict, int ifindex) {
    return pickServerAddress(CurrentInterfaces(MonotonicMs())->addresses, client, strict, ifindex);
}

// Loopback rows are skipped in place: the choice is made for every reply, without a copy.
uint32_t pickServerAddress(const std::vector<InterfaceAddress>& all, uint32_t client, bool strict, int ifindex) {
    auto sameNet = [client](const InterfaceAddress& a) {
        return (a.addr.s_addr & a.mask.s_addr) == (client & a.mask.s_addr);
    };
    if (ifindex) {
        const InterfaceAddress* first = nullptr;
        for (const auto& a : all) {
            if (a.loopback || a.ifindex != ifindex) continue;
            if (sameNet(a)) return a.addr.s_addr;
            if (!first) first = &a;
        }
        if (first) return first->addr.s_addr;
    }
    const InterfaceAddress* first = nullptr;
    size_t rows = 0;
    for (const auto& a : all) {
        if (a.loopback) continue;
        if (!first) first = &a;
        ++rows;
    }
    if (rows == 0) return 0;
    if (rows == 1) return first->addr.s_addr;
    for (const auto& a : all)
        if (!a.loopback && a.up && sameNet(a)) return a.addr.s_addr;
    return strict ? 0 : first->addr.s_addr;
}

void sendLeaseListToConsole() {
    // Not built when the notice would be dropped: no desktop, or one that is not keeping up.
    if (ConsoleState() != CONSOLE_CONNECTED || ConsoleDropsNotices()) return;
    std::vector<LeaseRow> rows;
    {
        std::lock_guard<std::recursive_mutex> lock(g_leases.mutex());
        rows = g_leases.Rows();
    }
    std::vector<uint8_t> payload(4 + rows.size() * sizeof(LeaseRow));
    uint32_t n = static_cast<uint32_t>(rows.size());
    std::memcpy(payload.data(), &n, 4);
    if (!rows.empty()) std::memcpy(payload.data() + 4, rows.data(), rows.size() * sizeof(LeaseRow));
    // Queued without waiting: a desktop that draws slowly must not hold up the requests
    // behind this batch (a full queue drops the list; the next one replaces it anyway).
    ToConsole(NOTICE_LEASE_ROWS, payload.data(), payload.size(), false);
}

namespace {

// What one batch of requests reads: the settings, the host name and the interface list as
// they were when it arrived, and the handlers' environment built from them once for all its
// requests (Env sets what differs per request).
class BatchContext {
public:
    // eventsWait: see MakeEnv.
    BatchContext(std::shared_ptr<const GlobalSettings> settings, bool eventsWait)
        : g(std::move(settings)), cfg(DhcpSettingsSnapshot()) {
        const int64_t now = MonotonicMs();
        interfaces_ = CurrentInterfaces(now);
        bool ok;
        env_ = MakeEnv(cfg.get(), *g, 0, HostName(&ok, now), eventsWait);
        env_.serverAddressForClient = [this](uint32_t client, bool strict) {
            return ServerAddress(client, strict, ifindex_);
        };
        t_batchInterfaces = interfaces_.get();
    }
    ~BatchContext() { t_batchInterfaces = nullptr; }
    BatchContext(const BatchContext&) = delete;
    BatchContext& operator=(const BatchContext&) = delete;

    // The environment of a request that came in on interface ifindex.
    DhcpEnv& Env(int ifindex) {
        ifindex_ = ifindex;
        env_.now = static_cast<int64_t>(time(nullptr));
        return env_;
    }
    // findServerAddressForClient over the batch's interface list.
    uint32_t ServerAddress(uint32_t client, bool strict, int ifindex) const {
        return pickServerAddress(interfaces_->addresses, client, strict, ifindex);
    }

    const std::shared_ptr<const GlobalSettings> g;
    const std::shared_ptr<const DhcpConfig> cfg;

private:
    std::shared_ptr<const HostInterfaces> interfaces_;
    DhcpEnv env_;
    int ifindex_ = 0;
};

// One request of the DHCP thread (port 67): filtered, handled, its reply queued.
void AnswerDhcpRequest(RequestBatch& batch, int i, BatchContext& ctx, bool proxy, const char* p) {
    uint8_t* buf = batch.buf(i);
    const ssize_t n = batch.length(i);
    const Datagram& info = batch.info(i);
    DhcpPeerScope peer(proxy ? "PDHCP Inf:" : "DHCP Inf:", buf, n, info.peer.sin_addr.s_addr);
    if (n < 0) return TruncatedDatagram(p);
    const DhcpConfig* cfg = ctx.cfg.get();
    if (AcceptDhcpRequest(AcceptInput(kBootpServerPort, proxy, cfg), buf, static_cast<size_t>(n)) != DhcpDrop::kNone)
        return;
    const ReplyTarget target = ReplyDestination(buf, false, ntohs(info.peer.sin_port));
    DhcpEnv& env = ctx.Env(info.ifindex);
    size_t len = 0;
    int handled;
    if (proxy) {
        std::lock_guard<std::mutex> lock(g_requestLock);
        handled = processPdhcpRequest(env, kBootpServerPort, buf, &len);
    } else {
        handled = processDhcpRequest(env, kBootpServerPort, buf, &len);
    }
    if (!handled) return;
    // The reply names its server (option 54) and siaddr already; it leaves from that address.
    // A BOOTP reply has no option 54: it leaves from the address that serves its client.
    uint32_t serverId = 0;
    int optLen = 0;
    if (const uint8_t* o54 = findDhcpOption(buf + kOffCookie, kOptServerId, &optLen)) {
        std::memcpy(&serverId, o54, 4);
    } else {
        uint32_t yiaddr;
        std::memcpy(&yiaddr, buf + kOffYiaddr, 4);
        serverId = env.dhcpLocalIp ? env.dhcpLocalIp : ctx.ServerAddress(yiaddr, false, info.ifindex);
    }
    if (!env.dhcpLocalIp && target.address == 0xFFFFFFFFu && LogWanted(LOG_PROGRAM, 1) && DhcpPeerMayLog(1))
        LogLine(LOG_DHCP, 1, "%sDHCP Inf: Broadcasting through local interface [%s]", p, IPv4Text(serverId).c_str());
    batch.Queue(i, len, target, serverId, proxy ? "PDHCP" : "DHCP");
}

// One datagram of the proxyDHCP thread (port 4011): BINL's first, else a proxy request.
void AnswerProxyRequest(RequestBatch& batch, int i, BatchContext& ctx, int sock) {
    uint8_t* buf = batch.buf(i);
    const ssize_t n = batch.length(i);
    const Datagram& info = batch.info(i);
    DhcpPeerScope peer("PDHCP Inf:", buf, n, info.peer.sin_addr.s_addr);
    if (n < 0) return TruncatedDatagram("P");
    const uint32_t services = static_cast<uint32_t>(ctx.g->NIMBO_Services);
    if (services & SVC_BINL) {
        if (BinlMessageHandler h = CurrentBinlHandler()) {
            batch.Flush(sock);  // the replies before it leave first, as they came
            if (h(buf, static_cast<size_t>(n), info, sock)) return;
        }
    }
    if (AcceptDhcpRequest(AcceptInput(kPxeProxyPort, services & SVC_PDHCP, nullptr), buf, static_cast<size_t>(n)) !=
        DhcpDrop::kNone)
        return;
    const ReplyTarget target = ReplyDestination(buf, true, ntohs(info.peer.sin_port));
    DhcpEnv& env = ctx.Env(info.ifindex);
    size_t len = 0;
    int handled;
    {
        std::lock_guard<std::mutex> lock(g_requestLock);
        handled = processPdhcpRequest(env, kPxeProxyPort, buf, &len);
    }
    if (!handled) return;
    int optLen = 0;
    const uint8_t* o54 = findDhcpOption(buf + kOffCookie, kOptServerId, &optLen);
    uint32_t source = 0;
    if (o54) std::memcpy(&source, o54, 4);
    batch.Queue(i, len, target, source, "PDHCP");
}

}  // namespace

void dhcpThread() {
    ThreadSlot& slot = ThreadSlots[TH_DHCP];
    const bool proxyAtStart = SettingsShared()->NIMBO_Services & SVC_PDHCP;
    const char* p = proxyAtStart ? "P" : "";
    // The socket takes requests from the moment it is bound: its buffers are made large before
    // the pauses below, or a burst arriving meanwhile overflows the small default ones.
    EnlargeBuffers(slot.socket);
    PrepareMacVendorNames(proxyAtStart);
    loadDhcpSettings();
    SleepWhileRunning(TH_DHCP, 1000);
    int one = 1;
    if (setsockopt(slot.socket, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        LogLine(LOG_DHCP, 1,
                "%sDHCP Err: cannot set broadcast option.\nPlease, suppress DHCP server in the settings window", p);
        DebugTrace("%sDHCP Err: Cannot set broadcast option.\n", p);
        slot.running = 0;
        if (proxyAtStart) ThreadSlots[TH_PDHCP].running = 0;
    }
    RequestBatch batch;
    g_declines.Start();
    // The lease list goes to the GUI after a batch or wake-up, at most once per
    // kLeaseListInterval (the desktop shows what arrived a few times a second); one held back
    // leaves with the next batch or the next idle second.
    constexpr auto kLeaseListInterval = std::chrono::milliseconds(250);
    bool listDue = true;
    auto listSent = std::chrono::steady_clock::now() - kLeaseListInterval;
    DebugTrace("%sDHCP Inf: reading requests on port 67\n", p);
    bool full = false;  // the last read filled the batch
    while (slot.running) {
        auto g = SettingsShared();
        const bool proxy = g->NIMBO_Services & SVC_PDHCP;
        p = proxy ? "P" : "";
        const auto now = std::chrono::steady_clock::now();
        if (!proxy && listDue && now - listSent >= kLeaseListInterval) {
            sendLeaseListToConsole();
            listSent = now;
            listDue = false;
        }
        const int woke = full ? 2 : WaitDatagram(TH_DHCP);
        if (woke == 0 && listDue) listSent -= kLeaseListInterval;  // idle: the held-back list leaves now
        listDue = listDue || woke != 0;
        if (woke != 2) continue;
        const int count = batch.Receive(TH_DHCP, p);
        full = count == kRequestBatch;
        if (!slot.running) break;
        if (count == 0) continue;
        BatchContext ctx(std::move(g), proxy);
        // An address probe waits for an answer: with probes on, each reply leaves at once
        // rather than behind the probes of the requests after it.
        const bool replyEach = ctx.g->DHCP_PingAddress != 0;
        ConsoleWakeBatch notices;
        for (int i = 0; i < count; ++i) {
            AnswerDhcpRequest(batch, i, ctx, proxy, p);
            if (replyEach) batch.Flush(slot.socket);
        }
        batch.Flush(slot.socket);
    }
    g_declines.Stop();
    {
        std::lock_guard<std::recursive_mutex> lock(g_leases.mutex());
        g_leases.Clear();
    }
    freeMacVendorTables();
    DebugTrace("Thread Inf: DHCP thread ends here\n");
}

void pdhcpThread() {
    ThreadSlot& slot = ThreadSlots[TH_PDHCP];
    EnlargeBuffers(slot.socket);  // before the pause, as for the DHCP thread
    SleepWhileRunning(TH_PDHCP, 1500);
    // Started without the DHCP row, the proxy loads the settings itself.
    if (!IsRowRunning(TH_DHCP)) loadDhcpSettings();
    int one = 1;
    if (setsockopt(slot.socket, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        LogLine(LOG_DHCP, 1,
                "PDHCP Err: cannot set broadcast option.\nPlease, suppress Proxy DHCP in the DHCP settings window");
        DebugTrace("PDHCP Err: Cannot set broadcast option.\n");
        slot.running = 0;
    }
    RequestBatch batch;
    DebugTrace("PDHCP Inf: reading requests on port 4011\n");
    bool full = false;  // the last read filled the batch
    while (slot.running) {
        if (!full && WaitDatagram(TH_PDHCP) != 2) continue;
        const int count = batch.Receive(TH_PDHCP, "P");
        full = count == kRequestBatch;
        if (!slot.running) break;
        if (count == 0) continue;
        BatchContext ctx(SettingsShared(), true);
        ConsoleWakeBatch notices;
        for (int i = 0; i < count; ++i) AnswerProxyRequest(batch, i, ctx, slot.socket);
        batch.Flush(slot.socket);
    }
    DebugTrace("Thread Inf: PDHCP thread ends here\n");
}
