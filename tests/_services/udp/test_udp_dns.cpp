// The DNS forwarder's request rules, resolution and reply, on byte buffers.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "_services/udp/dns_forwarder.h"
#include "libs/platform/clock.h"
#include "tests/_services/udp/udp_test_util.h"

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

std::vector<uint8_t> WireName(const std::vector<std::string>& labels) {
    std::vector<uint8_t> out;
    for (const auto& l : labels) {
        out.push_back(static_cast<uint8_t>(l.size()));
        out.insert(out.end(), l.begin(), l.end());
    }
    out.push_back(0);
    return out;
}

// A query: header fields, then the given question bytes (name, type, class) and extra bytes.
std::vector<uint8_t> Query(const std::vector<uint8_t>& name, uint16_t qtype = 1, uint16_t qclass = 1,
                           uint16_t flags = 0x0100, uint16_t qdcount = 1, uint16_t arcount = 0,
                           const std::vector<uint8_t>& extra = {}) {
    std::vector<uint8_t> q = {
        0x12, 0x34, uint8_t(flags >> 8),   uint8_t(flags),  uint8_t(qdcount >> 8), uint8_t(qdcount), 0, 0,
        0,    0,    uint8_t(arcount >> 8), uint8_t(arcount)};
    q.insert(q.end(), name.begin(), name.end());
    q.insert(q.end(), {uint8_t(qtype >> 8), uint8_t(qtype), uint8_t(qclass >> 8), uint8_t(qclass)});
    q.insert(q.end(), extra.begin(), extra.end());
    return q;
}

uint16_t At16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

InterfaceAddress Iface(const char* addr, const char* mask, bool up = true) {
    InterfaceAddress a;
    a.addr.s_addr = Ip(addr);
    a.mask.s_addr = Ip(mask);
    a.up = up;
    return a;
}

// A host with lo, one 10.77.0.1/24 interface and a resolver that knows a few names.
struct FakeHost {
    std::vector<std::string> lookups;
    std::vector<DnsEntryRecord> notices;
    DnsEnvironment env;
    FakeHost() {
        env.interfaces = [] {
            return std::make_shared<const std::vector<InterfaceAddress>>(std::vector<InterfaceAddress>{
                Iface("127.0.0.1", "255.0.0.0"), Iface("10.88.0.1", "255.255.255.0", false),
                Iface("10.77.0.1", "255.255.255.0")});
        };
        env.resolve = [this](const std::string& name) {
            lookups.push_back(name);
            if (name == "boot.test") return std::vector<uint32_t>{Ip("10.99.0.1"), Ip("10.77.0.7"), Ip("10.77.0.1")};
            if (name == "far.test") return std::vector<uint32_t>{Ip("10.99.0.5"), Ip("10.98.0.5")};
            if (name.find("bad") == 0) return std::vector<uint32_t>{Ip("10.99.0.9")};
            return std::vector<uint32_t>{};
        };
        env.notify = [this](const DnsEntryRecord& r) { notices.push_back(r); };
    }
    // Returns the reply (empty when none).
    std::vector<uint8_t> Ask(const std::vector<uint8_t>& q, const char* client = "10.77.0.20") {
        std::vector<uint8_t> reply(kDnsReplyMax, 0xEE);
        size_t n = 0;
        if (!processDnsRequest(q.data(), q.size(), reply.data(), &n, Ip(client), env)) return {};
        reply.resize(n);
        return reply;
    }
};

uint32_t AnswerAddress(const std::vector<uint8_t>& reply) {
    uint32_t a;
    memcpy(&a, reply.data() + reply.size() - 4, 4);
    return a;
}

}  // namespace

