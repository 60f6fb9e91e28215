// NFS version 2 procedures on the fixture tree, from raw XDR.
#include "tests/_services/nfs/nfs_test_util.h"

namespace {
void PutSattr2(O_Stream& a, uint32_t mode = 0xFFFFFFFF, uint32_t size = 0xFFFFFFFF) {
    a.Write32(mode);
    a.Write32(0xFFFFFFFF);
    a.Write32(0xFFFFFFFF);
    a.Write32(size);
    for (int i = 0; i < 4; ++i) a.Write32(0xFFFFFFFF);
}
}  // namespace

class NfsV2 : public NfsTree {
protected:
    void SetUp() override {
        NfsTree::SetUp();
        nfs.SetVersions(1);
    }
    O_Stream DirOp(const std::string& dir, const std::string& name) {
        O_Stream a;
        PutH2(a, H(dir));
        a.WriteString(name);
        return a;
    }
};

TEST_F(NfsV2, LookupAttributesAndEscapes) {
    struct Case {
        const char* dir;
        std::string name;
        uint32_t status;
    } cases[] = {
        {"", "hello.txt", NFS_OK}, {"", "readme.txt", NFSERR_NOENT}, {"", "..", NFS_OK},
        {"sub", "..", NFS_OK},     {"", "../secret", NFSERR_ACCES},  {"", "escape", NFS_OK},
    };
    for (const Case& c : cases) {
        auto in = Nfs(2, 4, DirOp(c.dir, c.name)).In();
        EXPECT_EQ(in.Read32(), c.status) << c.name;
    }
    {
        // A link on disk is a link (type and mode bits), its text read by READLINK.
        auto link = Nfs(2, 4, DirOp("", "escape")).In();
        ASSERT_EQ(link.Read32(), uint32_t{NFS_OK});
        uint8_t lh[32];
        link.Read(lh, 32);
        EXPECT_EQ(link.Read32(), uint32_t{NF_LNK});
        EXPECT_EQ(link.Read32(), 0120777u);
        O_Stream rl;
        rl.Write(lh, 32);
        auto text = Nfs(2, 5, rl).In();
        ASSERT_EQ(text.Read32(), uint32_t{NFS_OK});
        EXPECT_EQ(text.ReadString(1024), "../secret");
    }
    auto in = Nfs(2, 4, DirOp("", "hello.txt")).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    NfsHandle expect = H("hello.txt");
    uint8_t h[32];
    in.Read(h, 32);
    EXPECT_EQ(memcmp(h, &expect, 32), 0);
    EXPECT_EQ(in.Read32(), uint32_t{NF_REG});
    struct stat st;
    ASSERT_EQ(stat((root + "/hello.txt").c_str(), &st), 0);
    EXPECT_EQ(in.Read32(), 0x8000u | (st.st_mode & 07777));
    in.Read32();
    EXPECT_EQ(in.Read32(), 1000u);
    EXPECT_EQ(in.Read32(), 100u);
    EXPECT_EQ(in.Read32(), 100u);   // size
    EXPECT_EQ(in.Read32(), 8192u);  // blocksize
    in.Read32();
    EXPECT_EQ(in.Read32(), 1u);  // blocks
    // ".." of the root is the root.
    in = Nfs(2, 4, DirOp("", "..")).In();
    in.Read32();
    in.Read(h, 32);
    expect = H("");
    EXPECT_EQ(memcmp(h, &expect, 32), 0);
}

