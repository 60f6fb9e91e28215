// Wire records and constants of the RPC, PORTMAP, MOUNT and NFS programs. Every value on the
// wire is big-endian XDR; the packed records below give the fixed layouts their sizes and
// offsets (the XDR writers and readers in xdr.h fill them field by field).
#pragma once
#include <cstddef>
#include <cstdint>

// ONC RPC.
inline constexpr uint32_t kRpcVersion = 2;
enum RpcMsgType : uint32_t { RPC_CALL = 0, RPC_REPLY = 1 };
enum RpcReplyStat : uint32_t { MSG_ACCEPTED = 0, MSG_DENIED = 1 };
enum RpcAcceptStat : uint32_t {
    RPC_SUCCESS = 0,
    PROG_UNAVAIL = 1,
    PROG_MISMATCH = 2,
    PROC_UNAVAIL = 3,
    GARBAGE_ARGS = 4,
    SYSTEM_ERR = 5
};
enum RpcRejectStat : uint32_t { RPC_MISMATCH = 0 };
inline constexpr uint32_t kRpcFirstProgram = 100000;
inline constexpr uint32_t kRpcProgramSlots = 15;  // programs 100000 to 100014
inline constexpr uint32_t kRecordLastFragment = 0x80000000u;

// Largest lengths accepted from the wire.
inline constexpr uint32_t kMaxAuthBody = 400;     // credential or verifier body
inline constexpr uint32_t kMaxNameLength = 255;   // one file name
inline constexpr uint32_t kMaxPathLength = 1024;  // mount path, symbolic-link target
inline constexpr uint32_t kNfs3HandleSize = 64;
inline constexpr uint32_t kNfs2HandleSize = 32;
inline constexpr uint32_t kNfs2MaxData = 8192;         // v2 READ and WRITE
inline constexpr uint32_t kNfs3MaxData = 32768;        // v3 rtmax, wtmax
inline constexpr uint32_t kRpcMaxRecord = 256 * 1024;  // one call, all fragments together
inline constexpr uint32_t kRpcMaxReply = 256 * 1024;

// The fixed start of every call (after the TCP record mark).
struct __attribute__((packed)) RpcCallHeader {
    uint32_t xid;
    uint32_t msgType;
    uint32_t rpcVersion;
    uint32_t program;
    uint32_t version;
    uint32_t procedure;
};
static_assert(sizeof(RpcCallHeader) == 24);
static_assert(offsetof(RpcCallHeader, program) == 12 && offsetof(RpcCallHeader, procedure) == 20);

// The start of an accepted reply with an empty AUTH_NONE verifier.
struct __attribute__((packed)) RpcAcceptedReply {
    uint32_t xid;
    uint32_t msgType;      // RPC_REPLY
    uint32_t replyStat;    // MSG_ACCEPTED
    uint32_t verfFlavour;  // 0
    uint32_t verfLength;   // 0
    uint32_t acceptStat;
};
static_assert(sizeof(RpcAcceptedReply) == 24);
static_assert(offsetof(RpcAcceptedReply, acceptStat) == 20);

// PORTMAP (program 100000, version 2).
inline constexpr uint32_t kPortmapProgram = 100000;
inline constexpr uint32_t kPortmapVersion = 2;
inline constexpr uint32_t kProtoTcp = 6;
inline constexpr uint32_t kProtoUdp = 17;
enum PortmapProc : uint32_t { PMAP_NULL = 0, PMAP_SET, PMAP_UNSET, PMAP_GETPORT, PMAP_DUMP, PMAP_CALLIT };

struct __attribute__((packed)) PortMapping {
    uint32_t program;
    uint32_t version;
    uint32_t protocol;
    uint32_t port;
};
static_assert(sizeof(PortMapping) == 16);
static_assert(offsetof(PortMapping, port) == 12);

// MOUNT (program 100005, versions 1 to 3).
inline constexpr uint32_t kMountProgram = 100005;
enum MountProc : uint32_t {
    MOUNTPROC_NULL = 0,
    MOUNTPROC_MNT,
    MOUNTPROC_DUMP,
    MOUNTPROC_UMNT,
    MOUNTPROC_UMNTALL,
    MOUNTPROC_EXPORT,
    MOUNTPROC_EXPORTALL,
    MOUNTPROC_PATHCONF
};
enum MountStat : uint32_t { MNT_OK = 0, MNT_NOENT = 2, MNT_ACCES = 13, MNT_NOTDIR = 20, MNT_NAMETOOLONG = 63 };
inline constexpr int kMaxMounts = 100;
inline constexpr int kMaxMountsPerClient = 8;

