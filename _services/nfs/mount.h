// MOUNT (program 100005, versions 1 to 3): maps a client's mount path to a folder beneath an
// export and hands out the folder's file handle; keeps the list of mounts for DUMP.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "_services/nfs/nfs_fs.h"
#include "_services/nfs/rpc.h"

// A mount path as matched and recorded: '\\' read as '/', runs of '/' as one, no '/' at the end
// (except for "/" itself).
std::string NormaliseMountPath(const std::string& mountPath);

class CRPCProg_Mount : public CRPCProg {
public:
    CRPCProg_Mount();
    // Exports the root of fs (which outlives the program) under the name (such as "/").
    void AddExport(const NfsFs* fs, const std::string& name);
    // MNT_OK with the folder's local path (links inside the root resolved), or a MOUNT status
    // (MNT_NOENT, MNT_ACCES for ".." or "." components or a way out, MNT_NOTDIR, MNT_NAMETOOLONG).
    uint32_t ResolveExport(const std::string& mountPath, std::string* folder) const;
    int Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) override;

    struct MountRecord {
        std::string client, path;
    };
    std::vector<MountRecord> Mounts() const;

private:
    struct Export {
        const NfsFs* fs;
        std::string name;
    };
    void Mnt(I_Stream& in, O_Stream& out, const RpcCallInfo& info);
    // Keeps one record per client and normalised path, at most kMaxMountsPerClient per client.
    void Record(const std::string& client, const std::string& path);
    mutable std::mutex exportLock_, mountLock_;
    std::vector<Export> exports_;
    std::vector<MountRecord> mounts_;
};
