#include "_services/nfs/tcpsocket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "_services/nfs/nfs_records.h"
#include "_services/nfs/rpc.h"
#include "libs/log/log.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

int OpenRpcSocket(int type, const std::string& address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (!address.empty() && !ParseIPv4(address.c_str(), &sa.sin_addr)) {
        errno = EINVAL;
        return -1;
    }
    int s = type == SOCK_STREAM ? OpenTcpListener(sa.sin_addr.s_addr, static_cast<uint16_t>(port), 5)
                                : socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    // Accepted connections inherit the receive time-out.
    timeval tv{kRpcReceiveTimeoutSec, 0};
    bool ok = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 &&
              (type == SOCK_STREAM || bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0);
    if (!ok) {
        int err = errno;
        close(s);
        errno = err;
        return -1;
    }
    return s;
}

namespace {
void LogOpenFailure(const char* proto, const std::string& address, int port) {
    int err = errno;
    LogLine(LOG_NFS, 0, "NFS Err: cannot open %s port %s:%d: %s%s", proto, address.empty() ? "*" : address.c_str(),
            port, LastErrorText(err), (port == 111 && err == EADDRINUSE) ? " (is the system's rpcbind running?)" : "");
}

// Reads exactly length bytes; false on end of stream, error or time-out.
bool RecvAll(int sock, uint8_t* data, size_t length) {
    while (length) {
        ssize_t n = recv(sock, data, length, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
}  // namespace

// ---- TCP connection worker ----

CSocket::~CSocket() { Close(); }

void CSocket::Open(int sock, CRPCServer* listener, const sockaddr_in& peer) {
    Close();
    std::lock_guard<std::mutex> g(lock_);
    sock_ = sock;
    listener_ = listener;
    peer_ = peer;
    peerAddress_ = peer.sin_addr.s_addr;
    open_ = true;
    if (!thread_.Start([this] { Run(); })) {
        open_ = false;
        close(sock_);
        sock_ = -1;
    }
}

void CSocket::Close() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (sock_ >= 0) shutdown(sock_, SHUT_RDWR);
    }
    if (thread_.Started()) thread_.Join(-1);
    std::lock_guard<std::mutex> g(lock_);
    if (sock_ >= 0) close(sock_);
    sock_ = -1;
}

void CSocket::Run() {
    // The socket stays open (only shut down) until the worker is closed or reused, so that its
    // number cannot be reused under a concurrent Close.
    const int sock = sock_;
    std::vector<uint8_t> record;
    O_Stream out(kRpcMaxReply);
    for (;;) {
        record.clear();
        bool last = false, ok = true;
        while (!last) {
            uint8_t mark[4];
            if (!RecvAll(sock, mark, 4)) {
                ok = false;
                break;
            }
            uint32_t m = LoadBe32(mark);
            last = (m & kRecordLastFragment) != 0;
            uint32_t fragment = m & ~kRecordLastFragment;
            if (record.size() + fragment > kRpcMaxRecord) {
                LogLine(LOG_NFS, 1, "NFS Err: RPC record of more than %u bytes from %s refused", kRpcMaxRecord,
                        IPv4Text(peer_.sin_addr).c_str());
                ok = false;
                break;
            }
            size_t at = record.size();
            record.resize(at + fragment);
            if (!RecvAll(sock, record.data() + at, fragment)) {
                ok = false;
                break;
            }
        }
        if (!ok) break;
        out.Reset();
        out.Write32(0);  // record mark, filled in below
        if (!listener_->ProcessCall(record.data(), record.size(), peer_, RPC_TCP, out)) continue;
        out.Seek(0, 0);
        out.Write32(static_cast<uint32_t>(out.End() - 4) | kRecordLastFragment);
        int sent = SendAllWithin(sock, out.Data(), out.End(), kRpcSendTimeoutSec * 1000);
        if (sent == 0)
            LogLine(LOG_NFS, 1, "NFS Warn: %s did not read a reply within %d s, connection dropped",
                    IPv4Text(peer_.sin_addr).c_str(), kRpcSendTimeoutSec);
        if (sent <= 0) break;
    }
    // A finished connection holds nothing: the worker is free before the peer hears the end
    // (a client that waits for it and connects again finds its share free), then the socket
    // closes (under the lock, so that a concurrent Close never sees a number that was reused;
    // a new Open waits for this thread before it takes the worker).
    open_ = false;
    {
        std::lock_guard<std::mutex> g(lock_);
        shutdown(sock, SHUT_RDWR);
        close(sock_);
        sock_ = -1;
    }
}

// ---- ports ----

bool CRpcPort::Start(int type, const std::string& address, int port, CRPCServer* listener, std::function<void()> fn) {
    sock_ = OpenRpcSocket(type, address, port);
    if (sock_ < 0) {
        LogOpenFailure(type == SOCK_STREAM ? "TCP" : "UDP", address, port);
        return false;
    }
    port_ = LocalPort(sock_);
    listener_ = listener;
    stop_.Reset();
    closed_ = false;
    if (!thread_.Start(std::move(fn))) {
        closed_ = true;
        close(sock_);
        sock_ = -1;
        return false;
    }
    return true;
}

bool CRpcPort::WaitReadable() {
    while (!closed_) {
        int r = WaitAny(sock_, stop_.fd(), -1);
        if (r & WAIT_FAILED) continue;
        if (closed_ || (r & WAIT_STOP)) return false;
        if (r & WAIT_READY) return true;
    }
    return false;
}

void CRpcPort::Stop(const std::function<void()>& afterWake) {
    if (closed_.exchange(true)) return;
    stop_.Set();
    if (sock_ >= 0) shutdown(sock_, SHUT_RDWR);
    thread_.Join(-1);
    if (afterWake) afterWake();
    if (sock_ >= 0) close(sock_);
    sock_ = -1;
}

bool CTcpPort::Open(const std::string& address, int port, int maxConnections, CRPCServer* listener) {
    Close();
    workers_.clear();
    for (int i = 0; i < maxConnections; ++i) workers_.push_back(std::make_unique<CSocket>());
    return Start(SOCK_STREAM, address, port, listener, [this] { AcceptLoop(); });
}

void CTcpPort::AcceptLoop() {
    while (WaitReadable()) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int s = accept4(sock_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOMEM) usleep(100000);
            continue;
        }
        timeval tv{kRpcReceiveTimeoutSec, 0};  // a silent client is dropped
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int one = 1;  // replies leave at once
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int buffer = kRpcSendBufferBytes;  // bounds what a client that never reads leaves queued
        setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        CSocket* free = FreeWorker(peer);
        if (!free) {
            static LogRateGate gate(1, 10);
            unsigned dropped = 0;
            if (gate.Allow(LogKeyOf(peer.sin_addr.s_addr, static_cast<uint32_t>(port_)), &dropped))
                LogLine(LOG_NFS, 1,
                        "NFS Warn: no free connection of port %d for %s (%zu in all, %d per address), refused%s", port_,
                        IPv4Text(peer.sin_addr).c_str(), workers_.size(),
                        RpcConnectionsPerAddress(static_cast<int>(workers_.size())),
                        dropped ? (" (" + std::to_string(dropped) + " lines suppressed)").c_str() : "");
            close(s);
            continue;
        }
        free->Open(s, listener_, peer);
    }
}

CSocket* CTcpPort::FreeWorker(const sockaddr_in& peer) const {
    CSocket* free = nullptr;
    int held = 0;
    for (auto& w : workers_) {
        if (!w->Busy()) {
            if (!free) free = w.get();
        } else if (w->PeerAddress() == peer.sin_addr.s_addr) {
            ++held;
        }
    }
    return held < RpcConnectionsPerAddress(static_cast<int>(workers_.size())) ? free : nullptr;
}

void CTcpPort::Close() {
    Stop([this] {
        for (auto& w : workers_) w->Close();
        workers_.clear();
    });
}

void CUdpPort::Run() {
    std::vector<uint8_t> buf(65536);
    O_Stream out(65000);
    while (WaitReadable()) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        // Each datagram is one call: its end is the end of the call.
        ssize_t n = recvfrom(sock_, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &len);
        if (n <= 0 || peer.sin_family != AF_INET) continue;
        out.Reset();
        if (!listener_->ProcessCall(buf.data(), static_cast<size_t>(n), peer, RPC_UDP, out)) continue;
        sendto(sock_, out.Data(), out.End(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    }
}
