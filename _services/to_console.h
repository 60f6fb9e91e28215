// The service side of the console link.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "_services/host_records.h"

enum ConsoleState { CONSOLE_NOT_CONNECTED = 17, CONSOLE_CONNECTED = 18 };

void ConsoleThread();
// Queues a notice for the GUI (dropped when none is connected or the queue is full). A
// synchronous notice waits until it is written, at most about two seconds, and not at all
// while an earlier one is still waiting to be written. The notices a full queue drops are
// counted; the GUI gets a log line with their number (at most one a second), after the
// notices that reached it.
int ToConsole(uint32_t id, const void* data, size_t length, bool synchronous);
// True while a notice posted now would be dropped because the GUI is not keeping up (the
// queue was found full and the Console thread has not emptied it since); the notice that is
// then not posted counts as dropped. Asked before a costly notice is built.
bool ConsoleDropsNotices();
// Log lines for the GUI are bounded: at most kConsoleLinesPerSpell in each spell of
// kConsoleLineSpellMs, as many as the GUI's log shows at once in each of its passes (more
// would never be seen). ConsoleWantsLine tells whether a line would go now (a GUI is
// connected, the queue has room and the spell's bound is not reached), else counts it as
// dropped; the program log asks it before it formats a line only the GUI would read.
// ConsoleLogLine posts a finished line within the bound (dropped and counted beyond it).
constexpr int kConsoleLinesPerSpell = 1001;
constexpr int kConsoleLineSpellMs = 250;
bool ConsoleWantsLine();
void ConsoleLogLine(const char* line, size_t length);
// Notices dropped for a full queue since the program started.
uint64_t ConsoleDroppedNotices();
// Tests watch the notices of every service through this tap: it sees each notice posted with
// ToConsole, desktop connected or not, before it is queued. nullptr removes it.
using NoticeTap = void (*)(uint32_t id, const void* data, size_t length);
void SetNoticeTap(NoticeTap tap);
// While one lives, the notices this thread posts without waiting wake the Console thread
// once, when it ends, instead of once each: for a service answering a batch of requests.
class ConsoleWakeBatch {
public:
    ConsoleWakeBatch();
    ~ConsoleWakeBatch();
    ConsoleWakeBatch(const ConsoleWakeBatch&) = delete;
    ConsoleWakeBatch& operator=(const ConsoleWakeBatch&) = delete;
};
int ConsoleState();
// Wait until the listener is open (tests and the GUI start-up use it). Returns the port or 0.
// While a GUI is connected no listener is open: the wait ends when the next one opens.
int WaitConsoleListening(int timeoutMs);
// On the Console thread while it runs a long request: writes the queued notices, so that
// service threads waiting on a synchronous notice can go on (and end when asked to).
void ConsolePump();
// Carries out one request; 0 when its answer could not be written (the link is lost).
int HandleConsoleRequest(int sock, const uint8_t* frame, size_t length);

// Hooks into the services that the requests reach; set by the service modules.
struct ConsoleServiceHooks {
    void (*stopTransfer)(uint32_t transferNumber) = nullptr;                    // 200
    std::vector<uint8_t> (*getDhcpSettings)() = nullptr;                        // 206
    void (*applyDhcpSettings)(const uint8_t* record, size_t length) = nullptr;  // 208
    void (*freeLease)(uint32_t ipNetworkOrder) = nullptr;                       // 213
};
// The live hooks; service modules fill in their members before StartThreads.
ConsoleServiceHooks& ConsoleHooks();
