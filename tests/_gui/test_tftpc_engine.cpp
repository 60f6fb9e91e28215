// The TFTP client's transfer engine against a simulated server over a lossy channel, and
// hand-made datagrams for the replies it must refuse.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

#include "_gui/tftp_client_engine.h"
#include "_services/md5.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint32_t kServer = htonl(0x0a000001);
const uint16_t kPort = 40000;

struct MemFile : TftpClientFile {
    Bytes data;
    long long ReadAt(uint64_t offset, void* out, size_t length) override
    {
        if (offset > data.size())
            return 0;
        size_t n = std::min<uint64_t>(length, data.size() - offset);
        memcpy(out, data.data() + offset, n);
        return static_cast<long long>(n);
    }
    long long Append(const void* in, size_t length) override
    {
        auto p = static_cast<const uint8_t*>(in);
        data.insert(data.end(), p, p + length);
        return static_cast<long long>(length);
    }
};

Bytes Pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

std::string Md5Of(const Bytes& b)
{
    MD5Context c;
    MD5Init(&c);
    MD5Update(&c, b.data(), b.size());
    uint8_t d[16];
    MD5Final(d, &c);
    return MD5Hex(d);
}

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void Put16(Bytes& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}
Bytes Packet(uint16_t op, uint16_t n, const Bytes& tail = {})
{
    Bytes v;
    Put16(v, op);
    Put16(v, n);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}
Bytes Oack(const std::vector<std::string>& pairs)
{
    Bytes v;
    Put16(v, 6);
    for (auto& s : pairs) {
        v.insert(v.end(), s.begin(), s.end());
        v.push_back(0);
    }
    return v;
}
Bytes ErrorPacket(uint16_t code, const std::string& text)
{
    Bytes v = Packet(5, code, Bytes(text.begin(), text.end()));
    v.push_back(0);
    return v;
}

// A windowed TFTP server (RFC 1350, 2347, 7440) for the simulation.
struct SimServer {
    bool options = true;                  // answers with an OACK
    uint32_t grantBlk = 0, grantWin = 0;  // 0: the value asked for
    Bytes file;                           // GET: served; PUT: received
    uint32_t bs = 512, win = 1;
    uint64_t acked = 0, sentLast = 0, total = 0, received = 0, windowStart = 1;
    bool gapAcked = false, done = false;
    int direction = 0;
    Bytes lastOack;

    void Window(std::vector<Bytes>& out)
    {
        for (uint64_t b = acked + 1; b <= std::min<uint64_t>(acked + win, total); ++b) {
            uint64_t off = (b - 1) * bs;
            size_t n = std::min<uint64_t>(bs, file.size() - off);
            out.push_back(Packet(3, static_cast<uint16_t>(b), Bytes(file.begin() + off, file.begin() + off + n)));
            sentLast = b;
        }
    }
    std::vector<Bytes> Handle(const Bytes& p)
    {
        std::vector<Bytes> out;
        uint16_t op = Be16(p.data());
        if (op == 1 || op == 2) {
            if (direction) {  // a repeated request: the answer was lost
                if (options && acked == 0 && received == 0)
                    out.push_back(lastOack);
                return out;
            }
            direction = op;
            std::vector<std::string> words;
            for (size_t i = 2; i < p.size();) {
                size_t e = i;
                while (p[e])
                    ++e;
                words.emplace_back(reinterpret_cast<const char*>(&p[i]), e - i);
                i = e + 1;
            }
            if (options) {
                bs = grantBlk ? grantBlk : static_cast<uint32_t>(std::stoul(words[3]));
                win = grantWin ? grantWin : static_cast<uint32_t>(std::stoul(words[5]));
                std::string tsize = op == 1 ? std::to_string(file.size()) : words[7];
                lastOack = Oack({"blksize", std::to_string(bs), "windowsize", std::to_string(win), "tsize", tsize});
                out.push_back(lastOack);
            } else if (op == 1) {
                total = file.size() / bs + 1;
                Window(out);
            } else {
                out.push_back(Packet(4, 0));
            }
            if (op == 1)
                total = file.size() / bs + 1;
            return out;
        }
        if (direction == 1 && op == 4) {
            uint16_t d = static_cast<uint16_t>(Be16(p.data() + 2) - static_cast<uint16_t>(acked));
            if (d > sentLast - acked && !(d == 0))
                return out;
            acked += d;
            if (acked >= total)
                done = true;
            else
                Window(out);
        }
        if (direction == 2 && op == 3) {
            uint16_t n = Be16(p.data() + 2);
            if (n == static_cast<uint16_t>(received + 1)) {
                file.insert(file.end(), p.begin() + 4, p.end());
                ++received;
                gapAcked = false;
                bool last = p.size() - 4 < bs;
                if (last || received - windowStart + 1 == win) {
                    out.push_back(Packet(4, static_cast<uint16_t>(received)));
                    windowStart = received + 1;
                    done = done || last;
                }
            } else if (n == static_cast<uint16_t>(received) ||
                       (!gapAcked && static_cast<uint16_t>(n - received - 1) < 0x8000)) {
                // The last block again (our ACK was lost), or a gap: say where we are.
                out.push_back(Packet(4, static_cast<uint16_t>(received)));
                windowStart = received + 1;
                gapAcked = true;
            }
        }
        return out;
    }
};

