// File calls of the NFS and MOUNT programs, confined to the export root: every path is opened
// beneath the root (openat2 RESOLVE_BENEATH), so that neither ".." nor a symbolic link on disk
// leads outside it. Paths are full local paths that start with the root; names are single
// components checked by ValidName.
#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NfsFs {
public:
    explicit NfsFs(const std::string& root);
    ~NfsFs();
    NfsFs(const NfsFs&) = delete;
    NfsFs& operator=(const NfsFs&) = delete;

    bool Valid() const { return rootFd_ >= 0; }
    const std::string& Root() const { return root_; }
    // True when path is the root or below it (textually).
    bool Contains(const std::string& path) const;
    // path + "/" + name (the root's own path for name "." of the root).
    std::string Join(const std::string& dir, const std::string& name) const;
    // The folder above path, the root for the root itself.
    std::string Parent(const std::string& path) const;

    // Each returns 0 or an errno value. Stat describes the entry itself: a symbolic link as a
    // link, never its target.
    int Stat(const std::string& path, struct stat* st) const;
    // The text of the symbolic link path (the link is read, never followed).
    int ReadLink(const std::string& path, std::string* target) const;
    // An open file descriptor (>= 0) or -errno.
    int Open(const std::string& path, int flags) const;
    // Opens the folder of path; *name gets the last component. -errno on failure.
    int OpenParent(const std::string& path, std::string* name) const;
    int MakeDir(const std::string& path) const;
    int Remove(const std::string& path, bool folder) const;
    int Rename(const std::string& from, const std::string& to) const;
    using Listing = std::shared_ptr<const std::vector<std::string>>;
    // The folder's names sorted, "." and ".." first. A listing that goes on (fresh false)
    // reuses the last reading of the folder while the folder is unchanged.
    int List(const std::string& path, Listing* names, bool fresh) const;

private:
    std::string Relative(const std::string& path) const;
    struct CachedListing {
        std::string path;
        struct timespec mtime;
        ino_t ino;
        Listing names;
    };
    std::string root_;
    int rootFd_ = -1;
    mutable std::mutex listLock_;
    mutable std::list<CachedListing> listings_;  // most recent first
};

// A single file name that may be created or looked up: not empty, at most 255 bytes, no '/'
// or NUL, and neither "." nor "..".
bool ValidName(const std::string& name);

// Map of errno values to NFS status values.
uint32_t NfsStatusOfErrno(int err);
