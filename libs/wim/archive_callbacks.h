// The objects through which the archive reader hands items to its client.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "libs/platform/atomic_file.h"

namespace arc {

// Status words of the archive code.
using Status = int32_t;
constexpr Status S_OK = 0;
constexpr Status S_FALSE = 1;
constexpr Status E_NOTIMPL = int32_t(0x80004001u);
constexpr Status E_ABORT = int32_t(0x80004004u);
constexpr Status E_FAIL = int32_t(0x80004005u);
constexpr Status E_OUTOFMEMORY = int32_t(0x8007000Eu);
constexpr Status E_INVALIDARG = int32_t(0x80070057u);

// Result of one extracted item.
enum OperationResult : int32_t {
  kOK = 0,
  kUnsupportedMethod = 1,
  kDataError = 2,
  kCRCError = 3,
};

// What the reader knows about one item when it asks for its output.
struct ItemInfo {
  std::string path;  // UTF-8, separators as stored ('/' or '\'); empty when unnamed
  bool isDir = false;
  bool timeDefined = false;
  int64_t mtimeSec = 0;  // modification time, seconds since 1970
  int32_t mtimeNsec = 0;
  bool attribDefined = false;
  uint32_t mode = 0;  // POSIX permission bits when attribDefined
};

// Receives the selected items of one extraction, in archive order: for each item
// GetStream, then Write for every block of its data, then SetOperationResult.
class IExtractSink {
 public:
  virtual ~IExtractSink() = default;
  // S_OK to receive the item's data; E_ABORT stops the extraction.
  virtual Status GetStream(const ItemInfo& item) = 0;
  // S_OK, or a failure that stops the extraction.
  virtual Status Write(const void* data, size_t size) = 0;
  // The item ended with result; S_OK, or a failure that stops the extraction.
  virtual Status SetOperationResult(OperationResult result) = 0;
};

// Writes items below an output folder (see ExtractFrom7zBuffer).
class CArchiveExtractCallback final : public IExtractSink {
 public:
  CArchiveExtractCallback() = default;
  ~CArchiveExtractCallback() override;
  CArchiveExtractCallback(const CArchiveExtractCallback&) = delete;
  CArchiveExtractCallback& operator=(const CArchiveExtractCallback&) = delete;

  // outputFolder accepts '/' and '\'; a trailing separator is added when missing.
  void Init(const std::string& outputFolder, bool withPaths);
  Status GetStream(const ItemInfo& item) override;
  Status Write(const void* data, size_t size) override;
  Status SetOperationResult(OperationResult result) override;

  uint32_t ErrorCount() const { return errorCount_; }
  const std::string& OutputFolder() const { return outputFolder_; }

 private:
  void Discard();

  std::string outputFolder_;
  bool withPaths_ = false;
  uint32_t errorCount_ = 0;
  ItemInfo item_;
  std::string outputPath_;
  AtomicFile file_;  // the item being written, committed when its result is OK
};

// Keeps the data of the selected items in memory; the last item wins.
class CMemoryExtractSink final : public IExtractSink {
 public:
  Status GetStream(const ItemInfo& item) override;
  Status Write(const void* data, size_t size) override;
  Status SetOperationResult(OperationResult result) override;

  uint32_t ErrorCount() const { return errorCount_; }
  bool HasData() const { return hasData_; }
  std::string& Data() { return data_; }

 private:
  std::string pending_;
  std::string data_;
  bool hasData_ = false;
  uint32_t errorCount_ = 0;
};

// The output path of an item relative to the output folder, '/'-separated: with paths
// the item's path, without only its last component. Empty components and "." are
// dropped. Returns false (refused) when nothing is left or a component is "..".
bool ItemOutputPath(const std::string& itemPath, bool withPaths, std::string& relative);

// One file or folder to put into a WIM image.
struct CDirItem {
  uint64_t Size = 0;
  uint64_t CTime = 0;  // FILETIME values: 100 ns units since 1601
  uint64_t ATime = 0;
  uint64_t MTime = 0;
  std::u16string Name;       // last component of the source path
  std::string FullPath;      // source file on disk
  uint32_t Attrib = 0;       // Windows file attributes; 0x10 marks a folder
  std::u16string ImagePath;  // path inside the image, beginning with a backslash
  uint32_t ImageIndex = 0;   // 1 = first image
  int32_t Result = 0;        // what the update did with the item (mask 0xFF00)
};

constexpr uint32_t kAttribDirectory = 0x10;
constexpr int32_t kItemAdded = 0x100;
constexpr int32_t kItemReplaced = 0x200;
constexpr int32_t kItemPresent = 0x400;

}  // namespace arc
