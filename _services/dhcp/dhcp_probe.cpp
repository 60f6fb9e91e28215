#include "_services/dhcp/dhcp_probe.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "_services/dhcp/dhcp_log.h"
#include "libs/platform/clock.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/sockets.h"

namespace {

// Raw ICMP socket filter (the kernel's ICMP_FILTER): a set bit drops that ICMP type.
constexpr int kIcmpFilter = 1;
struct IcmpFilter {
    uint32_t data;
};

std::atomic<uint16_t> g_sequence{0};
std::atomic<bool> g_probeFailureLogged{false};

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
    out[0] = ICMP_ECHO;
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
    if (icmp[0] == ICMP_ECHOREPLY) {
        if (source != target) return 0;
        // An unprivileged ICMP socket replaces the identifier with its own; the kernel has
        // already matched it.
        if (withIpHeader && (icmp[4] != idLo || icmp[5] != idHi)) return 0;
        return icmp[6] == seqLo && icmp[7] == seqHi ? 1 : 0;
    }
    if (icmp[0] == ICMP_DEST_UNREACH || icmp[0] == ICMP_TIME_EXCEEDED) {
        // The error quotes our request: its IP header, then the first 8 bytes of our echo.
        const uint8_t* inner = icmp + 8;
        if (length < off + 8 + 20) return 0;
        size_t ihl = static_cast<size_t>(inner[0] & 0x0F) * 4;
        if (ihl < 20 || length < off + 8 + ihl + 8) return 0;
        uint32_t dst;
        std::memcpy(&dst, inner + 16, 4);
        const uint8_t* echo = inner + ihl;
        if (dst != target || echo[0] != ICMP_ECHO) return 0;
        if (withIpHeader && (echo[4] != idLo || echo[5] != idHi)) return 0;
        if (echo[6] != seqLo || echo[7] != seqHi) return 0;
        return icmp[0] == ICMP_DEST_UNREACH ? kPingUnreachable : kPingTimeExceeded;
    }
    return 0;
}

