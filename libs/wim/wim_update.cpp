#include "libs/wim/wim_update.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "libs/wim/short_name.h"
#include "libs/wim/wim_error.h"
#include "libs/wim/wim_xml.h"

namespace NArchive::NWim {

// ---- update callback ----------------------------------------------------------------

Status CArchiveUpdateCallback::GetStream(uint32_t index, int& fd) {
  fd = -1;
  needsClose_ = false;
  if (index >= Count()) return arc::E_INVALIDARG;
  const arc::CDirItem& item = Item(index);
  if (item.Attrib & arc::kAttribDirectory) return arc::S_OK;
  std::string path = folderPrefix + item.FullPath;
  fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
    errno = EISDIR;
  }
  if (fd < 0) {
    failedPaths.push_back(path);
    failedCodes.push_back(errno);
    return arc::S_FALSE;
  }
  return arc::S_OK;
}

Status CArchiveUpdateCallback::SetOperationResult(int32_t) {
  needsClose_ = true;
  return arc::S_OK;
}

Status CArchiveUpdateCallback::SetItemResult(uint32_t index, int32_t result) {
  if (index >= Count()) return arc::E_INVALIDARG;
  (*items_)[index].Result = result;
  return arc::S_OK;
}

// ---- reference counts ----------------------------------------------------------------

void WimUpdateState::AddReference(const Sha1& hash) {
  if (IsZeroHash(hash.data())) return;
  auto it = byHash.find(hash);
  if (it != byHash.end()) ++db->records[size_t(it->second)].refCount;
}

uint64_t WimUpdateState::DropReference(const Sha1& hash) {
  if (IsZeroHash(hash.data())) return 0;
  auto it = byHash.find(hash);
  if (it == byHash.end()) return 0;
  CLookupTableRecord& r = db->records[size_t(it->second)];
  if (r.refCount > 0 && --r.refCount == 0) released[size_t(it->second)] = true;
  return r.resource.originalSize;
}

int WimLookup_FindOrAppend(WimUpdateState& state, const CLookupTableRecord& record, CUpdateItem& item) {
  auto it = state.byHash.find(record.hash);
  if (it != state.byHash.end()) {
    const CLookupTableRecord& found = state.db->records[size_t(it->second)];
    item.result |= kItemSharedRecord;
    item.record = it->second;
    item.dataOffset = found.resource.offset;
    item.packedSize = found.resource.packedSize;
    return 0;
  }
  item.record = int32_t(state.db->records.size());
  state.db->records.push_back(record);
  state.released.push_back(false);
  state.byHash[record.hash] = item.record;
  item.result |= kItemNewRecord;
  return 0;
}

// ---- metadata edits -------------------------------------------------------------------

namespace {

using Meta = std::vector<uint8_t>;

uint32_t Attributes(const Meta& m, uint64_t pos) {
  return GetAt<uint32_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, attributes)));
}
uint64_t SubdirOffset(const Meta& m, uint64_t pos) {
  return GetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, subdirOffset)));
}
uint16_t StreamCount(const Meta& m, uint64_t pos) {
  return GetAt<uint16_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, streamCount)));
}
Sha1 EntryHash(const Meta& m, uint64_t pos) {
  Sha1 h;
  std::memcpy(h.data(), m.data() + pos + offsetof(WimDirEntryDisk, hash), 20);
  return h;
}
bool IsPlainDir(uint32_t attributes) {
  return (attributes & kAttrDirectory) && !(attributes & kAttrReparsePoint);
}

bool RecordAt(const Meta& m, uint64_t pos, uint64_t minimum, uint64_t& len) {
  return WimRecordLength(m, pos, minimum, len);
}

// The position after a directory entry of length len and its stream entries.
bool SkipEntry(const Meta& m, uint64_t pos, uint64_t len, uint64_t& next) {
  next = pos + len;
  for (uint16_t k = 0, n = StreamCount(m, pos); k < n; ++k) {
    uint64_t slen;
    if (!RecordAt(m, next, sizeof(WimStreamEntryDisk), slen) || slen == 0) return false;
    next += slen;
  }
  return true;
}

