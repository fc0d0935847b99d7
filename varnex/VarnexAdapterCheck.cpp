#include "varnex/VarnexAdapterCheck.h"

VarnexPciIds GetAdapterPciIds(IDisplayAdapter& adapter)
{
    VarnexPciIds ids;
    ids.deviceId = adapter.GetDeviceID();
    ids.vendorId = adapter.GetVendorID();
    ids.subsystemId = adapter.GetSubsystemDeviceID();
    ids.subsystemVendorId = adapter.GetSubsystemVendorID();
    return ids;
}

bool CheckImgAgainstAdapter(const CVarnexImage* image, IDisplayAdapter& adapter, CLog* log)
{
    return CheckImgAgainstAdapterIds(image, GetAdapterPciIds(adapter), log);
}
