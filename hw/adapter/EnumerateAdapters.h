#pragma once
// The adapters an application works on: the bus scan's result without the
// PLX switch functions of the motherboard and the adapters whose registers are
// not configured, filtered by device ID (or, in reverse mode, with the matching
// adapters removed). Adapters come out ordered by segment, bus, device and
// function, so every run visits them in the same order.

#include "core/Log.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"

#include <cstdint>
#include <vector>

// Matches an adapter whose device ID AND mask equals value.
struct DeviceIdFilter
{
    uint16_t value = 0;
    uint16_t mask = 0;
};

struct EnumerateOptions
{
    bool keepUnknown = false;
    // Note unconfigured adapters at level 4.
    bool reportUnconfigured = false;
    // Remove the adapters the filters match instead of selecting them.
    bool reverse = false;
    // Descriptions in the notes with IDs and hierarchy.
    bool detailed = false;
};

// Reads the options "offsysplxfilter" and "reversefilterid" from the command
// line when one exists.
DisplayAdapterList& EnumerateAdapters(DisplayAdapterList& result, CRefPtr<IPCIBus> bus,
                                      CRefPtr<IDisplayAdapterDatabase> database,
                                      const std::vector<DeviceIdFilter>& filters,
                                      const EnumerateOptions& options, CLog* log);

// Keeps the PLX switch functions whose secondary bus leads to one of the
// list's other adapters, after them, and orders the result by PCI address.
DisplayAdapterList& FilterOnboardBridges(DisplayAdapterList& result,
                                         const DisplayAdapterList& adapters, CLog* log);

// Orders adapters by segment, bus, device and function.
void SortByPciAddress(DisplayAdapterList& adapters);
