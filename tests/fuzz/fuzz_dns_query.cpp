// DNS queries: question decoding and the whole request path with a resolver of our own.
#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <vector>

#include "_services/udp/dns_forwarder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kDnsDatagramMax) return 0;
    static DnsEnvironment env = [] {
        DnsEnvironment e;
        InterfaceAddress a;
        a.name = "eth0";
        a.up = true;
        inet_pton(AF_INET, "10.0.0.1", &a.addr);
        inet_pton(AF_INET, "255.255.255.0", &a.mask);
        auto list = std::make_shared<const std::vector<InterfaceAddress>>(std::vector<InterfaceAddress>{a});
        e.interfaces = [list] { return list; };
        e.resolve = [](const std::string& name) {
            return name.size() % 3 ? std::vector<uint32_t>{htonl(0x0A000001), htonl(0x0B000001)}
                                   : std::vector<uint32_t>{};
        };
        e.notify = [](const DnsEntryRecord&) {};
        return e;
    }();
    std::vector<uint8_t> request(data, data + size);
    uint8_t reply[kDnsReplyMax];
    size_t replyLength = 0;
    uint32_t client = htonl(0x0A000005);
    if (processDnsRequest(request.data(), request.size(), reply, &replyLength, client, env) &&
        replyLength > sizeof reply)
        __builtin_trap();
    DnsQuestion q;
    if (size > 12) decodeDnsQuestion(&q, request.data() + 12, size - 12);
    EscapeDnsName(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
