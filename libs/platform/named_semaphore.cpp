#include "libs/platform/named_semaphore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "libs/platform/named_pipe.h"

namespace {
bool OwnedByUs(const struct stat& st) { return st.st_uid == geteuid() && (st.st_mode & 022) == 0; }
}  // namespace

NamedSemaphore::~NamedSemaphore() { Close(); }

bool NamedSemaphore::Create(const std::string& name, const std::string& folder) {
    Close();
    if (name.empty() || name.find('/') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    const std::string dirName = folder.empty() ? NamedPipeFolder() : folder;
    if (mkdir(dirName.c_str(), 0700) != 0 && errno != EEXIST) return false;
    int dir = open(dirName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    struct stat st;
    int fd = -1;
    if (fstat(dir, &st) == 0 && OwnedByUs(st))
        fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    else
        errno = EPERM;
    int err = errno;
    close(dir);
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !OwnedByUs(st))) {
        close(fd);
        fd = -1;
        err = EEXIST;
    }
    if (fd < 0) {
        errno = err;
        return false;
    }
    fd_ = fd;
    return true;
}

bool NamedSemaphore::TryTake() {
    if (taken_) return false;
    if (fd_ >= 0) {
        int r;
        do { r = flock(fd_, LOCK_EX | LOCK_NB); } while (r != 0 && errno == EINTR);
        if (r != 0) return false;
    }
    taken_ = true;
    return true;
}

bool NamedSemaphore::Release() {
    if (!taken_) return false;
    if (fd_ >= 0) flock(fd_, LOCK_UN);
    taken_ = false;
    return true;
}

void NamedSemaphore::Close() {
    Release();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}
