// Opening files on a client's behalf, confined beneath a root folder: every path is resolved by
// the kernel (openat2 with RESOLVE_BENEATH and no magic links), so that neither ".." nor an
// absolute or relative symbolic link leads out of the root, however the path was spelled.
// Every descriptor is close-on-exec. Every call returns a descriptor or true, or -1 / false with
// errno set (EXDEV or ELOOP for a path that would leave the root).
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Opens rel ("" or "." = the root itself) beneath rootFd. Interrupted calls and the kernel's
// EAGAIN (a rename raced the lookup) are retried a bounded number of times. With O_PATH |
// O_NOFOLLOW a final symbolic link is opened as itself.
int OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode = 0);

// stat of rel beneath the root; a link is followed only while it stays beneath the root.
bool StatBeneath(int rootFd, const std::string& rel, struct stat* st);
// stat of rel itself: a final symbolic link is not followed (the folders above it are).
bool LstatBeneath(int rootFd, const std::string& rel, struct stat* st);
// The text of the symbolic link rel (not followed; the folders above it stay beneath the root).
bool ReadLinkBeneath(int rootFd, const std::string& rel, std::string* text);

// The folder that holds an entry, opened beneath the root, and the entry's last name (empty for
// the root itself), for the *at() calls on the entry. Closes the folder when it goes.
class BeneathEntry {
public:
    BeneathEntry() = default;
    ~BeneathEntry();
    BeneathEntry(const BeneathEntry&) = delete;
    BeneathEntry& operator=(const BeneathEntry&) = delete;
    bool Open(int rootFd, const std::string& rel);
    bool IsRoot() const { return name_.empty(); }
    int dir() const { return dirFd_; }
    const std::string& name() const { return name_; }
    // A path naming the entry through the open folder (for the attribute calls).
    std::string ProcPath() const;

private:
    int dirFd_ = -1;
    std::string name_;
};

// stat of an entry of an open folder, following a link that stays beneath that folder; a link
// that leads out is described as itself.
bool StatEntry(int dirFd, const char* name, struct stat* st);

// How a name that differs from the ones on disk only in case (ASCII) is resolved when the exact
// name is missing: the one such name or none (Unique), or the first the folder lists (First).
enum class CaseMatch { Unique, First };

// The path on disk that matches rel component by component, the exact name first. With
// lastMayBeMissing a last component that nothing matches is kept as given (a file to create).
// ENOENT when a component has no match.
bool FindBeneathNoCase(int rootFd, const std::string& rel, CaseMatch policy, bool lastMayBeMissing, std::string* found);
// Opens rel exactly and, when it is missing, the path FindBeneathNoCase finds; *found (may be
// null) receives the path opened.
int OpenBeneathNoCase(int rootFd, const std::string& rel, int flags, CaseMatch policy, std::string* found = nullptr);
