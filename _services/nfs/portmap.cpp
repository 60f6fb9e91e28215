#include "_services/nfs/portmap.h"

CRPCProg_Portmap::CRPCProg_Portmap() : CRPCProg(kPortmapProgram) { versions[kPortmapVersion] = 1; }

void CRPCProg_Portmap::Add(const PortMapping& m) {
    std::lock_guard<std::mutex> g(lock_);
    for (const PortMapping& e : list_)
        if (e.program == m.program && e.version == m.version && e.protocol == m.protocol) return;
    list_.push_back(m);
}

void CRPCProg_Portmap::RegisterServer(const CRPCServer& server) {
    for (uint32_t slot = 0; slot < kRpcProgramSlots; ++slot) {
        CRPCProg* p = server.ProgramAt(static_cast<int>(slot));
        if (!p) continue;
        for (uint32_t v = 0; v < 15; ++v) {
            if (!p->versions[v]) continue;
            if (int port = server.TcpPortAt(static_cast<int>(slot)))
                Add({p->programNumber, v, kProtoTcp, static_cast<uint32_t>(port)});
            if (int port = server.UdpPortAt(static_cast<int>(slot)))
                Add({p->programNumber, v, kProtoUdp, static_cast<uint32_t>(port)});
        }
    }
}

std::vector<PortMapping> CRPCProg_Portmap::Mappings() const {
    std::lock_guard<std::mutex> g(lock_);
    return list_;
}

namespace {
PortMapping ReadMapping(I_Stream& in) {
    PortMapping m;
    m.program = in.Read32();
    m.version = in.Read32();
    m.protocol = in.Read32();
    m.port = in.Read32();
    return m;
}
}  // namespace

int CRPCProg_Portmap::Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) {
    if (info.procedure > PMAP_CALLIT) return PROC_UNAVAILABLE;
    O_Stream ignored(0);
    O_Stream& res = info.version == kPortmapVersion ? out : ignored;
    switch (info.procedure) {
        case PMAP_NULL: break;
        case PMAP_SET:
        case PMAP_UNSET:  // the table belongs to this process: clients cannot change it
            ReadMapping(in);
            res.WriteBool(false);
            break;
        case PMAP_GETPORT: {
            PortMapping q = ReadMapping(in);
            uint32_t port = 0;
            for (const PortMapping& m : Mappings())
                if (m.program == q.program && m.version == q.version && m.protocol == q.protocol) {
                    port = m.port;
                    break;
                }
            res.Write32(port);
            break;
        }
        case PMAP_DUMP:
            for (const PortMapping& m : Mappings()) {
                res.WriteBool(true);
                res.Write32(m.program);
                res.Write32(m.version);
                res.Write32(m.protocol);
                res.Write32(m.port);
            }
            res.WriteBool(false);
            break;
        case PMAP_CALLIT: {
            // Calls are not forwarded; the arguments are read and the call refused cleanly.
            in.Read32();
            in.Read32();
            in.Read32();
            const uint8_t* args;
            in.ReadOpaqueInPlace(kRpcMaxRecord, &args);
            if (info.version == kPortmapVersion) return PROC_UNAVAILABLE;
            break;
        }
    }
    if (info.version != kPortmapVersion) {
        info.low = info.high = kPortmapVersion;
        return PROC_MISMATCH;
    }
    return PROC_DONE;
}
