// A pollable auto-reset event on an eventfd.
#pragma once

#include <atomic>

class Event {
public:
    Event();
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Sets the event. A Set while the event is still set and not yet taken costs no system
    // call: the waiter wakes once for both, and sees what either Set stood for.
    void Set();
    void Reset();
    // Takes the event when it is set: true if it was (it is now reset).
    bool Take();
    // Waits up to timeoutMs (-1: without limit); true when the event was set (and is now reset).
    bool Wait(int timeoutMs);

private:
    int fd_;
    std::atomic<bool> set_{false};
};

// Waits for the first of up to n events. Returns the index of the first ready one, -1 on
// time-out. Events are consumed (reset) when reported.
int WaitAny(Event* const* events, int n, int timeoutMs);

// What WaitAny saw on a descriptor and a stop event: a mask, 0 on time-out.
enum : int {
    WAIT_READY = 1,   // the descriptor is readable, or in error or hung up: act on it
    WAIT_STOP = 2,    // the stop event is set
    WAIT_FAILED = 4,  // poll failed (errno tells why)
};
// Waits up to timeoutMs (-1: without limit) for fd to be readable and for a stop event given
// by its descriptor (-1: none), retrying after signals. The stop event is left as it is, so
// that every thread waiting on it sees it.
int WaitAny(int fd, int stopFd, int timeoutMs);
// The same with the stop event consumed (reset) when reported: a thread's own wake-up event.
int WaitAny(int fd, Event* wake, int timeoutMs);
