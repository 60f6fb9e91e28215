// DHCP settings: list and address parsers, validators, the loader and the live copy.
#include "_services/dhcp/dhcp_settings.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_protocol.h"
#include "_services/dhcp/dhcp_regex.h"
#include "libs/platform/str_format.h"

namespace {

#define ARCH_KEY "(\\d|0i|6i|7i|9i|a|b)"
#define PATH_CHARS "[^,<>;\"\\\\/\\|\\*\\? ]"
#define PATH_CHARS_252 "[^,<>:;\"\\\\/\\|\\*\\? ]"
#define ARCH_LIST(C) \
    "(" ARCH_KEY "\\?){0,1}[\\\\/]{0,1}" C "+([\\\\/]" C "+)*(\\|" ARCH_KEY "\\?[\\\\/]{0,1}" C "+([\\\\/]" C "+)*)*$"

const char* const kBootFilePattern = "^" ARCH_LIST(PATH_CHARS);
const char* const kOption252Pattern = "^252\\|" ARCH_LIST(PATH_CHARS_252);
#define DOTTED "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}"
const char* const kDottedPattern = "^" DOTTED;
const char* const kDottedListPattern = "^" DOTTED "(," DOTTED ")*";
const char* const kMacText = "([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}";

const char* const kMsgBootFormat =
    "Error: Boot File wrong format:\n<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>\n"
    "If arch_0 is not present Bootfile_0 is considered default. i.e.:\nBootfile\n0?Bootfile\n"
    "pxenimbo.0|6:\\EFI\\x86\\bootmgfw.efi|9:\\EFI\\x64\\bootmgfw.efi|a:\\EFI\\ARM\\bootmgfw.efi|"
    "b:\\EFI\\ARM64\\bootmgfw.efi\nSee RFC 4578 for Client System Architecture Type definitions\n"
    "Bootfile_X length < 128\nTotal length < 512";
const char* const kMsgBootCollision =
    "Error: Boot File parameter collision.\nSame architecture was declared more than once\n"
    "<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>";
const char* const kMsgBootLength =
    "67-Format Error\nPlease verify Bootfile_X length < 128\n"
    "<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>";
const char* const kMsgBootInconsistent = "Error: Boot File and DHCP Option 67 inconsistency\nParsed settings differ";
const char* const kMsg252Format =
    "Error: BINL Option 252 Overwrite format:\n252|<arch_0?>BCD_0<|arch_1?BCD_1>...<|arch_b?BCD_b>\n"
    "If arch_0 is not present BCD_0 is considered default. i.e.:\nBCD\n0?BCD\n"
    "6?\\EFI\\BCD|7?\\EFI\\BCD|9?\\EFI\\BCD\nSee RFC 4578 for Client System Architecture Type "
    "definitions\nBCD_X length < 128\nTotal length < 255";
const char* const kMsg252Collision =
    "Error: BINL Option 252 Overwrite collision.\nSame architecture was declared more than once\n"
    "252|<arch_0?>BCD_0<|arch_1?BCD_1>...<|arch_b?BCD_b>";
const char* const kMsg252Length =
    "Error: BINL Option 252 Overwrite format:\nPlease verify BCD_X length < 128\n"
    "252|<arch_0?>BCD_0<|arch_1?BCD_1>...<|arch_b?BCD_b>";

void SetMessage(std::string* message, const char* text) {
    if (message) *message = text;
}

bool TableIsEmpty(const ArchBootTable& t) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&t);
    for (size_t i = 0; i < sizeof t; ++i)
        if (p[i]) return false;
    return true;
}

// Row of a key ("0".."9", "a", "b", "0i", "6i", "7i", "9i"); -1 when it is none.
int KeyRow(const std::string& key, bool* ipxe) {
    *ipxe = false;
    if (key.size() == 1) {
        if (key[0] >= '0' && key[0] <= '9') return key[0] - '0';
        if (key[0] == 'a') return 10;
        if (key[0] == 'b') return 11;
        return -1;
    }
    if (key.size() == 2 && key[1] == 'i') {
        *ipxe = true;
        switch (key[0]) {
            case '0': return 10;
            case '6': return 11;
            case '7': return 12;
            case '9': return 13;
        }
    }
    return -1;
}

// Two tables hold the same list when every row names the same text the same way; the
// code and the length differ between a boot-file table and an option-67 table.
bool SameLists(const ArchBootTable& a, const ArchBootTable& b) {
    for (int r = 0; r < kArchRows; ++r) {
        const ArchBootRow& x = a.rows[r];
        const ArchBootRow& y = b.rows[r];
        if (x.declared != y.declared || x.fromDefault != y.fromDefault) return false;
        if (std::strncmp(x.text, y.text, sizeof x.text) != 0) return false;
    }
    return true;
}

}  // namespace

