#include "_services/ftp/ftp_fs.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

int OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        long fd = syscall(SYS_openat2, rootFd, rel.empty() ? "." : rel.c_str(), &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno != EAGAIN && errno != EINTR) return -1;
    }
}

BeneathEntry::~BeneathEntry() {
    if (dirFd_ >= 0) close(dirFd_);
}

bool BeneathEntry::Open(int rootFd, const std::string& rel) {
    std::string parent = ".";
    name_.clear();
    if (!rel.empty() && rel != ".") {
        size_t slash = rel.rfind('/');
        if (slash == std::string::npos) {
            name_ = rel;
        } else {
            parent = rel.substr(0, slash);
            name_ = rel.substr(slash + 1);
        }
        if (name_ == "." || name_ == "..") {
            errno = EINVAL;
            return false;
        }
    }
    dirFd_ = OpenBeneath(rootFd, parent, O_PATH | O_DIRECTORY);
    return dirFd_ >= 0;
}

std::string BeneathEntry::ProcPath() const {
    return "/proc/self/fd/" + std::to_string(dirFd_) + "/" + (name_.empty() ? std::string(".") : name_);
}

bool StatBeneath(int rootFd, const std::string& rel, struct stat* st) {
    int fd = OpenBeneath(rootFd, rel, O_PATH);
    if (fd < 0) return false;
    bool ok = fstat(fd, st) == 0;
    close(fd);
    return ok;
}

bool StatEntry(int dirFd, const char* name, struct stat* st) {
    if (StatBeneath(dirFd, name, st)) return true;
    return fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) == 0;  // a link that leads out: itself
}
