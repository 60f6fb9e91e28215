// The network cards a driver INF file installs on a RIS asset's system: PCI vendor and
// device, subsystem, service name and driver file, for the asset's driver table.
#pragma once
#include <string>
#include <vector>

#include "_services/binl/binl_records.h"

constexpr int kNicInfCapacity = 150;
// Names are stored in 100-byte slots: at most 99 characters each.
constexpr size_t kNicNameChars = 99;

enum RisArch : int { RIS_ARCH_X86 = 0, RIS_ARCH_IA64 = 1, RIS_ARCH_AMD64 = 2 };

// 0 read (out may be empty); -1 not a Net-class INF; -2 no [Manufacturer] section; -5 more
// distinct vendor and device pairs than capacity. On every result but 0, out is empty.
int RisParseNicInf(const std::string& path, int osMajor, int osMinor, int arch, std::vector<NicDriver>* out,
                   int capacity = kNicInfCapacity);

// A driver file name that may be joined to a folder: not empty, no '/', '\', ':' or "..".
bool IsPlainFileName(const std::string& name);
