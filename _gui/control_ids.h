// The numbers of the desktop's controls, one enumeration per window or settings page. A
// control registered by its number is named "ctl<number>" (ControlObjectName), which is how
// tests and help texts find it; the numbers themselves are kept as they are, since the help
// file, the window layout and the tests refer to them. Numbers are unique within a window or
// page; the same number may stand for different controls on different pages (1127 is every
// page's "Browse" button).
#pragma once
#include <QString>
#include <cstddef>
#include <initializer_list>

// ---- main window ----

enum MainWindowControl : int {
    // Every page.
    CTL_MAIN_HINT = 1204,    // "Please go to 'System Menu/Settings' ..." (no page configured)
    CTL_MAIN_TABS = 1011,    // the tab control
    CTL_MAIN_BANNER = 1072,  // the banner button
    CTL_MAIN_UNUSED = 1179,  // a layout place that no page shows
    // The lists, one per page.
    CTL_MAIN_TRANSFER_LIST = 1156,    // TFTP
    CTL_MAIN_LOG_LIST = 1110,         // Log
    CTL_MAIN_LEASE_LIST = 1199,       // DHCP
    CTL_MAIN_DHCP_EVENT_LIST = 1086,  // PDHCP
    CTL_MAIN_BINL_LIST = 1029,        // BINL
    CTL_MAIN_SYSLOG_LIST = 1157,      // SYSLOG
    CTL_MAIN_SNTP_LIST = 1047,        // SNTP
    CTL_MAIN_DNS_LIST = 1161,         // DNS
    CTL_MAIN_FTP_LIST = 1216,         // FTP
    CTL_MAIN_HTTP_LIST = 1218,        // HTTP
    // The TFTPC page: the TFTP client pane's controls.
    CTL_TFTPC_SERVER_LABEL = 1162,   // "TFTP Server"
    CTL_TFTPC_SERVER = 1166,         // server field
    CTL_TFTPC_BLOCK_TEXT = 1170,     // "block #0"
    CTL_TFTPC_BLKSIZE_LABEL = 1173,  // "Blocksize"
    CTL_TFTPC_BLKSIZE = 1174,        // block-size list
    CTL_TFTPC_WINSIZE_LABEL = 1176,  // "Windowsize"
    CTL_TFTPC_WINSIZE = 1180,        // window-size list
    CTL_TFTPC_REMOTE_LABEL = 1177,   // "Remote File"
    CTL_TFTPC_REMOTE_FILE = 1178,    // remote-file field
    CTL_TFTPC_LOCAL_LABEL = 1163,    // "Local File"
    CTL_TFTPC_LOCAL_FILE = 1167,     // local-file field
    CTL_TFTPC_PICK = 1175,           // "..."
    CTL_TFTPC_GET = 1164,            // "&GET"
    CTL_TFTPC_PUT = 1165,            // "&PUT"
    CTL_TFTPC_BREAK = 1169,          // "Break"
    CTL_TFTPC_PROGRESS = 1168,       // progress bar
    CTL_TFTPC_UNUSED = 2015,         // a layout place of the page without a control
};

// ---- gauge window of a transfer, About dialog, directory dialog ----

enum GaugeControl : int {
    CTL_GAUGE_BAR = 1111,   // progress bar
    CTL_GAUGE_SIZE = 1112,  // "File size : ..."
    CTL_GAUGE_RATE = 1113,  // bytes and rate
};

enum AboutControl : int {
    CTL_ABOUT_PICTURE = 1024,
    CTL_ABOUT_VERSION = 1004,
};

enum DirectoryDialogControl : int {
    CTL_DIR_LIST = 1200,
    CTL_DIR_EXPLORER = 1201,  // "Explorer"
    CTL_DIR_COPY = 1202,      // "Copy"
};

// ---- settings pages ----
// Each service page has its switch, the bind check box and the bind address list.

