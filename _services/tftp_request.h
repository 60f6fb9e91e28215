// TFTP request decoding, name rules, access rules, option negotiation and the ERROR
// packets. Everything here works on byte buffers and values; the only file-system
// access is TftpOpenFile, which resolves beneath a directory descriptor.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host_records.h"

enum TftpOpcode : uint16_t {
    TFTP_RRQ = 1, TFTP_WRQ = 2, TFTP_DATA = 3, TFTP_ACK = 4, TFTP_ERROR = 5, TFTP_OACK = 6,
};

// Results of the request decision.
enum TftpParseResult : int {
    TFTP_READ_OACK = 1000, TFTP_WRITE_OACK = 1001, TFTP_READ_PLAIN = 1002,
    TFTP_WRITE_PLAIN = 1003, TFTP_REFUSED = 1004,
};

enum TftpMode : int { TFTP_MODE_OCTET = 0, TFTP_MODE_NETASCII = 1, TFTP_MODE_MAIL = 2 };

constexpr size_t   kTftpRequestSize = 516;    // request datagram buffer
constexpr size_t   kTftpAckBufferSize = 516;  // OACK / ACK buffer
constexpr uint32_t kTftpMaxBlockSize = 16384;
constexpr size_t   kTftpNameLimit = 260;

// Log lines produced by the pure routines; the worker prints them.
struct TftpLogLine {
    int         level;
    std::string text;
};
using TftpLog = std::vector<TftpLogLine>;
void TftpLogf(TftpLog* log, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// ERROR packets. Codes outside the table go out as code 0 with the text of error (code - 100).
const char* TftpErrorText(int code);
std::vector<uint8_t> TftpBuildError(int code);

struct TftpRequest {
    uint16_t    opcode = 0;
    std::string fileName;
    std::string modeText;
    int         mode = TFTP_MODE_OCTET;
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

// Access rules by security level, before the file is opened. Returns 1 when allowed.
// For level 2 a write also needs an existing empty file, tested when it is opened.
int TftpCheckAccess(const std::string& name, uint16_t opcode, int securityLevel);

// errno of a failed open to a TFTP error code.
int TftpErrnoToCode(int err);

struct TftpOpenResult {
    int         fd = -1;
    int         errorCode = 0;   // TFTP code when fd < 0
    int         sysError = 0;    // errno of the failure
    bool        accessRefused = false;  // refused by the access rules (level 2)
    std::string path;            // the path opened, relative to the root
    uint64_t    size = 0;
};
// Opens the file beneath rootFd (openat2 RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): the
// exact name first, then component by component without case. Reads take a shared lock,
// writes an exclusive one and then truncate. Only regular files are accepted.
TftpOpenResult TftpOpenFile(int rootFd, const std::string& relative, bool write, int securityLevel,
                            TftpLog* log);
// Opens or creates a file beneath rootFd for writing (truncated); -1 on failure.
int TftpCreateBeneath(int rootFd, const std::string& relative);

struct TftpNegotiation {
    uint32_t blockSize = 512;
    uint32_t timeout = 3;
    uint32_t windowMinus1 = 0;
    bool     windowNegotiated = false;
    uint64_t totalSize = 0;      // file size (read) or announced size (write)
    bool     tsizeSeen = false;  // a write announced its size
    int      oackPort = 0;       // TFTP_Port when the port option was accepted
    std::vector<uint8_t> oack;   // opcode 6 and the entries; empty when nothing accepted
};
// Negotiates the request's options against the settings. fileSize is the size of the
// file read (0 for a write); transferPort the transfer socket's local port.
void TftpNegotiateOptions(const TftpRequest& request, const GlobalSettings& settings, uint64_t fileSize,
                          uint16_t transferPort, TftpNegotiation* out, TftpLog* log);

// Packets of the data phase.
size_t TftpBuildData(uint8_t* buf, uint64_t block, const void* data, size_t length);
void   TftpBuildAck(uint8_t* buf, uint64_t block);
