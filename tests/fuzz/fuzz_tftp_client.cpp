// The desktop TFTP client's transfer engine fed with whatever a server (or anyone else on
// the network) sends back: GET and PUT, with and without options, time-outs between.
#include <cstring>
#include <vector>

#include "_gui/tftp_client_engine.h"

namespace {

class MemoryFile : public TftpClientFile {
public:
    explicit MemoryFile(size_t size) : data_(size, 'x') {}
    long long ReadAt(uint64_t offset, void* out, size_t length) override {
        if (offset >= data_.size()) return 0;
        size_t n = std::min<size_t>(length, data_.size() - offset);
        std::memcpy(out, data_.data() + offset, n);
        return static_cast<long long>(n);
    }
    long long Append(const void*, size_t length) override {
        written_ += length;
        return static_cast<long long>(length);
    }
    size_t written_ = 0;

private:
    std::vector<uint8_t> data_;
};

constexpr uint32_t kServer = 0x0100007f;

void CheckStep(const TftpClientStep& step, const TftpClientEngine& engine) {
    for (const auto& d : step.send) {
        if (d.bytes.size() < 4 || d.bytes.size() > 4 + kTftpcMaxBlockSize + 512) __builtin_trap();
        if (d.data && d.bytes.size() > 4 + engine.blockSize()) __builtin_trap();
    }
}

}  // namespace

// Input: 4 bytes of set-up (direction, block size, window, file size), then datagrams, each
// a 2-byte length and a 1-byte sender choice; a length of 0xFFFF is a time-out.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    TftpClientRequest req;
    req.direction = (data[0] & 1) ? TFTPC_PUT : TFTPC_GET;
    req.serverAddr = kServer;
    req.serverPort = 69;
    req.localName = "local.bin";
    req.remoteName = "remote.bin";
    req.blockSize = (data[1] & 1) ? kTftpcDefaultBlockSize : 512 + (data[1] >> 1) * 8;
    req.windowSize = 1 + (data[2] % kTftpcMaxWindowSize);
    req.fileSize = size_t(data[3]) * 97;
    MemoryFile file(req.fileSize);
    TftpClientEngine engine(&file);
    CheckStep(engine.Start(req), engine);
    size_t at = 4;
    while (at + 3 <= size && engine.status() == TftpClientStatus::Running) {
        const size_t len = size_t(data[at]) << 8 | data[at + 1];
        const uint8_t who = data[at + 2];
        at += 3;
        if (len == 0xFFFF) {
            CheckStep(engine.OnTimeout(), engine);
            continue;
        }
        const size_t n = std::min(len, size - at);
        // Mostly the server; now and then its first port, another port or another address.
        const uint32_t addr = (who & 0xC0) == 0xC0 ? kServer + 0x01000000 : kServer;
        const uint16_t port = (who & 0x30) == 0x30 ? 69 : uint16_t(50000 + (who & 0x3));
        CheckStep(engine.OnDatagram(data + at, n, addr, port), engine);
        at += n;
    }
    if (engine.status() == TftpClientStatus::Running) CheckStep(engine.Cancel(), engine);
    return 0;
}
