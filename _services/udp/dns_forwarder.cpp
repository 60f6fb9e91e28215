#include "_services/udp/dns_forwarder.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "_services/host_info.h"
#include "_services/peer_log.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "_services/udp/udp_receive.h"
#include "libs/log/log.h"
#include "libs/platform/clock.h"

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
    const auto interfaces = env.interfaces ? env.interfaces() : nullptr;
    if (!interfaces || !findClientInterface(*interfaces, client, &facing)) return 0;
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
    rec.namePointer = htons(kDnsQuestionNamePointer);
    rec.type = htons(kDnsTypeA);
    rec.klass = htons(kDnsClassIn);
    rec.ttl = htonl(kDnsAnswerTtl);
    rec.rdlength = htons(sizeof rec.address);
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
    if ((q.qtype != kDnsTypeA && q.qtype != kDnsTypeNs && q.qtype != kDnsTypeCname) || q.qclass != kDnsClassIn)
        return 0;
    uint32_t address = 0;
    bool found = resolveForClient(q, &address, client, env) == 1;
    *replyLength = buildDnsAnswer(request, length, found ? &address : nullptr, reply);
    if (found && (!env.lines || env.lines->Allow(client))) {
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
    if (getaddrinfo(name.c_str(), nullptr, &hints, &list) != 0) return out;
    for (addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET && a->ai_addr)
            out.push_back(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(list);
    return out;
}

bool DnsQueue::Push(const DnsPending& query) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopped_ || waiting_ >= kDnsWaitingMax) return false;
        const uint32_t address = query.from.peer.sin_addr.s_addr;
        Share& share = shares_[address];
        if (share.waiting.size() >= kDnsWaitingPerAddress) return false;
        if (share.waiting.empty()) turns_.push_back(address);
        share.waiting.push_back(query);
        ++waiting_;
        // A query its address may not yet send to the resolver is taken by the worker that
        // gives back one of the address's slots; busy workers find the others when they finish.
        wake = idle_ > 0 && share.busy < kDnsBusyPerAddress;
    }
    if (wake) ready_.notify_one();
    return true;
}

bool DnsQueue::TakeLocked(DnsPending* out, int64_t nowMs, size_t* stale) {
    for (size_t n = turns_.size(); n > 0; --n) {
        const uint32_t address = turns_.front();
        turns_.pop_front();
        auto it = shares_.find(address);
        Share& share = it->second;
        while (!share.waiting.empty() && nowMs - share.waiting.front().arrivedMs > kDnsStaleMs) {
            share.waiting.pop_front();
            --waiting_;
            ++*stale;
        }
        if (share.waiting.empty()) {
            if (share.busy == 0) shares_.erase(it);
            continue;
        }
        turns_.push_back(address);
        if (share.busy >= kDnsBusyPerAddress) continue;
        *out = share.waiting.front();
        share.waiting.pop_front();
        --waiting_;
        ++share.busy;
        if (share.waiting.empty()) turns_.pop_back();
        return true;
    }
    return false;
}

bool DnsQueue::TryTake(DnsPending* out, int64_t nowMs, size_t* stale) {
    std::lock_guard<std::mutex> guard(lock_);
    return !stopped_ && TakeLocked(out, nowMs, stale);
}

bool DnsQueue::Take(DnsPending* out, int waitMs, size_t* stale) {
    std::unique_lock<std::mutex> guard(lock_);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (stopped_) return false;
        if (TakeLocked(out, MonotonicMs(), stale)) return true;
        ++idle_;
        const std::cv_status status = ready_.wait_until(guard, until);
        --idle_;
        if (status == std::cv_status::timeout) return !stopped_ && TakeLocked(out, MonotonicMs(), stale);
    }
}

bool DnsQueue::ReleaseLocked(uint32_t address) {
    auto it = shares_.find(address);
    if (it == shares_.end()) return false;
    if (--it->second.busy <= 0 && it->second.waiting.empty()) {
        shares_.erase(it);
        return false;
    }
    return !it->second.waiting.empty();
}

void DnsQueue::Done(uint32_t address) {
    bool wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        wake = ReleaseLocked(address) && idle_ > 0;
    }
    if (wake) ready_.notify_one();
}

bool DnsQueue::Finish(uint32_t address, DnsPending* next, int64_t nowMs, size_t* stale) {
    bool wake, taken;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const bool freed = ReleaseLocked(address);
        taken = !stopped_ && TakeLocked(next, nowMs, stale);
        // The slot given back lets the address send another query: when this worker went on
        // with another address's, a sleeping one takes it.
        wake = freed && idle_ > 0 && !(taken && next->from.peer.sin_addr.s_addr == address);
    }
    if (wake) ready_.notify_one();
    return taken;
}

