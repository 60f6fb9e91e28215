// WIM header, resources, lookup table and directory trees.
#include <openssl/evp.h>
#include <wimlib.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <ctime>
#include <cwctype>
#include <locale.h>
#include <memory>
#include <set>
#include <unistd.h>

#include "libs/wim/wim_format.h"

namespace NArchive::NWim {

namespace {
// Repeats a positioned transfer until all of it is done; false on failure or end of file.
template <typename Byte, typename Call>
bool TransferAll(Call call, int fd, Byte* p, size_t size, uint64_t offset) {
  while (size > 0) {
    ssize_t n = call(fd, p, size, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}
}  // namespace

bool WimPreadAll(int fd, void* buffer, size_t size, uint64_t offset) {
  return TransferAll(pread, fd, static_cast<uint8_t*>(buffer), size, offset);
}

bool WimPwriteAll(int fd, const void* buffer, size_t size, uint64_t offset) {
  return TransferAll(pwrite, fd, static_cast<const uint8_t*>(buffer), size, offset);
}

bool WimCopyRange(int in, uint64_t from, int out, uint64_t to, uint64_t size) {
  std::vector<uint8_t> block(size_t(std::min<uint64_t>(size, 1u << 20)));
  for (uint64_t done = 0; done < size;) {
    size_t n = size_t(std::min<uint64_t>(block.size(), size - done));
    if (!WimPreadAll(in, block.data(), n, from + done) || !WimPwriteAll(out, block.data(), n, to + done)) return false;
    done += n;
  }
  return true;
}

WimSha1Context::WimSha1Context() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_) EVP_DigestInit_ex(ctx_, EVP_sha1(), nullptr);
}
WimSha1Context::~WimSha1Context() { EVP_MD_CTX_free(ctx_); }
void WimSha1Context::Update(const void* data, size_t size) {
  if (ctx_ && size) EVP_DigestUpdate(ctx_, data, size);
}
Sha1 WimSha1Context::Final() {
  Sha1 out{};
  unsigned int n = 0;
  if (ctx_) EVP_DigestFinal_ex(ctx_, out.data(), &n);
  return out;
}

Sha1 WimSha1(const uint8_t* data, size_t size) {
  WimSha1Context ctx;
  ctx.Update(data, size);
  return ctx.Final();
}

// ---- text and time ----------------------------------------------------------------

namespace {
locale_t Utf8Locale() {
  static locale_t loc = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return l ? l : newlocale(LC_CTYPE_MASK, "C", locale_t(0));
  }();
  return loc;
}
char16_t FoldUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  wint_t u = towupper_l(wint_t(c), Utf8Locale());
  return u <= 0xFFFF ? char16_t(u) : c;
}
}  // namespace

bool WimNamesEqualNoCase(const char16_t* a, size_t aLen, const char16_t* b, size_t bLen) {
  if (aLen != bLen) return false;
  for (size_t i = 0; i < aLen; ++i)
    if (a[i] != b[i] && FoldUnit(a[i]) != FoldUnit(b[i])) return false;
  return true;
}

std::u16string WimLowerCase(std::u16string text) {
  for (char16_t& c : text) {
    if (c < 0x80) {
      if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
    } else if (c < 0xD800 || c > 0xDFFF) {
      wint_t u = towlower_l(wint_t(c), Utf8Locale());
      if (u <= 0xFFFF) c = char16_t(u);
    }
  }
  return text;
}

std::string WimUtf16ToUtf8(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

uint64_t WimFileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
  int64_t t = seconds * 10000000 + nanoseconds / 100 + int64_t(kFileTimeUnixEpoch);
  return t < 0 ? 0 : uint64_t(t);
}

uint64_t WimFileTimeNow() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return WimFileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

// ---- header -------------------------------------------------------------------------

void WimResource::Parse(const uint8_t* p) {
  packedSize = 0;
  for (int i = 6; i >= 0; --i) packedSize = (packedSize << 8) | p[i];
  flags = p[7];
  offset = GetAt<uint64_t>(p, 8);
  originalSize = GetAt<uint64_t>(p, 16);
}

