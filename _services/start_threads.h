// The table of long-lived threads and the routines that start, stop and wake them.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "libs/platform/event.h"

enum ThreadRow : int {
    TH_CONSOLE = 0,
    TH_REGISTRY,
    TH_SCHEDULER,
    TH_DHCP,
    TH_PDHCP,
    TH_BINL,
    TH_TFTP,
    TH_FTP,
    TH_HTTP,
    TH_SNTP,
    TH_DNS,
    TH_SYSLOG,
    TH_NFS,
    TH_NUMBER
};

using ThreadFunction = void (*)();

// The socket a row binds before its thread starts.
enum class RowSocket : uint8_t {
    kNone,      // no socket of the row's own
    kStream,    // a TCP listener
    kDatagram,  // a UDP socket
};

struct ThreadTableRow {
    const char* name;
    uint32_t serviceBit;
    RowSocket socket;
    const char* servicesName;     // services-file name or nullptr
    int constantPort;             // configured port when not a setting (0 = none)
    size_t portSettingOffset;     // GlobalSettings offset of the port setting, or 0
    size_t localIpSettingOffset;  // GlobalSettings offset of the bind address, or 0
    int defaultPort;
    bool hasEvent;
    bool wildcardPktinfo;  // bind 0.0.0.0 with IP_PKTINFO (+ SO_BINDTODEVICE for the address)
};
extern const ThreadTableRow ThreadTable[TH_NUMBER];

struct ThreadSlot {
    std::atomic<int> running{0};
    Event* event = nullptr;  // the row's wake-up event (always present)
    int socket = -1;         // the row's listener or datagram socket while the row runs
};
extern ThreadSlot ThreadSlots[TH_NUMBER];

// The service modules register their thread function here before StartThreads; rows
// without one run an idle thread that ends when its running flag is cleared.
void RegisterThreadFunction(int row, ThreadFunction fn);
// A row whose socket cannot be bound reports it in its service's own words when it has
// registered a report; otherwise the table's texts are shown.
using BindFailureReport = void (*)(int err, const std::string& address);
void RegisterBindReport(int row, BindFailureReport fn);
// The thread function of a row whose service runs threads of its own (a server on the row's
// listener): after the row's start-up pause it calls start; while start's service runs it
// waits for the row to be stopped, then calls stop. A service that does not start ends the
// row and shuts its listener down.
void RunServiceRow(int row, bool (*start)(), void (*stop)());

int StartThread(int row);
int StartThreads(int servicesOnly);
void StopThreads(int suspend);
int WakeThread(int row);
bool SendWakeUp(int row);
int BindServiceSocket(int row);
void CloseThreadRow(int row);
uint32_t GetRunningServices();
bool IsRowRunning(int row);
// True once request 203 has stopped the Console thread: logging is then silent.
bool ConsoleRowClosed();
// Waits for the end of a row's thread (used by main for the Console thread).
bool JoinThreadRow(int row, int timeoutMs);
// Joins every row's thread within timeoutMs in all; true when none is left running.
bool JoinAllRows(int timeoutMs);

// Sleeps up to ms in 25 ms steps, returning early once the row stops. Returns running.
bool SleepWhileRunning(int row, int ms);

// Raised by the BINL thread while it prepares the TFTP root; the DHCP thread (port 67)
// drops every request while it is non-zero.
extern std::atomic<int> BinlPreparationCount;

// Command line and bootstrap.
struct CommandLineWords {
    int count = 0;
    std::string words[32];
};
CommandLineWords SplitCommandLine(const std::string& commandLine);
void ParseCommandLine(const std::string& commandLine);
void ServiceBootThread();
