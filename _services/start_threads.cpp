#include "_services/start_threads.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "_services/dhcp/dhcp_protocol.h"
#include "_services/ftp/ftp_proto.h"
#include "_services/host_info.h"
#include "_services/host_records.h"
#include "_services/http/http_text.h"
#include "_services/settings.h"
#include "_services/tftp_protocol.h"
#include "_services/to_console.h"
#include "_services/udp/udp_records.h"
#include "libs/log/log.h"
#include "libs/platform/interfaces.h"
#include "libs/platform/sockets.h"
#include "libs/platform/thread.h"

std::atomic<int> BinlPreparationCount{0};

#define PORT_OF(f) offsetof(GlobalSettings, f)
// clang-format off
const ThreadTableRow ThreadTable[TH_NUMBER] = {
    // name     bit              socket                servicesName port        portSetting         localIpSetting           default           event  wildcard
    {"Console",   SVC_CONSOLE,     RowSocket::kNone,     nullptr,  0,                0,                  0,                       0,                true,  false},
    {"Registry",  SVC_REGISTRY,    RowSocket::kNone,     nullptr,  0,                0,                  0,                       0,                true,  false},
    {"Scheduler", SVC_SCHEDULER,   RowSocket::kNone,     nullptr,  0,                0,                  0,                       0,                true,  false},
    {"DHCP",      SVC_DHCP,        RowSocket::kDatagram, "bootps", kBootpServerPort, 0,                  PORT_OF(DHCP_LocalIP),   kBootpServerPort, false, true},
    {"PDHCP",     SVC_PDHCP,       RowSocket::kDatagram, "pdhcp",  kPxeProxyPort,    0,                  PORT_OF(DHCP_LocalIP),   kPxeProxyPort,    false, true},
    {"BINL",      SVC_BINL,        RowSocket::kNone,     nullptr,  0,                0,                  0,                       0,                true,  false},
    {"TFTP",      SVC_TFTP_SERVER, RowSocket::kDatagram, "tftp",   0,                PORT_OF(TFTP_Port), PORT_OF(TFTP_LocalIP),   kTftpPort,        true,  false},
    {"FTP",       SVC_FTP,         RowSocket::kStream,   "ftp",    0,                PORT_OF(FTP_Port),  PORT_OF(FTP_LocalIP),    kFtpControlPort,  true,  false},
    {"HTTP",      SVC_HTTP,        RowSocket::kStream,   "http",   0,                PORT_OF(HTTP_Port), PORT_OF(HTTP_LocalIP),   kHttpPort,        true,  false},
    {"SNTP",      SVC_SNTP,        RowSocket::kDatagram, "ntp",    kSntpPort,        0,                  PORT_OF(SNTP_LocalIP),   kSntpPort,        false, false},
    {"DNS",       SVC_DNS,         RowSocket::kDatagram, "domain", kDnsPort,         0,                  PORT_OF(DNS_LocalIP),    kDnsPort,         false, false},
    {"SYSLOG",    SVC_SYSLOG,      RowSocket::kDatagram, "syslog", kSyslogPort,      0,                  PORT_OF(SYS_LOGLocalIP), kSyslogPort,      false, false},
    {"NFS",       SVC_NFS,         RowSocket::kNone,     "nfs",    0,                0,                  0,                       0,                true,  false},
};
// clang-format on
#undef PORT_OF

ThreadSlot ThreadSlots[TH_NUMBER];

