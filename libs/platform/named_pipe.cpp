#include "libs/platform/named_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {
// A FIFO or folder that only its owner, this process's user, may change.
bool OwnedByUs(const struct stat& st) { return st.st_uid == geteuid() && (st.st_mode & 022) == 0; }
}  // namespace

std::string NamedPipeFolder() {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/nimbo";
    return "/run/nimbo";
}

NamedPipeWriter::~NamedPipeWriter() { Close(); }

bool NamedPipeWriter::Create(const std::string& folder, const std::string& name) {
    Close();
    if (name.empty() || name.find('/') != std::string::npos) {
        errno = EINVAL;
        return false;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    struct stat st;
    if (fstat(dir, &st) != 0 || !OwnedByUs(st)) {
        close(dir);
        errno = EPERM;
        return false;
    }
    if (mkfifoat(dir, name.c_str(), 0600) != 0 && errno != EEXIST) {
        int err = errno;
        close(dir);
        errno = err;
        return false;
    }
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISFIFO(st.st_mode) || !OwnedByUs(st)) {
        close(dir);
        errno = EEXIST;
        return false;
    }
    dirFd_ = dir;
    name_ = name;
    return true;
}

int NamedPipeWriter::Write(const void* data, size_t length) {
    if (dirFd_ < 0) return -1;
    if (fd_ < 0) {
        // Non-blocking: without a reader the open fails at once (ENXIO) instead of waiting.
        int fd = openat(dirFd_, name_.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return errno == ENXIO ? 0 : -1;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode) || !OwnedByUs(st)) {
            close(fd);
            return -1;
        }
        fd_ = fd;
    }
    static char lineFeed = '\n';
    iovec iov[2] = {{const_cast<void*>(data), length}, {&lineFeed, 1}};
    ssize_t n;
    do { n = writev(fd_, iov, 2); } while (n < 0 && errno == EINTR);
    if (n >= 0) return 1;
    if (errno == EAGAIN) return 0;  // the reader is behind: this message is not kept
    int err = errno;
    close(fd_);  // the reader has gone (EPIPE): open again for the next message
    fd_ = -1;
    return err == EPIPE ? 0 : -1;
}

void NamedPipeWriter::Close() {
    if (fd_ >= 0) close(fd_);
    if (dirFd_ >= 0) close(dirFd_);
    fd_ = dirFd_ = -1;
    name_.clear();
}
