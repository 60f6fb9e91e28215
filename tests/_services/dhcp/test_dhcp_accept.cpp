// The early drops of both DHCP threads, without sockets: one table of datagrams and states.
#include <gtest/gtest.h>

#include <string>

#include "_services/dhcp/dhcp_accept.h"
#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/peer_log.h"
#include "tests/_services/dhcp/dhcp_test_util.h"
#include "tests/support/log_capture.h"

namespace {

std::string HostIsBootsrv() { return "bootsrv"; }
int NoMacIsLocal(const uint8_t*) { return 0; }
int MacEndingIn42IsLocal(const uint8_t mac[6]) { return mac[5] == 0x42 ? 1 : 0; }
int LocalMacsUnknown(const uint8_t*) { return -1; }

// The settings of a case: static lease for ...:34:07, filter entry for ...:34:0F.
DhcpSettings CaseSettings(int filterMode, bool staticLeases) {
    DhcpSettings s{};
    s.DHCP_ProcMacFilter = filterMode;
    s.DHCP_ProcStatLeases = staticLeases ? 1 : 0;
    const uint8_t fixedMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x07};
    std::memcpy(s.StaticLeases[0].mac, fixedMac, 6);
    s.StaticLeases[0].address = Ip("10.0.0.77");
    uint64_t mac = 0, mask = 0;
    EXPECT_EQ(parseMacFilterEntry("52:54:00:12:34:0F", &mac, &mask, nullptr), 1);
    s.MacFilters[0].mac = mac;
    s.MacFilters[0].mask = mask;
    return s;
}

struct Case {
    const char* what;
    uint16_t port;
    bool proxy;
    bool binlPreparing;
    int capacity;
    int filterMode;
    uint8_t macLast;
    // Changes to the request: its length (0: 300 bytes, 0xFFFF: none at all), sname, op.
    size_t length;
    const char* sname;
    uint8_t op;
    int (*isLocalMac)(const uint8_t*);
    DhcpDrop drop;
    const char* line;  // the log line written, nullptr: none
};

