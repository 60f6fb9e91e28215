// Vendor names are not loaded yet: every MAC reads as its plain text.
#include "mac_vendor.h"

#include <cstdio>

std::string LookupMacVendor(const uint8_t*) { return ""; }

std::string formatMacWithVendor(const uint8_t mac[6]) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return buf;
}

void loadMacVendorNames(const char*, bool) {}
void PrepareMacVendorNames(bool) {}
void freeMacVendorTables() {}
