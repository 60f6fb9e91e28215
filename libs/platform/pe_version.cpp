#include "libs/platform/pe_version.h"

#include "libs/platform/file_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// clang-format off
#pragma pack(push, 1)
struct CoffHeader {
    uint16_t machine;
    uint16_t numberOfSections;
    uint32_t timeDateStamp;
    uint32_t pointerToSymbolTable;
    uint32_t numberOfSymbols;
    uint16_t sizeOfOptionalHeader;
    uint16_t characteristics;
};
struct SectionHeader {
    char     name[8];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t sizeOfRawData;
    uint32_t pointerToRawData;
    uint32_t pointerToRelocations;
    uint32_t pointerToLinenumbers;
    uint16_t numberOfRelocations;
    uint16_t numberOfLinenumbers;
    uint32_t characteristics;
};
struct ResourceDirectory {
    uint32_t characteristics;
    uint32_t timeDateStamp;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint16_t numberOfNamedEntries;
    uint16_t numberOfIdEntries;
};
struct ResourceDirectoryEntry {
    uint32_t name;          // high bit: offset of a counted UTF-16 name; else the id
    uint32_t offsetToData;  // high bit: offset of a subdirectory; else of a data entry
};
struct ResourceDataEntry {
    uint32_t offsetToData;  // RVA
    uint32_t size;
    uint32_t codePage;
    uint32_t reserved;
};
struct FixedFileInfo {
    uint32_t signature;
    uint32_t strucVersion;
    uint32_t fileVersionMS;
    uint32_t fileVersionLS;
    uint32_t productVersionMS;
    uint32_t productVersionLS;
    uint32_t fileFlagsMask;
    uint32_t fileFlags;
    uint32_t fileOS;
    uint32_t fileType;
    uint32_t fileSubtype;
    uint32_t fileDateMS;
    uint32_t fileDateLS;
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(CoffHeader) == 20);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ResourceDirectory) == 16);
static_assert(sizeof(ResourceDirectoryEntry) == 8);
static_assert(sizeof(ResourceDataEntry) == 16);
static_assert(sizeof(FixedFileInfo) == 52);

