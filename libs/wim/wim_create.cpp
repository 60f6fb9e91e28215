// Writing a new single-image WIM file with stored (uncompressed) resources.
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>

#include "libs/wim/wim_update.h"

namespace NArchive::NWim {

namespace {

constexpr uint32_t kNewWimFlags = 0x80;

// One entry of the tree being written; children sorted by name without case, then by
// the exact name, so that names differing only in case are kept apart.
struct TreeNode {
  std::u16string name;
  bool folder = true;
  uint32_t attributes = kAttrDirectory;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0;
  Sha1 hash{};
  uint64_t size = 0;
  std::vector<std::unique_ptr<TreeNode>> children;
};

int CompareNames(const std::u16string& a, const std::u16string& b) {
  std::u16string la = WimLowerCase(a), lb = WimLowerCase(b);
  if (la != lb) return la < lb ? -1 : 1;
  if (a != b) return a < b ? -1 : 1;
  return 0;
}

// The child with exactly this name, or the place to insert it.
std::vector<std::unique_ptr<TreeNode>>::iterator FindChild(TreeNode& parent, const std::u16string& name, bool& found) {
  auto it = std::lower_bound(
      parent.children.begin(), parent.children.end(), name,
      [](const std::unique_ptr<TreeNode>& n, const std::u16string& key) { return CompareNames(n->name, key) < 0; });
  found = it != parent.children.end() && (*it)->name == name;
  return it;
}

// Places an item in the tree: false when its path runs through a file or repeats one
// already placed.
bool Place(TreeNode& root, const std::vector<std::u16string>& parts, std::unique_ptr<TreeNode> leaf, uint64_t now) {
  TreeNode* node = &root;
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    bool found = false;
    auto it = FindChild(*node, parts[i], found);
    if (found) {
      if (!(*it)->folder) return false;
      node = it->get();
      continue;
    }
    auto folder = std::make_unique<TreeNode>();
    folder->name = parts[i];
    folder->creationTime = folder->lastAccessTime = folder->lastWriteTime = now;
    node = node->children.insert(it, std::move(folder))->get();
  }
  bool found = false;
  auto it = FindChild(*node, parts.back(), found);
  if (found) {
    // A folder named twice (or made on the way to an earlier item) takes the item's facts.
    if (!(*it)->folder || !leaf->folder) return false;
    leaf->children = std::move((*it)->children);
    *it = std::move(leaf);
    return true;
  }
  node->children.insert(it, std::move(leaf));
  return true;
}

std::vector<uint8_t> EntryBytes(const TreeNode& n) {
  const size_t nameBytes = n.name.size() * 2;
  const size_t length = (sizeof(WimDirEntryDisk) + nameBytes + 2 + 2 + 7) & ~size_t(7);
  std::vector<uint8_t> e(length, 0);
  SetAt<uint64_t>(e.data(), 0, length);
  SetAt<uint32_t>(e.data(), offsetof(WimDirEntryDisk, attributes), n.attributes);
  SetAt<int32_t>(e.data(), offsetof(WimDirEntryDisk, securityId), -1);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, creationTime), n.creationTime);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, lastAccessTime), n.lastAccessTime);
  SetAt<uint64_t>(e.data(), offsetof(WimDirEntryDisk, lastWriteTime), n.lastWriteTime);
  if (!n.folder) std::memcpy(e.data() + offsetof(WimDirEntryDisk, hash), n.hash.data(), 20);
  SetAt<uint16_t>(e.data(), offsetof(WimDirEntryDisk, longNameBytes), uint16_t(nameBytes));
  std::memcpy(e.data() + sizeof(WimDirEntryDisk), n.name.data(), nameBytes);
  return e;
}

