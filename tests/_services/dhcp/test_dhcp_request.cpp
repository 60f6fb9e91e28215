// Request handling and reply bytes for every message type, allocation order and the
// per-architecture row rule.
#include <gtest/gtest.h>

#include "_services/dhcp/dhcp_request.h"
#include "tests/_services/dhcp/dhcp_test_util.h"

namespace {

struct Server {
    nimbo::test::LogCapture log{LOG_DHCP};  // the DHCP lines while the server lives
    DhcpConfig cfg;
    LeaseTable leases;
    DhcpEnv env;
    std::vector<DhcpEventRecord> events;

    explicit Server(uint32_t services = SVC_DHCP | SVC_TFTP_SERVER,
                    const char* bootFile = "\\a.0|7?\\x64.efi|7i?\\ipxe64.efi", const char* pool = "10.0.0.10",
                    int poolSize = 5) {
        DhcpSettings& s = cfg.rec;
        std::snprintf(s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool, "%s", pool);
        uint32_t start = 0;
        s.PoolStart = parseDottedAddress(pool, std::strlen(pool), &start) ? start : 0;
        s.DHCP_PoolSize = poolSize;
        s.SubnetMask = Ip("255.255.255.0");
        s.NextServer = 0xFFFFFFFFu;
        s.DHCP_LeaseTime = 60;
        validateAddressSetting(3, "10.0.0.1", s.RouterOption, sizeof s.RouterOption, nullptr);
        std::snprintf(s.DHCP_BootFile, sizeof s.DHCP_BootFile, "%s", bootFile);
        validateBootFileSetting(s.DHCP_BootFile, &s.BootFileTable, nullptr, &cfg.bootFileIpxe);
        s.BmMode = 1;
        leases.Configure(s.PoolStart, poolSize, 60, false, nullptr);
        env.cfg = &cfg;
        env.servicesMask = services;
        env.hostName = "bootsrv";
        env.leases = &leases;
        env.now = 1700000000;
        env.serverAddressForClient = [](uint32_t, bool) { return Ip("10.0.0.1"); };
        env.sendEvent = [this](const DhcpEventRecord& e) { events.push_back(e); };
    }
    int Handle(Packet& p, int port = 67) {
        p.length = 0;
        return (env.servicesMask & SVC_PDHCP) ? processPdhcpRequest(env, port, p.data(), &p.length)
                                              : processDhcpRequest(env, port, p.data(), &p.length);
    }
};

std::string IpText(uint32_t a) {
    char b[INET_ADDRSTRLEN];
    in_addr in{a};
    return inet_ntop(AF_INET, &in, b, sizeof b);
}

TEST(DhcpReply, DiscoverGetsOffer) {
    Server srv;
    Packet p = MakeRequest(1, 1, {Text(60, "PXEClient:Arch:00000:UNDI:002001"), Arch(0)});
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_EQ(p.buf[kOffOp], 2);
    EXPECT_EQ(IpText(p.U32(kOffYiaddr)), "10.0.0.10");
    EXPECT_EQ(p.File(), "\\a.0");
    EXPECT_EQ(p.buf[kOffSname], 0);  // host name only with BINL
    int len = 0;
    const uint8_t* t = p.Option(53, &len);
    ASSERT_TRUE(t);
    EXPECT_EQ(t[0], 2);
    const uint8_t* sid = p.Option(54, &len);
    ASSERT_TRUE(sid);
    EXPECT_EQ(len, 4);
    const uint8_t* lt = p.Option(51, &len);
    ASSERT_TRUE(lt);
    EXPECT_EQ((lt[0] << 24) | (lt[1] << 16) | (lt[2] << 8) | lt[3], 3600);
    const uint8_t* t1 = p.Option(58, &len);
    EXPECT_EQ((t1[2] << 8) | t1[3], 1800);
    const uint8_t* t2 = p.Option(59, &len);
    EXPECT_EQ((t2[2] << 8) | t2[3], 3120);
    ASSERT_TRUE(p.Option(3, &len));
    EXPECT_EQ(len, 4);
    EXPECT_FALSE(p.Option(13, &len));
    // The reply ends with END and two zero bytes, without a pad (no BINL).
    ASSERT_GT(p.length, 243u);
    EXPECT_EQ(p.buf[p.length - 3], 255);
    EXPECT_TRUE(Logged(srv.log,
                       "DHCP Inf: Rcvd DHCPDISCOVER from IP 0.0.0.0, MAC 52:54:00:12:34:01, ClassID \"PXEClient\", "
                       "Arch \"x86 BIOS\""));
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Address 10.0.0.10 is being OFFERED"));
}

TEST(DhcpReply, RequestAfterOfferGetsAckAndStartsTheLease) {
    Server srv;
    Packet d = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(d), 1);
    Packet r = MakeRequest(3, 1, {Addr(50, "10.0.0.10")});
    ASSERT_EQ(srv.Handle(r), 1);
    int len = 0;
    EXPECT_EQ(r.Option(53, &len)[0], 5);
    EXPECT_EQ(IpText(r.U32(kOffYiaddr)), "10.0.0.10");
    ASSERT_EQ(srv.leases.count(), 1);
    EXPECT_EQ(+srv.leases.at(0)->startTime, srv.env.now);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Address 10.0.0.10 is being ACKED"));
}

TEST(DhcpReply, RequestsThatGetNoAnswer) {
    Server srv;
    Packet unknown = MakeRequest(3, 9, {Addr(50, "10.0.0.10")});
    EXPECT_EQ(srv.Handle(unknown), 0);
    EXPECT_TRUE(srv.log.Count() == 1);  // only the received line
    Packet d = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(d), 1);
    Packet outside = MakeRequest(3, 1, {Addr(50, "10.0.0.99")});
    EXPECT_EQ(srv.Handle(outside), 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Err: Requested address 10.0.0.99 not allocated; not in pool or already in use"));
    // Another client's unexpired address.
    Packet d2 = MakeRequest(1, 2, {});
    ASSERT_EQ(srv.Handle(d2), 1);
    Packet r2 = MakeRequest(3, 2, {Addr(50, "10.0.0.11")});
    ASSERT_EQ(srv.Handle(r2), 1);
    Packet steal = MakeRequest(3, 1, {Addr(50, "10.0.0.11")});
    EXPECT_EQ(srv.Handle(steal), 0);
    // A datagram with a yiaddr is not a client request.
    Packet y = MakeRequest(1, 3, {});
    std::memcpy(y.data() + kOffYiaddr, "\x0a\x00\x00\x05", 4);
    EXPECT_EQ(srv.Handle(y), 0);
}

