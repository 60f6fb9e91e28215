// RIS assets: the NIC driver INF reader, the asset preparation over a made-up I386 tree, and
// the network-card query responder's records, table and driver lookup.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_ncq.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/ris_assets.h"
#include "_services/binl/ris_inf.h"
#include "_services/start_threads.h"
#include "tests/_services/binl/ris_fixture.h"

namespace {

// Parses an INF text for a target; the result code and the records as "VVVV:DDDD file svc".
struct Parsed {
    int rc;
    std::vector<std::string> rows;
};
Parsed ParseInf(const std::string& text, int minor, int arch) {
    TempFolder dir;
    WriteFile(dir / "x.inf", text);
    std::vector<NicDriver> out;
    Parsed p{RisParseNicInf(dir / "x.inf", 5, minor, arch, &out), {}};
    for (const NicDriver& d : out) {
        char row[300];
        snprintf(row, sizeof row, "%04X:%04X:%08X %s %s", d.vendor, d.device, d.subsystem, d.driverFile.c_str(),
                 d.service.c_str());
        p.rows.push_back(row);
    }
    return p;
}

// One model in each of the sections Models, Models., Models.NTx86.5.1 and Models.NTamd64,
// with install sections for every decoration.
std::string DecoratedInf(const std::string& manufacturerLine) {
    std::string text = "[Version]\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n[Manufacturer]\n" +
                       manufacturerLine + "\n";
    const char* sections[][2] = {{"Models", "1111"},
                                 {"Models.", "2222"},
                                 {"Models.NTx86.5.1", "3333"},
                                 {"Models.NTamd64", "4444"},
                                 {"Models.NTia64", "5555"}};
    for (auto& s : sections) text += std::string("[") + s[0] + "]\nCard = Inst, PCI\\VEN_" + s[1] + "&DEV_0001\n";
    for (const char* d : {"NTx86", "NTamd64", "NTia64"})
        text += std::string("[Inst.") + d + "]\nBusType=5\nCopyFiles=@" + d + ".sys\n[Inst." + d +
                ".Services]\nAddService=svc" + d + ",2,x\n";
    return text;
}

TEST(RisNicInf, DecorationChoosesTheModelsSection) {
    struct Case {
        const char* line;
        int minor, arch;
        const char* row;  // nullptr: no record
    } cases[] = {
        {"%M% = Models, NTx86.5.1, NTamd64.5.2", 1, RIS_ARCH_X86, "3333:0001:00000000 NTx86.sys svcNTx86"},
        {"%M% = Models, NTx86.5.1, NTamd64.5.2", 0, RIS_ARCH_X86, "2222:0001:00000000 NTx86.sys svcNTx86"},
        {"%M% = Models, NTx86.5.1, NTamd64.5.2", 2, RIS_ARCH_AMD64, "1111:0001:00000000 NTamd64.sys svcNTamd64"},
        {"%M% = Models, NTamd64", 1, RIS_ARCH_X86, "2222:0001:00000000 NTx86.sys svcNTx86"},
        {"%M% = Models, NTamd64", 2, RIS_ARCH_AMD64, "4444:0001:00000000 NTamd64.sys svcNTamd64"},
        {"%M% = Models, NTamd64", 2, RIS_ARCH_IA64, nullptr},
        {"%M% = Models, NTia64", 2, RIS_ARCH_IA64, "5555:0001:00000000 NTia64.sys svcNTia64"},
        {"%M% = Models, NTx86.5, NTx86.5.1", 2, RIS_ARCH_X86, "3333:0001:00000000 NTx86.sys svcNTx86"},
        {"%M% = Models, NTx86.5.1.1", 1, RIS_ARCH_X86, "1111:0001:00000000 NTx86.sys svcNTx86"},
    };
    for (const Case& c : cases) {
        LogCapture log(LOG_BINL);
        Parsed p = ParseInf(DecoratedInf(c.line), c.minor, c.arch);
        EXPECT_EQ(p.rc, 0) << c.line;
        if (c.row) {
            ASSERT_EQ(p.rows.size(), 1u) << c.line << " arch " << c.arch;
            EXPECT_EQ(p.rows[0], c.row) << c.line << " minor " << c.minor;
        } else {
            EXPECT_TRUE(p.rows.empty()) << c.line << " arch " << c.arch;
        }
        bool warned = log.Has("BINL Warn: Error code=1 on ");
        EXPECT_EQ(warned, std::string(c.line).find(".5.1.1") != std::string::npos) << c.line;
    }
}

TEST(RisNicInf, ModelsInstallSectionsAndNames) {
    std::string text =
        "[Version]\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n"
        "[Manufacturer]\n%Maker% = \\\n   Maker\n"
        "[Maker]\n"
        "%Card% = A, PCI\\VEN_8086&DEV_1229&SUBSYS_000C8086\n"
        "%Card% = B, PCI\\VEN_8086&DEV_1229&SUBSYS_00000000\n"  // same pair: the first wins
        "%Card% = C, pci\\ven_10ec&dev_8139\n"
        "%Card% = D, USB\\VID_0001&PID_0002\n"  // not PCI
        "%Card% = E, PCI\\VEN_1000&DEV_0001\n"  // bus type 1
        "%Card% = F, PCI\\VEN_1000&DEV_0002\n"  // no service section
        "%Card% = G, PCI\\VEN_1000&DEV_0003\n"  // driver name with a path
        "%Card% = H, PCI\\VEN_1000&DEV_0004\n"  // driver name with ..
        "%Card% = I, PCI\\VEN_1000&DEV_0005\n"  // empty driver name
        "%Card% = J\n"                          // no hardware id
        "[A]\nBusType=5\nCopyFiles=@%file%\n[A.Services]\nAddService=%svc%,2,x\n"
        "[B.NT]\nBusType=5\nCopyFiles=@other.sys\n[B.NT.Services]\nAddService=other,2,x\n"
        "[C.NTx86]\nBusType=5\nCopyFiles=C.Copy\n[C.Copy]\nrtl8139.sys,,,2\n[C.NTx86.Services]\nAddService=RTL8139\n"
        "[C]\nBusType=1\n"
        "[E]\nBusType=1\nCopyFiles=@e.sys\n[E.Services]\nAddService=e\n"
        "[F]\nBusType=5\nCopyFiles=@f.sys\n"
        "[G]\nBusType=5\nCopyFiles=@..\\..\\evil.sys\n[G.Services]\nAddService=g\n"
        "[H]\nBusType=5\nCopyFiles=@a..b.sys\n[H.Services]\nAddService=h\n"
        "[I]\nBusType=5\nCopyFiles=@\n[I.Services]\nAddService=i\n"
        "[Strings]\nMaker=\"Maker\"\nCard=\"Card\"\nfile=\"e100b325.sys\"\nsvc=\"E100B\"\n";
    Parsed p = ParseInf(text, 1, RIS_ARCH_X86);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.rows, (std::vector<std::string>{"8086:1229:000C8086 e100b325.sys E100B",
                                                "10EC:8139:00000000 rtl8139.sys RTL8139"}));
}