void WimResource::Write(uint8_t* p) const {
  for (int i = 0; i < 7; ++i) p[i] = uint8_t(packedSize >> (8 * i));
  p[7] = flags;
  SetAt<uint64_t>(p, 8, offset);
  SetAt<uint64_t>(p, 16, originalSize);
}

namespace {
bool IsPowerOfTwo(uint32_t v) { return v && !(v & (v - 1)); }
}  // namespace

Status WimReadHeader(int fd, WimHeader& h) {
  uint8_t b[sizeof(WimHeaderDisk)];
  if (!WimPreadAll(fd, b, sizeof b, 0)) return kBadWim;
  if (std::memcmp(b, kWimMagic, 8) != 0) return kBadWim;
  h = WimHeader();
  h.headerSize = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, headerSize));
  h.version = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, version));
  h.flags = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, flags));
  h.chunkSize = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, chunkSize));
  int16_t word = WimLayout(h.version);
  // Layouts before the one with a GUID and part numbers are not handled.
  if (word <= kWimLayoutNoParts) return kBadWim;
  if (h.headerSize < 0x74) return kBadWim;
  std::memcpy(h.guid, b + 24, 16);
  h.partNumber = GetAt<uint16_t>(b, offsetof(WimHeaderDisk, partNumber));
  h.totalParts = GetAt<uint16_t>(b, offsetof(WimHeaderDisk, totalParts));
  size_t resources = 44;
  if (word > kWimLayoutNoIntegrity) {
    if (h.headerSize < sizeof(WimHeaderDisk)) return kBadWim;
    h.imageCount = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, imageCount));
    resources = 48;
  }
  h.lookupTable.Parse(b + resources);
  h.xml.Parse(b + resources + 24);
  h.bootMetadata.Parse(b + resources + 48);
  if (word > kWimLayoutNoIntegrity) {
    h.bootIndex = GetAt<uint32_t>(b, offsetof(WimHeaderDisk, bootIndex));
    h.integrity.Parse(b + offsetof(WimHeaderDisk, integrity));
  }
  if ((h.flags & kWimFlagCompressed) && !(h.flags & (kWimFlagXpress | kWimFlagLzx | kWimFlagLzms))) return kBadWim;
  // Split sets and spanned images are not handled.
  if (h.partNumber != 1 || h.totalParts != 1 || (h.flags & kWimFlagSpanned)) return kBadWim;
  if ((h.flags & kWimFlagCompressed) && !h.IsLzms()) {
    uint32_t chunk = h.chunkSize ? h.chunkSize : 0x8000;
    bool ok = IsPowerOfTwo(chunk) &&
              (h.IsLzx() ? (chunk >= 0x8000 && chunk <= 0x200000) : (chunk >= 0x1000 && chunk <= 0x10000));
    if (!ok) return kBadWim;
  }
  return arc::S_OK;
}

void WimWriteHeader(const WimHeader& h, uint8_t out[208]) {
  std::memset(out, 0, sizeof(WimHeaderDisk));
  std::memcpy(out, kWimMagic, 8);
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, headerSize), uint32_t(sizeof(WimHeaderDisk)));
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, version), h.version);
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, flags), h.flags);
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, chunkSize), h.chunkSize);
  std::memcpy(out + offsetof(WimHeaderDisk, guid), h.guid, 16);
  SetAt<uint16_t>(out, offsetof(WimHeaderDisk, partNumber), h.partNumber);
  SetAt<uint16_t>(out, offsetof(WimHeaderDisk, totalParts), h.totalParts);
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, imageCount), h.imageCount);
  h.lookupTable.Write(out + offsetof(WimHeaderDisk, lookupTable));
  h.xml.Write(out + offsetof(WimHeaderDisk, xml));
  h.bootMetadata.Write(out + offsetof(WimHeaderDisk, bootMetadata));
  SetAt<uint32_t>(out, offsetof(WimHeaderDisk, bootIndex), h.bootIndex);
  h.integrity.Write(out + offsetof(WimHeaderDisk, integrity));
}

// ---- resources ----------------------------------------------------------------------

