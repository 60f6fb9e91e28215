// RIS assets: Windows installation sources of the 5.x generation below root/WIA_RIS, made
// bootable over the network (boot files, driver table, answer file winnt.sif).
#pragma once
#include <cstdint>
#include <string>

#include "_services/binl/binl_context.h"

// Record buffer bound of one asset's driver table (bytes of records).
constexpr size_t kRisRecordLimit = 1999900;

// The architecture folder of an asset as it is spelt on disk ("AMD64", "IA64" or "I386", first
// that exists, letters without case) and its index; -1 and empty when none.
int RisArchitecture(const std::string& asset, std::string* folder);

// 1 prepared anew, 0 unchanged, -1 failed or not an asset, -5 the driver records exceed the bound.
int RisBuildAsset(const BinlContext& ctx, const std::string& head);
// 0, or -1 when a boot file cannot be made.
int RisPrepareBootFiles(const std::string& asset);
// 0 or -1.
int RisWriteWinntSif(const BinlContext& ctx, const std::string& head, int arch);
// The text of winnt.sif for an asset.
std::string RisWinntSifText(const std::string& computerName, const std::string& head, int arch);

// Texts of the read-me files.
const std::string& RisReadmeText();
const std::string& RisOemReadmeText();
