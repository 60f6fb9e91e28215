#include "_services/http/http_text.h"

#include <http_parser.h>
#include <locale.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "_services/host_records.h"
#include "libs/platform/str_format.h"

namespace {

locale_t CLocale() {
    static locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

std::string FormatTime(const char* format, time_t t) {
    tm parts{};
    gmtime_r(&t, &parts);
    char buf[64];
    size_t n = strftime_l(buf, sizeof buf, format, &parts, CLocale());
    return std::string(buf, n);
}

time_t Seconds(int64_t ns) { return static_cast<time_t>(ns >= 0 ? ns / 1000000000 : (ns - 999999999) / 1000000000); }

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return (c - 87) & 0xFF;
}

// Reads an unsigned decimal number of at most 19 digits; false for anything else.
bool ReadNumber(std::string_view s, uint64_t* v) {
    if (s.empty() || s.size() > 19) return false;
    uint64_t n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    *v = n;
    return true;
}

const char* const kDoctype =
    "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
    "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">\r\n"
    "<html xmlns=\"http://www.w3.org/1999/xhtml\">\r\n<head>\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n";

std::string StyleElement() {
    return "<style type=\"text/css\">\r\n" + std::string(ListingStyleSheet()) + "</style>\r\n";
}

}  // namespace

std::string ServerName() { return std::string(ProgramTitle) + " HTML module"; }
std::string FooterName() { return std::string(ProgramTitle) + " HTTP Server module"; }

std::string FormatC(const char* format, ...) {
    locale_t old = uselocale(CLocale());
    va_list ap;
    va_start(ap, format);
    std::string out = StrFormatV(format, ap);
    va_end(ap);
    uselocale(old);
    return out;
}

bool IsRequestComplete(std::string_view request) {
    return request.size() >= 4 && request.substr(request.size() - 4) == "\r\n\r\n";
}

bool RequestCheck(std::string_view request) {
    std::string_view text = request.substr(0, std::min(request.size(), request.find('\0')));
    size_t dots = text.find("..");
    if (dots != std::string_view::npos && (dots + 2 >= text.size() || text[dots + 2] != ' ')) return false;
    for (size_t i = 0; i + 6 <= text.size(); ++i) {
        if (text[i] != '%' || text[i + 1] != '2' || (text[i + 2] | 0x20) != 'e' || text[i + 3] != '%' ||
            text[i + 4] != '2' || (text[i + 5] | 0x20) != 'e')
            continue;
        std::string_view rest = text.substr(i + 6);
        if (!(rest.starts_with(' ') || rest.starts_with("%20"))) return false;
        break;
    }
    http_parser parser;
    http_parser_init(&parser, HTTP_REQUEST);
    http_parser_settings settings;
    http_parser_settings_init(&settings);
    size_t used = http_parser_execute(&parser, &settings, request.data(), request.size());
    return used == request.size() && HTTP_PARSER_ERRNO(&parser) == HPE_OK;
}

std::string HttpDate(time_t t) { return FormatTime("%a, %d %b %Y %H:%M:%S GMT", t); }

std::string UrlDecode(std::string_view url) {
    std::string out;
    out.reserve(url.size());
    for (size_t i = 0; i < url.size(); ++i) {
        if (url[i] == '%' && i + 2 < url.size()) {
            int v = HexValue(static_cast<unsigned char>(url[i + 1])) * 16 +
                    HexValue(static_cast<unsigned char>(url[i + 2]));
            out += static_cast<char>(v & 0xFF);
            i += 2;
        } else {
            out += url[i];
        }
    }
    return out;
}

std::string PercentEncodePath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string HtmlEscape(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string QueryValue(std::string_view query, std::string_view key) {
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string_view::npos) amp = query.size();
        std::string_view item = query.substr(start, amp - start);
        size_t eq = item.find('=');
        if (item.substr(0, eq) == key) return std::string(eq == std::string_view::npos ? "" : item.substr(eq + 1));
        start = amp + 1;
    }
    return {};
}

