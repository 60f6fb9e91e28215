#include "_services/tftp_request.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "libs/platform/atomic_file.h"
#include "libs/platform/beneath.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/str_format.h"

namespace {
constexpr size_t kTftpLogLineMax = 511;
}  // namespace

void TftpLogf(TftpLog* log, int level, const char* format, ...) {
    if (!log) return;
    va_list ap;
    va_start(ap, format);
    std::string text = StrFormatV(format, ap);
    va_end(ap);
    // The lines carry the client's names and options: control bytes go as \DDD. The log keeps
    // 511 bytes of a line.
    log->push_back({level, EscapePeerText(text, kTftpLogLineMax)});
}

const char* TftpErrorText(int code) {
    switch (code) {
        case TFTP_EUNDEF: return "Undefined error code";
        case TFTP_ENOTFOUND: return "File not found";
        case TFTP_EACCESS: return "Access violation";
        case TFTP_ENOSPACE: return "Disk full or allocation exceeded";
        case TFTP_EBADOP: return "Illegal TFTP operation";
        case TFTP_EBADID: return "Unknown transfer ID";
        case TFTP_EEXISTS: return "File already exists";
        case TFTP_ENOUSER: return "No such user";
        case TFTP_ECANCELED: return "Canceled by administrator";
        default: return nullptr;
    }
}

std::vector<uint8_t> TftpBuildError(int code) {
    const char* text = TftpErrorText(code);
    int wire = code;
    if (!text) {
        text = strerror(code - kTftpErrnoBase);
        wire = TFTP_EUNDEF;
    }
    const size_t n = strlen(text);
    std::vector<uint8_t> p(4 + n + 1, 0);
    p[1] = TFTP_ERROR;
    p[2] = static_cast<uint8_t>((wire >> 8) & 0xFF);
    p[3] = static_cast<uint8_t>(wire & 0xFF);
    memcpy(p.data() + 4, text, n);
    return p;
}

int TftpDecodeRequest(const uint8_t* data, size_t length, TftpRequest* out, TftpLog* log) {
    uint8_t buf[kTftpRequestSize + 1] = {};
    if (length > kTftpRequestSize) length = kTftpRequestSize;
    memcpy(buf, data, length);
    buf[509] = 0;  // name and mode always end inside the buffer
    *out = TftpRequest{};
    out->opcode = static_cast<uint16_t>(length >= 2 ? (buf[0] << 8) | buf[1] : 0);
    if (out->opcode != TFTP_RRQ && out->opcode != TFTP_WRQ) {
        TftpLogf(log, 0, "TFTP Err: Unexpected request %d from peer; returning EBADOP", out->opcode);
        return TFTP_EBADOP;
    }
    const char* name = reinterpret_cast<const char*>(buf + 2);
    const size_t nameLen = strlen(name);
    if (nameLen >= kTftpNameLimit) {
        TftpLogf(log, 0, "TFTP Err: File name too long; returning EBADOP");
        return TFTP_EBADOP;
    }
    out->fileName.assign(name, nameLen);
    if (out->fileName.find('%') != std::string::npos) {
        TftpLogf(log, 1, "TFTP Err: unable to handle filenames with a percent sign");
        return TFTP_EACCESS;
    }
    TftpLogf(log, 9, "TFTP Inf: FileName is <%s>", name);
    const char* mode = name + nameLen + 1;
    out->modeText = mode;
    if (!strcasecmp(mode, "netascii") || !strcasecmp(mode, "ascii")) {
        out->mode = TFTP_MODE_NETASCII;
    } else if (!strcasecmp(mode, "mail")) {
        out->mode = TFTP_MODE_MAIL;
    } else if (!strcasecmp(mode, "octet") || !strcasecmp(mode, "binary")) {
        out->mode = TFTP_MODE_OCTET;
    } else {
        TftpLogf(log, 0, "TFTP Err: Incorrect message");
        return TFTP_EBADOP;
    }
    TftpLogf(log, 12, "TFTP Inf: Mode is <%s>", mode);
    if (nameLen >= 257) {
        TftpLogf(log, 0, "TFTP Err: Incorrect File Name: %s", name);
        return TFTP_EBADOP;
    }
    // Options: name NUL value NUL pairs within the first 512 bytes after the file name.
    const size_t end = length < 2 + 512 ? length : 2 + 512;
    size_t pos = 2 + nameLen + 1 + out->modeText.size() + 1;
    auto takeString = [&](std::string* s) {
        size_t start = pos;
        while (pos < end && buf[pos] != 0) ++pos;
        if (pos >= end) return false;
        s->assign(reinterpret_cast<const char*>(buf + start), pos - start);
        ++pos;
        return true;
    };
    while (pos < end) {
        if (buf[pos] == 0) {
            ++pos;
            continue;
        }  // empty strings are skipped
        std::string optName, optValue;
        if (!takeString(&optName) || !takeString(&optValue)) break;
        TftpLogf(log, 12, "TFTP Inf: Option is <%s>", optName.c_str());
        TftpLogf(log, 12, "TFTP Inf: Option <%s>: value <%s>", optName.c_str(), optValue.c_str());
        out->options.emplace_back(std::move(optName), std::move(optValue));
    }
    return 0;
}

