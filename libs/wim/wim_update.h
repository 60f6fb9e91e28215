// Adding and replacing files in one image of an existing WIM file.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "libs/wim/archive_callbacks.h"
#include "libs/wim/wim_format.h"
#include "libs/wim/wim_handler.h"

namespace NArchive::NWim {

// Hands the updater the items to add and receives what it did with each.
class CArchiveUpdateCallback {
 public:
  explicit CArchiveUpdateCallback(std::vector<arc::CDirItem>* items) : items_(items) {}

  uint32_t Count() const { return items_ ? uint32_t(items_->size()) : 0; }
  const arc::CDirItem& Item(uint32_t index) const { return (*items_)[index]; }
  // Opens folder prefix + the item's source for reading: S_OK with a descriptor the caller
  // closes (-1 for a folder item); S_FALSE when it cannot be opened (recorded below).
  Status GetStream(uint32_t index, int& fd);
  Status SetOperationResult(int32_t result);
  Status SetItemResult(uint32_t index, int32_t result);
  // Ends the update: nothing is left to close.
  Status Finish() {
    needsClose_ = false;
    return arc::S_OK;
  }

  std::string folderPrefix;
  std::vector<std::string> failedPaths;
  std::vector<int> failedCodes;

 private:
  std::vector<arc::CDirItem>* items_;
  bool needsClose_ = false;
};

// Result bits besides those of CDirItem::Result.
constexpr int32_t kItemNewRecord = 0x1;
constexpr int32_t kItemSharedRecord = 0x2;

struct CUpdateItem {
  std::u16string name, imagePath;
  std::string sourcePath;
  std::vector<std::u16string> components;  // of imagePath
  int32_t result = 0;
  Sha1 hash{};
  uint64_t dataOffset = 0;
  uint64_t size = 0;
  uint64_t packedSize = 0;
  int32_t record = -1;
  uint64_t creationTime = 0, lastAccessTime = 0, lastWriteTime = 0;
  uint32_t attributes = 0;
  bool isFolder = false;
  int32_t indexInArchive = -1;
  uint32_t imageIndex = 0;  // 0: every image
};

// What the walk changes besides the metadata: reference counts of the lookup records.
struct WimUpdateState {
  WimDatabase* db = nullptr;
  std::map<Sha1, int32_t> byHash;  // data records by content
  std::vector<bool> released;      // records whose count was lowered
  void AddReference(const Sha1& hash);
  // Drops a reference; returns the size of the record's data (0 when there is none).
  uint64_t DropReference(const Sha1& hash);
};

class COutHandler {
 public:
  // Updates outFd, a writable copy of the file that handler was opened on for update:
  // new data is stored uncompressed behind the kept data, then the metadata, lookup table,
  // XML and header are written. S_OK or the failure; the caller discards the output on
  // failure.
  Status UpdateItemsInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback, CHandler* handler);
  // The same, except that the data of every file is stored and gets a lookup record of
  // its own (result bit kItemNewRecord) even when equal content is stored already.
  Status UpdateItemsInPlaceUnshared(int outFd, uint32_t count, CArchiveUpdateCallback* callback, CHandler* handler);
  // Writes a new single-image WIM to outFd (empty, writable, seekable) from the callback's
  // items: paths split at '\' and '/', missing folders created, file data stored
  // uncompressed once per distinct content. Items whose source cannot be read, whose
  // path is unusable or repeats an earlier one get result 0; the others kItemAdded (with
  // kItemNewRecord or kItemSharedRecord). S_OK or the failure; the caller discards the
  // output on failure.
  Status UpdateItems(int outFd, uint32_t count, CArchiveUpdateCallback* callback);
  uint32_t GetFileTimeType() const { return 0; }

 private:
  Status UpdateInPlace(int outFd, uint32_t count, CArchiveUpdateCallback* callback, CHandler* handler, bool unshared);
};

// Appends a lookup record as stored on disk (50 bytes).
void WimPutLookupRecord(std::vector<uint8_t>& table, const CLookupTableRecord& r);
// Copies an open source to the output at offset, hashing it; false on any failure.
bool WimCopyStream(int in, int out, uint64_t offset, uint64_t& copied, Sha1& hash);
// Splits a path inside an image at '\' and '/' (empty parts dropped).
std::vector<std::u16string> WimSplitImagePath(const std::u16string& path);
// True when every part is a usable name (not "." or "..", no NUL, at most 255 units).
bool WimUsableComponents(const std::vector<std::u16string>& parts);

// Applies one item to its image (or every image): 0 done (see item.result), 1 failed.
int WimImage_ParseMetadataForUpdate(WimUpdateState& state, CUpdateItem& item);
// Applies one item to its own image only (image 0 is refused): 0 done, 1 failed.
int WimImage_ParseMetadataForImage(WimUpdateState& state, CUpdateItem& item);
// Edits one image's metadata for the item: 0 done, 1 failed (the image is unchanged).
int WimImage_WalkOrInsertPath(WimUpdateState& state, WimImageRecord& image, uint64_t rootPosition, CUpdateItem& item);
// The first lookup record with this content, or -1.
int32_t WimLookup_FindIndex(const WimDatabase& db, const Sha1& hash);
// Appends a record where WimLookup_FindOrAppend would and returns its index; later
// references to the content go to it.
int32_t WimLookup_InsertRecord(WimUpdateState& state, const CLookupTableRecord& record);
// Finds a stored record with the same content or appends a new one: 0.
int WimLookup_FindOrAppend(WimUpdateState& state, const CLookupTableRecord& record, CUpdateItem& item);

}  // namespace NArchive::NWim
