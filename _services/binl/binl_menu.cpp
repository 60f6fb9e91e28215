#include "_services/binl/binl_menu.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_records.h"
#include "_services/host_records.h"
#include "libs/platform/str_format.h"

namespace {

const char* const kFolders[PLATFORM_COUNT] = {"BIOS", "EFI32", "EFI64", "EFIARM32", "EFIARM64"};
const char* const kMenuNames[PLATFORM_COUNT] = {"BIOS", "EFI32", "EFI64", "ARM", "ARM64"};

// Debian's syslinux carries no COMBOOT chain loader for Windows network boot programs;
// BIOS entries chain through pxechn.c32 with the same argument.
constexpr const char* kBiosChainKernel = "pxechn.c32";
constexpr const char* kEfiChainKernel = "pxechn.c32";

const char* const kTempFiles[] = {"nimbo.menu.def.tmp", "nimbo.default_wia_ris.tmp", "nimbo.default_wia_wds.tmp",
                                  "nimbo.default_nwa_pxe.tmp"};

void DeleteTempFiles(const BinlContext& ctx) {
    for (const char* name : kTempFiles) ::unlink((ctx.tempFolder + name).c_str());
}

bool Contains(const std::string& text, const char* what) { return text.find(what) != std::string::npos; }

// Whether a WDS asset with this platform text belongs in the menu of the platform.
bool WdsAssetFits(int platform, const std::string& text, bool hasBootManager, std::string* kernel,
                  std::string* bootName) {
    if (platform == PLATFORM_BIOS) {
        if (Contains(text, "ARM")) return false;
        *kernel = kBiosChainKernel;
        *bootName = "pxeboot.n12";
        return true;
    }
    bool fits = false;
    switch (platform) {
        case PLATFORM_EFI32: fits = Contains(text, "x86"); break;
        case PLATFORM_EFI64: fits = Contains(text, "AMD64"); break;
        case PLATFORM_EFIARM64: fits = Contains(text, ",ARM64") || Contains(text, "ARM64,") || text == "ARM64"; break;
        case PLATFORM_EFIARM32: fits = Contains(text, ",ARM") || Contains(text, "ARM,") || text == "ARM"; break;
        default: break;
    }
    if (!fits || !hasBootManager) return false;
    *kernel = kEfiChainKernel;
    *bootName = "bootmgfw.efi";
    return true;
}

// In boot-manager mode 1 the EFI clients start pxenimbo.efi, which has no module that can
// chain to a Windows boot manager: WDS entries of the EFI32 and EFI64 menus could not boot.
// (In mode 3 those menus feed the EFI menu stores and keep them.)
bool EfiMenuLeavesOutWds(const BinlContext& ctx, int platform) {
    return ctx.bmMode == 1 && (platform == PLATFORM_EFI32 || platform == PLATFORM_EFI64);
}

// Reads an NWA data file and its nine records; false (with the message) when it cannot be used.
bool LoadNwaRecords(const std::string& datPath, BinlAssetHeader* header, std::string (&records)[kMenuStringCount]) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(datPath, &bytes)) {
        BinlLog("BINL Err: ABORT, Couldn't load %s", datPath.c_str());
        return false;
    }
    if (bytes.size() < sizeof(BinlAssetHeader) || !ParseMenuStringRecords(bytes.data(), bytes.size(), records)) {
        BinlLog("BINL Err: Bad Format %s", datPath.c_str());
        return false;
    }
    std::memcpy(header, bytes.data(), sizeof *header);
    return true;
}

// Texts from a data file go into one menu line each: a line break (a damaged or planted file
// in the served tree) ends the text, so it cannot add lines of its own to the menu.
std::string OneLine(const std::string& text) { return text.substr(0, text.find_first_of("\r\n")); }

std::string ProductOf(const BinlAssetHeader& h) {
    std::string s = OneLine(HeaderText(h.product));
    return s.empty() ? "Product ?" : s;
}
std::string PlatformOf(const BinlAssetHeader& h) {
    std::string s = OneLine(HeaderText(h.platform));
    return s.empty() ? "Platform ?" : s;
}

}  // namespace

const char* PlatformFolder(int platform) {
    return platform >= 0 && platform < PLATFORM_COUNT ? kFolders[platform] : "";
}

const char* PlatformMenuName(int platform) {
    return platform >= 0 && platform < PLATFORM_COUNT ? kMenuNames[platform] : "";
}

std::string MenuDefPath(const BinlContext& ctx, int platform) {
    return ctx.root + "/BM/PXENIMBO/" + PlatformFolder(platform) + "/pxenimbo.cfg/menu.def";
}

int MenuPlatformOfPath(const std::string& menuPath) {
    // .../<platform>/pxenimbo.cfg/menu.def: the component two above the file.
    std::string p = menuPath;
    for (int up = 0; up < 2; ++up) {
        size_t sep = p.find_last_of("/\\");
        if (sep == std::string::npos) return -1;
        p.resize(sep);
    }
    size_t sep = p.find_last_of("/\\");
    std::string folder = sep == std::string::npos ? p : p.substr(sep + 1);
    for (int i = 0; i < PLATFORM_COUNT; ++i)
        if (folder == kFolders[i]) return i;
    return -1;
}

