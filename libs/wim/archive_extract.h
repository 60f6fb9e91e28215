// Extraction of items from the 7z archives the program carries.
#pragma once
#include <cstdint>
#include <string>

// Result of the extraction routines: 0 done, negative on failure.
using ArchiveOpResult = int32_t;
constexpr ArchiveOpResult ARCHIVE_OK = 0;
constexpr ArchiveOpResult ARCHIVE_ERR_FILE_OPEN = -1;  // the archive file could not be opened
constexpr ArchiveOpResult ARCHIVE_ERR_OPEN = -2;       // not a valid archive (open or header failure)
constexpr ArchiveOpResult ARCHIVE_ERR_EXTRACT = -3;    // an output could not be created or written
constexpr ArchiveOpResult ARCHIVE_ERR_NO_ITEM = -5;    // no file item was selected
constexpr ArchiveOpResult ARCHIVE_ERR_ITEM_DATA = -9;  // at least one item failed (data or CRC error)

// Unpacks files from a 7z archive in memory.
//  nameOrPattern: with usePattern a regular expression searched anywhere in the item
//    name written with '\' separators ("BM\PXENIMBO\BIOS\pxenimbo.0"); without it an
//    exact item name, compared without letter case ('/' and '\' both accepted).
//  outputFolder: '/' or '\' separators, trailing separator optional; created when missing.
//  withPaths: re-create the item's folders below outputFolder; else write the bare file name.
// Folders are never selected. Each file is written to a temporary name beside its
// target and renamed into place, so an existing file (also a read-only one) is replaced
// and a failed item leaves nothing behind.
ArchiveOpResult ExtractFrom7zBuffer(const void* archive, uint32_t length, const char* nameOrPattern,
                                    const char* outputFolder, int ignored, bool withPaths, bool usePattern);

// ExtractFrom7zBuffer for a 7z file on disk ('/' or '\' separators): -1 when the file
// cannot be opened (missing, unreadable, not a regular file), otherwise the same steps
// and results.
ArchiveOpResult ExtractFrom7zFile(const char* archivePath, const char* nameOrPattern, const char* outputFolder,
                                  int ignored, bool withPaths, bool usePattern);

// Unpacks the file item with the given exact name (compared without letter case) into
// memory; with several such items the last one wins.
ArchiveOpResult ExtractItemToMemory(const void* archive, uint32_t length, const char* name, std::string& out);

// A private folder for unpacked files: below TEMP, else TMP, else TMPDIR, else /tmp, a new
// folder made with mkdtemp (mode 0700). Returns it with a trailing '/', or "" on failure.
std::string MakePrivateTempFolder();
