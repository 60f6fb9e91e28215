// Menu files: reading and classifying every line, and the title rules.
#include <vector>

#include "_services/binl/binl_menu.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = WriteInputFile("menu.def", data, size);
    std::vector<MenuLine> lines;
    ReadMenuFile(&lines, path);
    for (const MenuLine& l : lines) IsOldDefaultTitle(l.text);
    std::string text(reinterpret_cast<const char*>(data), size);
    ClassifyMenuLine(text);
    IsUsableHeadFolder(text);
    return 0;
}
