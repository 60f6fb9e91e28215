#include "_services/udp/udp_receive.h"

#include <sys/socket.h>

#include <cerrno>

#include "_services/start_threads.h"
#include "libs/log/log.h"

void PauseAfterSocketError(int row, const char* errorFormat, int err) {
    DebugTrace(errorFormat, err);
    SleepWhileRunning(row, 100);
}

ssize_t ReceiveServiceDatagram(int row, void* buf, size_t size, Datagram* info, const char* errorFormat) {
    ThreadSlot& slot = ThreadSlots[row];
    int r = WaitAny(slot.socket, slot.event, 1000);
    if (!(r & WAIT_READY) || (r & WAIT_FAILED) || !slot.running) return 0;
    ssize_t n = RecvDatagram(slot.socket, buf, size, info, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
        if (errno != EAGAIN && errno != ECONNREFUSED) PauseAfterSocketError(row, errorFormat, errno);
        return 0;
    }
    // With MSG_TRUNC the result is the datagram's real length: keep what fits.
    if (static_cast<size_t>(n) > size) n = static_cast<ssize_t>(size);
    return n;
}

ssize_t ReplyToSender(int sock, const void* buf, size_t length, const Datagram& info) {
    return SendDatagram(sock, buf, length, info.peer, 0, info.replyFrom);
}
