#include "libs/platform/posix_attr.h"

#include <sys/xattr.h>

#include <cerrno>

namespace {
// Symbolic links are never followed: the word belongs to the entry itself (Linux keeps no
// user attributes on links, so such an entry simply has no word).
bool ReadWord(const std::string& path, uint16_t* word) {
    unsigned char b[2];
    ssize_t n = lgetxattr(path.c_str(), kPfaAttrName, b, sizeof b);
    if (n != 2) return false;
    *word = static_cast<uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool WriteWord(const std::string& path, uint16_t word) {
    unsigned char b[2] = {static_cast<unsigned char>(word & 0xFF), static_cast<unsigned char>(word >> 8)};
    return lsetxattr(path.c_str(), kPfaAttrName, b, sizeof b, 0) == 0;
}
}  // namespace

int CPosixFileAttr::ReadPfa(const std::string& path, int* mode, int* link) {
    uint16_t word;
    if (!ReadWord(path, &word)) return 0;
    if (mode) *mode = word & kPfaModeMask;
    if (link) *link = word & kPfaLinkBit;
    return 1;
}

int CPosixFileAttr::WritePfaMode(const std::string& path, int mode) {
    if (static_cast<uint16_t>(mode) == kPfaNoMode) return 1;
    uint16_t word;
    uint16_t bits = static_cast<uint16_t>(mode) & kPfaModeMask;
    if (ReadWord(path, &word))
        word = static_cast<uint16_t>((word & ~kPfaModeMask) | bits);
    else
        word = bits;
    return WriteWord(path, word) ? 1 : 0;
}

int CPosixFileAttr::WritePfaModeAndLink(const std::string& path, int mode, int link) {
    bool noMode = static_cast<uint16_t>(mode) == kPfaNoMode;
    uint16_t bits = static_cast<uint16_t>(mode) & kPfaModeMask;
    uint16_t word;
    if (ReadWord(path, &word)) {
        if (!noMode) word = static_cast<uint16_t>((word & ~kPfaModeMask) | bits);
        if (link) word |= kPfaLinkBit;
    } else {
        word = static_cast<uint16_t>((link ? kPfaLinkBit : 0) | (noMode ? 0 : bits));
    }
    return WriteWord(path, word) ? 1 : 0;
}

int CPosixFileAttr::ProbePfa(const std::string& folder) {
    std::string dir = folder;
    if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
    unsigned char b[2];
    if (lgetxattr(dir.c_str(), kPfaAttrName, b, sizeof b) >= 0) return 1;
    b[0] = b[1] = 0;
    if (lsetxattr(dir.c_str(), kPfaAttrName, b, sizeof b, XATTR_CREATE) != 0) return 0;
    lremovexattr(dir.c_str(), kPfaAttrName);
    return 1;
}

int CPosixFileAttr::ServedMode(bool haveWord, int wordMode, unsigned ownMode) {
    return haveWord ? (wordMode & kPfaModeMask) : static_cast<int>(ownMode & 07777);
}