// Appends the child list of a folder, then the lists of its sub-folders (depth first);
// returns where the list starts, 0 for a folder without children.
uint64_t AppendList(const TreeNode& folder, std::vector<uint8_t>& m) {
  if (folder.children.empty()) return 0;
  const uint64_t list = m.size();
  std::vector<uint64_t> positions;
  for (const auto& child : folder.children) {
    positions.push_back(m.size());
    std::vector<uint8_t> e = EntryBytes(*child);
    m.insert(m.end(), e.begin(), e.end());
  }
  m.insert(m.end(), 8, 0);
  for (size_t i = 0; i < folder.children.size(); ++i) {
    if (!folder.children[i]->folder) continue;
    uint64_t sub = AppendList(*folder.children[i], m);
    SetAt<uint64_t>(m.data(), size_t(positions[i] + offsetof(WimDirEntryDisk, subdirOffset)), sub);
  }
  return list;
}

void Count(const TreeNode& n, uint64_t& folders, uint64_t& files, uint64_t& bytes) {
  for (const auto& c : n.children) {
    if (c->folder) {
      ++folders;
      Count(*c, folders, files, bytes);
    } else {
      ++files;
      bytes += c->size;
    }
  }
}

std::u16string Ascii16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

std::string TimeElement(const char* name, uint64_t t) {
  char text[160];
  snprintf(text, sizeof text, "<%s><HIGHPART>0x%08X</HIGHPART><LOWPART>0x%08X</LOWPART></%s>", name, unsigned(t >> 32),
           unsigned(t & 0xFFFFFFFFu), name);
  return text;
}

}  // namespace

