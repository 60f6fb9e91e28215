#include "libs/wim/archive_extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "libs/wim/archive_callbacks.h"
#include "libs/wim/item_select.h"

namespace {

struct ArchiveCloser {
  void operator()(struct archive* a) const { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<struct archive, ArchiveCloser>;

// A 7z reader over a buffer in memory or over an open file; nullptr when the data is
// not a 7z archive.
struct ArchiveSource {
  const void* bytes = nullptr;
  uint32_t length = 0;
  int fd = -1;
};

ArchivePtr Open7z(const ArchiveSource& source) {
  if (source.fd < 0 && (!source.bytes || source.length == 0)) return nullptr;
  ArchivePtr a(archive_read_new());
  if (!a) return nullptr;
  if (archive_read_support_format_7zip(a.get()) != ARCHIVE_OK) return nullptr;
  int rc = source.fd >= 0 ? archive_read_open_fd(a.get(), source.fd, 64 * 1024)
                          : archive_read_open_memory(a.get(), source.bytes, source.length);
  if (rc != ARCHIVE_OK) return nullptr;
  return a;
}

arc::ItemInfo DescribeEntry(struct archive_entry* e) {
  arc::ItemInfo info;
  const char* name = archive_entry_pathname_utf8(e);
  if (!name) name = archive_entry_pathname(e);
  if (name) info.path = name;
  info.isDir = archive_entry_filetype(e) == AE_IFDIR;
  if (archive_entry_mtime_is_set(e)) {
    info.timeDefined = true;
    info.mtimeSec = archive_entry_mtime(e);
    info.mtimeNsec = int32_t(archive_entry_mtime_nsec(e));
  }
  info.attribDefined = archive_entry_perm(e) != 0;
  info.mode = archive_entry_perm(e);
  return info;
}

// Counts the items whose result was not OK, for sinks that keep their own count.
class CountingSink final : public arc::IExtractSink {
 public:
  explicit CountingSink(arc::IExtractSink& inner) : inner_(inner) {}
  arc::Status GetStream(const arc::ItemInfo& item) override { return inner_.GetStream(item); }
  arc::Status Write(const void* data, size_t size) override { return inner_.Write(data, size); }
  arc::Status SetOperationResult(arc::OperationResult result) override {
    if (result != arc::kOK) ++errors;
    arc::Status s = inner_.SetOperationResult(result);
    if (s != arc::S_OK && result == arc::kOK) ++errors;
    return s;
  }
  uint32_t errors = 0;

 private:
  arc::IExtractSink& inner_;
};

// Walks the archive once, in ascending item order, and hands every selected file
// item to the sink. Folders and other non-file items are never selected.
ArchiveOpResult ExtractSelected(const ArchiveSource& source, const ItemSelector& selector, arc::IExtractSink& target) {
  CountingSink sink(target);
  ArchivePtr a = Open7z(source);
  if (!a) return ARCHIVE_ERR_OPEN;
  bool selected = false;
  static constexpr size_t kBlock = 64 * 1024;
  std::unique_ptr<char[]> buffer(new char[kBlock]);
  for (;;) {
    struct archive_entry* entry = nullptr;
    int rc = archive_read_next_header(a.get(), &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      // A data error can leave the reader unable to go on; that is the item's failure.
      return sink.errors ? ARCHIVE_ERR_ITEM_DATA : ARCHIVE_ERR_OPEN;
    }
    arc::ItemInfo info = DescribeEntry(entry);
    if (archive_entry_filetype(entry) != AE_IFREG) continue;
    if (!selector.Selects(info.path)) continue;
    selected = true;
    if (sink.GetStream(info) != arc::S_OK) return ARCHIVE_ERR_EXTRACT;
    arc::OperationResult result = arc::kOK;
    for (;;) {
      la_ssize_t n = archive_read_data(a.get(), buffer.get(), kBlock);
      if (n == 0) break;
      if (n < 0) {
        result = arc::kDataError;
        break;
      }
      if (sink.Write(buffer.get(), size_t(n)) != arc::S_OK) {
        sink.SetOperationResult(arc::kDataError);
        return ARCHIVE_ERR_EXTRACT;
      }
    }
    if (sink.SetOperationResult(result) != arc::S_OK) return ARCHIVE_ERR_EXTRACT;
  }
  if (!selected) return ARCHIVE_ERR_NO_ITEM;
  return sink.errors ? ARCHIVE_ERR_ITEM_DATA : ARCHIVE_OK;
}

}  // namespace

ArchiveOpResult ExtractFrom7zBuffer(const void* archive, uint32_t length, const char* nameOrPattern,
                                    const char* outputFolder, int /*ignored*/, bool withPaths, bool usePattern) {
  if (!outputFolder) return ARCHIVE_ERR_EXTRACT;
  ItemSelector selector(nameOrPattern, usePattern);
  arc::CArchiveExtractCallback callback;
  callback.Init(outputFolder, withPaths);
  return ExtractSelected(ArchiveSource{archive, length, -1}, selector, callback);
}

ArchiveOpResult ExtractFrom7zFile(const char* archivePath, const char* nameOrPattern, const char* outputFolder,
                                  int /*ignored*/, bool withPaths, bool usePattern) {
  if (!archivePath) return ARCHIVE_ERR_FILE_OPEN;
  std::string path(archivePath);
  for (char& c : path)
    if (c == '\\') c = '/';
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ARCHIVE_ERR_FILE_OPEN;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ARCHIVE_ERR_FILE_OPEN;
  }
  ArchiveOpResult rc = ARCHIVE_ERR_EXTRACT;
  if (outputFolder) {
    ItemSelector selector(nameOrPattern, usePattern);
    arc::CArchiveExtractCallback callback;
    callback.Init(outputFolder, withPaths);
    rc = ExtractSelected(ArchiveSource{nullptr, 0, fd}, selector, callback);
  }
  close(fd);
  return rc;
}

ArchiveOpResult ExtractItemToMemory(const void* archive, uint32_t length, const char* name, std::string& out) {
  ItemSelector selector(name, false);
  arc::CMemoryExtractSink memory;
  ArchiveOpResult rc = ExtractSelected(ArchiveSource{archive, length, -1}, selector, memory);
  if (rc == ARCHIVE_OK) out.swap(memory.Data());
  return rc;
}

std::string MakePrivateTempFolder() {
  std::string base;
  for (const char* var : {"TEMP", "TMP", "TMPDIR"}) {
    const char* value = getenv(var);
    if (value && *value) {
      base = value;
      break;
    }
  }
  if (base.empty()) base = "/tmp";
  for (char& c : base)
    if (c == '\\') c = '/';
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  std::string folder = base + "/nimbo-XXXXXX";
  if (!mkdtemp(folder.data())) return {};
  return folder + "/";
}
