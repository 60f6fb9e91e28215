// Lease tables: every offered or acknowledged address, sorted by address and by MAC, and
// their copy in the [DHCP] section of the INI file.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "_services/dhcp/dhcp_records.h"

// Start time of BOOTP leases and of addresses found in use.
constexpr int64_t PermanentLeaseStamp = 0x66666666;
// MAC given to a pool address that answered a probe.
extern const uint8_t PingProbeMac[6];

// Where the leases are kept: the INI layer in the program, a file or memory in tests.
class LeaseStore {
public:
    virtual ~LeaseStore() = default;
    // Every key of the leases' section with its value; keys in lower case.
    virtual void ReadKeys(std::unordered_map<std::string, std::string>* keys) = 0;
    // Writes every key at once: one replace of the file.
    virtual void WriteKeys(const std::vector<std::pair<std::string, std::string>>& keys) = 0;
    // Returns once queued writes (of other settings) are in the file.
    virtual void WaitQueued() = 0;
};

std::string formatMacText(const uint8_t* bytes, int length, char separator);
bool parseMacText(const char* text, uint8_t out[6]);
std::string formatLeaseTime(int64_t t);
int64_t parseLeaseTime(const char* text);

class LeaseTable {
public:
    LeaseTable() = default;
    ~LeaseTable();
    LeaseTable(const LeaseTable&) = delete;
    LeaseTable& operator=(const LeaseTable&) = delete;

    // Held by every caller of the routines below: the DHCP thread around a request, the
    // Console thread around request 213 and 208.
    std::recursive_mutex& mutex() { return mutex_; }

    // With persistent leases every change is written at once, and a change is everything
    // done while a Change lives (a request, a free, a load): the whole table goes to the
    // store in one write when the outermost Change ends. Held under the mutex.
    class Change {
    public:
        explicit Change(LeaseTable& t) : t_(t) { ++t_.changeDepth_; }
        ~Change() {
            if (--t_.changeDepth_ == 0 && t_.dirty_) t_.Commit();
        }
        Change(const Change&) = delete;
        Change& operator=(const Change&) = delete;

    private:
        LeaseTable& t_;
    };

    // Pool and policy. A pool size of 0 (or an unusable pool) holds no leases.
    void Configure(uint32_t poolStart, int32_t poolSize, int32_t leaseMinutes, bool persistent, LeaseStore* store);
    void SetWakeUp(std::function<void()> wake) { wake_ = std::move(wake); }
    int32_t capacity() const { return capacity_; }
    int count() const { return static_cast<int>(byIp_.size()); }
    DhcpLease* at(int i) const { return byIp_[static_cast<size_t>(i)]; }  // address order
    uint32_t poolStart() const { return poolStart_; }
    int32_t leaseMinutes() const { return leaseMinutes_; }

    bool IsAddressInPool(uint32_t address) const;
    static uint32_t NextPoolAddress(uint32_t address);

    DhcpLease* FindByIp(uint32_t address, bool* expired, int64_t now) const;
    DhcpLease* FindByMac(const uint8_t* mac, int length) const;
    bool IsExpired(const DhcpLease& l, int64_t now) const;
    // Creates (lease null, while below capacity) or reassigns a lease; null when the table is full.
    DhcpLease* Assign(DhcpLease* lease, uint32_t address, const uint8_t* mac, int length, int64_t now);
    void Free(DhcpLease* lease);
    // Resizes for a new pool size (request 208); drops the highest addresses beyond it.
    void Resize(int32_t poolSize);
    void Clear();

    void SetStartTime(DhcpLease* l, int64_t t);
    void StampOfferTime(DhcpLease* l, int64_t now);
    void StampStartTime(DhcpLease* l, int64_t now);
    void ClearOfferTime(DhcpLease* l);
    void ClearStartTime(DhcpLease* l);

    void Load();
    // Marks the whole table for writing (at once outside a Change).
    void Save();
    void LogTable(int64_t now) const;
    // Rows for notice 103 (at most 50).
    std::vector<LeaseRow> Rows() const;

private:
    void Sort();
    void IndexMacs();
    void Changed();
    void Commit();
    std::string Key(int index, const char* suffix) const;

    std::recursive_mutex mutex_;
    std::vector<DhcpLease*> byIp_;
    std::vector<DhcpLease*> byMac_;
    // The first six bytes of the MAC of byMac_[i] as a number, in the same order: the MAC
    // search of every request runs over this array alone.
    std::vector<uint64_t> macKeys_;
    uint32_t poolStart_ = 0;
    int32_t capacity_ = 0;
    int32_t leaseMinutes_ = 2880;
    bool persistent_ = false;
    LeaseStore* store_ = nullptr;
    std::function<void()> wake_;
    int changeDepth_ = 0;
    bool dirty_ = false;
};
