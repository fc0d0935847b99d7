#pragma once
// The ZX22 bridge device. Placeholder until its register access is built.

#include "hw/device/DeviceBaseImpl.h"

class CDeviceBridgeZX22Impl : public CDeviceBaseImpl
{
public:
    explicit CDeviceBridgeZX22Impl(CRefPtr<IPCIDeviceAccessor> accessor);

    void EnableROMAccess() override;
    void RestoreROMAccess() override;
    bool IsROMAccessEnabled() override;
    bool IsDebugPortEnabled() override;
    uint32_t GetROMType(bool fromStraps) override;
    bool IsROMTypeZero(bool fromStraps) override;
    uint32_t ReadROMControl() override;
    void WriteROMControl(uint32_t value) override;
    void IdleROMControl() override;
    uint8_t ReadROMByte(int32_t offset) override;
    void WriteROMByte(int32_t offset, uint8_t value) override;
    uint8_t ReadROMWindowByte(uint32_t offset) override;
};
