#include "_gui/tftp_client_thread.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

#include "_services/tftp_errsim.h"
#include "libs/log/log.h"
#include "libs/platform/event.h"

namespace {

uint64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::string ErrorText(const char* format, int err)
{
    char text[512];
    snprintf(text, sizeof text, format, err, LastErrorText(err));
    return text;
}

// The file as the engine sees it, over a descriptor.
struct FdFile : TftpClientFile {
    int fd;
    explicit FdFile(int f) : fd(f) {}
    long long ReadAt(uint64_t offset, void* data, size_t length) override
    {
        size_t done = 0;
        while (done < length) {
            ssize_t r = pread(fd, static_cast<char*>(data) + done, length - done, static_cast<off_t>(offset + done));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            if (r == 0)
                break;
            done += static_cast<size_t>(r);
        }
        return static_cast<long long>(done);
    }
    long long Append(const void* data, size_t length) override
    {
        size_t done = 0;
        while (done < length) {
            ssize_t r = write(fd, static_cast<const char*>(data) + done, length - done);
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0)
                return -1;
            done += static_cast<size_t>(r);
        }
        return static_cast<long long>(done);
    }
};

// IPv4 address of a dotted address or host name, network order; 0 when none.
uint32_t Resolve(const std::string& host)
{
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1)
        return a.s_addr;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list)
        return 0;
    uint32_t addr = reinterpret_cast<sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(list);
    return addr;
}

}  // namespace

