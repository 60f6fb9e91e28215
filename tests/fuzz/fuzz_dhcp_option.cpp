// The DHCP user-option parser and the settings validators: option text in, payload out.
#include <string>
#include <vector>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.c_str();  // the settings hold NUL-terminated texts
    std::string message;
    switch (data[0] % 8) {
        case 0: {
            uint8_t out[270];
            int n = parseDhcpOption(text.c_str(), out, sizeof out, &message);
            if (n > static_cast<int>(sizeof out)) __builtin_trap();
            break;
        }
        case 1: {
            ArchBootTable table{};
            IpxeKeyRows rows = 0;
            validateBootFileSetting(text.c_str(), &table, &message, &rows);
            break;
        }
        case 2: {
            ArchBootTable table{};
            IpxeKeyRows rows = 0;
            validateOption252Setting(text.c_str(), &table, &message, &rows);
            break;
        }
        case 3: {
            uint8_t out[270];
            static const int kinds[] = {0, 1, 3, 6};
            validateAddressSetting(kinds[(data[0] >> 3) % 4], text.c_str(), out, sizeof out, &message);
            break;
        }
        case 4: {
            uint8_t out[10];
            parseStaticLeaseEntry(text.c_str(), out, &message);
            break;
        }
        case 5: {
            uint64_t mac = 0, mask = 0;
            parseMacFilterEntry(text.c_str(), &mac, &mask, &message);
            break;
        }
        case 6: {
            ArchBootTable table{};
            IpxeKeyRows rows = 0;
            parseArchFileList(text.c_str(), &table, &rows);
            break;
        }
        default: {
            uint32_t a = 0;
            parseDottedAddress(text.c_str(), text.size(), &a);
            uint8_t out[270];
            encodeClasslessRoutes(121, text.c_str(), out, sizeof out);
            encodeHexOption(43, text.c_str(), out, sizeof out);
            encodeMtuPlateauList(25, text.c_str(), out, sizeof out);
            encodeOptionCodeList(55, text.c_str(), out, sizeof out);
            encodePrefixLengthMask(1, text.c_str(), out, sizeof out);
            encodeAddressList(6, text.c_str(), out, sizeof out);
            break;
        }
    }
    return 0;
}
