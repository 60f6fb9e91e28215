// PORTMAP version 2 (program 100000): a fixed table of the ports our RPC servers opened.
#pragma once
#include <mutex>
#include <vector>

#include "_services/nfs/rpc.h"

class CRPCProg_Portmap : public CRPCProg {
public:
    CRPCProg_Portmap();
    // Adds {program, version, protocol, port} for every attached program, offered version and
    // open port of the server; the first port of a program, version and protocol wins.
    void RegisterServer(const CRPCServer& server);
    int Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) override;
    std::vector<PortMapping> Mappings() const;

private:
    void Add(const PortMapping& m);
    mutable std::mutex lock_;
    std::vector<PortMapping> list_;
};
