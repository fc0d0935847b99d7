// VBIOS deletion on the simulated machine: firmware with a Varnex store keeps
// only the store, firmware without one is erased, and every refusal leaves
// the chip as it was.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "image/NBSIPCIBlock.h"
#include "image/ROMMeldVarnexFlashImpl.h"
#include "testkit/ErrorOf.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <algorithm>

using testkit::ErrorOf;

namespace
{
std::vector<uint8_t> Store()
{
    return testkit::CVarnexStoreBuilder().Img("1.2", 0x2204, 0x7E2B, 0x1454, 0x7E2B).BuildRaw();
}

// The engine's test firmware with a Varnex block appended to its chain.
std::vector<uint8_t> FirmwareWithVarnex()
{
    CRefPtr<IROMImage> firmware = FirmwareBuilder().BuildImage();
    CRefPtr<CROMMeldVarnexFlashImpl> merger(CROMMeldVarnexFlashImpl::Create());
    CNBSIPCIBlockVarnex block(Store(), {});
    CRefPtr<IROMImage> source = merger->BuildBlankVarnexRom(nullptr, &block, nullptr);
    EXPECT_TRUE(merger->AppendVarnexToRomChain(firmware.get(), source.get(), nullptr));
    firmware->SetOffsetMode(false);
    return {firmware->GetBuffer(), firmware->GetBuffer() + firmware->GetLoadedSize()};
}

bool AllErased(const std::vector<uint8_t>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}
} // namespace

TEST(FlasherDeleteVbios, KeepsOnlyTheVarnexStore)
{
    const std::vector<uint8_t> firmware = FirmwareWithVarnex();
    CFlasherMachine rig({{0x0800, 8, firmware}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    rig.console->keys = {'y'};
    rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.Adapter(0), rig.database, false, &rig.log);

    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    CRefPtr<IROMImage> after = IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    EXPECT_EQ(after->FindNBSIBlock(), 0) << "the chain is the Varnex block alone";
    EXPECT_EQ(ReadVarnexObjectBytes(after.get(), nbsi::kTypeVarnexImage), Store());
    EXPECT_EQ(rig.Chip(0).CommandCount(0xC7), 0u) << "no chip erase";
    // Bytes past the rebuilt image are not addressed.
    const size_t end = 0x1000 + ((Store().size() + 0xFFF) & ~size_t{0xFFF});
    EXPECT_TRUE(std::equal(chip.begin() + end, chip.end(), before.begin() + end));
    EXPECT_NE(rig.Shown().find("Deleting Vbios image from EEPROM...\n"), std::string::npos);
    EXPECT_NE(rig.Shown().find("Delete Vbios completed.\n"), std::string::npos);
}

TEST(FlasherDeleteVbios, ErasesFirmwareWithoutAStore)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.Adapter(0), rig.database, true, &rig.log);
    EXPECT_TRUE(AllErased(rig.ChipBytes(0)));
    EXPECT_EQ(rig.Chip(0).CommandCount(0xC7), 1u);
    EXPECT_NE(rig.Logged().find("Delete Vbios confirmation skipped.\n"), std::string::npos);
    EXPECT_EQ(rig.Shown().find("Delete Vbios?"), std::string::npos) << "no question asked";
}

TEST(FlasherDeleteVbios, RefusalsLeaveTheChipAsItWas)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> firmware;
        uint8_t flagA;
        std::vector<int> keys;
        std::vector<std::string> lines;
        const char* error;
    };
    const Case cases[] = {
        {"a key other than 'y'", MakeFirmware(), 1, {'n'}, {}, "Erase aborted"},
        {"a lower-case typed yes", MakeFirmware(), 0, {'Y'}, {"yes"}, "Delete aborted"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, c.firmware}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        rig.console->keys.assign(c.keys.begin(), c.keys.end());
        rig.console->lines.assign(c.lines.begin(), c.lines.end());
        EXPECT_EQ(ErrorOf([&] {
                      rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.AdapterWithFlagA(0, c.flagA),
                                               rig.database, false, &rig.log);
                  }),
                  c.error);
        EXPECT_EQ(rig.ChipBytes(0), before);
        EXPECT_EQ(rig.Shown().find("Delete Vbios completed."), std::string::npos);
        EXPECT_TRUE(rig.DriverBound(0)) << "the display is given back";
    }
}
