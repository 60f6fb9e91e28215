// Data connections: PORT, PASV and EPSV set them up; listings and file transfers run on a
// data thread of their own that sends the final reply.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "_services/ftp/ftp_conn.h"
#include "_services/ftp/ftp_paths.h"
#include "libs/log/log.h"
#include "libs/platform/atomic_file.h"
#include "libs/platform/beneath.h"
#include "libs/platform/clock.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/posix_attr.h"
#include "libs/platform/sockets.h"

namespace {
// Binds a data socket to the control connection's local address and a port of the range:
// a random first port, then downwards, wrapping from the start to the top.
bool BindDataPort(FtpClientEntry* c, int sock, uint16_t* boundPort) {
    uint16_t start, count;
    c->server->GetPassivePortRange(&start, &count);
    unsigned first = start + static_cast<unsigned>(rand()) % count;
    unsigned port = first;
    for (unsigned tries = 0; tries <= count; ++tries) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = c->localAddr;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            *boundPort = static_cast<uint16_t>(port);
            return true;
        }
        port = port == start ? start + count : port - 1;
        if (port == first) break;
    }
    return false;
}

// Gives a receiving data socket at least the data-socket buffer. A larger system default is
// left alone, and a sending socket is never sized: a fixed size turns off the kernel's own
// growth of the buffer and caps the throughput.
void SizeReceiveBuffer(FtpClientEntry* c, int s) {
    int size = static_cast<int>(c->server->dataSocketBuffer);
    int current = 0;
    socklen_t len = sizeof current;
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &current, &len) == 0 && current >= size) return;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

int NewDataSocket(FtpClientEntry* c, bool receiving) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (receiving) SizeReceiveBuffer(c, s);
    return s;
}

void SetDataSocket(FtpClientEntry* c, int s) {
    std::lock_guard<std::mutex> g(c->lock);
    c->dataSocket = s;
}

// Waits for a socket event in steps, so that a stopping client or a silent peer ends the wait.
// 1 ready, 0 gave up, -1 error.
int WaitSocket(FtpClientEntry* c, int fd, short events, int limitMs) {
    for (int waited = 0; waited < limitMs; waited += 500) {
        const int r = WaitEvents(fd, events, 500);
        if (c->stopping.load() || c->aborted.load() || r < 0) return -1;
        if (r > 0) return (r & (POLLERR | POLLNVAL)) && !(r & events) ? -1 : 1;
    }
    return 0;
}

int IdleLimitMs(FtpClientEntry* c) { return c->server->idleSeconds.load() * 1000; }

// How long a send may wait: the send limit on the control connection (STAT listings), the
// idle limit on a data connection.
int SendLimitMs(FtpClientEntry* c, int fd) {
    return fd == c->controlSocket ? c->server->sendSeconds.load() * 1000 : IdleLimitMs(c);
}

