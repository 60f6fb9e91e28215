#include "_services/nfs/mount.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "_services/log.h"
#include "_services/nfs/nfs_paths.h"

CRPCProg_Mount::CRPCProg_Mount() : CRPCProg(kMountProgram) { versions[1] = versions[2] = versions[3] = 1; }

void CRPCProg_Mount::AddExport(const NfsFs* fs, const std::string& name) {
    std::string n = name;
    std::replace(n.begin(), n.end(), '\\', '/');
    while (n.size() > 1 && n.back() == '/') n.pop_back();
    std::lock_guard<std::mutex> g(exportLock_);
    exports_.push_back({fs, n});
}

uint32_t CRPCProg_Mount::ResolveExport(const std::string& mountPath, std::string* folder) const {
    folder->clear();
    std::string path = mountPath;
    std::replace(path.begin(), path.end(), '\\', '/');
    std::lock_guard<std::mutex> g(exportLock_);
    for (const Export& e : exports_) {
        std::string rest;
        if (path == e.name) rest.clear();
        else if (e.name == "/" && !path.empty() && path[0] == '/') rest = path.substr(1);
        else if (path.size() > e.name.size() && path.compare(0, e.name.size(), e.name) == 0 && path[e.name.size()] == '/')
            rest = path.substr(e.name.size() + 1);
        else continue;
        // Component by component: no way up, nothing but plain names.
        std::string local = e.fs->Root();
        size_t i = 0;
        while (i <= rest.size()) {
            size_t j = rest.find('/', i);
            if (j == std::string::npos) j = rest.size();
            std::string comp = rest.substr(i, j - i);
            i = j + 1;
            if (comp.empty()) continue;
            if (comp.size() > kMaxNameLength) return MNT_NAMETOOLONG;
            if (!ValidName(comp)) return MNT_ACCES;
            local = e.fs->Join(local, comp);
        }
        struct stat st;
        int err = e.fs->Stat(local, &st);
        if (err) return err == ENOENT ? MNT_NOENT : err == ENOTDIR ? MNT_NOTDIR : MNT_ACCES;
        if (!S_ISDIR(st.st_mode)) return MNT_NOTDIR;
        *folder = local;
        return MNT_OK;
    }
    return MNT_NOENT;
}

std::vector<CRPCProg_Mount::MountRecord> CRPCProg_Mount::Mounts() const {
    std::lock_guard<std::mutex> g(mountLock_);
    return mounts_;
}

void CRPCProg_Mount::Mnt(I_Stream& in, O_Stream& out, const RpcCallInfo& info) {
    std::string path = in.ReadString(kMaxPathLength);
    std::string folder;
    uint32_t status = ResolveExport(path, &folder);
    if (status == MNT_OK) {
        std::lock_guard<std::mutex> g(mountLock_);
        auto same = std::find_if(mounts_.begin(), mounts_.end(),
                                 [&](const MountRecord& r) { return r.client == info.peer && r.path == path; });
        if (same == mounts_.end()) {
            if (mounts_.size() >= static_cast<size_t>(kMaxMounts)) status = MNT_NOENT;
            else mounts_.push_back({info.peer, path});
        }
    }
    out.Write32(status);
    if (status != MNT_OK) {
        LogPrint(1, "NFS Warn: mount of \"%s\" by %s refused (status %u)", path.c_str(), info.peer.c_str(), status);
        return;
    }
    NfsHandle h = PathTable().HandleOf(folder);
    if (info.version == 3) {
        out.WriteOpaque(&h, sizeof h);
        out.Write32(0);  // no authentication flavours listed
    } else {
        out.Write(&h, kNfs2HandleSize);
    }
}

int CRPCProg_Mount::Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) {
    if (info.version < 1 || info.version > 3) {
        info.low = 1;
        info.high = 3;
        return PROC_MISMATCH;
    }
    switch (info.procedure) {
        case MOUNTPROC_NULL:
            return PROC_DONE;
        case MOUNTPROC_MNT:
            Mnt(in, out, info);
            return PROC_DONE;
        case MOUNTPROC_DUMP:
            for (const MountRecord& r : Mounts()) {
                out.WriteBool(true);
                out.WriteString(r.client);
                out.WriteString(r.path);
            }
            out.WriteBool(false);
            return PROC_DONE;
        case MOUNTPROC_UMNT: {
            std::string path = in.ReadString(kMaxPathLength);
            std::lock_guard<std::mutex> g(mountLock_);
            std::erase_if(mounts_, [&](const MountRecord& r) { return r.client == info.peer && r.path == path; });
            return PROC_DONE;
        }
        case MOUNTPROC_UMNTALL: {
            std::lock_guard<std::mutex> g(mountLock_);
            std::erase_if(mounts_, [&](const MountRecord& r) { return r.client == info.peer; });
            return PROC_DONE;
        }
        case MOUNTPROC_EXPORT:
        case MOUNTPROC_EXPORTALL: {
            std::lock_guard<std::mutex> g(exportLock_);
            for (const Export& e : exports_) {
                out.WriteBool(true);
                out.WriteString(e.name);
                out.WriteBool(false);  // no group list
            }
            out.WriteBool(false);
            return PROC_DONE;
        }
        case MOUNTPROC_PATHCONF: {
            std::string path = in.ReadString(kMaxPathLength), folder;
            ResolveExport(path, &folder);
            return PROC_DONE;
        }
        default:
            return PROC_UNAVAILABLE;
    }
}
