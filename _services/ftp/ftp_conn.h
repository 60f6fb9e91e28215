// Shared by the control connection and the data connections of one client.
#pragma once
#include <string>

#include "_services/ftp/ftp_server.h"

// Sends one reply line (CR LF added) on the control socket; false when the send failed.
bool SendReply(FtpClientEntry* c, const std::string& text);
bool SendFormattedReply(FtpClientEntry* c, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A path argument resolved for the logged-in user: the full local path and the same path
// below the root. False when it does not resolve.
struct FtpResolved {
    std::string full;
    std::string relative;
    std::string virt;
};
bool ResolveArgument(FtpClientEntry* c, const char* argument, FtpResolved* out);

// Write bits stand for the read-only attribute (the server itself may write anything): an
// entry without write bits is neither written, removed nor renamed, and a folder without them
// takes no new entries. False, after a 550 reply and a log line, when refused.
enum class FtpWrite { Entry, NewEntryIn };
bool WriteAllowed(FtpClientEntry* c, const FtpResolved& r, FtpWrite what);

// The data part: PORT, PASV, EPSV, LIST, NLST, STAT with an argument, ABOR, REST, RETR,
// STOR, APPE, STOU.
void HandleDataCommand(FtpClientEntry* c, int verb, const char* argument);
// Closes the data connection (on the control thread): a running data thread is stopped and
// joined first.
void CloseDataConnection(FtpClientEntry* c);
// The control thread's last step before the record goes: the data thread ends first.
void EndDataOnExit(FtpClientEntry* c);

int64_t NowSeconds();
