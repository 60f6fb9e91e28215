// WDS assets made by the tests: a medium tree whose boot.wim and install images are made by
// wimlib-imagex, with small PE boot managers carrying version resources.
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <string>

#include "_services/binl/binl_context.h"
#include "tests/_services/binl/binl_test_util.h"
#include "tests/_services/binl/pe_builder.h"

inline std::string Shell(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}
inline bool Sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

inline std::string PeFile(uint32_t ms, uint32_t ls) {
    pe_builder::PeSpec spec;
    spec.ms = ms;
    spec.ls = ls;
    std::vector<uint8_t> img = pe_builder::BuildImage(spec);
    return std::string(img.begin(), img.end());
}

struct WdsMedium {
    int arch = 9;                     // WINDOWS/ARCH of the boot image
    uint32_t bootmgrLs = 0x4A610001;  // 10.0.19041.1
    bool esd = false;                 // install.esd (solid) in place of install.wim
    std::string installName = "Windows 11 Pro";
};

// Makes root/WIA_WDS/<head> as a medium with mixed-case file names.
inline void MakeWdsMedium(const std::string& root, const std::string& head, const WdsMedium& m = {}) {
    const std::string asset = root + "/WIA_WDS/" + head;
    const std::string work = asset + ".work";
    WriteFile(asset + "/BOOT/Boot.sdi", "SDI image");
    WriteFile(work + "/pe/Windows/Boot/PXE/pxeboot.n12", PeFile(0x000A0000, m.bootmgrLs));
    WriteFile(work + "/pe/Windows/Boot/PXE/bootmgr.exe", PeFile(0x000A0000, m.bootmgrLs));
    WriteFile(work + "/pe/Windows/Boot/EFI/bootmgfw.efi", PeFile(0x000A0000, m.bootmgrLs));
    WriteFile(work + "/pe/Windows/Boot/Fonts/segmono_boot.ttf", "font 1");
    WriteFile(work + "/pe/Windows/Boot/Fonts/wgl4_boot.ttf", "font 2");
    WriteFile(work + "/pe/Windows/System32/winload.exe", "loader");
    WriteFile(work + "/os/Windows/explorer.exe", "shell");
    std::filesystem::create_directories(asset + "/sources");
    const std::string boot = asset + "/sources/BOOT.WIM";
    ASSERT_TRUE(Sh("wimlib-imagex capture '" + work + "/pe' '" + boot + "' 'Microsoft Windows PE' --boot"));
    ASSERT_TRUE(Sh("wimlib-imagex info '" + boot + "' 1 --image-property WINDOWS/ARCH=" + std::to_string(m.arch)));
    const std::string install = asset + (m.esd ? "/sources/install.esd" : "/sources/install.wim");
    ASSERT_TRUE(Sh("wimlib-imagex capture '" + work + "/os' '" + install + "' '" + m.installName + "'" +
                   (m.esd ? " --solid" : "")));
    ASSERT_TRUE(Sh("wimlib-imagex info '" + install +
                   "' 1 --image-property WINDOWS/ARCH=9"
                   " --image-property WINDOWS/VERSION/MAJOR=10 --image-property WINDOWS/VERSION/MINOR=0"));
    std::filesystem::remove_all(work);
}

// A TFTP root with its context (computer NIMBOSRV, a private TEMP folder) and BM/MICROSOFT.
struct WdsRootTest : ::testing::Test {
    TempFolder root;
    BinlContext ctx;
    LogCapture log{LOG_BINL};
    void SetUp() override {
        ctx.root = root.path();
        ctx.computerName = "NIMBOSRV";
        ctx.tempFolder = root / "temp/";
        std::filesystem::create_directories(ctx.tempFolder);
        std::filesystem::create_directories(root / "BM/MICROSOFT/EFI64");
        std::filesystem::create_directories(root / "BM/MICROSOFT/EFI32");
    }
};
