#include "_services/http/dir_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "_services/http/beneath.h"

namespace {

constexpr size_t kMaxMatchLength = 1024;

bool SameAt(const char* pattern, const char* name, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (pattern[i] != '?' && pattern[i] != name[i]) return false;
    return true;
}

// True when the run occurs anywhere in the name, '?' matching any character.
bool Occurs(const std::string& run, const std::string& name) {
    if (run.size() > name.size()) return false;
    for (size_t at = 0; at + run.size() <= name.size(); ++at)
        if (SameAt(run.data(), name.data() + at, run.size())) return true;
    return false;
}

void SortBy(std::vector<FileEntry>& v, bool (*less)(const FileEntry&, const FileEntry&)) {
    std::sort(v.begin(), v.end(), less);
}

bool NameLess(const FileEntry& a, const FileEntry& b) { return CompareNoCase(a.name, b.name) < 0; }

}  // namespace

int CompareNoCase(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x += 32;
        if (y >= 'A' && y <= 'Z') y += 32;
        if (x != y) return x - y;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    if (pattern.size() >= kMaxMatchLength || name.size() >= kMaxMatchLength) return false;
    size_t first = pattern.find('*');
    if (first == std::string::npos)
        return pattern.size() == name.size() && SameAt(pattern.data(), name.data(), name.size());
    size_t last = pattern.rfind('*');
    std::string head = pattern.substr(0, first), tail = pattern.substr(last + 1);
    if (head.size() > name.size() || !SameAt(head.data(), name.data(), head.size())) return false;
    if (tail.size() > name.size() || !SameAt(tail.data(), name.data() + name.size() - tail.size(), tail.size()))
        return false;
    // Each run between two stars must occur somewhere in the name.
    size_t at = first + 1;
    while (at <= last) {
        size_t next = pattern.find('*', at);
        if (next == std::string::npos || next > last) break;
        std::string run = pattern.substr(at, next - at);
        if (!run.empty() && !Occurs(run, name)) return false;
        at = next + 1;
    }
    return true;
}

bool WildcardListMatch(const std::string& name, const std::string& list) {
    if (list.empty()) return false;
    size_t start = 0;
    for (;;) {
        size_t semi = list.find(';', start);
        if (WildcardMatch(list.substr(start, semi == std::string::npos ? std::string::npos : semi - start), name))
            return true;
        if (semi == std::string::npos) return false;
        start = semi + 1;
    }
}

void CDirScan::Clear() {
    result_.clear();
    total_ = 0;
}

void CDirScan::Scan() {
    Clear();
    ScanDirectory(options_.folder);
    if (options_.sortAfterScan) SortBy(result_, NameLess);
}

// Scans one folder; false when the stop flag ended the scan.
bool CDirScan::ScanDirectory(const std::string& folder) {
    int dfd = OpenBeneathNoCase(options_.rootFd, folder, O_RDONLY | O_DIRECTORY, CaseMatch::Unique);
    if (dfd < 0) return true;
    DIR* dir = fdopendir(dfd);
    if (!dir) {
        close(dfd);
        return true;
    }
    while (dirent* d = readdir(dir)) {
        if (options_.stop && *options_.stop) {
            closedir(dir);
            return false;
        }
        std::string name = d->d_name;
        if (name == "." || name == "..") continue;
        std::string path = folder.empty() || folder == "." ? name : folder + "/" + name;
        FileEntry e;
        // Links are followed only where they stay beneath the root; others are left out.
        if (!StatBeneath(options_.rootFd, path, &e.isFolder, &e.size, &e.created)) continue;
        bool passes = e.isFolder
                          ? !WildcardListMatch(name, options_.folderExclude)
                          : WildcardListMatch(name, options_.include) && !WildcardListMatch(name, options_.fileExclude);
        if (!passes) continue;
        if (e.isFolder) {
            if (options_.recursive && !ScanDirectory(path)) {
                closedir(dir);
                return false;
            }
            if (!options_.includeFolders) continue;
        }
        e.name = std::move(name);
        e.folder = folder;
        total_ += e.size;
        result_.push_back(std::move(e));
    }
    closedir(dir);
    return true;
}

void SortEntries(std::vector<FileEntry>& entries, DirOrder order) {
    auto byName = [](const FileEntry& a, const FileEntry& b) { return CompareNoCase(a.name, b.name) < 0; };
    switch (order) {
        case DirOrder::NameAsc:
            return SortBy(entries, [](const FileEntry& a, const FileEntry& b) {
                return a.isFolder != b.isFolder ? a.isFolder : CompareNoCase(a.name, b.name) < 0;
            });
        case DirOrder::NameDesc:
            return SortBy(entries, [](const FileEntry& a, const FileEntry& b) {
                return a.isFolder != b.isFolder ? a.isFolder : CompareNoCase(a.name, b.name) > 0;
            });
        case DirOrder::SizeAsc:
        case DirOrder::SizeDesc: {
            const bool up = order == DirOrder::SizeAsc;
            return std::sort(entries.begin(), entries.end(), [up, byName](const FileEntry& a, const FileEntry& b) {
                if (a.isFolder != b.isFolder) return b.isFolder;
                if (a.size != b.size) return up ? a.size < b.size : a.size > b.size;
                return byName(a, b);
            });
        }
        case DirOrder::TimeAsc:
        case DirOrder::TimeDesc: {
            const bool up = order == DirOrder::TimeAsc;
            return std::sort(entries.begin(), entries.end(), [up, byName](const FileEntry& a, const FileEntry& b) {
                if (a.isFolder != b.isFolder) return a.isFolder;
                if (a.created != b.created) return up ? a.created < b.created : a.created > b.created;
                return byName(a, b);
            });
        }
    }
}
