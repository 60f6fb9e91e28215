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

bool SyncFolderAt(int dirFd, const std::string& path) {
    int fd = ::openat(dirFd, FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = true;
    while (::fsync(fd) != 0) {
        // Some file systems cannot sync a folder at all; nothing more can be done there.
        if (errno == EINTR) continue;
        ok = errno == EINVAL || errno == EROFS;
        break;
    }
    ::close(fd);
    return ok;
}

bool SyncFile(int fd) {
    while (::fsync(fd) != 0)
        if (errno != EINTR) return false;
    return true;
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
    fd_ = CreateTemporaryAt(AT_FDCWD, target, &tempPath_);
    if (fd_ < 0) return false;
    target_ = target;
    mode_ = mode;
    return true;
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

void AtomicFile::StartWriteback(off_t offset, off_t length) {
    // Only a hint: a file system without writeback (tmpfs) returns at once, and a failure here
    // shows again in the flush.
    if (fd_ >= 0 && length > 0) ::sync_file_range(fd_, offset, length, SYNC_FILE_RANGE_WRITE);
}

// The mode, then the data and the inode on the disk; the descriptor is closed either way.
bool AtomicFile::Flush() {
    if (fd_ < 0) return false;
    bool ok = ::fchmod(fd_, mode_ & 07777) == 0 && SyncFile(fd_);
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
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : fallback;
}

bool SyncFolderOf(const std::string& path) { return SyncFolderAt(AT_FDCWD, path); }

bool RenameDurably(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    bool ok = SyncFolderOf(to);
    if (FolderOf(from) != FolderOf(to)) ok = SyncFolderOf(from) && ok;
    return ok;
}

int CreateTemporaryAt(int dirFd, const std::string& name, std::string* tempName) {
    const size_t slash = name.rfind('/');
    const std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string suffix;
        if (!RandomSuffix(&suffix)) return -1;
        std::string candidate = folder + "." + base.substr(0, 200) + "." + suffix + ".tmp";
        int fd = ::openat(dirFd, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *tempName = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST && errno != EINTR) return -1;
    }
    errno = EEXIST;
    return -1;
}

bool ReplaceAt(int dirFd, const std::string& tempName, const std::string& name) {
    int fd = ::openat(dirFd, tempName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = SyncFile(fd);
    const int err = errno;
    ::close(fd);
    if (!ok) {
        errno = err;
        return false;
    }
    if (::renameat(dirFd, tempName.c_str(), dirFd, name.c_str()) != 0) return false;
    return SyncFolderAt(dirFd, name);
}
