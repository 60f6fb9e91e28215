// The thread that runs one TFTP client transfer: it owns the UDP socket, feeds the engine
// the datagrams and time-outs, spaces the data packets by the inter-frame delay and reports
// progress and the outcome through callbacks (called on its own thread).
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "_gui/tftp_client_engine.h"

struct TftpClientJob {
    int direction = TFTPC_GET;
    std::string server;  // dotted address or host name
    uint16_t port = kTftpPort;
    std::string remoteName;  // empty: the local file's own name (PUT)
    std::string localPath;
    uint32_t blockSize = kTftpcDefaultBlockSize;
    uint32_t windowSize = kTftpcDefaultWindowSize;
    uint32_t interFrameDelayUs = 0;
    bool errorSimulator = true;  // drop what the server's live simulator record says
};

struct TftpClientOutcome {
    bool ok = false;
    std::string text;  // the balloon's text
    uint64_t blocks = 0;
    uint64_t seconds = 0;
    uint32_t retransmissions = 0;
    uint64_t bytes = 0;
    std::string md5;  // 32 lower-case hexadecimal digits when ok
};

// Opens the local file of a job: GET creates or truncates it, PUT opens it for reading.
// Returns the descriptor, or -1 with the text of the failure.
int TftpClientOpenLocal(int direction, const std::string& path, std::string* error);

// Waits until microseconds have passed since *stamp (monotonic), sleeping for the bulk of
// the wait and spinning only for its last stretch; then *stamp := now.
void TftpClientPace(uint64_t* stampNs, uint32_t microseconds);

class TftpClientThread {
public:
    using Progress = std::function<void(int percent, uint64_t blocks)>;
    using Finished = std::function<void(const TftpClientOutcome&)>;

    TftpClientThread();
    ~TftpClientThread();  // cancels and joins a running transfer

    // Starts the transfer on the open local file (taken over and closed by the thread).
    // False when a transfer is still running.
    bool Start(const TftpClientJob& job, int fd, Progress progress, Finished finished);
    // Ends a running transfer with "Transfer canceled by user".
    void Cancel();
    // Waits for the thread.
    void Join();
    bool Running() const { return running_.load(); }

private:
    void Run(TftpClientJob job, int fd, Progress progress, Finished finished);

    std::thread thread_;
    int wake_ = -1;  // eventfd: Cancel
    std::atomic<bool> running_{false};
};
