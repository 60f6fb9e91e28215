// The control connection: greeting, command lines, login and the commands that need no
// data connection.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <thread>

#include "_services/ftp/ftp_conn.h"
#include "_services/ftp/ftp_paths.h"
#include "libs/log/log.h"
#include "libs/platform/beneath.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/posix_attr.h"
#include "libs/platform/sockets.h"
#include "libs/platform/str_format.h"

int64_t NowSeconds() { return static_cast<int64_t>(time(nullptr)); }

bool SendReply(FtpClientEntry* c, const std::string& text) {
    c->server->ClientEvent(FTP_EV_SENT, c, text.c_str());
    std::string line = text + "\r\n";
    std::lock_guard<std::mutex> g(c->sendLock);
    if (SendAllBlocking(c->controlSocket, line.data(), line.size()) >= 0) return true;
    // Not sent within the send limit (or the peer is gone): the connection ends here, before
    // the next command would block again.
    const bool timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
    c->server->ClientEvent(FTP_EV_SOCKET_ERROR, c, text.c_str());
    if (timedOut && !c->stopping.load() && c->server->PeerMayLog(c->peerAddr))
        LogLine(LOG_FTP, 0, "FTP  Warn: Client IP [%s] does not read its replies, closing the connection",
                c->PeerText().c_str());
    c->stopping = true;
    shutdown(c->controlSocket, SHUT_RDWR);
    return false;
}

constexpr size_t kFormattedReplyMax = 321;

bool SendFormattedReply(FtpClientEntry* c, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = StrFormatV(format, ap);
    va_end(ap);
    if (text.size() > kFormattedReplyMax) text.resize(kFormattedReplyMax);  // longer replies are cut
    return SendReply(c, text);
}

bool ResolveArgument(FtpClientEntry* c, const char* argument, FtpResolved* out) {
    if (!c->loggedIn.load() || c->rootFd < 0) return false;
    return BuildFullPath(c->root, c->currentFolder, argument, &out->full, &out->virt, &out->relative);
}

bool WriteAllowed(FtpClientEntry* c, const FtpResolved& r, FtpWrite what) {
    struct stat st;
    BeneathEntry folder;
    bool readOnly = false;
    if (what == FtpWrite::Entry) {
        readOnly = StatBeneath(c->rootFd, r.relative, &st) && !(st.st_mode & 0222);
    } else {
        readOnly = folder.Open(c->rootFd, r.relative) && fstat(folder.dir(), &st) == 0 && !(st.st_mode & 0222);
    }
    if (!readOnly) return true;
    const char* shown = what == FtpWrite::Entry ? "" : " (its folder)";
    if (c->server->PeerMayLog(c->peerAddr))
        LogLine(LOG_FTP, 0, "FTP  Warn: Client IP [%s] refused to change %s%s: read-only", c->PeerText().c_str(),
                EscapePeerText(r.virt, 300).c_str(), shown);
    SendFormattedReply(c, "550 Permission denied: %s%s is read-only.", r.virt.c_str(), shown);
    return false;
}

namespace {
bool HasPrivilege(FtpClientEntry* c, uint8_t bit, const char* refusal = "550 Permission denied.") {
    if (c->privileges & bit) return true;
    SendReply(c, refusal);
    return false;
}

// Sleeps for a while unless the connection is asked to end meanwhile.
void PauseUnlessStopping(FtpClientEntry* c, int ms) {
    for (int slept = 0; slept < ms && !c->stopping.load(); slept += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, ms - slept)));
}

// The connection's time limits: a login deadline from connect that commands do not renew,
// and an idle limit from the last logged-in command or transfer (from connect before login).
// False when one ran out.
bool WithinTimeLimits(FtpClientEntry* c) {
    const int64_t now = NowSeconds();
    const int login = c->server->loginSeconds.load(), idle = c->server->idleSeconds.load();
    const bool late = !c->loggedIn.load() && now - c->connectedAt >= login;
    const bool idled = c->transferKind.load() == FTP_XFER_NONE && now - c->lastActivity.load() >= idle;
    if (!late && !idled) return true;
    if (c->server->PeerMayLog(c->peerAddr)) {
        if (late)
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] not logged in after %d s, closing the connection",
                    c->PeerText().c_str(), login);
        else
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] idle for %d s, closing the connection", c->PeerText().c_str(),
                    idle);
    }
    SendReply(c, "421 Timeout.");
    return false;
}

