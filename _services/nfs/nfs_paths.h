// The process-wide table that joins file handles and local paths. Every path the NFS server
// hands out gets a file id (its position in the table, never reused, never 0) and a 64-byte handle with
// that id and the run's random verifier. The table lives until the program ends, across stops
// and restarts of the NFS service.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "_services/nfs/nfs_records.h"

class NfsPathTable {
public:
    NfsPathTable();
    // The path's handle, adding the path when it is new.
    NfsHandle HandleOf(const std::string& path);
    uint32_t FileIdOf(const std::string& path);
    // The path of an id; false for an id beyond the table or a path that is gone.
    bool PathOfId(uint32_t id, std::string* path) const;
    // The path of a handle of length bytes (64 for version 3, 32 for version 2). Returns NFS_OK,
    // NFS3ERR_BADHANDLE (wrong length or shape) or NFSERR_STALE (another run, unknown id).
    uint32_t PathOfHandle(const uint8_t* handle, size_t length, std::string* path) const;
    // After a rename on disk: the item of from (added when new) and every item below it move to
    // to, keeping their ids; an item that named to before is gone (its handle turns stale).
    void Renamed(const std::string& from, const std::string& to);
    // After a removal on disk: the path's handle turns stale.
    void Removed(const std::string& path);
    uint32_t Count() const;
    const uint8_t* Verifier() const { return verifier_; }

private:
    uint32_t AddLocked(const std::string& path);
    mutable std::mutex lock_;
    std::deque<std::string> paths_;  // by id; empty when the path is gone
    std::unordered_map<std::string, uint32_t> ids_;
    uint8_t verifier_[8];
};

// The one table of the process.
NfsPathTable& PathTable();
