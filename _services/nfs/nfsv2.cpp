// NFS version 2 (RFC 1094) over the export's file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "_services/nfs/nfs_prog.h"

namespace {
enum Nfs2Proc : uint32_t {
    NFSPROC_NULL = 0,
    NFSPROC_GETATTR,
    NFSPROC_SETATTR,
    NFSPROC_ROOT,
    NFSPROC_LOOKUP,
    NFSPROC_READLINK,
    NFSPROC_READ,
    NFSPROC_WRITECACHE,
    NFSPROC_WRITE,
    NFSPROC_CREATE,
    NFSPROC_REMOVE,
    NFSPROC_RENAME,
    NFSPROC_LINK,
    NFSPROC_SYMLINK,
    NFSPROC_MKDIR,
    NFSPROC_RMDIR,
    NFSPROC_READDIR,
    NFSPROC_STATFS
};

// Version 2 knows no INVAL, BADHANDLE or NOTSUPP.
uint32_t ToV2(uint32_t status) {
    switch (status) {
        case NFS3ERR_BADHANDLE: return NFSERR_STALE;
        case NFSERR_INVAL:
        case NFS3ERR_NOTSUPP:
        case NFS3ERR_SERVERFAULT: return NFSERR_IO;
        default: return status;
    }
}

struct Call2 {
    const NfsConfig& cfg;
    I_Stream& in;
    O_Stream& out;
    RpcCallInfo& info;

    uint32_t ReadHandle(std::string* path) {
        uint8_t h[kNfs2HandleSize];
        in.Read(h, sizeof h);
        return PathTable().PathOfHandle(h, sizeof h, path);
    }
    uint32_t ReadExisting(std::string* path) { return CheckHandlePath(cfg, ReadHandle(path), *path); }
    NfsDirOp ReadDirOp(bool lookup) {
        std::string dir;
        uint32_t hs = ReadHandle(&dir);
        std::string name = in.ReadString(kMaxNameLength);
        return ResolveDirOp(cfg, hs, dir, name, lookup);
    }
    // status, then on NFS_OK the attributes (IO when they cannot be read).
    void AttrStat(uint32_t status, const std::string& path) {
        Nfs3Attr a;
        if (status == NFS_OK && !Nfs3FillAttr(cfg, path, &a)) status = NFSERR_IO;
        out.Write32(ToV2(status));
        if (status == NFS_OK) WriteNfs2Attr(out, a);
    }
    // status, then on NFS_OK the handle and the attributes.
    void DirOpRes(uint32_t status, const std::string& path) {
        Nfs3Attr a;
        if (status == NFS_OK && !Nfs3FillAttr(cfg, path, &a)) status = NFSERR_IO;
        out.Write32(ToV2(status));
        if (status != NFS_OK) return;
        NfsHandle h = PathTable().HandleOf(path);
        out.Write(&h, kNfs2HandleSize);
        WriteNfs2Attr(out, a);
    }
    uint32_t Changing(uint32_t status) const { return cfg.readOnly ? NFSERR_ROFS : status; }

