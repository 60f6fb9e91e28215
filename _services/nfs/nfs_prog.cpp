#include "_services/nfs/nfs_prog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "libs/log/log.h"

namespace {
struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

uint32_t Low32(int64_t v) { return static_cast<uint32_t>(v); }
}  // namespace

// ---- attributes ----

bool Nfs3FillAttr(const NfsConfig& cfg, const std::string& path, Nfs3Attr* a) {
    struct stat st;
    if (!cfg.fs || cfg.fs->Stat(path, &st) != 0) return false;
    int word = 0, link = 0;
    bool hasWord = cfg.streamInUse && CPosixFileAttr::ReadPfa(path, &word, &link);
    *a = Nfs3Attr{};
    if ((hasWord && link) || S_ISLNK(st.st_mode))
        a->type = NF_LNK;
    else if (S_ISDIR(st.st_mode))
        a->type = NF_DIR;
    else if (S_ISCHR(st.st_mode))
        a->type = NF_CHR;
    else if (S_ISBLK(st.st_mode))
        a->type = NF_BLK;
    else if (S_ISREG(st.st_mode))
        a->type = NF_REG;
    else
        a->type = NF_NON;
    a->mode = static_cast<uint32_t>(CPosixFileAttr::ServedMode(hasWord, word, st.st_mode));
    if (a->type == NF_CHR || a->type == NF_BLK) {
        a->rdev1 = major(st.st_rdev);
        a->rdev2 = minor(st.st_rdev);
    }
    a->nlink = static_cast<uint32_t>(st.st_nlink);
    a->uid = static_cast<uint32_t>(cfg.uid);
    a->gid = static_cast<uint32_t>(cfg.gid);
    a->size = a->used = static_cast<uint64_t>(st.st_size);
    a->fsid = 4;
    a->fileid = PathTable().FileIdOf(path);
    a->atimeSec = Low32(st.st_atim.tv_sec);
    a->atimeNsec = static_cast<uint32_t>(st.st_atim.tv_nsec);
    a->mtimeSec = Low32(st.st_mtim.tv_sec);
    a->mtimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    a->ctimeSec = Low32(st.st_ctim.tv_sec);
    a->ctimeNsec = static_cast<uint32_t>(st.st_ctim.tv_nsec);
    return true;
}

void WriteNfs3Attr(O_Stream& out, const Nfs3Attr& a) {
    out.Write32(a.type);
    out.Write32(a.mode);
    out.Write32(a.nlink);
    out.Write32(a.uid);
    out.Write32(a.gid);
    out.Write64(a.size);
    out.Write64(a.used);
    out.Write32(a.rdev1);
    out.Write32(a.rdev2);
    out.Write64(a.fsid);
    out.Write64(a.fileid);
    out.Write32(a.atimeSec);
    out.Write32(a.atimeNsec);
    out.Write32(a.mtimeSec);
    out.Write32(a.mtimeNsec);
    out.Write32(a.ctimeSec);
    out.Write32(a.ctimeNsec);
}

void WriteNfs2Attr(O_Stream& out, const Nfs3Attr& a) {
    static const uint32_t typeBits[] = {0, 0x8000, 0x4000, 0x6000, 0x2000, 0xA000};
    const bool fits = a.size <= 0xFFFFFFFFull;
    out.Write32(a.type);
    out.Write32(typeBits[a.type <= NF_LNK ? a.type : 0] | a.mode);
    out.Write32(a.nlink);
    out.Write32(a.uid);
    out.Write32(a.gid);
    out.Write32(fits ? static_cast<uint32_t>(a.size) : 0xFFFFFFFFu);
    out.Write32(8192);  // blocksize
    out.Write32(0);     // rdev
    out.Write32(fits ? static_cast<uint32_t>((a.size + 8191) / 8192) : 0);
    out.Write32(static_cast<uint32_t>(a.fsid));
    out.Write32(static_cast<uint32_t>(a.fileid));
    out.Write32(a.atimeSec);
    out.Write32(a.atimeNsec / 1000);
    out.Write32(a.mtimeSec);
    out.Write32(a.mtimeNsec / 1000);
    out.Write32(a.ctimeSec);
    out.Write32(a.ctimeNsec / 1000);
}

// ---- settable attributes ----

