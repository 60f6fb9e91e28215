#include "_services/binl/binl_records.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "libs/platform/file_read.h"

namespace {

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Seconds and nanoseconds since 1970 as 100 ns units since 1601.
uint64_t FileTime(int64_t sec, uint32_t nsec) {
    if (sec == 0 && nsec == 0) return 0;
    return uint64_t(sec + 11644473600LL) * 10000000ull + nsec / 100;
}

}  // namespace

BinlAssetHeader NewAssetHeader() {
    BinlAssetHeader h;
    std::memset(&h, 0, sizeof h);
    std::memcpy(h.magic, kBinlMagic, std::strlen(kBinlMagic) + 1);
    h.version = kBinlVersion;
    h.firstRecord = kBinlFirstRecord;
    return h;
}

void SetHeaderText(char* field, size_t fieldSize, const std::string& text, size_t maxChars) {
    std::memset(field, 0, fieldSize);
    size_t n = std::min({text.size(), maxChars, fieldSize - 1});
    std::memcpy(field, text.data(), n);
}

std::string HeaderText(const char* field, size_t fieldSize) { return std::string(field, strnlen(field, fieldSize)); }

bool ReadAssetHeader(const std::string& path, BinlAssetHeader* header) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    size_t got = 0;
    auto* p = reinterpret_cast<uint8_t*>(header);
    while (got < sizeof *header) {
        ssize_t n = ::read(fd, p + got, sizeof *header - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    return got == sizeof *header;
}

bool RewriteAssetHeader(const std::string& path, const BinlAssetHeader& header) {
    // The records stay: read the whole file, put the new header in front and replace it.
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes) || bytes.size() < sizeof header) return false;
    std::memcpy(bytes.data(), &header, sizeof header);
    return WriteFileAtomic(path, bytes.data(), bytes.size());
}

bool WriteAssetFile(const std::string& path, const BinlAssetHeader& header, const std::vector<uint8_t>& records) {
    std::vector<uint8_t> bytes(sizeof header + records.size());
    std::memcpy(bytes.data(), &header, sizeof header);
    if (!records.empty()) std::memcpy(bytes.data() + sizeof header, records.data(), records.size());
    return WriteFileAtomic(path, bytes.data(), bytes.size());
}

void AppendNicDriverRecord(std::vector<uint8_t>* out, const NicDriver& d) {
    uint16_t length = static_cast<uint16_t>(12 + d.service.size() + d.driverFile.size());
    uint8_t fixed[10];
    fixed[0] = uint8_t(length);
    fixed[1] = uint8_t(length >> 8);
    fixed[2] = uint8_t(d.vendor);
    fixed[3] = uint8_t(d.vendor >> 8);
    fixed[4] = uint8_t(d.device);
    fixed[5] = uint8_t(d.device >> 8);
    PutU32(fixed + 6, d.subsystem);
    out->insert(out->end(), fixed, fixed + 10);
    out->insert(out->end(), d.service.begin(), d.service.end());
    out->push_back(0);
    out->insert(out->end(), d.driverFile.begin(), d.driverFile.end());
    out->push_back(0);
}

size_t WalkNicDriverRecords(const uint8_t* data, size_t size, const std::function<void(const NicDriver&)>& fn) {
    if (size < sizeof(BinlAssetHeader)) return 0;
    BinlAssetHeader h;
    std::memcpy(&h, data, sizeof h);
    size_t pos = h.firstRecord;
    size_t given = 0;
    for (uint32_t i = 0; i < h.recordCount; ++i) {
        if (pos > size || size - pos < 12) break;
        const uint8_t* r = data + pos;
        size_t length = size_t(r[0]) | (size_t(r[1]) << 8);
        if (length < 12 || length > size - pos) break;
        // Both names must end with their NUL inside the record.
        const char* names = reinterpret_cast<const char*>(r + 10);
        size_t room = length - 10;
        size_t s = strnlen(names, room);
        if (s >= room) break;
        size_t b = strnlen(names + s + 1, room - s - 1);
        if (s + 1 + b >= room || 12 + s + b != length) break;
        NicDriver d;
        d.vendor = uint16_t(r[2] | (r[3] << 8));
        d.device = uint16_t(r[4] | (r[5] << 8));
        d.subsystem = uint32_t(r[6]) | (uint32_t(r[7]) << 8) | (uint32_t(r[8]) << 16) | (uint32_t(r[9]) << 24);
        d.service.assign(names, s);
        d.driverFile.assign(names + s + 1, b);
        fn(d);
        ++given;
        pos += length;
    }
    return given;
}

