#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "libs/platform/posix_attr.h"
#include "tests/support/temp_folder.h"

namespace {
class PosixAttr : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(file_) << "x";
        if (!CPosixFileAttr::ProbePfa(dir_)) GTEST_SKIP() << "this file system keeps no user attributes";
    }
    uint16_t Word() {
        unsigned char b[2] = {0, 0};
        EXPECT_EQ(getxattr(file_.c_str(), kPfaAttrName, b, 2), 2);
        return static_cast<uint16_t>(b[0] | b[1] << 8);
    }
    // In the build folder: /tmp may be a file system without user attributes.
    nimbo::test::TempFolder tmp_{"pfa_", NIMBO_BINARY_DIR};
    const std::string dir_ = tmp_.path(), file_ = dir_ + "/f";
};

TEST_F(PosixAttr, WordRules) {
    int mode = -1, link = -1;
    EXPECT_EQ(CPosixFileAttr::ReadPfa(file_, &mode, &link), 0);
    EXPECT_EQ(CPosixFileAttr::WritePfaMode(file_, kPfaNoMode), 1);
    EXPECT_EQ(CPosixFileAttr::ReadPfa(file_, nullptr, nullptr), 0) << "no mode given writes nothing";
    ASSERT_EQ(CPosixFileAttr::WritePfaMode(file_, 0644), 1);
    EXPECT_EQ(Word(), 0644);
    ASSERT_EQ(CPosixFileAttr::WritePfaModeAndLink(file_, 0755, 1), 1);
    EXPECT_EQ(Word(), 0x8000 | 0755);
    ASSERT_EQ(CPosixFileAttr::WritePfaMode(file_, 0600), 1);
    EXPECT_EQ(Word(), 0x8000 | 0600) << "the link bit stays";
    ASSERT_EQ(CPosixFileAttr::WritePfaModeAndLink(file_, 0700, 0), 1);
    EXPECT_EQ(Word(), 0x8000 | 0700) << "a zero link keeps bit 15";
    ASSERT_EQ(CPosixFileAttr::ReadPfa(file_, &mode, &link), 1);
    EXPECT_EQ(mode, 0700);
    EXPECT_EQ(link, 0x8000);
    // Bits 12-14 are kept as found.
    unsigned char b[2] = {0xA4, 0x71};  // 0x71A4: bits 12-14 = 7, mode 0644
    ASSERT_EQ(setxattr(file_.c_str(), kPfaAttrName, b, 2, 0), 0);
    ASSERT_EQ(CPosixFileAttr::WritePfaMode(file_, 0755), 1);
    EXPECT_EQ(Word(), 0x7000 | 0755);
}

TEST_F(PosixAttr, LinkWithoutModeAndShortWord) {
    ASSERT_EQ(CPosixFileAttr::WritePfaModeAndLink(file_, kPfaNoMode, 1), 1);
    EXPECT_EQ(Word(), 0x8000);
    unsigned char one = 7;
    ASSERT_EQ(setxattr(file_.c_str(), kPfaAttrName, &one, 1, 0), 0);
    EXPECT_EQ(CPosixFileAttr::ReadPfa(file_, nullptr, nullptr), 0) << "a word shorter than 2 bytes is none";
}

TEST_F(PosixAttr, ProbeLeavesNothingBehind) {
    EXPECT_EQ(CPosixFileAttr::ProbePfa(dir_ + "/"), 1);
    unsigned char b[2];
    EXPECT_LT(getxattr(dir_.c_str(), kPfaAttrName, b, 2), 0);
    EXPECT_EQ(CPosixFileAttr::ProbePfa(dir_ + "/missing"), 0);
}
}  // namespace
