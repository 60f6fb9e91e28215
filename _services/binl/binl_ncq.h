// The network-card query responder of port 4011: Windows setup clients of a RIS asset ask
// which driver fits their network card (NCQ); the answer (NCR) names the driver file and the
// service from the asset's driver table. Wire records, the pure parsing and building
// routines, the asset table and the entry point the proxyDHCP thread calls.
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "_services/binl/binl_context.h"
#include "_services/binl/binl_records.h"
#include "libs/platform/sockets.h"

// clang-format off
#pragma pack(push, 1)
// The part of a query the responder reads; OriSrc (8-bit text) follows at offset 54.
struct NcqHeader {
    uint8_t  signature[4];     // 81 4E 43 51
    uint8_t  unread4[32];
    uint16_t vendor;
    uint16_t device;
    uint8_t  unread40[12];
    int16_t  oriSrcLength;
};
// The fixed part of a response with a driver; the strings and the parameter block follow.
struct NcrHeader {
    uint8_t  signature[4];     // 82 4E 43 52
    uint32_t length;           // whole datagram
    uint32_t status;           // 0
    uint32_t two;              // 2
    uint32_t hardwareIdOffset; // 36
    uint32_t driverOffset;     // 80
    uint32_t serviceOffset;
    uint32_t parameterLength;  // 62
    uint32_t parameterOffset;
};
// The response without a driver.
struct NcrKo {
    uint8_t  signature[4];
    uint32_t length;           // 4
    uint32_t status;           // 0xC000000D
};
// Console notice 113.
struct BinlEventRecord {
    char peer[16];   // dotted IPv4 text
    char tag[40];    // "NCQ", "NCR" or "NCR KO"
    char text[500];
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(NcqHeader) == 54);
static_assert(offsetof(NcqHeader, vendor) == 36);
static_assert(offsetof(NcqHeader, device) == 38);
static_assert(offsetof(NcqHeader, oriSrcLength) == 52);
static_assert(sizeof(NcrHeader) == 36);
static_assert(offsetof(NcrHeader, serviceOffset) == 24);
static_assert(offsetof(NcrHeader, parameterOffset) == 32);
static_assert(sizeof(NcrKo) == 12);
static_assert(sizeof(BinlEventRecord) == 556);
static_assert(offsetof(BinlEventRecord, tag) == 16);
static_assert(offsetof(BinlEventRecord, text) == 56);

constexpr uint8_t kNcqSignature[4] = {0x81, 'N', 'C', 'Q'};
constexpr uint8_t kNcrSignature[4] = {0x82, 'N', 'C', 'R'};
constexpr uint32_t kNcrNotFound = 0xC000000D;
// The longest query a worker takes.
constexpr size_t kNcqMaxLength = 1500;
// Workers that may run at once; further queries are dropped.
constexpr int kNcqMaxWorkers = 16;
constexpr int kRisMaxAssets = 50;

enum BinlMessageKind : int {
    BINL_EMPTY = 0,  // length 0
    BINL_QUERY,      // a well-formed NCQ
    BINL_BAD_QUERY,  // NCQ signature, but malformed: dropped without an answer
    BINL_RESPONSE,   // NCR from another server: ignored
    BINL_OTHER,      // not a BINL message
};

struct NcqQuery {
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::string oriSrc;  // bytes up to the length field or an earlier NUL
};

// Classifies a datagram and, for a query, reads it. A query is malformed when it is shorter
// than 54 bytes or longer than 1500, or its OriSrc length is negative or runs past the end.
int ParseBinlMessage(const uint8_t* data, size_t length, NcqQuery* query);
// The "NCR OK" datagram for a driver, and the 12-byte "NCR KO".
std::vector<uint8_t> BuildNcrOk(uint16_t vendor, uint16_t device, const std::string& driverFile,
                                const std::string& service);
std::vector<uint8_t> BuildNcrKo();

// One RIS asset of the table.
struct RisAssetEntry {
    std::string oriSrc;         // "\\" computer "\WIA_RIS_SHARE\WIA_RIS\" head
    std::string localPath;      // root/WIA_RIS/head
    std::string archFolder;     // "AMD64", "IA64" or "I386" as spelt on disk
    std::vector<uint8_t> data;  // the whole NimboBINL.dat
};
using RisAssetTable = std::vector<RisAssetEntry>;

// The entry for a client's OriSrc: the one equal to it, else the first that begins with it
// (bytes compared with case). nullptr when none.
const RisAssetEntry* MatchRisAsset(const RisAssetTable& table, const std::string& oriSrc);
// The first driver record of the entry with this vendor and device.
bool FindDriverRecord(const RisAssetEntry& entry, uint16_t vendor, uint16_t device, NicDriver* out);
// Makes the driver file present in the entry's I386 folder: already there, copied from the
// OEM driver folder, or extracted from the OEM compressed file or the service-pack and
// driver cabinets. 0 present, -1 not found anywhere.
int BinlFetchNicDriver(const RisAssetEntry& entry, const std::string& driverFile);
// Looks the card up for a client and makes its driver present. 1 found (out filled), 0 not.
int BinlFindNicDriver(const std::string& oriSrc, uint16_t vendor, uint16_t device, NicDriver* out);

// Builds and publishes the table from root/WIA_RIS. 0 built; -1 no assets or more than 50;
// -2 out of memory; -4 an asset's data cannot be loaded.
int BinlLoadRisAssetTable(const BinlContext& ctx, int risCount);
// Withdraws the table; workers still running keep their copy until they end, and are
// awaited for a short while.
void BinlFreeRisAssetTable();
// The published table (nullptr when none).
std::shared_ptr<const RisAssetTable> CurrentRisAssetTable();

// Entry point on the proxyDHCP thread: 1 when the datagram was a BINL message (consumed),
// 0 when the proxyDHCP handler should take it. Queries are answered by worker threads from a
// duplicate of socket, from the local address the query reached (from.replyFrom).
int BinlHandleMessage(uint8_t* message, size_t length, const Datagram& from, int socket);
// Workers running now.
int BinlActiveWorkers();
