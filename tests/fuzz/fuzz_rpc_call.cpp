// ONC RPC calls to PORTMAP, MOUNT and NFS versions 2 and 3 over a small tree of this process.
#include <netinet/in.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "_services/nfs/mount.h"
#include "_services/nfs/nfs_prog.h"
#include "_services/nfs/portmap.h"
#include "_services/nfs/rpc.h"
#include "libs/platform/posix_attr.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
struct Server {
    std::unique_ptr<NfsFs> fsys;
    CRPCProg_NFS nfs;
    CRPCProg_Mount mount;
    CRPCProg_Portmap portmap;
    CRPCServer server;
    Server() {
        std::string root = FuzzFolder() + "/export";
        mkdir(root.c_str(), 0755);
        mkdir((root + "/sub").c_str(), 0755);
        std::ofstream(root + "/hello.txt") << "hello";
        fsys = std::make_unique<NfsFs>(root);
        nfs.fs = fsys.get();
        nfs.streamInUse = CPosixFileAttr::ProbePfa(fsys->Root());
        nfs.SetVersions(3);
        mount.AddExport(fsys.get(), "/");
        server.Attach(&nfs, "", 0, 0, 0);
        server.Attach(&mount, "", 0, 0, 0);
        server.Attach(&portmap, "", 0, 0, 0);
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Server s;
    if (size < 1) return 0;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(0x0A000002);
    O_Stream out;
    s.server.ProcessCall(data + 1, size - 1, peer, (data[0] & 1) ? RPC_UDP : RPC_TCP, out);
    return 0;
}
