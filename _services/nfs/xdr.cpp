#include "_services/nfs/xdr.h"

#include <cstring>

uint32_t LoadBe32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void StoreBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void I_Stream::Read(void* buffer, size_t length) {
    if (length > Remaining()) throw XdrError("message ends early");
    if (buffer && length) memcpy(buffer, data_ + pos_, length);
    pos_ += length;
}

uint32_t I_Stream::Read32() {
    uint8_t b[4];
    Read(b, 4);
    return LoadBe32(b);
}

uint64_t I_Stream::Read64() {
    uint64_t high = Read32();
    return (high << 32) | Read32();
}

uint32_t I_Stream::ReadOpaqueInPlace(uint32_t maxLength, const uint8_t** data) {
    uint32_t length = Read32();
    if (length > maxLength) throw XdrError("length above its limit");
    if (length > Remaining()) throw XdrError("message ends early");
    *data = Current();
    Skip(length);
    Skip(Pad(length));
    return length;
}

std::vector<uint8_t> I_Stream::ReadOpaque(uint32_t maxLength) {
    const uint8_t* p;
    uint32_t length = ReadOpaqueInPlace(maxLength, &p);
    return std::vector<uint8_t>(p, p + length);
}

std::string I_Stream::ReadString(uint32_t maxLength) {
    const uint8_t* p;
    uint32_t length = ReadOpaqueInPlace(maxLength, &p);
    return std::string(reinterpret_cast<const char*>(p), length);
}

void O_Stream::Write(const void* data, size_t length) {
    if (pos_ + length > capacity_) {
        overflowed_ = true;
        length = pos_ < capacity_ ? capacity_ - pos_ : 0;
    }
    if (pos_ + length > buf_.size()) buf_.resize(pos_ + length);
    if (length) memcpy(buf_.data() + pos_, data, length);
    pos_ += length;
}

void O_Stream::Write32(uint32_t v) {
    uint8_t b[4];
    StoreBe32(b, v);
    Write(b, 4);
}

void O_Stream::Write64(uint64_t v) {
    Write32(static_cast<uint32_t>(v >> 32));
    Write32(static_cast<uint32_t>(v));
}

void O_Stream::WriteOpaque(const void* data, size_t length) {
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    Write32(static_cast<uint32_t>(length));
    Write(data, length);
    Write(zeros, I_Stream::Pad(length));
}

void O_Stream::Seek(long offset, int origin) {
    long base = origin == 0 ? 0 : origin == 1 ? static_cast<long>(pos_) : static_cast<long>(buf_.size());
    long to = base + offset;
    if (to < 0) to = 0;
    if (static_cast<size_t>(to) > buf_.size()) to = static_cast<long>(buf_.size());
    pos_ = static_cast<size_t>(to);
}
