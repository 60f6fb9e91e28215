// The 7z archives carried inside the program.
#pragma once
#include <cstdint>

struct CarriedBytes {
    const unsigned char* data;
    uint32_t size;
};

// The boot-menu components: the BM\PXENIMBO\<platform> tree.
CarriedBytes BootComponentArchive();
// The MAC vendor table: a single item "Nimbo.evc".
CarriedBytes MacVendorArchive();
