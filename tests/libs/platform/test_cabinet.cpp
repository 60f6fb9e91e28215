// Cabinet members extracted from cabinets that gcab makes (MSZIP), checked with cabextract.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "libs/platform/cabinet.h"
#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;
using nimbo::test::ReadFile;

class CabinetTest : public ::testing::Test {
protected:
    // Makes a compressed cabinet of files in the test folder, dated by their modification time.
    void MakeCab(const std::string& cab, const std::string& files) {
        std::string cmd = "cd " + dir_ + " && gcab -c -z -n " + cab + " " + files + " >/dev/null";
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    }
    std::string Shell(const std::string& cmd) {
        std::string out;
        if (FILE* p = popen(cmd.c_str(), "r")) {
            char buf[512];
            while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
            pclose(p);
        }
        return out;
    }
    nimbo::test::TempFolder tmp_{"cab-test-"};
    const std::string dir_ = tmp_.path();
};

TEST_F(CabinetTest, ExtractsTheWantedMemberWithItsTime) {
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "line " + std::to_string(i) + " of the loader\n";
    tmp_.Write("setupldr.exe", big);
    tmp_.Write("other.txt", "other member");
    // A member time the cabinet can carry (even seconds, local time).
    struct tm t {};
    t.tm_year = 2004 - 1900;
    t.tm_mon = 7;
    t.tm_mday = 4;
    t.tm_hour = 13;
    t.tm_min = 22;
    t.tm_sec = 44;
    t.tm_isdst = -1;
    time_t when = mktime(&t);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir_ + "/setupldr.exe").c_str(), times, 0), 0);
    MakeCab("SETUPLDR.EX_", "other.txt setupldr.exe");
    std::string listing = Shell("cabextract -l " + dir_ + "/SETUPLDR.EX_");
    ASSERT_NE(listing.find("setupldr.exe"), std::string::npos) << listing;
    ASSERT_NE(Shell("cabextract -t " + dir_ + "/SETUPLDR.EX_").find("All done, no errors"), std::string::npos);

    CabSession cab;
    std::string target = dir_ + "/out/ntldr";
    fs::create_directories(dir_ + "/out");
    ASSERT_TRUE(cab.Extract(dir_ + "/SETUPLDR.EX_", "SETUPLDR.EXE", target)) << "member names compare without case";
    EXPECT_EQ(ReadFile(target), big);
    struct stat st {};
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, when);
    // The same context serves further extractions.
    ASSERT_TRUE(cab.Extract(dir_ + "/SETUPLDR.EX_", "other.txt", dir_ + "/out/other"));
    EXPECT_EQ(ReadFile(dir_ + "/out/other"), "other member");
    EXPECT_EQ(fs::directory_iterator(dir_ + "/out") != fs::directory_iterator(), true);
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir_ + "/out")) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 2u) << "no temporary file stays behind";
}

TEST_F(CabinetTest, FailuresLeaveTheTargetAlone) {
    tmp_.Write("a.sys", std::string(5000, 'a'));
    MakeCab("a.sy_", "a.sys");
    std::string cab = ReadFile(dir_ + "/a.sy_");
    tmp_.Write("cut.cab", cab.substr(0, cab.size() - 40));                  // data cut short
    tmp_.Write("notcab.cab", "SZDD\x88\xF0\x27\x33 not a cabinet at all");  // another compressed format
    tmp_.Write("target", "previous content");
    struct Case {
        const char* cabinet;
        const char* member;
    } cases[] = {
        {"a.sy_", "b.sys"},        // member missing
        {"missing.cab", "a.sys"},  // no cabinet
        {"cut.cab", "a.sys"},      // truncated
        {"notcab.cab", "a.sys"},   // not a cabinet
        {"", "a.sys"},             // the folder itself
    };
    CabSession session;
    for (const Case& c : cases) {
        EXPECT_FALSE(session.Extract(dir_ + "/" + c.cabinet, c.member, dir_ + "/target")) << c.cabinet;
        EXPECT_EQ(ReadFile(dir_ + "/target"), "previous content") << c.cabinet;
    }
    size_t files = 0;
    for (auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(files, 5u) << "no temporary file stays behind";

    CabRequest r{dir_ + "/a.sy_", "A.SYS", dir_ + "/target", false};
    EXPECT_FALSE(CabExtractFile(nullptr, &r));
    CabContext* ctx = CabCreateContext();
    ASSERT_NE(ctx, nullptr);
    EXPECT_TRUE(CabExtractFile(ctx, &r));
    EXPECT_TRUE(r.done);
    EXPECT_EQ(ReadFile(dir_ + "/target"), std::string(5000, 'a'));
    EXPECT_EQ(CabDestroyContext(ctx), 1);
    EXPECT_EQ(CabDestroyContext(nullptr), 0);
}

}  // namespace