enum HttpPageControl : int {
    CTL_HTTP_SWITCH = 1005,  // "HTTP Server"
    CTL_HTTP_BIND = 1022,    // "Bind HTTP to this address  ->"
    CTL_HTTP_BIND_LIST = 1034,
    CTL_HTTP_BROWSING = 1213,            // "Allow File Browsing"
    CTL_HTTP_TRUNCATE = 1027,            // "Truncate GET File Names longer than 64 char"
    CTL_HTTP_DEFAULT_PAGE_LABEL = 1048,  // "Default Page"
    CTL_HTTP_DEFAULT_PAGE = 1068,
    CTL_HTTP_PORT_LABEL = 1056,  // "HTTP port"
    CTL_HTTP_PORT = 1064,
    CTL_HTTP_ROOT_LABEL = 1216,  // "Root directory"
    CTL_HTTP_ROOT = 1215,
    CTL_HTTP_BROWSE = 1127,  // "&Browse" (root)
};

enum FtpPageControl : int {
    CTL_FTP_SWITCH = 1140,  // "FTP Server"
    CTL_FTP_BIND = 1015,
    CTL_FTP_BIND_LIST = 1020,
    CTL_FTP_ANONYMOUS = 1205,  // "Anonymous"
    // Registered users 1 to 3: label, name, password.
    CTL_FTP_USER1_LABEL = 1230,
    CTL_FTP_USER1_NAME = 1207,
    CTL_FTP_USER1_PASSWORD = 1206,
    CTL_FTP_USER2_LABEL = 1231,
    CTL_FTP_USER2_NAME = 1208,
    CTL_FTP_USER2_PASSWORD = 1209,
    CTL_FTP_USER3_LABEL = 1232,
    CTL_FTP_USER3_NAME = 1210,
    CTL_FTP_USER3_PASSWORD = 1211,
    CTL_FTP_ANON_ROOT_LABEL = 1233,  // "Anonymous root"
    CTL_FTP_ANON_ROOT = 1008,
    CTL_FTP_ANON_BROWSE = 1127,       // "&Browse"
    CTL_FTP_USERS_ROOT_LABEL = 1234,  // "Registered users root"
    CTL_FTP_USERS_ROOT = 1214,
    CTL_FTP_USERS_BROWSE = 1212,  // "B&rowse"
    CTL_FTP_PORT_LABEL = 1049,    // "FTP port"
    CTL_FTP_PORT = 1052,
    CTL_FTP_POOL_LABEL = 1031,  // "Local ports pool"
    CTL_FTP_POOL = 1037,
};

enum TftpPageControl : int {
    CTL_TFTP_SERVER = 1134,  // "TFTP Server"
    CTL_TFTP_CLIENT = 1135,  // "TFTP Client"
    CTL_TFTP_BIND = 1128,
    CTL_TFTP_BIND_LIST = 1129,
    CTL_TFTP_ROOT_LABEL = 1236,  // "Base Directory"
    CTL_TFTP_ROOT = 1118,
    CTL_TFTP_BROWSE = 1127,  // "&Browse"
    // "TFTP Security": security levels 0 to 3.
    CTL_TFTP_SECURITY_NONE = 1114,
    CTL_TFTP_SECURITY_STANDARD = 1115,
    CTL_TFTP_SECURITY_HIGH = 1116,
    CTL_TFTP_SECURITY_READ_ONLY = 1117,
    CTL_TFTP_TIMEOUT_LABEL = 1012,  // "Timeout (seconds)"
    CTL_TFTP_TIMEOUT = 1119,
    CTL_TFTP_RETRANSMIT_LABEL = 1018,  // "Max Retransmit"
    CTL_TFTP_RETRANSMIT = 1120,
    CTL_TFTP_PORT_LABEL = 1026,  // "TFTP port"
    CTL_TFTP_PORT = 1121,
    CTL_TFTP_BLKSIZE_LABEL = 1060,  // "Max blocksize (RFC 2348)"
    CTL_TFTP_BLKSIZE = 1079,
    CTL_TFTP_WINDOWSIZE_LABEL = 1044,  // "Max windowsize (RFC 7440)"
    CTL_TFTP_WINDOWSIZE = 1071,
    CTL_TFTP_POOL_LABEL = 1032,  // "Local ports pool"
    CTL_TFTP_POOL = 1146,
    CTL_TFTP_ERRSIM = 1045,        // "Error Simulator" box
    CTL_TFTP_ERRSIM_TEXT = 1062,   // its field
    CTL_TFTP_TRANSLATE = 1130,     // "Translate Unix file names"
    CTL_TFTP_VIRTUAL_ROOT = 1143,  // "Use a backslash as virtual root"
    CTL_TFTP_DIR_TXT = 1126,       // "Create "dir.txt" files"
    CTL_TFTP_MD5 = 1142,           // "Create md5 files"
    // Boxes that are never shown; their fields pass through unchanged.
    CTL_TFTP_HIDE_WINDOW = 1122,   // "Hide window at startup"
    CTL_TFTP_PROGRESS_BAR = 1125,  // "Show Progress bar"
    CTL_TFTP_NEGOTIATION = 1124,   // "Option negotiation"
    CTL_TFTP_PXE_COMPAT = 1141,    // "PXE compatibility"
    CTL_TFTP_BEEP = 1131,          // "Beep for long transfers"
};

