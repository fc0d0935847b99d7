#pragma once
// Three adapters on the engineering rig, as the flash sees them: two on
// bus 1 (devices 0 and 1), one on bus 2.

#include "EngineeringRig.h"

#include "core/Log.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <vector>

inline const std::vector<RigGpu> kResultsGpus = {
    {1, 0, 0x0800, RigFirmware()}, {1, 1, 0x0800, RigFirmware()}, {2, 0, 0x0800, RigFirmware()}};

inline DisplayAdapterList ResultsAdapters()
{
    DisplayAdapterList adapters;
    CLog log;
    EnumerateAdapters(adapters, GetPCIBus(), CreateDisplayAdapterDatabase(), {}, {}, &log);
    return adapters;
}
