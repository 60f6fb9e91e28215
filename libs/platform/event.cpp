#include "libs/platform/event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

Event::Event() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Event::~Event() {
    if (fd_ >= 0) close(fd_);
}

void Event::Set() {
    if (set_.exchange(true, std::memory_order_acq_rel)) return;  // still set: nothing to add
    uint64_t one = 1;
    ssize_t r;
    do { r = write(fd_, &one, sizeof one); } while (r < 0 && errno == EINTR);
}

bool Event::Take() {
    uint64_t v;
    ssize_t r;
    do { r = read(fd_, &v, sizeof v); } while (r < 0 && errno == EINTR);
    if (r != sizeof v) return false;
    // Cleared after the read: a Set between the two is taken with this one, and what it
    // stood for is visible to the taker (the exchange pairs with the Set's).
    set_.exchange(false, std::memory_order_acq_rel);
    return true;
}

void Event::Reset() { Take(); }

bool Event::Wait(int timeoutMs) {
    Event* self = this;
    return WaitAny(&self, 1, timeoutMs) == 0;
}

int WaitAny(Event* const* events, int n, int timeoutMs) {
    pollfd fds[16];
    if (n > 16) n = 16;
    for (int i = 0; i < n; ++i) fds[i] = {events[i]->fd(), POLLIN, 0};
    for (;;) {
        int r = poll(fds, n, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        for (int i = 0; i < n; ++i) {
            if ((fds[i].revents & POLLIN) && events[i]->Take()) return i;
        }
        // Another waiter consumed it; wait again (time-out not restarted precisely).
    }
}

int WaitAny(int fd, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int r;
    do { r = poll(fds, 2, timeoutMs); } while (r < 0 && errno == EINTR);
    if (r < 0) return WAIT_FAILED;
    return (fds[0].revents ? WAIT_READY : 0) | (fds[1].revents ? WAIT_STOP : 0);
}

int WaitAny(int fd, Event* wake, int timeoutMs) {
    int r = WaitAny(fd, wake ? wake->fd() : -1, timeoutMs);
    if (r & WAIT_STOP) wake->Reset();
    return r;
}
