// BCD stores: registry-hive files that the Windows boot manager reads. The empty hive is
// written here; keys and values are then edited through hivex.
#pragma once
#include <hivex.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The 8192-byte image of an empty hive with one root key (name of at most 16 characters,
// file-name text of at most 31). Empty when a name is too long. time is a FILETIME.
std::vector<uint8_t> EmptyHiveImage(const std::string& rootName, const std::string& fileNameText, uint64_t time);
// XOR of the 127 words of the base block before its checksum.
uint32_t HiveBaseChecksum(const uint8_t* base);

// Writes the empty hive file and opens it with hivex for editing; nullptr on failure.
hive_h* CreateEmptyHive(const std::string& path, const std::string& rootName, const std::string& fileNameText);
// An empty BCD store (root "NimboBCD", "Objects", "Description\KeyName"); nullptr on failure.
hive_h* BcdCreateStore(const std::string& path);
// Adds an object under "Objects" and returns its "Elements" node; 0 on failure.
hive_node_h BcdCreateObject(hive_h* h, const std::string& guid, uint32_t type);

// Element writers: each adds the key "%X" of the element type under elements with the value
// "Element". 0 when written, -1 when hivex refused.
int BcdSetBinary(hive_h* h, hive_node_h elements, uint32_t type, const void* data, size_t size);
int BcdSetBoolean(hive_h* h, hive_node_h elements, uint32_t type, int value);
int BcdSetInteger(hive_h* h, hive_node_h elements, uint32_t type, int32_t value);
int BcdSetString(hive_h* h, hive_node_h elements, uint32_t type, const std::string& text);
// list: UTF-8 multi-string of size bytes (embedded NULs and the final NULs included).
int BcdSetStringList(hive_h* h, hive_node_h elements, uint32_t type, const char* list, size_t size);

// Commits to the file the hive was opened from and closes it. 0 or -1; the handle is gone.
int BcdCommit(hive_h* h);

// The RAM-disk device value of an image path (2n + 142 bytes for n bytes of ASCII path).
std::vector<uint8_t> BcdRamdiskDevice(const std::string& imagePath);
// The 88-byte boot-device value of the RAM-disk options object.
std::vector<uint8_t> BcdBootDevice();

constexpr const char* kBcdBootManagerGuid = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
constexpr const char* kBcdRamdiskOptionsGuid = "{ae5534e0-a924-466c-b836-758539a3ee3a}";
constexpr const char* kBcdWdsLoaderGuid = "{05c7723b-f767-4747-9817-1bc45593c778}";