int ping(uint32_t address, int timeoutMs) {
    bool raw = true;
    int s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (s >= 0) {
        // Only echo replies and the errors about a request reach this socket.
        IcmpFilter filter{~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED))};
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
        const int r = WaitReadable(s, static_cast<int>(left));
        if (r == 0) break;
        if (r < 0) {
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
    // The owner is asked by ARP first; its answer does not decide, the echoes do.
    uint8_t owner[6];
    ArpOwner(address, owner);
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

void BuildArpRequest(ArpPacket* out, const uint8_t senderMac[6], uint32_t senderIp, uint32_t target) {
    std::memset(out, 0, sizeof *out);
    out->htype = htons(ARPHRD_ETHER);
    out->ptype = htons(ETH_P_IP);
    out->hlen = 6;
    out->plen = 4;
    out->oper = htons(ARPOP_REQUEST);
    std::memcpy(out->senderMac, senderMac, 6);
    out->senderIp = senderIp;
    out->targetIp = target;
}

bool ParseArpReply(const uint8_t* data, size_t length, uint32_t target, uint8_t mac[6]) {
    if (length < sizeof(ArpPacket)) return false;
    ArpPacket a;
    std::memcpy(&a, data, sizeof a);
    if (ntohs(a.htype) != ARPHRD_ETHER || ntohs(a.ptype) != ETH_P_IP || a.hlen != 6 || a.plen != 4) return false;
    if (ntohs(a.oper) != ARPOP_REPLY || a.senderIp != target) return false;
    static const uint8_t zero[6] = {};
    if (std::memcmp(a.senderMac, zero, 6) == 0) return false;
    std::memcpy(mac, a.senderMac, 6);
    return true;
}

size_t BuildNeighbourDumpRequest(uint8_t* out, size_t size, uint32_t sequence) {
    const size_t len = NLMSG_LENGTH(sizeof(ndmsg));
    if (size < len) return 0;
    std::memset(out, 0, len);
    nlmsghdr h{};
    h.nlmsg_len = static_cast<uint32_t>(len);
    h.nlmsg_type = RTM_GETNEIGH;
    h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    h.nlmsg_seq = sequence;
    ndmsg nd{};
    nd.ndm_family = AF_INET;
    std::memcpy(out, &h, sizeof h);
    std::memcpy(out + NLMSG_HDRLEN, &nd, sizeof nd);
    return len;
}

int ParseNeighbourDump(const uint8_t* data, size_t length, uint32_t target, uint8_t mac[6]) {
    // States in which the entry holds a link address the kernel has confirmed.
    constexpr uint16_t kValid = NUD_PERMANENT | NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE;
    size_t off = 0;
    while (off + sizeof(nlmsghdr) <= length) {
        nlmsghdr h;
        std::memcpy(&h, data + off, sizeof h);
        if (h.nlmsg_len < sizeof h || h.nlmsg_len > length - off) return -1;
        if (h.nlmsg_type == NLMSG_DONE || h.nlmsg_type == NLMSG_ERROR) return -1;
        if (h.nlmsg_type == RTM_NEWNEIGH && h.nlmsg_len >= NLMSG_LENGTH(sizeof(ndmsg))) {
            ndmsg nd;
            std::memcpy(&nd, data + off + NLMSG_HDRLEN, sizeof nd);
            bool dstMatches = false;
            uint8_t lladdr[6];
            bool haveLl = false;
            size_t a = off + NLMSG_LENGTH(sizeof(ndmsg));
            const size_t end = off + h.nlmsg_len;
            while (a + sizeof(rtattr) <= end) {
                rtattr ra;
                std::memcpy(&ra, data + a, sizeof ra);
                if (ra.rta_len < sizeof ra || ra.rta_len > end - a) break;
                const size_t payload = ra.rta_len - RTA_LENGTH(0);
                const uint8_t* p = data + a + RTA_LENGTH(0);
                if (ra.rta_type == NDA_DST && payload == 4) dstMatches = std::memcmp(p, &target, 4) == 0;
                if (ra.rta_type == NDA_LLADDR && payload == 6) {
                    std::memcpy(lladdr, p, 6);
                    haveLl = true;
                }
                a += RTA_ALIGN(ra.rta_len);
            }
            if (nd.ndm_family == AF_INET && (nd.ndm_state & kValid) && dstMatches && haveLl) {
                std::memcpy(mac, lladdr, 6);
                return 1;
            }
        }
        off += NLMSG_ALIGN(h.nlmsg_len);
    }
    return 0;
}

namespace {

// 1 answered, 0 no answer, -1 no right to send ARP here.
int ArpOnInterface(const InterfaceAddress& ifa, uint32_t address, uint8_t mac[6]) {
    int s = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (s < 0) return -1;
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifa.name.c_str());
    if (ioctl(s, SIOCGIFHWADDR, &ifr) != 0 || ifr.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        close(s);
        return 0;
    }
    sockaddr_ll ll{};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ARP);
    ll.sll_ifindex = ifa.ifindex;
    if (bind(s, reinterpret_cast<sockaddr*>(&ll), sizeof ll) != 0) {
        close(s);
        return -1;
    }
    ArpPacket req;
    BuildArpRequest(&req, reinterpret_cast<const uint8_t*>(ifr.ifr_hwaddr.sa_data), ifa.addr.s_addr, address);
    sockaddr_ll to = ll;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xFF, 6);
    bool found = false;
    if (sendto(s, &req, sizeof req, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
        static_cast<ssize_t>(sizeof req)) {
        const int64_t start = MonotonicMs();
        while (!found) {
            int64_t left = 1000 - (MonotonicMs() - start);
            if (left <= 0) break;
            if (WaitReadable(s, static_cast<int>(left)) <= 0) break;
            uint8_t buf[128];
            ssize_t n = recv(s, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) continue;
            found = ParseArpReply(buf, static_cast<size_t>(n), address, mac);
        }
    }
    close(s);
    return found ? 1 : 0;
}

// One look at the kernel's neighbour table: 1 found, 0 not there, -1 the table cannot be read.
int NeighbourLookup(uint32_t address, uint8_t mac[6]) {
    int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (s < 0) return -1;
    alignas(nlmsghdr) uint8_t req[64];
    size_t len = BuildNeighbourDumpRequest(req, sizeof req, 1);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(s, req, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(len)) {
        close(s);
        return -1;
    }
    int result = 0;
    alignas(nlmsghdr) uint8_t buf[16384];
    while (true) {
        if (WaitReadable(s, 500) <= 0) {
            result = -1;
            break;
        }
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            result = -1;
            break;
        }
        int f = ParseNeighbourDump(buf, static_cast<size_t>(n), address, mac);
        if (f != 0) {
            result = f > 0 ? 1 : 0;
            break;
        }
    }
    close(s);
    return result;
}

}  // namespace

bool NeighbourOwner(uint32_t address, uint8_t mac[6]) {
    // A datagram to the discard port makes the kernel resolve the address.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = address;
        sendto(s, "", 0, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(s);
    }
    for (int tries = 0; tries < 10; ++tries) {
        usleep(100000);
        int r = NeighbourLookup(address, mac);
        if (r != 0) return r > 0;
    }
    return false;
}

bool ArpOwner(uint32_t address, uint8_t mac[6]) {
    for (const auto& ifa : ListInterfaceAddresses()) {
        if (!ifa.up || ifa.loopback) continue;
        if ((ifa.addr.s_addr & ifa.mask.s_addr) != (address & ifa.mask.s_addr)) continue;
        int r = ArpOnInterface(ifa, address, mac);
        return r < 0 ? NeighbourOwner(address, mac) : r == 1;
    }
    return false;
}
