// Wire and notice records of the DNS forwarder, the SNTP server and the SYSLOG collector.
// Multi-byte wire fields are big-endian; the notice records are text.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint16_t kDnsPort = 53;
constexpr uint16_t kSntpPort = 123;
constexpr uint16_t kSyslogPort = 514;

// DNS record types and classes (RFC 1035 3.2.2, 3.2.4).
constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeNs = 2;
constexpr uint16_t kDnsTypeCname = 5;
constexpr uint16_t kDnsClassIn = 1;
// A compressed name (RFC 1035 4.1.4): the two top bits set, then the offset of the name in the
// message. The question's name starts right after the 12-byte header.
constexpr uint16_t kDnsNamePointer = 0xC000;
constexpr uint16_t kDnsQuestionNamePointer = kDnsNamePointer | 12;

// The first byte of an NTP packet (RFC 4330 4): leap indicator (2 bits), version (3 bits),
// mode (3 bits).
constexpr uint8_t kNtpLeapNoWarning = 0;
constexpr uint8_t kNtpModeClient = 3;
constexpr uint8_t kNtpModeServer = 4;
constexpr uint8_t kNtpVersion3 = 3;
constexpr uint8_t NtpLeap(uint8_t livnmode) { return livnmode >> 6; }
constexpr uint8_t NtpVersion(uint8_t livnmode) { return (livnmode >> 3) & 7; }
constexpr uint8_t NtpMode(uint8_t livnmode) { return livnmode & 7; }
constexpr uint8_t NtpLivnmode(uint8_t leap, uint8_t version, uint8_t mode) {
    return static_cast<uint8_t>(leap << 6 | (version & 7) << 3 | (mode & 7));
}

// clang-format off
#pragma pack(push, 1)

// DNS message header (RFC 1035 4.1.1).
struct DnsHeader {
    uint16_t id;
    uint16_t flags;    // QR, Opcode, AA, TC, RD, RA, Z, AD, CD, RCODE
    uint16_t qdcount;
    uint16_t ancount;
    uint16_t nscount;
    uint16_t arcount;
};

// The one answer record appended after the question: a pointer to the question's name and
// an IPv4 address.
struct DnsAnswerRecord {
    uint16_t namePointer;  // kDnsQuestionNamePointer
    uint16_t type;         // kDnsTypeA
    uint16_t klass;        // kDnsClassIn
    uint32_t ttl;          // seconds
    uint16_t rdlength;     // 4: the address
    uint32_t address;      // network order
};

// Payload of notice 112: one answered query.
struct DnsEntryRecord {
    char name[1025];    // host name asked for, dotted text
    char address[16];   // the IPv4 address answered, dotted text
    char ipv6[48];      // always empty
};

struct NtpTimestamp {
    uint32_t seconds;   // since 1900
    uint32_t fraction;  // 1/2^32 s
};

// NTP/SNTP packet (RFC 4330), 48 bytes.
struct NtpPacket {
    uint8_t      livnmode;  // LI (2 bits), VN (3 bits), Mode (3 bits)
    uint8_t      stratum;
    int8_t       poll;
    int8_t       precision;
    uint32_t     rootDelay;
    uint32_t     rootDispersion;
    uint32_t     referenceId;
    NtpTimestamp reference;
    NtpTimestamp originate;
    NtpTimestamp receive;
    NtpTimestamp transmit;
};

// Payload of notice 107: sender and message; the notice carries 16 + length + 1 bytes.
constexpr size_t kSyslogMessageMax = 1024;
struct SyslogRow {
    char sender[16];                         // dotted IPv4 text
    char message[kSyslogMessageMax + 1];     // as received after the character rule, NUL-terminated
};

#pragma pack(pop)
// clang-format on

static_assert(sizeof(DnsHeader) == 12);
static_assert(kDnsQuestionNamePointer == (kDnsNamePointer | sizeof(DnsHeader)));
static_assert(offsetof(DnsHeader, qdcount) == 4);
static_assert(offsetof(DnsHeader, arcount) == 10);
static_assert(sizeof(DnsAnswerRecord) == 16);
static_assert(offsetof(DnsAnswerRecord, ttl) == 6);
static_assert(offsetof(DnsAnswerRecord, rdlength) == 10);
static_assert(offsetof(DnsAnswerRecord, address) == 12);
static_assert(sizeof(DnsEntryRecord) == 1089);
static_assert(offsetof(DnsEntryRecord, address) == 1025);
static_assert(offsetof(DnsEntryRecord, ipv6) == 1041);
static_assert(sizeof(NtpTimestamp) == 8);
static_assert(sizeof(NtpPacket) == 48);
static_assert(NtpLivnmode(kNtpLeapNoWarning, kNtpVersion3, kNtpModeServer) == 0x1C);
static_assert(NtpMode(0x1B) == kNtpModeClient && NtpVersion(0x1B) == kNtpVersion3 && NtpLeap(0xDB) == 3);
static_assert(offsetof(NtpPacket, rootDelay) == 4);
static_assert(offsetof(NtpPacket, referenceId) == 12);
static_assert(offsetof(NtpPacket, reference) == 16);
static_assert(offsetof(NtpPacket, originate) == 24);
static_assert(offsetof(NtpPacket, receive) == 32);
static_assert(offsetof(NtpPacket, transmit) == 40);
static_assert(offsetof(SyslogRow, message) == 16);
static_assert(sizeof(SyslogRow) == 16 + kSyslogMessageMax + 1);
