// Benchmark TFTP read client: fetches one file as fast as the server sends it.
//   tftp_client HOST PORT REMOTE LOCAL [blksize] [windowsize]
// Sends a read request (octet) with blksize, windowsize and tsize options. On an OACK it
// answers ACK 0 and uses what the server accepted (no windowsize: one block per ACK); if DATA
// comes directly, the server took no options (512-byte blocks, lock-step). DATA is received
// in batches with recvmmsg straight into a large output buffer that is written in big chunks.
// The last block of each window is acknowledged; a block out of order makes the client
// acknowledge the last block it has in order, so the server resends from there. Block numbers
// wrap at 16 bits (to 0, or to 1 for servers that skip 0). Silence for 1 s resends the last
// packet; 10 silent seconds in a row end the transfer with an error.
// On success prints one line: "blksize B windowsize W bytes N cpu C wall T", C the client's own
// CPU seconds (user + system) and T the seconds from start to end: C close to T means the client
// was the limit of the transfer. Exit status 0 on success.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "libs/platform/sockets.h"

namespace {

constexpr int kBatch = 64;
constexpr size_t kFlushBytes = 8u << 20;
constexpr int kTimeoutMs = 1000;
constexpr int kMaxTries = 10;
constexpr uint16_t kRrq = 1, kData = 3, kAck = 4, kError = 5, kOack = 6;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "tftp_client: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void failErrno(const std::string& what) { fail(what + ": " + std::strerror(errno)); }

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool parseNumber(std::string_view s, unsigned long lo, unsigned long hi, unsigned long& out) {
    if (s.empty() || s.size() > 9) return false;
    unsigned long v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
    }
    if (v < lo || v > hi) return false;
    out = v;
    return true;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

[[noreturn]] void failWithError(const unsigned char* p, size_t len) {
    uint16_t code = len >= 4 ? get16(p + 2) : 0;
    std::string msg;
    for (size_t i = 4; i < len && p[i] != 0; ++i) msg.push_back(static_cast<char>(p[i]));
    fail("server error " + std::to_string(code) + ": " + msg);
}

class Client {
public:
    Client(int sock, int out, size_t blksize, size_t window)
        : sock_(sock), out_(out), blksize_(blksize), window_(window) {}

    // Runs the transfer from the first reply (OACK or DATA 1) already in `first`.
    uint64_t run(const unsigned char* first, size_t firstLen);

private:
    void sendAck(uint16_t block);
    void flush();
    // Takes one DATA block whose payload already sits at `data`; returns true when it was the last.
    bool takeData(uint16_t block, const unsigned char* data, size_t len);

