// XDR streams, the RPC dispatcher, PORTMAP and MOUNT on raw calls.
#include "tests/_services/nfs/nfs_test_util.h"

TEST(NfsXdr, WritesBigEndianAndPadsOpaques) {
    O_Stream o;
    o.Write32(258);
    EXPECT_EQ(o.Bytes(), (std::vector<uint8_t>{0, 0, 1, 2}));
    o.Reset();
    o.WriteOpaque("abcde", 5);
    EXPECT_EQ(o.Bytes(), (std::vector<uint8_t>{0, 0, 0, 5, 'a', 'b', 'c', 'd', 'e', 0, 0, 0}));
    o.Reset();
    o.Write32(1);
    o.Write32(2);
    o.Seek(-4, 1);
    o.Write32(3);
    EXPECT_EQ(o.Bytes(), (std::vector<uint8_t>{0, 0, 0, 1, 0, 0, 0, 3}));
    O_Stream small(6);
    small.Write32(1);
    small.Write32(2);
    EXPECT_TRUE(small.Overflowed());
    EXPECT_EQ(small.End(), 6u);
}

TEST(NfsXdr, ShortAndOverlongReadsThrow) {
    const uint8_t data[] = {0, 0, 0, 9, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    I_Stream in(data, sizeof data);
    EXPECT_THROW(in.ReadString(255), XdrError);  // 9 bytes claimed, 8 present
    I_Stream in2(data, sizeof data);
    EXPECT_THROW(in2.ReadString(8), XdrError);  // above the limit
    I_Stream in3(data, 3);
    EXPECT_THROW(in3.Read32(), XdrError);
    const uint8_t big[] = {1, 2, 3, 4, 5, 6, 7, 8};
    I_Stream in4(big, sizeof big);
    EXPECT_EQ(in4.Read64(), 0x0102030405060708ull);
}

class NfsRpc : public NfsTree {};

TEST_F(NfsRpc, DispatcherAnswersByTable) {
    O_Stream none;
    struct Case {
        uint32_t prog, vers, proc;
        uint32_t acceptStat;
    } cases[] = {
        {100015, 1, 0, PROG_UNAVAIL},        {100014, 1, 0, PROG_UNAVAIL},  // a free slot
        {kNfsProgram, 3, 22, PROC_UNAVAIL},  {kNfsProgram, 2, 18, PROC_UNAVAIL},
        {kNfsProgram, 3, 0, RPC_SUCCESS},    {kNfsProgram, 3, 1, GARBAGE_ARGS},  // GETATTR without its handle
        {kMountProgram, 3, 8, PROC_UNAVAIL},
    };
    for (const Case& c : cases) {
        RpcReply r = Dispatch(server, BuildCall(c.prog, c.vers, c.proc, none));
        ASSERT_TRUE(r.replied);
        EXPECT_EQ(r.acceptStat, c.acceptStat) << c.prog << " v" << c.vers << " p" << c.proc;
    }
}

TEST_F(NfsRpc, VersionMismatchNamesTheRange) {
    O_Stream none;
    struct Case {
        uint32_t prog, vers, low, high;
    } cases[] = {
        {kNfsProgram, 4, 2, 3},   {kNfsProgram, 1, 2, 3},     {kMountProgram, 4, 1, 3},
        {kMountProgram, 0, 1, 3}, {kPortmapProgram, 3, 2, 2}, {kPortmapProgram, 4, 2, 2},
    };
    for (const Case& c : cases) {
        RpcReply r = Dispatch(server, BuildCall(c.prog, c.vers, 0, none));
        ASSERT_EQ(r.acceptStat, uint32_t{PROG_MISMATCH}) << c.prog << " v" << c.vers;
        auto in = r.In();
        EXPECT_EQ(in.Read32(), c.low);
        EXPECT_EQ(in.Read32(), c.high);
    }
    nfs.SetVersions(2);  // version 3 only
    RpcReply r = Dispatch(server, BuildCall(kNfsProgram, 2, 0, none));
    ASSERT_EQ(r.acceptStat, uint32_t{PROG_MISMATCH});
    auto in = r.In();
    EXPECT_EQ(in.Read32(), 3u);
    EXPECT_EQ(in.Read32(), 3u);
}

TEST_F(NfsRpc, MalformedHeadersAreRefused) {
    O_Stream none;
    // A reply, or anything that is not a call, is dropped: no ping-pong between servers.
    EXPECT_FALSE(Dispatch(server, BuildCall(kNfsProgram, 3, 0, none, RPC_REPLY)).replied);
    EXPECT_FALSE(Dispatch(server, std::vector<uint8_t>{0, 0, 0, 1}).replied);
    // A credential above 400 bytes, or one that runs past the call.
    RpcReply r = Dispatch(server, BuildCall(kNfsProgram, 3, 0, none, RPC_CALL, 404));
    EXPECT_EQ(r.acceptStat, uint32_t{GARBAGE_ARGS});
    std::vector<uint8_t> call = BuildCall(kNfsProgram, 3, 0, none);
    call.resize(30);
    EXPECT_EQ(Dispatch(server, call).acceptStat, uint32_t{GARBAGE_ARGS});
    // Another RPC version is denied with RPC_MISMATCH 2..2.
    call = BuildCall(kNfsProgram, 3, 0, none);
    StoreBe32(call.data() + 8, 3);
    r = Dispatch(server, call);
    EXPECT_EQ(r.replyStat, uint32_t{MSG_DENIED});
    EXPECT_EQ(r.body, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 2}));
}

