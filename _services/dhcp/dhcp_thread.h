// Internals shared by the DHCP service files.
#pragma once
#include <cstdint>
#include <vector>

#include "_services/dhcp/dhcp_accept.h"
#include "_services/dhcp/dhcp_leases.h"
#include "_services/dhcp/dhcp_records.h"
#include "libs/platform/interfaces.h"

void dhcpThread();
void pdhcpThread();
LeaseTable& DhcpLeaseTable();
void sendLeaseListToConsole();
// 1 when mac is a hardware address of this host, 0 when not, -1 when the list cannot be read.
int isMACLocal(const uint8_t mac[6]);
// Local address for a client: on the interface the request came in on when known (ifindex),
// else by the interface list; loopback is never chosen. 0 when none (strict) .
uint32_t findServerAddressForClient(uint32_t client, bool strict, int ifindex = 0);
// The same choice among the given interface addresses.
uint32_t pickServerAddress(const std::vector<InterfaceAddress>& all, uint32_t client, bool strict, int ifindex);
