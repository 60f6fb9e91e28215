// The listing images and style sheet, pulled in verbatim from the data folder.
#include <cstring>

#include "_services/http/http_text.h"

// clang-format off
#define NIMBO_HTTP_EMBED(sym, file)          \
    __asm__(".section .rodata." #sym ",\"a\"\n" \
            ".balign 16\n"                     \
            ".globl " #sym "_begin\n"          \
            ".hidden " #sym "_begin\n"         \
            #sym "_begin:\n"                   \
            ".incbin \"" NIMBO_HTTP_DATA "/" file "\"\n" \
            ".globl " #sym "_end\n"            \
            ".hidden " #sym "_end\n"           \
            #sym "_end:\n"                     \
            ".byte 0\n"                        \
            ".previous\n")
// clang-format on

NIMBO_HTTP_EMBED(nimbo_http_favicon, "favicon.ico");
NIMBO_HTTP_EMBED(nimbo_http_up_folder, "up_folder.gif");
NIMBO_HTTP_EMBED(nimbo_http_folder, "folder.gif");
NIMBO_HTTP_EMBED(nimbo_http_file, "file.gif");
NIMBO_HTTP_EMBED(nimbo_http_css, "listing.css");

#define NIMBO_HTTP_SYMBOLS(sym)                                                     \
    __attribute__((visibility("hidden"))) extern const unsigned char sym##_begin[]; \
    __attribute__((visibility("hidden"))) extern const unsigned char sym##_end[];

extern "C" {
NIMBO_HTTP_SYMBOLS(nimbo_http_favicon)
NIMBO_HTTP_SYMBOLS(nimbo_http_up_folder)
NIMBO_HTTP_SYMBOLS(nimbo_http_folder)
NIMBO_HTTP_SYMBOLS(nimbo_http_file)
NIMBO_HTTP_SYMBOLS(nimbo_http_css)
}

CarriedImage BuiltinImage(std::string_view path) {
    if (path == "/favicon.ico")
        return {nimbo_http_favicon_begin, size_t(nimbo_http_favicon_end - nimbo_http_favicon_begin)};
    if (path == "/~imgUpFolder")
        return {nimbo_http_up_folder_begin, size_t(nimbo_http_up_folder_end - nimbo_http_up_folder_begin)};
    if (path == "/~imgFolder")
        return {nimbo_http_folder_begin, size_t(nimbo_http_folder_end - nimbo_http_folder_begin)};
    if (path == "/~imgFile") return {nimbo_http_file_begin, size_t(nimbo_http_file_end - nimbo_http_file_begin)};
    return {nullptr, 0};
}

std::string_view ListingStyleSheet() {
    return {reinterpret_cast<const char*>(nimbo_http_css_begin), size_t(nimbo_http_css_end - nimbo_http_css_begin)};
}
