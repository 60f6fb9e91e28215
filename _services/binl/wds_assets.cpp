#include "_services/binl/wds_assets.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "_services/binl/bcd_store.h"
#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/binl_scan.h"
#include "libs/platform/atomic_file.h"
#include "libs/platform/profile.h"
#include "libs/wim/wim_entry.h"
#include "libs/wim/wim_error.h"

namespace {

constexpr const char* kBootFolder = "$OEM$/$Boot$/$1";
constexpr const char* kNicFolder = "$OEM$/$Boot$/$1/$WinPEDriver$/NIC";
constexpr int kIncomplete = -100;  // not an asset: no message, no stamp

// The companion program builds are not carried; said once per run.
bool companionWarned = false;

std::string AssetPath(const BinlContext& ctx, const std::string& head) { return ctx.root + "/WIA_WDS/" + head; }
std::string SourceText(const std::string& head) { return "WIA_WDS\\" + head; }

// A file of the medium, its name compared without case.
std::string MediaFile(const std::string& asset, const std::string& relative) { return ResolveNoCase(asset, relative); }

const char* EfiPlatformOfBit(int bit) {
    switch (bit) {
        case kWimBitX86: return "EFI32";
        case kWimBitX64: return "EFI64";
        case kWimBitArm: return "EFIARM32";
        case kWimBitArm64: return "EFIARM64";
        default: return nullptr;
    }
}

bool FolderIsEmpty(const std::string& folder) {
    DIR* d = ::opendir(folder.c_str());
    if (!d) return true;
    bool empty = true;
    while (struct dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    ::closedir(d);
    return empty;
}

bool EndsWithTtf(const std::string& name) {
    return name.size() > 4 && StartsWithNoCase(name.substr(name.size() - 4), ".ttf");
}

// Removes the regular *.ttf files of a folder (any case), nothing below it.
void DeleteFonts(const std::string& folder) {
    for (const FolderEntry& e : ListFolder(folder))
        if (!e.isFolder && EndsWithTtf(e.name) && IsRegularFile(folder + "/" + e.name))
            ::unlink((folder + "/" + e.name).c_str());
}

// Extracts the boot fonts of the image into folder, without paths.
void ExtractFonts(const std::string& wim, const std::string& folder, const std::string& src) {
    const std::string out = folder + "/";
    bool ok =
        ExtractFromWimFile(wim.c_str(), "\\\\windows\\\\boot\\\\fonts\\\\.*\\.ttf", out.c_str(), 0, false, true) == 0 ||
        ExtractFromWimFile(wim.c_str(), "2\\\\windows\\\\boot\\\\fonts\\\\.*\\.ttf", out.c_str(), 0, false, true) == 0;
    if (ok)
        BinlLog("BINL Inf: Exp TTF\tOK, %s src=%s", folder.c_str(), src.c_str());
    else
        BinlLog("BINL Err: Failed Replacing Fonts at %s src=%s", folder.c_str(), src.c_str());
}

// A boot file of the asset: copied from sources, else taken out of the boot image.
bool GetBootFile(const std::string& asset, const std::string& wim, const char* file, const char* exact2,
                 const char* exact1, const char* pattern) {
    const std::string nimbo = asset + "/" + kNimboFolder + "/";
    const std::string source = MediaFile(asset, std::string("sources/") + file);
    if (IsRegularFile(source) && CopyFileAtomic(source, nimbo + file)) return true;
    return ExtractFromWimFile(wim.c_str(), exact2, nimbo.c_str(), 0, false, false) == 0 ||
           ExtractFromWimFile(wim.c_str(), exact1, nimbo.c_str(), 0, false, false) == 0 ||
           ExtractFromWimFile(wim.c_str(), pattern, nimbo.c_str(), 0, false, true) == 0;
}

void VersionParts(uint64_t v, int* p) {
    for (int i = 0; i < 4; ++i) p[i] = int((v >> (48 - 16 * i)) & 0xFFFF);
}

// Keeps BM/MICROSOFT/<platform>/bootmgfw.efi at the newest version the assets carry.
bool UpdateSharedBootManager(const BinlContext& ctx, const std::string& own, const char* platform,
                             const std::string& src) {
    const std::string target = ctx.root + "/BM/MICROSOFT/" + platform + "/bootmgfw.efi";
    MakePathAndWriteFile(ctx.root + "/BM/MICROSOFT/" + platform, nullptr, nullptr, 0, BINL_CREATE_NEW);
    const uint64_t newVersion = GetFileVersion64(own);
    int n[4];
    VersionParts(newVersion, n);
    if (!PathExists(target)) {
        if (!CopyFileAtomic(own, target)) {
            BinlLog("BINL Err: Copying %s src=%s", target.c_str(), src.c_str());
            return false;
        }
        BinlLog("BINL Inf: Copied\t\tOK %s %d.%d.%d.%d src=%s", target.c_str(), n[0], n[1], n[2], n[3], src.c_str());
    } else {
        const uint64_t oldVersion = GetFileVersion64(target);
        if (::access(target.c_str(), R_OK | W_OK) != 0 || newVersion == 0 || oldVersion == 0 ||
            oldVersion >= newVersion)
            return false;
        int o[4];
        VersionParts(oldVersion, o);
        CopyFileAtomic(target, target + ".bak");
        if (!CopyFileAtomic(own, target)) {
            BinlLog("BINL Err: Updating %s src=%s", target.c_str(), src.c_str());
            return false;
        }
        BinlLog("BINL Inf: Updated\tOK %s %d.%d.%d.%d from %d.%d.%d.%d src=%s", target.c_str(), n[0], n[1], n[2], n[3],
                o[0], o[1], o[2], o[3], src.c_str());
    }
    if (CopyFileAtomic(own, target + ".org"))
        BinlLog("BINL Inf: Copied\t\tOK %s src=%s", (target + ".org").c_str(), src.c_str());
    else
        BinlLog("BINL Err: Copying %s src=%s", (target + ".org").c_str(), src.c_str());
    return true;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteFileAtomic(path, text.data(), text.size());
}

}  // namespace

int WdsCheckAssetFiles(const std::string& asset) {
    bool complete = IsRegularFile(MediaFile(asset, "boot/boot.sdi")) &&
                    IsRegularFile(MediaFile(asset, "sources/boot.wim")) &&
                    (IsRegularFile(MediaFile(asset, "sources/install.wim")) ||
                     IsRegularFile(MediaFile(asset, "sources/install.esd")));
    return complete ? 0 : 3;
}

int WdsPrepareAssetTree(const BinlContext& ctx, const std::string& head) {
    const std::string asset = AssetPath(ctx, head);
    const std::string src = SourceText(head);
    const std::string nimbo = asset + "/" + kNimboFolder;
    const std::string fonts = nimbo + "/boot/Fonts";
    struct Readme {
        std::string folder;
        const std::string& text;
    } readmes[] = {
        {asset + "/" + kBootFolder, WdsBootReadmeText()},
        {asset + "/" + kNicFolder, WdsNicReadmeText()},
        {asset + "/sources/$OEM$", WdsSourcesOemReadmeText()},
        {asset + "/$OEM$", WdsOemHelpText()},
    };
    if (MakePathAndWriteFile(fonts, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;
    for (const Readme& r : readmes)
        if (MakePathAndWriteFile(r.folder, "NimboReadme.txt", r.text.data(), r.text.size(), BINL_CREATE_NEW) != 0)
            return -1;
    for (const char* sub : {"$1", "$$", "$progs", "$docs"})
        if (MakePathAndWriteFile(asset + "/sources/$OEM$/" + sub, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;

    const std::string wim = MediaFile(asset, "sources/boot.wim");
    int bit = 0;
    if (GetWimBootImageInfo(wim.c_str(), nullptr, nullptr, &bit, nullptr, nullptr) != 0) {
        BinlLog("BINL Err: Failed detecting Architecture %s", wim.c_str());
        return -1;
    }
    const char* platform = EfiPlatformOfBit(bit);
    if (!platform) {
        BinlLog("BINL Err: Architecture 0x%X is not x86/amd64/arm/arm64 %s", unsigned(bit), wim.c_str());
        return -1;
    }

    if (bit == kWimBitX86 || bit == kWimBitX64) {
        struct BootFile {
            const char *file, *exact2, *exact1, *pattern, *okFormat;
        } files[] = {
            {"pxeboot.n12", "2\\windows\\boot\\pxe\\pxeboot.n12", "1\\windows\\boot\\pxe\\pxeboot.n12",
             "\\\\pxeboot.n12$", "BINL Inf: Expandd\tOK, %s"},
            {"bootmgr.exe", "2\\windows\\boot\\pxe\\bootmgr.exe", "1\\windows\\boot\\pxe\\bootmgr.exe",
             "\\\\bootmgr.exe$", "BINL Inf: Expandd\tOK, %s "},
        };
        for (const BootFile& f : files) {
            const std::string target = nimbo + "/" + f.file;
            if (PathExists(target)) continue;
            if (!GetBootFile(asset, wim, f.file, f.exact2, f.exact1, f.pattern)) {
                BinlLog("BINL Err: Expanding %s", target.c_str());
                return -1;
            }
            BinlLog(f.okFormat, target.c_str());
        }
    }

    const std::string sdi = MediaFile(asset, "boot/boot.sdi");
    const std::string ownSdi = nimbo + "/boot/boot.sdi";
    if (!PathExists(ownSdi)) {
        if (!CopyFileAtomic(sdi, ownSdi)) {
            BinlLog("BINL Err: Copying %s", ownSdi.c_str());
            return -1;
        }
        BinlLog("BINL Inf: Copied\t\tOK, %s ", ownSdi.c_str());
    }
    const std::string sharedSdi = ctx.root + "/BM/MICROSOFT/boot.sdi";
    if (!PathExists(sharedSdi) && !CopyFileAtomic(sdi, sharedSdi)) {
        BinlLog("BINL Err: Copying %s", sharedSdi.c_str());
        return -1;
    }

    const std::string own = nimbo + "/bootmgfw.efi";
    if (!PathExists(own) && GetBootFile(asset, wim, "bootmgfw.efi", "2\\Windows\\Boot\\EFI\\bootmgfw.efi",
                                        "1\\Windows\\Boot\\EFI\\bootmgfw.efi", "\\\\bootmgfw.efi$"))
        BinlLog("BINL Inf: Expandd\tOK, %s ", own.c_str());
    const bool changed = IsRegularFile(own) && UpdateSharedBootManager(ctx, own, platform, src);

    if (FolderIsEmpty(fonts)) ExtractFonts(wim, fonts, src);
    if (!changed) return 0;
    const std::string shared = ctx.root + "/BM/MICROSOFT/" + platform + "/Fonts";
    MakePathAndWriteFile(shared, nullptr, nullptr, 0, BINL_CREATE_NEW);
    DeleteFonts(shared);
    ExtractFonts(wim, shared, src);
    return 1;
}

int WdsPrepareInjectionFiles(const BinlContext& ctx) {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    struct tm lt;
    ::localtime_r(&tv.tv_sec, &lt);
    char stampLine[64];
    std::snprintf(stampLine, sizeof stampLine, "[%02d/%02d/%d %02d:%02d:%02d.%03d] \r\n", lt.tm_mon + 1, lt.tm_mday,
                  lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec, int(tv.tv_usec / 1000));
    const std::string marker = ctx.tempFolder + "Nimbo5.tmp";
    if (!WriteText(marker,
                   std::string(stampLine) + "This WIM was edited by Nimbo v4.6.0\r\nhttps://nimbo.invalid/\r\n")) {
        BinlLog("BINL Err: ABORT, Couldn't create %s", marker.c_str());
        return -1;
    }
    const std::string shell = ctx.tempFolder + "Nimbo6.tmp";
    if (!PathExists(shell) &&
        !WriteText(shell, "[LaunchApp]\r\nAppPath = %SYSTEMROOT%\\System32\\NimboPENet.exe\r\n")) {
        BinlLog("BINL Err: ABORT, Couldn't create %s", shell.c_str());
        return -1;
    }
    // The companion program builds are not carried: the image gets its drivers and
    // NimboAsset.inf, and Windows PE keeps its own shell.
    if (!companionWarned) {
        companionWarned = true;
        BinlLog("BINL Warn: The NimboPENet builds are not carried; boot images get no NimboPENet and no Winpeshl.ini");
    }
    return 0;
}

int WdsBuildBootWim(const BinlContext& ctx, const std::string& asset) {
    const std::string source = MediaFile(asset, "sources/boot.wim");
    const std::string destination = asset + "/" + kNimboFolder + "/boot/NimboBoot.wim";
    uint32_t index = 0;
    int arch = kWimArchUnknown;
    if (GetWimBootImageArch(source.c_str(), &index, &arch) != 0 ||
        (arch != kWimArchX86 && arch != kWimArchArm && arch != kWimArchX64 && arch != kWimArchArm64)) {
        BinlLog("BINL Err: Not boot image or wrong arch %s", source.c_str());
        return -1;
    }
    if (WdsPrepareInjectionFiles(ctx) != 0) return -1;
    const std::string bootFolder = asset + "/" + kBootFolder + "/";
    const std::string nicFolder = asset + "/" + kNicFolder + "/";
    int rc = InjectIntoBootWim(0, source.c_str(), destination.c_str(), index, arch, bootFolder.c_str(),
                               nicFolder.c_str(), ctx.tempFolder.c_str());
    if (rc < 0) {
        BinlLog("BINL Err: Creating %s (%s)", destination.c_str(), WimFailureText());
        return -1;
    }
    // Nothing to add leaves the destination unwritten; the store boots it all the same.
    if (rc == 0 && !CopyFileAtomic(source, destination)) rc = -1;
    if (rc >= 0) return rc;
    BinlLog("BINL Err: Creating %s", destination.c_str());
    return -1;
}

uint32_t WdsAssetStamp(const std::string& asset) {
    uint32_t crc = Crc32Update(0, asset);
    const std::string nic = asset + "/" + kNicFolder;
    for (const FolderEntry& e : ListFolder(nic)) {
        if (e.isFolder) continue;
        FindDataBytes fd;
        if (!GetFindData(nic + "/" + e.name, &fd)) continue;
        std::memset(fd.bytes + 12, 0, 8);  // reading a file changes its last-access time
        crc = Crc32Update(crc, fd.bytes, sizeof fd.bytes);
        crc = Crc32Update(crc, e.name);
    }
    return crc;
}

void WdsFillBinlHeader(const BinlContext& ctx, const std::string& asset, BinlAssetHeader* h) {
    *h = NewAssetHeader();
    std::string image = MediaFile(asset, "sources/install.wim");
    if (!IsRegularFile(image)) image = MediaFile(asset, "sources/install.esd");
    char name[300] = {};
    uint32_t length = sizeof name;
    int bits = -1, major = -1, minor = -1;
    if (GetWimImagesSummary(image.c_str(), name, &length, &bits, &major, &minor) != 0) {
        name[0] = 0;
        bits = major = minor = -1;
    }
    std::string product, version, platform;
    const std::string inf = MediaFile(asset, "NimboAsset.inf");
    if (IsRegularFile(inf)) {
        char value[300];
        GetProfileValue("PXENIMBO_MENU_ENTRY", "asset", "", value, sizeof value, inf.c_str());
        product = TrimSpaces(std::string(value)).substr(0, 70);
        GetProfileValue("PXENIMBO_MENU_ENTRY", "platform", "", value, sizeof value, inf.c_str());
        platform = TrimSpaces(std::string(value)).substr(0, 24);
    }
    if (product.empty()) {
        product = TrimSpaces(std::string(name));
        if (product.empty() && major >= 0 && minor >= 0) version = std::to_string(major) + "." + std::to_string(minor);
    }
    if (platform.empty()) {
        static const struct {
            int bit;
            const char* text;
        } names[] = {{kWimBitX86, "x86"},
                     {kWimBitX64, "AMD64"},
                     {kWimBitIa64, "IA64"},
                     {kWimBitArm, "ARM"},
                     {kWimBitArm64, "ARM64"}};
        for (const auto& n : names) {
            if (bits <= 0 || !(bits & n.bit)) continue;
            if (!platform.empty()) platform += " & ";
            platform += n.text;
        }
        if (platform.empty()) platform = "-";
    }
    SetHeaderText(h->product, product, 70);
    SetHeaderText(h->osVersion, version);
    SetHeaderText(h->platform, platform, 24);
    SetHeaderText(h->computerName, ctx.computerName);
    h->refreshed = 1;
}

WdsStoreSpec WdsStoreSpecOf(const BinlContext& ctx, const std::string& head) {
    WdsStoreSpec s;
    const std::string inStore = "\\WIA_WDS\\" + head + "\\_NIMBO_\\boot\\";
    s.storePath = AssetPath(ctx, head) + "/" + kNimboFolder + "/boot/bcd";
    s.imagePath = inStore + "NimboBoot.wim";
    s.sdiPath = inStore + "boot.sdi";
    s.fontsPath = inStore + "Fonts";
    s.loadOptions = "NIMBO_WIA_PATH=\\\\" + ctx.computerName + "\\WIA_WDS_SHARE\\" + head;
    return s;
}

int BcdCreateWdsStore(const WdsStoreSpec& spec) {
    // The store is built in a temporary beside it and replaces it whole.
    AtomicFile store;
    if (!store.Open(spec.storePath, 0644)) return -1;
    hive_h* h = BcdCreateStore(store.TempPath());
    if (!h) return -1;
    hive_node_h bm = BcdCreateObject(h, kBcdBootManagerGuid, 0x10100002);
    BcdSetInteger(h, bm, 0x25000004, 30);
    BcdSetString(h, bm, 0x12000004, "Windows Boot Manager");
    BcdSetBoolean(h, bm, 0x260000b0, 0);
    BcdSetString(h, bm, 0x1200004a, spec.fontsPath);
    const std::string order = std::string(kBcdWdsLoaderGuid) + '\0' + '\0';
    BcdSetStringList(h, bm, 0x24000001, order.data(), order.size());

    hive_node_h os = BcdCreateObject(h, kBcdWdsLoaderGuid, 0x10200003);
    BcdSetString(h, os, 0x12000004, "Windows PE");
    BcdSetString(h, os, 0x22000002, "\\Windows");
    BcdSetBoolean(h, os, 0x26000010, 1);
    BcdSetBoolean(h, os, 0x26000022, 1);
    BcdSetString(h, os, 0x12000030, spec.loadOptions);
    const std::vector<uint8_t> device = BcdRamdiskDevice(spec.imagePath);
    BcdSetBinary(h, os, 0x11000001, device.data(), device.size());
    BcdSetBinary(h, os, 0x21000001, device.data(), device.size());

    hive_node_h rd = BcdCreateObject(h, kBcdRamdiskOptionsGuid, 0x30000000);
    BcdSetInteger(h, rd, 0x35000008, 64);
    BcdSetString(h, rd, 0x12000004, "Ramdisk Options");
    BcdSetString(h, rd, 0x32000004, spec.sdiPath);
    const std::vector<uint8_t> boot = BcdBootDevice();
    BcdSetBinary(h, rd, 0x31000003, boot.data(), boot.size());

    if (!bm || !os || !rd) {
        hivex_close(h);
        return -1;
    }
    if (BcdCommit(h) != 0 || !store.Commit()) return -1;
    return 0;
}

int WdsBuildAsset(const BinlContext& ctx, const std::string& head) {
    const std::string asset = AssetPath(ctx, head);
    if (WdsCheckAssetFiles(asset) != 0) return kIncomplete;
    int r = WdsPrepareAssetTree(ctx, head);
    if (r < 0) return r;
    for (const char* file : {"NimboAsset.inf", "$OEM$/$Boot$/$1/Unattend.ini"}) {
        const std::string path = MediaFile(asset, file);
        if (!IsAsciiFile(path)) {
            BinlLog("BINL Err: Found non-ASCII chars in %s", path.c_str());
            return -1;
        }
    }
    const uint32_t stamp = WdsAssetStamp(asset);
    const std::string dat = asset + "/" + kNimboFolder + "/" + kBinlDataFile;
    const std::string store = asset + "/" + kNimboFolder + "/boot/bcd";
    BinlAssetHeader h;
    bool writeHeader = false, rebuildStore = false;
    const bool known = ReadAssetHeader(dat, &h);
    if (known) {
        if (h.assetStamp == stamp && h.refreshed) {
            h.refreshed = 0;
            writeHeader = true;
        }
        if (h.version != kBinlVersion || h.assetStamp != stamp) {
            if (WdsBuildBootWim(ctx, asset) < 0) return -1;
            WdsFillBinlHeader(ctx, asset, &h);
            h.assetStamp = stamp;
            r = 1;
            writeHeader = rebuildStore = true;  // a renamed head folder needs its store anew
        }
        if (HeaderText(h.computerName) != ctx.computerName) {
            SetHeaderText(h.computerName, ctx.computerName);
            r = 1;
            writeHeader = rebuildStore = true;
        }
    } else {
        // The header is written only after the image was built: a failed build is retried
        // at the next run.
        if (WdsBuildBootWim(ctx, asset) < 0) return -1;
        WdsFillBinlHeader(ctx, asset, &h);
        h.assetStamp = stamp;
        r = 1;
        writeHeader = rebuildStore = true;
    }
    if (writeHeader) {
        if (!WriteAssetFile(dat, h, {})) {
            BinlLog("BINL Err: Writing to %s", dat.c_str());
            return -1;
        }
        if (known)
            BinlLog("BINL Inf: Updated\tOK, %s", dat.c_str());
        else
            BinlLog("BINL Inf: Created\t\tOK, %s", dat.c_str());
    }
    if (rebuildStore || !PathExists(store)) {
        if (BcdCreateWdsStore(WdsStoreSpecOf(ctx, head)) != 0) {
            BinlLog("BINL Err: Creating %s", store.c_str());
            return -1;
        }
        BinlLog("BINL Inf: Created\t\tOK, %s ", store.c_str());
    }
    return r;
}

int WdsScanAssets(const BinlContext& ctx, int* count, bool* present, uint32_t* stamp) {
    *count = 0;
    *present = false;
    companionWarned = false;
    const std::string unattend = ResolveNoCase(ctx.root, "WIA_WDS/Unattend.ini");
    if (!IsAsciiFile(unattend)) {
        BinlLog("BINL Err: Found non-ASCII chars in %s", unattend.c_str());
        return 0;
    }
    return ScanHeadFolders(
        ctx, "WIA_WDS", WdsReadmeText(),
        [&](const std::string& head) {
            if (WdsCheckAssetFiles(AssetPath(ctx, head)) != 0) return kIncomplete;
            *present = true;
            return WdsBuildAsset(ctx, head);
        },
        count, stamp);
}
