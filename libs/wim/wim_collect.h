// Listing a folder tree as items for a WIM update.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "libs/wim/archive_callbacks.h"

// Lists folder ('/' or '\' separators, trailing separator optional) recursively into
// items for the given image (0: every image). Sub-folders are walked beneath the folder
// only: symbolic links are never followed (and not listed), names are joined within
// PATH_MAX and the depth is bounded; a walk that would go further fails. A sub-folder in
// which nothing was added becomes a folder item itself. Files and folder items raise
// count by one each; a file met while count already exceeds maximum fails.
// Image paths: below a "$OEM$\$Boot$\$1" or "$OEM$\$Install$\$1" folder the path after
// the marker, elsewhere '\' and the bare name. Files whose image path equals (without
// case) one of the excluded paths are left out.
// Returns the number of items added, or -1.
int CollectInstallFiles(uint32_t image, const char* folder, std::vector<arc::CDirItem>& items, uint32_t& count,
                        uint32_t maximum, const std::vector<std::string>& excluded);

// The same for Windows PE trees: the marker is "$OEM$\$1"; at depth 0 a folder
// "$WinPEDriver$" and files "NimboReadme.txt" or beginning with "Autounattend.xml" are
// skipped, and "Unattend.xml" is added twice, also as "\Autounattend.xml". While count
// exceeds maximum a file at depth > 0 or an "Unattend.xml" fails.
int CollectPeFiles(uint32_t image, const char* folder, int depth, std::vector<arc::CDirItem>& items, uint32_t& count,
                   uint32_t maximum);

// Updates every image of an install WIM with the files below folder (see the source).
// Returns the number of items listed, 0 when there was nothing to add, or -1.
int InjectIntoInstallWim(const char* targetWim, const char* secondWim, const char* folder);
