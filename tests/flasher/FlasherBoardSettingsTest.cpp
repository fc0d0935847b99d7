// Around programming: the strap override, the board settings carried through
// the preservation table, and the I2C device lookup.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
struct Slot
{
    std::vector<uint8_t> data; // empty: the entry names `offset` and `length` as given
    uint8_t flags = 0;
    uint16_t offset = 0;
    uint16_t length = 0;
};

// A 64 KiB firmware with a preservation table of the version over the slots.
CRefPtr<IROMImage> PreservedImage(uint8_t version, const std::vector<Slot>& slots)
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000).HardwareDataArea(0x7E2B, 0x0001);
    std::vector<testkit::PreservationEntry> entries;
    for (const Slot& slot : slots)
    {
        testkit::PreservationEntry entry{slot.offset, slot.length, slot.flags, 0};
        if (!slot.data.empty())
        {
            entry.offset = static_cast<uint16_t>(builder.Place(slot.data));
            entry.length = static_cast<uint16_t>(slot.data.size());
        }
        entries.push_back(entry);
    }
    testkit::InfoToken info;
    info.preservationTable = static_cast<uint16_t>(builder.PreservationTable(version, entries));
    builder.Info(info);
    return builder.BuildImage();
}

std::vector<uint8_t> SlotData(IROMImage& image, uint32_t slot)
{
    const int32_t entry = image.GetPreservationEntryOffset(slot);
    const uint16_t offset = image.GetWord(entry);
    const uint16_t length = image.GetWord(entry + 2);
    std::vector<uint8_t> bytes(length);
    image.ReadBlock(bytes.data(), offset, length);
    return bytes;
}

const std::vector<uint8_t> kBoard0{0xB0, 0xB1, 0xB2, 0xB3};
const std::vector<uint8_t> kBoard1{0xC0, 0xC1};
const std::vector<uint8_t> kBoard2{0xD0, 0xD1, 0xD2};
const std::vector<uint8_t> kFresh4{0x11, 0x12, 0x13, 0x14};
const std::vector<uint8_t> kFresh2{0x21, 0x22};
const std::vector<uint8_t> kFresh3{0x31, 0x32, 0x33};
} // namespace

TEST(FlasherBoardSettings, CopiesTheUsableSlotsAndClearsTheirFlags)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IROMImage> current = PreservedImage(0x11, {{kBoard0}, {kBoard1, 0x80}, {kBoard2}});
    CRefPtr<IROMImage> fresh = PreservedImage(0x11, {{kFresh4, 0x80}, {kFresh2}, {kFresh3, 0x80}});
    rig.flasher->PreserveBoardSettings(fresh, current, true, &rig.log);
    EXPECT_EQ(SlotData(*fresh, 0), kBoard0);
    EXPECT_EQ(SlotData(*fresh, 1), kFresh2) << "the adapter's slot carries no board data";
    EXPECT_EQ(SlotData(*fresh, 2), kBoard2);
    EXPECT_EQ(fresh->GetPreservationEntryFlags(0), 0);
    EXPECT_EQ(fresh->GetPreservationEntryFlags(2), 0);
    EXPECT_EQ(fresh->Sum8(0, 0x10000), 0) << "the block's checksum is fixed";
    EXPECT_NE(rig.Logged().find("NOTE: Preserving board settings in preservation slot 2"),
              std::string::npos);
}

