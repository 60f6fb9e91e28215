// ICMP probes: the echo format, which replies count, and a real echo on loopback.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "dhcp_probe.h"
#include "dhcp_test_util.h"

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
        {"reply from another host", Cat({IpHeader("10.0.0.8", "10.0.0.1"), Echo(0, kPingIdentifier, seq)}), "10.0.0.8", 0},
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
        EXPECT_EQ(ClassifyIcmpReply(c.data.data(), c.data.size(), true, Ip(c.source), Ip(target), seq), c.want) << c.what;
    // Without the IP header (unprivileged socket) the kernel owns the identifier.
    std::vector<uint8_t> dgram = Echo(0, 999, seq);
    EXPECT_EQ(ClassifyIcmpReply(dgram.data(), dgram.size(), false, Ip(target), Ip(target), seq), 1);
}

TEST(DhcpProbe, LoopbackAnswers) {
    int r = ping(Ip("127.0.0.1"), 1000);
    if (r == kPingAccessDenied) GTEST_SKIP() << "no ICMP socket allowed here";
    EXPECT_GT(r, 0);
    EXPECT_EQ(ProbeAddressInUse(Ip("127.0.0.1")), 1);
}

}  // namespace
