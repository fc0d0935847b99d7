#pragma once
// Whether a Varnex image was made for a display adapter: its IMG object's
// device, vendor and subsystem IDs against the adapter's (the subsystem vendor
// IDs are shown on a mismatch but not compared).

#include "core/Log.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexImgChecks.h"

// The adapter's IDs as the IMG checks compare them.
VarnexPciIds GetAdapterPciIds(IDisplayAdapter& adapter);

// A mismatch is reported on the logger at level 3 and on standard output.
bool CheckImgAgainstAdapter(const CVarnexImage* image, IDisplayAdapter& adapter, CLog* log);