std::string MenuHeaderText(int platform) {
    const char* name = PlatformMenuName(platform);
    const std::string rule(76, '#');
    std::string t;
    t += rule + "\r\n";
    t += StrFormat("# %s multi-OS PXE Boot/Install Menu definition (%s)\r\n", ProgramTitle, name);
    t += "# Written and kept up to date by the Nimbo developers, 2014-2026\r\n";
    t += rule + "\r\n";
    t += "\r\n";
    t += "NOESCAPE           1\r\n"
         "PROMPT             0\r\n"
         "\r\n"
         "F1                 pxenimbo.cfg/F1\r\n"
         "\r\n"
         "menu color title   1;37;44     #FFFFFFFF *\r\n"
         "menu color border  37;44       #80FFFFFF #00000000 none\r\n"
         "menu color sel     *           #FFFFFFFF #76A1D0FF *\r\n"
         "menu color hotsel  1;7;37;40   #FFFFFFFF #76A1D0FF *\r\n"
         "menu color tabmsg  37;40       #FFFFFFFF #00000000 *\r\n"
         "menu color help    37;40       #FFDDDD00 #00000000 none\r\n"
         "\r\n"
         "menu margin        4\r\n"
         "menu width         78\r\n"
         "menu rows          15\r\n"
         "\r\n"
         "menu helpmsgrow    22\r\n"
         "menu helpmsgendrow 24\r\n"
         "menu tabmsgrow     21\r\n"
         "\r\n";
    t += StrFormat("menu title         %s multi-OS PXE Boot/Install Menu (%s)\r\n", ProgramTitle, name);
    t += "menu notabmsg      Select an option and press ENTER to boot/install, or F1 for Help\r\n"
         "\r\n"
         "\r\n";
    return t;
}

std::string MenuAssetEntryText(const char* kind, const std::string& head, int number, const std::string& product,
                               const std::string& platformText, bool defaultLine, const std::string& kernel,
                               const std::string& bootFile) {
    std::string label = std::string(kind) + "\\" + head + "\\";
    const char* dflt = "";
    if (defaultLine)
        dflt = std::strcmp(kind, "WIA_RIS") == 0 ? "   menu         default\r\n" : "   menu\t\tdefault\r\n";
    return StrFormat(
        "\r\nLABEL   %s\r\n   menu label   ^ %2d) %s, %s\r\n%s   kernel       %s\r\n   append       ::%s\r\n",
        label.c_str(), number, product.c_str(), platformText.c_str(), dflt, kernel.c_str(), bootFile.c_str());
}

std::string MenuNwaEntryText(const std::string& head, int number, const std::string& product,
                             const std::string& platformText, const std::string& kernel, const std::string& append,
                             const std::string& ipappend) {
    std::string label = "NWA_PXE\\" + head + "\\";
    bool ip = !ipappend.empty();
    return StrFormat(
        "\r\nLABEL   %s\r\n   menu label   ^ %2d) %s, %s\r\n   kernel       %s\r\n   append       %s\r\n%s%s%s",
        label.c_str(), number, product.c_str(), platformText.c_str(), kernel.c_str(), append.c_str(),
        ip ? "   ipappend     " : "", ip ? ipappend.c_str() : "", ip ? "\r\n" : "");
}

bool IsUsableHeadFolder(const std::string& name) {
    // A control character (a line break above all) would end the menu line that names the
    // folder and start lines of its own.
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) return false;
    return !StartsWithNoCase(name, "off_") && name.find(' ') == std::string::npos &&
           name.find('?') == std::string::npos;
}

std::vector<std::string> WdsEntriesLeftOutOfEfiMenus(const BinlContext& ctx) {
    std::vector<std::string> out;
    const std::string kindPath = ctx.root + "/WIA_WDS";
    for (const FolderEntry& e : ListFolder(kindPath)) {
        if (!e.isFolder || !IsUsableHeadFolder(e.name)) continue;
        const std::string asset = kindPath + "/" + e.name + "/" + kNimboFolder;
        BinlAssetHeader h;
        if (!ReadAssetHeader(asset + "/" + kBinlDataFile, &h)) continue;
        const bool hasBootManager = IsRegularFile(asset + "/bootmgfw.efi");
        std::string kernel, bootName;
        for (int platform : {PLATFORM_EFI32, PLATFORM_EFI64}) {
            if (!EfiMenuLeavesOutWds(ctx, platform) ||
                !WdsAssetFits(platform, HeaderText(h.platform), hasBootManager, &kernel, &bootName))
                continue;
            out.push_back("WIA_WDS\\" + e.name + "\\");
            break;
        }
    }
    return out;
}

int CheckOffDuplicate(const std::string& root, const char* kind, const std::string& head) {
    if (!PathExists(root + "/" + kind + "/off_" + head)) return 0;
    BinlLog("BINL Err: ABORT, \\%s contains both \"%s\" and its off_ version", kind, head.c_str());
    return 1;
}

