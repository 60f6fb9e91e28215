// File and text routines shared by the BINL add-on.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libs/platform/file_read.h"

// Creation dispositions of MakePathAndWriteFile.
enum BinlDisposition : int {
    BINL_CREATE_NEW = 1,     // only when missing; an existing file is success and stays untouched
    BINL_CREATE_ALWAYS = 2,  // create or replace
};

bool PathExists(const std::string& path);
bool IsRegularFile(const std::string& path);
// a + "/" + b, without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);
// Removes every trailing '/' or '\' (a lone "/" stays).
std::string StripTrailingSeparators(std::string path);

// Resolves a path below base whose components (separated by '/' or '\') may differ in
// case from what is on disk: each component is taken exactly when it exists, else the first
// entry of its folder that equals it without case. Components that do not exist are kept
// as written, so the result can name a file that is to be created.
std::string ResolveNoCase(const std::string& base, const std::string& relative);

// Creates the folder path (every missing component) and, when a file name and data are
// given, writes the file in it. Files are written to a temporary name and moved into place.
// 0 or -1 ("BINL Err: Creating %s" logged).
int MakePathAndWriteFile(const std::string& path, const char* fileName, const void* data, size_t size, int disposition);

// 1 when the file holds only TAB, LF, CR and 32..126 (or cannot be checked), else 0.
int IsAsciiFile(const std::string& path);
// Trims blanks and the characters 9 to 13 at both ends, in place.
char* TrimSpaces(char* text);
std::string TrimSpaces(const std::string& text);
// First occurrence of pattern in text, comparing ASCII letters without case; nullptr when none.
const char* FindTextNoCase(const char* text, const char* pattern);
// Copies text byte i to dest byte 2i; returns twice the text length. dest must be zeroed.
size_t AsciiToUtf16(const char* text, uint8_t* dest);
// Last component of a path ('/' or '\'; one trailing separator ignored). 0 and empty when there
// is none, when the separator before it is the first character, or when length + 4 > capacity.
size_t PathLastComponent(const std::string& path, std::string* out, size_t capacity);
// File version of a PE file's version resource; 0 when unavailable.
uint64_t GetFileVersion64(const std::string& path);
// Name of the first regular *.wim file of a folder (at most capacity characters); its length.
size_t FindFirstWim(const std::string& folder, std::string* out, size_t capacity);
// 1 when the PE file carries the resource ("MUI", 1), 0 when not, -1 path not accessible,
// -3 not a PE image.
int HasMuiResource(const std::string& path);

// Copies src over dst through a temporary file in dst's folder, renamed into place.
bool CopyFileAtomic(const std::string& src, const std::string& dst);
// Writes data to path through a temporary file renamed into place.
bool WriteFileAtomic(const std::string& path, const void* data, size_t size);

struct FolderEntry {
    std::string name;
    bool isFolder = false;
};
// Entries of a folder without "." and "..", sorted by name without case (the order an
// NTFS listing gives). Empty when the folder cannot be read.
std::vector<FolderEntry> ListFolder(const std::string& path);
// Whether a text begins with prefix, ASCII letters compared without case.
bool StartsWithNoCase(const std::string& text, const char* prefix);
