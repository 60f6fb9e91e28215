// DNS forwarder: answers a standard query for one name with one IPv4 address from the host's
// resolver, preferring an address in the client's subnet.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "_services/udp/udp_records.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/sockets.h"

class PeerLogGate;

constexpr size_t kDnsDatagramMax = 1024;  // largest query read
constexpr size_t kDnsQuestionMax = 1030;  // bytes after the header
constexpr size_t kDnsNameMax = 1023;      // wire name up to its zero byte
constexpr size_t kDnsReplyMax = kDnsDatagramMax + sizeof(DnsAnswerRecord);
constexpr uint32_t kDnsAnswerTtl = 300;

// Header flag bits.
enum : uint16_t {
    DNS_QR = 0x8000,
    DNS_OPCODE = 0x7800,
    DNS_AA = 0x0400,
    DNS_TC = 0x0200,
    DNS_RD = 0x0100,
    DNS_RA = 0x0080,
    DNS_Z = 0x0040,
    DNS_AD = 0x0020,
    DNS_CD = 0x0010,
    DNS_RCODE = 0x000F,
};
constexpr uint16_t kDnsRcodeNotImplemented = 4;

struct DnsQuestion {
    std::string name;  // labels joined with '.', bytes as received
    uint16_t qtype = 0;
    uint16_t qclass = 0;
};

// What a query needs from the host: its interfaces (address and mask), the resolver and
// the GUI notice. The thread fills it with the real ones; tests with their own.
struct DnsEnvironment {
    std::function<std::shared_ptr<const std::vector<InterfaceAddress>>()> interfaces;
    // IPv4 addresses (network order) of a name in the resolver's order; empty when none.
    std::function<std::vector<uint32_t>(const std::string& name)> resolve;
    std::function<void(const DnsEntryRecord&)> notify;
    // Bounds the answer lines and notices of one client address (none: every one is written).
    PeerLogGate* lines = nullptr;
};

// 1 with the question decoded from the bytes after the header, 0 when malformed.
int decodeDnsQuestion(DnsQuestion* question, const uint8_t* bytes, size_t length);
// (a AND mask) = (b AND mask), all in network order.
bool isSameSubnet(uint32_t a, uint32_t b, uint32_t mask);
// The client's interface: the first interface that is up and whose subnet holds the client.
// False when there is none.
bool findClientInterface(const std::vector<InterfaceAddress>& list, uint32_t client, InterfaceAddress* out);
// 1 with an address for the client (network order), 0 without. The name is resolved only
// for a client on one of the host's subnets.
int resolveForClient(const DnsQuestion& question, uint32_t* answer, uint32_t client, const DnsEnvironment& env);
// Builds the reply to a request whose question is valid: answer given, one A record; none,
// RCODE 4 and no record. Returns the reply length.
size_t buildDnsAnswer(const uint8_t* request, size_t length, const uint32_t* answer, uint8_t* reply);
// 1 when a reply is to be sent (written to reply, kDnsReplyMax bytes), 0 when the request is
// ignored. Logs and sends notice 112 for an answered query.
int processDnsRequest(const uint8_t* request, size_t length, uint8_t* reply, size_t* replyLength, uint32_t client,
                      const DnsEnvironment& env);
// The name as safe text: bytes below 0x20 and from 0x7F up become \DDD (decimal).
std::string EscapeDnsName(const std::string& name);
// The system resolver: getaddrinfo for IPv4 datagram addresses, in its order.
std::vector<uint32_t> ResolveIPv4(const std::string& name);

// Queries wait here between the receiving thread and the resolver workers. The system
// resolver may wait seconds for a name; so that names which make it wait cannot hold up the
// others, the queue is bounded in all and per client address, addresses take turns, one
// address has at most kDnsBusyPerAddress queries at the resolver at once, and a query that
// has waited longer than a client waits for its answer is dropped unanswered.
constexpr int kDnsWorkers = 8;
constexpr int kDnsBusyPerAddress = 4;
constexpr size_t kDnsWaitingMax = 512;
constexpr size_t kDnsWaitingPerAddress = 32;
constexpr int64_t kDnsStaleMs = 3000;

struct DnsPending {
    uint8_t bytes[kDnsDatagramMax];
    size_t length = 0;
    Datagram from;
    int64_t arrivedMs = 0;
};

class DnsQueue {
public:
    // False when the query is dropped: the queue or its address's share is full.
    bool Push(const DnsPending& query);
    // Takes the next query (in turn by address) that may go to the resolver now; stale ones
    // met on the way are dropped and counted in *stale. False when there is none.
    bool TryTake(DnsPending* out, int64_t nowMs, size_t* stale);
    // Same, waiting up to waitMs for one; false also once stopped.
    bool Take(DnsPending* out, int waitMs, size_t* stale);
    // The resolver is done with a query of that address (network order).
    void Done(uint32_t address);
    // Done, then the next query that may go to the resolver, under one lock: a busy worker goes
    // on without sleeping, and nobody is woken for a query it would take itself. False when
    // there is none (or the queue is stopped).
    bool Finish(uint32_t address, DnsPending* next, int64_t nowMs, size_t* stale);
    void Stop();
    size_t Waiting() const;
    size_t Addresses() const;
    bool Sleeping() const;  // a worker waits in Take

private:
    struct Share {
        std::deque<DnsPending> waiting;
        int busy = 0;
    };
    bool TakeLocked(DnsPending* out, int64_t nowMs, size_t* stale);
    // Gives back a resolver slot of the address; true when the address has queries waiting
    // for it.
    bool ReleaseLocked(uint32_t address);
    mutable std::mutex lock_;
    std::condition_variable ready_;
    std::unordered_map<uint32_t, Share> shares_;
    std::deque<uint32_t> turns_;  // addresses with waiting queries, in their order of turn
    size_t waiting_ = 0;
    int idle_ = 0;  // workers asleep in Take: a wake-up is sent only when one of them can take work
    bool stopped_ = false;
};

void dnsThread();