bool parseDottedAddress(const char* text, size_t length, uint32_t* out) {
    uint32_t value = 0;
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= length || text[i] != '.') return false;
            ++i;
        }
        size_t digits = 0;
        unsigned octet = 0;
        while (i < length && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            octet = octet * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || octet > 255) return false;
        value = (value << 8) | octet;
    }
    if (i != length) return false;
    *out = htonl(value);
    return true;
}

uint64_t macFilterWord(const uint8_t mac[6]) {
    uint64_t w = 0;
    for (int i = 0; i < 6; ++i) w |= static_cast<uint64_t>(mac[i]) << (8 * (i + 2));
    return w;
}

std::string BootFilePath(const std::string& root, const char* entry) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    const bool joined = root.empty() || separator(root.back()) || separator(entry[0]);
    return root + (joined ? "" : "/") + entry;
}

uint32_t SizeInBlocks(uint64_t bytes) {
    uint64_t blocks = (bytes + 511) / 512;
    return blocks > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(blocks);
}

int parseArchFileList(const char* text, ArchBootTable* table, IpxeKeyRows* ipxeRows) {
    size_t len = std::strlen(text);
    if (len > 1023) return 1;
    std::string work(text, len);
    uint8_t code = 0;
    if (work.rfind("67|", 0) == 0) {
        code = kOptBootFileName;
        work.erase(0, 3);
    } else if (work.rfind("252|", 0) == 0) {
        code = kOptProxyAutodiscovery;
        work.erase(0, 4);
    }
    ArchBootRow templ{};
    auto result = std::make_unique<ArchBootTable>();
    *result = ArchBootTable{};
    IpxeKeyRows ipxe = 0;

    auto fill = [&](ArchBootRow& row, const std::string& path) -> bool {
        size_t stored = path.size() + (code == 0 ? 1 : 0);
        if (stored >= 128) return false;
        row.code = code;
        row.length = static_cast<uint8_t>(stored);
        std::memset(row.text, 0, sizeof row.text);
        std::memcpy(row.text, path.data(), path.size());
        row.declared = 1;
        return true;
    };

    if (!work.empty()) {
        size_t pos = 0;
        bool first = true;
        while (true) {
            size_t bar = work.find('|', pos);
            std::string entry = work.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
            size_t q = std::string::npos;
            if (entry.size() > 1 && entry[1] == '?')
                q = 1;
            else if (entry.size() > 2 && entry[2] == '?')
                q = 2;
            if (q != std::string::npos) {
                bool isIpxe = false;
                int row = KeyRow(entry.substr(0, q), &isIpxe);
                if (row < 0) return 2;
                if (result->rows[row].declared) return 1;
                if (!fill(result->rows[row], entry.substr(q + 1))) return 2;
                if (isIpxe) ipxe |= static_cast<IpxeKeyRows>(1u << row);
            } else if (first) {
                if (!fill(templ, entry)) return 2;
                templ.fromDefault = 1;
            } else {
                return 2;
            }
            first = false;
            if (bar == std::string::npos) break;
            pos = bar + 1;
        }
    }
    for (int r = 0; r < kFilledArchRows; ++r)
        if (!result->rows[r].declared) result->rows[r] = templ;

    if (ipxeRows) *ipxeRows = ipxe;
    if (TableIsEmpty(*table)) {
        *table = *result;
        return 0;
    }
    return SameLists(*table, *result) ? 0 : 3;
}

int validateBootFileSetting(const char* text, ArchBootTable* table, std::string* message, IpxeKeyRows* ipxeRows) {
    if (!DhcpMatchWhole(text, kBootFilePattern)) {
        SetMessage(message, kMsgBootFormat);
        return 0;
    }
    switch (parseArchFileList(text, table, ipxeRows)) {
        case 0: return 1;
        case 1: SetMessage(message, kMsgBootCollision); return 0;
        case 2: SetMessage(message, kMsgBootLength); return 0;
        default: SetMessage(message, kMsgBootInconsistent); return 0;
    }
}

int validateOption252Setting(const char* text, ArchBootTable* table, std::string* message, IpxeKeyRows* ipxeRows) {
    *table = ArchBootTable{};
    if (!DhcpMatchWhole(text, kOption252Pattern)) {
        SetMessage(message, kMsg252Format);
        return 0;
    }
    switch (parseArchFileList(text, table, ipxeRows)) {
        case 0: return 1;
        case 1: SetMessage(message, kMsg252Collision); return 0;
        default: SetMessage(message, kMsg252Length); return 0;
    }
}

