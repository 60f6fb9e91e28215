// The NFS program (100003): version dispatch, the per-version handlers and what they share
// (the export's file calls, attribute replies, settable attributes).
#pragma once
#include <sys/statvfs.h>
#include <time.h>

#include <memory>
#include <mutex>
#include <string>

#include "_services/nfs/nfs_fs.h"
#include "_services/nfs/nfs_paths.h"
#include "_services/nfs/rpc.h"
#include "libs/platform/posix_attr.h"

// The values every handler copies when it is made.
struct NfsConfig : CPosixFileAttr {
    const NfsFs* fs = nullptr;  // the export root; outlives the program
};

// Attributes of a path from its status and attribute word; false when it cannot be read.
bool Nfs3FillAttr(const NfsConfig& cfg, const std::string& path, Nfs3Attr* a);
void WriteNfs3Attr(O_Stream& out, const Nfs3Attr& a);
void WriteNfs2Attr(O_Stream& out, const Nfs3Attr& a);

// Settable attributes (sattr of version 2, sattr3 of version 3).
struct NfsSetAttr {
    bool setMode = false;
    uint32_t mode = 0;
    bool setSize = false;
    uint64_t size = 0;
    int atimeHow = DONT_CHANGE, mtimeHow = DONT_CHANGE;
    timespec atime{}, mtime{};
};
NfsSetAttr ReadSattr2(I_Stream& in);
NfsSetAttr ReadSattr3(I_Stream& in);
// Applies mode, size and times (owner and group are not kept; a link on disk keeps its own and
// its target's). Returns an NFS status. Neither this nor the data calls below follow a link.
uint32_t ApplySetAttr(const NfsConfig& cfg, const std::string& path, const NfsSetAttr& s);

// A directory and a name from the wire. For a lookup "." is the folder and ".." its parent
// (clamped at the root); otherwise the name must be a plain one (ValidName).
struct NfsDirOp {
    uint32_t status = NFS_OK;
    std::string dir, name, path;
};
NfsDirOp ResolveDirOp(const NfsConfig& cfg, uint32_t handleStatus, const std::string& dir, const std::string& name,
                      bool lookup);
// The path of a handle that must still exist beneath the root (NFS_OK, BADHANDLE or STALE).
uint32_t CheckHandlePath(const NfsConfig& cfg, uint32_t handleStatus, const std::string& path);
// Creates a regular file, or opens an existing one as it is (its bytes are kept unless the
// client's attributes ask for another size); exclusive fails on an existing one. NFS status.
uint32_t CreateFile(const NfsConfig& cfg, const std::string& path, bool exclusive);
// Creates a link file: target as content and the link bit in the attribute word.
uint32_t CreateLinkFile(const NfsConfig& cfg, const std::string& path, const std::string& target, int mode);
// Reads the target of a link file (1 to 1024 bytes); NFS status.
uint32_t ReadLinkFile(const NfsConfig& cfg, const std::string& path, std::string* target);
// Reads up to count bytes at offset; NFS status, *eof when the file ends after them.
uint32_t ReadFileData(const NfsConfig& cfg, const std::string& path, uint64_t offset, uint32_t count,
                      std::vector<uint8_t>* data, bool* eof);
// Writes data at offset, synced to disk when sync; NFS status.
uint32_t WriteFileData(const NfsConfig& cfg, const std::string& path, uint64_t offset, const uint8_t* data,
                       size_t length, bool sync);
// Removes a file or folder, renames (the path table follows); NFS status.
uint32_t RemovePath(const NfsConfig& cfg, const std::string& path, bool folder);
uint32_t RenamePath(const NfsConfig& cfg, const std::string& from, const std::string& to);
uint32_t MakeFolder(const NfsConfig& cfg, const std::string& path, const NfsSetAttr& s);
// Size and free space of the volume that holds path; NFS status.
uint32_t VolumeStat(const NfsConfig& cfg, const std::string& path, struct statvfs* v);
// The path a listed name stands for ("." the folder, ".." its parent).
std::string EntryPath(const NfsConfig& cfg, const std::string& dir, const std::string& name);

class CNfsV2Handler {
public:
    explicit CNfsV2Handler(const NfsConfig& cfg) : cfg_(cfg) {}
    int Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const;

private:
    NfsConfig cfg_;
};

class CNfsV3Handler {
public:
    explicit CNfsV3Handler(const NfsConfig& cfg) : cfg_(cfg) {}
    int Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const;

private:
    NfsConfig cfg_;
};

class CNfsV4Handler {
public:
    int Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const;
};

class CRPCProg_NFS : public CRPCProg, public NfsConfig {
public:
    CRPCProg_NFS();
    // Offers versions 2, 3 and 4 (the stub) by the bits 0x1, 0x2 and 0x4.
    void SetVersions(int mask);
    int Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) override;

private:
    std::once_flag v2Once_, v3Once_, v4Once_;
    std::unique_ptr<CNfsV2Handler> v2_;
    std::unique_ptr<CNfsV3Handler> v3_;
    std::unique_ptr<CNfsV4Handler> v4_;
};
