// Syslog datagrams: the acceptance rule and the file line of what is accepted.
#include <ctime>
#include <vector>

#include "_services/udp/syslog_collector.h"
#include "_services/udp/udp_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kSyslogMessageMax) return 0;
    std::vector<char> buffer(kSyslogMessageMax + 1, 0);
    std::copy(data, data + size, buffer.begin());
    if (SyslogValidate(buffer.data(), size)) {
        struct tm local {};
        local.tm_year = 126;
        local.tm_mday = 9;
        std::string line = SyslogFileLine(local, buffer.data(), size);
        if (line.size() > kSyslogLineMax || line.size() < 2 || line.substr(line.size() - 2) != "\r\n") __builtin_trap();
    }
    return 0;
}
