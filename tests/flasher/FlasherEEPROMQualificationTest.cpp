// The write/verify and read tests on the simulated machine: the range widened
// to whole erase blocks of the W25X40A (4 KiB, erased before writing), the
// patterns found in the chip afterwards, and ranges past the part refused
// before anything is written.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

using testkit::ErrorOf;

namespace
{
constexpr uint32_t kUnit = 0x1000;
constexpr uint32_t kPartSize = 0x80000;
} // namespace

TEST(FlasherEEPROMTests, WriteVerifyLeavesTheLastPassPatternInTheFirstUnit)
{
    struct Case
    {
        const char* name;
        uint32_t start;
        uint32_t length;
        int32_t passes;
        uint32_t expectedStart;
        uint8_t firstByte;
        uint8_t secondByte;
    };
    const Case cases[] = {
        {"one pass, length 0: one unit", 0x1234, 0, 1, 0x1000, 0x00, 0x01},
        {"pass 1 writes the complement", 0x1080, 0x100, 2, 0x1000, 0xFE, 0xFD},
        {"pass 2 writes 0x55", 0x2000, 0, 3, 0x2000, 0x55, 0x55},
        {"pass 3 writes 0xAA in the last unit of the part", 0x7FFFF, 0, 4, 0x7F000, 0xAA, 0xAA},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        rig.flasher->TestFlashing(rig.ui, rig.bus, rig.Adapter(0), rig.database, c.passes, c.start,
                                  c.length, &rig.log);
        const std::vector<uint8_t> chip = rig.ChipBytes(0);
        EXPECT_EQ(chip[c.expectedStart], c.firstByte);
        EXPECT_EQ(chip[c.expectedStart + 1], c.secondByte);
        // Only the unit changed.
        EXPECT_TRUE(std::equal(chip.begin(), chip.begin() + c.expectedStart, before.begin()));
        EXPECT_TRUE(std::equal(chip.begin() + c.expectedStart + kUnit, chip.end(),
                               before.begin() + c.expectedStart + kUnit));
        char range[64];
        std::snprintf(range, sizeof range, "Test start: 0x%08X\nTest size: 4096\n", c.expectedStart);
        const std::string shown = rig.Shown();
        EXPECT_NE(shown.find(range), std::string::npos);
        EXPECT_NE(shown.find("Test Pass: " + std::to_string(c.passes - 1) + "\n"), std::string::npos);
        EXPECT_EQ(shown.find("Test Pass: " + std::to_string(c.passes) + "\n"), std::string::npos);
        EXPECT_NE(shown.find("Verification complete.\n"), std::string::npos);
        EXPECT_NE(rig.Logged().find("Action: Test flashing.\nAttempts: 3\n"), std::string::npos);
    }
}

TEST(FlasherEEPROMTests, ReadTestWritesItsPatternOnceAndReadsItBackEachPass)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->TestReading(rig.ui, rig.bus, rig.Adapter(0), rig.database, 3, 0x7F800, 0x800,
                             &rig.log);
    const std::vector<uint8_t> chip = rig.ChipBytes(0);
    EXPECT_EQ(chip[0x7F000], 0);
    EXPECT_EQ(chip[0x7F000 + 250], 250);
    EXPECT_EQ(chip[0x7F000 + 251], 0);
    EXPECT_EQ(chip[0x7F000 + 252], 1);
    EXPECT_EQ(chip[kPartSize - 1], (kUnit - 1) % 251) << "the last byte of the part";
    const std::string shown = rig.Shown();
    EXPECT_NE(shown.find("Test pattern completed.\nProceeding with read test...\nTest Pass: 0\n"
                         "Pass completed.\nTest Pass: 1\nPass completed.\nTest Pass: 2\n"
                         "Pass completed.\nVerification complete.\n"),
              std::string::npos);
}

TEST(FlasherEEPROMTests, NoPassesEndsAtOnce)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    rig.flasher->TestFlashing(rig.ui, rig.bus, rig.Adapter(0), rig.database, -1, 0, 0, &rig.log);
    EXPECT_EQ(rig.Shown().find("Test Pass:"), std::string::npos);
    EXPECT_NE(rig.Shown().find("Verification complete."), std::string::npos);
    EXPECT_EQ(rig.ChipBytes(0), before);
}

TEST(FlasherEEPROMTests, RangesPastThePartAreRefusedBeforeAnyWrite)
{
    struct Case
    {
        const char* name;
        uint32_t start;
        uint32_t length;
    };
    const Case cases[] = {
        {"a start one unit past the last", kPartSize, 0},
        {"a length past the end", 0x7F000, 0x1001},
        {"a length that wraps around", 0x1000, 0xFFFFF000},
    };
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    const std::vector<uint8_t> before = rig.ChipBytes(0);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ErrorOf([&] {
                      rig.flasher->TestFlashing(rig.ui, rig.bus, rig.Adapter(0), rig.database, 1,
                                                c.start, c.length, &rig.log);
                  }),
                  "Invalid test range.");
        EXPECT_EQ(ErrorOf([&] {
                      rig.flasher->TestReading(rig.ui, rig.bus, rig.Adapter(0), rig.database, 1,
                                               c.start, c.length, &rig.log);
                  }),
                  "Invalid test range.");
    }
    EXPECT_EQ(rig.ChipBytes(0), before);
    EXPECT_TRUE(rig.Chip(0).Erases().empty());
}
