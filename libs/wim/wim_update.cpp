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
bool IsPlainDir(uint32_t attributes) { return (attributes & kAttrDirectory) && !(attributes & kAttrReparsePoint); }

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
int FindInList(const Meta& m, uint64_t listPos, const std::u16string& name, uint64_t& found, uint64_t& terminator) {
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
std::vector<uint8_t> NewEntry(const std::u16string& name, bool folder, const CUpdateItem& item, uint64_t now) {
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

int WimImage_WalkOrInsertPath(WimUpdateState& state, WimImageRecord& image, uint64_t root, CUpdateItem& item) {
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
  if (seen & arc::kItemAdded)
    item.result |= arc::kItemAdded;
  else if (seen & arc::kItemReplaced)
    item.result |= arc::kItemReplaced;
  else
    item.result |= last;
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

// What the phases of an in-place update hand on to each other: the output, the source's
// header and database (changed as the update goes), the reference counts, and where the
// output is written.
struct InPlaceUpdate {
  InPlaceUpdate(int output, CHandler& source)
      : outFd(output), handler(source), header(source.Header()), database(source.Database()) {
    references.db = &database;
    references.released.assign(database.records.size(), false);
    for (size_t index = 0; index < database.records.size(); ++index)
      if (!database.records[index].resource.IsMetadata())
        references.byHash.emplace(database.records[index].hash, int32_t(index));
  }

  const int outFd;
  CHandler& handler;
  WimHeader& header;
  WimDatabase& database;
  WimUpdateState references;   // data records by content and their reference counts
  uint64_t rewriteStart = 0;   // the output is written again from here on
  uint64_t writePosition = 0;  // where the next resource goes
};

// The callback's first count items as the updater works on them.
std::vector<CUpdateItem> UpdateItemsFrom(const CArchiveUpdateCallback& callback, uint32_t count) {
  std::vector<CUpdateItem> items(count);
  for (uint32_t index = 0; index < count; ++index) {
    const arc::CDirItem& source = callback.Item(index);
    CUpdateItem& item = items[index];
    item.name = source.Name;
    item.sourcePath = source.FullPath;
    item.imagePath = source.ImagePath;
    item.components = WimSplitImagePath(source.ImagePath);
    item.isFolder = source.Attrib & arc::kAttribDirectory;
    item.attributes = source.Attrib;
    item.size = source.Size;
    item.creationTime = source.CTime;
    item.lastAccessTime = source.ATime;
    item.lastWriteTime = source.MTime;
    item.imageIndex = source.ImageIndex;
  }
  return items;
}

// Where the rewrite starts: everything from the old lookup table on is written again,
// unless stored data lies behind it: nothing that is kept may be overwritten.
uint64_t RewriteStart(const WimHeader& header, const WimDatabase& database) {
  uint64_t start = std::max<uint64_t>(header.lookupTable.offset, sizeof(WimHeaderDisk));
  for (const CLookupTableRecord& record : database.records)
    if (!record.resource.IsMetadata()) start = std::max(start, ResourceEnd(record.resource));
  bool bootIsImage = false;
  for (const WimImageRecord& image : database.images)
    if (image.oldResource.offset == header.bootMetadata.offset) bootIsImage = true;
  if (!bootIsImage && header.bootMetadata.originalSize) start = std::max(start, ResourceEnd(header.bootMetadata));
  return start;
}

// Cuts the output where the rewrite starts; the phases write from there on.
Status StartRewrite(InPlaceUpdate& update) {
  update.rewriteStart = RewriteStart(update.header, update.database);
  if (update.rewriteStart > update.handler.FileSize()) return Failed("stored data behind the end of the source", 0);
  if (ftruncate(update.outFd, off_t(update.rewriteStart)) != 0)
    return Failed("cutting the copy at its old lookup table");
  update.writePosition = update.rewriteStart;
  return arc::S_OK;
}

// Copies a file item's source to the write position, hashing it, when its path is usable;
// the source is opened either way, so that one that cannot be read is reported. S_OK;
// S_FALSE when the source cannot be opened (the item is skipped); else the failure.
Status CopyItemSource(InPlaceUpdate& update, CArchiveUpdateCallback& callback, uint32_t index, bool usable,
                      CUpdateItem& item) {
  int sourceFd = -1;
  const Status opened = callback.GetStream(index, sourceFd);
  if (opened != arc::S_OK) return opened;
  uint64_t copied = 0;
  errno = 0;
  const bool stored = usable ? WimCopyStream(sourceFd, update.outFd, update.writePosition, copied, item.hash) : true;
  close(sourceFd);
  if (!stored) return Failed("storing the data of an item");
  item.size = copied;
  if (copied == 0) item.hash = Sha1{};  // an empty file has no stored data
  return arc::S_OK;
}

// Gives the data just copied a lookup record: a new one, or (unless unshared) the record
// of equal content stored already.
void RecordItemData(InPlaceUpdate& update, CUpdateItem& item, bool unshared) {
  CLookupTableRecord record;
  record.resource.packedSize = record.resource.originalSize = item.size;
  record.resource.offset = update.writePosition;
  record.partNumber = update.header.partNumber;
  record.hash = item.hash;
  if (unshared) {
    // Every file keeps a copy of its own, even when the content is stored already.
    item.record = WimLookup_InsertRecord(update.references, record);
    item.result |= kItemNewRecord;
  } else {
    WimLookup_FindOrAppend(update.references, record, item);
  }
  if (item.result & kItemNewRecord) {
    item.dataOffset = update.writePosition;
    item.packedSize = item.size;
  }
}

// New data stays only when an entry took it; else its record (the last one) goes again.
// True when it stays.
bool KeepNewRecordIfTaken(InPlaceUpdate& update, CUpdateItem& item) {
  std::vector<CLookupTableRecord>& records = update.database.records;
  if (records.back().refCount > 0) return true;
  update.references.byHash.erase(records.back().hash);
  records.pop_back();
  update.references.released.pop_back();
  item.result &= ~kItemNewRecord;
  return false;
}

// One item: its data stored at the write position, its entry made in its image (or every
// image), its result handed to the callback.
Status WriteOneItem(InPlaceUpdate& update, CArchiveUpdateCallback& callback, uint32_t index, CUpdateItem& item,
                    bool unshared) {
  const bool usable = WimUsableComponents(item.components);
  if (!item.isFolder) {
    const Status copied = CopyItemSource(update, callback, index, usable, item);
    if (copied == arc::S_FALSE) {
      callback.SetItemResult(index, 0);
      callback.SetOperationResult(arc::kOK);
      return arc::S_OK;
    }
    if (copied != arc::S_OK) return copied;
  }
  if (usable && !item.isFolder && item.size) RecordItemData(update, item, unshared);
  const bool newRecord = item.result & kItemNewRecord;
  if (!usable || WimImage_ParseMetadataForUpdate(update.references, item) != 0) item.result = 0;
  const bool keepData = newRecord && KeepNewRecordIfTaken(update, item);
  if (keepData)
    update.writePosition += item.size;
  else if (!item.isFolder && ftruncate(update.outFd, off_t(update.writePosition)) != 0)
    return Failed("dropping unused item data");
  const Status reported = callback.SetItemResult(index, item.result);
  if (reported != arc::S_OK) return reported;
  callback.SetOperationResult(arc::kOK);
  return arc::S_OK;
}

// Phase 1: the data of the items, stored uncompressed behind the kept data, and their
// entries in the images' metadata (in memory).
Status WriteItemData(InPlaceUpdate& update, std::vector<CUpdateItem>& items, CArchiveUpdateCallback& callback,
                     bool unshared) {
  for (uint32_t index = 0; index < items.size(); ++index) {
    const Status status = WriteOneItem(update, callback, index, items[index], unshared);
    if (status != arc::S_OK) return status;
  }
  return arc::S_OK;
}

// Phase 2: the metadata of the images. Changed images are stored uncompressed; unchanged
// ones stay where they are when that is in front of the rewritten part, else they are
// copied from the source.
Status WriteImageMetadata(InPlaceUpdate& update) {
  for (WimImageRecord& image : update.database.images) {
    CLookupTableRecord& record = update.database.records[size_t(image.record)];
    if (image.modified) {
      const std::vector<uint8_t>& metadata = image.metadata;
      if (!WimPwriteAll(update.outFd, metadata.data(), metadata.size(), update.writePosition))
        return Failed("writing the metadata of an image");
      record.resource.flags = kResMetadata;
      record.resource.offset = update.writePosition;
      record.resource.packedSize = record.resource.originalSize = metadata.size();
      record.hash = WimSha1(metadata.data(), metadata.size());
      update.writePosition += metadata.size();
    } else if (ResourceEnd(image.oldResource) > update.rewriteStart) {
      const WimResource& old = image.oldResource;
      if (!WimCopyRange(update.handler.InputFd(), old.offset, update.outFd, update.writePosition, old.packedSize))
        return Failed("copying the metadata of an image");
      record.resource.offset = update.writePosition;
      update.writePosition += old.packedSize;
    }
    image.newResource = record.resource;
  }
  return arc::S_OK;
}

// Phase 3: the lookup table. Data records in table order (released ones left out), then
// the metadata records in image order, so that image numbers stay.
Status WriteLookupTable(InPlaceUpdate& update) {
  const WimDatabase& database = update.database;
  std::vector<uint8_t> table;
  for (size_t index = 0; index < database.records.size(); ++index) {
    const CLookupTableRecord& record = database.records[index];
    const bool dropped = update.references.released[index] && record.refCount == 0;
    if (!record.resource.IsMetadata() && !dropped) WimPutLookupRecord(table, record);
  }
  for (const WimImageRecord& image : database.images) WimPutLookupRecord(table, database.records[size_t(image.record)]);
  if (!WimPwriteAll(update.outFd, table.data(), table.size(), update.writePosition))
    return Failed("writing the lookup table");
  WimHeader& header = update.header;
  header.lookupTable = WimResource{table.size(), update.writePosition, table.size(),
                                   uint8_t(header.lookupTable.flags & ~kResCompressed)};
  update.writePosition += table.size();
  return arc::S_OK;
}

// Phase 4a: the XML data with the counters of the changed images.
Status WriteXmlData(InPlaceUpdate& update) {
  uint64_t xmlLength = 0;
  errno = 0;
  const Status status = WimUpdate_RewriteXml(update.handler, update.outFd, update.writePosition, xmlLength);
  if (status != arc::S_OK) return Failed("writing the XML data", errno, status);
  WimHeader& header = update.header;
  header.xml = WimResource{xmlLength, update.writePosition, xmlLength, uint8_t(header.xml.flags & ~kResCompressed)};
  update.writePosition += xmlLength;
  return arc::S_OK;
}

// Phase 4b: the header (the boot metadata follows its image; no integrity table is kept),
// then the output is cut after the XML data and synced.
Status WriteHeaderAndFinish(InPlaceUpdate& update) {
  WimHeader& header = update.header;
  for (const WimImageRecord& image : update.database.images)
    if (header.bootMetadata.originalSize && image.oldResource.offset == header.bootMetadata.offset)
      header.bootMetadata = image.newResource;
  header.integrity = WimResource();
  uint8_t raw[sizeof(WimHeaderDisk)];
  WimWriteHeader(header, raw);
  if (!WimPwriteAll(update.outFd, raw, sizeof raw, 0)) return Failed("writing the header");
  if (ftruncate(update.outFd, off_t(update.writePosition)) != 0) return Failed("cutting the copy after the XML data");
  if (fsync(update.outFd) != 0) return Failed("syncing the copy");
  return arc::S_OK;
}

}  // namespace

Status COutHandler::UpdateItemsInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback, CHandler* handler) {
  return UpdateInPlace(outFd, count, callback, handler, false);
}

Status COutHandler::UpdateItemsInPlaceUnshared(int outFd, uint32_t count, CArchiveUpdateCallback* callback,
                                               CHandler* handler) {
  return UpdateInPlace(outFd, count, callback, handler, true);
}

Status COutHandler::UpdateInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback, CHandler* handler,
                                  bool unshared) {
  if (!callback || !handler || !handler->OpenedForUpdate()) return Failed("opening the source for update", 0);
  if (count > callback->Count()) return arc::E_INVALIDARG;
  // The header is always written in the current layout.
  if (WimLayout(handler->Header().version) <= kWimLayoutNoIntegrity)
    return Failed("an old WIM version", 0, arc::E_NOTIMPL);

  std::vector<CUpdateItem> items = UpdateItemsFrom(*callback, count);
  InPlaceUpdate update(outFd, *handler);
  // Each phase records the step that failed.
  if (const Status status = StartRewrite(update); status != arc::S_OK) return status;
  if (const Status status = WriteItemData(update, items, *callback, unshared); status != arc::S_OK) return status;
  if (const Status status = WriteImageMetadata(update); status != arc::S_OK) return status;
  if (const Status status = WriteLookupTable(update); status != arc::S_OK) return status;
  if (const Status status = WriteXmlData(update); status != arc::S_OK) return status;
  return WriteHeaderAndFinish(update);
}

}  // namespace NArchive::NWim
