#include "_gui/console_client.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "libs/log/log.h"
#include "libs/mini_tcp4u/tcp4u.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"
#include "libs/platform/sockets.h"

namespace {

ConsoleClient g_console;

const uint8_t kNul = 0;

// The length of the frame at the front of the inbox (its 2-byte head aside) once the frame is
// whole, 0 while bytes of it are missing, negative for a length no frame has.
int WholeFrame(const ConsoleClient& c)
{
    const size_t have = c.inboxEnd - c.inboxBegin;
    if (have < 2)
        return 0;
    const uint8_t* p = c.inbox.data() + c.inboxBegin;
    const size_t length = static_cast<size_t>(p[0]) << 8 | p[1];
    if ((length & 0x8000) != 0 || length > sizeof(c.buffer))
        return TCP4U_OVERFLOW;
    if (length == 0)
        return TCP4U_ERROR;  // no frame is empty
    return have >= 2 + length ? static_cast<int>(length) : 0;
}

// Receives what the link holds into the inbox, waiting up to `timeout` s for it (-1: not at
// all). The bytes added, 0 when the service closed the link, negative on a time-out or error.
int FillInbox(ConsoleClient& c, int sock, int timeout)
{
    if (c.inboxBegin == c.inboxEnd) {
        c.inboxBegin = c.inboxEnd = 0;
    } else if (c.inbox.size() - c.inboxEnd < 2 + sizeof(c.buffer)) {
        // Room for at least a whole frame behind what is kept.
        std::memmove(c.inbox.data(), c.inbox.data() + c.inboxBegin, c.inboxEnd - c.inboxBegin);
        c.inboxEnd -= c.inboxBegin;
        c.inboxBegin = 0;
    }
    const int n = TcpRecvTimeout(sock, c.inbox.data() + c.inboxEnd, c.inbox.size() - c.inboxEnd, timeout);
    if (n > 0)
        c.inboxEnd += static_cast<size_t>(n);
    return n;
}

int SendRequest(uint32_t id, const void* data, size_t length)
{
    if (!data) {
        data = &kNul;
        length = 1;
    }
    return SendConsoleMsg(g_console.sock, id, data, length);
}

}  // namespace

ConsoleClient& GuiConsole() { return g_console; }

void ResetGuiConsole()
{
    CloseConsole();
    g_console.model = ConsoleModel{};
}

void CloseConsole()
{
    if (g_console.sock != INVALID_SOCK)
        TcpClose(g_console.sock);
    g_console.sock = INVALID_SOCK;
    g_console.inboxBegin = g_console.inboxEnd = 0;
}