TEST_F(NfsV2, ReadWriteCreate) {
    O_Stream r;
    PutH2(r, H("hello.txt"));
    r.Write32(0);
    r.Write32(8192);
    r.Write32(0);
    auto in = Nfs(2, 6, r).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    in.Skip(sizeof(Nfs2Attr));
    EXPECT_EQ(in.ReadString(9000), std::string(100, 'h'));
    WriteFile(root + "/big.bin", std::string(70000, 'b'));
    O_Stream big;
    PutH2(big, H("big.bin"));
    big.Write32(0);
    big.Write32(0xFFFFFFFF);
    big.Write32(0);
    in = Nfs(2, 6, big).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    in.Skip(sizeof(Nfs2Attr));
    EXPECT_EQ(in.ReadString(1 << 20).size(), 8192u);
    // WRITE with data that the dispatcher reads in place.
    O_Stream w;
    PutH2(w, H("hello.txt"));
    w.Write32(0);
    w.Write32(98);
    w.Write32(0);
    w.WriteString("ABCD");
    in = Nfs(2, 8, w).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    in.Skip(20);
    EXPECT_EQ(in.Read32(), 102u);
    EXPECT_EQ(ReadFile(root + "/hello.txt").substr(96), "hhABCD");
    O_Stream huge;
    PutH2(huge, H("hello.txt"));
    huge.Write32(0);
    huge.Write32(0);
    huge.Write32(0);
    huge.WriteString(std::string(8193, 'x'));
    EXPECT_EQ(Nfs(2, 8, huge).acceptStat, uint32_t{GARBAGE_ARGS});
    // CREATE of an existing file keeps it, or empties it when the size 0 is given.
    O_Stream keep = DirOp("", "hello.txt");
    PutSattr2(keep, 0100644);
    EXPECT_EQ(Nfs(2, 9, keep).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/hello.txt").size(), 102u);
    O_Stream c = DirOp("", "hello.txt");
    PutSattr2(c, 0100644, 0);
    EXPECT_EQ(Nfs(2, 9, c).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/hello.txt"), "");
    // SETATTR applies the size.
    O_Stream s;
    PutH2(s, H("sub/inner.txt"));
    PutSattr2(s, 0xFFFFFFFF, 2);
    EXPECT_EQ(Nfs(2, 2, s).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/sub/inner.txt"), "in");
}

TEST_F(NfsV2, ReadDirByCookieAndStatFs) {
    std::vector<std::string> names;
    uint32_t cookie = 0;
    int calls = 0;
    for (bool eof = false; !eof && calls < 50; ++calls) {
        O_Stream a;
        PutH2(a, H("many"));
        a.Write32(cookie);
        a.Write32(120);
        auto in = Nfs(2, 16, a).In();
        ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
        while (in.ReadBool()) {
            in.Read32();
            names.push_back(in.ReadString(255));
            cookie = in.Read32();
        }
        eof = in.ReadBool();
    }
    EXPECT_EQ(names.size(), 25u);
    EXPECT_GT(calls, 3);
    for (int transport : {RPC_UDP, RPC_TCP}) {
        O_Stream a;
        PutH2(a, H(""));
        auto in = Nfs(2, 17, a, transport).In();
        ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
        EXPECT_EQ(in.Read32(), transport == RPC_UDP ? 1400u : 8192u);
        EXPECT_EQ(in.Read32(), 1448u);
    }
}

TEST_F(NfsV2, ReadOnlyAndLinks) {
    NfsConfig roConfig = nfs;
    roConfig.readOnly = 1;
    CNfsV2Handler ro(roConfig);
    O_Stream out = RunHandler(ro, 2, 10, DirOp("", "hello.txt"));
    EXPECT_EQ(LoadBe32(out.Data()), uint32_t{NFSERR_ROFS});
    EXPECT_TRUE(std::filesystem::exists(root + "/hello.txt"));
    // SYMLINK and READLINK through the attribute word.
    O_Stream s = DirOp("", "ln");
    s.WriteString("hello.txt");
    PutSattr2(s, 0120777);
    uint32_t status = Nfs(2, 13, s).In().Read32();
    if (!nfs.streamInUse) {
        EXPECT_EQ(status, uint32_t{NFSERR_NXIO});
        return;
    }
    ASSERT_EQ(status, uint32_t{NFS_OK});
    O_Stream rl;
    PutH2(rl, H("ln"));
    auto r = Nfs(2, 5, rl).In();
    ASSERT_EQ(r.Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(r.ReadString(1024), "hello.txt");
    O_Stream notLink;
    PutH2(notLink, H("hello.txt"));
    EXPECT_EQ(Nfs(2, 5, notLink).In().Read32(), uint32_t{NFSERR_IO});
    O_Stream link;
    PutH2(link, H("hello.txt"));
    PutH2(link, H(""));
    link.WriteString("hard");
    EXPECT_EQ(Nfs(2, 12, link).acceptStat, uint32_t{PROC_UNAVAIL});
}
