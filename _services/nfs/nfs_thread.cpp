#include <unistd.h>

#include <memory>

#include "_services/nfs/mount.h"
#include "_services/nfs/nfs_prog.h"
#include "_services/nfs/nfs_service.h"
#include "_services/nfs/portmap.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "libs/log/log.h"

namespace {
constexpr int kPortmapPort = 111;
constexpr int kNfsConnections = 30, kMountConnections = 10, kPortmapConnections = 10;

struct NfsService {
    std::unique_ptr<NfsFs> fs;
    CRPCServer nfsServer, mountServer, portmapServer;
    CRPCProg_Portmap portmap;
    CRPCProg_Mount mount;
    CRPCProg_NFS nfs;
};
std::unique_ptr<NfsService> g_service;

// The row holds no socket: the NFS, MOUNT and portmapper programs open ports of their own.
void NfsThread() {
    RunServiceRow(
        TH_NFS, [] { return NfsStart(SettingsSnapshot()) != 0; }, NfsStop);
}
}  // namespace

void RegisterNfsService() { RegisterThreadFunction(TH_NFS, NfsThread); }

int NfsStart(const GlobalSettings& s) {
    NfsStop();
    auto svc = std::make_unique<NfsService>();
    const std::string root = s.NFS_RootDir, exportName = s.NFS_ExportName, address = s.NFS_LocalIP;
    if (!root.empty()) {
        svc->fs = std::make_unique<NfsFs>(root);
        if (!svc->fs->Valid())
            LogLine(LOG_NFS, 0, "NFS Err: root folder \"%s\" cannot be opened: %s", root.c_str(), LastErrorText());
    }
    CRPCProg_NFS& nfs = svc->nfs;
    nfs.uid = s.NFS_UserID;
    nfs.gid = s.NFS_GroupID;
    nfs.streamInUse = root.empty() ? 0 : CPosixFileAttr::ProbePfa(root);
    nfs.readOnly = s.NFS_SecurityLevel == 1 ? 1 : 0;
    nfs.fs = svc->fs.get();
    nfs.SetVersions(s.NFS_Version);
    // Only the root folder is exported: drive-letter exports mean nothing on this system.
    if (svc->fs && svc->fs->Valid() && !exportName.empty()) svc->mount.AddExport(svc->fs.get(), exportName);

    if (s.NFS_Transport & 0x2) {
        svc->nfsServer.Attach(&nfs, address, s.NFS_NFSdPort, CRPCServer::ATTACH_UDP, 0);
        svc->mountServer.Attach(&svc->mount, address, s.NFS_MountdPort, CRPCServer::ATTACH_UDP, 0);
    }
    if (s.NFS_Transport & 0x1) {
        svc->nfsServer.Attach(&nfs, address, s.NFS_NFSdPort, CRPCServer::ATTACH_TCP, kNfsConnections);
        svc->mountServer.Attach(&svc->mount, address, s.NFS_MountdPort, CRPCServer::ATTACH_TCP, kMountConnections);
    }
    svc->portmapServer.Attach(&svc->portmap, address, kPortmapPort, CRPCServer::ATTACH_UDP | CRPCServer::ATTACH_TCP,
                              kPortmapConnections);
    svc->portmap.RegisterServer(svc->portmapServer);
    svc->portmap.RegisterServer(svc->nfsServer);
    svc->portmap.RegisterServer(svc->mountServer);
    if (root.empty())
        LogLine(LOG_NFS, 1, "NFS Warn: NFS_RootDir is not set: nothing is exported");
    else
        LogLine(LOG_NFS, 1, "NFS Inf: serving \"%s\" as \"%s\" (%s, attribute word %s)", root.c_str(),
                exportName.c_str(), nfs.readOnly ? "read-only" : "read-write", nfs.streamInUse ? "on" : "off");
    g_service = std::move(svc);
    return 1;
}

void NfsStop() {
    if (!g_service) return;
    // Ports first, so that no worker calls a program that is gone.
    g_service->portmapServer.Close();
    g_service->mountServer.Close();
    g_service->nfsServer.Close();
    g_service.reset();
}
