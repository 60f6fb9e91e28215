// The TFTP transfer worker: socket set-up, request decision, windowed send and receive,
// the ".md5" and "dir.txt" files.
#include "_services/tftp_worker.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>

#include "_services/dhcp/dhcp_settings.h"
#include "_services/host_info.h"
#include "_services/peer_log.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/tftp_errsim.h"
#include "_services/tftp_menu_tokens.h"
#include "_services/tftp_protocol.h"
#include "libs/log/log.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

namespace {
// A name or text of the client as it may appear in a log line: control bytes as \DDD.
std::string Shown(const std::string& text) { return EscapePeerText(text, 400); }

uint32_t Saturate32(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

// Lines about clients: bounded per client address and in all (TftpClientLineWanted).
PeerLogGate g_clientLines("TFTP Inf:", LOG_TFTP, kTftpClientLinesPerSecond, kTftpLinesPerSecond);

void PrintLog(const TftpTransfer* t, const TftpLog& log) {
    for (const auto& l : log) {
        if (l.level == kTftpTraceLevel)
            DebugTrace("%s\n", l.text.c_str());
        else
            TftpClientLog(t, l.level, "%s", l.text.c_str());
    }
}

// A connected datagram socket reports an earlier ICMP "port unreachable" on its next
// call; that stale report says nothing about the datagram at hand, so it is passed over.
bool SendAll(int sock, const void* data, size_t length) {
    ssize_t n;
    int tries = 0;
    do {
        n = send(sock, data, length, MSG_NOSIGNAL);
    } while (n < 0 && (errno == EINTR || (errno == ECONNREFUSED && ++tries < 3)));
    return n == static_cast<ssize_t>(length);
}

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// A window goes out in batches of consecutive blocks: one read of the file and as few
// system calls as the kernel allows for each batch.
constexpr size_t kBatchBlocks = 64;
constexpr size_t kBatchBytes = 256 * 1024;

std::atomic<bool> g_segmentOffload{true};

struct SendBatch {
    std::vector<uint8_t> data;       // the blocks, back to back
    uint8_t heads[kBatchBlocks][4];  // the DATA header of each block
    size_t lengths[kBatchBlocks];    // the data bytes of each block
    iovec iov[kBatchBlocks][2];
    mmsghdr msgs[kBatchBlocks];
    iovec flat[2 * kBatchBlocks];
    size_t blockSize = 0;
    size_t capacity = 0;  // blocks per batch
    uint64_t base = 0;    // the block in the first place (0: none read yet)
    size_t held = 0;      // blocks held from base on
    size_t at = 0;        // the place of the block asked for by the last Read
    bool segmentOffload = g_segmentOffload.load(std::memory_order_relaxed);  // cleared when refused

    explicit SendBatch(size_t size)
        : blockSize(size), capacity(std::clamp<size_t>(kBatchBytes / size, 1, kBatchBlocks)) {
        data.resize(capacity * blockSize);
    }

    // Makes count blocks from the first one on ready to send, at places [at, at + count).
    // The file is read ahead a whole batch at a time (never past block last), so that
    // small windows and lock-step transfers take one read for many blocks. Blocks past the
    // end of the file are short or empty. Returns false on a read error.
    bool Read(int fd, uint64_t first, size_t count, uint64_t last) {
        if (base != 0 && first >= base && first - base + count <= held) {
            at = static_cast<size_t>(first - base);
            return true;
        }
        count = static_cast<size_t>(std::clamp<uint64_t>(last - first + 1, count, capacity));
        base = 0;
        held = 0;
        const size_t want = count * blockSize;
        const off_t offset = static_cast<off_t>((first - 1) * blockSize);
        size_t got = 0;
        while (got < want) {
            ssize_t r = pread(fd, data.data() + got, want - got, offset + static_cast<off_t>(got));
            if (r < 0 && errno == EINTR) continue;
            if (r < 0) return false;
            if (r == 0) break;
            got += static_cast<size_t>(r);
        }
        for (size_t i = 0; i < count; ++i) {
            const size_t start = i * blockSize;
            lengths[i] = got > start ? std::min(blockSize, got - start) : 0;
            TftpBuildData(heads[i], first + i, nullptr, 0);
            iov[i][0] = {heads[i], 4};
            iov[i][1] = {data.data() + start, lengths[i]};
        }
        base = first;
        held = count;
        at = 0;
        return true;
    }

    size_t Length(size_t i) const { return lengths[at + i]; }
    const uint8_t* Block(size_t i) const { return data.data() + (at + i) * blockSize; }

    // Sends blocks [from, from + count) of those the last Read made ready, in order. A
    // stale port-unreachable report from an earlier datagram is passed over, as for a
    // single send.
    bool Send(int sock, size_t from, size_t count) {
        from += at;
        int refused = 0;
        while (count > 0) {
            ssize_t sent = segmentOffload && count > 1 ? SendSegmented(sock, from, count) : SendEach(sock, from, count);
            if (sent < 0) {
                if (errno == EINTR || (errno == ECONNREFUSED && ++refused < 3)) continue;
                return false;
            }
            from += static_cast<size_t>(sent);
            count -= static_cast<size_t>(sent);
        }
        return true;
    }

private:
    ssize_t SendEach(int sock, size_t from, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = iov[from + i];
            msgs[i].msg_hdr.msg_iovlen = 2;
        }
        return sendmmsg(sock, msgs, static_cast<unsigned>(count), MSG_NOSIGNAL);
    }

    // Blocks of the full size, the last one possibly shorter, leave in one send that the
    // kernel cuts into datagrams. Returns the blocks sent, or sends them one by one where
    // they differ in size or the kernel refuses the offload.
    ssize_t SendSegmented(int sock, size_t from, size_t count) {
        const size_t segment = 4 + blockSize;
        size_t n = std::min(count, UdpSegmentsPerSend(segment));
        size_t full = 0;
        while (full < n && lengths[from + full] == blockSize) ++full;
        n = full < n ? full + 1 : n;  // the first short block ends the run
        if (n < 2) return SendEach(sock, from, count);
        for (size_t i = 0; i < n; ++i) {
            flat[2 * i] = iov[from + i][0];
            flat[2 * i + 1] = iov[from + i][1];
        }
        if (SendUdpSegments(sock, flat, 2 * n, segment) >= 0) return static_cast<ssize_t>(n);
        if (UdpSegmentsRefused(errno)) {
            segmentOffload = false;  // this path cannot cut datagrams: send them one by one
            return SendEach(sock, from, count);
        }
        return -1;
    }
};

const char* OpcodeName(int op) {
    switch (op) {
        case TFTP_WRQ: return "Write request (WRQ)";
        case TFTP_DATA: return "Data (DATA)";
        case TFTP_ACK: return "Acknowledgment (ACK)";
        case TFTP_ERROR: return "Error (ERROR)";
        default: return nullptr;
    }
}

}  // namespace

