// NWA_PXE assets: non-Windows systems described by NimboAsset.inf.
#pragma once
#include <cstdint>
#include <string>

#include "_services/binl/binl_context.h"

// Replaces "$COMP_NAME$" and "$HEAD_DIR$" (found without case, every occurrence, left to
// right) in a kernel or append value.
std::string ExpandNwaTokens(const std::string& value, const std::string& computerName, const std::string& head);

// Builds root/NWA_PXE/<head>/_NIMBO_/NimboBINL.dat from the description:
// 1 built, 0 unchanged, -1 failed or no description. shareUsed is set when a built append
// value names NWA_PXE_SHARE.
int NwaBuildAsset(const BinlContext& ctx, const std::string& head, bool* shareUsed);

// Prepares every NWA asset; 1 when one was built. count: head folders with a data file.
int NwaScanAssets(const BinlContext& ctx, int* count, bool* shareUsed, uint32_t* stamp);
