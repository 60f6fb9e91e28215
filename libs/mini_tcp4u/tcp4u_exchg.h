// The console handshake: both ends prove they know the console password.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kConsoleVersion = 12;
constexpr unsigned kServiceHandshakeSeed = 22190;
constexpr unsigned kGuiHandshakeSeed = 995953;
// The password both ends use unless the settings name another.
constexpr const char kConsolePassword[] = "qorlu7150";

// The handshake block each end sends: its version and a challenge, then the other's challenge
// scrambled with the password.
// clang-format off
#pragma pack(push, 1)
struct HandshakeRecord {
    uint32_t version;  // 12
    uint8_t  challenge[12];
    uint32_t filler;
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(HandshakeRecord) == 20);
static_assert(offsetof(HandshakeRecord, challenge) == 4);
static_assert(offsetof(HandshakeRecord, filler) == 16);

void XorScramble(uint8_t* buf, size_t length, const char* key);
int ConsoleHandshake(int sock, unsigned seed, uint32_t version, const char* password);