bool WimResourceFits(const WimResource& res, uint64_t fileSize) {
  if (res.flags & (kResSolid | kResSpanned)) return false;
  if (res.offset > fileSize || res.packedSize > fileSize - res.offset) return false;
  if (!res.IsCompressed() && res.packedSize != res.originalSize) return false;
  return true;
}

WimDecoder::~WimDecoder() { wimlib_free_decompressor(decompressor_); }

Status WimDecoder::Unpack(int fd, uint64_t fileSize, const WimResource& res, WimByteSink& sink, Sha1* digest) {
  if (!WimResourceFits(res, fileSize)) return kBadWim;
  WimSha1Context sha;
  auto emit = [&](const uint8_t* p, size_t n) -> Status {
    if (digest) sha.Update(p, n);
    return sink.Write(p, n);
  };
  if (!res.IsCompressed()) {
    std::vector<uint8_t> block(std::min<uint64_t>(res.originalSize, 1u << 20));
    for (uint64_t done = 0; done < res.originalSize;) {
      size_t n = size_t(std::min<uint64_t>(block.size(), res.originalSize - done));
      if (!WimPreadAll(fd, block.data(), n, res.offset + done)) return kBadWim;
      Status s = emit(block.data(), n);
      if (s != arc::S_OK) return s;
      done += n;
    }
    if (digest) *digest = sha.Final();
    return arc::S_OK;
  }
  // Compressed resources need a compressed file with a chunk codec the reader has.
  if (!(header_.flags & kWimFlagCompressed) || header_.IsLzms()) return kBadWim;
  const uint64_t chunk = header_.chunkSize ? header_.chunkSize : 0x8000;
  if (!decompressor_) {
    auto type = header_.IsLzx() ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
    if (wimlib_create_decompressor(type, size_t(chunk), &decompressor_) != 0) return arc::E_OUTOFMEMORY;
  }
  const uint64_t chunks = res.originalSize / chunk + (res.originalSize % chunk ? 1 : 0);
  const uint64_t entrySize = res.originalSize > 0xFFFFFFFFull ? 8 : 4;
  if (chunks == 0) {
    if (digest) *digest = sha.Final();
    return arc::S_OK;
  }
  if (chunks - 1 > res.packedSize / entrySize) return kBadWim;
  const uint64_t tableSize = (chunks - 1) * entrySize;
  if (tableSize > kMaxTableSize) return kBadWim;
  std::vector<uint8_t> table(size_t(tableSize) + 8);
  if (tableSize && !WimPreadAll(fd, table.data(), size_t(tableSize), res.offset)) return kBadWim;
  const uint64_t dataSize = res.packedSize - tableSize;
  const uint64_t dataStart = res.offset + tableSize;
  std::vector<uint8_t> packed(static_cast<size_t>(chunk)), plain(static_cast<size_t>(chunk));
  uint64_t start = 0;
  for (uint64_t i = 0; i < chunks; ++i) {
    uint64_t end = dataSize;
    if (i + 1 < chunks)
      end =
          entrySize == 8 ? GetAt<uint64_t>(table.data(), size_t(i * 8)) : GetAt<uint32_t>(table.data(), size_t(i * 4));
    if (end < start || end > dataSize) return kBadWim;
    const uint64_t stored = end - start;
    const uint64_t unpacked = std::min<uint64_t>(chunk, res.originalSize - i * chunk);
    if (stored == 0 || stored > unpacked) return kBadWim;
    if (!WimPreadAll(fd, packed.data(), size_t(stored), dataStart + start)) return kBadWim;
    const uint8_t* out = packed.data();
    if (stored < unpacked) {
      if (wimlib_decompress(packed.data(), size_t(stored), plain.data(), size_t(unpacked), decompressor_) != 0)
        return kBadWim;
      out = plain.data();
    }
    Status s = emit(out, size_t(unpacked));
    if (s != arc::S_OK) return s;
    start = end;
  }
  if (digest) *digest = sha.Final();
  return arc::S_OK;
}

namespace {
class MemorySink final : public WimByteSink {
 public:
  explicit MemorySink(std::vector<uint8_t>& out) : out_(out) {}
  Status Write(const uint8_t* data, size_t size) override {
    out_.insert(out_.end(), data, data + size);
    return arc::S_OK;
  }

