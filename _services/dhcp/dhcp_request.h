// DHCP and proxyDHCP request handling and reply building. Replies are built in place over
// the request in a buffer of kDhcpBufferSize bytes whose bytes beyond the datagram are 0.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "_services/dhcp/dhcp_leases.h"
#include "_services/dhcp/dhcp_protocol.h"
#include "_services/dhcp/dhcp_records.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/host_records.h"  // SVC_* bits of servicesMask

// Everything a request handler reads or calls besides the packet.
struct DhcpEnv {
    const DhcpConfig* cfg = nullptr;
    uint32_t servicesMask = 0;
    bool pingAddress = false;
    uint32_t dhcpLocalIp = 0;  // network order, 0 when not set
    uint32_t tftpLocalIp = 0;
    uint32_t syslogLocalIp = 0;  // 0 when SYS_LOGLocalIP is no address
    std::string hostName;        // empty when it cannot be read
    LeaseTable* leases = nullptr;
    int64_t now = 0;  // seconds since 1970
    // Probe of a pool address before an offer: 1 in use, 0 free, -1 the probe could not run.
    std::function<int(uint32_t address)> probe;
    // Asks who holds a declined address, off the request path: the answer, when a device
    // gives one, comes back through recordDeclinedAddress.
    std::function<void(uint32_t address)> checkDeclined;
    // Local interface address for a client address (0 when none).
    std::function<uint32_t(uint32_t client, bool strict)> serverAddressForClient;
    // Notice 114.
    std::function<void(const DhcpEventRecord&)> sendEvent;
};

// Payload of an option (nullptr when absent); the walk stays inside the fixed buffer.
const uint8_t* findDhcpOption(const uint8_t* cookie, uint8_t code, int* length);
int startsWith(const char* text, const char* prefix);

// What a request says about its client.
struct RequestInfo {
    int type = 0;  // option 53, 0 for BOOTP
    bool hasType = false;
    char classId[50] = {};
    int arch = kArchAbsent;  // option 93, kArchAbsent when absent or malformed
    bool ipxe = false;       // option 77 "iPXE" or "gPXE"
    int macLength = 0;       // hlen clamped to 16
};
RequestInfo ReadRequest(const uint8_t* packet);
// A request the handlers drop as malformed: a hardware address longer than chaddr (hlen
// above 16), or options after the magic cookie that run to the end of the buffer without
// END (the bytes beyond the datagram are 0, so such options ran off the datagram).
bool RequestMalformed(const uint8_t* packet);
// An option-93 architecture the per-architecture tables have no row for (48 or more; 255
// stands for an absent or malformed option 93 and is served from row 0). Such a client's
// boot program cannot be named, so its requests are not answered.
bool ArchOutsideTables(int arch);
// Row of a per-architecture table for a client; an empty row for architectures beyond it.
const ArchBootRow& SelectArchRow(const ArchBootTable& table, IpxeKeyRows ipxeRows, int arch, bool ipxe);
const char* ClientArchName(int arch, char buf[8]);
const char* DhcpMessageTypeName(int type);

int processDhcpRequest(DhcpEnv& env, int port, uint8_t* packet, size_t* outLength);
int processPdhcpRequest(DhcpEnv& env, int port, uint8_t* packet, size_t* outLength);
// The builders write the whole reply, the server identifier (option 54) and siaddr
// included: the identifier is DHCP_LocalIP, else serverAddressForClient of the reply's
// yiaddr (ciaddr of the request for the proxy ACK); siaddr follows ChooseSiaddr.
size_t buildDhcpReply(DhcpEnv& env, uint8_t* packet, int type, const RequestInfo& req);
size_t buildPdhcpOffer(DhcpEnv& env, uint8_t* packet, int type);
size_t buildPdhcpAck(DhcpEnv& env, uint8_t* packet, int type, const RequestInfo& req);

// siaddr for a reply: NextServer, else (TFTP on) TFTP_LocalIP or the server identifier;
// *undefined when none of them gives an address.
uint32_t ChooseSiaddr(const DhcpEnv& env, uint32_t serverId, bool* undefined);
// Where the reply to a request goes (from the request as received), in this order: on the
// PDHCP thread a client with an address (ciaddr) at its own source port; a relayed request
// (giaddr) to its relay at port 67; a client with an address at port 68; the broadcast flag
// to 255.255.255.255:68; else yiaddr:68, or the broadcast address when yiaddr is 0.
struct ReplyTarget {
    uint32_t address;  // network order
    uint16_t port;     // host order
};
ReplyTarget ReplyDestination(const uint8_t* request, bool pdhcpThread, uint16_t sourcePort);

// A declined address found held by the device owner (by ARP): a permanent lease for it.
void recordDeclinedAddress(DhcpEnv& env, uint32_t address, const uint8_t owner[6]);

// Address allocation (callers hold the lease mutex).
uint32_t findStaticLease(const DhcpSettings& s, const uint8_t* packet);
DhcpLease* chooseLeaseAddress(DhcpEnv& env, uint32_t* address, const uint8_t* mac, int macLength);
DhcpLease* allocateAddress(DhcpEnv& env, int type, uint32_t* address, const uint8_t* mac, int macLength);
