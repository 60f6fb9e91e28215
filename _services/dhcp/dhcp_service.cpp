// Settings loading and storing through the INI layer, lease persistence, console hooks.
#include "_services/dhcp/dhcp_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/dhcp/dhcp_thread.h"
#include "_services/message_queue.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/tftp_request.h"
#include "_services/to_console.h"
#include "libs/log/log.h"

namespace {

const char* const kDhcpKeyPath = "SOFTWARE\\NIMBO\\DHCP";

class IniLeaseStore : public LeaseStore {
public:
    void ReadKeys(std::unordered_map<std::string, std::string>* keys) override {
        IniReadSection(kDhcpKeyPath, keys, IniPath().c_str());
    }
    void WriteKeys(const std::vector<std::pair<std::string, std::string>>& keys) override {
        IniWriteValues(kDhcpKeyPath, keys, IniPath().c_str());
    }
    void WaitQueued() override {
        if (IsRowRunning(TH_REGISTRY)) QueueWaitEmpty(QUEUE_SETTINGS);
    }
};

IniLeaseStore g_store;
std::atomic<BinlMessageHandler> g_binlHandler{nullptr};
// Set once the live record holds settings (read from the INI file or stored by the GUI).
std::atomic<bool> g_recordLoaded{false};
// The DHCP threads and the Console thread (for the GUI) may load the record.
std::mutex g_loadLock;

// Pool start and size the lease table can use; logs a pool that cannot serve.
int32_t UsablePoolSize(const DhcpSettings& s) {
    if (s.DHCP_PoolSize == 0) return 0;
    if (s.PoolStart == 0 || s.DHCP_PoolSize < 0) {
        LogLine(LOG_DHCP, 1, "DHCP Err: Address pool \"%s\" of size %d is not usable; no address will be offered",
                s.DHCP_IP_Pool, s.DHCP_PoolSize);
        return 0;
    }
    return s.DHCP_PoolSize;
}

std::vector<uint8_t> GetSettingsHook() {
    // A desktop that connects while the DHCP thread is still loading its settings would
    // otherwise keep an empty copy: wait (bounded) until they are published, writing queued
    // notices meanwhile.
    for (int waited = 0; waited < 5000 && IsRowRunning(TH_DHCP) && !DhcpSettingsPublished(); waited += 10) {
        ConsolePump();
        usleep(10000);
    }
    // The GUI edits the whole record and stores every [DHCP] key from it: when no DHCP
    // thread has loaded it yet, it is read from the INI file now.
    if (!g_recordLoaded && !IsRowRunning(TH_DHCP) && !IsRowRunning(TH_PDHCP)) loadDhcpSettings();
    DhcpSettings rec = DhcpSettingsRecord();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&rec);
    return std::vector<uint8_t>(p, p + sizeof rec);
}

void ApplySettingsHook(const uint8_t* record, size_t length) {
    DhcpSettings rec{};
    std::memcpy(&rec, record, length < sizeof rec ? length : sizeof rec);
    applyDhcpSettings(rec);
}

void FreeLeaseHook(uint32_t ip) {
    LeaseTable& t = DhcpLeaseTable();
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        if (DhcpLease* l = t.FindByIp(ip, nullptr, 0)) {
            t.Free(l);
            return;
        }
    }
    WakeThread(TH_DHCP);
}

}  // namespace

bool BootFileSize(const std::string& root, const std::string& entry, uint64_t* size) {
    std::string name = entry, relative;
    TftpTranslateName(name, SettingsSnapshot());
    if (root.empty() || !TftpNormalizeName(name, &relative)) return false;
    int rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) return false;
    TftpOpenResult found = TftpOpenFile(rootFd, relative, false, 0, nullptr);
    close(rootFd);
    if (found.fd < 0) return false;
    close(found.fd);
    *size = found.size;
    return true;
}

void SetBinlMessageHandler(BinlMessageHandler handler) { g_binlHandler = handler; }
BinlMessageHandler CurrentBinlHandler() { return g_binlHandler; }

int loadDhcpSettings() {
    std::lock_guard<std::mutex> loading(g_loadLock);
    const GlobalSettings g = SettingsSnapshot();
    const std::string ini = IniPath();
    const std::string root(g.TFTP_RootDirectory, strnlen(g.TFTP_RootDirectory, 260));
    DhcpConfig cfg;
    LoadDhcpConfig(
        &cfg,
        [&ini](const char* key, void* field, int size, int type) {
            IniReadValue(kDhcpKeyPath, key, field, size, type, ini.c_str());
        },
        static_cast<uint32_t>(g.NIMBO_Services), root,
        [&root](const std::string& path, uint64_t* size) {
            return BootFileSize(root, path.substr(root.size()), size);
        });
    LeaseTable& t = DhcpLeaseTable();
    {
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        t.Configure(cfg.rec.PoolStart, UsablePoolSize(cfg.rec), cfg.rec.DHCP_LeaseTime, g.DHCP_PersistantLeases != 0,
                    &g_store);
        t.SetWakeUp([] { WakeThread(TH_DHCP); });
        if (t.capacity() > 0) t.Load();
    }
    DhcpSettingsPublish(std::move(cfg));
    g_recordLoaded = true;
    return 1;
}

