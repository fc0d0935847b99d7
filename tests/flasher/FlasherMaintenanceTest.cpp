// EEPROM maintenance on the simulated machine: the erase and its two
// questions, the dump listing, and the software write protection.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "core/Exceptions.h"
#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <algorithm>

using testkit::ErrorOf;

namespace
{
bool AllErased(const std::vector<uint8_t>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

struct EraseCase
{
    const char* name;
    std::vector<int> keys;
    std::vector<std::string> lines;
    bool skip;
    bool erased;
};

const EraseCase kEraseCases[] = {
    {"'y' then YES", {'y'}, {"YES"}, false, true},
    {"any other key", {'n'}, {"YES"}, false, false},
    {"'y' then a lower-case yes", {'y'}, {"yes"}, false, false},
    {"skipped questions", {}, {}, true, true},
};
} // namespace

TEST(FlasherErase, AsksTwiceOnAGpuAndErasesOnlyOnBothYeses)
{
    for (const EraseCase& c : kEraseCases)
    {
        SCOPED_TRACE(c.name);
        CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
        // An adapter type whose catalogue flag A is clear: the typed question
        // follows the single key.
        CRefPtr<IDisplayAdapter> adapter = rig.AdapterWithFlagA(0, 0);
        const std::vector<uint8_t> before = rig.ChipBytes(0);
        rig.console->keys.assign(c.keys.begin(), c.keys.end());
        rig.console->lines.assign(c.lines.begin(), c.lines.end());
        const std::string error = ErrorOf(
            [&] {
                rig.flasher->EraseEEPROM(rig.ui, rig.bus, adapter, rig.database, c.skip, &rig.log);
            });
        EXPECT_EQ(error, c.erased ? "(no error)" : "Erase aborted");
        EXPECT_EQ(AllErased(rig.ChipBytes(0)), c.erased);
        if (!c.erased)
        {
            EXPECT_EQ(rig.ChipBytes(0), before);
            EXPECT_TRUE(rig.DriverBound(0)) << "a refusal gives the display back";
        }
        const std::string shown = rig.Shown();
        const bool asked =
            shown.find("Completely erase EEPROM?\n\nAre you sure you want to "
                       "continue?\nPress 'y' to confirm (any other key to abort): ") !=
            std::string::npos;
        EXPECT_EQ(asked, !c.skip);
        EXPECT_EQ(rig.Logged().find("Erase EEPROM confirmation skipped.") != std::string::npos,
                  c.skip);
        if (c.erased)
        {
            EXPECT_NE(shown.find("EEPROM erase completed."), std::string::npos);
            EXPECT_EQ(rig.Chip(0).CommandCount(0xC7), 1u) << "one chip erase";
        }
    }
}

TEST(FlasherErase, ARefusalIsAUserAbortAndCatalogueFlagASkipsTheTypedQuestion)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.console->keys = {'y'};
    rig.console->lines = {"NO"};
    EXPECT_THROW(rig.flasher->EraseEEPROM(rig.ui, rig.bus, rig.AdapterWithFlagA(0, 0), rig.database,
                                          false, &rig.log),
                 user_abort_error);
    EXPECT_NE(rig.Shown().find("The display adapter may become unbootable after erasing the "
                               "EEPROM.\n\nAre you sure you want to continue?\nType \"YES\" to "
                               "confirm (all caps): "),
              std::string::npos);

    rig.uiOut.str("");
    rig.console->keys = {'y'};
    rig.flasher->EraseEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, false, &rig.log);
    EXPECT_EQ(rig.Shown().find("Type \"YES\""), std::string::npos);
    EXPECT_TRUE(AllErased(rig.ChipBytes(0)));
}

TEST(FlasherDump, ListsWholeLinesUpToThePartsEnd)
{
    std::vector<uint8_t> firmware = MakeFirmware();
    const std::vector<uint8_t> start{0x55, 0xAA, 0x20, 0x7E, 0x7F, 0x1F, 'A', 'z',
                                     0x00, 0x80, 0xFF, '0',  '9',  ' ',  '~', '!'};
    std::copy(start.begin(), start.end(), firmware.begin());
    CFlasherMachine rig({{0x0800, 8, firmware}});
    auto dump = [&](uint32_t count)
    {
        rig.uiOut.str("");
        rig.flasher->DisplayEEPROM(rig.ui, rig.bus, rig.Adapter(0), rig.database, count, &rig.log);
        const std::string shown = rig.Shown();
        const std::string marker = "Dumping EEPROM image...\n";
        const size_t at = shown.find(marker);
        return at == std::string::npos ? shown : shown.substr(at + marker.size());
    };
    EXPECT_EQ(dump(0), "\n");
    const std::string firstLine =
        "\n0000:  55 AA 20 7E 7F 1F 41 7A 00 80 FF 30 39 20 7E 21   U. ~..Az...09 ~!";
    const std::string two = dump(17);
    EXPECT_EQ(two.substr(0, firstLine.size()), firstLine);
    EXPECT_EQ(std::count(two.begin(), two.end(), '\n'), 3);
    EXPECT_NE(two.find("\n0010:  "), std::string::npos);
    EXPECT_NE(rig.Logged().find(firstLine), std::string::npos);
    // A count past the part lists the part.
    const std::string all = dump(0xFFFFFFFF);
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 0x80000 / 16 + 1);
    EXPECT_NE(all.find("\n7FFF0:  "), std::string::npos);
}

TEST(FlasherProtect, SetsAndLiftsTheSoftwareProtection)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    rig.flasher->SetSoftwareProtect(rig.ui, rig.bus, rig.Adapter(0), rig.database, true, &rig.log);
    EXPECT_NE(rig.Chip(0).Status() & 0x1C, 0);
    EXPECT_NE(rig.Shown().find("Write protecting EEPROM complete."), std::string::npos);
    rig.flasher->SetSoftwareProtect(rig.ui, rig.bus, rig.Adapter(0), rig.database, false, &rig.log);
    EXPECT_EQ(rig.Chip(0).Status() & 0x1C, 0);
    EXPECT_NE(rig.Logged().find("Remove EEPROM write protect complete."), std::string::npos);
}
