// User-defined DHCP options: "code|payload" lines checked against the rules of their code
// and encoded as code, length, payload.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "_services/dhcp/dhcp_protocol.h"
#include "_services/dhcp/dhcp_regex.h"
#include "_services/dhcp/dhcp_settings.h"

namespace {

#define DQ "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}"
constexpr const char* kPatAddressList = "^\\d{1,3}\\|" DQ "(," DQ ")*";
constexpr const char* kPatOneAddress = "^\\d{1,3}\\|" DQ;
constexpr const char* kPatPairs = "^\\d{1,3}\\|" DQ "," DQ "(," DQ "," DQ ")*";
constexpr const char* kPatCodeOnly = "^\\d{1,3}\\|";
constexpr const char* kPatTimeOffset = "^\\d{1,3}\\|(-*)\\d{1,10}";
constexpr const char* kPatByte = "^\\d{1,3}\\|\\d{1,3}";
constexpr const char* kPat16 = "^\\d{1,3}\\|\\d{1,5}";
constexpr const char* kPat32 = "^\\d{1,3}\\|\\d{1,10}";
constexpr const char* kPatMtuList = "^\\d{1,3}\\|\\d{1,5}(,\\d{1,5})*";
constexpr const char* kPatCodeList = "^\\d{1,3}\\|\\d{1,3}(,\\d{1,3})*";
constexpr const char* kPatHex = "^\\d{1,3}\\|0x([\\da-fA-F][\\da-fA-F]){1,255}";
constexpr const char* kPatHexStart = "^\\d{1,3}\\|0x";
constexpr const char* kPatRoutes = "^\\d{1,3}\\|" DQ "," DQ "," DQ "(," DQ "," DQ "," DQ ")*";
#define ARCH_KEY "(\\d|0i|6i|7i|9i|a|b)"
#define PATH_CHARS "[^,<>;\"\\\\/\\|\\*\\? ]"
constexpr const char* kPatOption67 = "^\\d{1,3}\\|(" ARCH_KEY "\\?){0,1}[\\\\/]{0,1}" PATH_CHARS "+([\\\\/]" PATH_CHARS
                                     "+)*(\\|" ARCH_KEY "\\?[\\\\/]{0,1}" PATH_CHARS "+([\\\\/]" PATH_CHARS "+)*)*$";

const char* const kMsgGeneric =
    "Format Error\nA DHCP Option must begin with its decimal code (0-255) immediately \n"
    "followed by the separator | and the option payload (w/o Length\nbyte). Option format depends on "
    "option's code.\ni.e.\t9|192.168.20.20\t9|192.168.20.20,192.168.20.25,...\n\t23|10\t\t18|/dhcp/moreoptions\n"
    "\t117|0,6,...\t99|0x1234567890abcdefABCDEF...\n\tetc.";

// How the text of an option is checked and encoded. Codes without a row are hexadecimal or text.
enum Kind : uint8_t {
    K_PAD,
    K_TIME,
    K_ADDR_LIST,
    K_ADDR_OR_EMPTY,
    K_ONE_ADDR,
    K_PAIRS,
    K_FLAG,
    K_BYTE23,
    K_BYTE37,
    K_NODE,
    K_U16,
    K_U16_MTU,
    K_U32,
    K_MTU_LIST,
    K_CODE_LIST,
    K_TEXT,
    K_HEX,
    K_HEX16,
    K_HEX_OR_TEXT,
    K_ROUTES,
    K_BOOT,
    K_REFUSED,
};

// One row per option code the rules name: a new code is one row here, a new kind one row of
// kKindRules below (with a validator of its own when none of the others fits).
struct OptionRule {
    uint8_t code;
    Kind kind;
    const char* subject;  // how the format messages name the option
    const char* example;  // example line of the messages in place of the kind's ('#' stands for the code)
    const char* refusal;  // the message of a code users may not set
};

// clang-format off
constexpr OptionRule kOptionRules[] = {
    {0, K_PAD, "Pad option", nullptr, nullptr},
    {1, K_REFUSED, nullptr, nullptr, "1-Option Error\nSubnet Mask option should be defined above on its own field"},
    {2, K_TIME, " option", nullptr, nullptr},  // its messages give no name
    {3, K_REFUSED, nullptr, nullptr, "3-Option Error\nRouter Option should be defined above on its own field"},
    {4, K_ADDR_LIST, "Time Server option", nullptr, nullptr},
    {5, K_ADDR_LIST, "Name Server option", nullptr, nullptr},
    {6, K_REFUSED, nullptr, nullptr, "6-Option Error\nDomain Name Server Option should be defined above on its own field"},
    {7, K_ADDR_LIST, "Log Server option", nullptr, nullptr},
    {8, K_ADDR_LIST, "Cookie Server option", nullptr, nullptr},
    {9, K_ADDR_LIST, "LPR Server option", nullptr, nullptr},
    {10, K_ADDR_LIST, "Impress Server option", nullptr, nullptr},
    {11, K_ADDR_LIST, "Resource Location Server option", nullptr, nullptr},
    {12, K_TEXT, "Host Name option", nullptr, nullptr},
    {13, K_U16, "Boot File Size option", nullptr, nullptr},
    {14, K_TEXT, "Host Name option", nullptr, nullptr},
    {15, K_REFUSED, nullptr, nullptr, "15-Option Error\nDomain Name option should be defined above on its own field"},
    {16, K_ONE_ADDR, "Swap Server option", nullptr, nullptr},
    {17, K_TEXT, "Root Path option", nullptr, nullptr},
    {18, K_TEXT, "Extensions Path option", nullptr, nullptr},
    {19, K_FLAG, "IP Forwarding Enable/Disable option", nullptr, nullptr},
    {20, K_FLAG, "Non-Local Source Routing Enable/Disable option", nullptr, nullptr},
    {21, K_PAIRS, "Policy Filter option", nullptr, nullptr},
    {22, K_U16, "Maximum Datagram Reassembly Size option", nullptr, nullptr},
    {23, K_BYTE23, "Default IP Time-to-live option", nullptr, nullptr},
    {24, K_U32, "Path MTU Aging Timeout option", "24|X\t0 <= X <= 4294967295", nullptr},
    {25, K_MTU_LIST, "Path MTU Plateau Table option", nullptr, nullptr},
    {26, K_U16_MTU, "Interface MTU option", nullptr, nullptr},
    {27, K_FLAG, "All Subnets are Local option", nullptr, nullptr},
    {28, K_ONE_ADDR, "Broadcast Address option", "28|192.168.20.255", nullptr},
    {29, K_FLAG, "Perform Mask Discovery option", nullptr, nullptr},
    {30, K_FLAG, "Mask Supplier option", nullptr, nullptr},
    {31, K_FLAG, "Perform Router Discovery option", nullptr, nullptr},
    {32, K_ONE_ADDR, "Router Solicitation Address option", nullptr, nullptr},
    {33, K_PAIRS, "Static Route option", "33|192.168.20.20,10.0.0.1, ...", nullptr},
    {34, K_FLAG, "Trailer Encapsulation option", nullptr, nullptr},
    {35, K_U32, "ARP Cache Timeout Option option", nullptr, nullptr},
    {36, K_FLAG, "Ethernet Encapsulation option", nullptr, nullptr},
    {37, K_BYTE37, "TCP Default TTL option", nullptr, nullptr},
    {38, K_U32, "TCP Keepalive Interval Option option", nullptr, nullptr},
    {39, K_FLAG, "TCP Keepalive Garbage option", nullptr, nullptr},
    {40, K_TEXT, "Network Information Service Domain option", nullptr, nullptr},
    {41, K_ADDR_LIST, "Network Information Server option", nullptr, nullptr},
    {42, K_ADDR_LIST, "Network Time Protocol Server option", nullptr, nullptr},
    {43, K_HEX, "Vendor-specific information option", nullptr, nullptr},
    {44, K_ADDR_LIST, "NetBIOS over TCP/IP Name Server option", nullptr, nullptr},
    {45, K_ADDR_LIST, "NetBIOS over TCP/IP Datagram Distribution Server option", nullptr, nullptr},
    {46, K_NODE, "NetBIOS over TCP/IP Node Type option", nullptr, nullptr},
    {47, K_TEXT, "NetBIOS over TCP/IP Scope option", nullptr, nullptr},
    {48, K_ADDR_LIST, "X Window System Font Server option", nullptr, nullptr},
    {49, K_ADDR_LIST, "X Window System Display Manager option", nullptr, nullptr},
    {50, K_REFUSED, nullptr, nullptr, "50-Option Error\nRequested IP Address is a client-only option"},
    {51, K_REFUSED, nullptr, nullptr, "51-Option Error\nIP Address Lease Time is a server-handled option"},
    {52, K_REFUSED, nullptr, nullptr, "52-Option Error\nOption Overload is not implemented"},
    {53, K_REFUSED, nullptr, nullptr, "53-Option Error\nDHCP Message Type is a server-handled option"},
    {54, K_REFUSED, nullptr, nullptr, "54-Option Error\nServer Identifier is a server-handled option"},
    {55, K_REFUSED, nullptr, nullptr, "55-Option Error\nParameter Request List is a client-only option"},
    {56, K_REFUSED, nullptr, nullptr, "56-Option Error\nMessage is a server-handled option"},
    {57, K_REFUSED, nullptr, nullptr, "57-Option Error\nMaximum DHCP Message Size is a client-only option"},
    {58, K_REFUSED, nullptr, nullptr, "58-Option Error\nRenewal (T1) Time Value is a server-handled option"},
    {59, K_REFUSED, nullptr, nullptr, "59-Option Error\nRebinding (T2) Time Value is a server-handled option"},
    {60, K_TEXT, "Vendor class identifier option", nullptr, nullptr},
    {61, K_REFUSED, nullptr, nullptr, "61-Option Error\nClient-identifier is a client-only option"},
    {62, K_TEXT, "NetWare/IP Domain Name option", nullptr, nullptr},
    {63, K_HEX, "NetWare/IP Information option", nullptr, nullptr},
    {64, K_TEXT, "NetWare/IP Domain Name option", nullptr, nullptr},
    {65, K_ADDR_LIST, "Network Information Service+ Servers option", nullptr, nullptr},
    {66, K_TEXT, "TFTP server name option", nullptr, nullptr},
    {67, K_BOOT, "Bootfile name option", nullptr, nullptr},
    {68, K_ADDR_OR_EMPTY, "Mobile IP Home Agent option", nullptr, nullptr},
    {69, K_ADDR_LIST, "Simple Mail Transport Protocol (SMTP) Server option", nullptr, nullptr},
    {70, K_ADDR_LIST, "Post Office Protocol (POP3) Server option", nullptr, nullptr},
    {71, K_ADDR_LIST, "Network News Transport Protocol (NNTP) Server option", nullptr, nullptr},
    {72, K_ADDR_LIST, "Default World Wide Web (WWW) Server option", nullptr, nullptr},
    {73, K_ADDR_LIST, "Default Finger Server option", nullptr, nullptr},
    {74, K_ADDR_LIST, "Default Internet Relay Chat (IRC) Server option", nullptr, nullptr},
    {75, K_ADDR_LIST, "StreetTalk Server option", nullptr, nullptr},
    {76, K_ADDR_LIST, "StreetTalk Directory Assistance (STDA) Server option", nullptr, nullptr},
    {77, K_REFUSED, nullptr, nullptr, "77-Option Error\nUser Class is a client-only option"},
    {78, K_HEX, "SLP Directory Agent option", nullptr, nullptr},
    {79, K_HEX, "SLP Service Scope option", nullptr, nullptr},
    {80, K_REFUSED, nullptr, nullptr, "80-Option Error\nRapid Commit is a server-handled/not implemented option"},
    {81, K_REFUSED, nullptr, nullptr, "81-Option Error\nDHCP Client FQDN is a client-only option"},
    {82, K_REFUSED, nullptr, nullptr, "82-Option Error\nRelay Agent Information is a relay-handled option"},
    {83, K_HEX, "iSNS option", nullptr, nullptr},
    {85, K_ADDR_LIST, "NDS Servers option", nullptr, nullptr},
    {86, K_TEXT, "NDS Tree Name option", nullptr, nullptr},
    {87, K_TEXT, "NDS Context option", nullptr, nullptr},
    {88, K_HEX, "Multicast Service Controller Domain Name\nlist option", nullptr, nullptr},
    {89, K_ADDR_LIST, "BCMCS Control Server Domain Name List option", nullptr, nullptr},
    {90, K_REFUSED, nullptr, nullptr, "90-Option Error\nAuthentication Option is not implemented"},
    {91, K_REFUSED, nullptr, nullptr, "91-Option Error\nClient-last-transaction-time is a server-handled/not implemented option"},
    {92, K_REFUSED, nullptr, nullptr, "92-Option Error\nAssociated-ip is a server-handled/not implemented option"},
    {93, K_REFUSED, nullptr, nullptr, "93-Option Error\nClient System Architecture Type is a client-only option"},
    {94, K_REFUSED, nullptr, nullptr, "94-Option Error\nClient Network Interface Identifier is a client-only option"},
    {97, K_REFUSED, nullptr, nullptr, "97-Option Error\nClient Machine Identifier is a client-only option"},
    {98, K_TEXT, "User Authentication Protocol option", nullptr, nullptr},
    {99, K_HEX, "DHCP Civic Location option", nullptr, nullptr},
    {100, K_TEXT, "Timezone option for DHCPv4", nullptr, nullptr},
    {101, K_TEXT, "Timezone option for DHCPv4", nullptr, nullptr},
    {116, K_FLAG, "Auto-Configure option", nullptr, nullptr},
    {117, K_CODE_LIST, "Name Service Search option", nullptr, nullptr},
    {118, K_REFUSED, nullptr, nullptr, "118-Option Error\nSubnet Selection is a client-only option"},
    {119, K_HEX, "Domain Search option", nullptr, nullptr},
    {120, K_HEX, "SIP Server DHCP option", nullptr, nullptr},
    {121, K_ROUTES, "Classless Route option", nullptr, nullptr},
    {122, K_HEX, "CableLabs Client Configuration option", nullptr, nullptr},
    {123, K_HEX16, "Coordinate LCI option", nullptr, nullptr},
    {124, K_REFUSED, nullptr, nullptr, "124-Option Error\nV-I Vendor Class is a client-only option"},
    {125, K_REFUSED, nullptr, nullptr, "125-Option Error\nV-I Vendor-specific Information is a client-only option"},
    {249, K_ROUTES, "Classless Route option (MS)", nullptr, nullptr},
    {252, K_TEXT, "Proxy Autodiscovery", nullptr, nullptr},
    {255, K_REFUSED, nullptr, nullptr, "255-Option Error\nEND is a server-handled option"},
};
// clang-format on

// What a code without a row is.
constexpr OptionRule kOtherOption = {0, K_HEX_OR_TEXT, "", nullptr, nullptr};

const OptionRule& RuleOf(int code) {
    for (const auto& r : kOptionRules)
        if (r.code == code) return r;
    return kOtherOption;
}

struct KindRule;
using Validator = int (*)(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out,
                          size_t outSize, std::string* message);

// One row per kind: its validator and what the validator reads of the row.
struct KindRule {
    Kind kind;
    Validator validate;
    const char* pattern;         // the whole text must match it
    long long low, high;         // value range of a number or of each number of a list
    int bytes;                   // width of an encoded number
    const char* example;         // example line of the messages ('#' stands for the code)
    const char* invalidExample;  // example after a value error, when it differs
};

// The example of a rule, with its code in place of '#'.
std::string Example(const OptionRule& rule, const KindRule& kind, int code, bool invalid = false) {
    const char* e = rule.example ? rule.example : invalid && kind.invalidExample ? kind.invalidExample : kind.example;
    std::string out;
    for (const char* p = e ? e : ""; *p; ++p) {
        if (*p == '#')
            out += std::to_string(code);
        else
            out += *p;
    }
    return out;
}

std::string Head(const OptionRule& rule, int code) { return std::to_string(code) + "-Format Error\n" + rule.subject; }

// "<code>-Format Error\n<subject> should look like:\n<example>"
std::string LookLike(const OptionRule& rule, const KindRule& kind, int code) {
    return Head(rule, code) + " should look like:\n" + Example(rule, kind, code);
}

// "<code>-Format Error\n<subject> <what>\nSee example:\n<example>"
std::string Invalid(const OptionRule& rule, const KindRule& kind, int code, const char* what) {
    return Head(rule, code) + " " + what + "\nSee example:\n" + Example(rule, kind, code, true);
}

// "84", "95-96", ... the range a hexadecimal-or-text code belongs to, its first code and word.
void HexTextRange(int c, std::string* range, int* first, const char** word) {
    static const int ranges[][2] = {{84, 84},   {95, 96},   {102, 115}, {126, 127},
                                    {128, 135}, {136, 248}, {250, 251}, {253, 254}};
    for (const auto& r : ranges) {
        if (c >= r[0] && c <= r[1]) {
            *first = r[0];
            *range = r[0] == r[1] ? std::to_string(r[0]) : std::to_string(r[0]) + "-" + std::to_string(r[1]);
            break;
        }
    }
    *word = c < 128 ? "Unassigned" : c < 136 ? "PXE" : "Custom";
}

bool Fail(std::string* message, const std::string& text) {
    if (message) *message = text;
    return false;
}

int PutNumber(uint8_t code, uint64_t value, int bytes, uint8_t* out, size_t outSize) {
    if (outSize < static_cast<size_t>(bytes) + 2) return 0;
    out[0] = code;
    out[1] = static_cast<uint8_t>(bytes);
    for (int i = 0; i < bytes; ++i) out[2 + i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
    return 1;
}

int EncodeText(uint8_t code, const char* payload, uint8_t* out, size_t outSize) {
    size_t n = std::strlen(payload);
    if (n < 1 || n > 255 || n > outSize - 2 || outSize < 2) return 0;
    out[0] = code;
    out[1] = static_cast<uint8_t>(n);
    std::memcpy(out + 2, payload, n);
    return 1;
}

int EncodeNumberList(uint8_t code, const char* text, unsigned low, unsigned high, uint8_t* out, size_t outSize) {
    const char* p = std::strchr(text, '|');
    if (!p || outSize < 2) return 0;
    ++p;
    size_t count = 0;
    while (true) {
        char* end;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p || v < low || v > high) return 0;
        size_t payload = 2 * (count + 1);
        if (payload > 255 || payload > outSize - 2) return 0;
        out[2 + 2 * count] = static_cast<uint8_t>(v >> 8);
        out[3 + 2 * count] = static_cast<uint8_t>(v);
        ++count;
        if (*end != ',') break;
        p = end + 1;
    }
    out[0] = code;
    out[1] = static_cast<uint8_t>(2 * count);
    return 1;
}

int ValidatePad(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out, size_t outSize,
                std::string* message) {
    if (!DhcpMatchWhole(text, kind.pattern) || outSize < 4) return Fail(message, LookLike(rule, kind, code));
    out[0] = kOptPad;
    out[1] = 0;
    out[2] = 0xFF;
    out[3] = 0xFF;
    return 1;
}

int ValidateRefused(const OptionRule& rule, const KindRule&, int, const char*, uint8_t*, size_t, std::string* message) {
    return Fail(message, rule.refusal);
}

int ValidateAddresses(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out,
                      size_t outSize, std::string* message) {
    if (kind.kind == K_ADDR_OR_EMPTY && text[std::strcspn(text, "|") + 1] == 0) {
        if (outSize < 2) return 0;
        out[0] = static_cast<uint8_t>(code);
        out[1] = 0;
        return 1;
    }
    if (!DhcpMatchWhole(text, kind.pattern)) return Fail(message, LookLike(rule, kind, code));
    if (!encodeAddressList(static_cast<uint8_t>(code), text, out, outSize))
        return Fail(message, Invalid(rule, kind, code, "invalid IP address/es"));
    return 1;
}

int ValidateNumber(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out,
                   size_t outSize, std::string* message) {
    const std::string msg = LookLike(rule, kind, code);
    if (!DhcpMatchWhole(text, kind.pattern)) return Fail(message, msg);
    long long v = std::strtoll(std::strchr(text, '|') + 1, nullptr, 10);
    if (v < kind.low || v > kind.high) return Fail(message, msg);
    if (kind.kind == K_NODE && v != 1 && v != 2 && v != 4 && v != 8) return Fail(message, msg);
    if (!PutNumber(static_cast<uint8_t>(code), static_cast<uint64_t>(v), kind.bytes, out, outSize))
        return Fail(message, msg);
    return 1;
}

int ValidateNumberList(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out,
                       size_t outSize, std::string* message) {
    if (!DhcpMatchWhole(text, kind.pattern)) return Fail(message, LookLike(rule, kind, code));
    if (!EncodeNumberList(static_cast<uint8_t>(code), text, static_cast<unsigned>(kind.low),
                          static_cast<unsigned>(kind.high), out, outSize))
        return Fail(message, Invalid(rule, kind, code, "invalid parameter/es"));
    return 1;
}

int ValidateText(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out, size_t outSize,
                 std::string* message) {
    if (!EncodeText(static_cast<uint8_t>(code), std::strchr(text, '|') + 1, out, outSize))
        return Fail(message, Invalid(rule, kind, code, "invalid"));
    return 1;
}

int ValidateHex(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out, size_t outSize,
                std::string* message) {
    if (!DhcpMatchWhole(text, kPatHex) || !encodeHexOption(static_cast<uint8_t>(code), text, out, outSize))
        return Fail(message, LookLike(rule, kind, code));
    if (out[1] < kind.low)
        return Fail(message, Head(rule, code) + " too short\nOption payload min length=" + std::to_string(kind.low));
    return 1;
}

int ValidateHexOrText(const OptionRule&, const KindRule&, int code, const char* text, uint8_t* out, size_t outSize,
                      std::string* message) {
    std::string range;
    int first = code;
    const char* word = "";
    HexTextRange(code, &range, &first, &word);
    const std::string f = std::to_string(first);
    const std::string lead = range + " Format Error\n" + word;
    if (DhcpSearch(text, kPatHexStart)) {
        if (!DhcpMatchWhole(text, kPatHex) || !encodeHexOption(static_cast<uint8_t>(code), text, out, outSize))
            return Fail(message, lead + " option HEX input should look like:\n" + f + "|0x010203abcdef ...");
        return 1;
    }
    if (!EncodeText(static_cast<uint8_t>(code), std::strchr(text, '|') + 1, out, outSize))
        return Fail(message, lead + " options only support HEX or uninterpreted ASCII input\nSee examples:\n" + f +
                                 "|text\t1 < text Length < 255\n" + f + "|0x010203abcdef ...");
    return 1;
}

int ValidateRoutes(const OptionRule& rule, const KindRule& kind, int code, const char* text, uint8_t* out,
                   size_t outSize, std::string* message) {
    if (!DhcpMatchWhole(text, kind.pattern)) return Fail(message, LookLike(rule, kind, code));
    if (!encodeClasslessRoutes(static_cast<uint8_t>(code), text, out, outSize))
        return Fail(message, Invalid(rule, kind, code, "invalid IP address/es"));
    return 1;
}

int ValidateBootFile(const OptionRule&, const KindRule& kind, int, const char* text, uint8_t* out, size_t outSize,
                     std::string* message) {
    const char* format =
        "67-Format Error\nBootfile name option wrong "
        "format.\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>\n"
        "If arch_0 is not present Bootfile_0 is considered default. i.e.:\n67|Bootfile\n67|0?Bootfile\n"
        "67|pxenimbo.0|6?\\EFI\\x86\\bootmgfw.efi|9?\\EFI\\x64\\bootmgfw.efi\nSee RFC 4578 for Client System "
        "Architecture Type definitions\nBootfile_X length < 128\nTotal length < 255";
    if (!DhcpMatchWhole(text, kind.pattern) || std::strlen(std::strchr(text, '|') + 1) > 255)
        return Fail(message, format);
    if (outSize < sizeof(ArchBootTable)) return Fail(message, format);
    switch (parseArchFileList(text, reinterpret_cast<ArchBootTable*>(out))) {
        case 0: return 1;
        case 1:
            return Fail(message,
                        "67-Format Error\nBootfile name option parameter collision.\nSame architecture was "
                        "declared more than once\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
        case 2:
            return Fail(message,
                        "67-Format Error\nPlease verify Bootfile_X length < 128\n"
                        "67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
        default:
            return Fail(message, "67-Consistency Error\nDHCP Option 67 and Boot File parsed settings\ndo not match");
    }
}

#define ADDRESSES "#|192.168.20.20  or  #|192.168.20.20,192.168.20.25 ..."
constexpr KindRule kKindRules[] = {
    {K_PAD, ValidatePad, kPatCodeOnly, 0, 0, 0, "#|", nullptr},
    {K_TIME, ValidateNumber, kPatTimeOffset, -39600, 43200, 4, "#|X\t-39600 <= X <= 43200", nullptr},
    {K_ADDR_LIST, ValidateAddresses, kPatAddressList, 0, 0, 0, ADDRESSES, nullptr},
    {K_ADDR_OR_EMPTY, ValidateAddresses, kPatAddressList, 0, 0, 0, "#|  or  " ADDRESSES, nullptr},
    {K_ONE_ADDR, ValidateAddresses, kPatOneAddress, 0, 0, 0, "#|192.168.20.20", nullptr},
    {K_PAIRS, ValidateAddresses, kPatPairs, 0, 0, 0, "#|192.168.20.20,255.255.255.0, ...", nullptr},
    {K_FLAG, ValidateNumber, kPatByte, 0, 1, 1, "#|X\tX is 1 or 0", nullptr},
    {K_BYTE23, ValidateNumber, kPatByte, 2, 254, 1, "#|X\t1 < X < 255", nullptr},
    {K_BYTE37, ValidateNumber, kPatByte, 1, 255, 1, "#|X\t1 <= x <= 255", nullptr},
    {K_NODE, ValidateNumber, kPatByte, 1, 8, 1, "#|X\tX is 1,2,4 or 8", nullptr},
    {K_U16, ValidateNumber, kPat16, 0, 65535, 2, "#|X\t0 <= X <= 65535", nullptr},
    {K_U16_MTU, ValidateNumber, kPat16, 68, 65535, 2, "#|X\t68 <= X <= 65535", nullptr},
    {K_U32, ValidateNumber, kPat32, 0, 4294967295LL, 4, "#|X\t0 <= x <= 4294967295", nullptr},
    {K_MTU_LIST, ValidateNumberList, kPatMtuList, 68, 65535, 2, "#|X1,X2, ...\t68 <= Xn <= 65535", nullptr},
    {K_CODE_LIST, ValidateNumberList, kPatCodeList, 0, 254, 2, "#|0,6,41, ... (ordered list of DHCP name options)",
     "#|0,6,41, ...  (ordered list of DHCP name options)"},
    {K_TEXT, ValidateText, nullptr, 0, 0, 0, "#|text\t1 < text Length < 255", nullptr},
    {K_HEX, ValidateHex, kPatHex, 0, 0, 0, "#|0x010203abcdef ...", nullptr},
    {K_HEX16, ValidateHex, kPatHex, 16, 0, 0, "#|0x010203abcdef ...\nOption payload min length=16", nullptr},
    {K_HEX_OR_TEXT, ValidateHexOrText, nullptr, 0, 0, 0, nullptr, nullptr},
    {K_ROUTES, ValidateRoutes, kPatRoutes, 0, 0, 0,
     "#|<-subnet1->,<-mask1->,<-router1->, ...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ...", nullptr},
    {K_BOOT, ValidateBootFile, kPatOption67, 0, 0, 0, nullptr, nullptr},
    {K_REFUSED, ValidateRefused, nullptr, 0, 0, 0, nullptr, nullptr},
};
#undef ADDRESSES

const KindRule& KindRuleOf(Kind k) {
    for (const auto& r : kKindRules)
        if (r.kind == k) return r;
    return kKindRules[0];  // every kind has a row (checked below)
}

constexpr bool EveryKindHasARow() {
    for (int k = 0; k <= K_REFUSED; ++k) {
        bool found = false;
        for (const auto& r : kKindRules) found = found || r.kind == k;
        if (!found) return false;
    }
    return true;
}
static_assert(EveryKindHasARow());

constexpr bool RulesInCodeOrder() {
    for (size_t i = 1; i < std::size(kOptionRules); ++i)
        if (kOptionRules[i].code <= kOptionRules[i - 1].code) return false;
    return true;
}
static_assert(RulesInCodeOrder());

}  // namespace

int encodeHexOption(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    const char* p = std::strstr(text, "|0x");
    if (!p || outSize < 2) return 0;
    p += 3;
    size_t n = std::strlen(p);
    if (n == 0 || n % 2 || n / 2 > 255 || n / 2 > outSize - 2) return 0;
    for (size_t i = 0; i < n / 2; ++i) {
        char hex[3] = {p[2 * i], p[2 * i + 1], 0};
        char* end;
        unsigned long v = std::strtoul(hex, &end, 16);
        if (*end) return 0;
        out[2 + i] = static_cast<uint8_t>(v);
    }
    out[0] = code;
    out[1] = static_cast<uint8_t>(n / 2);
    return 1;
}

int encodeOptionCodeList(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    return EncodeNumberList(code, text, 0, 254, out, outSize);
}

int encodeMtuPlateauList(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    return EncodeNumberList(code, text, 68, 65535, out, outSize);
}

int encodeClasslessRoutes(uint8_t code, const char* text, uint8_t* out, size_t outSize) {
    const char* p = std::strchr(text, '|');
    if (!p || outSize < 2) return 0;
    ++p;
    uint32_t vals[3];
    size_t len = 0;
    while (true) {
        for (int i = 0; i < 3; ++i) {
            const char* comma = std::strchr(p, ',');
            size_t n = comma ? static_cast<size_t>(comma - p) : std::strlen(p);
            if (!parseDottedAddress(p, n, &vals[i])) return 0;
            if (i < 2 && !comma) return 0;
            p = comma ? comma + 1 : p + n;
        }
        int width = __builtin_popcount(vals[1]);
        size_t octets = (static_cast<size_t>(width) + 7) / 8;
        size_t add = 1 + octets + 4;
        if (len + add > 255 || len + add > outSize - 2) return 0;
        uint8_t* w = out + 2 + len;
        w[0] = static_cast<uint8_t>(width);
        std::memcpy(w + 1, &vals[0], octets);
        std::memcpy(w + 1 + octets, &vals[2], 4);
        len += add;
        if (*p == 0) break;
        if (p[-1] != ',') return 0;
    }
    out[0] = code;
    out[1] = static_cast<uint8_t>(len);
    return 1;
}
int parseDhcpOption(const char* text, uint8_t* out, size_t outSize, std::string* message) {
    int digits = 0;
    int c = 0;
    while (digits < 3 && text[digits] >= '0' && text[digits] <= '9') c = c * 10 + (text[digits++] - '0');
    if (digits == 0 || text[digits] != '|' || c > 255) return Fail(message, kMsgGeneric);
    const OptionRule& rule = RuleOf(c);
    const KindRule& kind = KindRuleOf(rule.kind);
    return kind.validate(rule, kind, c, text, out, outSize, message);
}