struct Faults {
    std::set<int> dropToClient, dupToClient, dropToServer, dupToServer;
};

struct SimResult {
    TftpClientStatus status;
    std::string error;
    int timeouts = 0;
};

// Runs one transfer; a time-out fires whenever nothing is in flight.
SimResult Simulate(TftpClientEngine& engine, SimServer& server, const TftpClientRequest& req, const Faults& f)
{
    std::deque<Bytes> toServer, toClient;
    int nServer = 0, nClient = 0;
    SimResult r;
    auto take = [&](const TftpClientStep& step) {
        for (auto& d : step.send) {
            int i = nServer++;
            if (f.dropToServer.count(i))
                continue;
            toServer.push_back(d.bytes);
            if (f.dupToServer.count(i))
                toServer.push_back(d.bytes);
        }
    };
    take(engine.Start(req));
    for (int guard = 0; guard < 2000000 && engine.status() == TftpClientStatus::Running; ++guard) {
        if (!toServer.empty()) {
            Bytes p = toServer.front();
            toServer.pop_front();
            for (auto& q : server.Handle(p)) {
                int i = nClient++;
                if (f.dropToClient.count(i))
                    continue;
                toClient.push_back(q);
                if (f.dupToClient.count(i))
                    toClient.push_back(q);
            }
        } else if (!toClient.empty()) {
            Bytes p = toClient.front();
            toClient.pop_front();
            TftpClientStep s = engine.OnDatagram(p.data(), p.size(), kServer, kPort);
            take(s);
            if (s.status == TftpClientStatus::Failed)
                r.error = s.error;
        } else {
            ++r.timeouts;
            TftpClientStep s = engine.OnTimeout();
            take(s);
            if (s.status == TftpClientStatus::Failed)
                r.error = s.error;
        }
    }
    r.status = engine.status();
    return r;
}

struct Case {
    const char* name;
    int direction;
    size_t size;
    bool options;
    uint32_t blk, win;
    Faults faults;
};

TftpClientRequest Request(int direction, uint32_t blk, uint32_t win, uint64_t size)
{
    TftpClientRequest r;
    r.direction = direction;
    r.serverName = "10.0.0.1";
    r.serverAddr = kServer;
    r.serverPort = 69;
    r.remoteName = "remote.bin";
    r.localName = "/tmp/local.bin";
    r.blockSize = blk;
    r.windowSize = win;
    r.fileSize = size;
    return r;
}

class EngineTable : public ::testing::TestWithParam<Case> {};

TEST_P(EngineTable, TransfersByteIdentical)
{
    const Case& c = GetParam();
    Bytes content = Pattern(c.size, static_cast<uint32_t>(c.size + c.win));
    MemFile local;
    SimServer server;
    server.options = c.options;
    if (c.direction == TFTPC_GET)
        server.file = content;
    else
        local.data = content;
    TftpClientEngine engine(&local);
    SimResult r = Simulate(engine, server, Request(c.direction, c.blk, c.win, c.size), c.faults);
    ASSERT_EQ(r.status, TftpClientStatus::Done) << r.error;
    const Bytes& got = c.direction == TFTPC_GET ? local.data : server.file;
    EXPECT_EQ(got, content);
    EXPECT_EQ(engine.md5(), Md5Of(content));
    uint32_t bs = c.options ? c.blk : 512;
    EXPECT_EQ(engine.blocks(), c.size / bs + 1);
    EXPECT_EQ(engine.bytesDone(), c.size);
    bool faulty = !c.faults.dropToClient.empty() || !c.faults.dropToServer.empty();
    if (!faulty) {
        EXPECT_EQ(r.timeouts, 0);
    }
}

