// The checks a datagram passes before a request handler sees it: on port 67 (the DHCP
// thread) and on port 4011 (the PDHCP thread). Pure over the receive buffer: what the checks
// need of the host and the service comes in DhcpAcceptInput.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "_services/dhcp/dhcp_protocol.h"
#include "_services/dhcp/dhcp_records.h"

// Why a datagram is dropped; kNone when it goes on to the request handler.
enum class DhcpDrop : uint8_t {
    kNone,
    kProxyOff,         // port 4011 while proxy mode is off
    kWakeUp,           // the service's own wake-up datagram
    kTruncated,        // shorter than a BOOTP message
    kBinlPreparing,    // port 67 while the BINL preparation holds requests
    kNoAddresses,      // plain DHCP without a pool, and the client has no static lease
    kOtherServer,      // sname names another host
    kNotRequest,       // op is not BOOTREQUEST
    kOwnMac,           // chaddr is a hardware address of this host (port 67)
    kRejectList,       // MAC filter mode 1: the client matches an entry
    kNotInAcceptList,  // MAC filter mode 2: the client matches none
};

struct DhcpAcceptInput {
    uint16_t port = kBootpServerPort;        // the port the datagram came to: 67 or 4011
    bool proxyMode = false;                  // the proxyDHCP service bit
    bool binlPreparing = false;              // BinlPreparationCount raised
    int leaseCapacity = 0;                   // addresses of the lease table (pool size)
    const DhcpSettings* settings = nullptr;  // static leases and MAC filters (port 67)
    // Asked only when a request gets that far: the short host name sname is compared with,
    // and whether a MAC is one of this host's (1 yes, 0 no, -1 unknown).
    std::string (*hostName)() = nullptr;
    int (*isLocalMac)(const uint8_t mac[6]) = nullptr;
};

// Decides whether a received datagram goes on to the request handler and logs the drops
// as the service does. packet is the receive buffer (kDhcpBufferSize bytes, zero beyond the
// datagram of length bytes); once the header is there its sname and file fields are
// NUL-terminated at their last byte.
DhcpDrop AcceptDhcpRequest(const DhcpAcceptInput& in, uint8_t* packet, size_t length);

// 1 when an entry in use of the MAC filter list matches mac.
int matchMacFilter(const DhcpSettings& s, const uint8_t mac[6]);
