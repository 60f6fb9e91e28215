// The HTTP server's pure parts: request syntax check, URL decoding, ranges, escaping, MIME
// types, dates, error pages, folder listings and the carried images.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "_services/http/dir_scan.h"

constexpr uint16_t kHttpPort = 80;

// Largest request the server accumulates before it closes the connection.
constexpr size_t kMaxRequestBytes = 80 * 1024;
constexpr size_t kMaxUrlLength = 2083;

// The "Server:" header and the page footer.
std::string ServerName();
std::string FooterName();

// True once the text ends with an empty line (a request body is never awaited).
bool IsRequestComplete(std::string_view request);
// Parent-path filter and the HTTP/1.x syntax check: true when the whole text is one or more
// well-formed requests without a "../" or "%2e%2e/" step.
bool RequestCheck(std::string_view request);

// "%a, %d %b %Y %H:%M:%S GMT" in English.
std::string HttpDate(time_t t);
// "%XX" becomes one byte; a '%' with fewer than two characters left stays as it is.
std::string UrlDecode(std::string_view url);
// Every byte but unreserved characters and '/' as "%XX".
std::string PercentEncodePath(std::string_view path);
std::string HtmlEscape(std::string_view text);
// Value of the first query item with this key ("" when absent).
std::string QueryValue(std::string_view query, std::string_view key);
// Lower-cased extension looked up in the MIME table; "text/html" without a '.',
// "unknown/unknown" for an extension the table lacks.
std::string ContentType(const std::string& path);
// The text of a header line ("\nName: value\r"), without the line end; false when absent.
bool HeaderValue(std::string_view request, std::string_view name, std::string* value);
bool HasLine(std::string_view request, std::string_view text);

// A single byte range: "a-b", "a-" or the suffix "-n" (the last n bytes); digits only.
struct ByteRange {
    bool present = false;
    bool suffix = false;
    uint64_t first = 0;
    uint64_t last = 0;
    bool hasLast = false;
};
ByteRange ParseRange(std::string_view request);

// The effective range of a file of the given size: false when it cannot be satisfied.
bool ResolveRange(const ByteRange& r, uint64_t size, uint64_t* start, uint64_t* lastByte);

// Numbers as the pages print them, always in the C locale.
std::string FormatC(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string SizeText(uint64_t bytes);
std::string StatsLine(unsigned folders, unsigned files, uint64_t total);

// Error replies: "HTTP/1.0 <status>" with the XHTML page, or the head alone.
std::string ErrorPage(const std::string& errorLine, const std::string& date);
std::string ErrorReply(const std::string& status, const std::string& errorLine, const std::string& date, bool headOnly);
std::string RangeErrorReply(uint64_t size, const std::string& date, bool headOnly);

// Head of a generated page or carried image (200 OK, HTTP/1.0).
std::string PageHead(const std::string& date, uint64_t length, bool keepAlive, const std::string& type);

// Folder listings: whole replies (head and page; the head alone for HEAD).
std::string PlainListing(const std::vector<FileEntry>& entries, const std::string& path, const std::string& date,
                         bool keepAlive, bool headOnly);
std::string XhtmlListing(std::vector<FileEntry> entries, uint64_t total, const std::string& path,
                         const std::string& sort, const std::string& date, bool keepAlive, bool headOnly);
// True for a User-Agent line naming curl or wget (exact case).
bool WantsPlainListing(std::string_view request);

// Carried data.
struct CarriedImage {
    const unsigned char* data;
    size_t size;
};
// The image served under a built-in name ("/favicon.ico", "/~imgUpFolder", "/~imgFolder",
// "/~imgFile"), or {nullptr, 0}.
CarriedImage BuiltinImage(std::string_view path);
std::string_view ListingStyleSheet();
