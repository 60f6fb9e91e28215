// On-disk layout of WIM files and the in-memory records the reader and updater build.
// Every integer on disk is little-endian; records inside a resource are read and written
// at their offsets through the accessors below, never by casting a buffer.
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "libs/wim/archive_callbacks.h"

static_assert(std::endian::native == std::endian::little, "WIM records are read in host order");

namespace NArchive::NWim {

using arc::Status;

// clang-format off
#pragma pack(push, 1)
struct WimResourceHeaderDisk {
  uint8_t packedSize[7];  // 56-bit
  uint8_t flags;
  uint64_t offset;
  uint64_t originalSize;
};
static_assert(sizeof(WimResourceHeaderDisk) == 24);
static_assert(offsetof(WimResourceHeaderDisk, flags) == 7);
static_assert(offsetof(WimResourceHeaderDisk, offset) == 8);
static_assert(offsetof(WimResourceHeaderDisk, originalSize) == 16);

struct WimHeaderDisk {
  char magic[8];
  uint32_t headerSize;
  uint32_t version;
  uint32_t flags;
  uint32_t chunkSize;
  uint8_t guid[16];
  uint16_t partNumber;
  uint16_t totalParts;
  uint32_t imageCount;
  WimResourceHeaderDisk lookupTable;
  WimResourceHeaderDisk xml;
  WimResourceHeaderDisk bootMetadata;
  uint32_t bootIndex;
  WimResourceHeaderDisk integrity;
  uint8_t reserved[60];
};
static_assert(sizeof(WimHeaderDisk) == 208);
static_assert(offsetof(WimHeaderDisk, chunkSize) == 20);
static_assert(offsetof(WimHeaderDisk, partNumber) == 40);
static_assert(offsetof(WimHeaderDisk, imageCount) == 44);
static_assert(offsetof(WimHeaderDisk, lookupTable) == 48);
static_assert(offsetof(WimHeaderDisk, xml) == 72);
static_assert(offsetof(WimHeaderDisk, bootMetadata) == 96);
static_assert(offsetof(WimHeaderDisk, bootIndex) == 120);
static_assert(offsetof(WimHeaderDisk, integrity) == 124);
static_assert(offsetof(WimHeaderDisk, reserved) == 148);

struct WimLookupRecordDisk {
  WimResourceHeaderDisk resource;
  uint16_t partNumber;
  uint32_t refCount;
  uint8_t hash[20];
};
static_assert(sizeof(WimLookupRecordDisk) == 50);
static_assert(offsetof(WimLookupRecordDisk, partNumber) == 24);
static_assert(offsetof(WimLookupRecordDisk, refCount) == 26);
static_assert(offsetof(WimLookupRecordDisk, hash) == 30);

// Fixed part of a directory entry; the long name, its zero unit, the short name and its
// zero unit follow, then (up to the entry length) optional tagged data.
struct WimDirEntryDisk {
  uint64_t length;  // multiple of 8; 0 ends a list
  uint32_t attributes;
  int32_t securityId;
  uint64_t subdirOffset;  // child list, from the start of the metadata; 0 none
  uint8_t reserved1[16];
  uint64_t creationTime;
  uint64_t lastAccessTime;
  uint64_t lastWriteTime;
  uint8_t hash[20];  // unnamed data stream; all zero for none
  uint32_t reserved2;
  union {
    struct {
      uint32_t reparseTag;
      uint16_t reparseReserved;
      uint16_t reparseFlags;
    } reparse;                  // reparse points
    uint64_t hardLinkGroupId;  // everything else
  } link;
  uint16_t streamCount;  // alternate stream entries that follow the entry
  uint16_t shortNameBytes;
  uint16_t longNameBytes;
};
static_assert(sizeof(WimDirEntryDisk) == 102);
static_assert(offsetof(WimDirEntryDisk, subdirOffset) == 16);
static_assert(offsetof(WimDirEntryDisk, creationTime) == 40);
static_assert(offsetof(WimDirEntryDisk, hash) == 64);
static_assert(offsetof(WimDirEntryDisk, link) == 88);
static_assert(offsetof(WimDirEntryDisk, streamCount) == 96);
static_assert(offsetof(WimDirEntryDisk, shortNameBytes) == 98);
static_assert(offsetof(WimDirEntryDisk, longNameBytes) == 100);

// Alternate (or unnamed) stream entry following a directory entry; the name follows.
struct WimStreamEntryDisk {
  uint64_t length;
  uint64_t reserved;
  uint8_t hash[20];
  uint16_t nameBytes;
};
static_assert(sizeof(WimStreamEntryDisk) == 38);
static_assert(offsetof(WimStreamEntryDisk, hash) == 16);
static_assert(offsetof(WimStreamEntryDisk, nameBytes) == 36);
#pragma pack(pop)
// clang-format on

constexpr char kWimMagic[8] = {'M', 'S', 'W', 'I', 'M', 0, 0, 0};

// Header versions. The low 16 bits, read as signed, give the layout: up to kWimLayoutNoParts
// there is no GUID and no part numbers; up to kWimLayoutNoIntegrity no image count, boot
// index or integrity table. New archives are written as kWimVersionCurrent.
constexpr int16_t kWimLayoutNoParts = 0x0A00;
constexpr int16_t kWimLayoutNoIntegrity = 0x0C00;
constexpr uint32_t kWimVersionCurrent = 0x10D00;
constexpr int16_t WimLayout(uint32_t version) { return int16_t(version & 0xFFFF); }

// Header flags.
constexpr uint32_t kWimFlagCompressed = 0x2;
constexpr uint32_t kWimFlagSpanned = 0x8;
constexpr uint32_t kWimFlagXpress = 0x20000;
constexpr uint32_t kWimFlagLzx = 0x40000;
constexpr uint32_t kWimFlagLzms = 0x80000;

// Resource flags.
constexpr uint8_t kResFree = 0x01;
constexpr uint8_t kResMetadata = 0x02;
constexpr uint8_t kResCompressed = 0x04;
constexpr uint8_t kResSpanned = 0x08;
constexpr uint8_t kResSolid = 0x10;

// File attributes.
constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrArchive = 0x20;
constexpr uint32_t kAttrReparsePoint = 0x400;

// Limits on what is taken from disk.
constexpr uint64_t kMaxXmlSize = 16u << 20;
constexpr uint64_t kMaxTableSize = 512u << 20;  // lookup table and each metadata resource
constexpr int kMaxTreeDepth = 256;

// Status of a structural failure (not a WIM, or damaged).
constexpr Status kBadWim = arc::S_FALSE;

using Sha1 = std::array<uint8_t, 20>;

// Little-endian field access on byte buffers.
template <typename T>
inline T GetAt(const uint8_t* p, size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}
template <typename T>
inline void SetAt(uint8_t* p, size_t offset, T v) {
  std::memcpy(p + offset, &v, sizeof v);
}
inline bool IsZeroHash(const uint8_t* h) {
  for (int i = 0; i < 20; ++i)
    if (h[i]) return false;
  return true;
}

struct WimResource {
  uint64_t packedSize = 0;
  uint64_t offset = 0;
  uint64_t originalSize = 0;
  uint8_t flags = 0;