// Looks for a long name in the list at listPos: 1 found (at found), 0 not found (the list
// ends at terminator), -1 damaged.
int FindInList(const Meta& m, uint64_t listPos, const std::u16string& name, uint64_t& found,
               uint64_t& terminator) {
  for (uint64_t pos = listPos;;) {
    uint64_t len;
    if (!RecordAt(m, pos, sizeof(WimDirEntryDisk), len)) return -1;
    if (len == 0) {
      terminator = pos;
      return 0;
    }
    uint16_t bytes = GetAt<uint16_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, longNameBytes)));
    if (sizeof(WimDirEntryDisk) + bytes > len) return -1;
    std::u16string entryName(bytes / 2, u'\0');
    std::memcpy(entryName.data(), m.data() + pos + sizeof(WimDirEntryDisk), bytes & ~1u);
    if (WimNamesEqualNoCase(entryName.data(), entryName.size(), name.data(), name.size())) {
      found = pos;
      return 1;
    }
    if (!SkipEntry(m, pos, len, pos)) return -1;
  }
}

// Every directory entry of an image's tree, parents before children.
bool CollectEntries(const Meta& m, uint64_t root, std::vector<uint64_t>& out) {
  std::vector<uint64_t> lists{root};
  size_t listsSeen = 0;
  while (!lists.empty()) {
    if (++listsSeen > m.size() / 8) return false;
    uint64_t pos = lists.back();
    lists.pop_back();
    for (;;) {
      uint64_t len;
      if (!RecordAt(m, pos, sizeof(WimDirEntryDisk), len)) return false;
      if (len == 0) break;
      out.push_back(pos);
      if ((Attributes(m, pos) & kAttrDirectory) && SubdirOffset(m, pos)) lists.push_back(SubdirOffset(m, pos));
      if (!SkipEntry(m, pos, len, pos)) return false;
    }
  }
  return true;
}

constexpr size_t kEntryWorkArea = 666;

// A new directory entry for a folder or a file.
std::vector<uint8_t> NewEntry(const std::u16string& name, bool folder, const CUpdateItem& item,
                              uint64_t now) {
  std::vector<uint8_t> e(kEntryWorkArea, 0);
  char16_t shortName[12];
  size_t shortUnits = MakeShortName83(name.data(), name.size(), shortName);
  const size_t longBytes = name.size() * 2, shortBytes = shortUnits * 2;
  const size_t length = (longBytes + shortBytes + 113) & ~size_t(7);
  SetAt<uint32_t>(e.data(), offsetof(WimDirEntryDisk, attributes), folder ? kAttrDirectory : kAttrArchive);
  SetAt<int32_t>(e.data(), offsetof(WimDirEntryDisk, securityId), -1);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, creationTime), folder ? now : item.creationTime);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, lastAccessTime), folder ? now : item.lastAccessTime);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, lastWriteTime), folder ? now : item.lastWriteTime);
  if (!folder) std::memcpy(e.data() + offsetof(WimDirEntryDisk, hash), item.hash.data(), 20);
  SetAt<uint16_t>(e.data(), offsetof(WimDirEntryDisk, shortNameBytes), uint16_t(shortBytes));
  SetAt<uint16_t>(e.data(), offsetof(WimDirEntryDisk, longNameBytes), uint16_t(longBytes));
  std::memcpy(e.data() + sizeof(WimDirEntryDisk), name.data(), longBytes);
  std::memcpy(e.data() + sizeof(WimDirEntryDisk) + longBytes + 2, shortName, shortBytes);
  SetAt<uint64_t>(e.data(), 0, length);
  e.resize(length);
  return e;
}

