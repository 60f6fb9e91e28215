// NFS version 3 procedures on the fixture tree, from raw XDR.
#include <fcntl.h>
#include <sys/xattr.h>

#include <set>

#include "tests/_services/nfs/nfs_test_util.h"

namespace {
void SkipPostOp(I_Stream& in) {
    if (in.ReadBool()) in.Skip(sizeof(Nfs3Attr));
}
Nfs3Attr ReadAttr(I_Stream& in) {
    Nfs3Attr a{};
    a.type = in.Read32();
    a.mode = in.Read32();
    a.nlink = in.Read32();
    a.uid = in.Read32();
    a.gid = in.Read32();
    a.size = in.Read64();
    a.used = in.Read64();
    in.Skip(8);
    a.fsid = in.Read64();
    a.fileid = in.Read64();
    a.atimeSec = in.Read32();
    a.atimeNsec = in.Read32();
    a.mtimeSec = in.Read32();
    a.mtimeNsec = in.Read32();
    in.Skip(8);
    return a;
}
// A sattr3 with only the given fields set.
void PutSattr(O_Stream& a, int mode = -1, int64_t size = -1, int64_t mtime = -1) {
    a.WriteBool(mode >= 0);
    if (mode >= 0) a.Write32(static_cast<uint32_t>(mode));
    a.WriteBool(false);
    a.WriteBool(false);
    a.WriteBool(size >= 0);
    if (size >= 0) a.Write64(static_cast<uint64_t>(size));
    a.Write32(DONT_CHANGE);
    if (mtime >= 0) {
        a.Write32(SET_TO_CLIENT_TIME);
        a.Write32(static_cast<uint32_t>(mtime));
        a.Write32(0);
    } else {
        a.Write32(DONT_CHANGE);
    }
}
}  // namespace

class NfsV3 : public NfsTree {
protected:
    uint32_t GetAttr(const NfsHandle& h, Nfs3Attr* a = nullptr) {
        O_Stream args;
        PutH3(args, h);
        RpcReply r = Nfs(3, 1, args);
        auto in = r.In();
        uint32_t status = in.Read32();
        if (status == NFS_OK && a) *a = ReadAttr(in);
        return status;
    }
    uint32_t Create(const NfsHandle& dir, const std::string& name, uint32_t how, NfsHandle* out = nullptr,
                    int64_t size = -1) {
        O_Stream a;
        PutH3(a, dir);
        a.WriteString(name);
        a.Write32(how);
        if (how == CREATE_EXCLUSIVE)
            a.Write64(0x1122334455667788ull);
        else
            PutSattr(a, -1, size);
        RpcReply r = Nfs(3, 8, a);
        auto in = r.In();
        uint32_t status = in.Read32();
        if (status == NFS_OK && out) {
            EXPECT_TRUE(in.ReadBool());
            EXPECT_EQ(in.Read32(), 64u);
            in.Read(out, sizeof *out);
        }
        return status;
    }
    uint32_t Write(const NfsHandle& h, uint64_t offset, const std::string& data, uint32_t stable,
                   uint32_t* committed = nullptr) {
        O_Stream a;
        PutH3(a, h);
        a.Write64(offset);
        a.Write32(static_cast<uint32_t>(data.size()));
        a.Write32(stable);
        a.WriteString(data);
        RpcReply r = Nfs(3, 7, a);
        auto in = r.In();
        uint32_t status = in.Read32();
        SkipPostOp(in);
        SkipPostOp(in);
        if (status == NFS_OK) {
            EXPECT_EQ(in.Read32(), data.size());
            if (committed) *committed = in.Read32();
        }
        return status;
    }
    // READ: status, data and eof.
    uint32_t Read(const NfsHandle& h, uint64_t offset, uint32_t count, std::string* data, bool* eof) {
        O_Stream a;
        PutH3(a, h);
        a.Write64(offset);
        a.Write32(count);
        RpcReply r = Nfs(3, 6, a);
        auto in = r.In();
        uint32_t status = in.Read32();
        SkipPostOp(in);
        if (status != NFS_OK) return status;
        uint32_t n = in.Read32();
        *eof = in.ReadBool();
        *data = in.ReadString(1 << 20);
        EXPECT_EQ(n, data->size());
        return status;
    }
    // Every name of a folder through READDIR(PLUS), count bytes a call; *calls counts them.
    std::vector<std::string> List(const NfsHandle& dir, bool plus, uint32_t count, int* calls) {
        std::vector<std::string> names;
        uint64_t cookie = 0;
        *calls = 0;
        for (bool eof = false; !eof && *calls < 100; ++*calls) {
            O_Stream a;
            PutH3(a, dir);
            a.Write64(cookie);
            a.Write64(0);
            a.Write32(count);
            if (plus) a.Write32(count);
            RpcReply r = Nfs(3, plus ? 17 : 16, a);
            EXPECT_LE(r.body.size(), count);
            auto in = r.In();
            EXPECT_EQ(in.Read32(), uint32_t{NFS_OK});
            SkipPostOp(in);
            in.Skip(8);
            while (in.ReadBool()) {
                in.Read64();
                names.push_back(in.ReadString(255));
                cookie = in.Read64();
                if (plus) {
                    SkipPostOp(in);
                    if (in.ReadBool()) in.ReadOpaque(64);
                }
            }
            eof = in.ReadBool();
        }
        return names;
    }
};

