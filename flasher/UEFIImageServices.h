#pragma once
// What the UEFI image flash asks of the image layer's UEFI support (the
// engine installs the image layer's when it is made). Without a merge
// installed every merge fails.

#include "core/Log.h"
#include "core/RefCount.h"
#include "image/IROMImage.h"

#include <functional>
#include <string>

struct UEFIImageServices
{
    // The firmware's UEFI support as the listings show it.
    std::function<std::string(CRefPtr<IROMImage> rom)> describeSupport;
    // Merges the UEFI driver image into the firmware; true on success.
    std::function<bool(CRefPtr<IROMImage> rom, CRefPtr<IROMImage> uefiImage, CLog* log)> merge;
};
