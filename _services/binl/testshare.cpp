#include "_services/binl/testshare.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "_services/binl/binl_log.h"
#include "libs/platform/share_info.h"
#include "libs/platform/sockets.h"

namespace smb1 {
namespace {
constexpr uint8_t kCaseInsensitiveResponse[24] = {0x3f, 0x6a, 0x1c, 0x9e, 0x07, 0xb2, 0xd4, 0x58,
                                                  0x3f, 0x6a, 0x1c, 0x9e, 0x07, 0xb2, 0xd4, 0x58,
                                                  0x3f, 0x6a, 0x1c, 0x9e, 0x07, 0xb2, 0xd4, 0x58};
constexpr uint8_t kCaseSensitiveResponse[24] = {0xa4, 0xc1, 0x9e, 0x0b, 0x7d, 0x2f, 0x63, 0x85, 0xe1, 0x7b, 0x40, 0xc9,
                                                0xd3, 0xa6, 0xf2, 0x58, 0xb0, 0x9e, 0x4d, 0x71, 0xc2, 0xf8, 0xa6, 0x35};
constexpr uint16_t kPidNegotiate = 65111;

void Put16(std::vector<uint8_t>& m, size_t at, uint16_t v) {
    m[at] = static_cast<uint8_t>(v);
    m[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& m, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A message of `total` bytes with its NetBIOS and SMB headers filled.
std::vector<uint8_t> Header(size_t total, uint8_t command, uint8_t flags, uint16_t flags2, uint16_t tid, uint16_t pid,
                            uint16_t uid, uint16_t mid) {
    std::vector<uint8_t> m(total, 0);
    size_t rest = total - 4;
    m[2] = static_cast<uint8_t>(rest >> 8);
    m[3] = static_cast<uint8_t>(rest);
    m[4] = 0xFF;
    m[5] = 'S';
    m[6] = 'M';
    m[7] = 'B';
    m[8] = command;
    m[13] = flags;
    Put16(m, 14, flags2);
    Put16(m, 28, tid);
    Put16(m, 30, pid);
    Put16(m, 32, uid);
    Put16(m, 34, mid);
    return m;
}

void PutUtf16(std::vector<uint8_t>& m, size_t at, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) m[at + 2 * i] = static_cast<uint8_t>(text[i]);
}
}  // namespace

std::vector<uint8_t> BuildNegotiate() {
    static const char* const dialects[] = {
        "PC NETWORK PROGRAM 1.0", "LANMAN1.0", "Windows for Workgroups 3.1a", "LM1.2X002", "LANMAN2.1", "NT LM 0.12"};
    std::vector<uint8_t> m = Header(137, kComNegotiate, 0x18, 0xC053, 0, kPidNegotiate, 0, 0);
    Put16(m, 37, 98);
    size_t at = 39;
    for (const char* d : dialects) {
        m[at++] = 0x02;
        size_t n = strlen(d);
        memcpy(&m[at], d, n);
        at += n + 1;
    }
    return m;
}

std::vector<uint8_t> BuildSessionSetup(const std::string& server, const std::string& share) {
    std::string path = "\\\\" + server + "\\" + share;
    size_t total = 134 + (path.size() + 1) * 2 + 6;
    std::vector<uint8_t> m = Header(total, kComSessionSetupAndX, 0x18, 0xC007, 0, kPidNegotiate, 0, 8);
    m[36] = 13;
    m[37] = kComTreeConnectAndX;
    Put16(m, 39, 118);
    Put16(m, 41, 0x1104);
    Put16(m, 43, 5);
    Put16(m, 51, 24);
    Put16(m, 53, 24);
    Put32(m, 59, 0xD4);
    Put16(m, 63, 57);
    memcpy(&m[65], kCaseInsensitiveResponse, 24);
    memcpy(&m[89], kCaseSensitiveResponse, 24);
    // 113: pad, then four empty Unicode strings (8 zero bytes).
    m[122] = 4;
    m[123] = kNoAndX;
    Put16(m, 125, 176);
    Put16(m, 127, 0x0008);
    Put16(m, 129, 1);
    Put16(m, 131, static_cast<uint16_t>(path.size() * 2 + 9));
    PutUtf16(m, 134, path);
    memcpy(&m[134 + (path.size() + 1) * 2], "?????", 5);
    return m;
}

std::vector<uint8_t> BuildNtCreate(const std::string& name, uint32_t access, uint16_t tid, uint16_t uid, uint16_t pid,
                                   uint16_t mid) {
    size_t nameBytes = (name.size() + 1) * 2;
    std::vector<uint8_t> m = Header(88 + nameBytes, kComNtCreateAndX, 0x18, 0xC007, tid, pid, uid, mid);
    m[36] = 24;
    m[37] = kNoAndX;
    Put16(m, 42, static_cast<uint16_t>(nameBytes));
    Put32(m, 44, 0x10);
    Put32(m, 52, access);
    Put32(m, 68, 1);  // share access: read
    Put32(m, 72, 1);  // disposition: open
    Put32(m, 80, 2);  // impersonation
    Put16(m, 85, static_cast<uint16_t>(nameBytes + 1));
    PutUtf16(m, 88, name);
    return m;
}

std::vector<uint8_t> BuildClose(uint16_t fid, uint16_t tid, uint16_t uid, uint16_t pid, uint16_t mid) {
    std::vector<uint8_t> m = Header(45, kComClose, 0x18, 0xC007, tid, pid, uid, mid);
    m[36] = 3;
    Put16(m, 37, fid);
    return m;
}

std::vector<uint8_t> BuildLogoff(uint16_t uid) {
    std::vector<uint8_t> m = Header(43, kComLogoffAndX, 0, 0, 0, 0, uid, 0);
    m[36] = 2;
    m[37] = kNoAndX;
    return m;
}

ReplyCheck CheckReply(const uint8_t* msg, size_t len, uint8_t command) {
    if (len < 33) return ReplyCheck::WrongSize;
    if (msg[0] != 0xFF || msg[1] != 'S' || msg[2] != 'M' || msg[3] != 'B') return ReplyCheck::WrongProtocol;
    if (msg[4] != command) return ReplyCheck::WrongCommand;
    return ReplyCheck::Ok;
}

uint32_t ReplyStatus(const uint8_t* msg) {
    return static_cast<uint32_t>(msg[5]) | static_cast<uint32_t>(msg[6]) << 8 | static_cast<uint32_t>(msg[7]) << 16 |
           static_cast<uint32_t>(msg[8]) << 24;
}

NegotiateResult ParseNegotiate(const uint8_t* msg, size_t len, std::string* server) {
    server->clear();
    unsigned wc = msg[32];
    if (wc != 17 || len < 2 * wc + 33 + 2 || Get16(msg + 33) != 5) return NegotiateResult::NoNtLm012;
    size_t at = 69 + static_cast<size_t>(msg[66]);
    // Skip the domain name, then read the server name (both UTF-16, NUL-terminated).
    for (int field = 0; field < 2; ++field) {
        std::string text;
        bool ended = false;
        while (at + 1 < len) {
            uint16_t c = Get16(msg + at);
            at += 2;
            if (c == 0) {
                ended = true;
                break;
            }
            if (text.size() > 15) break;
            text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        if (field == 1) {
            if (!ended || text.empty() || text.size() > 15) return NegotiateResult::BadName;
            *server = text;
        }
    }
    return NegotiateResult::Ok;
}

bool ParseSessionSetup(const uint8_t* msg, size_t len, uint16_t* tid, uint16_t* uid, bool* diskShare) {
    *tid = Get16(msg + 24);
    *uid = Get16(msg + 28);
    *diskShare = false;
    if (len < 37 || msg[32] < 3) return false;
    size_t off = Get16(msg + 35);
    if (off < 33 || off >= len) return false;
    size_t service = off + 3 + 2 * static_cast<size_t>(msg[off]);  // word count, words, byte count
    if (service + 3 > len) return false;
    *diskShare = memcmp(msg + service, "A:\0", 3) == 0;
    return true;
}

bool ParseNtCreate(const uint8_t* msg, size_t len, uint16_t* fid) {
    if (len < 40) return false;
    *fid = Get16(msg + 38);
    return true;
}

const char* StatusName(uint8_t command, uint32_t status) {
    constexpr unsigned N = 1, S = 2, C = 4, L = 8;
    static const struct {
        uint32_t status;
        const char* name;
        unsigned commands;
    } table[] = {
        {0x00010002, "STATUS_INVALID_SMB", N | S | C | L},
        {0x00050002, "STATUS_SMB_BAD_TID", C},
        {0x00060001, "STATUS_SMB_BAD_FID", C},
        {0x005B0002, "STATUS_SMB_BAD_UID", S | C | L},
        {0xC0000008, "STATUS_INVALID_HANDLE", C},
        {0xC0000022, "STATUS_ACCESS_DENIED", S},
        {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND", S},
        {0xC000006D, "STATUS_LOGON_FAILURE", S},
        {0xC00000CB, "STATUS_BAD_DEVICE_TYPE", S | C},
        {0xC00000CC, "STATUS_BAD_NETWORK_NAME", S},
        {0xC00000CE, "STATUS_TOO_MANY_SESSIONS", S},
        {0xC00000CF, "STATUS_SHARING_PAUSED", S},
        {0xC00000D0, "STATUS_REQUEST_NOT_ACCEPTED", S},
        {0xC0000205, "STATUS_INSUFF_SERVER_RESOURCES", S},
    };
    unsigned bit = command == kComNegotiate          ? N
                   : command == kComSessionSetupAndX ? S
                   : command == kComClose            ? C
                   : command == kComLogoffAndX       ? L
                                                     : 0;
    for (const auto& row : table)
        if (row.status == status && (row.commands & bit)) return row.name;
    return nullptr;
}
}  // namespace smb1

namespace {
std::atomic<uint16_t> g_port{445};
const char* const kShareNames[] = {"WIA_RIS_SHARE", "WIA_WDS_SHARE", "NWA_PXE_SHARE"};

const char* CommandName(uint8_t command) {
    switch (command) {
        case smb1::kComNegotiate: return "SMB_COM_NEGOTIATE";
        case smb1::kComSessionSetupAndX: return "SMB_COM_SESSION_SETUP_ANDX";
        case smb1::kComNtCreateAndX: return "SMB_COM_NT_CREATE_ANDX";
        case smb1::kComClose: return "SMB_COM_CLOSE";
        default: return "SMB_COM_LOGOFF_ANDX";
    }
}

std::string Canonical(std::string path) {
    if (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved)) return resolved;
    return path;
}

// One SMB 1 conversation with the server on the loopback address.
class SmbClient {
public:
    SmbClient(const char* share, const std::string& address) : share_(share), address_(address) {}
    ~SmbClient() {
        if (sock_ >= 0) close(sock_);
    }

    bool Connect(int* error) {
        sock_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock_ < 0) {
            *error = errno;
            return false;
        }
        timeval tv{10, 0};  // a server that never answers must not hold the preparation
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(sock_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(g_port.load());
        inet_pton(AF_INET, address_.c_str(), &sa.sin_addr);
        if (connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            *error = errno;
            return false;
        }
        return true;
    }

    bool Negotiate(std::string* server) {
        if (!Exchange(smb1::BuildNegotiate(), smb1::kComNegotiate)) return false;
        uint32_t status = smb1::ReplyStatus(reply_);
        if (status != 0) {
            LogStatus("wrong setup", smb1::kComNegotiate, status);
            return false;
        }
        switch (smb1::ParseNegotiate(reply_, replyLen_, server)) {
            case smb1::NegotiateResult::Ok: return true;
            case smb1::NegotiateResult::NoNtLm012:
                BinlLog("BINL Err: %s not found; %s:445 SMB does not support \"NT LM 0.12\" dialect", share_,
                        address_.c_str());
                return false;
            default:
                BinlLog("BINL Err: %s not found; %s:445 SMB_COM_NEGOTIATE answers invalid COMPUTERNAME", share_,
                        address_.c_str());
                return false;
        }
    }

    bool SessionSetup(const std::string& server) {
        if (!Exchange(smb1::BuildSessionSetup(server, share_), smb1::kComSessionSetupAndX)) return false;
        uint32_t status = smb1::ReplyStatus(reply_);
        if (status != 0) {
            LogStatus("wrong setup", smb1::kComSessionSetupAndX, status);
            return false;
        }
        bool disk = false;
        smb1::ParseSessionSetup(reply_, replyLen_, &tid_, &uid_, &disk);
        haveUid_ = true;
        if (!disk) {
            BinlLog("BINL Err: %s wrong setup; %s:445 SMB service is not a Disk Share", share_, address_.c_str());
            return false;
        }
        return true;
    }

    // True when the request was answered; *status and *fid describe the answer.
    bool NtCreate(const std::string& name, uint32_t access, uint16_t pid, uint16_t mid, uint32_t* status,
                  uint16_t* fid) {
        if (!Exchange(smb1::BuildNtCreate(name, access, tid_, uid_, pid, mid), smb1::kComNtCreateAndX)) return false;
        *status = smb1::ReplyStatus(reply_);
        *fid = 0;
        if (*status == 0 && !smb1::ParseNtCreate(reply_, replyLen_, fid)) {
            BinlLog("BINL Err: %s not found; %s:445 SMB_COM_NT_CREATE_ANDX answers wrong packet size", share_,
                    address_.c_str());
            return false;
        }
        return true;
    }

    bool Close(const std::string& name, uint16_t fid, uint16_t pid, uint16_t mid) {
        if (!Exchange(smb1::BuildClose(fid, tid_, uid_, pid, mid), smb1::kComClose)) return false;
        uint32_t status = smb1::ReplyStatus(reply_);
        if (status == 0) return true;
        if (const char* n = smb1::StatusName(smb1::kComClose, status))
            BinlLog("BINL Err: %s ; %s:445 SMB_COM_CLOSE %s NTSTATUS=%s", share_, address_.c_str(), name.c_str(), n);
        else
            BinlLog("BINL Err: %s ; %s:445 SMB_COM_CLOSE %s NTSTATUS=0x%08X", share_, address_.c_str(), name.c_str(),
                    status);
        return false;
    }

    void Logoff() {
        if (!haveUid_) return;
        if (Exchange(smb1::BuildLogoff(uid_), smb1::kComLogoffAndX)) {
            uint32_t status = smb1::ReplyStatus(reply_);
            if (status != 0) LogStatus(nullptr, smb1::kComLogoffAndX, status);
        }
        usleep(50000);
    }

private:
    // Sends one request in one piece and reads its reply into reply_.
    bool Exchange(const std::vector<uint8_t>& request, uint8_t command) {
        const bool sent = SendAllBlocking(sock_, request.data(), request.size()) >= 0;
        usleep(100000);
        int got = sent ? SmbRecv() : -1;
        if (got == 0 || got == -1) {
            BinlLog("BINL Err: %s not found; %s:445 SMB is not responding", share_, address_.c_str());
            return false;
        }
        replyLen_ = static_cast<size_t>(got);
        static const char* const texts[] = {nullptr, " answers wrong packet size", " answers wrong protocol",
                                            " answers wrong command"};
        smb1::ReplyCheck check = smb1::CheckReply(reply_, replyLen_, command);
        if (check != smb1::ReplyCheck::Ok) {
            BinlLog("BINL Err: %s not found; %s:445 %s%s", share_, address_.c_str(), CommandName(command),
                    texts[static_cast<int>(check)]);
            return false;
        }
        return true;
    }

    bool RecvAll(uint8_t* buf, size_t len) {
        size_t have = 0;
        while (have < len) {
            ssize_t n = recv(sock_, buf + have, len - have, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            have += static_cast<size_t>(n);
        }
        return true;
    }

    // The length of the message now in reply_, 0 when the server closed, -1 on failure or
    // a length of 0 or beyond the buffer.
    int SmbRecv() {
        memset(reply_, 0, sizeof reply_);
        uint8_t head[4];
        if (!RecvAll(head, 4)) return 0;
        size_t len = static_cast<size_t>(head[2]) << 8 | head[3];
        if (len == 0 || len > sizeof reply_) return -1;
        if (!RecvAll(reply_, len)) return -1;
        return static_cast<int>(len);
    }

    void LogStatus(const char* kind, uint8_t command, uint32_t status) {
        const char* name = smb1::StatusName(command, status);
        std::string head = kind ? std::string("BINL Err: %s ") + kind + "; %s:445 " : "BINL Err: %s ; %s:445 ";
        if (name)
            BinlLog((head + "%s NTSTATUS=%s").c_str(), share_, address_.c_str(), CommandName(command), name);
        else
            BinlLog((head + "%s NTSTATUS=0x%08X").c_str(), share_, address_.c_str(), CommandName(command), status);
    }

    const char* share_;
    std::string address_;
    int sock_ = -1;
    uint8_t reply_[smb1::kBufferSize];
    size_t replyLen_ = 0;
    uint16_t tid_ = 0, uid_ = 0;
    bool haveUid_ = false;
};
}  // namespace

const char* ShareName(int idx) { return idx >= 0 && idx < NetNameIdx_END ? kShareNames[idx] : ""; }

void SetSmbTestPort(uint16_t port) { g_port = port; }

std::string ExpectedShareFolder(const std::string& root, int idx) {
    if (idx == WIA_RIS_SHARE) return root;
    std::string folder = root;
    if (folder.empty() || (folder.back() != '/' && folder.back() != '\\')) folder += '/';
    return folder + (idx == WIA_WDS_SHARE ? "WIA_WDS" : "NWA_PXE");
}

int TestShareInfo(const std::string& address, const std::string&, int idx, const std::string& expected) {
    const char* share = ShareName(idx);
    std::string path;
    int rc = ShareGetPath(share, &path);
    if (rc == kShareOk) {
        if (Canonical(path) == Canonical(expected)) return 1;
        BinlLog("BINL Err: %s wrong setup; %s:445 SMB share doesn't point to %s", share, address.c_str(),
                expected.c_str());
    } else if (rc == kShareAccessDenied) {
        BinlLog("BINL Err: %s wrong setup; %s:445 SMB share doesn't have access rights", share, address.c_str());
    } else if (rc == kShareNotFound) {
        BinlLog("BINL Err: %s wrong setup; %s:445 SMB share not found", share, address.c_str());
    }
    return 0;
}

int TestShareRis(const BinlContext& ctx, const std::string& address) {
    const char* share = ShareName(WIA_RIS_SHARE);
    SmbClient client(share, address);
    int error = 0;
    if (!client.Connect(&error)) {
        BinlLog("BINL Err: %s not found; Couldn't connect %s:445 Error=0x%08X", share, address.c_str(),
                static_cast<unsigned>(error));
        return -1;
    }
    std::string server;
    if (!client.Negotiate(&server) || !client.SessionSetup(server) ||
        !TestShareInfo(address, server, WIA_RIS_SHARE, ctx.root))
        return -1;
    const std::string file = "astamp.dat";
    bool ok = true;
    uint32_t status = 0;
    uint16_t fid = 0;
    if (!client.NtCreate(file, smb1::kAccessRead, 8, 16, &status, &fid) || status == smb1::kStatusAccessDenied) {
        BinlLog("BINL ERR: %s wrong setup; %s:445 does not have \"read\" rigths", share, address.c_str());
        ok = false;
    } else if (status == 0 && !client.Close(file, fid, 8, 16)) {
        ok = false;
    }
    if (ok) {
        if (!client.NtCreate(file, smb1::kAccessExecute, 9, 17, &status, &fid) || status == smb1::kStatusAccessDenied) {
            BinlLog("BINL ERR: %s wrong setup; %s:445 does not have \"execute\" rigths", share, address.c_str());
            ok = false;
        } else if (status == 0 && !client.Close(file, fid, 9, 17)) {
            ok = false;
        }
    }
    if (ok && client.NtCreate(file, smb1::kAccessWrite, 10, 18, &status, &fid) && status == 0) {
        BinlLog("BINL ERR: %s wrong setup; %s:445 does have \"write\" rigths", share, address.c_str());
        client.Close(file, fid, 10, 18);
        ok = false;
    }
    client.Logoff();
    if (!ok) return -1;
    BinlLog("BINL Inf: %s\t\tOK; %s:445", share, address.c_str());
    return 0;
}

namespace {
int TestShareFolder(const BinlContext& ctx, const std::string& address, int idx) {
    if (!TestShareInfo(address, "", idx, ExpectedShareFolder(ctx.root, idx))) return -1;
    BinlLog("BINL Inf: %s\tOK; %s:445", ShareName(idx), address.c_str());
    return 0;
}
}  // namespace

int TestShareWds(const BinlContext& ctx, const std::string& address) {
    return TestShareFolder(ctx, address, WIA_WDS_SHARE);
}
int TestShareNwa(const BinlContext& ctx, const std::string& address) {
    return TestShareFolder(ctx, address, NWA_PXE_SHARE);
}

int TestShare(const BinlContext& ctx, int idx) {
    assert(idx >= 0 && idx < NetNameIdx_END && "NetNameIdx >= 0 && NetNameIdx < _END");
    switch (idx) {
        case WIA_RIS_SHARE: return TestShareRis(ctx, "127.0.0.1");
        case WIA_WDS_SHARE: return TestShareWds(ctx, "127.0.0.1");
        case NWA_PXE_SHARE: return TestShareNwa(ctx, "127.0.0.1");
        default: return -1;
    }
}
