#include "tests/_gui/fake_console.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "libs/mini_tcp4u/tcp4u.h"
#include "libs/mini_tcp4u/tcp4u_exchg.h"

FakeConsole::FakeConsole()
{
    settings.NIMBO_Services = 0x5;
    std::strcpy(settings.TFTP_RootDirectory, "/srv/tftp");
    addresses.count = 2;
    addresses.slots[0].addr = 0x0100000A;  // 10.0.0.1
    addresses.slots[1].addr = 0x0200A8C0;  // 192.168.0.2
}

FakeConsole::~FakeConsole() { Stop(); }

bool FakeConsole::Start(const std::string& password, uint32_t version)
{
    port_ = 0;
    listener_ = TcpListenSocket(nullptr, &port_, true);
    if (listener_ < 0)
        return false;
    thread_ = std::thread(&FakeConsole::Run, this, password, version);
    return true;
}

void FakeConsole::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listener_ >= 0)
        TcpClose(listener_);
    listener_ = -1;
}

void FakeConsole::Send(uint32_t id, const void* data, size_t length)
{
    std::vector<uint8_t> frame(6 + length);
    const uint16_t total = static_cast<uint16_t>(4 + length);
    frame[0] = static_cast<uint8_t>(total >> 8);
    frame[1] = static_cast<uint8_t>(total);
    std::memcpy(frame.data() + 2, &id, 4);
    if (length)
        std::memcpy(frame.data() + 6, data, length);
    SendRaw(std::move(frame));
}

void FakeConsole::SendRaw(std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    outgoing_.push_back(std::move(bytes));
}

void FakeConsole::Close() { closeRequested_ = true; }

std::vector<uint32_t> FakeConsole::Requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool FakeConsole::HasRequest(uint32_t id)
{
    for (uint32_t r : Requests())
        if (r == id)
            return true;
    return false;
}

std::vector<std::vector<uint8_t>> FakeConsole::Payloads(uint32_t id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<uint8_t>> out;
    for (const auto& frame : payloads_) {
        uint32_t r;
        std::memcpy(&r, frame.data(), 4);
        if (r == id)
            out.emplace_back(frame.begin() + 4, frame.end());
    }
    return out;
}

void FakeConsole::Answer(int sock, uint32_t id)
{
    switch (id) {
    case REQ_SEND_GLOBAL_SETTINGS: SendConsoleMsg(sock, NOTICE_GLOBAL_SETTINGS, &settings, sizeof(settings)); break;
    case REQ_SEND_DHCP_SETTINGS: SendConsoleMsg(sock, NOTICE_DHCP_SETTINGS, dhcp.data(), dhcp.size()); break;
    case REQ_SEND_RUNNING_SERVICES:
        if (answerRunning)
            SendConsoleMsg(sock, NOTICE_RUNNING_SERVICES, &running, 4);
        break;
    case REQ_SEND_WORKING_DIR:
        SendConsoleMsg(sock, NOTICE_WORKING_DIR, workingDir.c_str(), workingDir.size() + 1);
        break;
    case REQ_SEND_HOST_IPS: SendConsoleMsg(sock, NOTICE_HOST_IP_LIST, &addresses, sizeof(addresses)); break;
    default: break;
    }
}

void FakeConsole::Run(std::string password, uint32_t version)
{
    // Accept one connection, bounded in time.
    int sock = -1;
    for (int i = 0; i < 300 && !stop_ && sock < 0; ++i) {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 100) == 1)
            sock = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (sock < 0)
        return;
    handshake_ = ConsoleHandshake(sock, kServiceHandshakeSeed, version, password.c_str());
    if (handshake_ < 0) {
        TcpClose(sock);
        return;
    }
    if (greeting == NOTICE_LOG)
        SendConsoleMsg(sock, NOTICE_LOG, "[01/01 00:00:00.000] console ready", 35);
    std::vector<uint8_t> buf(kConsoleBufferSize);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        std::deque<std::vector<uint8_t>> out;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            out.swap(outgoing_);
        }
        for (auto& bytes : out)
            TcpSendAll(sock, bytes.data(), bytes.size());
        if (closeRequested_)
            break;
        pollfd p{sock, POLLIN, 0};
        if (poll(&p, 1, 20) != 1)
            continue;
        const int n = TcpRecvFrame(sock, buf.data(), buf.size(), 10);
        if (n <= 0)
            break;
        if (n < 4)
            continue;
        uint32_t id;
        std::memcpy(&id, buf.data(), 4);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(id);
            payloads_.emplace_back(buf.begin(), buf.begin() + n);
        }
        Answer(sock, id);
    }
    TcpClose(sock);
}
