// Small socket helpers shared by the services.
#pragma once
#include <netinet/in.h>
#include <sys/uio.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Process-wide: SIGPIPE ignored (call once at start; harmless to repeat).
void IgnoreSigpipe();

// Dotted IPv4 text to network-order address; false when not a valid dotted quad.
bool ParseIPv4(const char* text, in_addr* out);
std::string IPv4Text(in_addr a);
std::string IPv4Text(uint32_t networkOrder);

// Port of a services-file entry (host order), or 0 when there is none.
int ServicePort(const char* name, const char* proto);

// A TCP listener on address:port (address in network order, 0: any; port in host order, 0: a
// free one) with SO_REUSEADDR, so that a restart does not wait out TIME_WAIT. flags: more
// socket type flags (SOCK_NONBLOCK). Returns the socket, or -1 with errno from the call that
// failed and *failedCall (when given) naming it: "socket", "bind" or "listen".
int OpenTcpListener(uint32_t address, uint16_t port, int backlog, int flags = 0, const char** failedCall = nullptr);

// The local port a socket is bound to (host order); 0 when it has none.
int LocalPort(int sock);

// How a failed bind reads to the user: the port is taken, the address is not this host's, or
// something else.
enum BindFailure { BIND_IN_USE, BIND_NOT_AVAILABLE, BIND_OTHER };
BindFailure ClassifyBindError(int err);

// A datagram with the local address and interface it arrived on.
struct Datagram {
    sockaddr_in peer{};
    in_addr local{};      // destination address of the datagram
    in_addr replyFrom{};  // local address a reply leaves from (the interface's own for a broadcast)
    int ifindex = 0;
    bool truncated = false;
    timespec arrival{};  // when the kernel took it in (wall clock); zero unless the socket asks for it
};
// Turns on IP_PKTINFO on a datagram socket.
bool EnablePktinfo(int sock);
// Has the kernel stamp each datagram with the time it arrived (Datagram::arrival): a thread that
// reads late still knows when a datagram came.
bool EnableArrivalStamps(int sock);
// recvmsg with IP_PKTINFO; retries on EINTR. Returns bytes, -1 on error.
ssize_t RecvDatagram(int sock, void* buf, size_t size, Datagram* info, int flags = 0);
// sendmsg that leaves through ifindex with source address src (both optional: 0).
ssize_t SendDatagram(int sock, const void* buf, size_t len, const sockaddr_in& to, int ifindex, in_addr src);

// Batches: several datagrams per system call (recvmmsg / sendmmsg), each with its own
// IP_PKTINFO control data. At most kDatagramBatch datagrams per call.
constexpr int kDatagramBatch = 64;
// Receives up to count datagrams into bufs[i] (size bytes each), filling lengths[i] and
// infos[i]. Returns how many arrived, -1 on error (errno; EAGAIN when none waits with
// MSG_DONTWAIT). Retries on EINTR.
int RecvDatagrams(int sock, uint8_t* const* bufs, size_t size, ssize_t* lengths, Datagram* infos, int count,
                  int flags = 0);
// One outgoing datagram, as for SendDatagram.
struct OutgoingDatagram {
    const void* data = nullptr;
    size_t len = 0;
    sockaddr_in to{};
    int ifindex = 0;
    in_addr src{};
};
// Sends every datagram (in order), as few system calls as the kernel takes; one that fails
// does not keep the others back. errors[i] is 0 when datagram i went out whole, else the
// errno of its failure (EMSGSIZE for a short send). Returns the number that went out. flags are
// added to MSG_NOSIGNAL (MSG_DONTWAIT: a datagram the send buffer cannot take fails with EAGAIN
// instead of waiting).
int SendDatagrams(int sock, const OutgoingDatagram* out, int count, int* errors, int flags = 0);

// UDP segmentation offload (UDP_SEGMENT): one send that the kernel cuts into datagrams of
// segmentSize bytes each, the last one possibly shorter. One send carries at most
// kUdpSegmentsMax datagrams and kUdpSegmentBytesMax bytes in all.
constexpr size_t kUdpSegmentsMax = 64;
constexpr size_t kUdpSegmentBytesMax = 65507;
// How many datagrams of segmentSize bytes one segmented send may carry (0: not even one).
size_t UdpSegmentsPerSend(size_t segmentSize);
// Sends the bytes of iov[0, iovCount) as datagrams of segmentSize bytes (MSG_NOSIGNAL) to `to`,
// or to the connected peer when it is null. Returns what sendmsg returned (-1 with errno).
ssize_t SendUdpSegments(int sock, const iovec* iov, size_t iovCount, size_t segmentSize,
                        const sockaddr_in* to = nullptr);
// True for the errors of a path that cannot cut datagrams (no offload in the kernel or on the
// device, or more than it takes at once): the datagrams are then sent one by one.
bool UdpSegmentsRefused(int err);

// Sends all bytes on a blocking socket (MSG_NOSIGNAL | flags), retrying after signals; each
// send may wait as long as the socket's own send limit (SO_SNDTIMEO) lets it. Returns length,
// or -1 with errno from the send that failed: EAGAIN/EWOULDBLOCK when the send limit ran out
// (the peer does not read), EPIPE or ECONNRESET when the peer has gone.
ssize_t SendAllBlocking(int sock, const void* data, size_t length, int flags = 0);
// Sends all bytes, never blocking in send (MSG_NOSIGNAL | MSG_DONTWAIT). When the socket
// takes no more for now, waitRoom() waits for room: 1 to send on, 0 to give up, -1 on an
// error. Returns 1 when all went, 0 when waitRoom gave up, -1 on error.
int SendAllWaiting(int sock, const void* data, size_t length, const std::function<int()>& waitRoom);
// Sends all bytes within timeoutMs for the whole of them, never blocking past that
// (MSG_NOSIGNAL): a peer that stops reading cannot hold the sender. Returns 1 when all went,
// 0 on time-out, -1 on error.
int SendAllWithin(int sock, const void* data, size_t length, int timeoutMs);

// Waits up to timeoutMs (-1: without limit) for one of events (POLLIN, POLLOUT) on fd,
// retrying after signals. Returns the events seen (with POLLERR, POLLHUP or POLLNVAL where the
// descriptor is in error, hung up or not open), 0 on time-out, -1 when the wait failed.
int WaitEvents(int fd, short events, int timeoutMs);
// Waits for readability; returns 1 ready, 0 time-out, -1 error. timeoutMs -1 waits without limit.
int WaitReadable(int fd, int timeoutMs);
