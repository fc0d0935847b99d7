#pragma once
// Firmware images for the engine's tests, made by the image builder.

#include "testkit/image/GpuImageBuilder.h"

#include <cstdint>
#include <vector>

struct FirmwareSpec
{
    uint16_t deviceId = 0x0800;
    uint16_t subsystemDevice = 0x0001;
    uint16_t boardId = 0x0201;
    uint32_t version = 0x86041B00; // "86.04.1B.00"
    uint32_t length = 0x10000;
};

inline testkit::CGpuImageBuilder FirmwareBuilder(const FirmwareSpec& spec = {})
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, spec.length)
        .DeviceId(spec.deviceId)
        .HardwareDataArea(0x7E2B, spec.subsystemDevice);
    testkit::InfoToken info;
    info.boardId = spec.boardId;
    info.version = spec.version;
    builder.Info(info).Version(spec.version, 2);
    return builder;
}

inline std::vector<uint8_t> MakeFirmware(const FirmwareSpec& spec = {})
{
    return FirmwareBuilder(spec).Build();
}