// Sends all bytes; a peer that takes nothing for the limit, a stopping client or ABOR ends it.
bool SendAll(FtpClientEntry* c, int fd, const char* data, size_t length) {
    return SendAllWaiting(fd, data, length, [&] { return WaitSocket(c, fd, POLLOUT, SendLimitMs(c, fd)); }) == 1;
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Collects lines into blocks of the transfer-buffer size.
struct BufferedSender {
    FtpClientEntry* c;
    int fd;
    std::vector<char> buf;
    size_t used = 0;
    bool Add(const std::string& line) {
        size_t off = 0;
        while (off < line.size()) {
            size_t n = std::min(line.size() - off, buf.size() - used);
            memcpy(buf.data() + used, line.data() + off, n);
            used += n;
            off += n;
            if (used == buf.size() && !Flush()) return false;
        }
        return true;
    }
    bool Flush() {
        bool ok = used == 0 || SendAll(c, fd, buf.data(), used);
        used = 0;
        return ok;
    }
};

// The end of every transfer: the data socket goes and the record is cleared before the final
// reply, so that the client may start its next transfer as soon as it has the reply. True
// when ABOR took the transfer over (it then sends the replies itself).
bool EndTransfer(FtpClientEntry* c) {
    std::lock_guard<std::mutex> g(c->lock);
    if (c->dataSocket >= 0) close(c->dataSocket);
    c->dataSocket = -1;
    c->transfer = FtpTransferRecord{};
    c->dataMode = FTP_DATA_NONE;
    c->lastActivity = NowSeconds();
    bool aborted = c->aborted.load();
    c->transferKind = FTP_XFER_NONE;
    return aborted;
}

// A file opened for a transfer must be a regular file (a FIFO or a device would hang).
int OpenRegular(FtpClientEntry* c, const std::string& rel, int flags, mode_t mode = 0) {
    int fd = OpenBeneath(c->rootFd, rel, flags | O_NONBLOCK, mode);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

// Sends the listing of the record's folder on the record's socket. False when a send failed.
bool SendListing(FtpClientEntry* c, int verb) {
    const FtpTransferRecord& t = c->transfer;
    BufferedSender out{c, t.socket, std::vector<char>(c->server->transferBuffer)};
    int dfd = OpenBeneath(c->rootFd, t.relative, O_RDONLY | O_DIRECTORY);
    if (dfd < 0) return true;  // a file, or gone: nothing to list
    DIR* dir = fdopendir(dfd);
    if (!dir) {
        close(dfd);
        return true;
    }
    const int64_t now = NowSeconds();
    const std::string proc = "/proc/self/fd/" + std::to_string(dfd) + "/";
    bool ok = true;
    while (dirent* e = readdir(dir)) {
        if (c->stopping.load() || c->aborted.load()) {
            ok = false;
            break;
        }
        const char* name = e->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        if (name[0] == '.' && !t.optA) continue;
        if (t.fullPath.size() + 1 + strlen(name) >= kFtpMaxPath) continue;  // that entry only
        struct stat st;
        if (!StatEntry(dfd, name, &st)) continue;
        bool folder = S_ISDIR(st.st_mode);
        std::string line;
        if (verb == FTP_NLST) {
            if (t.optD && !folder) continue;
            line = std::string(name) + "\r\n";
        } else {
            int mode = 0;
            bool have = CPosixFileAttr::ReadPfa(proc + name, &mode, nullptr) == 1;
            // A word whose mode bits are all 0 gives no mode.
            have = have && (mode & kPfaModeMask) != 0;
            uint16_t word =
                ListModeWord(static_cast<unsigned>(CPosixFileAttr::ServedMode(have, mode, st.st_mode)), folder);
            line = FormatListLine(word, st.st_size, st.st_mtim.tv_sec, now, name, t.optF);
        }
        if (!out.Add(line)) {
            ok = false;
            break;
        }
    }
    closedir(dir);
    return out.Flush() && ok;
}

void FinishTransfer(FtpClientEntry* c, bool ok, const char* failure) {
    // A transfer ended by ABOR gets its 426 from the control thread: one reply per command.
    if (!EndTransfer(c)) SendReply(c, ok ? "226 Transfer complete." : failure);
}

void ListThread(FtpClientEntry* c) {
    bool ok = SendListing(c, c->transfer.verb);
    (void)ok;  // the listing ends where the peer stopped reading; it is reported complete
    FinishTransfer(c, true, "");
}

// Sends a plain file from the offset on with sendfile: the data go from the page cache to the
// socket without a copy through the server. The socket blocks with a short send time-out, so
// that the kernel wakes the sender straight into the next send when there is room, and a
// stopping client, ABOR or a peer that takes nothing for the idle limit still end it.
bool SendFileFrom(FtpClientEntry* c, int fd, int sock, int64_t offset) {
    off_t at = offset > 0 ? static_cast<off_t>(offset) : 0;
    int64_t lastProgressMs = MonotonicMs();
    for (;;) {
        ssize_t n = sendfile(sock, fd, &at, 1 << 30);
        if (c->stopping.load() || c->aborted.load()) return false;
        if (n > 0) {
            lastProgressMs = MonotonicMs();
            continue;
        }
        if (n == 0) return true;  // the end of the file
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (MonotonicMs() - lastProgressMs >= IdleLimitMs(c)) return false;
            continue;
        }
        if (errno != EPIPE && errno != ECONNRESET)
            LogLine(LOG_FTP, 0, "FTP  Err: Client IP [%s] sending %s failed: %s", c->PeerText().c_str(),
                    EscapePeerText(c->transfer.fullPath, 600).c_str(), LastErrorText());
        return false;
    }
}

void RetrieveThread(FtpClientEntry* c) {
    // sendfile has no MSG_NOSIGNAL: a peer that goes away must not raise SIGPIPE in a process
    // that has not ignored it. The signal stays pending on this thread and goes with it.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    const FtpTransferRecord& t = c->transfer;
    bool ok = false;
    int fd = OpenRegular(c, t.relative, O_RDONLY);
    if (fd >= 0) {
        // A send waits at most half a second before the flags and the idle limit are looked at.
        const timeval step{0, 500 * 1000};
        setsockopt(t.socket, SOL_SOCKET, SO_SNDTIMEO, &step, sizeof step);
        fcntl(t.socket, F_SETFL, fcntl(t.socket, F_GETFL) & ~O_NONBLOCK);
        ok = SendFileFrom(c, fd, t.socket, t.startOffset);
        close(fd);
    }
    FinishTransfer(c, ok, "550 Can't retrieve File.");
}

// Copies the old file into the upload's temporary (APPE, REST then STOR), and its owner and
// user attributes (the stored attribute word among them), so that the replacement differs
// from the old file only where the client wrote.
bool CopyOldFile(int from, int to, bool content) {
    struct stat st;
    if (fstat(from, &st) != 0) return false;
    if (fchown(to, st.st_uid, st.st_gid) != 0 && errno != EPERM) return false;
    char names[4096];
    ssize_t len = flistxattr(from, names, sizeof names);
    for (ssize_t at = 0; at < len; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        char value[4096];
        ssize_t n = fgetxattr(from, names + at, value, sizeof value);
        if (n >= 0) fsetxattr(to, names + at, value, static_cast<size_t>(n), 0);
    }
    for (off_t left = content ? st.st_size : 0; left > 0;) {
        ssize_t n = copy_file_range(from, nullptr, to, nullptr, static_cast<size_t>(left), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        left -= n;
    }
    return true;
}

// Where an upload goes: the temporary, from its current offset on. Every finished stretch of
// kWritebackBytes is handed to the disk at once, so that the flush before the rename does not
// wait for the whole file (on tmpfs that costs nothing; on a disk it is most of the time).
class UploadSink {
public:
    UploadSink(AtomicFile* file, off_t at) : file_(file), at_(at), started_(at) {}
    int fd() const { return file_->fd(); }
    void Wrote(size_t n) {
        at_ += static_cast<off_t>(n);
        if (at_ - started_ < kWritebackBytes) return;
        file_->StartWriteback(started_, at_ - started_);
        started_ = at_;
    }
    bool Write(const char* data, size_t length) {
        if (!WriteAll(fd(), data, length)) return false;
        Wrote(length);
        return true;
    }

private:
    static constexpr off_t kWritebackBytes = 8 << 20;
    AtomicFile* file_;
    off_t at_, started_;
};

// Moves all the pipe holds (`length` bytes) into the file: splice where the file system takes
// it, else through the buffer. False when the file would not take the data.
bool DrainPipe(int pipeOut, size_t length, UploadSink* out, bool* spliceFile, char* buf, size_t size) {
    while (length > 0) {
        ssize_t n = -1;
        if (*spliceFile) {
            n = splice(pipeOut, nullptr, out->fd(), nullptr, length, SPLICE_F_MOVE);
            if (n < 0 && errno == EINVAL) {
                *spliceFile = false;
                continue;
            }
            if (n > 0) out->Wrote(static_cast<size_t>(n));
        } else {
            n = read(pipeOut, buf, std::min(length, size));
            if (n > 0 && !out->Write(buf, static_cast<size_t>(n))) return false;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// Waits for more of the upload on the non-blocking data socket. False when the wait ended it
// (a silent peer, a stopping client, ABOR).
bool WaitUpload(FtpClientEntry* c, int sock) { return WaitSocket(c, sock, POLLIN, IdleLimitMs(c)) == 1; }

// An upload's pipe: 1 MiB moves with each pair of splice calls (the system's default limit for
// a pipe's size).
constexpr int kUploadPipeBytes = 1 << 20;

// Receives the upload through a pipe: the kernel hands the socket's pages to the pipe and
// copies them once, into the file, where recv and write copy every byte twice. 1 the upload
// came whole, 0 it did not, -1 splicing cannot go on: what came is in the file, and recv
// takes the rest.
int SpliceInto(FtpClientEntry* c, UploadSink* out, char* buf, size_t size) {
    const int sock = c->transfer.socket;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    // A larger pipe takes more per call; where the system does not allow it, the default serves,
    // but not a pipe smaller than the buffer (a user with many pipes gets two pages each).
    fcntl(pipeFds[1], F_SETPIPE_SZ, kUploadPipeBytes);
    const int room = fcntl(pipeFds[1], F_GETPIPE_SZ);
    const bool usable = room > 0 && static_cast<size_t>(room) >= size;
    bool spliceFile = true, readable = false;
    int result = usable ? 0 : -1;
    while (usable) {
        // The pipe is empty here, so EAGAIN means that the socket has nothing for splice: nothing
        // yet, or urgent data that splice never passes over (it finds nothing though the socket
        // is readable; recv goes on past it).
        ssize_t n =
            splice(sock, nullptr, pipeFds[1], nullptr, static_cast<size_t>(room), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (readable) {
                result = -1;
                break;
            }
            if (!WaitUpload(c, sock)) break;
            readable = true;
            continue;
        }
        readable = false;
        if (n < 0 && errno == EINVAL) {
            result = -1;
            break;
        }
        if (n < 0 || c->aborted.load() || c->stopping.load()) break;
        if (n == 0) {
            // The end of the upload, or urgent data before the end: recv tells them apart,
            // and takes the rest in the second case.
            char next;
            const ssize_t more = recv(sock, &next, 1, MSG_PEEK);
            const bool waiting = more < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
            result = more == 0 ? 1 : more > 0 || waiting ? -1 : 0;
            break;
        }
        if (!DrainPipe(pipeFds[0], static_cast<size_t>(n), out, &spliceFile, buf, size)) break;
    }
    close(pipeFds[0]);
    close(pipeFds[1]);
    return result;
}

// Receives the upload with recv into the buffer, written out whenever it is full. True when
// the upload came whole.
bool RecvInto(FtpClientEntry* c, UploadSink* out, char* buf, size_t size) {
    const int sock = c->transfer.socket;
    size_t used = 0;
    for (;;) {
        ssize_t n = recv(sock, buf + used, size - used, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitUpload(c, sock)) return false;
            continue;
        }
        if (n < 0 || c->aborted.load() || c->stopping.load()) return false;
        if (n == 0) return out->Write(buf, used);
        used += static_cast<size_t>(n);
        if (used == size) {
            if (!out->Write(buf, used)) return false;
            used = 0;
        }
    }
}

// Receives the upload into the file from its current offset. False when it did not come whole.
bool ReceiveInto(FtpClientEntry* c, UploadSink* out, char* buf, size_t size) {
    // The socket does not block: a stopping client or ABOR ends the wait for data.
    const int sock = c->transfer.socket;
    fcntl(sock, F_SETFL, fcntl(sock, F_GETFL) | O_NONBLOCK);
    const int spliced = SpliceInto(c, out, buf, size);
    return spliced < 0 ? RecvInto(c, out, buf, size) : spliced == 1;
}

// An upload goes to a temporary beside the target and replaces it only once it has come whole:
// a reader of the old file keeps all of it, and a failed or aborted upload leaves it untouched.
void StoreThread(FtpClientEntry* c) {
    const FtpTransferRecord& t = c->transfer;
    const size_t size = c->server->transferBuffer;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
    if (!buf) c->server->ServerEvent(FTP_EV_NO_MEMORY);
    BeneathEntry entry;
    AtomicFile file;
    struct stat st;
    const bool exists = StatBeneath(c->rootFd, t.relative, &st);
    const int old = exists ? OpenRegular(c, t.relative, O_RDONLY) : -1;
    const bool keepOld = t.verb == FTP_APPE || t.startOffset > 0;
    bool ok = buf && (!exists || old >= 0) && entry.Open(c->rootFd, t.relative) && !entry.IsRoot() &&
              file.Open(entry.ProcPath(), exists ? st.st_mode & 07777 : 0644) &&
              (old < 0 || CopyOldFile(old, file.fd(), keepOld));
    off_t at = 0;
    if (ok && keepOld) {
        at = t.verb == FTP_APPE ? lseek(file.fd(), 0, SEEK_END) : static_cast<off_t>(t.startOffset);
        ok = at >= 0 && lseek(file.fd(), at, SEEK_SET) == at;
    }
    if (old >= 0) close(old);
    UploadSink out(&file, at);
    ok = ok && ReceiveInto(c, &out, buf.get(), size) && file.Commit();
    file.Discard();
    FinishTransfer(c, ok, "550 Can't store file.");
}

bool StartDataThread(FtpClientEntry* c, void (*fn)(FtpClientEntry*)) {
    if (c->dataThread.joinable()) c->dataThread.join();  // a finished transfer
    try {
        c->dataThread = std::thread(fn, c);
    } catch (const std::exception&) {
        CloseDataConnection(c);
        c->server->ServerEvent(FTP_EV_NO_THREAD);
        return false;
    }
    return true;
}

bool OpenDataConnection(FtpClientEntry* c, int verb, const char* opened = nullptr) {
    if (c->transferKind.load() != FTP_XFER_NONE) {
        SendReply(c, "425 You're already connected.");
        return false;
    }
    if (c->dataMode == FTP_DATA_NONE) {
        SendReply(c, "503 Bad sequence of commands.");
        return false;
    }
    bool receiving = verb == FTP_STOR || verb == FTP_APPE || verb == FTP_STOU;
    bool ok = false;
    if (c->dataMode == FTP_DATA_ACTIVE) {
        SendReply(c, opened ? opened : "150 Opening data channel.");
        int s = NewDataSocket(c, receiving);
        uint16_t port;
        if (s >= 0) {
            SetDataSocket(c, s);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(c->activeAddr);
            to.sin_port = htons(c->activePort);
            fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
            if (BindDataPort(c, s, &port)) {
                int r = connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
                if (r == 0) {
                    ok = true;
                } else if (errno == EINPROGRESS && WaitSocket(c, s, POLLOUT, c->server->dataWaitMs) == 1) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ok = getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
                }
            }
            fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
        }
    } else {
        int ls;
        {
            std::lock_guard<std::mutex> g(c->lock);
            ls = c->dataSocket;
        }
        if (receiving) SizeReceiveBuffer(c, ls);
        // Only the control connection's peer may connect; anyone else is turned away.
        for (int waited = 0; !ok && waited < c->server->dataWaitMs; waited += 500) {
            if (WaitSocket(c, ls, POLLIN, 500) < 0) break;
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            int s = accept4(ls, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (s < 0) continue;
            if (peer.sin_addr.s_addr != c->peerAddr) {
                if (c->server->PeerMayLog(peer.sin_addr.s_addr))
                    LogLine(LOG_FTP, 0, "FTP  Warn: data connection from [%s] refused, the client is [%s]",
                            IPv4Text(peer.sin_addr).c_str(), c->PeerText().c_str());
                close(s);
                continue;
            }
            fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
            std::lock_guard<std::mutex> g(c->lock);
            close(c->dataSocket);
            c->dataSocket = s;
            ok = true;
        }
        if (ok) SendReply(c, opened ? opened : "150 Connection accepted.");
    }
    if (!ok) {
        SendReply(c, "425 Can't open data connection.");
        CloseDataConnection(c);
        return false;
    }
    std::lock_guard<std::mutex> g(c->lock);
    c->transfer.socket = c->dataSocket;
    return true;
}

void HandlePort(FtpClientEntry* c, const char* arg) {
    uint32_t addr;
    uint16_t port;
    // The data connection goes only to the control connection's peer, on an unprivileged port.
    if (c->transferKind.load() != FTP_XFER_NONE || !arg || !ParsePortArgument(arg, &addr, &port) ||
        htonl(addr) != c->peerAddr || port < 1024) {
        SendReply(c, "501 Syntax error in arguments.");
        return;
    }
    if (c->dataMode != FTP_DATA_NONE) CloseDataConnection(c);
    c->activeAddr = addr;
    c->activePort = port;
    c->dataMode = FTP_DATA_ACTIVE;
    SendReply(c, "200 PORT command successful.");
}

void HandlePassive(FtpClientEntry* c, int verb) {
    if (c->transferKind.load() != FTP_XFER_NONE) {
        SendReply(c, "425 You're already connected.");
        return;
    }
    if (c->dataMode != FTP_DATA_NONE) CloseDataConnection(c);
    int s = NewDataSocket(c, false);
    uint16_t port = 0;
    if (s >= 0 && !BindDataPort(c, s, &port)) {
        close(s);
        SendReply(c, "451 Internal error - No more data port available.");
        return;
    }
    if (s < 0 || listen(s, 1) != 0) {
        if (s >= 0) close(s);
        SendReply(c, "425 Can't open data connection.");
        return;
    }
    SetDataSocket(c, s);
    c->dataMode = FTP_DATA_PASSIVE;
    SendReply(c, verb == FTP_PASV ? PasvReply(ntohl(c->localAddr), port) : EpsvReply(port));
}

void HandleListing(FtpClientEntry* c, int verb, const char* arg) {
    if (!(c->privileges & FTP_PRIV_LIST)) {
        SendReply(c, "550 Permission denied.");
        return;
    }
    if (c->transferKind.load() != FTP_XFER_NONE) {
        SendReply(c, "425 You're already connected.");
        return;
    }
    FtpTransferRecord& t = c->transfer;
    t = FtpTransferRecord{};
    const char* p = arg;
    while (p && *p == '-') {
        for (++p; isalnum(static_cast<unsigned char>(*p)); ++p) {
            if (*p == 'F')
                t.optF = true;
            else if (*p == 'a')
                t.optA = true;
            else if (*p == 'd')
                t.optD = true;
            else if (*p == 'l')
                t.optL = true;
        }
        while (*p == ' ') ++p;
    }
    FtpResolved r;
    if (!ResolveArgument(c, p && *p ? p : nullptr, &r) || !StatBeneath(c->rootFd, r.relative, &t.status)) {
        SendReply(c, "550 No such file or directory.");
        return;
    }
    t.fullPath = r.full;
    t.relative = r.relative;
    t.verb = verb;
    if (verb == FTP_STAT) {
        // The status listing goes on the control connection, in this thread.
        SendReply(c, "213-Status follows:");
        t.socket = c->controlSocket;
        c->server->ClientEvent(FTP_EV_LISTING, c, r.full.c_str());
        {
            std::lock_guard<std::mutex> g(c->sendLock);
            SendListing(c, verb);
        }
        SendReply(c, "213 End of status");
        t = FtpTransferRecord{};
        return;
    }
    if (!OpenDataConnection(c, verb)) return;
    c->transferKind = FTP_XFER_LIST;
    c->server->ClientEvent(FTP_EV_LISTING, c, r.full.c_str());
    StartDataThread(c, ListThread);
}

void HandleRetrieve(FtpClientEntry* c, const char* arg) {
    if (!(c->privileges & FTP_PRIV_RETR)) {
        SendReply(c, "550 Permission denied.");
        return;
    }
    if (!arg) {
        SendReply(c, "501 Syntax error in arguments.");
        return;
    }
    FtpResolved r;
    struct stat st;
    if (!ResolveArgument(c, arg, &r) || !StatBeneath(c->rootFd, r.relative, &st) || !S_ISREG(st.st_mode)) {
        SendReply(c, "550 File not found.");
        return;
    }
    if (!OpenDataConnection(c, FTP_RETR)) return;
    c->transfer.status = st;
    c->transfer.fullPath = r.full;
    c->transfer.relative = r.relative;
    c->transfer.verb = FTP_RETR;
    c->transferKind = FTP_XFER_RETRIEVE;
    c->server->ClientEvent(FTP_EV_DOWNLOAD, c, r.full.c_str());
    StartDataThread(c, RetrieveThread);
}

void HandleStore(FtpClientEntry* c, int verb, const char* arg) {
    if (!(c->privileges & FTP_PRIV_STORE)) {
        SendReply(c, "550 Permission denied.");
        return;
    }
    if (verb != FTP_STOU && !arg) {
        SendReply(c, "501 Syntax error in arguments.");
        return;
    }
    FtpResolved r;
    std::string opened;
    if (verb == FTP_STOU) {
        // A new name, created here and now so that no other upload can take it.
        bool made = false;
        if (!ResolveArgument(c, "file", &r)) {
            SendReply(c, "550 Can't store file.");
            return;
        }
        if (!WriteAllowed(c, r, FtpWrite::NewEntryIn)) return;
        for (int i = 0; i < 16 && !made; ++i) {
            std::string name = "file." + std::to_string(rand() % 9999999);
            if (!ResolveArgument(c, name.c_str(), &r)) break;
            int fd = OpenBeneath(c->rootFd, r.relative, O_WRONLY | O_CREAT | O_EXCL, 0666);
            if (fd >= 0) {
                close(fd);
                made = true;
                opened = "150 FILE: " + name;
            } else if (errno != EEXIST) {
                break;
            }
        }
        if (!made) {
            SendReply(c, "550 Can't store file.");
            return;
        }
    } else if (!ResolveArgument(c, arg, &r) || r.virt == "/") {
        SendReply(c, "550 Can't store file.");
        return;
    } else {
        struct stat st;
        const bool exists = StatBeneath(c->rootFd, r.relative, &st);
        if (!WriteAllowed(c, r, exists ? FtpWrite::Entry : FtpWrite::NewEntryIn)) return;
    }
    if (!OpenDataConnection(c, verb, opened.empty() ? nullptr : opened.c_str())) {
        BeneathEntry made;  // the empty file STOU made for an upload that never came
        if (verb == FTP_STOU && made.Open(c->rootFd, r.relative) && !made.IsRoot())
            unlinkat(made.dir(), made.name().c_str(), 0);
        return;
    }
    FtpTransferRecord& t = c->transfer;
    if (verb == FTP_APPE) {
        struct stat st;
        t.startOffset = StatBeneath(c->rootFd, r.relative, &st) ? st.st_size : 0;
    }
    t.fullPath = r.full;
    t.relative = r.relative;
    t.verb = verb;
    c->transferKind = FTP_XFER_STORE;
    c->server->ClientEvent(FTP_EV_UPLOAD, c, r.full.c_str());
    StartDataThread(c, StoreThread);
}
}  // namespace

void CloseDataConnection(FtpClientEntry* c) {
    std::unique_lock<std::mutex> g(c->lock);
    // The data thread is told to stop and joined; the control thread is the only one that
    // joins it, and the socket is closed only once nobody uses it.
    if (c->dataSocket >= 0) shutdown(c->dataSocket, SHUT_RDWR);
    if (c->dataThread.joinable()) {
        g.unlock();
        c->dataThread.join();
        g.lock();
    }
    if (c->dataSocket >= 0) close(c->dataSocket);
    c->dataSocket = -1;
    c->transfer = FtpTransferRecord{};
    c->dataMode = FTP_DATA_NONE;
    c->transferKind = FTP_XFER_NONE;
}

void EndDataOnExit(FtpClientEntry* c) {
    if (c->dataThread.joinable()) c->dataThread.join();
}

void HandleDataCommand(FtpClientEntry* c, int verb, const char* arg) {
    switch (verb) {
        case FTP_PORT: HandlePort(c, arg); break;
        case FTP_PASV:
        case FTP_EPSV: HandlePassive(c, verb); break;
        case FTP_LIST:
        case FTP_NLST:
        case FTP_STAT: HandleListing(c, verb, arg); break;
        case FTP_ABOR: {
            bool running;
            {
                std::lock_guard<std::mutex> g(c->lock);  // decided against the data thread's end
                running = c->transferKind.load() != FTP_XFER_NONE;
                if (running) c->aborted = true;
            }
            if (running) {
                CloseDataConnection(c);
                c->aborted = false;
                SendReply(c, "426 Previous command has been finished abnormally.");
            }
            SendReply(c, "226 ABOR command successful.");
            break;
        }
        case FTP_REST: {
            int64_t offset;
            if (c->transferKind.load() != FTP_XFER_NONE || !arg || !ParseRestOffset(arg, &offset) || offset < 0) {
                SendReply(c, "501 Syntax error in arguments.");
                break;
            }
            c->transfer.startOffset = offset;
            SendReply(c, "350 REST command successful.");
            break;
        }
        case FTP_RETR: HandleRetrieve(c, arg); break;
        case FTP_STOR:
        case FTP_APPE:
        case FTP_STOU: HandleStore(c, verb, arg); break;
        default: SendReply(c, "500 Command not understood."); break;
    }
}
