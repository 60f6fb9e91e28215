#include "_services/dhcp/mac_vendor.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "_services/dhcp/dhcp_log.h"
#include "data/carried_archives.h"
#include "libs/platform/file_read.h"
#include "libs/platform/progpath.h"
#include "libs/wim/archive_extract.h"

namespace {

constexpr int kOuiBuckets = 256;
constexpr int kPrefixBuckets = 2048;
const char kUserFile[] = "NimboDHCP_mac_evc.def";

// The table in use. Readers take a reference, so releasing it never pulls the table
// from under a thread that is formatting a line.
std::mutex g_tableLock;
std::shared_ptr<const MacVendorTable> g_table;

void MaskToLength(uint8_t bytes[6], int length) {
    for (int i = 0; i < 6; ++i) {
        int bits = length - 8 * i;
        if (bits >= 8) continue;
        bytes[i] = bits <= 0 ? 0 : uint8_t(bytes[i] & (0xFF << (8 - bits)));
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint8_t Low(int k) { return uint8_t((0xFF << k) & 0xFF); }

}  // namespace

size_t copyStringBounded(char* target, const char* source, size_t size) {
    size_t length = strlen(source);
    if (size == 0) return length;
    size_t n = length < size - 1 ? length : size - 1;
    memcpy(target, source, n);
    target[n] = '\0';
    return length;
}

int hashMacPrefix(const uint8_t m[6], int length) {
    int h;
    if (length <= 8) {
        h = m[0] & Low(8 - length);
    } else if (length <= 16) {
        h = (m[0] << 8) | (m[1] & Low(16 - length));
    } else if (length <= 24) {
        h = (m[1] << 8) | (m[2] & Low(24 - length));
    } else if (length <= 32) {
        h = ((m[0] << 8) | m[1]) ^ ((m[2] << 8) | (m[3] & Low(32 - length)));
    } else if (length <= 40) {
        h = ((m[1] << 8) | m[2]) ^ ((m[3] << 8) | (m[4] & Low(40 - length)));
    } else {
        h = ((m[1] << 8) | m[2]) ^ ((m[3] << 8) | (m[4] & Low(48 - length)));
    }
    return h & 0x7FF;
}

bool parseMacVendorAddress(std::string_view word, uint8_t bytes[6], int* length) {
    uint8_t out[6] = {0, 0, 0, 0, 0, 0};
    int groups = 0;
    char separator = 0;
    size_t i = 0;
    for (;;) {
        int value = 0, digits = 0;
        for (; i < word.size() && HexValue(word[i]) >= 0; ++i, ++digits) {
            value = value * 16 + HexValue(word[i]);
            if (value > 255) return false;
        }
        if (digits == 0 || groups == 6) return false;
        out[groups++] = uint8_t(value);
        if (i == word.size() || word[i] == '/') break;
        char c = word[i];
        if (c != ':' && c != '-' && c != '.') return false;
        if (separator && c != separator) return false;
        separator = c;
        ++i;
    }
    if (groups != 3 && groups != 6) return false;
    int bits = groups == 3 ? 0 : 48;
    if (i < word.size()) {  // "/n"
        ++i;
        int n = 0, digits = 0;
        for (; i < word.size() && word[i] >= '0' && word[i] <= '9' && digits < 3; ++i, ++digits)
            n = n * 10 + (word[i] - '0');
        if (digits == 0 || i != word.size() || n < 1 || n > 47) return false;
        bits = n;
        MaskToLength(out, n);
    }
    memcpy(bytes, out, 6);
    *length = bits;
    return true;
}

bool parseMacVendorLine(std::string_view line, uint8_t bytes[6], int* length, std::string* name) {
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::string_view words[2];
    int count = 0;
    size_t i = 0;
    while (i < line.size() && count < 2) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) words[count++] = line.substr(start, i - start);
    }
    if (count == 0 || !parseMacVendorAddress(words[0], bytes, length)) return false;
    name->assign(words[1]);
    return true;
}

MacVendorTable::MacVendorTable() : oui_(kOuiBuckets) {}
MacVendorTable::~MacVendorTable() = default;

void MacVendorTable::addMacVendor(const uint8_t bytes[6], int length, const char* name) {
    if (length == 0) {
        auto& chain = oui_[bytes[2]];
        for (MacVendorOuiEntry& e : chain) {
            if (memcmp(e.prefix, bytes, 3) == 0) {
                copyStringBounded(e.name, name, sizeof e.name);
                return;
            }
        }
        MacVendorOuiEntry e;
        memcpy(e.prefix, bytes, 3);
        copyStringBounded(e.name, name, sizeof e.name);
        chain.push_back(e);
        return;
    }
    if (length < 1 || length > 48) return;
    MacVendorPrefixEntry e;
    memcpy(e.mac, bytes, 6);
    MaskToLength(e.mac, length);
    copyStringBounded(e.name, name, sizeof e.name);
    if (!prefix_[length]) prefix_[length] = std::make_unique<PrefixBuckets>(kPrefixBuckets);
    auto& chain = (*prefix_[length])[hashMacPrefix(e.mac, length)];
    for (const MacVendorPrefixEntry& old : chain)
        if (memcmp(old.mac, e.mac, 6) == 0) return;
    chain.push_back(e);
}

