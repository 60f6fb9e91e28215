// The control connection: greeting, command lines, login and the commands that need no
// data connection.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "_services/ftp/ftp_conn.h"
#include "_services/ftp/ftp_fs.h"
#include "_services/ftp/ftp_paths.h"
#include "_services/log.h"
#include "libs/platform/posix_attr.h"

int64_t NowSeconds() { return static_cast<int64_t>(time(nullptr)); }

bool SendReply(FtpClientEntry* c, const std::string& text) {
    c->server->ClientEvent(FTP_EV_SENT, c, text.c_str());
    std::string line = text + "\r\n";
    std::lock_guard<std::mutex> g(c->sendLock);
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = send(c->controlSocket, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            c->server->ClientEvent(FTP_EV_SOCKET_ERROR, c, text.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool SendFormattedReply(FtpClientEntry* c, const char* format, ...) {
    char text[322];  // at most 321 characters; longer replies are cut
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    return SendReply(c, text);
}

bool ResolveArgument(FtpClientEntry* c, const char* argument, FtpResolved* out) {
    if (!c->loggedIn.load() || c->rootFd < 0) return false;
    return BuildFullPath(c->root, c->currentFolder, argument, &out->full, &out->virt, &out->relative);
}

namespace {
bool HasPrivilege(FtpClientEntry* c, uint8_t bit, const char* refusal = "550 Permission denied.") {
    if (c->privileges & bit) return true;
    SendReply(c, refusal);
    return false;
}

bool NeedArgument(FtpClientEntry* c, const char* arg, const char* refusal = "501 Syntax error in arguments.") {
    if (arg) return true;
    SendReply(c, refusal);
    return false;
}

// Reads the next command line. False when the connection is to end.
bool ReadCommandLine(FtpClientEntry* c, std::string* line) {
    for (;;) {
        switch (c->reader.Next(line)) {
            case FtpLineReader::kLine:
                c->server->ClientEvent(FTP_EV_RECEIVED, c, line->c_str());
                return true;
            case FtpLineReader::kTooLong:
                SendReply(c, "500 Command line is too long !");
                continue;
            case FtpLineReader::kNeedMore:
                break;
        }
        pollfd p = {c->controlSocket, POLLIN, 0};
        int r = poll(&p, 1, 1000);
        if (c->stopping.load()) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (r == 0) {
            int idle = c->server->idleSeconds.load();
            if (c->transferKind.load() == FTP_XFER_NONE && NowSeconds() - c->lastActivity.load() >= idle) {
                LogPrint(0, "FTP  Inf: Client IP [%s] idle for %d s, closing the connection", c->PeerText().c_str(), idle);
                SendReply(c, "421 Timeout.");
                return false;
            }
            continue;
        }
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

void HandleUser(FtpClientEntry* c, const char* arg) {
    if (c->loggedIn.load()) LogUserOut(c);
    if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) return;
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
}

// False when the connection is to end (the tries are used up).
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
            if (u->password.empty() || (arg && u->password == arg)) LogUserIn(c);
            else if (!arg) missing = true;
        }
    }
    if (c->loggedIn.load()) {
        SendReply(c, "230 User Logged In.");
        c->server->ClientEvent(FTP_EV_LOGGED_IN, c, "");
        return true;
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

void HandleCommand(FtpClientEntry* c, int verb, const char* arg) {
    FtpResolved r;
    struct stat st;
    switch (verb) {
        case FTP_NOOP:
        case FTP_ALLO:
            SendReply(c, "200 NOOP Command Successful.");
            break;
        case FTP_HELP:
            SendReply(c, "500 No Help Available.");
            break;
        case FTP_SYST:
            SendReply(c, "215 UNIX Type: L8");
            break;
        case FTP_STRU:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            SendReply(c, strcmp(arg, "F") == 0 ? "200 STRU Command Successful." : "504 STRU failled. Parametre not implemented");
            break;
        case FTP_MODE:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            if (strcmp(arg, "S") == 0) {
                c->mode = 0;
                SendReply(c, "200 MODE set to S.");
            } else if (strcmp(arg, "Z") == 0) {
                SendReply(c, "502 MODE Z non-implemented.");
            } else {
                SendFormattedReply(c, "504 \"%s\": Unsupported transfer MODE.", arg);
            }
            break;
        case FTP_TYPE:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            if (arg[0] == 'A' || arg[0] == 'a') {
                c->type = 0;
                SendReply(c, "200 ASCII transfer mode active.");
            } else if (arg[0] == 'I' || arg[0] == 'i') {
                c->type = 1;
                SendReply(c, "200 Binary transfer mode active.");
            } else {
                SendReply(c, "550 Error - unknown binary mode.");
            }
            break;
        case FTP_CLNT:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            c->server->ClientEvent(FTP_EV_CLNT, c, arg);
            SendReply(c, "200 Ok.");
            break;
        case FTP_CWD:
        case FTP_XCWD:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            if (ResolveArgument(c, arg, &r) && StatBeneath(c->rootFd, r.relative, &st) && S_ISDIR(st.st_mode)) {
                c->currentFolder = r.virt;
                SendReply(c, "250 CWD command successful.");
                c->server->ClientEvent(FTP_EV_CWD, c, r.virt.c_str());
            } else {
                SendReply(c, "550 No such file or directory.");
            }
            break;
        case FTP_FEAT:
            SendReply(c, kFtpFeatReply);
            break;
        case FTP_MDTM:
            if (!NeedArgument(c, arg, "501 Invalid number of arguments.")) break;
            if (ResolveArgument(c, arg, &r) && StatBeneath(c->rootFd, r.relative, &st))
                SendReply(c, MdtmReply(st.st_mtim.tv_sec));
            else
                SendReply(c, "550 No such file or directory.");
            break;
        case FTP_PWD:
        case FTP_XPWD:
            SendFormattedReply(c, "257 \"%s\" is current directory.", c->currentFolder.c_str());
            break;
        case FTP_CDUP:
        case FTP_XCUP: {
            std::string up = c->currentFolder + "/..";
            SimplifyPath(up);
            c->currentFolder = up;
            SendReply(c, "250 CDUP command successful.");
            break;
        }
        case FTP_SIZE:
            if (!NeedArgument(c, arg)) break;
            if (ResolveArgument(c, arg, &r) && IsRegular(c, r, &st))
                SendFormattedReply(c, "213 %" PRId64, static_cast<int64_t>(st.st_size));
            else
                SendReply(c, "550 No such file.");
            break;
        case FTP_DELE: {
            if (!HasPrivilege(c, FTP_PRIV_DELETE) || !NeedArgument(c, arg)) break;
            BeneathEntry e;
            if (!ResolveArgument(c, arg, &r) || !IsRegular(c, r, &st)) {
                SendReply(c, "550 No such file.");
            } else if (!e.Open(c->rootFd, r.relative) || e.IsRoot() || unlinkat(e.dir(), e.name().c_str(), 0) != 0) {
                SendReply(c, "550 Can't Remove or Access Error.");
            } else {
                SendReply(c, "250 DELE command successful.");
            }
            break;
        }
        case FTP_RNFR:
            if (!HasPrivilege(c, FTP_PRIV_DELETE) || !NeedArgument(c, arg)) break;
            if (!ResolveArgument(c, arg, &r) || !StatBeneath(c->rootFd, r.relative, &st)) {
                SendReply(c, "550 No such file or directory.");
            } else if (r.virt == "/") {
                SendReply(c, "550 Permission denied.");  // the root itself is never renamed
            } else {
                c->renameSource = r.full;
                c->renameRelative = r.relative;
                SendReply(c, "350 File or directory exists, ready for destination name.");
            }
            break;
        case FTP_RNTO: {
            if (!NeedArgument(c, arg)) break;
            if (c->renameSource.empty()) {
                SendReply(c, "503 Bad sequence of commands");
                break;
            }
            BeneathEntry from, to;
            bool ok = ResolveArgument(c, arg, &r) && r.virt != "/" && from.Open(c->rootFd, c->renameRelative) &&
                      !from.IsRoot() && to.Open(c->rootFd, r.relative) && !to.IsRoot() &&
                      renameat2(from.dir(), from.name().c_str(), to.dir(), to.name().c_str(), RENAME_NOREPLACE) == 0;
            SendReply(c, ok ? "250 Rename successful." : "550 Rename failure.");
            c->renameSource.clear();
            c->renameRelative.clear();
            break;
        }
        case FTP_MKD:
        case FTP_XMKD: {
            if (!HasPrivilege(c, FTP_PRIV_MKDIR) || !NeedArgument(c, arg)) break;
            BeneathEntry e;
            if (!ResolveArgument(c, arg, &r) || !e.Open(c->rootFd, r.relative)) {
                SendReply(c, "550 MKD Error Creating DIR.");
            } else if (e.IsRoot() || StatBeneath(c->rootFd, r.relative, &st)) {
                SendReply(c, "550 File Already Exists.");
            } else {
                SendReply(c, mkdirat(e.dir(), e.name().c_str(), 0777) == 0 ? "250 MKD command successful."
                                                                             : "550 MKD Error Creating DIR.");
            }
            break;
        }
        case FTP_RMD:
        case FTP_XRMD: {
            if (!HasPrivilege(c, FTP_PRIV_RMDIR) || !NeedArgument(c, arg)) break;
            BeneathEntry e;
            if (!ResolveArgument(c, arg, &r) || !StatBeneath(c->rootFd, r.relative, &st)) {
                SendReply(c, "550 Directory not found.");
            } else if (r.virt == "/") {
                SendReply(c, "550 Permission denied.");  // the root itself is never removed
            } else {
                bool ok = e.Open(c->rootFd, r.relative) && !e.IsRoot() &&
                          unlinkat(e.dir(), e.name().c_str(), AT_REMOVEDIR) == 0;
                SendReply(c, ok ? "250 Directory deleted successfully." : "450 Internal error deleting the directory.");
            }
            break;
        }
        case FTP_OPTS:
            SendReply(c, arg ? "501 Option not understood." : "501 Invalid number of arguments.");
            break;
        case FTP_SITE:
            HandleSite(c, arg);
            break;
        case FTP_STAT:
            if (!arg) {
                SendReply(c, "211 :: Nimbo FTP server module https://nimbo.example.org/");
                break;
            }
            HandleDataCommand(c, verb, arg);
            break;
        default:
            HandleDataCommand(c, verb, arg);
            break;
    }
}
}  // namespace

void FtpClientThread(FtpClientEntry* c) {
    SendReply(c, "220 Browser Ftp Server.");
    c->controlAlive = true;
    c->lastActivity = NowSeconds();
    std::string line;
    while (ReadCommandLine(c, &line)) {
        c->lastActivity = NowSeconds();
        FtpCommand cmd = ParseFtpCommand(line);
        const char* arg = cmd.hasArgument ? cmd.argument.c_str() : nullptr;
        if (cmd.verb < 0) {
            SendReply(c, "500 Command not understood.");
        } else if (cmd.verb == FTP_QUIT) {
            SendReply(c, "221 Goodbye.");
            c->server->ClientEvent(FTP_EV_CLIENT_DISCONNECTED, c, "");
            break;
        } else if (cmd.verb == FTP_USER) {
            HandleUser(c, arg);
        } else if (cmd.verb == FTP_PASS) {
            if (!HandlePass(c, arg)) break;
        } else if (!c->loggedIn.load()) {
            SendReply(c, "530 Please login with USER and PASS.");
        } else {
            HandleCommand(c, cmd.verb, arg);
        }
    }
    EndDataOnExit(c);
    c->controlAlive = false;
    c->server->FinishClient(c);
}
