// The DHCP row in-process, in a private network: started from the INI by the service host,
// asked by several clients at once while other threads read the host's interface list and a
// desktop reads the log lines and lease lists, then stopped by the thread table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "_services/dhcp/dhcp_service.h"
#include "_services/dhcp/dhcp_thread.h"
#include "_services/host_records.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "tests/_services/console_client.h"
#include "tests/_services/dhcp/dhcp_test_util.h"
#include "tests/_services/host_rows_fixture.h"
#include "tests/support/skip.h"

namespace {

constexpr int kClientThreads = 4;
constexpr int kClientsEach = 20;

// A client host: its own loopback address, port 68. Requests carry that address as ciaddr,
// so that every reply comes back to this socket.
class ClientSocket {
public:
    explicit ClientSocket(uint32_t address) : address_(address) {
        sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(kBootpClientPort);
        a.sin_addr.s_addr = address;
        bound_ = sock_ >= 0 && bind(sock_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~ClientSocket() {
        if (sock_ >= 0) close(sock_);
    }
    bool bound() const { return bound_; }

    // Sends the request and returns the reply with its xid (empty when none within 10 s).
    std::vector<uint8_t> Exchange(Packet& request) {
        std::memcpy(request.data() + kOffCiaddr, &address_, 4);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(kBootpServerPort);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(sock_, request.data(), request.length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
        for (int waits = 0; waits < 100; ++waits) {
            pollfd p{sock_, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            std::vector<uint8_t> reply(kDhcpBufferSize, 0);
            ssize_t n = recv(sock_, reply.data(), reply.size(), 0);
            if (n >= static_cast<ssize_t>(kOffOptions) &&
                std::memcmp(reply.data() + kOffXid, request.data() + kOffXid, 4) == 0)
                return reply;
        }
        return {};
    }

private:
    uint32_t address_;
    int sock_ = -1;
    bool bound_ = false;
};

uint8_t MessageType(const std::vector<uint8_t>& reply) {
    int len = 0;
    const uint8_t* t = findDhcpOption(reply.data() + kOffCookie, 53, &len);
    return t && len == 1 ? t[0] : 0;
}

class DhcpThreadRows : public HostRowsTest {
protected:
    void SetUp() override {
        NIMBO_SKIP_IF(nimbo::test::NeedPrivateNetwork());
        StartHost("nimbo-dhcp-rows-",
                  "[NIMBO]\nNIMBO_Services=4\n[TFTP]\nTFTP_RootDirectory=@DIR@\n"
                  "[DHCP]\nDHCP_IP_Pool=10.50.0.10\nDHCP_PoolSize=200\nDHCP_IP_Mask=255.255.0.0\n"
                  "DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=3600\nDHCP_PingAddress=0\n"
                  "DHCP_PersistantLeases=0\n",
                  SVC_DHCP, RegisterDhcpService);
    }
};

}  // namespace

TEST_F(DhcpThreadRows, ClientsAtOnceWhileTheHostIsAskedAndTheDesktopReads) {
    ASSERT_EQ(GetRunningServices() & SVC_DHCP, SVC_DHCP);
    ConsoleTestClient gui;
    ASSERT_EQ(gui.Connect(port_), 1);
    ASSERT_TRUE(gui.Request(REQ_SEND_RUNNING_SERVICES));
    ASSERT_EQ(gui.WaitFor(NOTICE_RUNNING_SERVICES).id, NOTICE_RUNNING_SERVICES);

    // The desktop reads every notice (log lines, lease lists) while the clients run; it keeps
    // the largest lease list it saw.
    std::atomic<bool> done{false};
    std::atomic<uint32_t> mostRows{0};
    std::atomic<int> logLines{0};
    std::thread desktop([&] {
        while (!done) {
            ConsoleFrame f = gui.Next(1);
            if (f.id == NOTICE_LEASE_ROWS && f.payload.size() >= 4) {
                uint32_t n;
                std::memcpy(&n, f.payload.data(), 4);
                if (f.payload.size() == 4 + n * sizeof(LeaseRow) && n > mostRows) mostRows = n;
            } else if (f.id == NOTICE_LOG) {
                ++logLines;
            }
        }
    });
    // Other threads ask for the host's interfaces, which the DHCP thread reads per batch.
    std::thread host([&] {
        const uint8_t foreign[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
        while (!done) {
            EXPECT_EQ(isMACLocal(foreign), 0);
            EXPECT_EQ(findServerAddressForClient(Ip("10.50.0.20"), true), 0u);  // loopback serves none
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });

    std::atomic<int> offers{0}, acks{0};
    std::vector<std::vector<uint32_t>> given(kClientThreads);
    std::vector<std::thread> clients;
    for (int t = 0; t < kClientThreads; ++t) {
        clients.emplace_back([&, t] {
            ClientSocket sock(Ip(("127.0.0." + std::to_string(2 + t)).c_str()));
            ASSERT_TRUE(sock.bound());
            for (int c = 0; c < kClientsEach; ++c) {
                const uint8_t id = static_cast<uint8_t>(t * kClientsEach + c);
                Packet discover = MakeRequest(1, id, {});
                discover.buf[kOffXid + 1] = id;
                std::vector<uint8_t> offer = sock.Exchange(discover);
                if (offer.empty() || MessageType(offer) != 2) continue;
                ++offers;
                uint32_t yiaddr;
                std::memcpy(&yiaddr, offer.data() + kOffYiaddr, 4);
                const uint8_t* a = reinterpret_cast<const uint8_t*>(&yiaddr);
                Packet request = MakeRequest(3, id, {{50, {a[0], a[1], a[2], a[3]}}});
                request.buf[kOffXid + 1] = id;
                request.buf[kOffXid + 2] = 1;
                std::vector<uint8_t> ack = sock.Exchange(request);
                if (ack.empty() || MessageType(ack) != 5) continue;
                uint32_t acked;
                std::memcpy(&acked, ack.data() + kOffYiaddr, 4);
                EXPECT_EQ(acked, yiaddr);
                ++acks;
                given[t].push_back(yiaddr);
            }
        });
    }
    for (auto& c : clients) c.join();
    EXPECT_EQ(offers.load(), kClientThreads * kClientsEach);
    EXPECT_EQ(acks.load(), kClientThreads * kClientsEach);
    std::set<uint32_t> distinct;
    for (const auto& g : given)
        for (uint32_t a : g) {
            EXPECT_EQ(ntohl(a) >> 16, ntohl(Ip("10.50.0.0")) >> 16);
            distinct.insert(a);
        }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kClientThreads * kClientsEach));

    // The lease list leaves after the batches (at most 50 rows). A list the console queue had
    // no room for is followed by the next one: one more request brings it.
    ClientSocket again(Ip("127.0.0.2"));
    for (int round = 0; round < 10 && mostRows < 50; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        Packet discover = MakeRequest(1, 0, {});
        again.Exchange(discover);
    }
    done = true;
    desktop.join();
    host.join();
    EXPECT_EQ(mostRows.load(), 50u);
    EXPECT_GT(logLines.load(), 0);  // with the desktop connected, the exchanges are logged
}
