#include "libs/platform/pe_resource.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr size_t kSectionHeader = 40;
constexpr uint32_t kMaxEntries = 65535;

template <typename T>
bool Get(const std::vector<uint8_t>& b, uint64_t at, T* out) {
    if (at > b.size() || b.size() - at < sizeof(T)) return false;
    std::memcpy(out, b.data() + at, sizeof(T));
    return true;
}
template <typename T>
void Put(std::vector<uint8_t>& b, uint64_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof(T));
}

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

std::u16string UpperName(const std::u16string& s) {
    std::u16string u = s;
    for (char16_t& c : u) c = Upper(c);
    return u;
}

struct Section {
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer;
};

Section SectionAt(const std::vector<uint8_t>& b, uint64_t at) {
    Section s{};
    Get(b, at + 8, &s.virtualSize);
    Get(b, at + 12, &s.virtualAddress);
    Get(b, at + 16, &s.rawSize);
    Get(b, at + 20, &s.rawPointer);
    return s;
}

// Reads the resource tree of the section's raw bytes (base RVA rva).
class TreeReader {
public:
    TreeReader(const std::vector<uint8_t>& b, const Section& s) : b_(b), s_(s) {}

    bool Bytes(uint64_t rva, uint64_t length, uint64_t* offset) const {
        if (rva < s_.virtualAddress) return false;
        uint64_t inside = rva - s_.virtualAddress;
        uint64_t limit = std::min<uint64_t>(s_.rawSize, std::max<uint64_t>(s_.virtualSize, s_.rawSize));
        if (inside > limit || limit - inside < length) return false;
        uint64_t at = uint64_t(s_.rawPointer) + inside;
        if (at > b_.size() || b_.size() - at < length) return false;
        *offset = at;
        return true;
    }

    bool Key(uint32_t word, PeResourceKey* key) const {
        if (!(word & kHighBit)) {
            if (word > 0xFFFF) return false;
            *key = PeResourceKey::Id(uint16_t(word));
            return true;
        }
        uint64_t at = 0;
        uint16_t length = 0;
        if (!Bytes(uint64_t(s_.virtualAddress) + (word & ~kHighBit), 2, &at) || !Get(b_, at, &length)) return false;
        if (!Bytes(uint64_t(s_.virtualAddress) + (word & ~kHighBit) + 2, uint64_t(length) * 2, &at)) return false;
        key->named = true;
        key->name.resize(length);
        std::memcpy(key->name.data(), b_.data() + at, size_t(length) * 2);
        return true;
    }

    // The entries of the directory at relative offset dir: (key word, target word).
    bool Directory(uint32_t dir, std::vector<std::pair<uint32_t, uint32_t>>* entries) {
        if (!visited_.insert(dir).second) return false;  // a loop
        uint64_t at = 0;
        uint16_t named = 0, ids = 0;
        if (!Bytes(uint64_t(s_.virtualAddress) + dir, 16, &at) || !Get(b_, at + 12, &named) || !Get(b_, at + 14, &ids))
            return false;
        const uint64_t total = uint64_t(named) + ids;
        if (!Bytes(uint64_t(s_.virtualAddress) + dir + 16, total * 8, &at)) return false;
        for (uint64_t i = 0; i < total; ++i) {
            uint32_t k = 0, t = 0;
            Get(b_, at + 8 * i, &k);
            Get(b_, at + 8 * i + 4, &t);
            entries->push_back({k, t});
        }
        return true;
    }

    bool Data(uint32_t entry, PeResourceLanguage* out) const {
        uint64_t at = 0;
        uint32_t rva = 0, size = 0;
        if (!Bytes(uint64_t(s_.virtualAddress) + entry, 16, &at) || !Get(b_, at, &rva) || !Get(b_, at + 4, &size) ||
            !Get(b_, at + 8, &out->codePage))
            return false;
        if (!Bytes(rva, size, &at)) return false;
        out->data.assign(b_.begin() + ptrdiff_t(at), b_.begin() + ptrdiff_t(at + size));
        return true;
    }

private:
    const std::vector<uint8_t>& b_;
    Section s_;
    std::set<uint32_t> visited_;
};

uint32_t AlignUp(uint64_t v, uint32_t a) { return uint32_t((v + a - 1) / a * a); }

// The checksum of the optional header: 16-bit sums with carries folded, plus the length.
uint32_t PeChecksum(const std::vector<uint8_t>& b, uint64_t checksumAt) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == checksumAt || i == checksumAt + 2) continue;
        uint16_t w = uint16_t(b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0));
        sum += w;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + b.size());
}

