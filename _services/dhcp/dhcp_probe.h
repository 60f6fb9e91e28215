// Address probes before an offer: ICMP echo with the program's own echo format, and the
// owner of an address by ARP.
#pragma once
#include <cstddef>
#include <cstdint>

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
// Probe before an offer: 1 the address answers (in use), 0 three echoes timed out,
// -1 the probe cannot run here (logged once).
int ProbeAddressInUse(uint32_t address);
// MAC of the device holding address, by ARP on the interface whose subnet holds it.
bool ArpOwner(uint32_t address, uint8_t mac[6]);
