// Drives the WIM engine for bench/wim_bench.sh:
//   nimbo_wim_bench extract WIM PATTERN OUTPUT_FOLDER
//   nimbo_wim_bench inject SOURCE DESTINATION IMAGE PATH_IN_IMAGE FILE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "libs/wim/item_select.h"
#include "libs/wim/wim_entry.h"

int main(int argc, char** argv) {
    if (argc == 5 && std::strcmp(argv[1], "extract") == 0) {
        ArchiveOpResult rc = ExtractFromWimFile(argv[2], argv[3], argv[4], 0, true, true);
        if (rc != ARCHIVE_OK) std::fprintf(stderr, "extract: %d\n", rc);
        return rc == ARCHIVE_OK ? 0 : 1;
    }
    if (argc == 7 && std::strcmp(argv[1], "inject") == 0) {
        struct stat st;
        if (stat(argv[6], &st) != 0) return 1;
        std::vector<arc::CDirItem> items(1);
        items[0].FullPath = argv[6];
        items[0].Size = uint64_t(st.st_size);
        items[0].ImagePath = Utf8ToUtf16(argv[5]);
        items[0].ImageIndex = uint32_t(std::atoi(argv[4]));
        items[0].Attrib = 0x20;
        bool ok = WimUpdateCopy(argv[2], argv[3], items);
        if (!ok) std::fprintf(stderr, "inject failed\n");
        return ok ? 0 : 1;
    }
    std::fprintf(stderr, "usage: nimbo_wim_bench extract WIM PATTERN FOLDER | inject SRC DST IMAGE PATH FILE\n");
    return 2;
}
