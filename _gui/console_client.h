// The desktop end of the console link: connect and handshake, reading and dispatching
// frames, and one sender per request. Main thread only.
#pragma once
#include <cstdint>
#include <string>

#include "_gui/console_model.h"

struct ConsoleClient {
    int          sock = -1;
    ConsoleModel model;
    uint8_t      buffer[kConsoleBufferSize];
};
// The one client of the program.
ConsoleClient& GuiConsole();
// Closes the socket and forgets every copy (start of a session, tests).
void ResetGuiConsole();

// Connects to the service on `host`, proves the password and fetches the settings and the
// running services. 1 connected, 0 failed (the message has been shown).
int ConnectToService(const char* host);

// Reads one frame and dispatches it. wait: up to 10 s for each part of the frame; without
// wait, -2 when no frame has begun to arrive (a frame that has begun is read with the
// wait, so the stream never loses its alignment). Returns the frame length, 0 when the
// service closed the link, a negative value on a receive error.
int GuiDispatchConsoleMsg(ConsoleView* view, int sock, bool wait);

void SetGuiQuiet();
bool IsRemoteHostSet();

// Request senders: each traces one line and writes one frame; they return the send result.
int SendStopTransfer(uint32_t transferNumber);
int SendStopAll();
int SendSuspendServices();
int SendStartServices();
int SendAskDhcpSettings();
int SendAskGlobalSettings();
int SendStoreDhcpSettings();
int SendStoreGlobalSettings();
int SendEraseSettings();
int SendSetWorkingDir(const char* path);
int SendAskWorkingDir();
int SendFreeLease(uint32_t ipNetworkOrder);
int SendAskRunningServices();
int SendAskHostAddresses();
int SendAskDirectory();

// Closes the console socket.
void CloseConsole();
