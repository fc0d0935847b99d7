#pragma once
// Whether a Varnex image was made for a device: its IMG object's PCI IDs
// compared with those of a firmware image or of an adapter. The callers read
// the IDs from the firmware image (image/VarnexImageChecks.h) or the adapter
// and hand them in, so this layer needs neither.
//
// An IMG object whose waiver byte is 1 passes whatever its IDs. A missing IMG
// object fails. A mismatch prints the IDs side by side.

#include "core/Log.h"
#include "varnex/VarnexImage.h"

#include <cstdint>

struct VarnexPciIds
{
    uint16_t deviceId = 0;
    uint16_t vendorId = 0;
    uint16_t subsystemId = 0;
    uint16_t subsystemVendorId = 0; // compared by neither check
};

// Device, vendor and subsystem IDs against a firmware image's; a mismatch is
// reported at level 4 (console and log).
bool CheckImgAgainstRomImageIds(const CVarnexImage* image, const VarnexPciIds& romImage, CLog* log);

// Device, vendor and subsystem IDs against an adapter's; the subsystem vendor
// IDs are shown on a mismatch but not compared. A mismatch is reported on the
// logger at level 3 and on standard output.
bool CheckImgAgainstAdapterIds(const CVarnexImage* image, const VarnexPciIds& adapter, CLog* log);
