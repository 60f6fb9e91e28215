// Small TCP routines shared by both ends of the console link.
#pragma once
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

constexpr int INVALID_SOCK = -1;

enum : int {
    TCP4U_SUCCESS = 1,
    TCP4U_ERROR = -1,
    TCP4U_TIMEOUT = -2,
    TCP4U_OVERFLOW = -9,
    TCP4U_BAD_VERSION = -15,
    TCP4U_BAD_PASSWORD = -16,
};

// Dotted text converted directly, else the first address of a host look-up; INADDR_NONE when neither.
uint32_t TcpResolve(const char* host);
// Listener on every address, or on 127.0.0.1 when loopbackOnly; *port in/out.
int TcpListenSocket(const char* servicesName, uint16_t* port, bool loopbackOnly);
int TcpConnect(const char* host, const char* servicesName, uint16_t port);
// Bytes received; 0 peer closed; -1 error; -2 time-out. timeout in s: 0 no limit, -1 poll only.
int TcpRecvTimeout(int sock, void* buf, size_t size, int timeout);
int TcpSendAll(int sock, const void* data, size_t length);
int TcpSendFrame(int sock, const void* data, size_t length);
// Reads a 2-byte big-endian length then that many bytes. Once the first byte of a frame has
// arrived, a time-out ends the read with -1 (the stream would be misaligned).
int TcpRecvFrame(int sock, void* buf, size_t size, int timeout);
int SendConsoleMsg(int sock, uint32_t id, const void* data, size_t length);
// The same within timeoutMs for the whole frame: TCP4U_TIMEOUT when the peer takes too
// little of it in that time (the stream is then cut inside a frame and must be closed).
int SendConsoleMsgWithin(int sock, uint32_t id, const void* data, size_t length, int timeoutMs);
// Appends one console frame to out, for several to leave in one write; false when the data
// is too long for a frame.
bool AppendConsoleMsg(std::vector<uint8_t>* out, uint32_t id, const void* data, size_t length);
// Writes frames built by AppendConsoleMsg within timeoutMs, as SendConsoleMsgWithin does.
int SendConsoleBytesWithin(int sock, const void* data, size_t length, int timeoutMs);
void TcpClose(int sock);
