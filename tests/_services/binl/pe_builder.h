// Builds small PE images with a version resource and a ("MUI", 1) resource for tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

namespace pe_builder {

struct PeSpec {
    bool pe32plus = true;
    bool version = true;
    uint32_t ms = 0x000A0000, ls = 0x4A610001;  // 10.0.19041.1
    bool mui = true;
};

inline void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
inline void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
inline size_t Grow(std::vector<uint8_t>& b, size_t n) {
    size_t at = b.size();
    b.resize(at + n, 0);
    return at;
}

// A resource section at RVA 0x1000: root -> type -> id 1 -> language 0x409 -> data.
inline std::vector<uint8_t> BuildResources(const PeSpec& spec) {
    std::vector<uint8_t> r;
    int named = spec.mui ? 1 : 0, ids = spec.version ? 1 : 0;
    size_t root = Grow(r, 16 + 8 * (named + ids));
    Put16(r, root + 12, uint16_t(named));
    Put16(r, root + 14, uint16_t(ids));
    auto chain = [&](size_t entryAt, const std::vector<uint8_t>& payload) {
        size_t nameDir = Grow(r, 16 + 8);
        Put32(r, entryAt + 4, 0x80000000u | uint32_t(nameDir));
        Put16(r, nameDir + 14, 1);
        Put32(r, nameDir + 16, 1);  // id 1
        size_t langDir = Grow(r, 16 + 8);
        Put32(r, nameDir + 20, 0x80000000u | uint32_t(langDir));
        Put16(r, langDir + 14, 1);
        Put32(r, langDir + 16, 0x409);
        size_t data = Grow(r, 16);
        Put32(r, langDir + 20, uint32_t(data));
        size_t bytes = Grow(r, payload.size());
        std::memcpy(&r[bytes], payload.data(), payload.size());
        Put32(r, data, uint32_t(0x1000 + bytes));
        Put32(r, data + 4, uint32_t(payload.size()));
    };
    size_t entry = root + 16;
    if (spec.mui) {
        size_t name = Grow(r, 2 + 6);
        Put16(r, name, 3);
        const char* mui = "MUI";
        for (int i = 0; i < 3; ++i) Put16(r, name + 2 + 2 * i, uint16_t(mui[i]));
        Put32(r, entry, 0x80000000u | uint32_t(name));
        chain(entry, std::vector<uint8_t>(24, 0xCD));
        entry += 8;
    }
    if (spec.version) {
        Put32(r, entry, 16);
        std::vector<uint8_t> v(92, 0);
        Put16(v, 0, 92);
        Put16(v, 2, 52);
        const char* key = "VS_VERSION_INFO";
        for (int i = 0; key[i]; ++i) Put16(v, 6 + 2 * i, uint16_t(key[i]));
        Put32(v, 40, 0xFEEF04BD);
        Put32(v, 48, spec.ms);
        Put32(v, 52, spec.ls);
        chain(entry, v);
    }
    return r;
}

inline std::vector<uint8_t> BuildImage(const PeSpec& spec) {
    std::vector<uint8_t> rsrc = BuildResources(spec);
    uint16_t optSize = spec.pe32plus ? 240 : 224;
    std::vector<uint8_t> img(0x200, 0);
    img[0] = 'M';
    img[1] = 'Z';
    Put32(img, 0x3C, 0x40);
    Put32(img, 0x40, 0x00004550);
    Put16(img, 0x44, spec.pe32plus ? 0x8664 : 0x14C);
    Put16(img, 0x46, 1);
    Put16(img, 0x54, optSize);
    size_t opt = 0x58;
    Put16(img, opt, spec.pe32plus ? 0x20B : 0x10B);
    size_t dirs = opt + (spec.pe32plus ? 108 : 92);
    Put32(img, dirs, 16);
    Put32(img, dirs + 4 + 2 * 8, 0x1000);
    Put32(img, dirs + 4 + 2 * 8 + 4, uint32_t(rsrc.size()));
    size_t sec = opt + optSize;
    std::memcpy(&img[sec], ".rsrc", 5);
    Put32(img, sec + 8, uint32_t(rsrc.size()));
    Put32(img, sec + 12, 0x1000);
    Put32(img, sec + 16, uint32_t(rsrc.size()));
    Put32(img, sec + 20, 0x200);
    img.insert(img.end(), rsrc.begin(), rsrc.end());
    return img;
}

}  // namespace pe_builder