// The DHCP fields are rows of a label, the field and the option's code beside it.
enum DhcpPageControl : int {
    CTL_DHCP_SERVER = 1136,  // "DHCP Server"
    CTL_DHCP_PROXY = 1023,   // "proxyDHCP"
    CTL_DHCP_BINL = 1070,    // "BINL"
    CTL_DHCP_BIND = 1149,
    CTL_DHCP_BIND_LIST = 1150,
    CTL_DHCP_PING = 1151,           // "Ping IP before assignation"
    CTL_DHCP_PERSISTENT = 1148,     // "Persistent Leases"
    CTL_DHCP_STATIC_LEASES = 1017,  // "Static Leases"
    CTL_DHCP_POLICY_LABEL = 1042,   // "MAC Filter"
    CTL_DHCP_POLICY = 1061,         // the MAC filter policy list
    CTL_DHCP_POOL_LABEL = 1030,     // "IP Pool 1st addr"
    CTL_DHCP_POOL = 1181,
    CTL_DHCP_POOL_CODE = 1191,        // "(yiaddr)"
    CTL_DHCP_POOL_SIZE_LABEL = 1055,  // "Pool size"
    CTL_DHCP_POOL_SIZE = 1184,
    CTL_DHCP_NEXT_SERVER_LABEL = 1050,  // "Next Server"
    CTL_DHCP_NEXT_SERVER = 1035,        // editable list
    CTL_DHCP_NEXT_SERVER_CODE = 1059,   // "(siaddr)"
    CTL_DHCP_BOOT_FILE_LABEL = 1077,    // "Boot File"
    CTL_DHCP_BOOT_FILE = 1185,
    CTL_DHCP_BOOT_FILE_CODE = 1193,  // "(file)"
    CTL_DHCP_MASK_LABEL = 1081,      // "Subnet Mask"
    CTL_DHCP_MASK = 1007,
    CTL_DHCP_MASK_CODE = 1195,     // "(1)"
    CTL_DHCP_ROUTER_LABEL = 1087,  // "Router"
    CTL_DHCP_ROUTER = 1186,
    CTL_DHCP_ROUTER_CODE = 1190,  // "(3)"
    CTL_DHCP_DNS_LABEL = 1090,    // "Domain Name Server"
    CTL_DHCP_DNS = 1183,
    CTL_DHCP_DNS_CODE = 1194,      // "(6)"
    CTL_DHCP_DOMAIN_LABEL = 1092,  // "Domain Name"
    CTL_DHCP_DOMAIN = 1187,
    CTL_DHCP_DOMAIN_CODE = 1196,  // "(15)"
    // The tree list's view and header (named by their bare numbers).
    CTL_DHCP_TREE = 40041,
    CTL_DHCP_TREE_HEADER = 40043,
};

enum DnsPageControl : int {
    CTL_DNS_SWITCH = 1139,  // "DNS Server"
    CTL_DNS_BIND = 1021,
    CTL_DNS_BIND_LIST = 1033,
};

enum SntpPageControl : int {
    CTL_SNTP_SWITCH = 1138,  // "SNTP Server"
    CTL_SNTP_BIND = 1006,
    CTL_SNTP_BIND_LIST = 1014,
};

