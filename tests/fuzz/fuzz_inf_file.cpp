// Driver INF files: the reader, and the network-driver list built from one.
#include <string>
#include <vector>

#include "_services/binl/binl_log.h"
#include "_services/binl/binl_records.h"
#include "_services/binl/ris_inf.h"
#include "libs/platform/inf_file.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
void Quiet(int, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = (SetBinlLogSink(Quiet), true);
    (void)init;
    std::string bytes(reinterpret_cast<const char*>(data), size);
    InfFile inf;
    if (inf.Parse(bytes, nullptr) == INF_OK) {
        std::string v;
        inf.Value("Version", "Class", &v);
        if (const auto* lines = inf.Section("Manufacturer"))
            for (const InfLine& l : *lines) InfFile::Field(l, 2, &v);
    }
    std::string path = WriteInputFile("net.inf", data, size);
    std::vector<NicDriver> drivers;
    RisParseNicInf(path, 5, 1, RIS_ARCH_X86, &drivers);
    for (const NicDriver& d : drivers)
        if (!IsPlainFileName(d.driverFile)) __builtin_trap();
    return 0;
}