int TftpClientOpenLocal(int direction, const std::string& path, std::string* error)
{
    char text[512];
    if (direction == TFTPC_GET) {
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            int err = errno;
            snprintf(text, sizeof text, "Error opening file %s for writing\nreturn code is %d (%s)", path.c_str(), err,
                     LastErrorText(err));
            *error = text;
        }
        return fd;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        errno = EISDIR;
    }
    if (fd < 0) {
        int err = errno;
        snprintf(text, sizeof text, "Error opening file %s for reading\nreturn code is %d (%s)", path.c_str(), err,
                 LastErrorText(err));
        *error = text;
        return -1;
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

void TftpClientPace(uint64_t* stampNs, uint32_t microseconds)
{
    const uint64_t until = *stampNs + static_cast<uint64_t>(microseconds) * 1000ull;
    constexpr uint64_t kSpinNs = 60000;  // the scheduler's wake-up jitter
    uint64_t now = NowNs();
    if (now + kSpinNs < until) {
        uint64_t sleep = until - now - kSpinNs;
        timespec ts{static_cast<time_t>(sleep / 1000000000ull), static_cast<long>(sleep % 1000000000ull)};
        nanosleep(&ts, nullptr);
        now = NowNs();
    }
    while (now < until)
        now = NowNs();
    *stampNs = now;
}

TftpClientThread::TftpClientThread() { wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

TftpClientThread::~TftpClientThread()
{
    Cancel();
    Join();
    if (wake_ >= 0)
        close(wake_);
}

bool TftpClientThread::Start(const TftpClientJob& job, int fd, Progress progress, Finished finished)
{
    if (running_.load())
        return false;
    Join();
    uint64_t drain;
    while (read(wake_, &drain, sizeof drain) > 0) {}
    running_.store(true);
    thread_ = std::thread(&TftpClientThread::Run, this, job, fd, std::move(progress), std::move(finished));
    return true;
}

void TftpClientThread::Cancel()
{
    if (!running_.load())
        return;
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
}

void TftpClientThread::Join()
{
    if (thread_.joinable())
        thread_.join();
}

void TftpClientThread::Run(TftpClientJob job, int fd, Progress progress, Finished finished)
{
    const uint64_t startNs = NowNs();
    TftpClientOutcome out;
    FdFile file(fd);
    ErrorSimulatorRecord simCopy{};
    std::function<bool(uint32_t, uint32_t)> drop;
    if (job.errorSimulator && ErrSimLiveRecord().mode != ERRSIM_OFF)
        drop = [&simCopy](uint32_t b, uint32_t total) { return ErrSimShouldDrop(b, total, &simCopy) != 0; };
    TftpClientEngine engine(&file, drop);

    auto end = [&](bool ok, std::string text) {
        out.ok = ok;
        out.text = std::move(text);
        out.blocks = engine.blocks();
        out.bytes = engine.bytesDone();
        out.retransmissions = engine.retransmissions();
        out.seconds = (NowNs() - startNs) / 1000000000ull;
        if (ok) {
            out.md5 = engine.md5();
            out.text = TftpClientDoneText(out.blocks, out.seconds, out.retransmissions, out.md5);
        }
    };

    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    TftpClientRequest req;
    req.direction = job.direction;
    req.serverName = job.server;
    req.serverPort = job.port;
    req.remoteName = job.remoteName;
    req.localName = job.localPath;
    req.blockSize = job.blockSize;
    req.windowSize = job.windowSize;
    struct stat st {};
    if (job.direction == TFTPC_PUT && fstat(fd, &st) == 0)
        req.fileSize = static_cast<uint64_t>(st.st_size);
    bool deleteLocal = false;

    if (sock < 0) {
        end(false, ErrorText("Can't create client socket.\nError code %d (%s)", errno));
    } else if ((req.serverAddr = Resolve(job.server)) == 0) {
        end(false, "Host is unknown or invalid");
    } else {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_addr.s_addr = req.serverAddr;
        uint64_t paceStamp = NowNs();
        uint64_t deadline = 0, lastProgress = 0;
        std::vector<uint8_t> buffer(65536);
        bool sendFailed = false;
        int sendErr = 0;

        auto apply = [&](const TftpClientStep& step) {
            for (const std::string& line : step.log)
                LogPrint(1, "%s", line.c_str());
            for (const TftpClientDatagram& d : step.send) {
                if (d.data && job.interFrameDelayUs)
                    TftpClientPace(&paceStamp, job.interFrameDelayUs);
                peer.sin_port = htons(d.port);
                ssize_t r = sendto(sock, d.bytes.data(), d.bytes.size(), MSG_NOSIGNAL,
                                   reinterpret_cast<sockaddr*>(&peer), sizeof peer);
                if (r < 0 && errno != ENOBUFS && errno != EAGAIN && !sendFailed) {
                    sendFailed = true;
                    sendErr = errno;
                }
            }
            if (step.restartTimer)
                deadline = NowNs() + kTftpcTimerMs * 1000000ull;
            if (step.status == TftpClientStatus::Failed) {
                deleteLocal = step.deleteLocal;
                end(false, step.error);
            } else if (step.status == TftpClientStatus::Done) {
                end(true, "");
            }
        };

        apply(engine.Start(req));
        while (engine.status() == TftpClientStatus::Running) {
            if (sendFailed) {
                sendFailed = false;
                apply(engine.Abort(ErrorText(
                    "can not send data packet.\nTFTP server may have been stopped\nError code %d (%s)", sendErr)));
                break;
            }
            uint64_t now = NowNs();
            if (now >= deadline) {
                apply(engine.OnTimeout());
                continue;
            }
            int ms = static_cast<int>((deadline - now + 999999) / 1000000);
            int r = WaitAny(sock, wake_, ms);
            if (r & WAIT_FAILED) {
                apply(engine.Abort(ErrorText("Error in Recv.\nError code is %d (%s)", errno)));
                break;
            }
            if (r == 0)
                continue;
            if (r & WAIT_STOP) {
                apply(engine.Cancel());
                break;
            }
            // Everything waiting, then back to the clock.
            for (int i = 0; i < 256 && engine.status() == TftpClientStatus::Running; ++i) {
                sockaddr_in from{};
                socklen_t len = sizeof from;
                ssize_t r = recvfrom(sock, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
                if (r < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                        break;
                    if (errno == ECONNREFUSED)
                        continue;
                    apply(engine.Abort(ErrorText("Error in Recv.\nError code is %d (%s)", errno)));
                    break;
                }
                apply(engine.OnDatagram(buffer.data(), static_cast<size_t>(r), from.sin_addr.s_addr,
                                        ntohs(from.sin_port)));
            }
            uint64_t t = NowNs();
            if (progress && t - lastProgress >= 1000000000ull) {
                lastProgress = t;
                uint64_t size = engine.fileSize();
                int percent =
                    size / 100 ? static_cast<int>(std::min<uint64_t>(100, engine.bytesDone() / (size / 100))) : 0;
                progress(percent, engine.blocks());
            }
        }
    }
    if (sock >= 0)
        close(sock);
    close(fd);
    if (deleteLocal)
        unlink(job.localPath.c_str());
    running_.store(false);
    if (finished)
        finished(out);
}