    int sock_, out_;
    size_t blksize_, window_;
    std::vector<unsigned char> buf_;
    size_t fill_ = 0;
    uint64_t total_ = 0;
    uint64_t received_ = 0;  // blocks taken in order
    uint16_t expected_ = 1;
    size_t inWindow_ = 0;
    bool rewindSent_ = false;
    unsigned char ack_[4] = {0, kAck, 0, 0};
};

void Client::sendAck(uint16_t block) {
    ack_[2] = static_cast<unsigned char>(block >> 8);
    ack_[3] = static_cast<unsigned char>(block);
    if (send(sock_, ack_, sizeof ack_, MSG_NOSIGNAL) < 0 && errno != EAGAIN && errno != EINTR && errno != ECONNREFUSED)
        failErrno("send ACK");
}

void Client::flush() {
    size_t off = 0;
    while (off < fill_) {
        ssize_t n = write(out_, buf_.data() + off, fill_ - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            failErrno("write");
        }
        off += static_cast<size_t>(n);
    }
    fill_ = 0;
}

bool Client::takeData(uint16_t block, const unsigned char* data, size_t len) {
    if (block != expected_ && expected_ == 0 && block == 1 && received_ >= 65535)
        expected_ = 1;  // this server wraps from 65535 to 1
    if (block != expected_) {
        // A gap or a repeat: ask once for a resend from the first missing block; the server
        // starts a new window there, so the window count starts again.
        if (!rewindSent_) {
            sendAck(static_cast<uint16_t>(expected_ - 1));
            rewindSent_ = true;
            inWindow_ = 0;
        }
        return false;
    }
    if (data != buf_.data() + fill_) std::memmove(buf_.data() + fill_, data, len);
    fill_ += len;
    total_ += len;
    ++received_;
    expected_ = static_cast<uint16_t>(expected_ + 1);
    rewindSent_ = false;
    if (len < blksize_) {
        sendAck(block);
        return true;
    }
    if (++inWindow_ >= window_) {
        sendAck(block);
        inWindow_ = 0;
    }
    return false;
}

uint64_t Client::run(const unsigned char* first, size_t firstLen) {
    buf_.resize(kFlushBytes + kBatch * blksize_);
    unsigned char hdr[kBatch][4];
    iovec iov[kBatch][2];
    mmsghdr msgs[kBatch];
    std::memset(msgs, 0, sizeof msgs);

    if (get16(first) == kOack) {
        sendAck(0);
    } else {  // DATA 1 straight away
        size_t len = firstLen - 4;
        if (len > blksize_) fail("DATA block longer than the block size");
        std::memcpy(buf_.data(), first + 4, len);
        if (takeData(get16(first + 2), buf_.data(), len)) {
            flush();
            return total_;
        }
    }

    int tries = 0;
    for (;;) {
        if (fill_ >= kFlushBytes) flush();
        unsigned char* base = buf_.data() + fill_;
        for (int i = 0; i < kBatch; ++i) {
            iov[i][0] = {hdr[i], 4};
            iov[i][1] = {base + static_cast<size_t>(i) * blksize_, blksize_};
            msgs[i].msg_hdr.msg_iov = iov[i];
            msgs[i].msg_hdr.msg_iovlen = 2;
            msgs[i].msg_hdr.msg_flags = 0;
        }
        int n = recvmmsg(sock_, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EINTR || errno == ECONNREFUSED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) failErrno("recvmmsg");
            const int r = WaitReadable(sock_, kTimeoutMs);
            if (r < 0) failErrno("poll");
            if (r == 0) {
                if (++tries > kMaxTries)
                    fail("timed out after " + std::to_string(total_) + " bytes (block " + std::to_string(expected_) +
                         " missing)");
                sendAck(static_cast<uint16_t>(expected_ - 1));
                inWindow_ = 0;
                rewindSent_ = true;
            }
            continue;
        }
        tries = 0;
        for (int i = 0; i < n; ++i) {
            size_t len = msgs[i].msg_len;
            if (len < 4) continue;
            const unsigned char* h = hdr[i];
            uint16_t op = get16(h);
            if (op == kData) {
                if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;  // longer than blksize
                if (takeData(get16(h + 2), base + static_cast<size_t>(i) * blksize_, len - 4)) {
                    flush();
                    return total_;
                }
            } else if (op == kError) {
                // The message text went to the data slot: put it back behind the header.
                unsigned char e[516];
                size_t m = std::min({len, sizeof e - 1, 4 + blksize_});
                std::memcpy(e, h, 4);
                std::memcpy(e + 4, base + static_cast<size_t>(i) * blksize_, m - 4);
                e[m] = 0;
                failWithError(e, m);
            } else if (op == kOack && received_ == 0) {
                sendAck(0);  // our ACK 0 got lost
            }
        }
    }
}

timespec monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts;
}

