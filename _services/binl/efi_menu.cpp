#include "_services/binl/efi_menu.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/binl_records.h"
#include "libs/wim/wim_entry.h"

namespace {

constexpr int kMaxLoaders = 99;  // two digits in the GUID and in the menu text

struct StorePlatform {
    int platform;
    int bit;
    const char* tempName;
};
constexpr StorePlatform kPlatforms[] = {
    {PLATFORM_EFI32, kWimBitX86, "bcd_x86"},
    {PLATFORM_EFI64, kWimBitX64, "bcd_x64"},
    {PLATFORM_EFIARM32, kWimBitArm, "bcd_ARM"},
    {PLATFORM_EFIARM64, kWimBitArm64, "bcd_ARM64"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Skips blanks, then the keyword (without case); the position after it, or npos.
size_t Keyword(const std::string& s, size_t at, const char* word, bool needBlanksAfter) {
    while (at < s.size() && IsBlank(s[at])) ++at;
    size_t n = std::strlen(word);
    if (s.size() < at + n || !StartsWithNoCase(s.substr(at, n), word)) return std::string::npos;
    at += n;
    if (needBlanksAfter) {
        if (at >= s.size() || !IsBlank(s[at])) return std::string::npos;
        while (at < s.size() && IsBlank(s[at])) ++at;
    }
    return at;
}

// The line without its line end.
std::string Cut(const std::string& text) {
    size_t end = text.find_first_of("\r\n");
    return end == std::string::npos ? text : text.substr(0, end);
}

// The text of a "LABEL WIA_WDS\..." line, or empty when the line is no such label.
std::string WdsLabelText(const std::string& line) {
    size_t at = Keyword(line, 0, "LABEL", true);
    if (at == std::string::npos || !StartsWithNoCase(line.substr(at), "WIA_WDS\\")) return {};
    return TrimSpaces(line.substr(at));
}

bool IsMenuHide(const std::string& line) {
    size_t at = Keyword(line, 0, "MENU", true);
    if (at == std::string::npos) return false;
    at = Keyword(line, at, "HIDE", false);
    if (at == std::string::npos) return false;
    while (at < line.size() && IsBlank(line[at])) ++at;
    return at == line.size();
}

// A label joined to the TFTP root must stay below it.
bool LabelStaysBelowRoot(const std::string& label) {
    if (label.empty() || label[0] == '\\' || label[0] == '/') return false;
    size_t pos = 0;
    while (pos <= label.size()) {
        size_t end = label.find_first_of("\\/", pos);
        if (end == std::string::npos) end = label.size();
        if (label.compare(pos, end - pos, "..") == 0) return false;
        pos = end + 1;
    }
    return true;
}

// The text of a MENU LABEL line after "^ nn)" or "^ ".
std::string MenuLabelText(const std::string& line) {
    size_t at = Keyword(line, 0, "MENU", true);
    if (at != std::string::npos) at = Keyword(line, at, "LABEL", true);
    if (at == std::string::npos) return TrimSpaces(line);
    if (at < line.size() && line[at] == '^') {
        size_t p = at + 1;
        while (p < line.size() && line[p] == ' ') ++p;
        size_t digits = p;
        while (p < line.size() && p - digits < 3 && line[p] >= '0' && line[p] <= '9') ++p;
        if (p > digits && p < line.size() && line[p] == ')') return TrimSpaces(line.substr(p + 1));
        if (at + 1 < line.size() && line[at + 1] == ' ') return TrimSpaces(line.substr(at + 2));
    }
    return TrimSpaces(line.substr(at));
}

std::string TitleText(const std::string& line) {
    size_t at = Keyword(line, 0, "MENU", true);
    if (at != std::string::npos) at = Keyword(line, at, "TITLE", false);
    if (at == std::string::npos) return {};
    return TrimSpaces(line.substr(at));
}

struct Entry {
    bool active = false;
    std::string ramdiskPath;
    std::string loadOptions;
    int bit = 0;
};

}  // namespace

std::string EfiLoaderGuid(int n) {
    char guid[48];
    std::snprintf(guid, sizeof guid, "{51554E44-415F-4C4F-4D42-415249584F%02d}", n);
    return guid;
}

std::string DefaultEfiMenuTitle() { return "Nimbo v4.6.0 multi-OS PXE Boot/Install EFI Menu"; }

int BcdAddLoaderEntry(hive_h* h, const std::string& guid, const std::string& ramdiskPath,
                      const std::string& description, const std::string& loadOptions) {
    hive_node_h e = BcdCreateObject(h, guid, 0x10200003);
    BcdSetString(h, e, 0x12000004, description);
    BcdSetString(h, e, 0x22000002, "\\Windows");
    BcdSetBoolean(h, e, 0x26000010, 1);
    BcdSetBoolean(h, e, 0x26000022, 1);
    const std::vector<uint8_t> device = BcdRamdiskDevice(ramdiskPath);
    BcdSetBinary(h, e, 0x11000001, device.data(), device.size());
    BcdSetBinary(h, e, 0x21000001, device.data(), device.size());
    BcdSetString(h, e, 0x12000030, loadOptions);
    BcdSetBoolean(h, e, 0x16000040, 0);
    return 0;
}

int BcdAddBootManager(hive_h* h, const std::string& title, const char* list, size_t length,
                      const std::string& fontsPath) {
    hive_node_h e = BcdCreateObject(h, kBcdBootManagerGuid, 0x10100002);
    BcdSetInteger(h, e, 0x25000004, 0);
    BcdSetBoolean(h, e, 0x26000020, 1);
    BcdSetString(h, e, 0x12000004, title);
    BcdSetStringList(h, e, 0x24000001, list, length);
    BcdSetBoolean(h, e, 0x16000048, 1);
    BcdSetBoolean(h, e, 0x260000b0, 0);
    BcdSetString(h, e, 0x1200004a, fontsPath);
    return 0;
}

int BcdAddRamdiskOptions(hive_h* h, const std::string& sdiPath) {
    hive_node_h e = BcdCreateObject(h, kBcdRamdiskOptionsGuid, 0x30000000);
    BcdSetInteger(h, e, 0x35000008, 8);
    BcdSetString(h, e, 0x32000004, sdiPath);
    const std::vector<uint8_t> boot = BcdBootDevice();
    BcdSetBinary(h, e, 0x31000003, boot.data(), boot.size());
    return 0;
}

int BinlBuildEfiMenu(const BinlContext& ctx, const std::string& menuPath, const std::string& storePath) {
    // The platform is the folder the store lies in.
    size_t slash = storePath.find_last_of('/');
    std::string folder = slash == std::string::npos ? std::string() : storePath.substr(0, slash);
    folder = folder.substr(folder.find_last_of('/') + 1);
    const StorePlatform* sp = nullptr;
    for (const StorePlatform& p : kPlatforms)
        if (folder == PlatformFolder(p.platform)) sp = &p;
    if (!sp) return 0;

    const std::string temp = ctx.tempFolder + sp->tempName;
    hive_h* h = BcdCreateStore(temp);
    if (!h) {
        ::unlink(temp.c_str());
        return -1;
    }
    BcdAddRamdiskOptions(h, "\\BM\\MICROSOFT\\boot.sdi");

    std::vector<MenuLine> lines;
    std::string title = DefaultEfiMenuTitle();
    int count = 0;
    if (ReadMenuFile(&lines, menuPath) == 0) {
        // Which WDS labels are visible: a MENU HIDE before the next entry hides the last one.
        std::vector<bool> visible(lines.size(), false);
        long ref = -1;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string line = Cut(lines[i].text);
            const int type = lines[i].type;
            if (!WdsLabelText(line).empty()) {
                visible[i] = true;
                ref = long(i);
            } else if (type == MENU_LABEL || type == MENU_BEGIN || type == MENU_END || type == MENU_SEPARATOR) {
                ref = -1;
            } else if (IsMenuHide(line)) {
                if (ref >= 0) visible[size_t(ref)] = false;
                ref = -1;
            }
        }
        Entry entry;
        bool warned = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string line = Cut(lines[i].text);
            const int type = lines[i].type;
            if (visible[i]) {
                entry = Entry();
                const std::string label = WdsLabelText(line);
                if (label.size() <= 8 || !LabelStaysBelowRoot(label) || label.back() != '\\') continue;
                std::string rel = label;
                for (char& c : rel)
                    if (c == '\\') c = '/';
                const std::string asset = JoinPath(ctx.root, rel);
                const std::string nimbo = asset + kNimboFolder;
                if (!IsRegularFile(nimbo + "/bootmgfw.efi")) continue;
                std::string image = nimbo + "/boot/NimboBoot.wim";
                std::string inRoot = label + "_NIMBO_\\boot\\NimboBoot.wim";
                if (!IsRegularFile(image)) {
                    std::string first;
                    if (FindFirstWim(asset, &first, 260) > 0) {
                        image = nimbo + "/boot/Nimbo" + first;
                        inRoot = label + "_NIMBO_\\boot\\Nimbo" + first;
                        if (!IsRegularFile(image)) {
                            image = asset + first;
                            inRoot = label + first;
                        }
                    }
                }
                entry.bit = 0;  // an image that cannot be read adds no loader
                if (GetWimBootImageInfo(image.c_str(), nullptr, nullptr, &entry.bit, nullptr, nullptr) != 0)
                    entry.bit = 0;
                entry.ramdiskPath = "\\" + inRoot;
                entry.loadOptions =
                    "NIMBO_WIA_PATH=\\\\" + ctx.computerName + "\\WIA_WDS_SHARE\\" + label.substr(8, label.size() - 9);
                entry.active = true;
            } else if (type == MENU_LABEL || type == MENU_BEGIN || type == MENU_END || type == MENU_SEPARATOR) {
                entry = Entry();
            } else if (type == MENU_TITLE) {
                const std::string t = TitleText(line);
                if (!t.empty()) title = t;
            } else if (type == MENU_MENU_LABEL && entry.active) {
                if (entry.bit == sp->bit) {
                    if (count >= kMaxLoaders) {
                        if (!warned)
                            BinlLog("BINL Warn: More than %d entries for %s; the rest left out", kMaxLoaders,
                                    storePath.c_str());
                        warned = true;
                    } else {
                        const int number = count + 1;
                        char description[96];
                        std::string text = MenuLabelText(line);
                        std::snprintf(description, sizeof description, " %2d) %.70s", number, text.c_str());
                        std::string d = description;
                        if (d.size() > 64) d = d.substr(0, 63) + "...";
                        BcdAddLoaderEntry(h, EfiLoaderGuid(number), entry.ramdiskPath, d, entry.loadOptions);
                        count = number;
                    }
                }
                entry = Entry();
            }
        }
    }
    std::string order;
    for (int n = 1; n <= count; ++n) order += EfiLoaderGuid(n) + '\0';
    order += '\0';
    BcdAddBootManager(h, title, order.data(), order.size(),
                      std::string("\\BM\\MICROSOFT\\") + PlatformFolder(sp->platform) + "\\Fonts");
    if (BcdCommit(h) != 0) {
        ::unlink(temp.c_str());
        return -1;
    }
    if (PathExists(storePath)) CopyFileAtomic(storePath, storePath + ".bak");
    if (!CopyFileAtomic(temp, storePath)) BinlLog("BINL Err: Updating %s", storePath.c_str());
    ::unlink(temp.c_str());
    return 0;
}
