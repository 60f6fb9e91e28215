#include "_services/to_console.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "_services/host_info.h"
#include "_services/message_queue.h"
#include "_services/program_log.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "libs/log/log.h"
#include "libs/mini_tcp4u/tcp4u.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"

namespace {
constexpr uint32_t kSynchronous = 0x10000;
// Notices nobody waits for are gathered this long before they are written, so that a steady
// stream of them wakes the Console thread, and the GUI, a few dozen times a second rather
// than once per notice. A notice someone waits for, a request of the GUI or a stop ends the
// wait at once, as does every kWakeEvery-th notice in the queue, so that it never fills while
// the thread waits.
constexpr int kGatherMs = 50;
constexpr int kWakeEvery = 64;
// A GUI that does not take a whole notice in this time is gone: the link is dropped.
constexpr int kSendTimeoutMs = 5000;
// The longest a service thread waits for its synchronous notice to be written.
constexpr auto kSynchronousWait = std::chrono::milliseconds(2000);

std::atomic<int> g_state{CONSOLE_NOT_CONNECTED};
ConsoleServiceHooks g_hooks;
std::atomic<NoticeTap> g_noticeTap{nullptr};

// Synchronous notices: each takes a ticket when it is queued; the Console thread counts the
// ones it has written, and the waiter sleeps on g_syncCv until its ticket is written, the
// connection it was posted for has ended, or kSynchronousWait has passed. A wait that runs
// out marks the link as stalled: until the Console thread writes again, synchronous notices
// are queued without waiting, so that no service thread is held up twice by a GUI that
// stopped reading.
std::mutex g_syncLock;
std::condition_variable g_syncCv;
uint64_t g_syncQueued = 0;
uint64_t g_syncWritten = 0;
bool g_syncStalled = false;
uint64_t g_connectionEpoch = 0;

// The connection of the Console thread, for ConsolePump, and whether a write of the pump
// failed (the Console thread then ends the link when the request returns).
std::atomic<int> g_activeConnection{-1};
bool g_pumpFailed = false;  // Console thread only
thread_local bool t_isConsoleThread = false;
thread_local int t_wakeBatches = 0;        // ConsoleWakeBatch scopes alive on this thread
thread_local bool t_wakeDeferred = false;  // a notice was posted in them, the wake is due

// Notices dropped since the program started; the Console thread keeps the count it last
// told the GUI of. g_queueFull is set by a post that finds the queue full and cleared when
// the Console thread has emptied it; until then no costly notice is built for the GUI.
std::atomic<uint64_t> g_droppedTotal{0};
uint64_t g_droppedTold = 0;  // Console thread only
std::atomic<bool> g_queueFull{false};
// The GUI hears of dropped notices at most once per this interval (Console thread only).
constexpr auto kDropReportInterval = std::chrono::seconds(1);
std::chrono::steady_clock::time_point g_dropReportedAt{};
// Log lines that went to the GUI in the current spell, and the spell's number.
std::atomic<int64_t> g_lineSpell{0};
std::atomic<int> g_linesInSpell{0};

void CountDropped() { g_droppedTotal.fetch_add(1, std::memory_order_relaxed); }

bool DropsUntold() { return g_droppedTotal.load(std::memory_order_relaxed) != g_droppedTold; }

// The lines posted in the current spell of kConsoleLineSpellMs (a new spell starts at 0).
std::atomic<int>& LinesInSpell() {
    const int64_t spell =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count() /
        kConsoleLineSpellMs;
    int64_t seen = g_lineSpell.load(std::memory_order_relaxed);
    if (seen != spell && g_lineSpell.compare_exchange_strong(seen, spell, std::memory_order_relaxed))
        g_linesInSpell.store(0, std::memory_order_relaxed);
    return g_linesInSpell;
}

// The line that tells the GUI how many notices it missed, added to the batch when some were
// dropped and the last such line is old enough; false when there is nothing to tell yet.
bool AppendDropReport(std::vector<uint8_t>* batch) {
    if (!DropsUntold()) return false;
    const auto now = std::chrono::steady_clock::now();
    if (g_dropReportedAt != std::chrono::steady_clock::time_point{} && now - g_dropReportedAt < kDropReportInterval)
        return false;
    g_dropReportedAt = now;
    const uint64_t total = g_droppedTotal.load(std::memory_order_relaxed);
    const uint64_t dropped = total - g_droppedTold;
    g_droppedTold = total;
    char line[160];
    size_t n = LogTimeStamp(line, sizeof line);
    const int text =
        snprintf(line + n, sizeof line - n, "Console Warn: %llu notices dropped, the desktop did not take them in time",
                 static_cast<unsigned long long>(dropped));
    if (text > 0) n += std::min(static_cast<size_t>(text), sizeof line - n - 1);
    return AppendConsoleMsg(batch, NOTICE_LOG, line, n + 1);
}

std::mutex g_listenLock;
std::condition_variable g_listenCv;
int g_listenPort = 0;

void SetListening(int port) {
    std::lock_guard<std::mutex> lk(g_listenLock);
    g_listenPort = port;
    g_listenCv.notify_all();
}

void ConnectionStarted() {
    g_droppedTold = g_droppedTotal;  // a new GUI hears only of what it missed
    g_queueFull = false;
    g_dropReportedAt = {};
    std::lock_guard<std::mutex> lk(g_syncLock);
    ++g_connectionEpoch;
    g_syncWritten = g_syncQueued;
    g_syncStalled = false;
    QueueReleaseAbandon(QUEUE_CONSOLE);
    g_state = CONSOLE_CONNECTED;
}

// The connection is gone: queued notices are dropped and every waiter is released.
void ConnectionEnded() {
    std::vector<uint8_t> item;
    {
        std::lock_guard<std::mutex> lk(g_syncLock);
        g_state = CONSOLE_NOT_CONNECTED;
        ++g_connectionEpoch;
        g_syncWritten = g_syncQueued;
        g_syncCv.notify_all();
    }
    while (QueueGet(QUEUE_CONSOLE, item)) {}
    QueueAbandonWaiters(QUEUE_CONSOLE);
}

// A synchronous notice is queued and not written yet.
bool SynchronousWaiting() {
    std::lock_guard<std::mutex> lk(g_syncLock);
    return g_syncQueued > g_syncWritten;
}

void SignalWritten(bool synchronous) {
    std::lock_guard<std::mutex> lk(g_syncLock);
    if (synchronous) ++g_syncWritten;
    g_syncStalled = false;
    g_syncCv.notify_all();
}

// Returns false when a write failed (the connection is broken or the GUI stopped reading).
// The queued notices leave in batches of up to kBatchBytes, each batch in one write; the
// line about dropped notices, when one is due, with the last. Console thread only: its
// buffers are kept from one call to the next.
bool ConsoleFlushQueue(int sock) {
    constexpr size_t kBatchBytes = 64 * 1024;
    bool ok = true;
    thread_local std::vector<uint8_t> data;
    thread_local std::vector<uint8_t> batch;
    batch.clear();
    batch.reserve(kBatchBytes + 0x8000);
    size_t synchronous = 0;
    size_t items = 0;
    auto send = [&]() {
        if (ok && !batch.empty() && SendConsoleBytesWithin(sock, batch.data(), batch.size(), kSendTimeoutMs) < 0)
            ok = false;
        if (ok && items) SignalWritten(synchronous != 0);  // a waited-for notice ends its batch
        batch.clear();
        synchronous = 0;
        items = 0;
    };
    uint32_t flags = 0;
    while (QueueGetEx(QUEUE_CONSOLE, data, nullptr, &flags)) {
        if (!ok) continue;  // drained and dropped: the link is broken
        if (!AppendConsoleMsg(&batch, flags & 0xFFFF, data.data(), data.size())) {
            send();
            ok = false;
            continue;
        }
        ++items;
        if (flags & kSynchronous) ++synchronous;
        // A notice someone waits for leaves at once, as does a full batch.
        if ((flags & kSynchronous) || batch.size() >= kBatchBytes) send();
    }
    // Emptied: notices are queued again.
    g_queueFull.store(false, std::memory_order_relaxed);
    if (ok && AppendDropReport(&batch)) ++items;
    send();
    return ok;
}

int ConsoleListenAccept() {
    ThreadSlot& slot = ThreadSlots[TH_CONSOLE];
    while (slot.running) {
        uint16_t port = 1994;
        SettingsUpdate([](GlobalSettings& s) { s.ConsolePort = 1994; });
        // The link is local: listen on the loopback address only.
        int listener = TcpListenSocket("nimbo32", &port, true);
        if (listener < 0 && errno == EADDRINUSE) {
            port = 0;
            listener = TcpListenSocket(nullptr, &port, true);
        }
        if (listener < 0) {
            LogError("can not create listening socket\nError %d", errno);
            SleepWhileRunning(TH_CONSOLE, 1000);
            continue;
        }
        SettingsUpdate([port](GlobalSettings& s) { s.ConsolePort = port; });
        DebugTrace("console listening on port %d\n", port);
        SetListening(port);
        const bool stopped = WaitAny(listener, slot.event, -1) & WAIT_STOP;
        int conn = stopped ? -1 : accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (!stopped && conn < 0) LogError("accept error %d", errno);
        // Until the next listener is open, nobody waits for this one.
        SetListening(0);
        TcpClose(listener);
        if (stopped) continue;  // stopped, or asked to start over
        if (conn < 0) continue;
        int one = 1;
        if (setsockopt(conn, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0)
            DebugTrace("Error %d during setsockopt\n", errno);
        return conn;
    }
    return -1;
}

bool SendDirect(int sock, uint32_t id, const void* data, size_t length) {
    return SendConsoleMsgWithin(sock, id, data, length, kSendTimeoutMs) >= 0;
}
}  // namespace

ConsoleServiceHooks& ConsoleHooks() { return g_hooks; }

void ConsolePump() {
    if (!t_isConsoleThread) return;
    int conn = g_activeConnection;
    if (conn >= 0 && !g_pumpFailed && !ConsoleFlushQueue(conn)) g_pumpFailed = true;
}

int ConsoleState() { return g_state; }

int WaitConsoleListening(int timeoutMs) {
    std::unique_lock<std::mutex> lk(g_listenLock);
    g_listenCv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [] { return g_listenPort != 0; });
    return g_listenPort;
}

