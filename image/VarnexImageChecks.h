#pragma once
// Whether a Varnex image was made for a firmware image: the IMG object's
// device, vendor and subsystem IDs against the firmware image's PCI IDs.

#include "core/Log.h"
#include "image/IROMImage.h"
#include "varnex/VarnexImage.h"

// True when the IDs match or the IMG object waives the check; a missing IMG
// object or a mismatch fails with its messages (varnex/VarnexImgChecks.h).
// A missing firmware image counts as one whose IDs are all 0.
bool CheckImgAgainstRomImage(const CVarnexImage* varnexImage, IROMImage* romImage, CLog* log);
