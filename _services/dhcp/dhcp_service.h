// The DHCP and proxyDHCP service: registers the thread functions of rows DHCP and PDHCP
// and the console hooks of requests 206, 208 and 213.
#pragma once

void RegisterDhcpService();
