#include "_gui/window_layout.h"

#include <algorithm>
#include <cstdio>

#include "_gui/control_ids.h"

const TabRow kTabTable[11] = {
    {"HTTP", 3, 0x80}, {"FTP", 2, 0x40},    {"TFTP", 0, 0x1},   {"TFTPC", 1, 0x2},
    {"DHCP", 4, 0x4},  {"PDHCP", 5, 0x100}, {"BINL", 6, 0x200}, {"DNS", 9, 0x20},
    {"SNTP", 8, 0x10}, {"SYSLOG", 7, 0x8},  {"Log", 10, 0x5FF},
};

std::vector<TabRow> TabsForMask(uint32_t mask)
{
    std::vector<TabRow> tabs;
    for (const TabRow& row : kTabTable) {
        if ((row.bits & mask) == 0)
            continue;
        if (row.bits == 0x200 && (mask & (0x4 | 0x100)) == 0)
            continue;
        if (row.bits == 0x4 && (mask & 0x100) != 0)
            continue;
        tabs.push_back(row);
    }
    return tabs;
}

// clang-format off
constexpr LayoutRow kLayoutTable[31] = {
    {CTL_MAIN_HINT, CK_TEXT, "Please go to 'System Menu/Settings' and configure any one of the available services",
     -30, 48, 267, 8, 5, 0, 0, 0, 0x800},
    {CTL_MAIN_TABS, CK_TAB, nullptr, 2, 1, 214, 136, 0, 0, 10, 10, -1},
    {CTL_MAIN_BANNER, CK_BANNER, nullptr, -85, 138, 388, 45, 5, 10, 0, 0, -1},
    {CTL_MAIN_TRANSFER_LIST, CK_LIST, "Transfers", 5, 17, 208, 118, 0, 0, 10, 10, 0x1},
    {CTL_MAIN_LOG_LIST, CK_LIST, "Log", 5, 17, 208, 118, 0, 0, 10, 10, 0x400},
    {CTL_TFTPC_SERVER_LABEL, CK_TEXT, "TFTP Server", 10, 25, 40, 10, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_SERVER, CK_EDIT, nullptr, 54, 23, 70, 12, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_BLOCK_TEXT, CK_TEXT, "block #0", 6, 135, 50, 18, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_BLKSIZE_LABEL, CK_TEXT, "Blocksize", 132, 25, 30, 10, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_BLKSIZE, CK_COMBO, nullptr, 162, 23, 35, 90, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_WINSIZE_LABEL, CK_TEXT, "Windowsize", 205, 25, 40, 10, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_WINSIZE, CK_COMBO, nullptr, 245, 23, 25, 90, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_REMOTE_LABEL, CK_TEXT, "Remote File", 10, 41, 40, 10, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_REMOTE_FILE, CK_EDIT, nullptr, 54, 38, 95, 12, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_LOCAL_LABEL, CK_TEXT, "Local File", 155, 41, 32, 10, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_LOCAL_FILE, CK_EDIT, nullptr, 187, 38, 95, 12, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_PICK, CK_BUTTON, "...", 283, 40, 11, 9, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_GET, CK_BUTTON, "&GET", 305, 38, 23, 11, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_PUT, CK_BUTTON, "&PUT", 332, 38, 23, 11, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_BREAK, CK_BUTTON, "Break", 359, 38, 23, 11, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_PROGRESS, CK_PROGRESS, nullptr, 113, 54, 162, 8, 0, 0, 0, 0, 0x2},
    {CTL_TFTPC_UNUSED, CK_NONE, nullptr, 87, 64, 86, 12, 0, 0, 0, 0, 0x2},
    {CTL_MAIN_UNUSED, CK_NONE, nullptr, 10, 105, 162, 24, 0, 0, 0, 0, 0},
    {CTL_MAIN_LEASE_LIST, CK_LIST, "Leases", 5, 17, 208, 118, 0, 0, 10, 10, 0x10},
    {CTL_MAIN_DHCP_EVENT_LIST, CK_LIST, "DHCP events", 5, 17, 208, 118, 0, 0, 10, 10, 0x20},
    {CTL_MAIN_BINL_LIST, CK_LIST, "BINL events", 5, 17, 208, 118, 0, 0, 10, 10, 0x40},
    {CTL_MAIN_SYSLOG_LIST, CK_LIST, "Syslog", 5, 17, 208, 118, 0, 0, 10, 10, 0x80},
    {CTL_MAIN_SNTP_LIST, CK_LIST, "SNTP clients", 5, 17, 208, 118, 0, 0, 10, 10, 0x100},
    {CTL_MAIN_DNS_LIST, CK_LIST, "DNS entries", 5, 17, 208, 118, 0, 0, 10, 10, 0x200},
    {CTL_MAIN_FTP_LIST, CK_LIST, "FTP events", 5, 17, 208, 118, 0, 0, 10, 10, 0x4},
    {CTL_MAIN_HTTP_LIST, CK_LIST, "HTTP requests", 5, 17, 208, 118, 0, 0, 10, 10, 0x8},
};
// clang-format on
// The window finds its controls by these numbers.
static_assert(ControlIdsUnique(kLayoutTable, &LayoutRow::id));

Rect GrowRect(const Rect& base, const LayoutRow& row, int dW, int dH)
{
    return Rect{base.x + row.kx * dW / 10, base.y + row.ky * dH / 10, base.w + row.kw * dW / 10,
                base.h + row.kh * dH / 10};
}

Rect FitWidthInside(const Rect& r, int areaWidth, int margin)
{
    const int left = std::max(r.x, margin);
    const int right = std::min(r.x + r.w, areaWidth - margin);
    if (right - left >= 1)
        return Rect{left, r.y, right - left, r.h};
    return Rect{margin, r.y, std::max(1, areaWidth - 2 * margin), r.h};
}

std::optional<SavedRect> ParseWindowPos(const std::string& text, const Rect& vs)
{
    SavedRect r{};
    if (text.empty() || std::sscanf(text.c_str(), "%d,%d,%d,%d", &r.left, &r.top, &r.right, &r.bottom) != 4)
        return std::nullopt;
    if (r.right - 20 < vs.x || r.left >= vs.x + vs.w || r.top + 20 < vs.y || r.top >= vs.y + vs.h)
        return std::nullopt;
    if (r.left >= r.right || r.top >= r.bottom)
        return std::nullopt;
    return r;
}

std::string FormatWindowPos(const SavedRect& r)
{
    char buf[128];
    std::snprintf(buf, sizeof(buf), "%d,%d,%d,%d", r.left, r.top, r.right, r.bottom);
    return buf;
}
