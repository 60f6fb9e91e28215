// Helpers shared by the BINL tests: a temporary folder, file writing and a log catcher.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "_services/binl/binl_log.h"

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/binl-test-XXXXXX";
        char* p = mkdtemp(tmpl);
        if (p) path_ = p;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Collects the BINL log lines while it lives.
class LogCatcher {
public:
    LogCatcher() {
        Lines().clear();
        previous_ = SetBinlLogSink(&Sink);
    }
    ~LogCatcher() { SetBinlLogSink(previous_); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(Mutex());
        return Lines();
    }
    bool Has(const std::string& text) const {
        for (const auto& l : lines())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

private:
    static std::vector<std::string>& Lines() {
        static std::vector<std::string> lines;
        return lines;
    }
    static std::mutex& Mutex() {
        static std::mutex m;
        return m;
    }
    static void Sink(int, const char* text) {
        std::lock_guard<std::mutex> lock(Mutex());
        Lines().push_back(text);
    }
    LogSink previous_;
};