// Gives an existing file entry (and the other names of its hard-link group) new content.
bool ReplaceFile(WimUpdateState& state, WimImageRecord& image, uint64_t found, const CUpdateItem& item) {
  Meta& m = image.metadata;
  const Sha1 oldHash = EntryHash(m, found);
  const uint64_t group = GetAt<uint64_t>(m.data(), size_t(found + offsetof(WimDirEntryDisk, link)));
  std::vector<uint64_t> targets{found};
  if (group != 0) {
    std::vector<uint64_t> all;
    if (!CollectEntries(m, image.rootPosition, all)) return false;
    for (uint64_t pos : all) {
      uint32_t a = Attributes(m, pos);
      if (pos == found || (a & (kAttrDirectory | kAttrReparsePoint)) || StreamCount(m, pos)) continue;
      if (GetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, link))) == group &&
          EntryHash(m, pos) == oldHash)
        targets.push_back(pos);
    }
  }
  uint64_t oldSize = 0;
  for (uint64_t pos : targets) {
    oldSize = state.DropReference(oldHash);
    std::memcpy(m.data() + pos + offsetof(WimDirEntryDisk, hash), item.hash.data(), 20);
    SetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, creationTime)), item.creationTime);
    SetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, lastAccessTime)), item.lastAccessTime);
    SetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, lastWriteTime)), item.lastWriteTime);
    state.AddReference(item.hash);
  }
  image.bytesAdded += int64_t(item.size) - int64_t(oldSize);
  image.modified = true;
  return true;
}

}  // namespace

int WimImage_WalkOrInsertPath(WimUpdateState& state, WimImageRecord& image, uint64_t root,
                              CUpdateItem& item) {
  Meta& m = image.metadata;
  uint64_t len;
  if (!RecordAt(m, root, sizeof(WimDirEntryDisk), len) || len == 0) return 1;
  if (!IsPlainDir(Attributes(m, root)) || item.components.empty()) return 1;
  const auto& comps = item.components;
  const size_t folders = item.isFolder ? comps.size() : comps.size() - 1;
  const uint64_t now = WimFileTimeNow();

  uint64_t owner = root;
  std::vector<uint8_t> buffer;
  bool inserting = false, ownerGetsList = false;
  uint64_t insertionPoint = 0, foldersAdded = 0, filesAdded = 0;
  int32_t result = 0;
  for (size_t i = 0; i < comps.size(); ++i) {
    const bool folder = i < folders;
    if (!inserting) {
      const uint64_t list = SubdirOffset(m, owner);
      uint64_t found = 0, terminator = 0;
      int r = list ? FindInList(m, list, comps[i], found, terminator) : 0;
      if (r < 0) return 1;
      if (r == 1) {
        const uint32_t a = Attributes(m, found);
        if (folder) {
          if (!IsPlainDir(a)) return 1;  // a file or a link where a folder is needed
          owner = found;
          if (i + 1 == comps.size()) item.result |= arc::kItemPresent;
          continue;
        }
        if (a & kAttrDirectory) return 1;
        // Reparse points and entries with alternate streams keep their content.
        if ((a & kAttrReparsePoint) || StreamCount(m, found)) return 1;
        if (EntryHash(m, found) == item.hash) {
          item.result |= arc::kItemPresent;
          return 0;
        }
        if (!ReplaceFile(state, image, found, item)) return 1;
        item.result |= arc::kItemReplaced;
        return 0;
      }
      inserting = true;
      ownerGetsList = list == 0;
      insertionPoint = ownerGetsList ? m.size() : terminator;
    }
    std::vector<uint8_t> entry = NewEntry(comps[i], folder, item, now);
    if (folder) {
      SetAt<uint64_t>(entry.data(), offsetof(WimDirEntryDisk, subdirOffset),
                      insertionPoint + buffer.size() + entry.size() + 8);
      buffer.insert(buffer.end(), entry.begin(), entry.end());
      buffer.insert(buffer.end(), 8, 0);
      ++foldersAdded;
    } else {
      buffer.insert(buffer.end(), entry.begin(), entry.end());
      ++filesAdded;
    }
    result = arc::kItemAdded;
  }
  if (buffer.empty()) return 0;
  // A folder without a child list gets one at the end of the metadata.
  if (ownerGetsList) buffer.insert(buffer.end(), 8, 0);
  if (m.size() + buffer.size() > kMaxTableSize) return 1;
  std::vector<uint64_t> all;
  if (!CollectEntries(m, root, all)) return 1;
  // Lists that start behind the insertion point move; the empty list that starts right
  // at it now begins with the new entries (any other folder sharing it keeps it empty).
  for (uint64_t pos : all) {
    uint64_t sub = SubdirOffset(m, pos);
    if (sub > insertionPoint || (sub == insertionPoint && pos != owner))
      SetAt<uint64_t>(m.data(), size_t(pos + offsetof(WimDirEntryDisk, subdirOffset)), sub + buffer.size());
  }
  if (ownerGetsList) SetAt<uint64_t>(m.data(), size_t(owner + offsetof(WimDirEntryDisk, subdirOffset)), insertionPoint);
  m.insert(m.begin() + ptrdiff_t(insertionPoint), buffer.begin(), buffer.end());
  image.foldersAdded += foldersAdded;
  image.filesAdded += filesAdded;
  if (filesAdded) {
    image.bytesAdded += int64_t(item.size);
    state.AddReference(item.hash);
  }
  image.modified = true;
  item.result |= result;
  return 0;
}