int encodeAddressList(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    if (outSize < 6) return 0;
    const char* p = std::strchr(text, '|');
    p = p ? p + 1 : text;
    size_t count = 0;
    while (true) {
        const char* comma = std::strchr(p, ',');
        size_t n = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
        uint32_t a;
        if (!parseDottedAddress(p, n, &a)) return 0;
        if (a == 0 || a == 0xFFFFFFFFu) return 0;
        size_t payload = 4 * (count + 1);
        if (payload > 255 || payload > outSize - 2) return 0;
        std::memcpy(out + 2 + 4 * count, &a, 4);
        ++count;
        if (!comma) break;
        p = comma + 1;
    }
    out[0] = code;
    out[1] = static_cast<uint8_t>(4 * count);
    return 1;
}

int isContiguousNetmask(uint32_t maskNetworkOrder) {
    uint32_t m = ntohl(maskNetworkOrder);
    if (!(m & 0x80000000u)) return 0;
    uint32_t inv = ~m;
    return (inv & (inv + 1)) == 0 ? 1 : 0;  // ones then zeros only
}

PoolFit checkPoolInSubnet(uint32_t start, int32_t size, uint32_t mask, std::string* message) {
    if (size <= 0 || start == 0 || !isContiguousNetmask(mask)) return POOL_FITS;
    const uint32_t m = ntohl(mask);
    const uint32_t network = ntohl(start) & m;
    const uint32_t broadcast = network | ~m;
    const bool pair = ~m == 1;  // a /31: two hosts, no subnet or broadcast address
    const uint64_t firstHost = pair ? network : uint64_t(network) + 1;
    const uint64_t lastHost = pair ? broadcast : uint64_t(broadcast) - 1;
    int prefix = 0;
    for (uint32_t bits = m; bits != 0; bits <<= 1) ++prefix;
    char subnet[INET_ADDRSTRLEN] = {}, first[INET_ADDRSTRLEN] = {};
    const in_addr subnetAddress{htonl(network)}, firstAddress{start};
    inet_ntop(AF_INET, &subnetAddress, subnet, sizeof subnet);
    inet_ntop(AF_INET, &firstAddress, first, sizeof first);
    const uint64_t from = ntohl(start);
    if (from < firstHost || from > lastHost) {
        if (message)
            *message = StrFormat("Error: \nDHCP Pool starts at %s, which is not\na host address of its subnet %s/%d",
                                 first, subnet, prefix);
        return POOL_START_NOT_HOST;
    }
    const uint64_t room = lastHost - from + 1;
    if (uint64_t(size) > room) {
        if (message)
            *message = StrFormat("Error: \nDHCP Pool runs past its subnet %s/%d:\nfrom %s at most %llu addresses fit",
                                 subnet, prefix, first, static_cast<unsigned long long>(room));
        return POOL_PAST_SUBNET;
    }
    return POOL_FITS;
}

int encodePrefixLengthMask(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    if (outSize < 6) return 0;
    const char* slash = std::strchr(text, '/');
    if (!slash) return 0;
    const char* p = slash + 1;
    if (*p < '0' || *p > '9') return 0;
    long n = std::strtol(p, nullptr, 10);
    if (n < 1 || n > 31) return 0;
    uint32_t mask = htonl(0xFFFFFFFFu << (32 - n));
    out[0] = code;
    out[1] = 4;
    std::memcpy(out + 2, &mask, 4);
    return 1;
}