const Case kCases[] = {
    {"GetPlain", TFTPC_GET, 3000, false, 1468, 8, {}},
    {"GetOptionsWin1", TFTPC_GET, 10000, true, 1468, 1, {}},
    {"GetOptionsWin4", TFTPC_GET, 10000, true, 1024, 4, {}},
    {"GetOptionsWin16", TFTPC_GET, 100000, true, 512, 16, {}},
    {"GetEmpty", TFTPC_GET, 0, true, 512, 8, {}},
    {"GetExactMultiple", TFTPC_GET, 4096, true, 1024, 4, {}},
    {"GetExactMultiplePlain", TFTPC_GET, 1024, false, 512, 1, {}},
    {"GetLostData", TFTPC_GET, 20000, true, 1024, 4, {{3, 9}, {}, {}, {}}},
    {"GetLostOack", TFTPC_GET, 5000, true, 1024, 4, {{0}, {}, {}, {}}},
    {"GetLostAcks", TFTPC_GET, 20000, true, 1024, 4, {{}, {}, {2, 4}, {}}},
    {"GetDuplicates", TFTPC_GET, 20000, true, 1024, 4, {{}, {1, 2, 5, 7}, {}, {3}}},
    {"GetLostLastData", TFTPC_GET, 2048, true, 1024, 16, {{3}, {}, {}, {}}},
    {"PutPlain", TFTPC_PUT, 3000, false, 1468, 8, {}},
    {"PutOptionsWin1", TFTPC_PUT, 10000, true, 1468, 1, {}},
    {"PutOptionsWin4", TFTPC_PUT, 10000, true, 1024, 4, {}},
    {"PutOptionsWin16", TFTPC_PUT, 100000, true, 512, 16, {}},
    {"PutEmpty", TFTPC_PUT, 0, true, 512, 8, {}},
    {"PutEmptyPlain", TFTPC_PUT, 0, false, 512, 8, {}},
    {"PutExactMultiple", TFTPC_PUT, 4096, true, 1024, 4, {}},
    {"PutLostData", TFTPC_PUT, 20000, true, 1024, 4, {{}, {}, {2, 7}, {}}},
    {"PutLostAcks", TFTPC_PUT, 20000, true, 1024, 4, {{2, 3}, {}, {}, {}}},
    {"PutLostWholeWindow", TFTPC_PUT, 20000, true, 1024, 4, {{}, {}, {1, 2, 3, 4}, {}}},
    {"PutDuplicates", TFTPC_PUT, 20000, true, 1024, 4, {{}, {1, 2}, {}, {2, 5, 6}}},
};