TEST(DhcpReply, DiscoverWithRequestedAddress) {
    Server srv;
    Packet p = MakeRequest(1, 1, {Addr(50, "10.0.0.12")});
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_EQ(IpText(p.U32(kOffYiaddr)), "10.0.0.12");
    EXPECT_EQ(IpText(p.U32(kOffCiaddr)), "10.0.0.12");
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Address 10.0.0.12 has been REQUESTED"));
}

TEST(DhcpReply, ReleaseAndDecline) {
    Server srv;
    Packet d = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(d), 1);
    Packet rel = MakeRequest(7, 1, {});
    EXPECT_EQ(srv.Handle(rel), 0);
    ASSERT_EQ(srv.leases.count(), 1);
    EXPECT_EQ(+srv.leases.at(0)->offerTime, 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Lease 52:54:00:12:34:01 released"));

    bool woke = false;
    srv.leases.SetWakeUp([&] { woke = true; });
    // The owner of a declined address is asked for after the request has been handled.
    std::vector<uint32_t> asked;
    srv.env.checkDeclined = [&](uint32_t a) { asked.push_back(a); };
    Packet dec = MakeRequest(4, 1, {Addr(50, "10.0.0.10")});
    EXPECT_EQ(srv.Handle(dec), 0);
    EXPECT_TRUE(woke);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Lease destroyed"));
    ASSERT_EQ(asked, std::vector<uint32_t>{Ip("10.0.0.10")});
    EXPECT_EQ(srv.leases.count(), 0);
    const uint8_t other[6] = {2, 0, 0, 0, 0, 7};
    recordDeclinedAddress(srv.env, asked[0], other);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Added lease for existing address 10.0.0.10"));
    ASSERT_EQ(srv.leases.count(), 1);
    EXPECT_EQ(srv.leases.at(0)->mac[5], 7);
    EXPECT_EQ(+srv.leases.at(0)->startTime, PermanentLeaseStamp);
}

TEST(DhcpReply, BootpGetsPermanentLease) {
    Server srv;
    Packet p = MakeRequest(-1, 1, {}, false);
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_EQ(IpText(p.U32(kOffYiaddr)), "10.0.0.10");
    int len = 0;
    EXPECT_EQ(p.Option(53, &len)[0], 2);
    EXPECT_EQ(+srv.leases.at(0)->startTime, PermanentLeaseStamp);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Rcvd BootP from IP 0.0.0.0"));
}

TEST(DhcpReply, BinlModeNeedsTheBootProgram) {
    Server srv(SVC_DHCP | SVC_TFTP_SERVER | SVC_BINL);
    Packet pxe = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(7)});
    EXPECT_EQ(srv.Handle(pxe), 0);
    EXPECT_TRUE(Logged(
        srv.log,
        "DHCP Warn: DHCPDISCOVER from MAC 52:54:00:12:34:01, Arch \"x64 UEFI\", needs a missing NBP [\\x64.efi]"));
    Packet plain = MakeRequest(1, 2, {});
    EXPECT_EQ(srv.Handle(plain), 1);
    srv.cfg.rec.BootFileTable.rows[7].present = 1;
    srv.cfg.rec.BootFileTable.rows[7].sizeBlocks = 70000;  // option 13 saturates at 16 bits
    Packet again = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(7)});
    ASSERT_EQ(srv.Handle(again), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(again.data() + kOffSname)), "bootsrv");
    int len = 0;
    const uint8_t* sz = again.Option(13, &len);
    ASSERT_TRUE(sz);
    EXPECT_EQ((sz[0] << 8) | sz[1], 0xFFFF);
    EXPECT_EQ(again.buf[again.length - 4], 0);  // pad before END with BINL
    EXPECT_EQ(again.buf[again.length - 3], 255);
}

TEST(DhcpReply, ProxyOfferOnlyForPxeClients) {
    Server srv(SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER);
    Packet plain = MakeRequest(1, 1, {Text(60, "MSFT 5.0")});
    EXPECT_EQ(srv.Handle(plain), 0);
    Packet none = MakeRequest(1, 1, {});
    EXPECT_EQ(srv.Handle(none), 0);
    Packet pxe = MakeRequest(1, 1, {Text(60, "PXEClient:Arch:00007"), Arch(7)});
    ASSERT_EQ(srv.Handle(pxe), 1);
    EXPECT_EQ(pxe.buf[kOffOp], 2);
    EXPECT_EQ(pxe.U32(kOffYiaddr), 0u);
    EXPECT_EQ(pxe.U32(kOffCiaddr), 0u);
    EXPECT_EQ(pxe.File(), "");
    int len = 0;
    const uint8_t* vc = pxe.Option(60, &len);
    ASSERT_TRUE(vc);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(vc), len), "PXEClient");
    EXPECT_FALSE(pxe.Option(51, &len));
    EXPECT_EQ(srv.leases.count(), 0);
    EXPECT_TRUE(Logged(srv.log, "PDHCP Inf: Sending DHCPOFFER"));
    // A REQUEST on port 67 is not the proxy's to answer.
    Packet req67 = MakeRequest(3, 1, {Text(60, "PXEClient")});
    EXPECT_EQ(srv.Handle(req67, 67), 0);
}

TEST(DhcpReply, ProxyAckOnPort4011) {
    Server srv(SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER);
    Packet noCiaddr = MakeRequest(3, 1, {Text(60, "PXEClient"), Arch(7)});
    EXPECT_EQ(srv.Handle(noCiaddr, 4011), 0);
    Packet p = MakeRequest(3, 1, {Text(60, "PXEClient"), Arch(7)});
    std::memcpy(p.data() + kOffCiaddr, "\x0a\x00\x00\x33", 4);
    ASSERT_EQ(srv.Handle(p, 4011), 1);
    EXPECT_EQ(p.File(), "\\x64.efi");
    EXPECT_EQ(p.U32(kOffCiaddr), 0u);
    EXPECT_EQ(IpText(p.U32(kOffSiaddr)), "10.0.0.1");
    int len = 0;
    const uint8_t* sid = p.Option(54, &len);
    ASSERT_TRUE(sid);
    EXPECT_EQ(IpText(p.U32(static_cast<size_t>(sid - p.data()))), "10.0.0.1");
    EXPECT_EQ(p.Option(53, &len)[0], 5);
    ASSERT_EQ(srv.events.size(), 1u);
    EXPECT_STREQ(srv.events[0].clientAddress, "10.0.0.51");  // taken before the reply cleared ciaddr
    EXPECT_STREQ(srv.events[0].tftpServer, "10.0.0.1");
    EXPECT_STREQ(srv.events[0].bootFile, "\\x64.efi");
    EXPECT_TRUE(Logged(srv.log, "PDHCP Inf: Sending DHCPACK, TFTP [10.0.0.1]  bootfile [\\x64.efi]"));
}

