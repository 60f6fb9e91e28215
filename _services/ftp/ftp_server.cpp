#include "_services/ftp/ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "_services/ftp/ftp_paths.h"
#include "_services/host_info.h"
#include "libs/log/log.h"
#include "libs/platform/clock.h"
#include "libs/platform/sockets.h"

namespace {
// The user and client lists: doubly linked, oldest first.
template <typename T>
void LinkNewest(T*& oldest, T*& newest, T* e) {
    e->older = newest;
    e->newer = nullptr;
    if (newest)
        newest->newer = e;
    else
        oldest = e;
    newest = e;
}

template <typename T>
void Unlink(T*& oldest, T*& newest, T* e) {
    if (e->older)
        e->older->newer = e->newer;
    else
        oldest = e->newer;
    if (e->newer)
        e->newer->older = e->older;
    else
        newest = e->older;
    e->older = e->newer = nullptr;
}

// accept() errors that pass: the next connection may well be accepted.
bool TransientAcceptError(int err) {
    switch (err) {
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case ETIMEDOUT: return true;
        default: return false;
    }
}
}  // namespace

int FtpBindEvent(int err) {
    switch (ClassifyBindError(err)) {
        case BIND_IN_USE: return FTP_EV_BIND_IN_USE;
        case BIND_NOT_AVAILABLE: return FTP_EV_BIND_NOT_AVAILABLE;
        default: return FTP_EV_BIND_FAILED;
    }
}

std::string FtpClientEntry::UserName() const {
    std::lock_guard<std::mutex> g(lock);
    return userName;
}

std::string FtpClientEntry::PeerText() const { return IPv4Text(peerAddr); }
std::string FtpClientEntry::LocalText() const { return IPv4Text(localAddr); }

CFtpServer::CFtpServer() { srand(static_cast<unsigned>(time(nullptr))); }

CFtpServer::~CFtpServer() {
    if (listening_.load() || acceptThread_.joinable()) StopListening();
    {
        std::lock_guard<std::recursive_mutex> g(usersLock);
        while (oldestUser_) RemoveUser(oldestUser_);
    }
    // Clients that never logged in are not reached by RemoveUser: every client is told to end,
    // and the server goes only once the last one has released its record.
    StopAllClients();
    for (int waited = 0; clientCount_.load() > 0; waited += 100) {
        if (waited == 10000)
            LogLine(LOG_FTP, 0, "FTP  Err: %d client(s) still ending, waiting for them", clientCount_.load());
        StopAllClients();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ReapFinished();
    }
    ReapFinished();
}

void CFtpServer::SetCallbacks(ServerEventFn server, UserEventFn user, ClientEventFn client) {
    serverEvent_ = std::move(server);
    userEvent_ = std::move(user);
    clientEvent_ = std::move(client);
}

void CFtpServer::ServerEvent(int code, const char* first, const char* second) {
    if (serverEvent_) serverEvent_(code, first, second);
}
void CFtpServer::UserEvent(int code, const FtpUserEntry* user, const char* second) {
    if (userEvent_) userEvent_(code, user, second);
}
void CFtpServer::ClientEvent(int code, const FtpClientEntry* client, const char* text) {
    if (clientEvent_) clientEvent_(code, client, text ? text : "");
}

bool CFtpServer::SetPassivePortRange(uint16_t start, uint16_t count) {
    if (count == 0 || start == 0 || static_cast<unsigned>(start) + count > 65535) return false;
    std::lock_guard<std::mutex> g(stateLock_);
    passiveStart_ = start;
    passiveCount_ = count;
    return true;
}

bool CFtpServer::GetPassivePortRange(uint16_t* start, uint16_t* count) {
    if (!start || !count) return false;
    std::lock_guard<std::mutex> g(stateLock_);
    *start = passiveStart_;
    *count = passiveCount_;
    return true;
}

