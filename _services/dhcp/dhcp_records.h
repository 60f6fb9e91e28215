// Wire and settings records of the DHCP and proxyDHCP server. The settings record crosses
// the console link whole (notice 105, request 208), the lease rows and the event record are
// console notices 103 and 114; every layout is pinned.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kArchRows = 48;        // rows of an ArchBootTable (option 93 values 0..47)
constexpr int kFilledArchRows = 14;  // rows 0..13 are the only ones the key syntax fills
constexpr int kUserOptions = 10;
constexpr int kStaticLeases = 10;
constexpr int kMacFilters = 10;

// clang-format off
#pragma pack(push, 1)
struct ArchBootRow {
    uint8_t  code;          // 0 boot file, else the option the row is sent as (67 or 252)
    uint8_t  length;        // text length (+1 for a boot file: the NUL counts)
    char     text[129];
    uint32_t sizeBlocks;    // boot program size in 512-byte blocks
    uint32_t declared;
    uint32_t fromDefault;
    uint32_t present;       // boot program exists under the TFTP root
};
struct ArchBootTable {
    ArchBootRow rows[kArchRows];
};

struct DhcpUserOption {
    char    text[570];      // "code|payload"
    uint8_t encoded[270];   // code, length, payload
};

struct DhcpStaticLease {
    char    text[50];       // MAC|IP
    uint8_t mac[6];
    uint32_t address;       // network order
};

struct DhcpMacFilter {
    char     text[50];      // MAC[|MASK]
    uint8_t  filler[6];
    uint64_t mac;           // six MAC bytes in bytes 2..7 (little-endian memory order)
    uint64_t mask;
};

struct DhcpSettings {
    char     DHCP_IP_Pool[16];
    uint32_t PoolStart;            // network order
    int32_t  DHCP_PoolSize;
    char     DHCP_IP_NextServer[16];
    uint32_t NextServer;           // 0xFFFFFFFF automatic, 0 none
    char     DHCP_IP_Mask[16];
    uint32_t SubnetMask;
    char     DHCP_DNS[270];
    uint8_t  DnsOption[270];
    char     DHCP_DefaultGateway[270];
    uint8_t  RouterOption[270];
    char     DHCP_BootFile[512];
    char     DHCP_DomainName[128];
    int32_t  DHCP_LeaseTime;       // minutes
    int32_t  Reserved1788;
    int32_t  DHCP_ProcStatLeases;
    int32_t  DHCP_ProcMacFilter;
    DhcpUserOption  UserOptions[kUserOptions];
    DhcpStaticLease StaticLeases[kStaticLeases];
    DhcpMacFilter   MacFilters[kMacFilters];
    ArchBootTable BootFileTable;
    ArchBootTable Option67Table;
    ArchBootTable Option252Table;
    uint8_t  MacFilterFromFile;
    char     BmModeText[5];
    int32_t  BmMode;
};

struct DhcpLease {
    uint32_t address;       // network order
    uint8_t  mac[16];
    int64_t  offerTime;     // seconds since 1970, 0 = none
    int64_t  startTime;     // 0 = not acknowledged
    int32_t  slot;          // index of the lease's INI keys
};

struct LeaseRow {
    char    address[16];
    char    mac[27];
    int64_t offerTime;
    int64_t startTime;
};

struct DhcpEventRecord {
    char clientAddress[16];
    char clientMac[27];
    char tftpServer[16];
    char bootFile[129];
};

// An ARP packet for Ethernet and IPv4 as it travels after the link header (RFC 826).
// Numbers and addresses are in network order.
struct ArpPacket {
    uint16_t htype;         // 1 Ethernet
    uint16_t ptype;         // 0x0800 IPv4
    uint8_t  hlen;          // 6
    uint8_t  plen;          // 4
    uint16_t oper;          // 1 request, 2 reply
    uint8_t  senderMac[6];
    uint32_t senderIp;
    uint8_t  targetMac[6];
    uint32_t targetIp;
};
#pragma pack(pop)
// clang-format on

