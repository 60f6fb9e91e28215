// BCD stores as we write them, read back by hivex: any object and element we may write must
// give a hive that opens and holds exactly what was written.
#include <hivex.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "_services/binl/bcd_store.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

struct Written {
    std::string key;             // element type as the key name
    int kind;                    // 0 binary, 1 boolean, 2 integer, 3 string, 4 string list
    std::vector<uint8_t> bytes;  // what was asked to be written
};

std::string Hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "%X", v);
    return b;
}

}  // namespace

// Input: records of [kind, 4-byte type, 1-byte length, bytes]; a kind of 5 starts a new object.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = FuzzFolder() + "/store.bcd";
    hive_h* h = BcdCreateStore(path);
    if (!h) __builtin_trap();
    int objects = 0;
    hive_node_h elements = 0;
    std::vector<std::pair<std::string, std::vector<Written>>> written;  // per object: its key
    size_t at = 0;
    while (at + 6 <= size && objects < 8) {
        const uint8_t kind = data[at] % 6;
        uint32_t type;
        std::memcpy(&type, data + at + 1, 4);
        const size_t n = std::min<size_t>(data[at + 5], size - at - 6);
        const uint8_t* bytes = data + at + 6;
        at += 6 + n;
        if (kind == 5 || !elements) {
            char guid[40];
            snprintf(guid, sizeof guid, "{%08x-0000-0000-0000-%012x}", type, objects);
            elements = BcdCreateObject(h, guid, type);
            if (!elements) __builtin_trap();
            ++objects;
            written.emplace_back(guid, std::vector<Written>());
            if (kind == 5) continue;
        }
        int rc = -1;
        switch (kind) {
            case 0: rc = BcdSetBinary(h, elements, type, bytes, n); break;
            case 1: rc = BcdSetBoolean(h, elements, type, n ? bytes[0] & 1 : 0); break;
            case 2: rc = BcdSetInteger(h, elements, type, n >= 4 ? int32_t(bytes[0] | bytes[1] << 8) : 7); break;
            case 3: rc = BcdSetString(h, elements, type, std::string(reinterpret_cast<const char*>(bytes), n)); break;
            case 4: rc = BcdSetStringList(h, elements, type, reinterpret_cast<const char*>(bytes), n); break;
        }
        // A second element of the same type in one object replaces the first.
        auto& list = written.back().second;
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].key == Hex(type)) list.erase(list.begin() + long(i--));
        if (rc == 0 && kind == 0)
            list.push_back({Hex(type), kind, std::vector<uint8_t>(bytes, bytes + n)});
        else if (rc == 0)
            list.push_back({Hex(type), kind, {}});
    }
    if (BcdCommit(h) != 0) __builtin_trap();

    hive_h* r = hivex_open(path.c_str(), 0);
    if (!r) __builtin_trap();
    hive_node_h root = hivex_root(r);
    hive_node_h objs = hivex_node_get_child(r, root, "Objects");
    if (!objs) __builtin_trap();
    hive_node_h* children = hivex_node_children(r, objs);
    if (!children) __builtin_trap();
    size_t count = 0;
    while (children[count]) ++count;
    if (count != written.size()) __builtin_trap();
    for (const auto& [guid, list] : written) {
        hive_node_h object = hivex_node_get_child(r, objs, guid.c_str());
        hive_node_h els = object ? hivex_node_get_child(r, object, "Elements") : 0;
        if (!els) __builtin_trap();
        for (const auto& w : list) {
            hive_node_h e = hivex_node_get_child(r, els, w.key.c_str());
            if (!e) __builtin_trap();
            hive_value_h v = hivex_node_get_value(r, e, "Element");
            if (!v) __builtin_trap();
            if (w.kind == 0) {
                hive_type t;
                size_t len = 0;
                char* got = hivex_value_value(r, v, &t, &len);
                if (!got || len != w.bytes.size() || (len && std::memcmp(got, w.bytes.data(), len) != 0))
                    __builtin_trap();
                free(got);
            }
        }
    }
    free(children);
    hivex_close(r);
    return 0;
}
