// Replacing a file whole: the new content is written to a temporary beside the target, flushed
// to the disk, renamed over the target, and the folder is flushed so that the rename lasts too.
// A reader (or a restart after a crash) sees the old file or the new one, never a cut one.
#pragma once
#include <cstddef>
#include <string>
#include <sys/types.h>

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // removes a temporary that was never committed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary (open for reading and writing, close-on-exec, owner-only until commit, an unpredictable
    // name in the target's folder). The target gets `mode` when committed.
    bool Open(const std::string& target, mode_t mode = 0644);
    // The temporary's descriptor and name, for writers that need either (a library that opens by name
    // writes into the same file as long as it does not replace it).
    int fd() const { return fd_; }
    const std::string& TempPath() const { return tempPath_; }
    const std::string& Target() const { return target_; }
    void SetMode(mode_t mode) { mode_ = mode; }

    bool Write(const void* data, size_t size);
    // Starts writing a finished stretch of the temporary to the disk without waiting for it, so
    // that the flush in Commit finds little left to write: a long writer calls it on each stretch
    // as it finishes, and the disk works while the data still come in.
    void StartWriteback(off_t offset, off_t length);
    // fsync, rename over the target, fsync the folder. False before the rename leaves the target as
    // it was; false after it means the folder could not be flushed.
    bool Commit();
    // The same, but an existing target is kept as it is (link instead of rename); true then too.
    bool CommitIfAbsent();
    // Drops the temporary; the target stays as it was.
    void Discard();

private:
    bool Flush();
    int fd_ = -1;
    mode_t mode_ = 0644;
    std::string target_, tempPath_;
};

// The whole replace in one call.
bool ReplaceFile(const std::string& target, const void* data, size_t size, mode_t mode = 0644);
// The mode of an existing file, else the fallback.
mode_t ExistingModeOr(const std::string& path, mode_t fallback);
// rename() followed by an fsync of the folder (or both folders), so that the move survives a crash.
bool RenameDurably(const std::string& from, const std::string& to);
// Flushes the folder holding `path` (its directory entries).
bool SyncFolderOf(const std::string& path);

// The same steps for a writer that keeps the folder open (one beneath a served root) and writes
// through its own descriptor. A new temporary for `name` in dirFd (name may hold folders below
// dirFd), owner-only; -1 with errno on failure.
int CreateTemporaryAt(int dirFd, const std::string& name, std::string* tempName);
// Flushes the temporary, renames it over name (both in dirFd) and flushes the folder.
bool ReplaceAt(int dirFd, const std::string& tempName, const std::string& name);