 private:
  std::vector<uint8_t>& out_;
};
}  // namespace

Status WimDecoder::UnpackToMemory(int fd, uint64_t fileSize, const WimResource& res, uint64_t maxSize,
                                  std::vector<uint8_t>& out, Sha1* digest) {
  out.clear();
  if (res.originalSize > maxSize || !WimResourceFits(res, fileSize)) return kBadWim;
  out.reserve(size_t(res.originalSize));
  MemorySink sink(out);
  return Unpack(fd, fileSize, res, sink, digest);
}

// ---- directory trees ----------------------------------------------------------------

bool WimRecordLength(const std::vector<uint8_t>& m, uint64_t pos, uint64_t minimum, uint64_t& step) {
  if (pos % 8 || pos > m.size() || m.size() - pos < 8) return false;
  uint64_t len = GetAt<uint64_t>(m.data(), size_t(pos));
  if (len == 0) {
    step = 0;
    return true;
  }
  // Lengths that are not a multiple of 8 are rounded up, as other readers do.
  if (len < minimum || len > m.size() - pos) return false;
  step = (len + 7) & ~uint64_t(7);
  return step <= m.size() - pos;
}

bool WimRootPosition(const std::vector<uint8_t>& m, uint64_t& root) {
  if (m.size() < 8) return false;
  uint32_t security = GetAt<uint32_t>(m.data(), 0);
  if (security >= 1 && security <= 7) return false;
  root = security == 0 ? 8 : (uint64_t(security) + 7) & ~uint64_t(7);
  return root <= m.size() - 8;
}

namespace {

bool NameAt(const std::vector<uint8_t>& m, uint64_t pos, uint16_t bytes, std::u16string& name) {
  name.resize(bytes / 2);
  if (bytes) {
    std::memcpy(name.data(), m.data() + pos, bytes);
    if (GetAt<uint16_t>(m.data(), size_t(pos + bytes)) != 0) return false;
  }
  return true;
}

class TreeParser {
 public:
  TreeParser(const std::vector<uint8_t>& m, std::vector<CDirEntry>* entries)
      : m_(m), entries_(entries ? entries : &scratch_) {}

  Status Parse(int32_t parentMarker) {
    if (!WimRootPosition(m_, start_)) return kBadWim;
    Status s = List(start_, parentMarker, 0);
    if (s != arc::S_OK) return s;
    return maxEnd_ <= m_.size() ? arc::S_OK : kBadWim;
  }

 private:
  // Appends the entry at pos (already bounds-checked) and returns its length.
  Status Entry(uint64_t pos, uint64_t len, int32_t parent, size_t& index) {
    const uint8_t* p = m_.data() + pos;
    CDirEntry e;
    e.position = pos;
    e.attributes = GetAt<uint32_t>(p, offsetof(WimDirEntryDisk, attributes));
    e.securityId = GetAt<int32_t>(p, offsetof(WimDirEntryDisk, securityId));
    e.subdirOffset = GetAt<uint64_t>(p, offsetof(WimDirEntryDisk, subdirOffset));
    e.creationTime = GetAt<uint64_t>(p, offsetof(WimDirEntryDisk, creationTime));
    e.lastAccessTime = GetAt<uint64_t>(p, offsetof(WimDirEntryDisk, lastAccessTime));
    e.lastWriteTime = GetAt<uint64_t>(p, offsetof(WimDirEntryDisk, lastWriteTime));
    std::memcpy(e.hash.data(), p + offsetof(WimDirEntryDisk, hash), 20);
    e.streamCount = GetAt<uint16_t>(p, offsetof(WimDirEntryDisk, streamCount));
    uint16_t shortBytes = GetAt<uint16_t>(p, offsetof(WimDirEntryDisk, shortNameBytes));
    uint16_t longBytes = GetAt<uint16_t>(p, offsetof(WimDirEntryDisk, longNameBytes));
    if ((shortBytes | longBytes) & 1) return kBadWim;
    uint64_t need = sizeof(WimDirEntryDisk) + longBytes + (longBytes ? 2 : 0) + shortBytes + (shortBytes ? 2 : 0);
    if (need > len) return kBadWim;
    uint64_t namePos = pos + sizeof(WimDirEntryDisk);
    if (!NameAt(m_, namePos, longBytes, e.longName)) return kBadWim;
    if (!NameAt(m_, namePos + longBytes + (longBytes ? 2 : 0), shortBytes, e.shortName)) return kBadWim;
    e.parent = parent;
    if (parent < 0 && (!e.longName.empty() || !e.shortName.empty() || !e.IsDir())) skipRoot = false;
    if (e.IsDir() && e.longName.empty() && !e.HasData()) e.attributes = kAttrDirectory;
    index = entries_->size();
    entries_->push_back(std::move(e));
    return arc::S_OK;
  }

