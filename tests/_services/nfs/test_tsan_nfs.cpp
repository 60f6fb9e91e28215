// The RPC transports on loopback: many clients at once over TCP and UDP, the connection limit,
// records of several fragments, an oversized record, and a stop while clients are connected.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "_services/nfs/tcpsocket.h"
#include "libs/platform/sockets.h"
#include "tests/_services/nfs/nfs_test_util.h"

namespace {
// A connection to the port from the given loopback address.
int Connect(int port, uint32_t from = INADDR_LOOPBACK) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(from);
    bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool SendAll(int s, const uint8_t* p, size_t n) { return SendAllWithin(s, p, n, 10000) > 0; }

bool RecvAll(int s, uint8_t* p, size_t n) {
    while (n) {
        ssize_t r = recv(s, p, n, 0);
        if (r <= 0) return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Sends a call in the given number of fragments; returns the reply record (empty when closed).
std::vector<uint8_t> TcpCall(int s, const std::vector<uint8_t>& call, int fragments = 1) {
    size_t step = (call.size() + fragments - 1) / fragments;
    for (size_t at = 0; at < call.size(); at += step) {
        size_t n = std::min(step, call.size() - at);
        uint8_t mark[4];
        StoreBe32(mark, static_cast<uint32_t>(n) | (at + n == call.size() ? kRecordLastFragment : 0));
        if (!SendAll(s, mark, 4) || !SendAll(s, call.data() + at, n)) return {};
    }
    uint8_t mark[4];
    if (!RecvAll(s, mark, 4)) return {};
    uint32_t m = LoadBe32(mark);
    EXPECT_TRUE(m & kRecordLastFragment);
    std::vector<uint8_t> reply(m & ~kRecordLastFragment);
    if (!RecvAll(s, reply.data(), reply.size())) return {};
    return reply;
}

uint32_t AcceptStat(const std::vector<uint8_t>& reply) { return reply.size() >= 24 ? LoadBe32(reply.data() + 20) : 99; }

bool ClosedByPeer(int s) {
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    uint8_t b;
    return recv(s, &b, 1, 0) == 0;
}

// Ends a connection and waits (bounded) until the server has closed its side: its worker has
// let go of the connection.
void CloseAndWait(int s) {
    shutdown(s, SHUT_WR);
    ClosedByPeer(s);
    close(s);
}
}  // namespace

class NfsTransport : public NfsTree {
protected:
    void SetUp() override {
        NfsTree::SetUp();
        ASSERT_TRUE(live.Attach(&nfs, "127.0.0.1", 0, CRPCServer::ATTACH_TCP | CRPCServer::ATTACH_UDP, 3));
        tcpPort = live.TcpPortAt(3);
        udpPort = live.UdpPortAt(3);
        ASSERT_GT(tcpPort, 0);
        ASSERT_GT(udpPort, 0);
    }
    void TearDown() override {
        live.Close();
        NfsTree::TearDown();
    }
    std::vector<uint8_t> ReadCall() {
        O_Stream a;
        PutH3(a, H("hello.txt"));
        a.Write64(0);
        a.Write32(4096);
        return BuildCall(kNfsProgram, 3, 6, a);
    }
    CRPCServer live;
    int tcpPort = 0, udpPort = 0;
};

TEST_F(NfsTransport, ConcurrentClientsOverTcpAndUdp) {
    const std::vector<uint8_t> read = ReadCall();
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c)
        clients.emplace_back([&] {
            int s = Connect(tcpPort);
            for (int i = 0; i < 40 && s >= 0; ++i) {
                std::vector<uint8_t> r = TcpCall(s, read, 1 + i % 3);
                if (AcceptStat(r) == RPC_SUCCESS && r.size() > 124) ++good;
            }
            if (s >= 0) close(s);
        });
    for (int c = 0; c < 2; ++c)
        clients.emplace_back([&] {
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            timeval tv{5, 0};
            setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(udpPort));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            uint8_t buf[65536];
            for (int i = 0; i < 40; ++i) {
                sendto(s, read.data(), read.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                ssize_t n = recv(s, buf, sizeof buf, 0);
                if (n > 124 && LoadBe32(buf + 20) == RPC_SUCCESS) ++good;
            }
            close(s);
        });
    for (auto& t : clients) t.join();
    EXPECT_EQ(good.load(), 5 * 40);
}

TEST_F(NfsTransport, ConnectionLimitAndRecordLimit) {
    int held[3];
    for (int& s : held) {
        s = Connect(tcpPort);
        ASSERT_GE(s, 0);
        EXPECT_EQ(AcceptStat(TcpCall(s, BuildCall(kNfsProgram, 3, 0, O_Stream()))), uint32_t{RPC_SUCCESS});
    }
    int extra = Connect(tcpPort);
    ASSERT_GE(extra, 0);
    EXPECT_TRUE(ClosedByPeer(extra));  // a fourth connection is refused at once
    close(extra);
    for (int s : held) EXPECT_EQ(AcceptStat(TcpCall(s, ReadCall())), uint32_t{RPC_SUCCESS});
    // A record above the limit ends its connection; the others go on.
    uint8_t mark[4];
    StoreBe32(mark, kRpcMaxRecord + 1);
    ASSERT_TRUE(SendAll(held[0], mark, 4));
    EXPECT_TRUE(ClosedByPeer(held[0]));
    close(held[0]);
    EXPECT_EQ(AcceptStat(TcpCall(held[1], ReadCall(), 4)), uint32_t{RPC_SUCCESS});
    // A freed worker takes the next connection.
    int again = -1;
    for (int i = 0; i < 50 && again < 0; ++i) {
        int s = Connect(tcpPort);
        if (AcceptStat(TcpCall(s, ReadCall())) == RPC_SUCCESS)
            again = s;
        else {
            close(s);
            usleep(20000);
        }
    }
    EXPECT_GE(again, 0);
    // Stopping with clients connected ends every thread.
    live.Close();
    EXPECT_TRUE(ClosedByPeer(held[1]));
    for (int s : {held[1], held[2], again})
        if (s >= 0) close(s);
}

// One address holds at most its share of the workers, taken and given back from several
// threads at once; other addresses are served beside it.
TEST_F(NfsTransport, OneAddressHoldsItsShareOnly) {
    CRPCServer wide;
    ASSERT_TRUE(wide.Attach(&nfs, "127.0.0.1", 0, CRPCServer::ATTACH_TCP, 8));
    const int port = wide.TcpPortAt(3);
    const int share = RpcConnectionsPerAddress(8);
    ASSERT_EQ(share, 2);
    const std::vector<uint8_t> read = ReadCall();
    std::atomic<int> served{0}, refused{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 6; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < 20; ++i) {
                int s = Connect(port, 0x7F000002);  // 127.0.0.2
                std::vector<uint8_t> r = s >= 0 ? TcpCall(s, read) : std::vector<uint8_t>{};
                (AcceptStat(r) == RPC_SUCCESS ? served : refused)++;
                if (s >= 0) close(s);
                if (c == 0) usleep(1000);
            }
        });
    // Meanwhile another address is served every time. Each of its connections ends before the
    // next begins (the server has closed its side), so that it never holds more than its share.
    int other = 0;
    for (int i = 0; i < 20; ++i) {
        int s = Connect(port, 0x7F000003);
        if (AcceptStat(TcpCall(s, read)) == RPC_SUCCESS) ++other;
        if (s >= 0) CloseAndWait(s);
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(other, 20);
    EXPECT_GT(served.load(), 0);
    // Held at once: the share, and not one more. The workers of the connections above may still
    // be letting go of them: the share is taken again until it is whole (bounded).
    int held[3] = {-1, -1, -1};
    bool whole = false;
    for (int round = 0; round < 200 && !whole; ++round) {
        whole = true;
        for (int i = 0; i < share; ++i) {
            held[i] = Connect(port, 0x7F000002);
            whole = whole && AcceptStat(TcpCall(held[i], read)) == RPC_SUCCESS;
        }
        if (whole) break;
        for (int i = 0; i < share; ++i)
            if (held[i] >= 0) CloseAndWait(held[i]);
        usleep(20000);
    }
    ASSERT_TRUE(whole) << "the address gets its share once its earlier connections have ended";
    held[share] = Connect(port, 0x7F000002);
    EXPECT_TRUE(ClosedByPeer(held[share])) << "one more than the share is refused";
    for (int s : held)
        if (s >= 0) close(s);
    wide.Close();
}