  bool IsCompressed() const { return flags & kResCompressed; }
  bool IsMetadata() const { return flags & kResMetadata; }
  bool IsEmpty() const { return originalSize == 0 && packedSize == 0 && offset == 0; }
  void Parse(const uint8_t* p);
  void Write(uint8_t* p) const;
};

struct WimHeader {
  uint32_t headerSize = 208;
  uint32_t version = 0;
  uint32_t flags = 0;
  uint32_t chunkSize = 0;
  uint8_t guid[16] = {};
  uint16_t partNumber = 1;
  uint16_t totalParts = 1;
  uint32_t imageCount = 0;
  WimResource lookupTable, xml, bootMetadata, integrity;
  uint32_t bootIndex = 0;

  bool IsLzx() const { return flags & kWimFlagLzx; }
  bool IsLzms() const { return flags & kWimFlagLzms; }
  bool IsOldLayout() const { return WimLayout(version) <= kWimLayoutNoParts; }
};

struct CLookupTableRecord {
  WimResource resource;
  uint16_t partNumber = 1;
  uint32_t refCount = 0;
  Sha1 hash{};
};

struct CDirEntry {
  uint64_t position = 0;  // in the metadata
  uint32_t attributes = 0;
  int32_t securityId = -1;
  uint64_t subdirOffset = 0;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0;
  Sha1 hash{};
  uint16_t streamCount = 0;
  std::u16string longName, shortName;
  int32_t record = -1;  // lookup record index, -1 none
  int32_t parent = -1;  // entry index; negative for a root: -1 - image number
  uint32_t order = 0;
  bool isStream = false;  // an alternate stream listed as an entry of its own

