// A pollable auto-reset event on an eventfd.
#pragma once

class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    bool valid() const { return fd_ >= 0; }
    int  fd() const { return fd_; }
    void Set();
    void Reset();
    // Waits up to timeoutMs (-1: without limit); true when the event was set (and is now reset).
    bool Wait(int timeoutMs);
private:
    int fd_;
};

// Waits for the first of up to n events or file descriptors. Returns the index of the
// first ready one, -1 on time-out. Events are consumed (reset) when reported.
int WaitAny(Event* const* events, int n, int timeoutMs);
