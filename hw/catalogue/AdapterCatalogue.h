#pragma once
// The display-adapter catalogue: for each PCI vendor and device ID the program
// serves, the device kind that selects the device class, capability flags, the
// feature mask and the marketing name.

#include "core/DeviceKindTraits.h"
#include "core/RefCount.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Device kinds: the number that selects the IDevice class. What each kind
// means to the program's rules is its row of kDeviceKindTraits.
enum EDeviceKind : uint32_t
{
    kDeviceKindUnknown = 0,
    kDeviceKindZX22 = 2,
    kDeviceKindPLX8747 = 3,
    kDeviceKindLegacyGpu = 5,
    kDeviceKindIso = 6,
    kDeviceKindAvrel2 = 7,
    kDeviceKindAvrel2b = 8,
    kDeviceKindCendra1 = 9,
    kDeviceKindCendra2 = 10,
    kDeviceKindDolvik = 11,
    kDeviceKindDolvik1 = 12,
    kDeviceKindEstrel = 13,
};

constexpr uint16_t kKorvanVendorId = 0x7E2B;
constexpr uint16_t kPlxVendorId = 0x10B5;

// One row of the static adapter table.
struct AdapterCatalogueRecord
{
    uint16_t vendorId;
    uint16_t deviceId;
    uint32_t deviceKind;
    uint8_t registerDeviceIdFlag;
    uint8_t reservedFlag9;
    uint8_t reservedFlag10;
    uint8_t reservedFlag11;
    uint8_t romTypeFromStraps;
    uint8_t eepromStraps;
    uint16_t featureMask;
    uint8_t flagA;
    uint8_t masksC040;
    uint8_t ieee1394Guid;
    uint8_t flagB;
    uint8_t flagC;
    uint8_t secondaryDevId;
    const char* name;
};

// The rows of the adapter table, in table order. The simulated machine and the
// test kit build their adapters from the same rows.
std::span<const AdapterCatalogueRecord> GetAdapterCatalogueRecords();
// The first device ID of the aligned block of sixteen ZX22 bridge IDs.
uint16_t GetZX22DeviceIdBase();

// One adapter entry, copied by value. An entry is known when its vendor ID is
// not 0.
class CDisplayAdapterType
{
public:
    CDisplayAdapterType() = default;
    explicit CDisplayAdapterType(const AdapterCatalogueRecord& record);
    virtual ~CDisplayAdapterType() = default;
    CDisplayAdapterType(const CDisplayAdapterType&) = default;
    CDisplayAdapterType& operator=(const CDisplayAdapterType&) = default;

    // An entry for a display device the catalogue lacks.
    static CDisplayAdapterType CreateUnknown(uint16_t vendorId, uint16_t deviceId,
                                             const std::string& name);

    virtual bool HasEEPROMStraps() const { return eepromStraps != 0; }
    virtual uint16_t GetFeatureMask() const { return featureMask; }
    virtual uint8_t GetCatalogueFlagA() const { return flagA; }
    virtual bool MasksC040DuringROMAccess() const { return masksC040 != 0; }
    virtual bool HasIeee1394Guid() const { return ieee1394Guid != 0; }
    virtual uint8_t GetCatalogueFlagB() const { return flagB; }
    virtual uint8_t GetCatalogueFlagC() const { return flagC; }
    virtual bool HasSecondaryDevId() const { return secondaryDevId != 0; }

    bool IsKnown() const { return vendorId != 0; }

    uint16_t vendorId = 0;
    uint16_t deviceId = 0;
    uint32_t deviceKind = 0;
    uint8_t registerDeviceIdFlag = 0;
    uint8_t reservedFlag9 = 0;
    std::string name = "Unknown";
    uint8_t reservedFlag10 = 0;
    uint8_t reservedFlag11 = 0;
    uint8_t romTypeFromStraps = 0;
    uint8_t eepromStraps = 0;
    uint16_t featureMask = 0;
    uint8_t flagA = 0;
    uint8_t masksC040 = 0;
    uint8_t ieee1394Guid = 0;
    uint8_t flagB = 0;
    uint8_t flagC = 0;
    uint8_t secondaryDevId = 0;
};

class IDisplayAdapterDatabase : public IReferenceCount
{
public:
    // The entry for the pair, or the default entry named "Unknown".
    virtual void GetAdapterType(CDisplayAdapterType& type, uint16_t vendorId,
                                uint16_t deviceId) = 0;
    // Every entry, ordered by vendor ID, then device ID.
    virtual void GetAdapterTypes(std::vector<CDisplayAdapterType>& types) = 0;
};

// A new, independent catalogue object on every call.
IDisplayAdapterDatabase* CreateDisplayAdapterDatabase();