// Every reply names its server (option 54) and siaddr itself; the threads only send it.
TEST(DhcpReply, ServerIdentifierAndSiaddr) {
    struct Case {
        const char* what;
        uint32_t services;
        int port;
        int type;
        const char* localIp;     // DHCP_LocalIP, "" none
        const char* tftpIp;      // TFTP_LocalIP, "" none
        const char* nextServer;  // "" automatic
        bool interfaceFound;     // serverAddressForClient finds an address
        const char* serverId;
        const char* siaddr;
        const char* line;  // an error line, nullptr none
    } cases[] = {
        {"offer", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "", "", "", true, "10.0.0.1", "10.0.0.1", nullptr},
        {"ack", SVC_DHCP | SVC_TFTP_SERVER, 67, 3, "", "", "", true, "10.0.0.1", "10.0.0.1", nullptr},
        {"bound service", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "10.0.0.2", "", "", true, "10.0.0.2", "10.0.0.2", nullptr},
        {"TFTP bound elsewhere", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "", "10.0.0.3", "", true, "10.0.0.1", "10.0.0.3",
         nullptr},
        {"next server", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "", "10.0.0.3", "10.0.0.9", true, "10.0.0.1", "10.0.0.9",
         nullptr},
        {"no TFTP service", SVC_DHCP, 67, 1, "", "", "", true, "10.0.0.1", "0.0.0.0", nullptr},
        {"no interface", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "", "", "", false, "0.0.0.0", "0.0.0.0",
         "DHCP Err: Unable to define \"DHCP Server Identifier\"; try binding the service"},
        {"no interface, siaddr", SVC_DHCP | SVC_TFTP_SERVER, 67, 1, "", "", "", false, "0.0.0.0", "0.0.0.0",
         "DHCP Err: Unable to define \"siaddr\"; Try binding the service"},
        {"proxy offer", SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER, 67, 1, "", "", "", true, "10.0.0.1", "10.0.0.1",
         nullptr},
        {"proxy offer, no interface", SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER, 67, 1, "", "", "", false, "0.0.0.0",
         "0.0.0.0", "PDHCP Err: Unable to define \"siaddr\"; Try binding the service"},
        {"proxy ack", SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER, 4011, 3, "10.0.0.2", "", "", true, "10.0.0.2", "10.0.0.2",
         nullptr},
        {"proxy ack, no interface", SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER, 4011, 3, "", "", "", false, "0.0.0.0",
         "0.0.0.0", "PDHCP Err: Unable to define \"siaddr\"; try binding the service"},
    };
    for (const auto& c : cases) {
        Server srv(c.services);
        if (c.localIp[0]) srv.env.dhcpLocalIp = Ip(c.localIp);
        if (c.tftpIp[0]) srv.env.tftpLocalIp = Ip(c.tftpIp);
        if (c.nextServer[0]) srv.cfg.rec.NextServer = Ip(c.nextServer);
        std::vector<uint32_t> asked;
        const bool found = c.interfaceFound;
        srv.env.serverAddressForClient = [&asked, found](uint32_t client, bool strict) {
            EXPECT_FALSE(strict);
            asked.push_back(client);
            return found ? Ip("10.0.0.1") : 0u;
        };
        if (c.type == 3 && c.port == 67) {  // the ACK follows an offer
            Packet d = MakeRequest(1, 1, {});
            ASSERT_EQ(srv.Handle(d), 1) << c.what;
            asked.clear();
        }
        Packet p = MakeRequest(c.type, 1, {Text(60, "PXEClient"), Arch(0), Addr(50, "10.0.0.10")});
        if (c.port == 4011) std::memcpy(p.data() + kOffCiaddr, "\x0a\x00\x00\x33", 4);
        ASSERT_EQ(srv.Handle(p, c.port), 1) << c.what;
        int len = 0;
        const uint8_t* sid = p.Option(54, &len);
        ASSERT_TRUE(sid && len == 4) << c.what;
        EXPECT_EQ(IpText(p.U32(static_cast<size_t>(sid - p.data()))), c.serverId) << c.what;
        EXPECT_EQ(IpText(p.U32(kOffSiaddr)), c.siaddr) << c.what;
        if (!c.localIp[0]) {
            // Asked for the client's new address (the proxy: its ciaddr; the proxy offer: none).
            const char* client = c.port == 4011 ? "10.0.0.51" : c.services & SVC_PDHCP ? "0.0.0.0" : "10.0.0.10";
            ASSERT_EQ(asked.size(), 1u) << c.what;
            EXPECT_EQ(IpText(asked[0]), client) << c.what;
        }
        if (c.line) { EXPECT_TRUE(Logged(srv.log, c.line)) << c.what; }
    }
}

