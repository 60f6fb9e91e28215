// The HTTP row of the thread table: starts one server from the [HTTP] settings, reports its
// events as log lines, message boxes and request notices, and stops it with the row.
#include "_services/http/http_service.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "_services/http/http_server.h"
#include "_services/peer_log.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/sockets.h"

namespace {

std::mutex g_serverLock;  // the service thread and tests
std::unique_ptr<CHTTPServer> g_server;

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

// The failing call named by each numbered system-error event.
const char* FailedCall(int code) {
    switch (code) {
        case EV_CLIENT_THREAD:
        case EV_SERVER_THREAD: return "_beginthreadex()";
        case EV_CLIENT_EVENT:
        case EV_ACCEPT_EVENT: return "WSACreateEvent()";
        case EV_CLIENT_SELECT:
        case EV_ACCEPT_SELECT: return "WSAEventSelect()";
        case EV_CLIENT_WAIT:
        case EV_ACCEPT_WAIT: return "WSAWaitForMultipleEvents()";
        case EV_CLIENT_ENUM:
        case EV_ACCEPT_ENUM: return "WSAEnumNetworkEvents()";
        case EV_CLIENT_SEND: return "WSASend()";
        case EV_TRANSMIT: return "TransmitFile()";
        case EV_RECV: return "WSARecv()";
        case EV_WAIT_TIMEOUT: return "WaitForSingleObject()";
        case EV_SHUTDOWN_WAIT: return "WaitForMultipleObjects()";
        case EV_TERMINATE: return "TerminateThread()";
        case EV_STARTUP: return "WSAStartup()";
        case EV_SOCKET: return "WSASocket()";
        case EV_BIND_NOTAVAIL:
        case EV_BIND_INUSE:
        case EV_BIND_OTHER: return "bind()";
        case EV_LISTEN: return "listen()";
        case EV_ACCEPT: return "WSAAccept()";
        default: return nullptr;
    }
}

// Log line (with the resource and the client's address) and notice status of each answered
// or refused request.
struct RequestEvent {
    int code;
    const char* format;
    const char* status;
};
const RequestEvent kRequestEvents[] = {
    {EV_404, "HTTP Err: 404 Resource not found. [%s] Client [%s]", "404 Resource not found"},
    {EV_416, "HTTP Err: 416 Requested range not satisfiable. [%s] Client [%s]", "416 Requested range not satisfiable"},
    {EV_200, "HTTP Inf: 200 OK. Resource [%s] Client [%s] ", "200 OK"},
    {EV_206, "HTTP Inf: 206 OK. Resource [%s] Client [%s] ", "206 OK"},
    {EV_403, "HTTP Err: 303 Forbidden. [%s] Client [%s] ", "303 Forbidden"},
    {EV_301, "HTTP Inf: 301 Moved Permanently. [%s] Client [%s] ", "301 Moved Permanently"},
    {EV_BROWSE, "HTTP Inf: 200 OK. Browse Page [%s] Client [%s] ", "200 OK Browse Page"},
    {EV_501, "HTTP Err: 501 Not Implemented. Method [%s] Client [%s] ", "501 Not Implemented"},
};

void SendRequestNotice(const ClientContext& context, const char* resource, const char* status) {
    RequestLogRecord rec{};
    snprintf(rec.peer, sizeof rec.peer, "%s", context.address);
    snprintf(rec.resource, sizeof rec.resource, "%s", resource);
    snprintf(rec.status, sizeof rec.status, "%s", status);
    ToConsole(NOTICE_HTTP_EVENT, &rec, sizeof rec, true);
}

// Lines and notices about one client address: a bounded number a second. Refusals of
// connections have their own gate, one line a second per address with the count.
PeerLogGate g_peerLines("HTTP Inf:");
LogRateGate g_refusals(1, 20);

void LogRefusal(const ClientContext& context, const char* why) {
    unsigned more = 0;
    if (!g_refusals.Allow(LogKeyOf(context.ip), &more)) return;
    if (more)
        LogLine(LOG_HTTP, 0, "HTTP Err: %s. Client [%s] refused (and %u more refused since the last line)", why,
                context.address, more);
    else
        LogLine(LOG_HTTP, 0, "HTTP Err: %s. Client [%s] refused", why, context.address);
}

void HttpClientEvent(int code, const ClientContext& context, const ServerEventRecord& record) {
    if (code == EV_TOO_MANY_CLIENTS) return LogRefusal(context, "Too many connections");
    if (code == EV_TOO_MANY_FROM_ADDRESS) return LogRefusal(context, "Too many connections from one address");
    if (!g_peerLines.Allow(context.ip)) return;
    // The text may carry the client's own bytes (a decoded URL, a method): escaped before it
    // reaches the log, the desktop's list or the log file.
    ServerEventRecord r = record;
    snprintf(r.text, sizeof r.text, "%s",
             EscapePeerText(std::string_view(record.text, strnlen(record.text, sizeof record.text)), sizeof r.text - 1)
                 .c_str());
    if (code == EV_THREAD_NOT_FOUND) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Thread not found in the list  Function: %s  Line: %d", r.function, r.line);
    } else if (const char* call = FailedCall(code)) {
        LogLine(LOG_HTTP, 0, "HTTP Err: %s SysError: %s  Function: %s  Line: %d", call, r.text, r.function, r.line);
    } else if (code == EV_OUTSIDE_ROOT) {
        LogLine(LOG_HTTP, 0, "HTTP Err: path leaves the root folder [%s] Client [%s]", r.text, context.address);
    } else if (code == EV_REQUEST_TOO_LARGE) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Request too large. Client [%s] ", context.address);
    } else if (code == EV_REQUEST_DEADLINE) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Request not complete in time. Client [%s] ", context.address);
    } else if (code == EV_BAD_REQUEST) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Bad format request. Client [%s] ", context.address);
        SendRequestNotice(context, "", "Bad format requestd");
    } else {
        for (const RequestEvent& e : kRequestEvents) {
            if (e.code != code) continue;
            LogLine(LOG_HTTP, 0, e.format, r.text, context.address);
            SendRequestNotice(context, r.text, e.status);
        }
    }
}

