#include <gtest/gtest.h>

#include <string>

#include "libs/platform/log_guard.h"

TEST(EscapePeerText, ControlBytesCannotForgeLinesOrSequences) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"GET /a HTTP/1.0", "GET /a HTTP/1.0"},
        {"x\r\nHTTP Err: forged", "x\\013\\010HTTP Err: forged"},
        {std::string("a\0b", 3), "a\\000b"},
        {"\x1b[31mred", "\\027[31mred"},
        {"del\x7f", "del\\127"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},  // UTF-8 passes unchanged
    };
    for (const auto& c : cases) EXPECT_EQ(EscapePeerText(c.in), c.out) << c.in;
    // A cut never splits an escape.
    EXPECT_EQ(EscapePeerText("ab\ncd", 4), "ab");
    EXPECT_EQ(EscapePeerText("ab\ncd", 6), "ab\\010");
}

TEST(LogRateGate, BudgetPerKeyAndTotalWithSuppressedCount) {
    LogRateGate gate(3, 5);
    unsigned dropped = 99;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(gate.Allow(1, 1000, &dropped));
    EXPECT_EQ(dropped, 0u);
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(gate.Allow(1, 1500));
    // Another key still writes until the total budget of the second is spent.
    EXPECT_TRUE(gate.Allow(2, 1500));
    EXPECT_TRUE(gate.Allow(2, 1500));
    EXPECT_FALSE(gate.Allow(2, 1500)) << "total of 5 lines a second";
    // The next second lets the flooder write again and tells how many lines were dropped.
    EXPECT_TRUE(gate.Allow(1, 2000, &dropped));
    EXPECT_EQ(dropped, 10u);
    EXPECT_TRUE(gate.Allow(2, 2000, &dropped));
    EXPECT_EQ(dropped, 1u);
}

TEST(LogRateGate, KeyTableIsBounded) {
    LogRateGate gate(1, 1000000, 64);
    for (uint64_t k = 0; k < 10000; ++k) gate.Allow(k, 5000);
    EXPECT_LE(gate.KeyCount(), 64u);
    // Keys past the table share one entry: they are still limited, not let through.
    EXPECT_FALSE(gate.Allow(20000, 5000));
    // Idle keys are forgotten a second later so that new peers get entries of their own.
    unsigned dropped = 0;
    EXPECT_TRUE(gate.Allow(30000, 7000, &dropped));
    EXPECT_LE(gate.KeyCount(), 64u);
}
