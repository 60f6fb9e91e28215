// Shared bits of the fuzz targets: a private folder per process and input files in it.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "tests/support/temp_folder.h"

// A folder of this process, made at first use and removed when the process ends.
inline const std::string& FuzzFolder() {
    static const nimbo::test::TempFolder folder("nimbo-fuzz-");
    return folder.path();
}

inline std::string WriteInputFile(const std::string& name, const uint8_t* data, size_t size) {
    std::string path = FuzzFolder() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path;
}
