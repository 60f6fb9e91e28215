#include "_services/http/generic_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "_services/http/http_text.h"
#include "libs/log/log.h"
#include "libs/platform/clock.h"
#include "libs/platform/event.h"
#include "libs/platform/sockets.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kClientStack = 1024 * 1024;
#else
constexpr size_t kClientStack = 256 * 1024;
#endif
constexpr size_t kServiceStack = 256 * 1024;
constexpr size_t kReceiveBuffer = 100000;
constexpr int kSendTimeoutSeconds = 60;
constexpr int kDrainMs = 500;
constexpr size_t kSendfileChunk = 1u << 30;
constexpr size_t kMaxParked = 64;  // connection threads kept waiting for work
constexpr int kParkSeconds = 5;    // how long one waits before it ends

void CopyText(char* dst, size_t size, const char* src) { snprintf(dst, size, "%s", src ? src : ""); }

// Ends a connection without losing the reply: no more sending, then read what the peer still
// has for a short while (a close with unread bytes would reset the connection).
void DrainAndShutdown(int sock) {
    shutdown(sock, SHUT_WR);
    char scrap[4096];
    int64_t end = MonotonicMs() + kDrainMs;
    for (int reads = 0; reads < 256; ++reads) {
        int left = static_cast<int>(end - MonotonicMs());
        if (left <= 0) break;
        if (WaitReadable(sock, left) <= 0) break;
        ssize_t n = recv(sock, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n <= 0 && !(n < 0 && errno == EINTR)) break;
    }
}

}  // namespace

CGenericServer::CGenericServer() = default;

CGenericServer::~CGenericServer() {
    if (stopFd_ >= 0) close(stopFd_);
}

void CGenericServer::ReportServer(int code, const char* text, const char* function, int line) {
    if (!serverEvent_) return;
    ServerEventRecord r{};
    CopyText(r.text, sizeof r.text, text);
    CopyText(r.function, sizeof r.function, function);
    r.line = line;
    serverEvent_(code, r);
}

void CGenericServer::ReportClient(int code, const ClientContext& context, const char* text, const char* function,
                                  int line) {
    if (!clientEvent_) return;
    ServerEventRecord r{};
    CopyText(r.text, sizeof r.text, text);
    CopyText(r.function, sizeof r.function, function);
    r.line = line;
    clientEvent_(code, context, r);
}

bool CGenericServer::StartThread(pthread_t* thread, void* (*entry)(void*), void* arg, size_t stack) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack);
    int err = pthread_create(thread, &attr, entry, arg);
    pthread_attr_destroy(&attr);
    errno = err;
    return err == 0;
}

int BindEventCode(int err) {
    switch (ClassifyBindError(err)) {
        case BIND_IN_USE: return EV_BIND_INUSE;
        case BIND_NOT_AVAILABLE: return EV_BIND_NOTAVAIL;
        default: return EV_BIND_OTHER;
    }
}

void* CGenericServer::AcceptEntry(void* self) {
    static_cast<CGenericServer*>(self)->AcceptThread();
    return nullptr;
}

void* CGenericServer::HelperEntry(void* self) {
    static_cast<CGenericServer*>(self)->HelperThread();
    return nullptr;
}

void* CGenericServer::ClientEntry(void* client) {
    Client* c = static_cast<Client*>(client);
    c->context.server->ClientThread(c);
    return nullptr;
}

int CGenericServer::Run(uint32_t address, uint16_t port, uint32_t idleTimeoutMs) {
    static const char* const fn = "CGenericServer::Run";
    if (running_) {
        ReportServer(EV_SERVER_THREAD, "the server already runs", fn, __LINE__);
        return 0;
    }
    IgnoreSigpipe();  // sendfile has no MSG_NOSIGNAL
    address_ = address;
    port_ = port;
    idleTimeoutMs_ = idleTimeoutMs;
    if (stopFd_ >= 0) close(stopFd_);
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        ReportServer(EV_SERVER_THREAD, LastErrorText(), fn, __LINE__);
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(startLock_);
        startState_ = 0;
    }
    if (!StartThread(&acceptThread_, AcceptEntry, this, kServiceStack)) {
        ReportServer(EV_SERVER_THREAD, LastErrorText(), fn, __LINE__);
        return 0;
    }
    int state;
    {
        std::unique_lock<std::mutex> lock(startLock_);
        startChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return startState_ != 0; });
        state = startState_;
    }
    if (state != 1) {
        // A listener that never came up, or one that is late: stop it before giving up.
        if (state == 0) ReportServer(EV_WAIT_TIMEOUT, "WAIT_TIMEOUT", fn, __LINE__);
        uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        pthread_join(acceptThread_, nullptr);
        return 0;
    }
    if (!StartThread(&helperThread_, HelperEntry, this, kServiceStack)) {
        ReportServer(EV_SERVER_THREAD, LastErrorText(), fn, __LINE__);
        uint64_t one = 1;
        (void)!write(stopFd_, &one, sizeof one);
        pthread_join(acceptThread_, nullptr);
        return 0;
    }
    running_ = true;
    return 1;
}