void SetNoticeTap(NoticeTap tap) { g_noticeTap = tap; }

bool ConsoleDropsNotices() {
    if (g_state != CONSOLE_CONNECTED || !g_queueFull.load(std::memory_order_relaxed)) return false;
    CountDropped();
    return true;
}

bool ConsoleWantsLine() {
    if (g_state != CONSOLE_CONNECTED) return false;
    if (g_queueFull.load(std::memory_order_relaxed) ||
        LinesInSpell().load(std::memory_order_relaxed) >= kConsoleLinesPerSpell) {
        CountDropped();
        return false;
    }
    return true;
}

void ConsoleLogLine(const char* line, size_t length) {
    if (g_state == CONSOLE_CONNECTED &&
        LinesInSpell().fetch_add(1, std::memory_order_relaxed) >= kConsoleLinesPerSpell) {
        CountDropped();
        return;
    }
    ToConsole(NOTICE_LOG, line, length + 1, false);  // the notice tap sees it, GUI or not
}

uint64_t ConsoleDroppedNotices() { return g_droppedTotal.load(std::memory_order_relaxed); }

int ToConsole(uint32_t id, const void* data, size_t length, bool synchronous) {
    if (NoticeTap tap = g_noticeTap.load()) tap(id, data, length);
    if (g_state != CONSOLE_CONNECTED) return 0;
    if (synchronous && !t_isConsoleThread) {
        std::unique_lock<std::mutex> lk(g_syncLock);
        if (g_state != CONSOLE_CONNECTED) return 0;
        if (!g_syncStalled) {
            // The ticket is taken with the post, under the lock, so tickets follow the queue.
            if (!QueuePostEx(QUEUE_CONSOLE, data, length, id | kSynchronous)) {
                CountDropped();  // full: dropped
                g_queueFull.store(true, std::memory_order_relaxed);
                return 1;
            }
            const uint64_t ticket = ++g_syncQueued;
            const uint64_t epoch = g_connectionEpoch;
            lk.unlock();
            WakeThread(TH_CONSOLE);
            lk.lock();
            if (!g_syncCv.wait_for(lk, kSynchronousWait,
                                   [&] { return g_syncWritten >= ticket || g_connectionEpoch != epoch; })) {
                g_syncStalled = true;
                DebugTrace("console: a synchronous notice was not written in time\n");
            }
            return 1;
        }
    }
    int queued = 0;
    if (QueuePostEx(QUEUE_CONSOLE, data, length, id, &queued)) {
        // The first notice in an empty queue wakes the Console thread, which then takes all
        // that come in its gathering time; a queue filling up wakes it again.
        if (queued == 1 || queued % kWakeEvery == 0) {
            if (t_wakeBatches > 0)
                t_wakeDeferred = true;
            else
                WakeThread(TH_CONSOLE);
        }
    } else {
        CountDropped();
        g_queueFull.store(true, std::memory_order_relaxed);
    }
    return 1;
}

