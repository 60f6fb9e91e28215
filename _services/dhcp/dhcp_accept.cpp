// Early drops of the DHCP and PDHCP threads, in the order the service applies them.
#include "_services/dhcp/dhcp_accept.h"

#include <cstring>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_request.h"
#include "_services/dhcp/dhcp_settings.h"
#include "_services/dhcp/mac_vendor.h"
#include "libs/platform/log_guard.h"

namespace {

constexpr char kWakeUpDatagram[] = "wake up";

bool IsWakeUp(const uint8_t* packet, size_t length) {
    return length == sizeof kWakeUpDatagram && std::memcmp(packet, kWakeUpDatagram, sizeof kWakeUpDatagram) == 0;
}

}  // namespace

int matchMacFilter(const DhcpSettings& s, const uint8_t mac[6]) {
    const uint64_t client = macFilterWord(mac);
    for (const auto& f : s.MacFilters) {
        uint64_t m = f.mac, mask = f.mask;
        if (m != 0 && ((m ^ client) & mask) == 0) return 1;
    }
    return 0;
}

DhcpDrop AcceptDhcpRequest(const DhcpAcceptInput& in, uint8_t* packet, size_t length) {
    const bool proxyPort = in.port == kPxeProxyPort;
    if (proxyPort && !in.proxyMode) return DhcpDrop::kProxyOff;
    // Lines of the port-67 thread name PDHCP in proxy mode; its information lines about
    // other servers, other ops and this host's MACs are written only outside proxy mode.
    const char* p = proxyPort || in.proxyMode ? "P" : "";
    const bool logInfo = proxyPort || !in.proxyMode;

    // A datagram too short for a request is dropped at once: a pause here would let anyone
    // silence the service with a few bytes.
    if (length < kMinDhcpPacket) {
        if (IsWakeUp(packet, length)) return DhcpDrop::kWakeUp;
        if (proxyPort)
            DhcpLog(5, "PDHCP Err: Recv message truncated (length was %d)", static_cast<int>(length));
        else
            DhcpLog(5, "%sDHCP Err: Recv message truncated; length was %d", p, static_cast<int>(length));
        return DhcpDrop::kTruncated;
    }
    if (!proxyPort) {
        if (in.binlPreparing) return DhcpDrop::kBinlPreparing;
        if (!in.proxyMode && in.leaseCapacity == 0 &&
            (!in.settings || findStaticLease(*in.settings, packet) == 0xFFFFFFFFu))
            return DhcpDrop::kNoAddresses;
    }

    const char* service = proxyPort ? "PDHCP" : "DHCP";
    packet[kOffSname + 63] = 0;
    packet[kOffFile + 127] = 0;
    const char* sname = reinterpret_cast<const char*>(packet + kOffSname);
    if (sname[0] && (!in.hostName || in.hostName() != sname)) {
        if (logInfo) DhcpLog(2, "%s Inf: Packet addressed to %s", service, EscapePeerText(sname, 255).c_str());
        return DhcpDrop::kOtherServer;
    }
    if (packet[kOffOp] != kBootRequest) {
        if (logInfo) DhcpLog(2, "%s Inf: %d Request %d not processed", service, DhcpThreadId(), packet[kOffOp]);
        return DhcpDrop::kNotRequest;
    }
    if (proxyPort) return DhcpDrop::kNone;

    const uint8_t* mac = packet + kOffChaddr;
    if (in.isLocalMac && in.isLocalMac(mac) == 1) {
        if (logInfo && DhcpLogEnabled(2))
            DhcpLog(2, "DHCP Inf: Nimbo's own interface MAC %s : ignoring request", formatMacWithVendor(mac).c_str());
        return DhcpDrop::kOwnMac;
    }
    const int filter = in.settings ? in.settings->DHCP_ProcMacFilter : 0;
    // The vendor name is looked up only for a line that will be read.
    if (filter == 1 && matchMacFilter(*in.settings, mac)) {
        if (DhcpLogEnabled(2))
            DhcpLog(2, "%sDHCP Inf: In reject list MAC %s : ignoring request", p, formatMacWithVendor(mac).c_str());
        return DhcpDrop::kRejectList;
    }
    if (filter == 2 && !matchMacFilter(*in.settings, mac)) {
        if (DhcpLogEnabled(2))
            DhcpLog(2, "%sDHCP Inf: Not in accept list MAC %s : ignoring request", p, formatMacWithVendor(mac).c_str());
        return DhcpDrop::kNotInAcceptList;
    }
    return DhcpDrop::kNone;
}
