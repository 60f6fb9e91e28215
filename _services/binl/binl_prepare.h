// The preparation of the TFTP root that the BINL thread runs once per start: checks, the
// BM tree and help screens, boot managers, assets, menus, boot components and the
// boot-program flags of the DHCP settings.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "_services/binl/binl_context.h"

struct DhcpSettings;

constexpr int kHeldComponents = 50;

// Cleared once the network-card table is built; set again when the thread stops.
extern std::atomic<int> RisTableUnavailable;

// One run of the preparation and what it holds until the thread ends.
struct BinlRun {
    BinlContext ctx;
    int held[kHeldComponents];  // boot components kept open (read-locked), -1 when empty
    bool countRaised = false;   // BinlPreparationCount is raised by this run
    std::string stopReason;     // why the run stopped, when it did
    std::string privateTemp;    // the private temporary folder made for this run
    // Stops the run between steps when it returns false (the row was stopped).
    std::function<bool()> keepGoing = [] { return true; };
    // Called after each named step (tests look at the state there).
    std::function<void(const char* step)> onStep;
    // The boot-component archive (defaults to the one the program carries).
    const void* archive = nullptr;
    uint32_t archiveSize = 0;

    BinlRun();
    ~BinlRun();  // closes the held components and removes the private temporary folder
    BinlRun(const BinlRun&) = delete;
    BinlRun& operator=(const BinlRun&) = delete;
};

// Runs the whole preparation. 0: completed (the count was lowered); -1: stopped on a
// failure or because the row was stopped (the count stays raised while run lives), with
// the reason in stopReason and in the log.
int BinlPrepare(BinlRun* run);

// Waits until the DHCP settings have been published (the DHCP threads load the stored
// leases first), at most timeoutMs, while keepGoing holds. False when it gave up (logged)
// or was stopped.
bool BinlWaitForDhcpSettings(int timeoutMs, const std::function<bool()>& keepGoing);

// The steps, exposed for tests.
int BinlCreateBmTree(const BinlContext& ctx);
int BinlWriteF1Files(const BinlContext& ctx);
void BinlDeleteTempFiles(const BinlContext& ctx);
// Whether astamp.dat holds the stamp; BinlUpdateAssetStamp writes it when it does not
// (0 unchanged, 1 written).
bool BinlAssetStampHolds(const BinlContext& ctx, uint32_t stamp);
int BinlUpdateAssetStamp(const BinlContext& ctx, uint32_t stamp);
void BinlMaintainEfiBootManagers(const BinlContext& ctx, bool* changed);
// 0, 246..237 (the component that cannot be opened), -9 extraction failed. clearedRows gets
// a bit per BootFileTable row whose boot manager cannot be held (modes 2 and 3).
int BinlExtractBmComponents(BinlRun* run, uint32_t* clearedRows);
// Writes present flags and sizes of the declared rows of BootFileTable and Option67Table;
// rootSetting is TFTP_RootDirectory as configured.
void BinlWriteBootProgramFlags(DhcpSettings* s, const std::string& rootSetting);

// The physical NetBIOS name: Samba's "netbios name" when Samba is installed, else the first
// label of the host name in upper case, at most 15 characters. Empty when none.
std::string BinlComputerName();

// The asset scans (1 when an asset changed) and the EFI menu store of a platform (0, or -1
// when the store cannot be created).
int RisScanAssets(const BinlContext& ctx, int* count, bool* present, uint32_t* stamp);
int WdsScanAssets(const BinlContext& ctx, int* count, bool* present, uint32_t* stamp);
int BinlBuildEfiMenu(const BinlContext& ctx, const std::string& menuPath, const std::string& storePath);
int BinlLoadRisAssetTable(const BinlContext& ctx, int risCount);
void BinlFreeRisAssetTable();
