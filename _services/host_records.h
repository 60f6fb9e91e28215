// Wire records of the service host: the settings record, the host address list and the
// console link's frame header. Every layout here crosses the console
// link byte for byte, so sizes and offsets are pinned.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr const char* ProgramTitle = "Nimbo v4.6.0";

// clang-format off
#pragma pack(push, 1)
struct GlobalSettings {
    char     TFTP_RootDirectory[260];
    int32_t  LogLevel;
    int32_t  TFTP_Timeout;
    int32_t  TFTP_MaxRetransmit;
    int32_t  TFTP_LimitNegotiatedWindowsize;
    int32_t  TFTP_LimitNegotiatedBlksize;
    int32_t  TFTP_MinInterFrameDelay;
    char     TFTP_ErrorSimulator[200];
    int32_t  TFTP_SecurityLevel;
    int32_t  TFTP_Port;
    int32_t  NIMBO_HideWnd;
    int32_t  OptionNegotiation;
    int32_t  PxeCompatibility;
    int32_t  ShowProgressBar;
    int32_t  TFTP_DirTextFile;
    int32_t  TFTP_MD5File;
    int32_t  Reserved516;
    int32_t  TFTP_TranslateUnixFileNames;
    int32_t  TFTP_Beep;
    int32_t  TFTP_BackSlashAsVirtualRoot;
    char     TFTP_LocalIP[16];
    int32_t  NIMBO_Services;  // ServicesMask
    int32_t  TFTP_LowestUDPPort;
    int32_t  TFTP_HighestUDPPort;
    char     NIMBO_LogFile[260];
    char     SYSLOG_SaveLogToFile[260];
    int32_t  SYSLOG_ForwardLogToPipe;
    char     TFTP_MulticastAddress[16];
    int32_t  TFTP_MulticastPort;
    int32_t  DHCP_PersistantLeases;
    int32_t  DHCP_PingAddress;
    char     DHCP_LocalIP[16];
    int32_t  NIMBO_UseEventLog;
    char     NIMBO_ConsolePassword[12];
    int32_t  TFTP_SupportForPortOption;
    int32_t  TFTP_IgnoreLastPacketAck;
    char     TFTPC_Server[256];
    int32_t  TFTPC_Blksize;
    int32_t  TFTPC_Windowsize;
    char     TFTPC_RemoteFile[512];
    char     TFTPC_LocalFile[512];
    int32_t  TFTPC_MinInterFrameDelay;
    char     FTP_LocalIP[16];
    int32_t  FTP_Port;
    int32_t  FTP_LowestDataPort;
    int32_t  FTP_HighestDataPort;
    int32_t  FTP_Anonymous;
    char     FTP_Usr1Name[32];
    char     FTP_Usr1Pass[32];
    char     FTP_Usr2Name[32];
    char     FTP_Usr2Pass[32];
    char     FTP_Usr3Name[32];
    char     FTP_Usr3Pass[32];
    char     FTP_AnonymousRootDirectory[260];
    char     FTP_RegiteredRootDirectory[260];
    char     HTTP_LocalIP[16];
    int32_t  HTTP_Port;
    char     HTTP_DefaultPage[256];
    int32_t  HTTP_AllowFileBrowsing;
    char     HTTP_RootDir[260];
    int32_t  HTTP_TruncateGETFileName64;
    char     NFS_LocalIP[16];
    char     NFS_RootDir[260];
    char     NFS_ExportName[260];
    int32_t  NFS_SecurityLevel;
    int32_t  NFS_Transport;
    int32_t  NFS_Version;
    int32_t  NFS_UserID;
    int32_t  NFS_GroupID;
    int32_t  NFS_MountdPort;
    int32_t  NFS_NFSdPort;
    char     DNS_LocalIP[16];
    char     SYS_LOGLocalIP[16];
    char     SNTP_LocalIP[16];
    int32_t  TFTP_MaxSimultaneousTransfers;
    char     WorkingDirectory[260];
    int32_t  TftpMainLoopWait;
    uint32_t RunningServices;
    uint16_t ConsolePort;
};

// Payload of notice 109: the IPv4 addresses of this host.
struct HostIpListRecord {
    uint32_t count;
    struct Slot {
        uint32_t addr;  // network byte order
        uint32_t zero;
    } slots[30];
};

// Payload of notices 115 (an FTP client event) and 116 (an HTTP request): one row of the
// GUI's FTP or HTTP list. Each text is NUL-terminated; what follows the NUL means nothing.
struct RequestLogRecord {
    char peer[16];       // the client's IPv4 address, dotted
    char resource[260];  // the path (or method) the row is about
    char status[400];    // the status text
};

// Every console message after the handshake: length (big-endian, counts id + payload), id.
struct ConsoleFrameHeader {
    uint16_t lengthBE;
    uint32_t id;  // little-endian
};
#pragma pack(pop)
// clang-format on

