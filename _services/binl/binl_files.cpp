#include "_services/binl/binl_files.h"
#include "_services/host_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "_services/binl/binl_log.h"
#include "libs/platform/atomic_file.h"
#include "libs/platform/file_read.h"
#include "libs/platform/pe_version.h"

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

}  // namespace

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    if (IsSep(a.back())) return a + b;
    return a + "/" + b;
}

std::string StripTrailingSeparators(std::string path) {
    while (path.size() > 1 && IsSep(path.back())) path.pop_back();
    return path;
}

std::string ResolveNoCase(const std::string& base, const std::string& relative) {
    std::string current = base;
    size_t i = 0;
    while (i < relative.size()) {
        while (i < relative.size() && IsSep(relative[i])) ++i;
        size_t j = i;
        while (j < relative.size() && !IsSep(relative[j])) ++j;
        if (j == i) break;
        std::string part = relative.substr(i, j - i);
        std::string exact = JoinPath(current, part);
        if (part == "." || part == ".." || PathExists(exact)) {
            current = exact;
        } else {
            std::string found;
            if (DIR* d = ::opendir(current.c_str())) {
                while (dirent* e = ::readdir(d)) {
                    if (EqualNoCase(e->d_name, part)) {
                        found = e->d_name;
                        break;
                    }
                }
                ::closedir(d);
            }
            current = JoinPath(current, found.empty() ? part : found);
        }
        i = j;
    }
    return current;
}

int MakePathAndWriteFile(const std::string& pathIn, const char* fileName, const void* data, size_t size,
                         int disposition) {
    if (pathIn.size() >= PATH_MAX) {
        BinlLog("BINL Err: Creating %s", pathIn.c_str());
        return -1;
    }
    std::string path = pathIn;
    if (path.size() > 1 && IsSep(path.back())) path.pop_back();
    size_t first = path.find_first_of("/\\");
    if (first == std::string::npos) {
        BinlLog("BINL Err: Creating %s", path.c_str());
        return -1;
    }
    // Every prefix ending before a separator after the first one, then the whole path.
    for (size_t pos = path.find_first_of("/\\", first + 1);; pos = path.find_first_of("/\\", pos + 1)) {
        std::string prefix = pos == std::string::npos ? path : path.substr(0, pos);
        if (!prefix.empty() && !IsDirectory(prefix)) {
            if (::mkdir(prefix.c_str(), 0755) != 0 && !(errno == EEXIST && IsDirectory(prefix))) {
                BinlLog("BINL Err: Creating %s", path.c_str());
                return -1;
            }
        }
        if (pos == std::string::npos) break;
    }
    if (!fileName || !data) return 0;
    std::string file = JoinPath(path, fileName);
    if (disposition == BINL_CREATE_NEW && PathExists(file)) return 0;
    AtomicFile out;
    bool ok = out.Open(file, 0644) && out.Write(data, size);
    if (ok) ok = disposition == BINL_CREATE_NEW ? out.CommitIfAbsent() : out.Commit();
    if (!ok) {
        BinlLog("BINL Err: Creating %s", file.c_str());
        return -1;
    }
    return 0;
}

int IsAsciiFile(const std::string& path) {
    if (!PathExists(path)) return 1;
    std::vector<uint8_t> bytes;
    switch (ReadRegularFile(path, &bytes)) {
        case FileRead::OpenFailed: BinlLog("BINL Err: Check ASCII; Couldn't Open %s", path.c_str()); return 1;
        case FileRead::ReadFailed: BinlLog("BINL Err: Check ASCII; Couldn't Read %s", path.c_str()); return 1;
        case FileRead::Ok: break;
    }
    for (uint8_t b : bytes)
        if (!(b == 9 || b == 10 || b == 13 || (b >= 32 && b <= 126))) return 0;
    return 1;
}

char* TrimSpaces(char* text) {
    auto white = [](char c) { return c == ' ' || (c >= 9 && c <= 13); };
    size_t len = std::strlen(text);
    size_t start = 0;
    while (start < len && white(text[start])) ++start;
    if (start == len) {
        text[0] = '\0';
        return text;
    }
    size_t end = len;
    while (end > start && white(text[end - 1])) --end;
    std::memmove(text, text + start, end - start);
    text[end - start] = '\0';
    return text;
}

std::string TrimSpaces(const std::string& text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    return TrimSpaces(buf.data());
}

const char* FindTextNoCase(const char* text, const char* pattern) {
    if (!*pattern) return text;
    for (const char* t = text; *t; ++t) {
        const char* a = t;
        const char* b = pattern;
        while (*a && *b && Upper(*a) == Upper(*b)) {
            ++a;
            ++b;
        }
        if (!*b) return t;
    }
    return nullptr;
}

size_t AsciiToUtf16(const char* text, uint8_t* dest) {
    size_t i = 0;
    for (; text[i]; ++i) dest[2 * i] = static_cast<uint8_t>(text[i]);
    return 2 * i;
}

size_t PathLastComponent(const std::string& path, std::string* out, size_t capacity) {
    out->clear();
    std::string p = path;
    if (!p.empty() && IsSep(p.back())) p.pop_back();
    size_t sep = p.find_last_of("/\\");
    if (sep == std::string::npos || sep == 0) return 0;
    std::string component = p.substr(sep + 1);
    if (component.size() + 4 > capacity) return 0;
    *out = component;
    return component.size();
}

uint64_t GetFileVersion64(const std::string& path) {
    uint64_t version = 0;
    return PeFileVersionOfFile(path, &version) == PE_OK ? version : 0;
}

size_t FindFirstWim(const std::string& folder, std::string* out, size_t capacity) {
    out->clear();
    for (const FolderEntry& e : ListFolder(folder)) {
        if (e.isFolder || e.name.size() < 4) continue;
        if (!EqualNoCase(e.name.substr(e.name.size() - 4), ".wim")) continue;
        *out = e.name.substr(0, capacity);
        break;
    }
    return out->size();
}

int HasMuiResource(const std::string& path) {
    if (!PathExists(path)) return -1;
    int rc = PeFindResourceInFile(path, "MUI", 1);
    if (rc == -1) return -1;
    if (rc == PE_OK) return 1;
    if (rc == PE_NOT_FOUND) return 0;
    return -3;
}

bool WriteFileAtomic(const std::string& path, const void* data, size_t size) {
    return ReplaceFile(path, data, size, 0644);
}

bool CopyFileAtomic(const std::string& src, const std::string& dst) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(src, &bytes)) return false;
    return WriteFileAtomic(dst, bytes.data(), bytes.size());
}

std::vector<FolderEntry> ListFolder(const std::string& path) {
    std::vector<FolderEntry> entries;
    DIR* d = ::opendir(path.c_str());
    if (!d) return entries;
    while (dirent* e = ::readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        FolderEntry fe;
        fe.name = e->d_name;
        fe.isFolder = IsDirectory(JoinPath(path, fe.name));
        entries.push_back(std::move(fe));
    }
    ::closedir(d);
    std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
        size_t n = std::min(a.name.size(), b.name.size());
        for (size_t i = 0; i < n; ++i) {
            char x = Upper(a.name[i]), y = Upper(b.name[i]);
            if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        }
        if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
        return a.name < b.name;
    });
    return entries;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Upper(text[i]) != Upper(prefix[i])) return false;
    return true;
}
