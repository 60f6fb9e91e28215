// The FTP server object: users, connected clients, the listening socket and its accept
// thread, one control thread per client and at most one data thread per client.
#pragma once
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "_services/ftp/ftp_proto.h"
#include "libs/platform/event.h"
#include "libs/platform/log_guard.h"

class CFtpServer;
struct FtpClientEntry;

// Numbered events the server reports to its owner.
enum FtpEvent : int {
    FTP_EV_USER_CREATED = 0,
    FTP_EV_USER_BAD_ROOT = 2,
    FTP_EV_CLIENT_NEW = 3,
    FTP_EV_CLIENT_DELETED = 4,
    FTP_EV_CLIENT_DISCONNECTED = 5,
    FTP_EV_LOGGED_IN = 6,
    FTP_EV_UPLOAD = 7,
    FTP_EV_DOWNLOAD = 8,
    FTP_EV_LISTING = 9,
    FTP_EV_CWD = 10,
    FTP_EV_RECEIVED = 11,
    FTP_EV_SENT = 12,
    FTP_EV_TOO_MANY_PASS = 13,
    FTP_EV_SOCKET_ERROR = 16,
    FTP_EV_CLNT = 17,
    FTP_EV_SITE_FAILED = 18,
    FTP_EV_STARTED = 19,
    FTP_EV_STOPPED_LISTENING = 20,
    FTP_EV_ACCEPTING = 21,
    FTP_EV_STOPPED_ACCEPTING = 22,
    FTP_EV_BIND_NOT_AVAILABLE = 23,
    FTP_EV_BIND_IN_USE = 24,
    FTP_EV_BIND_FAILED = 25,
    FTP_EV_NO_MEMORY = 26,
    FTP_EV_NO_THREAD = 27,
};

// The server event of a bind that failed with errno err.
int FtpBindEvent(int err);

struct FtpUserEntry {
    FtpUserEntry* older = nullptr;
    FtpUserEntry* newer = nullptr;
    bool pendingRelease = false;
    bool valid = false;
    uint8_t privileges = 0;
    std::string name;      // at most 16 characters
    std::string password;  // at most 16 characters, empty when none
    std::string root;      // absolute and normalised
    uint32_t loginCount = 0;
    uint32_t loginLimit = 0;  // 0: no limit
};

// Transfer record: cleared whole when a data connection closes.
struct FtpTransferRecord {
    int64_t startOffset = 0;
    struct stat status {};
    int verb = -1;
    int socket = -1;  // the data socket, or the control socket for STAT
    bool optA = false, optD = false, optF = false, optL = false;
    std::string fullPath;
    std::string relative;  // the same path below the root
};

enum FtpTransferKind { FTP_XFER_NONE = 0, FTP_XFER_LIST = 1, FTP_XFER_STORE = 2, FTP_XFER_RETRIEVE = 3 };
enum FtpDataMode { FTP_DATA_NONE = 0, FTP_DATA_PASSIVE = 1, FTP_DATA_ACTIVE = 2 };

struct FtpClientEntry {
    CFtpServer* server = nullptr;
    int controlSocket = -1;
    uint32_t localAddr = 0;  // network order
    uint32_t peerAddr = 0;   // network order

    // Read by any thread (events); written under `lock`.
    std::atomic<bool> loggedIn{false};
    std::string UserName() const;
    std::string PeerText() const;
    std::string LocalText() const;

    // Control thread only (the data thread reads the transfer record while it runs).
    uint32_t activeAddr = 0;  // host order
    uint16_t activePort = 0;
    std::string currentFolder = "/";
    std::string renameSource;    // full local path from RNFR
    std::string renameRelative;  // the same below the root
    int passwordTries = 0;
    int mode = 0, type = 0;
    int dataMode = FTP_DATA_NONE;
    FtpUserEntry* user = nullptr;  // chosen by USER or logged in as (under the users lock)
    std::string root;              // the logged-in user's root
    int rootFd = -1;               // opened at login
    uint8_t privileges = 0;
    FtpLineReader reader;
    FtpTransferRecord transfer;

    std::atomic<int> transferKind{FTP_XFER_NONE};
    std::atomic<int64_t> lastActivity{0};  // logged-in commands and transfers only
    int64_t connectedAt = 0;               // seconds; the login deadline runs from here
    std::atomic<bool> controlAlive{false};
    std::atomic<bool> stopping{false};  // asked to end (user removed, server stopping)
    std::atomic<bool> aborted{false};   // ABOR closed the data socket

    // The client lock: sockets, thread handles, the user name.
    mutable std::mutex lock;
    std::mutex sendLock;  // one reply at a time on the control socket
    int dataSocket = -1;  // passive listener, or the connected data socket
    std::thread controlThread;
    std::thread dataThread;
    std::string userName;

    FtpClientEntry* older = nullptr;
    FtpClientEntry* newer = nullptr;
};

class CFtpServer {
public:
    using ServerEventFn = std::function<void(int code, const char* first, const char* second)>;
    using UserEventFn = std::function<void(int code, const FtpUserEntry* user, const char* second)>;
    using ClientEventFn = std::function<void(int code, const FtpClientEntry* client, const char* text)>;