std::string ContentType(const std::string& path) {
    static const std::map<std::string, std::string> table = {
        {"htm", "text/html"},
        {"html", "text/html"},
        {"jpeg", "image/jpeg"},
        {"jpg", "image/jpeg"},
        {"jpe", "image/jpeg"},
        {"bmp", "image/bmp"},
        {"gif", "image/gif"},
        {"png", "image/png"},
        {"ico", "image/x-icon"},
        {"mpeg", "video/mpeg"},
        {"mpg", "video/mpeg"},
        {"mpe", "video/mpeg"},
        {"mp3", "audio/mpeg"},
        {"avi", "video/x-msvideo"},
        {"txt", "text/plain"},
        {"c", "text/plain"},
        {"cpp", "text/plain"},
        {"h", "text/plain"},
        {"css", "text/css"},
        {"pdf", "application/pdf"},
        {"doc", "application/msword"},
        {"deb", "application/x-debian-package"},
        {"udeb", "application/x-debian-package"},
        {"rpm", "application/octet-stream"},
    };
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return "text/html";
    std::string ext = path.substr(dot + 1);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    auto it = table.find(ext);
    return it == table.end() ? "unknown/unknown" : it->second;
}

bool HeaderValue(std::string_view request, std::string_view name, std::string* value) {
    std::string key(1, '\n');
    key.append(name).append(": ");
    size_t at = request.find(key);
    if (at == std::string_view::npos) return false;
    at += key.size();
    size_t end = request.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = request.size();
    *value = std::string(request.substr(at, end - at));
    return true;
}

bool HasLine(std::string_view request, std::string_view text) { return request.find(text) != std::string_view::npos; }

ByteRange ParseRange(std::string_view request) {
    ByteRange r;
    std::string v;
    if (!HeaderValue(request, "Range", &v) || !v.starts_with("bytes=")) return r;
    std::string_view value = std::string_view(v).substr(6);
    size_t dash = value.find('-');
    if (dash == std::string_view::npos) return r;
    std::string_view a = value.substr(0, dash), b = value.substr(dash + 1);
    if (a.empty()) {
        if (!ReadNumber(b, &r.last)) return r;
        r.suffix = true;
    } else {
        if (!ReadNumber(a, &r.first)) return r;
        if (!b.empty()) {
            if (!ReadNumber(b, &r.last)) return r;
            r.hasLast = true;
        }
    }
    r.present = true;
    return r;
}

bool ResolveRange(const ByteRange& r, uint64_t size, uint64_t* start, uint64_t* lastByte) {
    if (r.suffix) {
        if (r.last == 0 || size == 0) return false;
        *start = r.last >= size ? 0 : size - r.last;
        *lastByte = size - 1;
        return true;
    }
    if (r.first >= size || (r.hasLast && r.last < r.first)) return false;
    *start = r.first;
    *lastByte = r.hasLast ? std::min(r.last, size - 1) : size - 1;
    return true;
}

std::string SizeText(uint64_t s) {
    if (s >= (1ull << 30)) return FormatC("%.2f GB", static_cast<double>(s) / (1ull << 30));
    if (s >= (1ull << 20)) return FormatC("%.2f MB", static_cast<double>(s) / (1ull << 20));
    if (s >= (1ull << 10)) return FormatC("%.2f KB", static_cast<double>(s) / (1ull << 10));
    return FormatC("%" PRIu64 "  B", s);
}

std::string StatsLine(unsigned folders, unsigned files, uint64_t t) {
    if (folders == 0 && files == 0) return "Found: 0 folder and 0 file (0 Bytes)";
    if (t >= (1ull << 30))
        return FormatC("Found: %u folders and %u files (%.2f GB)", folders, files,
                       static_cast<double>(t) / (1ull << 30));
    if (t >= (1ull << 20))
        return FormatC("Found: %u folders and %u files (%.2f MB)", folders, files,
                       static_cast<double>(t) / (1ull << 20));
    if (t >= (1ull << 10))
        return FormatC("Found: %u folders and %u files (%.2f KB)", folders, files,
                       static_cast<double>(t) / (1ull << 10));
    return FormatC("Found: %u folders and %u files (%" PRIu64 " Bytes)", folders, files, t);
}

