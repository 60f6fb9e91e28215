// The RPC transports: a TCP port (accept thread and a fixed number of connection workers) and
// a UDP port (one worker). Calls go to the owning CRPCServer; a TCP call is one record, made
// of one or more fragments; a UDP call is one datagram.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "event.h"
#include "thread.h"

class CRPCServer;

// Seconds of silence after which a TCP connection is dropped.
inline constexpr int kRpcReceiveTimeoutSec = 60;

// Opens, binds and (for TCP) listens on a socket; -1 on failure with errno kept.
int OpenRpcSocket(int type, const std::string& address, int port);
// Sends all bytes (MSG_NOSIGNAL, loops on short sends). False on failure.
bool SendAll(int sock, const uint8_t* data, size_t length);

// One TCP connection worker.
class CSocket {
public:
    ~CSocket();
    bool Busy() const { return open_.load(); }
    // Takes the connection and starts the worker thread (the previous one is joined first).
    void Open(int sock, CRPCServer* listener, const sockaddr_in& peer);
    // Shuts the connection down, waits for the thread and closes the socket.
    void Close();
private:
    void Run();
    std::mutex        lock_;
    int               sock_ = -1;
    CRPCServer*       listener_ = nullptr;
    sockaddr_in       peer_{};
    std::atomic<bool> open_{false};
    Thread            thread_;
};

class CTcpPort {
public:
    ~CTcpPort() { Close(); }
    bool Open(const std::string& address, int port, int maxConnections, CRPCServer* listener);
    void Close();
    int  Port() const { return port_; }
private:
    void AcceptLoop();
    int port_ = 0;
    int listenSock_ = -1;
    std::atomic<bool> closed_{true};
    Event stop_;
    CRPCServer* listener_ = nullptr;
    Thread acceptThread_;
    std::vector<std::unique_ptr<CSocket>> workers_;
};

class CUdpPort {
public:
    ~CUdpPort() { Close(); }
    bool Open(const std::string& address, int port, CRPCServer* listener);
    void Close();
    int  Port() const { return port_; }
private:
    void Run();
    int port_ = 0;
    int sock_ = -1;
    std::atomic<bool> closed_{true};
    Event stop_;
    CRPCServer* listener_ = nullptr;
    Thread thread_;
};
