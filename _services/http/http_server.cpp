#include "_services/http/http_server.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstring>

#include "_services/http/beneath.h"
#include "_services/http/dir_scan.h"
#include "_services/http/http_text.h"
#include "libs/log/log.h"

namespace {

const char* const kParse = "CHTTPServer::ParseRequest";

// Opens a regular file beneath the root; -1 with errno set otherwise.
int OpenRegular(int rootFd, const std::string& relative, struct stat* st) {
    int fd = OpenBeneathNoCase(rootFd, relative, O_RDONLY | O_NONBLOCK, CaseMatch::Unique);
    if (fd < 0) return -1;
    if (fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        int err = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

std::string Join(const std::string& folder, const std::string& name) {
    return folder.empty() ? name : folder + "/" + name;
}

}  // namespace

CHTTPServer::~CHTTPServer() {
    Shutdown();
    if (rootFd_ >= 0) close(rootFd_);
}

bool CHTTPServer::IsRequestComplete(const std::string& request) { return ::IsRequestComplete(request); }

void CHTTPServer::Event(int code, const ClientContext& context, const std::string& text) {
    ReportClient(code, context, text.substr(0, 99).c_str(), kParse, __LINE__);
}

int CHTTPServer::Start(uint32_t address, const std::string& root, const std::string& defaultPage, uint16_t port,
                       uint32_t idleTimeoutMs) {
    static const char* const fn = "CHTTPServer::Start";
    defaultPage_ = defaultPage;
    root_ = root;
    for (char& c : root_)
        if (c == '\\') c = '/';
    if (rootFd_ >= 0) close(rootFd_);
    rootFd_ = root_.empty() ? -1 : open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd_ < 0) {
        ReportServer(EV_START_FAILED, "invalid directory", fn, __LINE__);
        return 0;
    }
    if (root_.back() != '/') root_ += '/';
    bool folder = false;
    uint64_t size;
    int64_t created;
    rootHasFavicon_ = StatBeneath(rootFd_, "favicon.ico", &folder, &size, &created);
    int ok = Run(address, port, idleTimeoutMs);
    ReportServer(ok ? EV_STARTED : EV_START_FAILED, root_.c_str(), fn, __LINE__);
    return ok;
}

bool CHTTPServer::ParseRequest(const std::string& request, std::string& reply, bool& keepAlive,
                               const ClientContext& context, ReplyFile& file) {
    const std::string date = HttpDate(time(nullptr));
    size_t blank = request.find(' ');
    if (blank == std::string::npos) {
        Event(EV_BAD_REQUEST, context, "");
        return false;
    }
    const std::string method = request.substr(0, blank);
    keepAlive = HasLine(request, "\nConnection: Keep-Alive");
    if (method != "GET" && method != "HEAD") {
        reply = ErrorReply("501 Not Implemented", "Error 501 - Requested method not supported\r\n", date, false);
        Event(EV_501, context, method);
        return true;
    }
    const bool head = method == "HEAD";
    size_t end = request.find(' ', blank + 1);
    if (end == blank + 1 || end == std::string::npos || end - blank - 1 > kMaxUrlLength) {
        Event(EV_BAD_REQUEST, context, "");
        return false;
    }
    std::string url = request.substr(blank + 1, end - blank - 1);
    std::string sort;
    if (size_t q = url.find('?'); q != std::string::npos) {
        sort = QueryValue(std::string_view(url).substr(q + 1), "sort");
        url.resize(q);
    }
    std::string path = UrlDecode(url);
    for (char& c : path)
        if (c == '\\') c = '/';
    // Every step below stays beneath the root: no "." or ".." component, no NUL byte.
    std::string relative;
    if (!SafeRelativePath(path, &relative)) {
        reply = ErrorReply("403 Forbidden", "Error 403 - Forbidden\r\n", date, head);
        std::string shown = path.substr(0, path.find('\0'));
        Event(EV_OUTSIDE_ROOT, context, shown);
        Event(EV_403, context, shown);
        return true;
    }
    std::string alternate;
    if (size_t slash = path.rfind('/'); retry64 && slash != std::string::npos && path.size() - slash - 1 > 64) {
        std::string cut = path.substr(0, slash + 1 + 64);
        SafeRelativePath(cut, &alternate);
    }
    const std::string type = ContentType(path);

    CarriedImage image = BuiltinImage(path);
    if (image.data && !(path == "/favicon.ico" && rootHasFavicon_)) {
        reply = PageHead(date, image.size, keepAlive, "image/gif");
        if (!head) reply.append(reinterpret_cast<const char*>(image.data), image.size);
        Event(EV_200, context, path);
        return true;
    }

    bool isFolder = false;
    uint64_t size;
    int64_t created;
    std::string found = relative;
    if (!StatBeneath(rootFd_, relative, &isFolder, &size, &created)) {
        found = alternate;
        if (alternate.empty() || !StatBeneath(rootFd_, alternate, &isFolder, &size, &created)) {
            reply = ErrorReply("404 Resource not found", "Error 404 - Resource not found\r\n", date, head);
            Event(EV_404, context, path);
            return true;
        }
    }
    if (isFolder)
        return ServeFolder(request, path, found, alternate, sort, head, keepAlive, date, context, reply, file);
    ServeFile(request, path, found, head, type, date, context, reply, file);
    return true;
}

bool CHTTPServer::ServeFolder(const std::string& request, const std::string& path, const std::string& found,
                              const std::string& alternate, const std::string& sort, bool head, bool keepAlive,
                              const std::string& date, const ClientContext& context, std::string& reply,
                              ReplyFile& file) {
    if (path.empty() || path.back() != '/') {
        std::string moved = path + "/";
        std::string location = PercentEncodePath(moved);
        reply = "HTTP/1.1 301 Moved Permanently\r\nContent-Type: text/html\r\nLocation: " + location +
                "\r\nAccept-Ranges: bytes\r\n\r\n";
        if (!head)
            reply +=
                "301 - Moved permanently to <a href=\"" + HtmlEscape(location) + "\">" + HtmlEscape(moved) + "</a>";
        Event(EV_301, context, moved);
        return true;
    }
    struct stat st {};
    int fd = OpenRegular(rootFd_, Join(found, defaultPage_), &st);
    if (fd < 0 && !alternate.empty() && alternate != found)
        fd = OpenRegular(rootFd_, Join(alternate, defaultPage_), &st);
    if (fd >= 0) {
        reply = PageHead(date, static_cast<uint64_t>(st.st_size), keepAlive, "text/html");
        if (head) {
            close(fd);
        } else {
            file.fd = fd;
            file.size = static_cast<uint64_t>(st.st_size);
        }
        Event(EV_200, context, path);
        return true;
    }
    if (!browsing) {
        reply = ErrorReply("403 Forbidden", "Error 403 - Forbidden\r\n", date, head);
        Event(EV_403, context, path);
        return true;
    }
    DirScanOptions options;
    options.includeFolders = true;
    options.rootFd = rootFd_;
    options.folder = found.empty() ? "." : found;
    options.include = "*";
    CDirScan scan(options);
    scan.Scan();
    if (WantsPlainListing(request))
        reply = PlainListing(scan.Result(), path, date, keepAlive, head);
    else
        reply = XhtmlListing(scan.Result(), scan.Total(), path, sort, date, keepAlive, head);
    Event(EV_BROWSE, context, path);
    return true;
}

void CHTTPServer::ServeFile(const std::string& request, const std::string& path, const std::string& found, bool head,
                            const std::string& type, const std::string& date, const ClientContext& context,
                            std::string& reply, ReplyFile& file) {
    struct stat st {};
    int fd = OpenRegular(rootFd_, found, &st);
    if (fd < 0) {
        reply =
            ErrorReply("403 Forbidden",
                       std::string("Error 403 - Forbidden -  Host returns : ") + LastErrorText() + "\r\n", date, head);
        Event(EV_403, context, path);
        return;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const std::string modified = HttpDate(st.st_mtime);
    const std::string server = ServerName();
    ByteRange range = ParseRange(request);
    uint64_t start = 0, last = 0;
    if (!range.present) {
        reply = FormatC(
            "HTTP/1.0 200 OK\r\nDate: %s\r\nServer: %s\r\nLast-Modified: %s\r\nAccept-Ranges: bytes\r\n"
            "Content-Length: %" PRIu64 "\r\nConnection: close\r\nContent-Type: %s\r\n\r\n",
            date.c_str(), server.c_str(), modified.c_str(), size, type.c_str());
        Event(EV_200, context, path);
    } else if (!ResolveRange(range, size, &start, &last)) {
        reply = RangeErrorReply(size, date, head);
        close(fd);
        Event(EV_416, context, path);
        return;
    } else {
        reply = FormatC(
            "HTTP/1.1 206 Partial Content\r\nDate: %s\r\nServer: %s\r\nLast-Modified: %s\r\n"
            "Accept-Ranges: bytes\r\nContent-Length: %" PRIu64
            "\r\nConnection: close\r\n"
            "Content-Type: %s\r\nContent-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64 "\r\n\r\n",
            date.c_str(), server.c_str(), modified.c_str(), last - start + 1, type.c_str(), start, last, size);
        file.rangeStart = static_cast<int64_t>(start);
        file.rangeEnd = static_cast<int64_t>(last);
        Event(EV_206, context, path);
    }
    if (head) {
        close(fd);
        file = ReplyFile{};
        return;
    }
    file.fd = fd;
    file.size = size;
}
