// MAC vendor names for log lines and lease rows.
#pragma once
#include <cstdint>
#include <string>

// Vendor name of a MAC, "" when none is known (or no table is loaded).
std::string LookupMacVendor(const uint8_t mac[6]);
// "Vendor/XX:XX:XX:XX:XX:XX", "?/XX:..." for an unknown MAC, or the plain MAC text when no
// table is loaded.
std::string formatMacWithVendor(const uint8_t mac[6]);
// Loads the vendor file at path, then the user file of the program folder.
void loadMacVendorNames(const char* path, bool proxyMode);
// At DHCP thread start: unpacks the carried vendor table into the temporary folder, loads
// it with loadMacVendorNames and deletes the unpacked file.
void PrepareMacVendorNames(bool proxyMode);
void freeMacVendorTables();