TEST(DnsQuestion, DecodesNamesAndRefusesMalformedOnes) {
    DnsQuestion q;
    std::vector<uint8_t> ok = WireName({"www", "example", "org"});
    ok.insert(ok.end(), {0, 5, 0, 1});
    ASSERT_EQ(decodeDnsQuestion(&q, ok.data(), ok.size()), 1);
    EXPECT_EQ(q.name, "www.example.org");
    EXPECT_EQ(q.qtype, 5);
    EXPECT_EQ(q.qclass, 1);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> longName;
    for (int i = 0; i < 16; ++i) {  // 16 labels of 63: 1024 bytes before the zero byte
        longName.push_back(63);
        longName.insert(longName.end(), 63, 'a');
    }
    longName.insert(longName.end(), {0, 0, 1, 0, 1});
    const Case bad[] = {
        {"label length 0xFF runs past the name", {0xFF, 'a', 'b', 0, 0, 1, 0, 1}},
        {"label runs past the zero byte", {3, 'a', 0, 'b', 0, 1, 0, 1}},
        {"no zero byte", {3, 'a', 'b', 'c'}},
        {"type and class missing", {1, 'a', 0, 0, 1}},
        {"bytes after the question", {1, 'a', 0, 0, 1, 0, 1, 0}},
        {"name over 1023 bytes", longName},
        {"nothing", {}},
    };
    for (const auto& c : bad) EXPECT_EQ(decodeDnsQuestion(&q, c.bytes.data(), c.bytes.size()), 0) << c.what;
}

TEST(DnsRequest, IgnoredRequests) {
    FakeHost host;
    TempFolder folder("nimbo-dns-");
    std::string log = CaptureLog(folder.path());
    std::vector<uint8_t> name = WireName({"boot", "test"});
    std::vector<uint8_t> edns = {0, 0, 41, 0x10, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        std::vector<uint8_t> q;
        bool warns;
    };
    const Case cases[] = {
        {"shorter than a header", {0x12, 0x34, 1, 0, 0, 1, 0, 0, 0, 0, 0}, false},
        {"wake-up datagram", {'w', 'a', 'k', 'e', ' ', 'u', 'p', 0}, false},
        {"a response (QR set)", Query(name, 1, 1, 0x8180), false},
        {"inverse query (Opcode 1)", Query(name, 1, 1, 0x0900), true},
        {"two questions", Query(name, 1, 1, 0x0100, 2), true},
        {"EDNS additional record", Query(name, 1, 1, 0x0100, 1, 1, edns), false},
        {"AAAA", Query(name, 28), false},
        {"class CH", Query(name, 1, 3), false},
        {"label 0xFF", Query({0xFF, 'a', 0}), false},
    };
    auto warnings = [&log] {
        std::string text = ReadFile(log);
        size_t count = 0;
        for (size_t at = 0; (at = text.find("DNS  Warn: Complex request ignored", at)) != std::string::npos; ++at)
            ++count;
        return count;
    };
    for (const auto& c : cases) {
        size_t before = warnings();
        EXPECT_TRUE(host.Ask(c.q).empty()) << c.what;
        EXPECT_EQ(warnings(), before + (c.warns ? 1 : 0)) << c.what;
    }
    EXPECT_TRUE(host.lookups.empty());
    EXPECT_TRUE(host.notices.empty());
}

TEST(DnsRequest, AnswersWithTheAddressFacingTheClient) {
    FakeHost host;
    TempFolder folder("nimbo-dns-");
    std::string log = CaptureLog(folder.path());
    struct Case {
        uint16_t qtype;
        const char* name;
        const char* client;
        const char* want;
    };
    const Case cases[] = {
        {1, "boot", "10.77.0.20", "10.77.0.1"},  // the last of the results in the client's subnet
        {2, "boot", "10.77.0.20", "10.77.0.1"},  // NS gets the same A record
        {5, "boot", "10.77.0.20", "10.77.0.1"},  // and CNAME
        {1, "boot", "127.0.0.1", "10.99.0.1"},   // none in 127/8: the first
        {1, "far", "10.77.0.20", "10.99.0.5"},   // only elsewhere: the first
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> q = Query(WireName({c.name, "test"}), c.qtype);
        std::vector<uint8_t> r = host.Ask(q, c.client);
        ASSERT_EQ(r.size(), q.size() + sizeof(DnsAnswerRecord)) << c.name;
        EXPECT_EQ(memcmp(r.data() + 12, q.data() + 12, q.size() - 12), 0) << "question copied";
        EXPECT_EQ(At16(r.data()), 0x1234);
        EXPECT_EQ(At16(r.data() + 2), 0x8180) << "QR, RD kept, RA, RCODE 0";
        EXPECT_EQ(At16(r.data() + 4), 1);
        EXPECT_EQ(At16(r.data() + 6), 1);
        const uint8_t* rr = r.data() + q.size();
        const uint8_t want[12] = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x01, 0x2C, 0, 4};
        EXPECT_EQ(memcmp(rr, want, sizeof want), 0) << "pointer, A, IN, TTL 300, length 4";
        EXPECT_EQ(AnswerAddress(r), Ip(c.want)) << c.name << " from " << c.client;
    }
    ASSERT_EQ(host.notices.size(), 5u);
    EXPECT_STREQ(host.notices[0].name, "boot.test");
    EXPECT_STREQ(host.notices[0].address, "10.77.0.1");
    EXPECT_EQ(host.notices[0].ipv6[0], 0);
    EXPECT_NE(ReadFile(log).find("DNS  Inf: Answered [far.test] = [10.99.0.5]"), std::string::npos);
}