INSTANTIATE_TEST_SUITE_P(Cases, EngineTable, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Block numbers wrap past 65535 in both directions (the server grants tiny blocks).
TEST(TftpcEngine, BlockNumbersWrap)
{
    for (int direction : {TFTPC_GET, TFTPC_PUT}) {
        Bytes content = Pattern(70000 * 8 + 3, 7);
        MemFile local;
        SimServer server;
        server.grantBlk = 8;
        if (direction == TFTPC_GET)
            server.file = content;
        else
            local.data = content;
        TftpClientEngine engine(&local);
        Faults f;
        f.dropToClient = {66000, 131100};
        SimResult r = Simulate(engine, server, Request(direction, 512, 16, content.size()), f);
        ASSERT_EQ(r.status, TftpClientStatus::Done) << r.error;
        EXPECT_EQ(direction == TFTPC_GET ? local.data : server.file, content);
        EXPECT_EQ(engine.blocks(), 70001u);
    }
}

// Helpers for hand-made exchanges.
struct Hand {
    MemFile file;
    TftpClientEngine engine{&file};
    TftpClientStep Start(int direction, uint64_t size = 0, uint32_t blk = 1024, uint32_t win = 4)
    {
        if (direction == TFTPC_PUT)
            file.data = Pattern(size, 3);
        return engine.Start(Request(direction, blk, win, size));
    }
    TftpClientStep Feed(const Bytes& p, uint32_t addr = kServer, uint16_t port = kPort)
    {
        return engine.OnDatagram(p.data(), p.size(), addr, port);
    }
};

TEST(TftpcEngine, RequestCarriesEveryOption)
{
    Hand h;
    TftpClientStep s = h.Start(TFTPC_PUT, 5000, 1468, 8);
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(s.send[0].port, 69);
    const char expect[] =
        "\0\2remote.bin\0octet\0blksize\0"
        "1468\0windowsize\0"
        "8\0tsize\0"
        "5000";
    EXPECT_EQ(s.send[0].bytes, Bytes(expect, expect + sizeof expect));
    EXPECT_TRUE(s.restartTimer);

    // Without a remote name a PUT sends the local file under its own name.
    MemFile f;
    TftpClientEngine e(&f);
    TftpClientRequest r = Request(TFTPC_PUT, 512, 1, 0);
    r.remoteName.clear();
    r.localName = "/home/x/boot\\pxe.0";
    Bytes b = e.Start(r).send[0].bytes;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[2])), "pxe.0");
}

// A plain ACK 0 (server without options) starts the data in 512-byte blocks, one at a time.
TEST(TftpcEngine, PlainAckZeroStartsThePut)
{
    Hand h;
    h.Start(TFTPC_PUT, 1300);
    TftpClientStep s = h.Feed(Packet(4, 0));
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(Be16(s.send[0].bytes.data() + 2), 1);
    EXPECT_EQ(s.send[0].bytes.size(), 4u + 512);
    EXPECT_TRUE(s.send[0].data);
    EXPECT_EQ(h.engine.status(), TftpClientStatus::Running);
}

// Granted options outside 8..asked (block size) and 1..asked (window) end the transfer.
TEST(TftpcEngine, GrantedOptionsAreChecked)
{
    struct Row {
        std::vector<std::string> oack;
        bool ok;
    };
    const Row rows[] = {
        // clang-format off
        {{"blksize", "0"}, false}, {{"blksize", "7"}, false}, {{"blksize", "2048"}, false},
        {{"blksize", "x"}, false}, {{"windowsize", "0"}, false}, {{"windowsize", "5"}, false},
        {{"tsize", "-1"}, false},
        {{"blksize", "8"}, true},  {{"BLKSIZE", "1024", "WindowSize", "4"}, true},
        {{"windowsize", "1"}, true}, {{"unknown", "1"}, true},
        // clang-format on
    };
    for (int direction : {TFTPC_GET, TFTPC_PUT}) {
        for (const Row& row : rows) {
            Hand h;
            h.Start(direction, 100000);
            TftpClientStep s = h.Feed(Oack(row.oack));
            if (row.ok) {
                EXPECT_EQ(h.engine.status(), TftpClientStatus::Running) << row.oack[0] << "=" << row.oack[1];
            } else {
                EXPECT_EQ(s.status, TftpClientStatus::Failed) << row.oack[0] << "=" << row.oack[1];
                ASSERT_FALSE(s.send.empty());
                EXPECT_EQ(s.send.back().bytes, Bytes({0, 5, 0, 0, 0}));
                EXPECT_EQ(s.send.back().port, kPort);
            }
        }
    }
}

// After block 1 a time-out repeats the last ACK, not ACK 0, and no DATA is read as an OACK.
TEST(TftpcEngine, OackPendingEndsWithTheFirstBlock)
{
    Hand h;
    h.Start(TFTPC_GET);
    TftpClientStep s = h.Feed(Oack({"blksize", "512", "windowsize", "4", "tsize", "5000"}));
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(s.send[0].bytes, Packet(4, 0));
    ASSERT_EQ(s.log.size(), 1u);
    EXPECT_EQ(s.log[0], "TFTPC Inf: Ack Blksize = 512, Ack Windowsize = 4, Ack Filesize = 5000");
    s = h.Feed(Packet(3, 1, Pattern(512, 1)));
    EXPECT_TRUE(s.send.empty());  // the window is not complete yet
    s = h.engine.OnTimeout();
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(s.send[0].bytes, Packet(4, 1));
    // The window restarts at block 2: blocks 2 to 5 are one window.
    for (uint16_t n = 2; n <= 5; ++n)
        s = h.Feed(Packet(3, n, Pattern(512, n)));
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(s.send[0].bytes, Packet(4, 5));
}

