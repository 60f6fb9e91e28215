#include "libs/platform/thread.h"

#include <chrono>

Thread::~Thread() {
    if (thread_.joinable()) thread_.detach();
}

bool Thread::Start(std::function<void()> fn) {
    if (thread_.joinable()) return false;
    state_ = std::make_shared<State>();
    auto st = state_;
    try {
        thread_ = std::thread([st, fn = std::move(fn)] {
            fn();
            std::lock_guard<std::mutex> lk(st->m);
            st->exited = true;
            st->cv.notify_all();
        });
    } catch (...) {
        state_.reset();
        return false;
    }
    return true;
}

bool Thread::Exited() const {
    if (!state_) return true;
    std::lock_guard<std::mutex> lk(state_->m);
    return state_->exited;
}

bool Thread::Join(int timeoutMs) {
    if (!thread_.joinable()) return true;
    {
        std::unique_lock<std::mutex> lk(state_->m);
        if (timeoutMs < 0)
            state_->cv.wait(lk, [&] { return state_->exited; });
        else if (!state_->cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return state_->exited; }))
            return false;
    }
    thread_.join();
    return true;
}

void Thread::Detach() {
    if (thread_.joinable()) thread_.detach();
}

bool WaitAllExited(Thread* const* threads, int n, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool all = true;
    for (int i = 0; i < n; ++i) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left < 0) left = 0;
        if (!threads[i]->Join(static_cast<int>(left))) all = false;
    }
    return all;
}