enum SyslogPageControl : int {
    CTL_SYSLOG_SWITCH = 1137,  // "SYSLOG Server"
    CTL_SYSLOG_BIND = 1217,
    CTL_SYSLOG_BIND_LIST = 1219,
    CTL_SYSLOG_PIPE = 1147,  // "Forward msg to pipe NimboSyslog"
    CTL_SYSLOG_SAVE = 1133,  // "Save msg to file"
    CTL_SYSLOG_FILE = 1145,
    CTL_SYSLOG_BROWSE = 1127,  // "&Browse" (log file)
};

// The controls each settings page registers, in no particular order.
inline constexpr int kHttpPageControls[] = {
    CTL_HTTP_SWITCH,       CTL_HTTP_BIND,       CTL_HTTP_BIND_LIST,
    CTL_HTTP_BROWSING,     CTL_HTTP_TRUNCATE,   CTL_HTTP_DEFAULT_PAGE_LABEL,
    CTL_HTTP_DEFAULT_PAGE, CTL_HTTP_PORT_LABEL, CTL_HTTP_PORT,
    CTL_HTTP_ROOT_LABEL,   CTL_HTTP_ROOT,       CTL_HTTP_BROWSE,
};
inline constexpr int kFtpPageControls[] = {
    CTL_FTP_SWITCH,
    CTL_FTP_BIND,
    CTL_FTP_BIND_LIST,
    CTL_FTP_ANONYMOUS,
    CTL_FTP_USER1_LABEL,
    CTL_FTP_USER1_NAME,
    CTL_FTP_USER1_PASSWORD,
    CTL_FTP_USER2_LABEL,
    CTL_FTP_USER2_NAME,
    CTL_FTP_USER2_PASSWORD,
    CTL_FTP_USER3_LABEL,
    CTL_FTP_USER3_NAME,
    CTL_FTP_USER3_PASSWORD,
    CTL_FTP_ANON_ROOT_LABEL,
    CTL_FTP_ANON_ROOT,
    CTL_FTP_ANON_BROWSE,
    CTL_FTP_USERS_ROOT_LABEL,
    CTL_FTP_USERS_ROOT,
    CTL_FTP_USERS_BROWSE,
    CTL_FTP_PORT_LABEL,
    CTL_FTP_PORT,
    CTL_FTP_POOL_LABEL,
    CTL_FTP_POOL,
};
inline constexpr int kTftpPageControls[] = {
    CTL_TFTP_SERVER,
    CTL_TFTP_CLIENT,
    CTL_TFTP_BIND,
    CTL_TFTP_BIND_LIST,
    CTL_TFTP_ROOT_LABEL,
    CTL_TFTP_ROOT,
    CTL_TFTP_BROWSE,
    CTL_TFTP_SECURITY_NONE,
    CTL_TFTP_SECURITY_STANDARD,
    CTL_TFTP_SECURITY_HIGH,
    CTL_TFTP_SECURITY_READ_ONLY,
    CTL_TFTP_TIMEOUT_LABEL,
    CTL_TFTP_TIMEOUT,
    CTL_TFTP_RETRANSMIT_LABEL,
    CTL_TFTP_RETRANSMIT,
    CTL_TFTP_PORT_LABEL,
    CTL_TFTP_PORT,
    CTL_TFTP_BLKSIZE_LABEL,
    CTL_TFTP_BLKSIZE,
    CTL_TFTP_WINDOWSIZE_LABEL,
    CTL_TFTP_WINDOWSIZE,
    CTL_TFTP_POOL_LABEL,
    CTL_TFTP_POOL,
    CTL_TFTP_ERRSIM,
    CTL_TFTP_ERRSIM_TEXT,
    CTL_TFTP_TRANSLATE,
    CTL_TFTP_VIRTUAL_ROOT,
    CTL_TFTP_DIR_TXT,
    CTL_TFTP_MD5,
    CTL_TFTP_HIDE_WINDOW,
    CTL_TFTP_PROGRESS_BAR,
    CTL_TFTP_NEGOTIATION,
    CTL_TFTP_PXE_COMPAT,
    CTL_TFTP_BEEP,
};
inline constexpr int kDhcpPageControls[] = {
    CTL_DHCP_SERVER,
    CTL_DHCP_PROXY,
    CTL_DHCP_BINL,
    CTL_DHCP_BIND,
    CTL_DHCP_BIND_LIST,
    CTL_DHCP_PING,
    CTL_DHCP_PERSISTENT,
    CTL_DHCP_STATIC_LEASES,
    CTL_DHCP_POLICY_LABEL,
    CTL_DHCP_POLICY,
    CTL_DHCP_POOL_LABEL,
    CTL_DHCP_POOL,
    CTL_DHCP_POOL_CODE,
    CTL_DHCP_POOL_SIZE_LABEL,
    CTL_DHCP_POOL_SIZE,
    CTL_DHCP_NEXT_SERVER_LABEL,
    CTL_DHCP_NEXT_SERVER,
    CTL_DHCP_NEXT_SERVER_CODE,
    CTL_DHCP_BOOT_FILE_LABEL,
    CTL_DHCP_BOOT_FILE,
    CTL_DHCP_BOOT_FILE_CODE,
    CTL_DHCP_MASK_LABEL,
    CTL_DHCP_MASK,
    CTL_DHCP_MASK_CODE,
    CTL_DHCP_ROUTER_LABEL,
    CTL_DHCP_ROUTER,
    CTL_DHCP_ROUTER_CODE,
    CTL_DHCP_DNS_LABEL,
    CTL_DHCP_DNS,
    CTL_DHCP_DNS_CODE,
    CTL_DHCP_DOMAIN_LABEL,
    CTL_DHCP_DOMAIN,
    CTL_DHCP_DOMAIN_CODE,
};
inline constexpr int kDnsPageControls[] = {CTL_DNS_SWITCH, CTL_DNS_BIND, CTL_DNS_BIND_LIST};
inline constexpr int kSntpPageControls[] = {CTL_SNTP_SWITCH, CTL_SNTP_BIND, CTL_SNTP_BIND_LIST};
inline constexpr int kSyslogPageControls[] = {
    CTL_SYSLOG_SWITCH, CTL_SYSLOG_BIND, CTL_SYSLOG_BIND_LIST, CTL_SYSLOG_PIPE,
    CTL_SYSLOG_SAVE,   CTL_SYSLOG_FILE, CTL_SYSLOG_BROWSE,
};

