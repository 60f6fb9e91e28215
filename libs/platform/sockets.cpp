#include "libs/platform/sockets.h"
#include "libs/platform/clock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

void IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }

bool ParseIPv4(const char* text, in_addr* out) {
    if (!text || !*text) return false;
    return inet_pton(AF_INET, text, out) == 1;
}

std::string IPv4Text(in_addr a) {
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::string IPv4Text(uint32_t networkOrder) {
    in_addr a;
    a.s_addr = networkOrder;
    return IPv4Text(a);
}

int ServicePort(const char* name, const char* proto) {
    if (!name) return 0;
    servent se, *res = nullptr;
    char buf[1024];
    if (getservbyname_r(name, proto, &se, buf, sizeof buf, &res) == 0 && res)
        return ntohs(static_cast<uint16_t>(res->s_port));
    return 0;
}

bool EnablePktinfo(int sock) {
    int one = 1;
    return setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &one, sizeof one) == 0;
}

bool EnableArrivalStamps(int sock) {
    int one = 1;
    return setsockopt(sock, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one) == 0;
}

namespace {
void ReadPktinfo(msghdr& msg, Datagram* info) {
    info->ifindex = 0;
    info->local.s_addr = 0;
    info->replyFrom.s_addr = 0;
    info->arrival = timespec{};
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo pi;
            memcpy(&pi, CMSG_DATA(c), sizeof pi);
            info->ifindex = pi.ipi_ifindex;
            info->local = pi.ipi_addr;
            info->replyFrom = pi.ipi_spec_dst;
        } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            memcpy(&info->arrival, CMSG_DATA(c), sizeof info->arrival);
        }
    }
}

constexpr size_t kPktinfoSpace = CMSG_SPACE(sizeof(in_pktinfo));

// The interface and source address a datagram leaves with (none when both are 0).
void SetSendPktinfo(msghdr& msg, char* control, int ifindex, in_addr src) {
    if (ifindex == 0 && src.s_addr == 0) return;
    memset(control, 0, kPktinfoSpace);
    msg.msg_control = control;
    msg.msg_controllen = kPktinfoSpace;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo pi{};
    pi.ipi_ifindex = ifindex;
    pi.ipi_spec_dst = src;
    memcpy(CMSG_DATA(c), &pi, sizeof pi);
}

// One entry of a batch: the address and the single buffer, no control data yet.
msghdr& InitMessage(mmsghdr& entry, sockaddr_in* address, iovec* iov) {
    entry.msg_len = 0;
    msghdr& m = entry.msg_hdr;
    m = msghdr{};
    m.msg_name = address;
    m.msg_namelen = sizeof *address;
    m.msg_iov = iov;
    m.msg_iovlen = 1;
    return m;
}

// Control space for one IP_PKTINFO (and room for any other the socket asks for).
constexpr size_t kControlSize = 128;
static_assert(kControlSize >= kPktinfoSpace + CMSG_SPACE(sizeof(timespec)));
}  // namespace

ssize_t RecvDatagram(int sock, void* buf, size_t size, Datagram* info, int flags) {
    iovec iov{buf, size};
    alignas(cmsghdr) char control[256];
    msghdr msg{};
    sockaddr_in peer{};
    msg.msg_name = &peer;
    msg.msg_namelen = sizeof peer;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do { n = recvmsg(sock, &msg, flags); } while (n < 0 && errno == EINTR);
    if (n < 0) return n;
    if (info) {
        info->peer = peer;
        info->truncated = (msg.msg_flags & MSG_TRUNC) != 0;
        ReadPktinfo(msg, info);
    }
    return n;
}

ssize_t SendDatagram(int sock, const void* buf, size_t len, const sockaddr_in& to, int ifindex, in_addr src) {
    iovec iov{const_cast<void*>(buf), len};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&to);
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[kPktinfoSpace];
    SetSendPktinfo(msg, control, ifindex, src);
    ssize_t n;
    do { n = sendmsg(sock, &msg, MSG_NOSIGNAL); } while (n < 0 && errno == EINTR);
    return n;
}

int RecvDatagrams(int sock, uint8_t* const* bufs, size_t size, ssize_t* lengths, Datagram* infos, int count,
                  int flags) {
    count = std::min(count, kDatagramBatch);
    if (count <= 0) return 0;
    mmsghdr msgs[kDatagramBatch];
    iovec iov[kDatagramBatch];
    sockaddr_in peers[kDatagramBatch];
    alignas(cmsghdr) char control[kDatagramBatch][kControlSize];
    for (int i = 0; i < count; ++i) {
        iov[i] = iovec{bufs[i], size};
        peers[i] = sockaddr_in{};
        msghdr& m = InitMessage(msgs[i], &peers[i], &iov[i]);
        m.msg_control = control[i];
        m.msg_controllen = kControlSize;
    }
    int n;
    do { n = recvmmsg(sock, msgs, static_cast<unsigned>(count), flags, nullptr); } while (n < 0 && errno == EINTR);
    for (int i = 0; i < n; ++i) {
        lengths[i] = static_cast<ssize_t>(msgs[i].msg_len);
        infos[i].peer = peers[i];
        infos[i].truncated = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        ReadPktinfo(msgs[i].msg_hdr, &infos[i]);
    }
    return n;
}