void CGenericServer::AcceptThread() {
    static const char* const fn = "CGenericServer::AcceptThread";
    auto started = [this](int state) {
        std::lock_guard<std::mutex> lock(startLock_);
        startState_ = state;
        startChanged_.notify_all();
    };
    const bool own = listener_ < 0;
    int sock = listener_;
    if (own) {
        // The server closes its connections first: a restart must not wait out TIME_WAIT.
        const char* failed = "socket";
        sock = OpenTcpListener(address_, port_, SOMAXCONN, SOCK_NONBLOCK, &failed);
        if (sock < 0) {
            int err = errno;
            int code = strcmp(failed, "bind") == 0     ? BindEventCode(err)
                       : strcmp(failed, "listen") == 0 ? EV_LISTEN
                                                       : EV_SOCKET;
            ReportServer(code, LastErrorText(err), fn, __LINE__);
            started(-1);
            return;
        }
    }
    started(1);
    for (;;) {
        int r = WaitAny(sock, stopFd_, -1);
        if (r & WAIT_FAILED) {
            ReportServer(EV_ACCEPT_WAIT, LastErrorText(), fn, __LINE__);
            break;
        }
        if (r & WAIT_STOP) break;
        if (!(r & WAIT_READY)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int client = accept4(sock, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
            ReportServer(EV_ACCEPT, LastErrorText(), fn, __LINE__);
            // Out of descriptors or memory: give the connections a moment to end.
            WaitReadable(stopFd_, 100);
            continue;
        }
        AddClient(client, peer);
    }
    if (!own) return;  // the owner closes it
    shutdown(sock, SHUT_RDWR);
    close(sock);
}

CGenericServer::ClientList::iterator CGenericServer::Find(ClientList& list, const Client* client) {
    for (auto it = list.begin(); it != list.end(); ++it)
        if (it->get() == client) return it;
    return list.end();
}

void CGenericServer::AddClient(int sock, const sockaddr_in& peer) {
    static const char* const fn = "CGenericServer::AddClient";
    ClientContext context;
    context.server = this;
    context.socket = sock;
    CopyText(context.address, sizeof context.address, IPv4Text(peer.sin_addr).c_str());
    context.ip = peer.sin_addr.s_addr;
    context.port = peer.sin_port;
    OnClientConnected(context.address, context.port);
    std::lock_guard<std::mutex> lock(listLock_);
    if (static_cast<int>(live_.size()) >= maxClients_) {
        ReportClient(EV_TOO_MANY_CLIENTS, context, "", fn, __LINE__);
        close(sock);
        return;
    }
    // One address holds at most its share of the slots.
    int& fromAddress = perAddress_[context.ip];
    if (fromAddress >= maxPerAddress_) {
        ReportClient(EV_TOO_MANY_FROM_ADDRESS, context, "", fn, __LINE__);
        close(sock);
        return;
    }
    ++fromAddress;
    timeval tv{kSendTimeoutSeconds, 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (!parked_.empty()) {
        // A thread waiting for work takes the connection.
        live_.splice(live_.end(), parked_, std::prev(parked_.end()));
        Client* c = live_.back().get();
        c->context = context;
        c->hasWork = true;
        c->wake.notify_one();
        return;
    }
    auto client = std::make_unique<Client>();
    client->context = context;
    client->buffer.reset(new (std::nothrow) char[kReceiveBuffer]);
    Client* raw = client.get();
    if (!raw->buffer || !StartThread(&raw->thread, ClientEntry, raw, kClientStack)) {
        ReportClient(EV_CLIENT_THREAD, context, LastErrorText(), fn, __LINE__);
        ForgetAddress(context.ip);
        close(sock);
        return;
    }
    live_.push_back(std::move(client));
}

void CGenericServer::ForgetAddress(uint32_t ip) {
    auto it = perAddress_.find(ip);
    if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
}

void CGenericServer::ClientThread(Client* client) {
    do { ServeConnection(client); } while (CleanupConnection(client));
}

void CGenericServer::ServeConnection(Client* client) {
    static const char* const fn = "CGenericServer::ClientThread";
    const ClientContext& ctx = client->context;
    std::string request;
    char* const buffer = client->buffer.get();
    const int64_t deadline = MonotonicMs() + requestDeadlineMs_;
    int64_t idleEnd = idleTimeoutMs_ ? MonotonicMs() + idleTimeoutMs_ : INT64_MAX;
    for (;;) {
        int64_t now = MonotonicMs();
        int64_t until = std::min(deadline, idleEnd);
        if (now >= until) {
            if (until == deadline && now < idleEnd && !request.empty())
                ReportClient(EV_REQUEST_DEADLINE, ctx, "", fn, __LINE__);
            break;
        }
        int r = WaitAny(ctx.socket, stopFd_, static_cast<int>(std::min<int64_t>(until - now, INT32_MAX)));
        if (r & WAIT_FAILED) {
            ReportClient(EV_CLIENT_WAIT, ctx, LastErrorText(), fn, __LINE__);
            break;
        }
        if (r == 0) continue;
        if (r & WAIT_STOP) break;
        ssize_t n = recv(ctx.socket, buffer, kReceiveBuffer, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            ReportClient(EV_RECV, ctx, LastErrorText(), fn, __LINE__);
            break;
        }
        if (n == 0) break;  // the peer closed
        if (idleTimeoutMs_) idleEnd = MonotonicMs() + idleTimeoutMs_;
        request.append(buffer, static_cast<size_t>(n));
        if (request.size() > kMaxRequestBytes) {
            ReportClient(EV_REQUEST_TOO_LARGE, ctx, "", fn, __LINE__);
            break;
        }
        if (!IsRequestComplete(request)) continue;
        if (!RequestCheck(request)) {
            ReportClient(EV_BAD_REQUEST, ctx, "", fn, __LINE__);
            break;
        }
        std::string reply;
        bool keepAlive = false;
        ReplyFile file;
        if (HandleRequest(request, reply, keepAlive, ctx, file)) {
            if (!Transmit(ctx, reply, file)) ReportClient(EV_TRANSMIT, ctx, LastErrorText(), fn, __LINE__);
        }
        break;
    }
}

bool CGenericServer::Transmit(const ClientContext& context, const std::string& reply, ReplyFile& file) {
    uint64_t offset = 0, count = 0;
    if (file.fd >= 0) {
        if (file.rangeStart < 0) {
            count = file.size;
        } else {
            offset = static_cast<uint64_t>(file.rangeStart);
            count = file.rangeEnd < 0 ? file.size - offset : static_cast<uint64_t>(file.rangeEnd) - offset + 1;
        }
    }
    bool ok = SendAllBlocking(context.socket, reply.data(), reply.size(), count ? MSG_MORE : 0) >= 0;
    off_t pos = static_cast<off_t>(offset);
    while (ok && count) {
        ssize_t n = sendfile(context.socket, file.fd, &pos, std::min<uint64_t>(count, kSendfileChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // the file ended early
            ok = false;
            break;
        }
        count -= static_cast<uint64_t>(n);
    }
    int err = errno;
    if (file.fd >= 0) close(file.fd);
    file.fd = -1;
    errno = err;
    return ok;
}

bool CGenericServer::CleanupConnection(Client* client) {
    DrainAndShutdown(client->context.socket);
    std::unique_lock<std::mutex> lock(listLock_);
    // Closed under the lock: Shutdown never shuts down a descriptor that was reused.
    close(client->context.socket);
    client->context.socket = -1;
    ForgetAddress(client->context.ip);
    auto it = Find(live_, client);
    if (!stopping_ && parked_.size() < kMaxParked) {
        parked_.splice(parked_.end(), live_, it);
        listChanged_.notify_all();
        client->wake.wait_for(lock, std::chrono::seconds(kParkSeconds), [&] { return client->hasWork || stopping_; });
        if (client->hasWork) {
            client->hasWork = false;
            return true;
        }
        it = Find(parked_, client);
        finished_.push_back(client->thread);
        parked_.erase(it);
    } else {
        finished_.push_back(client->thread);
        live_.erase(it);
    }
    // The entry is gone; nothing of it is touched after this point.
    listChanged_.notify_all();
    return false;
}

void CGenericServer::JoinFinished() {
    std::vector<pthread_t> done;
    {
        std::lock_guard<std::mutex> lock(listLock_);
        done.swap(finished_);
    }
    for (pthread_t t : done) pthread_join(t, nullptr);
}

void CGenericServer::HelperThread() {
    while (WaitReadable(stopFd_, 100) <= 0) JoinFinished();
}

size_t CGenericServer::LiveClients() {
    std::lock_guard<std::mutex> lock(listLock_);
    return live_.size();
}

int CGenericServer::Shutdown() {
    if (!running_) return 0;
    uint64_t one = 1;
    (void)!write(stopFd_, &one, sizeof one);
    pthread_join(acceptThread_, nullptr);
    pthread_join(helperThread_, nullptr);
    {
        // Connection threads blocked in a send wake up when their socket is shut down.
        std::unique_lock<std::mutex> lock(listLock_);
        stopping_ = true;
        for (auto& c : live_)
            if (c->context.socket >= 0) shutdown(c->context.socket, SHUT_RDWR);
        for (auto& c : parked_) c->wake.notify_one();
        listChanged_.wait(lock, [this] { return live_.empty() && parked_.empty(); });
    }
    JoinFinished();
    {
        std::lock_guard<std::mutex> lock(listLock_);
        stopping_ = false;
    }
    running_ = false;
    return 1;
}
