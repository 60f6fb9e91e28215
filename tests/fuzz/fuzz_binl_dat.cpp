// Asset data files ("NimboBINL.dat"): the header, the driver records and the menu strings.
#include <cstring>

#include "_services/binl/binl_records.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = WriteInputFile("NimboBINL.dat", data, size);
    BinlAssetHeader header;
    if (ReadAssetHeader(path, &header)) {
        HeaderText(header.product);
        HeaderText(header.computerName);
    }
    size_t records = size > sizeof(BinlAssetHeader) ? sizeof(BinlAssetHeader) : size;
    WalkNicDriverRecords(data + records, size - records, [](const NicDriver&) {});
    std::string strings[kMenuStringCount];
    ParseMenuStringRecords(data + records, size - records, strings);
    WalkNicDriverRecords(data, size, [](const NicDriver&) {});
    return 0;
}
