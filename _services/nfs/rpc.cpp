#include "_services/nfs/rpc.h"

#include <arpa/inet.h>

#include "_services/nfs/tcpsocket.h"
#include "libs/log/log.h"
#include "libs/platform/sockets.h"

void CRPCProg::VersionRange(uint32_t* low, uint32_t* high) const {
    *low = *high = 0;
    for (uint32_t v = 0; v < 15; ++v) {
        if (!versions[v]) continue;
        if (!*low) *low = v;
        *high = v;
    }
}

CRPCServer::CRPCServer() = default;

CRPCServer::~CRPCServer() { Close(); }

void CRPCServer::Close() {
    for (Slot& s : slots_) {
        if (s.tcp) s.tcp->Close();
        s.tcp.reset();
        if (s.udp) s.udp->Close();
        s.udp.reset();
    }
}

bool CRPCServer::Attach(CRPCProg* program, const std::string& address, int port, int flags, int maxConnections) {
    uint32_t n = program->programNumber;
    if (n < kRpcFirstProgram || n >= kRpcFirstProgram + kRpcProgramSlots) return false;
    Slot& s = slots_[n - kRpcFirstProgram];
    s.program = program;
    bool ok = true;
    if (flags & ATTACH_UDP) {
        auto udp = std::make_unique<CUdpPort>();
        if (udp->Open(address, port, this))
            s.udp = std::move(udp);
        else
            ok = false;
    }
    if (flags & ATTACH_TCP) {
        auto tcp = std::make_unique<CTcpPort>();
        if (tcp->Open(address, port, maxConnections, this))
            s.tcp = std::move(tcp);
        else
            ok = false;
    }
    return ok;
}

void CRPCServer::SetLog(int on) {
    for (Slot& s : slots_)
        if (s.program) s.program->SetLog(on);
}

int CRPCServer::TcpPortAt(int slot) const { return slots_[slot].tcp ? slots_[slot].tcp->Port() : 0; }
int CRPCServer::UdpPortAt(int slot) const { return slots_[slot].udp ? slots_[slot].udp->Port() : 0; }

namespace {
void SkipAuth(I_Stream& in) {
    in.Read32();  // flavour
    uint32_t length = in.Read32();
    if (length > kMaxAuthBody) throw XdrError("authentication body too long");
    in.Skip(length + I_Stream::Pad(length));
}
}  // namespace

bool CRPCServer::ProcessCall(const uint8_t* call, size_t length, const sockaddr_in& peer, int transport,
                             O_Stream& out) {
    I_Stream in(call, length);
    if (length < 8) return false;
    uint32_t xid = in.Read32();
    // Only calls are answered: a reply (or anything else) sent to us is dropped, so that
    // forged replies cannot bounce between two servers.
    if (in.Read32() != RPC_CALL) return false;
    const std::string peerText = IPv4Text(peer.sin_addr);
    out.Write32(xid);
    out.Write32(RPC_REPLY);
    RpcCallInfo info;
    info.peer = peerText;
    info.transport = transport;
    uint32_t rpcVersion = 0, program = 0;
    bool headerOk = true;
    try {
        rpcVersion = in.Read32();
        program = in.Read32();
        info.version = in.Read32();
        info.procedure = in.Read32();
        SkipAuth(in);  // credential
        SkipAuth(in);  // verifier
    } catch (const XdrError& e) { headerOk = false; }
    if (headerOk && rpcVersion != kRpcVersion) {
        out.Write32(MSG_DENIED);
        out.Write32(RPC_MISMATCH);
        out.Write32(kRpcVersion);
        out.Write32(kRpcVersion);
        return true;
    }
    out.Write32(MSG_ACCEPTED);
    out.Write32(0);  // verifier AUTH_NONE, empty
    out.Write32(0);
    const size_t statPos = out.Position();
    if (!headerOk) {
        LogLine(LOG_NFS, 1, "NFS Err: malformed RPC header from %s", peerText.c_str());
        out.Write32(GARBAGE_ARGS);
        return true;
    }
    CRPCProg* prog = nullptr;
    if (program >= kRpcFirstProgram && program < kRpcFirstProgram + kRpcProgramSlots)
        prog = slots_[program - kRpcFirstProgram].program;
    if (!prog) {
        out.Write32(PROG_UNAVAIL);
        return true;
    }
    out.Write32(RPC_SUCCESS);
    int result;
    try {
        result = prog->Process(in, out, info);
    } catch (const XdrError& e) { result = PROC_GARBAGE; }
    if (result == PROC_DONE && out.Overflowed()) {
        LogLine(LOG_NFS, 0, "NFS Err: reply to procedure %u of program %u too large", info.procedure, program);
        out.Truncate(statPos);
        out.Write32(SYSTEM_ERR);
        return true;
    }
    if (result == PROC_DONE) return true;
    out.Truncate(statPos);
    out.Seek(0, 2);
    switch (result) {
        case PROC_UNAVAILABLE: out.Write32(PROC_UNAVAIL); break;
        case PROC_MISMATCH:
            out.Write32(PROG_MISMATCH);
            out.Write32(info.low);
            out.Write32(info.high);
            break;
        default:
            LogLine(LOG_NFS, 1, "NFS Err: garbage arguments from %s (program %u version %u procedure %u)",
                    peerText.c_str(), program, info.version, info.procedure);
            out.Write32(GARBAGE_ARGS);
            break;
    }
    return true;
}
