#pragma once
// The ZX22 bridge firmware the sample generators make: makefirmware --zx22
// writes it, and makemachine --bridge zx22 gives every bridge's own EEPROM
// this image, so that the bridge is identified and read like any adapter.

#include "testkit/image/BridgeImageBuilder.h"

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> SampleZX22Image()
{
    return testkit::CZx22ImageBuilder()
        .Revision(0x00010002)
        .Record({0x01020300, 1, 0, "12/10/26", "Korvan ZX22 Bridge"})
        .Build();
}
