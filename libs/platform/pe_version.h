// A bounds-checked reader for the resources of PE images (any machine type): the file
// version of the version resource and the presence of a resource by type and id.
// Nothing is loaded or executed; every offset is checked against the buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

enum PeResult : int {
    PE_OK = 0,
    PE_NOT_FOUND = 1,   // a valid image without the resource asked for
    PE_BAD_IMAGE = -3,  // not a PE image, or its headers or resource tree are damaged
};

// The file version of VS_FIXEDFILEINFO: (dwFileVersionMS << 32) | dwFileVersionLS.
PeResult PeFileVersion(const uint8_t* data, size_t size, uint64_t* version);

// Whether the image holds a resource of the named type (compared without case, e.g. "MUI")
// and the given numeric id, in any language.
PeResult PeFindResource(const uint8_t* data, size_t size, const char* typeName, uint16_t id);

// Whole-file forms. Reading fails with PE_BAD_IMAGE for files that cannot be read, and
// with -1 (returned as a plain int) when the path does not exist.
int PeFileVersionOfFile(const std::string& path, uint64_t* version);
int PeFindResourceInFile(const std::string& path, const char* typeName, uint16_t id);
