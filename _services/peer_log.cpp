#include "_services/peer_log.h"

#include "libs/platform/sockets.h"

bool PeerLogGate::Allow(uint32_t address, uint32_t connection) {
    unsigned suppressed = 0;
    if (!gate_.Allow(LogKeyOf(address, connection), &suppressed)) return false;
    if (suppressed)
        LogLine(tag_, 0, "%s \xE2\x80\xA6 %u lines suppressed. Client [%s]", prefix_, suppressed,
                IPv4Text(address).c_str());
    return true;
}
