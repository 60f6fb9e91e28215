#include "libs/platform/log_guard.h"
#include "libs/platform/clock.h"

#include <time.h>

std::string EscapePeerText(std::string_view text, size_t maxOut) {
    std::string out;
    out.reserve(text.size() < maxOut ? text.size() : maxOut);
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            if (out.size() + 4 > maxOut) break;
            out += '\\';
            out += static_cast<char>('0' + c / 100);
            out += static_cast<char>('0' + c / 10 % 10);
            out += static_cast<char>('0' + c % 10);
        } else {
            if (out.size() + 1 > maxOut) break;
            out += static_cast<char>(c);
        }
    }
    return out;
}

LogRateGate::LogRateGate(unsigned perKeyPerSecond, unsigned totalPerSecond, size_t maxKeys)
    : perKey_(perKeyPerSecond), total_(totalPerSecond), maxKeys_(maxKeys ? maxKeys : 1) {}

LogRateGate::Entry& LogRateGate::Find(uint64_t key, uint64_t second) {
    auto it = keys_.find(key);
    if (it != keys_.end()) return it->second;
    if (keys_.size() >= maxKeys_) {
        // Forget keys that wrote nothing this second and owe no count of dropped lines.
        for (auto e = keys_.begin(); e != keys_.end();) {
            if (e->second.second < second && e->second.dropped == 0)
                e = keys_.erase(e);
            else
                ++e;
        }
        if (keys_.size() >= maxKeys_) return overflow_;
    }
    return keys_[key];
}

bool LogRateGate::Allow(uint64_t key, uint64_t nowMs, unsigned* suppressed) {
    const uint64_t second = nowMs / 1000 + 1;  // 0 marks an entry that never wrote
    std::lock_guard<std::mutex> guard(lock_);
    Entry& e = Find(key, second);
    if (e.second != second) e.second = second, e.lines = 0;
    if (totalSecond_ != second) totalSecond_ = second, totalLines_ = 0;
    if (e.lines >= perKey_ || totalLines_ >= total_) {
        if (e.dropped < ~0u) ++e.dropped;
        return false;
    }
    ++e.lines;
    ++totalLines_;
    if (suppressed) *suppressed = e.dropped;
    e.dropped = 0;
    return true;
}

bool LogRateGate::Allow(uint64_t key, unsigned* suppressed) {
    return Allow(key, static_cast<uint64_t>(MonotonicMs()), suppressed);
}

size_t LogRateGate::KeyCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return keys_.size();
}
