#include "_services/binl/bcd_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "_services/binl/bcd_hive.h"
#include "libs/xml/xml_text.h"

namespace {

// Identifier of the resource manager and of the log; any fixed value serves.
constexpr uint8_t kHiveGuid[16] = {0x3a, 0x4e, 0x5f, 0x91, 0x27, 0xc3, 0x4b, 0x11,
                                   0x9e, 0x62, 0x0d, 0x85, 0x41, 0xb7, 0x6a, 0x2c};
constexpr const char* kStoreFileName = "\\Boot\\BCD";
constexpr const char* kStoreRoot = "NimboBCD";

uint64_t FileTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 10000000ull + uint64_t(ts.tv_nsec) / 100 + 116444736000000000ull;
}

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }

// Writes a SID: revision 1, the identifier authority 5 and the sub-authorities.
size_t PutSid(uint8_t* p, std::initializer_list<uint32_t> sub) {
    p[0] = 1;
    p[1] = uint8_t(sub.size());
    p[7] = 5;
    size_t at = 8;
    for (uint32_t s : sub) {
        Put32(p + at, s);
        at += 4;
    }
    return at;
}

// Self-relative descriptor: owner Administrators, a domain-users group, and a DACL that
// grants full access to Administrators and Local System.
void PutDescriptor(uint8_t* d) {
    d[0] = 1;
    d[2] = 0x04;
    d[3] = 0x80;
    Put32(d + 4, 72);
    Put32(d + 8, 88);
    Put32(d + 16, 20);
    uint8_t* acl = d + 20;
    acl[0] = 2;
    acl[2] = 52;
    acl[4] = 2;
    uint8_t* ace = acl + 8;
    ace[2] = 24;
    Put32(ace + 4, 0x000F003F);
    PutSid(ace + 8, {32, 544});
    ace += 24;
    ace[2] = 20;
    Put32(ace + 4, 0x000F003F);
    PutSid(ace + 8, {18});
    PutSid(d + 72, {32, 544});
    PutSid(d + 88, {21, 0x2f6a11c4, 0x5e03d89b, 0x17bd4e62, 513});
}

std::vector<uint8_t> Utf16Bytes(const std::u16string& s) {
    std::vector<uint8_t> out(s.size() * 2);
    for (size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = uint8_t(s[i]);
        out[2 * i + 1] = uint8_t(s[i] >> 8);
    }
    return out;
}

int SetElement(hive_h* h, hive_node_h elements, uint32_t type, hive_type valueType, const void* data, size_t size) {
    if (!h || !elements) return -1;
    char name[16];
    std::snprintf(name, sizeof name, "%X", type);
    hive_node_h key = hivex_node_add_child(h, elements, name);
    if (!key) return -1;
    hive_set_value v{const_cast<char*>("Element"), valueType, size, static_cast<char*>(const_cast<void*>(data))};
    return hivex_node_set_value(h, key, &v, 0) == 0 ? 0 : -1;
}

int SetValue(hive_h* h, hive_node_h node, const char* name, hive_type type, const void* data, size_t size) {
    hive_set_value v{const_cast<char*>(name), type, size, static_cast<char*>(const_cast<void*>(data))};
    return hivex_node_set_value(h, node, &v, 0);
}

}  // namespace

uint32_t HiveBaseChecksum(const uint8_t* base) {
    uint32_t sum = 0;
    for (size_t i = 0; i < 127; ++i) {
        uint32_t w;
        std::memcpy(&w, base + 4 * i, 4);
        sum ^= w;
    }
    return sum;
}

std::vector<uint8_t> EmptyHiveImage(const std::string& rootName, const std::string& fileNameText, uint64_t time) {
    if (rootName.empty() || rootName.size() > 16 || fileNameText.size() > 31) return {};
    auto file = std::make_unique<EmptyHiveFile>();
    std::memset(file.get(), 0, sizeof *file);
    HiveBaseBlock& b = file->base;
    std::memcpy(b.signature, "regf", 4);
    b.primarySequence = b.secondarySequence = 2;
    b.timeWritten = time;
    b.majorVersion = 1;
    b.minorVersion = 3;
    b.fileFormat = 1;
    b.rootCell = kHiveRootCell;
    b.binDataSize = 0x1000;
    b.clustering = 1;
    for (size_t i = 0; i < fileNameText.size(); ++i) b.fileName[2 * i] = uint8_t(fileNameText[i]);
    std::memcpy(b.rmId, kHiveGuid, 16);
    std::memcpy(b.logId, kHiveGuid, 16);
    std::memcpy(b.tmId, kHiveGuid, 16);
    b.tmId[0] = uint8_t(b.tmId[0] + 1);
    std::memcpy(b.guidSignature, "rmtm", 4);
    b.checksum = HiveBaseChecksum(reinterpret_cast<const uint8_t*>(&b));

    HiveBinHeader& bin = file->bin;
    std::memcpy(bin.signature, "hbin", 4);
    bin.size = 0x1000;
    bin.timeWritten = time;

    HiveKeyCell& nk = file->root;
    nk.cellSize = -int32_t(sizeof nk);
    std::memcpy(nk.signature, "nk", 2);
    nk.flags = 0x2C;
    nk.timeWritten = time;
    nk.parent = 0x7A8;
    nk.subkeyList = nk.volatileSubkeyList = nk.valueList = nk.className = 0xFFFFFFFF;
    nk.security = kHiveSecurityCell;
    nk.largestSubkeyName = 0x16;
    nk.nameLength = uint16_t(rootName.size());
    std::memcpy(nk.name, rootName.data(), rootName.size());  // the NUL follows when it fits

    HiveSecurityCell& sk = file->security;
    sk.cellSize = -int32_t(sizeof sk);
    std::memcpy(sk.signature, "sk", 2);
    // A list of one: the cell links to itself both ways, as hive checkers expect.
    sk.flink = sk.blink = kHiveSecurityCell;
    sk.referenceCount = 1;
    sk.descriptorSize = sizeof sk.descriptor;
    PutDescriptor(sk.descriptor);

    file->freeSize = 0x1000 - int32_t(kHiveFreeCell);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(file.get());
    return std::vector<uint8_t>(p, p + sizeof *file);
}