// True when no number occurs twice.
constexpr bool ControlIdsUnique(const int* ids, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j)
            if (ids[i] == ids[j])
                return false;
    return true;
}
template <size_t N>
constexpr bool ControlIdsUnique(const int (&ids)[N])
{
    return ControlIdsUnique(ids, N);
}
constexpr bool ControlIdsUnique(std::initializer_list<int> ids) { return ControlIdsUnique(ids.begin(), ids.size()); }
// The same for the number field of a table's rows.
template <class Row, size_t N>
constexpr bool ControlIdsUnique(const Row (&rows)[N], int Row::*id)
{
    for (size_t i = 0; i < N; ++i)
        for (size_t j = i + 1; j < N; ++j)
            if (rows[i].*id == rows[j].*id)
                return false;
    return true;
}

static_assert(ControlIdsUnique(kHttpPageControls));
static_assert(ControlIdsUnique(kFtpPageControls));
static_assert(ControlIdsUnique(kTftpPageControls));
static_assert(ControlIdsUnique(kDhcpPageControls));
static_assert(ControlIdsUnique(kDnsPageControls));
static_assert(ControlIdsUnique(kSntpPageControls));
static_assert(ControlIdsUnique(kSyslogPageControls));
static_assert(ControlIdsUnique({CTL_GAUGE_BAR, CTL_GAUGE_SIZE, CTL_GAUGE_RATE}));
static_assert(ControlIdsUnique({CTL_DIR_LIST, CTL_DIR_EXPLORER, CTL_DIR_COPY}));

// The object name of a control registered by its number: "ctl<id>".
inline QString ControlObjectName(int id) { return QStringLiteral("ctl%1").arg(id); }
