// ReadMenuFile: line classification, old default titles, long lines.
#include "_services/binl/binl_files.h"
#include "_services/binl/binl_menu.h"
#include "tests/_services/binl/binl_test_util.h"

namespace {

TEST(MenuRead, Classification) {
    struct Case {
        const char* line;
        int type;
        int mark;
    } cases[] = {
        {"LABEL   WIA_RIS\\XP32\\\r\n", MENU_LABEL, MARK_ASSET},
        {"  label\twia_wds\\Win10\\\r\n", MENU_LABEL, MARK_ASSET},
        {"Label NWA_PXE\\Linux\\\r\n", MENU_LABEL, MARK_ASSET},
        {"LABEL   local\r\n", MENU_LABEL, MARK_OTHER_LABEL},
        {"LABEL   WIA_WDSX\\a\\\r\n", MENU_LABEL, MARK_OTHER_LABEL},
        {"LABEL   WIA_WDS\\..\\..\\etc\\\r\n", MENU_LABEL, MARK_OTHER_LABEL},
        {"LABEL   NWA_PXE\\a\\..\\\r\n", MENU_LABEL, MARK_OTHER_LABEL},
        {"LABEL   NWA_PXE\\a..b\\\r\n", MENU_LABEL, MARK_ASSET},
        {"LABELX\r\n", MENU_OTHER, MARK_NONE},
        {"   menu label   ^  1) Windows, x86\r\n", MENU_MENU_LABEL, MARK_NONE},
        {"MENU BEGIN tools\r\n", MENU_BEGIN, MARK_NONE},
        {"menu end\r\n", MENU_END, MARK_NONE},
        {"MENU END  \t\r\n", MENU_END, MARK_NONE},
        {"MENU END x\r\n", MENU_OTHER, MARK_NONE},
        {"menu separator\r\n", MENU_SEPARATOR, MARK_NONE},
        {"   MENU TITLE  My own title\r\n", MENU_TITLE, MARK_NONE},
        {"MENU TITLE x\n", MENU_OTHER, MARK_NONE},  // without CR LF
        {"MENU HIDE\r\n", MENU_OTHER, MARK_NONE},
        {"   kernel       pxechn.c32\r\n", MENU_OTHER, MARK_NONE},
        {"\r\n", MENU_OTHER, MARK_NONE},
    };
    for (const Case& c : cases) {
        MenuLine l = ClassifyMenuLine(c.line);
        EXPECT_EQ(l.type, c.type) << c.line;
        EXPECT_EQ(l.mark, c.mark) << c.line;
        EXPECT_EQ(l.text, c.line);
    }
}

TEST(MenuRead, OldDefaultTitlesAreReplaced) {
    const std::string current = "menu title         Nimbo v4.6.0 multi-OS PXE Boot/Install Menu\r\n";
    EXPECT_EQ(DefaultTitleLine(), current);
    struct Case {
        const char* line;
        bool replaced;
    } cases[] = {
        {"menu title Nimbo v4.5.2 multi-OS PXE Boot/Install Menu\r\n", true},
        {"MENU TITLE   Nimbo (x64) v3.10.11 multi-OS PXE Boot/Install Menu\r\n", true},
        {"menu title Nimbo v4-5-2 multi-OS PXE Boot/Install Menu\r\n", true},
        {"menu title Nimbo v4.6.0 multi-OS PXE Boot/Install Menu (BIOS)\r\n", false},
        {"menu title Nimbo v100.1.1 multi-OS PXE Boot/Install Menu\r\n", false},
        {"menu title My Nimbo v4.5.2 multi-OS PXE Boot/Install Menu\r\n", false},
    };
    for (const Case& c : cases) {
        MenuLine l = ClassifyMenuLine(c.line);
        EXPECT_EQ(l.type, MENU_TITLE) << c.line;
        EXPECT_EQ(l.text, c.replaced ? current : std::string(c.line)) << c.line;
    }
}

TEST(MenuRead, FileInPiecesAndErrors) {
    TempFolder dir;
    std::string longLine(6000, 'x');
    WriteFile(dir / "menu.def", "LABEL   WIA_WDS\\W\\\r\n" + longLine + "\r\nmenu end\r\nlast");
    std::vector<MenuLine> lines;
    ASSERT_EQ(ReadMenuFile(&lines, dir / "menu.def"), 0);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].mark, MARK_ASSET);
    EXPECT_EQ(lines[1].text.size(), 5119u);
    EXPECT_EQ(lines[2].text, std::string(6000 - 5119, 'x') + "\r\n");
    EXPECT_EQ(lines[3].type, MENU_END);
    EXPECT_EQ(lines[4].text, "last");
    lines.clear();
    EXPECT_EQ(ReadMenuFile(&lines, dir / "missing"), -1);
    LogCapture log(LOG_BINL);
    EXPECT_EQ(ReadMenuFile(&lines, dir.path()), -1);  // a folder cannot be read as a file
}

}  // namespace
