// Network-card queries on the proxyDHCP port, and the answers built from what they carry.
#include "_services/binl/binl_ncq.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NcqQuery query;
    if (ParseBinlMessage(data, size, &query) == BINL_QUERY) {
        std::vector<uint8_t> ok = BuildNcrOk(query.vendor, query.device, query.oriSrc, query.oriSrc);
        if (ok.size() > 65536) __builtin_trap();
    }
    return 0;
}
