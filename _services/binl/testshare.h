// Self-test of the SMB shares that Windows setup clients read: WIA_RIS_SHARE (the TFTP root),
// WIA_WDS_SHARE and NWA_PXE_SHARE. The shares belong to the host's SMB server; this only
// checks them and logs what is wrong. WIA_RIS_SHARE is also tried with a minimal SMB 1
// client on 127.0.0.1:445, which opens "astamp.dat" for reading and executing, never writing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "_services/binl/binl_context.h"

enum NetNameIdx : int { WIA_RIS_SHARE = 0, WIA_WDS_SHARE, NWA_PXE_SHARE, NetNameIdx_END };

const char* ShareName(int idx);

// 0 passed, -1 failed (every failure is a log line).
int TestShare(const BinlContext& ctx, int idx);
int TestShareRis(const BinlContext& ctx, const std::string& address);
int TestShareWds(const BinlContext& ctx, const std::string& address);
int TestShareNwa(const BinlContext& ctx, const std::string& address);
// 1 when the share exists and points at the expected folder (one trailing separator dropped,
// both sides resolved before comparing), else 0 after logging why.
int TestShareInfo(const std::string& address, const std::string& server, int idx, const std::string& expected);
// The folder a share must point to: the root, or the root's WIA_WDS or NWA_PXE folder.
std::string ExpectedShareFolder(const std::string& root, int idx);

// The port the client connects to (445; tests may change it).
void SetSmbTestPort(uint16_t port);

// SMB 1 messages, built and checked as byte buffers. The Build functions return the whole
// NetBIOS session message; replies are checked without their 4-byte NetBIOS header.
namespace smb1 {
constexpr uint8_t kComNegotiate = 0x72;
constexpr uint8_t kComSessionSetupAndX = 0x73;
constexpr uint8_t kComTreeConnectAndX = 0x75;
constexpr uint8_t kComNtCreateAndX = 0xA2;
constexpr uint8_t kComClose = 0x04;
constexpr uint8_t kComLogoffAndX = 0x74;
constexpr uint8_t kNoAndX = 0xFF;
constexpr uint32_t kStatusAccessDenied = 0xC0000022;
constexpr size_t kBufferSize = 5120;
constexpr uint32_t kAccessRead = 0x01;
constexpr uint32_t kAccessWrite = 0x02;
constexpr uint32_t kAccessExecute = 0x20;

std::vector<uint8_t> BuildNegotiate();
std::vector<uint8_t> BuildSessionSetup(const std::string& server, const std::string& share);
std::vector<uint8_t> BuildNtCreate(const std::string& name, uint32_t access, uint16_t tid, uint16_t uid, uint16_t pid,
                                   uint16_t mid);
std::vector<uint8_t> BuildClose(uint16_t fid, uint16_t tid, uint16_t uid, uint16_t pid, uint16_t mid);
std::vector<uint8_t> BuildLogoff(uint16_t uid);

enum class ReplyCheck { Ok, WrongSize, WrongProtocol, WrongCommand };
ReplyCheck CheckReply(const uint8_t* msg, size_t len, uint8_t command);
uint32_t ReplyStatus(const uint8_t* msg);

enum class NegotiateResult { Ok, NoNtLm012, BadName };
// Reads the server name from a NEGOTIATE reply that passed CheckReply.
NegotiateResult ParseNegotiate(const uint8_t* msg, size_t len, std::string* server);
// TID and UID of a SESSION_SETUP_ANDX reply; *diskShare tells whether the chained tree
// connect reply names the service "A:". False when the chained reply lies outside the message.
bool ParseSessionSetup(const uint8_t* msg, size_t len, uint16_t* tid, uint16_t* uid, bool* diskShare);
// FID of an NT_CREATE_ANDX reply; false when the message is too short.
bool ParseNtCreate(const uint8_t* msg, size_t len, uint16_t* fid);
// Name of a status for the given command, or nullptr when the command names it by number.
const char* StatusName(uint8_t command, uint32_t status);
}  // namespace smb1
