// The receive step the three datagram services share.
#pragma once
#include <sys/types.h>

#include <cstddef>

#include "libs/platform/sockets.h"

// Waits up to a second for a datagram on the row's socket or for the row's wake-up event,
// then reads the datagram (at most size bytes) with its sender and local address. Returns
// the bytes read, or 0 when there is nothing to handle: a time-out, a wake-up, a stopped row,
// or a receive error, which is traced with errorFormat (one %d, the error) and followed by a
// 100 ms pause. A datagram longer than size is cut to size and marked truncated in *info.
ssize_t ReceiveServiceDatagram(int row, void* buf, size_t size, Datagram* info, const char* errorFormat);
// Traces a socket error with errorFormat (one %d) and pauses 100 ms, or until the row stops.
void PauseAfterSocketError(int row, const char* errorFormat, int err);
// Sends a reply to the datagram's sender from the address the datagram was sent to, or, for
// a broadcast, from the address of the interface it came in on.
ssize_t ReplyToSender(int sock, const void* buf, size_t length, const Datagram& info);
