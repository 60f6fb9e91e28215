#include "libs/wim/archive_callbacks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace arc {

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Creates every missing folder of path (absolute or relative, '/'-separated).
bool MakeFolderChain(const std::string& path) {
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!part.empty() && part != "/") {
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        struct stat st;
        if (stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
      }
    }
    if (i < path.size()) part += path[i];
  }
  return true;
}

}  // namespace

bool ItemOutputPath(const std::string& itemPath, bool withPaths, std::string& relative) {
  std::vector<std::string> parts;
  std::string part;
  for (size_t i = 0; i <= itemPath.size(); ++i) {
    if (i == itemPath.size() || IsSeparator(itemPath[i])) {
      parts.push_back(part);
      part.clear();
    } else {
      part += itemPath[i];
    }
  }
  if (!withPaths) parts = {parts.back()};
  relative.clear();
  for (const std::string& p : parts) {
    if (p.empty() || p == ".") continue;
    if (p == "..") return false;
    if (!relative.empty()) relative += '/';
    relative += p;
  }
  return !relative.empty();
}

CArchiveExtractCallback::~CArchiveExtractCallback() { Discard(); }

void CArchiveExtractCallback::Init(const std::string& outputFolder, bool withPaths) {
  Discard();
  errorCount_ = 0;
  outputFolder_ = outputFolder.empty() ? std::string("./") : outputFolder;
  for (char& c : outputFolder_)
    if (c == '\\') c = '/';
  if (outputFolder_.back() != '/') outputFolder_ += '/';
  withPaths_ = withPaths;
}

void CArchiveExtractCallback::Discard() {
  file_.Discard();
  outputPath_.clear();
}

Status CArchiveExtractCallback::GetStream(const ItemInfo& item) {
  Discard();
  item_ = item;
  std::string relative;
  if (!ItemOutputPath(item.path, withPaths_, relative)) return E_ABORT;
  outputPath_ = outputFolder_ + relative;
  size_t slash = outputPath_.rfind('/');
  std::string folder = outputPath_.substr(0, slash + 1);
  if (!MakeFolderChain(folder)) return E_ABORT;
  if (item.isDir) return MakeFolderChain(outputPath_) ? S_OK : E_ABORT;

  struct stat st;
  if (lstat(outputPath_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return E_ABORT;
  return file_.Open(outputPath_, 0644) ? S_OK : E_ABORT;
}

Status CArchiveExtractCallback::Write(const void* data, size_t size) {
  if (file_.fd() < 0) return E_FAIL;
  return file_.Write(data, size) ? S_OK : E_FAIL;
}

Status CArchiveExtractCallback::SetOperationResult(OperationResult result) {
  if (file_.fd() < 0) {
    if (result != kOK) ++errorCount_;
    return S_OK;
  }
  if (result != kOK) {
    ++errorCount_;
    Discard();
    return S_OK;
  }
  // A read-only item stays read-only; everything else is readable by all.
  file_.SetMode((item_.attribDefined && !(item_.mode & S_IWUSR)) ? 0444 : 0644);
  bool ok = true;
  if (item_.timeDefined) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = item_.mtimeSec;
    times[1].tv_nsec = item_.mtimeNsec;
    ok = futimens(file_.fd(), times) == 0;
  }
  if (ok && file_.Commit()) return S_OK;
  file_.Discard();
  return E_FAIL;
}

Status CMemoryExtractSink::GetStream(const ItemInfo&) {
  pending_.clear();
  return S_OK;
}

Status CMemoryExtractSink::Write(const void* data, size_t size) {
  pending_.append(static_cast<const char*>(data), size);
  return S_OK;
}

Status CMemoryExtractSink::SetOperationResult(OperationResult result) {
  if (result != kOK) {
    ++errorCount_;
  } else {
    data_.swap(pending_);
    hasData_ = true;
  }
  pending_.clear();
  return S_OK;
}

}  // namespace arc