void TftpTranslateName(std::string& name, const GlobalSettings& settings) {
    for (char& c : name)
        if (c == '\\') c = '/';
    if (name.size() >= 2 && name[1] == ':' && name[0] >= 'a' && name[0] <= 'z')
        name[0] = static_cast<char>(name[0] - 32);
    if (settings.TFTP_BackSlashAsVirtualRoot && !name.empty() && name[0] == '/') name.erase(0, 1);
}

bool TftpNormalizeName(const std::string& name, std::string* relative) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= name.size()) {
        size_t j = name.find_first_of("/\\", i);
        if (j == std::string::npos) j = name.size();
        std::string comp = name.substr(i, j - i);
        if (comp.empty() || comp == ".") {
        } else if (comp == "..") {
            if (parts.empty()) return false;
            parts.pop_back();
        } else {
            parts.push_back(comp);
        }
        i = j + 1;
    }
    relative->clear();
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) *relative += '/';
        *relative += parts[k];
    }
    return true;
}

int TftpCheckAccess(const std::string& rootSetting, const std::string& name, uint16_t opcode, int securityLevel) {
    const size_t rootLength = strnlen(rootSetting.c_str(), rootSetting.size());
    if (rootLength + name.size() >= kTftpNameLimit) {
        errno = ENAMETOOLONG;
        return 0;
    }
    std::string rel;
    if (!TftpNormalizeName(name, &rel)) {
        errno = EACCES;
        return 0;
    }
    switch (securityLevel) {
        case 0:
        case 1:
        case 2: return 1;
        case 3:
            if (opcode == TFTP_RRQ) return 1;
            errno = EPERM;
            return 0;
        default: errno = EPERM; return 0;
    }
}

int TftpErrnoToCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR: return TFTP_ENOTFOUND;
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case ENOSPC:
        case EDQUOT: return TFTP_ENOSPACE;
        default: return TFTP_EACCESS;
    }
}

