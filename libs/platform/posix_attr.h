// POSIX permission bits and the symbolic-link flag kept per file in the extended attribute
// "user.Nimbo.pfa": one 16-bit little-endian word, bits 0-11 the mode, bit 15 "the content
// is a link target". Shared by the NFS and FTP servers.
#pragma once
#include <cstdint>
#include <string>

inline constexpr const char* kPfaAttrName = "user.Nimbo.pfa";
inline constexpr uint16_t kPfaNoMode = 0xFFFF;  // "no mode given"
inline constexpr uint16_t kPfaModeMask = 0x0FFF;
inline constexpr uint16_t kPfaLinkBit = 0x8000;

class CPosixFileAttr {
public:
    int uid = 0;
    int gid = 0;
    int streamInUse = 0;  // 1 when the probe of the export root succeeded
    int readOnly = 0;     // 1 when the export is read-only

    // 1 when the word was read: *mode gets bits 0-11, *link 0 or 0x8000 (either may be null).
    static int ReadPfa(const std::string& path, int* mode, int* link);
    // Replaces bits 0-11 (other bits kept); kPfaNoMode succeeds without touching the file.
    static int WritePfaMode(const std::string& path, int mode);
    // As WritePfaMode, and sets bit 15 when link is non-zero (a zero link keeps bit 15).
    static int WritePfaModeAndLink(const std::string& path, int mode, int link);
    // 1 when the folder's file system keeps user attributes (leaves nothing behind).
    static int ProbePfa(const std::string& folder);
    // The permission bits (0-11) an entry is served with, over NFS and in FTP listings: the
    // stored word's bits when there is a word, otherwise the entry's own permission bits.
    static int ServedMode(bool haveWord, int wordMode, unsigned ownMode);
};
