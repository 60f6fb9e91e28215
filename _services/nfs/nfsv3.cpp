// NFS version 3 (RFC 1813) over the export's file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>

#include "_services/nfs/nfs_prog.h"
#include "libs/log/log.h"

namespace {
enum Nfs3Proc : uint32_t {
    NFSPROC3_NULL = 0,
    NFSPROC3_GETATTR,
    NFSPROC3_SETATTR,
    NFSPROC3_LOOKUP,
    NFSPROC3_ACCESS,
    NFSPROC3_READLINK,
    NFSPROC3_READ,
    NFSPROC3_WRITE,
    NFSPROC3_CREATE,
    NFSPROC3_MKDIR,
    NFSPROC3_SYMLINK,
    NFSPROC3_MKNOD,
    NFSPROC3_REMOVE,
    NFSPROC3_RMDIR,
    NFSPROC3_RENAME,
    NFSPROC3_LINK,
    NFSPROC3_READDIR,
    NFSPROC3_READDIRPLUS,
    NFSPROC3_FSSTAT,
    NFSPROC3_FSINFO,
    NFSPROC3_PATHCONF,
    NFSPROC3_COMMIT
};
constexpr uint32_t kNfs3ErrTooSmall = 10005;
constexpr uint32_t kAttrSize = 4 + sizeof(Nfs3Attr);   // post_op_attr with attributes
constexpr uint32_t kFhSize = 4 + 4 + kNfs3HandleSize;  // post_op_fh3 with a handle

// One call: the streams and the handler's values.
struct Call3 {
    const NfsConfig& cfg;
    I_Stream& in;
    O_Stream& out;
    RpcCallInfo& info;

    // nfs_fh3: exactly 64 bytes (longer is garbage, another length a bad handle).
    uint32_t ReadHandle(std::string* path) {
        const uint8_t* p;
        uint32_t n = in.ReadOpaqueInPlace(kNfs3HandleSize, &p);
        if (n != kNfs3HandleSize) return NFS3ERR_BADHANDLE;
        return PathTable().PathOfHandle(p, n, path);
    }
    uint32_t ReadExisting(std::string* path) { return CheckHandlePath(cfg, ReadHandle(path), *path); }
    NfsDirOp ReadDirOp(bool lookup) {
        std::string dir;
        uint32_t hs = ReadHandle(&dir);
        std::string name = in.ReadString(kMaxNameLength);
        return ResolveDirOp(cfg, hs, dir, name, lookup);
    }
    void PostOpAttr(const std::string& path) {
        Nfs3Attr a;
        if (!path.empty() && Nfs3FillAttr(cfg, path, &a)) {
            out.WriteBool(true);
            WriteNfs3Attr(out, a);
        } else {
            out.WriteBool(false);
        }
    }
    // wcc_data: no attributes before, the attributes after when they can be read.
    void Wcc(const std::string& path) {
        out.WriteBool(false);
        PostOpAttr(path);
    }
    void PostOpFh(const std::string& path) {
        NfsHandle h = PathTable().HandleOf(path);
        out.WriteBool(true);
        out.WriteOpaque(&h, sizeof h);
    }
    bool Exists(const std::string& path) {
        struct stat st;
        return cfg.fs->Stat(path, &st) == 0;
    }

    int GetAttr() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        Nfs3Attr a;
        if (status == NFS_OK && !Nfs3FillAttr(cfg, path, &a)) status = NFSERR_IO;
        out.Write32(status);
        if (status == NFS_OK) WriteNfs3Attr(out, a);
        return PROC_DONE;
    }

    int SetAttr() {
        std::string path;
        uint32_t hs = ReadHandle(&path);
        NfsSetAttr s = ReadSattr3(in);
        if (in.ReadBool()) in.Skip(8);  // guard ctime: not checked
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : CheckHandlePath(cfg, hs, path);
        if (status == NFS_OK) status = ApplySetAttr(cfg, path, s);
        out.Write32(status);
        Wcc(status == NFSERR_ROFS ? std::string() : path);
        return PROC_DONE;
    }

    int Lookup() {
        NfsDirOp op = ReadDirOp(true);
        if (op.status == NFS_OK && !Exists(op.path)) op.status = NFSERR_NOENT;
        Nfs3Attr a;
        if (op.status == NFS_OK && !Nfs3FillAttr(cfg, op.path, &a)) op.status = NFSERR_IO;
        out.Write32(op.status);
        if (op.status == NFS_OK) {
            NfsHandle h = PathTable().HandleOf(op.path);
            out.WriteOpaque(&h, sizeof h);
            out.WriteBool(true);
            WriteNfs3Attr(out, a);
        }
        out.WriteBool(false);  // directory attributes
        return PROC_DONE;
    }