NfsSetAttr ReadSattr2(I_Stream& in) {
    NfsSetAttr s;
    uint32_t v[8];
    for (uint32_t& x : v) x = in.Read32();
    const uint32_t unset = 0xFFFFFFFFu;
    if (v[0] != unset) {
        s.setMode = true;
        s.mode = v[0];
    }
    if (v[3] != unset) {
        s.setSize = true;
        s.size = v[3];
    }
    if (v[4] != unset) {
        s.atimeHow = SET_TO_CLIENT_TIME;
        s.atime = {static_cast<time_t>(v[4]), v[5] == unset ? 0 : static_cast<long>(v[5] % 1000000) * 1000};
    }
    if (v[6] != unset) {
        s.mtimeHow = SET_TO_CLIENT_TIME;
        s.mtime = {static_cast<time_t>(v[6]), v[7] == unset ? 0 : static_cast<long>(v[7] % 1000000) * 1000};
    }
    return s;
}

NfsSetAttr ReadSattr3(I_Stream& in) {
    NfsSetAttr s;
    if (in.ReadBool()) {
        s.setMode = true;
        s.mode = in.Read32();
    }
    if (in.ReadBool()) in.Read32();  // uid: not kept
    if (in.ReadBool()) in.Read32();  // gid: not kept
    if (in.ReadBool()) {
        s.setSize = true;
        s.size = in.Read64();
    }
    auto readTime = [&](int* how, timespec* t) {
        *how = static_cast<int>(in.Read32());
        if (*how == SET_TO_CLIENT_TIME) {
            t->tv_sec = in.Read32();
            t->tv_nsec = in.Read32() % 1000000000u;
        } else if (*how != SET_TO_SERVER_TIME) {
            *how = DONT_CHANGE;
        }
    };
    readTime(&s.atimeHow, &s.atime);
    readTime(&s.mtimeHow, &s.mtime);
    return s;
}

uint32_t ApplySetAttr(const NfsConfig& cfg, const std::string& path, const NfsSetAttr& s) {
    // A link on disk has no mode, size or times of its own to set here, and what it names is
    // never changed through it.
    struct stat link;
    if (cfg.fs->Stat(path, &link) == 0 && S_ISLNK(link.st_mode)) return s.setSize ? NFSERR_INVAL : NFS_OK;
    if (s.setMode) {
        if (cfg.streamInUse) {
            if (!CPosixFileAttr::WritePfaMode(path, static_cast<int>(s.mode & kPfaModeMask))) return NFSERR_IO;
        } else {
            // Without the attribute word the mode is the file's own.
            Fd f(cfg.fs->Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
            if (f.fd < 0 || fchmod(f.fd, static_cast<mode_t>(s.mode & 07777)) != 0) return NFSERR_INVAL;
        }
    }
    if (s.setSize) {
        Fd f(cfg.fs->Open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK));
        if (f.fd < 0) return NfsStatusOfErrno(-f.fd);
        if (s.size > static_cast<uint64_t>(INT64_MAX) || ftruncate(f.fd, static_cast<off_t>(s.size)) != 0)
            return NfsStatusOfErrno(errno == 0 ? EFBIG : errno);
    }
    if (s.atimeHow != DONT_CHANGE || s.mtimeHow != DONT_CHANGE) {
        timespec t[2];
        const int hows[2] = {s.atimeHow, s.mtimeHow};
        const timespec given[2] = {s.atime, s.mtime};
        for (int i = 0; i < 2; ++i) {
            if (hows[i] == DONT_CHANGE)
                t[i] = {0, UTIME_OMIT};
            else if (hows[i] == SET_TO_SERVER_TIME)
                t[i] = {0, UTIME_NOW};
            else
                t[i] = given[i];
        }
        Fd f(cfg.fs->Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        if (f.fd < 0) return NfsStatusOfErrno(-f.fd);
        if (futimens(f.fd, t) != 0) return NfsStatusOfErrno(errno);
    }
    return NFS_OK;
}

// ---- paths ----

uint32_t CheckHandlePath(const NfsConfig& cfg, uint32_t handleStatus, const std::string& path) {
    if (handleStatus != NFS_OK) return handleStatus;
    struct stat st;
    if (!cfg.fs || !cfg.fs->Valid() || !cfg.fs->Contains(path) || cfg.fs->Stat(path, &st) != 0) return NFSERR_STALE;
    return NFS_OK;
}

std::string EntryPath(const NfsConfig& cfg, const std::string& dir, const std::string& name) {
    if (name == ".") return dir;
    if (name == "..") return cfg.fs->Parent(dir);
    return cfg.fs->Join(dir, name);
}

NfsDirOp ResolveDirOp(const NfsConfig& cfg, uint32_t handleStatus, const std::string& dir, const std::string& name,
                      bool lookup) {
    NfsDirOp op;
    op.dir = dir;
    op.name = name;
    op.status = CheckHandlePath(cfg, handleStatus, dir);
    if (op.status != NFS_OK) return op;
    struct stat st;
    if (cfg.fs->Stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        op.status = NFSERR_NOTDIR;
        return op;
    }
    if (lookup && (name == "." || name == "..")) {
        op.path = EntryPath(cfg, dir, name);
        return op;
    }
    if (!ValidName(name)) {
        op.status = name.empty() ? NFSERR_NOENT : NFSERR_ACCES;
        return op;
    }
    op.path = cfg.fs->Join(dir, name);
    return op;
}

uint32_t CreateFile(const NfsConfig& cfg, const std::string& path, bool exclusive) {
    std::string name;
    Fd dir(cfg.fs->OpenParent(path, &name));
    if (dir.fd < 0) return NfsStatusOfErrno(-dir.fd);
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exclusive ? O_EXCL : 0);
    struct stat st;
    if (!exclusive && fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) return NFSERR_ISDIR;
        if (!S_ISREG(st.st_mode)) return NFSERR_EXIST;
    }
    Fd f(openat(dir.fd, name.c_str(), flags, 0644));
    if (f.fd < 0) return NfsStatusOfErrno(errno);
    return NFS_OK;
}

