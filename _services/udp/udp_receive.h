// The receive step the three datagram services share.
#pragma once
#include <sys/types.h>

#include <cstddef>

#include "sockets.h"

// Waits up to a second for a datagram on the row's socket or for the row's wake-up event,
// then reads the datagram (at most size bytes) with its sender and local address. Returns
// the bytes read, 0 when there is nothing (time-out, wake-up, a datagram that went away) and
// -1 on a receive error (errno kept). A datagram longer than size is cut to size and marked
// truncated in *info.
ssize_t ReceiveServiceDatagram(int row, void* buf, size_t size, Datagram* info);
