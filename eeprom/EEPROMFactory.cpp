#include "eeprom/EEPROMSerialAtmelImpl.h"
#include "eeprom/EEPROMSerialMCImpl.h"
#include "eeprom/EEPROMSerialSSTImpl.h"

namespace
{
// Device kinds whose EEPROM the program drives directly: the two bridges, the
// legacy and ISO GPUs and the Avrel generation. The later GPU generations
// reach their EEPROM only through microcode on their microcontroller.
bool IsDrivenDirectly(int32_t deviceKind)
{
    return (deviceKind >= 2 && deviceKind <= 8) || deviceKind == 14;
}

constexpr uint32_t kRomTypeStandardSpi = 1;
constexpr uint32_t kRomTypeSstSerial = 2;
constexpr uint32_t kRomTypeSwitchEeprom = 3;
} // namespace

CRefPtr<IEEPROM> CreateEEPROM(CRefPtr<IDevice> device, uint32_t romType, int32_t retryCount,
                              bool softwareRead, bool noMicrocontroller)
{
    if (!device)
    {
        return nullptr;
    }
    if (!noMicrocontroller && !IsDrivenDirectly(device->GetDeviceKind()))
    {
        // The secure EEPROM class of the microcontroller path belongs here;
        // until it exists these devices have no EEPROM driver.
        return nullptr;
    }
    switch (romType)
    {
    case kRomTypeStandardSpi:
        return CRefPtr<IEEPROM>(new CEEPROMSerialAtmelImpl(device, retryCount, softwareRead));
    case kRomTypeSstSerial:
        return CRefPtr<IEEPROM>(new CEEPROMSerialSSTImpl(device, retryCount, softwareRead));
    case kRomTypeSwitchEeprom:
        return CRefPtr<IEEPROM>(new CEEPROMSerialMCImpl(device, retryCount));
    default:
        return nullptr;
    }
}
