// Opening files beneath a root folder: the exact name first, then a unique match that
// differs only in case, component by component; never above the root, links included.
#pragma once
#include <cstdint>
#include <string>

// Splits a decoded request path ('\' taken as '/') into its components. False for a path
// that holds a NUL byte or a "." or ".." component.
bool SafeRelativePath(const std::string& path, std::string* relative);

// openat2 beneath rootFd (RESOLVE_BENEATH, no magic links; rootFd -1: the path as given).
// relative "" or "." is the root.
// Returns the descriptor or -1 with errno set.
int OpenBeneath(int rootFd, const std::string& relative, int flags);

// Type, size and birth time (the modification time where none is kept) of an entry beneath
// the root, following links that stay beneath it.
bool StatBeneath(int rootFd, const std::string& relative, bool* isFolder, uint64_t* size, int64_t* createdNs);