FtpUserEntry* CFtpServer::CreateUser(const char* name, const char* password, const char* root) {
    if (!name || !root) return nullptr;
    if (!IsDirectory(root)) {
        FtpUserEntry shown;
        shown.name = name;
        UserEvent(FTP_EV_USER_BAD_ROOT, &shown, root);
        return nullptr;
    }
    if (!*name || strlen(name) > 16 || strlen(root) > kFtpMaxPath || (password && strlen(password) > 16))
        return nullptr;
    std::lock_guard<std::recursive_mutex> g(usersLock);
    if (FindUser(name)) return nullptr;
    // The root is kept absolute, links resolved: a relative root would follow the working
    // folder, and "." would become "/" after normalisation.
    char resolved[PATH_MAX];
    if (!realpath(root, resolved)) return nullptr;
    std::string normal = resolved;
    SimplifyPath(normal);
    if (normal.size() > kFtpMaxPath || !IsDirectory(normal)) return nullptr;
    auto* u = new FtpUserEntry;
    u->name = name;
    u->password = password ? password : "";
    u->root = normal;
    LinkNewest(oldestUser_, newestUser_, u);
    u->valid = true;
    userCount_++;
    UserEvent(FTP_EV_USER_CREATED, u, "");
    return u;
}

FtpUserEntry* CFtpServer::FindUser(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::recursive_mutex> g(usersLock);
    for (FtpUserEntry* u = oldestUser_; u; u = u->newer)
        if (u->name == name) return u;
    return nullptr;
}

bool CFtpServer::RemoveUser(FtpUserEntry* user) {
    if (!user) return false;
    std::lock_guard<std::recursive_mutex> g(usersLock);
    if (!user->valid) return false;
    user->valid = false;
    Unlink(oldestUser_, newestUser_, user);
    {
        std::lock_guard<std::mutex> c(clientsLock_);
        for (FtpClientEntry* cl = oldestClient_; cl; cl = cl->newer) {
            if (cl->user != user) continue;
            if (cl->loggedIn.load())
                KillClientThreads(cl);
            else
                cl->user = nullptr;
        }
    }
    if (user->loginCount > 0)
        user->pendingRelease = true;
    else
        delete user;
    userCount_--;
    return true;
}

bool CFtpServer::SetUserPrivileges(FtpUserEntry* user, unsigned bits) {
    if (!user || bits >= 64) return false;
    user->privileges = static_cast<uint8_t>(bits);
    return true;
}

bool CFtpServer::BindAndListen(uint32_t addr, uint16_t port) {
    if (addr == INADDR_NONE || port == 0) return false;
    StopListening();
    const char* failed = "socket";
    int s = OpenTcpListener(addr, port, 16, 0, &failed);
    if (s < 0) {
        const std::string addrText = addr ? IPv4Text(addr) : "INADDR_ANY";
        ServerEvent(strcmp(failed, "bind") == 0 ? FtpBindEvent(errno) : FTP_EV_BIND_FAILED, addrText.c_str());
        return false;
    }
    return Listen(s, addr, port, true);
}

bool CFtpServer::ListenOn(int listener, uint32_t addr, uint16_t port) { return Listen(listener, addr, port, false); }

bool CFtpServer::Listen(int s, uint32_t addr, uint16_t port, bool owned) {
    if (s < 0) return false;
    std::unique_lock<std::mutex> g(stateLock_);
    while (listening_.load()) {
        g.unlock();
        StopListening();
        g.lock();
    }
    std::string addrText = addr ? IPv4Text(addr) : "INADDR_ANY";
    listenSocket_ = s;
    ownsListener_ = owned;
    controlPort_ = port;
    listening_ = true;
    acceptStop_ = false;
    acceptWake_.Reset();
    ServerEvent(FTP_EV_STARTED, addrText.c_str());
    return true;
}

bool CFtpServer::StartAccepting() {
    std::lock_guard<std::mutex> g(stateLock_);
    if (!listening_.load() || accepting_.load()) return accepting_.load();
    if (acceptThread_.joinable()) acceptThread_.join();  // a loop that ended by itself
    try {
        accepting_ = true;
        acceptThread_ = std::thread([this] { AcceptLoop(); });
    } catch (const std::exception&) {
        accepting_ = false;
        ServerEvent(FTP_EV_NO_THREAD);
        return false;
    }
    ServerEvent(FTP_EV_ACCEPTING);
    return true;
}

