#include "_services/dhcp/dhcp_leases.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/mac_vendor.h"
#include "libs/platform/clock.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

const uint8_t PingProbeMac[6] = {0x46, 0x46, 0x3A, 0x46, 0x46, 0x3A};

std::string formatMacText(const uint8_t* bytes, int length, char separator) {
    std::string s;
    length = std::clamp(length, 0, 16);
    for (int i = 0; i < length; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        s += b;
        if (i + 1 < length) s += separator;
    }
    return s;
}

bool parseMacText(const char* text, uint8_t out[6]) {
    unsigned v[6] = {0, 0, 0, 0, 0, 0};
    int n = std::sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    for (int i = 0; i < 6; ++i) out[i] = static_cast<uint8_t>(v[i]);
    return n > 0;
}

std::string formatLeaseTime(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tmv;
    if (!localtime_r(&tt, &tmv)) return "";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d/%02d:%02d:%02d", tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_year + 1900,
                  tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    return buf;
}

int64_t parseLeaseTime(const char* text) {
    int mon, day, year, hour, min, sec;
    if (std::sscanf(text, "%d/%d/%d/%d:%d:%d", &mon, &day, &year, &hour, &min, &sec) != 6) return -1;
    struct tm tmv {};
    tmv.tm_mon = mon - 1;
    tmv.tm_mday = day;
    tmv.tm_year = year - 1900;
    tmv.tm_hour = hour;
    tmv.tm_min = min;
    tmv.tm_sec = sec;
    tmv.tm_isdst = -1;
    time_t t = LocalMakeTime(&tmv);
    return t == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(t);
}

namespace {
uint32_t HostOrder(uint32_t a) { return ntohl(a); }
std::string LowerKey(std::string key) {
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}
bool ByIp(const DhcpLease* a, const DhcpLease* b) { return HostOrder(a->address) < HostOrder(b->address); }
// The first six bytes of a MAC as one number that orders as memcmp orders them.
uint64_t MacKey(const uint8_t* m) {
    return static_cast<uint64_t>(m[0]) << 40 | static_cast<uint64_t>(m[1]) << 32 | static_cast<uint64_t>(m[2]) << 24 |
           static_cast<uint64_t>(m[3]) << 16 | static_cast<uint64_t>(m[4]) << 8 | m[5];
}
bool ByMac(const DhcpLease* a, const DhcpLease* b) { return MacKey(a->mac) < MacKey(b->mac); }
}  // namespace

LeaseTable::~LeaseTable() { Clear(); }

void LeaseTable::Clear() {
    for (DhcpLease* l : byIp_) delete l;
    byIp_.clear();
    byMac_.clear();
    macKeys_.clear();
}

void LeaseTable::Configure(uint32_t poolStart, int32_t poolSize, int32_t leaseMinutes, bool persistent,
                           LeaseStore* store) {
    Clear();
    poolStart_ = poolStart;
    capacity_ = poolStart == 0 || poolSize < 0 ? 0 : poolSize;
    leaseMinutes_ = leaseMinutes;
    persistent_ = persistent;
    store_ = store;
}

bool LeaseTable::IsAddressInPool(uint32_t address) const {
    if (capacity_ <= 0) return false;
    uint64_t a = HostOrder(address);
    uint64_t s = HostOrder(poolStart_);
    return a >= s && a < s + static_cast<uint64_t>(capacity_);
}

uint32_t LeaseTable::NextPoolAddress(uint32_t address) {
    uint32_t h = HostOrder(address);
    uint32_t last = h & 0xFF;
    h += last == 254 ? 3 : last == 255 ? 2 : 1;
    return htonl(h);
}

bool LeaseTable::IsExpired(const DhcpLease& l, int64_t now) const {
    return l.startTime == 0 || l.startTime < now - static_cast<int64_t>(leaseMinutes_) * 60;
}

DhcpLease* LeaseTable::FindByIp(uint32_t address, bool* expired, int64_t now) const {
    const uint32_t key = HostOrder(address);
    auto it = std::lower_bound(byIp_.begin(), byIp_.end(), key,
                               [](const DhcpLease* l, uint32_t k) { return HostOrder(l->address) < k; });
    if (it == byIp_.end() || (*it)->address != address) return nullptr;
    if (expired) *expired = IsExpired(**it, now);
    return *it;
}