static_assert(sizeof(GlobalSettings) == 4618);
static_assert(offsetof(GlobalSettings, LogLevel) == 260);
static_assert(offsetof(GlobalSettings, TFTP_ErrorSimulator) == 284);
static_assert(offsetof(GlobalSettings, TFTP_SecurityLevel) == 484);
static_assert(offsetof(GlobalSettings, NIMBO_HideWnd) == 492);
static_assert(offsetof(GlobalSettings, TFTP_TranslateUnixFileNames) == 520);
static_assert(offsetof(GlobalSettings, TFTP_LocalIP) == 532);
static_assert(offsetof(GlobalSettings, NIMBO_Services) == 548);
static_assert(offsetof(GlobalSettings, NIMBO_LogFile) == 560);
static_assert(offsetof(GlobalSettings, SYSLOG_SaveLogToFile) == 820);
static_assert(offsetof(GlobalSettings, SYSLOG_ForwardLogToPipe) == 1080);
static_assert(offsetof(GlobalSettings, TFTP_MulticastAddress) == 1084);
static_assert(offsetof(GlobalSettings, DHCP_LocalIP) == 1112);
static_assert(offsetof(GlobalSettings, NIMBO_ConsolePassword) == 1132);
static_assert(offsetof(GlobalSettings, TFTPC_Server) == 1152);
static_assert(offsetof(GlobalSettings, TFTPC_RemoteFile) == 1416);
static_assert(offsetof(GlobalSettings, TFTPC_LocalFile) == 1928);
static_assert(offsetof(GlobalSettings, FTP_LocalIP) == 2444);
static_assert(offsetof(GlobalSettings, FTP_Usr1Name) == 2476);
static_assert(offsetof(GlobalSettings, FTP_AnonymousRootDirectory) == 2668);
static_assert(offsetof(GlobalSettings, FTP_RegiteredRootDirectory) == 2928);
static_assert(offsetof(GlobalSettings, HTTP_LocalIP) == 3188);
static_assert(offsetof(GlobalSettings, HTTP_DefaultPage) == 3208);
static_assert(offsetof(GlobalSettings, HTTP_RootDir) == 3468);
static_assert(offsetof(GlobalSettings, NFS_LocalIP) == 3732);
static_assert(offsetof(GlobalSettings, NFS_ExportName) == 4008);
static_assert(offsetof(GlobalSettings, NFS_NFSdPort) == 4292);
static_assert(offsetof(GlobalSettings, DNS_LocalIP) == 4296);
static_assert(offsetof(GlobalSettings, SNTP_LocalIP) == 4328);
static_assert(offsetof(GlobalSettings, TFTP_MaxSimultaneousTransfers) == 4344);
static_assert(offsetof(GlobalSettings, WorkingDirectory) == 4348);
static_assert(offsetof(GlobalSettings, TftpMainLoopWait) == 4608);
static_assert(offsetof(GlobalSettings, RunningServices) == 4612);
static_assert(offsetof(GlobalSettings, ConsolePort) == 4616);
static_assert(sizeof(HostIpListRecord) == 244);
static_assert(offsetof(HostIpListRecord, slots) == 4);
static_assert(sizeof(RequestLogRecord) == 676);
static_assert(offsetof(RequestLogRecord, resource) == 16);
static_assert(offsetof(RequestLogRecord, status) == 276);
static_assert(sizeof(ConsoleFrameHeader) == 6);
static_assert(offsetof(ConsoleFrameHeader, id) == 2);

// Size of the largest console payload (the DHCP settings record) and of a frame buffer.
constexpr size_t kDhcpSettingsSize = 32698;
constexpr size_t kConsoleBufferSize = 4 + kDhcpSettingsSize;  // 32702

// Console notices (services -> GUI) and requests (GUI -> services).
enum ConsoleNotice : uint32_t {
    NOTICE_LOG = 1,
    NOTICE_WARNING = 2,
    NOTICE_ERROR = 3,
    NOTICE_TRANSFER_BEGIN = 100,
    NOTICE_TRANSFER_END = 101,
    NOTICE_TRANSFER_STATS = 102,
    NOTICE_LEASE_ROWS = 103,
    NOTICE_GLOBAL_SETTINGS = 104,
    NOTICE_DHCP_SETTINGS = 105,
    NOTICE_WORKING_DIR = 106,
    NOTICE_SYSLOG_ROW = 107,
    NOTICE_RUNNING_SERVICES = 108,
    NOTICE_HOST_IP_LIST = 109,
    NOTICE_SERVICES_STARTED = 110,
    NOTICE_DIRECTORY_LISTING = 111,
    NOTICE_DNS_ENTRY = 112,
    NOTICE_BINL_EVENT = 113,
    NOTICE_DHCP_EVENT = 114,
    NOTICE_FTP_EVENT = 115,
    NOTICE_HTTP_EVENT = 116,
    NOTICE_SNTP_CLIENT = 117,
};
enum ConsoleRequest : uint32_t {
    REQ_STOP_TRANSFER = 200,
    REQ_STOP_TFTP = 201,
    REQ_STOP_DHCP = 202,
    REQ_STOP_ALL = 203,
    REQ_SUSPEND = 204,
    REQ_START = 205,
    REQ_SEND_DHCP_SETTINGS = 206,
    REQ_SEND_GLOBAL_SETTINGS = 207,
    REQ_STORE_DHCP_SETTINGS = 208,
    REQ_STORE_GLOBAL_SETTINGS = 209,
    REQ_ERASE_SETTINGS = 210,
    REQ_SET_WORKING_DIR = 211,
    REQ_SEND_WORKING_DIR = 212,
    REQ_FREE_LEASE = 213,
    REQ_SEND_RUNNING_SERVICES = 214,
    REQ_SEND_HOST_IPS = 216,
    REQ_SEND_DIRECTORY = 217,
};

// ServicesMask bits.
enum ServiceBit : uint32_t {
    SVC_TFTP_SERVER = 0x1,
    SVC_TFTP_CLIENT = 0x2,
    SVC_DHCP = 0x4,
    SVC_SYSLOG = 0x8,
    SVC_SNTP = 0x10,
    SVC_DNS = 0x20,
    SVC_FTP = 0x40,
    SVC_HTTP = 0x80,
    SVC_PDHCP = 0x100,
    SVC_BINL = 0x200,
    SVC_NFS = 0x400,
    SVC_CONSOLE = 0x1000,
    SVC_REGISTRY = 0x2000,
    SVC_SCHEDULER = 0x4000,
};
