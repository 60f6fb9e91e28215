// The PE reader: file version and resource look-up on any bytes.
#include "libs/platform/pe_version.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint64_t version = 0;
    PeFileVersion(data, size, &version);
    PeFindResource(data, size, "MUI", 1);
    return 0;
}
