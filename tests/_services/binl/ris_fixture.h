// A RIS asset made by the tests: an I386 tree with the boot files (the compressed ones as
// gcab cabinets), PRODSPEC.INI, BIOSINFO.INF and network driver INF files.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>

#include "tests/_services/binl/binl_test_util.h"

// Makes a compressed (MSZIP) cabinet of the files of dir; the names are stored without paths.
inline bool MakeCab(const std::string& dir, const std::string& cab, const std::string& files) {
    std::string cmd = "cd '" + dir + "' && gcab -c -z -n '" + cab + "' " + files + " >/dev/null";
    return system(cmd.c_str()) == 0;
}

// A Net-class INF with one manufacturer line and one model per entry of models
// ("install,hardware id,driver file,service").
inline std::string NicInf(const std::string& manufacturerLine, const std::string& modelsSection,
                          const std::vector<std::string>& models) {
    std::string text =
        "; hand-written driver file\r\n[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
        "ClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider=%Maker%\r\n\r\n[Manufacturer]\r\n" +
        manufacturerLine + "\r\n\r\n[" + modelsSection + "]\r\n";
    std::string installs;
    for (const std::string& m : models) {
        std::vector<std::string> f;
        size_t pos = 0;
        for (;;) {
            size_t c = m.find(',', pos);
            f.push_back(m.substr(pos, c - pos));
            if (c == std::string::npos) break;
            pos = c + 1;
        }
        text += "%Card% = " + f[0] + ", " + f[1] + "\r\n";
        installs += "\r\n[" + f[0] + ".NTx86]\r\nCharacteristics = 0x84\r\nBusType = 5\r\nCopyFiles = " + f[0] +
                    ".Copy\r\n[" + f[0] + ".Copy]\r\n" + f[2] + ",,,2\r\n[" + f[0] +
                    ".NTx86.Services]\r\nAddService = " + f[3] + ", 2, svc.Service\r\n";
    }
    return text + installs + "\r\n[Strings]\r\nMaker = \"Maker\"\r\nCard = \"A network card\"\r\n";
}

// root/WIA_RIS/<head> with an I386 tree; returns the asset path.
inline std::string MakeRisAsset(const std::string& root, const std::string& head) {
    std::string asset = root + "/WIA_RIS/" + head;
    std::string i386 = asset + "/I386";
    WriteFile(i386 + "/NTDETECT.COM", "ntdetect bytes");
    WriteFile(i386 + "/setupldr.exe", std::string(30000, 'L') + "loader end");
    WriteFile(i386 + "/startrom.n12", "startrom bytes for the network");
    EXPECT_TRUE(MakeCab(i386, "SETUPLDR.EX_", "setupldr.exe"));
    EXPECT_TRUE(MakeCab(i386, "STARTROM.N1_", "startrom.n12"));
    std::filesystem::remove(i386 + "/setupldr.exe");
    std::filesystem::remove(i386 + "/startrom.n12");
    WriteFile(i386 + "/PRODSPEC.INI",
              "[Product Specification]\r\nProduct = \"Windows XP Professional\"\r\nLocalization=English \r\n"
              "ServicePackNumber=3\r\n");
    WriteFile(i386 + "/BIOSINFO.INF", "[Version]\r\nSignature=\"$Windows NT$\"\r\nDriverVer=07/01/2001,5.1.2600.0\r\n");
    WriteFile(i386 + "/NETFAST.INF", NicInf("%Maker% = Maker, NTx86.5.1", "Maker.NTx86.5.1",
                                            {"Fast.A,PCI\\VEN_8086&DEV_1229&SUBSYS_00018086,e100b325.sys,E100B",
                                             "Fast.B,PCI\\VEN_8086&DEV_1030,e100b325.sys,E100B"}));
    // A compressed INF: NETRTL.IN_ holds netrtl.inf.
    WriteFile(i386 + "/netrtl.inf",
              NicInf("%Maker% = Rtl", "Rtl", {"Rtl.A,PCI\\VEN_10EC&DEV_8139,rtl8139.sys,RTL8139"}));
    EXPECT_TRUE(MakeCab(i386, "NETRTL.IN_", "netrtl.inf"));
    std::filesystem::remove(i386 + "/netrtl.inf");
    // The drivers themselves: one in driver.cab, one compressed in the OEM folder.
    WriteFile(i386 + "/e100b325.sys", "intel driver bytes");
    EXPECT_TRUE(MakeCab(i386, "DRIVER.CAB", "e100b325.sys"));
    std::filesystem::remove(i386 + "/e100b325.sys");
    std::string oem = asset + "/$OEM$/$1/Drivers/NIC";
    WriteFile(oem + "/oemnic.inf",
              NicInf("%Maker% = Oem, NTx86", "Oem.NTx86", {"Oem.A,PCI\\VEN_14E4&DEV_1677,b57xp32.sys,b57w2k"}));
    WriteFile(oem + "/b57xp32.sys", "broadcom driver bytes");
    EXPECT_TRUE(MakeCab(oem, "b57xp32.sy_", "b57xp32.sys"));
    std::filesystem::remove(oem + "/b57xp32.sys");
    return asset;
}

// A datagram socket on 127.0.0.1 with a port of the system's choice.
inline int LoopbackUdp() {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int big = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    return s;
}
