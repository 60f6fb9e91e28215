// File system calls on a client's behalf, confined below the user's root folder: every path
// below the root is resolved with openat2 RESOLVE_BENEATH, so neither ".." nor a symbolic link
// can lead out of it.
#pragma once
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Opens rel ("." = the root) below rootFd; -1 with errno on failure.
int OpenBeneath(int rootFd, const std::string& rel, int flags, mode_t mode = 0);

// The folder that holds an entry, opened below the root, and the entry's last name (empty
// for the root itself). Closes the folder when it goes.
class BeneathEntry {
public:
    BeneathEntry() = default;
    ~BeneathEntry();
    BeneathEntry(const BeneathEntry&) = delete;
    BeneathEntry& operator=(const BeneathEntry&) = delete;
    bool Open(int rootFd, const std::string& rel);
    bool IsRoot() const { return name_.empty(); }
    int  dir() const { return dirFd_; }
    const std::string& name() const { return name_; }
    // A path naming the entry through the open folder (for the attribute calls).
    std::string ProcPath() const;

private:
    int         dirFd_ = -1;
    std::string name_;
};

// stat of rel below the root (a link is followed only while it stays below the root).
bool StatBeneath(int rootFd, const std::string& rel, struct stat* st);
// stat of an entry of an open folder, as StatBeneath.
bool StatEntry(int dirFd, const char* name, struct stat* st);
