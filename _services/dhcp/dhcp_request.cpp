// Request handlers of port 67 and 4011 and the reply builders.
#include "_services/dhcp/dhcp_request.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/mac_vendor.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"

namespace {

const ArchBootRow kNoRow{};

const char* const kArchNames[37] = {
    "\"x86 BIOS\"",
    "\"NEC/PC98\"",
    "\"Itanium\"",
    "\"DEC Alpha\"",
    "\"Arc x86\"",
    "\"Intel Lean Client\"",
    "\"x86 UEFI\"",
    "\"x64 UEFI\"",
    "\"EFI Xscale\"",
    "\"EBC\"",
    "\"ARM 32-bit UEFI\"",
    "\"ARM 64-bit UEFI\"",
    "\"PowerPC Open Firmware\"",
    "\"PowerPC ePAPR\"",
    "\"POWER OPAL v3\"",
    "\"x86 uefi boot from http\"",
    "\"x64 uefi boot from http\"",
    "\"ebc boot from http\"",
    "\"arm uefi 32 boot from http\"",
    "\"arm uefi 64 boot from http\"",
    "\"pc/at bios boot from http\"",
    "\"arm 32 uboot\"",
    "\"arm 64 uboot\"",
    "\"arm uboot 32 boot from http\"",
    "\"arm uboot 64 boot from http\"",
    "\"RISC-V 32-bit UEFI\"",
    "\"RISC-V 32-bit UEFI boot from http\"",
    "\"RISC-V 64-bit UEFI\"",
    "\"RISC-V 64-bit UEFI boot from http\"",
    "\"RISC-V 128-bit UEFI\"",
    "\"RISC-V 128-bit UEFI boot from http\"",
    "\"s390 Basic\"",
    "\"s390 Extended\"",
    "\"MIPS 32-bit UEFI\"",
    "\"MIPS 64-bit UEFI\"",
    "\"Sunway 32-bit UEFI\"",
    "\"Sunway 64-bit UEFI\"",
};

const char* const kTypeNames[10] = {"BootP",   "DHCPDISCOVER", "DHCPOFFER",   "DHCPREQUEST", "DHCPDECLINE",
                                    "DHCPACK", "DHCPNAK",      "DHCPRELEASE", "DHCPINFORM",  "Invalid Pkt"};

uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

std::string MacOf(const uint8_t* packet) { return formatMacWithVendor(packet + kOffChaddr); }

// Writes options from offset 240 and keeps room for what must still follow.
class OptionWriter {
public:
    explicit OptionWriter(uint8_t* packet) : p_(packet), pos_(kOffOptions) {}
    size_t pos() const { return pos_; }
    bool Fits(size_t n, size_t reserve) const { return pos_ + n + reserve <= kReplyMtuLimit; }
    void Byte(uint8_t b) { p_[pos_++] = b; }
    void Bytes(const void* d, size_t n) {
        std::memcpy(p_ + pos_, d, n);
        pos_ += n;
    }
    void Option(uint8_t code, const void* d, size_t n) {
        Byte(code);
        Byte(static_cast<uint8_t>(n));
        Bytes(d, n);
    }
    void U32(uint8_t code, uint32_t hostValue) {
        uint32_t be = htonl(hostValue);
        Option(code, &be, 4);
    }

private:
    uint8_t* p_;
    size_t pos_;
};

constexpr size_t kEndRoom = 4;  // pad, END and two zero bytes

bool UserOptionHasCode(const DhcpSettings& s, uint8_t code) {
    for (const auto& o : s.UserOptions) {
        static const uint8_t zero[4] = {};
        if (std::memcmp(o.encoded, zero, 4) != 0 && o.encoded[0] == code) return true;
    }
    return false;
}

bool EncodedPresent(const DhcpUserOption& o) {
    static const uint8_t zero[4] = {};
    return std::memcmp(o.encoded, zero, 4) != 0;
}

// The option-252 row the client gets, or nullptr.
const ArchBootRow* Option252Row(const DhcpEnv& env, const RequestInfo& req) {
    const DhcpSettings& s = env.cfg->rec;
    if (!(env.servicesMask & SVC_BINL) || s.BmMode != 3) return nullptr;
    const ArchBootRow& r = SelectArchRow(s.Option252Table, env.cfg->option252Ipxe, req.arch, req.ipxe);
    return r.text[0] ? &r : nullptr;
}

// User options (with or without option 67), then option 252 and END.
void WriteUserOptionsAndEnd(const DhcpEnv& env, OptionWriter& w, const RequestInfo* req, bool with67,
                            const ArchBootRow* row252, const char* mtuMessage) {
    const DhcpSettings& s = env.cfg->rec;
    const size_t room252 = row252 ? 2u + row252->length : 0u;
    for (const auto& o : s.UserOptions) {
        if (!EncodedPresent(o)) continue;
        const uint8_t* payload = o.encoded + 2;
        uint8_t code = o.encoded[0];
        size_t len = o.encoded[1];
        if (code == kOptBootFileName && len == 0) {
            // An empty option 67 stands for the client's row of the option-67 table.
            if (!with67 || !req) continue;
            const ArchBootRow& r = SelectArchRow(s.Option67Table, env.cfg->option67Ipxe, req->arch, req->ipxe);
            if (r.length == 0) continue;
            len = std::min<size_t>(r.length, 127);
            payload = reinterpret_cast<const uint8_t*>(r.text);
        }
        if (!w.Fits(2 + len, room252 + kEndRoom)) {
            DhcpLog(5, "%s", mtuMessage);
            break;
        }
        w.Option(code, payload, len);
    }
    if (row252) {
        if (w.Fits(room252, kEndRoom))
            w.Option(kOptProxyAutodiscovery, row252->text, std::min<size_t>(row252->length, 127));
        else
            DhcpLog(5, "%s", mtuMessage);
    }
    if (env.servicesMask & SVC_BINL) w.Byte(kOptPad);
    w.Byte(kOptEnd);
    w.Byte(0);
    w.Byte(0);
}

void SetSname(uint8_t* packet, const std::string& name, size_t maxLen) {
    std::memset(packet + kOffSname, 0, 64);
    std::memcpy(packet + kOffSname, name.data(), std::min(name.size(), maxLen));
}

void SetFile(uint8_t* packet, const char* text, size_t maxLen) {
    std::memset(packet + kOffFile, 0, 128);
    std::memcpy(packet + kOffFile, text, strnlen(text, maxLen));
}

void LogReceived(const char* prefix, const uint8_t* packet, const RequestInfo& req) {
    // No vendor lookup for a line that is not written, nor for one over its client's budget.
    if (!DhcpLogEnabled(5) || !DhcpPeerMayLog(5)) return;
    const char* typeName = DhcpMessageTypeName(req.type);
    std::string ip = IPv4Text(Get32(packet + kOffCiaddr));
    std::string mac = MacOf(packet);
    if (!req.classId[0]) {
        DhcpLogLine(5, "%s Inf: Rcvd %s from IP %s, MAC %s", prefix, typeName, ip.c_str(), mac.c_str());
    } else if (!startsWith(req.classId, "PXEClient")) {
        DhcpLogLine(
            5, "%s Inf: Rcvd %s from IP %s, MAC %s, ClassID \"%s\"", prefix, typeName, ip.c_str(), mac.c_str(),
            EscapePeerText(std::string_view(req.classId, strnlen(req.classId, sizeof req.classId)), 200).c_str());
    } else {
        char buf[8];
        DhcpLogLine(5, "%s Inf: Rcvd %s from IP %s, MAC %s, ClassID \"%s\", Arch %s%s", prefix, typeName, ip.c_str(),
                    mac.c_str(), "PXEClient", ClientArchName(req.arch, buf), req.ipxe ? ", iPXE/gPXE" : "");
    }
}

// A PXE client whose boot program is missing (or cannot be named) gets no answer.
void LogMissingNbp(const char* prefix, const char* typeName, const uint8_t* packet, const RequestInfo& req,
                   const ArchBootRow& row) {
    char archBuf[8];
    DhcpLog(5, "%s Warn: %s from MAC %s, Arch %s%s, needs a missing NBP [%s]", prefix, typeName, MacOf(packet).c_str(),
            ClientArchName(req.arch, archBuf), req.ipxe ? ", iPXE/gPXE" : "", row.text);
}

bool DropMalformed(const char* prefix, const uint8_t* packet) {
    if (!RequestMalformed(packet)) return false;
    DhcpLog(5, "%s Inf: Malformed request from MAC %s : ignoring request", prefix, MacOf(packet).c_str());
    return true;
}

// The server identifier of a reply to a client address and siaddr: the identifier is
// DHCP_LocalIP, else the local address that serves the client; siaddr is chosen from it
// (ChooseSiaddr) and written. Returns the identifier, 0 when none could be found.
uint32_t FillServerAddresses(const DhcpEnv& env, uint8_t* packet, uint32_t client, const char* service,
                             const char* siaddrMessage) {
    uint32_t serverId = env.dhcpLocalIp;
    if (!serverId && env.serverAddressForClient) serverId = env.serverAddressForClient(client, false);
    if (!serverId) DhcpLog(1, "%s Err: Unable to define \"DHCP Server Identifier\"; try binding the service", service);
    bool undefined = false;
    const uint32_t siaddr = ChooseSiaddr(env, serverId, &undefined);
    if (undefined) DhcpLog(1, "%s", siaddrMessage);
    Put32(packet + kOffSiaddr, siaddr);
    return serverId;
}

}  // namespace