TEST_F(NfsRpc, PortmapListsAndAnswersPorts) {
    CRPCServer fake;
    CRPCProg_NFS prog;
    prog.SetVersions(3);
    portmap.RegisterServer(server);  // no ports open: nothing listed
    EXPECT_TRUE(portmap.Mappings().empty());
    // Real ports on loopback, chosen by the system.
    ASSERT_TRUE(fake.Attach(&prog, "127.0.0.1", 0, CRPCServer::ATTACH_TCP | CRPCServer::ATTACH_UDP, 2));
    portmap.RegisterServer(fake);
    portmap.RegisterServer(fake);  // the first port wins, nothing doubles
    auto list = portmap.Mappings();
    ASSERT_EQ(list.size(), 4u);
    const uint32_t tcpPort = static_cast<uint32_t>(fake.TcpPortAt(3));
    O_Stream q;
    q.Write32(kNfsProgram);
    q.Write32(3);
    q.Write32(kProtoTcp);
    q.Write32(0);
    RpcReply r = Dispatch(server, BuildCall(kPortmapProgram, 2, PMAP_GETPORT, q));
    EXPECT_EQ(r.In().Read32(), tcpPort);
    O_Stream q4;
    q4.Write32(kNfsProgram);
    q4.Write32(4);
    q4.Write32(kProtoTcp);
    q4.Write32(0);
    EXPECT_EQ(Dispatch(server, BuildCall(kPortmapProgram, 2, PMAP_GETPORT, q4)).In().Read32(), 0u);
    // SET changes nothing.
    r = Dispatch(server, BuildCall(kPortmapProgram, 2, PMAP_SET, q4));
    EXPECT_EQ(r.In().Read32(), 0u);
    r = Dispatch(server, BuildCall(kPortmapProgram, 2, PMAP_DUMP, O_Stream()));
    auto in = r.In();
    int entries = 0;
    while (in.ReadBool()) {
        PortMapping m{in.Read32(), in.Read32(), in.Read32(), in.Read32()};
        EXPECT_EQ(m.program, kNfsProgram);
        ++entries;
    }
    EXPECT_EQ(entries, 4);
    EXPECT_EQ(Dispatch(server, BuildCall(kPortmapProgram, 2, PMAP_CALLIT, O_Stream())).acceptStat,
              uint32_t{GARBAGE_ARGS});
    fake.Close();
}

namespace {
O_Stream PathArg(const std::string& path) {
    O_Stream a;
    a.WriteString(path);
    return a;
}
}  // namespace

