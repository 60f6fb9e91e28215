#include "_gui/tftp_client_engine.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "_services/tftp_protocol.h"
#include "libs/log/log.h"
#include "libs/platform/str_format.h"

namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void Put16(std::vector<uint8_t>& v, uint32_t x)
{
    v.push_back(static_cast<uint8_t>(x >> 8 & 0xff));
    v.push_back(static_cast<uint8_t>(x & 0xff));
}

void PutString(std::vector<uint8_t>& v, const std::string& s)
{
    v.insert(v.end(), s.begin(), s.end());
    v.push_back(0);
}

// A decimal value without sign or blanks; false for anything else or an overflow.
bool ParseDecimal(const std::string& s, uint64_t* out)
{
    if (s.empty() || s.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    *out = v;
    return true;
}

const char* Plural(uint64_t n) { return n > 1 ? "s" : ""; }

std::string BaseName(const std::string& path)
{
    size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

std::string TftpClientDoneText(uint64_t blocks, uint64_t seconds, uint64_t retransmissions, const std::string& md5)
{
    return StrFormat("%llu block%s transferred in %llu second%s\n %llu block%s retransmitted\nMD5: %s",
                     static_cast<unsigned long long>(blocks), Plural(blocks), static_cast<unsigned long long>(seconds),
                     Plural(seconds), static_cast<unsigned long long>(retransmissions), Plural(retransmissions),
                     md5.c_str());
}

TftpClientEngine::TftpClientEngine(TftpClientFile* file, std::function<bool(uint32_t, uint32_t)> drop)
    : file_(file), drop_(std::move(drop))
{
    MD5Init(&md5_);
}

void TftpClientEngine::Send(TftpClientStep& step, std::vector<uint8_t> bytes, bool data)
{
    TftpClientDatagram d;
    d.bytes = std::move(bytes);
    d.port = connected_ ? peerPort_ : req_.serverPort;
    d.data = data;
    step.send.push_back(std::move(d));
}

std::vector<uint8_t> TftpClientEngine::Ack(uint32_t block) const
{
    std::vector<uint8_t> v;
    Put16(v, TFTP_ACK);
    Put16(v, block & 0xffff);
    return v;
}

TftpClientStep TftpClientEngine::Start(const TftpClientRequest& request)
{
    req_ = request;
    fileSize_ = request.direction == TFTPC_PUT ? request.fileSize : 0;
    std::string name = request.remoteName.empty() ? BaseName(request.localName) : request.remoteName;
    request_.clear();
    Put16(request_, request.direction == TFTPC_PUT ? TFTP_WRQ : TFTP_RRQ);
    PutString(request_, name);
    PutString(request_, "octet");
    PutString(request_, "blksize");
    PutString(request_, std::to_string(request.blockSize));
    PutString(request_, "windowsize");
    PutString(request_, std::to_string(request.windowSize));
    PutString(request_, "tsize");
    PutString(request_, std::to_string(fileSize_));
    TftpClientStep step;
    Send(step, request_);
    step.restartTimer = true;
    return step;
}

TftpClientStep TftpClientEngine::Fail(TftpClientStep step, std::string text, bool sendError)
{
    if (sendError && connected_) {
        std::vector<uint8_t> error;
        Put16(error, TFTP_ERROR);
        Put16(error, TFTP_EUNDEF);
        error.push_back(0);
        Send(step, std::move(error));
    }
    status_ = TftpClientStatus::Failed;
    step.status = status_;
    step.error = std::move(text);
    step.restartTimer = false;
    step.deleteLocal = req_.direction == TFTPC_GET && lastWasDatagram_;
    return step;
}

TftpClientStep TftpClientEngine::Finish(TftpClientStep step)
{
    uint8_t digest[16];
    MD5Final(digest, &md5_);
    md5Hex_ = MD5Hex(digest);
    status_ = TftpClientStatus::Done;
    step.status = status_;
    step.restartTimer = false;
    if (req_.direction == TFTPC_GET)
        step.log.push_back(StrFormat("TFTPC Inf: GET OK; %s, Filesize = %llu", req_.remoteName.c_str(),
                                     static_cast<unsigned long long>(bytes_)));
    else
        step.log.push_back(StrFormat("TFTPC Inf: PUT OK; %s, Filesize = %llu", req_.localName.c_str(),
                                     static_cast<unsigned long long>(fileSize_)));
    return step;
}

// One more consecutive retry; false (and the transfer failed) past the last one allowed.
bool TftpClientEngine::CountRetry(TftpClientStep& step, const std::string& timeoutText)
{
    if (retries_ > kTftpcMaxRetries) {
        step = Fail(std::move(step), timeoutText);
        return false;
    }
    if (retries_ != 0)
        ++retransmissions_;
    ++retries_;
    return true;
}

bool TftpClientEngine::ParseOack(const uint8_t* data, size_t length, std::string* error, std::string* logLine)
{
    blockSize_ = kTftpDefaultBlockSize;
    window_ = 1;
    bool gotBlk = false, gotWin = false, gotSize = false;
    size_t pos = 2;
    auto next = [&](std::string* out) {
        const void* nul = pos < length ? memchr(data + pos, 0, length - pos) : nullptr;
        if (!nul)
            return false;
        size_t end = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
        out->assign(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end + 1;
        return true;
    };
    std::string name, value;
    while (next(&name) && next(&value)) {
        uint64_t v = 0;
        bool number = ParseDecimal(value, &v);
        if (strcasecmp(name.c_str(), "blksize") == 0) {
            if (!number || v < 8 || v > req_.blockSize) {
                *error = StrFormat("Server granted an invalid blksize: %s", value.c_str());
                return false;
            }
            blockSize_ = static_cast<uint32_t>(v);
            gotBlk = true;
        } else if (strcasecmp(name.c_str(), "windowsize") == 0) {
            if (!number || v < 1 || v > req_.windowSize) {
                *error = StrFormat("Server granted an invalid windowsize: %s", value.c_str());
                return false;
            }
            window_ = static_cast<uint32_t>(v);
            gotWin = true;
        } else if (strcasecmp(name.c_str(), "tsize") == 0) {
            if (!number) {
                *error = StrFormat("Server sent an invalid tsize: %s", value.c_str());
                return false;
            }
            if (req_.direction == TFTPC_GET)
                fileSize_ = v;
            gotSize = true;
        }
    }
    std::string line = "TFTPC Inf:";
    line += StrFormat(gotBlk ? " Ack Blksize = %u" : " Default Blksize = %u", blockSize_);
    line += StrFormat(gotWin ? ", Ack Windowsize = %u" : ", Default Windowsize = %u", window_);
    line += gotSize ? StrFormat(", Ack Filesize = %llu", static_cast<unsigned long long>(fileSize_))
                    : std::string(", Ack Filesize = ?");
    *logLine = line;
    totalBlocks_ = fileSize_ / blockSize_ + 1;
    return true;
}

TftpClientStep TftpClientEngine::OnDatagram(const uint8_t* data, size_t length, uint32_t addr, uint16_t port)
{
    TftpClientStep step;
    if (status_ != TftpClientStatus::Running)
        return step;
    // Runts and strangers are dropped; the first answer from the server's address fixes
    // the port of the transfer.
    if (length < 4 || addr != req_.serverAddr)
        return step;
    if (connected_ && port != peerPort_)
        return step;
    if (!connected_) {
        connected_ = true;
        peerPort_ = port;
    }
    lastWasDatagram_ = true;
    return req_.direction == TFTPC_GET ? GetDatagram(std::move(step), data, length)
                                       : PutDatagram(std::move(step), data, length);
}

// An ERROR packet, or an opcode that has no place in the transfer.
TftpClientStep TftpClientEngine::Refused(TftpClientStep step, const uint8_t* data, size_t length)
{
    uint16_t op = Be16(data);
    if (op == TFTP_ERROR) {
        std::string text(reinterpret_cast<const char*>(data + 4),
                         strnlen(reinterpret_cast<const char*>(data + 4), length - 4));
        return Fail(std::move(step),
                    StrFormat("Server stops the transfer.\nError #%u: %s", Be16(data + 2), text.c_str()));
    }
    return Fail(std::move(step), StrFormat("Server sent illegal opcode %u", op));
}

TftpClientStep TftpClientEngine::GetDatagram(TftpClientStep step, const uint8_t* data, size_t length)
{
    uint16_t op = Be16(data);
    if (op == TFTP_DATA) {
        uint16_t n = Be16(data + 2);
        size_t payload = length - 4;
        uint16_t expected = static_cast<uint16_t>((block_ + 1) & 0xffff);
        if (n == expected) {
            if (payload > blockSize_)
                return Fail(std::move(step), StrFormat("Server sent %zu bytes in a block of %u", payload, blockSize_));
            if (payload != 0) {
                long long w = file_->Append(data + 4, payload);
                if (w != static_cast<long long>(payload)) {
                    int err = w < 0 ? errno : ENOSPC;
                    return Fail(std::move(step),
                                StrFormat("Error in writing file.\nError code is %d (%s)", err, LastErrorText(err)));
                }
                MD5Update(&md5_, data + 4, payload);
            }
            ++block_;
            bytes_ += payload;
            retries_ = 0;
            gapAcked_ = false;
            oackPending_ = false;
            step.restartTimer = true;
            if (payload < blockSize_) {
                Send(step, Ack(static_cast<uint32_t>(block_)));
                return Finish(std::move(step));
            }
            if (block_ == windowBase_ + window_ - 1) {
                Send(step, Ack(static_cast<uint32_t>(block_)));
                windowBase_ = block_ + 1;
            }
        } else if (!oackPending_) {
            uint16_t ahead = static_cast<uint16_t>(n - expected);
            if (ahead != 0 && ahead < 0x8000 && !gapAcked_) {
                if (!CountRetry(step,
                                StrFormat("Timeout waiting block #%llu", static_cast<unsigned long long>(block_ + 1))))
                    return step;
                Send(step, Ack(static_cast<uint32_t>(block_)));
                windowBase_ = block_ + 1;
                step.restartTimer = true;
                gapAcked_ = true;
            }
        }
        return step;
    }
    if (op == TFTP_OACK) {
        if (block_ != 0)
            return step;
        std::string error, line;
        if (!ParseOack(data, length, &error, &line))
            return Fail(std::move(step), error);
        step.log.push_back(line);
        Send(step, Ack(0));
        oackPending_ = true;
        step.restartTimer = true;
        return step;
    }
    return Refused(std::move(step), data, length);
}

void TftpClientEngine::AcceptFirstAck()
{
    blockSize_ = kTftpDefaultBlockSize;
    window_ = 1;
    totalBlocks_ = fileSize_ / blockSize_ + 1;
}

void TftpClientEngine::SendWindow(TftpClientStep& step, bool retry)
{
    uint64_t last = windowBase_ + window_ - 1;
    if (last > totalBlocks_)
        last = totalBlocks_;
    std::vector<uint8_t> buffer(blockSize_);
    for (uint64_t b = windowBase_; b <= last; ++b) {
        uint64_t offset = (b - 1) * static_cast<uint64_t>(blockSize_);
        size_t want = b < totalBlocks_ ? blockSize_ : static_cast<size_t>(fileSize_ - offset);
        long long r = want ? file_->ReadAt(offset, buffer.data(), want) : 0;
        if (r != static_cast<long long>(want)) {
            int err = r < 0 ? errno : EIO;
            step = Fail(std::move(step),
                        StrFormat("Error in reading file.\nError code is %d (%s)", err, LastErrorText(err)));
            return;
        }
        if (b == nextMd5_) {
            MD5Update(&md5_, buffer.data(), want);
            ++nextMd5_;
            bytes_ = offset + want;
        }
        if (!retry && drop_ && drop_(static_cast<uint32_t>(b), static_cast<uint32_t>(totalBlocks_))) {
            step.log.push_back(StrFormat("TFTP Inf: dropping packet #%llu", static_cast<unsigned long long>(b)));
        } else {
            std::vector<uint8_t> packet;
            packet.reserve(4 + want);
            Put16(packet, TFTP_DATA);
            Put16(packet, static_cast<uint32_t>(b & 0xffff));
            packet.insert(packet.end(), buffer.begin(), buffer.begin() + static_cast<long>(want));
            Send(step, std::move(packet), true);
        }
        sent_ = b;
    }
    step.restartTimer = true;
}

TftpClientStep TftpClientEngine::PutDatagram(TftpClientStep step, const uint8_t* data, size_t length)
{
    uint16_t op = Be16(data);
    if (op == TFTP_ACK) {
        uint16_t a = Be16(data + 2);
        if (!acked_) {
            if (a != 0)
                return step;
            // A server without options answers with a plain ACK 0.
            AcceptFirstAck();
            acked_ = true;
            SendWindow(step, false);
            return step;
        }
        uint64_t lastAcked = windowBase_ - 1;
        uint16_t d = static_cast<uint16_t>(a - static_cast<uint16_t>(lastAcked & 0xffff));
        if (d == 0) {
            // The block before the window: the whole window went missing.
            ++retransmissions_;
            SendWindow(step, true);
            return step;
        }
        if (d > sent_ - lastAcked)
            return step;  // outside the window sent
        block_ = lastAcked + d;
        windowBase_ = block_ + 1;
        retries_ = 0;
        if (block_ >= totalBlocks_)
            return Finish(std::move(step));
        SendWindow(step, false);
        return step;
    }
    if (op == TFTP_OACK) {
        if (acked_)
            return step;
        std::string error, line;
        if (!ParseOack(data, length, &error, &line))
            return Fail(std::move(step), error);
        step.log.push_back(line);
        acked_ = true;
        SendWindow(step, false);
        return step;
    }
    return Refused(std::move(step), data, length);
}

TftpClientStep TftpClientEngine::OnTimeout()
{
    TftpClientStep step;
    if (status_ != TftpClientStatus::Running)
        return step;
    lastWasDatagram_ = false;
    if (req_.direction == TFTPC_GET) {
        if (!CountRetry(step, StrFormat("Timeout waiting block #%llu", static_cast<unsigned long long>(block_ + 1))))
            return step;
        if (oackPending_)
            Send(step, Ack(0));
        else if (!connected_)
            Send(step, request_);
        else
            Send(step, Ack(static_cast<uint32_t>(block_)));
        windowBase_ = block_ + 1;
        step.restartTimer = true;
        return step;
    }
    if (!acked_) {
        std::string text = StrFormat("Timeout: Server %s did not answer", req_.serverName.c_str());
        step.log.push_back("TFTPC Err: " + text);
        return Fail(std::move(step), text);
    }
    std::string text = StrFormat("Timeout while waiting ack block #%llu", static_cast<unsigned long long>(windowBase_));
    if (!CountRetry(step, text)) {
        step.log.push_back("TFTPC Err: " + text);
        return step;
    }
    SendWindow(step, true);
    return step;
}

TftpClientStep TftpClientEngine::Cancel()
{
    TftpClientStep step;
    if (status_ != TftpClientStatus::Running)
        return step;
    step.log.push_back("TFTPC Inf: Transfer canceled by user");
    return Fail(std::move(step), "Transfer canceled by user");
}

TftpClientStep TftpClientEngine::Abort(const std::string& text)
{
    if (status_ != TftpClientStatus::Running)
        return {};
    return Fail({}, text);
}
