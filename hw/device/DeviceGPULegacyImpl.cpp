#include "hw/device/DeviceGPULegacyImpl.h"

#include "core/Log.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <array>
#include <stdexcept>
#include <string>

namespace
{
constexpr uint32_t kStrapRegister = 0x101000;
} // namespace

CDeviceGPULegacyImpl::CDeviceGPULegacyImpl(CRefPtr<IPCIDeviceAccessor> accessor)
    : CDeviceGPUImpl(std::move(accessor), kDeviceKindLegacyGpu)
{
}

void CDeviceGPULegacyImpl::EnableROMAccess()
{
    // A nested enable keeps what the outermost one saved: saving again would
    // record the switched-off state as the one to restore.
    if (m_enableDepth > 0)
    {
        ++m_enableDepth;
        return;
    }
    IPCIDeviceAccessor& pci = Accessor();
    pci.Lock();
    m_savedPromPins = pci.Read32(kPromPinsRegister);
    pci.Write32(kPromPinsRegister, 0);
    pci.Write32(kPromPinsRegister, 0);
    if (pci.Read32(kPromPinsRegister) != 0)
    {
        pci.Unlock();
        throw std::runtime_error("Could not enable the PROM pins");
    }
    m_savedDebugPort = pci.Read32(kDebugPortRegister);
    pci.Write32(kDebugPortRegister, m_savedDebugPort & ~1u);
    m_enableDepth = 1;
}

void CDeviceGPULegacyImpl::RestoreROMAccess()
{
    if (m_enableDepth > 1)
    {
        --m_enableDepth;
        return;
    }
    const bool saved = m_enableDepth == 1;
    m_enableDepth = 0;
    IPCIDeviceAccessor& pci = Accessor();
    try
    {
        pci.Unlock();
    }
    catch (const std::exception&)
    {
        // A failing unlock never stops a restore.
    }
    if (!saved)
    {
        return;
    }
    // Both registers are put back even when the PROM pins refuse, so the
    // debug port is never left switched off; failures go to the log.
    RunRestoreStep("the PROM pins",
                   [&]
                   {
                       if (m_savedPromPins & 1u)
                       {
                           pci.Write32(kPromPinsRegister, 1);
                           pci.Write32(kPromPinsRegister, 1);
                           if ((pci.Read32(kPromPinsRegister) & 1u) == 0)
                           {
                               throw std::runtime_error("Could not disable the PROM pins");
                           }
                       }
                   });
    RunRestoreStep("the debug port", [&] { pci.Write32(kDebugPortRegister, m_savedDebugPort); });
}

bool CDeviceGPULegacyImpl::IsROMAccessEnabled()
{
    return Accessor().Read32(kPromPinsRegister) == 0;
}

bool CDeviceGPULegacyImpl::IsDebugPortEnabled()
{
    return (Accessor().Read32(kDebugPortRegister) & 1u) != 0;
}

uint32_t CDeviceGPULegacyImpl::GetROMType(bool fromStraps)
{
    if (!fromStraps)
    {
        return 0;
    }
    return kRomTypeByStrap[(Accessor().Read32(kStrapRegister) >> 29) & 3u];
}

bool CDeviceGPULegacyImpl::IsROMTypeZero(bool)
{
    return true;
}

uint32_t CDeviceGPULegacyImpl::ReadROMControl()
{
    return Accessor().Read32(kControlRegister);
}

void CDeviceGPULegacyImpl::WriteROMControl(uint32_t value)
{
    Accessor().Write32(kControlRegister, value);
}

void CDeviceGPULegacyImpl::IdleROMControl()
{
    IdleDeviceROMControl(*this);
}

uint8_t CDeviceGPULegacyImpl::ReadROMWindowByte(uint32_t offset)
{
    return Read8(WindowRegister(kRomWindow, kRomWindowSize, offset, "ROM window"));
}

std::vector<uint8_t> CDeviceGPULegacyImpl::GetI2CPorts()
{
    return {0, 1, 2};
}

I2CLineState CDeviceGPULegacyImpl::GetI2CLines(uint8_t)
{
    return {-1, -1};
}

I2CLineState CDeviceGPULegacyImpl::GetCachedI2CLines(uint8_t)
{
    return {-1, -1};
}

void CDeviceGPULegacyImpl::SetI2CLines(uint8_t, I2CLineState) {}