int InstallIfChanged(const std::string& newFile, const std::string& target) {
    if (!PathExists(newFile)) return -1;
    if (!PathExists(target)) return CopyFileAtomic(newFile, target) ? 0 : 1;
    std::vector<uint8_t> fresh, old;
    for (auto [path, buf] : {std::pair{&newFile, &fresh}, std::pair{&target, &old}}) {
        if (!ReadWholeFile(*path, buf)) {
            BinlLog("BINL Err: ABORT, Couldn't load %s", path->c_str());
            return -1;
        }
    }
    if (fresh == old) return 0;
    std::string bak = target + ".bak";
    if (CopyFileAtomic(target, bak))
        BinlLog("BINL Inf: Created\t\tOK, %s", bak.c_str());
    else
        BinlLog("BINL Warn: Couldn't Create %s", bak.c_str());
    if (!CopyFileAtomic(newFile, target)) {
        BinlLog("BINL Err: ABORT, Couldn't Create %s", target.c_str());
        return -1;
    }
    BinlLog("BINL Inf: Created\t\tOK, %s", target.c_str());
    return 0;
}

int BinlBuildMenuDef(const BinlContext& ctx, const std::string& menuPath) {
    int platform = MenuPlatformOfPath(menuPath);
    std::string tmpPath = ctx.tempFolder + "nimbo.menu.def.tmp";
    DeleteTempFiles(ctx);
    if (platform < 0) {
        BinlLog("BINL Err: Creating %s", tmpPath.c_str());
        return -1;
    }
    std::string text = MenuHeaderText(platform);
    int number = 0;

    // Walks the usable head folders of a kind that hold a data file; -1 on an off_ twin.
    auto eachAsset = [&](const char* kind, auto&& fn) -> int {
        std::string kindPath = ctx.root + "/" + kind;
        for (const FolderEntry& e : ListFolder(kindPath)) {
            if (!e.isFolder || !IsUsableHeadFolder(e.name)) continue;
            std::string dat = kindPath + "/" + e.name + "/" + kNimboFolder + "/" + kBinlDataFile;
            if (!IsRegularFile(dat)) continue;
            if (CheckOffDuplicate(ctx.root, kind, e.name)) return -1;
            fn(e.name, dat);
        }
        return 0;
    };

    if (platform == PLATFORM_BIOS) {
        int rc = eachAsset("WIA_RIS", [&](const std::string& head, const std::string& dat) {
            BinlAssetHeader h;
            if (!ReadAssetHeader(dat, &h)) return;
            ++number;
            text += MenuAssetEntryText("WIA_RIS", head, number, ProductOf(h), PlatformOf(h), number == 1,
                                       kBiosChainKernel, "WIA_RIS\\" + head + "\\_NIMBO_\\startrom.n12");
        });
        if (rc < 0) return -1;
    }
    int rc = eachAsset("WIA_WDS", [&](const std::string& head, const std::string& dat) {
        BinlAssetHeader h;
        if (!ReadAssetHeader(dat, &h)) return;
        std::string platformText = HeaderText(h.platform);
        bool hasBootManager = IsRegularFile(ctx.root + "/WIA_WDS/" + head + "/_NIMBO_/bootmgfw.efi");
        std::string kernel, bootName;
        if (!WdsAssetFits(platform, platformText, hasBootManager, &kernel, &bootName)) return;
        if (EfiMenuLeavesOutWds(ctx, platform)) return;
        ++number;
        text += MenuAssetEntryText("WIA_WDS", head, number, ProductOf(h), PlatformOf(h), number == 1, kernel,
                                   "WIA_WDS\\" + head + "\\_NIMBO_\\" + bootName);
    });
    if (rc < 0) return -1;
    if (platform <= PLATFORM_EFI64) {
        rc = eachAsset("NWA_PXE", [&](const std::string& head, const std::string& dat) {
            BinlAssetHeader h;
            std::string records[kMenuStringCount];
            if (!LoadNwaRecords(dat, &h, records)) return;
            const std::string* r = records + 3 * platform;
            if (OneLine(r[0]).empty()) return;
            ++number;
            text += MenuNwaEntryText(head, number, ProductOf(h), PlatformOf(h), OneLine(r[0]), OneLine(r[1]),
                                     OneLine(r[2]));
        });
        if (rc < 0) return -1;
    }

    if (MakePathAndWriteFile(StripTrailingSeparators(ctx.tempFolder), "nimbo.menu.def.tmp", text.data(), text.size(),
                             BINL_CREATE_ALWAYS) != 0) {
        BinlLog("BINL Err: Writing to %s", "nimbo.menu.def.tmp");
        DeleteTempFiles(ctx);
        return -1;
    }
    if (number == 0) BinlLog("BINL Warn: Nimbo assets not found when creating %s", menuPath.c_str());
    int installed = InstallIfChanged(tmpPath, menuPath);
    DeleteTempFiles(ctx);
    return installed == 0 ? 0 : -1;
}
