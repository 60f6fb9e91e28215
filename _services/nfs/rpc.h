// A small ONC RPC server: up to 15 programs (100000 to 100014), each on its own UDP and/or TCP
// port. ProcessCall turns one call (a datagram, or one TCP record without its mark) into one
// reply; the ports of tcpsocket.h carry calls to it.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "_services/nfs/nfs_records.h"
#include "_services/nfs/xdr.h"

enum RpcTransport : int { RPC_TCP = 1, RPC_UDP = 2 };

// What a program learns of a call, and what it hands back for a version mismatch.
struct RpcCallInfo {
    uint32_t version = 0;
    uint32_t procedure = 0;
    std::string peer;  // the caller's IPv4 address as dotted text
    int transport = RPC_UDP;
    uint32_t low = 0, high = 0;  // set with the result PROC_MISMATCH
};

// Process results.
enum RpcProcessResult : int { PROC_DONE = 0, PROC_GARBAGE = 1, PROC_UNAVAILABLE = 2, PROC_MISMATCH = 3 };

class CRPCProg {
public:
    explicit CRPCProg(uint32_t program) : programNumber(program) {}
    virtual ~CRPCProg() = default;
    // Reads the arguments from in and writes the results to out. An XdrError thrown here is
    // answered GARBAGE_ARGS by the server.
    virtual int Process(I_Stream& in, O_Stream& out, RpcCallInfo& info) = 0;
    void SetLog(int on) { logOn = on; }
    // Lowest and highest version offered (0, 0 when none).
    void VersionRange(uint32_t* low, uint32_t* high) const;

    uint32_t programNumber;
    int versions[15] = {};
    int logOn = 1;
};

class CTcpPort;
class CUdpPort;

class CRPCServer {
public:
    CRPCServer();
    ~CRPCServer();  // closes every port, TCP before UDP, slot by slot
    CRPCServer(const CRPCServer&) = delete;
    CRPCServer& operator=(const CRPCServer&) = delete;

    enum : int { ATTACH_TCP = 1, ATTACH_UDP = 2 };
    // Puts the program into its slot and opens the ports that flags ask for on the bind address
    // (empty: any). A port that cannot be opened is left out (and logged); false then.
    bool Attach(CRPCProg* program, const std::string& address, int port, int flags, int maxConnections);
    void SetLog(int on);
    // Answers one call. False when nothing is to be sent (not a call, or too short to answer).
    bool ProcessCall(const uint8_t* call, size_t length, const sockaddr_in& peer, int transport, O_Stream& out);
    // Closes every port and waits for their threads.
    void Close();

    CRPCProg* ProgramAt(int slot) const { return slots_[slot].program; }
    int TcpPortAt(int slot) const;
    int UdpPortAt(int slot) const;

private:
    struct Slot {
        CRPCProg* program = nullptr;
        std::unique_ptr<CTcpPort> tcp;
        std::unique_ptr<CUdpPort> udp;
    };
    Slot slots_[kRpcProgramSlots];
};
