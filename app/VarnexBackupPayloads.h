#pragma once
// The Varnex backup region's two copies of the store: the file-system form
// for the main object, the raw form for the backup.

#include "core/Log.h"
#include "varnex/VarnexImage.h"

#include <cstdint>
#include <vector>

struct BackupPayloads
{
    std::vector<uint8_t> fileSystem;
    std::vector<uint8_t> raw;
};

inline BackupPayloads PayloadsOf(const CVarnexImage& store, CLog* log)
{
    return {store.Serialize(CVarnexImage::kSerializeFileSystem, log), store.GetRawBytes(log)};
}
