#include "hw/device/DeviceBridgeZX22Impl.h"

#include "hw/catalogue/AdapterCatalogue.h"

#include <stdexcept>

namespace
{
[[noreturn]] void NotBuilt()
{
    throw std::runtime_error("CDeviceBridgeZX22Impl: not implemented");
}
} // namespace

CDeviceBridgeZX22Impl::CDeviceBridgeZX22Impl(CRefPtr<IPCIDeviceAccessor> accessor)
    : CDeviceBaseImpl(std::move(accessor), kDeviceKindZX22)
{
}

void CDeviceBridgeZX22Impl::EnableROMAccess()
{
    NotBuilt();
}

void CDeviceBridgeZX22Impl::RestoreROMAccess()
{
    NotBuilt();
}

bool CDeviceBridgeZX22Impl::IsROMAccessEnabled()
{
    return true;
}

bool CDeviceBridgeZX22Impl::IsDebugPortEnabled()
{
    NotBuilt();
}

uint32_t CDeviceBridgeZX22Impl::GetROMType(bool)
{
    NotBuilt();
}

bool CDeviceBridgeZX22Impl::IsROMTypeZero(bool)
{
    return false;
}

uint32_t CDeviceBridgeZX22Impl::ReadROMControl()
{
    NotBuilt();
}

void CDeviceBridgeZX22Impl::WriteROMControl(uint32_t)
{
    NotBuilt();
}

void CDeviceBridgeZX22Impl::IdleROMControl()
{
    NotBuilt();
}

uint8_t CDeviceBridgeZX22Impl::ReadROMByte(int32_t)
{
    NotBuilt();
}

void CDeviceBridgeZX22Impl::WriteROMByte(int32_t, uint8_t)
{
    NotBuilt();
}

uint8_t CDeviceBridgeZX22Impl::ReadROMWindowByte(uint32_t offset)
{
    return ReadROMByte(static_cast<int32_t>(offset));
}