TEST(FlasherBoardSettings, WarnsAndSkipsTheSlotsItCannotCarry)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    // Slot 0 runs past the adapter's image; slot 1 differs in size; the new
    // image has no slot 2.
    CRefPtr<IROMImage> current =
        PreservedImage(0x10, {{{}, 0, 0xFFF0, 0x40}, {kBoard1}, {kBoard2}});
    CRefPtr<IROMImage> fresh =
        PreservedImage(0x10, {{std::vector<uint8_t>(0x40, 0x44)}, {kFresh3}});
    rig.flasher->PreserveBoardSettings(fresh, current, true, &rig.log);
    EXPECT_EQ(SlotData(*fresh, 0), std::vector<uint8_t>(0x40, 0x44));
    EXPECT_EQ(SlotData(*fresh, 1), kFresh3);
    EXPECT_EQ(rig.Logged(),
              "Checking preservation table.\n"
              "WARNING: Preservation slot 0 lies outside the image,\n"
              "skipping preservation slot 0, some customized settings not preserved.\n"
              "WARNING: Preservation slots sizes do not match,\n"
              "skipping preservation slot 1, some customized settings not preserved.\n"
              "WARNING: Unable to preserve board settings entry 2:\n"
              "new image has 2 slots.\n");
}

TEST(FlasherBoardSettings, RefusesAnImageWithAnOlderTableAndWarnsWithoutOne)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CRefPtr<IROMImage> current = PreservedImage(0x11, {{kBoard0}});
    CRefPtr<IROMImage> older = PreservedImage(0x10, {{kFresh4}});
    EXPECT_EQ(ErrorOf([&] { rig.flasher->PreserveBoardSettings(older, current, false, &rig.log); }),
              "The EEPROM on this graphics card preservation table version is higher than image.  "
              "Preserve area failed.");
    EXPECT_EQ(SlotData(*older, 0), kFresh4);
    EXPECT_NE(rig.Logged().find("      Image file  Preservation table version = 16\n"),
              std::string::npos);

    rig.logText.str("");
    rig.flasher->PreserveBoardSettings(older, FirmwareBuilder().BuildImage(), true, &rig.log);
    EXPECT_EQ(rig.Logged(), "WARNING: Adapter does not have a preservation table,\n"
                            "unable to preserve board settings.\n");
}

TEST(FlasherStrapOverride, SetsTheSubvendorBitsOfTheBootStraps)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.bus->MapAdapter(rig.Adapter(0));
    rig.Gpu(0).RecordAccesses(true);
    EXPECT_TRUE(rig.flasher->OverrideSubvendorStrap(rig.ui, rig.Adapter(0), &rig.log));
    std::vector<CSimGpu::Access> straps;
    for (const CSimGpu::Access& access : rig.Gpu(0).Accesses())
    {
        if (access.offset >= 0x101000 && access.offset < 0x101020)
        {
            straps.push_back(access);
        }
    }
    EXPECT_EQ(straps, (std::vector<CSimGpu::Access>{{true, 0x101004, 4, 0x7FFFFFFF},
                                                    {true, 0x101008, 4, 0},
                                                    {true, 0x101010, 4, 0x7FFFFFFF},
                                                    {true, 0x101014, 4, 0},
                                                    {false, 0x101000, 4, 0x00400000},
                                                    {true, 0x101000, 4, 0x80400002}}));
    EXPECT_NE(rig.Logged().find("New KR_PEXTDEV_BOOT_0: 0x80400002"), std::string::npos);
}

TEST(FlasherI2CLookup, ReportsTheLastRecordOfTheType)
{
    // Records: type, slave address, bit 4 of the third byte the port.
    const std::vector<uint8_t> firmware =
        FirmwareBuilder().Dcb({0x00008830, 0x00109A30, 0x00004412}).Build();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    uint8_t address = 0;
    uint8_t port = 0;
    EXPECT_TRUE(rig.flasher->FindI2CDevice(rig.ui, rig.bus, rig.Adapter(0), rig.database, 0x30,
                                           address, port, &rig.log));
    EXPECT_EQ(address, 0x9A);
    EXPECT_EQ(port, 1);
    EXPECT_NE(rig.Logged().find("I2C Slave address :9A\nI2C Port :01( Secondary )\n"),
              std::string::npos);
    EXPECT_FALSE(rig.flasher->FindI2CDevice(rig.ui, rig.bus, rig.Adapter(0), rig.database, 0x55,
                                            address, port, &rig.log));
    EXPECT_NE(rig.Logged().find("Read I2C Device table from Vbios image in EEPROM completed"),
              std::string::npos);
}
