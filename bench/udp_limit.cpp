// The loopback limit of a windowed TFTP-like transfer on this machine: a plain UDP sender and
// receiver, nothing else (no file, no parsing, no timers).
//   udp_limit [bytes] [block] [window]     (defaults: 268435456 bytes, block 1468, window 16)
// The sender sends a window of datagrams of 4 + block bytes in as few system calls as the
// kernel takes (UDP_SEGMENT through the server's own helper, as the server sends its windows;
// sendmmsg where the kernel cannot cut datagrams), then
// waits for the 4-byte acknowledgement that the receiver sends after the last datagram of the
// window; the receiver takes datagrams in batches with recvmmsg. The two run as two threads
// on 127.0.0.1. Prints one line: "block B window W bytes N seconds S MB/s R" (MB = 10^6 bytes
// of block payload, as a transfer counts its file).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "libs/platform/sockets.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "udp_limit: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

int Bound(sockaddr_in* addr) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) Fail("socket");
    int size = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    *addr = sockaddr_in{};
    addr->sin_family = AF_INET;
    addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(addr), sizeof *addr) != 0) Fail("bind");
    socklen_t len = sizeof *addr;
    getsockname(s, reinterpret_cast<sockaddr*>(addr), &len);
    return s;
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One window from the sender: UDP_SEGMENT when the kernel takes it (in as many sends as its
// limits ask for), else sendmmsg for what is left.
bool SendWindow(int s, const sockaddr_in& to, std::vector<uint8_t>& buf, size_t datagram, unsigned count,
                bool* segment) {
    unsigned sent = 0;
    const size_t perSend = UdpSegmentsPerSend(datagram);
    if (perSend == 0) *segment = false;
    while (*segment && sent < count) {
        const size_t n = std::min<size_t>(count - sent, perSend);
        iovec iov{buf.data() + sent * datagram, n * datagram};
        if (SendUdpSegments(s, &iov, 1, datagram, &to) >= 0) {
            sent += static_cast<unsigned>(n);
            continue;
        }
        if (!UdpSegmentsRefused(errno)) return false;
        *segment = false;
    }
    if (sent == count) return true;
    std::vector<mmsghdr> msgs(count - sent);
    std::vector<iovec> iovs(count - sent);
    for (unsigned i = 0; i < count - sent; ++i) {
        iovs[i] = iovec{buf.data() + (sent + i) * datagram, datagram};
        msgs[i] = mmsghdr{};
        msgs[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
        msgs[i].msg_hdr.msg_namelen = sizeof to;
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (unsigned done = 0; done < msgs.size();) {
        int n = sendmmsg(s, msgs.data() + done, static_cast<unsigned>(msgs.size()) - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<unsigned>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const uint64_t bytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256ull << 20;
    const size_t block = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1468;
    const unsigned window = argc > 3 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 16;
    if (block == 0 || block > 65000 || window == 0 || window > 64) {
        std::fprintf(stderr, "usage: udp_limit [bytes] [block] [window]\n");
        return 2;
    }
    const size_t datagram = 4 + block;
    const uint64_t datagrams = (bytes + block - 1) / block;
    sockaddr_in senderAddr, receiverAddr;
    const int sender = Bound(&senderAddr);
    const int receiver = Bound(&receiverAddr);

    std::thread rx([&] {
        constexpr int kBatch = 64;
        std::vector<uint8_t> storage(kBatch * datagram);
        mmsghdr msgs[kBatch];
        iovec iovs[kBatch];
        uint64_t got = 0;
        unsigned inWindow = 0;
        while (got < datagrams) {
            for (int i = 0; i < kBatch; ++i) {
                iovs[i] = iovec{storage.data() + i * datagram, datagram};
                msgs[i] = mmsghdr{};
                msgs[i].msg_hdr.msg_iov = &iovs[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int n = recvmmsg(receiver, msgs, kBatch, MSG_WAITFORONE, nullptr);
            if (n < 0) {
                if (errno == EINTR) continue;
                Fail("recvmmsg");
            }
            for (int i = 0; i < n; ++i) {
                ++got;
                if (++inWindow == window || got == datagrams) {
                    inWindow = 0;
                    const uint8_t ack[4] = {0, 4, 0, 0};
                    sendto(receiver, ack, sizeof ack, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&senderAddr),
                           sizeof senderAddr);
                }
            }
        }
    });

    std::vector<uint8_t> buf(datagram * window, 0x5a);
    bool segment = true;
    const double t0 = Now();
    for (uint64_t sent = 0; sent < datagrams;) {
        const unsigned count = static_cast<unsigned>(std::min<uint64_t>(window, datagrams - sent));
        if (!SendWindow(sender, receiverAddr, buf, datagram, count, &segment)) Fail("send");
        sent += count;
        uint8_t ack[16];
        // A lost datagram would leave the window unacknowledged: loopback with 4 MB buffers
        // does not lose, and a stuck run ends by the time-out of the caller.
        if (recv(sender, ack, sizeof ack, 0) < 0) Fail("recv");
    }
    rx.join();
    const double seconds = Now() - t0;
    std::printf("block %zu window %u bytes %llu seconds %.3f MB/s %.1f%s\n", block, window,
                static_cast<unsigned long long>(datagrams * block), seconds,
                static_cast<double>(datagrams * block) / seconds / 1e6, segment ? "" : " (no UDP_SEGMENT)");
    close(sender);
    close(receiver);
    return 0;
}
