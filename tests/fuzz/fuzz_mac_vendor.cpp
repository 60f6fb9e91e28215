// The MAC vendor file: lines parsed, a user file loaded and looked up.
#include <string>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/mac_vendor.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
void Quiet(int, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = [] {
        SetDhcpLogSink(Quiet);
        return true;
    }();
    (void)init;
    std::string text(reinterpret_cast<const char*>(data), size);
    uint8_t bytes[6];
    int length = 0;
    std::string name;
    parseMacVendorLine(text, bytes, &length, &name);
    std::string user = WriteInputFile("NimboDHCP_mac_evc.def", data, size);
    std::string empty = WriteInputFile("empty.evc", nullptr, 0);
    loadMacVendorNamesFrom(empty.c_str(), user, false);
    const uint8_t mac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
    char buf[64];
    formatMacWithVendor(mac, buf, sizeof buf);
    freeMacVendorTables();
    return 0;
}
