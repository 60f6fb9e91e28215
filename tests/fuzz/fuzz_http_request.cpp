// HTTP request texts: completeness, the parser check, decoding, header values and ranges.
#include <string>

#include "_services/http/http_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 90000) return 0;
    std::string_view request(reinterpret_cast<const char*>(data), size);
    IsRequestComplete(request);
    RequestCheck(request);
    UrlDecode(request);
    HtmlEscape(request);
    PercentEncodePath(request);
    std::string value;
    HeaderValue(request, "User-Agent", &value);
    QueryValue(request, "sort");
    WantsPlainListing(request);
    ByteRange r = ParseRange(request);
    for (uint64_t fileSize : {0ull, 1ull, 5368709120ull}) {
        uint64_t start = 0, last = 0;
        if (ResolveRange(r, fileSize, &start, &last) && (start > last || last >= fileSize)) __builtin_trap();
    }
    return 0;
}
