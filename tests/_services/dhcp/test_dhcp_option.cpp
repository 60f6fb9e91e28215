// User option lines: encodings and the refusal message of each kind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "_services/dhcp/dhcp_settings.h"

namespace {

struct Accepted {
    const char* text;
    std::vector<uint8_t> bytes;
};

TEST(DhcpOption, EncodesAcceptedLines) {
    const Accepted cases[] = {
        {"9|192.168.20.20,192.168.20.25", {9, 8, 192, 168, 20, 20, 192, 168, 20, 25}},
        {"68|", {68, 0}},
        {"68|10.0.0.1", {68, 4, 10, 0, 0, 1}},
        {"0|", {0, 0, 0xFF, 0xFF}},
        {"2|-39600", {2, 4, 0xFF, 0xFF, 0x65, 0x50}},
        {"2|43200", {2, 4, 0, 0, 0xA8, 0xC0}},
        {"19|1", {19, 1, 1}},
        {"23|2", {23, 1, 2}},
        {"37|255", {37, 1, 255}},
        {"46|8", {46, 1, 8}},
        {"13|65535", {13, 2, 0xFF, 0xFF}},
        {"26|68", {26, 2, 0, 68}},
        {"24|4294967295", {24, 4, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"25|68,1500", {25, 4, 0, 68, 0x05, 0xDC}},
        {"117|0,6,41", {117, 6, 0, 0, 0, 6, 0, 41}},
        {"16|10.1.2.3", {16, 4, 10, 1, 2, 3}},
        {"21|10.1.2.3,255.255.255.0", {21, 8, 10, 1, 2, 3, 255, 255, 255, 0}},
        {"121|10.27.129.0,255.255.255.0,192.168.20.1", {121, 8, 24, 10, 27, 129, 192, 168, 20, 1}},
        {"249|0.0.0.0,0.0.0.0,10.0.0.1", {249, 5, 0, 10, 0, 0, 1}},
        {"43|0x0102ab", {43, 3, 1, 2, 0xAB}},
        {"200|hello", {200, 5, 'h', 'e', 'l', 'l', 'o'}},
        {"200|0xAbCd", {200, 2, 0xAB, 0xCD}},
        {"12|host", {12, 4, 'h', 'o', 's', 't'}},
        {"252|http://x/wpad.dat",
         {252, 17, 'h', 't', 't', 'p', ':', '/', '/', 'x', '/', 'w', 'p', 'a', 'd', '.', 'd', 'a', 't'}},
    };
    for (const auto& c : cases) {
        uint8_t out[7056] = {};
        std::string msg;
        ASSERT_EQ(parseDhcpOption(c.text, out, sizeof out, &msg), 1) << c.text << ": " << msg;
        EXPECT_EQ(std::vector<uint8_t>(out, out + c.bytes.size()), c.bytes) << c.text;
    }
}

TEST(DhcpOption, TextAndListLimits) {
    uint8_t out[7056];
    std::string msg;
    EXPECT_EQ(parseDhcpOption(("12|" + std::string(255, 'x')).c_str(), out, sizeof out, &msg), 1);
    EXPECT_EQ(parseDhcpOption(("12|" + std::string(256, 'x')).c_str(), out, sizeof out, &msg), 0);
    std::string list = "9|";
    for (int i = 0; i < 63; ++i) list += (i ? "," : "") + std::string("10.0.0.") + std::to_string(i + 1);
    EXPECT_EQ(parseDhcpOption(list.c_str(), out, sizeof out, &msg), 1);
    EXPECT_EQ(out[1], 252);
    list += ",10.0.1.1";
    EXPECT_EQ(parseDhcpOption(list.c_str(), out, sizeof out, &msg), 0);
    std::string hex15 = "123|0x" + std::string(30, 'a');
    EXPECT_EQ(parseDhcpOption(hex15.c_str(), out, sizeof out, &msg), 0);
    EXPECT_EQ(msg, "123-Format Error\nCoordinate LCI option too short\nOption payload min length=16");
    EXPECT_EQ(parseDhcpOption(("123|0x" + std::string(32, 'a')).c_str(), out, sizeof out, &msg), 1);
    // The output area bounds every encoder.
    uint8_t small[6];
    EXPECT_EQ(parseDhcpOption("9|1.1.1.1,2.2.2.2", small, sizeof small, &msg), 0);
}

struct Refused {
    const char* text;
    const char* message;
};

TEST(DhcpOption, RefusalMessages) {
    const char* generic =
        "Format Error\nA DHCP Option must begin with its decimal code (0-255) immediately \n"
        "followed by the separator | and the option payload (w/o Length\nbyte). Option format depends on "
        "option's code.\ni.e.\t9|192.168.20.20\t9|192.168.20.20,192.168.20.25,...\n\t23|10\t\t18|/dhcp/moreoptions\n"
        "\t117|0,6,...\t99|0x1234567890abcdefABCDEF...\n\tetc.";
    // clang-format off
    const Refused cases[] = {
        {"256|x", generic},
        {"a|b", generic},
        {"1234|5", generic},
        {"51|x", "51-Option Error\nIP Address Lease Time is a server-handled option"},
        {"1|255.0.0.0", "1-Option Error\nSubnet Mask option should be defined above on its own field"},
        {"93|0", "93-Option Error\nClient System Architecture Type is a client-only option"},
        {"255|", "255-Option Error\nEND is a server-handled option"},
        {"0|x", "0-Format Error\nPad option should look like:\n0|"},
        {"2|43201", "2-Format Error\n option should look like:\n2|X\t-39600 <= X <= 43200"},
        {"19|2", "19-Format Error\nIP Forwarding Enable/Disable option should look like:\n19|X\tX is 1 or 0"},
        {"19|256", "19-Format Error\nIP Forwarding Enable/Disable option should look like:\n19|X\tX is 1 or 0"},
        {"37|0", "37-Format Error\nTCP Default TTL option should look like:\n37|X\t1 <= x <= 255"},
        {"37|256", "37-Format Error\nTCP Default TTL option should look like:\n37|X\t1 <= x <= 255"},
        {"23|1", "23-Format Error\nDefault IP Time-to-live option should look like:\n23|X\t1 < X < 255"},
        {"23|255", "23-Format Error\nDefault IP Time-to-live option should look like:\n23|X\t1 < X < 255"},
        {"26|67", "26-Format Error\nInterface MTU option should look like:\n26|X\t68 <= X <= 65535"},
        {"22|65536", "22-Format Error\nMaximum Datagram Reassembly Size option should look like:\n22|X\t0 <= X <= 65535"},
        {"46|3", "46-Format Error\nNetBIOS over TCP/IP Node Type option should look like:\n46|X\tX is 1,2,4 or 8"},
        {"35|x", "35-Format Error\nARP Cache Timeout Option option should look like:\n35|X\t0 <= x <= 4294967295"},
        {"9|1.2.3", "9-Format Error\nLPR Server option should look like:\n9|192.168.20.20  or  9|192.168.20.20,192.168.20.25 ..."},
        {"9|1.2.3.256", "9-Format Error\nLPR Server option invalid IP address/es\nSee example:\n9|192.168.20.20  or  9|192.168.20.20,192.168.20.25 ..."},
        {"9|255.255.255.255", "9-Format Error\nLPR Server option invalid IP address/es\nSee example:\n9|192.168.20.20  or  9|192.168.20.20,192.168.20.25 ..."},
        {"68|x", "68-Format Error\nMobile IP Home Agent option should look like:\n68|  or  68|192.168.20.20  or  68|192.168.20.20,192.168.20.25 ..."},
        {"28|1.2.3.4,5.6.7.8", "28-Format Error\nBroadcast Address option should look like:\n28|192.168.20.255"},
        {"33|1.2.3.4", "33-Format Error\nStatic Route option should look like:\n33|192.168.20.20,10.0.0.1, ..."},
        {"25|67", "25-Format Error\nPath MTU Plateau Table option invalid parameter/es\nSee example:\n25|X1,X2, ...\t68 <= Xn <= 65535"},
        {"25|a", "25-Format Error\nPath MTU Plateau Table option should look like:\n25|X1,X2, ...\t68 <= Xn <= 65535"},
        {"117|255", "117-Format Error\nName Service Search option invalid parameter/es\nSee example:\n117|0,6,41, ...  (ordered list of DHCP name options)"},
        {"17|", "17-Format Error\nRoot Path option invalid\nSee example:\n17|text\t1 < text Length < 255"},
        {"100|", "100-Format Error\nTimezone option for DHCPv4 invalid\nSee example:\n100|text\t1 < text Length < 255"},
        {"252|", "252-Format Error\nProxy Autodiscovery invalid\nSee example:\n252|text\t1 < text Length < 255"},
        {"88|0xZ", "88-Format Error\nMulticast Service Controller Domain Name\nlist option should look like:\n88|0x010203abcdef ..."},
        {"123|zz", "123-Format Error\nCoordinate LCI option should look like:\n123|0x010203abcdef ...\nOption payload min length=16"},
        {"200|0xZZ", "136-248 Format Error\nCustom option HEX input should look like:\n136|0x010203abcdef ..."},
        {"84|0x1", "84 Format Error\nUnassigned option HEX input should look like:\n84|0x010203abcdef ..."},
        {"130|", "128-135 Format Error\nPXE options only support HEX or uninterpreted ASCII input\nSee examples:\n128|text\t1 < text Length < 255\n128|0x010203abcdef ..."},
        {"121|1.2.3.4,1.2.3.4", "121-Format Error\nClassless Route option should look like:\n121|<-subnet1->,<-mask1->,<-router1->, ...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ..."},
        {"249|1.2.3.400,1.2.3.4,1.1.1.1", "249-Format Error\nClassless Route option (MS) invalid IP address/es\nSee example:\n249|<-subnet1->,<-mask1->,<-router1->, ...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ..."},
        {"67|a b", "67-Format Error\nBootfile name option wrong format.\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>\nIf arch_0 is not present Bootfile_0 is considered default. i.e.:\n67|Bootfile\n67|0?Bootfile\n67|pxenimbo.0|6?\\EFI\\x86\\bootmgfw.efi|9?\\EFI\\x64\\bootmgfw.efi\nSee RFC 4578 for Client System Architecture Type definitions\nBootfile_X length < 128\nTotal length < 255"},
        {"67|6?x|6?y", "67-Format Error\nBootfile name option parameter collision.\nSame architecture was declared more than once\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>"},
    };
    // clang-format on
    for (const auto& c : cases) {
        uint8_t out[7056] = {};
        std::string msg;
        EXPECT_EQ(parseDhcpOption(c.text, out, sizeof out, &msg), 0) << c.text;
        EXPECT_EQ(msg, c.message) << c.text;
    }
}

TEST(DhcpOption, RefusedCodes) {
    const Refused cases[] = {
        {"1|x", "1-Option Error\nSubnet Mask option should be defined above on its own field"},
        {"3|x", "3-Option Error\nRouter Option should be defined above on its own field"},
        {"6|x", "6-Option Error\nDomain Name Server Option should be defined above on its own field"},
        {"15|x", "15-Option Error\nDomain Name option should be defined above on its own field"},
        {"50|x", "50-Option Error\nRequested IP Address is a client-only option"},
        {"51|x", "51-Option Error\nIP Address Lease Time is a server-handled option"},
        {"52|x", "52-Option Error\nOption Overload is not implemented"},
        {"53|x", "53-Option Error\nDHCP Message Type is a server-handled option"},
        {"54|x", "54-Option Error\nServer Identifier is a server-handled option"},
        {"55|x", "55-Option Error\nParameter Request List is a client-only option"},
        {"56|x", "56-Option Error\nMessage is a server-handled option"},
        {"57|x", "57-Option Error\nMaximum DHCP Message Size is a client-only option"},
        {"58|x", "58-Option Error\nRenewal (T1) Time Value is a server-handled option"},
        {"59|x", "59-Option Error\nRebinding (T2) Time Value is a server-handled option"},
        {"61|x", "61-Option Error\nClient-identifier is a client-only option"},
        {"77|x", "77-Option Error\nUser Class is a client-only option"},
        {"80|x", "80-Option Error\nRapid Commit is a server-handled/not implemented option"},
        {"81|x", "81-Option Error\nDHCP Client FQDN is a client-only option"},
        {"82|x", "82-Option Error\nRelay Agent Information is a relay-handled option"},
        {"90|x", "90-Option Error\nAuthentication Option is not implemented"},
        {"91|x", "91-Option Error\nClient-last-transaction-time is a server-handled/not implemented option"},
        {"92|x", "92-Option Error\nAssociated-ip is a server-handled/not implemented option"},
        {"93|x", "93-Option Error\nClient System Architecture Type is a client-only option"},
        {"94|x", "94-Option Error\nClient Network Interface Identifier is a client-only option"},
        {"97|x", "97-Option Error\nClient Machine Identifier is a client-only option"},
        {"118|x", "118-Option Error\nSubnet Selection is a client-only option"},
        {"124|x", "124-Option Error\nV-I Vendor Class is a client-only option"},
        {"125|x", "125-Option Error\nV-I Vendor-specific Information is a client-only option"},
        {"255|x", "255-Option Error\nEND is a server-handled option"},
        // Message variants of the remaining kinds.
        {"16|0.0.0.0", "16-Format Error\nSwap Server option invalid IP address/es\nSee example:\n16|192.168.20.20"},
        {"21|1.2.3.4,1.2.3.999",
         "21-Format Error\nPolicy Filter option invalid IP address/es\nSee example:\n21|192.168.20.20,255.255.255.0, "
         "..."},
        {"24|99999999999",
         "24-Format Error\nPath MTU Aging Timeout option should look like:\n24|X\t0 <= X <= 4294967295"},
        {"38|4294967296",
         "38-Format Error\nTCP Keepalive Interval Option option should look like:\n38|X\t0 <= x <= 4294967295"},
        {"13|x", "13-Format Error\nBoot File Size option should look like:\n13|X\t0 <= X <= 65535"},
        {"117|a",
         "117-Format Error\nName Service Search option should look like:\n117|0,6,41, ... (ordered list of DHCP name "
         "options)"},
        {"84|",
         "84 Format Error\nUnassigned options only support HEX or uninterpreted ASCII input\nSee examples:\n84|text\t1 "
         "< text Length < 255\n84|0x010203abcdef ..."},
        {"250|0x", "250-251 Format Error\nCustom option HEX input should look like:\n250|0x010203abcdef ..."},
        {"102|0x1", "102-115 Format Error\nUnassigned option HEX input should look like:\n102|0x010203abcdef ..."},
        {"121|1.2.3.4,1.2.3.4,1.2.3.999",
         "121-Format Error\nClassless Route option invalid IP address/es\nSee "
         "example:\n121|<-subnet1->,<-mask1->,<-router1->, ...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ..."},
        {"249|x",
         "249-Format Error\nClassless Route option (MS) should look like:\n249|<-subnet1->,<-mask1->,<-router1->, "
         "...\n121|10.27.129.0,255.255.255.0,192.168.20.1, ..."},
        {"43|text", "43-Format Error\nVendor-specific information option should look like:\n43|0x010203abcdef ..."},
    };
    for (const auto& c : cases) {
        uint8_t out[7056] = {};
        std::string msg;
        EXPECT_EQ(parseDhcpOption(c.text, out, sizeof out, &msg), 0) << c.text;
        EXPECT_EQ(msg, c.message) << c.text;
    }
}

TEST(DhcpOption, BootFileListAgainstTable) {
    std::string msg;
    ArchBootTable t{};
    ASSERT_EQ(parseDhcpOption("67|\\a.0", reinterpret_cast<uint8_t*>(&t), sizeof t, &msg), 1) << msg;
    EXPECT_EQ(+t.rows[0].code, 0x43);
    EXPECT_EQ(+t.rows[0].length, 4);
    // A boot file that names other files refuses the option.
    ArchBootTable boot{};
    ASSERT_EQ(parseArchFileList("\\b.0", &boot), 0);
    EXPECT_EQ(parseDhcpOption("67|\\a.0", reinterpret_cast<uint8_t*>(&boot), sizeof boot, &msg), 0);
    EXPECT_EQ(msg, "67-Consistency Error\nDHCP Option 67 and Boot File parsed settings\ndo not match");
    ArchBootTable same{};
    ASSERT_EQ(parseArchFileList("\\a.0", &same), 0);
    EXPECT_EQ(parseDhcpOption("67|\\a.0", reinterpret_cast<uint8_t*>(&same), sizeof same, &msg), 1);
    EXPECT_EQ(parseDhcpOption(("67|" + std::string(127, 'x')).c_str(), reinterpret_cast<uint8_t*>(&t), 100, &msg), 0);
    ArchBootTable big{};
    EXPECT_EQ(
        parseDhcpOption(("67|" + std::string(128, 'x')).c_str(), reinterpret_cast<uint8_t*>(&big), sizeof big, &msg),
        0);
    EXPECT_EQ(msg,
              "67-Format Error\nPlease verify Bootfile_X length < "
              "128\n67|<arch_0?>Bootfile_0<|arch_1?Bootfile_1>...<|arch_b?Bootfile_b>");
}

}  // namespace
