#pragma once
// One PCI function the program drives: a PCI Express bridge (the ZX22 bridge,
// the PLX PEX 8747 switch) or a GPU of one generation. Through it the program
// reaches the function's firmware EEPROM (ROM window, EEPROM control register,
// enable and restore around EEPROM access, straps telling the EEPROM type),
// its registers and configuration space, its place on the bus, and its I2C
// master. The device kind of the adapter catalogue picks the class.

#include "core/RefCount.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/device/II2CMaster.h"

#include <cstdint>
#include <ostream>
#include <vector>

class CLog;

class IDevice : public II2CMaster, public IReferenceCount
{
public:
    // A new device of the class the kind selects, over the accessor.
    // std::runtime_error "IDevice::Create: Unknown/unsupported device type" for
    // a kind outside 2, 3 and 5-13.
    static CRefPtr<IDevice> Create(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);

    // Called once the bus scan has built every adapter, with the accessors of
    // the candidate functions it kept; only the ZX22 bridge does anything.
    virtual void ScanForChildren(const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates,
                                 CLog& log) = 0;
    virtual int32_t GetDeviceKind() = 0;
    // Prepares the device for EEPROM access, and undoes that.
    virtual void EnableROMAccess() = 0;
    virtual void RestoreROMAccess() = 0;
    virtual bool IsROMAccessEnabled() = 0;
    // True while the switch that EnableROMAccess turns off is on.
    virtual bool IsDebugPortEnabled() = 0;
    // The EEPROM type (0-4) the EEPROM layer picks its driver by.
    virtual uint32_t GetROMType(bool fromStraps) = 0;
    virtual bool IsROMTypeZero(bool fromStraps) = 0;
    // The EEPROM control register the EEPROM drivers bit-bang as SPI.
    virtual uint32_t ReadROMControl() = 0;
    virtual void WriteROMControl(uint32_t value) = 0;
    virtual void IdleROMControl() = 0;
    virtual void PrintLocation(std::ostream& out, bool shortForm) = 0;
    virtual void MapRegisters() = 0;
    virtual void UnmapRegisters() = 0;
    virtual uint8_t Read8(uint32_t offset) = 0;
    virtual void Write8(uint32_t offset, uint8_t value) = 0;
    virtual uint32_t Read32(uint32_t offset) = 0;
    virtual void Write32(uint32_t offset, uint32_t value) = 0;
    virtual uint16_t Read16(uint32_t offset) = 0;
    virtual void Write16(uint32_t offset, uint16_t value) = 0;
    virtual uint8_t ReadROMByte(int32_t offset) = 0;
    // Four bytes from offset, little-endian.
    virtual uint32_t ReadROMDword(int32_t offset) = 0;
    virtual void WriteROMByte(int32_t offset, uint8_t value) = 0;
    // Bits 0-7 at offset first, bits 24-31 at offset + 3 last.
    virtual void WriteROMDword(int32_t offset, uint32_t value) = 0;
    // A byte of the image as the device presents it now.
    virtual uint8_t ReadROMWindowByte(uint32_t offset) = 0;
    // Where the ROM window starts in the EEPROM (the flashing engine sets it
    // after an update).
    virtual void UpdateROMWindowOffset(uint32_t offset) = 0;
    virtual bool HasAGPCapability() = 0;
    virtual bool IsBar0Assigned() = 0;
    virtual bool IsNormalBoard() = 0;
    virtual int32_t GetSwitchPort() = 0;
    virtual uint32_t ReadConfig32(uint32_t offset) = 0;
    virtual void WriteConfig32(uint32_t offset, uint32_t value) = 0;
    virtual uint32_t ReadExtConfig32(uint32_t offset) = 0;
    virtual uint16_t ReadExtConfig16(uint32_t offset) = 0;
    virtual uint8_t ReadExtConfig8(uint32_t offset) = 0;
    virtual void WriteExtConfig32(uint32_t offset, uint32_t value) = 0;
    virtual void WriteExtConfig16(uint32_t offset, uint16_t value) = 0;
    virtual void WriteExtConfig8(uint32_t offset, uint8_t value) = 0;
    virtual uint16_t GetSegment() = 0;
    virtual uint8_t GetBus() = 0;
    virtual uint8_t GetDeviceNumber() = 0;
    virtual uint8_t GetFunctionNumber() = 0;
    virtual uint8_t GetSecondaryBus() = 0;
    virtual uint8_t GetParentBus() = 0;
    virtual uint16_t GetParentSegment() = 0;
    virtual void SetI2CPortConfig(uint8_t port, const I2CPortConfig& config) = 0;
    virtual void GetI2CPortConfig(uint8_t port, I2CPortConfig& config) = 0;
    // The GPU timer in nanoseconds; 0 where there is none.
    virtual uint32_t GetTimerValue() = 0;
    // Whether a display answers on the I2C ports (or the I2C controller is busy).
    virtual bool IsI2CActive() = 0;
    // Raises the EEPROM-interface and microcontroller clocks.
    virtual bool InitializeClocks() = 0;

protected:
    ~IDevice() = default;
};
