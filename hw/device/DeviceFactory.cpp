#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "hw/device/DeviceBridgeZX22Impl.h"
#include "hw/device/DeviceGPUGenerationsImpl.h"
#include "hw/device/DeviceGPULegacyImpl.h"
#include "hw/device/IDevice.h"

#include <stdexcept>

namespace
{
IDevice* Construct(CRefPtr<IPCIDeviceAccessor> accessor, int32_t kind)
{
    switch (kind)
    {
    case kDeviceKindZX22:
        return new CDeviceBridgeZX22Impl(std::move(accessor));
    case kDeviceKindPLX8747:
        return new CDeviceBridgePLX8747Impl(std::move(accessor));
    case kDeviceKindLegacyGpu:
        return new CDeviceGPULegacyImpl(std::move(accessor));
    case kDeviceKindIso:
        return new CDeviceGPUISOImpl(std::move(accessor), kind);
    case kDeviceKindAvrel2:
    case kDeviceKindAvrel2b:
        return new CDeviceGPUAvrel2Impl(std::move(accessor), kind);
    case kDeviceKindCendra1:
        return new CDeviceGPUCendra1Impl(std::move(accessor), kind);
    case kDeviceKindCendra2:
        return new CDeviceGPUCendra2Impl(std::move(accessor), kind);
    case kDeviceKindDolvik:
        return new CDeviceGPUDolvikImpl(std::move(accessor), kind);
    case kDeviceKindDolvik1:
        return new CDeviceGPUDolvik1Impl(std::move(accessor), kind);
    case kDeviceKindEstrel:
        return new CDeviceGPUEstrelImpl(std::move(accessor), kind);
    default:
        throw std::runtime_error("IDevice::Create: Unknown/unsupported device type");
    }
}
} // namespace

CRefPtr<IDevice> IDevice::Create(CRefPtr<IPCIDeviceAccessor> accessor, int32_t deviceKind)
{
    return CRefPtr<IDevice>(Construct(std::move(accessor), deviceKind));
}
