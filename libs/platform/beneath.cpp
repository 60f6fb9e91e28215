#include "libs/platform/beneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Lookups that lost a race with a rename (or a file under a lease opened without blocking) give
// EAGAIN; past this many tries the caller gets it.
constexpr int kAgainTries = 64;

bool SameNoCase(const char* a, const std::string& b) {
    size_t i = 0;
    for (; a[i] && i < b.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return a[i] == '\0' && i == b.size();
}

// The name in the folder that equals wanted but for case, by the policy; empty when none.
std::string CaseTwin(int dirFd, const std::string& wanted, CaseMatch policy) {
    int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return {};
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return {};
    }
    std::string found;
    int count = 0;
    while (dirent* d = readdir(dir)) {
        if (!SameNoCase(d->d_name, wanted)) continue;
        if (count++ == 0) found = d->d_name;
        if (policy == CaseMatch::First) break;
    }
    closedir(dir);
    return policy == CaseMatch::Unique && count != 1 ? std::string() : found;
}

}  // namespace

int OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode) {
    if (rootFd < 0) {
        errno = EBADF;
        return -1;
    }
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? (mode & 07777) : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const char* path = rel.empty() ? "." : rel.c_str();
    for (int again = 0;;) {
        long fd = syscall(SYS_openat2, rootFd, path, &how, sizeof how);
        if (fd >= 0) return static_cast<int>(fd);
        if (errno == EINTR) continue;
        if (errno != EAGAIN || ++again >= kAgainTries) return -1;
    }
}

bool StatBeneath(int rootFd, const std::string& rel, struct stat* st) {
    int fd = OpenBeneath(rootFd, rel, O_PATH);
    if (fd < 0) return false;
    bool ok = fstat(fd, st) == 0;
    close(fd);
    return ok;
}

bool LstatBeneath(int rootFd, const std::string& rel, struct stat* st) {
    int fd = OpenBeneath(rootFd, rel, O_PATH | O_NOFOLLOW);
    if (fd < 0) return false;
    bool ok = fstat(fd, st) == 0;
    close(fd);
    return ok;
}

bool ReadLinkBeneath(int rootFd, const std::string& rel, std::string* text) {
    int fd = OpenBeneath(rootFd, rel, O_PATH | O_NOFOLLOW);
    if (fd < 0) return false;
    char buffer[4096];
    ssize_t n = readlinkat(fd, "", buffer, sizeof buffer);  // EINVAL: not a link
    const int err = errno;
    close(fd);
    if (n < 0 || size_t(n) >= sizeof buffer) {
        errno = n < 0 ? err : ENAMETOOLONG;
        return false;
    }
    text->assign(buffer, size_t(n));
    return true;
}

BeneathEntry::~BeneathEntry() {
    if (dirFd_ >= 0) close(dirFd_);
}

bool BeneathEntry::Open(int rootFd, const std::string& rel) {
    if (dirFd_ >= 0) close(dirFd_);
    dirFd_ = -1;
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
        if (name_.empty() || name_ == "." || name_ == "..") {
            name_.clear();
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

bool StatEntry(int dirFd, const char* name, struct stat* st) {
    if (StatBeneath(dirFd, name, st)) return true;
    return fstatat(dirFd, name, st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool FindBeneathNoCase(int rootFd, const std::string& rel, CaseMatch policy, bool lastMayBeMissing,
                       std::string* found) {
    found->clear();
    size_t i = 0;
    while (i < rel.size()) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos) j = rel.size();
        const std::string part = rel.substr(i, j - i);
        const bool last = j >= rel.size();
        i = j + 1;
        if (part.empty()) continue;
        int dirFd = OpenBeneath(rootFd, *found, O_PATH | O_DIRECTORY);
        if (dirFd < 0) return false;
        struct stat st;
        std::string match =
            fstatat(dirFd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? part : CaseTwin(dirFd, part, policy);
        close(dirFd);
        if (match.empty()) {
            if (!(last && lastMayBeMissing)) {
                errno = ENOENT;
                return false;
            }
            match = part;
        }
        if (!found->empty()) *found += '/';
        *found += match;
    }
    return true;
}

int OpenBeneathNoCase(int rootFd, const std::string& rel, int flags, CaseMatch policy, std::string* found) {
    if (found) *found = rel;
    int fd = OpenBeneath(rootFd, rel, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    std::string twin;
    if (!FindBeneathNoCase(rootFd, rel, policy, false, &twin)) return -1;
    if (twin == rel) {  // nothing differs but for case: the exact open stands
        errno = ENOENT;
        return -1;
    }
    if (found) *found = twin;
    return OpenBeneath(rootFd, twin, flags);
}
