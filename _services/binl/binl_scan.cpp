#include "_services/binl/binl_scan.h"

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_records.h"

#include <cstdio>

namespace {
// A path for a log line: control characters shown as \xNN, so the line stays one line.
std::string PrintablePath(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}
}  // namespace

int ScanHeadFolders(const BinlContext& ctx, const char* kind, const std::string& readme,
                    const std::function<int(const std::string& head)>& build, int* count, uint32_t* stamp) {
    *count = 0;
    std::string folder = ctx.root + "/" + kind;
    MakePathAndWriteFile(folder, "NimboReadme.txt", readme.data(), readme.size(), BINL_CREATE_NEW);
    int changed = 0;
    for (const FolderEntry& e : ListFolder(folder)) {
        if (!e.isFolder || StartsWithNoCase(e.name, "off_")) continue;
        std::string asset = folder + "/" + e.name;
        if (!IsUsableHeadFolder(e.name)) {
            BinlLog("BINL Err: Head dir \"%s\" contains spaces and/or invalid characters; Skipped",
                    PrintablePath(asset).c_str());
            continue;
        }
        int rc = build(e.name);
        if (rc == 1) changed = 1;
        if (rc >= 0) XorFindDataStamp(asset, stamp);
        if (IsRegularFile(asset + "/" + kNimboFolder + "/" + kBinlDataFile)) ++*count;
    }
    return changed;
}