static_assert(sizeof(ArchBootRow) == 147);
static_assert(offsetof(ArchBootRow, text) == 2);
static_assert(offsetof(ArchBootRow, sizeBlocks) == 131);
static_assert(offsetof(ArchBootRow, declared) == 135);
static_assert(offsetof(ArchBootRow, fromDefault) == 139);
static_assert(offsetof(ArchBootRow, present) == 143);
static_assert(sizeof(ArchBootTable) == 7056);
static_assert(sizeof(DhcpUserOption) == 840);
static_assert(offsetof(DhcpUserOption, encoded) == 570);
static_assert(sizeof(DhcpStaticLease) == 60);
static_assert(offsetof(DhcpStaticLease, mac) == 50);
static_assert(offsetof(DhcpStaticLease, address) == 56);
static_assert(sizeof(DhcpMacFilter) == 72);
static_assert(offsetof(DhcpMacFilter, mac) == 56);
static_assert(offsetof(DhcpMacFilter, mask) == 64);
static_assert(sizeof(DhcpSettings) == 32698);
static_assert(offsetof(DhcpSettings, PoolStart) == 16);
static_assert(offsetof(DhcpSettings, DHCP_PoolSize) == 20);
static_assert(offsetof(DhcpSettings, DHCP_IP_NextServer) == 24);
static_assert(offsetof(DhcpSettings, NextServer) == 40);
static_assert(offsetof(DhcpSettings, DHCP_IP_Mask) == 44);
static_assert(offsetof(DhcpSettings, SubnetMask) == 60);
static_assert(offsetof(DhcpSettings, DHCP_DNS) == 64);
static_assert(offsetof(DhcpSettings, DnsOption) == 334);
static_assert(offsetof(DhcpSettings, DHCP_DefaultGateway) == 604);
static_assert(offsetof(DhcpSettings, RouterOption) == 874);
static_assert(offsetof(DhcpSettings, DHCP_BootFile) == 1144);
static_assert(offsetof(DhcpSettings, DHCP_DomainName) == 1656);
static_assert(offsetof(DhcpSettings, DHCP_LeaseTime) == 1784);
static_assert(offsetof(DhcpSettings, Reserved1788) == 1788);
static_assert(offsetof(DhcpSettings, DHCP_ProcStatLeases) == 1792);
static_assert(offsetof(DhcpSettings, DHCP_ProcMacFilter) == 1796);
static_assert(offsetof(DhcpSettings, UserOptions) == 1800);
static_assert(offsetof(DhcpSettings, StaticLeases) == 10200);
static_assert(offsetof(DhcpSettings, MacFilters) == 10800);
static_assert(offsetof(DhcpSettings, BootFileTable) == 11520);
static_assert(offsetof(DhcpSettings, Option67Table) == 18576);
static_assert(offsetof(DhcpSettings, Option252Table) == 25632);
static_assert(offsetof(DhcpSettings, MacFilterFromFile) == 32688);
static_assert(offsetof(DhcpSettings, BmModeText) == 32689);
static_assert(offsetof(DhcpSettings, BmMode) == 32694);
static_assert(sizeof(DhcpLease) == 40);
static_assert(offsetof(DhcpLease, offerTime) == 20);
static_assert(offsetof(DhcpLease, startTime) == 28);
static_assert(offsetof(DhcpLease, slot) == 36);
static_assert(sizeof(LeaseRow) == 59);
static_assert(offsetof(LeaseRow, offerTime) == 43);
static_assert(sizeof(DhcpEventRecord) == 188);
static_assert(offsetof(DhcpEventRecord, tftpServer) == 43);
static_assert(offsetof(DhcpEventRecord, bootFile) == 59);
static_assert(sizeof(ArpPacket) == 28);
static_assert(offsetof(ArpPacket, oper) == 6);
static_assert(offsetof(ArpPacket, senderMac) == 8);
static_assert(offsetof(ArpPacket, senderIp) == 14);
static_assert(offsetof(ArpPacket, targetMac) == 18);
static_assert(offsetof(ArpPacket, targetIp) == 24);

// BOOTP/DHCP packet offsets.
enum : size_t {
    kOffOp = 0,
    kOffHtype = 1,
    kOffHlen = 2,
    kOffHops = 3,
    kOffXid = 4,
    kOffSecs = 8,
    kOffFlags = 10,
    kOffCiaddr = 12,
    kOffYiaddr = 16,
    kOffSiaddr = 20,
    kOffGiaddr = 24,
    kOffChaddr = 28,
    kOffSname = 44,
    kOffFile = 108,
    kOffCookie = 236,
    kOffOptions = 240,
};
constexpr size_t kMinDhcpPacket = 236;
constexpr size_t kDhcpBufferSize = 1758;
constexpr size_t kReplyMtuLimit = 1497;