int WimImage_ParseMetadataForImage(WimUpdateState& state, CUpdateItem& item) {
  auto& images = state.db->images;
  if (item.imageIndex == 0 || item.imageIndex > images.size()) return 1;
  WimImageRecord& image = images[item.imageIndex - 1];
  return WimImage_WalkOrInsertPath(state, image, image.rootPosition, item);
}

int WimImage_ParseMetadataForUpdate(WimUpdateState& state, CUpdateItem& item) {
  auto& images = state.db->images;
  const uint32_t n = item.imageIndex;
  if (n > images.size() || images.empty()) return 1;
  if (n > 0) return WimImage_ParseMetadataForImage(state, item);
  const int32_t outcome = arc::kItemAdded | arc::kItemReplaced | arc::kItemPresent;
  int32_t seen = 0;
  for (WimImageRecord& image : images) {
    item.result &= ~outcome;
    if (WimImage_WalkOrInsertPath(state, image, image.rootPosition, item) != 0) return 1;
    seen |= item.result;
  }
  int32_t last = item.result & outcome;
  item.result &= ~outcome;
  if (seen & arc::kItemAdded) item.result |= arc::kItemAdded;
  else if (seen & arc::kItemReplaced) item.result |= arc::kItemReplaced;
  else item.result |= last;
  return 0;
}

// ---- the update ----------------------------------------------------------------------

namespace {

uint64_t ResourceEnd(const WimResource& r) { return r.offset + r.packedSize; }

}  // namespace

std::vector<std::u16string> WimSplitImagePath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == u'\\' || path[i] == u'/') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += path[i];
    }
  }
  return parts;
}

bool WimUsableComponents(const std::vector<std::u16string>& parts) {
  if (parts.empty()) return false;
  for (const std::u16string& p : parts) {
    if (p == u"." || p == u".." || p.size() > 255) return false;
    for (char16_t c : p)
      if (c == 0) return false;
  }
  return true;
}

void WimPutLookupRecord(std::vector<uint8_t>& table, const CLookupTableRecord& r) {
  uint8_t raw[sizeof(WimLookupRecordDisk)] = {};
  r.resource.Write(raw);
  SetAt<uint16_t>(raw, offsetof(WimLookupRecordDisk, partNumber), r.partNumber);
  SetAt<uint32_t>(raw, offsetof(WimLookupRecordDisk, refCount), r.refCount);
  std::memcpy(raw + offsetof(WimLookupRecordDisk, hash), r.hash.data(), 20);
  table.insert(table.end(), raw, raw + sizeof raw);
}

bool WimCopyStream(int in, int out, uint64_t offset, uint64_t& copied, Sha1& hash) {
  std::vector<uint8_t> block(1u << 20);
  WimSha1Context sha;
  copied = 0;
  for (;;) {
    ssize_t n = read(in, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    sha.Update(block.data(), size_t(n));
    if (!WimPwriteAll(out, block.data(), size_t(n), offset + copied)) return false;
    copied += uint64_t(n);
  }
  hash = sha.Final();
  return true;
}

int32_t WimLookup_FindIndex(const WimDatabase& db, const Sha1& hash) {
  for (size_t i = 0; i < db.records.size(); ++i)
    if (db.records[i].hash == hash) return int32_t(i);
  return -1;
}

int32_t WimLookup_InsertRecord(WimUpdateState& state, const CLookupTableRecord& record) {
  const int32_t index = int32_t(state.db->records.size());
  state.db->records.push_back(record);
  state.released.push_back(false);
  state.byHash[record.hash] = index;
  return index;
}

namespace {
// Records why the update failed (see wim_error.h) and hands back the status to return.
Status Failed(const char* step, int err = errno, Status status = arc::E_FAIL) {
  WimFail(step, err);
  return status;
}
}  // namespace

Status COutHandler::UpdateItemsInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback,
                                       CHandler* handler) {
  return UpdateInPlace(outFd, count, callback, handler, false);
}

