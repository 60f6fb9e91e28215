// Constant tables and pure rules of the main window: which tabs a services mask shows,
// where each control goes as the window grows, and which saved positions are usable.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TabRow {
    const char* text;
    int page;
    uint32_t bits;
};
extern const TabRow kTabTable[11];

// The tabs to insert, in table order, for the configured services mask.
std::vector<TabRow> TabsForMask(uint32_t mask);
// Page bit of a page number; no page (no tab) gives 0x800.
inline uint32_t PageBit(int page) { return page < 0 ? 0x800u : (1u << page); }

enum ControlKind { CK_TEXT, CK_TAB, CK_BANNER, CK_LIST, CK_EDIT, CK_COMBO, CK_BUTTON, CK_PROGRESS, CK_NONE };

struct LayoutRow {
    int id;  // MainWindowControl
    ControlKind kind;
    const char* text;
    int x, y, w, h;      // dialog units
    int kx, ky, kw, kh;  // growth factors in tenths
    int32_t pages;       // page mask; -1 every page, 0 never
};
extern const LayoutRow kLayoutTable[31];

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool operator==(const Rect&) const = default;
};
// Position of a control for a window that has grown by dW x dH pixels beyond its initial size;
// base is the control's rectangle in pixels.
Rect GrowRect(const Rect& base, const LayoutRow& row, int dW, int dH);

// The rectangle narrowed, when it must be, to lie across the area's width with the margin
// on both sides (a control wider than the area takes its whole inner width).
Rect FitWidthInside(const Rect& r, int areaWidth, int margin);

// Initial placement and minimum tracking size, dialog units.
constexpr int kInitialX = 40, kInitialY = 30, kInitialRight = 267, kInitialBottom = 237;
constexpr int kMinTrackWidth = 400, kMinTrackHeight = 323;

// A saved "left,top,right,bottom" position, or nothing when it is malformed, lies off the
// virtual screen or is empty.
struct SavedRect {
    int left, top, right, bottom;
};
std::optional<SavedRect> ParseWindowPos(const std::string& text, const Rect& virtualScreen);
std::string FormatWindowPos(const SavedRect& r);
