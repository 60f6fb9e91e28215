// Threads that can be joined with a deadline.
#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    bool Start(std::function<void()> fn);
    bool Started() const { return thread_.joinable(); }
    bool Exited() const;
    // Waits up to timeoutMs (-1: without limit) for the thread to end; joins it when it has.
    bool Join(int timeoutMs);
    // Leaves a thread that would not end: it keeps running on its own.
    void Detach();

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool exited = false;
    };
    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Waits until all given threads have exited or the deadline passes. True when all ended.
bool WaitAllExited(Thread* const* threads, int n, int timeoutMs);
