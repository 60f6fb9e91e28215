// TFTP request decoding, name rules and option negotiation, from the request datagram.
#include <cstring>

#include "_services/host_records.h"
#include "_services/tftp_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte sets the negotiation switches; the rest is the request datagram.
    uint8_t flags = data[0];
    ++data;
    --size;
    uint8_t buf[kTftpRequestSize] = {};
    memcpy(buf, data, size < sizeof buf ? size : sizeof buf);
    TftpRequest request;
    TftpLog log;
    TftpDecodeRequest(buf, size < sizeof buf ? size : sizeof buf, &request, &log);
    static GlobalSettings settings{};
    settings.OptionNegotiation = (flags & 1) != 0;
    settings.PxeCompatibility = (flags & 2) != 0;
    settings.TFTP_SupportForPortOption = (flags & 4) != 0;
    settings.TFTP_BackSlashAsVirtualRoot = (flags & 64) != 0;
    settings.TFTP_TranslateUnixFileNames = (flags & 128) != 0;
    settings.TFTP_Port = 69;
    settings.TFTP_LimitNegotiatedBlksize = 16384;
    settings.TFTP_LimitNegotiatedWindowsize = 64;
    std::string name = request.fileName;
    TftpTranslateName(name, settings);
    std::string relative;
    if (TftpNormalizeName(name, &relative)) {
        // A normalised name never climbs: no ".." component, no leading separator.
        if (!relative.empty() && relative[0] == '/') __builtin_trap();
        size_t start = 0;
        while (start <= relative.size()) {
            size_t end = relative.find('/', start);
            if (end == std::string::npos) end = relative.size();
            if (relative.compare(start, end - start, "..") == 0 && end - start == 2) __builtin_trap();
            start = end + 1;
        }
        TftpCheckAccess("/srv/tftp", relative, request.opcode, flags >> 4 & 3);
    }
    TftpNegotiation negotiation;
    TftpNegotiateOptions(request, settings, (flags & 8) ? 0x140000000ull : 1234, 50000, &negotiation, &log);
    if (negotiation.oack.size() > kTftpAckBufferSize) __builtin_trap();
    if (negotiation.blockSize < 8 || negotiation.blockSize > 65464) __builtin_trap();
    return 0;
}
