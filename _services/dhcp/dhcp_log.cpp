#include "_services/dhcp/dhcp_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdarg>

void DhcpLogLine(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(LOG_DHCP, level, format, ap);
    va_end(ap);
}

int DhcpThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}
