// What the desktop knows about the services: its copies of the settings records, the
// running-services mask and every notice the views keep. DispatchConsoleFrame routes one
// received frame (u32 id, then the payload) into it; it is a pure function over the bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "_services/host_info.h"
#include "_services/host_records.h"
#include "_services/tftp_records.h"

// Capacities of the records that carry a count.
constexpr uint32_t kGuiStatsEntrySize = 44;    // u32 transfer number + 40-byte statistics
constexpr uint32_t kGuiMaxStatsEntries = 101;  // notice 102
constexpr uint32_t kGuiLeaseRowSize = 59;      // notice 103
constexpr uint32_t kGuiMaxLeaseRows = 50;
constexpr uint32_t kGuiMaxHostAddresses = 30;    // notice 109
constexpr uint32_t kGuiMaxDirectoryLines = 200;  // notice 111
constexpr uint32_t kGuiDirectoryLineSize = 64;
constexpr size_t kGuiKeptPerNotice = 510;                          // rows each list keeps
constexpr size_t kGuiTransferRecordSize = sizeof(TransferRecord);  // notice 100
constexpr size_t kGuiTransferEndSize = 44;                         // notice 101

// What a notice asks of the windows. A dispatch without a view (while connecting) fills
// only the settings copies and the running-services mask.
class ConsoleView {
public:
    virtual ~ConsoleView() = default;
    virtual void AppendLog(const std::string& line) { (void)line; }
    virtual void ShowNoticeBox(const std::string& text) { (void)text; }
    virtual void WorkingDirectoriesChanged() {}
    virtual void HostAddressesChanged() {}
    // Called before a modal dialog is opened from inside a dispatch.
    virtual void DirectoryListing(const std::vector<std::string>& lines) { (void)lines; }
    virtual void ListsChanged(uint32_t id) { (void)id; }
};

struct TransferStatsEntry {
    uint32_t number = 0;
    uint8_t stats[40] = {};
};

struct ConsoleModel {
    GlobalSettings settings{};                                                    // the GUI settings copy
    std::vector<uint8_t> dhcpSettings = std::vector<uint8_t>(kDhcpSettingsSize);  // the GUI DHCP copy
    bool quiet = false;  // set once when the main window begins to close

    // Window data.
    std::vector<std::string> workingDirectories;  // hidden list, each entry once
    int selectedWorkingDirectory = -1;
    std::vector<uint32_t> hostAddresses;  // network byte order

    // Notices whose views come later, kept as received (newest last, bounded).
    std::map<uint32_t, std::deque<std::vector<uint8_t>>> kept;
    std::vector<std::vector<uint8_t>> leaseRows;    // last notice 103
    std::vector<TransferStatsEntry> transferStats;  // last notice 102
    uint64_t statsTime = 0;
    uint32_t servicesStartedCount = 0;
    uint32_t unknownCount = 0;
};

// Routes one frame (id + payload, `length` bytes) into the model; never reads past it.
// Returns the length. Frames shorter than the id are not dispatched.
int DispatchConsoleFrame(ConsoleModel& model, ConsoleView* view, const uint8_t* frame, size_t length);

// The selected working directory with a trailing '/', or nothing when none is selected or
// the text with its '/' and NUL does not fit `size` bytes.
std::optional<std::string> GetSelectedWorkDir(const ConsoleModel& model, size_t size);

// Text of a payload that should end in a NUL, bounded by the payload.
std::string PayloadText(const uint8_t* data, size_t length);
