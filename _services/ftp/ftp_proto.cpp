#include "_services/ftp/ftp_proto.h"

#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {
const char* const kVerbs[FTP_VERB_COUNT] = {
    "QUIT", "USER", "PASS", "NOOP", "ALLO", "SITE", "HELP", "SYST", "STRU", "MODE", "TYPE", "CLNT", "PORT", "PASV",
    "EPSV", "LIST", "NLST", "CWD",  "XCWD", "FEAT", "MDTM", "PWD",  "XPWD", "CDUP", "XCUP", "STAT", "ABOR", "REST",
    "RETR", "STOR", "APPE", "STOU", "SIZE", "DELE", "RNFR", "RNTO", "MKD",  "XMKD", "RMD",  "XRMD", "OPTS"};

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

const char* const kFtpFeatReply = "211-Features:\r\n CLNT\r\n MDTM\r\n REST STREAM\r\n SIZE\r\n211 End";

FtpCommand ParseFtpCommand(std::string_view line) {
    FtpCommand c;
    size_t blank = line.find(' ');
    std::string_view verb = line.substr(0, blank);
    if (blank != std::string_view::npos) {
        c.hasArgument = true;
        c.argument.assign(line.substr(blank + 1));
    }
    for (int i = 0; i < FTP_VERB_COUNT; ++i) {
        if (verb.size() == strlen(kVerbs[i]) && strncasecmp(verb.data(), kVerbs[i], verb.size()) == 0) {
            c.verb = i;
            break;
        }
    }
    return c;
}

const char* FtpVerbName(int verb) { return verb >= 0 && verb < FTP_VERB_COUNT ? kVerbs[verb] : "?"; }

void FtpLineReader::Drop(size_t n) {
    memmove(buf_, buf_ + n, used_ - n);
    used_ -= n;
}

void FtpLineReader::Commit(size_t n) {
    constexpr unsigned char kIac = 255, kWill = 251, kDont = 254;
    size_t out = used_;
    for (size_t i = used_; i < used_ + n; ++i) {
        const unsigned char b = static_cast<unsigned char>(buf_[i]);
        switch (telnet_) {
            case kData:
                if (b == kIac)
                    telnet_ = kAfterIac;
                else
                    buf_[out++] = static_cast<char>(b);
                break;
            case kAfterIac:
                if (b == kIac) buf_[out++] = static_cast<char>(b);  // an escaped 255
                telnet_ = b >= kWill && b <= kDont ? kAfterOption : kData;
                break;
            case kAfterOption:
                telnet_ = kData;  // the option code of a negotiation
                break;
        }
    }
    used_ = out;
}

FtpLineReader::Result FtpLineReader::Next(std::string* line) {
    for (size_t i = 0; i < used_;) {
        char c = buf_[i];
        if (c != '\r' && c != '\n' && c != '\0') {
            ++i;
            continue;
        }
        if (overflow_ || i == 0) {  // the end of a dropped line, or an empty line
            overflow_ = false;
            Drop(i + 1);
            i = 0;
            continue;
        }
        line->assign(buf_, i);
        Drop(i + 1);
        return kLine;
    }
    if (used_ < kSize) return kNeedMore;
    used_ = 0;  // full without a line end: drop it and everything up to the line end
    if (overflow_) return kNeedMore;
    overflow_ = true;
    return kTooLong;
}

bool ParsePortArgument(const std::string& arg, uint32_t* addr, uint16_t* port) {
    unsigned v[6];
    const char* p = arg.c_str();
    for (int i = 0; i < 6; ++i) {
        if (*p < '0' || *p > '9') return false;
        unsigned n = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3) return false;
            n = n * 10 + static_cast<unsigned>(*p - '0');
        }
        if (n > 255) return false;
        v[i] = n;
        if (i < 5) {
            if (*p != ',') return false;
            ++p;
        }
    }
    if (*p != '\0') return false;
    uint32_t a = (v[0] << 24) | (v[1] << 16) | (v[2] << 8) | v[3];
    uint16_t pt = static_cast<uint16_t>(v[4] * 256 + v[5]);
    if (a == 0 || pt == 0) return false;
    *addr = a;
    *port = pt;
    return true;
}