    int Access() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        uint32_t mask = in.Read32();
        out.Write32(status);
        PostOpAttr(status == NFS_OK ? path : std::string());
        if (status == NFS_OK)
            out.Write32(cfg.readOnly ? mask & ~(kAccessModify | kAccessExtend | kAccessDelete) : mask);
        return PROC_DONE;
    }

    int ReadLink() {
        std::string path, target;
        uint32_t status = ReadExisting(&path);
        if (status == NFS_OK) status = ReadLinkFile(cfg, path, &target);
        out.Write32(status);
        PostOpAttr(status == NFS_OK ? path : std::string());
        if (status == NFS_OK) out.WriteString(target);
        return PROC_DONE;
    }

    int Read() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        uint64_t offset = in.Read64();
        uint32_t count = std::min(in.Read32(), kNfs3MaxData);
        std::vector<uint8_t> data;
        bool eof = false;
        if (status == NFS_OK) status = ReadFileData(cfg, path, offset, count, &data, &eof);
        out.Write32(status);
        PostOpAttr(status == NFS_OK ? path : std::string());
        if (status != NFS_OK) return PROC_DONE;
        out.Write32(static_cast<uint32_t>(data.size()));
        out.WriteBool(eof);
        out.WriteOpaque(data.data(), data.size());
        return PROC_DONE;
    }

    int Write() {
        std::string path;
        uint32_t hs = ReadHandle(&path);
        uint64_t offset = in.Read64();
        uint32_t count = in.Read32();
        uint32_t stable = in.Read32();
        const uint8_t* data;
        uint32_t length = in.ReadOpaqueInPlace(kRpcMaxRecord, &data);
        count = std::min(count, length);
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : CheckHandlePath(cfg, hs, path);
        if (status == NFS_OK) status = WriteFileData(cfg, path, offset, data, count, stable != UNSTABLE);
        out.Write32(status);
        Wcc(status == NFSERR_ROFS ? std::string() : path);
        if (status != NFS_OK) return PROC_DONE;
        out.Write32(count);
        out.Write32(FILE_SYNC);
        out.Write64(0);  // write verifier
        return PROC_DONE;
    }

    // The end of CREATE, MKDIR and SYMLINK.
    void NewObjectReply(uint32_t status, const NfsDirOp& op) {
        out.Write32(status);
        if (status == NFS_OK) {
            PostOpFh(op.path);
            PostOpAttr(op.path);
        }
        Wcc(status == NFSERR_ROFS ? std::string() : op.dir);
    }

    int Create() {
        NfsDirOp op = ReadDirOp(false);
        uint32_t how = in.Read32();
        NfsSetAttr s;
        if (how == CREATE_EXCLUSIVE)
            in.Skip(8);
        else if (how <= CREATE_GUARDED)
            s = ReadSattr3(in);
        else
            throw XdrError("bad create mode");
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : op.status;
        if (status == NFS_OK) status = CreateFile(cfg, op.path, how != CREATE_UNCHECKED);
        if (status == NFS_OK) status = ApplySetAttr(cfg, op.path, s);
        NewObjectReply(status, op);
        return PROC_DONE;
    }

    int MkDir() {
        NfsDirOp op = ReadDirOp(false);
        NfsSetAttr s = ReadSattr3(in);
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : op.status;
        if (status == NFS_OK) status = MakeFolder(cfg, op.path, s);
        NewObjectReply(status, op);
        return PROC_DONE;
    }

    int SymLink() {
        NfsDirOp op = ReadDirOp(false);
        NfsSetAttr s = ReadSattr3(in);
        std::string target = in.ReadString(kMaxPathLength);
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : op.status;
        // Links are kept as files with the link bit: without the attribute word there are none.
        if (status == NFS_OK && !cfg.streamInUse) status = NFS3ERR_NOTSUPP;
        if (status == NFS_OK)
            status =
                CreateLinkFile(cfg, op.path, target, s.setMode ? static_cast<int>(s.mode & kPfaModeMask) : kPfaNoMode);
        NewObjectReply(status, op);
        return PROC_DONE;
    }

    int Remove(bool folder) {
        NfsDirOp op = ReadDirOp(false);
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : op.status;
        if (status == NFS_OK) status = RemovePath(cfg, op.path, folder);
        out.Write32(status);
        Wcc(status == NFSERR_ROFS ? std::string() : op.dir);
        return PROC_DONE;
    }

    int Rename() {
        NfsDirOp from = ReadDirOp(false);
        NfsDirOp to = ReadDirOp(false);
        uint32_t status = cfg.readOnly ? NFSERR_ROFS : from.status != NFS_OK ? from.status : to.status;
        if (status == NFS_OK) status = RenamePath(cfg, from.path, to.path);
        out.Write32(status);
        Wcc(status == NFSERR_ROFS ? std::string() : from.dir);
        Wcc(status == NFSERR_ROFS ? std::string() : to.dir);
        return PROC_DONE;
    }

    // READDIR and READDIRPLUS: from position cookie, as many entries as count bytes hold.
    int ReadDir(bool plus) {
        const size_t start = out.Position();
        std::string path;
        uint32_t status = ReadExisting(&path);
        uint64_t cookie = in.Read64();
        uint8_t verifier[8];
        in.Read(verifier, 8);
        uint32_t dirCount = in.Read32();
        uint32_t maxCount = plus ? in.Read32() : dirCount;
        NfsFs::Listing listing;
        if (status == NFS_OK) {
            int err = cfg.fs->List(path, &listing, cookie == 0);
            if (err) status = NfsStatusOfErrno(err);
        }
        out.Write32(status);
        PostOpAttr(status == NFS_OK ? path : std::string());
        if (status != NFS_OK) return PROC_DONE;
        out.Write(verifier, 8);
        const std::vector<std::string>& names = *listing;
        maxCount = std::min(maxCount, kNfs3MaxData);
        uint32_t used = 4 + kAttrSize + 8 + 8, dirUsed = 0, written = 0;
        size_t i = cookie < names.size() ? static_cast<size_t>(cookie) : names.size();
        for (; i < names.size(); ++i) {
            const std::string& name = names[i];
            uint32_t entry = 4 + 8 + 4 + static_cast<uint32_t>(name.size() + I_Stream::Pad(name.size())) + 8;
            uint32_t full = entry + (plus ? kAttrSize + kFhSize : 0);
            if (used + full > maxCount || (plus && dirUsed + entry > dirCount)) break;
            used += full;
            dirUsed += entry;
            const std::string entryPath = EntryPath(cfg, path, name);
            out.WriteBool(true);
            out.Write64(PathTable().FileIdOf(entryPath));
            out.WriteString(name);
            out.Write64(i + 1);
            if (plus) {
                PostOpAttr(entryPath);
                PostOpFh(entryPath);
            }
            ++written;
        }
        if (written == 0 && i < names.size()) {
            // Not even one entry fits the client's count.
            out.Truncate(start);
            return TooSmall(path);
        }
        out.WriteBool(false);
        out.WriteBool(i >= names.size());
        return PROC_DONE;
    }
    int TooSmall(const std::string& path);

    int FsStat() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        struct statvfs v {};
        if (status == NFS_OK) status = VolumeStat(cfg, path, &v);
        out.Write32(status);
        out.WriteBool(false);
        if (status != NFS_OK) return PROC_DONE;
        out.Write64(static_cast<uint64_t>(v.f_blocks) * v.f_frsize);
        out.Write64(static_cast<uint64_t>(v.f_bfree) * v.f_frsize);
        out.Write64(static_cast<uint64_t>(v.f_bavail) * v.f_frsize);
        out.Write64(v.f_files);
        out.Write64(v.f_ffree);
        out.Write64(v.f_favail);
        out.Write32(0);  // invarsec
        return PROC_DONE;
    }

    int FsInfo() {
        std::string path;
        uint32_t status = ReadExisting(&path);
        out.Write32(status);
        out.WriteBool(false);
        if (status != NFS_OK) return PROC_DONE;
        const Nfs3FsInfo f{
            kNfs3MaxData,   kNfs3MaxData, 512, kNfs3MaxData, kNfs3MaxData, 512, 8192, 0x7FFFFFFFFFFFFFFFull, 1, 0,
            kFsfHomogeneous};
        out.Write32(f.rtmax);
        out.Write32(f.rtpref);
        out.Write32(f.rtmult);
        out.Write32(f.wtmax);
        out.Write32(f.wtpref);
        out.Write32(f.wtmult);
        out.Write32(f.dtpref);
        out.Write64(f.maxfilesize);
        out.Write32(f.timeDeltaSec);
        out.Write32(f.timeDeltaNsec);
        out.Write32(f.properties);
        return PROC_DONE;
    }
};

