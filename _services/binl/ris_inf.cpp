#include "_services/binl/ris_inf.h"

#include <cstdlib>
#include <cstring>

#include "_services/binl/binl_files.h"
#include "_services/binl/binl_log.h"
#include "libs/platform/inf_file.h"

namespace {

const char* const kDecorations[] = {"NTx86", "NTia64", "NTamd64"};

// Parsed parts of a decoration, kept from one field of a line to the next.
struct Decoration {
    int arch = -1, major = -1, minor = -1, productType = -1, suiteMask = -1;
};

// Reads a number the way a scanf conversion does: optional blanks and sign, then digits of
// the base (base 0: "0x" hexadecimal, leading 0 octal, else decimal). False when none.
bool ReadNumber(const char* p, int base, int* out) {
    while (*p == ' ' || *p == '\t') ++p;
    char* end = nullptr;
    long v = std::strtol(p, &end, base);
    if (end == p) return false;
    *out = int(v);
    return true;
}

void ParseDecoration(const std::string& field, Decoration* d) {
    const char* text = field.c_str();
    if (FindTextNoCase(text, "x86"))
        d->arch = RIS_ARCH_X86;
    else if (FindTextNoCase(text, "ia64"))
        d->arch = RIS_ARCH_IA64;
    else if (FindTextNoCase(text, "amd64"))
        d->arch = RIS_ARCH_AMD64;
    int* parts[] = {&d->major, &d->minor, &d->productType, &d->suiteMask};
    const int bases[] = {10, 16, 10, 0};
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        p = std::strchr(p, '.');
        if (!p) break;
        ++p;
        ReadNumber(p, bases[i], parts[i]);
    }
}

// "PCI\VEN_%hX&DEV_%hX&SUBSYS_%X": vendor and device are required, the subsystem is 0 when
// the id has no such part.
bool ParseHardwareId(const std::string& id, uint16_t* vendor, uint16_t* device, uint32_t* subsystem) {
    auto hex = [](const char** p, uint32_t* v) {
        const char* s = *p;
        while (*s == ' ' || *s == '\t') ++s;
        char* end = nullptr;
        unsigned long x = std::strtoul(s, &end, 16);
        if (end == s) return false;
        *v = uint32_t(x);
        *p = end;
        return true;
    };
    auto literal = [](const char** p, const char* text) {
        size_t n = std::strlen(text);
        if (!StartsWithNoCase(*p, text)) return false;
        *p += n;
        return true;
    };
    const char* p = id.c_str();
    uint32_t v = 0, d = 0, s = 0;
    if (!literal(&p, "PCI\\VEN_") || !hex(&p, &v) || !literal(&p, "&DEV_") || !hex(&p, &d)) return false;
    if (!(literal(&p, "&SUBSYS_") && hex(&p, &s))) s = 0;
    *vendor = uint16_t(v);
    *device = uint16_t(d);
    *subsystem = s;
    return true;
}

// The first of the names that is a section of the file; empty when none is.
std::string FirstSection(const InfFile& inf, std::initializer_list<std::string> names) {
    for (const std::string& n : names)
        if (inf.HasSection(n)) return n;
    return "";
}

// Field 1 of the first line of a section.
bool FirstField(const InfFile& inf, const std::string& section, std::string* out) {
    const std::vector<InfLine>* lines = inf.Section(section);
    return lines && !lines->empty() && InfFile::Field(lines->front(), 1, out);
}

}  // namespace

bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name.find_first_of("/\\:") == std::string::npos && name.find("..") == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int RisParseNicInf(const std::string& path, int osMajor, int osMinor, int arch, std::vector<NicDriver>* out,
                   int capacity) {
    out->clear();
    if (arch < RIS_ARCH_X86 || arch > RIS_ARCH_AMD64) return -1;
    InfFile inf;
    if (inf.Open(path, "Net") != INF_OK) return -1;
    std::string guid;
    if (!inf.Value("Version", "ClassGUID", &guid) || !InfEqualNoCase(guid, kNetClassGuid)) return -1;
    const std::vector<InfLine>* manufacturers = inf.Section("Manufacturer");
    if (!manufacturers || manufacturers->empty()) return -2;
    const std::string suffix = kDecorations[arch];

    std::vector<NicDriver> table;
    for (const InfLine& m : *manufacturers) {
        std::string models;
        if (!InfFile::Field(m, 1, &models)) continue;
        std::string chosen;
        int E = -1, F = -1, G = -1;
        bool warn = false;
        Decoration d;
        for (int n = 2;; ++n) {
            std::string field;
            if (!InfFile::Field(m, n, &field)) break;
            if (!StartsWithNoCase(field, "NT")) continue;
            ParseDecoration(field, &d);
            if (d.productType != -1 || d.suiteMask != -1) warn = true;
            bool take = false, stop = false;
            if (d.arch == arch) {
                if (d.major == -1 && d.minor == -1) {
                    if (E == -1 && F == -1) take = true, E = F = -1, G = arch;
                } else if (d.major == -1) {
                    if (d.minor <= osMinor && d.minor > F) take = true, E = -1, F = d.minor, G = arch;
                } else if (d.major == osMajor && d.minor == -1) {
                    if (E == -1) take = true, E = osMajor, F = -1, G = arch;
                } else if (d.major == osMajor) {
                    if (d.minor <= osMinor && d.minor > F) {
                        take = true, E = osMajor, F = d.minor, G = arch;
                        stop = d.minor == osMinor;
                    }
                }
            } else if (d.arch == -1 && G == -1) {
                take = true, E = d.major, F = d.minor;
            }
            if (take) chosen = field;
            if (stop) break;
        }
        if (warn) {
            BinlLog("BINL Warn: Unexpected param, Please send error code and file to Nimbo's coder for analysis");
            BinlLog("BINL Warn: Error code=%d on %s", 1, path.c_str());
        }
        if ((arch == RIS_ARCH_IA64 && G != 1) || (arch == RIS_ARCH_AMD64 && G != 2)) continue;
        std::string section = FirstSection(inf, {models + "." + chosen, models});
        if (section.empty()) continue;

        for (const InfLine& model : *inf.Section(section)) {
            std::string install, hwid;
            if (!InfFile::Field(model, 1, &install) || !InfFile::Field(model, 2, &hwid)) continue;
            NicDriver nic;
            if (!ParseHardwareId(hwid, &nic.vendor, &nic.device, &nic.subsystem)) continue;
            std::string ddInstall = FirstSection(inf, {install + "." + suffix, install + ".NT", install});
            if (ddInstall.empty()) continue;
            const InfLine* bus = inf.FindLine(ddInstall, "BusType");
            std::string busType;
            if (!bus || !InfFile::Field(*bus, 1, &busType) || busType != "5") continue;
            const InfLine* copy = inf.FindLine(ddInstall, "CopyFiles");
            std::string copyField, driverFile;
            if (!copy || !InfFile::Field(*copy, 1, &copyField)) continue;
            if (!copyField.empty() && copyField[0] == '@')
                driverFile = copyField.substr(1);
            else if (!FirstField(inf, copyField, &driverFile))
                continue;
            std::string services = FirstSection(
                inf, {install + "." + suffix + ".Services", install + ".NT.Services", install + ".Services"});
            std::string service;
            if (services.empty() || !FirstField(inf, services, &service)) continue;
            // The driver file is later joined to the asset's folders: a plain name only.
            if (!IsPlainFileName(driverFile)) continue;

            bool known = false;
            for (const NicDriver& t : table)
                if (t.vendor == nic.vendor && t.device == nic.device) known = true;
            if (known) continue;
            if (int(table.size()) >= capacity) return -5;
            nic.service = service.substr(0, kNicNameChars);
            nic.driverFile = driverFile.substr(0, kNicNameChars);
            table.push_back(std::move(nic));
        }
    }
    *out = std::move(table);
    return 0;
}
