// The DHCP settings record: parsers and validators of its texts, the loader, and the live
// copy shared by the DHCP, PDHCP, Console and BINL threads.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "_services/dhcp/dhcp_records.h"

// Rows 10 to 13 of a per-architecture table serve two kinds of keys. The row holds the
// same bytes either way; which key declared it is kept beside the table, one bit per row
// (bit r set: row r was declared by its iPXE key "0i", "6i", "7i" or "9i").
using IpxeKeyRows = uint16_t;

// Per-architecture lists ("key?path|key?path..."). Results: 0 parsed, 1 a row declared
// twice or text too long, 2 an entry too long (or malformed), 3 the given table was not
// empty and differs from the parsed one.
int parseArchFileList(const char* text, ArchBootTable* table, IpxeKeyRows* ipxeRows = nullptr);
int validateBootFileSetting(const char* text, ArchBootTable* table, std::string* message,
                            IpxeKeyRows* ipxeRows = nullptr);
int validateOption252Setting(const char* text, ArchBootTable* table, std::string* message,
                             IpxeKeyRows* ipxeRows = nullptr);

// Kinds: 0 one address, else the option the text fills: 1 subnet mask (kOptSubnetMask),
// 3 routers (kOptRouter), 6 DNS servers (kOptDnsServer).
int validateAddressSetting(int kind, const char* text, uint8_t* out, size_t outSize, std::string* message);
int parseStaticLeaseEntry(const char* text, uint8_t out[10], std::string* message);
int parseMacFilterEntry(const char* text, uint64_t* macWord, uint64_t* maskWord, std::string* message);
int hasStaticLeases(const DhcpSettings& s);
int encodeAddressList(uint8_t code, const char* text, uint8_t* out, size_t outSize);
int isContiguousNetmask(uint32_t maskNetworkOrder);
int encodePrefixLengthMask(uint8_t code, const char* text, uint8_t* out, size_t outSize);
// Strict dotted quad (four decimal octets 0..255) to a network-order address.
bool parseDottedAddress(const char* text, size_t length, uint32_t* out);
// MAC bytes as a filter word (bytes 2..7 of the word in memory order).
uint64_t macFilterWord(const uint8_t mac[6]);

// How an address pool lies in its subnet.
enum PoolFit {
    POOL_FITS = 0,        // every address is a host address of the subnet (or nothing to judge)
    POOL_START_NOT_HOST,  // the first address is the subnet's own or its broadcast address
    POOL_PAST_SUBNET,     // the pool runs past the subnet's last host address
};
// Checks the pool of `size` addresses from `start` against the subnet that `mask` gives with
// the start (both in network order). The hosts of a subnet lie between its own address and
// its broadcast address; a /31 has both of its addresses as hosts. Nothing is judged while
// the pool is empty (size 0 or less, no start) or there is no contiguous mask. Otherwise the
// reason, with the largest size that fits, in *message.
PoolFit checkPoolInSubnet(uint32_t start, int32_t size, uint32_t mask, std::string* message);

// User options (code|payload). For a "67|" text out must hold an ArchBootTable (7056 bytes)
// that is either zero or the table to compare with.
int parseDhcpOption(const char* text, uint8_t* out, size_t outSize, std::string* message);
int encodeHexOption(uint8_t code, const char* text, uint8_t* out, size_t outSize);
int encodeOptionCodeList(uint8_t code, const char* text, uint8_t* out, size_t outSize);
int encodeMtuPlateauList(uint8_t code, const char* text, uint8_t* out, size_t outSize);
int encodeClasslessRoutes(uint8_t code, const char* text, uint8_t* out, size_t outSize);

// The three default list texts of a boot-manager mode.
struct DefaultLists {
    std::string biosEfi;      // mode 1 boot-file list
    std::string bootManager;  // mode 3 boot-file list
    std::string option252;    // mode 3 option-252 list
};
DefaultLists BuildDefaultLists();

// What the request handlers read: the record, the key bits of its three tables and the
// default boot-file list of the loaded mode.
struct DhcpConfig {
    DhcpSettings rec{};
    IpxeKeyRows bootFileIpxe = 0;
    IpxeKeyRows option67Ipxe = 0;
    IpxeKeyRows option252Ipxe = 0;
    std::string defaultBootFileList;
};

// Reads one [DHCP] key into a field (a missing or empty value leaves it unchanged).
// type is 1 (text) or 4 (integer) as in the settings store.
using DhcpIniReader = std::function<void(const char* key, void* field, int size, int type)>;
// Tells whether a file exists under the TFTP root and gives its size. path is the root and
// the boot-file entry joined by BootFilePath.
using FileSizeProbe = std::function<bool(const std::string& path, uint64_t* size)>;
// The root and an entry joined with one separator when neither brings its own.
std::string BootFilePath(const std::string& root, const char* entry);

// Fills cfg from the INI values. servicesMask decides the BINL-dependent steps; tftpRoot
// and fileProbe fill the present flags and sizes when BINL is off.
void LoadDhcpConfig(DhcpConfig* cfg, const DhcpIniReader& read, uint32_t servicesMask, const std::string& tftpRoot,
                    const FileSizeProbe& fileProbe);
// A record from the GUI (request 208) checked as the loader reads its texts: no control
// characters in any text it would store, every non-empty text well formed, and the pool
// inside its subnet (checkPoolInSubnet, under the key DHCP_PoolSize). False with the first
// offending key and the reason in *why (on one line).
bool ValidateDhcpRecord(const DhcpSettings& record, std::string* why);
// Recomputes the key bits of the three tables from the record's texts (after a record
// arrived whole from the GUI).
void DeriveIpxeKeyRows(DhcpConfig* cfg);
// Size in 512-byte blocks, saturating at 0xFFFFFFFF.
uint32_t SizeInBlocks(uint64_t bytes);

// The live configuration: readers take a snapshot (cheap, immutable, race-free); writers
// publish a new copy.
std::shared_ptr<const DhcpConfig> DhcpSettingsSnapshot();
void DhcpSettingsPublish(DhcpConfig cfg);
// Whether a whole configuration has been published since the program started or the flag
// was last cleared. The DHCP threads publish once the stored leases are loaded; the BINL
// preparation waits for it, and clears it when its row stops (the rows stop together).
bool DhcpSettingsPublished();
void DhcpSettingsClearPublished();
// Edits the live record in place of a copy (the BINL thread writes the present flags and
// sizes of the tables this way). The edit runs under the writer lock.
void DhcpSettingsUpdate(const std::function<void(DhcpSettings&)>& edit);
// Edits the whole live configuration (record and key bits) under the writer lock.
void DhcpConfigUpdate(const std::function<void(DhcpConfig&)>& edit);
// With BINL on, an empty DHCP_BootFile stands for the default list of the boot-manager
// mode (cfg->defaultBootFileList, as the settings page fills it in): takes that list into
// the record and its BootFileTable. True when it did; false when a boot file is set or the
// configuration has no default list.
bool TakeDefaultBootFile(DhcpConfig* cfg);
// Parses DHCP_BootFile of the live record again into its BootFileTable (cleared first,
// replaced only when the list is valid). Returns 1 when it was.
int parseBootFileSetting();
// Copy of the live record's bytes (request 206, the GUI).
DhcpSettings DhcpSettingsRecord();