// The reply was rewound to its start by ReadDir: status and directory attributes only.
int Call3::TooSmall(const std::string& path) {
    out.Write32(kNfs3ErrTooSmall);
    PostOpAttr(path);
    return PROC_DONE;
}
}  // namespace

int CNfsV3Handler::Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const {
    Call3 c{cfg_, in, out, info};
    switch (info.procedure) {
        case NFSPROC3_NULL: return PROC_DONE;
        case NFSPROC3_GETATTR: return c.GetAttr();
        case NFSPROC3_SETATTR: return c.SetAttr();
        case NFSPROC3_LOOKUP: return c.Lookup();
        case NFSPROC3_ACCESS: return c.Access();
        case NFSPROC3_READLINK: return c.ReadLink();
        case NFSPROC3_READ: return c.Read();
        case NFSPROC3_WRITE: return c.Write();
        case NFSPROC3_CREATE: return c.Create();
        case NFSPROC3_MKDIR: return c.MkDir();
        case NFSPROC3_SYMLINK: return c.SymLink();
        case NFSPROC3_REMOVE: return c.Remove(false);
        case NFSPROC3_RMDIR: return c.Remove(true);
        case NFSPROC3_RENAME: return c.Rename();
        case NFSPROC3_READDIR: return c.ReadDir(false);
        case NFSPROC3_READDIRPLUS: return c.ReadDir(true);
        case NFSPROC3_FSSTAT: return c.FsStat();
        case NFSPROC3_FSINFO: return c.FsInfo();
        default: return PROC_UNAVAILABLE;  // MKNOD, LINK, PATHCONF, COMMIT and beyond
    }
}