DhcpLease* LeaseTable::FindByMac(const uint8_t* mac, int length) const {
    uint8_t bytes[6] = {};
    std::memcpy(bytes, mac, static_cast<size_t>(std::clamp(length, 0, 6)));
    const uint64_t key = MacKey(bytes);
    auto it = std::lower_bound(macKeys_.begin(), macKeys_.end(), key);
    if (it == macKeys_.end() || *it != key) return nullptr;
    return byMac_[static_cast<size_t>(it - macKeys_.begin())];
}

std::string LeaseTable::Key(int index, const char* suffix) const {
    char key[64];
    std::snprintf(key, sizeof key, "%s%d%s", "DHCP_Lease_", index, suffix);
    return key;
}

void LeaseTable::Changed() {
    if (!persistent_ || !store_) return;
    dirty_ = true;
    if (changeDepth_ == 0) Commit();
}

// The count and the four keys of every lease, numbered in address order, in one write: its
// cost follows the size of the table, once per change.
void LeaseTable::Commit() {
    dirty_ = false;
    if (!persistent_ || !store_) return;
    std::vector<std::pair<std::string, std::string>> keys;
    keys.reserve(1 + 4 * byIp_.size());
    keys.emplace_back("DHCP_Lease_NumLeases", std::to_string(count()));
    for (int i = 0; i < count(); ++i) {
        DhcpLease* l = byIp_[static_cast<size_t>(i)];
        l->slot = i;
        keys.emplace_back(Key(i, "DHCP_MAC"), formatMacText(l->mac, 6, ':'));
        keys.emplace_back(Key(i, "DHCP_IP"), IPv4Text(l->address));
        keys.emplace_back(Key(i, "DHCP_InitialOfferTime"), formatLeaseTime(l->offerTime));
        keys.emplace_back(Key(i, "DHCP_LeaseStartTime"), formatLeaseTime(l->startTime));
    }
    store_->WriteKeys(keys);
}

void LeaseTable::Sort() {
    std::sort(byIp_.begin(), byIp_.end(), ByIp);
    std::stable_sort(byMac_.begin(), byMac_.end(), ByMac);
    IndexMacs();
}

void LeaseTable::IndexMacs() {
    macKeys_.resize(byMac_.size());
    for (size_t i = 0; i < byMac_.size(); ++i) macKeys_[i] = MacKey(byMac_[i]->mac);
}

DhcpLease* LeaseTable::Assign(DhcpLease* lease, uint32_t address, const uint8_t* mac, int length, int64_t now) {
    Change change(*this);
    if (!lease) {
        if (count() >= capacity_) return nullptr;
        lease = new DhcpLease{};
        lease->slot = count();
        byIp_.push_back(lease);
        byMac_.push_back(lease);
    }
    lease->address = address;
    lease->offerTime = now;
    lease->startTime = 0;
    std::memset(lease->mac, 0, sizeof lease->mac);
    std::memcpy(lease->mac, mac, static_cast<size_t>(std::clamp(length, 0, 16)));
    Sort();
    Changed();
    return lease;
}

void LeaseTable::Free(DhcpLease* lease) {
    if (lease) {
        DhcpLog(5, "DHCP Inf: Freeing lease %s owned by MAC %s", IPv4Text(lease->address).c_str(),
                formatMacWithVendor(lease->mac).c_str());
        byIp_.erase(std::remove(byIp_.begin(), byIp_.end(), lease), byIp_.end());
        byMac_.erase(std::remove(byMac_.begin(), byMac_.end(), lease), byMac_.end());
        IndexMacs();
        delete lease;
        Changed();
    }
    if (wake_) wake_();
}

void LeaseTable::Resize(int32_t poolSize) {
    capacity_ = poolStart_ == 0 || poolSize < 0 ? 0 : poolSize;
    while (count() > capacity_) {
        DhcpLease* last = byIp_.back();
        byIp_.pop_back();
        byMac_.erase(std::remove(byMac_.begin(), byMac_.end(), last), byMac_.end());
        delete last;
    }
    IndexMacs();
}

void LeaseTable::SetStartTime(DhcpLease* l, int64_t t) {
    l->startTime = t;
    Changed();
}

void LeaseTable::StampOfferTime(DhcpLease* l, int64_t now) {
    l->offerTime = now;
    Changed();
}

void LeaseTable::StampStartTime(DhcpLease* l, int64_t now) { SetStartTime(l, now); }

