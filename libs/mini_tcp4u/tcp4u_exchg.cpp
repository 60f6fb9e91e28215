#include "libs/mini_tcp4u/tcp4u_exchg.h"

#include <cassert>
#include <chrono>
#include <cstring>
#include <random>

#include "libs/mini_tcp4u/tcp4u.h"

void XorScramble(uint8_t* buf, size_t length, const char* key) {
    size_t keyLen = strlen(key);
    assert(keyLen != 0 && "nKeyLen != 0");
    if (keyLen == 0) return;
    for (size_t i = 0; i < length; ++i) buf[i] ^= static_cast<uint8_t>(key[(13 * i) % keyLen]);
}

int ConsoleHandshake(int sock, unsigned seed, uint32_t version, const char* password) {
    if (!password || !*password) return TCP4U_BAD_PASSWORD;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    uint64_t ticks = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100);
    std::mt19937 rng(static_cast<uint32_t>(sock) + seed + static_cast<uint32_t>(ticks));
    HandshakeRecord own{};
    own.version = version;
    for (uint8_t& b : own.challenge) b = static_cast<uint8_t>(rng());
    int rc = TcpSendFrame(sock, &own, sizeof own);
    if (rc < 0) return rc;
    HandshakeRecord peer{};
    rc = TcpRecvFrame(sock, &peer, sizeof peer, 10);
    if (rc <= 0) return rc == 0 ? TCP4U_ERROR : rc;
    if (rc != static_cast<int>(sizeof peer)) return TCP4U_ERROR;
    if (peer.version != version) return TCP4U_BAD_VERSION;
    HandshakeRecord answer = peer;
    XorScramble(answer.challenge, sizeof answer.challenge, password);
    rc = TcpSendFrame(sock, &answer, sizeof answer);
    if (rc < 0) return rc;
    HandshakeRecord back{};
    rc = TcpRecvFrame(sock, &back, sizeof back, 10);
    if (rc <= 0) return rc == 0 ? TCP4U_ERROR : rc;
    if (rc != static_cast<int>(sizeof back)) return TCP4U_ERROR;
    XorScramble(back.challenge, sizeof back.challenge, password);
    return memcmp(back.challenge, own.challenge, sizeof own.challenge) == 0 ? 1 : TCP4U_BAD_PASSWORD;
}
