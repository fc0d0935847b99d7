#pragma once
// The I2C master of a device: port bookkeeping, the six line-level operations
// (start, stop, acknowledge out and in, byte out and in) and the transactions
// built on them (I2C writes and reads, register and block transfers, the SMBus
// forms) and the access switch of the ChiL power regulator.
//
// Every operation that touches the bus returns a status instead of throwing:
// 0 done, 1 the device has no I2C lines, 2 start failed, 3 stop failed,
// 4 address not acknowledged, 5 data not acknowledged, 6 a line did not reach
// its level in time, 7 fewer bytes transferred than asked. A failed
// transaction sends no stop condition.
//
// A caller uses a port in this order: HasI2CPort, AcquireI2CPort,
// BeginI2CPortAccess, transactions, EndI2CPortAccess, ReleaseI2CPort.

#include <cstdint>
#include <vector>

class CLog;

// Pad configuration of one port. The option fields are 0 or 1; state is only
// filled in when reading.
struct I2CPortConfig
{
    int mode = 0;
    int option1 = 0;
    int option2 = 0;
    int option3 = 0;
    int state = 0;
};

// Status codes of the I2C operations.
enum EI2CStatus : int32_t
{
    kI2CDone = 0,
    kI2CNoLines = 1,
    kI2CStartFailed = 2,
    kI2CStopFailed = 3,
    kI2CAddressNack = 4,
    kI2CDataNack = 5,
    kI2CLineTimeout = 6,
    kI2CShortTransfer = 7,
};

// Bus addresses are the 7-bit slave address shifted left by one; bit 0 is
// set or cleared by the transaction.
constexpr uint8_t kI2CDisplayAddress = 0xA0;
constexpr uint8_t kI2CChiLAddress = 0xE0;
constexpr uint8_t kI2CChiLPort = 3;

class II2CMaster
{
public:
    virtual bool HasI2CPort(uint8_t port) = 0;
    virtual std::vector<uint8_t> GetI2CPorts() = 0;
    virtual bool IsValidI2CAddress(uint8_t address) = 0;
    virtual bool AcquireI2CPort(uint8_t port) = 0;
    virtual bool ReleaseI2CPort(uint8_t port) = 0;
    virtual void BeginI2CPortAccess(uint8_t port) = 0;
    virtual void EndI2CPortAccess(uint8_t port) = 0;
    virtual int32_t I2CStart(uint8_t port) = 0;
    virtual int32_t I2CStop(uint8_t port) = 0;
    // bit: 0 acknowledge, 1 no acknowledge.
    virtual int32_t I2CSendAck(uint8_t port, int32_t bit) = 0;
    // ack: 0 when acknowledged, any other value when not.
    virtual int32_t I2CReadAck(uint8_t port, int32_t& ack) = 0;
    virtual int32_t I2CWriteByte(uint8_t port, uint8_t byte) = 0;
    virtual int32_t I2CReadByte(uint8_t port, uint8_t& byte) = 0;
    virtual int32_t I2CWrite(uint8_t port, uint8_t address, const std::vector<uint8_t>& bytes,
                             uint32_t count, bool stop) = 0;
    virtual int32_t I2CRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out,
                            uint32_t count, bool stop) = 0;
    virtual int32_t I2CWriteRegister(uint8_t port, uint8_t address, uint16_t reg,
                                     const std::vector<uint8_t>& bytes, uint32_t count,
                                     bool wideIndex) = 0;
    virtual int32_t I2CReadRegister(uint8_t port, uint8_t address, uint16_t reg,
                                    std::vector<uint8_t>& out, uint32_t count, bool wideIndex) = 0;
    virtual bool IsProbeableI2CAddress(uint8_t address) = 0;
    virtual int32_t SMBusSendByte(uint8_t port, uint8_t address, uint8_t byte) = 0;
    virtual int32_t SMBusReceiveByte(uint8_t port, uint8_t address, uint8_t& byte) = 0;
    virtual int32_t SMBusWriteData(uint8_t port, uint8_t address, uint8_t command, uint16_t data,
                                   bool word) = 0;
    virtual int32_t SMBusReadData(uint8_t port, uint8_t address, uint8_t command, uint16_t& data,
                                  bool word) = 0;
    virtual int32_t I2CBlockRead(uint8_t port, uint8_t address, std::vector<uint8_t>& out,
                                 bool stop) = 0;
    virtual int32_t I2CBlockWrite(uint8_t port, uint8_t address, const std::vector<uint8_t>& bytes,
                                  uint32_t count, bool stop) = 0;
    virtual int32_t SMBusBlockWrite(uint8_t port, uint8_t address, uint8_t command, uint32_t count,
                                    const std::vector<uint8_t>& bytes) = 0;
    virtual int32_t SMBusBlockRead(uint8_t port, uint8_t address, uint8_t command,
                                   std::vector<uint8_t>& out) = 0;
    virtual int32_t SMBusProcessCall(uint8_t port, uint8_t address, uint8_t command, uint16_t data,
                                     uint16_t& reply) = 0;
    // Switches the ChiL regulator's I2C access control (port 3, address 0xE0);
    // its messages, at level 3, are its only report.
    virtual void SetChiLI2CAccess(bool enable, CLog& log) = 0;

protected:
    ~II2CMaster() = default;
};