TEST(RisNicInf, RefusedFilesAndTheTableBound) {
    EXPECT_EQ(ParseInf("[Version]\nClass=Display\n[Manufacturer]\nx=y\n", 1, 0).rc, -1);
    EXPECT_EQ(ParseInf("[Version]\nClass=Net\n[Manufacturer]\nx=y\n", 1, 0).rc, -1) << "no ClassGUID";
    EXPECT_EQ(ParseInf("[Version]\nClass=Net\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n", 1, 0).rc, -2);
    auto many = [](int n) {
        std::string text = "[Version]\nClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\n[Manufacturer]\nM=M\n[M]\n";
        for (int i = 0; i < n; ++i) {
            char line[80];
            snprintf(line, sizeof line, "c = I, PCI\\VEN_8086&DEV_%04X\n", i + 1);
            text += line;
        }
        return text + "[I]\nBusType=5\nCopyFiles=@x.sys\n[I.Services]\nAddService=x\n";
    };
    EXPECT_EQ(ParseInf(many(150), 1, 0).rows.size(), 150u);
    Parsed full = ParseInf(many(151), 1, 0);
    EXPECT_EQ(full.rc, -5);
    EXPECT_TRUE(full.rows.empty());
    // UTF-16 text with its byte-order mark reads like 8-bit text.
    std::string text = many(2), wide = "\xFF\xFE";
    for (char c : text) wide += std::string{c, '\0'};
    EXPECT_EQ(ParseInf(wide, 1, 0).rows.size(), 2u);
}

class RisAssetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ctx_.root = root_.path();
        ctx_.computerName = "NIMBOSRV";
        ctx_.tempFolder = temp_.path() + "/";
        asset_ = MakeRisAsset(root_.path(), "XP_32");
    }
    int Scan(int* count = nullptr) {
        int n = 0;
        bool present = false;
        uint32_t stamp = 0;
        int rc = RisScanAssets(ctx_, &n, &present, &stamp);
        EXPECT_EQ(present, n > 0);
        if (count) *count = n;
        return rc;
    }
    std::string Nimbo(const char* file) const { return asset_ + "/_NIMBO_/" + file; }
    TempFolder root_, temp_;
    BinlContext ctx_;
    std::string asset_;
};

TEST_F(RisAssetTest, PreparationWritesBootFilesAnswerFileAndDriverTable) {
    LogCapture log(LOG_BINL);
    int count = 0;
    EXPECT_EQ(Scan(&count), 1);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ReadFile(Nimbo("ntdetect.com")), "ntdetect bytes");
    EXPECT_EQ(ReadFile(Nimbo("ntldr")), std::string(30000, 'L') + "loader end");
    EXPECT_EQ(ReadFile(Nimbo("startrom.n12")), "startrom bytes for the network");
    EXPECT_FALSE(PathExists(Nimbo("bootfont.bin")));
    EXPECT_TRUE(log.Has("BINL Inf: Expandd\tOK, " + Nimbo("ntldr")));
    EXPECT_TRUE(IsRegularFile(root_ / "WIA_RIS/NimboReadme.txt"));
    EXPECT_TRUE(IsRegularFile(asset_ + "/$OEM$/$1/Drivers/NIC/NimboReadme.txt"));

    const char* sif[] = {"[data]",
                         "floppyless = \"1\"",
                         "msdosinitiated = \"1\"",
                         "; Needed for second stage",
                         "OriSrc = \"\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32\"",
                         "OriTyp = \"4\"",
                         "LocalSourceOnCD = 1",
                         "DisableAdminAccountOnDomainJoin = 1",
                         "",
                         "[SetupData]",
                         "OsLoadOptions = \"/fastdetect\"",
                         "; Needed for first stage",
                         "SetupSourceDevice = \"\\Device\\LanmanRedirector\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32\"",
                         "Architecture = \"I386\"",
                         "",
                         "[UserData]",
                         "ComputerName = *",
                         "",
                         "[RemoteInstall]",
                         "Repartition = no",
                         "UseWholeDisk = no",
                         "",
                         "[Unattended]",
                         "OemPreinstall = yes",
                         "OemPnpDriversPath = \\Drivers\\NIC",
                         ";DriverSigningPolicy = Ignore",
                         ""};
    std::string want;
    for (const char* l : sif) want += std::string(l) + "\t\r\n";
    EXPECT_EQ(ReadFile(Nimbo("winnt.sif")), want);

    std::string dat = ReadFile(Nimbo("NimboBINL.dat"));
    ASSERT_GE(dat.size(), 520u);
    BinlAssetHeader h;
    std::memcpy(&h, dat.data(), sizeof h);
    EXPECT_STREQ(h.magic, "NIMBO_BINL");
    EXPECT_EQ(uint32_t{h.version}, 3u);
    EXPECT_EQ(uint32_t{h.firstRecord}, 520u);
    EXPECT_EQ(uint32_t{h.recordCount}, 4u);
    EXPECT_EQ(uint32_t{h.risOemDrivers}, 1u);
    EXPECT_EQ(HeaderText(h.platform), "NTx86");
    EXPECT_EQ(HeaderText(h.product), "Windows XP Professional");
    EXPECT_EQ(HeaderText(h.osVersion), "5.1");
    EXPECT_EQ(HeaderText(h.localization), "English");
    EXPECT_EQ(HeaderText(h.servicePack), "3");
    EXPECT_EQ(HeaderText(h.driverVersion), "07/01/2001,5.1.2600.0");
    EXPECT_EQ(HeaderText(h.computerName), "NIMBOSRV");
    EXPECT_EQ(int{h.refreshed}, 1);
    // Records: OEM folder first, then the INF files of I386, then its compressed INF files.
    std::string records = dat.substr(520);
    std::string want2;
    auto rec = [&](uint16_t v, uint16_t d, uint32_t s, const std::string& svc, const std::string& file) {
        uint16_t len = uint16_t(12 + svc.size() + file.size());
        want2 += std::string{char(len), char(len >> 8), char(v), char(v >> 8), char(d), char(d >> 8)};
        want2 += std::string{char(s), char(s >> 8), char(s >> 16), char(s >> 24)};
        want2 += svc + '\0' + file + '\0';
    };
    rec(0x14E4, 0x1677, 0, "b57w2k", "b57xp32.sys");
    rec(0x8086, 0x1229, 0x00018086, "E100B", "e100b325.sys");
    rec(0x8086, 0x1030, 0, "E100B", "e100b325.sys");
    rec(0x10EC, 0x8139, 0, "RTL8139", "rtl8139.sys");
    EXPECT_EQ(records, want2);
    EXPECT_TRUE(log.Has("BINL Inf: NimboBINL.dat, Platform= NTx86, Parsed INF files= 4 , Used= 3, Filed records= 4  "));
    EXPECT_TRUE(log.Has("BINL Inf: Added 1 records from " + asset_ + "/I386/NETRTL.IN_"));
    EXPECT_FALSE(PathExists(ctx_.tempFolder + "Nimbo.tmp"));

    // A second run finds the asset unchanged and clears the refreshed flag once.
    std::string sifBefore = ReadFile(Nimbo("winnt.sif"));
    EXPECT_EQ(Scan(), 0);
    ASSERT_TRUE(ReadAssetHeader(Nimbo("NimboBINL.dat"), &h));
    EXPECT_EQ(int{h.refreshed}, 0);
    EXPECT_EQ(ReadFile(Nimbo("NimboBINL.dat")).substr(520), want2);
    EXPECT_EQ(Scan(), 0);

    // A new computer name rewrites winnt.sif and the header; the asset counts as unchanged.
    ctx_.computerName = "OTHERSRV";
    EXPECT_EQ(Scan(), 0);
    EXPECT_NE(ReadFile(Nimbo("winnt.sif")).find("\\\\OTHERSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32"), std::string::npos);
    ASSERT_TRUE(ReadAssetHeader(Nimbo("NimboBINL.dat"), &h));
    EXPECT_EQ(HeaderText(h.computerName), "OTHERSRV");

    // Renaming a driver INF changes the asset stamp: a full build.
    std::filesystem::rename(asset_ + "/I386/NETFAST.INF", asset_ + "/I386/NETFAST2.INF");
    EXPECT_EQ(Scan(), 1);
}

