// The INI profile reader: any file, a few sections and keys read back.
#include <cstring>
#include <initializer_list>

#include "libs/platform/profile.h"
#include "tests/fuzz/fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = WriteInputFile("fuzz.ini", data, size);
    char buf[64];
    char big[2048];
    for (const char* section : {"NIMBO", "DHCP", "TFTP", ""})
        for (const char* key : {"TFTP_Port", "a", "DHCP_BootFile", ""}) {
            GetProfileValue(section, key, "def", buf, sizeof buf, path.c_str());
            GetProfileValue(section, key, "", big, sizeof big, path.c_str());
        }
    GetProfileValue("NIMBO", "x", "", buf, 1, path.c_str());
    return 0;
}