TEST(DhcpAccept, EarlyDrops) {
    const Case cases[] = {
        {"plain request", 67, false, false, 5, 0, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"236 bytes are enough", 67, false, false, 5, 0, 1, 236, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"235 bytes are not", 67, false, false, 5, 0, 1, 235, "", 1, NoMacIsLocal, DhcpDrop::kTruncated,
         "DHCP Err: Recv message truncated; length was 235"},
        {"truncated in proxy mode", 67, true, false, 5, 0, 1, 100, "", 1, NoMacIsLocal, DhcpDrop::kTruncated,
         "PDHCP Err: Recv message truncated; length was 100"},
        {"wake-up datagram", 67, false, false, 5, 0, 1, 8, "", 1, NoMacIsLocal, DhcpDrop::kWakeUp, nullptr},
        {"BINL preparing", 67, false, true, 5, 0, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kBinlPreparing, nullptr},
        {"no pool, no static lease", 67, false, false, 0, 0, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kNoAddresses,
         nullptr},
        {"no pool, static lease", 67, false, false, 0, 0, 7, 0, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"no pool in proxy mode", 67, true, false, 0, 0, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"this host by name", 67, false, false, 5, 0, 1, 0, "bootsrv", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"another server", 67, false, false, 5, 0, 1, 0, "other", 1, NoMacIsLocal, DhcpDrop::kOtherServer,
         "DHCP Inf: Packet addressed to other"},
        {"another server named with control bytes", 67, false, false, 5, 0, 1, 0, "x\r\n[01/01] forged\x1b", 1,
         NoMacIsLocal, DhcpDrop::kOtherServer, "DHCP Inf: Packet addressed to x\\013\\010[01/01] forged\\027"},
        {"empty datagram", 67, false, false, 5, 0, 1, 0xFFFF, "", 1, NoMacIsLocal, DhcpDrop::kTruncated,
         "DHCP Err: Recv message truncated; length was 0"},
        {"another server, proxy mode: no line", 67, true, false, 5, 0, 1, 0, "other", 1, NoMacIsLocal,
         DhcpDrop::kOtherServer, nullptr},
        {"a reply", 67, false, false, 5, 0, 1, 0, "", 2, NoMacIsLocal, DhcpDrop::kNotRequest, "DHCP Inf: "},
        {"own MAC", 67, false, false, 5, 0, 0x42, 0, "", 1, MacEndingIn42IsLocal, DhcpDrop::kOwnMac,
         "DHCP Inf: Nimbo's own interface MAC 52:54:00:12:34:42 : ignoring request"},
        {"own MAC, proxy mode: no line", 67, true, false, 5, 0, 0x42, 0, "", 1, MacEndingIn42IsLocal, DhcpDrop::kOwnMac,
         nullptr},
        {"local MACs unknown", 67, false, false, 5, 0, 0x42, 0, "", 1, LocalMacsUnknown, DhcpDrop::kNone, nullptr},
        {"reject list match", 67, false, false, 5, 1, 0x0F, 0, "", 1, NoMacIsLocal, DhcpDrop::kRejectList,
         "DHCP Inf: In reject list MAC 52:54:00:12:34:0F : ignoring request"},
        {"reject list, other MAC", 67, false, false, 5, 1, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"accept list match", 67, false, false, 5, 2, 0x0F, 0, "", 1, NoMacIsLocal, DhcpDrop::kNone, nullptr},
        {"accept list, other MAC", 67, true, false, 5, 2, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kNotInAcceptList,
         "PDHCP Inf: Not in accept list MAC 52:54:00:12:34:01 : ignoring request"},
        // Port 4011: no BINL hold, pool, own-MAC or filter test; its lines always written.
        {"4011 request", 4011, true, true, 0, 2, 0x42, 0, "", 1, MacEndingIn42IsLocal, DhcpDrop::kNone, nullptr},
        {"4011 without proxy mode", 4011, false, false, 5, 0, 1, 0, "", 1, NoMacIsLocal, DhcpDrop::kProxyOff, nullptr},
        {"4011 truncated", 4011, true, false, 5, 0, 1, 20, "", 1, NoMacIsLocal, DhcpDrop::kTruncated,
         "PDHCP Err: Recv message truncated (length was 20)"},
        {"4011 wake-up", 4011, true, false, 5, 0, 1, 8, "", 1, NoMacIsLocal, DhcpDrop::kWakeUp, nullptr},
        {"4011 another server", 4011, true, false, 5, 0, 1, 0, "other", 1, NoMacIsLocal, DhcpDrop::kOtherServer,
         "PDHCP Inf: Packet addressed to other"},
        {"4011 a reply", 4011, true, false, 5, 0, 1, 0, "", 2, NoMacIsLocal, DhcpDrop::kNotRequest, "PDHCP Inf: "},
    };
    for (const auto& c : cases) {
        nimbo::test::LogCapture log(LOG_DHCP);
        const DhcpSettings s = CaseSettings(c.filterMode, true);
        Packet p = MakeRequest(1, c.macLast, {});
        size_t length = c.length == 0xFFFF ? 0 : c.length ? c.length : 300;
        if (c.length == 8) std::memcpy(p.data(), "wake up", 8);
        std::snprintf(reinterpret_cast<char*>(p.data() + kOffSname), 64, "%s", c.sname);
        if (c.length != 8) p.buf[kOffOp] = c.op;
        DhcpAcceptInput in;
        in.port = c.port;
        in.proxyMode = c.proxy;
        in.binlPreparing = c.binlPreparing;
        in.leaseCapacity = c.capacity;
        in.settings = &s;
        in.hostName = HostIsBootsrv;
        in.isLocalMac = c.isLocalMac;
        EXPECT_EQ(AcceptDhcpRequest(in, p.data(), length), c.drop) << c.what;
        const std::vector<std::string> lines = log.Lines();
        if (c.line) {
            ASSERT_EQ(lines.size(), 1u) << c.what;
            EXPECT_EQ(lines[0].rfind(c.line, 0), 0u) << c.what << ": " << lines[0];
            EXPECT_EQ(lines[0].find_first_of("\r\n\x1b"), std::string::npos) << c.what;
            if (c.drop == DhcpDrop::kNotRequest) {
                EXPECT_NE(lines[0].find(" Request 2 not processed"), std::string::npos) << lines[0];
            }
        } else {
            EXPECT_TRUE(lines.empty()) << c.what << ": " << lines[0];
        }
    }
}