uint32_t ChooseSiaddr(const DhcpEnv& env, uint32_t serverId, bool* undefined) {
    *undefined = false;
    uint32_t next = env.cfg->rec.NextServer;
    if (next != 0xFFFFFFFFu) return next;
    if (!(env.servicesMask & SVC_TFTP_SERVER)) return 0;
    if (env.tftpLocalIp) return env.tftpLocalIp;
    if (serverId) return serverId;
    *undefined = true;
    return 0;
}

ReplyTarget ReplyDestination(const uint8_t* request, bool pdhcpThread, uint16_t sourcePort) {
    const uint32_t ciaddr = Get32(request + kOffCiaddr);
    const uint32_t giaddr = Get32(request + kOffGiaddr);
    const uint32_t yiaddr = Get32(request + kOffYiaddr);
    // Port 4011 is asked directly by a client that has its address: the answer goes back to it.
    if (pdhcpThread && ciaddr) return {ciaddr, sourcePort};
    // A relayed request is answered through its relay, even from a client that names its own
    // address: the relay knows the way to the client's link, this host may not (the address
    // of a client on another link, or one that no longer answers, would hold the reply in
    // address resolution).
    if (giaddr) return {giaddr, kBootpServerPort};
    if (ciaddr) return {ciaddr, kBootpClientPort};
    if (request[kOffFlags] & kBootpBroadcastFlag) return {0xFFFFFFFFu, kBootpClientPort};
    if (yiaddr) return {yiaddr, kBootpClientPort};
    return {0xFFFFFFFFu, kBootpClientPort};
}

int startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0 ? 1 : 0;
}

const uint8_t* findDhcpOption(const uint8_t* cookie, uint8_t code, int* length) {
    if (std::memcmp(cookie, kDhcpMagicCookie, 4) != 0) return nullptr;
    const uint8_t* opt = cookie + 4;
    size_t pos = 0;
    while (pos < 1219) {
        uint8_t c = opt[pos];
        if (c == code || c == kOptEnd) break;
        pos += c == kOptPad ? 1 : static_cast<size_t>(opt[pos + 1]) + 2;
    }
    if (pos >= 1220 || opt[pos] != code) return nullptr;
    size_t len = opt[pos + 1];
    if (pos + len >= 1222) return nullptr;
    if (length) *length = static_cast<int>(len);
    return opt + pos + 2;
}

const char* ClientArchName(int arch, char buf[8]) {
    if (arch >= 0 && arch < 37) return kArchNames[arch];
    std::snprintf(buf, 8, "0x%04X", arch & 0xFFFF);
    return buf;
}

const char* DhcpMessageTypeName(int type) { return type >= 0 && type < 9 ? kTypeNames[type] : kTypeNames[9]; }

namespace {

// findDhcpOption for several codes in one walk over the options: each code gets what
// findDhcpOption would return for it (nullptr, or the payload and *length).
template <size_t N>
void FindDhcpOptions(const uint8_t* cookie, const uint8_t (&codes)[N], const uint8_t* (&found)[N], int (&lengths)[N]) {
    for (size_t k = 0; k < N; ++k) found[k] = nullptr;
    if (std::memcmp(cookie, kDhcpMagicCookie, 4) != 0) return;
    const uint8_t* opt = cookie + 4;
    size_t at[N];
    bool seen[N] = {};
    auto take = [&](size_t pos) {
        for (size_t k = 0; k < N; ++k) {
            if (seen[k] || opt[pos] != codes[k]) continue;
            seen[k] = true;
            at[k] = pos;
        }
    };
    // The walk of findDhcpOption: a code's walk stops at its first occurrence, the others
    // go on past it in the same steps.
    size_t pos = 0;
    bool ended = false;
    while (pos < 1219) {
        const uint8_t c = opt[pos];
        if (c == kOptEnd) {
            ended = true;
            break;
        }
        take(pos);
        pos += c == kOptPad ? 1 : static_cast<size_t>(opt[pos + 1]) + 2;
    }
    if (!ended && pos < 1220) take(pos);  // where a walk that ran out of room stops
    for (size_t k = 0; k < N; ++k) {
        if (!seen[k]) continue;
        const size_t len = opt[at[k] + 1];
        if (at[k] + len >= 1222) continue;
        lengths[k] = static_cast<int>(len);
        found[k] = opt + at[k] + 2;
    }
}

}  // namespace

