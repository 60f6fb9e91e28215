// The SNTP reply: layout, version rule, fraction table and the replay guard.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "_services/udp/sntp_server.h"

namespace {

std::vector<uint8_t> Request(uint8_t first, uint32_t txSeconds, uint32_t txFraction, size_t length = 48) {
    std::vector<uint8_t> p(length, 0);
    p[0] = first;
    if (length > 1) p[1] = 3;
    uint32_t s = htonl(txSeconds), f = htonl(txFraction);
    if (length >= 48) {
        memcpy(p.data() + 40, &s, 4);
        memcpy(p.data() + 44, &f, 4);
    }
    return p;
}

uint32_t Word(const std::vector<uint8_t>& p, size_t at) {
    uint32_t v;
    memcpy(&v, p.data() + at, 4);
    return ntohl(v);
}

timespec At(time_t s, long ms) { return timespec{s, ms * 1000000 + 123456}; }

}  // namespace

TEST(Sntp, FractionTable) {
    EXPECT_EQ(NtpFractionTable[0], 0u);
    EXPECT_EQ(NtpFractionTable[1], 0x00418937u);
    EXPECT_EQ(NtpFractionTable[1], 4294967u);
    EXPECT_EQ(NtpFractionTable[250], 0x40000000u);
    EXPECT_EQ(NtpFractionTable[999], 4290672329u);
}

TEST(Sntp, ReplyLayout) {
    SntpReplayGuard guard;
    std::vector<uint8_t> p = Request(0x23, 0xDEADBEEF, 0x01020304, 60);  // VN 4, Mode 3, with trailing bytes
    memset(p.data() + 4, 0x55, 36);                                      // fields the reply must overwrite
    ASSERT_TRUE(SntpBuildReply(p.data(), p.size(), At(1700000000, 1), &guard));
    EXPECT_EQ(p[0], 0x1C) << "LI 0, VN 3, Mode 4";
    EXPECT_EQ(p[1], 10);
    EXPECT_EQ(p[2], 10);
    EXPECT_EQ(p[3], 0);
    EXPECT_EQ(Word(p, 4), 0u);
    EXPECT_EQ(Word(p, 8), 0u);
    EXPECT_EQ(Word(p, 12), 0u);
    EXPECT_EQ(Word(p, 24), 0xDEADBEEFu) << "originate = request transmit";
    EXPECT_EQ(Word(p, 28), 0x01020304u);
    const uint32_t seconds = 1700000000u + 2208988800u;
    for (size_t at : {16, 32, 40}) {
        EXPECT_EQ(Word(p, at), seconds) << at;
        EXPECT_EQ(Word(p, at + 4), 0x00418937u) << at;
    }
}

TEST(Sntp, VersionRule) {
    struct Case {
        int vn;
        int want;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {5, 3}, {7, 3}};
    SntpReplayGuard guard;
    uint32_t tx = 1;
    for (const auto& c : cases) {
        std::vector<uint8_t> p = Request(static_cast<uint8_t>(0xC0 | c.vn << 3 | 3), 5, tx++);
        ASSERT_TRUE(SntpBuildReply(p.data(), p.size(), At(1, 7), &guard)) << c.vn;
        EXPECT_EQ(p[0], c.want << 3 | 4) << "VN " << c.vn << ", LI cleared";
    }
}

TEST(Sntp, RefusedRequests) {
    SntpReplayGuard guard;
    struct Case {
        const char* what;
        std::vector<uint8_t> p;
    };
    const Case cases[] = {
        {"server mode", Request(0x24, 1, 1)},
        {"symmetric active", Request(0x21, 1, 1)},
        {"wake-up datagram", {'w', 'a', 'k', 'e', ' ', 'u', 'p', 0}},
        {"47 bytes", Request(0x1B, 1, 1, 47)},
        {"one byte", Request(0x1B, 1, 1, 1)},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> copy = c.p;
        EXPECT_FALSE(SntpBuildReply(copy.data(), copy.size(), At(1, 2), &guard)) << c.what;
        EXPECT_EQ(copy, c.p) << c.what << ": untouched";
    }
}

TEST(Sntp, ReplayGuardRemembersTheLastTenFractions) {
    SntpReplayGuard guard;
    std::vector<uint32_t> sent;
    for (int i = 0; i < 12; ++i) {
        std::vector<uint8_t> p = Request(0x1B, 9, 0x1000 + i);
        ASSERT_TRUE(SntpBuildReply(p.data(), p.size(), At(100, 10 + i), &guard));
        sent.push_back(Word(p, 44));
    }
    // A client echoing one of the last ten is ignored; the two oldest have left the ring.
    for (int i = 0; i < 12; ++i) {
        SntpReplayGuard copy = guard;  // an answer would store a fraction of its own
        std::vector<uint8_t> echo = Request(0x1B, 9, sent[i]);
        EXPECT_EQ(SntpBuildReply(echo.data(), echo.size(), At(200, 900), &copy), i < 2) << i;
    }
    // Zero transmit times (many simple clients) are answered again and again, also after a
    // reply at a whole second stored a zero fraction.
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> p = Request(0x1B, 0, 0);
        EXPECT_TRUE(SntpBuildReply(p.data(), p.size(), At(300, 0), &guard)) << i;
        EXPECT_EQ(Word(p, 44), 0u);
    }
}
