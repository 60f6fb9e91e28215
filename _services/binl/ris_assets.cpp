#include "_services/binl/ris_assets.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/binl_scan.h"
#include "_services/binl/ris_inf.h"
#include "_services/host_info.h"
#include "libs/platform/cabinet.h"
#include "libs/platform/profile.h"

namespace {

struct ArchInfo {
    const char* folder;
    int index;
    const char* platform;      // header platform text
    const char* architecture;  // winnt.sif Architecture
};
// In the order they are looked for.
const ArchInfo kArchs[] = {
    {"AMD64", RIS_ARCH_AMD64, "NTamd64", "AMD64"},
    {"IA64", RIS_ARCH_IA64, "NTia64", "IA64"},
    {"I386", RIS_ARCH_X86, "NTx86", "I386"},
};

const ArchInfo& ArchByIndex(int index) {
    for (const ArchInfo& a : kArchs)
        if (a.index == index) return a;
    return kArchs[2];
}

constexpr const char* kOemNic = "$OEM$/$1/Drivers/NIC";

bool EndsWithNoCase(const std::string& name, const char* ext) {
    size_t n = std::string(ext).size();
    return name.size() >= n && StartsWithNoCase(name.substr(name.size() - n), ext);
}

// Files of a folder whose names end in ext (without case), in listing order.
std::vector<std::string> FilesWithExtension(const std::string& folder, const char* ext) {
    std::vector<std::string> names;
    for (const FolderEntry& e : ListFolder(folder))
        if (!e.isFolder && EndsWithNoCase(e.name, ext)) names.push_back(e.name);
    return names;
}

// A value of an INI-style file, "?" when missing, trimmed; cut only where it is stored.
std::string ProfileText(const std::string& path, const char* section, const char* key) {
    std::vector<char> buf(4096);
    GetProfileValue(section, key, "?", buf.data(), int(buf.size()), path.c_str());
    return TrimSpaces(std::string(buf.data()));
}

uint32_t RisAssetStamp(const std::string& asset, const std::string& oem, const std::string& archDir) {
    uint32_t stamp = Crc32(asset) ^ Crc32File(ResolveNoCase(asset, "NimboAsset.inf"));
    for (const std::string& folder : {oem, archDir})
        for (const char* ext : {".inf", ".in_"})
            for (const std::string& name : FilesWithExtension(folder, ext)) {
                FindDataBytes fd;
                if (!GetFindData(JoinPath(folder, name), &fd)) continue;
                // Without the last-access time: the build itself reads these files, and the
                // next run would otherwise take the asset as changed.
                std::memset(fd.bytes + 12, 0, 8);
                stamp ^= Crc32(fd.bytes, sizeof fd.bytes) ^ Crc32(name);
            }
    return stamp;
}

// Expands one member of a cabinet into target, with the two log lines of the boot files.
bool ExpandBootFile(CabSession* cab, const std::string& cabinet, const char* member, const std::string& target) {
    if (cab->Extract(cabinet, member, target)) {
        BinlLog("BINL Inf: Expandd\tOK, %s", target.c_str());
        return true;
    }
    BinlLog("BINL Err: Expanding %s", target.c_str());
    return false;
}

bool CopyBootFile(const std::string& src, const std::string& target) {
    if (IsRegularFile(src) && CopyFileAtomic(src, target)) {
        BinlLog("BINL Inf: Copied\t\tOK, %s", target.c_str());
        return true;
    }
    BinlLog("BINL Err: Copying %s", target.c_str());
    return false;
}

// The driver records gathered for one asset.
struct DriverTable {
    std::vector<uint8_t> records;
    uint32_t count = 0;
    int parsed = 0, used = 0;
    bool oem = false;
};

// Parses one INF (or the INF expanded from a compressed one) and appends its records.
// shown is what the log line names. -5 when the records pass the bound.
int AddInfRecords(const std::string& inf, const std::string& shown, bool fromOem, int minor, int arch, DriverTable* t) {
    std::vector<NicDriver> found;
    int rc = RisParseNicInf(inf, 5, minor, arch, &found);
    if (rc != 0 || found.empty()) return 0;
    t->used++;
    BinlLog("BINL Inf: Added %d records from %s", int(found.size()), shown.c_str());
    for (const NicDriver& d : found) {
        if (t->records.size() > kRisRecordLimit) return -5;
        AppendNicDriverRecord(&t->records, d);
        t->count++;
    }
    if (fromOem) t->oem = true;
    return 0;
}

int GatherDrivers(const BinlContext& ctx, const std::string& oem, const std::string& archDir, int minor, int arch,
                  DriverTable* t) {
    CabSession cab;
    std::string tmp = ctx.tempFolder + "Nimbo.tmp";
    for (const std::string& folder : {oem, archDir}) {
        bool fromOem = folder == oem;
        for (const std::string& name : FilesWithExtension(folder, ".inf")) {
            t->parsed++;
            std::string path = JoinPath(folder, name);
            if (AddInfRecords(path, path, fromOem, minor, arch, t) != 0) return -5;
        }
        for (const std::string& name : FilesWithExtension(folder, ".in_")) {
            t->parsed++;
            std::string member = name.substr(0, name.size() - 4) + ".inf";
            ::unlink(tmp.c_str());
            if (ctx.tempFolder.empty() || !cab.Extract(JoinPath(folder, name), member, tmp)) continue;
            if (AddInfRecords(tmp, folder + "/" + name, fromOem, minor, arch, t) != 0) return -5;
        }
    }
    return 0;
}

int WriteSifOr(const BinlContext& ctx, const std::string& head, int arch, int result) {
    return RisWriteWinntSif(ctx, head, arch) == 0 ? result : -1;
}

int FullBuild(const BinlContext& ctx, const std::string& head, const std::string& asset, const std::string& archDir,
              int arch, uint32_t stamp) {
    BinlAssetHeader h = NewAssetHeader();
    SetHeaderText(h.platform, ArchByIndex(arch).platform);
    std::string prodspec = ResolveNoCase(archDir, "PRODSPEC.INI");
    if (!IsRegularFile(prodspec)) {
        BinlLog("BINL Err: Cannot create WIA; Couldn't find %s", prodspec.c_str());
        return -1;
    }
    SetHeaderText(h.product, ProfileText(prodspec, "Product Specification", "Product"), 70);
    SetHeaderText(h.localization, ProfileText(prodspec, "Product Specification", "Localization"), 45);
    SetHeaderText(h.servicePack, ProfileText(prodspec, "Product Specification", "ServicePackNumber"), 35);
    std::string biosinfo = ResolveNoCase(archDir, "BIOSINFO.INF");
    if (!IsRegularFile(biosinfo)) {
        BinlLog("BINL Err: Cannot create WIA; Couldn't find %s", biosinfo.c_str());
        return -1;
    }
    std::string driverVer = ProfileText(biosinfo, "Version", "DriverVer");
    SetHeaderText(h.driverVersion, driverVer, 31);
    int major = -1, minor = -1;
    size_t comma = driverVer.find(',');
    if (comma == std::string::npos || std::sscanf(driverVer.c_str() + comma + 1, "%d.%d", &major, &minor) != 2 ||
        major != 5) {
        BinlLog("BINL Err: Cannot create WIA; Incorrect OS Version at %s", biosinfo.c_str());
        return -1;
    }
    SetHeaderText(h.osVersion, "5." + std::to_string(minor));
    SetHeaderText(h.computerName, ctx.computerName);
    h.assetStamp = stamp;

    DriverTable t;
    int rc = GatherDrivers(ctx, ResolveNoCase(asset, kOemNic), archDir, minor, arch, &t);
    ::unlink((ctx.tempFolder + "Nimbo.tmp").c_str());
    if (rc != 0) return rc;
    h.recordCount = t.count;
    h.risOemDrivers = t.oem ? 1 : 0;
    h.refreshed = 1;
    if (t.count == 0) return WriteSifOr(ctx, head, arch, 1);

    std::string dat = asset + "/" + kNimboFolder + "/" + kBinlDataFile;
    if (!WriteAssetFile(dat, h, t.records)) {
        BinlLog("BINL Err: Writing to %s", dat.c_str());
        return -1;
    }
    BinlLog("BINL Inf: Created\t\tOK, %s", dat.c_str());
    BinlLog("BINL Inf: NimboBINL.dat, Platform= %s, Parsed INF files= %d , Used= %d, Filed records= %d  ",
            ArchByIndex(arch).platform, t.parsed, t.used, int(t.count));
    return WriteSifOr(ctx, head, arch, 1);
}

}  // namespace