bool ParseRestOffset(const std::string& arg, int64_t* offset) {
    const char* p = arg.c_str();
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t n = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (n > (INT64_MAX - (*p - '0')) / 10) return false;
        n = n * 10 + (*p - '0');
    }
    *offset = negative ? -n : n;
    return true;
}

SiteChmod ParseSiteChmod(const std::string& arg, uint16_t* mode, std::string* path) {
    if (arg.size() < 6 || strncasecmp(arg.c_str(), "CHMOD ", 6) != 0) return SiteChmod::NotChmod;
    size_t start = 6;
    while (start < arg.size() && arg[start] == ' ') ++start;
    size_t end = arg.find(' ', start);
    std::string word = arg.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string rest = end == std::string::npos ? std::string() : arg.substr(end + 1);
    if (word.empty() || word.size() > 4 || rest.size() > 260) return SiteChmod::Syntax;
    unsigned value = 0;
    for (char c : word) {
        if (c < '0' || c > '7') return SiteChmod::Syntax;
        value = value * 8 + static_cast<unsigned>(c - '0');
    }
    *mode = static_cast<uint16_t>(value & 0xFFF);
    *path = rest;
    return SiteChmod::Ok;
}

uint16_t ListModeWord(unsigned mode, bool folder) {
    const unsigned m = mode & 07777;
    uint16_t word = static_cast<uint16_t>((m & 07) | ((m & 070) << 1) | ((m & 0700) << 2) | ((m & 07000) << 3));
    if (folder) word |= 0x8000;
    return word;
}

std::string PermissionText(uint16_t w) {
    char t[11];
    t[0] = (w & 0x8000) ? 'd' : '-';
    struct Group {
        uint16_t r, wr, x, special;
        char set;
    };
    const Group groups[3] = {
        {0x400, 0x200, 0x100, 0x4000, 's'}, {0x40, 0x20, 0x10, 0x2000, 's'}, {0x4, 0x2, 0x1, 0x1000, 't'}};
    for (int g = 0; g < 3; ++g) {
        const Group& G = groups[g];
        t[1 + g * 3] = (w & G.r) ? 'r' : '-';
        t[2 + g * 3] = (w & G.wr) ? 'w' : '-';
        bool x = w & G.x;
        if (w & G.special)
            t[3 + g * 3] = x ? G.set : static_cast<char>(G.set - 'a' + 'A');
        else
            t[3 + g * 3] = x ? 'x' : '-';
    }
    t[10] = 0;
    return t;
}

std::string FormatListLine(uint16_t modeWord, int64_t size, int64_t mtime, int64_t now, const std::string& name,
                           bool slashAfterFolder) {
    time_t t = static_cast<time_t>(mtime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char when[16];
    if (now - mtime < 15552001)
        snprintf(when, sizeof when, "%02d:%02d", tm.tm_hour, tm.tm_min);
    else
        snprintf(when, sizeof when, "%5d", tm.tm_year + 1900);
    char head[128];
    snprintf(head, sizeof head, "%s 1 user group %14" PRId64 " %s %2d %s ", PermissionText(modeWord).c_str(), size,
             kMonths[tm.tm_mon], tm.tm_mday, when);
    std::string line = head;
    line += name;
    if (slashAfterFolder && (modeWord & 0x8000)) line += '/';
    line += "\r\n";
    return line;
}

std::string PasvReply(uint32_t a, uint16_t port) {
    char r[96];
    snprintf(r, sizeof r, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u)", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF,
             a & 0xFF, port >> 8, port & 0xFF);
    return r;
}

std::string EpsvReply(uint16_t port) {
    char r[64];
    snprintf(r, sizeof r, "229 Entering Extended Passive Mode (,,,%u,)", port);
    return r;
}

std::string MdtmReply(int64_t mtime) {
    time_t t = static_cast<time_t>(mtime);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char r[48];
    snprintf(r, sizeof r, "213 %04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec);
    return r;
}
