#include "_services/udp/dns_forwarder.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "libs/log/log.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "_services/udp/udp_receive.h"

namespace {
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
}  // namespace

std::string EscapeDnsName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (unsigned char c : name) {
        if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\%03u", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int decodeDnsQuestion(DnsQuestion* question, const uint8_t* bytes, size_t length) {
    if (length == 0 || length > kDnsQuestionMax) return 0;
    const void* zero = memchr(bytes, 0, length);
    if (!zero) return 0;
    size_t nameLength = static_cast<size_t>(static_cast<const uint8_t*>(zero) - bytes);
    if (nameLength > kDnsNameMax || length != nameLength + 1 + 4) return 0;
    std::string name;
    size_t i = 0;
    while (i < nameLength) {
        size_t label = bytes[i];
        if (i + 1 + label > nameLength) return 0;  // the walk must end on the zero byte
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(bytes + i + 1), label);
        i += 1 + label;
    }
    question->name = std::move(name);
    question->qtype = Get16(bytes + nameLength + 1);
    question->qclass = Get16(bytes + nameLength + 3);
    return 1;
}

bool isSameSubnet(uint32_t a, uint32_t b, uint32_t mask) { return (a & mask) == (b & mask); }

bool findClientInterface(const std::vector<InterfaceAddress>& list, uint32_t client, InterfaceAddress* out) {
    for (const auto& i : list) {
        if (i.up && isSameSubnet(client, i.addr.s_addr, i.mask.s_addr)) {
            *out = i;
            return true;
        }
    }
    return false;
}

int resolveForClient(const DnsQuestion& question, uint32_t* answer, uint32_t client, const DnsEnvironment& env) {
    // A client on none of our subnets gets no lookup at all: this is no open resolver, and a
    // slow name cannot hold up the clients we serve.
    InterfaceAddress facing;
    if (!findClientInterface(env.interfaces(), client, &facing)) return 0;
    std::vector<uint32_t> addresses = env.resolve(question.name);
    if (addresses.empty()) return 0;
    *answer = addresses.front();
    for (uint32_t a : addresses)
        if (isSameSubnet(a, client, facing.mask.s_addr)) *answer = a;
    return 1;
}

size_t buildDnsAnswer(const uint8_t* request, size_t length, const uint32_t* answer, uint8_t* reply) {
    memcpy(reply, request, length);
    uint16_t flags = Get16(reply + 2);
    flags = static_cast<uint16_t>(flags & ~(DNS_AA | DNS_TC | DNS_Z | DNS_AD | DNS_RCODE));
    flags |= DNS_QR | DNS_RA;
    if (!answer) flags |= kDnsRcodeNotImplemented;
    Put16(reply + 2, flags);
    Put16(reply + 6, answer ? 1 : 0);  // ANCOUNT
    Put16(reply + 8, 0);               // NSCOUNT: the reply carries no authority records
    Put16(reply + 10, 0);              // ARCOUNT: nor additional ones
    if (!answer) return length;
    DnsAnswerRecord rec;
    rec.namePointer = htons(0xC00C);
    rec.type = htons(1);
    rec.klass = htons(1);
    rec.ttl = htonl(kDnsAnswerTtl);
    rec.rdlength = htons(4);
    rec.address = *answer;
    memcpy(reply + length, &rec, sizeof rec);
    return length + sizeof rec;
}

int processDnsRequest(const uint8_t* request, size_t length, uint8_t* reply, size_t* replyLength, uint32_t client,
                      const DnsEnvironment& env) {
    if (length < sizeof(DnsHeader) || length > kDnsDatagramMax) return 0;
    uint16_t flags = Get16(request + 2);
    // A response is never answered: two forwarders would otherwise answer each other for ever.
    if (flags & DNS_QR) return 0;
    if ((flags & DNS_OPCODE) != 0 || Get16(request + 4) != 1) {
        LogLine(LOG_DNS, 5, "DNS  Warn: Complex request ignored");
        return 0;
    }
    DnsQuestion q;
    if (!decodeDnsQuestion(&q, request + sizeof(DnsHeader), length - sizeof(DnsHeader))) return 0;
    if ((q.qtype != 1 && q.qtype != 2 && q.qtype != 5) || q.qclass != 1) return 0;
    uint32_t address = 0;
    bool found = resolveForClient(q, &address, client, env) == 1;
    *replyLength = buildDnsAnswer(request, length, found ? &address : nullptr, reply);
    if (found) {
        DnsEntryRecord rec{};
        std::string shown = EscapeDnsName(q.name);
        std::string text = IPv4Text(address);
        LogLine(LOG_DNS, 0, "DNS  Inf: Answered [%s] = [%s]", shown.c_str(), text.c_str());
        snprintf(rec.name, sizeof rec.name, "%s", shown.c_str());
        snprintf(rec.address, sizeof rec.address, "%s", text.c_str());
        if (env.notify) env.notify(rec);
    }
    return 1;
}

std::vector<uint32_t> ResolveIPv4(const std::string& name) {
    std::vector<uint32_t> out;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        DebugTrace("DNS  Inf: no address for [%s]: %s\n", EscapeDnsName(name).c_str(), gai_strerror(rc));
        return out;
    }
    for (addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET && a->ai_addr)
            out.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(list);
    return out;
}

void dnsThread() {
    static const char kSocketError[] = "DNS  Err: %d during socket operation\n";
    ThreadSlot& slot = ThreadSlots[TH_DNS];
    DnsEnvironment env;
    env.interfaces = ListInterfaceAddresses;
    env.resolve = ResolveIPv4;
    env.notify = [](const DnsEntryRecord& rec) { ToConsole(NOTICE_DNS_ENTRY, &rec, sizeof rec, false); };
    uint8_t request[kDnsDatagramMax];
    uint8_t reply[kDnsReplyMax];
    while (slot.running) {
        Datagram info;
        ssize_t n = ReceiveServiceDatagram(TH_DNS, request, sizeof request, &info, kSocketError);
        if (n == 0 || info.truncated) continue;  // a longer datagram is no query we answer
        size_t replyLength = 0;
        if (!processDnsRequest(request, static_cast<size_t>(n), reply, &replyLength, info.peer.sin_addr.s_addr, env))
            continue;
        ssize_t sent = ReplyToSender(slot.socket, reply, replyLength, info);
        if (sent < 0) PauseAfterSocketError(TH_DNS, kSocketError, errno);
        else DebugTrace("DNS  Inf: sent %d of %d bytes\n", static_cast<int>(replyLength), static_cast<int>(sent));
    }
    DebugTrace("Thread Inf: DNS thread ends here\n");
}
