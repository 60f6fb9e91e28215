// Concurrent use: distinct compiled patterns and the conveniences on several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "libs/regex/regex_engine.h"

namespace {

TEST(RegexThreads, DistinctPatternsAndConveniencesRunConcurrently) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &failures] {
            CRegexT<char> mac("^([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}$", 0);
            CRegexT<char16_t> path(u"\\\\bootmgfw.efi$", 0);
            for (int i = 0; i < 300; ++i) {
                const std::string text = "01:02:03:ab:bc:" + std::to_string(10 + (i + t) % 90);
                if (mac.Match(text.c_str()).GetSize() == 0) ++failures;
                if (path.Match(u"1\\windows\\boot\\efi\\bootmgfw.efi").GetSize() == 0) ++failures;
                if (!RegexMatchWhole("fix|1,2,3 delay=100", "^fix\\|\\d{1,10}(,\\d{1,10}){0,9}( delay=\\d{1,10})?$"))
                    ++failures;
                if (RegexMatchLength("  LABEL   WIA_WDS\\x64", "^[ \\t]*(?i)LABEL[ \\t]+") != 10) ++failures;
                if (RegexSearch("TFTP Inf: x", " Err: | Warn: ")) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST(RegexThreads, OnePatternSharedWithOwnContexts) {
    const CRegexT<char> shared("(a+)(b)?\\1", 0);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared, &failures] {
            CMatchContext ctx;
            for (int i = 0; i < 500; ++i) {
                const CBufferT<int> r = shared.Match("xaabaa", -1, (i % 2) ? &ctx : nullptr);
                if (r.GetSize() != 8 || r[2] != 1 || r[3] != 6) ++failures;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
