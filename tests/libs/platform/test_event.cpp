#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "libs/platform/event.h"
#include "libs/platform/file_read.h"
#include "libs/platform/sockets.h"
#include "libs/platform/thread.h"
#include "tests/support/temp_folder.h"

TEST(Event, AutoResetAndWakesWaiter) {
    Event e;
    ASSERT_TRUE(e.valid());
    EXPECT_FALSE(e.Wait(0));
    e.Set();
    e.Set();
    EXPECT_TRUE(e.Wait(0));
    EXPECT_FALSE(e.Wait(0)) << "one wait consumes the signal";

    std::atomic<bool> woke{false};
    Thread t;
    ASSERT_TRUE(t.Start([&] { woke = e.Wait(10000); }));
    e.Set();
    ASSERT_TRUE(t.Join(10000));
    EXPECT_TRUE(woke);
}

TEST(Event, SetsFromManyThreadsAreNeverLost) {
    // Producers post work and set the event, the waiter takes it and counts the work it
    // finds: Sets that fall together wake it once, but never leave work behind unseen.
    constexpr int kProducers = 4;
    constexpr int kEach = 20000;
    Event e;
    std::atomic<int> posted{0};
    std::vector<Thread> producers(kProducers);
    for (auto& p : producers)
        ASSERT_TRUE(p.Start([&] {
            for (int i = 0; i < kEach; ++i) {
                posted.fetch_add(1, std::memory_order_relaxed);
                e.Set();
            }
        }));
    int seen = 0;
    while (seen < kProducers * kEach) {
        ASSERT_TRUE(e.Wait(10000)) << "a Set was lost with " << seen << " seen";
        seen = posted.load(std::memory_order_relaxed);
    }
    for (auto& p : producers) ASSERT_TRUE(p.Join(10000));
}

TEST(Thread, JoinWithDeadline) {
    Event release;
    Thread t;
    ASSERT_TRUE(t.Start([&] { release.Wait(10000); }));
    EXPECT_FALSE(t.Join(50)) << "still running";
    EXPECT_FALSE(t.Exited());
    release.Set();
    EXPECT_TRUE(t.Join(10000));
    EXPECT_TRUE(t.Exited());
}

// A socket pair stands for the service socket; the stop event is an Event or a bare eventfd.
TEST(WaitAny, SocketAndStopEvent) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    Event stop;
    struct Case {
        const char* name;
        bool datagram, stopSet;
        int expected;
    } cases[] = {
        {"nothing: time-out", false, false, 0},
        {"a datagram", true, false, WAIT_READY},
        {"the stop event", false, true, WAIT_STOP},
        {"both", true, true, WAIT_READY | WAIT_STOP},
    };
    for (const Case& c : cases) {
        if (c.datagram) { ASSERT_EQ(send(sv[1], "x", 1, 0), 1); }
        if (c.stopSet) stop.Set();
        // The descriptor form leaves the event set; the Event form consumes it.
        EXPECT_EQ(WaitAny(sv[0], stop.fd(), 0), c.expected) << c.name;
        EXPECT_EQ(WaitAny(sv[0], stop.fd(), 0), c.expected) << c.name << ", again";
        EXPECT_EQ(WaitAny(sv[0], &stop, 0), c.expected) << c.name;
        EXPECT_EQ(WaitAny(sv[0], &stop, 0) & WAIT_STOP, 0) << c.name << ": consumed";
        char b;
        if (c.datagram) { ASSERT_EQ(recv(sv[0], &b, 1, 0), 1); }
    }
    EXPECT_EQ(WaitAny(-1, static_cast<Event*>(nullptr), 0), 0) << "nothing to wait for";
    close(sv[1]);
    close(sv[0]);
}

