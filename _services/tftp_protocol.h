// Numbers of the TFTP wire protocol (RFC 1350, with the option extension of RFC 2347 to
// 2349 and 7440) by name.
#pragma once
#include <cstdint>

constexpr uint16_t kTftpPort = 69;
constexpr uint32_t kTftpDefaultBlockSize = 512;  // without a blksize option
constexpr uint32_t kTftpMinBlockSize = 8;        // smallest blksize a client may ask for
constexpr uint32_t kTftpMinTimeout = 1;          // timeout option range, seconds
constexpr uint32_t kTftpMaxTimeout = 255;

enum TftpOpcode : uint16_t {
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
    TFTP_OACK = 6,
};

// Error codes of an ERROR packet.
enum TftpErrorCode : int {
    TFTP_EUNDEF = 0,      // not defined: the message tells
    TFTP_ENOTFOUND = 1,   // file not found
    TFTP_EACCESS = 2,     // access violation
    TFTP_ENOSPACE = 3,    // disk full or allocation exceeded
    TFTP_EBADOP = 4,      // illegal TFTP operation
    TFTP_EBADID = 5,      // unknown transfer ID
    TFTP_EEXISTS = 6,     // file already exists
    TFTP_ENOUSER = 7,     // no such user
    TFTP_ECANCELED = 99,  // this server's own: the administrator stopped the transfer
};
// Codes from kTftpErrnoBase on stand for the errno (code - kTftpErrnoBase): they go out as
// TFTP_EUNDEF with the errno's text.
constexpr int kTftpErrnoBase = 100;
