// The FTP control protocol as pure functions on text: the verb table, the command-line
// reader, argument parsers (PORT, REST, SITE CHMOD) and the reply and listing-line builders.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

constexpr uint16_t kFtpControlPort = 21;

enum FtpVerb : int {
    FTP_QUIT = 0,
    FTP_USER,
    FTP_PASS,
    FTP_NOOP,
    FTP_ALLO,
    FTP_SITE,
    FTP_HELP,
    FTP_SYST,
    FTP_STRU,
    FTP_MODE,
    FTP_TYPE,
    FTP_CLNT,
    FTP_PORT,
    FTP_PASV,
    FTP_EPSV,
    FTP_LIST,
    FTP_NLST,
    FTP_CWD,
    FTP_XCWD,
    FTP_FEAT,
    FTP_MDTM,
    FTP_PWD,
    FTP_XPWD,
    FTP_CDUP,
    FTP_XCUP,
    FTP_STAT,
    FTP_ABOR,
    FTP_REST,
    FTP_RETR,
    FTP_STOR,
    FTP_APPE,
    FTP_STOU,
    FTP_SIZE,
    FTP_DELE,
    FTP_RNFR,
    FTP_RNTO,
    FTP_MKD,
    FTP_XMKD,
    FTP_RMD,
    FTP_XRMD,
    FTP_OPTS,
    FTP_VERB_COUNT
};

// User privilege bits.
enum FtpPrivilege : uint8_t {
    FTP_PRIV_RETR = 0x01,
    FTP_PRIV_STORE = 0x02,
    FTP_PRIV_DELETE = 0x04,
    FTP_PRIV_LIST = 0x08,
    FTP_PRIV_MKDIR = 0x10,
    FTP_PRIV_RMDIR = 0x20,
};

struct FtpCommand {
    int verb = -1;  // FtpVerb, -1 when not understood
    bool hasArgument = false;
    std::string argument;  // the text after the first blank (may be empty)
};

// Splits at the first blank; the verb is compared without case and whole.
FtpCommand ParseFtpCommand(std::string_view line);
const char* FtpVerbName(int verb);

// The control connection's line assembly: CR, LF and NUL end a line, empty lines are skipped,
// a line that does not fit the buffer is reported once and dropped up to its end. Telnet
// commands (IAC and what follows it: IP, DM, AYT ..., or WILL/WONT/DO/DONT and an option) are
// taken out as the bytes arrive, across reads, so that an "IAC IP IAC DM ABOR" reads as ABOR;
// IAC IAC stands for one byte 255.
class FtpLineReader {
public:
    static constexpr size_t kSize = 292;  // lines of up to 291 characters
    enum Result { kLine, kTooLong, kNeedMore };
    Result Next(std::string* line);
    char* Room(size_t* size) {
        *size = kSize - used_;
        return buf_ + used_;
    }
    void Commit(size_t n);

private:
    void Drop(size_t n);
    enum TelnetState : uint8_t { kData, kAfterIac, kAfterOption };
    char buf_[kSize];
    size_t used_ = 0;
    bool overflow_ = false;
    TelnetState telnet_ = kData;
};

// PORT h1,h2,h3,h4,p1,p2: six decimal numbers of at most 255; false otherwise, or for a
// zero address or a zero port. *addr in host order.
bool ParsePortArgument(const std::string& arg, uint32_t* addr, uint16_t* port);

// REST: leading blanks, an optional sign and decimal digits (0 when none); false on overflow.
bool ParseRestOffset(const std::string& arg, int64_t* offset);

enum class SiteChmod { Ok, NotChmod, Syntax };
// "CHMOD mode path": mode 1 to 4 octal digits (masked with 0xFFF), path at most 260 characters
// (empty: the current folder).
SiteChmod ParseSiteChmod(const std::string& arg, uint16_t* mode, std::string* path);

// Listing mode word: the octal digits of the mode served for the entry
// (CPosixFileAttr::ServedMode) moved to 4-bit groups, bit 15 for a folder.
uint16_t ListModeWord(unsigned mode, bool folder);
std::string PermissionText(uint16_t modeWord);
// One LIST line with CR LF; times in seconds since 1970 (UTC).
std::string FormatListLine(uint16_t modeWord, int64_t size, int64_t mtime, int64_t now, const std::string& name,
                           bool slashAfterFolder);

std::string PasvReply(uint32_t localAddr, uint16_t port);  // addr in host order
std::string EpsvReply(uint16_t port);
std::string MdtmReply(int64_t mtime);
extern const char* const kFtpFeatReply;
