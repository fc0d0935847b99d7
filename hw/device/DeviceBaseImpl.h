#pragma once
// The common base of every device class: keeps the PCI accessor and the
// device kind, forwards register and configuration access to the accessor,
// gives neutral answers for the optional operations, and carries the I2C
// transaction layer, which runs over the six line-level operations that the
// GPU classes supply (here they answer status 1: no I2C lines).

#include "core/RefCount.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/device/IDevice.h"

#include <cstdint>
#include <vector>

class CDeviceBaseImpl : public CReferenceCountImpl, public IDevice
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CDeviceBaseImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind);
    ~CDeviceBaseImpl() override;

    // Writes the byte through the accessor, whatever the class does with
    // IDevice::Write8.
    virtual void WriteRegister8(uint32_t offset, uint8_t value);

    // II2CMaster.
    bool HasI2CPort(uint8_t port) override;
    std::vector<uint8_t> GetI2CPorts() override;
    bool IsValidI2CAddress(uint8_t address) override;
    bool AcquireI2CPort(uint8_t port) override;
    bool ReleaseI2CPort(uint8_t port) override;
    void BeginI2CPortAccess(uint8_t port) override;
    void EndI2CPortAccess(uint8_t port) override;
    int32_t I2CStart(uint8_t port) override;
    int32_t I2CStop(uint8_t port) override;
    int32_t I2CSendAck(uint8_t port, int32_t bit) override;
    int32_t I2CReadAck(uint8_t port, int32_t& ack) override;
    int32_t I2CWriteByte(uint8_t port, uint8_t byte) override;
    int32_t I2CReadByte(uint8_t port, uint8_t& byte) override;
    int32_t I2CWrite(uint8_t port, uint8_t address, const std::vector<uint8_t>& bytes,
                     uint32_t count, bool stop) override;
    int32_t I2CRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out, uint32_t count,
                    bool stop) override;
    int32_t I2CWriteRegister(uint8_t port, uint8_t address, uint16_t reg,
                             const std::vector<uint8_t>& bytes, uint32_t count,
                             bool wideIndex) override;
    int32_t I2CReadRegister(uint8_t port, uint8_t address, uint16_t reg, std::vector<uint8_t>& out,
                            uint32_t count, bool wideIndex) override;
    bool IsProbeableI2CAddress(uint8_t address) override;
    int32_t SMBusSendByte(uint8_t port, uint8_t address, uint8_t byte) override;
    int32_t SMBusReceiveByte(uint8_t port, uint8_t address, uint8_t& byte) override;
    int32_t SMBusWriteData(uint8_t port, uint8_t address, uint8_t command, uint16_t data,
                           bool word) override;
    int32_t SMBusReadData(uint8_t port, uint8_t address, uint8_t command, uint16_t& data,
                          bool word) override;
    int32_t I2CBlockRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out,
                         bool stop) override;
    int32_t I2CBlockWrite(uint8_t port, uint8_t address, const std::vector<uint8_t>& bytes,
                          uint32_t count, bool stop) override;
    int32_t SMBusBlockWrite(uint8_t port, uint8_t address, uint8_t command, uint32_t count,
                            const std::vector<uint8_t>& bytes) override;
    int32_t SMBusBlockRead(uint8_t port, uint8_t address, uint8_t command,
                           std::vector<uint8_t>& out) override;
    int32_t SMBusProcessCall(uint8_t port, uint8_t address, uint8_t command, uint16_t data,
                             uint16_t& reply) override;
    void SetChiLI2CAccess(bool enable, CLog& log) override;

    // IDevice: forwarding and neutral answers. The ROM and EEPROM-control
    // operations stay abstract.
    void ScanForChildren(const std::vector<CRefPtr<IPCIDeviceAccessor>>& candidates,
                         CLog& log) override;
    int32_t GetDeviceKind() override;
    void PrintLocation(std::ostream& out, bool shortForm) override;
    void MapRegisters() override;
    void UnmapRegisters() override;
    uint8_t Read8(uint32_t offset) override;
    void Write8(uint32_t offset, uint8_t value) override;
    uint32_t Read32(uint32_t offset) override;
    void Write32(uint32_t offset, uint32_t value) override;
    uint16_t Read16(uint32_t offset) override;
    void Write16(uint32_t offset, uint16_t value) override;
    uint32_t ReadROMDword(int32_t offset) override;
    void WriteROMDword(int32_t offset, uint32_t value) override;
    void UpdateROMWindowOffset(uint32_t offset) override;
    bool HasAGPCapability() override;
    bool IsBar0Assigned() override;
    bool IsNormalBoard() override;
    int32_t GetSwitchPort() override;
    uint32_t ReadConfig32(uint32_t offset) override;
    void WriteConfig32(uint32_t offset, uint32_t value) override;
    uint32_t ReadExtConfig32(uint32_t offset) override;
    uint16_t ReadExtConfig16(uint32_t offset) override;
    uint8_t ReadExtConfig8(uint32_t offset) override;
    void WriteExtConfig32(uint32_t offset, uint32_t value) override;
    void WriteExtConfig16(uint32_t offset, uint16_t value) override;
    void WriteExtConfig8(uint32_t offset, uint8_t value) override;
    uint16_t GetSegment() override;
    uint8_t GetBus() override;
    uint8_t GetDeviceNumber() override;
    uint8_t GetFunctionNumber() override;
    uint8_t GetSecondaryBus() override;
    uint8_t GetParentBus() override;
    uint16_t GetParentSegment() override;
    void SetI2CPortConfig(uint8_t port, const I2CPortConfig& config) override;
    void GetI2CPortConfig(uint8_t port, I2CPortConfig& config) override;
    uint32_t GetTimerValue() override;
    bool IsI2CActive() override;
    bool InitializeClocks() override;

protected:
    IPCIDeviceAccessor& Accessor() { return *m_accessor; }
    const CRefPtr<IPCIDeviceAccessor>& AccessorRef() const { return m_accessor; }

private:
    // Reads one ChiL register through a process call; false when it failed.
    bool ReadChiLRegister(uint8_t reg, uint16_t& reply);

    CRefPtr<IPCIDeviceAccessor> m_accessor;
    int32_t m_deviceKind;
    uint8_t m_savedChiLAccess = 0;
    // Set only when a disabling read the access byte, so an enabling never
    // writes back a value that was not read.
    bool m_chiLAccessSaved = false;
};

// The idle state of an EEPROM control register: chip select and software
// control high, clock low; the register is read once more afterwards. Shared
// by every class whose control register has that layout.
void IdleDeviceROMControl(IDevice& device);
