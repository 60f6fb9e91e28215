#include "_services/http/beneath.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "_services/http/dir_scan.h"

namespace {

int OpenExact(int rootFd, const std::string& relative, int flags) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_NO_MAGICLINKS | (rootFd >= 0 ? RESOLVE_BENEATH : 0);
    const char* path = relative.empty() ? "." : relative.c_str();
    if (rootFd < 0) rootFd = AT_FDCWD;  // no root: the path as given
    for (;;) {
        long fd = syscall(SYS_openat2, rootFd, path, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
    }
}

std::vector<std::string> Components(const std::string& relative) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string::npos) slash = relative.size();
        if (slash > start) parts.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// The one name in the folder that equals the wanted one but for case; empty when none or
// more than one.
std::string UniqueCaseMatch(int rootFd, const std::string& folder, const std::string& wanted) {
    int dfd = OpenExact(rootFd, folder, O_RDONLY | O_DIRECTORY);
    if (dfd < 0) return {};
    DIR* dir = fdopendir(dfd);
    if (!dir) {
        close(dfd);
        return {};
    }
    std::string found;
    int count = 0;
    while (dirent* d = readdir(dir)) {
        if (CompareNoCase(d->d_name, wanted) == 0) {
            found = d->d_name;
            ++count;
        }
    }
    closedir(dir);
    return count == 1 ? found : std::string();
}

}  // namespace

bool SafeRelativePath(const std::string& path, std::string* relative) {
    std::string p = path;
    for (char& c : p) {
        if (c == '\0') return false;
        if (c == '\\') c = '/';
    }
    std::string out;
    for (const std::string& part : Components(p)) {
        if (part == "." || part == "..") return false;
        if (!out.empty()) out += '/';
        out += part;
    }
    *relative = out;
    return true;
}

int OpenBeneath(int rootFd, const std::string& relative, int flags) {
    int fd = OpenExact(rootFd, relative, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    // Walk the components, replacing each missing one by its unique case-insensitive twin.
    std::string fixed;
    for (const std::string& part : Components(relative)) {
        std::string next = fixed.empty() ? part : fixed + "/" + part;
        int probe = OpenExact(rootFd, next, O_PATH);
        if (probe >= 0) {
            close(probe);
        } else {
            std::string twin = UniqueCaseMatch(rootFd, fixed, part);
            if (twin.empty()) {
                errno = ENOENT;
                return -1;
            }
            next = fixed.empty() ? twin : fixed + "/" + twin;
        }
        fixed = next;
    }
    return OpenExact(rootFd, fixed, flags);
}

bool StatBeneath(int rootFd, const std::string& relative, bool* isFolder, uint64_t* size, int64_t* createdNs) {
    int fd = OpenBeneath(rootFd, relative, O_PATH);
    if (fd < 0) return false;
    struct statx sx{};
    int r = statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &sx);
    close(fd);
    if (r != 0) return false;
    *isFolder = S_ISDIR(sx.stx_mode);
    *size = *isFolder ? 0 : sx.stx_size;
    const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    *createdNs = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    return true;
}
