// The "DHCP" page of the settings sheet: the DHCP, proxyDHCP and BINL switches, the DHCP
// fields of both working records and, in a tree list, the boot-manager mode, the user
// options, the MAC filters and the static leases. Every text is checked with the DHCP
// server's own parsers, whose messages the page shows.
#pragma once
#include <QString>
#include <cstdint>
#include <string>

#include "_gui/settings_page.h"

class TreeList;

// Texts the page shows.
inline constexpr const char* kMsgProxyNextServer =
    "Error: \nProxy DHCP requires an \"Automatic\" or \"User typed\"\nNext Server (siaddr) IP";
inline constexpr const char* kMsgProxyBootFile = "Error: \nproxyDHCP requires a Boot File or DHCP Option 67";
inline constexpr const char* kMsgPoolWarning = "DHCP Pool is empty. DHCP server will\nonly assign static leases";
inline constexpr const char* kMsgPoolNoLeasesAvailable =
    "Error: \nDHCP Pool is empty and there \nare not static leases available";
inline constexpr const char* kMsgPoolNoLeasesDefined =
    "Error: \nDHCP Pool is empty and there \nare not static leases defined";
inline constexpr const char* kMsgBmMode2 = "Format Error\nBM_Mode = 2 is deprecated";
inline constexpr const char* kMsgBinlNeedsTftp = "BINL Add-On requires the\nTFTP Server services \"ON\"";
inline constexpr const char* kMsgPoolSize = "Pool size has to be a numeric value between 0 and 2147483647";

// Tree-list item ids: the group code in the second byte.
enum DhcpTreeGroup : uint32_t { DTG_OPTIONS = 1, DTG_STATIC_LEASES = 2, DTG_MAC_FILTER = 3, DTG_BINL = 4 };
constexpr uint32_t kDhcpTreeBmMode = 1024;
constexpr uint32_t DhcpTreeItemId(DhcpTreeGroup group, int index) { return (uint32_t(group) << 8) + uint32_t(index); }

// The message for an entry that does not fit its field of `size` bytes.
QString DhcpEntryTooLong(uint32_t size);

// Checks one tree-list text for item `id` against the working record and stores it (and
// its parsed form) there when it is accepted. False with the parser's message otherwise.
// binlOn: the BINL switch is checked (the boot-manager mode then also sets the boot file,
// whose new text is handed back in *bootFile).
bool ValidateDhcpTreeText(DhcpSettings& rec, uint32_t id, uint32_t fieldSize, const char* text, bool binlOn,
                          std::string* message, std::string* bootFile);

// The default boot-file list of a boot-manager mode (1 or 3).
std::string DhcpDefaultBootFileList(int mode);

// The page's tree list, for tests (none while the page is not active).
TreeList* DhcpPageTree(SettingsPage* page);