int RisArchitecture(const std::string& asset, std::string* folder) {
    folder->clear();
    for (const ArchInfo& a : kArchs) {
        std::string path = ResolveNoCase(asset, a.folder);
        if (IsDirectory(path)) {
            *folder = path.substr(path.find_last_of('/') + 1);
            return a.index;
        }
    }
    return -1;
}

std::string RisWinntSifText(const std::string& computerName, const std::string& head, int arch) {
    const std::string share = "WIA_RIS_SHARE";
    const std::string relative = "WIA_RIS\\" + head;
    const char* lines[] = {
        "[data]",
        "floppyless = \"1\"",
        "msdosinitiated = \"1\"",
        "; Needed for second stage",
        nullptr,  // OriSrc
        "OriTyp = \"4\"",
        "LocalSourceOnCD = 1",
        "DisableAdminAccountOnDomainJoin = 1",
        "",
        "[SetupData]",
        "OsLoadOptions = \"/fastdetect\"",
        "; Needed for first stage",
        nullptr,  // SetupSourceDevice
        nullptr,  // Architecture
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
        "",
    };
    std::string out;
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        std::string line;
        if (lines[i])
            line = lines[i];
        else if (i == 4)
            line = "OriSrc = \"\\\\" + computerName + "\\" + share + "\\" + relative + "\"";
        else if (i == 12)
            line = "SetupSourceDevice = \"\\Device\\LanmanRedirector\\" + computerName + "\\" + share + "\\" +
                   relative + "\"";
        else
            line = std::string("Architecture = \"") + ArchByIndex(arch).architecture + "\"";
        out += line + "\t\r\n";
    }
    return out;
}