  // One alternate stream entry at pos belonging to the entry at index.
  Status Stream(uint64_t pos, uint64_t len, size_t index, int32_t parent) {
    const uint8_t* p = m_.data() + pos;
    uint16_t nameBytes = GetAt<uint16_t>(p, offsetof(WimStreamEntryDisk, nameBytes));
    if ((nameBytes & 1) || sizeof(WimStreamEntryDisk) + nameBytes > len) return kBadWim;
    std::u16string name(nameBytes / 2, u'\0');
    std::memcpy(name.data(), p + sizeof(WimStreamEntryDisk), nameBytes);
    Sha1 hash;
    std::memcpy(hash.data(), p + offsetof(WimStreamEntryDisk, hash), 20);
    CDirEntry& owner = (*entries_)[index];
    if (name.empty() && !owner.HasData()) {
      owner.hash = hash;
      return arc::S_OK;
    }
    if (name.empty() && IsZeroHash(hash.data())) return arc::S_OK;
    CDirEntry s;
    s.position = pos;
    s.isStream = true;
    s.attributes = owner.attributes & ~kAttrDirectory;
    s.longName = owner.longName + u":" + name;
    s.creationTime = owner.creationTime;
    s.lastAccessTime = owner.lastAccessTime;
    s.lastWriteTime = owner.lastWriteTime;
    s.hash = hash;
    s.parent = parent;
    s.order = order_++;
    entries_->push_back(std::move(s));
    return arc::S_OK;
  }

  bool RecordLength(uint64_t pos, uint64_t minimum, uint64_t& len) { return WimRecordLength(m_, pos, minimum, len); }

  Status List(uint64_t pos, int32_t parent, int depth) {
    if (depth > kMaxTreeDepth) return kBadWim;
    if (pos % 8 || pos < start_) return kBadWim;
    // A list is read once; only an empty list may be shared.
    if (!visited_.insert(pos).second) {
      uint64_t len;
      return RecordLength(pos, 0, len) && len == 0 ? arc::S_OK : kBadWim;
    }
    size_t count = 0;
    for (;;) {
      uint64_t len;
      if (!RecordLength(pos, sizeof(WimDirEntryDisk), len)) return kBadWim;
      if (len == 0) {
        pos += 8;
        if (parent < 0 && count != 1) skipRoot = false;
        break;
      }
      size_t index;
      Status s = Entry(pos, len, parent, index);
      if (s != arc::S_OK) return s;
      ++count;
      pos += len;
      for (uint16_t k = 0, n = (*entries_)[index].streamCount; k < n; ++k) {
        uint64_t slen;
        if (!RecordLength(pos, sizeof(WimStreamEntryDisk), slen) || slen == 0) return kBadWim;
        s = Stream(pos, slen, index, parent);
        if (s != arc::S_OK) return s;
        pos += slen;
      }
      const CDirEntry& e = (*entries_)[index];
      if (e.IsDir() && e.subdirOffset != 0) {
        s = List(e.subdirOffset, int32_t(index), depth + 1);
        if (s != arc::S_OK) return s;
      }
      (*entries_)[index].order = order_++;
    }
    maxEnd_ = std::max(maxEnd_, pos);
    return arc::S_OK;
  }