hive_h* CreateEmptyHive(const std::string& path, const std::string& rootName, const std::string& fileNameText) {
    std::vector<uint8_t> image = EmptyHiveImage(rootName, fileNameText, FileTimeNow());
    if (image.empty()) return nullptr;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    size_t done = 0;
    while (done < image.size()) {
        ssize_t n = ::write(fd, image.data() + done, image.size() - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    if (::close(fd) != 0 || done != image.size()) return nullptr;
    return hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
}

hive_h* BcdCreateStore(const std::string& path) {
    hive_h* h = CreateEmptyHive(path, kStoreRoot, kStoreFileName);
    if (!h) return nullptr;
    hive_node_h root = hivex_root(h);
    hive_node_h objects = root ? hivex_node_add_child(h, root, "Objects") : 0;
    hive_node_h description = objects ? hivex_node_add_child(h, root, "Description") : 0;
    std::vector<uint8_t> keyName = Utf16Bytes(nimbo::Utf8ToUtf16("BCD00000001") + u'\0');
    if (!description || SetValue(h, description, "KeyName", hive_t_REG_SZ, keyName.data(), keyName.size()) != 0) {
        hivex_close(h);
        return nullptr;
    }
    return h;
}

hive_node_h BcdCreateObject(hive_h* h, const std::string& guid, uint32_t type) {
    if (!h) return 0;
    hive_node_h root = hivex_root(h);
    hive_node_h objects = root ? hivex_node_get_child(h, root, "Objects") : 0;
    hive_node_h object = objects ? hivex_node_add_child(h, objects, guid.c_str()) : 0;
    hive_node_h description = object ? hivex_node_add_child(h, object, "Description") : 0;
    if (!description || SetValue(h, description, "Type", hive_t_REG_DWORD, &type, 4) != 0) return 0;
    return hivex_node_add_child(h, object, "Elements");
}

int BcdSetBinary(hive_h* h, hive_node_h elements, uint32_t type, const void* data, size_t size) {
    return SetElement(h, elements, type, hive_t_REG_BINARY, data, size);
}

int BcdSetBoolean(hive_h* h, hive_node_h elements, uint32_t type, int value) {
    uint8_t b = value != 0 ? 1 : 0;
    return SetElement(h, elements, type, hive_t_REG_BINARY, &b, 1);
}

int BcdSetInteger(hive_h* h, hive_node_h elements, uint32_t type, int32_t value) {
    uint8_t b[8];
    Put64(b, uint64_t(int64_t(value)));
    return SetElement(h, elements, type, hive_t_REG_BINARY, b, 8);
}

int BcdSetString(hive_h* h, hive_node_h elements, uint32_t type, const std::string& text) {
    std::vector<uint8_t> v = Utf16Bytes(nimbo::Utf8ToUtf16(text) + u'\0');
    return SetElement(h, elements, type, hive_t_REG_SZ, v.data(), v.size());
}

int BcdSetStringList(hive_h* h, hive_node_h elements, uint32_t type, const char* list, size_t size) {
    // The length is that of the converted text: a multi-byte character shrinks in UTF-16.
    std::vector<uint8_t> v = Utf16Bytes(nimbo::Utf8ToUtf16(std::string_view(list, size)));
    return SetElement(h, elements, type, hive_t_REG_MULTI_SZ, v.data(), v.size());
}

int BcdCommit(hive_h* h) {
    if (!h) return -1;
    int rc = hivex_commit(h, nullptr, 0);
    if (hivex_close(h) != 0) rc = -1;
    return rc == 0 ? 0 : -1;
}

std::vector<uint8_t> BcdRamdiskDevice(const std::string& imagePath) {
    const size_t n = imagePath.size();
    std::vector<uint8_t> v(2 * n + 142, 0);
    static const uint8_t guid[16] = {0xE0, 0x34, 0x55, 0xAE, 0x24, 0xA9, 0x6C, 0x46,
                                     0xB8, 0x36, 0x75, 0x85, 0x39, 0xA3, 0xEE, 0x3A};
    std::memcpy(v.data(), guid, 16);
    Put32(&v[20], 1);
    Put32(&v[24], uint32_t(2 * n + 126));
    Put32(&v[32], 3);
    Put32(&v[56], 1);
    Put32(&v[60], uint32_t(2 * n + 86));
    Put32(&v[64], 5);
    Put64(&v[68], 5);
    Put64(&v[76], 72);
    std::vector<uint8_t> path = Utf16Bytes(nimbo::Utf8ToUtf16(imagePath));
    std::memcpy(&v[140], path.data(), std::min(path.size(), 2 * n));
    return v;
}

std::vector<uint8_t> BcdBootDevice() {
    std::vector<uint8_t> v(88, 0);
    Put64(&v[16], 5);
    Put64(&v[24], 72);
    return v;
}