TEST(DhcpAccept, NameAndFileEndInsideTheirFields) {
    Packet p = MakeRequest(1, 1, {});
    std::memset(p.data() + kOffSname, 'x', 64 + 128);
    DhcpAcceptInput in;
    in.hostName = [] { return std::string(63, 'x'); };
    in.isLocalMac = NoMacIsLocal;
    in.leaseCapacity = 1;
    EXPECT_EQ(AcceptDhcpRequest(in, p.data(), 300), DhcpDrop::kNone);
    EXPECT_EQ(p.buf[kOffSname + 63], 0);
    EXPECT_EQ(p.buf[kOffFile + 127], 0);
}

TEST(DhcpAccept, AcceptListWithoutEntriesRefusesEveryClient) {
    DhcpSettings none{};
    none.DHCP_ProcMacFilter = 2;
    nimbo::test::LogCapture log(LOG_DHCP);  // the refusal's line stays out of the output
    Packet p = MakeRequest(1, 1, {});
    DhcpAcceptInput in;
    in.settings = &none;
    in.isLocalMac = NoMacIsLocal;
    in.leaseCapacity = 1;
    EXPECT_EQ(AcceptDhcpRequest(in, p.data(), 300), DhcpDrop::kNotInAcceptList);
}

const char* Counted(int* calls) {
    ++*calls;
    return "x";
}

// The lines about one client are bounded a second, and its budget is asked before a line's
// text is made; another client's lines are written beside them, and lines outside a request
// are not bounded.
TEST(DhcpAccept, LinesOfOnePeerAreBoundedBeforeTheyAreFormatted) {
    nimbo::test::LogCapture log(LOG_DHCP);
    DhcpAcceptInput in;
    in.hostName = HostIsBootsrv;
    in.isLocalMac = NoMacIsLocal;
    in.leaseCapacity = 5;
    const uint32_t source = Ip("10.0.0.9");
    auto count = [&log](const std::string& part) {
        size_t n = 0;
        for (const std::string& l : log.Lines()) n += l.find(part) != std::string::npos;
        return n;
    };
    // Two seconds at most pass: at most two budgets.
    const size_t bound = 2 * kPeerLinesPerSecond;
    int formatted = 0;
    for (int i = 0; i < 1000; ++i) {
        Packet p = MakeRequest(1, 0x51, {});
        std::snprintf(reinterpret_cast<char*>(p.data() + kOffSname), 64, "other");
        DhcpPeerScope peer("DHCP Inf:", p.data(), 300, source);
        EXPECT_EQ(AcceptDhcpRequest(in, p.data(), 300), DhcpDrop::kOtherServer);
        DhcpLog(5, "DHCP Inf: counted %s", Counted(&formatted));
    }
    EXPECT_GE(count("Packet addressed to other"), 1u);
    EXPECT_LE(count("Packet addressed to other") + count("counted"), bound);
    EXPECT_LE(static_cast<size_t>(formatted), bound) << "the text of a dropped line is not made";
    // A datagram too short for a request counts against its sender's address, not a MAC.
    for (int i = 0; i < 1000; ++i) {
        Packet p = MakeRequest(1, 0x52, {});
        DhcpPeerScope peer("DHCP Inf:", p.data(), 100, source);
        EXPECT_EQ(AcceptDhcpRequest(in, p.data(), 100), DhcpDrop::kTruncated);
    }
    EXPECT_GE(count("Recv message truncated"), 1u);
    EXPECT_LE(count("Recv message truncated"), bound);
    // Another client from the same address, beside them.
    {
        Packet p = MakeRequest(1, 0x53, {});
        std::snprintf(reinterpret_cast<char*>(p.data() + kOffSname), 64, "third");
        DhcpPeerScope peer("DHCP Inf:", p.data(), 300, source);
        EXPECT_EQ(AcceptDhcpRequest(in, p.data(), 300), DhcpDrop::kOtherServer);
    }
    EXPECT_EQ(count("Packet addressed to third"), 1u);
    // Without a request at hand nothing is bounded.
    formatted = 0;
    for (int i = 0; i < 1000; ++i) DhcpLog(5, "DHCP Inf: counted %s", Counted(&formatted));
    EXPECT_EQ(formatted, 1000);
}

}  // namespace
