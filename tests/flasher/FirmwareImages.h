#pragma once
// Firmware images for the engine's tests, made by the image builder.

#include "image/IROMImage.h"
#include "testkit/image/GpuImageBuilder.h"

#include <cstdint>
#include <vector>

struct FirmwareFacts
{
    uint16_t deviceId = 0x0800;
    uint16_t subsystemDevice = 0x0001;
    uint16_t boardId = 0x0201;
    uint32_t version = 0x86041B00; // "86.04.1B.00"
    uint32_t length = 0x10000;
};

inline testkit::CGpuImageBuilder FirmwareBuilder(const FirmwareFacts& facts = {})
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, facts.length)
        .DeviceId(facts.deviceId)
        .HardwareDataArea(0x7E2B, facts.subsystemDevice);
    testkit::InfoToken info;
    info.boardId = facts.boardId;
    info.version = facts.version;
    builder.Info(info).Version(facts.version, 2);
    return builder;
}

inline std::vector<uint8_t> MakeFirmware(const FirmwareFacts& facts = {})
{
    return FirmwareBuilder(facts).Build();
}

struct PreOSAppLayout
{
    uint16_t deviceId = 0x0900;
    uint32_t codeSize = 0x40;
    // The second layout: flags byte with bit 0 set, version, header size.
    bool secondLayout = false;
    uint32_t secureCodeSize = 0;
};

// Pre-OS microcode in the first block: a descriptor, 0x40 bytes of code
// (0xA0, 0xA1, ...) and 0x20 bytes of data right after it, loaded at 0x100
// and 0x200 and started at 0x1234.
inline std::vector<uint8_t> FirmwareWithPreOSApp(const PreOSAppLayout& facts)
{
    testkit::CGpuImageBuilder builder = FirmwareBuilder({.deviceId = facts.deviceId});
    const uint32_t header = facts.secondLayout ? 0x3C : 0x30;
    std::vector<uint8_t> descriptor(header, 0);
    auto put = [&](size_t at, uint32_t value)
    {
        for (size_t i = 0; i < 4; ++i)
        {
            descriptor[at + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    const size_t shift = facts.secondLayout ? 4 : 0;
    if (facts.secondLayout)
    {
        descriptor[0] = 1;
        descriptor[1] = 2;
        descriptor[2] = static_cast<uint8_t>(header);
    }
    put(shift + 0x00, 0x60);                 // stored size
    put(shift + 0x08, 0x1234);               // boot vector
    put(shift + 0x10, 0x100);                // code memory base
    put(shift + 0x14, facts.codeSize);       // code load size
    put(shift + 0x1C, 0x80);                 // secure code base
    put(shift + 0x20, facts.secureCodeSize); // secure code size
    put(shift + 0x24, 0x40);                 // data offset from the code
    put(shift + 0x28, 0x200);                // data memory base
    put(shift + 0x2C, 0x20);                 // data load size
    for (uint32_t i = 0; i < 0x60; ++i)
    {
        descriptor.push_back(static_cast<uint8_t>(0xA0 + i));
    }
    const uint32_t at = builder.Place(descriptor, 0, 4);
    builder.UcodeTable({{1, at}}, static_cast<uint8_t>(header));
    return builder.Build();
}

// The image object over the bytes.
inline CRefPtr<IROMImage> ImageOf(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}