TEST(DhcpRows, ArchitectureAndIpxeRule) {
    struct Case {
        const char* bootFile;
        int arch;  // -1: no option 93
        bool ipxe;
        const char* file;  // nullptr: no reply
    } cases[] = {
        {"\\a.0|7?\\x64.efi|7i?\\ipxe64.efi", 7, true, "\\ipxe64.efi"},
        {"\\a.0|7?\\x64.efi|7i?\\ipxe64.efi", 7, false, "\\x64.efi"},
        // An undeclared iPXE row falls back to the plain architecture, not the default.
        {"\\a.0|7?\\x64.efi", 7, true, "\\x64.efi"},
        {"\\a.0|6?\\x32.efi|9?\\x64.efi", 9, true, "\\x64.efi"},
        // Row 10 declared by "a" (ARM 32) is not an iPXE BIOS row.
        {"\\a.0|a?\\arm32.efi", 0, true, "\\a.0"},
        {"\\a.0|0i?\\ipxe.pxe", 0, true, "\\ipxe.pxe"},
        {"\\a.0|a?\\arm32.efi", 10, false, "\\arm32.efi"},
        {"\\a.0|b?\\arm64.efi", 11, false, "\\arm64.efi"},
        {"\\a.0|b?\\arm64.efi", 6, true, "\\a.0"},
        {"\\a.0|6i?\\i32.efi", 6, true, "\\i32.efi"},
        // Rows 10 and 11 declared by "0i" / "6i" hold iPXE programs: an ARM client (no iPXE)
        // has no row, while the default entry or its own key serves it.
        {"\\a.0|0i?\\ipxe.pxe", 10, false, ""},
        {"\\a.0|6i?\\i32.efi", 11, false, ""},
        {"\\a.0|0i?\\ipxe.pxe|b?\\arm64.efi", 11, false, "\\arm64.efi"},
        {"\\a.0|6i?\\i32.efi", 10, false, "\\a.0"},
        {"\\a.0|7i?\\ipxe64.efi", 12, false, ""},
        {"\\a.0", -1, false, "\\a.0"},
        {"\\a.0", 255, false, "\\a.0"},
        {"\\a.0", 20, false, ""},
        {"\\a.0", 47, false, ""},
        // Beyond the tables no boot program can be named: no reply.
        {"\\a.0", 48, false, nullptr},
        {"\\a.0", 0xFFFF, true, nullptr},
    };
    for (const auto& c : cases) {
        Server srv(SVC_DHCP | SVC_TFTP_SERVER, c.bootFile);
        Packet p = c.arch < 0 ? MakeRequest(1, 1, {Text(60, "PXEClient")})
                   : c.ipxe   ? MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(c.arch), Text(77, "iPXE")})
                              : MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(c.arch)});
        ASSERT_EQ(srv.Handle(p), c.file ? 1 : 0) << c.bootFile << " " << c.arch;
        if (c.file) { EXPECT_EQ(p.File(), c.file) << c.bootFile << " arch " << c.arch << " ipxe " << c.ipxe; }
    }
}

TEST(DhcpReply, UserOptionsStayInsideTheReply) {
    Server srv(SVC_DHCP | SVC_TFTP_SERVER | SVC_BINL);
    srv.cfg.rec.BootFileTable.rows[0].present = 1;
    for (int i = 0; i < kUserOptions; ++i) {
        std::string text = std::to_string(200 + i) + "|" + std::string(255, 'a' + i);
        ASSERT_EQ(parseDhcpOption(text.c_str(), srv.cfg.rec.UserOptions[i].encoded, 270, nullptr), 1);
    }
    Packet p = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_LE(p.length, kReplyMtuLimit);
    EXPECT_EQ(p.buf[p.length - 3], 255);
    EXPECT_TRUE(Logged(srv.log, "DHCP Err: DHCP answer is bigger than MTU; Reduce option size"));
    int len = 0;
    EXPECT_TRUE(p.Option(200, &len));
    EXPECT_FALSE(p.Option(209, &len));
}

TEST(DhcpReply, UserOptionsReplaceBuiltInOnes) {
    Server srv(SVC_DHCP | SVC_TFTP_SERVER | SVC_SYSLOG);
    srv.env.syslogLocalIp = Ip("10.0.0.2");
    srv.cfg.rec.BootFileTable.rows[0].sizeBlocks = 10;
    Packet a = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(a), 1);
    int len = 0;
    EXPECT_EQ(IpText(a.U32(static_cast<size_t>(a.Option(7, &len) - a.data()))), "10.0.0.2");
    EXPECT_EQ(a.Option(13, &len)[1], 10);
    parseDhcpOption("7|10.0.0.3", srv.cfg.rec.UserOptions[0].encoded, 270, nullptr);
    parseDhcpOption("13|5", srv.cfg.rec.UserOptions[1].encoded, 270, nullptr);
    const uint8_t pad[4] = {0, 0, 0xFF, 0xFF};
    std::memcpy(srv.cfg.rec.UserOptions[2].encoded, pad, 4);
    Packet b = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(b), 1);
    EXPECT_EQ(IpText(b.U32(static_cast<size_t>(b.Option(7, &len) - b.data()))), "10.0.0.3");
    EXPECT_EQ(b.Option(13, &len)[1], 5);
}

// The option codes of a reply in the order they stand in its bytes, END included.
std::vector<int> OptionOrder(const Packet& p) {
    std::vector<int> codes;
    for (size_t i = kOffOptions; i < p.length;) {
        const uint8_t c = p.buf[i];
        codes.push_back(c);
        if (c == 255) break;
        i += c == 0 ? 1 : 2u + p.buf[i + 1];
    }
    return codes;
}

// Clients read the options in the order they come: it is part of the wire format.
TEST(DhcpReply, OptionOrderOnTheWire) {
    Server srv(SVC_DHCP | SVC_TFTP_SERVER | SVC_SYSLOG);
    DhcpSettings& s = srv.cfg.rec;
    srv.env.syslogLocalIp = Ip("10.0.0.2");
    validateAddressSetting(6, "10.0.0.53", s.DnsOption, sizeof s.DnsOption, nullptr);
    std::snprintf(s.DHCP_DomainName, sizeof s.DHCP_DomainName, "lan");
    s.BootFileTable.rows[0].sizeBlocks = 10;
    parseDhcpOption("42|10.0.0.1", s.UserOptions[0].encoded, 270, nullptr);
    parseDhcpOption("66|boot.example", s.UserOptions[1].encoded, 270, nullptr);
    Packet offer = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(offer), 1);
    EXPECT_EQ(OptionOrder(offer), (std::vector<int>{53, 54, 1, 3, 6, 7, 51, 58, 59, 13, 15, 42, 66, 255}));
    Packet ack = MakeRequest(3, 1, {Addr(50, "10.0.0.10")});
    ASSERT_EQ(srv.Handle(ack), 1);
    EXPECT_EQ(OptionOrder(ack), OptionOrder(offer));

    // With BINL: option 252 last, then a pad before END.
    Server binl(SVC_DHCP | SVC_TFTP_SERVER | SVC_BINL);
    binl.cfg.rec.BootFileTable.rows[0].present = 1;
    binl.cfg.rec.BmMode = 3;
    ASSERT_EQ(parseArchFileList("252|\\boot\\bcd", &binl.cfg.rec.Option252Table), 0);
    parseDhcpOption("42|10.0.0.1", binl.cfg.rec.UserOptions[0].encoded, 270, nullptr);
    Packet b = MakeRequest(1, 2, {Text(60, "PXEClient"), Arch(0)});
    ASSERT_EQ(binl.Handle(b), 1);
    EXPECT_EQ(OptionOrder(b), (std::vector<int>{53, 54, 1, 3, 51, 58, 59, 42, 252, 0, 255}));

    // The proxy: type, server, class, then the user options.
    Server proxy(SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER);
    parseDhcpOption("42|10.0.0.1", proxy.cfg.rec.UserOptions[0].encoded, 270, nullptr);
    Packet po = MakeRequest(1, 3, {Text(60, "PXEClient"), Arch(0)});
    ASSERT_EQ(proxy.Handle(po), 1);
    EXPECT_EQ(OptionOrder(po), (std::vector<int>{53, 54, 60, 42, 255}));
    Packet pa = MakeRequest(3, 3, {Text(60, "PXEClient"), Arch(0)});
    std::memcpy(pa.data() + kOffCiaddr, "\x0a\x00\x00\x33", 4);
    ASSERT_EQ(proxy.Handle(pa, 4011), 1);
    EXPECT_EQ(OptionOrder(pa), (std::vector<int>{53, 54, 60, 42, 255}));
}

