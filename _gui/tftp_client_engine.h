// The desktop's TFTP client transfer: one GET (read request) or PUT (write request) with the
// options "blksize", "windowsize" and "tsize", always in "octet" mode. The engine is a pure
// state machine: it is fed the datagrams received and the time-outs, and answers with the
// datagrams to send and the outcome. The thread that owns the socket lives elsewhere.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "_services/md5.h"
#include "_services/tftp_protocol.h"

enum TftpClientDirection : int { TFTPC_GET = 1, TFTPC_PUT = 2 };
enum class TftpClientStatus { Running, Done, Failed };

constexpr uint32_t kTftpcMinBlockSize = 512;
constexpr uint32_t kTftpcMaxBlockSize = 16384;
constexpr uint32_t kTftpcDefaultBlockSize = 1468;
constexpr uint32_t kTftpcMaxWindowSize = 64;
constexpr uint32_t kTftpcDefaultWindowSize = 8;
constexpr int kTftpcTimerMs = 3000;
constexpr int kTftpcMaxRetries = 6;  // the seventh consecutive retry is the last one

// The local file as the engine sees it: positioned reads (PUT) and appended writes (GET).
// Both return the bytes moved, or -1 with errno set.
class TftpClientFile {
public:
    virtual ~TftpClientFile() = default;
    virtual long long ReadAt(uint64_t offset, void* data, size_t length) = 0;
    virtual long long Append(const void* data, size_t length) = 0;
};

struct TftpClientRequest {
    int direction = TFTPC_GET;
    std::string serverName;                         // as typed, for the texts
    uint32_t serverAddr = 0;                        // IPv4, network order
    uint16_t serverPort = kTftpPort;                // host order
    std::string remoteName;                         // empty: the local file's own name (PUT)
    std::string localName;                          // for the texts and the default remote name
    uint32_t blockSize = kTftpcDefaultBlockSize;    // requested, 512 to 16384
    uint32_t windowSize = kTftpcDefaultWindowSize;  // requested, 1 to 64
    uint64_t fileSize = 0;                          // PUT: size of the local file
};

struct TftpClientDatagram {
    std::vector<uint8_t> bytes;
    uint16_t port = 0;  // destination port on the server's address
    bool data = false;  // a DATA packet (spaced by the inter-frame delay)
};

// What one event asks of the thread.
struct TftpClientStep {
    std::vector<TftpClientDatagram> send;
    std::vector<std::string> log;  // lines for the log at level 1
    bool restartTimer = false;
    TftpClientStatus status = TftpClientStatus::Running;
    std::string error;         // text of a failure
    bool deleteLocal = false;  // a failed GET that had received data
};

class TftpClientEngine {
public:
    // drop: the error simulator's decision for a DATA packet of a PUT (block, total blocks),
    // asked for first transmissions only; none drops nothing.
    explicit TftpClientEngine(TftpClientFile* file, std::function<bool(uint32_t, uint32_t)> drop = {});

    // Builds the request; the step sends it to the server's port.
    TftpClientStep Start(const TftpClientRequest& request);
    // A datagram from addr (network order) and port (host order).
    TftpClientStep OnDatagram(const uint8_t* data, size_t length, uint32_t addr, uint16_t port);
    // The timer ran out.
    TftpClientStep OnTimeout();
    // The user's Break.
    TftpClientStep Cancel();
    // Ends the transfer for a failure of the thread (socket errors); the server is told.
    TftpClientStep Abort(const std::string& text);

    TftpClientStatus status() const { return status_; }
    uint64_t blocks() const { return block_; }  // blocks written or acknowledged
    uint64_t bytesDone() const { return bytes_; }
    uint64_t fileSize() const { return fileSize_; }  // PUT: local size; GET: tsize, 0 unknown
    uint32_t blockSize() const { return blockSize_; }
    uint32_t window() const { return window_; }
    uint32_t retransmissions() const { return retransmissions_; }
    bool connected() const { return connected_; }
    uint16_t peerPort() const { return peerPort_; }
    // The digest of the data in block order, 32 lower-case hexadecimal digits, once done.
    const std::string& md5() const { return md5Hex_; }

private:
    TftpClientStep Fail(TftpClientStep step, std::string text, bool sendError = true);
    TftpClientStep Finish(TftpClientStep step);
    bool CountRetry(TftpClientStep& step, const std::string& timeoutText);
    void Send(TftpClientStep& step, std::vector<uint8_t> bytes, bool data = false);
    std::vector<uint8_t> Ack(uint32_t block) const;
    bool ParseOack(const uint8_t* data, size_t length, std::string* error, std::string* logLine);
    TftpClientStep GetDatagram(TftpClientStep step, const uint8_t* data, size_t length);
    TftpClientStep Refused(TftpClientStep step, const uint8_t* data, size_t length);
    TftpClientStep PutDatagram(TftpClientStep step, const uint8_t* data, size_t length);
    void SendWindow(TftpClientStep& step, bool retry);
    void AcceptFirstAck();

    TftpClientFile* file_;
    std::function<bool(uint32_t, uint32_t)> drop_;
    TftpClientRequest req_;
    TftpClientStatus status_ = TftpClientStatus::Running;
    std::vector<uint8_t> request_;  // the request, sent again while nobody answers
    bool connected_ = false;
    uint16_t peerPort_ = 0;
    uint64_t fileSize_ = 0;
    uint32_t blockSize_ = 512;
    uint32_t window_ = 1;
    // GET: last block written; PUT: last block acknowledged. 64 bits: never wraps.
    uint64_t block_ = 0;
    uint64_t windowBase_ = 1;   // GET: first block of the window; PUT: first block unacknowledged
    uint64_t sent_ = 0;         // PUT: last block sent
    uint64_t totalBlocks_ = 0;  // PUT: file size / block size + 1
    uint64_t bytes_ = 0;
    uint64_t nextMd5_ = 1;  // PUT: the next block to add to the digest
    int retries_ = 0;
    uint32_t retransmissions_ = 0;
    bool oackPending_ = false;  // GET: the OACK is acknowledged by ACK 0, no data yet
    bool gapAcked_ = false;     // GET: a gap was answered already
    bool acked_ = false;        // PUT: the server answered (OACK or ACK 0)
    bool lastWasDatagram_ = false;
    MD5Context md5_{};
    std::string md5Hex_;
};

// Text of a finished transfer: "%u block%s transferred in %u second%s\n %u block%s
// retransmitted\nMD5: %s".
std::string TftpClientDoneText(uint64_t blocks, uint64_t seconds, uint64_t retransmissions, const std::string& md5);