namespace {
// One wake-up event per row for the life of the process, so that a waker never sees an event
// that is being destroyed.
Event g_events[TH_NUMBER];
const bool g_eventsBound = [] {
    for (int i = 0; i < TH_NUMBER; ++i) ThreadSlots[i].event = &g_events[i];
    return true;
}();

Thread g_threads[TH_NUMBER];
std::atomic<ThreadFunction> g_functions[TH_NUMBER];
std::atomic<BindFailureReport> g_bindReports[TH_NUMBER];
std::atomic<bool> g_consoleClosed{false};
std::mutex g_rowLock;  // start and close of rows (Console thread, bootstrap, main)

void IdleServiceThread(int row) {
    ThreadSlot& slot = ThreadSlots[row];
    while (slot.running) slot.event->Wait(1000);
    DebugTrace("Thread Inf: *** %s thread ends here\n", ThreadTable[row].name);
}

ThreadFunction BuiltinFunction(int row) {
    switch (row) {
        case TH_CONSOLE: return ConsoleThread;
        case TH_REGISTRY: return RegistryThread;
        case TH_SCHEDULER: return SchedulerThread;
        default: return nullptr;
    }
}

int ConfiguredPort(int row, const GlobalSettings& s) {
    const ThreadTableRow& r = ThreadTable[row];
    if (r.portSettingOffset) {
        int32_t v;
        memcpy(&v, reinterpret_cast<const char*>(&s) + r.portSettingOffset, sizeof v);
        return v;
    }
    return r.constantPort;
}

std::string LocalAddressText(int row, const GlobalSettings& s) {
    const ThreadTableRow& r = ThreadTable[row];
    if (!r.localIpSettingOffset) return "";
    const char* text = reinterpret_cast<const char*>(&s) + r.localIpSettingOffset;
    return std::string(text, strnlen(text, 16));
}

int EffectivePort(int row, const GlobalSettings& s) {
    const ThreadTableRow& r = ThreadTable[row];
    int port = ConfiguredPort(row, s);
    if (port == r.defaultPort) {
        int sp = ServicePort(r.servicesName, r.socket == RowSocket::kDatagram ? "udp" : "tcp");
        return sp ? sp : r.defaultPort;
    }
    return port;
}

void CloseRowResources(int row) {
    ThreadSlot& slot = ThreadSlots[row];
    if (slot.socket >= 0) {
        close(slot.socket);
        slot.socket = -1;
    }
}

// Joins a row's earlier thread and releases what it used; false when it is still alive.
bool ReapRow(int row, int timeoutMs) {
    if (!g_threads[row].Started()) {
        CloseRowResources(row);
        return true;
    }
    if (!g_threads[row].Join(timeoutMs)) return false;
    CloseRowResources(row);
    return true;
}
}  // namespace

void RegisterThreadFunction(int row, ThreadFunction fn) {
    if (row >= 0 && row < TH_NUMBER) g_functions[row] = fn;
}

void RegisterBindReport(int row, BindFailureReport fn) {
    if (row >= 0 && row < TH_NUMBER) g_bindReports[row] = fn;
}

namespace {
void ReportBindFailure(int row, int err, const std::string& addrText, int port) {
    const ThreadTableRow& r = ThreadTable[row];
    const char* text = LastErrorText(err);
    if (BindFailureReport report = g_bindReports[row].load())
        report(err, addrText);
    else if (ClassifyBindError(err) == BIND_IN_USE)
        LogError("Error %d\n%s\n\nNimbo can not bind the %s port\nan application is already listening on this port",
                 err, text, r.name);
    else if (ClassifyBindError(err) == BIND_NOT_AVAILABLE)
        LogError(
            "Error %d\n%s\n\nNimbo tried to bind the %s port\nto the interface %s\nwhich is not available for this "
            "host\nEither remove the %s service or suppress %s interface assignation",
            err, text, r.name, addrText.c_str(), r.name, addrText.c_str());
    else
        LogError("Bind error %d\n%s", err, text);
    DebugTrace("bind port to %s port %d failed\n", addrText.empty() ? "0.0.0.0" : addrText.c_str(), port);
}

// A stream row's listener: non-blocking, so that an accept after a wake-up never hangs.
int OpenRowListener(int row, const GlobalSettings& s) {
    const int port = EffectivePort(row, s);
    const std::string addrText = LocalAddressText(row, s);
    in_addr local{};
    int err = EADDRNOTAVAIL;
    if (addrText.empty() || ParseIPv4(addrText.c_str(), &local)) {
        int sock = OpenTcpListener(local.s_addr, static_cast<uint16_t>(port), SOMAXCONN, SOCK_NONBLOCK);
        if (sock >= 0) return sock;
        err = errno;
    }
    ReportBindFailure(row, err, addrText, port);
    return -1;
}
}  // namespace

int BindServiceSocket(int row) {
    const ThreadTableRow& r = ThreadTable[row];
    GlobalSettings s = SettingsSnapshot();
    if (r.socket == RowSocket::kStream) return OpenRowListener(row, s);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        int err = errno;
        LogError("Error : Can't create socket\nError %d (%s)", err, LastErrorText(err));
        return -1;
    }
    if (s.TFTP_SupportForPortOption && r.servicesName && strcmp(r.servicesName, "tftp") == 0) {
        int one = 1;
        if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0)
            DebugTrace("Port %d may be reused", s.TFTP_Port);
        else
            DebugTrace("setsockopt error");
    }
    int port = EffectivePort(row, s);
    std::string addrText = LocalAddressText(row, s);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    int err = 0;
    in_addr local{};
    if (!addrText.empty() && !ParseIPv4(addrText.c_str(), &local)) err = EADDRNOTAVAIL;
    if (!err && r.wildcardPktinfo) {
        // Broadcasts reach only a socket bound to the wildcard address: bind 0.0.0.0 and tie
        // the socket to the interface that holds the configured address.
        int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        if (!addrText.empty()) {
            std::string ifname;
            if (!InterfaceOfAddress(local, &ifname))
                err = EADDRNOTAVAIL;
            else if (setsockopt(sock, SOL_SOCKET, SO_BINDTODEVICE, ifname.c_str(),
                                static_cast<socklen_t>(ifname.size())) != 0)
                err = errno;
        }
    } else if (!err && !addrText.empty()) {
        sa.sin_addr = local;
    }
    EnablePktinfo(sock);
    if (!err && bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) err = errno;
    if (!err) return sock;
    close(sock);
    ReportBindFailure(row, err, addrText, port);
    return -1;
}

