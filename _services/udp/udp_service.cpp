#include "_services/udp/udp_service.h"

#include "_services/start_threads.h"
#include "_services/udp/dns_forwarder.h"
#include "_services/udp/sntp_server.h"
#include "_services/udp/syslog_collector.h"

void RegisterUdpServices() {
    RegisterThreadFunction(TH_DNS, dnsThread);
    RegisterThreadFunction(TH_SNTP, SntpThread);
    RegisterThreadFunction(TH_SYSLOG, SyslogThread);
}