bool CFtpServer::StopListening() {
    std::unique_lock<std::mutex> g(stateLock_);
    if (listenSocket_ < 0) return false;
    acceptStop_ = true;
    acceptWake_.Set();
    if (ownsListener_) shutdown(listenSocket_, SHUT_RDWR);
    if (acceptThread_.joinable()) {
        g.unlock();  // the accept loop takes no state lock; joined outside it all the same
        acceptThread_.join();
        g.lock();
    }
    if (ownsListener_) close(listenSocket_);
    listenSocket_ = -1;
    listening_ = false;
    accepting_ = false;
    g.unlock();
    ServerEvent(FTP_EV_STOPPED_LISTENING);
    return true;
}

void CFtpServer::AcceptLoop() {
    const int ls = listenSocket_;
    while (!acceptStop_.load()) {
        int r = WaitAny(ls, acceptWake_.fd(), 1000);
        ReapFinished();
        if (acceptStop_.load()) break;
        if (r & WAIT_FAILED) {
            LogLine(LOG_FTP, 0, "FTP  Err: poll() on the listening socket failed: %s", LastErrorText());
            break;
        }
        if (!(r & WAIT_READY)) continue;
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int s = accept4(ls, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (s < 0) {
            int err = errno;
            if (err == EINTR || err == EAGAIN) continue;
            if (!TransientAcceptError(err) || acceptStop_.load()) {
                if (!acceptStop_.load()) LogLine(LOG_FTP, 0, "FTP  Err: accept() failed: %s", LastErrorText(err));
                break;
            }
            LogLine(LOG_FTP, 1, "FTP  Warn: accept() failed: %s, retrying", LastErrorText(err));
            acceptWake_.Wait(100);
            continue;
        }
        if (const char* why = Refusal(peer.sin_addr.s_addr)) {
            static const char busy[] = "421 Too many connections, try again later.\r\n";
            send(s, busy, sizeof busy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            close(s);
            if (PeerMayLog(peer.sin_addr.s_addr))
                LogLine(LOG_FTP, 1, "FTP  Warn: Client IP [%s] refused: %s", IPv4Text(peer.sin_addr).c_str(), why);
            continue;
        }
        FtpClientEntry* c = RegisterClient(s, peer.sin_addr.s_addr);
        if (!c) {
            close(s);
            continue;
        }
        try {
            c->controlThread = std::thread(FtpClientThread, c);  // joined here, by ReapFinished
        } catch (const std::exception&) {
            ServerEvent(FTP_EV_NO_THREAD);
            FinishClient(c);
        }
    }
    listening_ = false;
    accepting_ = false;
    ServerEvent(FTP_EV_STOPPED_ACCEPTING);
}

const char* CFtpServer::Refusal(uint32_t peerAddr) {
    std::lock_guard<std::mutex> g(clientsLock_);
    if (clientCount_.load() >= maxClients) return "the server has all the clients it takes";
    auto it = perAddress_.find(peerAddr);
    if (it != perAddress_.end() && it->second >= maxPerAddress)
        return "that address has all the connections it may hold";
    return nullptr;
}

int CFtpServer::NoteLoginFailure(uint32_t peerAddr, int connectionFailures) {
    constexpr size_t kMaxAddresses = 4096;
    constexpr int64_t kForgetMs = 60000;
    const int64_t now = MonotonicMs();
    int count;
    {
        std::lock_guard<std::mutex> g(failuresLock_);
        if (failures_.size() >= kMaxAddresses && !failures_.count(peerAddr)) {
            for (auto it = failures_.begin(); it != failures_.end();)
                it = now - it->second.lastMs >= kForgetMs ? failures_.erase(it) : std::next(it);
            if (failures_.size() >= kMaxAddresses) failures_.erase(failures_.begin());
        }
        Failures& f = failures_[peerAddr];
        if (now - f.lastMs >= kForgetMs) f.count = 0;
        f.count = f.count < INT_MAX ? f.count + 1 : f.count;
        f.lastMs = now;
        count = std::max(f.count, connectionFailures);
    }
    const int64_t ceiling = failureDelayMaxMs.load();
    int64_t delay = failureDelayMs.load();
    for (int i = 1; i < count && delay < ceiling; ++i) delay *= 2;
    return static_cast<int>(std::min(delay, ceiling));
}

bool CFtpServer::PeerMayLog(uint32_t peerAddr) {
    unsigned dropped = 0;
    if (!logGate_.Allow(LogKeyOf(peerAddr), &dropped)) return false;
    if (dropped > 0)
        LogLine(LOG_FTP, 0, "FTP  Warn: Client IP [%s] ... %u lines suppressed", IPv4Text(peerAddr).c_str(), dropped);
    return true;
}

FtpClientEntry* CFtpServer::RegisterClient(int sock, uint32_t peerAddr) {
    if (sock < 0) return nullptr;
    auto* c = new (std::nothrow) FtpClientEntry;
    if (!c) {
        ServerEvent(FTP_EV_NO_MEMORY);
        return nullptr;
    }
    c->server = this;
    c->controlSocket = sock;
    // Replies are short lines sent one after another (150, then 226 from the data thread):
    // without this each would wait for the peer's delayed acknowledgement.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A peer that never reads its replies does not hold the control thread: a reply that
    // cannot be sent within the send limit ends the connection.
    timeval limit{sendSeconds.load(), 0};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    // Urgent data (the Telnet Synch before ABOR) stays in the command stream, where the line
    // reader takes the Telnet commands out.
    setsockopt(sock, SOL_SOCKET, SO_OOBINLINE, &one, sizeof one);
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&local), &len) == 0) c->localAddr = local.sin_addr.s_addr;
    c->peerAddr = peerAddr;
    c->lastActivity = time(nullptr);
    c->connectedAt = c->lastActivity.load();
    {
        std::lock_guard<std::mutex> g(clientsLock_);
        LinkNewest(oldestClient_, newestClient_, c);
        clientCount_++;
        perAddress_[peerAddr]++;
    }
    ClientEvent(FTP_EV_CLIENT_NEW, c, "");
    return c;
}

