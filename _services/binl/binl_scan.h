// The walk over the head folders of one asset kind (WIA_RIS, NWA_PXE, ...) shared by the scans.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "_services/binl/binl_context.h"

// Writes kind/NimboReadme.txt when missing (creating the kind's folder), then builds every
// head folder that is not switched off ("off_"): a name with a blank or '?' is logged and
// skipped; build(head) returns 1 changed, 0 unchanged or negative; assets built without
// failure XOR their folder stamp into stamp; count gets the heads whose NimboBINL.dat exists.
// Returns 1 when any asset changed, else 0.
int ScanHeadFolders(const BinlContext& ctx, const char* kind, const std::string& readme,
                    const std::function<int(const std::string& head)>& build, int* count, uint32_t* stamp);
