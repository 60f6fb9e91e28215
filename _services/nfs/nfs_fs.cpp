#include "_services/nfs/nfs_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "_services/nfs/nfs_records.h"
#include "libs/platform/beneath.h"

namespace {
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};
}  // namespace

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..") return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

uint32_t NfsStatusOfErrno(int err) {
    switch (err) {
        case ENOENT: return NFSERR_NOENT;
        case EPERM: return NFSERR_PERM;
        case EACCES:
        case EXDEV:
        case ELOOP: return NFSERR_ACCES;
        case EEXIST: return NFSERR_EXIST;
        case ENOTDIR: return NFSERR_NOTDIR;
        case EISDIR: return NFSERR_ISDIR;
        case EINVAL: return NFSERR_INVAL;
        case EFBIG: return NFSERR_FBIG;
        case ENOSPC:
        case EDQUOT: return NFSERR_NOSPC;
        case EROFS: return NFSERR_ROFS;
        case ENAMETOOLONG: return NFSERR_NAMETOOLONG;
        case ENOTEMPTY: return NFSERR_NOTEMPTY;
        default: return NFSERR_IO;
    }
}

NfsFs::NfsFs(const std::string& root) {
    char* real = realpath(root.c_str(), nullptr);
    if (!real) return;
    root_ = real;
    free(real);
    rootFd_ = open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

NfsFs::~NfsFs() {
    if (rootFd_ >= 0) close(rootFd_);
}

bool NfsFs::Contains(const std::string& path) const {
    if (path == root_) return true;
    if (root_ == "/") return !path.empty() && path[0] == '/';
    return path.size() > root_.size() && path.compare(0, root_.size(), root_) == 0 && path[root_.size()] == '/';
}

std::string NfsFs::Relative(const std::string& path) const {
    if (path == root_ || !Contains(path)) return ".";
    return path.substr(root_ == "/" ? 1 : root_.size() + 1);
}

std::string NfsFs::Join(const std::string& dir, const std::string& name) const {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string NfsFs::Parent(const std::string& path) const {
    if (path == root_ || !Contains(path)) return root_;
    size_t slash = path.rfind('/');
    if (slash == 0) return "/";
    std::string up = path.substr(0, slash);
    return Contains(up) ? up : root_;
}

int NfsFs::Stat(const std::string& path, struct stat* st) const {
    if (!Contains(path)) return EACCES;
    return LstatBeneath(rootFd_, Relative(path), st) ? 0 : errno;
}

int NfsFs::ReadLink(const std::string& path, std::string* target) const {
    std::string name;
    Fd dir(OpenParent(path, &name));
    if (dir.fd < 0) return -dir.fd;
    char buf[kMaxPathLength + 1];
    ssize_t n = readlinkat(dir.fd, name.c_str(), buf, sizeof buf);
    if (n < 0) return errno;
    if (n == 0 || n > static_cast<ssize_t>(kMaxPathLength)) return ENAMETOOLONG;
    target->assign(buf, static_cast<size_t>(n));
    return 0;
}

int NfsFs::Open(const std::string& path, int flags) const {
    if (!Contains(path)) return -EACCES;
    int fd = OpenBeneath(rootFd_, Relative(path), flags);
    return fd >= 0 ? fd : -errno;
}

int NfsFs::OpenParent(const std::string& path, std::string* name) const {
    if (!Contains(path) || path == root_) return -EACCES;
    size_t slash = path.rfind('/');
    *name = path.substr(slash + 1);
    return Open(Parent(path), O_RDONLY | O_DIRECTORY);
}

int NfsFs::MakeDir(const std::string& path) const {
    std::string name;
    Fd dir(OpenParent(path, &name));
    if (dir.fd < 0) return -dir.fd;
    return mkdirat(dir.fd, name.c_str(), 0755) == 0 ? 0 : errno;
}

int NfsFs::Remove(const std::string& path, bool folder) const {
    std::string name;
    Fd dir(OpenParent(path, &name));
    if (dir.fd < 0) return -dir.fd;
    return unlinkat(dir.fd, name.c_str(), folder ? AT_REMOVEDIR : 0) == 0 ? 0 : errno;
}

int NfsFs::Rename(const std::string& from, const std::string& to) const {
    std::string fromName, toName;
    Fd fromDir(OpenParent(from, &fromName));
    if (fromDir.fd < 0) return -fromDir.fd;
    Fd toDir(OpenParent(to, &toName));
    if (toDir.fd < 0) return -toDir.fd;
    return renameat(fromDir.fd, fromName.c_str(), toDir.fd, toName.c_str()) == 0 ? 0 : errno;
}

int NfsFs::List(const std::string& path, Listing* names, bool fresh) const {
    names->reset();
    int fd = Open(path, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -fd;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    auto same = [&](const CachedListing& c) {
        return c.path == path && c.ino == st.st_ino && c.mtime.tv_sec == st.st_mtim.tv_sec &&
               c.mtime.tv_nsec == st.st_mtim.tv_nsec;
    };
    if (!fresh) {
        std::lock_guard<std::mutex> g(listLock_);
        for (auto it = listings_.begin(); it != listings_.end(); ++it)
            if (same(*it)) {
                *names = it->names;
                listings_.splice(listings_.begin(), listings_, it);
                close(fd);
                return 0;
            }
    }
    DIR* d = fdopendir(fd);
    if (!d) {
        int err = errno;
        close(fd);
        return err;
    }
    auto list = std::make_shared<std::vector<std::string>>();
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") list->push_back(std::move(n));
    }
    closedir(d);
    std::sort(list->begin(), list->end());
    list->insert(list->begin(), {".", ".."});
    *names = list;
    std::lock_guard<std::mutex> g(listLock_);
    listings_.remove_if([&](const CachedListing& c) { return c.path == path; });
    listings_.push_front({path, st.st_mtim, st.st_ino, list});
    if (listings_.size() > 16) listings_.pop_back();
    return 0;
}