namespace {

void SplitFolder(const std::string& path, std::string* folder, std::string* name) {
    const size_t slash = path.rfind('/');
    *folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
    *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates a new, empty temporary file in dirFd named after the target; -1 on failure.
int CreateTemporary(int dirFd, const std::string& name, mode_t mode, std::string* tempName) {
    int fd = CreateTemporaryAt(dirFd, name, tempName);
    if (fd >= 0) fchmod(fd, mode);  // the creation mask does not narrow the target's mode
    return fd;
}

void ReleaseTarget(TftpWriteTarget* target) {
    if (target->targetFd >= 0) close(target->targetFd);
    if (target->dirFd >= 0) close(target->dirFd);
    target->targetFd = target->dirFd = -1;
    target->tempName.clear();
}

}  // namespace

bool TftpCommitWrite(TftpWriteTarget* target) {
    if (target->dirFd < 0 || target->tempName.empty()) {
        errno = EBADF;
        return false;
    }
    if (!ReplaceAt(target->dirFd, target->tempName, target->name)) {
        const int err = errno;
        TftpDiscardWrite(target);
        errno = err;
        return false;
    }
    ReleaseTarget(target);
    return true;
}

void TftpDiscardWrite(TftpWriteTarget* target) {
    if (target->dirFd >= 0 && !target->tempName.empty()) unlinkat(target->dirFd, target->tempName.c_str(), 0);
    ReleaseTarget(target);
}

TftpOpenResult TftpOpenFile(int rootFd, const std::string& relative, bool write, int securityLevel, TftpLog* log) {
    TftpOpenResult r;
    const bool level2Write = write && securityLevel == 2;
    const bool create = write && !level2Write;
    int flags = O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    flags |= write ? O_RDWR : O_RDONLY;

    // The exact name first, then without case; a write that finds no file makes a new one
    // under the name found for its folders.
    r.path = relative;
    bool foldersFound = true;
    int fd = OpenBeneath(rootFd, relative, flags, 0);
    int openError = fd < 0 ? errno : 0;
    if (fd < 0 && openError == ENOENT) {
        std::string alt;
        if (FindBeneathNoCase(rootFd, relative, CaseMatch::First, create, &alt)) {
            if (alt != relative) TftpLogf(log, 9, "TFTP Inf: <%s> found as <%s>", relative.c_str(), alt.c_str());
            r.path = alt;
            fd = OpenBeneath(rootFd, alt, flags, 0);
            openError = fd < 0 ? errno : 0;
        } else {
            foldersFound = false;
        }
    }
    auto fail = [&](int err, int code) {
        if (fd >= 0) close(fd);
        TftpDiscardWrite(&r.target);
        r.fd = -1;
        r.sysError = err;
        r.errorCode = code;
        return r;
    };
    const bool newFile = fd < 0 && openError == ENOENT && create && foldersFound && !r.path.empty();
    if (fd < 0 && !newFile) {
        const int err = openError;
        if (level2Write && err == ENOENT) {
            r.accessRefused = true;
            return fail(err, TFTP_EACCESS);
        }
        return fail(err, TftpErrnoToCode(err));
    }
    mode_t mode = 0644;
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) != 0) return fail(errno, TFTP_EACCESS);
        if (!S_ISREG(st.st_mode)) return fail(S_ISDIR(st.st_mode) ? EISDIR : EACCES, TFTP_EACCESS);
        if (flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) return fail(errno, TFTP_EACCESS);
        if (level2Write && st.st_size != 0) {
            r.accessRefused = true;
            return fail(EEXIST, TFTP_EACCESS);
        }
        if (!write) {
            r.fd = fd;
            r.size = static_cast<uint64_t>(st.st_size);
            return r;
        }
        mode = st.st_mode & 07777;
    }
    // A write: the target (when it exists) stays locked and whole until the commit.
    std::string folder;
    SplitFolder(r.path, &folder, &r.target.name);
    r.target.targetFd = fd;
    fd = -1;
    r.target.dirFd = OpenBeneath(rootFd, folder, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (r.target.dirFd < 0) return fail(errno, TftpErrnoToCode(errno));
    int temp = CreateTemporary(r.target.dirFd, r.target.name, mode, &r.target.tempName);
    if (temp < 0) return fail(errno, TftpErrnoToCode(errno));
    r.fd = temp;
    r.size = 0;
    return r;
}

int TftpCreateBeneath(int rootFd, const std::string& relative) {
    int fd = OpenBeneath(rootFd, relative, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    return fd;
}

namespace {

uint64_t ReadUnsigned(const std::string& s) {
    // strtoull reads a leading '-' as negation modulo 2^64: a negative text is a very large number.
    return strtoull(s.c_str(), nullptr, 10);
}

uint32_t ReadUnsigned32(const std::string& s) {
    uint64_t v = ReadUnsigned(s);
    if (!s.empty() && s[0] == '-') return static_cast<uint32_t>(v);  // wraps as a 32-bit reading does
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v);
}

}  // namespace

