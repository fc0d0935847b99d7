#include "hw/device/DeviceGPUGenerationsImpl.h"

#include "core/CrossPlatform.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <array>
#include <stdexcept>

namespace
{
constexpr uint32_t kCendra2ControllerStatus = 0xD958;
constexpr uint32_t kClockGateRegister = 0xE9F8;
constexpr std::array<uint32_t, 2> kPerfClockRegisters{0x137190, 0x13717C};
// Polls of a clock status bit; the timeout normally ends the wait first.
constexpr uint32_t kClockPollBound = 100000;
} // namespace

// ---------------------------------------------------------------------------
// Avrel2

CDeviceGPUAvrel2Impl::CDeviceGPUAvrel2Impl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : CDeviceGPUISOImpl(std::move(accessor), deviceKind)
{
}

uint32_t CDeviceGPUAvrel2Impl::GetI2CPortRegister(uint32_t kind, uint8_t port)
{
    static constexpr std::array<uint32_t, 7> kOffsets{0x04, 0x00, 0x08, 0x14, 0x10, 0x0C, 0x18};
    if (kind >= kOffsets.size())
    {
        return 0;
    }
    return 0xD000 + 32u * port + kOffsets[kind];
}

I2CLineState CDeviceGPUAvrel2Impl::GetI2CLines(uint8_t port)
{
    const uint32_t value = ReadLineRegister(port);
    return {BitOf(value, 5), BitOf(value, 4)};
}

I2CLineState CDeviceGPUAvrel2Impl::GetCachedI2CLines(uint8_t port)
{
    if (IsValidPortIndex(port) && !m_lineCacheValid[port])
    {
        m_lineCache[port] = ReadLineRegister(port);
        m_lineCacheValid[port] = true;
    }
    return CDeviceGPUISOImpl::GetCachedI2CLines(port);
}

void CDeviceGPUAvrel2Impl::SetI2CPortConfig(uint8_t port, const I2CPortConfig& config)
{
    const uint32_t reg = kPadConfigBase + 4u * port;
    uint32_t value = Read32(reg);
    value = (value & ~0xFFu) | (static_cast<uint32_t>(config.mode) & 0xFFu);
    value = SetBit(value, 12, config.option1 == 1);
    value = SetBit(value, 13, config.option2 == 1);
    value = SetBit(value, 15, config.option3 == 1);
    Write32(reg, value);
    Write32(kPadCommitRegister, 1);
    for (int poll = 0; poll < kPadCommitPolls; ++poll)
    {
        if ((Read32(kPadCommitRegister) & 1u) == 0)
        {
            return;
        }
        Delay(1);
    }
    throw std::runtime_error("The I2C pad configuration was not taken by the GPU");
}

void CDeviceGPUAvrel2Impl::GetI2CPortConfig(uint8_t port, I2CPortConfig& config)
{
    const uint32_t value = Read32(kPadConfigBase + 4u * port);
    config.mode = static_cast<int>(value & 0xFFu);
    config.option1 = BitOf(value, 12);
    config.option2 = BitOf(value, 13);
    config.state = BitOf(value, 14);
    config.option3 = BitOf(value, 15);
}

// ---------------------------------------------------------------------------
// Cendra1

CDeviceGPUCendra1Impl::CDeviceGPUCendra1Impl(CRefPtr<IPCIDeviceAccessor> accessor,
                                             int32_t deviceKind)
    : CDeviceGPUAvrel2Impl(std::move(accessor), deviceKind)
{
}

// ---------------------------------------------------------------------------
// Cendra2

CDeviceGPUCendra2Impl::CDeviceGPUCendra2Impl(CRefPtr<IPCIDeviceAccessor> accessor,
                                             int32_t deviceKind)
    : CDeviceGPUCendra1Impl(std::move(accessor), deviceKind)
{
}

bool CDeviceGPUCendra2Impl::IsI2CControllerBusy()
{
    return IsAnyI2CControllerBusy(kCendra2ControllerStatus);
}

bool CDeviceGPUCendra2Impl::WaitForBit(uint32_t reg, uint32_t bit, uint32_t microseconds)
{
    ICrossPlatform* platform = GetCrossPlatform();
    platform->StartTimeout(microseconds);
    for (uint32_t poll = 0; poll < kClockPollBound; ++poll)
    {
        if (Read32(reg) & (1u << bit))
        {
            return true;
        }
        if (platform->GetTimeoutRemaining() == 0)
        {
            return false;
        }
        Delay(1);
    }
    return false;
}

bool CDeviceGPUCendra2Impl::WaitClockStatusBit16(uint32_t microseconds)
{
    return WaitForBit(kClockStatusRegister, 16, microseconds);
}

bool CDeviceGPUCendra2Impl::WaitClockStatusBit17(uint32_t microseconds)
{
    return WaitForBit(kClockStatusRegister, 17, microseconds);
}

