// One TFTP transfer: its record and the worker thread that serves it.
#pragma once
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "_services/host_records.h"
#include "_services/md5.h"
#include "_services/tftp_records.h"
#include "_services/tftp_request.h"
#include "libs/log/log.h"
#include "libs/platform/thread.h"

struct TftpTransfer {
    // Shared with the TFTP thread and the Console thread.
    std::atomic<int> busy{0};
    std::atomic<bool> stop{false};  // set by request 200 or the service stop
    int sock = -1;                  // written under the list mutex
    Thread thread;
    uint32_t threadId = 0;
    uint32_t number = 0;
    uint32_t activeAtStart = 0;
    int64_t startTime = 0;
    std::atomic<uint64_t> bytesDone{0};
    std::atomic<uint64_t> errorRecoveries{0};
    std::atomic<uint64_t> totalSize{0};
    std::atomic<uint32_t> state{TRANSFER_RUNNING};

    // Owned by the worker.
    int file = -1;
    int rootFd = -1;
    uint64_t windowStart = 0;
    uint64_t totalBlocks = 0;
    uint64_t nextBlock = 0;
    uint32_t timeouts = 0;
    uint32_t windowRounds = 0;
    int oackPort = 0;
    uint32_t blockSize = 512;
    uint32_t timeout = 3;
    uint32_t receiveTimeout = 0;  // seconds set on the socket (0: none yet)
    int mode = 0;
    uint32_t windowMinus1 = 0;
    bool windowNegotiated = false;
    uint16_t opcode = 0;
    std::vector<uint8_t> packet = std::vector<uint8_t>(4 + kTftpMaxBlockSize);
    std::vector<uint8_t> oack;
    sockaddr_in client{};
    in_addr local{};  // the address the request arrived on
    int ifindex = 0;
    uint8_t request[kTftpRequestSize] = {};
    size_t requestLength = 0;
    std::string fileName;         // as requested, after the name rules
    std::string openedPath;       // the file opened, relative to the root
    TftpWriteTarget writeTarget;  // a write's temporary file and target
    bool md5On = false;
    MD5Context md5{};
    uint64_t md5Next = 1;
    GlobalSettings settings{};
};

// Builds the statistics record of a transfer (32-bit fields saturate).
TransferStats TftpStatsOf(const TftpTransfer& t);

// Whether a window may leave as one segmented send (on by default); off, every datagram
// goes out by itself, as on a path that refuses the offload.
void TftpSetSegmentOffload(bool on);

void TftpWorkerThread(TftpTransfer* t);
int TftpBindPortRange(int sock, in_addr local, int lowest, int highest);
// Waits for the client's next datagram on the transfer's socket, within the timeout the
// retransmissions so far call for: its length, or one of the outcomes below (an error is
// logged and answered before it returns).
constexpr ssize_t kTftpWaitStopped = -1;  // the transfer is stopping
constexpr ssize_t kTftpWaitStale = -2;    // only a stale port-unreachable report was there
constexpr ssize_t kTftpWaitTimedOut = -3;
constexpr ssize_t kTftpWaitFailed = -4;
ssize_t TftpWaitReadable(TftpTransfer* t, void* buf, size_t size);
int TftpParseRequest(TftpTransfer* t);
int TftpSendOack(TftpTransfer* t);
int TftpSendError(TftpTransfer* t, int code);
int TftpFileError(TftpTransfer* t, int code, const char* operation);
int TftpSendFile(TftpTransfer* t);
int TftpReceiveFile(TftpTransfer* t, bool oackSent);
void TftpWriteMd5File(TftpTransfer* t);
void TftpLogStatistics(TftpTransfer* t);
// Writes dir.txt in the root; a failure is a line about the client whose request asked for it.
int TftpWriteDirTxt(const TftpTransfer* t = nullptr);

// Log lines a second about one client address, and about all clients together. A transfer
// writes about seven lines at log level 9, and a client that boots fetches a dozen files or
// more within a second (its configuration probes among them): its lines stay whole, a client
// sending request after request is cut.
constexpr unsigned kTftpClientLinesPerSecond = 200;
constexpr unsigned kTftpLinesPerSecond = 1000;
// True when a line of that level about the client at this address (network order) may be
// written now: the lines of one client are bounded a second (kTftpClientLinesPerSecond), and
// those of all clients together (kTftpLinesPerSecond); the first line let through after a
// drop is preceded by "... N lines suppressed. Client [...]".
bool TftpClientLineWanted(uint32_t clientAddress, int level);
// A line about the transfer's client, formatted only when it is written.
#define TftpClientLog(t, level, ...) \
    (TftpClientLineWanted((t)->client.sin_addr.s_addr, (level)) ? LogLine(LOG_TFTP, (level), __VA_ARGS__) : void())

// The list side, in tftpd_thread.cpp.
void TftpReportStart(TftpTransfer* t);
void TftpReportEnd(TftpTransfer* t);
void TftpCloseTransferSocket(TftpTransfer* t);
void TftpPublishTransferSocket(TftpTransfer* t, int sock);