TEST(DnsRequest, ReplyFlagsAndCountsAreThoseOfAnAnswer) {
    FakeHost host;
    // AA, TC, Z, AD and an RCODE set in the query, CD set, and counts with no records behind.
    std::vector<uint8_t> q =
        Query(WireName({"boot", "test"}), 1, 1, 0x0100 | 0x0400 | 0x0200 | 0x0040 | 0x0020 | 0x0010 | 3);
    q[7] = 2;  // ANCOUNT
    q[9] = 1;  // NSCOUNT
    std::vector<uint8_t> r = host.Ask(q);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(At16(r.data() + 2), 0x8000 | 0x0100 | 0x0080 | 0x0010) << "QR RD RA CD only";
    EXPECT_EQ(At16(r.data() + 6), 1);
    EXPECT_EQ(At16(r.data() + 8), 0);
    EXPECT_EQ(At16(r.data() + 10), 0);

    // No address: the reply is the question with RCODE 4 and no record.
    std::vector<uint8_t> nx = Query(WireName({"missing", "test"}), 1, 1, 0x0120);
    r = host.Ask(nx);
    ASSERT_EQ(r.size(), nx.size());
    EXPECT_EQ(At16(r.data() + 2), 0x8184);
    EXPECT_EQ(At16(r.data() + 6), 0);
}

TEST(DnsRequest, ClientOutsideOurSubnetsIsNotResolvedFor) {
    FakeHost host;
    for (const char* client : {"192.0.2.7", "10.88.0.9"}) {  // no interface; a down interface
        std::vector<uint8_t> r = host.Ask(Query(WireName({"boot", "test"})), client);
        ASSERT_FALSE(r.empty()) << client;
        EXPECT_EQ(At16(r.data() + 2) & 0xF, 4) << client;
        EXPECT_EQ(At16(r.data() + 6), 0) << client;
    }
    EXPECT_TRUE(host.lookups.empty()) << "no lookup for a client we do not serve";
    host.env.interfaces = [] { return std::make_shared<const std::vector<InterfaceAddress>>(); };
    EXPECT_EQ(At16(host.Ask(Query(WireName({"boot", "test"}))).data() + 2) & 0xF, 4) << "no interface list";
    EXPECT_TRUE(host.lookups.empty());
}

TEST(DnsRequest, ControlBytesInNamesAreEscapedInLogAndNotice) {
    FakeHost host;
    TempFolder folder("nimbo-dns-");
    std::string log = CaptureLog(folder.path());
    std::string label = std::string("bad\n\x01\x7f\xe9", 7) + "x";
    std::vector<uint8_t> r = host.Ask(Query(WireName({label, "test"})));
    ASSERT_FALSE(r.empty());
    ASSERT_EQ(host.lookups.size(), 1u);
    EXPECT_EQ(host.lookups[0], label + ".test") << "the resolver gets the name as asked";
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_STREQ(host.notices[0].name, "bad\\010\\001\\127\\233x.test");
    std::string text = ReadFile(log);
    EXPECT_NE(text.find("Answered [bad\\010\\001\\127\\233x.test] = [10.99.0.9]"), std::string::npos) << text;
    EXPECT_EQ(EscapeDnsName("a.b-c_d"), "a.b-c_d");
}

