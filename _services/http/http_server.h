// The read-only HTTP/1.x file server: GET and HEAD below one root folder, single byte ranges,
// a default page per folder, folder listings, the carried images and a retry with the last
// path component cut to 64 characters.
#pragma once
#include <string>

#include "_services/http/generic_server.h"

class CHTTPServer : public CGenericServer {
public:
    CHTTPServer() = default;
    ~CHTTPServer() override;

    // address in network order (0: any). 1 when the server runs.
    int Start(uint32_t address, const std::string& root, const std::string& defaultPage, uint16_t port,
              uint32_t idleTimeoutMs);

    void OnClientConnected(const char*, uint16_t) override {}
    void OnDataSent(uint64_t) override {}
    bool IsRequestComplete(const std::string& request) override;
    bool HandleRequest(const std::string& request, std::string& reply, bool& keepAlive, const ClientContext& context,
                       ReplyFile& file) override {
        return ParseRequest(request, reply, keepAlive, context, file);
    }
    bool ParseRequest(const std::string& request, std::string& reply, bool& keepAlive, const ClientContext& context,
                      ReplyFile& file);

    int browsing = 0;  // folder listings for folders without a default page
    int retry64 = 0;   // retry with the last path component cut to 64 characters

private:
    void Event(int code, const ClientContext& context, const std::string& text);
    bool ServeFolder(const std::string& request, const std::string& path, const std::string& found,
                     const std::string& alternate, const std::string& sort, bool head, bool keepAlive,
                     const std::string& date, const ClientContext& context, std::string& reply, ReplyFile& file);
    void ServeFile(const std::string& request, const std::string& path, const std::string& found, bool head,
                   const std::string& type, const std::string& date, const ClientContext& context, std::string& reply,
                   ReplyFile& file);

    std::string root_;  // always ends in '/'
    int rootFd_ = -1;
    std::string defaultPage_;
    bool rootHasFavicon_ = false;
};
