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

bool WriteAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= size_t(n);
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
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
    unlink(tempPath_.c_str());
  }
  tempPath_.clear();
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
  tempPath_ = folder + "." + outputPath_.substr(slash + 1) + ".XXXXXX";
  fd_ = mkostemp(tempPath_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    tempPath_.clear();
    return E_ABORT;
  }
  return S_OK;
}

Status CArchiveExtractCallback::Write(const void* data, size_t size) {
  if (fd_ < 0) return E_FAIL;
  return WriteAll(fd_, data, size) ? S_OK : E_FAIL;
}

Status CArchiveExtractCallback::SetOperationResult(OperationResult result) {
  if (fd_ < 0) {
    if (result != kOK) ++errorCount_;
    return S_OK;
  }
  if (result != kOK) {
    ++errorCount_;
    Discard();
    return S_OK;
  }
  // A read-only item stays read-only; everything else is readable by all.
  mode_t mode = (item_.attribDefined && !(item_.mode & S_IWUSR)) ? 0444 : 0644;
  bool ok = fchmod(fd_, mode) == 0;
  if (ok && item_.timeDefined) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = item_.mtimeSec;
    times[1].tv_nsec = item_.mtimeNsec;
    ok = futimens(fd_, times) == 0;
  }
  int rc = close(fd_);
  fd_ = -1;
  if (ok && rc == 0 && rename(tempPath_.c_str(), outputPath_.c_str()) == 0) {
    tempPath_.clear();
    return S_OK;
  }
  unlink(tempPath_.c_str());
  tempPath_.clear();
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
