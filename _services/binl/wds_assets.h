// WDS assets: Windows installation sources of the image-based generation below
// root/WIA_WDS, made bootable over the network (boot files, a private Windows PE boot image
// with the asset's network drivers, a BCD store that boots it from a RAM disk).
#pragma once
#include <cstdint>
#include <string>

#include "_services/binl/binl_context.h"

struct BinlAssetHeader;

// 0 complete (boot\boot.sdi, sources\boot.wim and sources\install.wim or .esd), 3 incomplete.
int WdsCheckAssetFiles(const std::string& asset);
// 1 changed, 0 unchanged, negative on failure.
int WdsBuildAsset(const BinlContext& ctx, const std::string& head);
// 1 when a shared EFI boot manager was copied or updated from this asset, 0 otherwise, -1.
int WdsPrepareAssetTree(const BinlContext& ctx, const std::string& head);
// Number of files put into the private boot image (>= 0) or -1.
int WdsBuildBootWim(const BinlContext& ctx, const std::string& asset);
// 0, or -1 when a temporary file cannot be written.
int WdsPrepareInjectionFiles(const BinlContext& ctx);
void WdsFillBinlHeader(const BinlContext& ctx, const std::string& asset, BinlAssetHeader* header);
// The change stamp: the asset path and the find data and names of its NIC driver files.
uint32_t WdsAssetStamp(const std::string& asset);

// What the BCD store of an asset is built from; paths inside the store are relative to the
// TFTP root and begin with a backslash.
struct WdsStoreSpec {
    std::string storePath;
    std::string imagePath;
    std::string loadOptions;
    std::string sdiPath;
    std::string fontsPath;
};
WdsStoreSpec WdsStoreSpecOf(const BinlContext& ctx, const std::string& head);
// Builds the store beside its place and moves it there. 0 or -1.
int BcdCreateWdsStore(const WdsStoreSpec& spec);

const std::string& WdsReadmeText();
const std::string& WdsOemHelpText();
const std::string& WdsBootReadmeText();
const std::string& WdsNicReadmeText();
const std::string& WdsSourcesOemReadmeText();