constexpr uint32_t kHighBit = 0x80000000u;
constexpr uint16_t kRtVersion = 16;
constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// A view of the image with every read checked.
class Image {
public:
    Image(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    template <typename T>
    bool Read(uint64_t offset, T* out) const {
        if (offset > size_ || size_ - offset < sizeof(T)) return false;
        std::memcpy(out, data_ + offset, sizeof(T));
        return true;
    }
    bool Has(uint64_t offset, uint64_t length) const { return offset <= size_ && size_ - offset >= length; }
    const uint8_t* At(uint64_t offset) const { return data_ + offset; }

    // Parses the headers: 0 not a PE image (or damaged), 1 an image without resources,
    // 2 an image with a resource directory.
    int Open() {
        uint16_t mz = 0;
        uint32_t peOffset = 0;
        if (!Read(0, &mz) || mz != 0x5A4D || !Read(0x3C, &peOffset)) return 0;
        uint32_t signature = 0;
        if (!Read(peOffset, &signature) || signature != 0x00004550) return 0;
        CoffHeader coff{};
        if (!Read(uint64_t(peOffset) + 4, &coff)) return 0;
        uint64_t optional = uint64_t(peOffset) + 4 + sizeof(CoffHeader);
        uint16_t magic = 0;
        if (!Read(optional, &magic)) return 0;
        uint64_t dirCountAt = 0;
        if (magic == 0x10B)
            dirCountAt = optional + 92;  // PE32
        else if (magic == 0x20B)
            dirCountAt = optional + 108;  // PE32+
        else
            return 0;
        uint32_t dirCount = 0;
        if (dirCountAt + 4 > optional + coff.sizeOfOptionalHeader || !Read(dirCountAt, &dirCount)) return 0;
        if (dirCount <= 2) return 1;  // no resource directory entry
        uint64_t resourceDirAt = dirCountAt + 4 + 2 * 8;
        if (resourceDirAt + 8 > optional + coff.sizeOfOptionalHeader) return 0;
        if (!Read(resourceDirAt, &resourceRva_) || !Read(resourceDirAt + 4, &resourceSize_)) return 0;
        if (resourceRva_ == 0) return 1;
        sectionsAt_ = optional + coff.sizeOfOptionalHeader;
        sectionCount_ = coff.numberOfSections;
        if (!Has(sectionsAt_, uint64_t(sectionCount_) * sizeof(SectionHeader))) return 0;
        uint64_t rootOffset = 0;
        return RvaToOffset(resourceRva_, sizeof(ResourceDirectory), &rootOffset) ? 2 : 0;
    }

    // Maps a range of the loaded image to the file; the whole range must lie in one section's raw data.
    bool RvaToOffset(uint64_t rva, uint64_t length, uint64_t* offset) const {
        for (uint32_t i = 0; i < sectionCount_; ++i) {
            SectionHeader s{};
            if (!Read(sectionsAt_ + uint64_t(i) * sizeof(SectionHeader), &s)) return false;
            if (rva < s.virtualAddress) continue;
            uint64_t inside = rva - s.virtualAddress;
            if (inside + length > s.sizeOfRawData) continue;
            uint64_t at = uint64_t(s.pointerToRawData) + inside;
            if (!Has(at, length)) return false;
            *offset = at;
            return true;
        }
        return false;
    }

    // Reads a directory (offset relative to the resource root) and its entries.
    bool ReadDirectory(uint32_t relative, std::vector<ResourceDirectoryEntry>* named,
                       std::vector<ResourceDirectoryEntry>* ids) const {
        uint64_t at = 0;
        ResourceDirectory dir{};
        if (!RvaToOffset(uint64_t(resourceRva_) + relative, sizeof(dir), &at) || !Read(at, &dir)) return false;
        uint64_t total = uint64_t(dir.numberOfNamedEntries) + dir.numberOfIdEntries;
        uint64_t entriesAt = 0;
        if (!RvaToOffset(uint64_t(resourceRva_) + relative + sizeof(dir), total * sizeof(ResourceDirectoryEntry),
                         &entriesAt))
            return false;
        for (uint64_t i = 0; i < total; ++i) {
            ResourceDirectoryEntry e{};
            Read(entriesAt + i * sizeof(e), &e);
            (i < dir.numberOfNamedEntries ? named : ids)->push_back(e);
        }
        return true;
    }

    // Compares a counted UTF-16 resource name with an ASCII text, without case.
    bool NameEquals(uint32_t relative, const char* text) const {
        uint64_t at = 0;
        uint16_t length = 0;
        if (!RvaToOffset(uint64_t(resourceRva_) + relative, 2, &at) || !Read(at, &length)) return false;
        if (length != std::strlen(text)) return false;
        uint64_t chars = 0;
        if (!RvaToOffset(uint64_t(resourceRva_) + relative + 2, uint64_t(length) * 2, &chars)) return false;
        for (uint16_t i = 0; i < length; ++i) {
            uint16_t c = 0;
            Read(chars + 2u * i, &c);
            auto up = [](uint32_t ch) { return (ch >= 'a' && ch <= 'z') ? ch - 32 : ch; };
            if (up(c) != up(static_cast<unsigned char>(text[i]))) return false;
        }
        return true;
    }

    // Resolves the data entry of the first language below a name directory entry.
    bool FirstData(const ResourceDirectoryEntry& nameEntry, uint64_t* dataOffset, uint32_t* dataSize) const {
        if (!(nameEntry.offsetToData & kHighBit)) return false;
        std::vector<ResourceDirectoryEntry> named, ids;
        if (!ReadDirectory(nameEntry.offsetToData & ~kHighBit, &named, &ids)) return false;
        named.insert(named.end(), ids.begin(), ids.end());
        for (const auto& lang : named) {
            if (lang.offsetToData & kHighBit) continue;  // a fourth level is not valid
            uint64_t at = 0;
            ResourceDataEntry data{};
            if (!RvaToOffset(uint64_t(resourceRva_) + lang.offsetToData, sizeof(data), &at) || !Read(at, &data))
                continue;
            uint64_t bytes = 0;
            if (!RvaToOffset(data.offsetToData, data.size, &bytes)) continue;
            *dataOffset = bytes;
            *dataSize = data.size;
            return true;
        }
        return false;
    }

    // The type directory entry matching either a name or an id.
    bool FindType(const char* name, uint16_t id, ResourceDirectoryEntry* out) const {
        std::vector<ResourceDirectoryEntry> named, ids;
        if (!ReadDirectory(0, &named, &ids)) return false;
        if (name) {
            for (const auto& e : named)
                if ((e.name & kHighBit) && NameEquals(e.name & ~kHighBit, name)) {
                    *out = e;
                    return true;
                }
            return false;
        }
        for (const auto& e : ids)
            if (!(e.name & kHighBit) && (e.name & 0xFFFF) == id) {
                *out = e;
                return true;
            }
        return false;
    }

    // The entries of the second level below a type entry.
    bool Names(const ResourceDirectoryEntry& type, std::vector<ResourceDirectoryEntry>* out) const {
        if (!(type.offsetToData & kHighBit)) return false;
        std::vector<ResourceDirectoryEntry> named;
        if (!ReadDirectory(type.offsetToData & ~kHighBit, &named, out)) return false;
        out->insert(out->begin(), named.begin(), named.end());
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    uint32_t resourceRva_ = 0;
    uint32_t resourceSize_ = 0;
    uint64_t sectionsAt_ = 0;
    uint32_t sectionCount_ = 0;
};

// VS_VERSIONINFO: wLength, wValueLength, wType, "VS_VERSION_INFO" in UTF-16 with its NUL,
// padding to 32 bits, then VS_FIXEDFILEINFO.
bool FixedInfoFromBlock(const uint8_t* block, size_t size, FixedFileInfo* out) {
    static const char key[] = "VS_VERSION_INFO";
    const size_t keyBytes = sizeof(key) * 2;  // with the NUL
    if (size < 6 + keyBytes) return false;
    uint16_t length = 0, valueLength = 0;
    std::memcpy(&length, block, 2);
    std::memcpy(&valueLength, block + 2, 2);
    if (length > size) return false;
    for (size_t i = 0; i < sizeof(key); ++i)
        if (block[6 + 2 * i] != static_cast<uint8_t>(key[i]) || block[7 + 2 * i] != 0) return false;
    size_t valueAt = (6 + keyBytes + 3) & ~size_t(3);
    if (valueLength < sizeof(FixedFileInfo) || valueAt + sizeof(FixedFileInfo) > length) return false;
    std::memcpy(out, block + valueAt, sizeof(FixedFileInfo));
    return out->signature == kFixedFileInfoSignature;
}

}  // namespace

PeResult PeFileVersion(const uint8_t* data, size_t size, uint64_t* version) {
    *version = 0;
    Image img(data, size);
    int opened = img.Open();
    if (opened != 2) return opened == 0 ? PE_BAD_IMAGE : PE_NOT_FOUND;
    ResourceDirectoryEntry type{};
    std::vector<ResourceDirectoryEntry> names;
    if (!img.FindType(nullptr, kRtVersion, &type) || !img.Names(type, &names)) return PE_NOT_FOUND;
    for (const auto& n : names) {
        uint64_t at = 0;
        uint32_t length = 0;
        FixedFileInfo info{};
        if (img.FirstData(n, &at, &length) && FixedInfoFromBlock(img.At(at), length, &info)) {
            *version = (uint64_t(info.fileVersionMS) << 32) | info.fileVersionLS;
            return PE_OK;
        }
    }
    return PE_NOT_FOUND;
}

PeResult PeFindResource(const uint8_t* data, size_t size, const char* typeName, uint16_t id) {
    Image img(data, size);
    int opened = img.Open();
    if (opened != 2) return opened == 0 ? PE_BAD_IMAGE : PE_NOT_FOUND;
    ResourceDirectoryEntry type{};
    std::vector<ResourceDirectoryEntry> names;
    if (!img.FindType(typeName, 0, &type) || !img.Names(type, &names)) return PE_NOT_FOUND;
    for (const auto& n : names) {
        if ((n.name & kHighBit) || (n.name & 0xFFFF) != id) continue;
        uint64_t at = 0;
        uint32_t length = 0;
        if (img.FirstData(n, &at, &length)) return PE_OK;
    }
    return PE_NOT_FOUND;
}

int PeFileVersionOfFile(const std::string& path, uint64_t* version) {
    *version = 0;
    std::vector<uint8_t> bytes;
    int err = 0;
    if (!ReadWholeFile(path, &bytes, &err)) return err == ENOENT || err == ENOTDIR ? -1 : PE_BAD_IMAGE;
    return PeFileVersion(bytes.data(), bytes.size(), version);
}

int PeFindResourceInFile(const std::string& path, const char* typeName, uint16_t id) {
    std::vector<uint8_t> bytes;
    int err = 0;
    if (!ReadWholeFile(path, &bytes, &err)) return err == ENOENT || err == ENOTDIR ? -1 : PE_BAD_IMAGE;
    return PeFindResource(bytes.data(), bytes.size(), typeName, id);
}
