#pragma once
// After a flash asked to refresh the straps: the programmed image's strap
// words loaded into the GPU's strap registers, so that the new straps hold
// without a restart.

#include "core/Log.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "image/IROMImage.h"

// Writes the subsystem and soft-strap words of the programmed image into the
// adapter's strap registers (logged at level 3) and clears the two override
// registers. Only a GPU keeps its straps in its EEPROM: on any other adapter
// nothing is written.
void RefreshStraps(IDisplayAdapter& adapter, IROMImage& programmed, CLog* log);
