// TFTP request decoding, name rules, access rules, option negotiation and the ERROR
// packets. Everything here works on byte buffers and values; the only file-system
// access is TftpOpenFile, which resolves beneath a directory descriptor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "_services/host_records.h"
#include "_services/tftp_protocol.h"

// Results of the request decision.
enum TftpParseResult : int {
    TFTP_READ_OACK = 1000,
    TFTP_WRITE_OACK = 1001,
    TFTP_READ_PLAIN = 1002,
    TFTP_WRITE_PLAIN = 1003,
    TFTP_REFUSED = 1004,
};

enum TftpMode : int { TFTP_MODE_OCTET = 0, TFTP_MODE_NETASCII = 1, TFTP_MODE_MAIL = 2 };

constexpr size_t kTftpRequestSize = 516;    // request datagram buffer
constexpr size_t kTftpAckBufferSize = 516;  // OACK / ACK buffer
constexpr uint32_t kTftpMaxBlockSize = 16384;
constexpr size_t kTftpNameLimit = 260;

// Log lines produced by the pure routines; the worker prints them.
struct TftpLogLine {
    int level;
    std::string text;
};
using TftpLog = std::vector<TftpLogLine>;
void TftpLogf(TftpLog* log, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// ERROR packets. Codes outside the table go out as TFTP_EUNDEF with the text of errno
// (code - kTftpErrnoBase).
const char* TftpErrorText(int code);
std::vector<uint8_t> TftpBuildError(int code);

struct TftpRequest {
    uint16_t opcode = 0;
    std::string fileName;
    std::string modeText;
    int mode = TFTP_MODE_OCTET;
    std::vector<std::pair<std::string, std::string>> options;  // in request order
};

// Decodes a request datagram and applies the checks on opcode, name and mode. Returns 0
// when the request may go on, else the ERROR code to send.
int TftpDecodeRequest(const uint8_t* data, size_t length, TftpRequest* out, TftpLog* log);

// Name rules: '\' and '/' both become '/'; a drive letter is made upper case; with
// TFTP_BackSlashAsVirtualRoot a leading separator is removed.
void TftpTranslateName(std::string& name, const GlobalSettings& settings);

// Reduces a name to a path relative to the root: separators collapsed, "." dropped, ".."
// applied. False when the name climbs above the root.
bool TftpNormalizeName(const std::string& name, std::string* relative);

// Access rules, before the file is opened: the root setting text directly followed by
// the name must stay below kTftpNameLimit characters and the name must not climb above the
// root; then the security level decides. Returns 1 when allowed, else 0 with errno set.
// For level 2 a write also needs an existing empty file, tested when it is opened.
int TftpCheckAccess(const std::string& rootSetting, const std::string& name, uint16_t opcode, int securityLevel);

// errno of a failed open to a TFTP error code.
int TftpErrnoToCode(int err);

// A write in progress: the data goes into a temporary file beside the target, which takes
// the target's place only when the transfer completes; until then the old file stays whole.
struct TftpWriteTarget {
    int dirFd = -1;        // the target's folder, beneath the root
    int targetFd = -1;     // the existing target, locked exclusively; -1 for a new file
    std::string tempName;  // the temporary file, in dirFd
    std::string name;      // the target's name, in dirFd
};
// Puts the temporary file in the target's place. False (errno set) when it cannot; the
// temporary file is then removed. Both release the target.
bool TftpCommitWrite(TftpWriteTarget* target);
// Removes the temporary file; the target is left as it was.
void TftpDiscardWrite(TftpWriteTarget* target);

struct TftpOpenResult {
    int fd = -1;                 // the file read, or the temporary file written
    int errorCode = 0;           // TFTP code when fd < 0
    int sysError = 0;            // errno of the failure
    bool accessRefused = false;  // refused by the access rules (level 2)
    std::string path;            // the path opened, relative to the root
    uint64_t size = 0;
    TftpWriteTarget target;  // writes only
};
// Opens the file beneath rootFd (openat2 RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): the
// exact name first, then component by component without case. Reads take a shared lock;
// writes take an exclusive one on an existing target, leave it untouched and open a new
// temporary file beside it (see TftpWriteTarget). Only regular files are accepted.
TftpOpenResult TftpOpenFile(int rootFd, const std::string& relative, bool write, int securityLevel, TftpLog* log);
// Opens or creates a file beneath rootFd for writing (truncated); -1 on failure.
int TftpCreateBeneath(int rootFd, const std::string& relative);

// Log level of the lines of TftpLog that are debug traces rather than log lines.
constexpr int kTftpTraceLevel = -1;

struct TftpNegotiation {
    uint32_t blockSize = kTftpDefaultBlockSize;
    uint32_t timeout = 3;
    uint32_t windowMinus1 = 0;
    bool windowNegotiated = false;
    uint64_t totalSize = 0;     // file size (read) or announced size (write)
    bool tsizeSeen = false;     // a write announced its size
    int oackPort = 0;           // TFTP_Port when the port option was accepted
    std::vector<uint8_t> oack;  // opcode 6 and the entries; empty when nothing accepted
};
// Negotiates the request's options against the settings. fileSize is the size of the
// file read (0 for a write); transferPort the transfer socket's local port. Only the first
// occurrence of an option counts; the OACK carries the values in use as decimal numbers.
void TftpNegotiateOptions(const TftpRequest& request, const GlobalSettings& settings, uint64_t fileSize,
                          uint16_t transferPort, TftpNegotiation* out, TftpLog* log);

// Packets of the data phase.
size_t TftpBuildData(uint8_t* buf, uint64_t block, const void* data, size_t length);
void TftpBuildAck(uint8_t* buf, uint64_t block);