// NFS (program 100003).
inline constexpr uint32_t kNfsProgram = 100003;

// The server's file handle: 64 bytes, of which version 2 uses the first 32.
struct __attribute__((packed)) NfsHandle {
    uint32_t fileId;      // little-endian path table id
    uint8_t verifier[8];  // random per run: handles of an earlier run are stale
    uint8_t zero[52];
};
static_assert(sizeof(NfsHandle) == kNfs3HandleSize);
static_assert(offsetof(NfsHandle, verifier) == 4 && offsetof(NfsHandle, zero) == 12);

enum NfsStat : uint32_t {
    NFS_OK = 0,
    NFSERR_PERM = 1,
    NFSERR_NOENT = 2,
    NFSERR_IO = 5,
    NFSERR_NXIO = 6,
    NFSERR_ACCES = 13,
    NFSERR_EXIST = 17,
    NFSERR_NOTDIR = 20,
    NFSERR_ISDIR = 21,
    NFSERR_INVAL = 22,
    NFSERR_FBIG = 27,
    NFSERR_NOSPC = 28,
    NFSERR_ROFS = 30,
    NFSERR_NAMETOOLONG = 63,
    NFSERR_NOTEMPTY = 66,
    NFSERR_STALE = 70,
    NFS3ERR_BADHANDLE = 10001,
    NFS3ERR_NOT_SYNC = 10002,
    NFS3ERR_BAD_COOKIE = 10003,
    NFS3ERR_NOTSUPP = 10004,
    NFS3ERR_SERVERFAULT = 10006,
};

enum NfsFileType : uint32_t { NF_NON = 0, NF_REG = 1, NF_DIR = 2, NF_BLK = 3, NF_CHR = 4, NF_LNK = 5 };

// fattr (version 2): 17 words.
struct __attribute__((packed)) Nfs2Attr {
    uint32_t type, mode, nlink, uid, gid, size, blocksize, rdev, blocks, fsid, fileid;
    uint32_t atimeSec, atimeUsec, mtimeSec, mtimeUsec, ctimeSec, ctimeUsec;
};
static_assert(sizeof(Nfs2Attr) == 68);
static_assert(offsetof(Nfs2Attr, fileid) == 40 && offsetof(Nfs2Attr, ctimeUsec) == 64);

// fattr3 (version 3).
struct __attribute__((packed)) Nfs3Attr {
    uint32_t type, mode, nlink, uid, gid;
    uint64_t size, used;
    uint32_t rdev1, rdev2;
    uint64_t fsid, fileid;
    uint32_t atimeSec, atimeNsec, mtimeSec, mtimeNsec, ctimeSec, ctimeNsec;
};
static_assert(sizeof(Nfs3Attr) == 84);
static_assert(offsetof(Nfs3Attr, size) == 20 && offsetof(Nfs3Attr, fileid) == 52 && offsetof(Nfs3Attr, atimeSec) == 60);

// FSINFO result body after its post_op_attr.
struct __attribute__((packed)) Nfs3FsInfo {
    uint32_t rtmax, rtpref, rtmult, wtmax, wtpref, wtmult, dtpref;
    uint64_t maxfilesize;
    uint32_t timeDeltaSec, timeDeltaNsec, properties;
};
static_assert(sizeof(Nfs3FsInfo) == 48);
static_assert(offsetof(Nfs3FsInfo, maxfilesize) == 28 && offsetof(Nfs3FsInfo, properties) == 44);

enum Nfs3StableHow : uint32_t { UNSTABLE = 0, DATA_SYNC = 1, FILE_SYNC = 2 };
enum Nfs3CreateMode : uint32_t { CREATE_UNCHECKED = 0, CREATE_GUARDED = 1, CREATE_EXCLUSIVE = 2 };
enum Nfs3TimeHow : uint32_t { DONT_CHANGE = 0, SET_TO_SERVER_TIME = 1, SET_TO_CLIENT_TIME = 2 };
inline constexpr uint32_t kAccessRead = 0x1, kAccessLookup = 0x2, kAccessModify = 0x4, kAccessExtend = 0x8,
                          kAccessDelete = 0x10, kAccessExecute = 0x20;
inline constexpr uint32_t kFsfHomogeneous = 0x10;
inline constexpr uint32_t kNfs4MinorVersMismatch = 10021;
