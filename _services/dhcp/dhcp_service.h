// The DHCP and proxyDHCP service: registers the thread functions of rows DHCP and PDHCP
// and the console hooks of requests 206, 208 and 213.
//
// The live settings are reached through dhcp_settings.h: DhcpSettingsSnapshot() for a
// race-free read, DhcpSettingsUpdate(edit) for the BINL preparation's present flags and
// sizes (it edits a copy under the writer lock and publishes it).
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "_services/dhcp/dhcp_records.h"
#include "libs/platform/sockets.h"

void RegisterDhcpService();

// Fills the live settings from the INI file and loads the stored leases (DHCP thread start,
// or the GUI while neither DHCP bit is set). Returns 1.
int loadDhcpSettings();
// Back to the state of a fresh start: no record loaded or published (the next DHCP thread or
// desktop reads the INI file again) and an empty lease table. Only while no DHCP row runs:
// the tests call it between two runs of the services in one process.
void ResetDhcpSettings();
// Size of the file a boot-file entry names beneath root, found the way the TFTP server
// finds it (either separator, letter case ignored, never outside root). False when none.
bool BootFileSize(const std::string& root, const std::string& entry, uint64_t* size);
// Request 208: replaces the live record and posts every [DHCP] key. Returns 1; 0 when the
// record is not valid (logged, nothing stored).
int applyDhcpSettings(const DhcpSettings& record);

// The BINL responder of port 4011: called by the PDHCP thread for every datagram while
// the BINL bit is set; a non-zero result means the datagram was consumed.
using BinlMessageHandler = int (*)(uint8_t* message, size_t length, const Datagram& from, int socket);
void SetBinlMessageHandler(BinlMessageHandler handler);
// The handler set last (nullptr: none); the PDHCP thread asks for it on every datagram.
BinlMessageHandler CurrentBinlHandler();
