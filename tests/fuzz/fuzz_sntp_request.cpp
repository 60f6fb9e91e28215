// SNTP requests turned into replies in place.
#include <cstring>
#include <vector>

#include "_services/udp/sntp_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static SntpReplayGuard guard;
    std::vector<uint8_t> packet(data, data + size);
    if (packet.size() < 48) packet.resize(48);  // the receive buffer holds at least one reply
    timespec now{1790000000, 123456789};
    SntpBuildReply(packet.data(), size, now, &guard);
    return 0;
}
