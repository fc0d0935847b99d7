#pragma once
// The parent of the ZX22 bridge class; it adds nothing to the device base. The
// secondary-bus body is shared by both bridge classes (the PLX switch class
// derives from the device base directly).

#include "hw/device/DeviceBaseImpl.h"

class CDeviceBridgeImpl : public CDeviceBaseImpl
{
public:
    using CDeviceBaseImpl::CDeviceBaseImpl;
};

// Type 1 configuration header offsets both bridge classes read.
inline constexpr uint32_t kConfigBar0 = 0x10;
inline constexpr uint32_t kConfigBusNumbers = 0x18;

// Bits 8-15 of the bridge's own bus-number dword.
inline uint8_t ReadBridgeSecondaryBus(IDevice& bridge)
{
    return static_cast<uint8_t>(bridge.ReadConfig32(kConfigBusNumbers) >> 8);
}
