// "NimboAsset.inf" of a non-Windows asset: read and turned into the asset's data file.
#include <sys/stat.h>

#include "_services/binl/binl_context.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_nwa.h"
#include "tests/fuzz/fuzz_util.h"

namespace {
void Quiet(int, const char*) {}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const BinlContext ctx = [] {
        SetBinlLogSink(Quiet);
        BinlContext c;
        c.root = FuzzFolder() + "/root";
        mkdir(c.root.c_str(), 0755);
        mkdir((c.root + "/NWA_PXE").c_str(), 0755);
        mkdir((c.root + "/NWA_PXE/linux").c_str(), 0755);
        c.computerName = "BOOTSRV";
        c.tempFolder = FuzzFolder() + "/";
        return c;
    }();
    WriteInputFile("root/NWA_PXE/linux/NimboAsset.inf", data, size);
    std::string dat = ctx.root + "/NWA_PXE/linux/_NIMBO_/NimboBINL.dat";
    unlink(dat.c_str());
    bool shareUsed = false;
    NwaBuildAsset(ctx, "linux", &shareUsed);
    return 0;
}
