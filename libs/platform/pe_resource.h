// A bounds-checked reader and writer of the resource tree of PE images. The writer
// rebuilds the resource section in place when it is the image's last section, fixing the
// section table, the resource directory entry, the image size and the checksum field;
// images it cannot rewrite safely are refused.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A type or name: a number, or a text (compared without ASCII case).
struct PeResourceKey {
    bool named = false;
    uint16_t id = 0;
    std::u16string name;
    static PeResourceKey Id(uint16_t id) { return {false, id, {}}; }
    static PeResourceKey Name(const char* text);
    bool Matches(const PeResourceKey& other) const;
};

struct PeResourceLanguage {
    uint32_t language = 0;
    uint32_t codePage = 0;
    std::vector<uint8_t> data;
};
struct PeResourceName {
    PeResourceKey key;
    std::vector<PeResourceLanguage> languages;
};
struct PeResourceType {
    PeResourceKey key;
    std::vector<PeResourceName> names;
};

class PeResourceImage {
public:
    // Parses the image and its resource tree: true when both are sound.
    bool Load(std::vector<uint8_t> file);
    // The data of a resource in the language (any language when language is -1), or null.
    const PeResourceLanguage* Find(const PeResourceKey& type, const PeResourceKey& name, int64_t language) const;
    // Removes a resource in every language; false when it was not there.
    bool Remove(const PeResourceKey& type, const PeResourceKey& name);
    // Adds or replaces a resource in one language.
    void Set(const PeResourceKey& type, const PeResourceKey& name, uint32_t language, std::vector<uint8_t> data);
    // Builds the image with the current tree; false when it cannot be rewritten safely
    // (resource section not the last one, data behind it other than a certificate table,
    // sizes out of range).
    bool Save(std::vector<uint8_t>& out) const;
    const std::vector<PeResourceType>& Types() const { return types_; }

private:
    std::vector<uint8_t> file_;
    std::vector<PeResourceType> types_;
    uint64_t optional_ = 0, sections_ = 0, dirEntry_ = 0, securityEntry_ = 0;
    uint32_t sectionCount_ = 0, resourceSection_ = 0;
};