int validateAddressSetting(int kind, const char* text, uint8_t* out, size_t outSize, std::string* message) {
    uint8_t enc[270];
    switch (kind) {
        case kOptSubnetMask:
            if (DhcpMatchWhole(text, kDottedPattern)) {
                if (!encodeAddressList(kOptSubnetMask, text, enc, 6)) {
                    SetMessage(message, "1-Format Error\nSubnet Mask option is invalid\nSee example:\n255.255.255.0");
                    return 0;
                }
                uint32_t m;
                std::memcpy(&m, enc + 2, 4);
                if (!isContiguousNetmask(m)) {
                    SetMessage(message, "1-Format Error\nSubnet Mask option is invalid\nIncorrect bit pattern");
                    return 0;
                }
            } else if (DhcpMatchWhole(text, "^/\\d{1,2}")) {
                if (!encodePrefixLengthMask(kOptSubnetMask, text, enc, 6)) {
                    SetMessage(message, "1-Format Error\nSubnet Mask option is invalid\nSee example:\n/24");
                    return 0;
                }
            } else {
                SetMessage(message, "1-Format Error\nDHCP requires a valid Subnet Mask like:\n255.255.255.0 or /24");
                return 0;
            }
            if (outSize < 4) return 0;
            std::memcpy(out, enc + 2, 4);
            return 1;
        case kOptRouter:
        case kOptDnsServer: {
            const bool router = kind == kOptRouter;
            if (!DhcpMatchWhole(text, kDottedListPattern)) {
                SetMessage(message, router ? "3-Format Error\nRouter option should look like:\n192.168.20.1  or  "
                                             "192.168.20.1,192.168.20.3, ..."
                                           : "6-Format Error\nDomain Name Server option should look "
                                             "like:\n192.168.20.1  or  192.168.20.1,192.168.20.3, ...");
                return 0;
            }
            if (!encodeAddressList(static_cast<uint8_t>(kind), text, out, outSize)) {
                SetMessage(message, router ? "3-Format Error\nRouter option invalid IP address/es\nSee "
                                             "example:\n192.168.20.1  or  192.168.20.1,192.168.20.3, ..."
                                           : "6-Format Error\nDomain Name Server option invalid IP address/es\nSee "
                                             "example:\n192.168.20.30  or  192.168.20.30,192.168.20.33, ...");
                return 0;
            }
            return 1;
        }
        case 0:
            if (!DhcpMatchWhole(text, kDottedPattern)) {
                SetMessage(message, "Format Error\nRequired a valid IP address like:\n192.168.20.20");
                return 0;
            }
            if (!encodeAddressList(0, text, enc, 6)) {
                SetMessage(message, "Format Error\nInvalid IP address\nSee example:\n192.168.20.20");
                return 0;
            }
            if (outSize < 4) return 0;
            std::memcpy(out, enc + 2, 4);
            return 1;
        default: return 1;
    }
}

namespace {
uint8_t HexByte(const char* p) {
    auto v = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return c - 'A' + 10;
    };
    return static_cast<uint8_t>(v(p[0]) * 16 + v(p[1]));
}
void ReadMacText(const char* p, uint8_t mac[6]) {
    for (int i = 0; i < 6; ++i) mac[i] = HexByte(p + 3 * i);
}
}  // namespace

int parseStaticLeaseEntry(const char* text, uint8_t out[10], std::string* message) {
    std::string pattern = std::string("^") + kMacText + "\\|" DOTTED;
    if (!DhcpMatchWhole(text, pattern.c_str())) {
        SetMessage(message,
                   "Format Error\nMAC Static Lease entries should look like:\n01:02:03:ab:bc:de|192.168.20.5 ");
        return 0;
    }
    uint32_t a;
    if (!parseDottedAddress(text + 18, std::strlen(text + 18), &a) || a == 0 || a == 0xFFFFFFFFu) {
        SetMessage(message, "Format Error\nMAC Static Lease entry has an invalid IP");
        return 0;
    }
    ReadMacText(text, out);
    std::memcpy(out + 6, &a, 4);
    return 1;
}

int parseMacFilterEntry(const char* text, uint64_t* macWord, uint64_t* maskWord, std::string* message) {
    std::string pattern = std::string("^") + kMacText + "(\\|" + kMacText + "){0,1}";
    if (!DhcpMatchWhole(text, pattern.c_str())) {
        SetMessage(
            message,
            "Format Error\nMAC Filter entries should look like:\nMAC[|MASK]\n01:02:03:AB:BC:DE[|FF:FF:FF:FF:FF:00] ");
        return 0;
    }
    uint8_t mac[6];
    ReadMacText(text, mac);
    *macWord = macFilterWord(mac);
    *maskWord = ~0ull;
    if (text[17] == '|') {
        uint8_t mask[6];
        ReadMacText(text + 18, mask);
        *maskWord = macFilterWord(mask);
        if (*maskWord == 0) {
            *macWord = 0;
            SetMessage(message, "Format Error\nMASK=00:00:00:00:00:00\nmatches all possible MACs");
            return 0;
        }
    }
    return 1;
}

int hasStaticLeases(const DhcpSettings& s) {
    for (const auto& e : s.StaticLeases)
        if (e.address != 0) return 1;
    return 0;
}