    int GetAttr() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        AttrStat(status, path);
        return PROC_DONE;
    }
    int SetAttr() {
        std::string path;
        uint32_t hs = ReadHandle(&path);
        NfsSetAttr s = ReadSattr2(in);
        uint32_t status = Changing(CheckHandlePath(cfg, hs, path));
        if (status == NFS_OK) status = ApplySetAttr(cfg, path, s);
        AttrStat(status, path);
        return PROC_DONE;
    }
    int Lookup() {
        NfsDirOp op = ReadDirOp(true);
        struct stat st;
        if (op.status == NFS_OK && cfg.fs->Stat(op.path, &st) != 0) op.status = NFSERR_NOENT;
        DirOpRes(op.status, op.path);
        return PROC_DONE;
    }
    int ReadLink() {
        std::string path, target;
        uint32_t status = ReadExisting(&path);
        if (status == NFS_OK) status = ReadLinkFile(cfg, path, &target);
        out.Write32(ToV2(status));
        if (status == NFS_OK) out.WriteString(target);
        return PROC_DONE;
    }
    int Read() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        uint32_t offset = in.Read32();
        uint32_t count = std::min(in.Read32(), kNfs2MaxData);
        in.Read32();  // total count
        std::vector<uint8_t> data;
        bool eof;
        if (status == NFS_OK) status = ReadFileData(cfg, path, offset, count, &data, &eof);
        AttrStat(status, path);
        if (status == NFS_OK) out.WriteOpaque(data.data(), data.size());
        return PROC_DONE;
    }
    int Write() {
        std::string path;
        uint32_t hs = ReadHandle(&path);
        in.Read32();  // begin offset
        uint32_t offset = in.Read32();
        in.Read32();  // total count
        // The data is used where it lies in the call, which stays whole until the reply is sent.
        const uint8_t* data;
        uint32_t length = in.ReadOpaqueInPlace(kNfs2MaxData, &data);
        uint32_t status = Changing(CheckHandlePath(cfg, hs, path));
        // Version 2 writes reach the disk before the reply.
        if (status == NFS_OK) status = WriteFileData(cfg, path, offset, data, length, true);
        AttrStat(status, path);
        return PROC_DONE;
    }
    int Create() {
        NfsDirOp op = ReadDirOp(false);
        NfsSetAttr s = ReadSattr2(in);
        uint32_t status = Changing(op.status);
        if (status == NFS_OK) status = CreateFile(cfg, op.path, false);
        if (status == NFS_OK) status = ApplySetAttr(cfg, op.path, s);
        DirOpRes(status, op.path);
        return PROC_DONE;
    }
    int Remove(bool folder) {
        NfsDirOp op = ReadDirOp(false);
        uint32_t status = Changing(op.status);
        if (status == NFS_OK) status = RemovePath(cfg, op.path, folder);
        out.Write32(ToV2(status));
        return PROC_DONE;
    }
    int Rename() {
        NfsDirOp from = ReadDirOp(false);
        NfsDirOp to = ReadDirOp(false);
        uint32_t status = Changing(from.status != NFS_OK ? from.status : to.status);
        if (status == NFS_OK) status = RenamePath(cfg, from.path, to.path);
        out.Write32(ToV2(status));
        return PROC_DONE;
    }
    int Link() {
        std::string path;
        ReadHandle(&path);
        ReadDirOp(false);
        return PROC_UNAVAILABLE;
    }
    int SymLink() {
        NfsDirOp op = ReadDirOp(false);
        std::string target = in.ReadString(kMaxPathLength);
        NfsSetAttr s = ReadSattr2(in);
        uint32_t status = Changing(op.status);
        if (status == NFS_OK && (!cfg.streamInUse || !s.setMode || !(s.mode & 0xA000))) status = NFSERR_NXIO;
        if (status == NFS_OK) status = CreateLinkFile(cfg, op.path, target, static_cast<int>(s.mode & kPfaModeMask));
        out.Write32(ToV2(status));
        return PROC_DONE;
    }
    int MkDir() {
        NfsDirOp op = ReadDirOp(false);
        NfsSetAttr s = ReadSattr2(in);
        uint32_t status = Changing(op.status);
        if (status == NFS_OK) status = MakeFolder(cfg, op.path, s);
        DirOpRes(status, op.path);
        return PROC_DONE;
    }
    int ReadDir() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        uint32_t cookie = in.Read32();
        uint32_t count = std::min(in.Read32(), kNfs2MaxData);
        NfsFs::Listing listing;
        if (status == NFS_OK) {
            int err = cfg.fs->List(path, &listing, cookie == 0);
            if (err) status = NfsStatusOfErrno(err);
        }
        out.Write32(ToV2(status));
        if (status != NFS_OK) return PROC_DONE;
        const std::vector<std::string>& names = *listing;
        uint32_t used = 4 + 8;
        size_t i = std::min<size_t>(cookie, names.size());
        for (; i < names.size(); ++i) {
            const std::string& name = names[i];
            uint32_t entry = 4 + 4 + 4 + static_cast<uint32_t>(name.size() + I_Stream::Pad(name.size())) + 4;
            if (used + entry > count) break;
            used += entry;
            out.WriteBool(true);
            out.Write32(PathTable().FileIdOf(EntryPath(cfg, path, name)));
            out.WriteString(name);
            out.Write32(static_cast<uint32_t>(i + 1));
        }
        out.WriteBool(false);
        out.WriteBool(i >= names.size());
        return PROC_DONE;
    }
    int StatFs() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        struct statvfs v {};
        if (status == NFS_OK) status = VolumeStat(cfg, path, &v);
        out.Write32(ToV2(status));
        if (status != NFS_OK) return PROC_DONE;
        constexpr uint64_t kBlock = 1448;
        auto blocks = [&](uint64_t n) {
            uint64_t b = n * v.f_frsize / kBlock;
            return static_cast<uint32_t>(std::min<uint64_t>(b, 0xFFFFFFFFu));
        };
        out.Write32(info.transport == RPC_UDP ? 1400 : 8192);  // tsize
        out.Write32(kBlock);
        out.Write32(blocks(v.f_blocks));
        out.Write32(blocks(v.f_bfree));
        out.Write32(blocks(v.f_bavail));
        return PROC_DONE;
    }
};
}  // namespace

int CNfsV2Handler::Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const {
    Call2 c{cfg_, in, out, info};
    switch (info.procedure) {
        case NFSPROC_NULL:
        case NFSPROC_ROOT:
        case NFSPROC_WRITECACHE: return PROC_DONE;
        case NFSPROC_GETATTR: return c.GetAttr();
        case NFSPROC_SETATTR: return c.SetAttr();
        case NFSPROC_LOOKUP: return c.Lookup();
        case NFSPROC_READLINK: return c.ReadLink();
        case NFSPROC_READ: return c.Read();
        case NFSPROC_WRITE: return c.Write();
        case NFSPROC_CREATE: return c.Create();
        case NFSPROC_REMOVE: return c.Remove(false);
        case NFSPROC_RENAME: return c.Rename();
        case NFSPROC_LINK: return c.Link();
        case NFSPROC_SYMLINK: return c.SymLink();
        case NFSPROC_MKDIR: return c.MkDir();
        case NFSPROC_RMDIR: return c.Remove(true);
        case NFSPROC_READDIR: return c.ReadDir();
        case NFSPROC_STATFS: return c.StatFs();
        default: return PROC_UNAVAILABLE;
    }
}
