// WIM files: header, lookup table, metadata and XML read, files extracted, and the in-place
// update run on a copy of the mutated image.
#include <unistd.h>

#include <string>

#include "libs/wim/archive_extract.h"
#include "libs/wim/wim_entry.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (4u << 20)) return 0;
    std::string wim = WriteInputFile("input.wim", data, size);
    static const std::string out = FuzzFolder() + "/wimout";
    if (system(("rm -rf '" + out + "'").c_str()) != 0) return 0;
    ExtractFromWimFile(wim.c_str(), "1\\*", out.c_str(), 0, true, true);
    char name[256] = {};
    uint32_t capLen = sizeof name;
    int bits = 0, major = 0, minor = 0;
    GetWimImagesSummary(wim.c_str(), name, &capLen, &bits, &major, &minor);
    uint32_t boot = 0;
    int arch = 0;
    GetWimBootImageArch(wim.c_str(), &boot, &arch);
    static const std::string added = WriteInputFile("added.txt", reinterpret_cast<const uint8_t*>("nimbo"), 5);
    std::vector<arc::CDirItem> items(1);
    items[0].FullPath = added;
    items[0].Name = u"NimboAsset.inf";
    items[0].ImagePath = u"\\Windows\\System32\\NimboAsset.inf";
    items[0].ImageIndex = 1;
    items[0].Size = 5;
    std::string copy = FuzzFolder() + "/copy.wim";
    WimUpdateCopy(wim.c_str(), copy.c_str(), items);
    unlink(copy.c_str());
    return 0;
}