const MacVendorPrefixEntry* MacVendorTable::findPrefixEntry(const uint8_t mac[6], int length) const {
    if (length < 1 || length > 48 || !prefix_[length]) return nullptr;
    uint8_t masked[6];
    memcpy(masked, mac, 6);
    MaskToLength(masked, length);
    for (const MacVendorPrefixEntry& e : (*prefix_[length])[hashMacPrefix(masked, length)])
        if (memcmp(e.mac, masked, 6) == 0) return &e;
    return nullptr;
}

const MacVendorOuiEntry* MacVendorTable::findOuiEntry(const uint8_t mac[6]) const {
    const auto& chain = oui_[mac[2]];
    for (const MacVendorOuiEntry& e : chain)
        if (memcmp(e.prefix, mac, 3) == 0) return &e;
    // The multicast form of a known address.
    const uint8_t unicast[3] = {uint8_t(mac[0] & 0xFE), mac[1], mac[2]};
    for (const MacVendorOuiEntry& e : chain)
        if (memcmp(e.prefix, unicast, 3) == 0) return &e;
    return nullptr;
}

const char* MacVendorTable::FindName(const uint8_t mac[6]) const {
    for (int length = 48; length >= 1; --length)
        if (const MacVendorPrefixEntry* e = findPrefixEntry(mac, length)) return e->name;
    if (const MacVendorOuiEntry* e = findOuiEntry(mac)) return e->name;
    return nullptr;
}

size_t MacVendorTable::LoadText(std::string_view text) {
    size_t entries = 0;
    std::string name;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        uint8_t bytes[6];
        int length;
        if (parseMacVendorLine(text.substr(start, end - start), bytes, &length, &name)) {
            addMacVendor(bytes, length, name.c_str());
            ++entries;
        }
        start = end + 1;
    }
    return entries;
}

bool MacVendorTable::LoadFile(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, &text)) return false;
    LoadText(text);
    return true;
}

void loadMacVendorNamesFrom(const char* path, const std::string& userFile, bool proxy) {
    const char* p = proxy ? "P" : "";
    auto table = std::make_shared<MacVendorTable>();
    bool embedded = false;
    if (path) {
        embedded = table->LoadFile(path);
    } else {
        CarriedBytes archive = MacVendorArchive();
        std::string text;
        if (ExtractItemToMemory(archive.data, archive.size, "Nimbo.evc", text) == ARCHIVE_OK) {
            table->LoadText(text);
            embedded = true;
        }
    }
    if (embedded) {
        table->loaded = true;
        DhcpLog(2, "%sDHCP Inf: Loaded embedded Mac vendor names", p);
    } else {
        DhcpLog(2, "%sDHCP Err: Loading embedded Mac vendor names", p);
    }
    if (table->LoadFile(userFile)) {
        table->loaded = true;
        DhcpLog(2, "%sDHCP Inf: Loaded user defined Mac vendor names from %s", p, kUserFile);
    }
    std::lock_guard<std::mutex> lock(g_tableLock);
    g_table = std::move(table);
}

void loadMacVendorNames(const char* path, bool proxy) {
    loadMacVendorNamesFrom(path, ProgramFolderPath() + "/" + kUserFile, proxy);
}

void PrepareMacVendorNames(bool proxy) { loadMacVendorNames(nullptr, proxy); }

namespace {

std::shared_ptr<const MacVendorTable> CurrentTable() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    return g_table;
}

}  // namespace

std::string LookupMacVendor(const uint8_t mac[6]) {
    std::shared_ptr<const MacVendorTable> table = CurrentTable();
    if (!table || !table->loaded) return {};
    const char* name = table->FindName(mac);
    return name ? name : "";
}

char* formatMacWithVendor(const uint8_t mac[6], char* buffer, size_t size) {
    std::shared_ptr<const MacVendorTable> table = CurrentTable();
    char macText[18];
    snprintf(macText, sizeof macText, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    if (size == 0) return buffer;
    if (!table || !table->loaded) {
        copyStringBounded(buffer, macText, size);
        return buffer;
    }
    const char* name = table->FindName(mac);
    char shown[kMacVendorShownNameMax + 1];
    copyStringBounded(shown, name ? name : "?", sizeof shown);
    snprintf(buffer, size, "%s/%s", shown, macText);
    return buffer;
}

std::string formatMacWithVendor(const uint8_t mac[6]) {
    char buffer[kMacVendorTextSize];
    return formatMacWithVendor(mac, buffer, sizeof buffer);
}

void freeMacVendorTables() {
    std::shared_ptr<const MacVendorTable> old;
    std::lock_guard<std::mutex> lock(g_tableLock);
    old.swap(g_table);
}
