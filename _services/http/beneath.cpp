#include "_services/http/beneath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

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

bool StatBeneath(int rootFd, const std::string& relative, bool* isFolder, uint64_t* size, int64_t* createdNs) {
    int fd = OpenBeneathNoCase(rootFd, relative, O_PATH, CaseMatch::Unique);
    if (fd < 0) return false;
    struct statx sx {};
    int r = statx(fd, "", AT_EMPTY_PATH, STATX_TYPE | STATX_SIZE | STATX_MTIME | STATX_BTIME, &sx);
    close(fd);
    if (r != 0) return false;
    *isFolder = S_ISDIR(sx.stx_mode);
    *size = *isFolder ? 0 : sx.stx_size;
    const statx_timestamp& t = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime;
    *createdNs = static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
    return true;
}
