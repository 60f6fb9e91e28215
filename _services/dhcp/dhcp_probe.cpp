#include "dhcp_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dhcp_log.h"
#include "interfaces.h"

namespace {

// Raw ICMP socket filter (the kernel's ICMP_FILTER): a set bit drops that ICMP type.
constexpr int kIcmpFilter = 1;
struct IcmpFilter {
    uint32_t data;
};

std::atomic<uint16_t> g_sequence{0};
std::atomic<bool> g_probeFailureLogged{false};

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int SocketFailure(int err) { return err == EACCES || err == EPERM ? kPingAccessDenied : kPingSocketError; }

}  // namespace

uint16_t ipChecksum(const uint8_t* bytes, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) {
        uint16_t w;
        std::memcpy(&w, bytes + i, 2);
        sum += w;
    }
    if (i < length) sum += bytes[i];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t out[45], uint16_t sequence, uint32_t tick) {
    std::memset(out, 0, 45);
    out[0] = 8;
    out[4] = kPingIdentifier & 0xFF;
    out[5] = kPingIdentifier >> 8;
    out[6] = static_cast<uint8_t>(sequence);
    out[7] = static_cast<uint8_t>(sequence >> 8);
    for (int i = 0; i < 4; ++i) out[9 + i] = static_cast<uint8_t>(tick >> (8 * i));
    for (int i = 0; i < 32; ++i) out[13 + i] = static_cast<uint8_t>(0x20 + i);
    uint16_t c = ipChecksum(out, 45);
    std::memcpy(out + 2, &c, 2);
}

int ClassifyIcmpReply(const uint8_t* data, size_t length, bool withIpHeader, uint32_t source, uint32_t target,
                      uint16_t sequence) {
    size_t off = 0;
    if (withIpHeader) {
        if (length < 20) return 0;
        off = static_cast<size_t>(data[0] & 0x0F) * 4;
        if (off < 20) return 0;
    }
    if (length < off + 8) return 0;
    const uint8_t* icmp = data + off;
    const uint8_t idLo = kPingIdentifier & 0xFF, idHi = kPingIdentifier >> 8;
    const uint8_t seqLo = static_cast<uint8_t>(sequence), seqHi = static_cast<uint8_t>(sequence >> 8);
    if (icmp[0] == 0) {
        if (source != target) return 0;
        // An unprivileged ICMP socket replaces the identifier with its own; the kernel has
        // already matched it.
        if (withIpHeader && (icmp[4] != idLo || icmp[5] != idHi)) return 0;
        return icmp[6] == seqLo && icmp[7] == seqHi ? 1 : 0;
    }
    if (icmp[0] == 3 || icmp[0] == 11) {
        // The error quotes our request: its IP header, then the first 8 bytes of our echo.
        const uint8_t* inner = icmp + 8;
        if (length < off + 8 + 20) return 0;
        size_t ihl = static_cast<size_t>(inner[0] & 0x0F) * 4;
        if (ihl < 20 || length < off + 8 + ihl + 8) return 0;
        uint32_t dst;
        std::memcpy(&dst, inner + 16, 4);
        const uint8_t* echo = inner + ihl;
        if (dst != target || echo[0] != 8) return 0;
        if (withIpHeader && (echo[4] != idLo || echo[5] != idHi)) return 0;
        if (echo[6] != seqLo || echo[7] != seqHi) return 0;
        return icmp[0] == 3 ? kPingUnreachable : kPingTimeExceeded;
    }
    return 0;
}

int ping(uint32_t address, int timeoutMs) {
    bool raw = true;
    int s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (s >= 0) {
        // Only echo replies and the errors about a request reach this socket.
        IcmpFilter filter{~((1u << 0) | (1u << 3) | (1u << 11))};
        setsockopt(s, SOL_RAW, kIcmpFilter, &filter, sizeof filter);
    } else {
        raw = false;
        s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (s < 0) return SocketFailure(errno);
    }
    const uint16_t seq = ++g_sequence;
    uint8_t echo[45];
    const int64_t start = MonotonicMs();
    BuildEchoRequest(echo, seq, static_cast<uint32_t>(start));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    ssize_t sent = sendto(s, echo, sizeof echo, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (sent != static_cast<ssize_t>(sizeof echo)) {
        int err = errno;
        close(s);
        return SocketFailure(err);
    }
    int result = kPingTimeout;
    while (true) {
        int64_t left = timeoutMs - (MonotonicMs() - start);
        if (left <= 0) break;
        pollfd p{s, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r == 0) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            result = kPingWaitError;
            break;
        }
        uint8_t buf[512];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = kPingWaitError;
            break;
        }
        int c = ClassifyIcmpReply(buf, static_cast<size_t>(n), raw, from.sin_addr.s_addr, address, seq);
        if (c == 1) {
            int64_t rtt = MonotonicMs() - start;
            result = rtt > 0 ? static_cast<int>(rtt) : 1;
            break;
        }
        if (c < 0) {
            result = c;
            break;
        }
    }
    close(s);
    return result;
}

