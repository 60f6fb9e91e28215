// A WIM file presented as a flat list of items with paths, extracted by index.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libs/wim/archive_callbacks.h"
#include "libs/wim/wim_format.h"

namespace NArchive::NWim {

// What the handler reports about one item.
struct WimItemInfo {
  std::u16string path;  // "1\Windows\System32\file" (image number, '\', path in the image)
  bool isDir = false;
  uint64_t size = 0;  // unpacked
  uint64_t packedSize = 0;
  uint32_t attributes = 0;
  bool attributesDefined = false;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0;  // FILETIME, 0 unknown
  std::u16string shortName;
  uint32_t refCount = 0;
};

class CHandler {
 public:
  CHandler() = default;
  ~CHandler() { Close(); }
  CHandler(const CHandler&) = delete;
  CHandler& operator=(const CHandler&) = delete;

  // Reads the file open at fd (not owned; it must stay open while the handler is used).
  // forUpdate keeps each image's metadata for the in-place updater and lists only the
  // stored resources. S_OK; kBadWim when the file is not a WIM or is damaged;
  // E_NOTIMPL for LZMS or solid resources.
  Status Open(int fd, bool forUpdate);
  Status Close();

  uint32_t GetNumberOfItems() const { return uint32_t(items_.size()); }
  // Fills info for an item; E_INVALIDARG for an index out of range.
  Status GetItem(uint32_t index, WimItemInfo& info) const;

  // Extracts the given items (all when indices is null) in the given order; per-item
  // results go to the sink. Returns a failure only when the file or the sink fails.
  Status Extract(const uint32_t* indices, uint32_t count, bool testMode, arc::IExtractSink& sink);

  // For the in-place updater.
  WimDatabase& Database() { return db_; }
  WimHeader& Header() { return header_; }
  int InputFd() const { return fd_; }
  uint64_t FileSize() const { return fileSize_; }
  bool OpenedForUpdate() const { return forUpdate_; }

 private:
  struct ItemRef {
    enum Kind { kEntry, kRecord, kXml } kind;
    uint32_t index;
  };
  void BuildItems();
  std::u16string EntryPath(uint32_t entry) const;
  const CLookupTableRecord* RecordOf(const ItemRef& item) const;

  int fd_ = -1;
  uint64_t fileSize_ = 0;
  bool forUpdate_ = false;
  WimHeader header_;
  WimDatabase db_;
  std::unique_ptr<WimDecoder> decoder_;
  std::vector<ItemRef> items_;
  uint32_t digits_ = 0;
};

}  // namespace NArchive::NWim