void TftpNegotiateOptions(const TftpRequest& request, const GlobalSettings& settings, uint64_t fileSize,
                          uint16_t transferPort, TftpNegotiation* out, TftpLog* log) {
    *out = TftpNegotiation{};
    out->timeout = settings.TFTP_Timeout > 0 ? static_cast<uint32_t>(settings.TFTP_Timeout) : 3;
    out->totalSize = request.opcode == TFTP_RRQ ? fileSize : 0;
    if (!settings.OptionNegotiation && !settings.PxeCompatibility) return;
    const bool pxe = settings.PxeCompatibility != 0;
    std::vector<uint8_t> oack = {0, TFTP_OACK};
    bool any = false;
    auto addEntry = [&](const std::string& name, const std::string& value) {
        if (oack.size() + name.size() + 1 + value.size() + 1 > kTftpAckBufferSize) return false;
        oack.insert(oack.end(), name.begin(), name.end());
        oack.push_back(0);
        oack.insert(oack.end(), value.begin(), value.end());
        oack.push_back(0);
        any = true;
        return true;
    };
    std::vector<std::string> seen;  // option names already handled, lower case
    for (const auto& [name, valueText] : request.options) {
        const char* n = name.c_str();
        const char* v = valueText.c_str();
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (std::find(seen.begin(), seen.end(), lower) != seen.end()) {
            TftpLogf(log, 9, "TFTP Inf: <%s> repeated in the request; the first one counts", n);
            continue;
        }
        seen.push_back(lower);
        if (lower == "blksize") {
            if (pxe) continue;
            uint32_t value = ReadUnsigned32(valueText);
            uint32_t size;
            if (value < kTftpMinBlockSize) {
                TftpLogf(log, 9, "TFTP Err: <%s> proposed by client %u, refused by server", n, value);
                continue;
            } else if (value > kTftpMaxBlockSize) {
                TftpLogf(log, 2, "TFTP Inf: <%s> proposed by client %u, reply with %u", n, value, kTftpMaxBlockSize);
                size = kTftpMaxBlockSize;
            } else {
                TftpLogf(log, 9, "TFTP Inf: <%s> changed to <%s>", n, v);
                size = value;
            }
            const int limit = settings.TFTP_LimitNegotiatedBlksize;
            if (limit >= static_cast<int>(kTftpMinBlockSize) && limit <= static_cast<int>(kTftpMaxBlockSize) &&
                static_cast<uint32_t>(limit) < size)
                size = static_cast<uint32_t>(limit);
            if (addEntry(name, std::to_string(size))) out->blockSize = size;
        } else if (lower == "tsize") {
            const uint64_t size = request.opcode == TFTP_RRQ ? fileSize : ReadUnsigned(valueText);
            if (addEntry(name, std::to_string(size))) {
                out->totalSize = size;
                out->tsizeSeen = request.opcode != TFTP_RRQ;
            }
            TftpLogf(log, 10, "TFTP Inf: <%s> changed to <%llu>", n, static_cast<unsigned long long>(out->totalSize));
        } else if (lower == "windowsize") {
            const int limit = settings.TFTP_LimitNegotiatedWindowsize;
            if (pxe || limit < 2 || limit > 64) continue;
            uint32_t value = ReadUnsigned32(valueText);
            if (value == 0) continue;
            uint32_t window = value < static_cast<uint32_t>(limit) ? value : static_cast<uint32_t>(limit);
            TftpLogf(log, 9, "TFTP Inf: <%s> changed to <%s>", n, v);
            if (addEntry(name, std::to_string(window))) {
                out->windowMinus1 = window - 1;
                out->windowNegotiated = true;
            }
        } else if (lower == "timeout") {
            if (pxe) continue;
            uint32_t value = ReadUnsigned32(valueText);
            if (value < kTftpMinTimeout || value > kTftpMaxTimeout) continue;
            TftpLogf(log, 9, "TFTP Inf: <%s> changed to <%s>", n, v);
            if (addEntry(name, std::to_string(value))) out->timeout = value;
        } else if (lower == "udpport") {
            if (!settings.TFTP_SupportForPortOption) continue;
            TftpLogf(log, kTftpTraceLevel, "TFTP Inf: using udpport option --> %d", transferPort);
            if (addEntry(name, std::to_string(transferPort))) out->oackPort = settings.TFTP_Port;
        }
    }
    if (any) out->oack = std::move(oack);
}

size_t TftpBuildData(uint8_t* buf, uint64_t block, const void* data, size_t length) {
    buf[0] = 0;
    buf[1] = TFTP_DATA;
    buf[2] = static_cast<uint8_t>((block >> 8) & 0xFF);
    buf[3] = static_cast<uint8_t>(block & 0xFF);
    if (length && data != buf + 4) memcpy(buf + 4, data, length);
    return 4 + length;
}

void TftpBuildAck(uint8_t* buf, uint64_t block) {
    buf[0] = 0;
    buf[1] = TFTP_ACK;
    buf[2] = static_cast<uint8_t>((block >> 8) & 0xFF);
    buf[3] = static_cast<uint8_t>(block & 0xFF);
}
