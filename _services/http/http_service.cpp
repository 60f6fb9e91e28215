// The HTTP row of the thread table: starts one server from the [HTTP] settings, reports its
// events as log lines, message boxes and request notices, and stops it with the row.
#include "http_service.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "http_server.h"
#include "log.h"
#include "settings.h"
#include "sockets.h"
#include "start_threads.h"
#include "to_console.h"

namespace {

std::mutex                   g_serverLock;  // the service thread and tests
std::unique_ptr<CHTTPServer> g_server;
std::atomic<HttpNoticeTap>   g_tap{nullptr};

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

void HttpClientEvent(int code, const ClientContext& context, const ServerEventRecord& r) {
    const char* status = nullptr;
    switch (code) {
        case EV_CLIENT_THREAD:
            LogPrint(0, "HTTP Err: _beginthreadex() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_CLIENT_EVENT:
            LogPrint(0, "HTTP Err: WSACreateEvent() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_CLIENT_SELECT:
            LogPrint(0, "HTTP Err: WSAEventSelect() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_CLIENT_WAIT:
            LogPrint(0, "HTTP Err: WSAWaitForMultipleEvents() SysError: %s  Function: %s  Line: %d", r.text, r.function,
                     r.line);
            return;
        case EV_CLIENT_ENUM:
            LogPrint(0, "HTTP Err: WSAEnumNetworkEvents() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_CLIENT_SEND:
            LogPrint(0, "HTTP Err: WSASend() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_TRANSMIT:
            LogPrint(0, "HTTP Err: TransmitFile() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_RECV:
            LogPrint(0, "HTTP Err: WSARecv() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            return;
        case EV_THREAD_NOT_FOUND:
            LogPrint(0, "HTTP Err: Thread not found in the list  Function: %s  Line: %d", r.function, r.line);
            return;
        case EV_REQUEST_TOO_LARGE:
            LogPrint(0, "HTTP Err: Request too large. Client [%s] ", context.address);
            return;
        case EV_REQUEST_DEADLINE:
            LogPrint(0, "HTTP Err: Request not complete in time. Client [%s] ", context.address);
            return;
        case EV_TOO_MANY_CLIENTS:
            LogPrint(0, "HTTP Err: Too many connections. Client [%s] refused", context.address);
            return;
        case EV_BAD_REQUEST:
            LogPrint(0, "HTTP Err: Bad format request. Client [%s] ", context.address);
            status = "Bad format requestd";
            break;
        case EV_404:
            LogPrint(0, "HTTP Err: 404 Resource not found. [%s] Client [%s]", r.text, context.address);
            status = "404 Resource not found";
            break;
        case EV_416:
            LogPrint(0, "HTTP Err: 416 Requested range not satisfiable. [%s] Client [%s]", r.text, context.address);
            status = "416 Requested range not satisfiable";
            break;
        case EV_200:
            LogPrint(0, "HTTP Inf: 200 OK. Resource [%s] Client [%s] ", r.text, context.address);
            status = "200 OK";
            break;
        case EV_206:
            LogPrint(0, "HTTP Inf: 206 OK. Resource [%s] Client [%s] ", r.text, context.address);
            status = "206 OK";
            break;
        case EV_403:
            LogPrint(0, "HTTP Err: 303 Forbidden. [%s] Client [%s] ", r.text, context.address);
            status = "303 Forbidden";
            break;
        case EV_301:
            LogPrint(0, "HTTP Inf: 301 Moved Permanently. [%s] Client [%s] ", r.text, context.address);
            status = "301 Moved Permanently";
            break;
        case EV_BROWSE:
            LogPrint(0, "HTTP Inf: 200 OK. Browse Page [%s] Client [%s] ", r.text, context.address);
            status = "200 OK Browse Page";
            break;
        case EV_501:
            LogPrint(0, "HTTP Err: 501 Not Implemented. Method [%s] Client [%s] ", r.text, context.address);
            status = "501 Not Implemented";
            break;
        default:
            return;
    }
    RequestLogRecord rec{};
    snprintf(rec.peerAddress, sizeof rec.peerAddress, "%s", context.address);
    if (code != EV_BAD_REQUEST) snprintf(rec.resource, sizeof rec.resource, "%s", r.text);
    snprintf(rec.status, sizeof rec.status, "%s", status);
    if (HttpNoticeTap tap = g_tap.load()) tap(NOTICE_HTTP_EVENT, &rec, sizeof rec);
    ToConsole(NOTICE_HTTP_EVENT, &rec, sizeof rec, true);
}

void HttpServerEvent(int code, const ServerEventRecord& r) {
    const GlobalSettings s = SettingsSnapshot();
    const std::string localIp = Field(s.HTTP_LocalIP, sizeof s.HTTP_LocalIP);
    const std::string address = localIp.empty() ? "INADDR_ANY" : localIp;
    const char* fmt = nullptr;
    switch (code) {
        case EV_SERVER_THREAD: fmt = "HTTP Err: _beginthreadex() SysError: %s  Function: %s  Line: %d"; break;
        case EV_WAIT_TIMEOUT: fmt = "HTTP Err: WaitForSingleObject() SysError: %s  Function: %s  Line: %d"; break;
        case EV_SHUTDOWN_WAIT: fmt = "HTTP Err: WaitForMultipleObjects() SysError: %s  Function: %s  Line: %d"; break;
        case EV_TERMINATE: fmt = "HTTP Err: TerminateThread() SysError: %s  Function: %s  Line: %d"; break;
        case EV_STARTUP: fmt = "HTTP Err: WSAStartup() SysError: %s  Function: %s  Line: %d"; break;
        case EV_VERSION:
            LogPrint(0, "HTTP Err: Required Socket version not available  Function: %s  Line: %d", r.function, r.line);
            return;
        case EV_SOCKET: fmt = "HTTP Err: WSASocket() SysError: %s  Function: %s  Line: %d"; break;
        case EV_BIND_NOTAVAIL:
        case EV_BIND_INUSE:
        case EV_BIND_OTHER:
            LogPrint(0, "HTTP Err: bind() SysError: %s  Function: %s  Line: %d", r.text, r.function, r.line);
            if (code == EV_BIND_NOTAVAIL)
                LogError("Error \n\nNimbo tried to bind the %s port\nto the interface %s\nwhich is not available for this "
                         "host\nEither remove the %s service or suppress %s interface assignation",
                         "HTTP", address.c_str(), "HTTP", address.c_str());
            else if (code == EV_BIND_INUSE)
                LogError("Error \n\nNimbo cannot bind the %s port\nan application is already listening on this port\n",
                         "HTTP");
            else
                LogError("Error \n\nNimbo tried to bind the port # %s protocol %s\nto the interface %s\n but failed\n", "80",
                         "HTTP", address.c_str());
            return;
        case EV_LISTEN: fmt = "HTTP Err: listen() SysError: %s  Function: %s  Line: %d"; break;
        case EV_ACCEPT_EVENT: fmt = "HTTP Err: WSACreateEvent() SysError: %s  Function: %s  Line: %d"; break;
        case EV_ACCEPT_SELECT: fmt = "HTTP Err: WSAEventSelect() SysError: %s  Function: %s  Line: %d"; break;
        case EV_ACCEPT_WAIT: fmt = "HTTP Err: WSAWaitForMultipleEvents() SysError: %s  Function: %s  Line: %d"; break;
        case EV_ACCEPT_ENUM: fmt = "HTTP Err: WSAEnumNetworkEvents() SysError: %s  Function: %s  Line: %d"; break;
        case EV_ACCEPT: fmt = "HTTP Err: WSAAccept() SysError: %s  Function: %s  Line: %d"; break;
        case EV_STARTED:
            LogPrint(0, "HTTP Inf: Server started OK on port [%d] at [%s] offering publicly [%s]", s.HTTP_Port,
                     address.c_str(), r.text);
            return;
        case EV_START_FAILED:
            LogPrint(0, "HTTP Err: Server failed starting at [%s] offering publicly [%s]", localIp.c_str(), r.text);
            return;
        default:
            return;
    }
    LogPrint(0, fmt, r.text, r.function, r.line);
}

}  // namespace

void HttpSetNoticeTap(HttpNoticeTap tap) { g_tap.store(tap); }

int HttpStart() {
    const GlobalSettings s = SettingsSnapshot();
    auto server = std::make_unique<CHTTPServer>();
    server->SetCallbacks(HttpServerEvent, HttpClientEvent);
    server->browsing = s.HTTP_AllowFileBrowsing;
    server->retry64 = s.HTTP_TruncateGETFileName64;
    const std::string localIp = Field(s.HTTP_LocalIP, sizeof s.HTTP_LocalIP);
    in_addr bind{};
    if (!localIp.empty() && !ParseIPv4(localIp.c_str(), &bind)) bind.s_addr = INADDR_NONE;
    int ok = server->Start(bind.s_addr, Field(s.HTTP_RootDir, sizeof s.HTTP_RootDir),
                           Field(s.HTTP_DefaultPage, sizeof s.HTTP_DefaultPage), static_cast<uint16_t>(s.HTTP_Port),
                           10000);
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
    ThreadSlot& slot = ThreadSlots[TH_HTTP];
    if (SleepWhileRunning(TH_HTTP, 1500)) {
        if (!HttpStart()) {
            slot.running = 0;
        } else {
            while (slot.running) slot.event->Wait(1000);
            HttpStop();
            usleep(50000);
        }
    }
    DebugTrace("Thread Inf: HTTP thread ends here\n");
}

void RegisterHttpService() { RegisterThreadFunction(TH_HTTP, HttpServiceThread); }