int StartThread(int row) {
    std::lock_guard<std::mutex> lk(g_rowLock);
    ThreadSlot& slot = ThreadSlots[row];
    const ThreadTableRow& r = ThreadTable[row];
    if (slot.running) return 1;  // still running: nothing to do
    // A row stopped earlier (requests 201/202, or a thread that was slow to end) is joined and
    // closed before it starts again.
    if (!ReapRow(row, 2000)) return 0;
    slot.running = 0;
    if (r.socket != RowSocket::kNone) {
        int sock = BindServiceSocket(row);
        if (sock < 0) return 0;
        slot.socket = sock;
    }
    // Every row has a pollable wake-up event; rows of the table without one are also woken
    // by a datagram to their own port.
    if (!slot.event->valid()) {
        CloseRowResources(row);
        return 0;
    }
    slot.event->Reset();
    slot.running = 1;
    ThreadFunction fn = g_functions[row].load();
    if (!fn) fn = BuiltinFunction(row);
    bool ok = fn ? g_threads[row].Start(fn) : g_threads[row].Start([row] { IdleServiceThread(row); });
    if (!ok) {
        slot.running = 0;
        CloseRowResources(row);
        return 0;
    }
    if (row == TH_CONSOLE) g_consoleClosed = false;
    return 1;
}

int StartThreads(int servicesOnly) {
    if (!servicesOnly) {
        StartThread(TH_CONSOLE);
        usleep(200000);
        StartThread(TH_REGISTRY);
        StartThread(TH_SCHEDULER);
    }
    uint32_t mask = static_cast<uint32_t>(SettingsSnapshot().NIMBO_Services);
    static const int order[] = {TH_NFS, TH_DHCP, TH_PDHCP, TH_BINL, TH_TFTP,
                                TH_FTP, TH_HTTP, TH_SNTP,  TH_DNS,  TH_SYSLOG};
    for (int row : order) {
        if (!(mask & ThreadTable[row].serviceBit)) continue;
        if (row == TH_BINL && !(mask & (SVC_DHCP | SVC_PDHCP))) continue;
        if (ThreadSlots[row].running) continue;
        StartThread(row);
    }
    usleep(200000);
    ToConsole(NOTICE_SERVICES_STARTED, nullptr, 0, false);
    return 1;
}

void StopThreads(int suspend) {
    static const int order[] = {TH_BINL, TH_TFTP, TH_FTP, TH_HTTP,   TH_NFS,       TH_PDHCP,
                                TH_DHCP, TH_SNTP, TH_DNS, TH_SYSLOG, TH_SCHEDULER, TH_REGISTRY};
    Thread* waitList[TH_NUMBER];
    int n = 0;
    for (int row : order) {
        if (suspend && (row == TH_SCHEDULER || row == TH_REGISTRY)) continue;
        if (!ThreadSlots[row].running) continue;
        ThreadSlots[row].running = 0;
        WakeThread(row);
        waitList[n++] = &g_threads[row];
    }
    for (int waited = 0; n && waited < 1000; waited += 20) {
        if (WaitAllExited(waitList, n, 20)) break;
        ConsolePump();
    }
    {
        std::lock_guard<std::mutex> lk(g_rowLock);
        for (int row = 0; row < TH_NUMBER; ++row) {
            uint32_t bit = ThreadTable[row].serviceBit;
            bool infrastructure = bit == SVC_CONSOLE || bit == SVC_REGISTRY || bit == SVC_SCHEDULER;
            if (!infrastructure || (!suspend && (row == TH_SCHEDULER || row == TH_REGISTRY))) ReapRow(row, 0);
        }
    }
    if (suspend) {
        DebugTrace("worker level 1 threads have returned\n");
        return;
    }
    usleep(100000);
    // The Console thread runs this: it is told to end and closes its own row as it ends;
    // main joins it. Logging is silent from here on.
    if (ThreadSlots[TH_CONSOLE].running) {
        g_consoleClosed = true;
        ThreadSlots[TH_CONSOLE].running = 0;
        WakeThread(TH_CONSOLE);
    }
    DebugTrace("all level 1 threads have returned\n");
}

int WakeThread(int row) {
    const ThreadTableRow& r = ThreadTable[row];
    ThreadSlot& slot = ThreadSlots[row];
    if (Event* e = slot.event) e->Set();
    if (!r.hasEvent && r.socket == RowSocket::kDatagram) SendWakeUp(row);
    return 1;
}