bool KeyLess(const PeResourceKey& a, const PeResourceKey& b) {
    if (a.named != b.named) return a.named;  // named entries come first
    if (a.named) return UpperName(a.name) < UpperName(b.name);
    return a.id < b.id;
}

}  // namespace

PeResourceKey PeResourceKey::Name(const char* text) {
    PeResourceKey k;
    k.named = true;
    for (const char* p = text; *p; ++p) k.name += char16_t(uint8_t(*p));
    return k;
}

bool PeResourceKey::Matches(const PeResourceKey& other) const {
    if (named != other.named) return false;
    return named ? UpperName(name) == UpperName(other.name) : id == other.id;
}

bool PeResourceImage::Load(std::vector<uint8_t> file) {
    file_ = std::move(file);
    types_.clear();
    const auto& b = file_;
    uint16_t mz = 0, sectionCount = 0, optSize = 0, magic = 0;
    uint32_t pe = 0, signature = 0, dirCount = 0;
    if (!Get(b, 0, &mz) || mz != 0x5A4D || !Get(b, 0x3C, &pe) || !Get(b, pe, &signature) || signature != 0x4550)
        return false;
    if (!Get(b, uint64_t(pe) + 6, &sectionCount) || !Get(b, uint64_t(pe) + 20, &optSize)) return false;
    optional_ = uint64_t(pe) + 24;
    if (!Get(b, optional_, &magic) || (magic != 0x10B && magic != 0x20B)) return false;
    const uint64_t dirCountAt = optional_ + (magic == 0x10B ? 92 : 108);
    if (dirCountAt + 4 > optional_ + optSize || !Get(b, dirCountAt, &dirCount)) return false;
    if (dirCount < 5 || dirCountAt + 4 + 5 * 8 > optional_ + optSize) return false;
    dirEntry_ = dirCountAt + 4 + 2 * 8;
    securityEntry_ = dirCountAt + 4 + 4 * 8;
    sections_ = optional_ + optSize;
    sectionCount_ = sectionCount;
    if (sectionCount_ == 0 || sections_ + uint64_t(sectionCount_) * kSectionHeader > b.size()) return false;
    uint32_t rva = 0, size = 0;
    Get(b, dirEntry_, &rva);
    Get(b, dirEntry_ + 4, &size);
    if (rva == 0) return false;
    resourceSection_ = sectionCount_;
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        Section s = SectionAt(b, sections_ + uint64_t(i) * kSectionHeader);
        if (rva == s.virtualAddress) resourceSection_ = i;
    }
    if (resourceSection_ == sectionCount_) return false;
    TreeReader reader(b, SectionAt(b, sections_ + uint64_t(resourceSection_) * kSectionHeader));
    std::vector<std::pair<uint32_t, uint32_t>> typeEntries;
    if (!reader.Directory(0, &typeEntries)) return false;
    for (const auto& [typeKey, typeTarget] : typeEntries) {
        PeResourceType type;
        if (!reader.Key(typeKey, &type.key) || !(typeTarget & kHighBit)) return false;
        std::vector<std::pair<uint32_t, uint32_t>> nameEntries;
        if (!reader.Directory(typeTarget & ~kHighBit, &nameEntries)) return false;
        for (const auto& [nameKey, nameTarget] : nameEntries) {
            PeResourceName name;
            if (!reader.Key(nameKey, &name.key) || !(nameTarget & kHighBit)) return false;
            std::vector<std::pair<uint32_t, uint32_t>> langEntries;
            if (!reader.Directory(nameTarget & ~kHighBit, &langEntries)) return false;
            for (const auto& [langKey, langTarget] : langEntries) {
                PeResourceLanguage lang;
                lang.language = langKey;
                if ((langKey & kHighBit) || (langTarget & kHighBit) || !reader.Data(langTarget, &lang)) return false;
                name.languages.push_back(std::move(lang));
            }
            type.names.push_back(std::move(name));
        }
        types_.push_back(std::move(type));
    }
    return true;
}

const PeResourceLanguage* PeResourceImage::Find(const PeResourceKey& type, const PeResourceKey& name,
                                                int64_t language) const {
    for (const auto& t : types_) {
        if (!t.key.Matches(type)) continue;
        for (const auto& n : t.names) {
            if (!n.key.Matches(name)) continue;
            for (const auto& l : n.languages)
                if (language < 0 || l.language == uint32_t(language)) return &l;
        }
    }
    return nullptr;
}

