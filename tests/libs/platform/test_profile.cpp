#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "libs/platform/profile.h"
#include "tests/support/temp_folder.h"

namespace {
// An INI file with the given content in a temporary folder of its own.
struct TempIni {
    explicit TempIni(const std::string& content) : path(folder.Write("Nimbo.ini", content)) {}
    std::string Read() const { return nimbo::test::ReadFile(path); }
    nimbo::test::TempFolder folder{"nimbo-ini-"};
    std::string path;
};

std::string Get(const TempIni& ini, const char* section, const char* key, const char* def = "<none>") {
    char buf[4096];
    GetProfileValue(section, key, def, buf, sizeof buf, ini.path.c_str());
    return buf;
}
}  // namespace

TEST(Profile, ReadRules) {
    TempIni ini(
        "; comment line\r\n"
        "[TFTP]\r\n"
        "  TFTP_Port =  6969  \r\n"
        "tftp_port=1\r\n"  // the first key wins
        "Quoted=\"a value\"\r\n"
        "Single='x'\r\n"
        "Unbalanced=\"abc\r\n"
        "Inline=5 ; not a comment\r\n"
        ";Hidden=1\r\n"
        "Empty=\r\n"
        "[ tftp ]\n"
        "Second=2\n"
        "[Other]\n"
        "TFTP_Port=7\n");
    struct Case {
        const char* section;
        const char* key;
        const char* expect;
    } cases[] = {
        {"TFTP", "TFTP_Port", "6969"}, {"tftp", "TFTP_PORT", "6969"},   {"TFTP", "Quoted", "a value"},
        {"TFTP", "Single", "x"},       {"TFTP", "Unbalanced", "\"abc"}, {"TFTP", "Inline", "5 ; not a comment"},
        {"TFTP", "Hidden", "<none>"},  {"TFTP", "Empty", ""},           {"TFTP", "Second", "<none>"},
        {"Other", "TFTP_Port", "7"},   {"Missing", "x", "<none>"},
    };
    for (const Case& c : cases) EXPECT_EQ(Get(ini, c.section, c.key), c.expect) << c.section << "/" << c.key;
}

TEST(Profile, LongValueIsCut) {
    TempIni ini("[A]\nK=" + std::string(3000, 'v') + "\n");
    EXPECT_EQ(Get(ini, "A", "K").size(), 2047u);
}

TEST(Profile, WriterKeepsOtherLinesByteForByte) {
    const std::string original =
        "; settings\r\n[NIMBO]\r\nNIMBO_Services=1\r\n\r\n[TFTP]\r\nTFTP_Port = 69\r\n  ; "
        "note\r\nOther=x\r\n\r\n[END]\r\nA=1";
    TempIni ini(original);
    ASSERT_TRUE(WriteProfileValue("tftp", "tftp_port", "6969", ini.path.c_str()));
    ASSERT_TRUE(WriteProfileValue("TFTP", "NewKey", "v", ini.path.c_str()));
    ASSERT_TRUE(WriteProfileValue("DHCP", "DHCP_PoolSize", "10", ini.path.c_str()));
    ASSERT_TRUE(WriteProfileValue("END", "B", "2", ini.path.c_str()));
    EXPECT_EQ(ini.Read(),
              "; settings\r\n[NIMBO]\r\nNIMBO_Services=1\r\n\r\n[TFTP]\r\ntftp_port=6969\r\n  ; note\r\nOther=x\r\n"
              "NewKey=v\r\n\r\n[END]\r\nA=1\r\nB=2\r\n[DHCP]\r\nDHCP_PoolSize=10\r\n");
}

TEST(Profile, ManyKeysInOneWrite) {
    TempIni ini("[NIMBO]\nA=1\n\n[DHCP]\nDHCP_Lease_0DHCP_IP=10.0.0.1\nkeep=me\n\n[TFTP]\nT=1\n");
    std::vector<std::pair<std::string, std::string>> values = {{"DHCP_Lease_0DHCP_IP", "10.0.0.9"},
                                                               {"DHCP_Lease_1DHCP_IP", "10.0.0.2"},
                                                               {"dhcp_lease_1dhcp_ip", "10.0.0.3"},
                                                               {"DHCP_Lease_NumLeases", "2"}};
    ASSERT_TRUE(WriteProfileValues("DHCP", values, ini.path.c_str()));
    EXPECT_EQ(ini.Read(),
              "[NIMBO]\nA=1\n\n[DHCP]\nDHCP_Lease_0DHCP_IP=10.0.0.9\nkeep=me\ndhcp_lease_1dhcp_ip=10.0.0.3\n"
              "DHCP_Lease_NumLeases=2\n\n[TFTP]\nT=1\n");
    ASSERT_TRUE(WriteProfileValues("NEW", {{"K", "V"}, {"L", "W"}}, ini.path.c_str()));
    EXPECT_EQ(Get(ini, "new", "l"), "W");
    EXPECT_EQ(Get(ini, "TFTP", "T"), "1");
}

TEST(Profile, WriterCreatesMissingFileAndTruncates) {
    nimbo::test::TempFolder folder("nimbo-ini-new-");
    const std::string path = folder / "new.ini";
    ASSERT_TRUE(WriteProfileValue("S", "K", "V", path.c_str()));
    char buf[64];
    GetProfileValue("S", "K", "", buf, sizeof buf, path.c_str());
    EXPECT_STREQ(buf, "V");
    ASSERT_TRUE(TruncateProfile(path.c_str()));
    std::ifstream f(path, std::ios::binary);
    EXPECT_EQ(f.peek(), std::ifstream::traits_type::eof());
    EXPECT_FALSE(WriteProfileValue("S", "K", "V", "/nonexistent-folder/x.ini"));
}

#include "libs/platform/progpath.h"

TEST(ProgramPath, BuildFoldersAreLeftOut) {
    const std::pair<const char*, const char*> cases[] = {
        {"/opt/nimbo/nimbo", "/opt/nimbo"},
        {"/opt/nimbo/Release/nimbo", "/opt/nimbo"},
        {"/opt/nimbo/DEBUG/nimbo", "/opt/nimbo"},
        {"/opt/nimbo/ReleaseX/nimbo", "/opt/nimbo/ReleaseX"},
        {"/release/nimbo", "/"},
    };
    for (const auto& [exe, folder] : cases) EXPECT_EQ(ProgramFolderOf(exe), folder) << exe;
}