uint32_t OptionU32(const Packet& p, uint8_t code) {
    int len = 0;
    const uint8_t* v = p.Option(code, &len);
    return v && len == 4 ? static_cast<uint32_t>((v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3]) : 0xFFFFFFFFu;
}

TEST(DhcpReply, LeaseTimesAndStaticLeaseRules) {
    Server srv;
    srv.cfg.rec.DHCP_LeaseTime = 1;
    Packet p = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_EQ(OptionU32(p, 51), 60u);
    EXPECT_EQ(OptionU32(p, 58), 0u);
    EXPECT_EQ(OptionU32(p, 59), 0u);
    // Static leases only with DHCP_ProcStatLeases; a MAC beginning with four zero bytes never matches.
    const uint8_t mac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x07};
    std::memcpy(srv.cfg.rec.StaticLeases[0].mac, mac, 6);
    srv.cfg.rec.StaticLeases[0].address = Ip("10.0.9.9");
    Packet off = MakeRequest(1, 7, {});
    ASSERT_EQ(srv.Handle(off), 1);
    EXPECT_NE(IpText(off.U32(kOffYiaddr)), "10.0.9.9");
    srv.cfg.rec.DHCP_ProcStatLeases = 1;
    Packet on = MakeRequest(3, 7, {});
    ASSERT_EQ(srv.Handle(on), 1);
    EXPECT_EQ(IpText(on.U32(kOffYiaddr)), "10.0.9.9");
    const uint8_t zeroMac[6] = {0, 0, 0, 0, 0x34, 0x08};
    std::memcpy(srv.cfg.rec.StaticLeases[1].mac, zeroMac, 6);
    srv.cfg.rec.StaticLeases[1].address = Ip("10.0.9.8");
    Packet z = MakeRequest(1, 8, {});
    std::memcpy(z.data() + kOffChaddr, zeroMac, 6);
    ASSERT_EQ(srv.Handle(z), 1);
    EXPECT_NE(IpText(z.U32(kOffYiaddr)), "10.0.9.8");
}

TEST(DhcpReply, Option67FromTheClientsRow) {
    Server srv;
    ArchBootTable t{};
    ASSERT_EQ(parseArchFileList("67|\\o.0|7?\\o64.efi", &t, &srv.cfg.option67Ipxe), 0);
    srv.cfg.rec.Option67Table = t;
    srv.cfg.rec.UserOptions[0].encoded[0] = 0x43;
    Packet p = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(7)});
    ASSERT_EQ(srv.Handle(p), 1);
    int len = 0;
    const uint8_t* o = p.Option(67, &len);
    ASSERT_TRUE(o);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(o), len), "\\o64.efi");
    // The proxy offer never carries option 67.
    Server proxy(SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER);
    proxy.cfg.rec.Option67Table = t;
    proxy.cfg.rec.UserOptions[0].encoded[0] = 0x43;
    Packet q = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(7)});
    ASSERT_EQ(proxy.Handle(q), 1);
    EXPECT_FALSE(q.Option(67, &len));
}

