#include "_services/binl/binl_nwa.h"

#include <cstdio>
#include <string>
#include <vector>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_menu.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/binl_scan.h"
#include "_services/binl/binl_texts.h"
#include "libs/platform/profile.h"

namespace {

constexpr const char* kSection = "PXENIMBO_MENU_ENTRY";

std::string ReadKey(const std::string& inf, const char* key) {
    std::vector<char> buf(4096);
    GetProfileValue(kSection, key, "", buf.data(), static_cast<int>(buf.size()), inf.c_str());
    return std::string(buf.data());
}

struct KeySet {
    std::string kernel, append, ipappend;
    bool complete() const { return !kernel.empty() && !append.empty(); }
    bool incomplete() const { return kernel.empty() != append.empty(); }
    bool any() const { return !kernel.empty() || !append.empty() || !ipappend.empty(); }
};

KeySet ReadSet(const std::string& inf, const char* suffix) {
    KeySet s;
    s.kernel = ReadKey(inf, (std::string("kernel") + suffix).c_str());
    s.append = ReadKey(inf, (std::string("append") + suffix).c_str());
    s.ipappend = ReadKey(inf, (std::string("ipappend") + suffix).c_str());
    return s;
}

}  // namespace

std::string ExpandNwaTokens(const std::string& value, const std::string& computerName, const std::string& head) {
    struct Token {
        const char* name;
        const std::string* by;
    } tokens[] = {{"$COMP_NAME$", &computerName}, {"$HEAD_DIR$", &head}};
    std::string text = value;
    for (const Token& t : tokens) {
        std::string out;
        size_t pos = 0;
        size_t n = std::string(t.name).size();
        while (const char* hit = FindTextNoCase(text.c_str() + pos, t.name)) {
            size_t at = static_cast<size_t>(hit - text.c_str());
            out.append(text, pos, at - pos);
            out += *t.by;
            pos = at + n;
        }
        out.append(text, pos, std::string::npos);
        text = out;
    }
    return text;
}

int NwaBuildAsset(const BinlContext& ctx, const std::string& head, bool* shareUsed) {
    std::string asset = ctx.root + "/NWA_PXE/" + head;
    std::string inf = ResolveNoCase(asset, "NimboAsset.inf");
    if (!IsRegularFile(inf)) return -1;
    if (!IsAsciiFile(inf)) {
        BinlLog("BINL Err: Found non-ASCII chars in %s", inf.c_str());
        return -1;
    }
    std::string nimbo = asset + "/" + kNimboFolder;
    if (MakePathAndWriteFile(nimbo, nullptr, nullptr, 0, BINL_CREATE_NEW) != 0) return -1;
    std::string dat = nimbo + "/" + kBinlDataFile;
    uint32_t stamp = Crc32Update(Crc32UpdateFile(0, inf), head);

    BinlAssetHeader old;
    if (IsRegularFile(dat) && ReadAssetHeader(dat, &old) && old.version == kBinlVersion &&
        HeaderText(old.computerName) == ctx.computerName && old.assetStamp == stamp) {
        if (old.refreshed) {
            old.refreshed = 0;
            if (!RewriteAssetHeader(dat, old)) {
                BinlLog("BINL Err: Updating %s", dat.c_str());
                return -1;
            }
        }
        return 0;
    }

    BinlAssetHeader h = NewAssetHeader();
    std::string assetName = ReadKey(inf, "asset");
    if (assetName.empty()) {
        BinlLog("BINL Err: \"asset\" not defined in %s", inf.c_str());
        return -1;
    }
    std::string platform = ReadKey(inf, "platform");
    if (platform.empty()) {
        BinlLog("BINL Err: \"platform\" not defined in %s", inf.c_str());
        return -1;
    }
    SetHeaderText(h.product, assetName, 70);
    SetHeaderText(h.platform, platform, 24);
    SetHeaderText(h.computerName, ctx.computerName);
    h.assetStamp = stamp;
    h.refreshed = 1;

    KeySet older = ReadSet(inf, "");
    KeySet sets[3] = {ReadSet(inf, "_bios"), ReadSet(inf, "_efi32"), ReadSet(inf, "_efi64")};
    if (!older.complete() && !sets[0].complete() && !sets[1].complete() && !sets[2].complete()) {
        BinlLog("BINL Err: \"kernel/append\" set not defined in %s", inf.c_str());
        return -1;
    }
    if (older.any() && sets[0].any()) {
        BinlLog("BINL Err: \"xxx_bios\" and \"xxx\" parameters cannot coexist in %s", inf.c_str());
        return -1;
    }
    if (older.incomplete() || sets[0].incomplete() || sets[1].incomplete() || sets[2].incomplete()) {
        BinlLog("BINL Err: incomplete \"kernel/append\" set/s in %s", inf.c_str());
        return -1;
    }
    if (older.any()) {
        bool ip = !older.ipappend.empty();
        BinlLog("BINL Warn: Update parameters \"kernel/append%s\" to \"kernel_BIOS/append_BIOS%s\" in %s",
                ip ? "/ipappend" : "", ip ? "/ipappend_BIOS" : "", inf.c_str());
        sets[0] = older;
    }

    std::vector<uint8_t> records;
    bool share = false;
    for (const KeySet& s : sets) {
        if (!s.complete()) {
            for (int i = 0; i < 3; ++i) AppendMenuStringRecord(&records, "");
            continue;
        }
        std::string append = ExpandNwaTokens(s.append, ctx.computerName, head);
        if (FindTextNoCase(append.c_str(), "NWA_PXE_SHARE")) share = true;
        AppendMenuStringRecord(&records, ExpandNwaTokens(s.kernel, ctx.computerName, head));
        AppendMenuStringRecord(&records, append);
        AppendMenuStringRecord(&records, s.ipappend);
    }
    if (!WriteAssetFile(dat, h, records)) {
        BinlLog("BINL Err: Writing to %s", dat.c_str());
        return -1;
    }
    BinlLog("BINL Inf: Created\t\tOK, %s", dat.c_str());
    if (share) *shareUsed = true;
    return 1;
}

int NwaScanAssets(const BinlContext& ctx, int* count, bool* shareUsed, uint32_t* stamp) {
    *shareUsed = false;
    return ScanHeadFolders(
        ctx, "NWA_PXE", NwaReadmeText(), [&](const std::string& head) { return NwaBuildAsset(ctx, head, shareUsed); },
        count, stamp);
}
