#include "_services/udp/sntp_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "_services/peer_log.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "_services/udp/udp_receive.h"
#include "libs/log/log.h"

bool SntpReplayGuard::Seen(uint32_t fraction) const {
    if (fraction == 0) return false;
    for (uint32_t f : fractions_)
        if (f == fraction) return true;
    return false;
}

void SntpReplayGuard::Store(uint32_t fraction) {
    fractions_[count_ % fractions_.size()] = fraction;
    ++count_;
}

bool SntpBuildReply(uint8_t* packet, size_t length, const timespec& now, SntpReplayGuard* guard) {
    if (length < sizeof(NtpPacket)) return false;
    NtpPacket req;
    memcpy(&req, packet, sizeof req);
    if (NtpMode(req.livnmode) != kNtpModeClient) return false;
    if (guard->Seen(ntohl(req.transmit.fraction))) return false;

    // The reply speaks the client's version; a client of version 4 or later is answered in 3.
    const uint8_t vn = std::min(NtpVersion(req.livnmode), kNtpVersion3);
    long ms = now.tv_nsec / 1000000;
    if (ms < 0 || ms > 999) ms = 0;
    NtpTimestamp stamp;
    stamp.seconds = htonl(static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) + kNtpEpochOffset));
    stamp.fraction = htonl(NtpFractionTable[static_cast<size_t>(ms)]);

    NtpPacket rep{};
    rep.livnmode = NtpLivnmode(kNtpLeapNoWarning, vn, kNtpModeServer);
    rep.stratum = kSntpStratum;
    rep.poll = kSntpPollLog2;
    rep.originate = req.transmit;
    rep.reference = stamp;
    rep.receive = stamp;
    rep.transmit = stamp;
    memcpy(packet, &rep, sizeof rep);
    guard->Store(NtpFractionTable[static_cast<size_t>(ms)]);
    return true;
}

void SntpThread() {
    static const char kReceiveError[] = "SNTP Srv Err: recvfrom error %d\n";
    ThreadSlot& slot = ThreadSlots[TH_SNTP];
    SntpReplayGuard guard;
    PeerLogGate lines("SNTP Srv Inf:");
    uint8_t buf[kSntpDatagramMax];
    while (slot.running) {
        Datagram info;
        ssize_t n = ReceiveServiceDatagram(TH_SNTP, buf, sizeof buf, &info, kReceiveError);
        if (n == 0) continue;
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        if (!SntpBuildReply(buf, static_cast<size_t>(n), now, &guard)) continue;
        ssize_t sent = ReplyToSender(slot.socket, buf, sizeof(NtpPacket), info);
        if (sent >= static_cast<ssize_t>(sizeof(NtpPacket))) {
            if (!lines.Allow(info.peer.sin_addr.s_addr)) continue;
            char client[16] = {};
            snprintf(client, sizeof client, "%s", IPv4Text(info.peer.sin_addr).c_str());
            LogLine(LOG_SNTP, 1, "SNTP Srv Inf: Client %s request", client);
            ToConsole(NOTICE_SNTP_CLIENT, client, sizeof client, true);
        } else {
            int err = errno;
            LogLine(LOG_SNTP, 1, "SNTP Srv Err: sendto error %d: %s", err, LastErrorText(err));
        }
    }
    DebugTrace("Thread Inf: SNTP thread ends here\n");
}