TEST_F(NfsV3, HandlesAreCheckedAndStaleAcrossRuns) {
    NfsHandle good = H("hello.txt");
    EXPECT_EQ(GetAttr(good), uint32_t{NFS_OK});
    NfsHandle otherRun = good;
    otherRun.verifier[0] ^= 0xFF;
    EXPECT_EQ(GetAttr(otherRun), uint32_t{NFSERR_STALE});
    NfsHandle beyond = good;
    beyond.fileId = 0x7FFFFFF0;
    EXPECT_EQ(GetAttr(beyond), uint32_t{NFSERR_STALE});
    NfsHandle dirty = good;
    dirty.zero[10] = 1;
    EXPECT_EQ(GetAttr(dirty), uint32_t{NFSERR_STALE});
    O_Stream shortHandle;
    shortHandle.WriteOpaque(&good, 32);
    EXPECT_EQ(Nfs(3, 1, shortHandle).In().Read32(), uint32_t{NFS3ERR_BADHANDLE});
    uint8_t longHandle[65] = {};
    O_Stream tooLong;
    tooLong.WriteOpaque(longHandle, sizeof longHandle);
    EXPECT_EQ(Nfs(3, 1, tooLong).acceptStat, uint32_t{GARBAGE_ARGS});
    // A handle whose file is gone.
    unlink((root + "/README.TXT").c_str());
    EXPECT_EQ(GetAttr(H("README.TXT")), uint32_t{NFSERR_STALE});
}

TEST_F(NfsV3, LookupStaysBeneathTheRoot) {
    const NfsHandle top = H(""), sub = H("sub");
    struct Case {
        const NfsHandle* dir;
        std::string name;
        uint32_t status;
        const char* rel;  // the folder that answers, when any
    } cases[] = {
        {&top, "..", NFS_OK, ""},
        {&top, ".", NFS_OK, ""},
        {&sub, "..", NFS_OK, ""},
        {&sub, ".", NFS_OK, "sub"},
        {&top, "sub", NFS_OK, "sub"},
        {&top, "../secret", NFSERR_ACCES, nullptr},
        {&sub, "../../secret", NFSERR_ACCES, nullptr},
        {&top, "sub/inner.txt", NFSERR_ACCES, nullptr},
        {&top, std::string("sub\0x", 5), NFSERR_ACCES, nullptr},
        {&top, "", NFSERR_NOENT, nullptr},
        {&top, "escape", NFS_OK, "escape"},  // the link itself, never what it leads to
        {&top, "readme.txt", NFSERR_NOENT, nullptr},
        {&top, "README.TXT", NFS_OK, nullptr},
        {&top, "inlink", NFS_OK, nullptr},
    };
    for (const Case& c : cases) {
        NfsHandle h{};
        EXPECT_EQ(Lookup3(*c.dir, c.name, &h), c.status) << c.name;
        if (c.rel) {
            NfsHandle expect = H(c.rel);
            EXPECT_EQ(memcmp(&h, &expect, sizeof h), 0) << c.name;
        }
    }
    // Nothing beyond the link is reachable through its handle.
    NfsHandle escape = H("escape"), beyond;
    EXPECT_EQ(Lookup3(escape, "key.txt", &beyond), uint32_t{NFSERR_NOTDIR});
    std::string data;
    bool eof;
    EXPECT_NE(Read(escape, 0, 100, &data, &eof), uint32_t{NFS_OK});
    EXPECT_EQ(data.find("secret"), std::string::npos);
    // A name above 255 bytes is garbage.
    O_Stream a;
    PutH3(a, top);
    a.WriteString(std::string(256, 'n'));
    EXPECT_EQ(Nfs(3, 3, a).acceptStat, uint32_t{GARBAGE_ARGS});
}

