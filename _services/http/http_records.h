// Records of the HTTP server: the server's event record and its event codes (the request log
// record of notice 116 is shared with the FTP server and lives with the host's records).
#pragma once
#include <cstddef>
#include <cstdint>

#include "_services/host_records.h"  // RequestLogRecord, shared with the FTP server and the desktop

// What a server event or client event reports besides its code.
struct ServerEventRecord {
    char text[100];     // error text, path, method or a fixed word
    char function[40];  // the reporting routine
    int32_t line;       // its source line
};

// Event codes. Client events carry the connection; server events do not.
enum HttpEventCode : int {
    EV_CLIENT_THREAD = 0,
    EV_CLIENT_EVENT = 1,
    EV_CLIENT_SELECT = 2,
    EV_CLIENT_WAIT = 3,
    EV_CLIENT_ENUM = 4,
    EV_CLIENT_SEND = 5,
    EV_TRANSMIT = 6,
    EV_RECV = 7,
    EV_THREAD_NOT_FOUND = 8,
    EV_SERVER_THREAD = 9,
    EV_WAIT_TIMEOUT = 10,
    EV_SHUTDOWN_WAIT = 11,
    EV_TERMINATE = 12,
    EV_STARTUP = 13,
    EV_VERSION = 14,
    EV_SOCKET = 15,
    EV_BIND_NOTAVAIL = 16,
    EV_BIND_INUSE = 17,
    EV_BIND_OTHER = 18,
    EV_LISTEN = 19,
    EV_ACCEPT_EVENT = 20,
    EV_ACCEPT_SELECT = 21,
    EV_ACCEPT_WAIT = 22,
    EV_ACCEPT_ENUM = 23,
    EV_ACCEPT = 24,
    EV_BAD_REQUEST = 26,
    EV_404 = 27,
    EV_416 = 28,
    EV_200 = 29,
    EV_206 = 30,
    EV_403 = 31,
    EV_301 = 32,
    EV_BROWSE = 33,
    EV_501 = 34,
    EV_STARTED = 35,
    EV_START_FAILED = 36,
    // Refusals that protect the server: a request over the size limit or past its deadline,
    // a connection beyond the connection limit or beyond the limit of its client's address.
    EV_REQUEST_TOO_LARGE = 37,
    EV_REQUEST_DEADLINE = 38,
    EV_TOO_MANY_CLIENTS = 39,
    EV_TOO_MANY_FROM_ADDRESS = 40,
    // A path that would leave the root (refused with a 403 after it).
    EV_OUTSIDE_ROOT = 41,
};
