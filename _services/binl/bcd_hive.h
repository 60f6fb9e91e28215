// On-disk records of the empty registry hive that a BCD store starts from: the base block,
// the first hive bin with its root key cell and security cell, and a free cell.
#pragma once
#include <cstddef>
#include <cstdint>

// clang-format off
#pragma pack(push, 1)
struct HiveBaseBlock {
    char     signature[4];        // "regf"
    uint32_t primarySequence;     // 2
    uint32_t secondarySequence;   // 2
    uint64_t timeWritten;         // FILETIME
    uint32_t majorVersion;        // 1
    uint32_t minorVersion;        // 3
    uint32_t fileType;            // 0 primary file
    uint32_t fileFormat;          // 1
    uint32_t rootCell;            // 0x20, relative to the first bin
    uint32_t binDataSize;         // 0x1000
    uint32_t clustering;          // 1
    uint8_t  fileName[64];        // UTF-16LE, NUL-terminated
    uint8_t  rmId[16];
    uint8_t  logId[16];
    uint32_t flags;
    uint8_t  tmId[16];
    char     guidSignature[4];    // "rmtm"
    uint8_t  reserved[0x1FC - 0xA8];
    uint32_t checksum;            // XOR of the 127 words before it
    uint8_t  tail[0x1000 - 0x200];
};
static_assert(sizeof(HiveBaseBlock) == 0x1000);
static_assert(offsetof(HiveBaseBlock, timeWritten) == 0x0C);
static_assert(offsetof(HiveBaseBlock, rootCell) == 0x24);
static_assert(offsetof(HiveBaseBlock, fileName) == 0x30);
static_assert(offsetof(HiveBaseBlock, rmId) == 0x70);
static_assert(offsetof(HiveBaseBlock, logId) == 0x80);
static_assert(offsetof(HiveBaseBlock, flags) == 0x90);
static_assert(offsetof(HiveBaseBlock, tmId) == 0x94);
static_assert(offsetof(HiveBaseBlock, guidSignature) == 0xA4);
static_assert(offsetof(HiveBaseBlock, checksum) == 0x1FC);

struct HiveBinHeader {
    char     signature[4];        // "hbin"
    uint32_t offset;              // of this bin, relative to the first bin
    uint32_t size;                // 0x1000
    uint8_t  reserved[8];
    uint64_t timeWritten;
    uint32_t spare;
};
static_assert(sizeof(HiveBinHeader) == 0x20);
static_assert(offsetof(HiveBinHeader, timeWritten) == 0x14);

struct HiveKeyCell {
    int32_t  cellSize;            // -96
    char     signature[2];        // "nk"
    uint16_t flags;               // 0x2C
    uint64_t timeWritten;
    uint32_t access;
    uint32_t parent;              // 0x7A8
    uint32_t subkeyCount;
    uint32_t volatileSubkeyCount;
    uint32_t subkeyList;          // 0xFFFFFFFF
    uint32_t volatileSubkeyList;  // 0xFFFFFFFF
    uint32_t valueCount;
    uint32_t valueList;           // 0xFFFFFFFF
    uint32_t security;            // 0x80
    uint32_t className;           // 0xFFFFFFFF
    uint32_t largestSubkeyName;   // 0x16
    uint8_t  zero3C[0x4C - 0x3C];
    uint16_t nameLength;
    uint16_t classLength;
    char     name[16];            // 8-bit characters, NUL when it fits
};
static_assert(sizeof(HiveKeyCell) == 96);
static_assert(offsetof(HiveKeyCell, parent) == 0x14);
static_assert(offsetof(HiveKeyCell, security) == 0x30);
static_assert(offsetof(HiveKeyCell, largestSubkeyName) == 0x38);
static_assert(offsetof(HiveKeyCell, nameLength) == 0x4C);
static_assert(offsetof(HiveKeyCell, name) == 0x50);

struct HiveSecurityCell {
    int32_t  cellSize;            // -144
    char     signature[2];        // "sk"
    uint16_t reserved;
    uint32_t flink;               // this cell (a list of one)
    uint32_t blink;               // this cell
    uint32_t referenceCount;      // 1
    uint32_t descriptorSize;      // 116
    uint8_t  descriptor[116];     // self-relative security descriptor
    uint8_t  pad[4];
};
static_assert(sizeof(HiveSecurityCell) == 144);
static_assert(offsetof(HiveSecurityCell, descriptor) == 0x18);

struct EmptyHiveFile {
    HiveBaseBlock    base;
    HiveBinHeader    bin;
    HiveKeyCell      root;        // cell offset 0x20
    HiveSecurityCell security;    // cell offset 0x80
    int32_t          freeSize;    // cell offset 0x110: +3824
    uint8_t          freeRest[3820];
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(EmptyHiveFile) == 8192);
static_assert(offsetof(EmptyHiveFile, root) == 0x1020);
static_assert(offsetof(EmptyHiveFile, security) == 0x1080);
static_assert(offsetof(EmptyHiveFile, freeSize) == 0x1110);

constexpr uint32_t kHiveRootCell = 0x20;
constexpr uint32_t kHiveSecurityCell = 0x80;
constexpr uint32_t kHiveFreeCell = 0x110;
