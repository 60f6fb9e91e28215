// DHCP and proxyDHCP request handling, from request bytes to reply bytes, with settings that
// turn on every user-option kind, static leases, the MAC filter, proxy mode and BINL.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_request.h"
#include "_services/dhcp/dhcp_settings.h"

namespace {
void Quiet(int, const char*) {}

uint32_t Ip(const char* t) {
    in_addr a;
    inet_pton(AF_INET, t, &a);
    return a.s_addr;
}

struct Server {
    DhcpConfig cfg;
    LeaseTable leases;
    DhcpEnv env;

    Server() {
        SetDhcpLogSink(Quiet);
        DhcpSettings& s = cfg.rec;
        snprintf(s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool, "10.0.0.10");
        s.PoolStart = Ip("10.0.0.10");
        s.DHCP_PoolSize = 8;
        s.SubnetMask = Ip("255.255.255.0");
        s.NextServer = 0xFFFFFFFFu;
        s.DHCP_LeaseTime = 60;
        snprintf(s.DHCP_DomainName, sizeof s.DHCP_DomainName, "example.lan");
        validateAddressSetting(3, "10.0.0.1", s.RouterOption, sizeof s.RouterOption, nullptr);
        validateAddressSetting(6, "10.0.0.2,10.0.0.3", s.DnsOption, sizeof s.DnsOption, nullptr);
        snprintf(s.DHCP_BootFile, sizeof s.DHCP_BootFile, "%s",
                 "\\a.0|6?\\e32.efi|7?\\x64.efi|9?\\x64b.efi|a?\\arm.efi|b?\\arm64.efi|0i?\\ipxe.0|7i?\\ipxe64.efi");
        validateBootFileSetting(s.DHCP_BootFile, &s.BootFileTable, nullptr, &cfg.bootFileIpxe);
        for (auto& row : s.BootFileTable.rows) row.present = 1;
        static const char* const options[] = {"66|10.0.0.1",
                                              "42|10.0.0.5,10.0.0.6",
                                              "121|10.1.0.0/16,10.0.0.1",
                                              "43|0x01,0x04,0xC0,0xA8,0x00,0x01",
                                              "55|1,3,6",
                                              "26|1500",
                                              "252|\\Boot\\BCD",
                                              "15|text.example",
                                              "44|10.0.0.7",
                                              "67|\\opt.0"};
        int i = 0;
        for (const char* o : options) {
            DhcpUserOption& u = s.UserOptions[i++];
            snprintf(u.text, sizeof u.text, "%s", o);
            parseDhcpOption(u.text, u.encoded, sizeof u.encoded, nullptr);
        }
        snprintf(s.StaticLeases[0].text, sizeof s.StaticLeases[0].text, "52:54:00:12:34:99|10.0.0.50");
        uint8_t lease[10];
        if (parseStaticLeaseEntry(s.StaticLeases[0].text, lease, nullptr)) {
            memcpy(s.StaticLeases[0].mac, lease, 6);
            memcpy(&s.StaticLeases[0].address, lease + 6, 4);
        }
        snprintf(s.MacFilters[0].text, sizeof s.MacFilters[0].text, "52:54:00:00:00:00|ff:ff:ff:00:00:00");
        parseMacFilterEntry(s.MacFilters[0].text, &s.MacFilters[0].mac, &s.MacFilters[0].mask, nullptr);
        s.DHCP_ProcMacFilter = 1;
        s.DHCP_ProcStatLeases = 1;
        s.BmMode = 3;
        snprintf(s.BmModeText, sizeof s.BmModeText, "3");
        leases.Configure(s.PoolStart, s.DHCP_PoolSize, 60, false, nullptr);
        env.cfg = &cfg;
        env.hostName = "bootsrv";
        env.leases = &leases;
        env.now = 1700000000;
        env.probe = [](uint32_t) { return 0; };
        env.checkDeclined = [](uint32_t) {};
        env.serverAddressForClient = [](uint32_t, bool) { return Ip("10.0.0.1"); };
        env.sendEvent = [](const DhcpEventRecord&) {};
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server server;
    if (size < 1) return 0;
    // The first byte picks the services (plain, proxy, BINL) and the port; the rest is the datagram.
    uint8_t mode = data[0];
    ++data;
    --size;
    std::vector<uint8_t> packet(kDhcpBufferSize, 0);
    memcpy(packet.data(), data, size < packet.size() ? size : packet.size());
    server.env.servicesMask = SVC_DHCP | SVC_TFTP_SERVER | ((mode & 1) ? SVC_PDHCP : 0) | ((mode & 2) ? SVC_BINL : 0);
    server.env.now += 7;
    size_t outLength = 0;
    int port = (mode & 4) ? 4011 : 67;
    if (mode & 1)
        processPdhcpRequest(server.env, port, packet.data(), &outLength);
    else
        processDhcpRequest(server.env, port, packet.data(), &outLength);
    if (outLength > kDhcpBufferSize) __builtin_trap();
    return 0;
}
