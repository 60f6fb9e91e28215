// What the BINL preparation knows about the server while it runs: the TFTP root, the
// computer name, the private temporary folder and the boot-manager mode.
#pragma once
#include <string>

struct BinlContext {
    std::string root;          // TFTP root without trailing separators
    std::string computerName;  // at most 15 characters
    std::string tempFolder;    // private temporary folder, ends with '/'
    int bmMode = 1;
};

// Platforms of the menus in their fixed order.
enum BinlPlatform : int {
    PLATFORM_BIOS = 0,
    PLATFORM_EFI32,
    PLATFORM_EFI64,
    PLATFORM_EFIARM32,
    PLATFORM_EFIARM64,
    PLATFORM_COUNT
};
// Folder names below BM/PXENIMBO and BM/MICROSOFT: "BIOS", "EFI32", ...
const char* PlatformFolder(int platform);
// Names written into menu texts: "BIOS", "EFI32", "EFI64", "ARM", "ARM64".
const char* PlatformMenuName(int platform);

// root/BM/PXENIMBO/<platform>/pxenimbo.cfg/menu.def
std::string MenuDefPath(const BinlContext& ctx, int platform);