void ResetDhcpSettings() {
    std::lock_guard<std::mutex> loading(g_loadLock);
    {
        LeaseTable& t = DhcpLeaseTable();
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        t.Configure(0, 0, 0, false, nullptr);
    }
    DhcpSettingsPublish(DhcpConfig{});
    DhcpSettingsClearPublished();
    g_recordLoaded = false;
}

int applyDhcpSettings(const DhcpSettings& record) {
    std::string why;
    if (!ValidateDhcpRecord(record, &why)) {
        LogLine(LOG_DHCP, 0, "DHCP Err: new settings not stored: %s", why.c_str());
        return 0;
    }
    auto old = DhcpSettingsSnapshot();
    DhcpConfig cfg;
    cfg.rec = record;
    DeriveIpxeKeyRows(&cfg);
    cfg.defaultBootFileList = old->defaultBootFileList;  // takes effect at the next start
    {
        LeaseTable& t = DhcpLeaseTable();
        std::lock_guard<std::recursive_mutex> lock(t.mutex());
        if (record.DHCP_PoolSize != old->rec.DHCP_PoolSize) t.Resize(record.DHCP_PoolSize);
    }
    DhcpSettingsPublish(cfg);
    g_recordLoaded = true;

    const DhcpSettings& s = cfg.rec;
    const std::string ini = IniPath();
    // The keys go out as one save (one box when the file cannot be written); the last one ends it.
    auto text = [&](const char* key, const char* field, size_t size, bool more = true) {
        PostSettingWrite(kDhcpKeyPath, key, field, static_cast<int>(strnlen(field, size)), SETTING_TEXT, ini.c_str(),
                         more);
    };
    auto integer = [&](const char* key, int32_t value) {
        PostSettingWrite(kDhcpKeyPath, key, &value, 4, SETTING_INT, ini.c_str(), true);
    };
    integer("DHCP_PoolSize", s.DHCP_PoolSize);
    text("DHCP_IP_Pool", s.DHCP_IP_Pool, sizeof s.DHCP_IP_Pool);
    text("DHCP_IP_NextServer", s.DHCP_IP_NextServer, sizeof s.DHCP_IP_NextServer);
    text("DHCP_IP_Mask", s.DHCP_IP_Mask, sizeof s.DHCP_IP_Mask);
    text("DHCP_BootFile", s.DHCP_BootFile, sizeof s.DHCP_BootFile);
    text("DHCP_DefaultGateway", s.DHCP_DefaultGateway, sizeof s.DHCP_DefaultGateway);
    text("DHCP_DNS", s.DHCP_DNS, sizeof s.DHCP_DNS);
    text("DHCP_DomainName", s.DHCP_DomainName, sizeof s.DHCP_DomainName);
    integer("DHCP_LeaseTime", s.DHCP_LeaseTime);
    integer("DHCP_ProcStatLeases", s.DHCP_ProcStatLeases);
    integer("DHCP_ProcMacFilter", s.DHCP_ProcMacFilter);
    text("DHCP_BINL_BM_Mode", s.BmModeText, sizeof s.BmModeText);
    char key[40];
    for (int i = 0; i < kUserOptions; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_Option", i + 1);
        text(key, s.UserOptions[i].text, sizeof s.UserOptions[i].text);
    }
    for (int i = 0; i < kStaticLeases; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_StaticLease", i + 1);
        text(key, s.StaticLeases[i].text, sizeof s.StaticLeases[i].text);
    }
    for (int i = 0; i < kMacFilters; ++i) {
        std::snprintf(key, sizeof key, "%s%d", "DHCP_MacFilter", i + 1);
        text(key, s.MacFilters[i].text, sizeof s.MacFilters[i].text, i + 1 < kMacFilters);
    }
    return 1;
}

void RegisterDhcpService() {
    RegisterThreadFunction(TH_DHCP, dhcpThread);
    RegisterThreadFunction(TH_PDHCP, pdhcpThread);
    ConsoleServiceHooks& h = ConsoleHooks();
    h.getDhcpSettings = GetSettingsHook;
    h.applyDhcpSettings = ApplySettingsHook;
    h.freeLease = FreeLeaseHook;
}
