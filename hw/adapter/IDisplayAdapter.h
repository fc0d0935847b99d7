#pragma once
// One adapter found on the PCI bus: a GPU, a ZX22 bridge or a PLX PEX 8747
// switch. It joins the adapter's catalogue entry, its device (built from the
// entry's device kind) and, for GPUs, the accessor of the on-board MCU.
// Everything above the hardware layer reaches the adapter through it.

#include "core/AdapterContext.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/IDevice.h"
#include "hw/mcu/IGmacAccessor.h"

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

// What the device-ID switch needs of a firmware image, read by the caller that
// holds the image: the two words at 0x60 and 0x64 of its first legacy PCI
// block, and its PCI device ID.
struct DevIdImageFacts
{
    // False when the image has no legacy block; the words are then unknown.
    bool hasLegacyBlock = false;
    uint32_t legacyWord60 = 0;
    uint32_t legacyWord64 = 0;
    uint16_t imageDeviceId = 0;
};

// The facts of a firmware image, read through its FindNthPCIBlock, GetDword and
// GetDeviceID (a template, since the image model lies above this layer). An
// image without a legacy block (-1), or with one too near the end of the
// offsets to hold the two words, gives facts that never switch.
template <class Image> DevIdImageFacts ReadDevIdImageFacts(Image& image)
{
    DevIdImageFacts facts;
    facts.imageDeviceId = image.GetDeviceID();
    const int32_t block = image.FindNthPCIBlock(0, 0);
    if (block < 0 || block > std::numeric_limits<int32_t>::max() - 0x64)
    {
        return facts;
    }
    facts.hasLegacyBlock = true;
    facts.legacyWord60 = image.GetDword(block + 0x60);
    facts.legacyWord64 = image.GetDword(block + 0x64);
    return facts;
}

class IDisplayAdapter : public IAdapterContext
{
public:
    // PrintDescription(out, false, detailed), a new line and a flush.
    virtual void PrintDescriptionLine(std::ostream& out, bool detailed) = 0;
    // The catalogue name in a field of 20, then the IDs and hierarchy (detailed)
    // or "Device Path: ", then the PCI address.
    virtual void PrintDescription(std::ostream& out, bool shortLocation, bool detailed) = 0;
    virtual std::string GetName() = 0;
    // The device ID the GPU reports in its registers; 0 until MapRegisters
    // reads it (only for entries that ask for it).
    virtual uint16_t GetRegisterDeviceID() = 0;
    virtual uint16_t GetDeviceID() = 0;
    virtual uint16_t GetVendorID() = 0;
    virtual uint16_t GetSubsystemDeviceID() = 0;
    virtual uint16_t GetSubsystemVendorID() = 0;
    // Strap register 0 or 1; 0 for any other index or when the straps are not
    // kept in the EEPROM.
    virtual uint32_t ReadStraps(uint32_t index) = 0;
    virtual bool HasEEPROMStraps() = 0;
    virtual uint16_t GetFeatureMask() = 0;
    virtual uint8_t GetCatalogueFlagA() = 0;
    virtual bool HasIeee1394Guid() = 0;
    virtual uint8_t GetCatalogueFlagB() = 0;
    virtual uint8_t GetCatalogueFlagC() = 0;
    virtual bool HasSecondaryDevId() = 0;
    virtual bool HasSecondaryDevIdOrFlagC() = 0;
    virtual void MapRegisters() = 0;
    virtual void UnmapRegisters() = 0;
    virtual uint8_t ReadROMByte(int32_t offset) = 0;
    virtual uint32_t ReadROMDword(int32_t offset) = 0;
    virtual uint32_t Read32(uint32_t offset) = 0;
    virtual void Write32(uint32_t offset, uint32_t value) = 0;
    virtual uint16_t Read16(uint32_t offset) = 0;
    virtual void Write16(uint32_t offset, uint16_t value) = 0;
    virtual uint8_t ReadROMWindowByte(uint32_t offset) = 0;
    // A byte into the PROM window (0x300000 + offset).
    virtual void WritePROMByte(uint32_t offset, uint8_t value) = 0;
    virtual void WriteROMDword(int32_t offset, uint32_t value) = 0;
    // Bracket every EEPROM operation.
    virtual void EnableROMAccess() = 0;
    virtual void RestoreROMAccess() = 0;
    virtual bool IsDebugPortEnabled() = 0;
    virtual uint32_t GetROMType() = 0;
    virtual bool IsROMTypeZero() = 0;
    virtual bool IsROMAccessEnabled() = 0;
    virtual bool HasAGPCapability() = 0;
    // BAR0 is assigned.
    virtual bool IsConfigured() = 0;
    // 0 on a plain slot, switch port + 1 behind a recognised bridge port.
    virtual uint32_t GetHierarchyIndex() = 0;
    // "--" on a plain slot, else the parent bus in two hex digits.
    virtual std::string GetParentBusText() = 0;
    virtual std::string GetHierarchyName() = 0;
    virtual std::string GetHierarchyShortName() = 0;
    // The averaged speedometer reading; std::runtime_error where there is none.
    virtual uint32_t GetSpeedometerValue(CLog* log) = 0;
    virtual CRefPtr<IDevice> GetDevice() = 0;
    // "Graphics", "Compute" or "Unknown" by the function's class code.
    virtual std::string GetGpuModeText() = 0;
    // Empty for bridges.
    virtual CRefPtr<IGmacAccessor> GetGmacAccessor() = 0;
    virtual std::string GetGmacName() = 0;
    // Whether an image made for this GPU's other device ID (primary versus
    // secondary) may be written to it. No image: false.
    virtual bool SwitchDevID(const DevIdImageFacts* image, CLog* log) = 0;
    virtual uint32_t ReadROMControl() = 0;
    virtual void WriteROMControl(uint32_t value) = 0;

protected:
    ~IDisplayAdapter() = default;
};

// Adapters in the order the bus scan made them.
using DisplayAdapterList = std::vector<CRefPtr<IDisplayAdapter>>;

// A new adapter for a catalogue entry over the function's accessor. Raises the
// device factory's error for an entry whose device kind has no device class.
CRefPtr<IDisplayAdapter> CreateDisplayAdapter(const CDisplayAdapterType& type,
                                              uint16_t subsystemVendorId,
                                              uint16_t subsystemDeviceId,
                                              CRefPtr<IPCIDeviceAccessor> accessor);

// The speedometer families: device IDs whose low four bits are cleared.
constexpr uint16_t kSpeedometerFamilyFour = 0x0C00; // four speedometers
constexpr uint16_t kSpeedometerFamilyTwo = 0x0B00;  // two speedometers

// The rows of the hierarchy-name table (index 0 and switch ports 0 to 17).
constexpr uint32_t kHierarchyNameCount = 19;
