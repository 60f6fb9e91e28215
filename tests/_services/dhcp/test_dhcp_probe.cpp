// Address probes: the echo format and which replies count, the ARP who-has and which
// answers count, the neighbour-table reading, a real echo on loopback, and ARP and the
// neighbour table against a peer in network namespaces of the test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "_services/dhcp/dhcp_probe.h"
#include "tests/_services/dhcp/dhcp_test_util.h"
#include "tests/support/skip.h"

namespace {

std::vector<uint8_t> IpHeader(const char* src, const char* dst, size_t ihlWords = 5) {
    std::vector<uint8_t> h(ihlWords * 4, 0);
    h[0] = static_cast<uint8_t>(0x40 | ihlWords);
    h[9] = 1;
    uint32_t s = Ip(src), d = Ip(dst);
    std::memcpy(&h[12], &s, 4);
    std::memcpy(&h[16], &d, 4);
    return h;
}

std::vector<uint8_t> Echo(uint8_t type, uint16_t id, uint16_t seq) {
    std::vector<uint8_t> e(8, 0);
    e[0] = type;
    e[4] = static_cast<uint8_t>(id);
    e[5] = static_cast<uint8_t>(id >> 8);
    e[6] = static_cast<uint8_t>(seq);
    e[7] = static_cast<uint8_t>(seq >> 8);
    return e;
}

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(DhcpProbe, EchoRequestFormat) {
    uint8_t e[45];
    BuildEchoRequest(e, 0x0102, 0x0A0B0C0D);
    EXPECT_EQ(e[0], 8);
    EXPECT_EQ(e[4], 0xD8);
    EXPECT_EQ(e[5], 0x00);
    EXPECT_EQ(e[6], 0x02);
    EXPECT_EQ(e[7], 0x01);
    EXPECT_EQ(e[8], 0);
    EXPECT_EQ(e[9], 0x0D);
    EXPECT_EQ(e[13], 0x20);
    EXPECT_EQ(e[44], 0x3F);
    EXPECT_EQ(ipChecksum(e, 45), 0);  // a correct checksum sums to zero
}

TEST(DhcpProbe, OnlyTheAnswerToOurEchoCounts) {
    const char* target = "10.0.0.7";
    const uint16_t seq = 5;
    std::vector<uint8_t> ours = Echo(8, kPingIdentifier, seq);
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        const char* source;
        int want;
    } cases[] = {
        {"echo reply", Cat({IpHeader(target, "10.0.0.1"), Echo(0, kPingIdentifier, seq)}), target, 1},
        {"reply with IP options", Cat({IpHeader(target, "10.0.0.1", 6), Echo(0, kPingIdentifier, seq)}), target, 1},
        {"reply from another host", Cat({IpHeader("10.0.0.8", "10.0.0.1"), Echo(0, kPingIdentifier, seq)}), "10.0.0.8",
         0},
        {"another identifier", Cat({IpHeader(target, "10.0.0.1"), Echo(0, 1234, seq)}), target, 0},
        {"another sequence", Cat({IpHeader(target, "10.0.0.1"), Echo(0, kPingIdentifier, seq + 1)}), target, 0},
        {"someone's echo request", Cat({IpHeader(target, "10.0.0.1"), Echo(8, kPingIdentifier, seq)}), target, 0},
        {"unreachable about our echo",
         Cat({IpHeader("10.0.0.1", "10.0.0.1"), Echo(3, 0, 0), IpHeader("10.0.0.1", target), ours}), "10.0.0.1",
         kPingUnreachable},
        {"time exceeded about our echo",
         Cat({IpHeader("10.0.0.254", "10.0.0.1"), Echo(11, 0, 0), IpHeader("10.0.0.1", target), ours}), "10.0.0.254",
         kPingTimeExceeded},
        {"unreachable about another address",
         Cat({IpHeader("10.0.0.1", "10.0.0.1"), Echo(3, 0, 0), IpHeader("10.0.0.1", "10.0.0.9"), ours}), "10.0.0.1", 0},
        {"truncated error", Cat({IpHeader("10.0.0.1", "10.0.0.1"), Echo(3, 0, 0)}), "10.0.0.1", 0},
        {"too short", {0x45, 0, 0}, target, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClassifyIcmpReply(c.data.data(), c.data.size(), true, Ip(c.source), Ip(target), seq), c.want)
            << c.what;
    // Without the IP header (unprivileged socket) the kernel owns the identifier.
    std::vector<uint8_t> dgram = Echo(0, 999, seq);
    EXPECT_EQ(ClassifyIcmpReply(dgram.data(), dgram.size(), false, Ip(target), Ip(target), seq), 1);
}

const uint8_t kOurMac[6] = {0x02, 0, 0, 0, 0, 0x01};
const uint8_t kPeerMac[6] = {0x02, 0, 0, 0, 0, 0x02};

TEST(DhcpProbe, ArpRequestFormat) {
    ArpPacket a;
    BuildArpRequest(&a, kOurMac, Ip("10.0.0.1"), Ip("10.0.0.7"));
    const uint8_t want[28] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x02, 0, 0,  0, 0, 0x01,
                              10,   0,    0,    1,    0, 0, 0,    0,    0,    0, 10, 0, 0, 7};
    EXPECT_EQ(std::memcmp(&a, want, sizeof want), 0);
}

