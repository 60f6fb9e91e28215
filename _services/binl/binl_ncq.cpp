#include "_services/binl/binl_ncq.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "_services/binl/binl_prepare.h"
#include "_services/binl/ris_assets.h"
#include "_services/binl/ris_inf.h"
#include "_services/host_records.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/cabinet.h"
#include "libs/platform/log_guard.h"
#include "libs/platform/sockets.h"
#include "libs/platform/str_format.h"

namespace {

// Value name, type and value triples of the response, NUL-separated, with a closing NUL.
constexpr char kParameters[] =
    "Description\0"
    "2\0"
    "Ris NIC Card\0"
    "Characteristics\0"
    "1\0"
    "132\0"
    "BusType\0"
    "1\0"
    "5\0";
constexpr size_t kParameterLength = sizeof kParameters;  // the literal's own NUL closes the block
static_assert(kParameterLength == 62);

// A client's text as it may reach the log and the console: control bytes become \DDD.
std::string Printable(const std::string& text) { return EscapePeerText(text, 400); }

std::mutex g_tableLock;
std::shared_ptr<const RisAssetTable> g_table;
std::atomic<int> g_workers{0};

void PutU32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*out)[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// The text as UTF-16LE units with a closing NUL unit, appended.
void AppendUtf16(std::vector<uint8_t>* out, const std::string& text) {
    for (char c : text) {
        out->push_back(uint8_t(c));
        out->push_back(0);
    }
    out->push_back(0);
    out->push_back(0);
}

void CopyText(char* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

void SendEvent(const std::string& peer, const char* tag, const std::string& text) {
    BinlEventRecord ev;
    CopyText(ev.peer, sizeof ev.peer, peer);
    CopyText(ev.tag, sizeof ev.tag, tag);
    CopyText(ev.text, sizeof ev.text, text);
    ToConsole(NOTICE_BINL_EVENT, &ev, sizeof ev, true);
}

// The answer leaves from the address the query reached (for a broadcast query, from the
// address of the interface it came in on), as the proxyDHCP replies do. It shares the PDHCP
// socket: a reply that finds its send buffer full is dropped, never waited for.
bool SendTo(int sock, const std::vector<uint8_t>& d, const Datagram& query, int* err) {
    OutgoingDatagram out;
    out.data = d.data();
    out.len = d.size();
    out.to = query.peer;
    out.src = query.replyFrom;
    return SendDatagrams(sock, &out, 1, err, MSG_DONTWAIT) == 1 && *err == 0;
}

struct NcqJob {
    NcqQuery query;
    Datagram from;
    int sock = -1;
};

void AnswerQuery(const NcqJob& job) {
    const NcqQuery& q = job.query;
    const std::string peer = IPv4Text(job.from.peer.sin_addr);
    const std::string shown = Printable(q.oriSrc);
    const char* ori = shown.c_str();
    SendEvent(peer, "NCQ", StrFormat("VEN=%04X DEV=%04X OriSrc=%s", q.vendor, q.device, ori));
    NicDriver d;
    int err = 0;
    if (BinlFindNicDriver(q.oriSrc, q.vendor, q.device, &d)) {
        const char* file = d.driverFile.c_str();
        const char* svc = d.service.c_str();
        if (!SendTo(job.sock, BuildNcrOk(d.vendor, d.device, d.driverFile, d.service), job.from, &err)) {
            BinlLog("BINL Err: %d, Sending NCR OK, VEN:%04X DEV=%04X SvcBinary=%s SvcName=%s OriSrc=%s", err, d.vendor,
                    d.device, file, svc, ori);
            return;
        }
        BinlLog("BINL Inf: Net driver found, VEN=%04X DEV=%04X SvcBinary=%s SvcName=%s OriSrc=%s", d.vendor, d.device,
                file, svc, ori);
        SendEvent(peer, "NCR", StrFormat("VEN=%04X DEV=%04X SvcBinary=%s SvcName=%s", d.vendor, d.device, file, svc));
        return;
    }
    if (!SendTo(job.sock, BuildNcrKo(), job.from, &err)) {
        BinlLog("BINL Err: %d, Sending NCR KO, VEN=%04X DEV=%04X OriSrc=%s", err, q.vendor, q.device, ori);
        return;
    }
    BinlLog("BINL Err: Net driver not found, VEN=%04X DEV=%04X OriSrc=%s", q.vendor, q.device, ori);
    SendEvent(peer, "NCR KO", StrFormat("VEN=%04X DEV=%04X -Net driver not found-", q.vendor, q.device));
}

void NcqWorker(NcqJob* job) {
    AnswerQuery(*job);
    ::close(job->sock);
    delete job;
    g_workers.fetch_sub(1);
}

// Loads one asset's entry; false (logged) when its data file cannot be read.
bool LoadEntry(const BinlContext& ctx, const std::string& head, RisAssetEntry* e) {
    e->oriSrc = "\\\\" + ctx.computerName + "\\WIA_RIS_SHARE\\WIA_RIS\\" + head;
    e->localPath = ctx.root + "/WIA_RIS/" + head;
    std::string dat = e->localPath + "/" + kNimboFolder + "/" + kBinlDataFile;
    if (!ReadWholeFile(dat, &e->data)) {
        BinlLog("BINL Err: ABORT, Couldn't load %s", dat.c_str());
        return false;
    }
    RisArchitecture(e->localPath, &e->archFolder);
    return true;
}

}  // namespace

int ParseBinlMessage(const uint8_t* data, size_t length, NcqQuery* query) {
    if (length == 0) return BINL_EMPTY;
    if (length >= 4 && std::memcmp(data, kNcrSignature, 4) == 0) return BINL_RESPONSE;
    if (length < 4 || std::memcmp(data, kNcqSignature, 4) != 0) return BINL_OTHER;
    if (length < sizeof(NcqHeader) || length > kNcqMaxLength) return BINL_BAD_QUERY;
    NcqHeader h;
    std::memcpy(&h, data, sizeof h);
    if (h.oriSrcLength < 0 || sizeof h + size_t(h.oriSrcLength) > length) return BINL_BAD_QUERY;
    const char* ori = reinterpret_cast<const char*>(data + sizeof h);
    query->vendor = h.vendor;
    query->device = h.device;
    query->oriSrc.assign(ori, strnlen(ori, size_t(h.oriSrcLength)));
    return BINL_QUERY;
}

std::vector<uint8_t> BuildNcrOk(uint16_t vendor, uint16_t device, const std::string& driverFile,
                                const std::string& service) {
    std::vector<uint8_t> out(sizeof(NcrHeader));
    char hwid[32];
    std::snprintf(hwid, sizeof hwid, "PCI\\VEN_%04X&DEV_%04X", vendor, device);
    AppendUtf16(&out, hwid);
    const size_t driverAt = out.size();
    AppendUtf16(&out, driverFile);
    const size_t serviceAt = out.size();
    AppendUtf16(&out, service);
    const size_t parametersAt = out.size();
    out.insert(out.end(), kParameters, kParameters + kParameterLength);
    out.push_back(0);
    out.push_back(0);
    std::memcpy(out.data(), kNcrSignature, 4);
    PutU32(&out, offsetof(NcrHeader, length), uint32_t(out.size()));
    PutU32(&out, offsetof(NcrHeader, status), 0);
    PutU32(&out, offsetof(NcrHeader, two), 2);
    PutU32(&out, offsetof(NcrHeader, hardwareIdOffset), sizeof(NcrHeader));
    PutU32(&out, offsetof(NcrHeader, driverOffset), uint32_t(driverAt));
    PutU32(&out, offsetof(NcrHeader, serviceOffset), uint32_t(serviceAt));
    PutU32(&out, offsetof(NcrHeader, parameterLength), uint32_t(kParameterLength));
    PutU32(&out, offsetof(NcrHeader, parameterOffset), uint32_t(parametersAt));
    return out;
}

std::vector<uint8_t> BuildNcrKo() {
    std::vector<uint8_t> out(sizeof(NcrKo));
    std::memcpy(out.data(), kNcrSignature, 4);
    PutU32(&out, offsetof(NcrKo, length), 4);
    PutU32(&out, offsetof(NcrKo, status), kNcrNotFound);
    return out;
}

const RisAssetEntry* MatchRisAsset(const RisAssetTable& table, const std::string& oriSrc) {
    for (const RisAssetEntry& e : table)
        if (e.oriSrc == oriSrc) return &e;
    for (const RisAssetEntry& e : table)
        if (e.oriSrc.compare(0, oriSrc.size(), oriSrc) == 0) return &e;
    return nullptr;
}

bool FindDriverRecord(const RisAssetEntry& entry, uint16_t vendor, uint16_t device, NicDriver* out) {
    bool found = false;
    WalkNicDriverRecords(entry.data.data(), entry.data.size(), [&](const NicDriver& d) {
        if (!found && d.vendor == vendor && d.device == device) {
            *out = d;
            found = true;
        }
    });
    return found;
}

int BinlFetchNicDriver(const RisAssetEntry& entry, const std::string& driverFile) {
    if (!IsPlainFileName(driverFile)) return -1;
    const std::string& asset = entry.localPath;
    std::string i386 = ResolveNoCase(asset, "I386");
    if (IsRegularFile(ResolveNoCase(i386, driverFile))) return 0;
    std::string target = JoinPath(i386, driverFile);
    std::string oem = ResolveNoCase(asset, "$OEM$/$1/Drivers/NIC");
    std::string oemFile = ResolveNoCase(oem, driverFile);
    if (IsRegularFile(oemFile)) {
        if (CopyFileAtomic(oemFile, target)) return 0;
        BinlLog("BINL Err: Copying %s", target.c_str());  // the cabinets may still hold it
    }
    std::vector<std::string> cabinets;
    if (const char* sys = FindTextNoCase(driverFile.c_str(), ".sys")) {
        std::string compressed = driverFile;
        compressed[size_t(sys - driverFile.c_str()) + 3] = '_';
        cabinets.push_back(ResolveNoCase(oem, compressed));
    }
    std::string archDir = entry.archFolder.empty() ? i386 : JoinPath(asset, entry.archFolder);
    for (const char* cab : {"sp3.cab", "sp2.cab", "sp1.cab", "driver.cab"})
        cabinets.push_back(ResolveNoCase(archDir, cab));
    CabSession session;
    for (const std::string& cab : cabinets)
        if (IsRegularFile(cab) && session.Extract(cab, driverFile, target)) return 0;
    BinlLog("BINL Err: Finding Driver: %s from WIA_RIS: %s", driverFile.c_str(), asset.c_str());
    return -1;
}

int BinlFindNicDriver(const std::string& oriSrc, uint16_t vendor, uint16_t device, NicDriver* out) {
    std::shared_ptr<const RisAssetTable> table = CurrentRisAssetTable();
    const RisAssetEntry* entry = table ? MatchRisAsset(*table, oriSrc) : nullptr;
    if (!entry) {
        BinlLog("BINL Err: Matching WIA_RIS data not found, VEN=%04X DEV=%04X OriSrc=%s", vendor, device,
                Printable(oriSrc).c_str());
        return 0;
    }
    if (!FindDriverRecord(*entry, vendor, device, out)) return 0;
    return BinlFetchNicDriver(*entry, out->driverFile) == 0 ? 1 : 0;
}

int BinlLoadRisAssetTable(const BinlContext& ctx, int risCount) {
    if (risCount > kRisMaxAssets) {
        BinlLog("BINL Err: ABORT, WIA_RIS have more than 50 active installation assets");
        return -1;
    }
    if (risCount <= 0) return -1;
    auto table = std::make_shared<RisAssetTable>();
    for (const FolderEntry& e : ListFolder(ctx.root + "/WIA_RIS")) {
        if (!e.isFolder || StartsWithNoCase(e.name, "off_") || e.name.find_first_of(" ?") != std::string::npos)
            continue;
        if (!IsRegularFile(ctx.root + "/WIA_RIS/" + e.name + "/" + kNimboFolder + "/" + kBinlDataFile)) continue;
        // Assets may have appeared since they were counted: the table never grows past its bound.
        if (int(table->size()) >= kRisMaxAssets) {
            BinlLog("BINL Err: ABORT, WIA_RIS have more than 50 active installation assets");
            return -1;
        }
        RisAssetEntry entry;
        if (!LoadEntry(ctx, e.name, &entry)) return -4;
        table->push_back(std::move(entry));
    }
    std::lock_guard<std::mutex> lock(g_tableLock);
    g_table = std::move(table);
    return 0;
}

void BinlFreeRisAssetTable() {
    {
        std::lock_guard<std::mutex> lock(g_tableLock);
        g_table.reset();
    }
    // Workers hold their own reference; give them a moment to end with the service.
    for (int i = 0; i < 25 && g_workers.load() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::shared_ptr<const RisAssetTable> CurrentRisAssetTable() {
    std::lock_guard<std::mutex> lock(g_tableLock);
    return g_table;
}

int BinlActiveWorkers() { return g_workers.load(); }

int BinlHandleMessage(uint8_t* message, size_t length, const Datagram& from, int socket) {
    NcqQuery query;
    switch (ParseBinlMessage(message, length, &query)) {
        case BINL_EMPTY:  // dropped at once, as a short datagram is: it must not hold up the port
        case BINL_RESPONSE: return 1;
        case BINL_OTHER: return 0;
        case BINL_BAD_QUERY:
            if (ThreadSlots[TH_BINL].running.load() == 1 && RisTableUnavailable.load() == 0) {
                BinlLog("BINL Err: Malformed NCQ from %s (length %zu); dropped", IPv4Text(from.peer.sin_addr).c_str(),
                        length);
            }
            return 1;
        default: break;
    }
    if (ThreadSlots[TH_BINL].running.load() != 1 || RisTableUnavailable.load() != 0) return 1;
    if (g_workers.fetch_add(1) >= kNcqMaxWorkers) {
        g_workers.fetch_sub(1);
        BinlLog("BINL Err: Too many network-card queries at once; NCQ VEN=%04X DEV=%04X dropped", query.vendor,
                query.device);
        return 1;
    }
    auto* job = new NcqJob{std::move(query), from, ::fcntl(socket, F_DUPFD_CLOEXEC, 0)};
    if (job->sock < 0) {
        delete job;
        g_workers.fetch_sub(1);
        return 1;
    }
    try {
        std::thread(NcqWorker, job).detach();
    } catch (...) {
        ::close(job->sock);
        delete job;
        g_workers.fetch_sub(1);
        BinlLog("BINL Err: Couldn't start the NCQ worker");
    }
    return 1;
}
