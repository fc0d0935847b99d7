#include "image/VarnexImageChecks.h"

#include "varnex/VarnexImgChecks.h"

bool CheckImgAgainstRomImage(const CVarnexImage* varnexImage, IROMImage* romImage, CLog* log)
{
    VarnexPciIds ids;
    if (romImage != nullptr)
    {
        ids.deviceId = romImage->GetDeviceID();
        ids.vendorId = romImage->GetVendorID();
        ids.subsystemId = romImage->GetSubsystemDeviceID();
    }
    return CheckImgAgainstRomImageIds(varnexImage, ids, log);
}
