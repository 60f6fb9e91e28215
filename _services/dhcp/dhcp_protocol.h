// Numbers of the BOOTP/DHCP wire protocol (RFC 951, 2131, 2132, 4578) and of the PXE
// proxy port, by name. Packet offsets and sizes are in dhcp_records.h.
#pragma once
#include <cstdint>

// UDP ports.
constexpr uint16_t kBootpServerPort = 67;  // "bootps": requests to servers, relayed replies
constexpr uint16_t kBootpClientPort = 68;  // "bootpc": replies to clients
constexpr uint16_t kPxeProxyPort = 4011;   // "pdhcp": PXE requests after a proxy offer

// The op field.
enum BootpOp : uint8_t {
    kBootRequest = 1,
    kBootReply = 2,
};

// Bit of flags byte 10 (the high byte of the 16-bit flags): the client wants a broadcast reply.
constexpr uint8_t kBootpBroadcastFlag = 0x80;

// The magic cookie that opens the options.
constexpr uint8_t kDhcpMagicCookie[4] = {0x63, 0x82, 0x53, 0x63};

// Option 53 values; kDhcpBootp (0) stands for a BOOTP request without option 53.
enum DhcpMessageType : uint8_t {
    kDhcpBootp = 0,
    kDhcpDiscover = 1,
    kDhcpOffer = 2,
    kDhcpRequest = 3,
    kDhcpDecline = 4,
    kDhcpAck = 5,
    kDhcpNak = 6,
    kDhcpRelease = 7,
    kDhcpInform = 8,
};

// Option codes the server reads or writes itself (the user-option rules are in dhcp_option.cpp).
enum DhcpOptionCode : uint8_t {
    kOptPad = 0,
    kOptSubnetMask = 1,
    kOptRouter = 3,
    kOptDnsServer = 6,
    kOptLogServer = 7,
    kOptBootFileSize = 13,
    kOptDomainName = 15,
    kOptRequestedAddress = 50,
    kOptLeaseTime = 51,
    kOptMessageType = 53,
    kOptServerId = 54,
    kOptRenewalTime = 58,
    kOptRebindingTime = 59,
    kOptVendorClass = 60,
    kOptBootFileName = 67,
    kOptUserClass = 77,
    kOptClientArch = 93,
    kOptProxyAutodiscovery = 252,
    kOptEnd = 255,
};

// Option 93 value of a request without a usable option 93.
constexpr int kArchAbsent = 255;
// Option 93 values that have an iPXE row of their own in the per-architecture tables.
enum ClientArch : int {
    kArchX86Bios = 0,
    kArchX86Uefi = 6,
    kArchX64Uefi = 7,
    kArchEbc = 9,
};
