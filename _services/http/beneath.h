// Request paths of the HTTP server, opened beneath its root by the exact name first, then by
// the unique name that differs only in case, component by component (OpenBeneathNoCase with
// CaseMatch::Unique); never above the root, links included.
#pragma once
#include <cstdint>
#include <string>

#include "libs/platform/beneath.h"

// Splits a decoded request path ('\' taken as '/') into its components. False for a path
// that holds a NUL byte or a "." or ".." component.
bool SafeRelativePath(const std::string& path, std::string* relative);

// Type, size and birth time (the modification time where none is kept) of an entry beneath
// the root, following links that stay beneath it.
bool StatBeneath(int rootFd, const std::string& relative, bool* isFolder, uint64_t* size, int64_t* createdNs);
