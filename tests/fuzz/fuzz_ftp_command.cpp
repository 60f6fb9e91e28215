// FTP command lines and their arguments: the line reader, the verb table, PORT, REST and SITE CHMOD.
#include <algorithm>
#include <string>

#include "_services/ftp/ftp_proto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    std::string text(reinterpret_cast<const char*>(data), size);
    // The bytes as they would arrive on the control connection, in pieces of 37 bytes.
    FtpLineReader reader;
    size_t at = 0;
    std::string line;
    while (at < size) {
        size_t room = 0;
        char* dst = reader.Room(&room);
        size_t n = std::min<size_t>(std::min<size_t>(room, 37), size - at);
        std::copy(data + at, data + at + n, dst);
        reader.Commit(n);
        at += n;
        while (reader.Next(&line) != FtpLineReader::kNeedMore) ParseFtpCommand(line);
        if (room == 0) break;
    }
    ParseFtpCommand(text);
    uint32_t addr = 0;
    uint16_t port = 0;
    ParsePortArgument(text, &addr, &port);
    int64_t offset = 0;
    ParseRestOffset(text, &offset);
    uint16_t mode = 0;
    std::string path;
    ParseSiteChmod(text, &mode, &path);
    if (mode > 0xFFF) __builtin_trap();
    return 0;
}
