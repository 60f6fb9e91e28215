#include "_gui/console_model.h"

#include <algorithm>
#include <cstring>

#include "libs/log/log.h"

namespace {

uint32_t ReadU32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void Keep(ConsoleModel& model, uint32_t id, const uint8_t* data, size_t length)
{
    auto& rows = model.kept[id];
    rows.emplace_back(data, data + length);
    while (rows.size() > kGuiKeptPerNotice)
        rows.pop_front();
}

// Number of entries a count-prefixed payload may really hold: the sender's count, cut to the
// record's capacity and to the bytes that arrived.
uint32_t ClampCount(uint32_t count, uint32_t capacity, size_t available, size_t entrySize)
{
    const size_t fit = available / entrySize;
    return static_cast<uint32_t>(std::min<size_t>({count, capacity, fit}));
}

bool IsQuietNotice(uint32_t id)
{
    switch (id) {
    case NOTICE_TRANSFER_BEGIN:
    case NOTICE_TRANSFER_END:
    case NOTICE_TRANSFER_STATS:
    case NOTICE_LEASE_ROWS:
    case NOTICE_GLOBAL_SETTINGS:
    case NOTICE_DHCP_SETTINGS:
    case NOTICE_SYSLOG_ROW:
    case NOTICE_DNS_ENTRY:
    case NOTICE_BINL_EVENT:
    case NOTICE_DHCP_EVENT:
    case NOTICE_FTP_EVENT:
    case NOTICE_HTTP_EVENT:
    case NOTICE_SNTP_CLIENT: return true;
    default: return false;
    }
}

// Notices that only fill the settings copies and the running-services mask; the others
// need the main window.
bool FillsCopies(uint32_t id)
{
    return id == NOTICE_GLOBAL_SETTINGS || id == NOTICE_DHCP_SETTINGS || id == NOTICE_WORKING_DIR ||
           id == NOTICE_RUNNING_SERVICES;
}

void OnWorkingDirectory(ConsoleModel& model, ConsoleView* view, const std::string& dir)
{
    const size_t n = std::min(dir.size(), sizeof(model.settings.WorkingDirectory) - 1);
    std::memset(model.settings.WorkingDirectory, 0, sizeof(model.settings.WorkingDirectory));
    std::memcpy(model.settings.WorkingDirectory, dir.data(), n);
    if (!view)
        return;
    auto& dirs = model.workingDirectories;
    auto it = std::find(dirs.begin(), dirs.end(), dir);
    if (it == dirs.end()) {
        dirs.push_back(dir);
        it = dirs.end() - 1;
    }
    model.selectedWorkingDirectory = static_cast<int>(it - dirs.begin());
    view->WorkingDirectoriesChanged();
}

void OnTransferStats(ConsoleModel& model, const uint8_t* p, size_t n)
{
    if (n < 12)
        return;
    const uint32_t count = ClampCount(ReadU32(p), kGuiMaxStatsEntries, n - 12, kGuiStatsEntrySize);
    if (count != 0)
        DebugTrace("GUI: receiving %d stats\n", static_cast<int>(count));
    std::memcpy(&model.statsTime, p + 4, 8);
    model.transferStats.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = p + 12 + i * kGuiStatsEntrySize;
        TransferStatsEntry entry;
        entry.number = ReadU32(e);
        std::memcpy(entry.stats, e + 4, sizeof(entry.stats));
        model.transferStats.push_back(entry);
    }
}

void OnLeaseRows(ConsoleModel& model, const uint8_t* p, size_t n)
{
    if (n < 4)
        return;
    const uint32_t count = ClampCount(ReadU32(p), kGuiMaxLeaseRows, n - 4, kGuiLeaseRowSize);
    model.leaseRows.clear();
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* row = p + 4 + i * kGuiLeaseRowSize;
        model.leaseRows.emplace_back(row, row + kGuiLeaseRowSize);
    }
}

void OnHostAddresses(ConsoleModel& model, const uint8_t* p, size_t n)
{
    if (n < 4)
        return;
    const size_t slot = sizeof(HostIpListRecord::Slot);
    const uint32_t count = ClampCount(ReadU32(p), kGuiMaxHostAddresses, n - 4, slot);
    model.hostAddresses.clear();
    for (uint32_t i = 0; i < count; ++i)
        model.hostAddresses.push_back(ReadU32(p + 4 + i * slot));
}

std::vector<std::string> DirectoryLines(const uint8_t* p, size_t n)
{
    std::vector<std::string> lines;
    if (n < 4)
        return lines;
    const uint32_t count = ClampCount(ReadU32(p), kGuiMaxDirectoryLines, n - 4, kGuiDirectoryLineSize);
    for (uint32_t i = 0; i < count; ++i)
        lines.push_back(PayloadText(p + 4 + i * kGuiDirectoryLineSize, kGuiDirectoryLineSize));
    return lines;
}

}  // namespace