    CFtpServer();
    ~CFtpServer();
    CFtpServer(const CFtpServer&) = delete;
    CFtpServer& operator=(const CFtpServer&) = delete;

    void SetCallbacks(ServerEventFn server, UserEventFn user, ClientEventFn client);

    bool SetPassivePortRange(uint16_t start, uint16_t count);
    bool GetPassivePortRange(uint16_t* start, uint16_t* count);

    FtpUserEntry* CreateUser(const char* name, const char* password, const char* root);
    FtpUserEntry* FindUser(const char* name);
    bool RemoveUser(FtpUserEntry* user);
    static bool SetUserPrivileges(FtpUserEntry* user, unsigned bits);

    bool BindAndListen(uint32_t addrNetworkOrder, uint16_t port);
    // Serves on a listening socket the caller keeps (the service table's row); it is neither
    // shut down nor closed here.
    bool ListenOn(int listener, uint32_t addrNetworkOrder, uint16_t port);
    bool StartAccepting();
    bool StopListening();

    uint16_t ControlPort() const { return controlPort_; }
    int UserCount() const { return userCount_.load(); }
    int ClientCount() const { return clientCount_.load(); }

    // Limits (the defaults hold outside tests).
    int passwordTries = 3;
    uint32_t transferBuffer = 32768;
    uint32_t dataSocketBuffer = 65536;
    int maxClients = 64;
    int maxPerAddress = 8;               // connections from one client address
    std::atomic<int> dataWaitMs{10000};  // passive accept and active connect
    std::atomic<int> idleSeconds{600};
    std::atomic<int> loginSeconds{60};  // from connect to a successful login, not renewed
    std::atomic<int> sendSeconds{30};   // a reply not sent by then ends the connection
    // A wrong password is answered after a delay that doubles with every failure of the
    // connection and of its address (failures of an address are forgotten after a quiet
    // minute), up to the ceiling.
    std::atomic<int> failureDelayMs{500};
    std::atomic<int> failureDelayMaxMs{8000};

    // Log lines per second that peers may cause: per client address, and all together.
    static constexpr unsigned kLogLinesPerAddress = 100, kLogLinesTotal = 1000;

    // Counts a wrong password from the address; returns the delay its answer waits.
    int NoteLoginFailure(uint32_t peerAddr, int connectionFailures);
    // True when a line caused by the peer may go to the log and the desktop: each address
    // and all of them together have a budget of lines per second. The first line let through
    // after a drop is preceded by "... N lines suppressed".
    bool PeerMayLog(uint32_t peerAddr);

    // Raising events (used by the connection code).
    void ServerEvent(int code, const char* first = "", const char* second = "");
    void UserEvent(int code, const FtpUserEntry* user, const char* second);
    void ClientEvent(int code, const FtpClientEntry* client, const char* text);

    // The connection code (ftp_client.cpp, ftp_data.cpp).
    FtpClientEntry* RegisterClient(int sock, uint32_t peerAddr);
    void KillClientThreads(FtpClientEntry* client);
    // The control thread's last step: closes the connection, releases the record and hands
    // the thread to be joined.
    void FinishClient(FtpClientEntry* client);
    // The users lock may be taken again by its owner (USER holds it while FindUser takes it).
    std::recursive_mutex usersLock;

private:
    bool Listen(int listener, uint32_t addrNetworkOrder, uint16_t port, bool owned);
    // Why a new connection from the address is turned away (the total or the per-address
    // cap), or nullptr.
    const char* Refusal(uint32_t peerAddr);
    void AcceptLoop();
    void ReapFinished();
    void ReleaseClientLocked(FtpClientEntry* client);  // users and clients locks held
    void StopAllClients();

    ServerEventFn serverEvent_;
    UserEventFn userEvent_;
    ClientEventFn clientEvent_;

    std::mutex stateLock_;
    std::mutex clientsLock_;
    FtpUserEntry* oldestUser_ = nullptr;
    FtpUserEntry* newestUser_ = nullptr;
    FtpClientEntry* oldestClient_ = nullptr;
    FtpClientEntry* newestClient_ = nullptr;
    std::vector<FtpClientEntry*> finished_;  // ended control threads, to be joined and freed
    std::map<uint32_t, int> perAddress_;     // connections per client address (clients lock)

    struct Failures {
        int count = 0;
        int64_t lastMs = 0;
    };
    std::mutex failuresLock_;
    std::map<uint32_t, Failures> failures_;  // wrong passwords per address, bounded
    LogRateGate logGate_{kLogLinesPerAddress, kLogLinesTotal};

    int listenSocket_ = -1;
    bool ownsListener_ = true;
    uint16_t passiveCount_ = 900;
    uint16_t passiveStart_ = 100;
    std::atomic<bool> listening_{false};
    std::atomic<bool> accepting_{false};
    std::atomic<bool> acceptStop_{false};
    uint16_t controlPort_ = kFtpControlPort;
    std::thread acceptThread_;
    Event acceptWake_;
    std::atomic<int> userCount_{0};
    std::atomic<int> clientCount_{0};
};

// The control connection of one client, run on its own thread.
void FtpClientThread(FtpClientEntry* client);