TEST(DhcpProbe, OnlyTheTargetsArpReplyCounts) {
    auto packet = [](uint16_t oper, const uint8_t* mac, const char* sender, const char* target) {
        ArpPacket a;
        BuildArpRequest(&a, mac, Ip(sender), Ip(target));
        a.oper = htons(oper);
        std::vector<uint8_t> v(sizeof a);
        std::memcpy(v.data(), &a, sizeof a);
        return v;
    };
    const uint8_t zero[6] = {};
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        bool counts;
    } cases[] = {
        {"reply from the target", packet(2, kPeerMac, "10.0.0.7", "10.0.0.1"), true},
        {"reply with link padding",
         [&] {
             auto v = packet(2, kPeerMac, "10.0.0.7", "10.0.0.1");
             v.resize(46, 0);
             return v;
         }(),
         true},
        {"reply from another address", packet(2, kPeerMac, "10.0.0.8", "10.0.0.1"), false},
        {"our own request seen going out", packet(1, kOurMac, "10.0.0.1", "10.0.0.7"), false},
        {"a request from the target", packet(1, kPeerMac, "10.0.0.7", "10.0.0.1"), false},
        {"reply without a hardware address", packet(2, zero, "10.0.0.7", "10.0.0.1"), false},
        {"not IPv4",
         [&] {
             auto v = packet(2, kPeerMac, "10.0.0.7", "10.0.0.1");
             v[2] = 0x86;
             v[3] = 0xDD;
             return v;
         }(),
         false},
        {"truncated",
         [&] {
             auto v = packet(2, kPeerMac, "10.0.0.7", "10.0.0.1");
             v.resize(27);
             return v;
         }(),
         false},
    };
    for (const auto& c : cases) {
        uint8_t mac[6] = {};
        EXPECT_EQ(ParseArpReply(c.data.data(), c.data.size(), Ip("10.0.0.7"), mac), c.counts) << c.what;
        if (c.counts) { EXPECT_EQ(std::memcmp(mac, kPeerMac, 6), 0) << c.what; }
    }
}