std::string ErrorPage(const std::string& errorLine, const std::string& date) {
    return std::string(kDoctype) + StyleElement() + "<title>" + ProgramTitle + "</title>\r\n</head>\r\n<body>\r\n<h2>" +
           HtmlEscape(errorLine) + "</h2>\r\n<hr />\r\n<p><small>" + FooterName() + "<br />" + date +
           "</small></p>\r\n</body>\r\n</html>\r\n";
}

std::string ErrorReply(const std::string& status, const std::string& errorLine, const std::string& date,
                       bool headOnly) {
    std::string page = ErrorPage(errorLine, date);
    std::string head =
        FormatC("HTTP/1.0 %s\r\nContent-Length: %zu\r\nContent-Type: text/html\r\nDate: %s\r\nServer: %s\r\n\r\n",
                status.c_str(), page.size(), date.c_str(), ServerName().c_str());
    return headOnly ? head : head + page;
}

std::string RangeErrorReply(uint64_t size, const std::string& date, bool headOnly) {
    std::string page = ErrorPage("Error 416 - Requested Range Not Satisfiable\r\n", date);
    std::string head = FormatC(
        "HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: %zu\r\nContent-Type: text/html\r\n"
        "Content-Range: bytes */%" PRIu64 "\r\nDate: %s\r\nServer: %s\r\n\r\n",
        page.size(), size, date.c_str(), ServerName().c_str());
    return headOnly ? head : head + page;
}

std::string PageHead(const std::string& date, uint64_t length, bool keepAlive, const std::string& type) {
    return FormatC("HTTP/1.0 200 OK\r\nDate: %s\r\nServer: %s\r\nAccept-Ranges: bytes\r\nContent-Length: %" PRIu64
                   "\r\nConnection: %s\r\nContent-Type: %s\r\n\r\n",
                   date.c_str(), ServerName().c_str(), length, keepAlive ? "Keep-Alive" : "close", type.c_str());
}

bool WantsPlainListing(std::string_view request) {
    std::string agent;
    if (!HeaderValue(request, "User-Agent", &agent)) return false;
    return agent.find("curl") != std::string::npos || agent.find("wget") != std::string::npos;
}

std::string PlainListing(const std::vector<FileEntry>& entries, const std::string& path, const std::string& date,
                         bool keepAlive, bool headOnly) {
    std::vector<FileEntry> sorted = entries;
    std::sort(sorted.begin(), sorted.end(),
              [](const FileEntry& a, const FileEntry& b) { return CompareNoCase(a.name, b.name) < 0; });
    std::string lines;
    for (const FileEntry& e : sorted) {
        std::string display = e.name + (e.isFolder ? "/" : "");
        std::string shown;
        size_t width;
        if (display.size() > 50) {
            shown = HtmlEscape(display.substr(0, 47)) + "..&gt;";
            width = 53;
        } else {
            shown = HtmlEscape(display);
            width = display.size();
        }
        time_t t = Seconds(e.created);
        int field = 61 - static_cast<int>(width);
        lines += "\r\n<a href=\"./" + HtmlEscape(PercentEncodePath(e.name)) + (e.isFolder ? "/" : "") + "\">" + shown +
                 "</a> " + FormatC("%*s", field, FormatTime("%d-%b-%Y", t).c_str()) + " " + FormatTime("%H:%M", t);
        lines += e.isFolder ? std::string(19, ' ') + "-" : FormatC("%20" PRIu64, e.size);
    }
    if (sorted.empty()) lines = "\r\n";
    std::string title = "Index of " + HtmlEscape(path);
    std::string page =
        "<html>\r\n<head>\r\n<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">\r\n"
        "<title>" +
        title + "</title>\r\n</head>\r\n<body bgcolor=\"white\">\r\n<h1>" + title + "</h1><hr><pre>" +
        (path == "/" ? "" : "<a href=\"../\">../</a>") + lines + "</pre><hr></body>\r\n</html>\r\n";
    std::string head = PageHead(date, page.size(), keepAlive, "text/html");
    return headOnly ? head : head + page;
}

