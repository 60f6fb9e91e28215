// INI profile files read and written the way the settings store expects:
// section and key names without case, blanks trimmed, one pair of quotes removed,
// ';' comment lines, first match wins, values cut at 2047 characters. Writes keep every
// other line byte for byte and replace the file atomically under one process-wide lock.
#pragma once
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Copies the value (or the default when the key is missing) into buf; returns its length.
int GetProfileValue(const char* section, const char* key, const char* def, char* buf, int size, const char* path);
// Every key of the first section of that name with its value, read as GetProfileValue
// reads one (keys in lower case; the first of a key given twice). False when the file
// cannot be read.
bool GetProfileSection(const char* section, std::unordered_map<std::string, std::string>* values, const char* path);
// Writes key=value into section; creates the file when missing. Returns false on failure.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path);
// Writes every key=value into section in one replace of the file (one read, one write,
// one fsync), whatever their number. A key given twice keeps its last value.
bool WriteProfileValues(const char* section, const std::vector<std::pair<std::string, std::string>>& values,
                        const char* path);
// Empties (or creates) the file. Returns false on failure.
bool TruncateProfile(const char* path);