TEST(DhcpAllocation, Order) {
    Server srv;
    srv.cfg.rec.DHCP_ProcStatLeases = 1;
    const uint8_t fixedMac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x99};
    std::memcpy(srv.cfg.rec.StaticLeases[0].mac, fixedMac, 6);
    srv.cfg.rec.StaticLeases[0].address = Ip("10.0.5.5");
    Packet s = MakeRequest(1, 0x99, {});
    ASSERT_EQ(srv.Handle(s), 1);
    EXPECT_EQ(IpText(s.U32(kOffYiaddr)), "10.0.5.5");
    EXPECT_EQ(srv.leases.count(), 0);

    Packet a = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(a), 1);
    EXPECT_EQ(IpText(a.U32(kOffYiaddr)), "10.0.0.10");  // first free
    Packet again = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(again), 1);
    EXPECT_EQ(IpText(again.U32(kOffYiaddr)), "10.0.0.10");  // previous
    Packet other = MakeRequest(1, 1, {Addr(50, "10.0.0.13")});
    ASSERT_EQ(srv.Handle(other), 1);
    EXPECT_EQ(IpText(other.U32(kOffYiaddr)), "10.0.0.13");  // requested, the old one freed
    EXPECT_EQ(srv.leases.count(), 1);
    // The first free address is the lowest one no lease holds, whatever the run.
    for (uint8_t m = 2; m <= 5; ++m) {
        Packet p = MakeRequest(1, m, {});
        ASSERT_EQ(srv.Handle(p), 1);
    }
    EXPECT_EQ(srv.leases.count(), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(IpText(srv.leases.at(i)->address), "10.0.0." + std::to_string(10 + i));
    // Pool full: a stale, never acknowledged offer is reused after 120 s.
    Packet late = MakeRequest(1, 6, {});
    EXPECT_EQ(srv.Handle(late), 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Err: No more addresses or address previously allocated by another server"));
    srv.env.now += 121;
    Packet reuse = MakeRequest(1, 6, {});
    ASSERT_EQ(srv.Handle(reuse), 1);
    EXPECT_EQ(IpText(reuse.U32(kOffYiaddr)), "10.0.0.10");
    EXPECT_EQ(srv.leases.count(), 5);
}

TEST(DhcpAllocation, PoolEdges) {
    Server wrap(SVC_DHCP, "\\a.0", "192.168.1.254", 5);
    std::vector<std::string> got;
    for (uint8_t m = 1; m <= 3; ++m) {
        Packet p = MakeRequest(1, m, {});
        ASSERT_EQ(wrap.Handle(p), 1);
        got.push_back(IpText(p.U32(kOffYiaddr)));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"192.168.1.254", "192.168.2.1", "192.168.2.2"}));
    // A requested .255 breaks the run of leases; the next new lease is still a free address.
    Server gap(SVC_DHCP, "\\a.0", "192.168.1.254", 5);
    Packet a = MakeRequest(1, 1, {});
    ASSERT_EQ(gap.Handle(a), 1);
    Packet b = MakeRequest(1, 2, {Addr(50, "192.168.1.255")});
    ASSERT_EQ(gap.Handle(b), 1);
    Packet c = MakeRequest(1, 3, {});
    ASSERT_EQ(gap.Handle(c), 1);
    EXPECT_EQ(IpText(c.U32(kOffYiaddr)), "192.168.2.1");
    Packet d = MakeRequest(1, 4, {});
    ASSERT_EQ(gap.Handle(d), 1);
    EXPECT_EQ(IpText(d.U32(kOffYiaddr)), "192.168.2.2");
    EXPECT_EQ(gap.leases.count(), 4);
    // No usable pool: nothing offered, never 0.0.0.0.
    for (auto [pool, size] : {std::pair{"", 5}, std::pair{"bad", 5}, std::pair{"10.0.0.10", -3}}) {
        Server none(SVC_DHCP, "\\a.0", pool, size);
        Packet p = MakeRequest(1, 1, {});
        EXPECT_EQ(none.Handle(p), 0) << pool << " " << size;
        EXPECT_EQ(none.leases.count(), 0);
    }
    // A requested address never grows the table beyond the pool.
    Server two(SVC_DHCP, "\\a.0", "10.0.0.10", 2);
    for (uint8_t m = 1; m <= 2; ++m) {
        Packet p = MakeRequest(1, m, {});
        ASSERT_EQ(two.Handle(p), 1);
    }
    const uint8_t mac3[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(two.leases.Assign(nullptr, Ip("10.0.0.12"), mac3, 6, two.env.now), nullptr);
    EXPECT_EQ(two.leases.count(), 2);
}

TEST(DhcpAllocation, ProbeBeforeOffer) {
    Server srv;
    srv.env.pingAddress = true;
    std::vector<std::string> probed;
    srv.env.probe = [&](uint32_t a) {
        probed.push_back(IpText(a));
        return a == Ip("10.0.0.10") ? 1 : 0;
    };
    Packet p = MakeRequest(1, 1, {});
    ASSERT_EQ(srv.Handle(p), 1);
    EXPECT_EQ(IpText(p.U32(kOffYiaddr)), "10.0.0.11");
    EXPECT_EQ(probed, (std::vector<std::string>{"10.0.0.10", "10.0.0.11"}));
    EXPECT_EQ(std::memcmp(srv.leases.at(0)->mac, PingProbeMac, 6), 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Suppress pingable address 10.0.0.10"));
    EXPECT_STREQ(srv.leases.Rows()[0].mac, "-");
    // A probe that cannot run offers the address instead of burning the pool.
    Server blind;
    blind.env.pingAddress = true;
    blind.env.probe = [](uint32_t) { return -1; };
    Packet q = MakeRequest(1, 1, {});
    ASSERT_EQ(blind.Handle(q), 1);
    EXPECT_EQ(IpText(q.U32(kOffYiaddr)), "10.0.0.10");
    EXPECT_EQ(blind.leases.count(), 1);
}

TEST(DhcpRequest, MalformedRequestsGetNoReply) {
    auto withHlen = [](int hlen) {
        Packet p = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(0)});
        p.buf[kOffHlen] = static_cast<uint8_t>(hlen);
        return p;
    };
    auto withoutEnd = [](bool fill) {
        Packet p = MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(7)});
        for (size_t i = kOffOptions; i < kDhcpBufferSize; ++i)
            if (p.buf[i] == 255) p.buf[i] = 0;
        if (fill)
            for (size_t i = kOffOptions + 20; i < kDhcpBufferSize; ++i) p.buf[i] = 0x2B;
        return p;
    };
    auto lengthPastEnd = [] {
        // The last option claims more bytes than the datagram holds; END is inside its payload.
        Packet p = MakeRequest(1, 1, {});
        p.buf[kOffOptions + 3] = 43;
        p.buf[kOffOptions + 4] = 200;
        p.buf[kOffOptions + 5] = 255;
        for (size_t i = kOffOptions + 6; i < kDhcpBufferSize; ++i) p.buf[i] = 0;
        return p;
    };
    struct Case {
        const char* what;
        Packet packet;
        bool malformed;
        bool answered;
    } cases[] = {
        {"hlen 16", withHlen(16), false, true},
        {"hlen 17", withHlen(17), true, false},
        {"hlen 255", withHlen(255), true, false},
        {"options without END", withoutEnd(false), true, false},
        {"options filling the buffer without END", withoutEnd(true), true, false},
        {"option length past the datagram", lengthPastEnd(), true, false},
        {"pads then END", MakeRequest(1, 1, {{0, {}}, {0, {}}}), false, true},
        {"BOOTP without cookie", MakeRequest(-1, 1, {}, false), false, true},
        {"option 93 of 48", MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(48)}), false, false},
        {"option 93 of 0x1234", MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(0x1234)}), false, false},
        {"option 93 of 255 is row 0", MakeRequest(1, 1, {Text(60, "PXEClient"), Arch(255)}), false, true},
        {"option 93 of a wrong length is row 0", MakeRequest(1, 1, {{93, {0, 7, 0}}}), false, true},
    };
    for (auto& c : cases) {
        Server srv;
        EXPECT_EQ(RequestMalformed(c.packet.data()), c.malformed) << c.what;
        EXPECT_EQ(srv.Handle(c.packet), c.answered ? 1 : 0) << c.what;
        EXPECT_LE(c.packet.length, kReplyMtuLimit) << c.what;
        EXPECT_EQ(srv.leases.count(), c.answered ? 1 : 0) << c.what;
    }
    EXPECT_EQ(ReadRequest(withHlen(255).data()).macLength, 16);  // comparisons never exceed chaddr

    // A client with a lease cannot renew it with an architecture beyond the tables.
    Server srv;
    Packet d = MakeRequest(1, 5, {});
    ASSERT_EQ(srv.Handle(d), 1);
    Packet r = MakeRequest(3, 5, {Addr(50, "10.0.0.10"), Text(60, "PXEClient"), Arch(0x1234)});
    EXPECT_EQ(srv.Handle(r), 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Warn: DHCPREQUEST from MAC"));
    // A malformed RELEASE leaves the lease alone.
    Packet rel = MakeRequest(7, 5, {});
    rel.buf[kOffHlen] = 200;
    EXPECT_EQ(srv.Handle(rel), 0);
    const int64_t offered = srv.leases.at(0)->offerTime;
    EXPECT_NE(offered, 0);
    EXPECT_TRUE(Logged(srv.log, "DHCP Inf: Malformed request from MAC"));

    // The proxy answers neither.
    Server proxy(SVC_DHCP | SVC_PDHCP | SVC_TFTP_SERVER);
    Packet po = MakeRequest(1, 6, {Text(60, "PXEClient"), Arch(0x1234)});
    EXPECT_EQ(proxy.Handle(po), 0);
    Packet pa = MakeRequest(3, 6, {Text(60, "PXEClient"), Arch(0x1234)});
    std::memcpy(pa.data() + kOffCiaddr, "\x0a\x00\x00\x33", 4);
    EXPECT_EQ(proxy.Handle(pa, 4011), 0);
    Packet pn = MakeRequest(3, 6, {Text(60, "PXEClient"), Arch(7)});
    std::memcpy(pn.data() + kOffCiaddr, "\x0a\x00\x00\x33", 4);
    pn.buf[kOffHlen] = 255;
    EXPECT_EQ(proxy.Handle(pn, 4011), 0);
    EXPECT_TRUE(proxy.events.empty());
}

