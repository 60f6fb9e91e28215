// Host address list, directory listing, program path and small file helpers.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "_services/host_records.h"
#include "libs/platform/interfaces.h"

// clang-format off
#pragma pack(push, 1)
struct DirectoryListing {
    uint32_t count;
    char     lines[200][64];
};
#pragma pack(pop)
// clang-format on
static_assert(sizeof(DirectoryListing) == 4 + 200 * 64);

void SchedulerThread();
void RefreshHostIpList();
void UpdateIpList(const HostIpListRecord& rec);
void GetHostIpList(HostIpListRecord* out);
int RequestIpListRefresh();
HostIpListRecord BuildHostIpList();  // current addresses, loopback excluded
// The interfaces (addresses, masks, state) as the scheduler last read them: it reads them again
// when an address changes and every 20 s. Read here once when the scheduler has not run yet.
std::shared_ptr<const std::vector<InterfaceAddress>> HostInterfaces();

// "%s\t%s\t%llu" lines: name (cut so the line fits 62 characters), short date, size.
void ListDirectoryFiles(const std::function<void(const char* line)>& callback, const std::string& folder);
int SendDirectoryContent();
bool IsDirectory(const std::string& path);
std::string GetProgramFilePath(const std::string& fileName);
std::string ProgramFolder();