int SendDatagrams(int sock, const OutgoingDatagram* out, int count, int* errors, int flags) {
    mmsghdr msgs[kDatagramBatch];
    iovec iov[kDatagramBatch];
    sockaddr_in to[kDatagramBatch];
    alignas(cmsghdr) char control[kDatagramBatch][kPktinfoSpace];
    int sent = 0;
    for (int base = 0; base < count; base += kDatagramBatch) {
        const int chunk = std::min(count - base, kDatagramBatch);
        for (int i = 0; i < chunk; ++i) {
            const OutgoingDatagram& d = out[base + i];
            iov[i] = iovec{const_cast<void*>(d.data), d.len};
            to[i] = d.to;
            SetSendPktinfo(InitMessage(msgs[i], &to[i], &iov[i]), control[i], d.ifindex, d.src);
        }
        // sendmmsg stops at the first failure: that datagram is counted as failed, and the
        // rest go in the next call.
        int i = 0;
        while (i < chunk) {
            int n = sendmmsg(sock, msgs + i, static_cast<unsigned>(chunk - i), MSG_NOSIGNAL | flags);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                errors[base + i] = n < 0 ? errno : EIO;
                ++i;
                continue;
            }
            for (int k = 0; k < n; ++k, ++i) {
                const bool whole = msgs[i].msg_len >= iov[i].iov_len;
                errors[base + i] = whole ? 0 : EMSGSIZE;
                sent += whole;
            }
        }
    }
    return sent;
}

size_t UdpSegmentsPerSend(size_t segmentSize) {
    return segmentSize == 0 ? 0 : std::min(kUdpSegmentsMax, kUdpSegmentBytesMax / segmentSize);
}

ssize_t SendUdpSegments(int sock, const iovec* iov, size_t iovCount, size_t segmentSize, const sockaddr_in* to) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in*>(to);
    m.msg_namelen = to ? sizeof *to : 0;
    m.msg_iov = const_cast<iovec*>(iov);
    m.msg_iovlen = iovCount;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t size = static_cast<uint16_t>(segmentSize);
    memcpy(CMSG_DATA(c), &size, sizeof size);
    return sendmsg(sock, &m, MSG_NOSIGNAL);
}

bool UdpSegmentsRefused(int err) {
    return err == EINVAL || err == EIO || err == EOPNOTSUPP || err == ENOPROTOOPT || err == EMSGSIZE;
}

ssize_t SendAllBlocking(int sock, const void* data, size_t length, int flags) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    size_t left = length;
    while (left > 0) {
        const ssize_t n = send(sock, p, left, MSG_NOSIGNAL | flags);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // a stream send that takes nothing: never seen, but no loop
            return -1;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(length);
}

int SendAllWaiting(int sock, const void* data, size_t length, const std::function<int()>& waitRoom) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    while (length > 0) {
        ssize_t n = send(sock, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = waitRoom();
            if (r != 1) return r < 0 ? -1 : 0;
            continue;
        }
        return -1;
    }
    return 1;
}

int SendAllWithin(int sock, const void* data, size_t length, int timeoutMs) {
    const int64_t deadline = MonotonicMs() + timeoutMs;
    return SendAllWaiting(sock, data, length, [&] {
        const int64_t left = deadline - MonotonicMs();
        if (left <= 0) return 0;
        const int r = WaitEvents(sock, POLLOUT, static_cast<int>(left));
        if (r < 0 || (r & (POLLERR | POLLNVAL))) return -1;
        return 1;  // room, or the time is up: the next send finds out which
    });
}

int WaitEvents(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do { r = poll(&p, 1, timeoutMs); } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    return r > 0 ? p.revents : 0;
}

int WaitReadable(int fd, int timeoutMs) {
    const int r = WaitEvents(fd, POLLIN, timeoutMs);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

int OpenTcpListener(uint32_t address, uint16_t port, int backlog, int flags, const char** failedCall) {
    const char* failed = "socket";
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (s >= 0) {
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = address;
        if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
            failed = "bind";
        else if (listen(s, backlog) != 0)
            failed = "listen";
        else
            return s;
        int err = errno;
        close(s);
        errno = err;
    }
    if (failedCall) *failedCall = failed;
    return -1;
}

BindFailure ClassifyBindError(int err) {
    if (err == EADDRINUSE || err == EINVAL) return BIND_IN_USE;
    return err == EADDRNOTAVAIL ? BIND_NOT_AVAILABLE : BIND_OTHER;
}

int LocalPort(int sock) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return 0;
    return ntohs(sa.sin_port);
}
