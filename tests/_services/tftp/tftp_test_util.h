// Small helpers shared by the TFTP tests.
#pragma once
#include <dirent.h>

#include <cstring>
#include <string>

// Entries of a folder, "." and ".." left out: no temporary file may stay behind a write.
inline size_t FolderEntryCount(const std::string& folder) {
    size_t n = 0;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) n += strcmp(e->d_name, ".") && strcmp(e->d_name, "..");
        closedir(d);
    }
    return n;
}
