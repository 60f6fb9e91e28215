#include "libs/platform/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Twelve hex digits from the kernel's generator: a name nobody can guess ahead.
bool RandomSuffix(std::string* out) {
    unsigned char bytes[6];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += size_t(n);
    }
    static const char kHex[] = "0123456789abcdef";
    out->clear();
    for (unsigned char b : bytes) {
        out->push_back(kHex[b >> 4]);
        out->push_back(kHex[b & 15]);
    }
    return true;
}

int CloseRetrying(int fd) {
    // Linux releases the descriptor even when close fails with EINTR: never close twice.
    int rc = ::close(fd);
    return rc != 0 && errno == EINTR ? 0 : rc;
}

}  // namespace

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Open(const std::string& target, mode_t mode) {
    Discard();
    if (target.empty() || target.back() == '/') return false;
    const size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string prefix = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string suffix;
        if (!RandomSuffix(&suffix)) return false;
        std::string name = prefix + "." + base + "." + suffix + ".tmp";
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        fd_ = fd;
        tempPath_ = std::move(name);
        target_ = target;
        mode_ = mode;
        return true;
    }
    errno = EEXIST;
    return false;
}

bool AtomicFile::Write(const void* data, size_t size) {
    if (fd_ < 0) return false;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

// The mode, then the data and the inode on the disk; the descriptor is closed either way.
bool AtomicFile::Flush() {
    if (fd_ < 0) return false;
    bool ok = ::fchmod(fd_, mode_ & 07777) == 0;
    while (ok && ::fsync(fd_) != 0)
        if (errno != EINTR) ok = false;
    if (CloseRetrying(fd_) != 0) ok = false;
    fd_ = -1;
    if (!ok) Discard();
    return ok;
}

bool AtomicFile::Commit() {
    if (!Flush()) return false;
    if (::rename(tempPath_.c_str(), target_.c_str()) != 0) {
        Discard();
        return false;
    }
    tempPath_.clear();
    return SyncFolderOf(target_);
}

bool AtomicFile::CommitIfAbsent() {
    if (!Flush()) return false;
    // link() never replaces: a file that appeared meanwhile stays as it is.
    const bool ok = ::link(tempPath_.c_str(), target_.c_str()) == 0 || errno == EEXIST;
    Discard();
    return ok && SyncFolderOf(target_);
}

void AtomicFile::Discard() {
    if (fd_ >= 0) CloseRetrying(fd_);
    fd_ = -1;
    if (!tempPath_.empty()) {
        const int saved = errno;
        ::unlink(tempPath_.c_str());
        errno = saved;
    }
    tempPath_.clear();
}

bool ReplaceFile(const std::string& target, const void* data, size_t size, mode_t mode) {
    AtomicFile file;
    return file.Open(target, mode) && file.Write(data, size) && file.Commit();
}

mode_t ExistingModeOr(const std::string& path, mode_t fallback) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : fallback;
}

bool SyncFolderOf(const std::string& path) {
    int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    while (::fsync(fd) != 0) {
        // Some file systems cannot sync a folder at all; nothing more can be done there.
        if (errno == EINTR) continue;
        ok = errno == EINVAL || errno == EROFS;
        break;
    }
    CloseRetrying(fd);
    return ok;
}

bool RenameDurably(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    bool ok = SyncFolderOf(to);
    if (FolderOf(from) != FolderOf(to)) ok = SyncFolderOf(from) && ok;
    return ok;
}
