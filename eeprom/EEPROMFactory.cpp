#include "eeprom/EEPROMSecureFlashImpl.h"
#include "eeprom/EEPROMSerialAtmelImpl.h"
#include "eeprom/EEPROMSerialMCImpl.h"
#include "eeprom/EEPROMSerialSSTImpl.h"
#include "hw/catalogue/AdapterCatalogue.h"

namespace
{
constexpr uint32_t kRomTypeStandardSpi = 1;
constexpr uint32_t kRomTypeSstSerial = 2;
constexpr uint32_t kRomTypeSwitchEeprom = 3;

// The direct driver for the EEPROM type, or null when there is none.
CEEPROMBaseImpl* NewDirectDriver(CRefPtr<IDevice> device, uint32_t romType, int32_t retryCount,
                                 bool softwareRead)
{
    switch (romType)
    {
    case kRomTypeStandardSpi:
        return new CEEPROMSerialAtmelImpl(std::move(device), retryCount, softwareRead);
    case kRomTypeSstSerial:
        return new CEEPROMSerialSSTImpl(std::move(device), retryCount, softwareRead);
    case kRomTypeSwitchEeprom:
        return new CEEPROMSerialMCImpl(std::move(device), retryCount);
    default:
        return nullptr;
    }
}

bool HasDirectDriver(IDevice& device, bool noMicrocontroller)
{
    return noMicrocontroller || TraitsOfDeviceKind(device.GetDeviceKind()).directEeprom;
}
} // namespace

CRefPtr<IEEPROM> CreateEEPROM(CRefPtr<IDevice> device, uint32_t romType, int32_t retryCount,
                              bool softwareRead, bool noMicrocontroller)
{
    if (!device || !HasDirectDriver(*device, noMicrocontroller))
    {
        return nullptr;
    }
    return CRefPtr<IEEPROM>(NewDirectDriver(device, romType, retryCount, softwareRead));
}

CRefPtr<IEEPROM> CreateEEPROM(CRefPtr<IDisplayAdapter> adapter, int32_t retryCount,
                              bool softwareRead, bool noMicrocontroller)
{
    if (!adapter)
    {
        return nullptr;
    }
    CRefPtr<IDevice> device = adapter->GetDevice();
    if (!device)
    {
        return nullptr;
    }
    CEEPROMBaseImpl* driver =
        HasDirectDriver(*device, noMicrocontroller)
            ? NewDirectDriver(device, adapter->GetROMType(), retryCount, softwareRead)
            : new CEEPROMSecureFlashImpl(device, retryCount, softwareRead);
    if (!driver)
    {
        return nullptr;
    }
    CRefPtr<IEEPROM> eeprom(driver);
    driver->UseAdapterForRomAccess(adapter);
    return eeprom;
}