// Neighbour-dump messages as the kernel writes them.
struct Neighbour {
    uint16_t type;
    uint8_t family;
    uint16_t state;
    const char* dst;
    const uint8_t* mac;
};
std::vector<uint8_t> Dump(std::initializer_list<Neighbour> entries) {
    std::vector<uint8_t> out;
    for (const auto& e : entries) {
        std::vector<uint8_t> attrs;
        auto attr = [&attrs](uint16_t t, const void* d, size_t n) {
            rtattr ra{static_cast<unsigned short>(RTA_LENGTH(n)), t};
            size_t at = attrs.size();
            attrs.resize(at + RTA_SPACE(n), 0);
            std::memcpy(attrs.data() + at, &ra, sizeof ra);
            std::memcpy(attrs.data() + at + RTA_LENGTH(0), d, n);
        };
        if (e.dst) {
            uint32_t a = Ip(e.dst);
            attr(NDA_DST, &a, 4);
        }
        if (e.mac) attr(NDA_LLADDR, e.mac, 6);
        nlmsghdr h{};
        h.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(sizeof(ndmsg)) + attrs.size());
        h.nlmsg_type = e.type;
        ndmsg nd{};
        nd.ndm_family = e.family;
        nd.ndm_state = e.state;
        size_t at = out.size();
        out.resize(at + NLMSG_ALIGN(h.nlmsg_len), 0);
        std::memcpy(out.data() + at, &h, sizeof h);
        std::memcpy(out.data() + at + NLMSG_HDRLEN, &nd, sizeof nd);
        if (!attrs.empty()) std::memcpy(out.data() + at + NLMSG_LENGTH(sizeof(ndmsg)), attrs.data(), attrs.size());
    }
    return out;
}

TEST(DhcpProbe, NeighbourDumpRequest) {
    alignas(nlmsghdr) uint8_t buf[64];
    EXPECT_EQ(BuildNeighbourDumpRequest(buf, 8, 1), 0u);
    size_t n = BuildNeighbourDumpRequest(buf, sizeof buf, 7);
    ASSERT_EQ(n, NLMSG_LENGTH(sizeof(ndmsg)));
    nlmsghdr h;
    std::memcpy(&h, buf, sizeof h);
    EXPECT_EQ(h.nlmsg_len, n);
    EXPECT_EQ(h.nlmsg_type, RTM_GETNEIGH);
    EXPECT_EQ(h.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
    EXPECT_EQ(h.nlmsg_seq, 7u);
    EXPECT_EQ(buf[NLMSG_HDRLEN], AF_INET);
}

TEST(DhcpProbe, NeighbourDumpFindsOnlyAConfirmedEntry) {
    const char* target = "10.0.0.7";
    std::vector<uint8_t> cut = Dump({{RTM_NEWNEIGH, AF_INET, NUD_REACHABLE, target, kPeerMac}});
    cut.resize(cut.size() - 8);
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        int want;
    } cases[] = {
        {"stale entry after another",
         Dump({{RTM_NEWNEIGH, AF_INET, NUD_REACHABLE, "10.0.0.9", kOurMac},
               {RTM_NEWNEIGH, AF_INET, NUD_STALE, target, kPeerMac}}),
         1},
        {"unresolved entries",
         Dump({{RTM_NEWNEIGH, AF_INET, NUD_INCOMPLETE, target, nullptr},
               {RTM_NEWNEIGH, AF_INET, NUD_FAILED, target, kPeerMac}}),
         0},
        {"message longer than the data", cut, -1},
        {"end of the dump",
         Dump({{RTM_NEWNEIGH, AF_INET, NUD_REACHABLE, "10.0.0.8", kPeerMac}, {NLMSG_DONE, 0, 0, nullptr, nullptr}}),
         -1},
        {"entry without link address", Dump({{RTM_NEWNEIGH, AF_INET, NUD_PERMANENT, target, nullptr}}), 0},
        {"another family", Dump({{RTM_NEWNEIGH, AF_INET6, NUD_REACHABLE, target, kPeerMac}}), 0},
        {"empty", {}, 0},
    };
    for (const auto& c : cases) {
        uint8_t mac[6] = {};
        EXPECT_EQ(ParseNeighbourDump(c.data.data(), c.data.size(), Ip(target), mac), c.want) << c.what;
        if (c.want == 1) { EXPECT_EQ(std::memcmp(mac, kPeerMac, 6), 0) << c.what; }
    }
}

TEST(DhcpProbe, LoopbackAnswers) {
    int r = ping(Ip("127.0.0.1"), 1000);
    if (r == kPingAccessDenied) GTEST_SKIP() << "no ICMP socket allowed here";
    EXPECT_GT(r, 0);
    EXPECT_EQ(ProbeAddressInUse(Ip("127.0.0.1")), 1);
}

