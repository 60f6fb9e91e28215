#include "_services/nfs/nfs_paths.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>
#include <vector>

NfsPathTable::NfsPathTable() {
    if (getrandom(verifier_, sizeof verifier_, 0) != static_cast<ssize_t>(sizeof verifier_)) {
        uint64_t t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        memcpy(verifier_, &t, sizeof verifier_);
    }
    // Id 0 is never handed out: the C library drops directory entries with inode number 0,
    // so a folder with file id 0 would vanish from listings ("." of an export root).
    paths_.emplace_back();
}

NfsPathTable& PathTable() {
    static NfsPathTable table;
    return table;
}

uint32_t NfsPathTable::AddLocked(const std::string& path) {
    auto it = ids_.find(path);
    if (it != ids_.end()) return it->second;
    uint32_t id = static_cast<uint32_t>(paths_.size());
    paths_.push_back(path);
    ids_.emplace(path, id);
    return id;
}

uint32_t NfsPathTable::FileIdOf(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    return AddLocked(path);
}

NfsHandle NfsPathTable::HandleOf(const std::string& path) {
    NfsHandle h{};
    uint32_t id = FileIdOf(path);
    uint8_t le[4] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id >> 16),
                     static_cast<uint8_t>(id >> 24)};
    memcpy(&h.fileId, le, 4);
    memcpy(h.verifier, verifier_, sizeof verifier_);
    return h;
}

bool NfsPathTable::PathOfId(uint32_t id, std::string* path) const {
    std::lock_guard<std::mutex> g(lock_);
    if (id >= paths_.size() || paths_[id].empty()) return false;
    *path = paths_[id];
    return true;
}

uint32_t NfsPathTable::PathOfHandle(const uint8_t* handle, size_t length, std::string* path) const {
    path->clear();
    if (length != kNfs3HandleSize && length != kNfs2HandleSize) return NFS3ERR_BADHANDLE;
    if (memcmp(handle + 4, verifier_, sizeof verifier_) != 0) return NFSERR_STALE;
    for (size_t i = 12; i < length; ++i)
        if (handle[i]) return NFSERR_STALE;
    uint32_t id = handle[0] | (handle[1] << 8) | (handle[2] << 16) | (static_cast<uint32_t>(handle[3]) << 24);
    return PathOfId(id, path) ? NFS_OK : NFSERR_STALE;
}

void NfsPathTable::Renamed(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> g(lock_);
    auto old = ids_.find(to);
    if (old != ids_.end()) {
        paths_[old->second].clear();
        ids_.erase(old);
    }
    uint32_t id = AddLocked(from);
    ids_.erase(from);
    paths_[id] = to;
    ids_[to] = id;
    // Items below a renamed folder follow it.
    const std::string prefix = from + "/";
    std::vector<std::pair<std::string, uint32_t>> moved;
    for (auto it = ids_.begin(); it != ids_.end();) {
        if (it->first.compare(0, prefix.size(), prefix) == 0) {
            moved.emplace_back(to + it->first.substr(from.size()), it->second);
            it = ids_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [path, movedId] : moved) {
        auto stale = ids_.find(path);
        if (stale != ids_.end() && stale->second != movedId) paths_[stale->second].clear();
        paths_[movedId] = path;
        ids_[path] = movedId;
    }
}

void NfsPathTable::Removed(const std::string& path) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = ids_.find(path);
    if (it == ids_.end()) return;
    paths_[it->second].clear();
    ids_.erase(it);
}

uint32_t NfsPathTable::Count() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<uint32_t>(paths_.size());
}
