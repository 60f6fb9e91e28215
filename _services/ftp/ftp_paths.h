// Virtual FTP paths and their confinement below a user's root folder. A client sees a tree
// whose "/" is its user's root; every argument is joined to the current folder, normalised on
// its own (so ".." never climbs above "/") and only then put below the root.
#pragma once
#include <string>

inline constexpr size_t kFtpMaxPath = 260;  // longest virtual or full local path
inline constexpr size_t kFtpMaxJoin = 263;  // longest "folder/argument" before normalisation

// Normalises in place: '\' to '/', "//" and "/./" collapsed, ".." resolved without ever
// climbing above the start (or a drive root such as C:/), trailing '/' removed. False (text
// unchanged) for an empty text.
bool SimplifyPath(std::string& text);

// The new virtual path for an argument (none: the current folder). False when the argument
// would be cut or the result is longer than kFtpMaxPath.
bool BuildVirtualPath(const std::string& current, const char* argument, std::string* out);

// The full local path: root + virtual path, joined without resolving anything again (the
// virtual path holds no ".." any more). False without a root or when longer than kFtpMaxPath.
// *relative (optional) gets the path below the root for the *at() calls ("." for the root).
bool BuildFullPath(const std::string& root, const std::string& current, const char* argument, std::string* full,
                   std::string* virtualOut = nullptr, std::string* relative = nullptr);