bool CDeviceGPUCendra2Impl::InitializeClocks()
{
    return GetDeviceKind() == static_cast<int32_t>(kDeviceKindCendra2) && RaiseClocks();
}

// Writes the value only over a register in the state the clock source is
// left in at reset; anything else was set up on purpose and stays.
static void SetClockSourceIfUnset(IDevice& device, uint32_t reg, uint32_t value)
{
    const uint32_t current = device.Read32(reg);
    const bool untouched = (current & 0x3Fu) == 0 && (current & 0x3F00u) == 0 &&
                           ((current >> 20) & 3u) == 1 && ((current >> 24) & 1u) == 1 &&
                           (current & ((1u << 25) | (1u << 26) | (1u << 27) | (1u << 31))) == 0;
    if (untouched)
    {
        device.Write32(reg, value);
    }
}

static void RaisePerfClocks(IDevice& device, uint32_t value)
{
    for (const uint32_t reg : kPerfClockRegisters)
    {
        if ((device.Read32(reg) & 3u) == 0)
        {
            device.Write32(reg, value);
        }
    }
}

bool CDeviceGPUCendra2Impl::RaiseClocks()
{
    if (!WaitClockStatusBit16(10))
    {
        return false;
    }
    Write32(kClockStatusRegister, Read32(kClockStatusRegister) | 1u);
    SetClockSourceIfUnset(*this, 0x137280, 0x87100808);
    SetClockSourceIfUnset(*this, 0x13726C, 0x87100202);
    if (!WaitClockStatusBit17(10))
    {
        return false;
    }
    const uint32_t gate = Read32(kClockGateRegister);
    if (gate & 1u)
    {
        Write32(kClockGateRegister, gate & ~1u);
    }
    RaisePerfClocks(*this, 3);
    return true;
}

// ---------------------------------------------------------------------------
// Dolvik, Dolvik1, Estrel

CDeviceGPUDolvikImpl::CDeviceGPUDolvikImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : CDeviceGPUCendra2Impl(std::move(accessor), deviceKind)
{
}

CDeviceGPUDolvikImpl::~CDeviceGPUDolvikImpl()
{
    // Held ports go back through this class's mutex unit.
    GivePortsBackAtEnd();
}

CDeviceGPUISOImpl::MutexRegisterSet CDeviceGPUDolvikImpl::GetMutexRegisters() const
{
    return {0xDF00, 0xDF04, 0xDF08, 32};
}

bool CDeviceGPUDolvikImpl::WaitClockLock(uint32_t microseconds)
{
    return WaitForBit(kPllControlRegister, 17, microseconds);
}

bool CDeviceGPUDolvikImpl::InitializeClocks()
{
    return GetDeviceKind() == static_cast<int32_t>(kDeviceKindDolvik1) ? RaiseClocksKind12()
                                                                       : RaiseClocksKind11();
}

bool CDeviceGPUDolvikImpl::RaiseClocksKind11()
{
    if (!(Read32(kPllControlRegister) & 1u))
    {
        const uint32_t value = Read32(kPllControlRegister);
        Write32(kPllControlRegister, value & ~2u);
        Delay(3);
        const uint32_t enabled = (value & ~3u) | 1u;
        Write32(kPllControlRegister, enabled);
        if (!WaitClockLock(30))
        {
            return false;
        }
        Write32(kPllControlRegister, enabled | 4u);
        Write32(kPllControlRegister, (enabled | 4u) & ~8u);
    }
    RaisePerfClocks(*this, 0x03000002);
    return true;
}

bool CDeviceGPUDolvikImpl::RaiseClocksKind12()
{
    const uint32_t control = Read32(kPllControlRegister);
    if (!(control & (1u << 16)))
    {
        const uint32_t config = Read32(kPllConfigRegister) & ~(1u << 23);
        Write32(kPllConfigRegister, config);
        Delay(1);
        const uint32_t powered = config | (1u << 24);
        Write32(kPllConfigRegister, powered);
        if (!WaitClockLock(30))
        {
            return false;
        }
        Write32(kPllControlRegister, control | 4u);
        Write32(kPllConfigRegister, (powered & ~((1u << 25) | (7u << 26))) | (2u << 26));
    }
    const uint32_t divider = Read32(kPllDividerRegister);
    Write32(kPllDividerRegister, (divider & ~(7u << 9)) | (4u << 9));
    RaisePerfClocks(*this, 0x03000002);
    return true;
}

CDeviceGPUDolvik1Impl::CDeviceGPUDolvik1Impl(CRefPtr<IPCIDeviceAccessor> accessor,
                                             int32_t deviceKind)
    : CDeviceGPUDolvikImpl(std::move(accessor), deviceKind)
{
}

CDeviceGPUEstrelImpl::CDeviceGPUEstrelImpl(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
    : CDeviceGPUDolvikImpl(std::move(accessor), deviceKind)
{
}

bool CDeviceGPUEstrelImpl::InitializeClocks()
{
    return false;
}