bool PeResourceImage::Remove(const PeResourceKey& type, const PeResourceKey& name) {
    bool removed = false;
    for (auto& t : types_) {
        if (!t.key.Matches(type)) continue;
        auto end = std::remove_if(t.names.begin(), t.names.end(),
                                  [&](const PeResourceName& n) { return n.key.Matches(name); });
        removed |= end != t.names.end();
        t.names.erase(end, t.names.end());
    }
    types_.erase(std::remove_if(types_.begin(), types_.end(), [](const PeResourceType& t) { return t.names.empty(); }),
                 types_.end());
    return removed;
}

void PeResourceImage::Set(const PeResourceKey& type, const PeResourceKey& name, uint32_t language,
                          std::vector<uint8_t> data) {
    auto t = std::find_if(types_.begin(), types_.end(), [&](const PeResourceType& x) { return x.key.Matches(type); });
    if (t == types_.end()) t = types_.insert(types_.end(), PeResourceType{type, {}});
    auto n =
        std::find_if(t->names.begin(), t->names.end(), [&](const PeResourceName& x) { return x.key.Matches(name); });
    if (n == t->names.end()) n = t->names.insert(t->names.end(), PeResourceName{name, {}});
    for (auto& l : n->languages) {
        if (l.language == language) {
            l.data = std::move(data);
            return;
        }
    }
    n->languages.push_back(PeResourceLanguage{language, 0, std::move(data)});
}