RequestInfo ReadRequest(const uint8_t* packet) {
    RequestInfo r;
    r.macLength = std::min<int>(packet[kOffHlen], 16);
    const uint8_t* cookie = packet + kOffCookie;
    if (std::memcmp(cookie, kDhcpMagicCookie, 4) != 0) return r;
    static constexpr uint8_t kCodes[] = {kOptMessageType, kOptVendorClass, kOptClientArch, kOptUserClass};
    const uint8_t* found[4];
    int lengths[4] = {};
    FindDhcpOptions(cookie, kCodes, found, lengths);
    int len = lengths[0];
    if (const uint8_t* t = found[0]; t && len >= 1) {
        r.type = t[0];
        r.hasType = true;
    }
    len = lengths[1];
    if (const uint8_t* c = found[1]; c && len > 0) std::memcpy(r.classId, c, static_cast<size_t>(std::min(len, 32)));
    len = lengths[2];
    if (const uint8_t* a = found[2]; a && len == 2) r.arch = (a[0] << 8) | a[1];
    len = lengths[3];
    if (const uint8_t* u = found[3]; u && len == 4)
        r.ipxe = std::memcmp(u, "iPXE", 4) == 0 || std::memcmp(u, "gPXE", 4) == 0;
    return r;
}

bool RequestMalformed(const uint8_t* packet) {
    if (packet[kOffHlen] > 16) return true;
    if (std::memcmp(packet + kOffCookie, kDhcpMagicCookie, 4) != 0) return false;
    size_t pos = kOffOptions;
    while (pos < kDhcpBufferSize) {
        const uint8_t c = packet[pos];
        if (c == kOptEnd) return false;
        if (c == kOptPad) {
            ++pos;
            continue;
        }
        if (pos + 1 >= kDhcpBufferSize) break;
        pos += 2u + packet[pos + 1];
    }
    return true;
}

bool ArchOutsideTables(int arch) { return arch != kArchAbsent && (arch < 0 || arch >= kArchRows); }

const ArchBootRow& SelectArchRow(const ArchBootTable& table, IpxeKeyRows ipxeRows, int arch, bool ipxe) {
    if (arch == kArchAbsent) arch = kArchX86Bios;  // absent or malformed
    if (arch < 0 || arch >= kArchRows) return kNoRow;
    if (ipxe) {
        int row = arch == kArchX86Bios   ? 10
                  : arch == kArchX86Uefi ? 11
                  : arch == kArchX64Uefi ? 12
                  : arch == kArchEbc     ? 13
                                         : -1;
        // The iPXE row serves only when its own key declared it.
        if (row >= 0 && (ipxeRows & (1u << row))) return table.rows[row];
    }
    // Rows 10 to 13 are the architectures' own only when their key ("a", "b", ...) or the
    // default entry filled them: a row an iPXE key declared names a program of another
    // architecture, and the client has no row, as for an undeclared one.
    if (arch < kFilledArchRows && (ipxeRows & (1u << arch))) return kNoRow;
    return table.rows[arch];
}

uint32_t findStaticLease(const DhcpSettings& s, const uint8_t* packet) {
    if (!s.DHCP_ProcStatLeases) return 0xFFFFFFFFu;
    static const uint8_t zero[4] = {};
    for (const auto& e : s.StaticLeases) {
        if (std::memcmp(e.mac, zero, 4) == 0) continue;
        if (std::memcmp(e.mac, packet + kOffChaddr, 6) == 0) return e.address;
    }
    return 0xFFFFFFFFu;
}

