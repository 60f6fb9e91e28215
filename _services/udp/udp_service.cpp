#include "udp_service.h"

#include "dns_forwarder.h"
#include "sntp_server.h"
#include "start_threads.h"
#include "syslog_collector.h"

void RegisterUdpServices() {
    RegisterThreadFunction(TH_DNS, dnsThread);
    RegisterThreadFunction(TH_SNTP, SntpThread);
    RegisterThreadFunction(TH_SYSLOG, SyslogThread);
}
