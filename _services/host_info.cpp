#include "_services/host_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/progpath.h"

namespace {
std::mutex g_ipLock;
HostIpListRecord g_ipList{};
std::atomic<bool> g_forceIpNotice{false};
std::shared_ptr<const std::vector<InterfaceAddress>> g_interfaces;  // under g_ipLock

HostIpListRecord IpListOf(const std::vector<InterfaceAddress>& list) {
    HostIpListRecord rec{};
    for (const InterfaceAddress& a : list) {
        if (!a.up || a.loopback) continue;
        if (rec.count >= 30) break;
        rec.slots[rec.count++].addr = a.addr.s_addr;
    }
    return rec;
}
}  // namespace

HostIpListRecord BuildHostIpList() { return IpListOf(ListInterfaceAddresses()); }

std::shared_ptr<const std::vector<InterfaceAddress>> HostInterfaces() {
    {
        std::lock_guard<std::mutex> lk(g_ipLock);
        if (g_interfaces) return g_interfaces;
    }
    auto list = std::make_shared<const std::vector<InterfaceAddress>>(ListInterfaceAddresses());
    std::lock_guard<std::mutex> lk(g_ipLock);
    if (!g_interfaces) g_interfaces = std::move(list);
    return g_interfaces;
}

void UpdateIpList(const HostIpListRecord& rec) {
    bool changed;
    HostIpListRecord copy;
    {
        std::lock_guard<std::mutex> lk(g_ipLock);
        bool forced = g_forceIpNotice.exchange(false);
        changed = forced || memcmp(&rec, &g_ipList, sizeof rec) != 0;
        if (changed) g_ipList = rec;
        copy = g_ipList;
    }
    if (changed) ToConsole(NOTICE_HOST_IP_LIST, &copy, sizeof copy, false);
}

void RefreshHostIpList() {
    auto list = std::make_shared<const std::vector<InterfaceAddress>>(ListInterfaceAddresses());
    {
        std::lock_guard<std::mutex> lk(g_ipLock);
        g_interfaces = list;
    }
    UpdateIpList(IpListOf(*list));
}

void GetHostIpList(HostIpListRecord* out) {
    std::lock_guard<std::mutex> lk(g_ipLock);
    *out = g_ipList;
}

int RequestIpListRefresh() {
    // The next refresh sends notice 109 whatever it finds.
    g_forceIpNotice = true;
    WakeThread(TH_SCHEDULER);
    return 0;
}

void SchedulerThread() {
    ThreadSlot& slot = ThreadSlots[TH_SCHEDULER];
    AddressWatch watch;
    RefreshHostIpList();
    while (slot.running) {
        // The event is consumed when set; a change of addresses is read off the watch.
        if ((WaitAny(watch.fd(), slot.event, 20000) & (WAIT_READY | WAIT_FAILED)) == WAIT_READY) watch.Drain();
        if (!slot.running) break;
        RefreshHostIpList();
    }
    DebugTrace("Thread Inf: *** IP Pooling thread ends here\n");
}

void ListDirectoryFiles(const std::function<void(const char* line)>& callback, const std::string& folder) {
    DIR* d = opendir(folder.c_str());
    if (!d) return;
    int dfd = dirfd(d);
    while (dirent* e = readdir(d)) {
        struct statx stx;
        if (statx(dfd, e->d_name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) continue;
        if (S_ISDIR(stx.stx_mode)) continue;
        time_t t = (stx.stx_mask & STATX_BTIME) ? static_cast<time_t>(stx.stx_btime.tv_sec)
                                                : static_cast<time_t>(stx.stx_mtime.tv_sec);
        tm lt;
        localtime_r(&t, &lt);
        char date[64];
        strftime(date, sizeof date, "%x", &lt);
        date[8] = '\0';
        char tail[96];
        int tailLen = snprintf(tail, sizeof tail, "\t%s\t%" PRIu64, date, static_cast<uint64_t>(stx.stx_size));
        // The name is cut so that date and size still fit in 62 characters.
        int room = 62 - tailLen;
        if (room < 1) room = 1;
        std::string name = e->d_name;
        if (static_cast<int>(name.size()) > room) name.resize(static_cast<size_t>(room));
        std::string line = name + tail;
        if (line.size() > 62) line.resize(62);
        callback(line.c_str());
    }
    closedir(d);
}

int SendDirectoryContent() {
    static DirectoryListing listing;  // Console thread only
    memset(&listing, 0, sizeof listing);
    ListDirectoryFiles(
        [](const char* line) {
            if (listing.count >= 200) return;
            snprintf(listing.lines[listing.count++], 64, "%.62s", line);
        },
        WorkingDirectory());
    ToConsole(NOTICE_DIRECTORY_LISTING, &listing, 4 + 64 * listing.count, false);
    return 1;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ProgramFolder() { return ProgramFolderPath(); }

std::string GetProgramFilePath(const std::string& fileName) {
    std::string p = ProgramFolderPath() + "/" + fileName;
    if (p.size() > 259 + 4096) p.resize(259 + 4096);
    return p;
}
