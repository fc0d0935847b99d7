#include "hw/device/DeviceBridgePLX8747Impl.h"

#include "hw/catalogue/AdapterCatalogue.h"

#include <stdexcept>

namespace
{
[[noreturn]] void NotBuilt()
{
    throw std::runtime_error("CDeviceBridgePLX8747Impl: not implemented");
}
} // namespace

CDeviceBridgePLX8747Impl::CDeviceBridgePLX8747Impl(CRefPtr<IPCIDeviceAccessor> accessor)
    : CDeviceBaseImpl(std::move(accessor), kDeviceKindPLX8747)
{
}

void CDeviceBridgePLX8747Impl::EnableROMAccess()
{
    NotBuilt();
}

void CDeviceBridgePLX8747Impl::RestoreROMAccess()
{
    NotBuilt();
}

bool CDeviceBridgePLX8747Impl::IsROMAccessEnabled()
{
    return true;
}

bool CDeviceBridgePLX8747Impl::IsDebugPortEnabled()
{
    NotBuilt();
}

uint32_t CDeviceBridgePLX8747Impl::GetROMType(bool)
{
    NotBuilt();
}

bool CDeviceBridgePLX8747Impl::IsROMTypeZero(bool)
{
    return false;
}

uint32_t CDeviceBridgePLX8747Impl::ReadROMControl()
{
    NotBuilt();
}

void CDeviceBridgePLX8747Impl::WriteROMControl(uint32_t)
{
    NotBuilt();
}

void CDeviceBridgePLX8747Impl::IdleROMControl()
{
    NotBuilt();
}

uint8_t CDeviceBridgePLX8747Impl::ReadROMByte(int32_t)
{
    NotBuilt();
}

void CDeviceBridgePLX8747Impl::WriteROMByte(int32_t, uint8_t)
{
    NotBuilt();
}

uint8_t CDeviceBridgePLX8747Impl::ReadROMWindowByte(uint32_t offset)
{
    return ReadROMByte(static_cast<int32_t>(offset));
}