int RisWriteWinntSif(const BinlContext& ctx, const std::string& head, int arch) {
    std::string path = ctx.root + "/WIA_RIS/" + head + "/" + kNimboFolder + "/winnt.sif";
    std::string text = RisWinntSifText(ctx.computerName, head, arch);
    if (!WriteFileAtomic(path, text.data(), text.size())) {
        BinlLog("BINL Err: Creating %s", path.c_str());
        return -1;
    }
    BinlLog("BINL Inf: Created\t\tOK, %s", path.c_str());
    return 0;
}

int RisPrepareBootFiles(const std::string& asset) {
    bool failed = false;
    std::string nimbo = asset + "/" + kNimboFolder;
    if (MakePathAndWriteFile(nimbo, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) failed = true;
    const std::string& readme = RisOemReadmeText();
    if (MakePathAndWriteFile(ResolveNoCase(asset, kOemNic), "NimboReadme.txt", readme.data(), readme.size(),
                             BINL_CREATE_NEW) != 0)
        failed = true;
    if (failed) return -1;

    std::string target = nimbo + "/ntdetect.com";
    if (!PathExists(target) && !CopyBootFile(ResolveNoCase(asset, "I386/NTDETECT.COM"), target)) failed = true;
    std::string font = ResolveNoCase(asset, "I386/BOOTFONT.BIN");
    target = nimbo + "/bootfont.bin";
    if (IsRegularFile(font) && !PathExists(target) && !CopyBootFile(font, target)) failed = true;
    CabSession cab;
    target = nimbo + "/ntldr";
    if (!PathExists(target) && !ExpandBootFile(&cab, ResolveNoCase(asset, "I386/SETUPLDR.EX_"), "SETUPLDR.EXE", target))
        failed = true;
    target = nimbo + "/startrom.n12";
    if (!PathExists(target) && !ExpandBootFile(&cab, ResolveNoCase(asset, "I386/STARTROM.N1_"), "STARTROM.N12", target))
        failed = true;
    return failed ? -1 : 0;
}

int RisBuildAsset(const BinlContext& ctx, const std::string& head) {
    std::string asset = ctx.root + "/WIA_RIS/" + head;
    std::string archName;
    int arch = RisArchitecture(asset, &archName);
    if (arch < 0) return -1;
    std::string archDir = asset + "/" + archName;
    std::string description = ResolveNoCase(asset, "NimboAsset.inf");
    if (!IsAsciiFile(description)) {
        BinlLog("BINL Err: Found non-ASCII chars in %s", description.c_str());
        return -1;
    }
    if (RisPrepareBootFiles(asset) != 0) return -1;

    std::string dat = asset + "/" + kNimboFolder + "/" + kBinlDataFile;
    uint32_t stamp = RisAssetStamp(asset, ResolveNoCase(asset, kOemNic), archDir);
    BinlAssetHeader old;
    if (IsRegularFile(dat) && ReadAssetHeader(dat, &old)) {
        auto rewrite = [&]() {
            if (!RewriteAssetHeader(dat, old)) {
                BinlLog("BINL Err: Updating %s", dat.c_str());
                return false;
            }
            BinlLog("BINL Inf: Updated\tOK, %s", dat.c_str());
            return true;
        };
        if (old.assetStamp == stamp && old.refreshed) {
            old.refreshed = 0;
            if (!rewrite()) return -1;
        }
        bool sameName = HeaderText(old.computerName) == ctx.computerName;
        bool changed = old.version != kBinlVersion || old.assetStamp != stamp;
        if (!changed && sameName) return 0;
        if (!changed) {
            // Only the computer name is new: the answer file and the header follow it.
            if (RisWriteWinntSif(ctx, head, arch) != 0) return -1;
            SetHeaderText(old.computerName, ctx.computerName);
            old.refreshed = 1;
            return rewrite() ? 0 : -1;
        }
    }
    return FullBuild(ctx, head, asset, archDir, arch, stamp);
}

int RisScanAssets(const BinlContext& ctx, int* count, bool* present, uint32_t* stamp) {
    int changed = ScanHeadFolders(
        ctx, "WIA_RIS", RisReadmeText(), [&](const std::string& head) { return RisBuildAsset(ctx, head); }, count,
        stamp);
    *present = *count > 0;
    return changed;
}