bool SendWakeUp(int row) {
    const ThreadTableRow& r = ThreadTable[row];
    GlobalSettings s = SettingsSnapshot();
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    int sp = ServicePort(r.servicesName, "udp");
    to.sin_port = htons(static_cast<uint16_t>(sp ? sp : ConfiguredPort(row, s)));
    std::string addr = LocalAddressText(row, s);
    if (addr.empty() || !ParseIPv4(addr.c_str(), &to.sin_addr)) to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static const char msg[8] = "wake up";
    bool ok = sendto(sock, msg, sizeof msg, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to) == sizeof msg;
    close(sock);
    return ok;
}

void CloseThreadRow(int row) {
    std::lock_guard<std::mutex> lk(g_rowLock);
    ReapRow(row, 0);
}

uint32_t GetRunningServices() {
    uint32_t mask = 0;
    for (int row = 0; row < TH_NUMBER; ++row)
        if (ThreadSlots[row].running) mask |= ThreadTable[row].serviceBit;
    return mask;
}

bool IsRowRunning(int row) { return ThreadSlots[row].running != 0; }

bool ConsoleRowClosed() { return g_consoleClosed; }

bool JoinThreadRow(int row, int timeoutMs) {
    if (!g_threads[row].Join(timeoutMs)) return false;
    std::lock_guard<std::mutex> lk(g_rowLock);
    CloseRowResources(row);
    return true;
}

bool JoinAllRows(int timeoutMs) {
    Thread* all[TH_NUMBER];
    for (int row = 0; row < TH_NUMBER; ++row) all[row] = &g_threads[row];
    if (!WaitAllExited(all, TH_NUMBER, timeoutMs)) return false;
    std::lock_guard<std::mutex> lk(g_rowLock);
    for (int row = 0; row < TH_NUMBER; ++row) CloseRowResources(row);
    return true;
}

void RunServiceRow(int row, bool (*start)(), void (*stop)()) {
    ThreadSlot& slot = ThreadSlots[row];
    if (SleepWhileRunning(row, 1500)) {
        if (!start()) {
            slot.running = 0;
            if (slot.socket >= 0) shutdown(slot.socket, SHUT_RDWR);
        } else {
            while (slot.running) slot.event->Wait(1000);
            stop();
            usleep(50000);
        }
    }
    DebugTrace("Thread Inf: %s thread ends here\n", ThreadTable[row].name);
}

bool SleepWhileRunning(int row, int ms) {
    for (int waited = 0; waited < ms && ThreadSlots[row].running; waited += 25) usleep(25000);
    return ThreadSlots[row].running != 0;
}

CommandLineWords SplitCommandLine(const std::string& commandLine) {
    CommandLineWords w;
    std::string line = commandLine.substr(0, 511);
    w.words[0] = ProgramTitle;
    w.count = 1;
    size_t i = 0;
    while (i < line.size() && w.count < 31) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i >= line.size()) break;
        size_t end;
        if (line[i] == '"') {
            ++i;
            end = line.find('"', i);
            if (end == std::string::npos) end = line.size();
            w.words[w.count++] = line.substr(i, end - i);
            i = end + 1;
        } else {
            end = line.find(' ', i);
            if (end == std::string::npos) end = line.size();
            w.words[w.count++] = line.substr(i, end - i);
            i = end;
        }
    }
    return w;
}

void ParseCommandLine(const std::string& commandLine) {
    CommandLineWords w = SplitCommandLine(commandLine);
    for (int i = 1; i < w.count; ++i) {
        const std::string& word = w.words[i];
        if (word.size() < 2 || word[0] != '-' || i + 1 >= w.count) continue;
        const char* var = nullptr;
        switch (word[1]) {
            case 'i': var = "NIMBO_INI"; break;
            case 'l': var = "NIMBO_LOG"; break;
            case 's': var = "NIMBO_DIR"; break;
            default: break;
        }
        if (var) {
            setenv(var, w.words[i + 1].c_str(), 1);
            ++i;
        }
    }
}

void ServiceBootThread() {
    const char* level = getenv("NIMBO_LOG");
    int logLevel = level ? atoi(std::string(level).substr(0, 259).c_str()) : 8;
    SettingsUpdate([&](GlobalSettings& s) { s.LogLevel = logLevel; });
    const char* ini = getenv("NIMBO_INI");
    std::string name = ini && *ini ? ini : "Nimbo.ini";
    SetIniPath(name[0] == '/' ? name : GetProgramFilePath(name));
    LoadSettings();
    SettingsUpdate([&](GlobalSettings& s) { s.LogLevel = logLevel; });
    StartThreads(0);
}
