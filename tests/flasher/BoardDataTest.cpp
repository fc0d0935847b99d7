// Whether a saved firmware holds another board's data: the board's 0x85 block
// counts by its absence too, unless the chip holds no GPU image to say
// anything of its board.

#include "flasher/BoardData.h"
#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/varnex/VarnexFirmware.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

namespace
{
CRefPtr<IROMImage> ImageOfBytes(const std::vector<uint8_t>& bytes)
{
    return IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// What a chip holds after `delete`: the firmware's Varnex block alone.
std::vector<uint8_t> DeletedChip()
{
    const std::vector<uint8_t> store =
        testkit::CVarnexStoreBuilder().Img("1.2", 0x0800, 0x7E2B, 0x0001, 0x7E2B).BuildRaw();
    CFlasherMachine rig({{0x0800, 8, testkit::WithVarnexBlock(MakeFirmware(), store)}});
    rig.flasher->DeleteVbios(rig.ui, rig.bus, rig.Adapter(0), rig.database, true, &rig.log);
    std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(ImageOfBytes(chip)->FindNBSIBlock(), 0) << "the Varnex block alone";
    return chip;
}
} // namespace

TEST(BoardData, ABoardBlockTheChipLacksIsAnotherBoardsUnlessTheChipHoldsNoGpuImage)
{
    const std::vector<uint8_t> payload = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    const std::vector<uint8_t> withBlock =
        FirmwareBuilder().Block(0x85, 0x200).Payload(payload).Build();
    const std::vector<uint8_t> without = MakeFirmware({.version = 0x86041A00});
    struct Case
    {
        const char* name;
        std::vector<uint8_t> chip;
        std::vector<uint8_t> saved;
        std::string difference;
    };
    const std::vector<Case> cases = {
        {"a board built without one", without, withBlock, "0x85 block"},
        {"the board's own block", withBlock, withBlock, ""},
        {"neither has one", without, MakeFirmware(), ""},
        {"an erased chip", std::vector<uint8_t>(0x10000, 0xFF), withBlock, ""},
        {"a chip of no firmware", std::vector<uint8_t>(0x10000, 0x00), withBlock, ""},
        {"firmware deleted around its Varnex store", DeletedChip(), withBlock, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BoardDataDifference(*ImageOfBytes(c.chip), *ImageOfBytes(c.saved)), c.difference);
    }
}