// One descriptor, one or two events: what is there is reported, and nothing is a time-out.
TEST(WaitEvents, ReportsWhatTheDescriptorHas) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    int unused = dup(sv[0]);
    ASSERT_GE(unused, 0);
    close(unused);  // a number that names nothing
    struct Case {
        const char* name;
        int fd;
        short events;
        bool dataWaits;
        int expected;
    } cases[] = {
        {"nothing to read: time-out", sv[0], POLLIN, false, 0},
        {"room to write", sv[0], POLLOUT, false, POLLOUT},
        {"data to read", sv[0], POLLIN, true, POLLIN},
        {"both", sv[0], POLLIN | POLLOUT, true, POLLIN | POLLOUT},
        {"no descriptor: time-out", -1, POLLIN, false, 0},
        {"a closed descriptor", unused, POLLIN, false, POLLNVAL},
    };
    for (const Case& c : cases) {
        if (c.dataWaits) { ASSERT_EQ(send(sv[1], "x", 1, MSG_NOSIGNAL), 1); }
        EXPECT_EQ(WaitEvents(c.fd, c.events, 0), c.expected) << c.name;
        EXPECT_EQ(WaitReadable(c.fd, 0), (c.expected & (POLLIN | POLLNVAL)) ? 1 : 0) << c.name;
        char b;
        if (c.dataWaits) { ASSERT_EQ(recv(sv[0], &b, 1, 0), 1); }
    }
    close(sv[1]);
    EXPECT_TRUE(WaitEvents(sv[0], POLLIN, 0) & (POLLIN | POLLHUP)) << "the peer has gone";
    EXPECT_EQ(WaitReadable(sv[0], -1), 1) << "the peer has gone: no wait";
    close(sv[0]);
}

// One send loop for every waiting policy: all bytes arrive in order while the wait for room
// says to go on; the policy's "give up" and "error" end it with 0 and -1, as does a peer
// that has gone (without a signal).
TEST(SendAllWaiting, TheWaitDecidesAndTheBytesComeWhole) {
    struct Case {
        const char* name;
        bool reader;   // the peer reads everything
        int decision;  // what the wait for room says once the socket is full
        bool peerGone;
        int expected;
    } cases[] = {
        {"a reader: all goes", true, 1, false, 1},
        {"nobody reads: given up", false, 0, false, 0},
        {"nobody reads: an error", false, -1, false, -1},
        {"the peer has gone", false, 1, true, -1},
    };
    std::vector<uint8_t> data(4 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    for (const Case& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        std::vector<uint8_t> got;
        std::thread reader;
        if (c.reader) {
            reader = std::thread([&] {
                uint8_t buf[65536];
                for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, 0)) > 0;) got.insert(got.end(), buf, buf + n);
            });
        }
        if (c.peerGone) close(sv[1]);
        int waits = 0;
        const int r = SendAllWaiting(sv[0], data.data(), data.size(), [&] {
            ++waits;
            if (c.decision != 1) return c.decision;
            return WaitEvents(sv[0], POLLOUT, 10000) > 0 ? 1 : 0;
        });
        EXPECT_EQ(r, c.expected) << c.name;
        if (!c.reader && !c.peerGone) { EXPECT_EQ(waits, 1) << c.name << ": the socket filled up once"; }
        shutdown(sv[0], SHUT_WR);
        if (reader.joinable()) reader.join();
        if (c.reader) { EXPECT_TRUE(got == data) << c.name << ": " << got.size() << " bytes"; }
        close(sv[0]);
        if (!c.peerGone) close(sv[1]);
    }
    // The deadline form: a peer that reads nothing holds the sender no longer than the limit.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    EXPECT_EQ(SendAllWithin(sv[0], data.data(), data.size(), 50), 0);
    EXPECT_EQ(SendAllWithin(sv[0], data.data(), 0, 50), 1) << "nothing to send";
    close(sv[1]);
    EXPECT_EQ(SendAllWithin(sv[0], data.data(), data.size(), 50), -1) << "the peer has gone";
    close(sv[0]);
}

