// Reading a whole regular file into memory.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class FileRead { Ok, OpenFailed, ReadFailed };

// Reads the whole file when it is a regular file. On failure *out is empty and *err (when
// given) holds the errno of the open, or EINVAL for something that is not a regular file or
// could not be read whole.
FileRead ReadRegularFile(const std::string& path, std::vector<uint8_t>* out, int* err = nullptr);