// Reads the next command line. False when the connection is to end.
bool ReadCommandLine(FtpClientEntry* c, std::string* line) {
    for (;;) {
        if (c->stopping.load() || !WithinTimeLimits(c)) return false;
        switch (c->reader.Next(line)) {
            case FtpLineReader::kLine: c->server->ClientEvent(FTP_EV_RECEIVED, c, line->c_str()); return true;
            case FtpLineReader::kTooLong: SendReply(c, "500 Command line is too long !"); continue;
            case FtpLineReader::kNeedMore: break;
        }
        const int r = WaitReadable(c->controlSocket, 1000);
        if (c->stopping.load() || r < 0) return false;
        if (r == 0) continue;
        size_t room;
        char* buf = c->reader.Room(&room);
        ssize_t n = recv(c->controlSocket, buf, room, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            c->server->ClientEvent(FTP_EV_CLIENT_DISCONNECTED, c, "");
            return false;
        }
        if (n < 0) {
            c->server->ClientEvent(FTP_EV_SOCKET_ERROR, c, "");
            return false;
        }
        c->reader.Commit(static_cast<size_t>(n));
    }
}

// Users lock held.
void LogUserIn(FtpClientEntry* c) {
    FtpUserEntry* u = c->user;
    u->loginCount++;
    c->root = u->root;
    c->privileges = u->privileges;
    if (c->rootFd >= 0) close(c->rootFd);
    c->rootFd = open(u->root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    {
        std::lock_guard<std::mutex> g(c->lock);
        c->userName = u->name;
    }
    c->loggedIn = true;
    c->lastActivity = NowSeconds();
}

void LogUserOut(FtpClientEntry* c) {
    std::lock_guard<std::recursive_mutex> g(c->server->usersLock);
    if (FtpUserEntry* u = c->user; u && c->loggedIn.load()) {
        if (u->loginCount > 0) u->loginCount--;
        if (u->pendingRelease && u->loginCount == 0) delete u;
    }
    c->user = nullptr;
    c->loggedIn = false;
    {
        std::lock_guard<std::mutex> l(c->lock);
        c->userName.clear();
    }
    if (c->rootFd >= 0) close(c->rootFd);
    c->rootFd = -1;
    c->root.clear();
    c->privileges = 0;
    c->currentFolder.assign(1, '/');
    c->renameSource.clear();
    c->renameRelative.clear();
}

bool HandleUser(FtpClientEntry* c, const char* arg) {
    if (c->loggedIn.load()) LogUserOut(c);
    if (!arg) {
        SendReply(c, "501 Invalid number of arguments.");
        return true;
    }
    const char* reply;
    {
        std::lock_guard<std::recursive_mutex> g(c->server->usersLock);
        FtpUserEntry* u = c->server->FindUser(arg);
        c->user = u;
        if (!u) {
            reply = "430 Invalid username or password.";
        } else if (!u->valid || !u->password.empty()) {
            reply = "331 Password required for this user.";
        } else {
            LogUserIn(c);
            reply = "230 User Logged In.";
        }
    }
    SendReply(c, reply);
    return true;
}

// False when the connection is to end (the tries are used up). A wrong password is answered
// after a delay that grows with the failures of the connection and of its address; only this
// connection's thread waits.
bool HandlePass(FtpClientEntry* c, const char* arg) {
    if (c->loggedIn.load()) {
        SendReply(c, "230 User Logged In.");
        return true;
    }
    c->passwordTries++;
    bool missing = false;
    {
        std::lock_guard<std::recursive_mutex> g(c->server->usersLock);
        FtpUserEntry* u = c->user;
        if (u && u->valid) {
            if (u->password.empty() || (arg && u->password == arg))
                LogUserIn(c);
            else if (!arg)
                missing = true;
        }
    }
    if (c->loggedIn.load()) {
        SendReply(c, "230 User Logged In.");
        c->server->ClientEvent(FTP_EV_LOGGED_IN, c, "");
        return true;
    }
    if (!missing) {
        const int delay = c->server->NoteLoginFailure(c->peerAddr, c->passwordTries);
        if (c->server->PeerMayLog(c->peerAddr))
            LogLine(LOG_FTP, 1, "FTP  Warn: Client IP [%s] gave a wrong password, answered in %d ms",
                    c->PeerText().c_str(), delay);
        PauseUnlessStopping(c, delay);
    }
    if (c->passwordTries >= c->server->passwordTries) {
        c->server->ClientEvent(FTP_EV_TOO_MANY_PASS, c, "");
        return false;
    }
    SendReply(c, missing ? "501 Invalid number of arguments." : "530 Login or password incorrect!");
    return true;
}

void HandleSite(FtpClientEntry* c, const char* arg) {
    uint16_t mode = 0;
    std::string path;
    SiteChmod parsed = arg ? ParseSiteChmod(arg, &mode, &path) : SiteChmod::NotChmod;
    if (parsed == SiteChmod::NotChmod) {
        SendReply(c, "501 SITE Syntax error in arguments.");
        return;
    }
    if (!HasPrivilege(c, FTP_PRIV_STORE, "550 SITE CHMOD Permission denied.")) return;
    FtpResolved r;
    if (parsed != SiteChmod::Ok || !ResolveArgument(c, path.empty() ? nullptr : path.c_str(), &r)) {
        SendReply(c, "501 SITE CHMOD Syntax error in arguments.");
        return;
    }
    // The mode word lives in the entry's attribute only; the file's own mode is left alone.
    BeneathEntry e;
    struct stat st;
    bool ok = e.Open(c->rootFd, r.relative) && StatBeneath(c->rootFd, r.relative, &st) &&
              CPosixFileAttr::WritePfaMode(e.ProcPath(), mode) == 1;
    if (ok) {
        SendReply(c, "200 SITE CHMOD Successful.");
    } else {
        SendReply(c, "501 SITE CHMOD Failed.");
        c->server->ClientEvent(FTP_EV_SITE_FAILED, c, arg);
    }
}

bool IsRegular(FtpClientEntry* c, const FtpResolved& r, struct stat* st) {
    return StatBeneath(c->rootFd, r.relative, st) && S_ISREG(st->st_mode);
}

// The command handlers: the table below has already checked the login, the privilege and the
// argument. False ends the connection.
bool DoQuit(FtpClientEntry* c, int, const char*) {
    SendReply(c, "221 Goodbye.");
    c->server->ClientEvent(FTP_EV_CLIENT_DISCONNECTED, c, "");
    return false;
}
bool DoUser(FtpClientEntry* c, int, const char* arg) { return HandleUser(c, arg); }
bool DoPass(FtpClientEntry* c, int, const char* arg) { return HandlePass(c, arg); }

bool DoNoop(FtpClientEntry* c, int, const char*) { return SendReply(c, "200 NOOP Command Successful."), true; }
bool DoHelp(FtpClientEntry* c, int, const char*) { return SendReply(c, "500 No Help Available."), true; }
bool DoSyst(FtpClientEntry* c, int, const char*) { return SendReply(c, "215 UNIX Type: L8"), true; }
bool DoFeat(FtpClientEntry* c, int, const char*) { return SendReply(c, kFtpFeatReply), true; }
bool DoSite(FtpClientEntry* c, int, const char* arg) { return HandleSite(c, arg), true; }
bool DoData(FtpClientEntry* c, int verb, const char* arg) { return HandleDataCommand(c, verb, arg), true; }

bool DoStru(FtpClientEntry* c, int, const char* arg) {
    SendReply(c,
              strcmp(arg, "F") == 0 ? "200 STRU Command Successful." : "504 STRU failled. Parametre not implemented");
    return true;
}

bool DoMode(FtpClientEntry* c, int, const char* arg) {
    if (strcmp(arg, "S") == 0) {
        c->mode = 0;
        SendReply(c, "200 MODE set to S.");
    } else if (strcmp(arg, "Z") == 0) {
        SendReply(c, "502 MODE Z non-implemented.");
    } else {
        SendFormattedReply(c, "504 \"%s\": Unsupported transfer MODE.", arg);
    }
    return true;
}

bool DoType(FtpClientEntry* c, int, const char* arg) {
    if (arg[0] == 'A' || arg[0] == 'a') {
        c->type = 0;
        SendReply(c, "200 ASCII transfer mode active.");
    } else if (arg[0] == 'I' || arg[0] == 'i') {
        c->type = 1;
        SendReply(c, "200 Binary transfer mode active.");
    } else {
        SendReply(c, "550 Error - unknown binary mode.");
    }
    return true;
}

bool DoClnt(FtpClientEntry* c, int, const char* arg) {
    c->server->ClientEvent(FTP_EV_CLNT, c, arg);
    SendReply(c, "200 Ok.");
    return true;
}

bool DoCwd(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    if (ResolveArgument(c, arg, &r) && StatBeneath(c->rootFd, r.relative, &st) && S_ISDIR(st.st_mode)) {
        c->currentFolder = r.virt;
        SendReply(c, "250 CWD command successful.");
        c->server->ClientEvent(FTP_EV_CWD, c, r.virt.c_str());
    } else {
        SendReply(c, "550 No such file or directory.");
    }
    return true;
}

bool DoMdtm(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    if (ResolveArgument(c, arg, &r) && StatBeneath(c->rootFd, r.relative, &st))
        SendReply(c, MdtmReply(st.st_mtim.tv_sec));
    else
        SendReply(c, "550 No such file or directory.");
    return true;
}

bool DoPwd(FtpClientEntry* c, int, const char*) {
    SendFormattedReply(c, "257 \"%s\" is current directory.", c->currentFolder.c_str());
    return true;
}

bool DoCdup(FtpClientEntry* c, int, const char*) {
    std::string up = c->currentFolder + "/..";
    SimplifyPath(up);
    c->currentFolder = up;
    SendReply(c, "250 CDUP command successful.");
    return true;
}

bool DoSize(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    if (ResolveArgument(c, arg, &r) && IsRegular(c, r, &st))
        SendFormattedReply(c, "213 %" PRId64, static_cast<int64_t>(st.st_size));
    else
        SendReply(c, "550 No such file.");
    return true;
}

bool DoDele(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    BeneathEntry e;
    if (!ResolveArgument(c, arg, &r) || !IsRegular(c, r, &st)) {
        SendReply(c, "550 No such file.");
    } else if (!WriteAllowed(c, r, FtpWrite::Entry)) {
        // refused and logged
    } else if (!e.Open(c->rootFd, r.relative) || e.IsRoot() || unlinkat(e.dir(), e.name().c_str(), 0) != 0) {
        SendReply(c, "550 Can't Remove or Access Error.");
    } else {
        SendReply(c, "250 DELE command successful.");
    }
    return true;
}

bool DoRnfr(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    if (!ResolveArgument(c, arg, &r) || !StatBeneath(c->rootFd, r.relative, &st)) {
        SendReply(c, "550 No such file or directory.");
    } else if (r.virt == "/") {
        SendReply(c, "550 Permission denied.");  // the root itself is never renamed
    } else if (WriteAllowed(c, r, FtpWrite::Entry)) {
        c->renameSource = r.full;
        c->renameRelative = r.relative;
        SendReply(c, "350 File or directory exists, ready for destination name.");
    }
    return true;
}

bool DoRnto(FtpClientEntry* c, int, const char* arg) {
    if (c->renameSource.empty()) {
        SendReply(c, "503 Bad sequence of commands");
        return true;
    }
    FtpResolved r;
    BeneathEntry from, to;
    const bool resolved = ResolveArgument(c, arg, &r) && r.virt != "/";
    if (!resolved || WriteAllowed(c, r, FtpWrite::NewEntryIn)) {
        bool ok = resolved && from.Open(c->rootFd, c->renameRelative) && !from.IsRoot() &&
                  to.Open(c->rootFd, r.relative) && !to.IsRoot() &&
                  renameat2(from.dir(), from.name().c_str(), to.dir(), to.name().c_str(), RENAME_NOREPLACE) == 0;
        SendReply(c, ok ? "250 Rename successful." : "550 Rename failure.");
    }
    c->renameSource.clear();
    c->renameRelative.clear();
    return true;
}

bool DoMkd(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    BeneathEntry e;
    if (!ResolveArgument(c, arg, &r) || !e.Open(c->rootFd, r.relative)) {
        SendReply(c, "550 MKD Error Creating DIR.");
    } else if (e.IsRoot() || StatBeneath(c->rootFd, r.relative, &st)) {
        SendReply(c, "550 File Already Exists.");
    } else if (WriteAllowed(c, r, FtpWrite::NewEntryIn)) {
        SendReply(c, mkdirat(e.dir(), e.name().c_str(), 0777) == 0 ? "250 MKD command successful."
                                                                   : "550 MKD Error Creating DIR.");
    }
    return true;
}

bool DoRmd(FtpClientEntry* c, int, const char* arg) {
    FtpResolved r;
    struct stat st;
    BeneathEntry e;
    if (!ResolveArgument(c, arg, &r) || !StatBeneath(c->rootFd, r.relative, &st)) {
        SendReply(c, "550 Directory not found.");
    } else if (r.virt == "/") {
        SendReply(c, "550 Permission denied.");  // the root itself is never removed
    } else if (WriteAllowed(c, r, FtpWrite::Entry)) {
        bool ok =
            e.Open(c->rootFd, r.relative) && !e.IsRoot() && unlinkat(e.dir(), e.name().c_str(), AT_REMOVEDIR) == 0;
        SendReply(c, ok ? "250 Directory deleted successfully." : "450 Internal error deleting the directory.");
    }
    return true;
}

bool DoOpts(FtpClientEntry* c, int, const char* arg) {
    SendReply(c, arg ? "501 Option not understood." : "501 Invalid number of arguments.");
    return true;
}

bool DoStat(FtpClientEntry* c, int verb, const char* arg) {
    if (arg)
        HandleDataCommand(c, verb, arg);
    else
        SendReply(c, "211 :: Nimbo FTP server module https://nimbo.example.org/");
    return true;
}

// One row per verb, in verb order: what is checked before the handler runs, in this order:
// the login, the privilege, the argument.
struct VerbRow {
    int verb;
    bool needsLogin;
    uint8_t privilege;            // 0: none
    const char* missingArgument;  // the reply when the argument is missing; nullptr: optional
    bool (*handler)(FtpClientEntry*, int verb, const char* arg);
};

constexpr const char* kArgCount = "501 Invalid number of arguments.";
constexpr const char* kArgSyntax = "501 Syntax error in arguments.";

constexpr VerbRow kVerbRows[] = {
    {FTP_QUIT, false, 0, nullptr, DoQuit},
    {FTP_USER, false, 0, nullptr, DoUser},
    {FTP_PASS, false, 0, nullptr, DoPass},
    {FTP_NOOP, true, 0, nullptr, DoNoop},
    {FTP_ALLO, true, 0, nullptr, DoNoop},
    {FTP_SITE, true, 0, nullptr, DoSite},
    {FTP_HELP, true, 0, nullptr, DoHelp},
    {FTP_SYST, true, 0, nullptr, DoSyst},
    {FTP_STRU, true, 0, kArgCount, DoStru},
    {FTP_MODE, true, 0, kArgCount, DoMode},
    {FTP_TYPE, true, 0, kArgCount, DoType},
    {FTP_CLNT, true, 0, kArgCount, DoClnt},
    {FTP_PORT, true, 0, nullptr, DoData},
    {FTP_PASV, true, 0, nullptr, DoData},
    {FTP_EPSV, true, 0, nullptr, DoData},
    {FTP_LIST, true, 0, nullptr, DoData},
    {FTP_NLST, true, 0, nullptr, DoData},
    {FTP_CWD, true, 0, kArgCount, DoCwd},
    {FTP_XCWD, true, 0, kArgCount, DoCwd},
    {FTP_FEAT, true, 0, nullptr, DoFeat},
    {FTP_MDTM, true, 0, kArgCount, DoMdtm},
    {FTP_PWD, true, 0, nullptr, DoPwd},
    {FTP_XPWD, true, 0, nullptr, DoPwd},
    {FTP_CDUP, true, 0, nullptr, DoCdup},
    {FTP_XCUP, true, 0, nullptr, DoCdup},
    {FTP_STAT, true, 0, nullptr, DoStat},
    {FTP_ABOR, true, 0, nullptr, DoData},
    {FTP_REST, true, 0, nullptr, DoData},
    {FTP_RETR, true, 0, nullptr, DoData},
    {FTP_STOR, true, 0, nullptr, DoData},
    {FTP_APPE, true, 0, nullptr, DoData},
    {FTP_STOU, true, 0, nullptr, DoData},
    {FTP_SIZE, true, 0, kArgSyntax, DoSize},
    {FTP_DELE, true, FTP_PRIV_DELETE, kArgSyntax, DoDele},
    {FTP_RNFR, true, FTP_PRIV_DELETE, kArgSyntax, DoRnfr},
    {FTP_RNTO, true, 0, kArgSyntax, DoRnto},
    {FTP_MKD, true, FTP_PRIV_MKDIR, kArgSyntax, DoMkd},
    {FTP_XMKD, true, FTP_PRIV_MKDIR, kArgSyntax, DoMkd},
    {FTP_RMD, true, FTP_PRIV_RMDIR, kArgSyntax, DoRmd},
    {FTP_XRMD, true, FTP_PRIV_RMDIR, kArgSyntax, DoRmd},
    {FTP_OPTS, true, 0, nullptr, DoOpts},
};

constexpr bool RowsInVerbOrder() {
    for (int i = 0; i < FTP_VERB_COUNT; ++i)
        if (kVerbRows[i].verb != i) return false;
    return true;
}
static_assert(std::size(kVerbRows) == FTP_VERB_COUNT && RowsInVerbOrder(), "one row per verb, in verb order");

// Runs one command line. False when the connection is to end.
bool RunCommand(FtpClientEntry* c, const std::string& line) {
    FtpCommand cmd = ParseFtpCommand(line);
    if (cmd.verb < 0) return SendReply(c, "500 Command not understood."), true;
    const VerbRow& row = kVerbRows[cmd.verb];
    const char* arg = cmd.hasArgument ? cmd.argument.c_str() : nullptr;
    if (row.needsLogin && !c->loggedIn.load()) return SendReply(c, "530 Please login with USER and PASS."), true;
    if (row.privilege && !HasPrivilege(c, row.privilege)) return true;
    if (row.missingArgument && !arg) return SendReply(c, row.missingArgument), true;
    // Commands before login are no activity: only the login deadline runs then.
    if (c->loggedIn.load()) c->lastActivity = NowSeconds();
    return row.handler(c, cmd.verb, arg);
}
}  // namespace

void FtpClientThread(FtpClientEntry* c) {
    SendReply(c, "220 Browser Ftp Server.");
    c->controlAlive = true;
    std::string line;
    while (ReadCommandLine(c, &line) && RunCommand(c, line)) {}
    EndDataOnExit(c);
    c->controlAlive = false;
    c->server->FinishClient(c);
}
