// The patterns the program itself uses, as accept/reject tables through the three
// conveniences.
#include <gtest/gtest.h>

#include <string>

#include "libs/regex/regex_engine.h"

namespace {

struct Row {
    std::string text;
    bool accepted;
};

void ExpectWhole(const char* pattern, std::initializer_list<Row> rows) {
    for (const Row& r : rows) {
        EXPECT_EQ(RegexMatchWhole(r.text.c_str(), pattern), r.accepted)
            << "pattern \"" << pattern << "\" text \"" << r.text << "\"";
    }
}

void ExpectSearch(const char* pattern, std::initializer_list<Row> rows) {
    for (const Row& r : rows) {
        EXPECT_EQ(RegexSearch(r.text.c_str(), pattern), r.accepted)
            << "pattern \"" << pattern << "\" text \"" << r.text << "\"";
    }
}

// DHCP settings: boot-file lists, option 252, addresses, leases and MAC filters.
TEST(RegexProgramPatterns, DhcpSettings) {
    const char* bootFile =
        "^((\\d|0i|6i|7i|9i|a|b)\\?){0,1}[\\\\/]{0,1}[^,<>;\"\\\\/\\|\\*\\? ]+([\\\\/][^,<>;\"\\\\/\\|\\*\\? ]+)*"
        "(\\|(\\d|0i|6i|7i|9i|a|b)\\?[\\\\/]{0,1}[^,<>;\"\\\\/\\|\\*\\? ]+([\\\\/][^,<>;\"\\\\/\\|\\*\\? ]+)*)*$";
    ExpectWhole(bootFile, {
                              {"pxenimbo.0", true},
                              {"0?pxenimbo.0", true},
                              {"pxenimbo.0|6?\\EFI\\x86\\bootmgfw.efi|9?\\EFI\\x64\\bootmgfw.efi", true},
                              {"pxenimbo.0|a?\\EFI\\ARM\\bootmgfw.efi|b?/EFI/ARM64/bootmgfw.efi", true},
                              {"0i?x.0|6i?y|7i?z|9i?w", true},
                              {"\\boot\\pxe.0", true},
                              {"6:\\EFI\\x86\\bootmgfw.efi", true},  // a colon is a name character here
                              {"", false},
                              {"pxe boot.0", false},
                              {"x|y", false},  // later entries need a key
                              {"x|", false},
                              {"x||6?y", false},
                              {"\\\\server\\x", false},
                              {"c?x", false},
                              {"file*.0", false},
                              {"a<b", false},
                              {"x\\", false},
                          });
    const char* option252 =
        "^252\\|((\\d|0i|6i|7i|9i|a|b)\\?){0,1}[\\\\/]{0,1}[^,<>:;\"\\\\/\\|\\*\\? ]+([\\\\/][^,<>:;\"\\\\/\\|\\*\\? "
        "]+)*"
        "(\\|(\\d|0i|6i|7i|9i|a|b)\\?[\\\\/]{0,1}[^,<>:;\"\\\\/\\|\\*\\? ]+([\\\\/][^,<>:;\"\\\\/\\|\\*\\? ]+)*)*$";
    ExpectWhole(option252, {
                               {"252|\\EFI\\BCD", true},
                               {"252|6?\\EFI\\BCD|7?\\EFI\\BCD|9?\\EFI\\BCD", true},
                               {"252|BCD", true},
                               {"252|C:\\BCD", false},
                               {"25|BCD", false},
                               {"252|", false},
                           });
    const char* option67 =
        "^\\d{1,3}\\|((\\d|0i|6i|7i|9i|a|b)\\?){0,1}[\\\\/]{0,1}[^,<>;\"\\\\/\\|\\*\\? "
        "]+([\\\\/][^,<>;\"\\\\/\\|\\*\\? ]+)*"
        "(\\|(\\d|0i|6i|7i|9i|a|b)\\?[\\\\/]{0,1}[^,<>;\"\\\\/\\|\\*\\? ]+([\\\\/][^,<>;\"\\\\/\\|\\*\\? ]+)*)*$";
    ExpectWhole(option67, {
                              {"67|pxenimbo.0", true},
                              {"67|pxenimbo.0|6?\\EFI\\x86\\bootmgfw.efi|9?\\EFI\\x64\\bootmgfw.efi", true},
                              {"67|", false},
                              {"6789|x", false},
                          });

    const char* address = "^\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}";
    ExpectWhole(address, {
                             {"255.255.255.0", true},
                             {"192.168.20.20", true},
                             {"1.2.3", false},
                             {"1234.1.1.1", false},
                             {"1.2.3.4.5", false},
                             {"1.2.3.4 ", false},
                             {"a.b.c.d", false},
                         });
    ExpectWhole("^/\\d{1,2}", {{"/24", true}, {"/8", true}, {"/124", false}, {"/", false}, {"24", false}});
    const char* routers = "^\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}(,\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})*";
    ExpectWhole(routers, {
                             {"192.168.20.1", true},
                             {"192.168.20.1,192.168.20.3", true},
                             {"192.168.20.1,", false},
                             {"192.168.20.1;192.168.20.3", false},
                         });
    const char* staticLease = "^([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}\\|\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}";
    ExpectWhole(staticLease, {
                                 {"01:02:03:ab:bc:de|192.168.20.5", true},
                                 {"01:02:03:AB:BC:DE|10.0.0.1", true},
                                 {"01:02:03:ab:bc|192.168.20.5", false},
                                 {"01-02-03-ab-bc-de|192.168.20.5", false},
                                 {"01:02:03:ab:bc:dg|192.168.20.5", false},
                                 {"01:02:03:ab:bc:de", false},
                             });
    const char* macFilter = "^([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}(\\|([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}){0,1}";
    ExpectWhole(macFilter, {
                               {"01:02:03:AB:BC:DE", true},
                               {"01:02:03:AB:BC:DE|FF:FF:FF:FF:FF:00", true},
                               {"01:02:03:AB:BC:DE|FF", false},
                               {"01:02:03:AB:BC:DE|", false},
                               {"01:02:03:AB:BC", false},
                           });
}

// DHCP user options: "code|payload" with one pattern per kind of payload.
TEST(RegexProgramPatterns, DhcpUserOptions) {
    ExpectSearch("^\\d{1,3}\\|", {{"67|x", true}, {"0|", true}, {"1234|x", false}, {"a|x", false}, {" 1|x", false}});
    ExpectWhole("^\\d{1,3}\\|", {{"0|", true}, {"68|", true}, {"0|x", false}});
    ExpectWhole("^\\d{1,3}\\|(-*)\\d{1,10}",
                {{"2|-3600", true}, {"2|3600", true}, {"2|--5", true}, {"2|x", false}, {"2|-", false}});
    ExpectWhole(
        "^\\d{1,3}\\|\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}(,\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})*",
        {{"6|192.168.20.20", true}, {"6|192.168.20.20,192.168.20.25", true}, {"6|192.168.20", false}, {"6|", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}",
                {{"16|192.168.20.20", true}, {"16|192.168.20.20,1.1.1.1", false}});
    ExpectWhole(
        "^\\d{1,3}\\|\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}"
        "(,\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})*",
        {{"21|192.168.20.20,255.255.255.0", true},
         {"21|1.1.1.1,2.2.2.2,3.3.3.3,4.4.4.4", true},
         {"21|1.1.1.1,2.2.2.2,3.3.3.3", false},
         {"21|1.1.1.1", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,3}", {{"19|1", true}, {"23|254", true}, {"19|1000", false}, {"19|", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,5}", {{"13|65535", true}, {"13|655350", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,10}", {{"24|4294967295", true}, {"24|42949672950", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,5}(,\\d{1,5})*", {{"25|68,296,576", true}, {"25|68,,296", false}});
    ExpectWhole("^\\d{1,3}\\|\\d{1,3}(,\\d{1,3})*", {{"117|0,6,15", true}, {"117|0,6,1500", false}});
    const char* hex = "^\\d{1,3}\\|0x([\\da-fA-F][\\da-fA-F]){1,255}";
    ExpectWhole(hex, {
                         {"43|0x0102ab", true},
                         {"99|0x1234567890abcdefABCDEF", true},
                         {"43|0x012", false},
                         {"43|0x", false},
                         {"43|0xZZ", false},
                         {"43|102ab", false},
                         {"43|0x" + std::string(510, 'f'), true},
                         {"43|0x" + std::string(512, 'f'), false},  // 256 bytes: too long
                     });
    ExpectSearch("^\\d{1,3}\\|0x", {{"84|0x12", true}, {"84|text", false}});
    ExpectWhole(
        "^\\d{1,3}\\|\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},"
        "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}(,\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},"
        "\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3},\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})*",
        {{"121|10.0.0.0,255.0.0.0,192.168.1.1", true},
         {"121|10.0.0.0,255.0.0.0,192.168.1.1,1.0.0.0,255.0.0.0,1.1.1.1", true},
         {"121|10.0.0.0,255.0.0.0", false}});
}

// TFTP error-simulator settings.
TEST(RegexProgramPatterns, TftpErrorSimulator) {
    ExpectWhole("^fix\\|\\d{1,10}(,\\d{1,10}){0,9}( delay=\\d{1,10})?$", {{"fix|1", true},
                                                                          {"fix|1,2,3", true},
                                                                          {"fix|1,2,3 delay=100", true},
                                                                          {"fix|1,2,3,4,5,6,7,8,9,10", true},
                                                                          {"fix|1,2,3,4,5,6,7,8,9,10,11", false},
                                                                          {"fix|", false},
                                                                          {"fix|1 delay=", false},
                                                                          {"FIX|1", false}});
    ExpectWhole("^random\\|\\d{1,2}( delay=\\d{1,10})?$",
                {{"random|50", true}, {"random|5 delay=20", true}, {"random|100", false}, {"random|5\n", false}});
    ExpectWhole("^even\\|\\d{1,2}( delay=\\d{1,10})?$",
                {{"even|2", true}, {"even|2 delay=1", true}, {"even|5 delay=", false}, {"even|", false}});
}

// PXE menu lines: classification, asset labels (patterns ending in a lone backslash)
// and the lengths used to cut keywords off.
TEST(RegexProgramPatterns, PxeMenuLines) {
    const char* label = "^[ \\t]*(?i)LABEL[ \\t]+";
    ExpectSearch(label, {{"LABEL x", true}, {"  \tlabel  x", true}, {"LABELx", false}, {"MENU LABEL x", false}});
    const char* ris = "^[ \\t]*(?i)LABEL[ \\t]+(?i)WIA_RIS\\";
    const char* wds = "^[ \\t]*(?i)LABEL[ \\t]+(?i)WIA_WDS\\";
    const char* nwa = "^[ \\t]*(?i)LABEL[ \\t]+(?i)NWA_PXE\\";
    ExpectSearch(ris, {{"LABEL WIA_RIS\\XP\r\n", true},
                       {"label wia_ris\\x", true},
                       {"LABEL WIA_RIS", false},
                       {"LABEL WIA_RISX\\", false}});
    ExpectSearch(wds, {{"  LABEL\tWIA_WDS\\W10x64\r\n", true}, {"LABEL WIA_RIS\\x", false}});
    ExpectSearch(nwa, {{"LABEL NWA_PXE\\mint\r\n", true}, {"LABEL NWA_PXE/mint", false}});
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)LABEL[ \\t]+.*\\r\\n", {{"  MENU LABEL ^1) Windows\r\n", true},
                                                                     {"menu label x\r\n", true},
                                                                     {"MENU LABEL x\n", false},
                                                                     {"MENU LABELx\r\n", false}});
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)BEGIN[ \\t]+.*\\r\\n",
                 {{"MENU BEGIN tools\r\n", true}, {"MENU BEGIN\r\n", false}});
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)END[ \\t]*\\r\\n",
                 {{"MENU END\r\n", true}, {"  menu end  \r\n", true}, {"MENU ENDX\r\n", false}, {"MENU END\n", false}});
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)SEPARATOR[ \\t]*\\r\\n",
                 {{"MENU SEPARATOR\r\n", true}, {"MENU SEP\r\n", false}});
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)TITLE[ \\t]+.*\\r\\n",
                 {{"   MENU TITLE  Boot\r\n", true}, {"MENU TITLE\r\n", false}, {"xMENU TITLE t\r\n", false}});
    // a blank before the keyword is part of the case-sensitive prefix only
    ExpectSearch("^[ \\t]*(?i)MENU[ \\t]+(?i)HIDE", {{"Menu Hide", true}});

    EXPECT_EQ(RegexMatchLength("  LABEL   WIA_WDS\\x64", label), 10);
    EXPECT_EQ(RegexMatchLength("LABELWIA", label), 0);
    const char* numbered = "^[ \\t]*(?i)MENU[ \\t]+(?i)LABEL[ \\t]+\\^[ ]*\\d{1,3}\\)";
    EXPECT_EQ(RegexMatchLength("MENU LABEL ^ 12) Windows 10", numbered), 16);
    EXPECT_EQ(RegexMatchLength("menu label ^3) x", numbered), 14);
    EXPECT_EQ(RegexMatchLength("MENU LABEL ^Windows", numbered), 0);
    EXPECT_EQ(RegexMatchLength("MENU LABEL ^ Windows", "^[ \\t]*(?i)MENU[ \\t]+(?i)LABEL[ \\t]+\\^ "), 13);
}

// GUI: log filters and the transfer progress text.
TEST(RegexProgramPatterns, GuiLists) {
    ExpectSearch(" Err: ", {{"TFTP Err: timeout", true}, {"TFTP Warn: x", false}});
    ExpectSearch(" Warn: ", {{"TFTP Warn: x", true}, {"TFTP Err: x", false}});
    ExpectSearch(" Err: | Warn: ", {{"TFTP Err: timeout", true}, {"TFTP Warn: x", true}, {"TFTP Inf: x", false}});
    ExpectWhole("^\\d{1,2}%$",
                {{"5%", true}, {"99%", true}, {"100%", false}, {"%", false}, {"5% ", false}, {"5", false}});
}

}  // namespace
