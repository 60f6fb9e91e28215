#include "libs/mini_tcp4u/tcp4u.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "libs/platform/sockets.h"

uint32_t TcpResolve(const char* host) {
    in_addr a;
    if (ParseIPv4(host, &a)) return a.s_addr;
    addrinfo hints{}, *res = nullptr;
    hints.ai_family = AF_INET;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0 || !res) return INADDR_NONE;
    uint32_t addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
    return addr;
}

int TcpListenSocket(const char* servicesName, uint16_t* port, bool loopbackOnly) {
    int sp = ServicePort(servicesName, "tcp");
    uint16_t p = sp ? static_cast<uint16_t>(sp) : *port;
    int s = OpenTcpListener(htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY), p, 1);
    if (s < 0) return INVALID_SOCK;
    if (int bound = LocalPort(s)) *port = static_cast<uint16_t>(bound);
    return s;
}

int TcpConnect(const char* host, const char* servicesName, uint16_t port) {
    int sp = ServicePort(servicesName, "tcp");
    uint32_t addr = TcpResolve(host);
    if (addr == INADDR_NONE) return INVALID_SOCK;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return INVALID_SOCK;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(sp ? static_cast<uint16_t>(sp) : port);
    sa.sin_addr.s_addr = addr;
    int r;
    do { r = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa); } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int err = errno;
        close(s);
        errno = err;
        return INVALID_SOCK;
    }
    return s;
}

int TcpRecvTimeout(int sock, void* buf, size_t size, int timeout) {
    if (sock < 0) return TCP4U_ERROR;
    int ms = timeout == 0 ? -1 : timeout < 0 ? 0 : timeout * 1000;
    int w = WaitReadable(sock, ms);
    if (w < 0) return TCP4U_ERROR;
    if (w == 0) return TCP4U_TIMEOUT;
    if (!buf || size == 0) return 1;
    ssize_t n;
    do { n = recv(sock, buf, size, 0); } while (n < 0 && errno == EINTR);
    if (n < 0) return TCP4U_ERROR;
    return static_cast<int>(n);
}

int TcpSendAll(int sock, const void* data, size_t length) {
    if (sock < 0) return TCP4U_ERROR;
    return SendAllBlocking(sock, data, length) < 0 ? TCP4U_ERROR : TCP4U_SUCCESS;
}

int TcpSendFrame(int sock, const void* data, size_t length) {
    if (length > 0x7FFF) return TCP4U_OVERFLOW;
    if (sock < 0) return TCP4U_ERROR;
    uint8_t head[2] = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    if (TcpSendAll(sock, head, 2) < 0) return TCP4U_ERROR;
    if (length && TcpSendAll(sock, data, length) < 0) return TCP4U_ERROR;
    return TCP4U_SUCCESS;
}

namespace {
// Reads exactly size bytes. Once 'started', a time-out is an error: half a frame would leave
// the stream misaligned.
int RecvExact(int sock, uint8_t* p, size_t size, int timeout, bool started) {
    size_t got = 0;
    while (got < size) {
        int n = TcpRecvTimeout(sock, p + got, size - got, timeout);
        if (n == TCP4U_TIMEOUT && (started || got > 0)) return TCP4U_ERROR;
        if (n <= 0) return n;
        got += static_cast<size_t>(n);
    }
    return static_cast<int>(got);
}
}  // namespace

int TcpRecvFrame(int sock, void* buf, size_t size, int timeout) {
    uint8_t head[2];
    int n = RecvExact(sock, head, 2, timeout, false);
    if (n <= 0) return n;
    size_t length = static_cast<size_t>(head[0]) << 8 | head[1];
    if (length & 0x8000 || length > size) return TCP4U_OVERFLOW;
    if (length == 0) return TCP4U_ERROR;  // no frame is empty
    n = RecvExact(sock, static_cast<uint8_t*>(buf), length, timeout, true);
    return n;
}

int SendConsoleMsg(int sock, uint32_t id, const void* data, size_t length) {
    std::vector<uint8_t> frame;
    if (!AppendConsoleMsg(&frame, id, data, length)) return TCP4U_OVERFLOW;
    return TcpSendAll(sock, frame.data(), frame.size());
}

bool AppendConsoleMsg(std::vector<uint8_t>* out, uint32_t id, const void* data, size_t length) {
    if (length + 4 > 0x7FFF) return false;
    const size_t total = length + 4;
    const size_t at = out->size();
    out->resize(at + 6 + length);
    uint8_t* p = out->data() + at;
    p[0] = static_cast<uint8_t>(total >> 8);
    p[1] = static_cast<uint8_t>(total);
    memcpy(p + 2, &id, 4);  // little-endian host
    if (length) memcpy(p + 6, data, length);
    return true;
}

int SendConsoleBytesWithin(int sock, const void* data, size_t length, int timeoutMs) {
    if (sock < 0) return TCP4U_ERROR;
    int r = SendAllWithin(sock, data, length, timeoutMs);
    return r > 0 ? TCP4U_SUCCESS : r == 0 ? TCP4U_TIMEOUT : TCP4U_ERROR;
}

int SendConsoleMsgWithin(int sock, uint32_t id, const void* data, size_t length, int timeoutMs) {
    // Head and data leave in one write.
    thread_local std::vector<uint8_t> frame;
    frame.clear();
    if (!AppendConsoleMsg(&frame, id, data, length)) return TCP4U_OVERFLOW;
    return SendConsoleBytesWithin(sock, frame.data(), frame.size(), timeoutMs);
}

void TcpClose(int sock) {
    if (sock >= 0) {
        shutdown(sock, SHUT_RDWR);
        close(sock);
    }
}