// Runts are dropped; the first answer counts only from the server's address, then only
// from the port it came from.
TEST(TftpcEngine, RuntsAndStrangersAreDropped)
{
    Hand h;
    h.Start(TFTPC_GET);
    EXPECT_TRUE(h.Feed(Bytes{0, 3, 0}).send.empty());
    EXPECT_TRUE(h.Feed(Bytes{}).send.empty());
    EXPECT_TRUE(h.Feed(Packet(3, 1, Bytes(10, 1)), htonl(0x0a000002)).send.empty());
    EXPECT_FALSE(h.engine.connected());
    TftpClientStep s = h.Feed(Packet(3, 1, Bytes(512, 1)));
    EXPECT_TRUE(h.engine.connected());
    EXPECT_EQ(h.engine.peerPort(), kPort);
    s = h.Feed(Packet(3, 2, Bytes(10, 2)), kServer, kPort + 1);
    EXPECT_TRUE(s.send.empty());
    EXPECT_EQ(h.engine.status(), TftpClientStatus::Running);
    s = h.Feed(Packet(3, 2, Bytes(10, 2)));
    EXPECT_EQ(s.status, TftpClientStatus::Done);
    EXPECT_EQ(h.file.data.size(), 522u);
}

TEST(TftpcEngine, ErrorPacketsAndIllegalOpcodes)
{
    {
        Hand h;
        h.Start(TFTPC_GET);
        TftpClientStep s = h.Feed(ErrorPacket(1, "File not found"));
        EXPECT_EQ(s.status, TftpClientStatus::Failed);
        EXPECT_EQ(s.error, "Server stops the transfer.\nError #1: File not found");
        EXPECT_TRUE(s.deleteLocal);
    }
    {
        // A long server text reaches the dialog whole, past the 511 bytes a log line keeps.
        Hand h;
        h.Start(TFTPC_GET);
        const std::string text(500, 'x');
        TftpClientStep s = h.Feed(ErrorPacket(0, text));
        EXPECT_EQ(s.error, "Server stops the transfer.\nError #0: " + text);
    }
    {
        Hand h;
        h.Start(TFTPC_PUT, 10);
        Bytes unterminated = Packet(5, 2, Bytes{'n', 'o'});
        TftpClientStep s = h.Feed(unterminated);
        EXPECT_EQ(s.error, "Server stops the transfer.\nError #2: no");
        EXPECT_FALSE(s.deleteLocal);
    }
    {
        Hand h;
        h.Start(TFTPC_GET);
        TftpClientStep s = h.Feed(Packet(9, 0));
        EXPECT_EQ(s.error, "Server sent illegal opcode 9");
        // A block larger than the one agreed is refused too.
        Hand g;
        g.Start(TFTPC_GET);
        s = g.Feed(Packet(3, 1, Bytes(513, 0)));
        EXPECT_EQ(s.status, TftpClientStatus::Failed);
    }
}

TEST(TftpcEngine, TimeoutsEndTheTransfer)
{
    {  // GET: seven repeats of the request, the eighth time-out ends it; the file stays.
        Hand h;
        h.Start(TFTPC_GET);
        for (int i = 0; i < 7; ++i) {
            TftpClientStep s = h.engine.OnTimeout();
            ASSERT_EQ(s.send.size(), 1u);
            EXPECT_EQ(s.send[0].port, 69);
            EXPECT_EQ(Be16(s.send[0].bytes.data()), 1);
        }
        TftpClientStep s = h.engine.OnTimeout();
        EXPECT_EQ(s.status, TftpClientStatus::Failed);
        EXPECT_EQ(s.error, "Timeout waiting block #1");
        EXPECT_FALSE(s.deleteLocal);
        EXPECT_EQ(h.engine.retransmissions(), 6u);
    }
    {  // PUT: an unanswered request ends at the first time-out.
        Hand h;
        h.Start(TFTPC_PUT, 10);
        TftpClientStep s = h.engine.OnTimeout();
        EXPECT_EQ(s.error, "Timeout: Server 10.0.0.1 did not answer");
        EXPECT_TRUE(s.send.empty());
    }
    {  // PUT: the window goes out again on each time-out, seven times.
        Hand h;
        h.Start(TFTPC_PUT, 10000);
        h.Feed(Oack({"blksize", "1024", "windowsize", "4"}));
        for (int i = 0; i < 7; ++i)
            EXPECT_EQ(h.engine.OnTimeout().send.size(), 4u);
        EXPECT_EQ(h.engine.OnTimeout().error, "Timeout while waiting ack block #1");
    }
}

