#pragma once
// The maker's GPUs the sample generators make: the catalogued display
// adapters (device ID, device kind, name), so that a sample never names an
// adapter the updater would not recognise.

#include "ToolArguments.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <cstdio>
#include <string>

// The catalogued Korvan GPU of the device ID; refused when there is none.
inline const AdapterCatalogueRecord& SampleGpu(uint16_t deviceId)
{
    for (const AdapterCatalogueRecord& record : GetAdapterCatalogueRecords())
    {
        if (record.vendorId == kKorvanVendorId && record.deviceId == deviceId &&
            TraitsOfDeviceKind(record.deviceKind).gpu)
        {
            return record;
        }
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04X", deviceId);
    throw ToolRefusal("device ID " + std::string(text) +
                      " is no Korvan GPU the updater knows (see --help for the device IDs)");
}

// One line "0800  kind 8   Korvan Avrel2 800" for every catalogued GPU.
inline std::string SampleGpuList()
{
    std::string list;
    for (const AdapterCatalogueRecord& record : GetAdapterCatalogueRecords())
    {
        if (record.vendorId != kKorvanVendorId || !TraitsOfDeviceKind(record.deviceKind).gpu)
        {
            continue;
        }
        char line[96];
        std::snprintf(line, sizeof line, "        %04X  kind %-2u  %s\n", record.deviceId,
                      record.deviceKind, record.name);
        list += line;
    }
    return list;
}