DhcpLease* chooseLeaseAddress(DhcpEnv& env, uint32_t* address, const uint8_t* mac, int macLength) {
    LeaseTable& t = *env.leases;
    const int L = std::clamp(macLength, 0, 16);
    const uint32_t R = *address;
    const bool wanted = R != 0 && t.IsAddressInPool(R);

    if (L > 0) {
        if (DhcpLease* own = t.FindByMac(mac, L)) {
            if (wanted && own->address != R) {
                t.Free(own);
            } else {
                DhcpLog(12, "DHCP Inf: Reply with previously allocated : %s", IPv4Text(own->address).c_str());
                t.StampOfferTime(own, env.now);
                return own;
            }
        }
    }
    if (wanted) {
        bool expired = false;
        DhcpLease* held = t.FindByIp(R, &expired, env.now);
        if (!held) {
            if (DhcpLease* l = t.Assign(nullptr, R, mac, L, env.now)) {
                DhcpLog(12, "DHCP Inf: Reply with requested address : %s", IPv4Text(R).c_str());
                return l;
            }
        } else if (expired || std::memcmp(held->mac, mac, static_cast<size_t>(std::max(L, 6))) == 0) {
            // A short hardware address compares as it is kept, with zeros after it.
            DhcpLog(5, "DHCP Inf: Request for %s granted", IPv4Text(R).c_str());
            return t.Assign(held, R, mac, L, env.now);
        }
    }
    if (t.capacity() > 0 && t.count() < t.capacity()) {
        // The first pool address that no lease holds.
        for (uint32_t a = t.poolStart(); t.IsAddressInPool(a); a = LeaseTable::NextPoolAddress(a)) {
            if (t.FindByIp(a, nullptr, env.now)) continue;
            DhcpLease* l = t.Assign(nullptr, a, mac, L, env.now);
            if (!l) break;
            DhcpLog(12, "DHCP Inf: Reply with new : %s", IPv4Text(a).c_str());
            return l;
        }
    }
    const int64_t leaseSeconds = static_cast<int64_t>(t.leaseMinutes()) * 60;
    for (int i = 0; i < t.count(); ++i) {
        DhcpLease* l = t.at(i);
        if (env.now - l->offerTime > 120 && (l->startTime == 0 || l->startTime < env.now - leaseSeconds)) {
            uint32_t a = l->address;
            t.Assign(l, a, mac, L, env.now);
            DhcpLog(12, "DHCP Inf: Reply with reuse : %s", IPv4Text(a).c_str());
            return l;
        }
    }
    return nullptr;
}

void recordDeclinedAddress(DhcpEnv& env, uint32_t address, const uint8_t owner[6]) {
    LeaseTable& leases = *env.leases;
    std::lock_guard<std::recursive_mutex> lock(leases.mutex());
    LeaseTable::Change change(leases);
    if (DhcpLease* l = allocateAddress(env, kDhcpDecline, &address, owner, 6)) {
        if (l->offerTime == 0) leases.StampOfferTime(l, env.now);
        leases.SetStartTime(l, PermanentLeaseStamp);
        DhcpLog(5, "DHCP Inf: Added lease for existing address %s", IPv4Text(l->address).c_str());
    }
}

DhcpLease* allocateAddress(DhcpEnv& env, int type, uint32_t* address, const uint8_t* mac, int macLength) {
    // Every suppressed address takes one lease, so the loop ends within the pool.
    for (int round = 0; round <= env.leases->capacity(); ++round) {
        DhcpLease* l = chooseLeaseAddress(env, address, mac, macLength);
        if (!l) return nullptr;
        if (!env.pingAddress || type != kDhcpDiscover || !env.probe) return l;
        int inUse = env.probe(l->address);
        if (inUse <= 0) return l;  // free, or the probe could not run (logged by the probe)
        DhcpLog(2, "DHCP Inf: Suppress pingable address %s", IPv4Text(l->address).c_str());
        env.leases->Assign(l, l->address, PingProbeMac, 6, env.now);
        env.leases->StampStartTime(l, env.now);
    }
    return nullptr;
}

