// The asset data file NimboBINL.dat: its 520-byte header, the network-driver records of
// RIS assets and the nine menu string records of NWA assets, with CRC-32 change stamps.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// clang-format off
#pragma pack(push, 1)
struct BinlAssetHeader {
    char     magic[11];          // "NIMBO_BINL"
    uint32_t version;            // 3
    uint32_t firstRecord;        // 520
    uint32_t recordCount;        // RIS: driver records; WDS and NWA: 0
    uint32_t assetStamp;
    uint32_t risOemDrivers;      // RIS: an OEM driver INF yielded records
    uint8_t  reserved31[66];
    char     platform[26];
    char     product[72];
    char     osVersion[32];
    char     localization[47];
    char     servicePack[37];
    char     driverVersion[70];
    char     computerName[35];
    uint8_t  refreshed;
    uint8_t  reserved417[103];
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(BinlAssetHeader) == 520);
static_assert(offsetof(BinlAssetHeader, version) == 11);
static_assert(offsetof(BinlAssetHeader, firstRecord) == 15);
static_assert(offsetof(BinlAssetHeader, recordCount) == 19);
static_assert(offsetof(BinlAssetHeader, assetStamp) == 23);
static_assert(offsetof(BinlAssetHeader, risOemDrivers) == 27);
static_assert(offsetof(BinlAssetHeader, platform) == 97);
static_assert(offsetof(BinlAssetHeader, product) == 123);
static_assert(offsetof(BinlAssetHeader, osVersion) == 195);
static_assert(offsetof(BinlAssetHeader, localization) == 227);
static_assert(offsetof(BinlAssetHeader, servicePack) == 274);
static_assert(offsetof(BinlAssetHeader, driverVersion) == 311);
static_assert(offsetof(BinlAssetHeader, computerName) == 381);
static_assert(offsetof(BinlAssetHeader, refreshed) == 416);

constexpr const char* kBinlMagic = "NIMBO_BINL";
constexpr uint32_t kBinlVersion = 3;
constexpr uint32_t kBinlFirstRecord = 520;
constexpr const char* kBinlDataFile = "NimboBINL.dat";
constexpr const char* kNimboFolder = "_NIMBO_";

// A header with magic, version and first-record offset set and everything else zero.
BinlAssetHeader NewAssetHeader();

// Stores text into a fixed field: at most maxChars characters (and never more than the
// field minus its NUL), the rest of the field zero.
void SetHeaderText(char* field, size_t fieldSize, const std::string& text, size_t maxChars);
template <size_t N>
void SetHeaderText(char (&field)[N], const std::string& text, size_t maxChars = N - 1) {
    SetHeaderText(field, N, text, maxChars);
}
// Reads a text field: up to its first NUL, or the whole field when it holds none.
std::string HeaderText(const char* field, size_t fieldSize);
template <size_t N>
std::string HeaderText(const char (&field)[N]) {
    return HeaderText(field, N);
}

// Reads the first 520 bytes of a file; false on a missing file or a short read.
bool ReadAssetHeader(const std::string& path, BinlAssetHeader* header);
// Rewrites the header of an existing file in place, keeping its records.
bool RewriteAssetHeader(const std::string& path, const BinlAssetHeader& header);
// Writes header and records as a new file (to a temporary name, then renamed into place).
bool WriteAssetFile(const std::string& path, const BinlAssetHeader& header, const std::vector<uint8_t>& records);

// Network-driver records of RIS assets.
struct NicDriver {
    uint16_t vendor = 0;
    uint16_t device = 0;
    uint32_t subsystem = 0;
    std::string service;
    std::string driverFile;
};
// Appends one record: length (12 + both name lengths), ids, the two names with their NULs.
void AppendNicDriverRecord(std::vector<uint8_t>* out, const NicDriver& d);
// Walks the records of a whole data file: starts at the header's first-record offset, takes at
// most its record count, and stops at the first record that does not lie wholly inside the
// data with both NUL-terminated names inside its length. Returns the number of records given
// to the callback.
size_t WalkNicDriverRecords(const uint8_t* data, size_t size, const std::function<void(const NicDriver&)>& fn);

// Menu string records of NWA assets: "STR\0", u16 length (text + 1), text, NUL.
constexpr int kMenuStringCount = 9;
void AppendMenuStringRecord(std::vector<uint8_t>* out, const std::string& text);
// Parses the nine records that follow the header; false on any malformed record.
bool ParseMenuStringRecords(const uint8_t* data, size_t size, std::string (&out)[kMenuStringCount]);

// CRC-32 (IEEE 802.3, reflected).
uint32_t Crc32(const void* data, size_t length);
uint32_t Crc32Update(uint32_t crc, const void* data, size_t length);
inline uint32_t Crc32(const std::string& s) { return Crc32(s.data(), s.size()); }
inline uint32_t Crc32Update(uint32_t crc, const std::string& s) { return Crc32Update(crc, s.data(), s.size()); }
uint32_t Crc32File(const std::string& path);
uint32_t Crc32UpdateFile(uint32_t crc, const std::string& path);

// The 36 find-data bytes of a file or folder: attributes, creation, last-access and
// last-write times (100 ns since 1601), size high and low, little-endian.
struct FindDataBytes {
    uint8_t bytes[36];
};
bool GetFindData(const std::string& path, FindDataBytes* out);
// XORs Crc32(find data) ^ Crc32(last component of the path) into stamp; nothing when the
// path cannot be looked up.
void XorFindDataStamp(const std::string& path, uint32_t* stamp);