// The blocking send loop of sockets with a send limit of their own: all bytes arrive in
// order; a peer that reads nothing ends it with -1/EAGAIN once the limit runs out (what went
// before stays in order at the peer); a peer that has gone gives -1/EPIPE, and no signal;
// the caller's flags reach send.
TEST(SendAllBlocking, AllBytesOrTheErrnoOfTheSendThatFailed) {
    struct Case {
        const char* name;
        bool reader;        // the peer reads everything
        bool peerGone;      // the peer closed before the send
        int limitMs;        // SO_SNDTIMEO (0: none; long where a reader is, never reached)
        int flags;          // passed on to send
        int expectedErrno;  // 0: all bytes go
    } cases[] = {
        {"a reader: all goes", true, false, 10000, 0, 0},
        {"a reader, and a flag for send", true, false, 0, MSG_MORE, 0},
        {"nobody reads: the send limit ends it", false, false, 50, 0, EAGAIN},
        {"the flags reach send: no waiting", false, false, 0, MSG_DONTWAIT, EAGAIN},
        {"the peer has gone", false, true, 50, 0, EPIPE},
    };
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    // The default disposition: a send that raised SIGPIPE would end the test.
    void (*const previous)(int) = signal(SIGPIPE, SIG_DFL);
    for (const Case& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        const int small = 4096;
        setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const timeval limit{c.limitMs / 1000, c.limitMs % 1000 * 1000};
        setsockopt(sv[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        std::vector<uint8_t> got;
        auto readAll = [&](int flags) {
            uint8_t buf[65536];
            for (ssize_t n; (n = recv(sv[1], buf, sizeof buf, flags)) > 0;) got.insert(got.end(), buf, buf + n);
        };
        std::thread reader;
        if (c.reader) reader = std::thread([&] { readAll(0); });
        if (c.peerGone) close(sv[1]);
        errno = 0;
        const ssize_t r = SendAllBlocking(sv[0], data.data(), data.size(), c.flags);
        const int err = errno;
        if (c.expectedErrno == 0) {
            EXPECT_EQ(r, static_cast<ssize_t>(data.size())) << c.name;
        } else {
            EXPECT_EQ(r, -1) << c.name;
            EXPECT_EQ(err, c.expectedErrno) << c.name;
        }
        shutdown(sv[0], SHUT_WR);
        if (reader.joinable()) reader.join();
        if (!c.reader && !c.peerGone) {
            readAll(MSG_DONTWAIT);
            EXPECT_GT(got.size(), 0u) << c.name << ": the socket took what it had room for";
            EXPECT_LT(got.size(), data.size()) << c.name;
        }
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << c.name << ": " << got.size() << " bytes";
        if (c.reader) { EXPECT_EQ(got.size(), data.size()) << c.name; }
        close(sv[0]);
        if (!c.peerGone) close(sv[1]);
    }
    signal(SIGPIPE, previous);
    EXPECT_EQ(SendAllBlocking(-1, data.data(), 0), 0) << "nothing to send";
}

// Segmentation offload: how many datagrams one send may carry, and datagrams that arrive cut
// at the segment size (the last one shorter), to a destination or to the connected peer.
TEST(UdpSegments, OneSendArrivesAsDatagramsOfTheSegmentSize) {
    const struct {
        size_t segment, perSend;
    } limits[] = {{0, 0}, {1, 64}, {1000, 64}, {1472, 44}, {4 + 16384, 3}, {65507, 1}, {65508, 0}};
    for (const auto& l : limits) EXPECT_EQ(UdpSegmentsPerSend(l.segment), l.perSend) << l.segment;
    for (int err : {EINVAL, EIO, EOPNOTSUPP, ENOPROTOOPT, EMSGSIZE}) EXPECT_TRUE(UdpSegmentsRefused(err)) << err;
    for (int err : {EAGAIN, EINTR, ECONNREFUSED, ENOBUFS}) EXPECT_FALSE(UdpSegmentsRefused(err)) << err;

    auto bound = [](sockaddr_in* addr) {
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        *addr = sockaddr_in{};
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof *addr;
        if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(addr), len) != 0 ||
            getsockname(s, reinterpret_cast<sockaddr*>(addr), &len) != 0)
            return -1;
        return s;
    };
    sockaddr_in rxAddr, txAddr;
    const int rx = bound(&rxAddr), tx = bound(&txAddr);
    ASSERT_GE(rx, 0);
    ASSERT_GE(tx, 0);
    // Three whole segments of 100 bytes and a short one of 30, from two pieces of memory.
    std::string bytes;
    for (int i = 0; i < 330; ++i) bytes += static_cast<char>('a' + i % 26);
    const iovec iov[2] = {{bytes.data(), 150}, {bytes.data() + 150, 180}};
    for (bool connected : {false, true}) {
        if (connected) { ASSERT_EQ(connect(tx, reinterpret_cast<sockaddr*>(&rxAddr), sizeof rxAddr), 0); }
        const ssize_t sent = SendUdpSegments(tx, iov, 2, 100, connected ? nullptr : &rxAddr);
        if (sent < 0 && UdpSegmentsRefused(errno)) GTEST_SKIP() << "no segmentation offload here";
        ASSERT_EQ(sent, 330) << strerror(errno);
        for (size_t at = 0; at < bytes.size(); at += 100) {
            ASSERT_EQ(WaitReadable(rx, 10000), 1);
            char buf[200];
            const ssize_t n = recv(rx, buf, sizeof buf, 0);
            ASSERT_EQ(n, static_cast<ssize_t>(std::min<size_t>(100, bytes.size() - at))) << at;
            EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), bytes.substr(at, static_cast<size_t>(n))) << at;
        }
    }
    close(tx);
    close(rx);
}