size_t buildDhcpReply(DhcpEnv& env, uint8_t* packet, int type, const RequestInfo& req) {
    const DhcpSettings& s = env.cfg->rec;
    const ArchBootRow& row = SelectArchRow(s.BootFileTable, env.cfg->bootFileIpxe, req.arch, req.ipxe);
    SetSname(packet, (env.servicesMask & SVC_BINL) ? env.hostName : std::string(), 58);
    SetFile(packet, row.text, 126);
    const uint32_t rowBlocks = row.sizeBlocks;
    const uint32_t blocks = rowBlocks > 0xFFFF ? 0xFFFF : rowBlocks;
    std::memcpy(packet + kOffCookie, kDhcpMagicCookie, 4);
    const uint32_t serverId = FillServerAddresses(env, packet, Get32(packet + kOffYiaddr), "DHCP",
                                                  "DHCP Err: Unable to define \"siaddr\"; Try binding the service");

    OptionWriter w(packet);
    const uint8_t t = static_cast<uint8_t>(type);
    w.Option(kOptMessageType, &t, 1);
    w.Option(kOptServerId, &serverId, 4);
    w.Option(kOptSubnetMask, &s.SubnetMask, 4);
    if (s.RouterOption[0]) w.Bytes(s.RouterOption, std::min<size_t>(s.RouterOption[1], 252) + 2u);
    if (s.DnsOption[0]) w.Bytes(s.DnsOption, std::min<size_t>(s.DnsOption[1], 252) + 2u);
    if ((env.servicesMask & SVC_SYSLOG) && env.syslogLocalIp && !UserOptionHasCode(s, kOptLogServer))
        w.Option(kOptLogServer, &env.syslogLocalIp, 4);
    const uint32_t minutes = static_cast<uint32_t>(s.DHCP_LeaseTime);
    w.U32(kOptLeaseTime, minutes * 60);
    w.U32(kOptRenewalTime, (minutes / 2) * 60);
    w.U32(kOptRebindingTime, (minutes * 7 / 8) * 60);
    if (blocks && !UserOptionHasCode(s, kOptBootFileSize)) {
        uint8_t b[2] = {static_cast<uint8_t>(blocks >> 8), static_cast<uint8_t>(blocks)};
        w.Option(kOptBootFileSize, b, 2);
    }
    size_t domainLen = strnlen(s.DHCP_DomainName, sizeof s.DHCP_DomainName - 1);
    if (domainLen) w.Option(kOptDomainName, s.DHCP_DomainName, domainLen);
    WriteUserOptionsAndEnd(env, w, &req, true, Option252Row(env, req),
                           "DHCP Err: DHCP answer is bigger than MTU; Reduce option size");
    return w.pos();
}

size_t buildPdhcpOffer(DhcpEnv& env, uint8_t* packet, int type) {
    packet[kOffOp] = kBootReply;
    SetSname(packet, env.hostName, 63);
    Put32(packet + kOffCiaddr, 0);
    Put32(packet + kOffYiaddr, 0);
    SetFile(packet, "", 0);
    std::memcpy(packet + kOffCookie, kDhcpMagicCookie, 4);
    const uint32_t serverId =
        FillServerAddresses(env, packet, 0, "PDHCP", "PDHCP Err: Unable to define \"siaddr\"; Try binding the service");
    OptionWriter w(packet);
    const uint8_t t = static_cast<uint8_t>(type);
    w.Option(kOptMessageType, &t, 1);
    w.Option(kOptServerId, &serverId, 4);
    if (env.servicesMask & SVC_PDHCP) w.Option(kOptVendorClass, "PXEClient", 9);
    WriteUserOptionsAndEnd(env, w, nullptr, false, nullptr,
                           "PDHCP Err: PDHCP answer is bigger than MTU; Reduce option size");
    return w.pos();
}

size_t buildPdhcpAck(DhcpEnv& env, uint8_t* packet, int type, const RequestInfo& req) {
    const DhcpSettings& s = env.cfg->rec;
    packet[kOffOp] = kBootReply;
    SetSname(packet, env.hostName, 63);
    const uint32_t serverId = FillServerAddresses(env, packet, Get32(packet + kOffCiaddr), "PDHCP",
                                                  "PDHCP Err: Unable to define \"siaddr\"; try binding the service");
    const ArchBootRow& row = SelectArchRow(s.BootFileTable, env.cfg->bootFileIpxe, req.arch, req.ipxe);
    SetFile(packet, row.text, 127);
    Put32(packet + kOffCiaddr, 0);
    Put32(packet + kOffYiaddr, 0);
    std::memcpy(packet + kOffCookie, kDhcpMagicCookie, 4);
    OptionWriter w(packet);
    const uint8_t t = static_cast<uint8_t>(type);
    w.Option(kOptMessageType, &t, 1);
    w.Option(kOptServerId, &serverId, 4);
    if (env.servicesMask & SVC_PDHCP) w.Option(kOptVendorClass, "PXEClient", 9);
    WriteUserOptionsAndEnd(env, w, &req, true, Option252Row(env, req),
                           "PDHCP Err: PDHCP answer is bigger than MTU; Reduce option size");
    return w.pos();
}

