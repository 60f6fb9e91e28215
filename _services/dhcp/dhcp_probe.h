// Address probes before an offer: ICMP echo with the program's own echo format, and the
// owner of an address by ARP.
#pragma once
#include <cstddef>
#include <cstdint>

#include "_services/dhcp/dhcp_records.h"

constexpr int kPingTimeExceeded = -994;
constexpr int kPingUnreachable = -995;
constexpr int kPingTimeout = -997;
constexpr int kPingAccessDenied = -998;
constexpr int kPingSocketError = -999;
constexpr int kPingWaitError = -1000;
constexpr uint16_t kPingIdentifier = 216;

uint16_t ipChecksum(const uint8_t* bytes, size_t length);
// The 45-byte echo request: type 8, identifier 216 and sequence (little-endian), a zero
// byte, the tick count and the bytes 0x20..0x3F.
void BuildEchoRequest(uint8_t out[45], uint16_t sequence, uint32_t tick);
// What a received ICMP datagram means for the probe of target with this sequence:
// 1 our echo reply, kPingUnreachable / kPingTimeExceeded for an error about our request,
// 0 anything else (another host, another identifier or sequence, other types).
// withIpHeader: the datagram starts with the IP header (raw socket); source is the sender.
int ClassifyIcmpReply(const uint8_t* data, size_t length, bool withIpHeader, uint32_t source, uint32_t target,
                      uint16_t sequence);

// One echo: round-trip milliseconds (at least 1) or one of the negative results above.
int ping(uint32_t address, int timeoutMs);
// Probe before an offer: an ARP who-has (its answer is not used), then up to three echoes
// of 500 ms; 1 the address answers (in use), 0 three echoes timed out, -1 the probe cannot
// run here (logged once).
int ProbeAddressInUse(uint32_t address);

// The ARP who-has for target, sent from senderMac / senderIp (network order).
void BuildArpRequest(ArpPacket* out, const uint8_t senderMac[6], uint32_t senderIp, uint32_t target);
// True when data is an Ethernet/IPv4 ARP reply from the holder of target; its MAC in mac.
bool ParseArpReply(const uint8_t* data, size_t length, uint32_t target, uint8_t mac[6]);
// A netlink request for the kernel's IPv4 neighbour table (RTM_GETNEIGH dump); its length,
// 0 when size is too small.
size_t BuildNeighbourDumpRequest(uint8_t* out, size_t size, uint32_t sequence);
// One part of the neighbour dump: 1 target is there with a confirmed link address (mac set),
// 0 not in this part, -1 the dump ended or is malformed.
int ParseNeighbourDump(const uint8_t* data, size_t length, uint32_t target, uint8_t mac[6]);

// MAC of the device holding address: an ARP who-has on an AF_PACKET socket on the interface
// whose subnet holds the address, about 1 s; without the right to open it, NeighbourOwner.
bool ArpOwner(uint32_t address, uint8_t mac[6]);
// Without privilege: a UDP datagram makes the kernel resolve the address, then its
// neighbour table is read for about 1 s.
bool NeighbourOwner(uint32_t address, uint8_t mac[6]);
