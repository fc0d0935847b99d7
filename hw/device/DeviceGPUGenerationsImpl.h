#pragma once
// The GPU generations after ISO. Each differs from its parent only in what it
// overrides: Avrel2 (kinds 7 and 8) moves the I2C register blocks to 0xD000
// and reads live line levels from bits 4-5; Cendra1 (9) adds nothing;
// Cendra2 (10) raises the EEPROM and microcontroller clocks and moves the I2C
// controller status registers; Dolvik (11) and Dolvik1 (12) raise clocks
// their own way and move the mutex unit; Estrel (13) raises none.

#include "hw/device/DeviceGPUISOImpl.h"

class CDeviceGPUAvrel2Impl : public CDeviceGPUISOImpl
{
public:
    CDeviceGPUAvrel2Impl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);

    uint32_t GetI2CPortRegister(uint32_t kind, uint8_t port) override;
    I2CLineState GetI2CLines(uint8_t port) override;
    I2CLineState GetCachedI2CLines(uint8_t port) override;
    void SetI2CPortConfig(uint8_t port, const I2CPortConfig& config) override;
    void GetI2CPortConfig(uint8_t port, I2CPortConfig& config) override;

    static constexpr uint32_t kPadConfigBase = 0xD610;
    static constexpr uint32_t kPadCommitRegister = 0xD604;
    // Reads of the commit register before a pad write counts as failed.
    static constexpr int kPadCommitPolls = 1000;
};

class CDeviceGPUCendra1Impl : public CDeviceGPUAvrel2Impl
{
public:
    CDeviceGPUCendra1Impl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);
};

class CDeviceGPUCendra2Impl : public CDeviceGPUCendra1Impl
{
public:
    CDeviceGPUCendra2Impl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);

    virtual bool RaiseClocks();
    virtual bool WaitClockStatusBit16(uint32_t microseconds);
    virtual bool WaitClockStatusBit17(uint32_t microseconds);

    bool InitializeClocks() override;
    bool IsI2CControllerBusy() override;

    static constexpr uint32_t kClockStatusRegister = 0xE800;

protected:
    bool WaitForBit(uint32_t reg, uint32_t bit, uint32_t microseconds);
};

class CDeviceGPUDolvikImpl : public CDeviceGPUCendra2Impl
{
public:
    CDeviceGPUDolvikImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);
    ~CDeviceGPUDolvikImpl() override;

    virtual bool RaiseClocksKind11();
    virtual bool RaiseClocksKind12();
    virtual bool WaitClockLock(uint32_t microseconds);

    bool InitializeClocks() override;

    static constexpr uint32_t kPllControlRegister = 0x1370A0;
    static constexpr uint32_t kPllConfigRegister = 0x1370A8;
    static constexpr uint32_t kPllDividerRegister = 0x1370B8;

protected:
    MutexRegisterSet GetMutexRegisters() const override;
};

class CDeviceGPUDolvik1Impl : public CDeviceGPUDolvikImpl
{
public:
    CDeviceGPUDolvik1Impl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);
};

class CDeviceGPUEstrelImpl : public CDeviceGPUDolvikImpl
{
public:
    CDeviceGPUEstrelImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);

    bool InitializeClocks() override;
};
