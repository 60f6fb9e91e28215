// What a test process holds: threads, open descriptors, resident memory.
#pragma once
#include <filesystem>
#include <fstream>
#include <string>

// What the process holds now: threads, open descriptors and resident memory (KiB). Attack
// tests compare it before and after, within a margin.
struct ProcessLoad {
    long threads = 0;
    long files = 0;
    long rssKb = 0;
};
inline ProcessLoad ReadProcessLoad() {
    ProcessLoad load;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:")
            status >> load.threads;
        else if (key == "VmRSS:")
            status >> load.rssKb;
        status.ignore(4096, '\n');
    }
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)e;
        ++load.files;
    }
    return load;
}
