#include "_services/tftp_menu_tokens.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>

namespace {

constexpr size_t kTokenLength = 9;  // every token is "$IP_" + four letters + "$"

std::string Dotted(uint32_t networkOrder) {
    in_addr a{};
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "0.0.0.0";
}

}  // namespace

bool TftpIsMenuFile(const std::string& relative) {
    static const char kFolder[] = "pxenimbo.cfg";
    const size_t n = sizeof kFolder - 1;
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find_first_of("/\\", start);
        if (end == std::string::npos) return false;  // the last component is the file
        if (end - start == n && strncasecmp(relative.c_str() + start, kFolder, n) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string FillMenuAddressTokens(const std::string& text, const MenuTokenAddresses& a) {
    const struct {
        const char* token;
        uint32_t address;
    } tokens[] = {{"$IP_CLNT$", a.client}, {"$IP_BSRV$", a.server}, {"$IP_GWAY$", a.gateway}, {"$IP_MASK$", a.mask}};
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        size_t dollar = text.find('$', at);
        if (dollar == std::string::npos) break;
        out.append(text, at, dollar - at);
        at = dollar;
        bool replaced = false;
        if (text.size() - dollar >= kTokenLength) {
            for (const auto& t : tokens) {
                if (strncasecmp(text.c_str() + dollar, t.token, kTokenLength) == 0) {
                    out += Dotted(t.address);
                    at += kTokenLength;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[at++];
    }
    out.append(text, at, std::string::npos);
    return out;
}

uint32_t FirstOptionAddress(const uint8_t* option, size_t size) {
    if (size < 6 || option[1] < 4 || size_t(option[1]) + 2 > size) return 0;
    uint32_t a;
    std::memcpy(&a, option + 2, 4);
    return a;
}