int ProbeAddressInUse(uint32_t address) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        int r = ping(address, 500);
        if (r == kPingTimeout) continue;
        if (r == kPingAccessDenied || r == kPingSocketError) {
            if (!g_probeFailureLogged.exchange(true))
                DhcpLog(1, "DHCP Err: cannot probe addresses (ICMP socket error %d); offering without probe", r);
            return -1;
        }
        return 1;
    }
    return 0;
}

namespace {

#pragma pack(push, 1)
struct ArpPacket {
    uint16_t htype, ptype;
    uint8_t hlen, plen;
    uint16_t oper;
    uint8_t sha[6];
    uint32_t spa;
    uint8_t tha[6];
    uint32_t tpa;
};
#pragma pack(pop)
static_assert(sizeof(ArpPacket) == 28);

// 1 answered, 0 no answer, -1 no right to send ARP here.
int ArpOnInterface(const InterfaceAddress& ifa, uint32_t address, uint8_t mac[6]) {
    int s = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (s < 0) return -1;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifa.name.c_str());
    if (ioctl(s, SIOCGIFHWADDR, &ifr) != 0) {
        close(s);
        return -1;
    }
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ARP);
    ll.sll_ifindex = ifa.ifindex;
    if (bind(s, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0) {
        close(s);
        return -1;
    }
    ArpPacket req{};
    req.htype = htons(ARPHRD_ETHER);
    req.ptype = htons(ETH_P_IP);
    req.hlen = 6;
    req.plen = 4;
    req.oper = htons(ARPOP_REQUEST);
    std::memcpy(req.sha, ifr.ifr_hwaddr.sa_data, 6);
    req.spa = ifa.addr.s_addr;
    req.tpa = address;
    sockaddr_ll to = ll;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    bool found = false;
    if (sendto(s, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == sizeof req) {
        const int64_t start = MonotonicMs();
        while (!found) {
            int64_t left = 1000 - (MonotonicMs() - start);
            if (left <= 0) break;
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            ArpPacket reply{};
            ssize_t n = recv(s, &reply, sizeof reply, 0);
            if (n < static_cast<ssize_t>(sizeof reply)) continue;
            if (ntohs(reply.oper) == ARPOP_REPLY && reply.spa == address) {
                std::memcpy(mac, reply.sha, 6);
                found = true;
            }
        }
    }
    close(s);
    return found ? 1 : 0;
}

// Without the right to send ARP: make the kernel resolve the address, then read its table.
bool ArpFromNeighbourTable(uint32_t address, uint8_t mac[6]) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = address;
        sendto(s, "", 0, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(s);
    }
    char want[INET_ADDRSTRLEN];
    in_addr in{address};
    inet_ntop(AF_INET, &in, want, sizeof want);
    for (int tries = 0; tries < 10; ++tries) {
        usleep(100000);
        FILE* f = std::fopen("/proc/net/arp", "re");
        if (!f) return false;
        char line[256];
        bool found = false;
        while (std::fgets(line, sizeof line, f)) {
            char ip[64], hw[64];
            unsigned type, flags;
            if (std::sscanf(line, "%63s 0x%x 0x%x %63s", ip, &type, &flags, hw) != 4) continue;
            unsigned v[6];
            if (std::strcmp(ip, want) == 0 && (flags & 0x2) &&
                std::sscanf(hw, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6) {
                for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
                found = true;
            }
        }
        std::fclose(f);
        if (found) return true;
    }
    return false;
}

}  // namespace

bool ArpOwner(uint32_t address, uint8_t mac[6]) {
    for (const auto& ifa : ListInterfaceAddresses()) {
        if (!ifa.up || ifa.loopback) continue;
        if ((ifa.addr.s_addr & ifa.mask.s_addr) != (address & ifa.mask.s_addr)) continue;
        int r = ArpOnInterface(ifa, address, mac);
        return r < 0 ? ArpFromNeighbourTable(address, mac) : r == 1;
    }
    return false;
}
