// Wire records of the TFTP server: the transfer reports sent to the console (notices 100,
// 101 and 102) and the error simulator record shared with the desktop. Self-contained:
// every layout crosses the console link byte for byte, so sizes and offsets are pinned.
#pragma once
#include <cstddef>
#include <cstdint>

// clang-format off
#pragma pack(push, 1)

// Transfer states carried in TransferStats::state.
enum TransferState : uint32_t {
    TRANSFER_RUNNING = 0, TRANSFER_DONE = 1, TRANSFER_STOPPED = 2, TRANSFER_FAILED = 3,
};

struct TransferStats {
    uint32_t activeAtStart;    // other transfer records in the list when this one began
    uint32_t bytesDone;        // data bytes sent or written so far (saturates)
    uint32_t errorRecoveries;  // retransmission rounds so far
    uint32_t totalSize;        // file size (read) or announced size (write), 0 unknown (saturates)
    int64_t  startTime;        // Unix seconds
    int64_t  lastUpdate;       // equal to startTime
    uint32_t state;            // TransferState
    uint32_t reserved;         // 0
};

// IPv4 socket address as it travels: family 2 (little-endian), port and address in
// network byte order, 8 zero bytes.
struct WireSockaddrIn {
    uint16_t family;
    uint16_t portBE;
    uint32_t addrBE;
    uint8_t  zero[8];
};

// Notice 100: transfer begin.
struct TransferRecord {
    uint32_t       transferNumber;
    TransferStats  stats;
    uint32_t       opcode;      // 1 read (server sends), 2 write (server receives)
    WireSockaddrIn client;
    char           fileName[260];
};

// Notice 101 (transfer end), and one entry of notice 102.
struct TransferEndRecord {
    uint32_t      transferNumber;
    TransferStats stats;
};

constexpr uint32_t kMaxStatsEntries = 101;

// Notice 102: count, current time, then count entries; sent with 12 + 44 * count bytes.
struct TransferStatsNotice {
    uint32_t          count;
    int64_t           now;
    TransferEndRecord entries[kMaxStatsEntries];
};

enum ErrSimMode : uint8_t { ERRSIM_OFF = 0, ERRSIM_FIX = 1, ERRSIM_RANDOM = 2, ERRSIM_EVEN = 3 };

struct ErrorSimulatorRecord {
    uint8_t  mode;        // ErrSimMode
    uint8_t  pad[3];      // 0
    uint32_t count;       // 1 to 10
    uint32_t blocks[10];  // block numbers to drop; a transfer's copy clears an entry once dropped
    uint32_t delay;       // milliseconds to sleep after each drop, 0 none
};

#pragma pack(pop)
// clang-format on

static_assert(sizeof(TransferStats) == 40);
static_assert(offsetof(TransferStats, bytesDone) == 4);
static_assert(offsetof(TransferStats, errorRecoveries) == 8);
static_assert(offsetof(TransferStats, totalSize) == 12);
static_assert(offsetof(TransferStats, startTime) == 16);
static_assert(offsetof(TransferStats, lastUpdate) == 24);
static_assert(offsetof(TransferStats, state) == 32);
static_assert(offsetof(TransferStats, reserved) == 36);

static_assert(sizeof(WireSockaddrIn) == 16);
static_assert(offsetof(WireSockaddrIn, portBE) == 2);
static_assert(offsetof(WireSockaddrIn, addrBE) == 4);

static_assert(sizeof(TransferRecord) == 324);
static_assert(offsetof(TransferRecord, stats) == 4);
static_assert(offsetof(TransferRecord, opcode) == 44);
static_assert(offsetof(TransferRecord, client) == 48);
static_assert(offsetof(TransferRecord, fileName) == 64);

static_assert(sizeof(TransferEndRecord) == 44);
static_assert(offsetof(TransferEndRecord, stats) == 4);

static_assert(offsetof(TransferStatsNotice, now) == 4);
static_assert(offsetof(TransferStatsNotice, entries) == 12);
static_assert(sizeof(TransferStatsNotice) == 12 + 44 * kMaxStatsEntries);

static_assert(sizeof(ErrorSimulatorRecord) == 52);
static_assert(offsetof(ErrorSimulatorRecord, count) == 4);
static_assert(offsetof(ErrorSimulatorRecord, blocks) == 8);
static_assert(offsetof(ErrorSimulatorRecord, delay) == 48);

// Size of notice 102 with n entries.
constexpr size_t TransferStatsNoticeSize(uint32_t n) { return 12 + 44 * static_cast<size_t>(n); }