TEST_F(NfsV3, AttributesFromStatusAndWord) {
    Nfs3Attr a;
    ASSERT_EQ(GetAttr(H("hello.txt"), &a), uint32_t{NFS_OK});
    EXPECT_EQ(a.type, uint32_t{NF_REG});
    EXPECT_EQ(a.size, 100u);
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 100u);
    EXPECT_EQ(a.fsid, 4u);
    chmod((root + "/hello.txt").c_str(), 0444);
    ASSERT_EQ(GetAttr(H("hello.txt"), &a), uint32_t{NFS_OK});
    EXPECT_EQ(a.mode, 0444u);  // no word: the file's own bits
    if (nfs.streamInUse) {
        ASSERT_TRUE(CPosixFileAttr::WritePfaMode(root + "/hello.txt", 0750));
        ASSERT_EQ(GetAttr(H("hello.txt"), &a), uint32_t{NFS_OK});
        EXPECT_EQ(a.mode, 0750u);
    }
    ASSERT_EQ(GetAttr(H("sub"), &a), uint32_t{NFS_OK});
    EXPECT_EQ(a.type, uint32_t{NF_DIR});
    int fd = open((root + "/huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(ftruncate(fd, 5368709120LL), 0);
    close(fd);
    ASSERT_EQ(GetAttr(H("huge.bin"), &a), uint32_t{NFS_OK});
    EXPECT_EQ(a.size, 5368709120ull);
}

// Entries without a stored word are served with their own modes, and links on disk as links
// whose text READLINK gives; a stored word still wins. No file id is 0 (the C library drops
// directory entries with inode 0, so an export root with id 0 lost "." from listings).
TEST_F(NfsV3, OwnModesAndLinksOnDisk) {
    std::filesystem::create_directories(root + "/bin");
    WriteFile(root + "/bin/tool", "#!/bin/sh\n");
    chmod((root + "/bin/tool").c_str(), 0755);
    chmod((root + "/bin").c_str(), 0750);
    chmod((root + "/sub/inner.txt").c_str(), 04711);
    symlink("/bin/busybox", (root + "/bin/sh").c_str());
    struct Case {
        const char* rel;
        uint32_t type, mode;
        const char* link;  // READLINK's text, or nullptr when READLINK fails
    } cases[] = {
        {"bin", NF_DIR, 0750, nullptr},
        {"bin/tool", NF_REG, 0755, nullptr},
        {"sub/inner.txt", NF_REG, 04711, nullptr},
        {"bin/sh", NF_LNK, 0777, "/bin/busybox"},
        {"inlink", NF_LNK, 0777, "hello.txt"},
        {"escape", NF_LNK, 0777, "../secret"},
    };
    for (const Case& c : cases) {
        NfsHandle dir = H(std::filesystem::path(c.rel).parent_path().string()), h;
        ASSERT_EQ(Lookup3(dir, std::filesystem::path(c.rel).filename().string(), &h), uint32_t{NFS_OK}) << c.rel;
        Nfs3Attr a;
        ASSERT_EQ(GetAttr(h, &a), uint32_t{NFS_OK}) << c.rel;
        EXPECT_EQ(a.type, c.type) << c.rel;
        EXPECT_EQ(a.mode, c.mode) << c.rel;
        EXPECT_NE(a.fileid, 0u) << c.rel;
        if (c.link) { EXPECT_EQ(a.size, strlen(c.link)) << c.rel; }
        O_Stream rl;
        PutH3(rl, h);
        auto in = Nfs(3, 5, rl).In();
        uint32_t status = in.Read32();
        EXPECT_EQ(status == NFS_OK, c.link != nullptr) << c.rel;
        SkipPostOp(in);
        if (status == NFS_OK && c.link) { EXPECT_EQ(in.ReadString(1024), c.link) << c.rel; }
    }
    // The server acts on a link itself, never through it: no data, no attributes of what it names.
    std::string data;
    bool eof;
    EXPECT_NE(Read(H("inlink"), 0, 100, &data, &eof), uint32_t{NFS_OK});
    EXPECT_NE(Write(H("inlink"), 0, "through", FILE_SYNC), uint32_t{NFS_OK});
    O_Stream sa;
    PutH3(sa, H("inlink"));
    PutSattr(sa, 0600, -1, 1000000000);
    sa.WriteBool(false);
    EXPECT_EQ(Nfs(3, 2, sa).In().Read32(), uint32_t{NFS_OK});
    struct stat target;
    ASSERT_EQ(stat((root + "/hello.txt").c_str(), &target), 0);
    EXPECT_NE(target.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(ReadFile(root + "/hello.txt"), std::string(100, 'h'));
    // The root and its "." and ".." entries have a file id other than 0.
    Nfs3Attr a;
    ASSERT_EQ(GetAttr(H(""), &a), uint32_t{NFS_OK});
    EXPECT_NE(a.fileid, 0u);
    O_Stream rd;
    PutH3(rd, H(""));
    rd.Write64(0);
    rd.Write64(0);
    rd.Write32(32768);
    auto in = Nfs(3, 16, rd).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    SkipPostOp(in);
    in.Skip(8);
    int entries = 0;
    while (in.ReadBool()) {
        uint64_t id = in.Read64();
        std::string name = in.ReadString(255);
        in.Read64();
        EXPECT_NE(id, 0u) << name;
        ++entries;
    }
    EXPECT_GE(entries, 2);
    // A stored word wins over the file's own bits.
    if (nfs.streamInUse) {
        ASSERT_TRUE(CPosixFileAttr::WritePfaMode(root + "/bin/tool", 0600));
        ASSERT_EQ(GetAttr(H("bin/tool"), &a), uint32_t{NFS_OK});
        EXPECT_EQ(a.mode, 0600u);
    }
}

TEST_F(NfsV3, ReadIsCappedAndEndsAtEof) {
    std::string data;
    bool eof = false;
    ASSERT_EQ(Read(H("hello.txt"), 0, 32768, &data, &eof), uint32_t{NFS_OK});
    EXPECT_EQ(data, std::string(100, 'h'));
    EXPECT_TRUE(eof);
    ASSERT_EQ(Read(H("hello.txt"), 90, 5, &data, &eof), uint32_t{NFS_OK});
    EXPECT_EQ(data.size(), 5u);
    EXPECT_FALSE(eof);
    ASSERT_EQ(Read(H("hello.txt"), 1ull << 40, 5, &data, &eof), uint32_t{NFS_OK});
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(eof);
    WriteFile(root + "/big.bin", std::string(100000, 'b'));
    ASSERT_EQ(Read(H("big.bin"), 0, 0xFFFFFFFF, &data, &eof), uint32_t{NFS_OK});
    EXPECT_EQ(data.size(), 32768u);
    EXPECT_FALSE(eof);
    EXPECT_EQ(Read(H("sub"), 0, 10, &data, &eof), uint32_t{NFSERR_ISDIR});
}

TEST_F(NfsV3, WritesAndCreates) {
    uint32_t committed = 99;
    for (uint32_t stable : {UNSTABLE, DATA_SYNC, FILE_SYNC}) {
        ASSERT_EQ(Write(H("hello.txt"), 10, "WXYZ", stable, &committed), uint32_t{NFS_OK});
        EXPECT_EQ(committed, uint32_t{FILE_SYNC});
    }
    EXPECT_EQ(ReadFile(root + "/hello.txt").substr(8, 8), "hhWXYZhh");
    // A guarded or exclusive create of an existing file is refused and keeps its bytes.
    EXPECT_EQ(Create(H(""), "hello.txt", CREATE_GUARDED), uint32_t{NFSERR_EXIST});
    EXPECT_EQ(Create(H(""), "hello.txt", CREATE_EXCLUSIVE), uint32_t{NFSERR_EXIST});
    EXPECT_EQ(ReadFile(root + "/hello.txt").size(), 100u);
    EXPECT_EQ(Create(H(""), "sub", CREATE_UNCHECKED), uint32_t{NFSERR_ISDIR});
    EXPECT_EQ(Create(H(""), "..", CREATE_UNCHECKED), uint32_t{NFSERR_ACCES});
    EXPECT_EQ(Create(H("sub"), "../x", CREATE_UNCHECKED), uint32_t{NFSERR_ACCES});
    NfsHandle fresh;
    ASSERT_EQ(Create(H("sub"), "new.txt", CREATE_GUARDED, &fresh), uint32_t{NFS_OK});
    ASSERT_EQ(Write(fresh, 0, "fresh", FILE_SYNC), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/sub/new.txt"), "fresh");
    // Unchecked keeps an existing file's bytes, unless the client asks for size 0.
    EXPECT_EQ(Create(H("sub"), "new.txt", CREATE_UNCHECKED), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/sub/new.txt"), "fresh");
    EXPECT_EQ(Create(H("sub"), "new.txt", CREATE_UNCHECKED, nullptr, 0), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/sub/new.txt"), "");
    EXPECT_EQ(Write(H("sub"), 0, "x", FILE_SYNC), uint32_t{NFSERR_ISDIR});
}

TEST_F(NfsV3, SetAttrAppliesSizeTimesAndMode) {
    O_Stream a;
    PutH3(a, H("hello.txt"));
    PutSattr(a, 0640, 10, 1000000000);
    a.WriteBool(false);
    RpcReply r = Nfs(3, 2, a);
    ASSERT_EQ(r.In().Read32(), uint32_t{NFS_OK});
    struct stat st;
    ASSERT_EQ(stat((root + "/hello.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    Nfs3Attr attr;
    ASSERT_EQ(GetAttr(H("hello.txt"), &attr), uint32_t{NFS_OK});
    EXPECT_EQ(attr.size, 10u);
    EXPECT_EQ(attr.mtimeSec, 1000000000u);
    if (nfs.streamInUse) { EXPECT_EQ(attr.mode, 0640u); }
    // Without the word the mode is the file's own.
    nfs.streamInUse = 0;
    CNfsV3Handler plain(nfs);
    O_Stream ro;
    PutH3(ro, H("sub/inner.txt"));
    PutSattr(ro, 0751);
    ro.WriteBool(false);
    RunHandler(plain, 3, 2, ro);
    ASSERT_EQ(stat((root + "/sub/inner.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST_F(NfsV3, SymlinksAreLinkFilesOrRefused) {
    O_Stream a;
    PutH3(a, H(""));
    a.WriteString("ln");
    PutSattr(a, 0777);
    a.WriteString("sub/inner.txt");
    RpcReply r = Nfs(3, 10, a);
    if (!nfs.streamInUse) {
        EXPECT_EQ(r.In().Read32(), uint32_t{NFS3ERR_NOTSUPP});
        GTEST_SKIP() << "the file system keeps no user attributes";
    }
    ASSERT_EQ(r.In().Read32(), uint32_t{NFS_OK});
    Nfs3Attr attr;
    ASSERT_EQ(GetAttr(H("ln"), &attr), uint32_t{NFS_OK});
    EXPECT_EQ(attr.type, uint32_t{NF_LNK});
    EXPECT_EQ(attr.mode, 0777u);
    O_Stream rl;
    PutH3(rl, H("ln"));
    auto in = Nfs(3, 5, rl).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    SkipPostOp(in);
    EXPECT_EQ(in.ReadString(1024), "sub/inner.txt");
    O_Stream notLink;
    PutH3(notLink, H("hello.txt"));
    EXPECT_EQ(Nfs(3, 5, notLink).In().Read32(), uint32_t{NFSERR_INVAL});
    // Without the attribute word the server has no links at all.
    nfs.streamInUse = 0;
    CNfsV3Handler plain(nfs);
    O_Stream b;
    PutH3(b, H(""));
    b.WriteString("ln2");
    PutSattr(b);
    b.WriteString("x");
    O_Stream out = RunHandler(plain, 3, 10, b);
    EXPECT_EQ(LoadBe32(out.Data()), uint32_t{NFS3ERR_NOTSUPP});
    EXPECT_FALSE(std::filesystem::exists(root + "/ln2"));
}

TEST_F(NfsV3, DirectoriesHonourCookieAndCount) {
    int calls = 0;
    std::vector<std::string> names = List(H("many"), false, 200, &calls);
    EXPECT_EQ(names.size(), 25u);
    EXPECT_GT(calls, 3);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), 25u);
    EXPECT_EQ(names[0], ".");
    EXPECT_EQ(names[1], "..");
    names = List(H("many"), false, 32768, &calls);
    EXPECT_EQ(names.size(), 25u);
    EXPECT_EQ(calls, 1);
    // READDIRPLUS: entries with attributes and handles, as many as maxcount holds.
    names = List(H("many"), true, 32768, &calls);
    EXPECT_EQ(names.size(), 25u);
    EXPECT_EQ(calls, 1);
    names = List(H("many"), true, 1200, &calls);
    EXPECT_EQ(names.size(), 25u);
    EXPECT_GE(calls, 5);
    // A listing reads the folder afresh at cookie 0 only: a file made meanwhile shows up in the
    // next listing, never twice in one.
    WriteFile(root + "/many/a-new", "n");
    names = List(H("many"), false, 32768, &calls);
    EXPECT_EQ(names.size(), 26u);
    EXPECT_EQ(names[2], "a-new");
    // A count too small for one entry.
    O_Stream a;
    PutH3(a, H("many"));
    a.Write64(0);
    a.Write64(0);
    a.Write32(50);
    EXPECT_EQ(Nfs(3, 16, a).In().Read32(), 10005u);
}

TEST_F(NfsV3, ChangesKeepHandlesRight) {
    NfsHandle inner = H("sub/inner.txt");
    // RENAME: the old handle names the new path; an existing target is replaced.
    O_Stream a;
    PutH3(a, H("sub"));
    a.WriteString("inner.txt");
    PutH3(a, H(""));
    a.WriteString("hello.txt");
    ASSERT_EQ(Nfs(3, 14, a).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(ReadFile(root + "/hello.txt"), "inner");
    Nfs3Attr attr;
    ASSERT_EQ(GetAttr(inner, &attr), uint32_t{NFS_OK});
    EXPECT_EQ(attr.size, 5u);
    // A renamed folder takes the handles below it along.
    NfsHandle f = H("many/f05");
    O_Stream b;
    PutH3(b, H(""));
    b.WriteString("many");
    PutH3(b, H(""));
    b.WriteString("lots");
    ASSERT_EQ(Nfs(3, 14, b).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(GetAttr(f), uint32_t{NFS_OK});
    // REMOVE, RMDIR, MKDIR.
    O_Stream rm;
    PutH3(rm, H(""));
    rm.WriteString("hello.txt");
    EXPECT_EQ(Nfs(3, 12, rm).In().Read32(), uint32_t{NFS_OK});
    EXPECT_EQ(GetAttr(inner), uint32_t{NFSERR_STALE});
    O_Stream md;
    PutH3(md, H(""));
    md.WriteString("made");
    PutSattr(md, 0700);
    EXPECT_EQ(Nfs(3, 9, md).In().Read32(), uint32_t{NFS_OK});
    EXPECT_TRUE(std::filesystem::is_directory(root + "/made"));
    EXPECT_EQ(Nfs(3, 9, md).In().Read32(), uint32_t{NFSERR_EXIST});
    O_Stream rd;
    PutH3(rd, H(""));
    rd.WriteString("lots");
    EXPECT_EQ(Nfs(3, 13, rd).In().Read32(), uint32_t{NFSERR_NOTEMPTY});
    O_Stream rd2;
    PutH3(rd2, H(""));
    rd2.WriteString("made");
    EXPECT_EQ(Nfs(3, 13, rd2).In().Read32(), uint32_t{NFS_OK});
    O_Stream rdUp;
    PutH3(rdUp, H("sub"));
    rdUp.WriteString("..");
    EXPECT_EQ(Nfs(3, 13, rdUp).In().Read32(), uint32_t{NFSERR_ACCES});
    EXPECT_TRUE(std::filesystem::exists(root + "/sub"));
}

TEST_F(NfsV3, ReadOnlyExportRefusesEveryChange) {
    nfs.readOnly = 1;
    CNfsV3Handler ro(nfs);
    const NfsHandle top = H("");
    auto call = [&](uint32_t proc, const O_Stream& args) {
        size_t left = 99;
        O_Stream out = RunHandler(ro, 3, proc, args, &left);
        EXPECT_EQ(left, 0u) << proc;  // the whole argument was read
        return out;
    };
    O_Stream setattr, write, create, mkdir, symlink, remove, rmdir, rename;
    PutH3(setattr, H("hello.txt"));
    PutSattr(setattr, -1, 0);
    setattr.WriteBool(false);
    PutH3(write, H("hello.txt"));
    write.Write64(0);
    write.Write32(1);
    write.Write32(FILE_SYNC);
    write.WriteString("z");
    for (O_Stream* s : {&create, &mkdir, &symlink, &remove, &rmdir}) {
        PutH3(*s, top);
        s->WriteString("sub");
    }
    create.Write32(CREATE_UNCHECKED);
    PutSattr(create);
    PutSattr(mkdir);
    PutSattr(symlink);
    symlink.WriteString("t");
    PutH3(rename, top);
    rename.WriteString("hello.txt");
    PutH3(rename, top);
    rename.WriteString("x");
    const std::pair<uint32_t, O_Stream*> cases[] = {{2, &setattr},  {7, &write},   {8, &create}, {9, &mkdir},
                                                    {10, &symlink}, {12, &remove}, {13, &rmdir}, {14, &rename}};
    for (auto& [proc, args] : cases) {
        O_Stream out = call(proc, *args);
        EXPECT_EQ(LoadBe32(out.Data()), uint32_t{NFSERR_ROFS}) << proc;
    }
    EXPECT_EQ(ReadFile(root + "/hello.txt").size(), 100u);
    O_Stream access;
    PutH3(access, top);
    access.Write32(0x3F);
    O_Stream out = call(4, access);
    I_Stream in(out.Data(), out.End());
    EXPECT_EQ(in.Read32(), uint32_t{NFS_OK});
    SkipPostOp(in);
    EXPECT_EQ(in.Read32(), 0x23u);
}

TEST_F(NfsV3, FsInfoAndFsStat) {
    O_Stream a;
    PutH3(a, H(""));
    auto in = Nfs(3, 19, a).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    EXPECT_FALSE(in.ReadBool());
    const uint32_t expect[] = {32768, 32768, 512, 32768, 32768, 512, 8192};
    for (uint32_t v : expect) EXPECT_EQ(in.Read32(), v);
    EXPECT_EQ(in.Read64(), 0x7FFFFFFFFFFFFFFFull);
    EXPECT_EQ(in.Read32(), 1u);
    EXPECT_EQ(in.Read32(), 0u);
    EXPECT_EQ(in.Read32(), kFsfHomogeneous);
    in = Nfs(3, 18, a).In();
    ASSERT_EQ(in.Read32(), uint32_t{NFS_OK});
    EXPECT_FALSE(in.ReadBool());
    uint64_t total = in.Read64(), free = in.Read64();
    EXPECT_GT(total, 0u);
    EXPECT_LE(free, total);
    for (uint32_t proc : {11u, 15u, 20u, 21u}) EXPECT_EQ(Nfs(3, proc, a).acceptStat, uint32_t{PROC_UNAVAIL}) << proc;
}

TEST_F(NfsV3, Version4StubAnswersCompound) {
    nfs.SetVersions(7);
    O_Stream a;
    a.WriteString("tag");
    a.Write32(1);
    a.Write32(0);
    auto in = Nfs(4, 1, a).In();
    EXPECT_EQ(in.Read32(), kNfs4MinorVersMismatch);
    EXPECT_EQ(in.ReadString(10), "tag");
    EXPECT_EQ(in.Read32(), 0u);
    O_Stream b;
    b.WriteString("t");
    b.Write32(0);
    b.Write32(0);
    in = Nfs(4, 1, b).In();
    EXPECT_EQ(in.Read32(), 0u);
    EXPECT_EQ(Nfs(4, 2, b).acceptStat, uint32_t{PROC_UNAVAIL});
}
