// User-defined DHCP options: "code|payload" lines checked against the rules of their code
// and encoded as code, length, payload.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "dhcp_regex.h"
#include "dhcp_settings.h"

namespace {

#define DQ "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}"
const char* const kPatAddressList = "^\\d{1,3}\\|" DQ "(," DQ ")*";
const char* const kPatOneAddress = "^\\d{1,3}\\|" DQ;
const char* const kPatPairs = "^\\d{1,3}\\|" DQ "," DQ "(," DQ "," DQ ")*";
const char* const kPatCodeOnly = "^\\d{1,3}\\|";
const char* const kPatTimeOffset = "^\\d{1,3}\\|(-*)\\d{1,10}";
const char* const kPatByte = "^\\d{1,3}\\|\\d{1,3}";
const char* const kPat16 = "^\\d{1,3}\\|\\d{1,5}";
const char* const kPat32 = "^\\d{1,3}\\|\\d{1,10}";
const char* const kPatMtuList = "^\\d{1,3}\\|\\d{1,5}(,\\d{1,5})*";
const char* const kPatCodeList = "^\\d{1,3}\\|\\d{1,3}(,\\d{1,3})*";
const char* const kPatHex = "^\\d{1,3}\\|0x([\\da-fA-F][\\da-fA-F]){1,255}";
const char* const kPatHexStart = "^\\d{1,3}\\|0x";
const char* const kPatRoutes = "^\\d{1,3}\\|" DQ "," DQ "," DQ "(," DQ "," DQ "," DQ ")*";
#define ARCH_KEY "(\\d|0i|6i|7i|9i|a|b)"
#define PATH_CHARS "[^,<>;\"\\\\/\\|\\*\\? ]"
const char* const kPatOption67 =
    "^\\d{1,3}\\|(" ARCH_KEY "\\?){0,1}[\\\\/]{0,1}" PATH_CHARS "+([\\\\/]" PATH_CHARS "+)*(\\|" ARCH_KEY
    "\\?[\\\\/]{0,1}" PATH_CHARS "+([\\\\/]" PATH_CHARS "+)*)*$";

const char* const kMsgGeneric =
    "Format Error\nA DHCP Option must begin with its decimal code (0-255) immediately \n"
    "followed by the separator | and the option payload (w/o Length\nbyte). Option format depends on "
    "option's code.\ni.e.\t9|192.168.20.20\t9|192.168.20.20,192.168.20.25,...\n\t23|10\t\t18|/dhcp/moreoptions\n"
    "\t117|0,6,...\t99|0x1234567890abcdefABCDEF...\n\tetc.";

enum Kind {
    K_PAD, K_TIME, K_ADDR_LIST, K_ADDR_OR_EMPTY, K_ONE_ADDR, K_PAIRS, K_FLAG, K_BYTE23, K_BYTE37, K_NODE,
    K_U16, K_U16_MTU, K_U32, K_MTU_LIST, K_CODE_LIST, K_TEXT, K_HEX, K_HEX_OR_TEXT, K_ROUTES, K_BOOT, K_REFUSED,
};

Kind KindOf(int c) {
    switch (c) {
        case 0: return K_PAD;
        case 2: return K_TIME;
        case 4: case 5: case 7: case 8: case 9: case 10: case 11: case 41: case 42: case 44: case 45: case 48:
        case 49: case 65: case 69: case 70: case 71: case 72: case 73: case 74: case 75: case 76: case 85: case 89:
            return K_ADDR_LIST;
        case 68: return K_ADDR_OR_EMPTY;
        case 16: case 28: case 32: return K_ONE_ADDR;
        case 21: case 33: return K_PAIRS;
        case 19: case 20: case 27: case 29: case 30: case 31: case 34: case 36: case 39: case 116: return K_FLAG;
        case 23: return K_BYTE23;
        case 37: return K_BYTE37;
        case 46: return K_NODE;
        case 13: case 22: return K_U16;
        case 26: return K_U16_MTU;
        case 24: case 35: case 38: return K_U32;
        case 25: return K_MTU_LIST;
        case 117: return K_CODE_LIST;
        case 12: case 14: case 17: case 18: case 40: case 47: case 60: case 62: case 64: case 66: case 86: case 87:
        case 98: case 100: case 101: case 252:
            return K_TEXT;
        case 43: case 63: case 78: case 79: case 83: case 88: case 99: case 119: case 120: case 122: case 123:
            return K_HEX;
        case 121: case 249: return K_ROUTES;
        case 67: return K_BOOT;
        case 1: case 3: case 6: case 15: case 50: case 51: case 52: case 53: case 54: case 55: case 56: case 57:
        case 58: case 59: case 61: case 77: case 80: case 81: case 82: case 90: case 91: case 92: case 93: case 94:
        case 97: case 118: case 124: case 125: case 255:
            return K_REFUSED;
        default: return K_HEX_OR_TEXT;
    }
}

const char* OptionName(int c) {
    switch (c) {
        case 4: return "Time Server";
        case 5: return "Name Server";
        case 7: return "Log Server";
        case 8: return "Cookie Server";
        case 9: return "LPR Server";
        case 10: return "Impress Server";
        case 11: return "Resource Location Server";
        case 12: return "Host Name";
        case 13: return "Boot File Size";
        case 14: return "Host Name";
        case 16: return "Swap Server";
        case 17: return "Root Path";
        case 18: return "Extensions Path";
        case 19: return "IP Forwarding Enable/Disable";
        case 20: return "Non-Local Source Routing Enable/Disable";
        case 21: return "Policy Filter";
        case 22: return "Maximum Datagram Reassembly Size";
        case 23: return "Default IP Time-to-live";
        case 24: return "Path MTU Aging Timeout";
        case 25: return "Path MTU Plateau Table";
        case 26: return "Interface MTU";
        case 27: return "All Subnets are Local";
        case 28: return "Broadcast Address";
        case 29: return "Perform Mask Discovery";
        case 30: return "Mask Supplier";
        case 31: return "Perform Router Discovery";
        case 32: return "Router Solicitation Address";
        case 33: return "Static Route";
        case 34: return "Trailer Encapsulation";
        case 35: return "ARP Cache Timeout Option";
        case 36: return "Ethernet Encapsulation";
        case 37: return "TCP Default TTL";
        case 38: return "TCP Keepalive Interval Option";
        case 39: return "TCP Keepalive Garbage";
        case 40: return "Network Information Service Domain";
        case 41: return "Network Information Server";
        case 42: return "Network Time Protocol Server";
        case 43: return "Vendor-specific information";
        case 44: return "NetBIOS over TCP/IP Name Server";
        case 45: return "NetBIOS over TCP/IP Datagram Distribution Server";
        case 46: return "NetBIOS over TCP/IP Node Type";
        case 47: return "NetBIOS over TCP/IP Scope";
        case 48: return "X Window System Font Server";
        case 49: return "X Window System Display Manager";
        case 60: return "Vendor class identifier";
        case 62: return "NetWare/IP Domain Name";
        case 63: return "NetWare/IP Information";
        case 64: return "NetWare/IP Domain Name";
        case 65: return "Network Information Service+ Servers";
        case 66: return "TFTP server name";
        case 68: return "Mobile IP Home Agent";
        case 69: return "Simple Mail Transport Protocol (SMTP) Server";
        case 70: return "Post Office Protocol (POP3) Server";
        case 71: return "Network News Transport Protocol (NNTP) Server";
        case 72: return "Default World Wide Web (WWW) Server";
        case 73: return "Default Finger Server";
        case 74: return "Default Internet Relay Chat (IRC) Server";
        case 75: return "StreetTalk Server";
        case 76: return "StreetTalk Directory Assistance (STDA) Server";
        case 78: return "SLP Directory Agent";
        case 79: return "SLP Service Scope";
        case 83: return "iSNS";
        case 85: return "NDS Servers";
        case 86: return "NDS Tree Name";
        case 87: return "NDS Context";
        case 88: return "Multicast Service Controller Domain Name\nlist";
        case 89: return "BCMCS Control Server Domain Name List";
        case 98: return "User Authentication Protocol";
        case 99: return "DHCP Civic Location";
        case 116: return "Auto-Configure";
        case 119: return "Domain Search";
        case 120: return "SIP Server DHCP";
        case 121: return "Classless Route";
        case 122: return "CableLabs Client Configuration";
        case 123: return "Coordinate LCI";
        default: return "";
    }
}

const char* RefusedMessage(int c) {
    switch (c) {
        case 1: return "1-Option Error\nSubnet Mask option should be defined above on its own field";
        case 3: return "3-Option Error\nRouter Option should be defined above on its own field";
        case 6: return "6-Option Error\nDomain Name Server Option should be defined above on its own field";
        case 15: return "15-Option Error\nDomain Name option should be defined above on its own field";
        case 50: return "50-Option Error\nRequested IP Address is a client-only option";
        case 51: return "51-Option Error\nIP Address Lease Time is a server-handled option";
        case 52: return "52-Option Error\nOption Overload is not implemented";
        case 53: return "53-Option Error\nDHCP Message Type is a server-handled option";
        case 54: return "54-Option Error\nServer Identifier is a server-handled option";
        case 55: return "55-Option Error\nParameter Request List is a client-only option";
        case 56: return "56-Option Error\nMessage is a server-handled option";
        case 57: return "57-Option Error\nMaximum DHCP Message Size is a client-only option";
        case 58: return "58-Option Error\nRenewal (T1) Time Value is a server-handled option";
        case 59: return "59-Option Error\nRebinding (T2) Time Value is a server-handled option";
        case 61: return "61-Option Error\nClient-identifier is a client-only option";
        case 77: return "77-Option Error\nUser Class is a client-only option";
        case 80: return "80-Option Error\nRapid Commit is a server-handled/not implemented option";
        case 81: return "81-Option Error\nDHCP Client FQDN is a client-only option";
        case 82: return "82-Option Error\nRelay Agent Information is a relay-handled option";
        case 90: return "90-Option Error\nAuthentication Option is not implemented";
        case 91: return "91-Option Error\nClient-last-transaction-time is a server-handled/not implemented option";
        case 92: return "92-Option Error\nAssociated-ip is a server-handled/not implemented option";
        case 93: return "93-Option Error\nClient System Architecture Type is a client-only option";
        case 94: return "94-Option Error\nClient Network Interface Identifier is a client-only option";
        case 97: return "97-Option Error\nClient Machine Identifier is a client-only option";
        case 118: return "118-Option Error\nSubnet Selection is a client-only option";
        case 124: return "124-Option Error\nV-I Vendor Class is a client-only option";
        case 125: return "125-Option Error\nV-I Vendor-specific Information is a client-only option";
        default: return "255-Option Error\nEND is a server-handled option";
    }
}

std::string AddressExample(int c, Kind k) {
    std::string n = std::to_string(c);
    switch (c) {
        case 16: return "16|192.168.20.20";
        case 28: return "28|192.168.20.255";
        case 32: return "32|192.168.20.20";
        case 21: return "21|192.168.20.20,255.255.255.0, ...";
        case 33: return "33|192.168.20.20,10.0.0.1, ...";
    }
    std::string e = n + "|192.168.20.20  or  " + n + "|192.168.20.20,192.168.20.25 ...";
    if (k == K_ADDR_OR_EMPTY) e = "68|  or  " + e;
    return e;
}

// "84", "95-96", ... the range a hexadecimal-or-text code belongs to, its first code and word.
void HexTextRange(int c, std::string* range, int* first, const char** word) {
    static const int ranges[][2] = {{84, 84}, {95, 96}, {102, 115}, {126, 127}, {128, 135},
                                    {136, 248}, {250, 251}, {253, 254}};
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
    const char* payload = text + digits + 1;
    const uint8_t code = static_cast<uint8_t>(c);
    const std::string n = std::to_string(c);
    const Kind kind = KindOf(c);
    const std::string head = n + "-Format Error\n" + OptionName(c);

    switch (kind) {
        case K_PAD:
            if (!DhcpMatchWhole(text, kPatCodeOnly) || outSize < 4)
                return Fail(message, "0-Format Error\nPad option should look like:\n0|");
            out[0] = 0; out[1] = 0; out[2] = 0xFF; out[3] = 0xFF;
            return 1;
        case K_REFUSED:
            return Fail(message, RefusedMessage(c));
        case K_ADDR_LIST:
        case K_ADDR_OR_EMPTY:
        case K_ONE_ADDR:
        case K_PAIRS: {
            const std::string ex = AddressExample(c, kind);
            if (kind == K_ADDR_OR_EMPTY && *payload == 0) {
                if (outSize < 2) return 0;
                out[0] = code;
                out[1] = 0;
                return 1;
            }
            const char* pat = kind == K_ONE_ADDR ? kPatOneAddress : kind == K_PAIRS ? kPatPairs : kPatAddressList;
            if (!DhcpMatchWhole(text, pat)) return Fail(message, head + " option should look like:\n" + ex);
            if (!encodeAddressList(code, text, out, outSize))
                return Fail(message, head + " option invalid IP address/es\nSee example:\n" + ex);
            return 1;
        }
        case K_FLAG: {
            const std::string msg = head + " option should look like:\n" + n + "|X\tX is 1 or 0";
            if (!DhcpMatchWhole(text, kPatByte)) return Fail(message, msg);
            unsigned long v = std::strtoul(payload, nullptr, 10);
            if (v > 1 || !PutNumber(code, v, 1, out, outSize)) return Fail(message, msg);
            return 1;
        }
        case K_TIME:
        case K_BYTE23:
        case K_BYTE37:
        case K_NODE:
        case K_U16:
        case K_U16_MTU:
        case K_U32: {
            const char* range = "";
            const char* pat = kPatByte;
            long long lo = 0, hi = 0;
            int bytes = 1;
            switch (kind) {
                case K_TIME: range = "-39600 <= X <= 43200"; pat = kPatTimeOffset; lo = -39600; hi = 43200; bytes = 4; break;
                case K_BYTE23: range = "1 < X < 255"; lo = 2; hi = 254; break;
                case K_BYTE37: range = "1 <= x <= 255"; lo = 1; hi = 255; break;
                case K_NODE: range = "X is 1,2,4 or 8"; lo = 1; hi = 8; break;
                case K_U16: range = "0 <= X <= 65535"; pat = kPat16; lo = 0; hi = 65535; bytes = 2; break;
                case K_U16_MTU: range = "68 <= X <= 65535"; pat = kPat16; lo = 68; hi = 65535; bytes = 2; break;
                default:
                    range = c == 24 ? "0 <= X <= 4294967295" : "0 <= x <= 4294967295";
                    pat = kPat32; lo = 0; hi = 4294967295LL; bytes = 4; break;
            }
            const std::string msg = head + " option should look like:\n" + n + "|X\t" + range;
            if (!DhcpMatchWhole(text, pat)) return Fail(message, msg);
            long long v = std::strtoll(payload, nullptr, 10);
            if (v < lo || v > hi) return Fail(message, msg);
            if (kind == K_NODE && v != 1 && v != 2 && v != 4 && v != 8) return Fail(message, msg);
            if (!PutNumber(code, static_cast<uint64_t>(v), bytes, out, outSize)) return Fail(message, msg);
            return 1;
        }
        case K_MTU_LIST:
            if (!DhcpMatchWhole(text, kPatMtuList))
                return Fail(message, "25-Format Error\nPath MTU Plateau Table option should look like:\n25|X1,X2, ...\t68 <= Xn <= 65535");
            if (!encodeMtuPlateauList(code, text, out, outSize))
                return Fail(message, "25-Format Error\nPath MTU Plateau Table option invalid parameter/es\nSee example:\n25|X1,X2, ...\t68 <= Xn <= 65535");
            return 1;
        case K_CODE_LIST:
            if (!DhcpMatchWhole(text, kPatCodeList))
                return Fail(message, "117-Format Error\nName Service Search option should look like:\n117|0,6,41, ... (ordered list of DHCP name options)");
            if (!encodeOptionCodeList(code, text, out, outSize))
                return Fail(message, "117-Format Error\nName Service Search option invalid parameter/es\nSee example:\n117|0,6,41, ...  (ordered list of DHCP name options)");
            return 1;
        case K_TEXT:
            if (!EncodeText(code, payload, out, outSize)) {
                if (c == 252)
                    return Fail(message, "252-Format Error\nProxy Autodiscovery invalid\nSee example:\n252|text\t1 < text Length < 255");
                if (c == 100 || c == 101)
                    return Fail(message, n + "-Format Error\nTimezone option for DHCPv4 invalid\nSee example:\n" + n +
                                             "|text\t1 < text Length < 255");
                return Fail(message, head + " option invalid\nSee example:\n" + n + "|text\t1 < text Length < 255");
            }
            return 1;
        case K_HEX: {
            const std::string msg = c == 123
                ? "123-Format Error\nCoordinate LCI option should look like:\n123|0x010203abcdef ...\nOption payload min length=16"
                : head + " option should look like:\n" + n + "|0x010203abcdef ...";
            if (!DhcpMatchWhole(text, kPatHex) || !encodeHexOption(code, text, out, outSize)) return Fail(message, msg);
            if (c == 123 && out[1] < 16)
                return Fail(message, "123-Format Error\nCoordinate LCI option too short\nOption payload min length=16");
            return 1;
        }
        case K_HEX_OR_TEXT: {
            std::string range;
            int first = c;
            const char* word = "";
            HexTextRange(c, &range, &first, &word);
            const std::string f = std::to_string(first);
            const std::string lead = range + " Format Error\n" + word;
            if (DhcpSearch(text, kPatHexStart)) {
                if (!DhcpMatchWhole(text, kPatHex) || !encodeHexOption(code, text, out, outSize))
                    return Fail(message, lead + " option HEX input should look like:\n" + f + "|0x010203abcdef ...");
                return 1;
            }
            if (!EncodeText(code, payload, out, outSize))
                return Fail(message, lead + " options only support HEX or uninterpreted ASCII input\nSee examples:\n" + f +
                                         "|text\t1 < text Length < 255\n" + f + "|0x010203abcdef ...");
            return 1;
        }
        case K_ROUTES: {
            const bool ms = c == 249;
            const std::string name = ms ? "249-Format Error\nClassless Route option (MS)" : "121-Format Error\nClassless Route option";
            const std::string tail = std::string(ms ? "249" : "121") +
                                     "|<-subnet1->,<-mask1->,<-router1->, ...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ...";
            if (!DhcpMatchWhole(text, kPatRoutes)) return Fail(message, name + " should look like:\n" + tail);
            if (!encodeClasslessRoutes(code, text, out, outSize))
                return Fail(message, name + " invalid IP address/es\nSee example:\n" + tail);
            return 1;
        }
        case K_BOOT: {
            const char* format =
                "67-Format Error\nBootfile name option wrong format.\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>\n"
                "If arch_0 is not present Bootfile_0 is considered default. i.e.:\n67|Bootfile\n67|0?Bootfile\n"
                "67|pxenimbo.0|6?\\EFI\\x86\\bootmgfw.efi|9?\\EFI\\x64\\bootmgfw.efi\nSee RFC 4578 for Client System "
                "Architecture Type definitions\nBootfile_X length < 128\nTotal length < 255";
            if (!DhcpMatchWhole(text, kPatOption67) || std::strlen(payload) > 255) return Fail(message, format);
            if (outSize < sizeof(ArchBootTable)) return Fail(message, format);
            switch (parseArchFileList(text, reinterpret_cast<ArchBootTable*>(out))) {
                case 0: return 1;
                case 1:
                    return Fail(message, "67-Format Error\nBootfile name option parameter collision.\nSame architecture was "
                                         "declared more than once\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
                case 2:
                    return Fail(message, "67-Format Error\nPlease verify Bootfile_X length < 128\n"
                                         "67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
                default:
                    return Fail(message, "67-Consistency Error\nDHCP Option 67 and Boot File parsed settings\ndo not match");
            }
        }
    }
    return Fail(message, kMsgGeneric);
}
