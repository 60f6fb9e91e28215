// Host address list, directory listing, program path and small file helpers.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "_services/host_records.h"

#pragma pack(push, 1)
struct DirectoryListing {
    uint32_t count;
    char     lines[200][64];
};
#pragma pack(pop)
static_assert(sizeof(DirectoryListing) == 4 + 200 * 64);

void SchedulerThread();
void RefreshHostIpList();
void UpdateIpList(const HostIpListRecord& rec);
void GetHostIpList(HostIpListRecord* out);
int  RequestIpListRefresh();
HostIpListRecord BuildHostIpList();  // current addresses, loopback excluded

// "%s\t%s\t%llu" lines: name (cut so the line fits 62 characters), short date, size.
void ListDirectoryFiles(const std::function<void(const char* line)>& callback, const std::string& folder);
int  SendDirectoryContent();
bool IsDirectory(const std::string& path);
std::string GetProgramFilePath(const std::string& fileName);
std::string ProgramFolder();