uint32_t CreateLinkFile(const NfsConfig& cfg, const std::string& path, const std::string& target, int mode) {
    if (target.empty() || target.size() > kMaxPathLength) return NFSERR_INVAL;
    uint32_t status = CreateFile(cfg, path, true);
    if (status != NFS_OK) return status;
    Fd f(cfg.fs->Open(path, O_WRONLY | O_NOFOLLOW));
    bool ok = f.fd >= 0 && write(f.fd, target.data(), target.size()) == static_cast<ssize_t>(target.size()) &&
              CPosixFileAttr::WritePfaModeAndLink(path, mode, 1);
    if (!ok) {
        cfg.fs->Remove(path, false);
        return NFSERR_IO;
    }
    return NFS_OK;
}

uint32_t ReadLinkFile(const NfsConfig& cfg, const std::string& path, std::string* target) {
    struct stat st;
    if (cfg.fs->Stat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        int err = cfg.fs->ReadLink(path, target);
        return err ? NfsStatusOfErrno(err) : NFS_OK;
    }
    int link = 0;
    if (!cfg.streamInUse || !CPosixFileAttr::ReadPfa(path, nullptr, &link) || !link) return NFSERR_INVAL;
    Fd f(cfg.fs->Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (f.fd < 0 || fstat(f.fd, &st) != 0) return NFSERR_IO;
    if (st.st_size < 1 || st.st_size > static_cast<off_t>(kMaxPathLength)) return NFSERR_INVAL;
    target->resize(static_cast<size_t>(st.st_size));
    if (pread(f.fd, target->data(), target->size(), 0) != st.st_size) return NFSERR_ACCES;
    return NFS_OK;
}

uint32_t ReadFileData(const NfsConfig& cfg, const std::string& path, uint64_t offset, uint32_t count,
                      std::vector<uint8_t>* data, bool* eof) {
    data->clear();
    *eof = false;
    Fd f(cfg.fs->Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    struct stat st;
    if (f.fd < 0) return NfsStatusOfErrno(-f.fd);
    if (fstat(f.fd, &st) != 0) return NFSERR_IO;
    if (S_ISDIR(st.st_mode)) return NFSERR_ISDIR;
    if (!S_ISREG(st.st_mode)) return NFSERR_INVAL;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (offset >= size) {
        *eof = true;
        return NFS_OK;
    }
    data->resize(static_cast<size_t>(std::min<uint64_t>(count, size - offset)));
    size_t got = 0;
    while (got < data->size()) {
        ssize_t n = pread(f.fd, data->data() + got, data->size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return NFSERR_IO;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    data->resize(got);
    *eof = offset + got >= size;
    return NFS_OK;
}

uint32_t WriteFileData(const NfsConfig& cfg, const std::string& path, uint64_t offset, const uint8_t* data,
                       size_t length, bool sync) {
    if (offset > static_cast<uint64_t>(INT64_MAX) - length) return NFSERR_FBIG;
    Fd f(cfg.fs->Open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK));
    if (f.fd < 0) return NfsStatusOfErrno(-f.fd);
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(f.fd, data + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? NfsStatusOfErrno(errno) : NFSERR_IO;
        done += static_cast<size_t>(n);
    }
    if (sync && fdatasync(f.fd) != 0) return NFSERR_IO;
    return NFS_OK;
}

uint32_t RemovePath(const NfsConfig& cfg, const std::string& path, bool folder) {
    int err = cfg.fs->Remove(path, folder);
    if (err) return NfsStatusOfErrno(err);
    PathTable().Removed(path);
    return NFS_OK;
}

uint32_t RenamePath(const NfsConfig& cfg, const std::string& from, const std::string& to) {
    if (from == to) return NFS_OK;
    int err = cfg.fs->Rename(from, to);  // replaces an existing target
    if (err) return NfsStatusOfErrno(err);
    PathTable().Renamed(from, to);
    return NFS_OK;
}

uint32_t MakeFolder(const NfsConfig& cfg, const std::string& path, const NfsSetAttr& s) {
    int err = cfg.fs->MakeDir(path);
    if (err) return NfsStatusOfErrno(err);
    if (s.setMode) {
        NfsSetAttr mode;
        mode.setMode = true;
        mode.mode = s.mode;
        ApplySetAttr(cfg, path, mode);
    }
    return NFS_OK;
}

uint32_t VolumeStat(const NfsConfig& cfg, const std::string& path, struct statvfs* v) {
    Fd f(cfg.fs->Open(path, O_PATH));
    return f.fd >= 0 && fstatvfs(f.fd, v) == 0 ? NFS_OK : NFSERR_IO;
}

// ---- version 4 stub ----

int CNfsV4Handler::Dispatch(I_Stream& in, O_Stream& out, RpcCallInfo& info) const {
    if (info.procedure == 0) return PROC_DONE;
    if (info.procedure != 1) return PROC_UNAVAILABLE;
    std::string tag = in.ReadString(kMaxPathLength);
    uint32_t minor = in.Read32();
    if (minor != 0) {
        out.Write32(kNfs4MinorVersMismatch);
        out.WriteString(tag);
        out.Write32(0);
        return PROC_DONE;
    }
    if (in.Read32() == 0) {
        out.Write32(0);
        out.WriteString(tag);
        out.Write32(0);
    }
    return PROC_DONE;
}

// ---- the program ----

CRPCProg_NFS::CRPCProg_NFS() : CRPCProg(kNfsProgram) {}

void CRPCProg_NFS::SetVersions(int mask) {
    versions[2] = (mask & 0x1) ? 1 : 0;
    versions[3] = (mask & 0x2) ? 1 : 0;
    versions[4] = (mask & 0x4) ? 1 : 0;
}

int CRPCProg_NFS::Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) {
    const NfsConfig& cfg = *this;
    if (info.version == 2 && versions[2]) {
        std::call_once(v2Once_, [&] { v2_ = std::make_unique<CNfsV2Handler>(cfg); });
        return v2_->Dispatch(in, out, info);
    }
    if (info.version == 3 && versions[3]) {
        std::call_once(v3Once_, [&] { v3_ = std::make_unique<CNfsV3Handler>(cfg); });
        return v3_->Dispatch(in, out, info);
    }
    if (info.version == 4 && versions[4]) {
        std::call_once(v4Once_, [&] { v4_ = std::make_unique<CNfsV4Handler>(); });
        return v4_->Dispatch(in, out, info);
    }
    info.low = versions[2] ? 2 : versions[3] ? 3 : versions[4] ? 4 : 0;
    info.high = versions[4] ? 4 : versions[3] ? 3 : versions[2] ? 2 : 0;
    return PROC_MISMATCH;
}