ConsoleWakeBatch::ConsoleWakeBatch() { ++t_wakeBatches; }

ConsoleWakeBatch::~ConsoleWakeBatch() {
    if (--t_wakeBatches == 0 && t_wakeDeferred) {
        t_wakeDeferred = false;
        WakeThread(TH_CONSOLE);
    }
}

int HandleConsoleRequest(int sock, const uint8_t* frame, size_t length) {
    bool written = true;  // false once an answer could not be written: the link is lost
    uint32_t id;
    memcpy(&id, frame, 4);
    const uint8_t* payload = frame + 4;
    size_t payloadLength = length - 4;
    DebugTrace("TFTPd console receive msg %u\n", id);
    auto u32 = [&](uint32_t* out) {
        if (payloadLength < 4) {
            DebugTrace("request %u too short (%zu bytes)\n", id, payloadLength);
            return false;
        }
        memcpy(out, payload, 4);
        return true;
    };
    switch (id) {
        case REQ_STOP_TRANSFER: {
            uint32_t n;
            if (!u32(&n)) break;
            LogPrint(1, "transfer %u must be killed", n);
            if (g_hooks.stopTransfer) g_hooks.stopTransfer(n);
            break;
        }
        case REQ_STOP_TFTP:
            DebugTrace("terminating TFTP service\n");
            ThreadSlots[TH_TFTP].running = 0;
            WakeThread(TH_TFTP);
            break;
        case REQ_STOP_DHCP:
            DebugTrace("terminating DHCP service\n");
            ThreadSlots[TH_DHCP].running = 0;
            WakeThread(TH_DHCP);
            break;
        case REQ_STOP_ALL:
            DebugTrace("stopping services\n");
            StopThreads(0);
            break;
        case REQ_SUSPEND:
            DebugTrace("suspending services\n");
            StopThreads(1);
            break;
        case REQ_START:
            DebugTrace("starting services\n");
            StartThreads(1);
            break;
        case REQ_SEND_DHCP_SETTINGS: {
            DebugTrace("sending DHCP settings\n");
            std::vector<uint8_t> rec;
            if (g_hooks.getDhcpSettings) rec = g_hooks.getDhcpSettings();
            rec.resize(kDhcpSettingsSize, 0);
            written = SendDirect(sock, NOTICE_DHCP_SETTINGS, rec.data(), rec.size());
            break;
        }
        case REQ_SEND_GLOBAL_SETTINGS: {
            DebugTrace("sending TFTP settings\n");
            GlobalSettings s = SettingsSnapshot();
            written = SendDirect(sock, NOTICE_GLOBAL_SETTINGS, &s, sizeof s);
            break;
        }
        case REQ_STORE_DHCP_SETTINGS:
            DebugTrace("storing new DHCP settings\n");
            if (payloadLength != kDhcpSettingsSize) {
                DebugTrace("DHCP settings of %zu bytes ignored\n", payloadLength);
                break;
            }
            if (g_hooks.applyDhcpSettings) g_hooks.applyDhcpSettings(payload, payloadLength);
            break;
        case REQ_STORE_GLOBAL_SETTINGS: {
            DebugTrace("storing new TFTP settings\n");
            if (payloadLength != sizeof(GlobalSettings)) {
                DebugTrace("settings of %zu bytes ignored\n", payloadLength);
                break;
            }
            GlobalSettings s;
            memcpy(&s, payload, sizeof s);
            StoreGlobalSettings(s);
            break;
        }
        case REQ_ERASE_SETTINGS:
            DebugTrace("restore default settings\n");
            DeleteSettings();
            break;
        case REQ_SET_WORKING_DIR: {
            std::string path(reinterpret_cast<const char*>(payload),
                             strnlen(reinterpret_cast<const char*>(payload), payloadLength));
            DebugTrace("changing working directory to <%s>\n", path.c_str());
            if (path.size() <= 259) SetWorkingDirectory(path);
            break;
        }
        case REQ_SEND_WORKING_DIR: {
            std::string wd = WorkingDirectory();
            DebugTrace("sending working directory <%s>\n", wd.c_str());
            written = SendDirect(sock, NOTICE_WORKING_DIR, wd.c_str(), wd.size() + 1);
            break;
        }
        case REQ_FREE_LEASE: {
            uint32_t ip;
            if (!u32(&ip)) break;
            DebugTrace("deleting DHCP entry %X\n", ip);
            if (g_hooks.freeLease) g_hooks.freeLease(ip);
            WakeThread(TH_DHCP);
            break;
        }
        case REQ_SEND_RUNNING_SERVICES: {
            DebugTrace("sending running services\n");
            uint32_t mask = GetRunningServices();
            written = SendDirect(sock, NOTICE_RUNNING_SERVICES, &mask, sizeof mask);
            break;
        }
        case REQ_SEND_HOST_IPS:
            DebugTrace("sending IP interfaces");
            RequestIpListRefresh();
            break;
        case REQ_SEND_DIRECTORY:
            DebugTrace("sending Directory content");
            SendDirectoryContent();
            break;
        default: DebugTrace("Service received unknown message %u\n", id); break;
    }
    return written ? 1 : 0;
}

