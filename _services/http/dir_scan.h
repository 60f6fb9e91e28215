// Folder scanner with wildcard include and exclude lists, a size total and six sort orders.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct DirScanOptions {
    bool recursive = false;
    bool includeFolders = false;
    bool sortAfterScan = false;
    const volatile bool* stop = nullptr;  // the scan ends as soon as it reads true
    int rootFd = -1;                      // the folder is opened beneath this one (-1: as given)
    std::string folder;                   // relative to rootFd ("." for itself)
    std::string include;                  // ';'-separated patterns a file name must match
    std::string fileExclude;              // patterns a file name must not match
    std::string folderExclude;            // patterns a folder name must not match
};

struct FileEntry {
    std::string name;
    std::string folder;  // the folder it was found in
    bool isFolder = false;
    uint64_t size = 0;
    int64_t created = 0;  // birth time (the modification time where none is kept), ns since 1970
};

// The six orders: by name, folders first; by size, files first, equal sizes by name; by
// birth time, folders first, equal times by name. Names compare without regard to case.
enum class DirOrder { NameAsc, NameDesc, SizeAsc, SizeDesc, TimeAsc, TimeDesc };
void SortEntries(std::vector<FileEntry>& entries, DirOrder order);

class CDirScan {
public:
    explicit CDirScan(DirScanOptions options) : options_(std::move(options)) {}
    void Scan();
    void Clear();
    void SortByNameAsc() { SortEntries(result_, DirOrder::NameAsc); }
    void SortByNameDesc() { SortEntries(result_, DirOrder::NameDesc); }
    void SortBySizeAsc() { SortEntries(result_, DirOrder::SizeAsc); }
    void SortBySizeDesc() { SortEntries(result_, DirOrder::SizeDesc); }
    void SortByTimeAsc() { SortEntries(result_, DirOrder::TimeAsc); }
    void SortByTimeDesc() { SortEntries(result_, DirOrder::TimeDesc); }
    const std::vector<FileEntry>& Result() const { return result_; }
    uint64_t Total() const { return total_; }

private:
    bool ScanDirectory(const std::string& folder);
    DirScanOptions options_;
    std::vector<FileEntry> result_;
    uint64_t total_ = 0;
};

// Case-sensitive match with '?' for one character and '*' for any run. Names or patterns of
// 1024 characters or more never match.
bool WildcardMatch(const std::string& pattern, const std::string& name);
// True when the name matches one of the ';'-separated patterns; an empty list matches nothing.
bool WildcardListMatch(const std::string& name, const std::string& list);
// Byte-wise comparison after ASCII case folding: <0, 0, >0.
int CompareNoCase(const std::string& a, const std::string& b);