// Takes CAP_NET_RAW from the calling thread, as for a program run without privilege.
bool DropRawSockets() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_RAW / 32].effective &= ~(1u << (CAP_NET_RAW % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

// Two namespaces joined by a veth pair: the probe runs in the first, the peer at .2 holds its
// address, nobody holds .3. Needs root and ip(8).
class DhcpProbeNamespaces : public ::testing::Test {
protected:
    void SetUp() override {
        NIMBO_SKIP_IF(nimbo::test::NeedRoot());
        NIMBO_SKIP_IF(nimbo::test::NeedTools({"ip"}));
        const std::string tag = std::to_string(getpid());
        a_ = "nbpa" + tag;
        b_ = "nbpb" + tag;
        va_ = "vpa" + tag;
        const std::string& va = va_;
        const std::string vb = "vpb" + tag;
        const std::string cmds[] = {
            "ip netns add " + a_,
            "ip netns add " + b_,
            "ip link add " + va + " type veth peer name " + vb,
            "ip link set " + va + " netns " + a_,
            "ip link set " + vb + " netns " + b_,
            "ip -n " + a_ + " addr add 10.78.0.1/24 dev " + va,
            "ip -n " + b_ + " addr add 10.78.0.2/24 dev " + vb,
            "ip -n " + b_ + " link set " + vb + " address 02:00:00:00:00:02",
            "ip -n " + a_ + " link set " + va + " up",
            "ip -n " + b_ + " link set " + vb + " up",
        };
        for (const auto& c : cmds)
            if (Shell(c) != 0) GTEST_SKIP() << "cannot set up namespaces: " << c;
    }
    void TearDown() override {
        if (a_.empty()) return;
        Shell("ip link del " + va_);  // still here only when moving it failed
        Shell("ip netns del " + a_);
        Shell("ip netns del " + b_);
    }
    // Runs fn on a thread that lives in the first namespace.
    template <class Fn>
    void InProbeNamespace(Fn fn) {
        std::thread t([&] {
            int fd = open(("/run/netns/" + a_).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
            close(fd);
            fn();
        });
        t.join();
    }
    std::string a_, b_, va_;
};

TEST_F(DhcpProbeNamespaces, ArpFindsTheHolderAndNotAFreeAddress) {
    InProbeNamespace([] {
        uint8_t mac[6] = {};
        EXPECT_TRUE(ArpOwner(Ip("10.78.0.2"), mac));
        EXPECT_EQ(std::memcmp(mac, kPeerMac, 6), 0);
        EXPECT_FALSE(ArpOwner(Ip("10.78.0.3"), mac));
        // Outside every local subnet there is no interface to ask on.
        EXPECT_FALSE(ArpOwner(Ip("10.79.0.2"), mac));
        // The address probe: the holder answers, the free address does not.
        EXPECT_EQ(ProbeAddressInUse(Ip("10.78.0.2")), 1);
        EXPECT_EQ(ProbeAddressInUse(Ip("10.78.0.3")), 0);
    });
}

TEST_F(DhcpProbeNamespaces, NeighbourTableFindsTheHolderAndNotAFreeAddress) {
    InProbeNamespace([] {
        uint8_t mac[6] = {};
        EXPECT_TRUE(NeighbourOwner(Ip("10.78.0.2"), mac));
        EXPECT_EQ(std::memcmp(mac, kPeerMac, 6), 0);
        EXPECT_FALSE(NeighbourOwner(Ip("10.78.0.3"), mac));
    });
}

TEST_F(DhcpProbeNamespaces, WithoutRawSocketsArpFallsBackToTheNeighbourTable) {
    InProbeNamespace([] {
        ASSERT_TRUE(DropRawSockets());
        ASSERT_LT(socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0), 0);  // the ARP socket is refused now
        uint8_t mac[6] = {};
        EXPECT_TRUE(ArpOwner(Ip("10.78.0.2"), mac));
        EXPECT_EQ(std::memcmp(mac, kPeerMac, 6), 0);
        EXPECT_FALSE(ArpOwner(Ip("10.78.0.3"), mac));
    });
}

}  // namespace