  bool IsDir() const { return !isStream && (attributes & kAttrDirectory); }
  bool HasData() const { return !IsZeroHash(hash.data()); }
};

// One image of a file opened for update, in image order.
struct WimImageRecord {
  bool modified = false;
  int32_t record = -1;  // its metadata lookup record
  uint64_t rootPosition = 0;
  WimResource oldResource;
  WimResource newResource;
  uint64_t foldersAdded = 0, filesAdded = 0;
  int64_t bytesAdded = 0;
  std::vector<uint8_t> metadata;
};

struct WimDatabase {
  std::vector<CLookupTableRecord> records;  // in table order
  std::vector<CDirEntry> entries;
  std::vector<uint32_t> itemOrder;
  uint32_t imageCount = 0;
  bool skipRoot = true;
  bool showImageNumber = true;
  std::deque<WimImageRecord> images;  // opened for update only
  std::vector<int32_t> imageRecords;  // metadata lookup record of each image
  std::vector<uint8_t> xml;
};

// Reads the 208-byte header at offset 0 and checks it. Old layouts, split sets and
// spanned images are refused (kBadWim).
Status WimReadHeader(int fd, WimHeader& header);
// Builds the 208-byte header as written at offset 0.
void WimWriteHeader(const WimHeader& header, uint8_t out[208]);

// Receives unpacked bytes; a failure status stops the unpack and is returned.
class WimByteSink {
 public:
  virtual ~WimByteSink() = default;
  virtual Status Write(const uint8_t* data, size_t size) = 0;
};

// Decompressors for one file: created on first use with the header's chunk size.
class WimDecoder {
 public:
  explicit WimDecoder(const WimHeader& header) : header_(header) {}
  ~WimDecoder();
  WimDecoder(const WimDecoder&) = delete;
  WimDecoder& operator=(const WimDecoder&) = delete;
  // Unpacks a resource of the file open at fd (size fileSize) into the sink; feeds the
  // bytes to SHA-1 when digest is given. kBadWim for damaged or unsupported data.
  Status Unpack(int fd, uint64_t fileSize, const WimResource& res, WimByteSink& sink, Sha1* digest);
  // Unpacks a whole resource into memory, refusing one larger than maxSize.
  Status UnpackToMemory(int fd, uint64_t fileSize, const WimResource& res, uint64_t maxSize, std::vector<uint8_t>& out,
                        Sha1* digest = nullptr);

 private:
  const WimHeader& header_;
  struct wimlib_decompressor* decompressor_ = nullptr;
};

// Checks that a resource lies inside the file and is of a kind the reader handles.
bool WimResourceFits(const WimResource& res, uint64_t fileSize);

// Reads the lookup table (and, when asked, checks and keeps the metadata of each image),
// the XML and the directory trees.
Status WimReadDatabase(int fd, uint64_t fileSize, const WimHeader& header, WimDecoder& decoder, bool forUpdate,
                       WimDatabase& db);

// Length of the directory or stream entry at pos of a metadata buffer, rounded up to a
// multiple of 8 (0: the end of a list); false when it does not fit.
bool WimRecordLength(const std::vector<uint8_t>& metadata, uint64_t pos, uint64_t minimum, uint64_t& step);

// Where the root entry of an image's metadata starts (after the security block).
bool WimRootPosition(const std::vector<uint8_t>& metadata, uint64_t& rootPosition);

// Checks an image's directory tree; with entries, appends the parsed entries.
Status WimParseImage(const std::vector<uint8_t>& metadata, int32_t parentMarker, std::vector<CDirEntry>* entries);

// SHA-1 of a byte block.
Sha1 WimSha1(const uint8_t* data, size_t size);

// Running SHA-1 (OpenSSL EVP).
class WimSha1Context {
 public:
  WimSha1Context();
  ~WimSha1Context();
  WimSha1Context(const WimSha1Context&) = delete;
  WimSha1Context& operator=(const WimSha1Context&) = delete;
  void Update(const void* data, size_t size);
  Sha1 Final();

 private:
  struct evp_md_ctx_st* ctx_;
};

// Case-insensitive comparison of UTF-16 names (ASCII and the simple BMP mapping).
bool WimNamesEqualNoCase(const char16_t* a, size_t aLen, const char16_t* b, size_t bLen);
// Lower-cases every unit by the simple mapping.
std::u16string WimLowerCase(std::u16string text);
std::string WimUtf16ToUtf8(const std::u16string& text);

// FILETIME (100 ns units since 1601) and Unix time.
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
uint64_t WimFileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
uint64_t WimFileTimeNow();

// Positioned I/O that retries short transfers; false on any failure.
bool WimPreadAll(int fd, void* buffer, size_t size, uint64_t offset);
bool WimPwriteAll(int fd, const void* buffer, size_t size, uint64_t offset);
// Copies size bytes from offset from of in to offset to of out.
bool WimCopyRange(int in, uint64_t from, int out, uint64_t to, uint64_t size);

}  // namespace NArchive::NWim