TEST(DhcpRequest, ShortHardwareAddressKeepsItsLease) {
    Server srv;
    auto shortMac = [](int type, uint8_t junk) {
        Packet p = MakeRequest(type, 7, {});
        p.buf[kOffHlen] = 3;
        p.buf[kOffChaddr + 4] = junk;  // beyond hlen: not part of the address
        return p;
    };
    uint32_t first = 0;
    for (uint8_t i = 0; i < 5; ++i) {
        Packet d = shortMac(1, i);
        ASSERT_EQ(srv.Handle(d), 1) << int(i);
        if (i == 0) first = d.U32(kOffYiaddr);
        EXPECT_EQ(d.U32(kOffYiaddr), first) << int(i);
    }
    EXPECT_EQ(srv.leases.count(), 1);
    Packet r = shortMac(3, 0x99);
    std::memcpy(r.data() + kOffCiaddr, &first, 4);
    ASSERT_EQ(srv.Handle(r), 1);
    int len = 0;
    EXPECT_EQ(r.Option(53, &len)[0], 5);
    EXPECT_EQ(r.U32(kOffYiaddr), first);
    EXPECT_EQ(srv.leases.count(), 1);
    // Another client of the same short length is another lease.
    Packet other = MakeRequest(1, 8, {});
    other.buf[kOffHlen] = 3;
    other.buf[kOffChaddr + 2] = 0x77;
    ASSERT_EQ(srv.Handle(other), 1);
    EXPECT_NE(other.U32(kOffYiaddr), first);
    // Without any hardware address the request is dropped and takes no lease.
    Packet none = MakeRequest(1, 9, {});
    none.buf[kOffHlen] = 0;
    EXPECT_EQ(srv.Handle(none), 0);
    EXPECT_EQ(srv.leases.count(), 2);
}

TEST(DhcpRequest, FindOption) {
    Packet p = MakeRequest(1, 1, {{0, {}}, Text(60, "abc")});
    int len = 0;
    const uint8_t* v = p.Option(60, &len);
    ASSERT_TRUE(v);
    EXPECT_EQ(len, 3);
    p.buf[kOffCookie] = 0;
    EXPECT_EQ(p.Option(60, &len), nullptr);
}

