// A scripted service end of the console link for desktop tests, built from the shared link
// code: it proves a password, answers the desktop's requests from its records, sends the
// notices a test queues and records every request it receives.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "_services/host_records.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"

class FakeConsole {
public:
    FakeConsole();
    ~FakeConsole();

    // Listens on 127.0.0.1 (system-chosen port) and serves one connection.
    bool Start(const std::string& password = kConsolePassword, uint32_t version = 12);
    void Stop();
    uint16_t port() const { return port_; }

    // Records sent in answer to requests 207, 206, 214, 212 and 216.
    GlobalSettings settings{};
    std::vector<uint8_t> dhcp = std::vector<uint8_t>(kDhcpSettingsSize);
    uint32_t running = 0x7005;
    std::string workingDir = "/srv/tftp";
    HostIpListRecord addresses{};
    bool answerRunning = true;  // answer request 214
    // A notice sent right after the handshake (0: none).
    uint32_t greeting = NOTICE_LOG;

    // Queues a notice, or raw bytes written as they are.
    void Send(uint32_t id, const void* data, size_t length);
    void SendRaw(std::vector<uint8_t> bytes);
    // Ends the connection from the service side.
    void Close();

    std::vector<uint32_t> Requests();
    bool HasRequest(uint32_t id);
    // Payloads of the requests with this id, oldest first.
    std::vector<std::vector<uint8_t>> Payloads(uint32_t id);
    int handshakeResult() const { return handshake_; }

private:
    void Run(std::string password, uint32_t version);
    void Answer(int sock, uint32_t id);

    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> closeRequested_{false};
    std::atomic<int> handshake_{0};
    std::mutex mutex_;
    std::deque<std::vector<uint8_t>> outgoing_;  // whole frames or raw bytes
    std::vector<uint32_t> requests_;
    std::vector<std::vector<uint8_t>> payloads_;  // one per request, id included
};
