// The WIM routines the rest of the program calls: extraction by name or pattern, image
// facts from the XML data, and a boot image copied with files added.
// Text arguments are UTF-8; paths accept '/' and '\'; folders end in a separator.
#pragma once
#include <cstdint>
#include <vector>

#include "libs/wim/archive_callbacks.h"
#include "libs/wim/archive_extract.h"

// Value of an image's WINDOWS/ARCH element; -1 unknown.
enum WimArchCode : int {
  kWimArchUnknown = -1,
  kWimArchX86 = 0,
  kWimArchArm = 5,
  kWimArchIa64 = 6,
  kWimArchX64 = 9,
  kWimArchArm64 = 12,
};

// One bit per architecture.
enum WimArchBits : int {
  kWimBitX86 = 0x01,
  kWimBitX64 = 0x02,
  kWimBitIa64 = 0x04,
  kWimBitArm = 0x08,
  kWimBitArm64 = 0x10,
};

// The bit of an architecture code; 0 for any other code.
int WimArchBit(int archCode);

// Extracts the files of a WIM selected by exact path ("2\windows\boot\pxe\pxeboot.n12",
// compared without case) or by pattern (searched in the lower-cased path, backslashes
// as separators). Paths are the image number, '\' and the path in the image.
// 0; -1 the file cannot be opened; -2 not a WIM (or LZMS/solid data, which is not read);
// -3 an output could not be written; -5 nothing selected; -9 an item's data was damaged
// (its output is removed).
ArchiveOpResult ExtractFromWimFile(const char* wimPath, const char* nameOrPattern, const char* outputFolder,
                                   int ignored, bool withPaths, bool usePattern);

// Copies the source WIM to the destination with NIC drivers, the companion program and its
// start files added to the image (mode 0, 1: installation boot image; 2: stand-alone
// bootable WIM). The copy is made beside the destination and renamed into place only
// when the update succeeded. Returns the number of files listed (0: nothing to add, the
// destination is not written) or -1.
int InjectIntoBootWim(int mode, const char* sourceWim, const char* destinationWim, uint32_t image, int archCode,
                      const char* assetFolder, const char* nicFolder, const char* tempFolder);

// Copies the source WIM to the destination with the items added (CDirItem: source file,
// path in the image beginning with '\', image number, 0 for every image; folders by
// attribute 0x10). The copy is written beside the destination and renamed into place
// only when the whole update succeeded; on failure nothing is left and false is returned.
// Each item's Result receives 0x100 added, 0x200 replaced, 0x400 already present (with
// bit 0 new data stored, bit 1 data shared with an existing stream), or 0 when it was
// skipped (source not readable, bad path, a folder where a file is, a link or a file with
// alternate streams to replace).
// With unshared, every file's data is stored anew with a lookup record of its own.
bool WimUpdateCopy(const char* sourceWim, const char* destinationWim, std::vector<arc::CDirItem>& items,
                   bool unshared = false);

// Logs what an update did with each item ("Added", "Updated", "Already in").
void LogInjectedItems(const char* destinationWim, const std::vector<arc::CDirItem>& items);

// Boot index and its image's architecture: 0 found, 1 failure (also boot index 0).
int GetWimBootImageArch(const char* wimPath, uint32_t* bootIndex, int* archCode);

// Over every image: bits of all architectures (a caller's -1 is replaced), the common
// prefix of the names (capacityLength: capacity in, length out) and the major and minor
// version when all images agree (else -1). 0 read, 1 failure.
int GetWimImagesSummary(const char* wimPath, char* name, uint32_t* capacityLength, int* archBits, int* major,
                        int* minor);

// The boot image's name, architecture bit and version. 0 read, 1 failure (also boot
// index 0). Every out-pointer may be null.
int GetWimBootImageInfo(const char* wimPath, char* name, uint32_t* capacityLength, int* archBits, int* major,
                        int* minor);
