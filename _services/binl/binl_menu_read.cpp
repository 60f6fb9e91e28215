// Reading menu files back as classified lines.
#include <cstdio>
#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_menu.h"
#include "_services/host_records.h"
#include "libs/regex/regex_engine.h"

namespace {

struct Rule {
    const char* pattern;
    int type;
};
const Rule kRules[] = {
    {"^[ \\t]*(?i)LABEL[ \\t]+", MENU_LABEL},
    {"^[ \\t]*(?i)MENU[ \\t]+(?i)LABEL[ \\t]+.*\\r\\n", MENU_MENU_LABEL},
    {"^[ \\t]*(?i)MENU[ \\t]+(?i)BEGIN[ \\t]+.*\\r\\n", MENU_BEGIN},
    {"^[ \\t]*(?i)MENU[ \\t]+(?i)END[ \\t]*\\r\\n", MENU_END},
    {"^[ \\t]*(?i)MENU[ \\t]+(?i)SEPARATOR[ \\t]*\\r\\n", MENU_SEPARATOR},
    {"^[ \\t]*(?i)MENU[ \\t]+(?i)TITLE[ \\t]+.*\\r\\n", MENU_TITLE},
};
// Asset entries; each pattern ends in one backslash, which stands for itself.
const char* const kAssetLabels[] = {
    "^[ \\t]*(?i)LABEL[ \\t]+(?i)WIA_RIS\\",
    "^[ \\t]*(?i)LABEL[ \\t]+(?i)WIA_WDS\\",
    "^[ \\t]*(?i)LABEL[ \\t]+(?i)NWA_PXE\\",
};
// The program's default title of any version, with an optional edition tag.
const char* const kOldTitle =
    "^[ \\t]*(?i)MENU[ \\t]+(?i)TITLE[ \\t]+Nimbo( \\([^)]*\\))? v\\d{1,2}.\\d{1,2}.\\d{1,2} "
    "multi-OS PXE Boot/Install Menu\\r\\n";

// Whether the label text of a LABEL line has a ".." component or is absolute.
bool LabelEscapes(const std::string& line) {
    size_t i = line.find_first_not_of(" \t");
    i = line.find_first_of(" \t", i);  // past the keyword
    i = line.find_first_not_of(" \t", i);
    if (i == std::string::npos) return false;
    size_t end = line.find_first_of(" \t\r\n", i);
    std::string label = line.substr(i, end == std::string::npos ? std::string::npos : end - i);
    if (!label.empty() && (label[0] == '\\' || label[0] == '/')) return true;
    size_t start = 0;
    while (start <= label.size()) {
        size_t sep = label.find_first_of("\\/", start);
        std::string part = label.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (part == "..") return true;
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
    return false;
}

}  // namespace

bool IsOldDefaultTitle(const std::string& text) { return RegexMatchWhole(text.c_str(), kOldTitle); }

std::string DefaultTitleLine() {
    return std::string("menu title") + std::string(9, ' ') + ProgramTitle + " multi-OS PXE Boot/Install Menu\r\n";
}

MenuLine ClassifyMenuLine(const std::string& text) {
    MenuLine line;
    line.text = text;
    for (const Rule& r : kRules) {
        if (!RegexSearch(text.c_str(), r.pattern)) continue;
        line.type = r.type;
        break;
    }
    if (line.type == MENU_LABEL) {
        line.mark = MARK_OTHER_LABEL;
        for (const char* p : kAssetLabels)
            if (RegexSearch(text.c_str(), p)) line.mark = MARK_ASSET;
        if (line.mark == MARK_ASSET && LabelEscapes(text)) line.mark = MARK_OTHER_LABEL;
    }
    if (line.type == MENU_TITLE && IsOldDefaultTitle(text)) line.text = DefaultTitleLine();
    return line;
}

int ReadMenuFile(std::vector<MenuLine>* lines, const std::string& path) {
    if (!PathExists(path)) return -1;
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) {
        BinlLog("BINL Err: \"rb\" opening %s", path.c_str());
        return -1;
    }
    char piece[5120];
    int rc = 0;
    while (std::fgets(piece, sizeof piece, f)) lines->push_back(ClassifyMenuLine(piece));
    if (std::ferror(f)) {
        BinlLog("BINL Err: Reading %s", path.c_str());
        rc = -1;
    }
    std::fclose(f);
    return rc;
}
