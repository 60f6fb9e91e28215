#include "_gui/console_client.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <chrono>

#include "libs/log/log.h"
#include "libs/platform/sockets.h"
#include "libs/mini_tcp4u/tcp4u.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"

namespace {

ConsoleClient g_console;

const uint8_t kNul = 0;

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
        MessageBoxPrintf(nullptr, "Can't connect to the service\nError %d (%s)", ProgramTitle,
                         MB_OK | MB_ICONERROR, err, LastErrorText(err));
        return 0;
    }
    DebugTrace("connected to console\n");

    std::memset(model.settings.NIMBO_ConsolePassword, 0, sizeof(model.settings.NIMBO_ConsolePassword));
    std::memcpy(model.settings.NIMBO_ConsolePassword, kConsolePassword, std::strlen(kConsolePassword));
    const int rc = ConsoleHandshake(sock, kGuiHandshakeSeed, kConsoleVersion, model.settings.NIMBO_ConsolePassword);
    if (rc < 0) {
        TcpClose(sock);
        MessageBoxPrintf(nullptr, rc == TCP4U_BAD_PASSWORD ? "Bad Password" : "Console version does not match service's",
                         ProgramTitle, MB_OK | MB_ICONERROR);
        return 0;
    }
    DebugTrace("GUI Version check OK\n");
    g_console.sock = sock;

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
    if (!wait) {
        const int ready = TcpRecvTimeout(sock, nullptr, 0, -1);
        if (ready <= 0)
            return ready == 0 ? TCP4U_TIMEOUT : ready;
    }
    const int n = TcpRecvFrame(sock, g_console.buffer, sizeof(g_console.buffer), 10);
    if (n <= 3)
        return n;
    return DispatchConsoleFrame(g_console.model, view, g_console.buffer, static_cast<size_t>(n));
}

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
