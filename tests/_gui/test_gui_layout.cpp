// Tab rules, control growth and saved window positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "_gui/control_ids.h"
#include "_gui/list_views.h"
#include "_gui/window_layout.h"

namespace {
std::vector<std::string> Texts(uint32_t mask)
{
    std::vector<std::string> out;
    for (const TabRow& t : TabsForMask(mask))
        out.push_back(t.text);
    return out;
}
}  // namespace

TEST(GuiTabs, TabsFollowTheConfiguredMask)
{
    using V = std::vector<std::string>;
    struct Case {
        uint32_t mask;
        V tabs;
    };
    const Case cases[] = {
        {0x0, {}},
        {0x1, {"TFTP", "Log"}},
        {0x5, {"TFTP", "DHCP", "Log"}},
        {0x205, {"TFTP", "DHCP", "BINL", "Log"}},
        {0x104, {"PDHCP", "Log"}},
        {0x304, {"PDHCP", "BINL", "Log"}},
        {0x200, {}},
        {0x600, {"Log"}},  // NFS alone shows the log
        {0x7FF, {"HTTP", "FTP", "TFTP", "TFTPC", "PDHCP", "BINL", "DNS", "SNTP", "SYSLOG", "Log"}},
        {0x3B, {"TFTP", "TFTPC", "DNS", "SNTP", "SYSLOG", "Log"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Texts(c.mask), c.tabs) << std::hex << c.mask;
    EXPECT_EQ(PageBit(-1), 0x800u);
    EXPECT_EQ(PageBit(10), 0x400u);
}

// The lists' table and the layout name the same controls: every list has its place.
TEST(GuiLayout, EveryListHasItsPlace)
{
    for (const ListSpec& spec : kListSpecs) {
        const auto row = std::find_if(std::begin(kLayoutTable), std::end(kLayoutTable),
                                      [&](const LayoutRow& r) { return r.id == spec.control; });
        ASSERT_NE(row, std::end(kLayoutTable)) << spec.control;
        EXPECT_EQ(row->kind, CK_LIST) << spec.control;
    }
    EXPECT_EQ(std::count_if(std::begin(kLayoutTable), std::end(kLayoutTable),
                            [](const LayoutRow& r) { return r.kind == CK_LIST && r.id != CTL_MAIN_LOG_LIST; }),
              static_cast<long>(std::size(kListSpecs)));
}

TEST(GuiLayout, ControlsGrowByTheirFactors)
{
    const LayoutRow* banner = nullptr;
    const LayoutRow* log = nullptr;
    for (const LayoutRow& r : kLayoutTable) {
        if (r.id == CTL_MAIN_BANNER)
            banner = &r;
        if (r.id == CTL_MAIN_LOG_LIST)
            log = &r;
    }
    ASSERT_TRUE(banner && log);
    EXPECT_EQ(GrowRect({-140, 200, 630, 73}, *banner, 101, 40), (Rect{-90, 240, 630, 73}));
    EXPECT_EQ(GrowRect({8, 28, 340, 190}, *log, 101, 40), (Rect{8, 28, 441, 230}));
    EXPECT_EQ(GrowRect({8, 28, 340, 190}, *log, -7, -3), (Rect{8, 28, 333, 187}));
    // Integer tenths, truncated toward zero.
    EXPECT_EQ(GrowRect({0, 0, 630, 73}, *banner, -7, 9), (Rect{-3, 9, 630, 73}));
    EXPECT_EQ(GrowRect({0, 0, 630, 73}, *banner, 7, 9), (Rect{3, 9, 630, 73}));
}

TEST(GuiWindowPos, SavedPositionsAreCheckedAgainstTheVirtualScreen)
{
    const Rect vs{0, 0, 1920, 1080};
    struct Case {
        const char* text;
        bool restored;
    };
    const Case cases[] = {
        {"100,50,800,600", true},   {"", false},
        {"100,50,800", false},      {"a,b,c,d", false},
        {"-900,50,19,600", false},                                // right - 20 left of the screen
        {"-900,50,20,600", true},   {"1920,50,2500,600", false},  // left edge exactly at the right end
        {"1919,50,2500,600", true}, {"100,-21,800,600", false},   // top more than 20 above the screen
        {"100,-20,800,600", true},  {"100,1080,800,1500", false},
        {"800,50,100,600", false},  // empty rectangle
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseWindowPos(c.text, vs).has_value(), c.restored) << c.text;
    const auto r = ParseWindowPos(FormatWindowPos({-5, 7, 700, 500}), vs);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->left, -5);
    EXPECT_EQ(r->bottom, 500);
}
