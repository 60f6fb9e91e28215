// The desktop end of the console link: connect and handshake, reading and dispatching
// frames, and one sender per request. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "_gui/console_model.h"

// Bytes the link may hold back for the desktop between two reads: one receive takes up to
// this much, and the frames are then cut from memory.
constexpr size_t kConsoleInboxSize = 256 * 1024;

struct ConsoleClient {
    int sock = -1;
    ConsoleModel model;
    uint8_t buffer[kConsoleBufferSize];  // the frame being dispatched
    // Received and not dispatched yet: [inboxBegin, inboxEnd) of inbox, whole frames first,
    // then at most the start of one.
    std::vector<uint8_t> inbox = std::vector<uint8_t>(kConsoleInboxSize);
    size_t inboxBegin = 0, inboxEnd = 0;
};
// The one client of the program.
ConsoleClient& GuiConsole();
// Closes the socket and forgets every copy (start of a session, tests).
void ResetGuiConsole();

// Connects to the service on `host`, proves the password and fetches the settings and the
// running services. 1 connected, 0 failed (the message has been shown).
int ConnectToService(const char* host);

// Dispatches the next frame. The link is read in large pieces: a receive takes all the bytes
// that wait (up to kConsoleInboxSize), the frames are cut from them one per call, and the
// start of a frame cut by the end of a piece waits for the rest. wait: up to 10 s for each
// piece until the frame is whole; without wait, -2 (TCP4U_TIMEOUT) when no whole frame can
// be had without waiting. Returns the frame length, 0 when the service closed the link, a
// negative value on a receive error or a malformed length.
int GuiDispatchConsoleMsg(ConsoleView* view, int sock, bool wait);
// A whole frame has been received and waits to be dispatched (no read of the link needed).
bool GuiConsoleFrameWaiting();

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