DefaultLists BuildDefaultLists() {
    const char* px = "\\BM\\PXENIMBO";
    const char* ms = "\\BM\\MICROSOFT";
    const char* bios = "\\BIOS";
    const char* e32 = "\\EFI32";
    const char* e64 = "\\EFI64";
    const char* a32 = "\\EFIARM32";
    const char* a64 = "\\EFIARM64";
    const char* nbp0 = "\\pxenimbo.0";
    const char* nbpe = "\\pxenimbo.efi";
    const char* bm = "\\bootmgfw.efi";
    const char* bcd = "\\bcd";
    char buf[320];
    DefaultLists d;
    std::snprintf(buf, sizeof buf, "%s%s%s|6?%s%s%s|7?%s%s%s|9?%s%s%s", px, bios, nbp0, px, e32, nbpe, px, e64, nbpe,
                  px, e64, nbpe);
    d.biosEfi = buf;
    std::snprintf(buf, sizeof buf, "%s%s%s|6?%s%s%s|7?%s%s%s|9?%s%s%s|a?%s%s%s|b?%s%s%s", px, bios, nbp0, ms, e32, bm,
                  ms, e64, bm, ms, e64, bm, ms, a32, bm, ms, a64, bm);
    d.bootManager = buf;
    std::snprintf(buf, sizeof buf, "252|6?%s%s%s|7?%s%s%s|9?%s%s%s|a?%s%s%s|b?%s%s%s", ms, e32, bcd, ms, e64, bcd, ms,
                  e64, bcd, ms, a32, bcd, ms, a64, bcd);
    d.option252 = buf;
    return d;
}

namespace {

template <size_t N>
void Terminate(char (&field)[N]) {
    field[N - 1] = 0;
}

void TerminateTexts(DhcpSettings& s) {
    Terminate(s.DHCP_IP_Pool);
    Terminate(s.DHCP_IP_NextServer);
    Terminate(s.DHCP_IP_Mask);
    Terminate(s.DHCP_DNS);
    Terminate(s.DHCP_DefaultGateway);
    Terminate(s.DHCP_BootFile);
    Terminate(s.DHCP_DomainName);
    Terminate(s.BmModeText);
    for (auto& o : s.UserOptions) Terminate(o.text);
    for (auto& l : s.StaticLeases) Terminate(l.text);
    for (auto& f : s.MacFilters) Terminate(f.text);
    for (ArchBootTable* t : {&s.BootFileTable, &s.Option67Table, &s.Option252Table})
        for (auto& r : t->rows) Terminate(r.text);
}

}  // namespace