std::string XhtmlListing(std::vector<FileEntry> entries, uint64_t total, const std::string& path,
                         const std::string& sort, const std::string& date, bool keepAlive, bool headOnly) {
    struct Order {
        const char* value;
        DirOrder order;
        const char* links[3];
    };
    static const Order orders[] = {
        {"an", DirOrder::NameAsc, {"?sort=dn", "?sort=asn", "?sort=atn"}},
        {"dn", DirOrder::NameDesc, {"?sort=an", "?sort=asn", "?sort=atn"}},
        {"asn", DirOrder::SizeAsc, {"?sort=an", "?sort=dsn", "?sort=atn"}},
        {"dsn", DirOrder::SizeDesc, {"?sort=an", "?sort=asn", "?sort=atn"}},
        {"atn", DirOrder::TimeAsc, {"?sort=an", "?sort=asn", "?sort=dtn"}},
        {"dtn", DirOrder::TimeDesc, {"?sort=an", "?sort=asn", "?sort=atn"}},
    };
    const Order* order = sort.empty() ? &orders[0] : nullptr;
    for (const Order& o : orders)
        if (sort == o.value) order = &o;
    if (order) SortEntries(entries, order->order);

    unsigned folders = 0, files = 0;
    std::string table;
    if (!entries.empty()) {
        table = "<table cellpadding=\"5\" style=\"border-collapse: collapse; border: 1px solid\">\r\n";
        if (order)
            table += std::string("<tr><th><a href=\"") + order->links[0] + "\">Filename</a></th><th><a href=\"" +
                     order->links[1] + "\">Filesize</a></th><th><a href=\"" + order->links[2] +
                     "\">Filetime</a></th></tr>\r\n";
        for (const FileEntry& e : entries) {
            time_t t = Seconds(e.created);
            std::string when = FormatTime("%m/%d/%Y %I:%M:%S %p", t);
            table += "<tr><td><a href=\"./" + HtmlEscape(PercentEncodePath(e.name)) + "\"><img src=\"" +
                     (e.isFolder ? "/~imgFolder" : "/~imgFile") + "\" alt=\"\" /><b>" + HtmlEscape(e.name) +
                     "</b></a></td>";
            table += e.isFolder ? "<td style=\"text-align: center\">-</td>"
                                : "<td style=\"text-align: right\">" + SizeText(e.size) + "</td>";
            table += "<td style=\"text-align: right\">" + when + "</td></tr>\r\n";
            ++(e.isFolder ? folders : files);
        }
        table += "</table>\r\n";
    }
    std::string shownPath = HtmlEscape(path);
    std::string page = std::string(kDoctype) + StyleElement() + "<title>" + ProgramTitle + " " + shownPath +
                       "</title>\r\n<link rel=\"shortcut icon\" href=\"favicon.ico\" />\r\n</head>\r\n<body>\r\n"
                       "<div id=\"folderlabel\">Folder</div>\r\n<div id=\"folder\">" +
                       shownPath + "</div>\r\n<div id=\"body\">\r\n";
    if (path != "/") page += "<p><a class=\"big\" href=\"..\"><img src=\"/~imgUpFolder\" alt=\"\" />UP</a></p>\r\n";
    page += "<div id=\"folderstats\">" + StatsLine(folders, files, total) + "</div>\r\n" + table +
            "</div>\r\n<div id=\"footer\">" + FooterName() + "<br />Servertime: " + date +
            "</div>\r\n</body>\r\n</html>\r\n";
    std::string head = PageHead(date, page.size(), keepAlive, "text/html");
    return headOnly ? head : head + page;
}
