#pragma once
// Turning the D3-cold capability of the maker's GPUs off before their display
// driver is unloaded, and on again afterwards.

#include "core/Log.h"
#include "core/platform/ID3ColdControl.h"

#include <cstdint>

// At most this many GPUs are handled.
constexpr size_t kMaxD3ColdGpus = 64;

enum D3ColdResult : int32_t
{
    kD3ColdSet = 0,           // at least one GPU took the setting
    kD3ColdNoEnumeration = 1, // the GPUs could not be listed
    kD3ColdNotSet = 2,        // no GPU took the setting (also: no GPU)
};

// Sets the capability on every GPU that answers its query, logging each result
// at level 3. No control counts as a failed enumeration. The log may be null.
int32_t SetD3ColdCapability(ID3ColdControl* control, bool disable, CLog* log);