void TftpSetSegmentOffload(bool on) { g_segmentOffload.store(on, std::memory_order_relaxed); }

TransferStats TftpStatsOf(const TftpTransfer& t) {
    TransferStats s{};
    s.activeAtStart = t.activeAtStart;
    s.bytesDone = Saturate32(t.bytesDone.load(std::memory_order_relaxed));
    s.errorRecoveries = Saturate32(t.errorRecoveries.load(std::memory_order_relaxed));
    s.totalSize = Saturate32(t.totalSize.load(std::memory_order_relaxed));
    s.startTime = t.startTime;
    s.lastUpdate = t.startTime;
    s.state = t.state.load(std::memory_order_relaxed);
    return s;
}

int TftpBindPortRange(int sock, in_addr local, int lowest, int highest) {
    int port = lowest;
    if (lowest != kTftpPort && (lowest < 1024 || lowest > highest)) port = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = local;
    for (;;) {
        a.sin_port = htons(static_cast<uint16_t>(port));
        int r = bind(sock, reinterpret_cast<sockaddr*>(&a), sizeof a);
        if (r == 0) return 0;
        if (errno == EADDRNOTAVAIL && a.sin_addr.s_addr != htonl(INADDR_ANY)) {
            // A request sent to a broadcast address: answer from any address.
            a.sin_addr.s_addr = htonl(INADDR_ANY);
            continue;
        }
        if (errno != EADDRINUSE || port == 0 || port >= highest) return r;
        ++port;
    }
}

bool TftpClientLineWanted(uint32_t clientAddress, int level) {
    if (!LogWanted(LOG_TFTP, level)) return false;
    const int err = errno;  // the line may name it; the "suppressed" line must not change it
    const bool wanted = g_clientLines.Allow(clientAddress);
    errno = err;
    return wanted;
}

int TftpSendError(TftpTransfer* t, int code) {
    if (t->sock < 0) return 0;
    auto p = TftpBuildError(code);
    return SendAll(t->sock, p.data(), p.size()) ? 0 : -1;
}

int TftpFileError(TftpTransfer* t, int code, const char* operation) {
    const int err = errno;
    TftpClientLog(t, 0, "TFTP Err: File <%s> : error %d in %s; %s", Shown(t->fileName).c_str(), err, operation,
                  LastErrorText(err));
    TftpSendError(t, code);
    return 0;
}

ssize_t TftpWaitReadable(TftpTransfer* t, void* buf, size_t size) {
    uint32_t seconds = t->timeouts == 0 ? (t->timeout + 3) / 4 : t->timeouts == 1 ? (t->timeout + 1) / 2 : t->timeout;
    if (seconds == 0) seconds = 1;
    // One blocking receive with a timeout on the socket: the timeout is set only when it
    // changes. A stopping transfer has its socket shut down, which ends the wait.
    if (seconds != t->receiveTimeout) {
        timeval tv{static_cast<time_t>(seconds), 0};
        if (setsockopt(t->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
            TftpFileError(t, TFTP_EUNDEF, "select");
            return kTftpWaitFailed;
        }
        t->receiveTimeout = seconds;
    }
    ssize_t n;
    do { n = recv(t->sock, buf, size, 0); } while (n < 0 && errno == EINTR && !t->stop.load());
    if (t->stop.load()) return kTftpWaitStopped;
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kTftpWaitTimedOut;
    if (errno == ECONNREFUSED) {
        // Stale port-unreachable: take the datagram behind it, if any.
        do { n = recv(t->sock, buf, size, MSG_DONTWAIT); } while (n < 0 && errno == EINTR);
        if (n >= 0) return n;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED) return kTftpWaitStale;
    }
    TftpFileError(t, TFTP_EUNDEF, "recv");
    return kTftpWaitFailed;
}

