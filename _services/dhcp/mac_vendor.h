// MAC vendor names: "Cisco/00:00:0C:12:34:56" in DHCP log lines and GUI rows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Room for the longest text formatMacWithVendor writes: 31-character name, '/', 17, NUL.
constexpr size_t kMacVendorTextSize = 50;
constexpr size_t kMacVendorOuiNameMax = 8;      // names in the 24-bit table
constexpr size_t kMacVendorPrefixNameMax = 63;  // names of longer prefixes
constexpr size_t kMacVendorShownNameMax = 31;   // names as shown

struct MacVendorOuiEntry {
    uint8_t prefix[3];
    char name[kMacVendorOuiNameMax + 1];
};

struct MacVendorPrefixEntry {
    uint8_t mac[6];  // masked to the prefix length
    char name[kMacVendorPrefixNameMax + 1];
};

// The vendor-code tables: 24-bit prefixes in 256 buckets by the third byte, and one
// table of 2048 buckets (by hashMacPrefix) per longer prefix length 1..48.
class MacVendorTable {
public:
    MacVendorTable();
    ~MacVendorTable();

    // length 0: a 24-bit prefix (later entries rename earlier ones); 1..48: a prefix of
    // that many bits (the first entry wins).
    void addMacVendor(const uint8_t bytes[6], int length, const char* name);
    const MacVendorOuiEntry* findOuiEntry(const uint8_t mac[6]) const;
    const MacVendorPrefixEntry* findPrefixEntry(const uint8_t mac[6], int length) const;
    // The vendor of a MAC: the longest prefix first, then the 24-bit table (also for the
    // multicast form of a known address); nullptr when none.
    const char* FindName(const uint8_t mac[6]) const;

    // Reads vendor-file text and inserts every entry; returns the number of entries.
    size_t LoadText(std::string_view text);
    // Reads a vendor file; false when it cannot be opened.
    bool LoadFile(const std::string& path);

    bool loaded = false;

private:
    using PrefixBuckets = std::vector<std::vector<MacVendorPrefixEntry>>;
    std::vector<std::vector<MacVendorOuiEntry>> oui_;
    std::unique_ptr<PrefixBuckets> prefix_[49];
};

// Parses an address word: three or six groups of hex digits (each at most 255) joined by
// one separator (':', '-' or '.', the same throughout), optionally "/n" (1..47).
// length: 0 for three groups, 48 for six, n with "/n" (bytes masked to n bits).
bool parseMacVendorAddress(std::string_view word, uint8_t bytes[6], int* length);

// One line of a vendor file ('#' comment, address word, name). False when the line
// holds no address.
bool parseMacVendorLine(std::string_view line, uint8_t bytes[6], int* length, std::string* name);

// Bucket of a masked prefix of the given length: 0..2047.
int hashMacPrefix(const uint8_t masked[6], int length);

// Copies at most size - 1 characters, always terminates target (when size > 0) and
// returns the length of source.
size_t copyStringBounded(char* target, const char* source, size_t size);

// Loads the vendor file at path (the unpacked carried "Nimbo.evc"; nullptr: the carried
// table read straight from the program's vendor archive in memory), then the user file
// "NimboDHCP_mac_evc.def" of the program folder. proxyMode: log lines begin with "PDHCP".
void loadMacVendorNames(const char* path, bool proxyMode);
// The same with the user file given.
void loadMacVendorNamesFrom(const char* path, const std::string& userFile, bool proxyMode);
// At DHCP thread start: loads the carried table (unpacked in memory, no temporary file)
// and the user file.
void PrepareMacVendorNames(bool proxyMode);

// Vendor name of a MAC, "" when none is known (or no table is loaded).
std::string LookupMacVendor(const uint8_t mac[6]);
// "Name/XX:XX:XX:XX:XX:XX" (name cut to 31 characters), "?/XX:..." for an unknown vendor,
// or the bare MAC when no table is loaded. Cut to size; returns buffer.
char* formatMacWithVendor(const uint8_t mac[6], char* buffer, size_t size);
std::string formatMacWithVendor(const uint8_t mac[6]);

// Drops the tables; later look-ups give the bare MAC. Safe while other threads format.
void freeMacVendorTables();
