// The small datagram services: DNS forwarder, SNTP server and SYSLOG collector.
#pragma once

// Registers the thread functions of rows DNS, SNTP and SYSLOG.
void RegisterUdpServices();
