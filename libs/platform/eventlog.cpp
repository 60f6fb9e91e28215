#include "libs/platform/eventlog.h"

#include <syslog.h>

#include <mutex>
#include <string>

bool ReportSystemEvent(const char* source, const char* text) {
    static std::once_flag once;
    static std::string ident;
    std::call_once(once, [&] {
        ident = source;
        openlog(ident.c_str(), LOG_PID, LOG_USER);
    });
    syslog(LOG_ERR, "%s", text);
    return true;
}
