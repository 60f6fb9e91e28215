// Error simulator: the setting parser and the drop decisions.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "_services/tftp_errsim.h"

namespace {

struct ParseCase {
    const char* text;
    int ok;
    uint8_t mode;
    uint32_t count;
    std::vector<uint32_t> blocks;
    uint32_t delay;
};

TEST(TftpErrSim, ParseTable) {
    const ParseCase cases[] = {
        {"fix|5,9 delay=100", 1, ERRSIM_FIX, 2, {5, 9}, 100},
        {"fix|3", 1, ERRSIM_FIX, 1, {3}, 0},
        {"fix|1,2,3,4,5,6,7,8,9,10", 1, ERRSIM_FIX, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0},
        {"fix|4294967295", 1, ERRSIM_FIX, 1, {4294967295u}, 0},
        {"fix|4294967296", 0, 0, 0, {}, 0},
        {"fix|1,2,3,4,5,6,7,8,9,10,11", 0, 0, 0, {}, 0},
        {"fix|0", 0, 0, 0, {}, 0},
        {"fix|5 delay=0", 0, 0, 0, {}, 0},
        {"fix|5 delay=4294967296", 0, 0, 0, {}, 0},
        {"Fix|5", 0, 0, 0, {}, 0},
        {"random|10", 1, ERRSIM_RANDOM, 10, {}, 0},
        {"random|11", 0, 0, 0, {}, 0},
        {"random|0", 0, 0, 0, {}, 0},
        {"random|3 delay=7", 1, ERRSIM_RANDOM, 3, {}, 7},
        {"even|0", 0, 0, 0, {}, 0},
        {"even|4", 1, ERRSIM_EVEN, 4, {}, 0},
        {"even|4 ", 0, 0, 0, {}, 0},
        {"", 0, 0, 0, {}, 0},
        {"off", 0, 0, 0, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char text[200];
        snprintf(text, sizeof text, "%s", c.text);
        ErrorSimulatorRecord rec;
        memset(&rec, 0x5A, sizeof rec);
        EXPECT_EQ(ErrSimParse(text, &rec), c.ok);
        if (!c.ok) {
            EXPECT_EQ(text[0], '\0');
            ErrorSimulatorRecord zero{};
            EXPECT_EQ(memcmp(&rec, &zero, sizeof rec), 0);
            continue;
        }
        EXPECT_STREQ(text, c.text);
        EXPECT_EQ(rec.mode, c.mode);
        EXPECT_EQ(rec.count, c.count);
        EXPECT_EQ(rec.delay, c.delay);
        for (size_t i = 0; i < c.blocks.size(); ++i) EXPECT_EQ(rec.blocks[i], c.blocks[i]);
    }
    // Validation without a record.
    char good[] = "even|2";
    EXPECT_EQ(ErrSimParse(good, nullptr), 1);
    char bad[] = "even|22";
    EXPECT_EQ(ErrSimParse(bad, nullptr), 0);
    EXPECT_EQ(bad[0], '\0');
}

ErrorSimulatorRecord Live(const char* text) {
    char buf[200];
    snprintf(buf, sizeof buf, "%s", text);
    ErrorSimulatorRecord rec{};
    EXPECT_EQ(ErrSimParse(buf, &rec), 1) << text;
    return rec;
}

// Runs one transfer of `total` blocks through the decision, twice over (the second pass
// stands for retransmissions), and returns the blocks dropped.
std::vector<uint32_t> Dropped(const ErrorSimulatorRecord& live, uint32_t total, ErrSimRandomSource rnd) {
    ErrorSimulatorRecord copy{};
    std::vector<uint32_t> out;
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t b = 1; b <= total; ++b)
            if (ErrSimShouldDropWith(live, b, total, &copy, rnd)) out.push_back(b);
    return out;
}

bool FixedRandom(uint32_t* v, size_t n) {
    const uint32_t values[] = {0, 0xFFFFFFFEu, 0x80000000u, 0xFFFFFFFFu};
    for (size_t i = 0; i < n; ++i) v[i] = values[i % 4];
    return true;
}
bool NoRandom(uint32_t*, size_t) { return false; }
bool MaxRandom(uint32_t* v, size_t n) {
    for (size_t i = 0; i < n; ++i) v[i] = 0xFFFFFFFFu;
    return true;
}

TEST(TftpErrSim, DropDecisions) {
    struct Case {
        const char* text;
        uint32_t total;
        ErrSimRandomSource rnd;
        std::vector<uint32_t> dropped;
    } cases[] = {
        {"fix|3", 10, nullptr, {3}},
        {"fix|5,9", 10, nullptr, {5, 9}},
        {"fix|50", 10, nullptr, {}},
        {"even|4", 10, nullptr, {1, 4, 7, 10}},
        {"even|4", 5, nullptr, {1, 5}},
        {"even|4", 1, nullptr, {1}},
        {"even|1", 10, nullptr, {1}},
        {"even|3", 4, nullptr, {1, 4}},
        {"random|3", 100, FixedRandom, {1, 51, 100}},
        {"random|3", 100, NoRandom, {}},
        {"random|1", 7, MaxRandom, {7}},  // the largest random value still names a block
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " total " + std::to_string(c.total));
        EXPECT_EQ(Dropped(Live(c.text), c.total, c.rnd), c.dropped);
    }
    // Simulator off: nothing is dropped and the copy stays untouched.
    ErrorSimulatorRecord off{}, copy{};
    EXPECT_EQ(ErrSimShouldDropWith(off, 1, 10, &copy, nullptr), 0);
    EXPECT_EQ(copy.mode, 0);
    // The random source really gives blocks in range.
    auto rnd = Dropped(Live("random|10"), 7, ErrSimSystemRandom);
    for (uint32_t b : rnd) EXPECT_TRUE(b >= 1 && b <= 7);
}

TEST(TftpErrSim, USleepZeroReturnsAtOnce) {
    EXPECT_EQ(uSleepInit(), 0);
    uint64_t stamp = 0;
    uSleepStamp(&stamp);
    uint64_t before = stamp;
    EXPECT_EQ(uSleep(&stamp, 0, false), 1);
    EXPECT_EQ(stamp, before);
    EXPECT_EQ(uSleep(&stamp, 10, true), 1);
    EXPECT_GE(stamp, before + 10000);
}

// The gap is a minimum whether it is slept, spun or both: a gap longer than the spun
// stretch and one shorter than it both end no earlier than asked.
TEST(TftpErrSim, USleepKeepsTheMinimumGap) {
    ASSERT_EQ(uSleepInit(), 0);
    EXPECT_GT(uSleepSpinNs(), 0u);
    EXPECT_LE(uSleepSpinNs(), 1000000u);
    const uint32_t spinUs = static_cast<uint32_t>(uSleepSpinNs() / 1000);
    for (uint32_t gap : {1u, spinUs / 2 + 1, spinUs + 50, 2000u}) {
        SCOPED_TRACE(gap);
        uint64_t stamp = 0;
        uSleepStamp(&stamp);
        for (int i = 0; i < 5; ++i) {
            const uint64_t before = stamp;
            EXPECT_EQ(uSleep(&stamp, gap, true), 1);
            EXPECT_GE(stamp, before + gap * 1000ull);
        }
    }
}

}  // namespace