void ConsoleThread() {
    static uint8_t buffer[kConsoleBufferSize];
    t_isConsoleThread = true;
    InstallProgramLog();
    QueueCreate(QUEUE_CONSOLE, 200);
    ThreadSlot& slot = ThreadSlots[TH_CONSOLE];
    while (slot.running) {
        DebugTrace("opening comm socket\n");
        g_state = CONSOLE_NOT_CONNECTED;
        int conn = ConsoleListenAccept();
        if (conn < 0) break;
        DebugTrace("Verify Console/GUI parameters\n");
        GlobalSettings s = SettingsSnapshot();
        std::string password(s.NIMBO_ConsolePassword, strnlen(s.NIMBO_ConsolePassword, sizeof s.NIMBO_ConsolePassword));
        if (password.empty()) password = kConsolePassword;
        int rc = ConsoleHandshake(conn, kServiceHandshakeSeed, kConsoleVersion, password.c_str());
        if (rc < 0) {
            DebugTrace("console handshake failed (%d)\n", rc);
            TcpClose(conn);
            SleepWhileRunning(TH_CONSOLE, 1000);
            continue;
        }
        DebugTrace("Version check OK\n");
        ConnectionStarted();
        g_pumpFailed = false;
        g_activeConnection = conn;
        for (;;) {
            // Notices posted before this connection was accepted go to this GUI. While the
            // GUI has yet to hear of dropped notices, the thread wakes to tell it.
            const int r = WaitAny(conn, slot.event, DropsUntold() ? 1000 : -1);
            if ((r & WAIT_STOP) || r == 0) {
                if ((r & WAIT_STOP) && !(r & WAIT_READY) && slot.running && !SynchronousWaiting())
                    WaitAny(conn, slot.event, kGatherMs);  // gathers; ends early when needed
                if (!ConsoleFlushQueue(conn)) {
                    DebugTrace("rcvd error %d/%d in console\n", -1, errno);
                    break;
                }
            }
            if (!slot.running) break;
            if (r & WAIT_READY) {
                rc = TcpRecvFrame(conn, buffer, sizeof buffer, 10);
                if (rc > 0 && rc < 4) rc = TCP4U_ERROR;  // a frame always holds its id
                if (rc <= 0 && rc != TCP4U_TIMEOUT) {
                    DebugTrace("rcvd error %d/%d in console\n", rc, errno);
                    break;
                }
                if (rc > 0) {
                    LogPrint(9, "received %d bytes from console", rc);
                    if (!HandleConsoleRequest(conn, buffer, static_cast<size_t>(rc)) || g_pumpFailed) {
                        DebugTrace("rcvd error %d/%d in console\n", -1, errno);
                        break;
                    }
                    if (!slot.running) break;
                }
            }
        }
        g_activeConnection = -1;
        ConnectionEnded();
        TcpClose(conn);
        DebugTrace("end of GUI session\n");
    }
    ConnectionEnded();
    QueueDestroy(QUEUE_CONSOLE);
    SetListening(0);
    DebugTrace("Thread Inf: *** End of console thread\n");
}
