#pragma once
// The PCI bus of one segment: finds the display adapters (the maker's GPUs and
// bridges, each looked up in the adapter catalogue), recording which bus lies
// behind which recognised bridge port; lists every PCI function with an
// optional dump of its configuration space; maps an adapter's registers.

#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <cstdint>
#include <vector>

using PCIDeviceAccessorList = std::vector<CRefPtr<IPCIDeviceAccessor>>;

// Selects functions for FindPCIDevices: segment and bus match exactly; a
// negative device or function matches any.
struct PCIFilter
{
    uint32_t segment = 0;
    uint32_t bus = 0;
    int32_t device = -1;
    int32_t function = -1;
};

// Device IDs of the maker's bridges and of functions always taken as adapter
// candidates, besides the catalogue's ZX22 block.
constexpr uint16_t kSecondBridgeDeviceId = 0x1E20;
constexpr uint16_t kForcedCandidateBase = 0x0F00; // eight IDs from here

class IPCIBus : public IReferenceCount
{
public:
    static CRefPtr<IPCIBus> Create();

    // The adapters of the machine in the order the walk met them. An unknown
    // display function is kept (named "Unknown display adapter") only when
    // `keepUnknown` is set and a device class can serve it.
    virtual DisplayAdapterList& FindDevices(DisplayAdapterList& adapters,
                                            CRefPtr<IDisplayAdapterDatabase> database,
                                            bool keepUnknown, CLog* log) = 0;
    // Every present function that matches the filter (all when none); prints
    // a line per function and `dumpLength` bytes of configuration space when
    // asked.
    virtual PCIDeviceAccessorList& FindPCIDevices(PCIDeviceAccessorList& accessors,
                                                  uint32_t dumpLength, const PCIFilter* filter,
                                                  bool print, CLog* log) = 0;
    virtual void MapAdapter(CRefPtr<IDisplayAdapter> adapter) = 0;
    virtual void UnmapAdapter(CRefPtr<IDisplayAdapter> adapter) = 0;
    virtual void Reset() = 0;

protected:
    ~IPCIBus() = default;
};

// The process-wide bus, created on first call; the pointer is borrowed.
IPCIBus* GetPCIBus();