std::optional<std::string> GetSelectedWorkDir(const ConsoleModel& model, size_t size)
{
    const int i = model.selectedWorkingDirectory;
    if (i < 0 || static_cast<size_t>(i) >= model.workingDirectories.size())
        return std::nullopt;
    std::string dir = model.workingDirectories[static_cast<size_t>(i)];
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    if (dir.size() + 1 > size)
        return std::nullopt;
    return dir;
}

std::string PayloadText(const uint8_t* data, size_t length)
{
    const char* text = reinterpret_cast<const char*>(data);
    return std::string(text, strnlen(text, length));
}

int DispatchConsoleFrame(ConsoleModel& model, ConsoleView* view, const uint8_t* frame, size_t length)
{
    if (length < 4)
        return static_cast<int>(length);
    const uint32_t id = ReadU32(frame);
    const uint8_t* p = frame + 4;
    const size_t n = length - 4;
    if (model.quiet && IsQuietNotice(id))
        return static_cast<int>(length);
    if (!view && !FillsCopies(id))
        return static_cast<int>(length);

    switch (id) {
    case NOTICE_LOG: view->AppendLog(PayloadText(p, n)); break;
    case NOTICE_WARNING:
    case NOTICE_ERROR: view->ShowNoticeBox(PayloadText(p, n)); break;
    case NOTICE_TRANSFER_BEGIN:
        DebugTrace("GUI: beginning of trf %d\n", n >= 4 ? static_cast<int>(ReadU32(p)) : -1);
        if (n >= kGuiTransferRecordSize)
            Keep(model, id, p, kGuiTransferRecordSize);
        view->ListsChanged(id);
        break;
    case NOTICE_TRANSFER_END:
        DebugTrace("GUI: end of trf %d\n", n >= 4 ? static_cast<int>(ReadU32(p)) : -1);
        if (n >= kGuiTransferEndSize)
            Keep(model, id, p, kGuiTransferEndSize);
        view->ListsChanged(id);
        break;
    case NOTICE_TRANSFER_STATS:
        OnTransferStats(model, p, n);
        view->ListsChanged(id);
        break;
    case NOTICE_LEASE_ROWS:
        DebugTrace("GUI: receiving new DHCP lease\n");
        OnLeaseRows(model, p, n);
        view->ListsChanged(id);
        break;
    case NOTICE_GLOBAL_SETTINGS:
        DebugTrace("GUI: receive TFTP settings\n");
        if (n >= sizeof(GlobalSettings))
            std::memcpy(&model.settings, p, sizeof(GlobalSettings));
        break;
    case NOTICE_DHCP_SETTINGS:
        DebugTrace("GUI: receive DHCP settings\n");
        if (n >= kDhcpSettingsSize)
            std::memcpy(model.dhcpSettings.data(), p, kDhcpSettingsSize);
        break;
    case NOTICE_WORKING_DIR:
        DebugTrace("GUI: receive working directory\n");
        OnWorkingDirectory(model, view, PayloadText(p, n));
        break;
    case NOTICE_RUNNING_SERVICES:
        if (n >= 4) {
            model.settings.RunningServices = ReadU32(p);
            DebugTrace("GUI: Receive running services (%04X)", model.settings.RunningServices);
        }
        break;
    case NOTICE_HOST_IP_LIST:
        DebugTrace("GUI: receive IP address notification\n");
        OnHostAddresses(model, p, n);
        view->HostAddressesChanged();
        break;
    case NOTICE_SERVICES_STARTED:
        DebugTrace("GUI: receive end of init notifications\n");
        ++model.servicesStartedCount;
        break;
    case NOTICE_DIRECTORY_LISTING:
        DebugTrace("GUI: receive remote directory\n");
        view->DirectoryListing(DirectoryLines(p, n));
        break;
    case NOTICE_SYSLOG_ROW:
        DebugTrace("GUI: receive syslog\n");
        Keep(model, id, p, n);
        view->ListsChanged(id);
        break;
    case NOTICE_DNS_ENTRY:
        DebugTrace("GUI: receive new DNS entry\n");
        Keep(model, id, p, n);
        view->ListsChanged(id);
        break;
    case NOTICE_BINL_EVENT:
    case NOTICE_DHCP_EVENT:
    case NOTICE_FTP_EVENT:
    case NOTICE_HTTP_EVENT:
    case NOTICE_SNTP_CLIENT:
        Keep(model, id, p, n);
        view->ListsChanged(id);
        break;
    default:
        DebugTrace("GUI received unknown message %d, length %d\n", static_cast<int>(id), static_cast<int>(length));
        ++model.unknownCount;
        break;
    }
    return static_cast<int>(length);
}
