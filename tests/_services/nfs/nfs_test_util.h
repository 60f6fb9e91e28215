// Calls built from raw XDR and handed to a CRPCServer without sockets, on a fixture tree.
#pragma once
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "_services/nfs/mount.h"
#include "_services/nfs/nfs_prog.h"
#include "_services/nfs/portmap.h"
#include "_services/nfs/rpc.h"
#include "tests/support/temp_folder.h"

// A reader that keeps the reply it reads alive.
struct ReplyReader : I_Stream {
    explicit ReplyReader(std::shared_ptr<const std::vector<uint8_t>> b)
        : I_Stream(b->data(), b->size()), keep(std::move(b)) {}
    std::shared_ptr<const std::vector<uint8_t>> keep;
};

struct RpcReply {
    bool replied = false;
    uint32_t replyStat = 0;
    uint32_t acceptStat = 0;
    std::vector<uint8_t> body;
    ReplyReader In() const { return ReplyReader(std::make_shared<const std::vector<uint8_t>>(body)); }
};

// An RPC call: header with AUTH_UNIX credential, then the arguments.
inline std::vector<uint8_t> BuildCall(uint32_t prog, uint32_t vers, uint32_t proc, const O_Stream& args,
                                      uint32_t msgType = RPC_CALL, uint32_t credLength = 20) {
    O_Stream c;
    c.Write32(0x1234);
    c.Write32(msgType);
    c.Write32(2);
    c.Write32(prog);
    c.Write32(vers);
    c.Write32(proc);
    c.Write32(1);  // AUTH_UNIX
    c.Write32(credLength);
    std::vector<uint8_t> cred(credLength, 0);
    c.Write(cred.data(), cred.size());
    c.Write32(0);
    c.Write32(0);
    c.Write(args.Data(), args.End());
    return c.Bytes();
}

inline RpcReply Dispatch(CRPCServer& server, const std::vector<uint8_t>& call, int transport = RPC_TCP,
                         uint32_t peerAddress = 0x0A000002) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(peerAddress);
    O_Stream out;
    RpcReply r;
    r.replied = server.ProcessCall(call.data(), call.size(), peer, transport, out);
    if (!r.replied) return r;
    I_Stream in(out.Data(), out.End());
    EXPECT_EQ(in.Read32(), 0x1234u);
    EXPECT_EQ(in.Read32(), uint32_t{RPC_REPLY});
    r.replyStat = in.Read32();
    if (r.replyStat == MSG_ACCEPTED) {
        in.Read32();
        in.Read32();
        r.acceptStat = in.Read32();
    }
    r.body.assign(in.Current(), in.Current() + in.Remaining());
    return r;
}

// Runs one procedure of a handler made for the test; *left gets the argument bytes not read.
template <class Handler>
O_Stream RunHandler(const Handler& h, uint32_t vers, uint32_t proc, const O_Stream& args, size_t* left = nullptr) {
    I_Stream in(args.Data(), args.End());
    O_Stream out;
    RpcCallInfo info;
    info.version = vers;
    info.procedure = proc;
    EXPECT_EQ(h.Dispatch(in, out, info), int{PROC_DONE});
    if (left) *left = in.Remaining();
    return out;
}

using nimbo::test::ReadFile;
using nimbo::test::WriteFile;

// A tree beside a secret folder that must stay out of reach:
//   root/hello.txt (100 bytes), root/README.TXT, root/sub/inner.txt, root/many/f00..f22,
//   root/escape -> ../secret (a link out), root/inlink -> hello.txt; secret/key.txt.
class NfsTree : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        root = base + "/root";
        fs::create_directories(root + "/sub");
        fs::create_directories(root + "/many");
        fs::create_directories(base + "/secret");
        WriteFile(root + "/hello.txt", std::string(100, 'h'));
        WriteFile(root + "/README.TXT", "readme");
        WriteFile(root + "/sub/inner.txt", "inner");
        for (int i = 0; i < 23; ++i) WriteFile(root + "/many/f" + std::to_string(100 + i).substr(1), "x");
        WriteFile(base + "/secret/key.txt", "secret");
        fs::create_directory_symlink("../secret", root + "/escape");
        fs::create_symlink("hello.txt", root + "/inlink");
        fsys = std::make_unique<NfsFs>(root);
        root = fsys->Root();
        nfs.fs = fsys.get();
        nfs.uid = 1000;
        nfs.gid = 100;
        nfs.streamInUse = CPosixFileAttr::ProbePfa(root);
        nfs.readOnly = 0;
        nfs.SetVersions(3);
        mount.AddExport(fsys.get(), "/");
        server.Attach(&nfs, "", 0, 0, 0);
        server.Attach(&mount, "", 0, 0, 0);
        server.Attach(&portmap, "", 0, 0, 0);
    }

    RpcReply Nfs(uint32_t vers, uint32_t proc, const O_Stream& args, int transport = RPC_TCP) {
        return Dispatch(server, BuildCall(kNfsProgram, vers, proc, args), transport);
    }
    static void PutH3(O_Stream& a, const NfsHandle& h) { a.WriteOpaque(&h, sizeof h); }
    static void PutH2(O_Stream& a, const NfsHandle& h) { a.Write(&h, kNfs2HandleSize); }
    NfsHandle H(const std::string& rel) { return PathTable().HandleOf(rel.empty() ? root : root + "/" + rel); }
    // Version 3 LOOKUP: status, and the handle on success.
    uint32_t Lookup3(const NfsHandle& dir, const std::string& name, NfsHandle* out = nullptr) {
        O_Stream a;
        PutH3(a, dir);
        a.WriteString(name);
        RpcReply r = Nfs(3, 3, a);
        auto in = r.In();
        uint32_t status = in.Read32();
        if (status == NFS_OK && out) {
            EXPECT_EQ(in.Read32(), kNfs3HandleSize);
            in.Read(out, sizeof *out);
        }
        return status;
    }

    nimbo::test::TempFolder folder{"nimbo-nfs-"};
    std::string base = folder.path(), root;
    std::unique_ptr<NfsFs> fsys;
    CRPCProg_NFS nfs;
    CRPCProg_Mount mount;
    CRPCProg_Portmap portmap;
    CRPCServer server;
};
