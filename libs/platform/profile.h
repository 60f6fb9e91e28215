// INI profile files read and written the way the settings store expects:
// section and key names without case, blanks trimmed, one pair of quotes removed,
// ';' comment lines, first match wins, values cut at 2047 characters. Writes keep every
// other line byte for byte and replace the file atomically under one process-wide lock.
#pragma once
#include <string>

// Copies the value (or the default when the key is missing) into buf; returns its length.
int GetProfileValue(const char* section, const char* key, const char* def, char* buf, int size, const char* path);
// Writes key=value into section; creates the file when missing. Returns false on failure.
bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path);
// Empties (or creates) the file. Returns false on failure.
bool TruncateProfile(const char* path);
