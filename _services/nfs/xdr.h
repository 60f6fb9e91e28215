// XDR streams: I_Stream reads one whole call held in memory, O_Stream builds one reply.
// Reads past the end of the call, and lengths above the caller's limit, throw XdrError;
// the RPC dispatcher answers GARBAGE_ARGS for it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct XdrError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class I_Stream {
public:
    I_Stream(const uint8_t* data, size_t length) : data_(data), length_(length) {}
    uint32_t Read32();
    uint64_t Read64();
    bool ReadBool() { return Read32() == 1; }
    void Read(void* buffer, size_t length);  // buffer may be null: the bytes are skipped
    void Skip(size_t length) { Read(nullptr, length); }
    size_t Remaining() const { return length_ - pos_; }
    const uint8_t* Current() const { return data_ + pos_; }
    size_t Position() const { return pos_; }
    // Variable-length data of at most maxLength bytes, padding skipped.
    std::vector<uint8_t> ReadOpaque(uint32_t maxLength);
    std::string ReadString(uint32_t maxLength);
    // Variable-length data left in place: *data points into the call. Returns the length.
    uint32_t ReadOpaqueInPlace(uint32_t maxLength, const uint8_t** data);
    void ReadFixed(void* buffer, size_t length) {
        Read(buffer, length);
        Skip(Pad(length));
    }
    static size_t Pad(size_t length) { return (4 - length % 4) % 4; }

private:
    const uint8_t* data_;
    size_t length_;
    size_t pos_ = 0;
};

class O_Stream {
public:
    explicit O_Stream(size_t capacity = 256 * 1024) : capacity_(capacity) {}
    void Write32(uint32_t v);
    void Write64(uint64_t v);
    void WriteBool(bool b) { Write32(b ? 1 : 0); }
    // Appends at the position; bytes past the capacity are dropped.
    void Write(const void* data, size_t length);
    void WriteOpaque(const void* data, size_t length);  // length, bytes, zero padding
    void WriteString(const std::string& s) { WriteOpaque(s.data(), s.size()); }
    // origin 0 start, 1 current position, 2 end.
    void Seek(long offset, int origin);
    size_t Position() const { return pos_; }
    size_t End() const { return buf_.size(); }
    void Reset() {
        buf_.clear();
        pos_ = 0;
        overflowed_ = false;
    }
    void Truncate(size_t end) {
        if (end < buf_.size()) buf_.resize(end);
        if (pos_ > end) pos_ = end;
    }
    const uint8_t* Data() const { return buf_.data(); }
    const std::vector<uint8_t>& Bytes() const { return buf_; }
    bool Overflowed() const { return overflowed_; }

private:
    std::vector<uint8_t> buf_;
    size_t pos_ = 0;
    size_t capacity_;
    bool overflowed_ = false;
};

uint32_t LoadBe32(const uint8_t* p);
void StoreBe32(uint8_t* p, uint32_t v);