TEST(DnsRequest, LongestNameFitsTheNoticeRecord) {
    FakeHost host;
    host.env.resolve = [](const std::string&) { return std::vector<uint32_t>{inet_addr("10.77.0.3")}; };
    // 1008 bytes of wire name (the largest that fits a 1024-byte datagram) full of escapes.
    std::vector<std::string> labels;
    for (int i = 0; i < 15; ++i) labels.push_back(std::string(63, '\x02'));
    labels.push_back(std::string(46, 'z'));
    std::vector<uint8_t> q = Query(WireName(labels));
    ASSERT_EQ(q.size(), kDnsDatagramMax);
    std::vector<uint8_t> r = host.Ask(q);
    ASSERT_EQ(r.size(), kDnsDatagramMax + sizeof(DnsAnswerRecord));
    ASSERT_EQ(host.notices.size(), 1u);
    EXPECT_EQ(strnlen(host.notices[0].name, sizeof host.notices[0].name), sizeof host.notices[0].name - 1);
    EXPECT_STREQ(host.notices[0].address, "10.77.0.3");
}

TEST(DnsRequest, SameSubnet) {
    EXPECT_TRUE(isSameSubnet(Ip("10.1.2.3"), Ip("10.1.2.200"), Ip("255.255.255.0")));
    EXPECT_FALSE(isSameSubnet(Ip("10.1.3.3"), Ip("10.1.2.200"), Ip("255.255.255.0")));
    EXPECT_TRUE(isSameSubnet(Ip("1.2.3.4"), Ip("5.6.7.8"), 0));
}

namespace {
DnsPending Pending(const char* client, int64_t arrivedMs, uint16_t id = 0) {
    DnsPending p;
    p.from.peer.sin_family = AF_INET;
    p.from.peer.sin_addr.s_addr = Ip(client);
    p.arrivedMs = arrivedMs;
    p.length = 2;
    p.bytes[0] = static_cast<uint8_t>(id >> 8);
    p.bytes[1] = static_cast<uint8_t>(id);
    return p;
}
uint16_t IdOf(const DnsPending& p) { return static_cast<uint16_t>(p.bytes[0] << 8 | p.bytes[1]); }
}  // namespace

// One address flooding the queue holds no more than its share of it and of the resolver;
// another address's query is taken at its next turn.
TEST(DnsQueue, AddressesTakeTurnsAndHoldABoundedShare) {
    DnsQueue q;
    size_t pushed = 0;
    for (uint16_t i = 0; i < 100; ++i) pushed += q.Push(Pending("10.77.0.66", 0, i));
    EXPECT_EQ(pushed, kDnsWaitingPerAddress);
    EXPECT_TRUE(q.Push(Pending("10.77.0.20", 0, 500)));
    DnsPending p;
    size_t stale = 0;
    std::vector<uint16_t> taken;
    while (q.TryTake(&p, 10, &stale)) taken.push_back(IdOf(p));
    // The flooding address has kDnsBusyPerAddress at the resolver; the other one got its turn.
    ASSERT_EQ(taken.size(), static_cast<size_t>(kDnsBusyPerAddress) + 1);
    EXPECT_EQ(taken[1], 500) << "the second turn is the other address's";
    EXPECT_EQ(stale, 0u);
    EXPECT_EQ(q.Waiting(), kDnsWaitingPerAddress - kDnsBusyPerAddress);
    // A resolver slot of the address is free again: its next query in order.
    q.Done(Ip("10.77.0.66"));
    ASSERT_TRUE(q.TryTake(&p, 20, &stale));
    EXPECT_EQ(IdOf(p), kDnsBusyPerAddress);
    q.Done(Ip("10.77.0.20"));
    EXPECT_FALSE(q.TryTake(&p, 20, &stale));
}