TEST_F(NfsRpc, MountResolvesInsideTheExportOnly) {
    std::string folder;
    ASSERT_EQ(symlink("sub", (root + "/sublink").c_str()), 0);
    struct Case {
        const char* path;
        uint32_t status;
        const char* rel;
    } cases[] = {
        {"/", MNT_OK, ""},
        {"/sub", MNT_OK, "sub"},
        {"\\sub\\", MNT_OK, "sub"},
        {"//sub//", MNT_OK, "sub"},
        {"/../../etc", MNT_ACCES, nullptr},
        {"/sub/..", MNT_ACCES, nullptr},
        {"/./sub", MNT_ACCES, nullptr},
        {"/escape", MNT_ACCES, nullptr},  // a link on disk that leads out
        {"/sublink/", MNT_OK, "sub"},     // one that stays inside: the folder it names
        {"/hello.txt", MNT_NOTDIR, nullptr},
        {"/nothing", MNT_NOENT, nullptr},
        {"sub", MNT_NOENT, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mount.ResolveExport(c.path, &folder), c.status) << c.path;
        if (c.rel)
            EXPECT_EQ(folder, *c.rel ? root + "/" + c.rel : root) << c.path;
        else
            EXPECT_TRUE(folder.empty()) << c.path;
    }
    // Prefixes match whole components only.
    CRPCProg_Mount named;
    named.AddExport(fsys.get(), "/exp1");
    EXPECT_EQ(named.ResolveExport("/exp1/sub", &folder), uint32_t{MNT_OK});
    EXPECT_EQ(folder, root + "/sub");
    EXPECT_EQ(named.ResolveExport("/exp10", &folder), uint32_t{MNT_NOENT});
    EXPECT_EQ(named.ResolveExport("/exp1", &folder), uint32_t{MNT_OK});
}

TEST_F(NfsRpc, MountRepliesAndSlots) {
    RpcReply r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/sub")));
    auto in = r.In();
    EXPECT_EQ(in.Read32(), uint32_t{MNT_OK});
    EXPECT_EQ(in.Read32(), 64u);
    NfsHandle h;
    in.Read(&h, sizeof h);
    EXPECT_EQ(in.Read32(), 0u);  // no flavours
    EXPECT_EQ(in.Remaining(), 0u);
    NfsHandle expect = H("sub");
    EXPECT_EQ(memcmp(&h, &expect, sizeof h), 0);
    for (uint32_t v : {1u, 2u}) {
        r = Dispatch(server, BuildCall(kMountProgram, v, MOUNTPROC_MNT, PathArg("/sub")));
        EXPECT_EQ(r.body.size(), 4u + 32u);
        EXPECT_EQ(memcmp(r.body.data() + 4, &expect, 32), 0);
    }
    r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/../etc")));
    EXPECT_EQ(r.body, (std::vector<uint8_t>{0, 0, 0, MNT_ACCES}));
    // The same client and path keep one slot: 150 mounts, one record.
    for (int i = 0; i < 150; ++i) Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/")));
    EXPECT_EQ(mount.Mounts().size(), 2u);  // "/sub" and "/"
    r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_DUMP, O_Stream()));
    in = r.In();
    int listed = 0;
    while (in.ReadBool()) {
        EXPECT_EQ(in.ReadString(255), "10.0.0.2");
        in.ReadString(1024);
        ++listed;
    }
    EXPECT_EQ(listed, 2);
    Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_UMNT, PathArg("/sub")));
    EXPECT_EQ(mount.Mounts().size(), 1u);
    Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_UMNTALL, O_Stream()));
    EXPECT_TRUE(mount.Mounts().empty());
    // Re-spellings of one path are one record: an address cannot fill the list with them.
    for (int i = 0; i < 150; ++i) {
        std::string spelt = "/" + std::string(i % 7 + 1, '/') + "sub" + std::string(i % 5, i % 2 ? '/' : '\\');
        EXPECT_EQ(Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg(spelt))).In().Read32(),
                  uint32_t{MNT_OK})
            << spelt;
    }
    ASSERT_EQ(mount.Mounts().size(), 1u);
    EXPECT_EQ(mount.Mounts()[0].path, "/sub");
    Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_UMNT, PathArg("//sub/")));
    EXPECT_TRUE(mount.Mounts().empty());
    // One address mounting many folders keeps a bounded share; many addresses never lock a
    // new one out.
    for (int i = 0; i < 23; ++i) {
        std::filesystem::create_directory(root + "/many/d" + std::to_string(i));
        r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/many/d" + std::to_string(i))));
        EXPECT_EQ(r.In().Read32(), uint32_t{MNT_OK});
    }
    EXPECT_EQ(mount.Mounts().size(), size_t{kMaxMountsPerClient});
    for (uint32_t peer = 1; peer <= 200; ++peer)
        Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/sub")), RPC_UDP, 0x0B000000 + peer);
    EXPECT_EQ(mount.Mounts().size(), size_t{kMaxMounts});
    r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg("/many")), RPC_TCP, 0x0C000001);
    EXPECT_EQ(r.In().Read32(), uint32_t{MNT_OK});
    EXPECT_EQ(mount.Mounts().back().client, "12.0.0.1");
    EXPECT_EQ(mount.Mounts().size(), size_t{kMaxMounts});
    r = Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_EXPORT, O_Stream()));
    in = r.In();
    EXPECT_TRUE(in.ReadBool());
    EXPECT_EQ(in.ReadString(1024), "/");
    EXPECT_FALSE(in.ReadBool());  // groups
    EXPECT_FALSE(in.ReadBool());
    // A mount path above 1024 bytes is garbage.
    EXPECT_EQ(Dispatch(server, BuildCall(kMountProgram, 3, MOUNTPROC_MNT, PathArg(std::string(1025, 'a')))).acceptStat,
              uint32_t{GARBAGE_ARGS});
}

