// The three datagram rows in-process, in a private network: started from the INI by the
// service host, asked over loopback by several threads at once, their notices read through
// a console client, then stopped by the thread table.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "_services/host_records.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "_services/udp/udp_records.h"
#include "_services/udp/udp_service.h"
#include "tests/_services/console_client.h"
#include "tests/_services/host_rows_fixture.h"
#include "tests/_services/udp/udp_test_util.h"
#include "tests/support/skip.h"

namespace {

// Sends one datagram from loopback and returns the reply ("" when none within waitMs).
std::string Exchange(uint16_t port, const std::string& datagram, int waitMs = 1500) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, datagram.data(), datagram.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    std::string reply;
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, waitMs) == 1) {
        char buf[2048];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n > 0) reply.assign(buf, static_cast<size_t>(n));
    }
    close(s);
    return reply;
}

std::string DnsQuery(uint16_t id, const std::string& name, uint16_t flags = 0x0100) {
    std::string q = {char(id >> 8), char(id), char(flags >> 8), char(flags), 0, 1, 0, 0, 0, 0, 0, 0};
    size_t start = 0;
    while (start <= name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        q += static_cast<char>(dot - start);
        q += name.substr(start, dot - start);
        start = dot + 1;
    }
    q += std::string("\0\0\1\0\1", 5);
    return q;
}

class UdpRows : public HostRowsTest {
protected:
    void SetUp() override {
        NIMBO_SKIP_IF(nimbo::test::NeedPrivateNetwork());
        StartHost(
            "nimbo-udp-rows-",
            "[NIMBO]\nNIMBO_Services=56\n[SYSLOG]\nSYSLOG_SaveLogToFile=@DIR@/sys.log\nSYSLOG_ForwardLogToPipe=1\n",
            SVC_DNS | SVC_SNTP | SVC_SYSLOG, RegisterUdpServices);
    }
};

}  // namespace

TEST_F(UdpRows, AnswerReportAndStop) {
    const uint32_t rows = SVC_DNS | SVC_SNTP | SVC_SYSLOG;
    ASSERT_EQ(GetRunningServices() & rows, rows);
    ConsoleTestClient gui;
    ASSERT_EQ(gui.Connect(port_), 1);
    // Once a request is answered the session is up and no notice is dropped for want of a GUI.
    ASSERT_TRUE(gui.Request(REQ_SEND_RUNNING_SERVICES));
    ASSERT_EQ(gui.WaitFor(NOTICE_RUNNING_SERVICES).id, NOTICE_RUNNING_SERVICES);

    // Several clients of each service at once.
    constexpr int kClients = 4, kEach = 5;
    std::atomic<int> dnsAnswers{0}, ntpAnswers{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                std::string r = Exchange(53, DnsQuery(static_cast<uint16_t>(c * 100 + i), "localhost"));
                if (r.size() == 27 + sizeof(DnsAnswerRecord) && r.substr(r.size() - 4) == std::string("\x7f\0\0\1", 4))
                    ++dnsAnswers;
                std::string ntp(48, '\0');
                ntp[0] = 0x23;
                ntp[47] = static_cast<char>(c * 16 + i + 1);  // distinct transmit fractions
                if (Exchange(123, ntp).size() == 48) ++ntpAnswers;
                Exchange(514, "<13>client " + std::to_string(c) + " message " + std::to_string(i), 0);
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(dnsAnswers.load(), kClients * kEach);
    EXPECT_EQ(ntpAnswers.load(), kClients * kEach);

    // Oversize datagrams: a query is dropped, a syslog message is cut to 1024 bytes.
    std::string big = DnsQuery(7, "localhost") + std::string(1100, '\0');
    EXPECT_EQ(Exchange(53, big, 300), "");
    EXPECT_EQ(Exchange(53, DnsQuery(8, "localhost", 0x8180), 300), "") << "a response is never answered";
    Exchange(514, "<13>" + std::string(1500, 'L'), 0);

    int dnsNotices = 0, ntpNotices = 0, syslogRows = 0;
    bool sawCut = false;
    for (int i = 0; i < 5000 && !(dnsNotices == kClients * kEach && ntpNotices == kClients * kEach &&
                                  syslogRows == kClients * kEach + 1);
         ++i) {
        ConsoleFrame f = gui.Next(5);
        if (f.id == 0) break;
        if (f.id == NOTICE_DNS_ENTRY && f.payload.size() == sizeof(DnsEntryRecord)) {
            DnsEntryRecord rec;
            memcpy(&rec, f.payload.data(), sizeof rec);
            if (std::string(rec.name) == "localhost" && std::string(rec.address) == "127.0.0.1") ++dnsNotices;
        } else if (f.id == NOTICE_SNTP_CLIENT && f.payload.size() == 16) {
            if (std::string(reinterpret_cast<const char*>(f.payload.data())) == "127.0.0.1") ++ntpNotices;
        } else if (f.id == NOTICE_SYSLOG_ROW && f.payload.size() > 16) {
            ++syslogRows;
            if (f.payload.size() == 16 + kSyslogMessageMax + 1) sawCut = f.payload.back() == 0;
        }
    }
    EXPECT_EQ(dnsNotices, kClients * kEach);
    EXPECT_EQ(ntpNotices, kClients * kEach);
    EXPECT_EQ(syslogRows, kClients * kEach + 1);
    EXPECT_TRUE(sawCut) << "the 1504-byte message arrives cut to 1024 bytes";
    std::string file = ReadFile(dir_ + "/sys.log");
    EXPECT_NE(file.find(": <13>client 3 message 4\r\n"), std::string::npos);
}
