// Cabinet files: one member extracted from any bytes, beneath the fuzzer's folder.
#include <unistd.h>

#include "libs/platform/cabinet.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CabContext* context = CabCreateContext();
    CabRequest request;
    request.cabinet = WriteInputFile("input.cab", data, size);
    request.member = "ntdetect.com";
    request.target = FuzzFolder() + "/out.bin";
    CabExtractFile(context, &request);
    unlink(request.target.c_str());
    return 0;
}
