#include "_services/settings.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <vector>

#include "_services/host_info.h"
#include "_services/message_queue.h"
#include "_services/program_log.h"
#include "_services/start_threads.h"
#include "libs/log/log.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"
#include "libs/platform/profile.h"

#define ROW(path, field, type) \
    { path, #field, offsetof(GlobalSettings, field), type, static_cast<int32_t>(sizeof(GlobalSettings::field)) }
#define NIMBO_KEY "SOFTWARE\\NIMBO"
#define SECTION(s) "SOFTWARE\\NIMBO\\" s

const SettingsRow SettingsTable[70] = {
    ROW(NIMBO_KEY, NIMBO_HideWnd, SETTING_INT),
    ROW(NIMBO_KEY, NIMBO_Services, SETTING_INT),
    ROW(NIMBO_KEY, NIMBO_UseEventLog, SETTING_INT),
    ROW(NIMBO_KEY, NIMBO_LogFile, SETTING_TEXT),
    ROW(NIMBO_KEY, NIMBO_ConsolePassword, SETTING_TEXT),
    ROW(SECTION("TFTP"), TFTP_RootDirectory, SETTING_TEXT),
    ROW(SECTION("TFTP"), TFTP_Port, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_LimitNegotiatedWindowsize, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_LimitNegotiatedBlksize, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_MinInterFrameDelay, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_ErrorSimulator, SETTING_TEXT),
    ROW(SECTION("TFTP"), TFTP_DirTextFile, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_Timeout, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_MaxRetransmit, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_SecurityLevel, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_TranslateUnixFileNames, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_Beep, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_BackSlashAsVirtualRoot, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_MD5File, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_LocalIP, SETTING_TEXT),
    ROW(SECTION("TFTP"), TFTP_LowestUDPPort, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_HighestUDPPort, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_MulticastPort, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_MulticastAddress, SETTING_TEXT),
    ROW(SECTION("TFTP"), TFTP_MaxSimultaneousTransfers, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_SupportForPortOption, SETTING_INT),
    ROW(SECTION("TFTP"), TFTP_IgnoreLastPacketAck, SETTING_INT),
    ROW(SECTION("TFTPC"), TFTPC_Server, SETTING_TEXT),
    ROW(SECTION("TFTPC"), TFTPC_Blksize, SETTING_INT),
    ROW(SECTION("TFTPC"), TFTPC_Windowsize, SETTING_INT),
    ROW(SECTION("TFTPC"), TFTPC_RemoteFile, SETTING_TEXT),
    ROW(SECTION("TFTPC"), TFTPC_LocalFile, SETTING_TEXT),
    ROW(SECTION("TFTPC"), TFTPC_MinInterFrameDelay, SETTING_INT),
    ROW(SECTION("FTP"), FTP_LocalIP, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Port, SETTING_INT),
    ROW(SECTION("FTP"), FTP_LowestDataPort, SETTING_INT),
    ROW(SECTION("FTP"), FTP_HighestDataPort, SETTING_INT),
    ROW(SECTION("FTP"), FTP_Anonymous, SETTING_INT),
    ROW(SECTION("FTP"), FTP_Usr1Name, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Usr1Pass, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Usr2Name, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Usr2Pass, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Usr3Name, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_Usr3Pass, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_AnonymousRootDirectory, SETTING_TEXT),
    ROW(SECTION("FTP"), FTP_RegiteredRootDirectory, SETTING_TEXT),
    ROW(SECTION("HTTP"), HTTP_LocalIP, SETTING_TEXT),
    ROW(SECTION("HTTP"), HTTP_Port, SETTING_INT),
    ROW(SECTION("HTTP"), HTTP_DefaultPage, SETTING_TEXT),
    ROW(SECTION("HTTP"), HTTP_AllowFileBrowsing, SETTING_INT),
    ROW(SECTION("HTTP"), HTTP_RootDir, SETTING_TEXT),
    ROW(SECTION("HTTP"), HTTP_TruncateGETFileName64, SETTING_INT),
    ROW(SECTION("NFS"), NFS_LocalIP, SETTING_TEXT),
    ROW(SECTION("NFS"), NFS_RootDir, SETTING_TEXT),
    ROW(SECTION("NFS"), NFS_ExportName, SETTING_TEXT),
    ROW(SECTION("NFS"), NFS_SecurityLevel, SETTING_INT),
    ROW(SECTION("NFS"), NFS_Transport, SETTING_INT),
    ROW(SECTION("NFS"), NFS_Version, SETTING_INT),
    ROW(SECTION("NFS"), NFS_UserID, SETTING_INT),
    ROW(SECTION("NFS"), NFS_GroupID, SETTING_INT),
    ROW(SECTION("NFS"), NFS_MountdPort, SETTING_INT),
    ROW(SECTION("NFS"), NFS_NFSdPort, SETTING_INT),
    ROW(SECTION("DNS"), DNS_LocalIP, SETTING_TEXT),
    ROW(SECTION("SYSLOG"), SYS_LOGLocalIP, SETTING_TEXT),
    ROW(SECTION("SYSLOG"), SYSLOG_SaveLogToFile, SETTING_TEXT),
    ROW(SECTION("SYSLOG"), SYSLOG_ForwardLogToPipe, SETTING_INT),
    ROW(SECTION("SNTP"), SNTP_LocalIP, SETTING_TEXT),
    ROW(SECTION("DHCP"), DHCP_PersistantLeases, SETTING_INT),
    ROW(SECTION("DHCP"), DHCP_PingAddress, SETTING_INT),
    ROW(SECTION("DHCP"), DHCP_LocalIP, SETTING_TEXT),
};
#undef ROW

namespace {
GlobalSettings Defaults() {
    GlobalSettings s;
    memset(&s, 0, sizeof s);
    s.LogLevel = 8;
    s.TFTP_Timeout = 3;
    s.TFTP_MaxRetransmit = 6;
    s.TFTP_LimitNegotiatedWindowsize = 16;
    s.TFTP_LimitNegotiatedBlksize = 1468;
    s.TFTP_MinInterFrameDelay = 80;
    s.TFTP_SecurityLevel = 3;
    s.TFTP_Port = 69;
    s.OptionNegotiation = 1;
    s.TFTP_TranslateUnixFileNames = 1;
    strcpy(s.NIMBO_ConsolePassword, kConsolePassword);
    s.TFTPC_Blksize = 1468;
    s.TFTPC_Windowsize = 8;
    s.TFTPC_MinInterFrameDelay = 80;
    s.FTP_Port = 21;
    s.FTP_LowestDataPort = 49152;
    s.FTP_HighestDataPort = 51152;
    s.HTTP_Port = 80;
    strcpy(s.HTTP_DefaultPage, "index.htm");
    s.HTTP_TruncateGETFileName64 = 1;
    strcpy(s.NFS_ExportName, "/");
    s.NFS_SecurityLevel = 1;
    s.NFS_Transport = 3;
    s.NFS_Version = 3;
    s.NFS_MountdPort = 1058;
    s.NFS_NFSdPort = 2049;
    s.TFTP_MaxSimultaneousTransfers = 100;
    strcpy(s.WorkingDirectory, "./");
    s.TftpMainLoopWait = 2000;
    s.ConsolePort = 1994;
    return s;
}

std::mutex g_settingsLock;
GlobalSettings g_settings = Defaults();
// Shared copy of g_settings for SettingsShared(); empty after every change (both under
// g_settingsLock).
std::shared_ptr<const GlobalSettings> g_sharedSettings;
std::atomic<int> g_logLevel{8};
std::atomic<bool> g_logFileSet{false};
std::mutex g_iniPathLock;
std::string g_iniPath;
std::atomic<IniFailureHandler> g_iniFailure{nullptr};
// Flag of a queued write: more writes of the same save follow it.
constexpr uint32_t kWriteMoreFollow = 1;

// Every text field of the record ends with a NUL at its last byte.
void TerminateTextFields(GlobalSettings& s) {
    auto* base = reinterpret_cast<char*>(&s);
    for (const SettingsRow& r : SettingsTable)
        if (r.type == SETTING_TEXT) base[r.offset + static_cast<size_t>(r.size) - 1] = '\0';
    s.WorkingDirectory[sizeof s.WorkingDirectory - 1] = '\0';
}

std::string SectionOf(const char* keyPath) {
    const char* slash = strrchr(keyPath, '\\');
    std::string section = slash ? slash + 1 : keyPath;
    if (section.size() > 63) section.resize(63);
    return section;
}

std::string FullPath(const std::string& p) {
    char buf[PATH_MAX];
    if (realpath(p.c_str(), buf)) return buf;
    return p;
}

void CopyText(char* field, size_t size, const std::string& text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(field, text.data(), n);
    field[n] = '\0';
}

// Writes one value without any user interaction; false when the file cannot be written.
bool IniWriteQuiet(const char* keyPath, const char* key, const void* data, int length, int type, const char* iniPath) {
    std::string value;
    if (type == SETTING_TEXT) {
        const char* text = static_cast<const char*>(data);
        value.assign(text, strnlen(text, static_cast<size_t>(length)));
    } else if (type == SETTING_INT) {
        int32_t v;
        memcpy(&v, data, sizeof v);
        value = std::to_string(v);
    } else {
        return false;
    }
    return WriteProfileValue(SectionOf(keyPath).c_str(), key, value.c_str(), iniPath);
}

void ReportIniFailure() {
    MessageBoxPrintf(nullptr,
                     "Nimbo couldn't save Nimbo.ini\nThis usually happens when running Nimbo from read-only media or "
                     "without the right credentials.\nPlease re-start the application.\n",
                     (std::string(ProgramTitle) + " Settings").c_str(), MB_OK | MB_ICONERROR | MB_SYSTEMMODAL);
    if (IniFailureHandler h = g_iniFailure.load()) h();
}

// One queued write, flattened: type, length, then key path, key, INI path (NUL-terminated), then data.
std::vector<uint8_t> PackWrite(const char* keyPath, const char* key, const void* data, int length, int type,
                               const char* iniPath) {
    std::vector<uint8_t> b(8);
    memcpy(b.data(), &type, 4);
    memcpy(b.data() + 4, &length, 4);
    for (const char* s : {keyPath, key, iniPath}) b.insert(b.end(), s, s + strlen(s) + 1);
    const uint8_t* d = static_cast<const uint8_t*>(data);
    b.insert(b.end(), d, d + length);
    if (type == SETTING_TEXT) b.push_back(0);
    return b;
}

bool UnpackAndWrite(const std::vector<uint8_t>& b) {
    if (b.size() < 8) return true;
    int32_t type, length;
    memcpy(&type, b.data(), 4);
    memcpy(&length, b.data() + 4, 4);
    const char* p = reinterpret_cast<const char*>(b.data() + 8);
    const char* keyPath = p;
    const char* key = keyPath + strlen(keyPath) + 1;
    const char* iniPath = key + strlen(key) + 1;
    const char* data = iniPath + strlen(iniPath) + 1;
    return IniWriteQuiet(keyPath, key, data, length, type, iniPath);
}
}  // namespace

GlobalSettings DefaultGlobalSettings() { return Defaults(); }

GlobalSettings SettingsSnapshot() {
    std::lock_guard<std::mutex> lk(g_settingsLock);
    return g_settings;
}

std::shared_ptr<const GlobalSettings> SettingsShared() {
    std::lock_guard<std::mutex> lk(g_settingsLock);
    if (!g_sharedSettings) g_sharedSettings = std::make_shared<const GlobalSettings>(g_settings);
    return g_sharedSettings;
}

void SettingsReplace(const GlobalSettings& s) {
    std::lock_guard<std::mutex> lk(g_settingsLock);
    g_settings = s;
    g_sharedSettings.reset();
    TerminateTextFields(g_settings);
    g_logLevel = g_settings.LogLevel;
    g_logFileSet = g_settings.NIMBO_LogFile[0] != '\0';
    InstallProgramLog();
}

void SettingsUpdate(const std::function<void(GlobalSettings&)>& edit) {
    std::lock_guard<std::mutex> lk(g_settingsLock);
    edit(g_settings);
    g_sharedSettings.reset();
    TerminateTextFields(g_settings);
    g_logLevel = g_settings.LogLevel;
    g_logFileSet = g_settings.NIMBO_LogFile[0] != '\0';
    InstallProgramLog();
}

int CurrentLogLevel() { return g_logLevel; }

bool LogFileConfigured() { return g_logFileSet; }

void SetIniPath(const std::string& path) {
    std::lock_guard<std::mutex> lk(g_iniPathLock);
    g_iniPath = path;
}

std::string IniPath() {
    std::lock_guard<std::mutex> lk(g_iniPathLock);
    return g_iniPath;
}

std::string WorkingDirectory() {
    std::lock_guard<std::mutex> lk(g_settingsLock);
    return g_settings.WorkingDirectory;
}

bool SetWorkingDirectory(const std::string& path) {
    if (!IsDirectory(path)) return false;
    std::lock_guard<std::mutex> lk(g_settingsLock);
    CopyText(g_settings.WorkingDirectory, sizeof g_settings.WorkingDirectory, path);
    g_sharedSettings.reset();
    return true;
}

void SetIniFailureHandler(IniFailureHandler h) { g_iniFailure = h; }

int IniReadValue(const char* keyPath, const char* key, void* field, int size, int type, const char* iniPath) {
    char buf[2048];
    int n = GetProfileValue(SectionOf(keyPath).c_str(), key, "", buf, sizeof buf, iniPath);
    if (n <= 0) return 0;
    if (type == SETTING_TEXT) {
        if (size <= 0) return n;
        size_t copy = static_cast<size_t>(n) < static_cast<size_t>(size - 1) ? static_cast<size_t>(n)
                                                                             : static_cast<size_t>(size - 1);
        memcpy(field, buf, copy);
        static_cast<char*>(field)[copy] = '\0';
    } else if (type == SETTING_INT) {
        int32_t v = static_cast<int32_t>(strtol(buf, nullptr, 10));
        memcpy(field, &v, sizeof v);
    }
    return n;
}

int IniWriteValue(const char* keyPath, const char* key, const void* data, int length, int type, const char* iniPath) {
    if (type != SETTING_TEXT && type != SETTING_INT) return 0;
    if (IniWriteQuiet(keyPath, key, data, length, type, iniPath)) return 1;
    ReportIniFailure();
    return 0;
}

bool IniReadSection(const char* keyPath, std::unordered_map<std::string, std::string>* values, const char* iniPath) {
    return GetProfileSection(SectionOf(keyPath).c_str(), values, iniPath);
}

int IniWriteValues(const char* keyPath, const std::vector<std::pair<std::string, std::string>>& values,
                   const char* iniPath) {
    if (WriteProfileValues(SectionOf(keyPath).c_str(), values, iniPath)) return 1;
    ReportIniFailure();
    return 0;
}

int PostSettingWrite(const char* keyPath, const char* key, const void* data, int length, int type, const char* iniPath,
                     bool moreFollow) {
    std::vector<uint8_t> item;
    try {
        item = PackWrite(keyPath, key, data, length, type, iniPath);
    } catch (...) { return 0; }
    int rc = QueuePostEx(QUEUE_SETTINGS, item.data(), item.size(), moreFollow ? kWriteMoreFollow : 0);
    if (rc) WakeThread(TH_REGISTRY);
    return rc;
}

namespace {
// A failed write not yet reported: the save it belongs to has not been written whole (Registry
// thread only).
bool g_saveFailed = false;

// Writes every queued item. A save (the writes up to one without kWriteMoreFollow) gets one
// failure box, however many of its keys failed and however its writes were split between
// drains; a save cut short (the queue was full) is reported with the next one, or when the
// writer stops.
void DrainSettingsQueue(bool last) {
    std::vector<uint8_t> item;
    uint32_t flags = 0;
    while (QueueGetEx(QUEUE_SETTINGS, item, nullptr, &flags)) {
        if (!UnpackAndWrite(item)) g_saveFailed = true;
        if (!(flags & kWriteMoreFollow) && g_saveFailed) {
            g_saveFailed = false;
            ReportIniFailure();
        }
    }
    if (last && g_saveFailed) {
        g_saveFailed = false;
        ReportIniFailure();
    }
}
}  // namespace

void RegistryThread() {
    QueueCreate(QUEUE_SETTINGS, 500);
    ThreadSlot& slot = ThreadSlots[TH_REGISTRY];
    while (slot.running) {
        // The event is consumed by the wait; a post made while draining sets it again, so no
        // wake-up is lost.
        slot.event->Wait(-1);
        usleep(10000);
        DrainSettingsQueue(false);
    }
    DrainSettingsQueue(true);
    QueueDestroy(QUEUE_SETTINGS);
    DebugTrace("Thread Inf: *** Registry thread ends here\n");
}

int LoadSettings() {
    std::string ini = IniPath();
    GlobalSettings s = SettingsSnapshot();
    auto* base = reinterpret_cast<char*>(&s);
    for (const SettingsRow& r : SettingsTable)
        IniReadValue(r.keyPath, r.key, base + r.offset, r.size, r.type, ini.c_str());
    std::string wd;
    const char* dir = getenv("NIMBO_DIR");
    std::string envDir = dir ? std::string(dir).substr(0, 259) : "";
    if (!envDir.empty() && IsDirectory(envDir))
        wd = FullPath(envDir);
    else if (s.TFTP_RootDirectory[0] && IsDirectory(s.TFTP_RootDirectory))
        wd = FullPath(s.TFTP_RootDirectory);
    else {
        char cwd[PATH_MAX];
        wd = getcwd(cwd, sizeof cwd) ? cwd : ".";
    }
    CopyText(s.WorkingDirectory, sizeof s.WorkingDirectory, wd);
    SettingsReplace(s);
    return 1;
}

int SaveSettings() {
    GlobalSettings s = SettingsSnapshot();
    std::string ini = IniPath();
    const char* base = reinterpret_cast<const char*>(&s);
    const SettingsRow* lastRow = nullptr;
    for (const SettingsRow& r : SettingsTable)
        if (strcmp(r.keyPath, SECTION("NFS")) != 0) lastRow = &r;
    for (const SettingsRow& r : SettingsTable) {
        if (strcmp(r.keyPath, SECTION("NFS")) == 0) continue;
        // The writes of one save are written as one: one box when the file cannot be written.
        if (!PostSettingWrite(r.keyPath, r.key, base + r.offset, r.size, r.type, ini.c_str(), &r != lastRow)) {
            MessageBoxPrintf(nullptr, "Error saving Nimbo.ini parameter ", ProgramTitle, MB_OK | MB_ICONWARNING);
            return 0;
        }
    }
    return 1;
}

int DeleteSettings() {
    // There is no registry here: only the INI file is emptied.
    std::string ini = IniPath();
    if (!ini.empty()) TruncateProfile(ini.c_str());
    return 0;
}

bool ValidGlobalSettings(const GlobalSettings& record, std::string* why) {
    const char* base = reinterpret_cast<const char*>(&record);
    for (const SettingsRow& r : SettingsTable) {
        if (r.type != SETTING_TEXT) continue;
        const char* text = base + r.offset;
        const size_t n = strnlen(text, static_cast<size_t>(r.size) - 1);
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == 0x7F) {
                *why = std::string(r.key) + " holds a control character";
                return false;
            }
        }
        const std::string key = r.key;
        const bool address = key.find("LocalIP") != std::string::npos || key == "TFTP_MulticastAddress";
        in_addr a;
        if (address && n && inet_pton(AF_INET, std::string(text, n).c_str(), &a) != 1) {
            *why = key + " is not an IPv4 address";
            return false;
        }
    }
    return true;
}

bool StoreGlobalSettings(const GlobalSettings& incoming) {
    std::string why;
    if (!ValidGlobalSettings(incoming, &why)) {
        LogPrint(0, "Settings not stored: %s", why.c_str());
        return false;
    }
    GlobalSettings s = incoming;
    TerminateTextFields(s);
    SettingsUpdate([&](GlobalSettings& live) {
        std::string previousWd = live.WorkingDirectory;
        live = s;
        if (s.TFTP_RootDirectory[0] && IsDirectory(s.TFTP_RootDirectory))
            CopyText(live.WorkingDirectory, sizeof live.WorkingDirectory, s.TFTP_RootDirectory);
        else
            CopyText(live.WorkingDirectory, sizeof live.WorkingDirectory, previousWd);
    });
    SaveSettings();
    return true;
}