int ConnectToService(const char* host)
{
    IgnoreSigpipe();
    ConsoleModel& model = g_console.model;
    uint16_t port = 1994;
    if (ServicePort("nimbo32", "tcp") == 0 && model.settings.ConsolePort != 0)
        port = model.settings.ConsolePort;
    errno = 0;
    const int sock = TcpConnect(host, "nimbo32", port);
    if (sock == INVALID_SOCK) {
        const int err = errno;
        MessageBoxPrintf(nullptr, "Can't connect to the service\nError %d (%s)", ProgramTitle, MB_OK | MB_ICONERROR,
                         err, LastErrorText(err));
        return 0;
    }
    DebugTrace("connected to console\n");

    std::memset(model.settings.NIMBO_ConsolePassword, 0, sizeof(model.settings.NIMBO_ConsolePassword));
    std::memcpy(model.settings.NIMBO_ConsolePassword, kConsolePassword, std::strlen(kConsolePassword));
    const int rc = ConsoleHandshake(sock, kGuiHandshakeSeed, kConsoleVersion, model.settings.NIMBO_ConsolePassword);
    if (rc < 0) {
        TcpClose(sock);
        MessageBoxPrintf(nullptr,
                         rc == TCP4U_BAD_PASSWORD ? "Bad Password" : "Console version does not match service's",
                         ProgramTitle, MB_OK | MB_ICONERROR);
        return 0;
    }
    DebugTrace("GUI Version check OK\n");
    g_console.sock = sock;
    g_console.inboxBegin = g_console.inboxEnd = 0;

    // The copies fill while no window exists yet. Whatever the service sent before any
    // request is taken without waiting: a service with nothing to say would otherwise hold
    // the start-up for the whole receive time-out.
    GuiDispatchConsoleMsg(nullptr, sock, false);
    SendAskGlobalSettings();
    GuiDispatchConsoleMsg(nullptr, sock, true);
    SendAskDhcpSettings();
    GuiDispatchConsoleMsg(nullptr, sock, true);
    SendAskRunningServices();
    GuiDispatchConsoleMsg(nullptr, sock, true);
    for (int round = 0; round < 150 && model.settings.RunningServices == 0; ++round) {
        GuiDispatchConsoleMsg(nullptr, sock, false);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 1;
}

int GuiDispatchConsoleMsg(ConsoleView* view, int sock, bool wait)
{
    ConsoleClient& c = g_console;
    for (;;) {
        const int length = WholeFrame(c);
        if (length < 0)
            return length;
        if (length > 0) {
            // Dispatched from its own copy: a dispatch may read the link again.
            std::memcpy(c.buffer, c.inbox.data() + c.inboxBegin + 2, static_cast<size_t>(length));
            c.inboxBegin += 2 + static_cast<size_t>(length);
            if (length <= 3)
                return length;
            return DispatchConsoleFrame(c.model, view, c.buffer, static_cast<size_t>(length));
        }
        const bool begun = c.inboxEnd > c.inboxBegin;
        const int n = FillInbox(c, sock, wait ? 10 : -1);
        if (n == TCP4U_TIMEOUT)
            return wait && begun ? TCP4U_ERROR : TCP4U_TIMEOUT;
        if (n <= 0)
            return n;
    }
}

bool GuiConsoleFrameWaiting() { return WholeFrame(g_console) != 0; }

void SetGuiQuiet() { g_console.model.quiet = true; }

bool IsRemoteHostSet() { return std::getenv("NIMBO_HOST") != nullptr; }

int SendStopTransfer(uint32_t transferNumber)
{
    DebugTrace("Transfer %d cancel by user", static_cast<int>(transferNumber));
    DebugTrace("GUI aborting TFTP transfer %d\n", static_cast<int>(transferNumber));
    return SendRequest(REQ_STOP_TRANSFER, &transferNumber, sizeof(transferNumber));
}

int SendStopAll()
{
    DebugTrace("GUI Stopping all services\n");
    return SendRequest(REQ_STOP_ALL, nullptr, 0);
}

int SendSuspendServices()
{
    DebugTrace("GUI Supsending services\n");
    return SendRequest(REQ_SUSPEND, nullptr, 0);
}

int SendStartServices()
{
    DebugTrace("GUI Starting all services\n");
    return SendRequest(REQ_START, nullptr, 0);
}

int SendAskDhcpSettings()
{
    DebugTrace("GUI Ask DHCP settings\n");
    return SendRequest(REQ_SEND_DHCP_SETTINGS, nullptr, 0);
}

int SendAskGlobalSettings()
{
    DebugTrace("GUI Ask TFTP settings\n");
    return SendRequest(REQ_SEND_GLOBAL_SETTINGS, nullptr, 0);
}

int SendStoreDhcpSettings()
{
    DebugTrace("Saving DHCP Settings\n");
    return SendRequest(REQ_STORE_DHCP_SETTINGS, g_console.model.dhcpSettings.data(), kDhcpSettingsSize);
}

int SendStoreGlobalSettings()
{
    DebugTrace("Saving global Settings\n");
    return SendRequest(REQ_STORE_GLOBAL_SETTINGS, &g_console.model.settings, sizeof(GlobalSettings));
}

int SendEraseSettings()
{
    DebugTrace("Deleting settings entry\n");
    return SendRequest(REQ_ERASE_SETTINGS, nullptr, 0);
}

int SendSetWorkingDir(const char* path)
{
    DebugTrace("GUI Set working directory to %s\n", path);
    return SendRequest(REQ_SET_WORKING_DIR, path, std::strlen(path) + 1);
}

int SendAskWorkingDir()
{
    DebugTrace("Requesting Working Directory\n");
    return SendRequest(REQ_SEND_WORKING_DIR, nullptr, 0);
}

int SendFreeLease(uint32_t ipNetworkOrder)
{
    DebugTrace("Deleting DHCP entry %X\n", ipNetworkOrder);
    return SendRequest(REQ_FREE_LEASE, &ipNetworkOrder, sizeof(ipNetworkOrder));
}

int SendAskRunningServices()
{
    DebugTrace("Requesting Running Services\n");
    return SendRequest(REQ_SEND_RUNNING_SERVICES, nullptr, 0);
}

int SendAskHostAddresses()
{
    DebugTrace("Requesting list of IP interfaces\n");
    return SendRequest(REQ_SEND_HOST_IPS, nullptr, 0);
}

int SendAskDirectory()
{
    DebugTrace("Requesting Directory Content\n");
    return SendRequest(REQ_SEND_DIRECTORY, nullptr, 0);
}