TEST_F(RisAssetTest, BrokenBootCabinetLeavesNoFileAndHeals) {
    std::string cab = ReadFile(asset_ + "/I386/STARTROM.N1_");
    WriteFile(asset_ + "/I386/STARTROM.N1_", cab.substr(0, cab.size() - 8));
    LogCapture log(LOG_BINL);
    int count = 0;
    EXPECT_EQ(Scan(&count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(log.Has("BINL Err: Expanding " + Nimbo("startrom.n12")));
    EXPECT_FALSE(PathExists(Nimbo("startrom.n12"))) << "a failed extraction leaves no cut boot file";
    EXPECT_TRUE(IsRegularFile(Nimbo("ntldr")));
    for (const FolderEntry& e : ListFolder(asset_ + "/_NIMBO_")) EXPECT_EQ(e.name.find(".n12."), std::string::npos);
    WriteFile(asset_ + "/I386/STARTROM.N1_", cab);
    EXPECT_EQ(Scan(&count), 1);
    EXPECT_EQ(ReadFile(Nimbo("startrom.n12")), "startrom bytes for the network");
}

TEST_F(RisAssetTest, RejectedAssetsAndHeadFolders) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> edit;
        const char* message;
    } cases[] = {
        {"OS 6",
         [](const std::string& a) {
             WriteFile(a + "/I386/BIOSINFO.INF", "[Version]\nDriverVer=06/21/2006,6.0.6000.16386\n");
         },
         "BINL Err: Cannot create WIA; Incorrect OS Version at "},
        {"no PRODSPEC", [](const std::string& a) { std::filesystem::remove(a + "/I386/PRODSPEC.INI"); },
         "BINL Err: Cannot create WIA; Couldn't find "},
        {"non-ASCII description", [](const std::string& a) { WriteFile(a + "/NimboAsset.inf", "caf\xE9\n"); },
         "BINL Err: Found non-ASCII chars in "},
    };
    for (const Case& c : cases) {
        TempFolder root;
        BinlContext ctx = ctx_;
        ctx.root = root.path();
        std::string asset = MakeRisAsset(root.path(), "XP");
        c.edit(asset);
        LogCapture log(LOG_BINL);
        EXPECT_EQ(RisBuildAsset(ctx, "XP"), -1) << c.what;
        EXPECT_TRUE(log.Has(c.message)) << c.what;
        EXPECT_FALSE(PathExists(asset + "/_NIMBO_/NimboBINL.dat")) << c.what;
    }
    std::filesystem::create_directories(root_ / "WIA_RIS/XP 32/I386");
    std::filesystem::create_directories(root_ / "WIA_RIS/off_XP32/I386");
    LogCapture log(LOG_BINL);
    int count = 0;
    Scan(&count);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(log.Has("BINL Err: Head dir \"" + root_ / "WIA_RIS/XP 32" +
                        "\" contains spaces and/or invalid characters; Skipped"));
    EXPECT_FALSE(log.Has("off_XP32"));
    // AMD64 beside I386: the asset is a 64-bit one.
    std::filesystem::create_directories(asset_ + "/amd64");
    std::string folder;
    EXPECT_EQ(RisArchitecture(asset_, &folder), RIS_ARCH_AMD64);
    EXPECT_EQ(folder, "amd64");
}