  const std::vector<uint8_t>& m_;
  std::vector<CDirEntry> scratch_;
  std::vector<CDirEntry>* entries_;
  std::set<uint64_t> visited_;
  uint64_t start_ = 0;
  uint64_t maxEnd_ = 0;
  uint32_t order_ = 0;

 public:
  bool skipRoot = true;
};

}  // namespace

Status WimParseImage(const std::vector<uint8_t>& metadata, int32_t parentMarker, std::vector<CDirEntry>* entries) {
  TreeParser parser(metadata, entries);
  return parser.Parse(parentMarker);
}

namespace {
Status ParseImageInto(const std::vector<uint8_t>& metadata, int32_t marker, WimDatabase& db) {
  TreeParser parser(metadata, &db.entries);
  Status s = parser.Parse(marker);
  if (!parser.skipRoot) db.skipRoot = false;
  return s;
}
}  // namespace

Status WimReadDatabase(int fd, uint64_t fileSize, const WimHeader& header, WimDecoder& decoder, bool forUpdate,
                       WimDatabase& db) {
  db = WimDatabase();
  if (header.IsLzms()) return arc::E_NOTIMPL;
  Status s = decoder.UnpackToMemory(fd, fileSize, header.xml, kMaxXmlSize, db.xml);
  if (s != arc::S_OK) return s;
  std::vector<uint8_t> table;
  s = decoder.UnpackToMemory(fd, fileSize, header.lookupTable, kMaxTableSize, table);
  if (s != arc::S_OK) return s;
  if (table.size() % sizeof(WimLookupRecordDisk)) return kBadWim;
  for (size_t pos = 0; pos < table.size(); pos += sizeof(WimLookupRecordDisk)) {
    CLookupTableRecord r;
    r.resource.Parse(table.data() + pos);
    r.partNumber = GetAt<uint16_t>(table.data(), pos + offsetof(WimLookupRecordDisk, partNumber));
    r.refCount = GetAt<uint32_t>(table.data(), pos + offsetof(WimLookupRecordDisk, refCount));
    std::memcpy(r.hash.data(), table.data() + pos + offsetof(WimLookupRecordDisk, hash), 20);
    if (r.resource.flags & kResSolid) return arc::E_NOTIMPL;
    if (r.partNumber != header.partNumber) continue;
    db.records.push_back(r);
  }
  // Images follow the order of their metadata records in the table, whatever their
  // reference counts.
  bool bootMatched = header.bootMetadata.originalSize == 0;
  for (size_t i = 0; i < db.records.size(); ++i) {
    const CLookupTableRecord& r = db.records[i];
    if (!r.resource.IsMetadata()) continue;
    std::vector<uint8_t> metadata;
    Sha1 digest;
    s = decoder.UnpackToMemory(fd, fileSize, r.resource, kMaxTableSize, metadata, &digest);
    if (s != arc::S_OK) return s;
    if (digest != r.hash) return kBadWim;
    ++db.imageCount;
    db.imageRecords.push_back(int32_t(i));
    if (r.resource.offset == header.bootMetadata.offset) bootMatched = true;
    if (!forUpdate) {
      s = ParseImageInto(metadata, -1 - int32_t(db.imageCount), db);
      if (s != arc::S_OK) return s;
    } else {
      s = WimParseImage(metadata, -1, nullptr);
      if (s != arc::S_OK) return s;
      WimImageRecord image;
      image.record = int32_t(i);
      image.oldResource = r.resource;
      if (!WimRootPosition(metadata, image.rootPosition)) return kBadWim;
      image.metadata = std::move(metadata);
      db.images.push_back(std::move(image));
    }
  }
  if (header.imageCount != db.imageCount) return kBadWim;
  // A boot-metadata resource of its own lists as image 0; an update leaves it alone.
  if (!bootMatched && !forUpdate) {
    std::vector<uint8_t> metadata;
    s = decoder.UnpackToMemory(fd, fileSize, header.bootMetadata, kMaxTableSize, metadata);
    if (s != arc::S_OK) return s;
    s = ParseImageInto(metadata, -1, db);
    if (s != arc::S_OK) return s;
  }
  return arc::S_OK;
}

}  // namespace NArchive::NWim