bool PeResourceImage::Save(std::vector<uint8_t>& out) const {
    if (file_.empty()) return false;
    std::vector<uint8_t> b = file_;
    const uint64_t sectionAt = sections_ + uint64_t(resourceSection_) * kSectionHeader;
    const Section rs = SectionAt(b, sectionAt);
    uint32_t sectionAlign = 0, fileAlign = 0;
    Get(b, optional_ + 32, &sectionAlign);
    Get(b, optional_ + 36, &fileAlign);
    if (fileAlign == 0 || (fileAlign & (fileAlign - 1)) || sectionAlign < fileAlign ||
        (sectionAlign & (sectionAlign - 1)))
        return false;
    // The resource section must be the last one, in the file and in memory.
    for (uint32_t i = 0; i < sectionCount_; ++i) {
        if (i == resourceSection_) continue;
        Section s = SectionAt(b, sections_ + uint64_t(i) * kSectionHeader);
        if (s.virtualAddress >= rs.virtualAddress) return false;
        if (s.rawSize && uint64_t(s.rawPointer) + s.rawSize > rs.rawPointer) return false;
    }
    const uint64_t rawEnd = uint64_t(rs.rawPointer) + rs.rawSize;
    if (rawEnd > b.size()) return false;
    uint32_t certAt = 0, certSize = 0;
    Get(b, securityEntry_, &certAt);
    Get(b, securityEntry_ + 4, &certSize);
    if (b.size() > rawEnd) {
        // Only a certificate table may follow; the rewrite invalidates it, so it goes.
        if (certAt < rawEnd || uint64_t(certAt) + certSize != b.size()) return false;
    }
    b.resize(size_t(rawEnd));
    Put<uint32_t>(b, securityEntry_, 0);
    Put<uint32_t>(b, securityEntry_ + 4, 0);

    // Sorted copy of the tree.
    std::vector<PeResourceType> types = types_;
    std::sort(types.begin(), types.end(), [](const auto& x, const auto& y) { return KeyLess(x.key, y.key); });
    size_t nameDirs = 0, leaves = 0;
    for (auto& t : types) {
        if (t.names.size() > kMaxEntries) return false;
        std::sort(t.names.begin(), t.names.end(), [](const auto& x, const auto& y) { return KeyLess(x.key, y.key); });
        for (auto& n : t.names) {
            if (n.languages.size() > kMaxEntries) return false;
            std::sort(n.languages.begin(), n.languages.end(),
                      [](const auto& x, const auto& y) { return x.language < y.language; });
            ++nameDirs;
            leaves += n.languages.size();
        }
    }
    if (types.size() > kMaxEntries) return false;
    // Layout: directories, data entries, names, then the data (8-byte aligned).
    uint64_t size = 16 + 8 * types.size();
    std::vector<uint64_t> typeDirs, nameDirAt, dataEntries;
    for (const auto& t : types) {
        typeDirs.push_back(size);
        size += 16 + 8 * t.names.size();
    }
    for (const auto& t : types)
        for (const auto& n : t.names) {
            nameDirAt.push_back(size);
            size += 16 + 8 * n.languages.size();
        }
    for (size_t i = 0; i < leaves; ++i) {
        dataEntries.push_back(size);
        size += 16;
    }
    std::vector<uint64_t> typeNames, nameNames;
    for (const auto& t : types) {
        typeNames.push_back(t.key.named ? size : 0);
        if (t.key.named) size += 2 + 2 * t.key.name.size();
        for (const auto& n : t.names) {
            nameNames.push_back(n.key.named ? size : 0);
            if (n.key.named) size += 2 + 2 * n.key.name.size();
        }
    }
    std::vector<uint64_t> dataAt;
    for (const auto& t : types)
        for (const auto& n : t.names)
            for (const auto& l : n.languages) {
                size = (size + 7) & ~uint64_t(7);
                dataAt.push_back(size);
                size += l.data.size();
            }
    if (size > 0x7FFFFFFF - rs.virtualAddress) return false;
    std::vector<uint8_t> r(size_t(size), 0);
    auto dir = [&](uint64_t at, const auto& keys) {
        uint16_t named = 0, ids = 0;
        for (const auto& k : keys) (k.named ? named : ids)++;
        Put<uint16_t>(r, at + 12, named);
        Put<uint16_t>(r, at + 14, ids);
    };
    auto keyWord = [&](const PeResourceKey& k, uint64_t nameAt) {
        if (!k.named) return uint32_t(k.id);
        Put<uint16_t>(r, nameAt, uint16_t(k.name.size()));
        std::memcpy(r.data() + nameAt + 2, k.name.data(), k.name.size() * 2);
        return uint32_t(kHighBit | nameAt);
    };
    std::vector<PeResourceKey> typeKeys;
    for (const auto& t : types) typeKeys.push_back(t.key);
    dir(0, typeKeys);
    size_t ni = 0, li = 0;
    for (size_t ti = 0; ti < types.size(); ++ti) {
        const auto& t = types[ti];
        Put<uint32_t>(r, 16 + 8 * ti, keyWord(t.key, typeNames[ti]));
        Put<uint32_t>(r, 16 + 8 * ti + 4, uint32_t(kHighBit | typeDirs[ti]));
        std::vector<PeResourceKey> nameKeys;
        for (const auto& n : t.names) nameKeys.push_back(n.key);
        dir(typeDirs[ti], nameKeys);
        for (size_t k = 0; k < t.names.size(); ++k, ++ni) {
            const auto& n = t.names[k];
            Put<uint32_t>(r, typeDirs[ti] + 16 + 8 * k, keyWord(n.key, nameNames[ni]));
            Put<uint32_t>(r, typeDirs[ti] + 16 + 8 * k + 4, uint32_t(kHighBit | nameDirAt[ni]));
            Put<uint16_t>(r, nameDirAt[ni] + 14, uint16_t(n.languages.size()));
            for (size_t j = 0; j < n.languages.size(); ++j, ++li) {
                const auto& l = n.languages[j];
                Put<uint32_t>(r, nameDirAt[ni] + 16 + 8 * j, l.language);
                Put<uint32_t>(r, nameDirAt[ni] + 16 + 8 * j + 4, uint32_t(dataEntries[li]));
                Put<uint32_t>(r, dataEntries[li], uint32_t(rs.virtualAddress + dataAt[li]));
                Put<uint32_t>(r, dataEntries[li] + 4, uint32_t(l.data.size()));
                Put<uint32_t>(r, dataEntries[li] + 8, l.codePage);
                if (!l.data.empty()) std::memcpy(r.data() + dataAt[li], l.data.data(), l.data.size());
            }
        }
    }
    const uint32_t rawSize = AlignUp(r.size(), fileAlign);
    b.resize(rs.rawPointer);
    b.insert(b.end(), r.begin(), r.end());
    b.resize(size_t(rs.rawPointer) + rawSize, 0);
    Put<uint32_t>(b, sectionAt + 8, uint32_t(r.size()));
    Put<uint32_t>(b, sectionAt + 16, rawSize);
    Put<uint32_t>(b, dirEntry_ + 4, uint32_t(r.size()));
    Put<uint32_t>(b, optional_ + 56, AlignUp(uint64_t(rs.virtualAddress) + r.size(), sectionAlign));
    Put<uint32_t>(b, optional_ + 64, 0);
    Put<uint32_t>(b, optional_ + 64, PeChecksum(b, optional_ + 64));
    out.swap(b);
    return true;
}
