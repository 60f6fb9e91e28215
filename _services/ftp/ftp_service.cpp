#include "_services/ftp/ftp_service.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "_services/ftp/ftp_server.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/log_guard.h"

namespace {
// Module state: one FTP service per process, used by the row's thread only. The settings copy
// is taken before the server exists and only read while it runs.
CFtpServer* g_server = nullptr;
FtpUserEntry* g_users[4] = {};  // anonymous, user 1, 2, 3
int g_userCount = 0;
GlobalSettings g_start{};

std::string AddressText() { return g_start.FTP_LocalIP[0] ? std::string(g_start.FTP_LocalIP) : "INADDR_ANY"; }

void Copy(char* dst, size_t size, const char* src) { snprintf(dst, size, "%s", src); }

void Notify(const std::string& peer, const std::string& resource, const char* statusFormat, const char* arg) {
    RequestLogRecord r{};
    Copy(r.peer, sizeof r.peer, peer.c_str());
    Copy(r.resource, sizeof r.resource, resource.c_str());
    snprintf(r.status, sizeof r.status, statusFormat, arg);
    ToConsole(NOTICE_FTP_EVENT, &r, sizeof r, true);
}

void ReportBind(int code, const std::string& addr) {
    if (code == FTP_EV_BIND_NOT_AVAILABLE) {
        LogLine(LOG_FTP, 0, "FTP  Err: bind() IP address [%s] not available", addr.c_str());
        LogError(
            "Error \n\nNimbo tried to bind the %s port\nto the interface %s\nwhich is not available for this "
            "host\nEither remove the %s service or suppress %s interface assignation",
            "FTP", addr.c_str(), "FTP", addr.c_str());
    } else if (code == FTP_EV_BIND_IN_USE) {
        LogLine(LOG_FTP, 0, "FTP  Err: bind() IP address [%s] port 21 already in use", addr.c_str());
        LogError("Error \n\nNimbo cannot bind the %s port\nan application is already listening on this port\n", "FTP");
    } else {
        LogLine(LOG_FTP, 0, "FTP  Err: bind() failed, IP address [%s] port 21", addr.c_str());
        LogError("Error \n\nNimbo tried to bind the port # %s protocol %s\nto the interface %s\n but failed\n", "21",
                 "FTTP", addr.c_str());
    }
}

// The row's listener could not be bound.
void FtpBindFailed(int err, const std::string& address) {
    ReportBind(FtpBindEvent(err), address.empty() ? "INADDR_ANY" : address);
}

void FtpServerEvent(int code, const char*, const char*) {
    const std::string addr = AddressText();
    switch (code) {
        case FTP_EV_STARTED:
            LogLine(LOG_FTP, 0, "FTP  Inf: Server started OK at [%s] offering publicly [%s] restrictedly [%s] ",
                    addr.c_str(), g_start.FTP_Anonymous ? g_start.FTP_AnonymousRootDirectory : "",
                    g_userCount > 0 ? g_start.FTP_RegiteredRootDirectory : "");
            break;
        case FTP_EV_STOPPED_LISTENING: LogLine(LOG_FTP, 0, "FTP  Inf: Stopped listening"); break;
        case FTP_EV_ACCEPTING: LogLine(LOG_FTP, 0, "FTP  Inf: Accepting incoming connections"); break;
        case FTP_EV_STOPPED_ACCEPTING: LogLine(LOG_FTP, 0, "FTP  Inf: Stopped accepting incoming connections"); break;
        case FTP_EV_BIND_NOT_AVAILABLE:
        case FTP_EV_BIND_IN_USE:
        case FTP_EV_BIND_FAILED: ReportBind(code, addr); break;
        case FTP_EV_NO_MEMORY: LogLine(LOG_FTP, 0, "FTP  Err: The CFtpServer class could not allocate memory"); break;
        case FTP_EV_NO_THREAD: LogLine(LOG_FTP, 0, "FTP  Err: The CFtpServer class could not create a thread"); break;
        default: break;
    }
}

void FtpUserEvent(int code, const FtpUserEntry* user, const char* second) {
    if (code == FTP_EV_USER_CREATED)
        LogLine(LOG_FTP, 0, "FTP  Inf: New user created; Name:[%s] Password:[%s] ", user->name.c_str(),
                user->password.c_str());
    else if (code == FTP_EV_USER_BAD_ROOT)
        LogLine(LOG_FTP, 0, "FTP  Err: Creating User [%s] invalid root directory [%s]", user->name.c_str(), second);
}

void FtpClientEvent(int code, const FtpClientEntry* c, const char* peerText) {
    // What a peer causes is bounded per address and second, and what it wrote is escaped
    // before it reaches the log or the desktop.
    if (!c->server->PeerMayLog(c->peerAddr)) return;
    const std::string addr = c->PeerText();
    const std::string name = EscapePeerText(c->UserName());
    const std::string label = c->loggedIn.load() ? name : "(Not logged in)";
    const std::string escaped = EscapePeerText(peerText, 1200);
    const char* text = escaped.c_str();
    switch (code) {
        case FTP_EV_CLIENT_NEW:
            LogLine(LOG_FTP, 0, "FTP  Inf: New client; IP [%s] Server IP [%s]", addr.c_str(), c->LocalText().c_str());
            break;
        case FTP_EV_CLIENT_DELETED:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] has been deleted", addr.c_str());
            break;
        case FTP_EV_CLIENT_DISCONNECTED:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] has been disconnected", addr.c_str());
            Notify(addr, "", "%sClient disconnected", "");
            break;
        case FTP_EV_LOGGED_IN:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] has logged-in as %s", addr.c_str(), name.c_str());
            Notify(addr, "", "Logged as [%s]", name.c_str());
            break;
        case FTP_EV_UPLOAD:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client %s IP [%s] is uploading %s", name.c_str(), addr.c_str(), text);
            Notify(addr, text, "Upload [%s]", name.c_str());
            break;
        case FTP_EV_DOWNLOAD:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client [%s] IP [%s] is downloading %s", name.c_str(), addr.c_str(), text);
            Notify(addr, text, "Download [%s]", name.c_str());
            break;
        case FTP_EV_LISTING:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client [%s] IP [%s] is listing %s", name.c_str(), addr.c_str(), text);
            Notify(addr, text, "Listing [%s]", name.c_str());
            break;
        case FTP_EV_CWD: Notify(addr, text, "CD [%s]", name.c_str()); break;
        case FTP_EV_RECEIVED:
            LogLine(LOG_FTP, 0, "FTP  Inf: Received from [%s] (%s)>  %s", label.c_str(), addr.c_str(), text);
            Notify(addr, text, "Rcv Command [%s]", label.c_str());
            break;
        case FTP_EV_SENT:
            LogLine(LOG_FTP, 0, "FTP  Inf: Sent to [%s] (%s)>  %s", label.c_str(), addr.c_str(), text);
            Notify(addr, text, "Sent [%s]", label.c_str());
            break;
        case FTP_EV_TOO_MANY_PASS:
            LogLine(LOG_FTP, 0, "FTP  Warn: Too many pass tries for (%s)", addr.c_str());
            Notify(addr, "", "%sToo many pass tries", "");
            break;
        case FTP_EV_CLNT:
            LogLine(LOG_FTP, 0, "FTP  Inf: Client IP [%s] has proceed the CLNT FTP command: %s", addr.c_str(), text);
            Notify(addr, "", "CLNT FTP command: [%s]", text);
            break;
        case FTP_EV_SITE_FAILED:
            LogLine(LOG_FTP, 0, "FTP  Err: Client IP [%s] SITE command: %s failed", addr.c_str(), text);
            break;
        default: break;
    }
}

