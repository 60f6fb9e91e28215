#include "_services/dhcp/dhcp_log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>

#include "_services/dhcp/dhcp_records.h"
#include "_services/peer_log.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

namespace {

thread_local const DhcpPeerScope* t_peer = nullptr;
LogRateGate g_peerLines(kPeerLinesPerSecond, kServiceLinesPerSecond);

// Keys of hardware addresses lie above those of IPv4 addresses.
constexpr uint64_t kMacKey = 1ull << 48;

bool HoldsMac(const DhcpPeerScope& s) { return s.length >= static_cast<ssize_t>(kMinDhcpPacket); }

}  // namespace

DhcpPeerScope::DhcpPeerScope(const char* prefix_, const uint8_t* packet_, ssize_t length_, uint32_t source_)
    : prefix(prefix_), packet(packet_), length(length_), source(source_), outer_(t_peer) {
    t_peer = this;
}

DhcpPeerScope::~DhcpPeerScope() { t_peer = outer_; }

uint64_t DhcpPeerScope::Key() const {
    if (!HoldsMac(*this)) return LogKeyOf(source);
    uint64_t mac = 0;
    for (int i = 0; i < 6; ++i) mac = mac << 8 | packet[kOffChaddr + i];
    return kMacKey | mac;
}

bool DhcpPeerMayLog(int level) {
    const DhcpPeerScope* peer = t_peer;
    if (!peer || level < 0) return true;
    unsigned suppressed = 0;
    if (!g_peerLines.Allow(peer->Key(), &suppressed)) return false;
    if (suppressed) {
        const int err = errno;  // the line let through may name it
        char client[24];
        if (HoldsMac(*peer)) {
            const uint8_t* m = peer->packet + kOffChaddr;
            std::snprintf(client, sizeof client, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
        } else {
            std::snprintf(client, sizeof client, "%s", IPv4Text(peer->source).c_str());
        }
        DhcpLogLine(0, "%s \xE2\x80\xA6 %u lines suppressed. Client [%s]", peer->prefix, suppressed, client);
        errno = err;
    }
    return true;
}

void DhcpLogLine(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    LogLineV(LOG_DHCP, level, format, ap);
    va_end(ap);
}

int DhcpThreadId() { return static_cast<int>(::syscall(SYS_gettid)); }
