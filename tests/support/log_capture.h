// Catching what the services say, for tests: the lines of a log tag (LogCapture, through the
// tag's sink) and the notices posted for the desktop (NoticeCapture, through the notice tap).
// Each installs itself when made and puts back what was there when it goes (or at Stop());
// service threads add while the test reads, and a test may wait, bounded, for what it expects.
#pragma once
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "_services/to_console.h"
#include "libs/log/log.h"

namespace nimbo::test {

// A list that other threads add to while a test reads it.
template <class Item>
class Collected {
public:
    using Match = std::function<bool(const Item&)>;

    std::vector<Item> All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_;
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        items_.clear();
    }
    std::vector<Item> Matching(const Match& match) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Item> out;
        for (const Item& i : items_)
            if (match(i)) out.push_back(i);
        return out;
    }
    bool Any(const Match& match) const { return !Matching(match).empty(); }
    // Waits until an item matches, at most timeout; true when one did.
    bool WaitFor(const Match& match, std::chrono::milliseconds timeout) const {
        return WaitUntil(
            [&](const std::vector<Item>& items) {
                for (const Item& i : items)
                    if (match(i)) return true;
                return false;
            },
            timeout);
    }
    // Waits until done holds for the whole list (a count, an order), at most timeout.
    bool WaitUntil(const std::function<bool(const std::vector<Item>&)>& done, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(items_); });
    }

protected:
    void Add(Item item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(item));
        }
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Item> items_;
};

struct CapturedLine {
    int level = 0;
    std::string text;
    bool operator==(const CapturedLine&) const = default;
};

// Every line one tag writes while it lives, at every level, in place of the program log.
class LogCapture : public Collected<CapturedLine> {
public:
    explicit LogCapture(LogTag tag) : tag_(tag) {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            outer_ = Registry()[tag_];
            Registry()[tag_] = this;
        }
        previous_ = SetLogSink(tag_, Sinks()[tag_]);
    }
    ~LogCapture() { Stop(); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Puts the sink before back: later lines are not caught; those caught stay.
    void Stop() {
        if (stopped_) return;
        stopped_ = true;
        SetLogSink(tag_, previous_);
        std::lock_guard<std::mutex> lock(RegistryMutex());
        Registry()[tag_] = outer_;
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        for (const CapturedLine& l : All()) out.push_back(l.text);
        return out;
    }
    std::vector<std::string> LinesWith(const std::string& part) const {
        std::vector<std::string> out;
        for (const CapturedLine& l : Matching([&](const CapturedLine& c) { return Contains(c, part); }))
            out.push_back(l.text);
        return out;
    }
    bool Has(const std::string& part) const {
        return Any([&](const CapturedLine& c) { return Contains(c, part); });
    }
    // Waits until a line holds part, at most timeout.
    bool WaitForLine(const std::string& part, std::chrono::milliseconds timeout) const {
        return WaitFor([&](const CapturedLine& c) { return Contains(c, part); }, timeout);
    }

private:
    static bool Contains(const CapturedLine& c, const std::string& part) {
        return c.text.find(part) != std::string::npos;
    }
    static std::mutex& RegistryMutex() {
        static std::mutex m;
        return m;
    }
    static std::array<LogCapture*, LOG_TAGS>& Registry() {
        static std::array<LogCapture*, LOG_TAGS> r{};
        return r;
    }
    template <int Tag>
    static void Sink(int level, const char* text) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (LogCapture* c = Registry()[Tag]) c->Add(CapturedLine{level, text});
    }
    template <size_t... I>
    static constexpr std::array<LogSink, LOG_TAGS> MakeSinks(std::index_sequence<I...>) {
        return {&Sink<static_cast<int>(I)>...};
    }
    static const std::array<LogSink, LOG_TAGS>& Sinks() {
        static constexpr std::array<LogSink, LOG_TAGS> sinks = MakeSinks(std::make_index_sequence<LOG_TAGS>());
        return sinks;
    }

    LogTag tag_;
    LogSink previous_ = nullptr;
    LogCapture* outer_ = nullptr;
    bool stopped_ = false;
};

struct CapturedNotice {
    uint32_t id = 0;
    std::string bytes;
    // The notice as a record of type Record; false when its length is not the record's.
    template <class Record>
    bool As(Record* out) const {
        if (bytes.size() != sizeof(Record)) return false;
        std::memcpy(static_cast<void*>(out), bytes.data(), sizeof(Record));
        return true;
    }
    // The notice as text: its bytes up to the first NUL.
    std::string Text() const { return std::string(bytes.c_str()); }
};

// The notices of that id that have the length of Record, as records, in their order.
template <class Record>
std::vector<Record> RecordsOf(const std::vector<CapturedNotice>& notices, uint32_t id) {
    std::vector<Record> out;
    for (const CapturedNotice& n : notices) {
        Record r;
        if (n.id == id && n.As(&r)) out.push_back(r);
    }
    return out;
}

// Every notice posted for the desktop while it lives (one at a time: the tap is one).
class NoticeCapture : public Collected<CapturedNotice> {
public:
    NoticeCapture() {
        {
            std::lock_guard<std::mutex> lock(RegistryMutex());
            Active() = this;
        }
        SetNoticeTap(&Tap);
    }
    ~NoticeCapture() { Stop(); }
    NoticeCapture(const NoticeCapture&) = delete;
    NoticeCapture& operator=(const NoticeCapture&) = delete;

    // Removes the tap: later notices are not caught; those caught stay.
    void Stop() {
        if (stopped_) return;
        stopped_ = true;
        SetNoticeTap(nullptr);
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (Active() == this) Active() = nullptr;
    }
    // The notices of that id that have the length of Record, as records, in their order.
    template <class Record>
    std::vector<Record> Records(uint32_t id) const {
        return RecordsOf<Record>(All(), id);
    }
    size_t CountOf(uint32_t id) const {
        return Matching([id](const CapturedNotice& n) { return n.id == id; }).size();
    }
    // Waits until more than count notices of that id were caught, at most timeout.
    bool WaitForMore(uint32_t id, size_t count, std::chrono::milliseconds timeout) const {
        return WaitUntil(
            [&](const std::vector<CapturedNotice>& all) {
                size_t n = 0;
                for (const CapturedNotice& c : all) n += c.id == id;
                return n > count;
            },
            timeout);
    }

private:
    static std::mutex& RegistryMutex() {
        static std::mutex m;
        return m;
    }
    static NoticeCapture*& Active() {
        static NoticeCapture* active = nullptr;
        return active;
    }
    static void Tap(uint32_t id, const void* data, size_t length) {
        std::lock_guard<std::mutex> lock(RegistryMutex());
        if (NoticeCapture* c = Active())
            c->Add(CapturedNotice{id, data ? std::string(static_cast<const char*>(data), length) : std::string()});
    }

    bool stopped_ = false;
};

}  // namespace nimbo::test