double secondsSince(const timespec& t0) {
    const timespec t1 = monotonicNow();
    return static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 7) {
        std::fprintf(stderr, "usage: tftp_client HOST PORT REMOTE LOCAL [blksize] [windowsize]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    const timespec started = monotonicNow();
    unsigned long blksize = 1468, window = 16;
    if (argc > 5 && !parseNumber(argv[5], 8, 65464, blksize)) fail("bad blksize");
    if (argc > 6 && !parseNumber(argv[6], 1, 65535, window)) fail("bad windowsize");
    std::string_view remote = argv[3];
    if (remote.empty() || remote.size() > 400) fail("bad remote name");

    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* ai = nullptr;
    if (int rc = getaddrinfo(argv[1], argv[2], &hints, &ai); rc != 0)
        fail(std::string("cannot resolve ") + argv[1] + ": " + gai_strerror(rc));
    int sock = socket(ai->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) failErrno("socket");
    int rcvbuf = 8 << 20;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);

    int out = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) failErrno(std::string("open ") + argv[4]);

    // RRQ: opcode, name, mode, then option/value pairs.
    std::string rrq;
    rrq.push_back(0);
    rrq.push_back(static_cast<char>(kRrq));
    auto put = [&](std::string_view s) {
        rrq.append(s);
        rrq.push_back(0);
    };
    put(remote);
    put("octet");
    put("blksize");
    put(std::to_string(blksize));
    put("windowsize");
    put(std::to_string(window));
    put("tsize");
    put("0");

    sockaddr_storage peer{};
    socklen_t peerLen = 0;
    unsigned char first[65536];
    ssize_t firstLen = -1;
    int tries = 0;
    bool resend = true;
    while (firstLen < 0) {
        if (resend) {
            if (++tries > kMaxTries) fail("no answer to the read request");
            if (sendto(sock, rrq.data(), rrq.size(), MSG_NOSIGNAL, ai->ai_addr, ai->ai_addrlen) < 0)
                failErrno("send RRQ");
        }
        const int r = WaitReadable(sock, kTimeoutMs);
        if (r < 0) failErrno("poll");
        resend = r == 0;
        if (r == 0) continue;
        peerLen = sizeof peer;
        ssize_t n = recvfrom(sock, first, sizeof first, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &peerLen);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) continue;
            failErrno("recvfrom");
        }
        if (n < 4) continue;
        uint16_t op = get16(first);
        if (op == kError) failWithError(first, static_cast<size_t>(n));
        if (op == kOack || (op == kData && get16(first + 2) == 1)) firstLen = n;
    }
    freeaddrinfo(ai);
    // The server answers from a port of its own: talk only to that one from now on.
    if (connect(sock, reinterpret_cast<sockaddr*>(&peer), peerLen) < 0) failErrno("connect");

    size_t useBlk = 512, useWindow = 1;
    uint64_t tsize = 0;
    bool haveTsize = false;
    if (get16(first) == kOack) {
        // name\0value\0 pairs; options the server did not name fall back to their defaults.
        const char* p = reinterpret_cast<const char*>(first) + 2;
        const char* end = reinterpret_cast<const char*>(first) + firstLen;
        while (p < end) {
            const char* nameEnd = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
            if (!nameEnd) break;
            const char* val = nameEnd + 1;
            const char* valEnd =
                val < end ? static_cast<const char*>(std::memchr(val, 0, static_cast<size_t>(end - val))) : nullptr;
            if (!valEnd) break;
            std::string_view name(p, static_cast<size_t>(nameEnd - p)), value(val, static_cast<size_t>(valEnd - val));
            unsigned long v = 0;
            if (equalsNoCase(name, "blksize")) {
                if (!parseNumber(value, 8, blksize, v)) fail("server offered a bad blksize");
                useBlk = v;
            } else if (equalsNoCase(name, "windowsize")) {
                if (!parseNumber(value, 1, window, v)) fail("server offered a bad windowsize");
                useWindow = v;
            } else if (equalsNoCase(name, "tsize")) {
                if (value.size() > 19) fail("server offered a bad tsize");
                uint64_t t = 0;
                for (char c : value) {
                    if (c < '0' || c > '9') fail("server offered a bad tsize");
                    t = t * 10 + static_cast<uint64_t>(c - '0');
                }
                tsize = t;
                haveTsize = true;
            }
            p = valEnd + 1;
        }
    }

    Client client(sock, out, useBlk, useWindow);
    uint64_t total = client.run(first, static_cast<size_t>(firstLen));
    if (close(out) < 0) failErrno("close");
    close(sock);
    if (haveTsize && total != tsize)
        fail("received " + std::to_string(total) + " bytes, server announced " + std::to_string(tsize));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::printf("blksize %zu windowsize %zu bytes %llu cpu %.3f wall %.3f\n", useBlk, useWindow,
                static_cast<unsigned long long>(total), cpu, secondsSince(started));
    return 0;
}
