// A small threaded TCP server: one accept thread, one thread per connection (capped), and a
// helper thread that joins finished connection threads. A derived class says when a request
// is complete and builds the reply; the base sends it (head, then an optional file range) and
// closes the connection.
#pragma once
#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "_services/http/http_records.h"

class CGenericServer;

// The server event of a bind that failed with errno err.
int BindEventCode(int err);

struct ClientContext {
    CGenericServer* server = nullptr;
    int socket = -1;
    char address[16] = {};  // dotted text
    uint32_t ip = 0;        // the same address, network order
    uint16_t port = 0;      // network order
};

using ServerEventCallback = void (*)(int code, const ServerEventRecord& record);
using ClientEventCallback = void (*)(int code, const ClientContext& context, const ServerEventRecord& record);

// What HandleRequest hands back besides the reply text: an open file and the part of it to
// send (start -1: the whole file; end -1: up to its end).
struct ReplyFile {
    int fd = -1;
    uint64_t size = 0;
    int64_t rangeStart = -1;
    int64_t rangeEnd = -1;
};

class CGenericServer {
public:
    CGenericServer();
    virtual ~CGenericServer();
    CGenericServer(const CGenericServer&) = delete;
    CGenericServer& operator=(const CGenericServer&) = delete;

    virtual void OnClientConnected(const char* address, uint16_t port) = 0;
    virtual void OnDataSent(uint64_t bytes) = 0;
    virtual bool IsRequestComplete(const std::string& request) = 0;
    // False closes the connection without a reply.
    virtual bool HandleRequest(const std::string& request, std::string& reply, bool& keepAlive,
                               const ClientContext& context, ReplyFile& file) = 0;

    // address in network order (0: any), port in host order, idle timeout in ms (0: none).
    int Run(uint32_t address, uint16_t port, uint32_t idleTimeoutMs);
    // Before Run: serve on this non-blocking listening socket, which the caller keeps (the
    // service table's row), in place of opening one on address and port.
    void AdoptListener(int listener) { listener_ = listener; }
    int Shutdown();
    bool Running() const { return running_; }
    void SetCallbacks(ServerEventCallback server, ClientEventCallback client) {
        serverEvent_ = server;
        clientEvent_ = client;
    }
    // Limits that protect the server; the defaults suit production. maxPerAddress bounds the
    // connections of one client address so that one host cannot take every slot.
    void SetLimits(int maxClients, uint32_t requestDeadlineMs, int maxPerAddress = kMaxClientsPerAddress) {
        maxClients_ = maxClients;
        requestDeadlineMs_ = requestDeadlineMs;
        maxPerAddress_ = maxPerAddress;
    }
    static constexpr int kMaxClients = 512;
    static constexpr int kMaxClientsPerAddress = 32;
    size_t LiveClients();

protected:
    void ReportServer(int code, const char* text, const char* function, int line);
    void ReportClient(int code, const ClientContext& context, const char* text, const char* function, int line);

private:
    // A connection thread. Once its connection has ended it waits a little while for the next
    // one before it ends, so that busy servers do not create a thread per request.
    struct Client {
        pthread_t thread{};
        ClientContext context;
        bool hasWork = false;
        std::condition_variable wake;
        std::unique_ptr<char[]> buffer;
    };
    using ClientList = std::list<std::unique_ptr<Client>>;
    static void* AcceptEntry(void* self);
    static void* HelperEntry(void* self);
    static void* ClientEntry(void* client);
    void AcceptThread();
    void HelperThread();
    void ClientThread(Client* client);
    void ServeConnection(Client* client);
    void AddClient(int sock, const sockaddr_in& peer);
    // Closes the connection and parks the thread; false when the thread is to end.
    bool CleanupConnection(Client* client);
    // One connection of the address has ended (list lock held).
    void ForgetAddress(uint32_t ip);
    bool Transmit(const ClientContext& context, const std::string& reply, ReplyFile& file);
    bool StartThread(pthread_t* thread, void* (*entry)(void*), void* arg, size_t stack);
    void JoinFinished();
    static ClientList::iterator Find(ClientList& list, const Client* client);

    uint32_t address_ = 0;
    uint16_t port_ = 0;
    uint32_t idleTimeoutMs_ = 0;
    int maxClients_ = kMaxClients;
    int maxPerAddress_ = kMaxClientsPerAddress;
    uint32_t requestDeadlineMs_ = 30000;
    int stopFd_ = -1;    // eventfd: readable once Shutdown has begun
    int listener_ = -1;  // adopted listening socket, or -1
    pthread_t acceptThread_{};
    pthread_t helperThread_{};
    std::atomic<bool> running_{false};
    ServerEventCallback serverEvent_ = nullptr;
    ClientEventCallback clientEvent_ = nullptr;

    // The list lock guards the thread lists and the stopping flag.
    std::mutex listLock_;
    std::condition_variable listChanged_;
    ClientList live_;                               // threads serving a connection
    ClientList parked_;                             // threads waiting for the next connection
    std::vector<pthread_t> finished_;               // threads that ended, to be joined
    std::unordered_map<uint32_t, int> perAddress_;  // live connections of each client address
    bool stopping_ = false;

    // Start-up of the accept thread: 0 pending, 1 listening, -1 failed.
    std::mutex startLock_;
    std::condition_variable startChanged_;
    int startState_ = 0;
};
