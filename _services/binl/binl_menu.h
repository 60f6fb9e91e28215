// The PXE menu files pxenimbo.cfg/menu.def: building them from the prepared assets,
// installing them only when changed, and reading them back as classified lines.
#pragma once
#include <string>
#include <vector>

#include "_services/binl/binl_context.h"

// The platform of a menu path (root/BM/PXENIMBO/<platform>/pxenimbo.cfg/menu.def), or -1.
int MenuPlatformOfPath(const std::string& menuPath);

// The fixed text that starts every menu.def of a platform.
std::string MenuHeaderText(int platform);

// One RIS or WDS entry (kind "WIA_RIS" or "WIA_WDS").
std::string MenuAssetEntryText(const char* kind, const std::string& head, int number, const std::string& product,
                               const std::string& platformText, bool defaultLine, const std::string& kernel,
                               const std::string& bootFile);
// One NWA entry.
std::string MenuNwaEntryText(const std::string& head, int number, const std::string& product,
                             const std::string& platformText, const std::string& kernel, const std::string& append,
                             const std::string& ipappend);

// Builds the menu of the platform named by the path from every asset with a NimboBINL.dat
// (WIA_RIS for BIOS only, WIA_WDS, NWA_PXE except for the ARM platforms) and installs it
// when its content changed. 0 or -1.
int BinlBuildMenuDef(const BinlContext& ctx, const std::string& menuPath);

// The WDS entries (labels "WIA_WDS\\<head>\\") that the EFI32 and EFI64 menus leave out
// because their clients cannot chain to them (boot-manager mode 1); empty in mode 3.
std::vector<std::string> WdsEntriesLeftOutOfEfiMenus(const BinlContext& ctx);

// 1 (and the message) when root/kind/off_<head> exists, else 0.
int CheckOffDuplicate(const std::string& root, const char* kind, const std::string& head);

// Installs newFile as target when target is missing or differs in size or bytes; the old
// target is kept as target.bak. 0 done or nothing to do, -1 failure, 1 the first copy failed.
int InstallIfChanged(const std::string& newFile, const std::string& target);

// Whether a head folder takes part: not "off_" (without case), no blank, no '?' and no
// control character.
bool IsUsableHeadFolder(const std::string& name);

// Line types and marks of ReadMenuFile.
enum MenuLineType : int {
    MENU_OTHER = 0,
    MENU_LABEL = 1,
    MENU_MENU_LABEL = 2,
    MENU_BEGIN = 4,
    MENU_END = 8,
    MENU_SEPARATOR = 16,
    MENU_TITLE = 32,
};
enum MenuLineMark : int { MARK_NONE = 0, MARK_ASSET = 4, MARK_OTHER_LABEL = 16 };

struct MenuLine {
    std::string text;  // with its line end
    int type = MENU_OTHER;
    int mark = MARK_NONE;
};

// Classifies one line (with its line end). An asset LABEL whose path holds a ".." component
// is not taken as an asset entry (mark 16), since readers join it to the TFTP root.
MenuLine ClassifyMenuLine(const std::string& text);
// Whether the line is a menu title line holding the program's default title of any version.
bool IsOldDefaultTitle(const std::string& text);
// The default title line that replaces such a line.
std::string DefaultTitleLine();

// Reads a menu file as classified lines (pieces of at most 5119 bytes). 0 or -1.
int ReadMenuFile(std::vector<MenuLine>* lines, const std::string& path);