void AddUser(int slot, const char* name, const char* password, const char* root, unsigned privileges) {
    FtpUserEntry* u = g_server->CreateUser(name, password, root);
    if (!u) return;
    g_users[slot] = u;
    g_userCount++;
    u->loginLimit = 0;
    CFtpServer::SetUserPrivileges(u, privileges);
}
}  // namespace

bool FtpStart() {
    for (auto*& u : g_users) u = nullptr;
    g_userCount = 0;
    g_start = SettingsSnapshot();
    g_server = new (std::nothrow) CFtpServer;
    if (!g_server) return false;
    g_server->SetCallbacks(FtpServerEvent, FtpUserEvent, FtpClientEvent);
    g_server->SetPassivePortRange(static_cast<uint16_t>(g_start.FTP_LowestDataPort),
                                  static_cast<uint16_t>(g_start.FTP_HighestDataPort - g_start.FTP_LowestDataPort));
    if (g_start.FTP_Anonymous)
        AddUser(0, "anonymous", nullptr, g_start.FTP_AnonymousRootDirectory, FTP_PRIV_RETR | FTP_PRIV_LIST);
    const char* names[3] = {g_start.FTP_Usr1Name, g_start.FTP_Usr2Name, g_start.FTP_Usr3Name};
    const char* passwords[3] = {g_start.FTP_Usr1Pass, g_start.FTP_Usr2Pass, g_start.FTP_Usr3Pass};
    for (int i = 0; i < 3; ++i)
        if (names[i][0] && passwords[i][0])
            AddUser(i + 1, names[i], passwords[i], g_start.FTP_RegiteredRootDirectory, 63);
    uint32_t addr = 0;
    if (g_start.FTP_LocalIP[0]) addr = inet_addr(g_start.FTP_LocalIP);
    // The row's listener while the row runs; a server started on its own opens one.
    const uint16_t port = static_cast<uint16_t>(g_start.FTP_Port);
    if (g_userCount == 0 || !(IsRowRunning(TH_FTP) ? g_server->ListenOn(ThreadSlots[TH_FTP].socket, addr, port)
                                                   : g_server->BindAndListen(addr, port))) {
        FtpStop();
        return false;
    }
    g_server->StartAccepting();
    return true;
}

void FtpStop() {
    if (!g_server) return;
    for (auto*& u : g_users) {
        if (u) g_server->RemoveUser(u);
        u = nullptr;
    }
    g_server->StopListening();
    delete g_server;
    g_server = nullptr;
    g_userCount = 0;
}

void FtpThread() { RunServiceRow(TH_FTP, FtpStart, FtpStop); }

void RegisterFtpService() {
    RegisterThreadFunction(TH_FTP, FtpThread);
    RegisterBindReport(TH_FTP, FtpBindFailed);
}
