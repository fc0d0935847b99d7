#pragma once
// Firmware carrying a Varnex store in the layout the engine writes, for the
// tests of programming, saving and comparing: the adapter's board store and
// the package's generic store, and the OBD bodies they carry.

#include "FirmwareImages.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/varnex/VarnexFirmware.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// An OBD body with the fields the presence tests read.
inline std::vector<uint8_t> ObdBody(const std::string& marketingName, const std::string& serial,
                                    const std::string& number699)
{
    std::vector<uint8_t> body(120, 0);
    std::copy(marketingName.begin(), marketingName.end(), body.begin() + 4);
    std::copy(serial.begin(), serial.end(), body.begin() + 28);
    std::copy(number699.begin(), number699.end(), body.begin() + 95);
    return body;
}

// The adapter's store: generic (its ID check waived), without the 699 number
// that would make it "populated", so the flash type to a newer generic store
// keeps its OBD.
inline std::vector<uint8_t> BoardStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
        .Oem({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
        .Bbo(7, 2, 0xBEEF)
        .BuildRaw();
}

inline std::vector<uint8_t> PackageStore(bool withBbo = true, uint8_t obdVersion = 1)
{
    testkit::CVarnexStoreBuilder builder;
    builder.Img("G001.0002", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("", "", "")
        .WithVersion(obdVersion, 0)
        .Oem(std::vector<uint8_t>(8, 0));
    if (withBbo)
    {
        builder.Bbo(0, 0, 0);
    }
    return builder.BuildRaw();
}

// Firmware whose preservation table has one slot holding the bytes; the
// flags 0x80 mark a slot the adapter's board data replaces.
inline testkit::CGpuImageBuilder FirmwareWithSlot(const FirmwareFacts& facts,
                                                  const std::vector<uint8_t>& slot, uint8_t flags)
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, facts.length)
        .DeviceId(facts.deviceId)
        .HardwareDataArea(0x7E2B, facts.subsystemDevice);
    const testkit::PreservationEntry entry{static_cast<uint16_t>(builder.Place(slot)),
                                           static_cast<uint16_t>(slot.size()), flags, 0};
    testkit::InfoToken info;
    info.boardId = facts.boardId;
    info.version = facts.version;
    info.preservationTable = static_cast<uint16_t>(builder.PreservationTable(0x11, {entry}));
    builder.Info(info).Version(facts.version, 2);
    return builder;
}

inline const std::vector<uint8_t> kBoardSlot{0xB0, 0xB1, 0xB2, 0xB3};
inline const std::vector<uint8_t> kPackageSlot{0x11, 0x12, 0x13, 0x14};

using testkit::WithVarnexBlock;

// The adapter's firmware: straps of its own, a 0x85 block and its store.
inline std::vector<uint8_t> AdapterFirmware()
{
    std::vector<uint8_t> bytes = WithVarnexBlock(
        FirmwareWithSlot({}, kBoardSlot, 0).Block(0x85, 0x400).Build(), BoardStore());
    for (uint32_t i = 0; i < 0x14; ++i)
    {
        bytes[0x58 + i] = static_cast<uint8_t>(0xC0 + i);
    }
    return bytes;
}