void HttpServerEvent(int code, const ServerEventRecord& r) {
    const GlobalSettings s = SettingsSnapshot();
    const std::string localIp = Field(s.HTTP_LocalIP, sizeof s.HTTP_LocalIP);
    const std::string address = localIp.empty() ? "INADDR_ANY" : localIp;
    if (code == EV_VERSION) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Required Socket version not available  Function: %s  Line: %d", r.function,
                r.line);
    } else if (code == EV_STARTED) {
        LogLine(LOG_HTTP, 0, "HTTP Inf: Server started OK on port [%d] at [%s] offering publicly [%s]", s.HTTP_Port,
                address.c_str(), r.text);
    } else if (code == EV_START_FAILED) {
        LogLine(LOG_HTTP, 0, "HTTP Err: Server failed starting at [%s] offering publicly [%s]", localIp.c_str(),
                r.text);
    } else if (const char* call = FailedCall(code)) {
        LogLine(LOG_HTTP, 0, "HTTP Err: %s SysError: %s  Function: %s  Line: %d", call, r.text, r.function, r.line);
    }
    if (code == EV_BIND_NOTAVAIL)
        LogError(
            "Error \n\nNimbo tried to bind the %s port\nto the interface %s\nwhich is not available for this "
            "host\nEither remove the %s service or suppress %s interface assignation",
            "HTTP", address.c_str(), "HTTP", address.c_str());
    else if (code == EV_BIND_INUSE)
        LogError("Error \n\nNimbo cannot bind the %s port\nan application is already listening on this port\n", "HTTP");
    else if (code == EV_BIND_OTHER)
        LogError("Error \n\nNimbo tried to bind the port # %s protocol %s\nto the interface %s\n but failed\n", "80",
                 "HTTP", address.c_str());
}

// The row's listener could not be bound: the lines and box of a server that fails to bind.
void HttpBindFailed(int err, const std::string&) {
    ServerEventRecord r{};
    snprintf(r.text, sizeof r.text, "%s", LastErrorText(err));
    snprintf(r.function, sizeof r.function, "%s", "BindServiceSocket");
    HttpServerEvent(BindEventCode(err), r);
    const GlobalSettings s = SettingsSnapshot();
    std::string root = Field(s.HTTP_RootDir, sizeof s.HTTP_RootDir);
    for (char& c : root)
        if (c == '\\') c = '/';
    if (!root.empty() && root.back() != '/') root += '/';
    snprintf(r.text, sizeof r.text, "%s", root.c_str());
    HttpServerEvent(EV_START_FAILED, r);
}
}  // namespace

int HttpStart() {
    const GlobalSettings s = SettingsSnapshot();
    auto server = std::make_unique<CHTTPServer>();
    server->SetCallbacks(HttpServerEvent, HttpClientEvent);
    server->browsing = s.HTTP_AllowFileBrowsing;
    server->retry64 = s.HTTP_TruncateGETFileName64;
    const std::string localIp = Field(s.HTTP_LocalIP, sizeof s.HTTP_LocalIP);
    in_addr bind{};
    if (!localIp.empty() && !ParseIPv4(localIp.c_str(), &bind)) bind.s_addr = INADDR_NONE;
    // The row's listener while the row runs; a server started on its own opens one.
    if (IsRowRunning(TH_HTTP)) server->AdoptListener(ThreadSlots[TH_HTTP].socket);
    int ok =
        server->Start(bind.s_addr, Field(s.HTTP_RootDir, sizeof s.HTTP_RootDir),
                      Field(s.HTTP_DefaultPage, sizeof s.HTTP_DefaultPage), static_cast<uint16_t>(s.HTTP_Port), 10000);
    // A server that did not start holds no thread and no socket: it goes at once.
    std::lock_guard<std::mutex> lock(g_serverLock);
    if (ok) g_server = std::move(server);
    return ok;
}

void HttpStop() {
    std::unique_ptr<CHTTPServer> server;
    {
        std::lock_guard<std::mutex> lock(g_serverLock);
        server = std::move(g_server);
    }
    server.reset();  // the destructor shuts the server down
}

void HttpServiceThread() {
    RunServiceRow(
        TH_HTTP, [] { return HttpStart() != 0; }, HttpStop);
}

void RegisterHttpService() {
    RegisterThreadFunction(TH_HTTP, HttpServiceThread);
    RegisterBindReport(TH_HTTP, HttpBindFailed);
}