// ACKs outside the window are ignored; the ACK before the window sends it all again.
TEST(TftpcEngine, PutAckPlacement)
{
    Hand h;
    h.Start(TFTPC_PUT, 20000);
    EXPECT_EQ(h.Feed(Oack({"blksize", "1024", "windowsize", "4"})).send.size(), 4u);
    EXPECT_TRUE(h.Feed(Packet(4, 9)).send.empty());
    EXPECT_EQ(h.Feed(Packet(4, 0)).send.size(), 4u);  // blocks 1-4 again
    TftpClientStep s = h.Feed(Packet(4, 2));          // a part of the window
    ASSERT_EQ(s.send.size(), 4u);
    EXPECT_EQ(Be16(s.send[0].bytes.data() + 2), 3);
    // A window larger than asked for is refused, not run in lock-step.
    Hand g;
    g.Start(TFTPC_PUT, 20000, 1024, 4);
    EXPECT_EQ(g.Feed(Oack({"windowsize", "8"})).status, TftpClientStatus::Failed);
}

TEST(TftpcEngine, BreakSendsAnErrorAndDeletesOnlyAfterData)
{
    Hand h;
    h.Start(TFTPC_GET);
    h.Feed(Packet(3, 1, Bytes(512, 1)));
    TftpClientStep s = h.engine.Cancel();
    EXPECT_EQ(s.error, "Transfer canceled by user");
    ASSERT_EQ(s.send.size(), 1u);
    EXPECT_EQ(s.send[0].bytes, Bytes({0, 5, 0, 0, 0}));
    EXPECT_TRUE(s.deleteLocal);
    EXPECT_TRUE(h.engine.OnTimeout().send.empty());  // ended: nothing more happens

    Hand g;
    g.Start(TFTPC_GET);
    s = g.engine.Cancel();
    EXPECT_TRUE(s.send.empty());  // no server port known yet
    EXPECT_FALSE(s.deleteLocal);
}

// Sizes beyond 32 bits print unsigned and whole.
TEST(TftpcEngine, LargeSizesPrintUnsigned)
{
    Hand h;
    h.Start(TFTPC_GET);
    TftpClientStep s = h.Feed(Oack({"blksize", "1024", "tsize", "6000000000"}));
    ASSERT_EQ(s.log.size(), 1u);
    EXPECT_EQ(s.log[0], "TFTPC Inf: Ack Blksize = 1024, Default Windowsize = 1, Ack Filesize = 6000000000");
    EXPECT_EQ(h.engine.fileSize(), 6000000000ull);
    EXPECT_EQ(TftpClientDoneText(3000000000ull, 1, 0, "x"),
              "3000000000 blocks transferred in 1 second\n 0 block retransmitted\nMD5: x");
}

// The error simulator drops chosen first transmissions; the retries carry them.
TEST(TftpcEngine, SimulatorDropsFirstTransmissionsOnly)
{
    MemFile local;
    local.data = Pattern(10000, 5);
    std::set<uint32_t> dropped;
    TftpClientEngine engine(&local,
                            [&](uint32_t b, uint32_t) { return (b == 3 || b == 7) && dropped.insert(b).second; });
    SimServer server;
    SimResult r = Simulate(engine, server, Request(TFTPC_PUT, 1024, 4, local.data.size()), {});
    ASSERT_EQ(r.status, TftpClientStatus::Done) << r.error;
    EXPECT_EQ(server.file, local.data);
    EXPECT_EQ(dropped.size(), 2u);
}

}  // namespace