// --- the responder ---

std::string Ncq(uint16_t vendor, uint16_t device, const std::string& ori, int lengthField = -1) {
    std::string q(54, '\0');
    std::memcpy(&q[0], kNcqSignature, 4);
    q[36] = char(vendor);
    q[37] = char(vendor >> 8);
    q[38] = char(device);
    q[39] = char(device >> 8);
    int16_t n = int16_t(lengthField >= -32768 && lengthField != -1 ? lengthField : int(ori.size()));
    std::memcpy(&q[52], &n, 2);
    return q + ori;
}

int Classify(const std::string& d, NcqQuery* q) {
    return ParseBinlMessage(reinterpret_cast<const uint8_t*>(d.data()), d.size(), q);
}

TEST(BinlNcq, ParsesQueriesAndRefusesMalformedOnes) {
    NcqQuery q;
    ASSERT_EQ(Classify(Ncq(0x8086, 0x1229, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP"), &q), BINL_QUERY);
    EXPECT_EQ(q.vendor, 0x8086);
    EXPECT_EQ(q.device, 0x1229);
    EXPECT_EQ(q.oriSrc, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP");
    ASSERT_EQ(Classify(Ncq(1, 2, std::string("AB\0CD", 5)), &q), BINL_QUERY);
    EXPECT_EQ(q.oriSrc, "AB") << "OriSrc ends at an earlier NUL";
    ASSERT_EQ(Classify(Ncq(1, 2, "ABCDEF", 3), &q), BINL_QUERY);
    EXPECT_EQ(q.oriSrc, "ABC");
    ASSERT_EQ(Classify(Ncq(1, 2, ""), &q), BINL_QUERY);
    EXPECT_EQ(q.oriSrc, "");

    struct Case {
        std::string data;
        int kind;
    } cases[] = {
        {"", BINL_EMPTY},
        {Ncq(1, 2, "x").substr(0, 53), BINL_BAD_QUERY},  // shorter than 54
        {Ncq(1, 2, "xyz", -5), BINL_BAD_QUERY},          // negative length
        {Ncq(1, 2, "xyz", 4), BINL_BAD_QUERY},           // runs past the end
        {Ncq(1, 2, "xyz", 0x7FFF), BINL_BAD_QUERY},
        {Ncq(1, 2, std::string(1447, 'a')), BINL_BAD_QUERY},  // 1501 bytes
        {Ncq(1, 2, std::string(1446, 'a')), BINL_QUERY},      // 1500 bytes
        {std::string("\x82NCR") + std::string(8, '\0'), BINL_RESPONSE},
        {"\x81NC", BINL_OTHER},
        {std::string("\x01\x01\x06\x00") + std::string(300, '\0'), BINL_OTHER},  // a DHCP request
        {"wake up", BINL_OTHER},
    };
    for (const Case& c : cases) EXPECT_EQ(Classify(c.data, &q), c.kind) << c.data.size();
    // Random lengths and bytes behind the signature: read or refused, never past the end.
    uint32_t x = 12345;
    for (int i = 0; i < 2000; ++i) {
        x = x * 1103515245 + 12345;
        std::vector<uint8_t> d(x % 1600);
        for (uint8_t& b : d) b = uint8_t((x = x * 1103515245 + 12345) >> 16);
        if (d.size() >= 4) std::memcpy(d.data(), kNcqSignature, 4);
        int kind = ParseBinlMessage(d.data(), d.size(), &q);
        EXPECT_TRUE(kind == BINL_QUERY || kind == BINL_BAD_QUERY || kind == BINL_EMPTY || kind == BINL_OTHER);
        if (kind == BINL_QUERY) { EXPECT_LE(54 + q.oriSrc.size(), d.size()); }
    }
}

TEST(BinlNcq, ResponseRecords) {
    std::vector<uint8_t> ok = BuildNcrOk(0x8086, 0x1229, "e100b325.sys", "E100B");
    auto u32 = [&](size_t at) { return uint32_t(ok[at] | ok[at + 1] << 8 | ok[at + 2] << 16 | ok[at + 3] << 24); };
    auto wide = [](const std::string& s) {
        std::string w;
        for (char c : s) w += std::string{c, '\0'};
        return w + std::string(2, '\0');
    };
    const size_t b = 12, s = 5;
    ASSERT_EQ(ok.size(), 148 + 2 * b + 2 * s);
    EXPECT_EQ(std::string(ok.begin(), ok.begin() + 4), "\x82NCR");
    EXPECT_EQ(u32(4), ok.size());
    EXPECT_EQ(u32(8), 0u);
    EXPECT_EQ(u32(12), 2u);
    EXPECT_EQ(u32(16), 36u);
    EXPECT_EQ(u32(20), 80u);
    EXPECT_EQ(u32(24), 82 + 2 * b);
    EXPECT_EQ(u32(28), 62u);
    EXPECT_EQ(u32(32), 84 + 2 * b + 2 * s);
    std::string bytes(ok.begin(), ok.end());
    EXPECT_EQ(bytes.substr(36, 44), wide("PCI\\VEN_8086&DEV_1229"));
    EXPECT_EQ(bytes.substr(80, 2 * b + 2), wide("e100b325.sys"));
    EXPECT_EQ(bytes.substr(82 + 2 * b, 2 * s + 2), wide("E100B"));
    EXPECT_EQ(bytes.substr(84 + 2 * b + 2 * s, 62),
              std::string("Description\0002\0Ris NIC Card\0Characteristics\0001\000132\0BusType\0001\0005\0\0", 62));
    EXPECT_EQ(bytes.substr(146 + 2 * b + 2 * s), std::string(2, '\0'));

    std::vector<uint8_t> ko = BuildNcrKo();
    EXPECT_EQ(std::string(ko.begin(), ko.end()), std::string("\x82NCR\x04\0\0\0\x0D\0\0\xC0", 12));
}

TEST(BinlNcq, TableMatchPrefersTheExactAsset) {
    RisAssetTable t(3);
    t[0].oriSrc = "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP64";
    t[1].oriSrc = "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP";
    t[2].oriSrc = "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\W2K";
    EXPECT_EQ(MatchRisAsset(t, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP"), &t[1]);
    EXPECT_EQ(MatchRisAsset(t, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP64"), &t[0]);
    EXPECT_EQ(MatchRisAsset(t, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\X"), &t[0]) << "a shorter OriSrc: the first prefix";
    EXPECT_EQ(MatchRisAsset(t, "\\\\srv\\WIA_RIS_SHARE\\WIA_RIS\\XP"), nullptr) << "letter case counts";
    EXPECT_EQ(MatchRisAsset(t, "\\\\SRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32"), nullptr);
}

class RisTableTest : public RisAssetTest {
protected:
    void TearDown() override { BinlFreeRisAssetTable(); }
    const RisAssetEntry& Load() {
        int count = 0;
        Scan(&count);
        EXPECT_EQ(BinlLoadRisAssetTable(ctx_, count), 0);
        table_ = CurrentRisAssetTable();
        EXPECT_TRUE(table_ && table_->size() == 1);
        return table_->front();
    }
    std::shared_ptr<const RisAssetTable> table_;
};

TEST_F(RisTableTest, DriversAreFoundCopiedAndExtracted) {
    const RisAssetEntry& e = Load();
    EXPECT_EQ(e.oriSrc, "\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32");
    EXPECT_EQ(e.localPath, asset_);
    EXPECT_EQ(e.archFolder, "I386");
    NicDriver d;
    LogCapture log(LOG_BINL);
    // From driver.cab of the architecture folder.
    ASSERT_EQ(BinlFindNicDriver(e.oriSrc, 0x8086, 0x1030, &d), 1);
    EXPECT_EQ(d.driverFile, "e100b325.sys");
    EXPECT_EQ(d.service, "E100B");
    EXPECT_EQ(ReadFile(asset_ + "/I386/e100b325.sys"), "intel driver bytes");
    // From the OEM folder's compressed file.
    ASSERT_EQ(BinlFindNicDriver("\\\\NIMBOSRV\\WIA_RIS_SHARE", 0x14E4, 0x1677, &d), 1);
    EXPECT_EQ(ReadFile(asset_ + "/I386/b57xp32.sys"), "broadcom driver bytes");
    // Copied from the OEM folder when it lies there uncompressed.
    WriteFile(asset_ + "/$OEM$/$1/Drivers/NIC/rtl8139.sys", "realtek bytes");
    ASSERT_EQ(BinlFindNicDriver(e.oriSrc, 0x10EC, 0x8139, &d), 1);
    EXPECT_EQ(ReadFile(asset_ + "/I386/rtl8139.sys"), "realtek bytes");
    // Unknown card, unknown asset.
    EXPECT_EQ(BinlFindNicDriver(e.oriSrc, 0x8086, 0x9999, &d), 0);
    EXPECT_EQ(BinlFindNicDriver("\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\W2K", 0x8086, 0x1030, &d), 0);
    EXPECT_TRUE(
        log.Has("BINL Err: Matching WIA_RIS data not found, VEN=8086 DEV=1030 "
                "OriSrc=\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\W2K"));
    // A driver in no cabinet.
    EXPECT_EQ(BinlFetchNicDriver(e, "missing.sys"), -1);
    EXPECT_TRUE(log.Has("BINL Err: Finding Driver: missing.sys from WIA_RIS: " + asset_));
    // Names that would leave the asset are refused.
    for (const char* bad : {"../x.sys", "..\\x.sys", "a/b.sys", "c:x.sys", ""})
        EXPECT_EQ(BinlFetchNicDriver(e, bad), -1) << bad;
}

TEST_F(RisTableTest, FailedOemCopyIsNoSuccess) {
    RisAssetEntry e = Load();
    // Without an I386 folder the copy cannot be made: no success is claimed.
    WriteFile(asset_ + "/$OEM$/$1/Drivers/NIC/only.sys", "oem only");
    e.localPath = root_ / "WIA_RIS/NOI386";
    std::filesystem::create_directories(e.localPath + "/$OEM$/$1/Drivers/NIC");
    WriteFile(e.localPath + "/$OEM$/$1/Drivers/NIC/only.sys", "oem only");
    LogCapture log(LOG_BINL);
    EXPECT_EQ(BinlFetchNicDriver(e, "only.sys"), -1);
    EXPECT_TRUE(log.Has("BINL Err: Copying " + e.localPath + "/I386/only.sys"));
    EXPECT_TRUE(log.Has("BINL Err: Finding Driver: only.sys"));
}

TEST_F(RisTableTest, TableBounds) {
    LogCapture log(LOG_BINL);
    EXPECT_EQ(BinlLoadRisAssetTable(ctx_, 0), -1);
    EXPECT_EQ(BinlLoadRisAssetTable(ctx_, 51), -1);
    EXPECT_TRUE(log.Has("BINL Err: ABORT, WIA_RIS have more than 50 active installation assets"));
    EXPECT_EQ(CurrentRisAssetTable(), nullptr);
    // More assets on disk than were counted: the load stops at the bound.
    Scan();
    for (int i = 0; i < 51; ++i)
        WriteFile(root_ / ("WIA_RIS/A" + std::to_string(i) + "/_NIMBO_/NimboBINL.dat"),
                  ReadFile(Nimbo("NimboBINL.dat")));
    EXPECT_EQ(BinlLoadRisAssetTable(ctx_, 1), -1);
    EXPECT_EQ(CurrentRisAssetTable(), nullptr);
    for (int i = 1; i < 51; ++i) std::filesystem::remove_all(root_ / ("WIA_RIS/A" + std::to_string(i)));
    EXPECT_EQ(BinlLoadRisAssetTable(ctx_, 2), 0);
    EXPECT_EQ(CurrentRisAssetTable()->size(), 2u);
}

// The responder without the proxyDHCP thread: queries handed to it answer from a socket of its
// own, to a client socket on the loopback.
class ResponderTest : public RisTableTest {
protected:
    void SetUp() override {
        RisTableTest::SetUp();
        Load();
        server_ = LoopbackUdp();
        client_ = LoopbackUdp();
        socklen_t n = sizeof clientAddr_;
        getsockname(client_, reinterpret_cast<sockaddr*>(&clientAddr_), &n);
        ThreadSlots[TH_BINL].running = 1;
        RisTableUnavailable = 0;
    }
    void TearDown() override {
        for (int i = 0; i < 200 && BinlActiveWorkers() > 0; ++i) usleep(10000);
        ThreadSlots[TH_BINL].running = 0;
        RisTableUnavailable = 1;
        close(server_);
        close(client_);
        RisTableTest::TearDown();
    }
    int Hand(std::string d) {
        Datagram from;
        from.peer = clientAddr_;
        return BinlHandleMessage(reinterpret_cast<uint8_t*>(d.data()), d.size(), from, server_);
    }
    std::string Answer(int ms) {
        pollfd p{client_, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) return "";
        char buf[2048];
        ssize_t n = recv(client_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, size_t(n)) : "";
    }
    int server_ = -1, client_ = -1;
    sockaddr_in clientAddr_{};
};

TEST_F(ResponderTest, AnswersKnownAndUnknownCardsAndDropsTheRest) {
    const std::string ori = "\\\\NIMBOSRV\\WIA_RIS_SHARE\\WIA_RIS\\XP_32";
    LogCapture log(LOG_BINL);
    EXPECT_EQ(Hand(Ncq(0x8086, 0x1229, ori)), 1);
    std::vector<uint8_t> ok = BuildNcrOk(0x8086, 0x1229, "e100b325.sys", "E100B");
    EXPECT_EQ(Answer(10000), std::string(ok.begin(), ok.end()));
    EXPECT_EQ(Hand(Ncq(0x8086, 0x7777, ori)), 1);
    std::vector<uint8_t> ko = BuildNcrKo();
    EXPECT_EQ(Answer(10000), std::string(ko.begin(), ko.end()));
    EXPECT_EQ(Hand(Ncq(0x8086, 0x1229, "\\\\NIMBOSRV\r\nforged line")), 1);
    EXPECT_EQ(Answer(10000), std::string(ko.begin(), ko.end()));
    for (int i = 0; i < 200 && BinlActiveWorkers() > 0; ++i) usleep(10000);
    EXPECT_TRUE(log.Has("Matching WIA_RIS data not found, VEN=8086 DEV=1229 OriSrc=\\\\NIMBOSRV\\013\\010forged line"))
        << "control characters of the client never reach the log";
    EXPECT_TRUE(
        log.Has("BINL Inf: Net driver found, VEN=8086 DEV=1229 SvcBinary=e100b325.sys SvcName=E100B OriSrc=" + ori));
    EXPECT_TRUE(log.Has("BINL Err: Net driver not found, VEN=8086 DEV=7777 OriSrc=" + ori));

    EXPECT_EQ(Hand(Ncq(0x8086, 0x1229, ori, -1 - 32767)), 1);                      // malformed: consumed
    EXPECT_EQ(Hand(std::string("\x82NCR\x04\0\0\0\x0D\0\0\xC0", 12)), 1);          // a response: consumed
    EXPECT_EQ(Hand(std::string("\x01\x01\x06\x00") + std::string(300, '\0')), 0);  // DHCP: not ours
    RisTableUnavailable = 1;
    EXPECT_EQ(Hand(Ncq(0x8086, 0x1229, ori)), 1);
    EXPECT_EQ(Answer(300), "") << "nothing answers malformed queries, responses or a disabled table";
    EXPECT_TRUE(log.Has("BINL Err: Malformed NCQ from 127.0.0.1"));
}

}  // namespace
