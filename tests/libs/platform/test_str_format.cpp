#include <gtest/gtest.h>

#include <string>

#include "libs/platform/str_format.h"

TEST(StrFormat, TextOfAnyLengthComesBackWhole) {
    EXPECT_EQ(StrFormat("%s", ""), "");
    EXPECT_EQ(StrFormat("%u-%s-%05.1f", 7u, "x", 2.5), "7-x-002.5");
    // Past the 511 and 10000 bytes the fixed buffers of the former copies held.
    for (size_t length : {511u, 512u, 10000u, 10001u, 70000u}) {
        const std::string long_text(length, 'a');
        const std::string out = StrFormat("<%s>", long_text.c_str());
        EXPECT_EQ(out.size(), length + 2);
        EXPECT_EQ(out, "<" + long_text + ">");
    }
    // An embedded NUL is kept: the length comes from the formatter, not from strlen.
    EXPECT_EQ(StrFormat("a%cb", 0), std::string("a\0b", 3));
}