void LeaseTable::ClearOfferTime(DhcpLease* l) {
    l->offerTime = 0;
    Changed();
}

void LeaseTable::ClearStartTime(DhcpLease* l) { SetStartTime(l, 0); }

void LeaseTable::Save() { Changed(); }

void LeaseTable::Load() {
    Clear();
    if (!store_) return;
    Change change(*this);
    store_->WaitQueued();
    // The section is read once: a key at a time would read the file once per key.
    std::unordered_map<std::string, std::string> keys;
    store_->ReadKeys(&keys);
    auto value = [&keys](const std::string& key) -> const char* {
        auto it = keys.find(LowerKey(key));
        return it == keys.end() || it->second.empty() ? nullptr : it->second.c_str();
    };
    const char* count = value("DHCP_Lease_NumLeases");
    int32_t n = count ? static_cast<int32_t>(std::strtol(count, nullptr, 10)) : 0;
    if (n < 0) n = 0;
    if (n > capacity_) {
        DhcpLog(kDhcpLogWarningBox, "The pool size is too small for the number of leases, ignoring extra leases");
        n = capacity_;
    }
    std::unordered_set<uint32_t> held;
    for (int j = 0; j < n; ++j) {
        auto* l = new DhcpLease{};
        l->slot = j;
        if (const char* mac = value(Key(j, "DHCP_MAC"))) parseMacText(mac, l->mac);
        uint32_t a = 0;
        if (const char* ip = value(Key(j, "DHCP_IP"))) {
            in_addr in;
            if (inet_pton(AF_INET, ip, &in) == 1) a = in.s_addr;
        }
        l->address = a;
        auto readTime = [&](const char* suffix) -> int64_t {
            const char* text = value(Key(j, suffix));
            int64_t t = text ? parseLeaseTime(text) : 0;
            return t < 0 ? 0 : t;
        };
        l->offerTime = readTime("DHCP_InitialOfferTime");
        l->startTime = readTime("DHCP_LeaseStartTime");
        static const uint8_t zero[6] = {};
        bool keep = IsAddressInPool(a) && std::memcmp(l->mac, zero, 6) != 0 && held.insert(a).second;
        if (keep) {
            byIp_.push_back(l);
            byMac_.push_back(l);
        } else {
            delete l;
        }
    }
    Sort();
    Save();
}

namespace {
// Listings of the lease table (log level 15) a second, for all clients together.
constexpr unsigned kTableListingsPerSecond = 5;
}  // namespace

void LeaseTable::LogTable(int64_t now) const {
    // The listing counts as one line of the request's client, and a few listings a second are
    // written in all: a client asking again and again cannot have the table written each time.
    static LogRateGate listings(kTableListingsPerSecond, kTableListingsPerSecond);
    if (!DhcpLogEnabled(15) || !DhcpPeerMayLog(15)) return;
    unsigned suppressed = 0;
    if (!listings.Allow(0, &suppressed)) return;
    if (suppressed) DhcpLogLine(15, "DHCP Inf: \xE2\x80\xA6 %u lease table listings suppressed", suppressed);
    for (int i = 0; i < count(); ++i) {
        const DhcpLease* l = byIp_[static_cast<size_t>(i)];
        DhcpLogLine(15, "DHCP Inf: Lease %d: IP %s, MAC %s, Age %d sec, %s", i, IPv4Text(l->address).c_str(),
                    formatMacWithVendor(l->mac).c_str(), static_cast<int>(now - l->offerTime),
                    l->startTime ? "Ack" : "Nak");
    }
}

std::vector<LeaseRow> LeaseTable::Rows() const {
    std::vector<LeaseRow> rows;
    for (int i = 0; i < count() && i < 50; ++i) {
        const DhcpLease* l = byIp_[static_cast<size_t>(i)];
        LeaseRow r{};
        std::snprintf(r.address, sizeof r.address, "%s", IPv4Text(l->address).c_str());
        if (std::memcmp(l->mac, PingProbeMac, 6) == 0)
            std::snprintf(r.mac, sizeof r.mac, "-");
        else
            std::snprintf(r.mac, sizeof r.mac, "%s", formatMacWithVendor(l->mac).c_str());
        r.offerTime = l->offerTime;
        r.startTime = l->startTime;
        rows.push_back(r);
    }
    return rows;
}
