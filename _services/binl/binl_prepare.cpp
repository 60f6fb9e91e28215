#include "_services/binl/binl_prepare.h"
#include "_services/binl/testshare.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_nwa.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/binl_texts.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/host_info.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "data/carried_archives.h"
#include "libs/wim/archive_extract.h"

std::atomic<int> RisTableUnavailable{1};

namespace {

// Platforms of the boot-manager pairs in the order they are maintained.
const int kBootManagerOrder[] = {PLATFORM_EFI64, PLATFORM_EFI32, PLATFORM_EFIARM64, PLATFORM_EFIARM32};

// Folded into the asset stamp in boot-manager mode 3 (mode 1 leaves it as it was).
constexpr uint32_t kBmMode3Stamp = 0x33444D42u;

// The components kept open, below root/BM/PXENIMBO, with the code that names each.
// Debian's syslinux has no "pxechain.cbt": its place is held by pxechn.c32.
struct Held {
    const char* path;
    int code;
};
const Held kHeld[] = {
    {"BIOS/pxenimbo.0", 246},    {"BIOS/vesamenu.c32", 245},  {"BIOS/pxechn.c32", 244},    {"BIOS/memdisk", 243},
    {"BIOS/mboot.c32", 242},     {"BIOS/chain.c32", 241},     {"EFI32/pxenimbo.efi", 240}, {"EFI32/vesamenu.c32", 239},
    {"EFI64/pxenimbo.efi", 238}, {"EFI64/vesamenu.c32", 237},
};

// Opens a file read-only and takes a shared lock: others may read it but not replace it
// through the TFTP server (whose writers need an exclusive lock).
int OpenHeld(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SetNormalAttributes(const std::string& path) { return ::chmod(path.c_str(), 0644) == 0; }

void Step(BinlRun* run, const char* name) {
    if (run->onStep) run->onStep(name);
}

std::string BootManagerPath(const BinlContext& ctx, int platform) {
    return ctx.root + "/BM/MICROSOFT/" + PlatformFolder(platform) + "/bootmgfw.efi";
}

std::string StorePath(const BinlContext& ctx, int platform) {
    if (platform == PLATFORM_BIOS) return "";
    return ctx.root + "/BM/MICROSOFT/" + PlatformFolder(platform) + "/bcd";
}

}  // namespace

BinlRun::BinlRun() {
    for (int& fd : held) fd = -1;
}

BinlRun::~BinlRun() {
    for (int& fd : held) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    if (!privateTemp.empty()) {
        BinlDeleteTempFiles(ctx);
        ::rmdir(privateTemp.c_str());
    }
    if (countRaised) BinlPreparationCount.fetch_sub(1);
}

int BinlCreateBmTree(const BinlContext& ctx) {
    for (int p = 0; p < PLATFORM_COUNT; ++p) {
        std::string folder = ctx.root + "/BM/PXENIMBO/" + PlatformFolder(p) + "/pxenimbo.cfg";
        if (MakePathAndWriteFile(folder, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;
    }
    for (int p = PLATFORM_EFI32; p < PLATFORM_COUNT; ++p) {
        std::string folder = ctx.root + "/BM/MICROSOFT/" + PlatformFolder(p);
        if (MakePathAndWriteFile(folder, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;
        if (MakePathAndWriteFile(folder + "/Fonts", nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;
    }
    return 0;
}

int BinlWriteF1Files(const BinlContext& ctx) {
    const std::string& f1 = F1HelpScreen();
    for (int p = PLATFORM_BIOS; p <= PLATFORM_EFI64; ++p) {
        std::string folder = ctx.root + "/BM/PXENIMBO/" + PlatformFolder(p) + "/pxenimbo.cfg";
        if (MakePathAndWriteFile(folder, "F1", f1.data(), f1.size(), BINL_CREATE_NEW) != 0) return -1;
    }
    return 0;
}

void BinlDeleteTempFiles(const BinlContext& ctx) {
    if (ctx.tempFolder.empty()) return;
    ::unlink((ctx.tempFolder + "Nimbo.tmp").c_str());
    for (int i = 1; i <= 8; ++i) ::unlink((ctx.tempFolder + "Nimbo" + std::to_string(i) + ".tmp").c_str());
}

bool BinlAssetStampHolds(const BinlContext& ctx, uint32_t stamp) {
    std::vector<uint8_t> old;
    const uint8_t bytes[4] = {uint8_t(stamp), uint8_t(stamp >> 8), uint8_t(stamp >> 16), uint8_t(stamp >> 24)};
    return ReadWholeFile(ctx.root + "/astamp.dat", &old) && old.size() >= 4 && std::memcmp(old.data(), bytes, 4) == 0;
}

int BinlUpdateAssetStamp(const BinlContext& ctx, uint32_t stamp) {
    if (BinlAssetStampHolds(ctx, stamp)) return 0;
    std::string path = ctx.root + "/astamp.dat";
    const uint8_t bytes[4] = {uint8_t(stamp), uint8_t(stamp >> 8), uint8_t(stamp >> 16), uint8_t(stamp >> 24)};
    if (!WriteFileAtomic(path, bytes, 4)) BinlLog("BINL Err: Writing to %s", path.c_str());
    return 1;
}

void BinlMaintainEfiBootManagers(const BinlContext& ctx, bool* changed) {
    (void)changed;  // modes 1 and 3 never report a change
    for (int platform : kBootManagerOrder) {
        std::string live = BootManagerPath(ctx, platform);
        std::string backup = live + ".org";
        bool liveExists = IsRegularFile(live);
        bool backupExists = IsRegularFile(backup);
        uint64_t liveVersion = liveExists ? GetFileVersion64(live) : 0;
        uint64_t backupVersion = backupExists ? GetFileVersion64(backup) : 0;
        bool liveIntact = liveExists && HasMuiResource(live) > 0;
        bool backupIntact = backupExists && HasMuiResource(backup) > 0;

        if (liveExists) {
            if (!backupExists && liveIntact) {
                if (CopyFileAtomic(live, backup)) {
                    SetNormalAttributes(backup);
                    backupExists = backupIntact = true;
                    BinlLog("BINL Warn: Recovering erased %s", backup.c_str());
                }
            } else if (!backupExists) {
                SetNormalAttributes(live);
                ::unlink(live.c_str());
                BinlLog("BINL Warn: Original missing, deleting %s", live.c_str());
                liveExists = liveIntact = false;
            } else if (liveIntact) {
                uint64_t mask = platform == PLATFORM_EFI32 ? 0xFFFFFFFFull : ~0ull;
                uint64_t l = liveVersion & mask, b = backupVersion & mask;
                // Read-only as the attribute: no write bit at all (root may write anyway).
                struct stat st {};
                bool readOnly = ::stat(live.c_str(), &st) == 0 && !(st.st_mode & 0222);
                if (l > b || (l < b && readOnly)) {
                    if (CopyFileAtomic(live, backup)) {
                        SetNormalAttributes(backup);
                        backupIntact = HasMuiResource(backup) > 0;
                        BinlLog("BINL Warn: Updating %s", backup.c_str());
                    }
                }
            }
        }
        if (ctx.bmMode == 3 && backupExists && backupIntact) {
            if (!liveExists) {
                if (CopyFileAtomic(backup, live)) {
                    SetNormalAttributes(live);
                    BinlLog("BINL Inf: BM_mode=3, recreating missing %s", live.c_str());
                }
            } else if (!liveIntact) {
                struct stat st {};
                bool haveMode = ::stat(live.c_str(), &st) == 0;
                if (CopyFileAtomic(backup, live)) {
                    if (haveMode) ::chmod(live.c_str(), st.st_mode & 07777);
                    BinlLog("BINL Inf: BM_mode=3, updating %s", live.c_str());
                }
            }
        }
    }
}

int BinlExtractBmComponents(BinlRun* run, uint32_t* clearedRows) {
    *clearedRows = 0;
    const BinlContext& ctx = run->ctx;
    const void* archive = run->archive;
    uint32_t size = run->archiveSize;
    if (!archive) {
        CarriedBytes carried = BootComponentArchive();
        archive = carried.data;
        size = carried.size;
    }
    if (ExtractFrom7zBuffer(archive, size, "^BM.*", ctx.root.c_str(), 0, true, true) != 0) {
        BinlLog("BINL Err: ABORT, Couldn't create %s", "BM components");
        return -9;
    }
    for (int& fd : run->held) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int slot = 0;
    for (const Held& h : kHeld) {
        std::string path = ctx.root + "/BM/PXENIMBO/" + h.path;
        int fd = OpenHeld(path);
        if (fd < 0) {
            BinlLog("BINL Err: ABORT, Couldn't access %s", path.c_str());
            return h.code;
        }
        run->held[slot++] = fd;
    }
    if (ctx.bmMode == 2 || ctx.bmMode == 3) {
        for (int platform = PLATFORM_EFI32; platform < PLATFORM_COUNT; ++platform) {
            std::string path = BootManagerPath(ctx, platform);
            if (!PathExists(path)) continue;
            int fd = OpenHeld(path);
            if (fd >= 0) {
                run->held[slot++] = fd;
                continue;
            }
            BinlLog("BINL Warn: Unavailable Boot Manager %s", path.c_str());
            switch (platform) {
                case PLATFORM_EFI32: *clearedRows |= 1u << 6; break;
                case PLATFORM_EFI64: *clearedRows |= (1u << 7) | (1u << 9); break;
                case PLATFORM_EFIARM32: *clearedRows |= 1u << 10; break;
                case PLATFORM_EFIARM64: *clearedRows |= 1u << 11; break;
                default: break;
            }
        }
    }
    return 0;
}

void BinlWriteBootProgramFlags(DhcpSettings* s, const std::string& rootSetting) {
    for (int row = 0; row < kFilledArchRows; ++row) {
        ArchBootRow& boot = s->BootFileTable.rows[row];
        if (boot.declared) {
            std::string text(boot.text, strnlen(boot.text, sizeof boot.text));
            std::string path = ResolveNoCase(rootSetting, text);
            struct stat st {};
            boot.present = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? 1 : 0;
            if (boot.present) boot.sizeBlocks = SizeInBlocks(uint64_t(st.st_size));
        }
        ArchBootRow& opt = s->Option67Table.rows[row];
        if (opt.declared) {
            opt.present = boot.present;
            if (boot.present) opt.sizeBlocks = boot.sizeBlocks;
        }
    }
}

namespace {

int PrepareSteps(BinlRun* run);

}  // namespace

int BinlPrepare(BinlRun* run) {
    run->stopReason.clear();
    if (PrepareSteps(run) == 0) return 0;
    if (run->stopReason.empty()) run->stopReason = "unknown failure";
    BinlLog(
        "BINL Err: Preparation/Maintenance procedures stopped: %s; DHCP requests stay on hold until the "
        "services restart",
        run->stopReason.c_str());
    return -1;
}

bool BinlWaitForDhcpSettings(int timeoutMs, const std::function<bool()>& keepGoing) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!DhcpSettingsPublished()) {
        if (!keepGoing()) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            BinlLog("BINL Err: DHCP settings not loaded after %d s; preparing without waiting further",
                    timeoutMs / 1000);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

namespace {

int PrepareSteps(BinlRun* run) {
    BinlContext& ctx = run->ctx;
    auto stop = [run](const std::string& reason) {
        run->stopReason = reason;
        return -1;
    };
    if (!run->countRaised) {
        BinlPreparationCount.fetch_add(1);
        run->countRaised = true;
    }
    Step(run, "raised");

    GlobalSettings settings = SettingsSnapshot();
    std::shared_ptr<const DhcpConfig> dhcp = DhcpSettingsSnapshot();
    std::string failed;  // the checks that failed
    auto fail = [&failed](const char* reason) { failed += (failed.empty() ? "" : ", ") + std::string(reason); };
    if (!(settings.NIMBO_Services & SVC_TFTP_SERVER)) {
        BinlLog("BINL Err: ABORT, Nimbo's TFTP service is Off");
        fail("the TFTP service is off");
    }
    if (dhcp && !dhcp->rec.DHCP_BootFile[0] && !dhcp->defaultBootFileList.empty()) {
        // Every settings key is optional: without a boot file BINL serves the default list of
        // its mode, as the settings page would have filled it in.
        bool taken = false;
        DhcpConfigUpdate([&taken](DhcpConfig& cfg) { taken = TakeDefaultBootFile(&cfg); });
        dhcp = DhcpSettingsSnapshot();
        if (taken)
            BinlLog("BINL Inf: DHCP \"Boot File\" not set, the default list of boot-manager mode %d is used: %s",
                    dhcp->rec.BmMode == 3 ? 3 : 1, dhcp->defaultBootFileList.c_str());
    }
    std::string bootFile =
        dhcp ? std::string(dhcp->rec.DHCP_BootFile, strnlen(dhcp->rec.DHCP_BootFile, sizeof dhcp->rec.DHCP_BootFile))
             : std::string();
    if (!dhcp || dhcp->defaultBootFileList.empty() || bootFile != dhcp->defaultBootFileList) {
        BinlLog("BINL Err: ABORT, DHCP \"Boot File\" is not correct");
        fail(!dhcp || dhcp->defaultBootFileList.empty() ? "the DHCP settings are not loaded"
                                                        : "the DHCP \"Boot File\" is not the default list");
    }
    ctx.bmMode = dhcp && dhcp->rec.BmMode == 3 ? 3 : 1;
    ctx.computerName = BinlComputerName();
    if (ctx.computerName.empty()) {
        BinlLog("BINL Err: ABORT, Couldn't get Nimbo's computer name");
        fail("no computer name");
    }
    if (run->privateTemp.empty()) run->privateTemp = MakePrivateTempFolder();
    ctx.tempFolder = run->privateTemp;
    if (ctx.tempFolder.empty()) {
        BinlLog("BINL Err: ABORT, Couldn't get TEMP/TMP environment variable");
        fail("no temporary folder");
    }

    std::string rootSetting(settings.TFTP_RootDirectory,
                            strnlen(settings.TFTP_RootDirectory, sizeof settings.TFTP_RootDirectory));
    ctx.root = StripTrailingSeparators(rootSetting);
    if (ctx.root.empty() || !IsDirectory(ctx.root) || ::access(ctx.root.c_str(), R_OK | W_OK | X_OK) != 0) {
        BinlLog("BINL Err: ABORT, Cannot access TFTP root %s", ctx.root.c_str());
        return stop("the TFTP root cannot be accessed");
    }
    if (BinlCreateBmTree(ctx) != 0) {
        BinlLog("BINL Err: ABORT, Couldn't create BM directories");
        return stop("the BM folders cannot be created");
    }
    if (BinlWriteF1Files(ctx) != 0) {
        BinlLog("BINL Err: ABORT, Couldn't create PXENIMBO F1 files");
        return stop("the help screens cannot be written");
    }
    Step(run, "tree");
    if (!failed.empty()) return stop(failed);
    if (!run->keepGoing()) return stop("the service was stopped");

    BinlDeleteTempFiles(ctx);
    BinlLog("BINL Inf: Preparation/Maintenance procedures \"Start\"\t**");

    bool changed = false;
    BinlMaintainEfiBootManagers(ctx, &changed);
    uint32_t stamp = 0;
    int risCount = 0, wdsCount = 0, nwaCount = 0;
    bool risFlag = false, wdsFlag = false, nwaFlag = false;
    if (RisScanAssets(ctx, &risCount, &risFlag, &stamp) == 1) changed = true;
    if (WdsScanAssets(ctx, &wdsCount, &wdsFlag, &stamp) == 1) changed = true;
    if (NwaScanAssets(ctx, &nwaCount, &nwaFlag, &stamp) == 1) changed = true;
    // The stamp is stored only once the menus are built from these assets: a run whose menu
    // step stops leaves the old stamp, so the next run rebuilds the menus.
    // Which menus list the WDS assets depends on the boot-manager mode: a change of mode
    // changes the stamp, and the menus are built again.
    if (ctx.bmMode == 3) stamp ^= kBmMode3Stamp;
    if (!BinlAssetStampHolds(ctx, stamp)) changed = true;
    Step(run, "assets");
    if (!run->keepGoing()) return stop("the service was stopped");

    bool menuRebuilt = false;
    for (int p = 0; p < PLATFORM_COUNT; ++p) {
        std::string menu = MenuDefPath(ctx, p);
        if (!PathExists(menu) || changed) {
            if (BinlBuildMenuDef(ctx, menu) != 0) {
                BinlLog("BINL Err: creating %s", menu.c_str());
                return stop("the menu " + menu + " cannot be built");
            }
            BinlLog("BINL Inf: Created\t\tOK, %s", menu.c_str());
            menuRebuilt = true;
        }
        std::string store = StorePath(ctx, p);
        if (menuRebuilt || !PathExists(store)) {
            if (BinlBuildEfiMenu(ctx, menu, store) != 0) {
                BinlLog("BINL Err: Updating %s", store.c_str());
                return stop("the EFI menu store " + store + " cannot be built");
            }
        }
    }
    BinlUpdateAssetStamp(ctx, stamp);
    std::vector<std::string> leftOut = WdsEntriesLeftOutOfEfiMenus(ctx);
    if (!leftOut.empty()) {
        std::string names;
        for (const std::string& n : leftOut) names += (names.empty() ? "" : ", ") + n;
        BinlLog(
            "BINL Warn: EFI menus leave out %s: pxenimbo.efi cannot chain to a Windows boot manager "
            "(boot-manager mode 1; mode 3 boots them)",
            names.c_str());
    }
    Step(run, "menus");
    if (!run->keepGoing()) return stop("the service was stopped");

    // Rows whose boot manager cannot be held lose their present flag (declared rows get
    // theirs again from the files below).
    uint32_t clearedRows = 0;
    if (BinlExtractBmComponents(run, &clearedRows) != 0) {
        BinlLog("BINL Err: Extracting BM components");
        return stop("the boot components cannot be unpacked");
    }
    Step(run, "components");

    if (BinlLoadRisAssetTable(ctx, risCount) == 0) RisTableUnavailable.store(0);
    if (risFlag) TestShare(ctx, 0);
    if (wdsFlag) TestShare(ctx, 1);
    if (nwaFlag) TestShare(ctx, 2);

    BinlDeleteTempFiles(ctx);
    BinlLog("BINL Inf: Preparation/Maintenance procedures \"End\"\t\t**");

    DhcpSettingsUpdate([&](DhcpSettings& s) {
        for (int r = 0; r < kFilledArchRows; ++r)
            if (clearedRows & (1u << r)) s.BootFileTable.rows[r].present = 0;
        BinlWriteBootProgramFlags(&s, rootSetting);
    });
    Step(run, "flags");
    BinlPreparationCount.fetch_sub(1);
    run->countRaised = false;
    return 0;
}

}  // namespace

std::string BinlComputerName() {
    std::string name;
    if (FILE* p = ::popen("testparm -s --parameter-name=\"netbios name\" 2>/dev/null", "re")) {
        char line[256];
        if (std::fgets(line, sizeof line, p)) name = TrimSpaces(std::string(line));
        ::pclose(p);
    }
    if (name.empty()) {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) == 0) {
            name = host;
            name = name.substr(0, name.find('.'));
        }
    }
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = char(c - 32);
    return name.substr(0, 15);
}