Status COutHandler::UpdateItemsInPlaceUnshared(int outFd, uint32_t count, CArchiveUpdateCallback* callback,
                                               CHandler* handler) {
  return UpdateInPlace(outFd, count, callback, handler, true);
}

Status COutHandler::UpdateInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback,
                                  CHandler* handler, bool unshared) {
  if (!callback || !handler || !handler->OpenedForUpdate()) return Failed("opening the source for update", 0);
  if (count > callback->Count()) return arc::E_INVALIDARG;
  WimHeader& header = handler->Header();
  WimDatabase& db = handler->Database();
  // The header is always written in the current layout.
  if (WimLayout(header.version) <= kWimLayoutNoIntegrity) return Failed("an old WIM version", 0, arc::E_NOTIMPL);

  std::vector<CUpdateItem> items(count);
  for (uint32_t i = 0; i < count; ++i) {
    const arc::CDirItem& d = callback->Item(i);
    CUpdateItem& u = items[i];
    u.name = d.Name;
    u.sourcePath = d.FullPath;
    u.imagePath = d.ImagePath;
    u.components = WimSplitImagePath(d.ImagePath);
    u.isFolder = d.Attrib & arc::kAttribDirectory;
    u.attributes = d.Attrib;
    u.size = d.Size;
    u.creationTime = d.CTime;
    u.lastAccessTime = d.ATime;
    u.lastWriteTime = d.MTime;
    u.imageIndex = d.ImageIndex;
  }

  WimUpdateState state;
  state.db = &db;
  state.released.assign(db.records.size(), false);
  for (size_t i = 0; i < db.records.size(); ++i)
    if (!db.records[i].resource.IsMetadata()) state.byHash.emplace(db.records[i].hash, int32_t(i));

  // Everything from the old lookup table on is written again, unless stored data lies
  // behind it: nothing that is kept may be overwritten.
  uint64_t start = std::max<uint64_t>(header.lookupTable.offset, sizeof(WimHeaderDisk));
  for (const CLookupTableRecord& r : db.records)
    if (!r.resource.IsMetadata()) start = std::max(start, ResourceEnd(r.resource));
  bool bootIsImage = false;
  for (const WimImageRecord& image : db.images)
    if (image.oldResource.offset == header.bootMetadata.offset) bootIsImage = true;
  if (!bootIsImage && header.bootMetadata.originalSize)
    start = std::max(start, ResourceEnd(header.bootMetadata));
  if (start > handler->FileSize()) return Failed("stored data behind the end of the source", 0);
  if (ftruncate(outFd, off_t(start)) != 0) return Failed("cutting the copy at its old lookup table");
  uint64_t writePos = start;

  for (uint32_t i = 0; i < count; ++i) {
    CUpdateItem& item = items[i];
    bool usable = WimUsableComponents(item.components);
    if (!item.isFolder) {
      int in = -1;
      Status s = callback->GetStream(i, in);
      if (s == arc::S_FALSE) {
        callback->SetItemResult(i, 0);
        callback->SetOperationResult(arc::kOK);
        continue;
      }
      if (s != arc::S_OK) return s;
      uint64_t copied = 0;
      errno = 0;
      bool ok = usable ? WimCopyStream(in, outFd, writePos, copied, item.hash) : true;
      close(in);
      if (!ok) return Failed("storing the data of an item");
      item.size = copied;
      if (copied == 0) item.hash = Sha1{};  // an empty file has no stored data
    }
    bool keepData = false;
    if (usable && !item.isFolder && item.size) {
      CLookupTableRecord record;
      record.resource.packedSize = record.resource.originalSize = item.size;
      record.resource.offset = writePos;
      record.partNumber = header.partNumber;
      record.hash = item.hash;
      if (unshared) {
        // Every file keeps a copy of its own, even when the content is stored already.
        item.record = WimLookup_InsertRecord(state, record);
        item.result |= kItemNewRecord;
      } else {
        WimLookup_FindOrAppend(state, record, item);
      }
      if (item.result & kItemNewRecord) {
        item.dataOffset = writePos;
        item.packedSize = item.size;
      }
    }
    const bool newRecord = item.result & kItemNewRecord;
    if (!usable || WimImage_ParseMetadataForUpdate(state, item) != 0) item.result = 0;
    if (newRecord) {
      // New data stays only when an entry took it.
      if (db.records.back().refCount > 0) {
        keepData = true;
      } else {
        state.byHash.erase(db.records.back().hash);
        db.records.pop_back();
        state.released.pop_back();
        item.result &= ~kItemNewRecord;
      }
    }
    if (keepData) writePos += item.size;
    else if (!item.isFolder && ftruncate(outFd, off_t(writePos)) != 0) return Failed("dropping unused item data");
    Status s = callback->SetItemResult(i, item.result);
    if (s != arc::S_OK) return s;
    callback->SetOperationResult(arc::kOK);
  }

  // Metadata: changed images are stored uncompressed; unchanged ones stay where they are
  // when that is in front of the rewritten part, else they are copied from the source.
  for (WimImageRecord& image : db.images) {
    CLookupTableRecord& record = db.records[size_t(image.record)];
    if (image.modified) {
      if (!WimPwriteAll(outFd, image.metadata.data(), image.metadata.size(), writePos))
        return Failed("writing the metadata of an image");
      record.resource.flags = kResMetadata;
      record.resource.offset = writePos;
      record.resource.packedSize = record.resource.originalSize = image.metadata.size();
      record.hash = WimSha1(image.metadata.data(), image.metadata.size());
      writePos += image.metadata.size();
    } else if (ResourceEnd(image.oldResource) > start) {
      if (!WimCopyRange(handler->InputFd(), image.oldResource.offset, outFd, writePos,
                     image.oldResource.packedSize))
        return Failed("copying the metadata of an image");
      record.resource.offset = writePos;
      writePos += image.oldResource.packedSize;
    }
    image.newResource = record.resource;
  }

  // Lookup table: data records in table order (released ones left out), then the
  // metadata records in image order, so that image numbers stay.
  std::vector<uint8_t> table;
  auto put = [&](const CLookupTableRecord& r) { WimPutLookupRecord(table, r); };
  for (size_t i = 0; i < db.records.size(); ++i)
    if (!db.records[i].resource.IsMetadata() && !(state.released[i] && db.records[i].refCount == 0))
      put(db.records[i]);
  for (const WimImageRecord& image : db.images) put(db.records[size_t(image.record)]);
  if (!WimPwriteAll(outFd, table.data(), table.size(), writePos)) return Failed("writing the lookup table");
  header.lookupTable = WimResource{table.size(), writePos, table.size(),
                                   uint8_t(header.lookupTable.flags & ~kResCompressed)};
  writePos += table.size();

  uint64_t xmlLength = 0;
  errno = 0;
  Status s = WimUpdate_RewriteXml(*handler, outFd, writePos, xmlLength);
  if (s != arc::S_OK) return Failed("writing the XML data", errno, s);
  header.xml = WimResource{xmlLength, writePos, xmlLength, uint8_t(header.xml.flags & ~kResCompressed)};
  writePos += xmlLength;

  for (const WimImageRecord& image : db.images)
    if (header.bootMetadata.originalSize && image.oldResource.offset == header.bootMetadata.offset)
      header.bootMetadata = image.newResource;
  header.integrity = WimResource();
  uint8_t raw[sizeof(WimHeaderDisk)];
  WimWriteHeader(header, raw);
  if (!WimPwriteAll(outFd, raw, sizeof raw, 0)) return Failed("writing the header");
  if (ftruncate(outFd, off_t(writePos)) != 0) return Failed("cutting the copy after the XML data");
  if (fsync(outFd) != 0) return Failed("syncing the copy");
  return arc::S_OK;
}

}  // namespace NArchive::NWim