TEST(TcpListener, OpensAndNamesWhatFailed) {
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    int a = OpenTcpListener(loopback, 0, 4);
    ASSERT_GE(a, 0);
    const uint16_t port = static_cast<uint16_t>(LocalPort(a));
    ASSERT_NE(port, 0);
    const char* failed = nullptr;
    EXPECT_LT(OpenTcpListener(loopback, port, 4, 0, &failed), 0) << "the port is taken";
    EXPECT_STREQ(failed, "bind");
    EXPECT_EQ(ClassifyBindError(errno), BIND_IN_USE);
    in_addr other{};
    inet_pton(AF_INET, "192.0.2.1", &other);
    EXPECT_LT(OpenTcpListener(other.s_addr, 0, 4, 0, &failed), 0) << "not this host's address";
    EXPECT_EQ(ClassifyBindError(errno), BIND_NOT_AVAILABLE);
    EXPECT_EQ(ClassifyBindError(EACCES), BIND_OTHER);
    close(a);
    int b = OpenTcpListener(loopback, port, 4, SOCK_NONBLOCK);
    ASSERT_GE(b, 0) << "a closed listener's port is free again at once";
    EXPECT_TRUE(fcntl(b, F_GETFL) & O_NONBLOCK);
    close(b);
}

TEST(ReadWholeFile, BytesOrNothing) {
    nimbo::test::TempFolder dir("nimbo_read_");
    const std::string path = dir / "f";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite("ab\0c", 1, 4, f);
    fclose(f);
    std::string text;
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(ReadWholeFile(path, &text));
    EXPECT_EQ(text, std::string("ab\0c", 4));
    EXPECT_TRUE(ReadWholeFile(path, &bytes));
    EXPECT_EQ(bytes.size(), 4u);
    int err = 0;
    EXPECT_FALSE(ReadWholeFile(path + ".missing", &text, &err));
    EXPECT_EQ(err, ENOENT);
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(ReadWholeFile(dir.path(), &bytes, &err)) << "a folder is no file";
    EXPECT_EQ(err, EINVAL);
}
