// Reading a whole regular file into memory: the one file reader of the program.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class FileRead { Ok, OpenFailed, ReadFailed };

// Reads the whole file when it is a regular file. On failure *out is empty and *err (when
// given) holds the errno of the open, or EINVAL for something that is not a regular file or
// could not be read whole.
FileRead ReadRegularFile(const std::string& path, std::vector<uint8_t>* out, int* err = nullptr);
FileRead ReadRegularFile(const std::string& path, std::string* out, int* err = nullptr);

// The same when only success matters.
inline bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* out, int* err = nullptr) {
    return ReadRegularFile(path, out, err) == FileRead::Ok;
}
inline bool ReadWholeFile(const std::string& path, std::string* out, int* err = nullptr) {
    return ReadRegularFile(path, out, err) == FileRead::Ok;
}