void DnsQueue::Stop() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopped_ = true;
    }
    ready_.notify_all();
}

size_t DnsQueue::Waiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return waiting_;
}

bool DnsQueue::Sleeping() const {
    std::lock_guard<std::mutex> guard(lock_);
    return idle_ > 0;
}

size_t DnsQueue::Addresses() const {
    std::lock_guard<std::mutex> guard(lock_);
    return shares_.size();
}

namespace {
// Queries dropped unanswered (too old, or no room to wait): counted, and told at most once a
// second.
class DropCount {
public:
    void Add(size_t n) {
        if (!n) return;
        count_.fetch_add(n);
        if (gate_.Allow(0))
            LogLine(LOG_DNS, 1, "DNS  Warn: %llu queries dropped unanswered (waited over %d s, or too many waiting)",
                    static_cast<unsigned long long>(count_.exchange(0)), static_cast<int>(kDnsStaleMs / 1000));
    }

private:
    std::atomic<uint64_t> count_{0};
    LogRateGate gate_{1, 1};
};

// One resolver worker: takes queries in turn and answers them from the row's socket.
void DnsWorker(DnsQueue* queue, const DnsEnvironment* env, DropCount* drops) {
    static const char kSocketError[] = "DNS  Err: %d during socket operation\n";
    ThreadSlot& slot = ThreadSlots[TH_DNS];
    DnsPending query;
    uint8_t reply[kDnsReplyMax];
    bool taken = false;
    for (;;) {
        size_t stale = 0;
        if (!taken) taken = queue->Take(&query, 1000, &stale);
        drops->Add(stale);
        if (!taken) {
            if (!slot.running) break;
            continue;
        }
        const uint32_t client = query.from.peer.sin_addr.s_addr;
        size_t replyLength = 0;
        if (processDnsRequest(query.bytes, query.length, reply, &replyLength, client, *env)) {
            if (ReplyToSender(slot.socket, reply, replyLength, query.from) < 0 && errno != EAGAIN)
                PauseAfterSocketError(TH_DNS, kSocketError, errno);
        }
        stale = 0;
        taken = queue->Finish(client, &query, MonotonicMs(), &stale);
        drops->Add(stale);
    }
}
}  // namespace

void dnsThread() {
    constexpr int kReceiveBatch = 32;
    static const char kSocketError[] = "DNS  Err: %d during socket operation\n";
    ThreadSlot& slot = ThreadSlots[TH_DNS];
    PeerLogGate lines("DNS  Inf:");
    DropCount drops;
    DnsEnvironment env;
    env.interfaces = HostInterfaces;
    env.resolve = ResolveIPv4;
    env.notify = [](const DnsEntryRecord& rec) { ToConsole(NOTICE_DNS_ENTRY, &rec, sizeof rec, false); };
    env.lines = &lines;
    DnsQueue queue;
    std::vector<std::thread> workers;
    for (int i = 0; i < kDnsWorkers; ++i) {
        try {
            workers.emplace_back(DnsWorker, &queue, &env, &drops);
        } catch (...) {
            break;  // fewer workers still answer
        }
    }
    if (workers.empty()) slot.running = 0;
    DnsPending pending;
    while (slot.running) {
        ssize_t n = ReceiveServiceDatagram(TH_DNS, pending.bytes, sizeof pending.bytes, &pending.from, kSocketError);
        // Under load the datagrams that wait are read without another wait, a batch at most.
        for (int read = 1;; ++read) {
            // An empty datagram, a longer one or a response is no query we answer.
            if (n >= static_cast<ssize_t>(sizeof(DnsHeader)) && !pending.from.truncated && !(pending.bytes[2] & 0x80)) {
                pending.length = static_cast<size_t>(n);
                pending.arrivedMs = MonotonicMs();
                if (!queue.Push(pending)) drops.Add(1);
            }
            // Nothing came (a time-out, a wake-up), or the batch is done.
            if ((n == 0 && read == 1) || read == kReceiveBatch) break;
            n = RecvDatagram(slot.socket, pending.bytes, sizeof pending.bytes, &pending.from, MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0) break;
            if (n > static_cast<ssize_t>(sizeof pending.bytes)) n = sizeof pending.bytes;
        }
    }
    queue.Stop();
    for (std::thread& t : workers) t.join();
    DebugTrace("Thread Inf: DNS thread ends here\n");
}
