#include "data/carried_archives.h"

// The archive files are built by the data recipes and pulled in here verbatim.
// clang-format off
#define NIMBO_EMBED(sym, path)                  \
    __asm__(".section .rodata." #sym ",\"a\"\n" \
            ".balign 16\n"                      \
            ".globl " #sym "_begin\n"           \
            ".hidden " #sym "_begin\n"          \
            #sym "_begin:\n"                    \
            ".incbin \"" path "\"\n"            \
            ".globl " #sym "_end\n"             \
            ".hidden " #sym "_end\n"            \
            #sym "_end:\n"                      \
            ".byte 0\n"                         \
            ".previous\n")
// clang-format on

NIMBO_EMBED(nimbo_boot_archive, NIMBO_BOOT_ARCHIVE);
NIMBO_EMBED(nimbo_vendor_archive, NIMBO_VENDOR_ARCHIVE);

extern "C" {
__attribute__((visibility("hidden"))) extern const unsigned char nimbo_boot_archive_begin[];
__attribute__((visibility("hidden"))) extern const unsigned char nimbo_boot_archive_end[];
__attribute__((visibility("hidden"))) extern const unsigned char nimbo_vendor_archive_begin[];
__attribute__((visibility("hidden"))) extern const unsigned char nimbo_vendor_archive_end[];
}

CarriedBytes BootComponentArchive() {
    return {nimbo_boot_archive_begin, uint32_t(nimbo_boot_archive_end - nimbo_boot_archive_begin)};
}

CarriedBytes MacVendorArchive() {
    return {nimbo_vendor_archive_begin, uint32_t(nimbo_vendor_archive_end - nimbo_vendor_archive_begin)};
}