bool ValidateDhcpRecord(const DhcpSettings& record, std::string* why) {
    std::string message;
    auto fail = [&](const std::string& key, const std::string& reason) {
        *why = key + ": " + reason;
        for (char& c : *why)
            if (c == '\n' || c == '\r') c = ' ';
        return false;
    };
    // Each text the INI file keeps, with its check when it is not empty.
    auto check = [&](const std::string& key, const char* field, size_t size, auto&& wellFormed) {
        const std::string text(field, strnlen(field, size - 1));
        for (unsigned char c : text)
            if (c < 0x20 || c == 0x7F) return fail(key, "control character");
        message.clear();
        if (!text.empty() && !wellFormed(text.c_str())) return fail(key, message.empty() ? "not valid" : message);
        return true;
    };
    auto any = [](const char*) { return true; };
    auto dotted = [](const char* t) {
        uint32_t a;
        return parseDottedAddress(t, std::strlen(t), &a);
    };
    auto addresses = [&](int kind) {
        return [&message, kind](const char* t) {
            uint8_t enc[270];
            return validateAddressSetting(kind, t, enc, sizeof enc, &message) != 0;
        };
    };
    const DhcpSettings& s = record;
    if (!check("DHCP_IP_Pool", s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool, dotted)) return false;
    if (!check("DHCP_IP_NextServer", s.DHCP_IP_NextServer, sizeof s.DHCP_IP_NextServer, [&](const char* t) {
            return std::strcmp(t, "Automatic") == 0 || std::strcmp(t, "None") == 0 || dotted(t);
        }))
        return false;
    if (!check("DHCP_IP_Mask", s.DHCP_IP_Mask, sizeof s.DHCP_IP_Mask, addresses(kOptSubnetMask))) return false;
    {
        // The pool as the texts give it, within the subnet of the mask.
        uint32_t start = 0, mask = 0;
        uint8_t maskBytes[4] = {};
        const std::string maskText(s.DHCP_IP_Mask, strnlen(s.DHCP_IP_Mask, sizeof s.DHCP_IP_Mask - 1));
        if (!parseDottedAddress(s.DHCP_IP_Pool, strnlen(s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool - 1), &start)) start = 0;
        if (validateAddressSetting(kOptSubnetMask, maskText.c_str(), maskBytes, sizeof maskBytes, nullptr))
            std::memcpy(&mask, maskBytes, sizeof mask);
        if (checkPoolInSubnet(start, s.DHCP_PoolSize, mask, &message) != POOL_FITS)
            return fail("DHCP_PoolSize", message);
    }
    if (!check("DHCP_BootFile", s.DHCP_BootFile, sizeof s.DHCP_BootFile, [&](const char* t) {
            auto table = std::make_unique<ArchBootTable>();
            return validateBootFileSetting(t, table.get(), &message) != 0;
        }))
        return false;
    if (!check("DHCP_DefaultGateway", s.DHCP_DefaultGateway, sizeof s.DHCP_DefaultGateway, addresses(kOptRouter)))
        return false;
    if (!check("DHCP_DNS", s.DHCP_DNS, sizeof s.DHCP_DNS, addresses(kOptDnsServer))) return false;
    if (!check("DHCP_DomainName", s.DHCP_DomainName, sizeof s.DHCP_DomainName, any)) return false;
    if (!check("DHCP_BINL_BM_Mode", s.BmModeText, sizeof s.BmModeText,
               [](const char* t) { return std::strcmp(t, "1") == 0 || std::strcmp(t, "3") == 0; }))
        return false;
    for (int i = 0; i < kUserOptions; ++i) {
        if (!check("DHCP_Option" + std::to_string(i + 1), s.UserOptions[i].text, sizeof s.UserOptions[i].text,
                   [&](const char* t) {
                       auto area = std::make_unique<ArchBootTable>();
                       if (std::strncmp(t, "67|", 3) == 0) return parseArchFileList(t, area.get()) == 0;
                       return parseDhcpOption(t, reinterpret_cast<uint8_t*>(area.get()), sizeof *area, &message) != 0;
                   }))
            return false;
    }
    for (int i = 0; i < kStaticLeases; ++i) {
        if (!check("DHCP_StaticLease" + std::to_string(i + 1), s.StaticLeases[i].text, sizeof s.StaticLeases[i].text,
                   [&](const char* t) {
                       uint8_t out[10];
                       return parseStaticLeaseEntry(t, out, &message) != 0;
                   }))
            return false;
    }
    for (int i = 0; i < kMacFilters; ++i) {
        if (!check("DHCP_MacFilter" + std::to_string(i + 1), s.MacFilters[i].text, sizeof s.MacFilters[i].text,
                   [&](const char* t) {
                       uint64_t mac, mask;
                       return parseMacFilterEntry(t, &mac, &mask, &message) != 0;
                   }))
            return false;
    }
    return true;
}

void DeriveIpxeKeyRows(DhcpConfig* cfg) {
    DhcpSettings& s = cfg->rec;
    TerminateTexts(s);
    auto keys = [](const char* text) -> IpxeKeyRows {
        ArchBootTable scratch{};
        IpxeKeyRows rows = 0;
        if (*text && parseArchFileList(text, &scratch, &rows) == 0) return rows;
        return 0;
    };
    cfg->bootFileIpxe = keys(s.DHCP_BootFile);
    cfg->option67Ipxe = 0;
    for (const auto& o : s.UserOptions)
        if (std::strncmp(o.text, "67|", 3) == 0) cfg->option67Ipxe = keys(o.text);
    DefaultLists d = BuildDefaultLists();
    cfg->option252Ipxe = keys(d.option252.c_str());
    cfg->defaultBootFileList = s.BmMode == 3 ? d.bootManager : d.biosEfi;
}

