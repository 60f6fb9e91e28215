// The console handshake: both ends prove they know the console password.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kConsoleVersion = 12;
constexpr unsigned kServiceHandshakeSeed = 22190;
constexpr unsigned kGuiHandshakeSeed = 995953;
// The password both ends use unless the settings name another.
constexpr const char kConsolePassword[] = "qorlu7150";

void XorScramble(uint8_t* buf, size_t length, const char* key);
int  ConsoleHandshake(int sock, unsigned seed, uint32_t version, const char* password);
