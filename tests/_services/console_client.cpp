#include "tests/_services/console_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "libs/mini_tcp4u/tcp4u.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"

ConsoleTestClient::~ConsoleTestClient() { Close(); }

int ConsoleTestClient::Connect(uint16_t port, const char* password) {
    Close();
    sock_ = TcpConnect("127.0.0.1", nullptr, port);
    if (sock_ < 0) return -1;
    return ConsoleHandshake(sock_, kGuiHandshakeSeed, kConsoleVersion, password);
}

bool ConsoleTestClient::Request(uint32_t id, const void* data, size_t length) {
    static const uint8_t nul = 0;
    if (!data) {
        data = &nul;
        length = 1;
    }
    return SendConsoleMsg(sock_, id, data, length) > 0;
}

ConsoleFrame ConsoleTestClient::Next(int timeoutSeconds) {
    static thread_local uint8_t buf[32702];
    ConsoleFrame f;
    int n = TcpRecvFrame(sock_, buf, sizeof buf, timeoutSeconds);
    if (n < 4) return f;
    memcpy(&f.id, buf, 4);
    f.payload.assign(buf + 4, buf + n);
    return f;
}

ConsoleFrame ConsoleTestClient::WaitFor(uint32_t id, int timeoutSeconds) {
    for (int i = 0; i < 1000; ++i) {
        ConsoleFrame f = Next(timeoutSeconds);
        if (f.id == 0 || f.id == id) return f;
        skipped.push_back(f);
    }
    return {};
}

bool ConsoleTestClient::PeerClosed(int timeoutSeconds) {
    uint8_t b;
    for (int i = 0; i < 10000; ++i) {
        int n = TcpRecvTimeout(sock_, &b, 1, timeoutSeconds);
        if (n == 0) return true;
        if (n < 0) return n == TCP4U_ERROR;
    }
    return false;
}

void ConsoleTestClient::Close() {
    if (sock_ >= 0) TcpClose(sock_);
    sock_ = -1;
}
