#pragma once
// GPUs before the ISO line (device kind 5): PROM pins and a debug port switched
// around EEPROM access, the control register at 0x1204, the ROM window at
// 0x700000, three I2C ports without line access.

#include "hw/device/DeviceGPUImpl.h"

class CDeviceGPULegacyImpl : public CDeviceGPUImpl
{
public:
    static constexpr uint32_t kPromPinsRegister = 0x1850;
    static constexpr uint32_t kDebugPortRegister = 0x1090;
    static constexpr uint32_t kControlRegister = 0x1204;
    static constexpr uint32_t kRomWindow = 0x700000;
    static constexpr uint32_t kRomWindowSize = 0x100000;

    explicit CDeviceGPULegacyImpl(CRefPtr<IPCIDeviceAccessor> accessor);

    void EnableROMAccess() override;
    void RestoreROMAccess() override;
    bool IsROMAccessEnabled() override;
    bool IsDebugPortEnabled() override;
    uint32_t GetROMType(bool fromStraps) override;
    bool IsROMTypeZero(bool fromStraps) override;
    uint32_t ReadROMControl() override;
    void WriteROMControl(uint32_t value) override;
    void IdleROMControl() override;
    uint8_t ReadROMWindowByte(uint32_t offset) override;

    std::vector<uint8_t> GetI2CPorts() override;
    I2CLineState GetI2CLines(uint8_t port) override;
    I2CLineState GetCachedI2CLines(uint8_t port) override;
    void SetI2CLines(uint8_t port, I2CLineState lines) override;

private:
    uint32_t m_savedDebugPort = 0;
    uint32_t m_savedPromPins = 0;
    // Enables not yet restored. Only the outermost saves, and only the restore
    // that ends it writes back; a restore without an enable writes nothing.
    uint32_t m_enableDepth = 0;
};