void LoadDhcpConfig(DhcpConfig* cfg, const DhcpIniReader& read, uint32_t servicesMask, const std::string& tftpRoot,
                    const FileSizeProbe& fileProbe) {
    *cfg = DhcpConfig{};
    DhcpSettings& s = cfg->rec;
    s.DHCP_LeaseTime = 2880;

    read("DHCP_PoolSize", &s.DHCP_PoolSize, 4, 4);
    read("DHCP_IP_Pool", s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool, 1);
    read("DHCP_IP_NextServer", s.DHCP_IP_NextServer, sizeof s.DHCP_IP_NextServer, 1);
    read("DHCP_IP_Mask", s.DHCP_IP_Mask, sizeof s.DHCP_IP_Mask, 1);
    read("DHCP_BootFile", s.DHCP_BootFile, sizeof s.DHCP_BootFile, 1);
    read("DHCP_DefaultGateway", s.DHCP_DefaultGateway, sizeof s.DHCP_DefaultGateway, 1);
    read("DHCP_DNS", s.DHCP_DNS, sizeof s.DHCP_DNS, 1);
    read("DHCP_DomainName", s.DHCP_DomainName, sizeof s.DHCP_DomainName, 1);
    read("DHCP_LeaseTime", &s.DHCP_LeaseTime, 4, 4);
    read("DHCP_ProcStatLeases", &s.DHCP_ProcStatLeases, 4, 4);
    read("DHCP_ProcMacFilter", &s.DHCP_ProcMacFilter, 4, 4);
    read("DHCP_BINL_BM_Mode", s.BmModeText, sizeof s.BmModeText, 1);
    char key[40];
    for (int i = 0; i < kUserOptions; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_Option", i + 1);
        read(key, s.UserOptions[i].text, sizeof s.UserOptions[i].text, 1);
    }
    for (int i = 0; i < kStaticLeases; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_StaticLease", i + 1);
        read(key, s.StaticLeases[i].text, sizeof s.StaticLeases[i].text, 1);
    }
    for (int i = 0; i < kMacFilters; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_MacFilter", i + 1);
        read(key, s.MacFilters[i].text, sizeof s.MacFilters[i].text, 1);
    }
    TerminateTexts(s);

    uint32_t a;
    s.PoolStart = parseDottedAddress(s.DHCP_IP_Pool, std::strlen(s.DHCP_IP_Pool), &a) ? a : 0;
    s.SubnetMask = parseDottedAddress(s.DHCP_IP_Mask, std::strlen(s.DHCP_IP_Mask), &a) ? a : 0;
    if (s.DHCP_IP_NextServer[0] == 0 || std::strcmp(s.DHCP_IP_NextServer, "Automatic") == 0)
        s.NextServer = 0xFFFFFFFFu;
    else if (std::strcmp(s.DHCP_IP_NextServer, "None") == 0)
        s.NextServer = 0;
    else
        s.NextServer =
            parseDottedAddress(s.DHCP_IP_NextServer, std::strlen(s.DHCP_IP_NextServer), &a) ? a : 0xFFFFFFFFu;

    if (s.DHCP_LeaseTime == 0) {
        s.DHCP_LeaseTime = 2880;
        DhcpLog(12, "%d, Lease time not specified, set to 2 days", DhcpThreadId());
    }

    {
        ArchBootTable t{};
        IpxeKeyRows rows = 0;
        if (validateBootFileSetting(s.DHCP_BootFile, &t, nullptr, &rows)) {
            s.BootFileTable = t;
            cfg->bootFileIpxe = rows;
        }
    }
    uint8_t enc[270];
    if (validateAddressSetting(kOptSubnetMask, s.DHCP_IP_Mask, enc, 4, nullptr)) std::memcpy(&s.SubnetMask, enc, 4);
    if (validateAddressSetting(kOptDnsServer, s.DHCP_DNS, enc, sizeof enc, nullptr))
        std::memcpy(s.DnsOption, enc, enc[1] + 2u);
    if (validateAddressSetting(kOptRouter, s.DHCP_DefaultGateway, enc, sizeof enc, nullptr))
        std::memcpy(s.RouterOption, enc, enc[1] + 2u);

    const bool binl = servicesMask & 0x200;
    auto area = std::make_unique<ArchBootTable>();
    for (auto& o : s.UserOptions) {
        if (!o.text[0]) continue;
        const bool is67 = std::strncmp(o.text, "67|", 3) == 0;
        if (is67 && binl) continue;
        // The output area holds a whole table: a "67|" list is compared with the boot file.
        *area = is67 ? s.BootFileTable : ArchBootTable{};
        uint8_t* out = reinterpret_cast<uint8_t*>(area.get());
        if (!parseDhcpOption(o.text, out, sizeof *area, nullptr)) {
            o.text[0] = 0;
            continue;
        }
        std::memset(o.encoded, 0, sizeof o.encoded);
        if (is67) {
            // An empty boot file lets the option's own list fill the area; otherwise the
            // lists agree and the option's table is parsed on its own.
            ArchBootTable t{};
            IpxeKeyRows rows = 0;
            parseArchFileList(o.text, &t, &rows);
            s.Option67Table = t;
            cfg->option67Ipxe = rows;
            o.encoded[0] = kOptBootFileName;  // empty: the client's row of Option67Table
            o.encoded[1] = 0;
        } else if (out[0] == 0) {
            std::memcpy(o.encoded, out, 4);
        } else {
            std::memcpy(o.encoded, out, out[1] + 2u);
        }
    }

    if (!binl) {
        for (int r = 0; r < kFilledArchRows; ++r) {
            ArchBootRow& row = s.BootFileTable.rows[r];
            if (!row.declared) continue;
            uint64_t size = 0;
            row.present = fileProbe && fileProbe(BootFilePath(tftpRoot, row.text), &size) ? 1 : 0;
            if (row.present) row.sizeBlocks = SizeInBlocks(size);
            ArchBootRow& r67 = s.Option67Table.rows[r];
            if (r67.declared) {
                r67.present = row.present;
                if (row.present) r67.sizeBlocks = row.sizeBlocks;
            }
        }
    }

    for (auto& l : s.StaticLeases) {
        uint8_t out[10];
        if (l.text[0] && parseStaticLeaseEntry(l.text, out, nullptr)) {
            std::memcpy(l.mac, out, 6);
            std::memcpy(&l.address, out + 6, 4);
        }
    }
    for (auto& f : s.MacFilters) {
        uint64_t mac = 0, mask = 0;
        if (f.text[0] && parseMacFilterEntry(f.text, &mac, &mask, nullptr)) {
            f.mac = mac;
            f.mask = mask;
        }
    }

    int mode = std::atoi(s.BmModeText);
    if (!((mode == 1 || mode == 3) && std::strlen(s.BmModeText) == 1)) {
        mode = 1;
        std::memset(s.BmModeText, 0, sizeof s.BmModeText);
        s.BmModeText[0] = '1';
    }
    s.BmMode = mode;

    DefaultLists d = BuildDefaultLists();
    cfg->defaultBootFileList = mode == 3 ? d.bootManager : d.biosEfi;
    if (mode == 3) {
        ArchBootTable t{};
        IpxeKeyRows rows = 0;
        if (validateOption252Setting(d.option252.c_str(), &t, nullptr, &rows)) {
            s.Option252Table = t;
            cfg->option252Ipxe = rows;
        }
    }
}