int processDhcpRequest(DhcpEnv& env, int /*port*/, uint8_t* packet, size_t* outLength) {
    const DhcpSettings& s = env.cfg->rec;
    RequestInfo req = ReadRequest(packet);
    const uint32_t yiaddr = Get32(packet + kOffYiaddr);
    if (yiaddr != 0 && yiaddr != 0xFFFFFFFFu) return 0;
    if (DropMalformed("DHCP", packet)) return 0;
    if (req.macLength == 0) {
        // Without a hardware address nothing tells one client from another.
        DhcpLog(5, "DHCP Inf: Malformed request from MAC %s : ignoring request", MacOf(packet).c_str());
        return 0;
    }
    LogReceived("DHCP", packet, req);
    // The client is its hlen bytes of chaddr: the bytes beyond them are not part of its
    // address, so a short address is kept and compared with zeros after it.
    uint8_t clientMac[16] = {};
    std::memcpy(clientMac, packet + kOffChaddr, static_cast<size_t>(req.macLength));
    const uint8_t* mac = clientMac;
    const uint8_t* cookie = packet + kOffCookie;
    LeaseTable& leases = *env.leases;
    std::lock_guard<std::recursive_mutex> lock(leases.mutex());
    LeaseTable::Change change(leases);  // what the request changes is written once
    int optLen = 0;
    const uint8_t* opt50 = findDhcpOption(cookie, kOptRequestedAddress, &optLen);
    if (opt50 && optLen != 4) opt50 = nullptr;
    int result = 0;

    switch (req.type) {
        case kDhcpBootp:
        case kDhcpDiscover: {
            const ArchBootRow& row = SelectArchRow(s.BootFileTable, env.cfg->bootFileIpxe, req.arch, req.ipxe);
            if (ArchOutsideTables(req.arch) ||
                ((env.servicesMask & SVC_BINL) && startsWith(req.classId, "PXEClient") && !row.present)) {
                LogMissingNbp("DHCP", "DHCPDISCOVER", packet, req, row);
                return 0;
            }
            uint32_t fixed = findStaticLease(s, packet);
            if (fixed != 0xFFFFFFFFu) {
                Put32(packet + kOffYiaddr, fixed);
                DhcpLog(0, "DHCP Inf: %s statically assigned to address %s", MacOf(packet).c_str(),
                        IPv4Text(fixed).c_str());
            } else {
                uint32_t requested = Get32(packet + kOffCiaddr);
                if (opt50) {
                    requested = Get32(opt50);
                    Put32(packet + kOffCiaddr, requested);
                    DhcpLog(5, "DHCP Inf: Address %s has been REQUESTED", IPv4Text(requested).c_str());
                }
                DhcpLease* l = allocateAddress(env, req.type, &requested, mac, req.macLength);
                if (!l) {
                    DhcpLog(1, "DHCP Err: No more addresses or address previously allocated by another server");
                    return 0;
                }
                Put32(packet + kOffYiaddr, l->address);
                DhcpLog(2, "DHCP Inf: Address %s is being OFFERED", IPv4Text(l->address).c_str());
                if (req.type == kDhcpBootp) leases.SetStartTime(l, PermanentLeaseStamp);
            }
            packet[kOffOp] = kBootReply;
            *outLength = buildDhcpReply(env, packet, kDhcpOffer, req);
            result = 1;
            break;
        }
        case kDhcpRequest: {
            if (ArchOutsideTables(req.arch)) {
                LogMissingNbp("DHCP", "DHCPREQUEST", packet, req, kNoRow);
                return 0;
            }
            uint32_t fixed = findStaticLease(s, packet);
            if (fixed != 0xFFFFFFFFu) {
                Put32(packet + kOffYiaddr, fixed);
                packet[kOffOp] = kBootReply;
                *outLength = buildDhcpReply(env, packet, kDhcpAck, req);
                result = 1;
                break;
            }
            if (!leases.FindByMac(mac, req.macLength)) return 0;
            uint32_t requested = Get32(packet + kOffCiaddr);
            if (opt50) {
                requested = Get32(opt50);
                Put32(packet + kOffCiaddr, requested);
            }
            bool expired = false;
            DhcpLease* held = leases.FindByIp(requested, &expired, env.now);
            if (!leases.IsAddressInPool(requested) || (held && !expired && std::memcmp(held->mac, mac, 6) != 0)) {
                DhcpLog(5, "DHCP Err: Requested address %s not allocated; not in pool or already in use",
                        IPv4Text(requested).c_str());
                return 0;
            }
            DhcpLease* l = allocateAddress(env, kDhcpRequest, &requested, mac, req.macLength);
            if (!l) {
                DhcpLog(1, "DHCP Err: no more addresses or address previously allocated by another server");
                return 0;
            }
            if (l->offerTime == 0) leases.StampOfferTime(l, env.now);
            leases.StampStartTime(l, env.now);
            DhcpLog(5, "DHCP Inf: Address %s is being ACKED", IPv4Text(l->address).c_str());
            packet[kOffOp] = kBootReply;
            Put32(packet + kOffYiaddr, l->address);
            *outLength = buildDhcpReply(env, packet, kDhcpAck, req);
            result = 1;
            break;
        }
        case kDhcpDecline: {
            DhcpLease* own = leases.FindByMac(mac, req.macLength);
            if (own && opt50 && Get32(opt50) == own->address) {
                leases.Free(own);
                DhcpLog(5, "DHCP Inf: Lease destroyed");
            }
            uint32_t declined = Get32(packet + kOffCiaddr);
            if (opt50) {
                declined = Get32(opt50);
                Put32(packet + kOffCiaddr, declined);
            }
            if (declined && env.checkDeclined) env.checkDeclined(declined);
            break;
        }
        case kDhcpRelease:
            if (DhcpLease* own = leases.FindByMac(mac, req.macLength)) {
                leases.ClearOfferTime(own);
                leases.ClearStartTime(own);
                DhcpLog(5, "DHCP Inf: Lease %s released", MacOf(packet).c_str());
            }
            break;
        default: break;
    }
    leases.LogTable(env.now);
    return result;
}