void AppendMenuStringRecord(std::vector<uint8_t>* out, const std::string& textIn) {
    // The length field is 16 bits: a text is cut so that it fits.
    std::string text = textIn.substr(0, 0xFFFE);
    static const uint8_t tag[4] = {'S', 'T', 'R', 0};
    out->insert(out->end(), tag, tag + 4);
    uint16_t length = static_cast<uint16_t>(text.size() + 1);
    out->push_back(uint8_t(length));
    out->push_back(uint8_t(length >> 8));
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

bool ParseMenuStringRecords(const uint8_t* data, size_t size, std::string (&out)[kMenuStringCount]) {
    if (size < kBinlFirstRecord) return false;
    size_t pos = kBinlFirstRecord;
    for (int i = 0; i < kMenuStringCount; ++i) {
        if (size - pos < 4 || std::memcmp(data + pos, "STR", 4) != 0) return false;
        if (size - pos < 6) return false;
        size_t length = size_t(data[pos + 4]) | (size_t(data[pos + 5]) << 8);
        pos += 6;
        if (length == 0 || size - pos < length) return false;
        const char* text = reinterpret_cast<const char*>(data + pos);
        if (text[length - 1] != '\0' || strnlen(text, length) + 1 != length) return false;
        out[i].assign(text, length - 1);
        pos += length;
    }
    return true;
}

uint32_t Crc32Update(uint32_t crc, const void* data, size_t length) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint32_t c = ~crc;
    for (size_t i = 0; i < length; ++i) c = kCrcTable[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

uint32_t Crc32(const void* data, size_t length) { return Crc32Update(0, data, length); }

uint32_t Crc32UpdateFile(uint32_t crc, const std::string& path) {
    if (!PathExists(path)) return crc;
    std::vector<uint8_t> bytes;
    switch (ReadRegularFile(path, &bytes)) {
        case FileRead::OpenFailed: BinlLog("BINL Err: Calc CRC; Couldn't Open %s", path.c_str()); return crc;
        case FileRead::ReadFailed: BinlLog("BINL Err: Calc CRC; Couldn't Read %s", path.c_str()); return crc;
        case FileRead::Ok: break;
    }
    return Crc32Update(crc, bytes.data(), bytes.size());
}

uint32_t Crc32File(const std::string& path) { return Crc32UpdateFile(0, path); }

bool GetFindData(const std::string& path, FindDataBytes* out) {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return false;
    uint32_t attributes = S_ISDIR(sx.stx_mode) ? 0x10 : 0x20;
    if (!(sx.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= 0x01;
    uint64_t birth = (sx.stx_mask & STATX_BTIME) ? FileTime(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec) : 0;
    uint64_t access = FileTime(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
    uint64_t write = FileTime(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
    uint64_t size = S_ISDIR(sx.stx_mode) ? 0 : sx.stx_size;
    PutU32(out->bytes, attributes);
    PutU64(out->bytes + 4, birth);
    PutU64(out->bytes + 12, access);
    PutU64(out->bytes + 20, write);
    PutU32(out->bytes + 28, uint32_t(size >> 32));
    PutU32(out->bytes + 32, uint32_t(size));
    return true;
}

void XorFindDataStamp(const std::string& path, uint32_t* stamp) {
    FindDataBytes fd;
    std::string p = StripTrailingSeparators(path);
    if (!GetFindData(p, &fd)) return;
    // Without the last-access time: listing or reading an asset would change its stamp.
    std::memset(fd.bytes + 12, 0, 8);
    size_t sep = p.find_last_of("/\\");
    std::string name = sep == std::string::npos ? p : p.substr(sep + 1);
    *stamp ^= Crc32(fd.bytes, sizeof fd.bytes) ^ Crc32(name);
}