// What a request says about its client, read in one walk over the options, is what the search
// of each option alone finds: the first occurrence before END, the walk's bounds at the end of
// the buffer included. Hand-made edges, then a fixed set of random option areas.
TEST(DhcpRequest, ReadRequestFindsWhatTheOptionSearchFinds) {
    auto reference = [](const uint8_t* packet) {
        RequestInfo r;
        r.macLength = std::min<int>(packet[kOffHlen], 16);
        const uint8_t* cookie = packet + kOffCookie;
        if (std::memcmp(cookie, kDhcpMagicCookie, 4) != 0) return r;
        int len = 0;
        if (const uint8_t* t = findDhcpOption(cookie, 53, &len); t && len >= 1) {
            r.type = t[0];
            r.hasType = true;
        }
        if (const uint8_t* c = findDhcpOption(cookie, 60, &len); c && len > 0)
            std::memcpy(r.classId, c, static_cast<size_t>(std::min(len, 32)));
        if (const uint8_t* a = findDhcpOption(cookie, 93, &len); a && len == 2) r.arch = (a[0] << 8) | a[1];
        if (const uint8_t* u = findDhcpOption(cookie, 77, &len); u && len == 4)
            r.ipxe = std::memcmp(u, "iPXE", 4) == 0 || std::memcmp(u, "gPXE", 4) == 0;
        return r;
    };
    auto same = [&](const Packet& p, const std::string& what) {
        const RequestInfo got = ReadRequest(p.buf.data()), want = reference(p.buf.data());
        EXPECT_EQ(got.type, want.type) << what;
        EXPECT_EQ(got.hasType, want.hasType) << what;
        EXPECT_EQ(std::memcmp(got.classId, want.classId, sizeof got.classId), 0) << what;
        EXPECT_EQ(got.arch, want.arch) << what;
        EXPECT_EQ(got.ipxe, want.ipxe) << what;
        EXPECT_EQ(got.macLength, want.macLength) << what;
    };
    const uint8_t kCodes[] = {53, 60, 93, 77, 0, 255, 1, 12};
    // An option area of pads up to pos, then code and length there (pos counts from the byte
    // after the cookie): the edges of the walk's room.
    auto at = [](size_t pos, uint8_t code, uint8_t len) {
        Packet p = MakeRequest(-1, 1, {});
        std::memset(p.data() + kOffOptions, 0, kDhcpBufferSize - kOffOptions);
        p.buf[kOffOptions + pos] = code;
        p.buf[kOffOptions + pos + 1] = len;
        p.buf[kOffOptions + pos + 2] = 7;
        p.buf[kOffOptions + pos + 3] = 9;
        return p;
    };
    for (size_t pos : {1216u, 1217u, 1218u, 1219u, 1220u})
        for (uint8_t code : kCodes)
            for (uint8_t len : {0, 1, 2, 3, 4})
                same(at(pos, code, len),
                     "code " + std::to_string(code) + " at " + std::to_string(pos) + " length " + std::to_string(len));
    same(MakeRequest(3, 1, {Text(60, "first"), Text(60, "second"), {53, {5}}, {93, {0, 7}}, {93, {0, 9}}}),
         "repeated options: the first counts");
    Packet afterEnd = MakeRequest(1, 1, {});
    afterEnd.buf[kOffOptions + 4] = 93;
    afterEnd.buf[kOffOptions + 5] = 2;
    afterEnd.buf[kOffOptions + 7] = 7;
    same(afterEnd, "an option after END");
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<uint8_t>(seed >> 16);
    };
    for (int round = 0; round < 3000; ++round) {
        Packet p = MakeRequest(-1, 1, {});
        // Mostly the codes read, short lengths and few ENDs, so that walks get far.
        for (size_t i = kOffOptions; i < kDhcpBufferSize; ++i) {
            const uint8_t r = next();
            p.buf[i] = r < 96                     ? kCodes[r % 4]
                       : r < 200                  ? static_cast<uint8_t>(r % 6)
                       : r == 255 && next() < 128 ? 255
                                                  : r;
        }
        if (round % 3 == 0) p.buf[kOffCookie] ^= 1;  // some without the cookie
        same(p, "random area " + std::to_string(round));
    }
}

// Where each reply goes, from the request's ciaddr, giaddr, broadcast flag and yiaddr. A relayed
// request is answered through its relay even when the client names its own address.
TEST(DhcpRequest, ReplyDestination) {
    struct Case {
        const char* what;
        bool pdhcpThread;
        const char* ciaddr;
        const char* giaddr;
        bool broadcast;
        const char* yiaddr;
        uint16_t sourcePort;
        const char* wantAddress;
        uint16_t wantPort;
    };
    const Case cases[] = {
        {"renewing through a relay: the relay", false, "10.9.1.7", "10.9.0.1", false, "0.0.0.0", 67, "10.9.0.1", 67},
        {"renewing through a relay, broadcast flag: the relay", false, "10.9.1.7", "10.9.0.1", true, "0.0.0.0", 67,
         "10.9.0.1", 67},
        {"relayed DISCOVER: the relay", false, "0.0.0.0", "10.9.0.1", true, "0.0.0.0", 67, "10.9.0.1", 67},
        {"renewing on the link: the client", false, "10.0.0.7", "0.0.0.0", false, "0.0.0.0", 68, "10.0.0.7", 68},
        {"renewing on the link, broadcast flag: the client", false, "10.0.0.7", "0.0.0.0", true, "0.0.0.0", 68,
         "10.0.0.7", 68},
        {"broadcast flag", false, "0.0.0.0", "0.0.0.0", true, "10.0.0.9", 68, "255.255.255.255", 68},
        {"yiaddr of the request", false, "0.0.0.0", "0.0.0.0", false, "10.0.0.9", 68, "10.0.0.9", 68},
        {"nothing known: broadcast", false, "0.0.0.0", "0.0.0.0", false, "0.0.0.0", 68, "255.255.255.255", 68},
        {"port 4011, client with an address: its own port", true, "10.0.0.7", "0.0.0.0", false, "0.0.0.0", 4011,
         "10.0.0.7", 4011},
        {"port 4011, address and relay: the client's own port", true, "10.0.0.7", "10.9.0.1", false, "0.0.0.0", 4011,
         "10.0.0.7", 4011},
        {"port 4011, relayed without an address: the relay", true, "0.0.0.0", "10.9.0.1", false, "0.0.0.0", 68,
         "10.9.0.1", 67},
        {"port 4011, broadcast flag", true, "0.0.0.0", "0.0.0.0", true, "0.0.0.0", 68, "255.255.255.255", 68},
    };
    for (const Case& c : cases) {
        Packet p = MakeRequest(3, 1, {});
        const uint32_t ci = Ip(c.ciaddr), gi = Ip(c.giaddr), yi = Ip(c.yiaddr);
        std::memcpy(p.data() + kOffCiaddr, &ci, 4);
        std::memcpy(p.data() + kOffGiaddr, &gi, 4);
        std::memcpy(p.data() + kOffYiaddr, &yi, 4);
        p.buf[kOffFlags] = c.broadcast ? 0x80 : 0;
        const ReplyTarget t = ReplyDestination(p.data(), c.pdhcpThread, c.sourcePort);
        EXPECT_EQ(IpText(t.address), c.wantAddress) << c.what;
        EXPECT_EQ(t.port, c.wantPort) << c.what;
    }
}

// With nobody to read a line (no sink, no desktop, no log file) its arguments are not even built:
// an exchange at the default level turns no address or MAC into text.
TEST(DhcpLog, ArgumentsAreBuiltOnlyForALineThatIsRead) {
    int built = 0;
    auto text = [&built] {
        ++built;
        return std::string("10.0.0.9");
    };
    const LogSink previous = SetDhcpLogSink(nullptr);
    ASSERT_FALSE(DhcpLogEnabled(5));
    DhcpLog(5, "DHCP Inf: Address %s is being ACKED", text().c_str());
    EXPECT_EQ(built, 0);
    {
        nimbo::test::LogCapture log(LOG_DHCP);
        DhcpLog(5, "DHCP Inf: Address %s is being ACKED", text().c_str());
        EXPECT_EQ(built, 1);
        EXPECT_TRUE(Logged(log, "DHCP Inf: Address 10.0.0.9 is being ACKED"));
    }
    SetDhcpLogSink(previous);
}

}  // namespace