int TftpSendOack(TftpTransfer* t) {
    TftpClientLog(t, 10, "TFTP Inf: send OACK %d bytes", static_cast<int>(t->oack.size()));
    ssize_t n;
    if (t->oackPort) {
        // The port option: the acknowledgement leaves from the service socket itself.
        int rowSock = ThreadSlots[TH_TFTP].socket;
        n = rowSock >= 0 ? SendDatagram(rowSock, t->oack.data(), t->oack.size(), t->client, 0, t->local) : -1;
    } else {
        n = send(t->sock, t->oack.data(), t->oack.size(), MSG_NOSIGNAL);
    }
    if (n != static_cast<ssize_t>(t->oack.size())) {
        TftpClientLog(t, 0, "TFTP Err: send : Error %d", errno);
        return 0;
    }
    return 1;
}

namespace {

// The addresses a menu file's tokens stand for, seen from this transfer: the client, the
// local address its request reached (so a server with several interfaces names the one the
// client can reach), and the gateway and mask the DHCP settings give clients; without a
// mask there, the mask of the interface that holds the server address.
MenuTokenAddresses MenuAddressesFor(const TftpTransfer& t) {
    MenuTokenAddresses a;
    a.client = t.client.sin_addr.s_addr;
    a.server = t.local.s_addr;
    if (a.server == htonl(INADDR_ANY) || a.server == htonl(INADDR_BROADCAST) || IN_MULTICAST(ntohl(a.server))) {
        sockaddr_in me{};
        socklen_t len = sizeof me;
        if (getsockname(t.sock, reinterpret_cast<sockaddr*>(&me), &len) == 0) a.server = me.sin_addr.s_addr;
    }
    const std::shared_ptr<const DhcpConfig> dhcp = DhcpSettingsSnapshot();
    if (dhcp) {
        a.gateway = FirstOptionAddress(dhcp->rec.RouterOption, sizeof dhcp->rec.RouterOption);
        a.mask = dhcp->rec.SubnetMask;
    }
    if (a.mask == 0)
        for (const InterfaceAddress& i : ListInterfaceAddresses())
            if (i.addr.s_addr == a.server) a.mask = i.mask.s_addr;
    return a;
}

// A menu file leaves with its address tokens filled in for this client: the filled text
// takes the file's place in a memory file, and its length is the size announced (tsize).
// A file that cannot be read whole, or has no token, goes out as stored.
void FillMenuFile(const TftpTransfer& t, TftpOpenResult* opened) {
    if (!TftpIsMenuFile(opened->path) || opened->size > kTftpMenuFileLimit) return;
    std::string text(static_cast<size_t>(opened->size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t r = pread(opened->fd, text.data() + got, text.size() - got, static_cast<off_t>(got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        got += static_cast<size_t>(r);
    }
    const std::string filled = FillMenuAddressTokens(text, MenuAddressesFor(t));
    if (filled == text) return;
    int fd = memfd_create("nimbo-menu", MFD_CLOEXEC);
    size_t put = 0;
    while (fd >= 0 && put < filled.size()) {
        ssize_t w = ::write(fd, filled.data() + put, filled.size() - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        put += static_cast<size_t>(w);
    }
    if (fd < 0 || put != filled.size()) {
        TftpClientLog(&t, 1, "TFTP Err: <%s>: address tokens not filled in: %s", Shown(opened->path).c_str(),
                      LastErrorText());
        if (fd >= 0) close(fd);
        return;
    }
    close(opened->fd);
    opened->fd = fd;
    opened->size = filled.size();
    TftpClientLog(&t, 10, "TFTP Inf: <%s>: address tokens filled in for %s", Shown(opened->path).c_str(),
                  IPv4Text(t.client.sin_addr).c_str());
}

}  // namespace

int TftpParseRequest(TftpTransfer* t) {
    const GlobalSettings& s = t->settings;
    TftpRequest req;
    TftpLog log;
    auto refuse = [&](int code) {
        PrintLog(t, log);
        TftpSendError(t, code);
        return static_cast<int>(TFTP_REFUSED);
    };
    int code = TftpDecodeRequest(t->request, t->requestLength, &req, &log);
    t->opcode = req.opcode;
    t->fileName = req.fileName;
    if (code) return refuse(code);
    PrintLog(t, log);
    log.clear();
    if (req.opcode == TFTP_RRQ && s.TFTP_DirTextFile) TftpWriteDirTxt(t);
    t->mode = req.mode;
    const bool write = req.opcode == TFTP_WRQ;
    TftpClientLog(t, 1, "TFTP Inf: %s file <%s>. Mode %s", write ? "Write" : "Read", Shown(req.fileName).c_str(),
                  Shown(req.modeText).c_str());
    TftpTranslateName(t->fileName, s);

    const std::string rootSetting(s.TFTP_RootDirectory, strnlen(s.TFTP_RootDirectory, sizeof s.TFTP_RootDirectory));
    if (!TftpCheckAccess(rootSetting, t->fileName, req.opcode, s.TFTP_SecurityLevel)) {
        TftpClientLog(t, 1, "TFTP Err: EACCESS on file <%s> Error: %s", Shown(t->fileName).c_str(), LastErrorText());
        return refuse(TFTP_EACCESS);
    }
    std::string rel;
    TftpNormalizeName(t->fileName, &rel);
    std::string root = WorkingDirectory();
    std::string full = root + (root.empty() || root.back() != '/' ? "/" : "") + rel;
    TftpClientLog(t, 10, "TFTP Inf: final name : <%s>", Shown(full).c_str());
    if (full.size() >= kTftpNameLimit) {
        TftpClientLog(t, 0, "TFTP Err: File name too long, returning EBADOP");
        return refuse(TFTP_EBADOP);
    }
    if (root.empty()) {
        errno = ENOENT;
        TftpClientLog(t, 1, "TFTP Err: EACCESS on file <%s> Error: %s", Shown(t->fileName).c_str(),
                      "no working directory");
        return refuse(TFTP_EACCESS);
    }
    t->rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (t->rootFd < 0) {
        TftpFileError(t, TFTP_EACCESS, "CreateFile");
        return TFTP_REFUSED;
    }
    TftpOpenResult opened = TftpOpenFile(t->rootFd, rel, write, s.TFTP_SecurityLevel, &log);
    PrintLog(t, log);
    log.clear();
    if (opened.fd < 0) {
        errno = opened.sysError;
        if (opened.accessRefused) {
            TftpClientLog(t, 1, "TFTP Err: EACCESS on file <%s> Error: %s", Shown(t->fileName).c_str(),
                          LastErrorText());
            return refuse(TFTP_EACCESS);
        }
        TftpFileError(t, opened.errorCode, "CreateFile");
        return TFTP_REFUSED;
    }
    if (!write) FillMenuFile(*t, &opened);
    t->file = opened.fd;
    t->openedPath = opened.path;
    t->writeTarget = std::move(opened.target);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(t->sock, reinterpret_cast<sockaddr*>(&me), &len);
    TftpNegotiation n;
    TftpNegotiateOptions(req, s, opened.size, ntohs(me.sin_port), &n, &log);
    PrintLog(t, log);
    if (write && n.tsizeSeen) {
        struct statvfs vfs {};
        if (fstatvfs(t->file, &vfs) == 0 &&
            n.totalSize > static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize)) {
            TftpClientLog(t, 1, "TFTP Err: <%s> announces %llu bytes, more than the free space",
                          Shown(t->fileName).c_str(), static_cast<unsigned long long>(n.totalSize));
            TftpSendError(t, TFTP_ENOSPACE);
            return TFTP_REFUSED;
        }
    }
    t->blockSize = n.blockSize;
    t->timeout = n.timeout;
    t->windowMinus1 = n.windowNegotiated ? n.windowMinus1 : 0;
    t->windowNegotiated = n.windowNegotiated;
    t->oack = n.oack;
    t->oackPort = n.oackPort;
    t->totalSize.store(n.totalSize);
    const bool withOack = !n.oack.empty();
    t->windowStart = t->nextBlock = (!write && !withOack) ? 1 : 0;
    t->totalBlocks = n.totalSize / t->blockSize + 1;
    if (write) return withOack ? TFTP_WRITE_OACK : TFTP_WRITE_PLAIN;
    return withOack ? TFTP_READ_OACK : TFTP_READ_PLAIN;
}

namespace {

// One read transfer: windows of blocks go out, acknowledgements move the window on, and the
// end decides between success, a last block nobody acknowledged and an abort. Blocks are
// numbered from 1 in 64 bits; the wire carries their low 16 bits.
class FileSender {
public:
    explicit FileSender(TftpTransfer* t)
        : t_(t),
          s_(t->settings),
          windowExtra_(t->windowMinus1),
          lastBlock_(t->totalBlocks),
          maxRetransmit_(s_.TFTP_MaxRetransmit > 0 ? static_cast<uint32_t>(s_.TFTP_MaxRetransmit) : 1),
          simulator_(ErrSimLiveRecord().mode != ERRSIM_OFF),
          windowStart_(t->windowStart),
          next_(t->nextBlock),
          timeouts_(t->timeouts),
          rounds_(t->windowRounds),
          batch_(t->blockSize) {}

    int Run() {
        StartPacing();
        next_ = 1;
        t_->bytesDone.store(0);
        if (t_->md5On) {
            MD5Init(&t_->md5);
            t_->md5Next = 1;
        }
        timeouts_ = 0;
        rounds_ = 0;
        for (;;) {
            if (t_->stop.load()) return 0;
            if (windowStart_ != 0) {
                const int r = SendWindow();
                if (r <= 0) return r;
            }
            const ssize_t n = TftpWaitReadable(t_, ack_, sizeof ack_);
            if (n == kTftpWaitStopped || n == kTftpWaitFailed) return 0;
            if (n == kTftpWaitTimedOut) {
                OnTimeout();
            } else if (!OnReply(n)) {
                return 0;
            }
            if (next_ > lastBlock_ && (s_.TFTP_IgnoreLastPacketAck || rounds_ == 0)) break;
            if (!(rounds_ < kMaxRounds && timeouts_ < maxRetransmit_)) break;
        }
        return Finish();
    }

private:
    static constexpr uint32_t kMaxRounds = 25;  // windows sent again without progress

    uint64_t WindowEnd() const { return std::min<uint64_t>(windowStart_ + windowExtra_, lastBlock_); }

    void StartPacing() {
        delay_ = s_.TFTP_MinInterFrameDelay > 0 ? static_cast<uint32_t>(s_.TFTP_MinInterFrameDelay) : 0;
        if (!delay_) return;
        if (int r = uSleepInit()) {
            TftpClientLog(t_, 1, "TFTP Err: uSleep API error 0x%02X; TFTP_MinInterFrameDelay falls back to 0", r);
            delay_ = 0;
            return;
        }
        uSleepStamp(&stamp_);
        pacer_.emplace();
    }

    // Block next_, the i-th of the batch, has left (or was dropped on purpose).
    void Sent(size_t i) {
        const size_t got = batch_.Length(i);
        if (t_->md5On && next_ == t_->md5Next) {
            MD5Update(&t_->md5, batch_.Block(i), got);
            ++t_->md5Next;
        }
        t_->bytesDone.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
        if (next_ > highestSent_) highestSent_ = next_;
        outOfSequence_ = false;
        if (next_ == windowStart_ + windowExtra_ || next_ == lastBlock_) ++rounds_;
        ++next_;
    }

    // Sends what is left of the window. Returns 1 to go on waiting, 0 when stopped, or the
    // result of the file error reported to the client.
    int SendWindow() {
        while (next_ <= WindowEnd()) {
            if (t_->stop.load()) return 0;
            const size_t count = static_cast<size_t>(std::min<uint64_t>(WindowEnd() - next_ + 1, batch_.capacity));
            if (!batch_.Read(t_->file, next_, count, lastBlock_)) return TftpFileError(t_, TFTP_EUNDEF, "ReadFile");
            if (delay_ || simulator_) {
                // Paced or simulated losses: block by block.
                for (size_t i = 0; i < count; ++i) {
                    if (delay_) uSleep(&stamp_, delay_, true);
                    if (simulator_ && rounds_ == 0 &&
                        ErrSimShouldDrop(static_cast<uint32_t>(std::min<uint64_t>(next_, 0xFFFFFFFFu)),
                                         static_cast<uint32_t>(std::min<uint64_t>(lastBlock_, 0xFFFFFFFFu)),
                                         &simCopy_)) {
                        TftpClientLog(t_, 1, "TFTP Inf: dropping packet #%llu", static_cast<unsigned long long>(next_));
                    } else if (!batch_.Send(t_->sock, i, 1)) {
                        return t_->stop.load() ? 0 : TftpFileError(t_, TFTP_EUNDEF, "send");
                    }
                    Sent(i);
                }
            } else {
                if (!batch_.Send(t_->sock, 0, count))
                    return t_->stop.load() ? 0 : TftpFileError(t_, TFTP_EUNDEF, "send");
                for (size_t i = 0; i < count; ++i) Sent(i);
            }
        }
        return 1;
    }

    void OnTimeout() {
        ++timeouts_;
        if (windowStart_ != 0) {
            TftpClientLog(t_, 1, "TFTP Err: timeout waiting for ack blk 16#%d \t#%llu",
                          static_cast<int>((next_ - 1) & 0xFFFF), static_cast<unsigned long long>(next_ - 1));
            next_ = t_->windowNegotiated ? windowStart_ : lastInOrder_ + 1;
        } else if (timeouts_ < maxRetransmit_) {
            TftpSendOack(t_);  // the option acknowledgement was lost: send it again
        }
    }

    // A datagram of n bytes arrived. Returns false when the peer ended the transfer.
    bool OnReply(ssize_t n) {
        if (n == kTftpWaitStale) return true;  // only a stale port-unreachable report: wait again
        if (n < 4) {
            TftpClientLog(t_, 1, "TFTP Err: rcvd packet too short");
        } else if (Get16(ack_) == TFTP_ERROR) {
            ack_[n < static_cast<ssize_t>(sizeof ack_) ? n : sizeof ack_ - 1] = 0;
            TftpClientLog(t_, 1, "TFTP Err: Peer returns ERROR <%s> -> aborting transfer",
                          Shown(reinterpret_cast<char*>(ack_ + 4)).c_str());
            return false;
        } else if (Get16(ack_) != TFTP_ACK) {
            TftpClientLog(t_, 2, "TFTP Inf: ignore unknown opcode %d received", Get16(ack_));
        } else {
            OnAck(Get16(ack_ + 2));
        }
        return true;
    }

    void OnAck(uint16_t acked) {
        if (!t_->windowNegotiated) {
            const uint16_t expected = static_cast<uint16_t>(lastInOrder_ + 1);
            const uint16_t ahead = static_cast<uint16_t>(acked - expected);
            if (acked == expected)
                ++lastInOrder_;
            else if (ahead != 0 && ahead < 0x8000)
                outOfSequence_ = true;
        }
        if (outOfSequence_) {
            const uint16_t ahead = static_cast<uint16_t>(acked - static_cast<uint16_t>(lastInOrder_ + 1));
            if (ahead != 0 && ahead < 0x8000)
                TftpClientLog(t_, 1, "TFTP Err: Ack of block 16#%d out of sequence (last ackd block 16#%d !)", acked,
                              static_cast<int>(lastInOrder_ & 0xFFFF));
            return;
        }
        const uint16_t lastSent = static_cast<uint16_t>(next_ - 1);
        const uint16_t low = static_cast<uint16_t>(next_ - windowExtra_ - 2);
        const uint16_t span = static_cast<uint16_t>(lastSent - low);
        const uint16_t pos = static_cast<uint16_t>(acked - low);
        const bool lastAcked = highestSent_ == lastBlock_ && acked == static_cast<uint16_t>(lastBlock_);
        if (acked == lastSent || (acked == 0 && next_ == 1) || lastAcked) {
            t_->errorRecoveries.fetch_add(timeouts_, std::memory_order_relaxed);
            if (lastAcked) next_ = lastBlock_ + 1;  // the client holds every block
            windowStart_ = next_;
            timeouts_ = 0;
            rounds_ = 0;
        } else if (t_->windowNegotiated && pos > 0 && pos < span) {
            // Partial acknowledgement: go on after the last block the client has.
            t_->errorRecoveries.fetch_add(1, std::memory_order_relaxed);
            ++rounds_;
            timeouts_ = 0;
            next_ = (next_ - 1) - static_cast<uint16_t>(lastSent - acked) + 1;
            windowStart_ = next_;
            TftpClientLog(t_, 1, "TFTP Err: Partial window ACK at block 16#%d\t#%llu",
                          static_cast<int>(next_ & 0xFFFF) - 1, static_cast<unsigned long long>(next_ - 1));
        } else if (rounds_ < 3 && windowStart_ != 1 &&
                   acked == static_cast<uint16_t>(t_->windowNegotiated ? next_ - 2 : lastInOrder_ - 1)) {
            TftpClientLog(t_, 1, "TFTP Inf: Ack block 16%d already received; ignored", acked);
        }
    }

    int Finish() {
        if (rounds_ >= kMaxRounds) {
            TftpClientLog(t_, 0, "TFTP Err: MAX RETRIES while waiting for Ack block 16%d. file <%s>",
                          static_cast<int>((next_ & 0xFFFF) + windowExtra_ - 1), Shown(t_->fileName).c_str());
            TftpSendError(t_, TFTP_EUNDEF);
            return 0;
        }
        if (timeouts_ >= maxRetransmit_) {
            if (highestSent_ >= lastBlock_) {  // every block has gone out at least once
                TftpClientLog(t_, 1, "TFTP Warn: Last block 16#%d not acked for file <%s>",
                              static_cast<int>((next_ & 0xFFFF) + windowExtra_ - 1), Shown(t_->fileName).c_str());
                t_->errorRecoveries.fetch_add(timeouts_, std::memory_order_relaxed);
            } else {
                TftpClientLog(t_, 1, "TFTP Err: TIMEOUT & abort waiting for Ack block #%llu ",
                              static_cast<unsigned long long>(next_ + windowExtra_));
                TftpSendError(t_, TFTP_EUNDEF);
                return 0;
            }
        }
        if (t_->md5On) TftpWriteMd5File(t_);
        TftpLogStatistics(t_);
        return 1;
    }

    TftpTransfer* const t_;
    const GlobalSettings& s_;
    const uint64_t windowExtra_;  // blocks of a window after its first
    const uint64_t lastBlock_;
    const uint32_t maxRetransmit_;
    const bool simulator_;
    uint64_t& windowStart_;     // first block of the window (0: the OACK is unacknowledged)
    uint64_t& next_;            // next block to send
    uint32_t& timeouts_;        // timeouts since the last progress
    uint32_t& rounds_;          // windows sent since the last full acknowledgement
    uint64_t lastInOrder_ = 0;  // last block acknowledged in order (lock-step)
    uint64_t highestSent_ = 0;
    bool outOfSequence_ = false;
    uint32_t delay_ = 0;  // µs between datagrams (0: no pacing)
    uint64_t stamp_ = 0;
    std::optional<uSleepPacer> pacer_;
    ErrorSimulatorRecord simCopy_{};
    uint8_t ack_[kTftpAckBufferSize];
    SendBatch batch_;
};

}  // namespace

int TftpSendFile(TftpTransfer* t) { return FileSender(t).Run(); }

int TftpReceiveFile(TftpTransfer* t, bool oackSent) {
    const GlobalSettings& s = t->settings;
    uint8_t ack[4];
    const uint64_t K = t->windowMinus1;
    const uint64_t N = t->totalBlocks;
    const bool sizeUnknown = t->totalSize.load() == 0;
    const uint32_t maxRetransmit = s.TFTP_MaxRetransmit > 0 ? static_cast<uint32_t>(s.TFTP_MaxRetransmit) : 1;
    if (!oackSent) {
        TftpBuildAck(ack, 0);
        if (!SendAll(t->sock, ack, 4)) return TftpFileError(t, TFTP_EUNDEF, "send");
    }
    t->bytesDone.store(0);
    uint64_t E = 1;
    uint64_t& W = t->windowStart;
    uint32_t& T = t->timeouts;
    W = 1;
    T = 0;
    if (t->md5On) MD5Init(&t->md5);
    bool R = false;
    bool received = false;
    bool complete = false;
    uint8_t* pkt = t->packet.data();
    auto acknowledge = [&]() {
        TftpBuildAck(ack, E - 1);
        if (!SendAll(t->sock, ack, 4) && !t->stop.load()) TftpClientLog(t, 1, "TFTP Err: send : Error %d", errno);
        W = E;
    };
    while (!complete && T < maxRetransmit) {
        if (t->stop.load()) return 0;
        const ssize_t n = TftpWaitReadable(t, pkt, t->packet.size());
        if (n == kTftpWaitStopped || n == kTftpWaitFailed) return 0;
        if (n == kTftpWaitTimedOut) {
            TftpClientLog(t, 9, "TFTP Err: timeout while waiting for Data block #%llu",
                          static_cast<unsigned long long>(W));
            R = true;
            ++T;
            if (oackSent && !received)
                TftpSendOack(t);  // the option acknowledgement was lost
            else
                acknowledge();
            continue;
        }
        if (n == kTftpWaitStale) continue;
        if (n < 4) {
            TftpClientLog(t, 1, "TFTP Err: received packet too short");
            TftpSendError(t, TFTP_EBADOP);
            return 0;
        }
        const uint16_t op = Get16(pkt);
        if (op != TFTP_DATA) {
            if (const char* name = OpcodeName(op))
                TftpClientLog(t, 1, "TFTP Err: Peer sent unexpected packet type: %s", name);
            else
                TftpClientLog(t, 1, "TFTP Err: Peer sent unexpected packet type: %d", op);
            TftpSendError(t, TFTP_EBADOP);
            return 0;
        }
        const uint16_t blk = Get16(pkt + 2);
        const size_t len = static_cast<size_t>(n) - 4;
        if (blk == 0 && W == 1) {
            if (received) continue;
            TftpClientLog(t, 1, "TFTP Warn: First block sent by client is #0, should be #1, fixed by server");
            W = 0;
        } else if (blk == static_cast<uint16_t>(E)) {
            ++E;
            t->errorRecoveries.fetch_add(T, std::memory_order_relaxed);
            R = false;
            T = 0;
            received = true;
            size_t done = 0;
            while (done < len) {
                ssize_t w = write(t->file, pkt + 4 + done, len - done);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    if (w == 0) errno = ENOSPC;
                    return TftpFileError(t, TFTP_ENOSPACE, "write");
                }
                done += static_cast<size_t>(w);
            }
            if (t->md5On) MD5Update(&t->md5, pkt + 4, len);
            t->bytesDone.fetch_add(len, std::memory_order_relaxed);
            // A short block ends the transfer, as does block N of an announced size.
            complete = len < t->blockSize || (!sizeUnknown && E - 1 >= N);
        } else {
            if (R) {
                R = false;
                acknowledge();
            }
            continue;
        }
        if (complete) {
            // The file takes its place before the client hears that the transfer is done.
            if (fdatasync(t->file) != 0 && errno != EINVAL) return TftpFileError(t, TFTP_ENOSPACE, "write");
            if (!TftpCommitWrite(&t->writeTarget)) return TftpFileError(t, TftpErrnoToCode(errno), "rename");
            acknowledge();
        } else if (blk == static_cast<uint16_t>(W + K)) {
            acknowledge();
        }
    }
    t->nextBlock = E;

    if (!complete) {
        TftpClientLog(t, 0, "TFTP Err: TIMEOUT while waiting for Data block %d, file <%s>",
                      static_cast<int>((W + 1) & 0xFFFF), Shown(t->fileName).c_str());
        TftpSendError(t, TFTP_EUNDEF);
        return 0;
    }
    if (t->md5On) TftpWriteMd5File(t);
    TftpLogStatistics(t);
    return 1;
}

void TftpWriteMd5File(TftpTransfer* t) {
    uint8_t digest[16];
    MD5Final(digest, &t->md5);
    const std::string hex = MD5Hex(digest);
    const std::string rel = t->openedPath + ".md5";
    int fd = TftpCreateBeneath(t->rootFd, rel);
    if (fd < 0) {
        TftpClientLog(t, 1, "TFTP Err: can not create <%s>: %s", Shown(rel).c_str(), LastErrorText());
        return;
    }
    ssize_t w = write(fd, hex.data(), hex.size());
    close(fd);
    if (w == static_cast<ssize_t>(hex.size()))
        TftpClientLog(t, 2, "TFTP Inf: MD5 written into <%s>", Shown(rel).c_str());
}

void TftpLogStatistics(TftpTransfer* t) {
    char win[32] = "";
    if (t->windowNegotiated) snprintf(win, sizeof win, " winSz=%u", t->windowMinus1 + 1);
    const uint64_t bytes = t->bytesDone.load();
    const uint64_t blocks = t->nextBlock ? t->nextBlock - 1 : 0;
    const int64_t seconds = static_cast<int64_t>(time(nullptr)) - t->startTime;
    TftpClientLog(t, 2, "TFTP Inf: <%s>: %s blks=%llu blkSz=%u%s, Total %llu bytes in %llds, err recovery=%llu ",
                  Shown(t->fileName).c_str(), t->opcode == TFTP_RRQ ? "sent" : "rcvd",
                  static_cast<unsigned long long>(blocks), t->blockSize, win, static_cast<unsigned long long>(bytes),
                  static_cast<long long>(seconds), static_cast<unsigned long long>(t->errorRecoveries.load()));
    if (t->settings.TFTP_Beep && seconds > 30) {
        // The information beep: the terminal bell on the log's console.
        DebugTrace("\a");
    }
}

int TftpWriteDirTxt(const TftpTransfer* t) {
    static std::atomic_flag writing = ATOMIC_FLAG_INIT;
    if (writing.test_and_set()) return 0;
    const std::string root = WorkingDirectory();
    const std::string path = root + (root.empty() || root.back() != '/' ? "/" : "") + "dir.txt";
    int result = 0;
    int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    int fd = rootFd >= 0 ? TftpCreateBeneath(rootFd, "dir.txt") : -1;
    if (fd >= 0) {
        ListDirectoryFiles(
            [fd](const char* line) {
                std::string l = std::string(line) + "\r\n";
                if (write(fd, l.data(), l.size()) < 0) return;
            },
            root);
        close(fd);
        result = 1;
    } else {
        if (t)
            TftpClientLog(t, 1, "TFTP Err: can not create <%s>: %s", path.c_str(), LastErrorText());
        else
            LogLine(LOG_TFTP, 1, "TFTP Err: can not create <%s>: %s", path.c_str(), LastErrorText());
    }
    if (rootFd >= 0) close(rootFd);
    writing.clear();
    return result;
}

void TftpWorkerThread(TftpTransfer* t) {
    t->threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    if (ThreadSlots[TH_TFTP].running.load()) {
        int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) {
            TftpClientLog(t, 0, "TFTP Err: socket returns %d: <%s>", errno, LastErrorText());
        } else {
            const GlobalSettings& s = t->settings;
            if (TftpBindPortRange(sock, t->local, s.TFTP_LowestUDPPort, s.TFTP_HighestUDPPort) != 0) {
                TftpClientLog(t, 0, "TFTP Err: bind returns %d: <%s>", errno, LastErrorText());
                close(sock);
            } else if (connect(sock, reinterpret_cast<sockaddr*>(&t->client), sizeof t->client) != 0) {
                TftpClientLog(t, 0, "TFTP Err: connect returns %d: <%s>", errno, LastErrorText());
                close(sock);
                SleepWhileRunning(TH_TFTP, 10000);
            } else {
                // From here on the list may use the socket to stop the transfer.
                TftpPublishTransferSocket(t, sock);
                int r = TftpParseRequest(t);
                if (r != TFTP_REFUSED) {
                    TftpReportStart(t);
                    int ok = 0;
                    switch (r) {
                        case TFTP_READ_OACK: ok = TftpSendOack(t) && TftpSendFile(t); break;
                        case TFTP_WRITE_OACK: {
                            int sent = TftpSendOack(t);
                            ok = sent && TftpReceiveFile(t, true);
                            break;
                        }
                        case TFTP_READ_PLAIN: ok = TftpSendFile(t); break;
                        case TFTP_WRITE_PLAIN: ok = TftpReceiveFile(t, false); break;
                        default: break;
                    }
                    DebugTrace("TFTP Inf: return from thread\n");
                    // An unfinished write is gone before anyone hears that the transfer ended.
                    TftpDiscardWrite(&t->writeTarget);
                    uint32_t running = TRANSFER_RUNNING;
                    t->state.compare_exchange_strong(running, ok ? TRANSFER_DONE : TRANSFER_FAILED);
                    if (ThreadSlots[TH_TFTP].running.load()) TftpReportEnd(t);
                }
            }
        }
    }
    TftpCloseTransferSocket(t);
    if (t->file >= 0) close(t->file);
    t->file = -1;
    TftpDiscardWrite(&t->writeTarget);  // an unfinished write leaves the old file whole
    if (t->rootFd >= 0) close(t->rootFd);
    t->rootFd = -1;
    DebugTrace("TFTP Inf: worker thread leaving %u\n", t->threadId);
    t->busy.store(0);
    if (ThreadSlots[TH_TFTP].running.load()) WakeThread(TH_TFTP);
}