Status COutHandler::UpdateItems(int outFd, uint32_t count, CArchiveUpdateCallback* callback) {
  if (!callback || outFd < 0) return arc::E_INVALIDARG;
  if (count > callback->Count()) return arc::E_INVALIDARG;
  const uint64_t now = WimFileTimeNow();

  WimHeader header;
  header.version = kWimVersionCurrent;
  header.flags = kNewWimFlags;
  header.chunkSize = 0;
  header.imageCount = 1;
  header.bootIndex = 0;
  size_t got = 0;
  while (got < sizeof header.guid) {
    ssize_t n = getrandom(header.guid + got, sizeof header.guid - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return arc::E_FAIL;
    got += size_t(n);
  }
  uint8_t raw[sizeof(WimHeaderDisk)];
  WimWriteHeader(header, raw);
  if (ftruncate(outFd, 0) != 0 || !WimPwriteAll(outFd, raw, sizeof raw, 0)) return arc::E_FAIL;
  uint64_t writePos = sizeof raw;

  TreeNode root;
  root.creationTime = root.lastAccessTime = root.lastWriteTime = now;
  std::vector<CLookupTableRecord> records;
  std::map<Sha1, size_t> stored;  // content -> record
  for (uint32_t i = 0; i < count; ++i) {
    const arc::CDirItem& d = callback->Item(i);
    const std::vector<std::u16string> parts = WimSplitImagePath(d.ImagePath);
    auto leaf = std::make_unique<TreeNode>();
    leaf->folder = d.Attrib & arc::kAttribDirectory;
    leaf->name = parts.empty() ? std::u16string() : parts.back();
    leaf->attributes = leaf->folder ? (d.Attrib | kAttrDirectory) & ~kAttrReparsePoint
                                    : (d.Attrib & ~(kAttrDirectory | kAttrReparsePoint));
    if (!leaf->folder && leaf->attributes == 0) leaf->attributes = kAttrArchive;
    leaf->creationTime = d.CTime;
    leaf->lastAccessTime = d.ATime;
    leaf->lastWriteTime = d.MTime;
    int32_t result = 0;
    bool keepData = false;
    size_t newRecord = records.size();
    if (WimUsableComponents(parts)) {
      bool readable = true;
      if (!leaf->folder) {
        int in = -1;
        Status s = callback->GetStream(i, in);
        if (s != arc::S_OK && s != arc::S_FALSE) return s;
        readable = s == arc::S_OK;
        if (readable) {
          uint64_t copied = 0;
          bool ok = WimCopyStream(in, outFd, writePos, copied, leaf->hash);
          close(in);
          if (!ok) return arc::E_FAIL;
          leaf->size = copied;
          if (copied == 0) leaf->hash = Sha1{};
        }
      }
      const Sha1 hash = leaf->hash;
      const uint64_t size = leaf->size;
      if (readable && Place(root, parts, std::move(leaf), now)) {
        result = arc::kItemAdded;
        if (size) {
          auto it = stored.find(hash);
          if (it != stored.end()) {
            ++records[it->second].refCount;
            result |= kItemSharedRecord;
          } else {
            CLookupTableRecord r;
            r.resource = WimResource{size, writePos, size, 0};
            r.refCount = 1;
            r.hash = hash;
            records.push_back(r);
            stored.emplace(hash, newRecord);
            keepData = true;
            result |= kItemNewRecord;
          }
        }
      }
    }
    if (keepData)
      writePos += records.back().resource.originalSize;
    else if (ftruncate(outFd, off_t(writePos)) != 0)
      return arc::E_FAIL;  // drop the copy
    Status s = callback->SetItemResult(i, result);
    if (s != arc::S_OK) return s;
    callback->SetOperationResult(arc::kOK);
  }

  // Metadata: an empty security block, the root entry and its end mark, then the lists.
  std::vector<uint8_t> m(8, 0);
  SetAt<uint32_t>(m.data(), 0, 8);
  const uint64_t rootPos = m.size();
  std::vector<uint8_t> rootEntry = EntryBytes(root);
  m.insert(m.end(), rootEntry.begin(), rootEntry.end());
  m.insert(m.end(), 8, 0);
  SetAt<uint64_t>(m.data(), size_t(rootPos + offsetof(WimDirEntryDisk, subdirOffset)), AppendList(root, m));
  if (m.size() > kMaxTableSize) return arc::E_FAIL;
  if (!WimPwriteAll(outFd, m.data(), m.size(), writePos)) return arc::E_FAIL;
  CLookupTableRecord meta;
  meta.resource = WimResource{m.size(), writePos, m.size(), kResMetadata};
  meta.refCount = 1;
  meta.hash = WimSha1(m.data(), m.size());
  writePos += m.size();

  std::vector<uint8_t> table;
  for (const CLookupTableRecord& r : records) WimPutLookupRecord(table, r);
  WimPutLookupRecord(table, meta);
  if (!WimPwriteAll(outFd, table.data(), table.size(), writePos)) return arc::E_FAIL;
  header.lookupTable = WimResource{table.size(), writePos, table.size(), 0};
  writePos += table.size();

  uint64_t folders = 1, files = 0, bytes = 0;
  Count(root, folders, files, bytes);
  const std::string total = "<TOTALBYTES>" + std::to_string(writePos) + "</TOTALBYTES>";
  const std::string xml = "<WIM>" + total + "<IMAGE INDEX=\"1\"><NAME>1</NAME><DIRCOUNT>" + std::to_string(folders) +
                          "</DIRCOUNT><FILECOUNT>" + std::to_string(files) + "</FILECOUNT><TOTALBYTES>" +
                          std::to_string(bytes) + "</TOTALBYTES>" + TimeElement("CREATIONTIME", now) +
                          TimeElement("LASTMODIFICATIONTIME", now) + "</IMAGE></WIM>";
  std::u16string text = u"\xFEFF" + Ascii16(xml);
  if (!WimPwriteAll(outFd, text.data(), text.size() * 2, writePos)) return arc::E_FAIL;
  header.xml = WimResource{text.size() * 2, writePos, text.size() * 2, 0};
  writePos += text.size() * 2;

  WimWriteHeader(header, raw);
  if (!WimPwriteAll(outFd, raw, sizeof raw, 0)) return arc::E_FAIL;
  if (ftruncate(outFd, off_t(writePos)) != 0 || fsync(outFd) != 0) return arc::E_FAIL;
  return arc::S_OK;
}

}  // namespace NArchive::NWim
