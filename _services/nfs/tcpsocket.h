// The RPC transports: a TCP port (accept thread and a fixed number of connection workers) and
// a UDP port (one worker). Calls go to the owning CRPCServer; a TCP call is one record, made
// of one or more fragments; a UDP call is one datagram.
#pragma once
#include <netinet/in.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "libs/platform/event.h"
#include "libs/platform/thread.h"

class CRPCServer;

// Seconds of silence after which a TCP connection is dropped.
inline constexpr int kRpcReceiveTimeoutSec = 60;
// Seconds a reply may take to leave whole; a client that does not read it in time is dropped.
inline constexpr int kRpcSendTimeoutSec = 15;
// Kernel send buffer of a connection: what a client that stops reading can leave queued.
inline constexpr int kRpcSendBufferBytes = 512 * 1024;
// Connections one client address may hold on a port of maxConnections workers: a quarter of
// them on a port of 8 or more, so that one host cannot take them all.
inline constexpr int RpcConnectionsPerAddress(int maxConnections) {
    return maxConnections < 8 ? maxConnections : (maxConnections + 3) / 4;
}

// Opens, binds and (for TCP) listens on a socket; -1 on failure with errno kept.
int OpenRpcSocket(int type, const std::string& address, int port);

// One TCP connection worker.
class CSocket {
public:
    ~CSocket();
    bool Busy() const { return open_.load(); }
    // The peer of a busy worker (network order).
    uint32_t PeerAddress() const { return peerAddress_.load(); }
    // Takes the connection and starts the worker thread (the previous one is joined first).
    void Open(int sock, CRPCServer* listener, const sockaddr_in& peer);
    // Shuts the connection down, waits for the thread and closes the socket.
    void Close();

private:
    void Run();
    std::mutex lock_;
    int sock_ = -1;
    CRPCServer* listener_ = nullptr;
    sockaddr_in peer_{};
    std::atomic<bool> open_{false};
    std::atomic<uint32_t> peerAddress_{0};
    Thread thread_;
};

// What the TCP and UDP ports share: the socket, its thread and the stop.
class CRpcPort {
public:
    int Port() const { return port_; }

protected:
    ~CRpcPort() = default;
    // Opens the socket (logged on failure) and starts fn on the port's thread.
    bool Start(int type, const std::string& address, int port, CRPCServer* listener, std::function<void()> fn);
    // Waits for the socket to be readable; false once the port is closing.
    bool WaitReadable();
    // Stops the thread (hook runs after the thread has been woken) and closes the socket.
    void Stop(const std::function<void()>& afterWake = {});
    int port_ = 0;
    int sock_ = -1;
    std::atomic<bool> closed_{true};
    Event stop_;
    CRPCServer* listener_ = nullptr;
    Thread thread_;
};

class CTcpPort : public CRpcPort {
public:
    ~CTcpPort() { Close(); }
    bool Open(const std::string& address, int port, int maxConnections, CRPCServer* listener);
    void Close();

private:
    void AcceptLoop();
    // The worker for a new connection from peer, or null (all busy, or the address holds its share).
    CSocket* FreeWorker(const sockaddr_in& peer) const;
    std::vector<std::unique_ptr<CSocket>> workers_;
};

class CUdpPort : public CRpcPort {
public:
    ~CUdpPort() { Close(); }
    bool Open(const std::string& address, int port, CRPCServer* listener) {
        Close();
        return Start(SOCK_DGRAM, address, port, listener, [this] { Run(); });
    }
    void Close() { Stop(); }

private:
    void Run();
};