// Valid calls of every program, cut short and with random bytes changed: every call gets a
// well-formed answer (or none), nothing crashes, and nothing outside the root changes.
TEST_F(NfsRpc, DamagedCallsAreRefusedCleanly) {
    nfs.SetVersions(3);
    std::vector<std::vector<uint8_t>> calls;
    O_Stream fh3, fh2, dirop3, mnt, map;
    PutH3(fh3, H("hello.txt"));
    PutH2(fh2, H("sub"));
    PutH3(dirop3, H(""));
    dirop3.WriteString("sub");
    mnt.WriteString("/sub");
    map.Write32(kNfsProgram);
    map.Write32(3);
    map.Write32(kProtoTcp);
    map.Write32(0);
    for (uint32_t proc = 0; proc <= 21; ++proc) {
        O_Stream a;
        a.Write(
            (proc == 3 || proc == 8 || proc == 9 || proc == 12 || proc == 13 || proc == 14) ? dirop3.Data()
                                                                                            : fh3.Data(),
            (proc == 3 || proc == 8 || proc == 9 || proc == 12 || proc == 13 || proc == 14) ? dirop3.End() : fh3.End());
        for (int i = 0; i < 12; ++i) a.Write32(i == 0 ? 0 : 1);
        calls.push_back(BuildCall(kNfsProgram, 3, proc, a));
    }
    for (uint32_t proc = 0; proc <= 17; ++proc) {
        O_Stream a;
        a.Write(fh2.Data(), fh2.End());
        a.WriteString("x");
        for (int i = 0; i < 10; ++i) a.Write32(0xFFFFFFFF);
        calls.push_back(BuildCall(kNfsProgram, 2, proc, a));
    }
    for (uint32_t proc = 0; proc <= 7; ++proc) calls.push_back(BuildCall(kMountProgram, 3, proc, mnt));
    for (uint32_t proc = 0; proc <= 5; ++proc) calls.push_back(BuildCall(kPortmapProgram, 2, proc, map));
    uint32_t seed = 12345;
    auto next = [&] { return seed = seed * 1103515245u + 12345u; };
    int answered = 0;
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> c = calls[next() % calls.size()];
        if (next() % 3 == 0) c.resize(next() % (c.size() + 1));
        int changes = static_cast<int>(next() % 4);
        for (int i = 0; i < changes && c.size() > 8; ++i) c[8 + next() % (c.size() - 8)] = static_cast<uint8_t>(next());
        for (int transport : {RPC_TCP, RPC_UDP}) {
            RpcReply r = Dispatch(server, c, transport);
            if (r.replied) ++answered;
        }
    }
    EXPECT_GT(answered, 3000);
    EXPECT_EQ(ReadFile(base + "/secret/key.txt"), "secret");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base), std::filesystem::directory_iterator{}), 2);
}
