#include "hw/device/DeviceGPUImpl.h"

#include "core/CrossPlatform.h"
#include "core/Log.h"
#include "core/TextHelpers.h"

#include <stdexcept>
#include <string>

CDeviceGPUImpl::CDeviceGPUImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : CDeviceBaseImpl(std::move(accessor), deviceKind)
{
}

uint32_t CDeviceGPUImpl::GetArchitecture()
{
    return (Read32(0) >> 24) & 0x1F;
}

uint32_t CDeviceGPUImpl::GetImplementation()
{
    return (Read32(0) >> 20) & 0xF;
}

void CDeviceGPUImpl::LogRestoreFailure(const char* what, const char* reason)
{
    *GetLog() << LogLevel(4) << "Could not restore " << what << " after EEPROM access: " << reason
              << LogEndl;
}

void CDeviceGPUImpl::Delay(uint32_t microseconds)
{
    GetCrossPlatform()->DelayMicroseconds(microseconds);
}

uint32_t CDeviceGPUImpl::WindowRegister(uint32_t window, uint32_t size, int64_t offset,
                                        const char* what)
{
    if (offset < 0 || offset >= static_cast<int64_t>(size))
    {
        throw std::out_of_range(std::string(what) + " offset " +
                                ToHexString(static_cast<uint32_t>(offset), 1) +
                                " is outside the window of " + ToHexString(size, 1) + " bytes");
    }
    return window + static_cast<uint32_t>(offset);
}

uint8_t CDeviceGPUImpl::ReadROMByte(int32_t offset)
{
    const uint32_t reg = WindowRegister(kPromWindow, kPromWindowSize, offset, "PROM window");
    const uint32_t dword = Read32(reg & ~3u);
    return static_cast<uint8_t>(dword >> (8 * (reg & 3u)));
}

void CDeviceGPUImpl::WriteROMByte(int32_t offset, uint8_t value)
{
    WriteRegister8(WindowRegister(kPromWindow, kPromWindowSize, offset, "PROM window"), value);
}

static bool LineMatches(int actual, int wanted)
{
    return actual == -1 || wanted == -1 || actual == wanted;
}

int32_t CDeviceGPUImpl::WaitI2CLines(uint8_t port, I2CLineState wanted)
{
    for (int read = 1; read <= kLineWaitReads; ++read)
    {
        const I2CLineState lines = GetI2CLines(port);
        if (LineMatches(lines.sda, wanted.sda) && LineMatches(lines.scl, wanted.scl))
        {
            return kI2CDone;
        }
        if (read < kLineWaitReads)
        {
            Delay(1);
        }
    }
    return kI2CLineTimeout;
}

void CDeviceGPUImpl::PortMaskToList(std::vector<uint8_t>& ports, uint16_t mask)
{
    for (uint8_t port = 0; port < 16; ++port)
    {
        if (mask & (1u << port))
        {
            ports.push_back(port);
        }
    }
}

int32_t CDeviceGPUImpl::I2CStart(uint8_t port)
{
    I2CLineState lines = GetCachedI2CLines(port);
    lines.sda = 1;
    SetI2CLines(port, lines);
    const int32_t sdaHigh = WaitI2CLines(port, {1, -1});
    Delay(5);
    lines.scl = 1;
    SetI2CLines(port, lines);
    const int32_t sclHigh = WaitI2CLines(port, {-1, 1});
    Delay(5);
    lines.sda = 0;
    SetI2CLines(port, lines);
    Delay(5);
    return (sdaHigh != kI2CDone || sclHigh != kI2CDone) ? kI2CStartFailed : kI2CDone;
}

int32_t CDeviceGPUImpl::I2CStop(uint8_t port)
{
    I2CLineState lines = GetCachedI2CLines(port);
    lines.sda = 0;
    SetI2CLines(port, lines);
    Delay(1);
    lines.scl = 1;
    SetI2CLines(port, lines);
    const int32_t sclHigh = WaitI2CLines(port, {-1, 1});
    Delay(1);
    lines.sda = 1;
    SetI2CLines(port, lines);
    const int32_t sdaHigh = WaitI2CLines(port, {1, -1});
    Delay(5);
    return (sdaHigh != kI2CDone || sclHigh != kI2CDone) ? kI2CStopFailed : kI2CDone;
}

int32_t CDeviceGPUImpl::TransferI2CBit(uint8_t port, int bitOut, int& bitIn)
{
    I2CLineState lines = GetCachedI2CLines(port);
    if (lines.scl != 0)
    {
        lines.scl = 0;
        SetI2CLines(port, lines);
        Delay(1);
    }
    lines.sda = bitOut;
    SetI2CLines(port, lines);
    Delay(2);
    lines.scl = 1;
    SetI2CLines(port, lines);
    const int32_t status = WaitI2CLines(port, {-1, 1});
    Delay(2);
    bitIn = GetI2CLines(port).sda;
    Delay(2);
    lines.scl = 0;
    SetI2CLines(port, lines);
    Delay(2);
    return status;
}

int32_t CDeviceGPUImpl::TransferI2CByte(uint8_t port, uint8_t byteOut, uint8_t& byteIn)
{
    int32_t status = kI2CDone;
    for (int round = 0; round < 8 && status == kI2CDone; ++round)
    {
        int bitIn = 0;
        status = TransferI2CBit(port, (byteOut >> 7) & 1, bitIn);
        byteOut = static_cast<uint8_t>(byteOut << 1);
        byteIn = static_cast<uint8_t>((byteIn << 1) | (bitIn == 1 ? 1 : 0));
    }
    return status;
}

int32_t CDeviceGPUImpl::I2CSendAck(uint8_t port, int32_t bit)
{
    int ignored = 0;
    return TransferI2CBit(port, bit, ignored);
}

int32_t CDeviceGPUImpl::I2CReadAck(uint8_t port, int32_t& ack)
{
    int bitIn = 0;
    const int32_t status = TransferI2CBit(port, 1, bitIn);
    ack = bitIn;
    return status;
}

int32_t CDeviceGPUImpl::I2CWriteByte(uint8_t port, uint8_t byte)
{
    uint8_t ignored = 0;
    return TransferI2CByte(port, byte, ignored);
}

int32_t CDeviceGPUImpl::I2CReadByte(uint8_t port, uint8_t& byte)
{
    byte = 0;
    return TransferI2CByte(port, 0xFF, byte);
}