namespace {
std::mutex g_liveMutex;
std::shared_ptr<const DhcpConfig> g_live = std::make_shared<const DhcpConfig>();
std::atomic<bool> g_published{false};
}  // namespace

bool DhcpSettingsPublished() { return g_published.load(); }
void DhcpSettingsClearPublished() { g_published.store(false); }

std::shared_ptr<const DhcpConfig> DhcpSettingsSnapshot() {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    return g_live;
}

void DhcpSettingsPublish(DhcpConfig cfg) {
    auto next = std::make_shared<const DhcpConfig>(std::move(cfg));
    std::lock_guard<std::mutex> lock(g_liveMutex);
    g_live = std::move(next);
    g_published.store(true);
}

void DhcpSettingsUpdate(const std::function<void(DhcpSettings&)>& edit) {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    auto next = std::make_shared<DhcpConfig>(*g_live);
    edit(next->rec);
    g_live = std::move(next);
}

void DhcpConfigUpdate(const std::function<void(DhcpConfig&)>& edit) {
    std::lock_guard<std::mutex> lock(g_liveMutex);
    auto next = std::make_shared<DhcpConfig>(*g_live);
    edit(*next);
    g_live = std::move(next);
}

bool TakeDefaultBootFile(DhcpConfig* cfg) {
    DhcpSettings& s = cfg->rec;
    if (strnlen(s.DHCP_BootFile, sizeof s.DHCP_BootFile) != 0 || cfg->defaultBootFileList.empty() ||
        cfg->defaultBootFileList.size() >= sizeof s.DHCP_BootFile)
        return false;
    auto t = std::make_unique<ArchBootTable>();
    IpxeKeyRows rows = 0;
    if (!validateBootFileSetting(cfg->defaultBootFileList.c_str(), t.get(), nullptr, &rows)) return false;
    std::memset(s.DHCP_BootFile, 0, sizeof s.DHCP_BootFile);
    std::memcpy(s.DHCP_BootFile, cfg->defaultBootFileList.data(), cfg->defaultBootFileList.size());
    s.BootFileTable = *t;
    cfg->bootFileIpxe = rows;
    return true;
}

int parseBootFileSetting() {
    int ok = 0;
    DhcpConfigUpdate([&ok](DhcpConfig& cfg) {
        auto t = std::make_unique<ArchBootTable>();
        IpxeKeyRows rows = 0;
        cfg.rec.DHCP_BootFile[sizeof cfg.rec.DHCP_BootFile - 1] = 0;
        ok = validateBootFileSetting(cfg.rec.DHCP_BootFile, t.get(), nullptr, &rows);
        if (ok) {
            cfg.rec.BootFileTable = *t;
            cfg.bootFileIpxe = rows;
        }
    });
    return ok;
}

DhcpSettings DhcpSettingsRecord() { return DhcpSettingsSnapshot()->rec; }
