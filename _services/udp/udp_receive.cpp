#include "udp_receive.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "start_threads.h"

ssize_t ReceiveServiceDatagram(int row, void* buf, size_t size, Datagram* info) {
    ThreadSlot& slot = ThreadSlots[row];
    pollfd fds[2] = {{slot.socket, POLLIN, 0}, {slot.event ? slot.event->fd() : -1, POLLIN, 0}};
    int r = poll(fds, 2, 1000);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    if (fds[1].revents & POLLIN) slot.event->Reset();
    if (!(fds[0].revents & POLLIN)) return 0;
    ssize_t n = RecvDatagram(slot.socket, buf, size, info, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return (errno == EAGAIN || errno == ECONNREFUSED) ? 0 : -1;
    // With MSG_TRUNC the result is the datagram's real length: keep what fits.
    if (static_cast<size_t>(n) > size) n = static_cast<ssize_t>(size);
    return n;
}
