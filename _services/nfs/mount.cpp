#include "_services/nfs/mount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "_services/nfs/nfs_paths.h"
#include "libs/log/log.h"

CRPCProg_Mount::CRPCProg_Mount() : CRPCProg(kMountProgram) { versions[1] = versions[2] = versions[3] = 1; }

void CRPCProg_Mount::AddExport(const NfsFs* fs, const std::string& name) {
    std::string n = NormaliseMountPath(name);
    std::lock_guard<std::mutex> g(exportLock_);
    exports_.push_back({fs, n});
}

std::string NormaliseMountPath(const std::string& mountPath) {
    std::string path;
    path.reserve(mountPath.size());
    for (char c : mountPath) {
        if (c == '\\') c = '/';
        if (c == '/' && !path.empty() && path.back() == '/') continue;
        path += c;
    }
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

uint32_t CRPCProg_Mount::ResolveExport(const std::string& mountPath, std::string* folder) const {
    folder->clear();
    const std::string path = NormaliseMountPath(mountPath);
    std::lock_guard<std::mutex> g(exportLock_);
    for (const Export& e : exports_) {
        std::string rest;
        if (path == e.name)
            rest.clear();
        else if (e.name == "/" && !path.empty() && path[0] == '/')
            rest = path.substr(1);
        else if (path.size() > e.name.size() && path.compare(0, e.name.size(), e.name) == 0 &&
                 path[e.name.size()] == '/')
            rest = path.substr(e.name.size() + 1);
        else
            continue;
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
        // A folder reached through links inside the root is handed out by its own path (the
        // NFS program never follows a link); a link that leads out is refused.
        int fd = e.fs->Open(local, O_PATH | O_DIRECTORY);
        if (fd < 0) return fd == -ENOENT ? MNT_NOENT : fd == -ENOTDIR ? MNT_NOTDIR : MNT_ACCES;
        char real[PATH_MAX];
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), real, sizeof real - 1);
        close(fd);
        struct stat st;
        if (n > 0)
            local.assign(real, static_cast<size_t>(n));
        else if (e.fs->Stat(local, &st) != 0 || !S_ISDIR(st.st_mode))
            return MNT_ACCES;  // no /proc: no links
        if (!e.fs->Contains(local)) return MNT_ACCES;
        *folder = local;
        return MNT_OK;
    }
    return MNT_NOENT;
}

std::vector<CRPCProg_Mount::MountRecord> CRPCProg_Mount::Mounts() const {
    std::lock_guard<std::mutex> g(mountLock_);
    return mounts_;
}

void CRPCProg_Mount::Record(const std::string& client, const std::string& path) {
    std::lock_guard<std::mutex> g(mountLock_);
    auto ofClient = [&](const MountRecord& r) { return r.client == client; };
    if (std::find_if(mounts_.begin(), mounts_.end(),
                     [&](const MountRecord& r) { return r.client == client && r.path == path; }) != mounts_.end())
        return;
    // The records only feed DUMP: a client's own oldest record makes room for its new one, and
    // a full list drops its oldest record, so that no client is ever refused for want of room.
    if (std::count_if(mounts_.begin(), mounts_.end(), ofClient) >= kMaxMountsPerClient)
        mounts_.erase(std::find_if(mounts_.begin(), mounts_.end(), ofClient));
    else if (mounts_.size() >= static_cast<size_t>(kMaxMounts))
        mounts_.erase(mounts_.begin());
    mounts_.push_back({client, path});
}

void CRPCProg_Mount::Mnt(I_Stream& in, O_Stream& out, const RpcCallInfo& info) {
    std::string path = in.ReadString(kMaxPathLength);
    std::string folder;
    uint32_t status = ResolveExport(path, &folder);
    if (status == MNT_OK) Record(info.peer, NormaliseMountPath(path));
    out.Write32(status);
    if (status != MNT_OK) {
        LogLine(LOG_NFS, 1, "NFS Warn: mount of \"%s\" by %s refused (status %u)", path.c_str(), info.peer.c_str(),
                status);
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
        case MOUNTPROC_NULL: return PROC_DONE;
        case MOUNTPROC_MNT: Mnt(in, out, info); return PROC_DONE;
        case MOUNTPROC_DUMP:
            for (const MountRecord& r : Mounts()) {
                out.WriteBool(true);
                out.WriteString(r.client);
                out.WriteString(r.path);
            }
            out.WriteBool(false);
            return PROC_DONE;
        case MOUNTPROC_UMNT: {
            std::string path = NormaliseMountPath(in.ReadString(kMaxPathLength));
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
        default: return PROC_UNAVAILABLE;
    }
}
