// MD5 message digest.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct MD5Context {
    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
};
void MD5Init(MD5Context* ctx);
void MD5Update(MD5Context* ctx, const void* data, size_t length);
void MD5Final(uint8_t digest[16], MD5Context* ctx);
std::string MD5Hex(const uint8_t digest[16]);
