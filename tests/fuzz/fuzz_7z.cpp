// 7z extraction from a buffer into a private folder, by name and by pattern, and into memory.
#include <string>

#include "libs/wim/archive_extract.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    static const std::string out = FuzzFolder() + "/7z";
    std::string cmd = "rm -rf '" + out + "'";
    if (system(cmd.c_str()) != 0) return 0;
    ExtractFrom7zBuffer(data, static_cast<uint32_t>(size), "*", out.c_str(), 0, true, true);
    ExtractFrom7zBuffer(data, static_cast<uint32_t>(size), "a.txt", out.c_str(), 0, false, false);
    std::string mem;
    ExtractItemToMemory(data, static_cast<uint32_t>(size), "a.txt", mem);
    return 0;
}