void CFtpServer::KillClientThreads(FtpClientEntry* c) {
    c->stopping = true;
    std::lock_guard<std::mutex> g(c->lock);
    if (c->controlSocket >= 0) shutdown(c->controlSocket, SHUT_RDWR);
    if (c->dataSocket >= 0) shutdown(c->dataSocket, SHUT_RDWR);
}

void CFtpServer::StopAllClients() {
    std::lock_guard<std::mutex> g(clientsLock_);
    for (FtpClientEntry* c = oldestClient_; c; c = c->newer) KillClientThreads(c);
}

void CFtpServer::ReleaseClientLocked(FtpClientEntry* c) {
    ClientEvent(FTP_EV_CLIENT_DELETED, c, "");
    if (c->loggedIn.load() && c->user) {
        FtpUserEntry* u = c->user;
        if (u->loginCount > 0) u->loginCount--;
        if (u->pendingRelease && u->loginCount == 0) delete u;
    }
    c->user = nullptr;
    c->loggedIn = false;
    Unlink(oldestClient_, newestClient_, c);
    clientCount_--;
    if (auto it = perAddress_.find(c->peerAddr); it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
}

void CFtpServer::FinishClient(FtpClientEntry* c) {
    std::lock_guard<std::recursive_mutex> u(usersLock);
    std::lock_guard<std::mutex> g(clientsLock_);
    {
        std::lock_guard<std::mutex> cl(c->lock);
        // Sockets a client set up but never used go with it.
        if (c->dataSocket >= 0) close(c->dataSocket);
        c->dataSocket = -1;
        if (c->controlSocket >= 0) {
            shutdown(c->controlSocket, SHUT_RDWR);
            close(c->controlSocket);
        }
        c->controlSocket = -1;
    }
    if (c->rootFd >= 0) close(c->rootFd);
    c->rootFd = -1;
    ReleaseClientLocked(c);
    finished_.push_back(c);
}

void CFtpServer::ReapFinished() {
    std::vector<FtpClientEntry*> done;
    {
        std::lock_guard<std::mutex> g(clientsLock_);
        done.swap(finished_);
    }
    for (FtpClientEntry* c : done) {
        if (c->controlThread.joinable()) c->controlThread.join();
        if (c->dataThread.joinable()) c->dataThread.join();
        delete c;
    }
}
