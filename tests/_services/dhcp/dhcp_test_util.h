// Request bytes, log lines and a settings/lease environment for the DHCP tests.
#pragma once
#include <arpa/inet.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "_services/dhcp/dhcp_log.h"
#include "_services/dhcp/dhcp_request.h"
#include "tests/support/log_capture.h"

inline uint32_t Ip(const char* t) {
    in_addr a;
    inet_pton(AF_INET, t, &a);
    return a.s_addr;
}

// True when the capture holds a line that begins with start.
inline bool Logged(const nimbo::test::LogCapture& log, const std::string& start) {
    return log.Any([&](const nimbo::test::CapturedLine& l) { return l.text.rfind(start, 0) == 0; });
}

struct Opt {
    uint8_t code;
    std::vector<uint8_t> data;
};

// A BOOTREQUEST in a zeroed receive buffer.
struct Packet {
    std::vector<uint8_t> buf = std::vector<uint8_t>(kDhcpBufferSize, 0);
    size_t length = 0;
    uint8_t* data() { return buf.data(); }
    uint32_t U32(size_t off) const {
        uint32_t v;
        std::memcpy(&v, buf.data() + off, 4);
        return v;
    }
    const uint8_t* Option(uint8_t code, int* len) const { return findDhcpOption(buf.data() + kOffCookie, code, len); }
    std::string File() const { return reinterpret_cast<const char*>(buf.data() + kOffFile); }
};

inline Packet MakeRequest(int type, uint8_t macLast, std::initializer_list<Opt> opts, bool cookie = true) {
    Packet p;
    uint8_t* b = p.data();
    b[kOffOp] = 1;
    b[kOffHtype] = 1;
    b[kOffHlen] = 6;
    b[kOffXid] = 0x12;
    const uint8_t mac[6] = {0x52, 0x54, 0x00, 0x12, 0x34, macLast};
    std::memcpy(b + kOffChaddr, mac, 6);
    size_t pos = kOffCookie;
    if (cookie) {
        const uint8_t c[4] = {0x63, 0x82, 0x53, 0x63};
        std::memcpy(b + pos, c, 4);
        pos += 4;
        if (type >= 0) {
            b[pos++] = 53;
            b[pos++] = 1;
            b[pos++] = static_cast<uint8_t>(type);
        }
        for (const auto& o : opts) {
            b[pos++] = o.code;
            b[pos++] = static_cast<uint8_t>(o.data.size());
            if (!o.data.empty()) std::memcpy(b + pos, o.data.data(), o.data.size());
            pos += o.data.size();
        }
        b[pos++] = 255;
    }
    p.length = std::max<size_t>(pos, 300);
    return p;
}

inline Opt Text(uint8_t code, const char* t) { return {code, std::vector<uint8_t>(t, t + std::strlen(t))}; }
inline Opt Arch(int a) { return {93, {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a)}}; }
inline Opt Addr(uint8_t code, const char* t) {
    uint32_t a = Ip(t);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&a);
    return {code, std::vector<uint8_t>(p, p + 4)};
}