int processPdhcpRequest(DhcpEnv& env, int port, uint8_t* packet, size_t* outLength) {
    if (!(env.servicesMask & SVC_PDHCP)) return 0;
    RequestInfo req = ReadRequest(packet);
    if (!req.hasType || !req.classId[0]) return 0;
    if (DropMalformed("PDHCP", packet)) return 0;
    LogReceived("PDHCP", packet, req);
    const DhcpSettings& s = env.cfg->rec;
    const bool pxe = startsWith(req.classId, "PXEClient");
    if (req.type == kDhcpDiscover && pxe && port == kBootpServerPort) {
        const ArchBootRow& row = SelectArchRow(s.BootFileTable, env.cfg->bootFileIpxe, req.arch, req.ipxe);
        if (ArchOutsideTables(req.arch) || ((env.servicesMask & SVC_BINL) && !row.present)) {
            LogMissingNbp("PDHCP", "DHCPDISCOVER", packet, req, row);
            return 0;
        }
        *outLength = buildPdhcpOffer(env, packet, kDhcpOffer);
        DhcpLog(5, "PDHCP Inf: Sending DHCPOFFER");
        return 1;
    }
    if (req.type == kDhcpRequest && pxe && port == kPxeProxyPort && Get32(packet + kOffCiaddr) != 0) {
        if (ArchOutsideTables(req.arch)) {
            LogMissingNbp("PDHCP", "DHCPREQUEST", packet, req, kNoRow);
            return 0;
        }
        DhcpEventRecord ev{};
        std::snprintf(ev.clientAddress, sizeof ev.clientAddress, "%s", IPv4Text(Get32(packet + kOffCiaddr)).c_str());
        std::snprintf(ev.clientMac, sizeof ev.clientMac, "%s", MacOf(packet).c_str());
        *outLength = buildPdhcpAck(env, packet, kDhcpAck, req);
        std::string tftp = IPv4Text(Get32(packet + kOffSiaddr));
        const ArchBootRow& boot = SelectArchRow(s.BootFileTable, env.cfg->bootFileIpxe, req.arch, req.ipxe);
        const ArchBootRow& o67 = SelectArchRow(s.Option67Table, env.cfg->option67Ipxe, req.arch, req.ipxe);
        const bool useBoot = boot.text[0] != 0;
        DhcpLog(5, "PDHCP Inf: Sending DHCPACK, TFTP [%s]  %s [%s]", tftp.c_str(), useBoot ? "bootfile" : "option 67",
                useBoot ? boot.text : o67.text);
        std::snprintf(ev.tftpServer, sizeof ev.tftpServer, "%s", tftp.c_str());
        std::memcpy(ev.bootFile, packet + kOffFile, 128);
        ev.bootFile[128] = 0;
        if (env.sendEvent) env.sendEvent(ev);
        return 1;
    }
    return 0;
}
