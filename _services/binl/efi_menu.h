// EFI menu stores: the BCD store of one EFI platform that lists the visible WDS entries of
// its menu.def as boot-manager menu items (boot-manager mode 3).
#pragma once
#include <string>

#include "_services/binl/bcd_store.h"

// Objects of a menu store.
int BcdAddLoaderEntry(hive_h* h, const std::string& guid, const std::string& ramdiskPath,
                      const std::string& description, const std::string& loadOptions);
// list: double-NUL-terminated GUID texts, length bytes (an empty list is one NUL).
int BcdAddBootManager(hive_h* h, const std::string& title, const char* list, size_t length,
                      const std::string& fontsPath);
int BcdAddRamdiskOptions(hive_h* h, const std::string& sdiPath);

// The GUID of the loader numbered n (1..99) of a menu store.
std::string EfiLoaderGuid(int n);
// The title used when the menu has none.
std::string DefaultEfiMenuTitle();
