#pragma once
// The abstract base of the GPU devices: chip identity from register 0, the
// PROM window (EEPROM bytes at BAR0 + 0x300000), and the I2C line-level
// operations bit-banged over a port's line register. Each generation supplies
// the line register access.

#include "hw/device/DeviceBaseImpl.h"

#include <array>
#include <cstdint>
#include <exception>
#include <vector>

// Levels of a port's two lines, {SDA, SCL}: 1 high, 0 low, -1 unknown (on
// reads), any (in a wanted state) or leave as it is (when set).
struct I2CLineState
{
    int sda = -1;
    int scl = -1;
    bool operator==(const I2CLineState&) const = default;
};

class CDeviceGPUImpl : public CDeviceBaseImpl
{
public:
    static constexpr uint32_t kPromWindow = 0x300000;
    // The PROM window decodes 1 MiB of the EEPROM.
    static constexpr uint32_t kPromWindowSize = 0x100000;
    // Reads of a line that does not reach its level give up after this many.
    static constexpr int kLineWaitReads = 5000;
    // The ROM type each value of the two strap bits selects.
    static constexpr std::array<uint32_t, 4> kRomTypeByStrap{0, 1, 2, 4};

    CDeviceGPUImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);

    // Bits 24-28 and 20-23 of register 0.
    virtual uint32_t GetArchitecture();
    virtual uint32_t GetImplementation();
    virtual I2CLineState GetI2CLines(uint8_t port) = 0;
    virtual I2CLineState GetCachedI2CLines(uint8_t port) = 0;
    virtual void SetI2CLines(uint8_t port, I2CLineState lines) = 0;
    // 0 once the lines match, 6 when they do not within kLineWaitReads reads.
    virtual int32_t WaitI2CLines(uint8_t port, I2CLineState wanted);
    virtual void PortMaskToList(std::vector<uint8_t>& ports, uint16_t mask);
    virtual int32_t TransferI2CBit(uint8_t port, int bitOut, int& bitIn);
    virtual int32_t TransferI2CByte(uint8_t port, uint8_t byteOut, uint8_t& byteIn);

    // The PROM window. Offsets outside the window raise std::out_of_range.
    uint8_t ReadROMByte(int32_t offset) override;
    void WriteROMByte(int32_t offset, uint8_t value) override;

    int32_t I2CStart(uint8_t port) override;
    int32_t I2CStop(uint8_t port) override;
    int32_t I2CSendAck(uint8_t port, int32_t bit) override;
    int32_t I2CReadAck(uint8_t port, int32_t& ack) override;
    int32_t I2CWriteByte(uint8_t port, uint8_t byte) override;
    int32_t I2CReadByte(uint8_t port, uint8_t& byte) override;

protected:
    // The register of a window byte: raises std::out_of_range unless
    // [offset, offset + 1) lies inside a window of `size` bytes.
    static uint32_t WindowRegister(uint32_t window, uint32_t size, int64_t offset,
                                   const char* what);
    void Delay(uint32_t microseconds);
    // One step of a restore: an error it raises is logged at level 4 with
    // what was being restored, and the restore goes on.
    template <class Step> static void RunRestoreStep(const char* what, Step step)
    {
        try
        {
            step();
        }
        catch (const std::exception& error)
        {
            LogRestoreFailure(what, error.what());
        }
    }
    static void LogRestoreFailure(const char* what, const char* reason);
};
