// A minimal console client for tests: connect, handshake, requests, frames.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "libs/mini_tcp4u/tcp4u_exchg.h"

struct ConsoleFrame {
    uint32_t id = 0;
    std::vector<uint8_t> payload;
};

class ConsoleTestClient {
public:
    ~ConsoleTestClient();
    // Connects to 127.0.0.1:port and runs the handshake; returns its result.
    int Connect(uint16_t port, const char* password = kConsolePassword);
    bool Request(uint32_t id, const void* data = nullptr, size_t length = 0);
    // Next frame, or id 0 with an empty payload on error / close / time-out.
    ConsoleFrame Next(int timeoutSeconds = 10);
    // Frames until one with the wanted id (others are kept in skipped).
    ConsoleFrame WaitFor(uint32_t id, int timeoutSeconds = 10);
    bool PeerClosed(int timeoutSeconds = 10);
    void Close();
    int sock() const { return sock_; }
    std::vector<ConsoleFrame> skipped;

private:
    int sock_ = -1;
};
