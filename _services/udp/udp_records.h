// Wire and notice records of the DNS forwarder, the SNTP server and the SYSLOG collector.
// Multi-byte wire fields are big-endian; the notice records are text.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint16_t kDnsPort = 53;
constexpr uint16_t kSntpPort = 123;
constexpr uint16_t kSyslogPort = 514;

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
    uint16_t namePointer;  // 0xC00C
    uint16_t type;         // 1 (A)
    uint16_t klass;        // 1 (IN)
    uint32_t ttl;          // seconds
    uint16_t rdlength;     // 4
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

static_assert(sizeof(DnsHeader) == 12);
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
static_assert(offsetof(NtpPacket, rootDelay) == 4);
static_assert(offsetof(NtpPacket, referenceId) == 12);
static_assert(offsetof(NtpPacket, reference) == 16);
static_assert(offsetof(NtpPacket, originate) == 24);
static_assert(offsetof(NtpPacket, receive) == 32);
static_assert(offsetof(NtpPacket, transmit) == 40);
static_assert(offsetof(SyslogRow, message) == 16);
static_assert(sizeof(SyslogRow) == 16 + kSyslogMessageMax + 1);