// A worker that finishes a query goes on with the next one the turns give it, within the
// address's share, and an address with nothing left is forgotten.
TEST(DnsQueue, FinishHandsTheNextQueryWithinTheShare) {
    DnsQueue q;
    for (uint16_t i = 0; i < 6; ++i) ASSERT_TRUE(q.Push(Pending("10.77.0.66", 0, i)));
    DnsPending p;
    size_t stale = 0;
    for (int i = 0; i < kDnsBusyPerAddress; ++i) ASSERT_TRUE(q.TryTake(&p, 10, &stale));
    EXPECT_FALSE(q.TryTake(&p, 10, &stale)) << "the address holds its whole share";
    ASSERT_TRUE(q.Finish(Ip("10.77.0.66"), &p, 10, &stale));
    EXPECT_EQ(IdOf(p), kDnsBusyPerAddress);
    ASSERT_TRUE(q.Finish(Ip("10.77.0.66"), &p, 10, &stale));
    EXPECT_EQ(IdOf(p), kDnsBusyPerAddress + 1);
    for (int i = 0; i < kDnsBusyPerAddress; ++i) EXPECT_FALSE(q.Finish(Ip("10.77.0.66"), &p, 10, &stale));
    EXPECT_EQ(q.Addresses(), 0u);
    EXPECT_EQ(stale, 0u);
    q.Stop();
}

// Wake-ups are sent only where a sleeping worker can take the query, but never withheld where
// it can: a worker asleep in Take gets a new address's query, and the query its address may
// send once another worker gives a slot back.
TEST(DnsQueue, ASleepingWorkerIsWokenForWorkItMayTake) {
    DnsQueue q;
    DnsPending p;
    size_t stale = 0;
    for (uint16_t i = 0; i <= kDnsBusyPerAddress; ++i) ASSERT_TRUE(q.Push(Pending("10.77.0.66", MonotonicMs(), i)));
    for (int i = 0; i < kDnsBusyPerAddress; ++i) ASSERT_TRUE(q.TryTake(&p, MonotonicMs(), &stale));
    for (const bool byRelease : {false, true}) {
        DnsPending got;
        bool taken = false;
        std::thread worker([&] { taken = q.Take(&got, 10000, &stale); });
        // The worker sleeps: the address's waiting query is over its share.
        while (q.Waiting() != 1 || !q.Sleeping()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (byRelease) {
            q.Done(Ip("10.77.0.66"));
        } else {
            ASSERT_TRUE(q.Push(Pending("10.77.0.20", MonotonicMs(), 900)));
        }
        worker.join();
        ASSERT_TRUE(taken) << (byRelease ? "a slot given back" : "a new address");
        EXPECT_EQ(IdOf(got), byRelease ? kDnsBusyPerAddress : 900);
    }
    q.Stop();
}

TEST(DnsQueue, QueriesOlderThanAClientWaitsAreDroppedAndTheQueueIsBounded) {
    DnsQueue q;
    size_t pushed = 0;
    // Many addresses: the queue as a whole is bounded.
    for (uint32_t i = 0; i < 4 * kDnsWaitingMax; ++i) {
        std::string a = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        pushed += q.Push(Pending(a.c_str(), 0));
    }
    EXPECT_EQ(pushed, kDnsWaitingMax);
    EXPECT_TRUE(q.Push(Pending("10.77.0.20", 0, 7)) == false) << "full";
    DnsPending p;
    size_t stale = 0;
    // Past the wait a client gives a query, every one of them is dropped unanswered.
    EXPECT_FALSE(q.TryTake(&p, kDnsStaleMs + 1, &stale));
    EXPECT_EQ(stale, kDnsWaitingMax);
    EXPECT_EQ(q.Waiting(), 0u);
    EXPECT_EQ(q.Addresses(), 0u) << "nothing is kept of the addresses";
    // A fresh query goes through at once.
    ASSERT_TRUE(q.Push(Pending("10.77.0.20", kDnsStaleMs, 8)));
    ASSERT_TRUE(q.TryTake(&p, kDnsStaleMs + 1, &stale));
    EXPECT_EQ(IdOf(p), 8);
    q.Done(Ip("10.77.0.20"));
    EXPECT_EQ(q.Addresses(), 0u);
    q.Stop();
    EXPECT_FALSE(q.Push(Pending("10.77.0.20", 0)));
    EXPECT_FALSE(q.Take(&p, 1000, &stale)) << "a stopped queue hands out nothing and does not wait";
}
