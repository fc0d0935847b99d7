// romvise as a process on an adapter whose EEPROM part the catalogue lacks:
// the part is unsupported until a settings file named with --partopts
// describes it, and then the command reads and writes it; a file that cannot
// be read, or that describes an invalid part, ends the run before its command.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace
{
// The machine's part: an 8 Mbit serial flash of 256-byte pages, erased in
// 4 KiB sectors by 0x20 and whole by 0xC7, block-protect bits 0x3C.
constexpr const char* kPartOption = "--part 9D/6014";

std::string PartFile(const std::map<std::string, std::string>& changes = {})
{
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"ManufacturerID", "9D"},
        {"DeviceID", "6014"},
        {"BytesPerPage", "100"},
        {"KbytesPerBlock", "4"},
        {"EraseReqBeforeChipSectorWrite", "true"},
        {"TvBlockUpdateSupported", "false"},
        {"SerialPart", "true"},
        {"ManufacturerCodeName", "ISSI"},
        {"Voltage", "2.3-3.6"},
        {"PartName", "IS25LP080D"},
        {"SizeDepthInKbit", "2000"},
        {"SizeWidthBits", "1"},
        {"ChipEraseCommand", "C7"},
        {"BulkEraseCommand", "20"},
        {"WriteProtectMask", "3C"},
        {"WriteProtectOff", "false"},
        {"ChipFeatureFlag", "0"},
    };
    std::string text;
    for (const auto& [name, value] : rows)
    {
        const auto change = changes.find(name);
        text += name + "," + (change == changes.end() ? value : change->second) + "\n";
    }
    return text;
}
} // namespace

TEST(PartOptionsRun, APartDescribedInAFileIsAddedAndUsed)
{
    const std::vector<uint8_t> firmware = MakeFirmware();
    const std::vector<uint8_t> newer = MakeFirmware(kNewer);
    CProgramFolder folder;
    folder.MakeMachine({firmware}, kPartOption);
    folder.WriteFile("p.csv", Bytes(PartFile()));
    folder.WriteFile("new.rom", newer);

    const ProgramResult unknown = folder.Romvise("--check");
    EXPECT_EQ(unknown.exitCode, 2) << unknown.out << unknown.err;
    EXPECT_TRUE(Contains(unknown.err, "ERROR: Supported EEPROM not found")) << unknown.err;
    EXPECT_FALSE(Contains(unknown.out, "IS25LP080D")) << unknown.out;

    const ProgramResult check = folder.Romvise("--partopts=p.csv --check", "y");
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
    ExpectTexts(check.out,
                {"Adding a new part with the following parameters for testing purpose:",
                 "Press 'y' to confirm (any other key to abort): ",
                 "EEPROM ID (9D,6014) : ISSI IS25LP080D 2.3-3.6V 8192Kx1S"},
                {"Invalid parameters."});

    // A write goes through the described page, block erase and protect bits.
    const ProgramResult flash = folder.Romvise("--partopts=p.csv --auto --force new.rom");
    EXPECT_EQ(flash.exitCode, 0) << flash.out << flash.err;
    EXPECT_TRUE(ChipHolds(folder.Chip(0), newer));
}

TEST(PartOptionsRun, AFileThatCannotServeEndsTheRunBeforeItsCommand)
{
    struct Case
    {
        std::string option;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"--partopts=missing.csv", "Couldn't open missing.csv"},
        {"--partopts=folder.csv", "Couldn't open folder.csv"},
        {"--partopts=/dev/zero", "Couldn't open /dev/zero"},
        {"--partopts=huge.csv", "Couldn't open huge.csv"},
        {"--partopts=bad.csv",
         "Invalid parameters. Skip to specify the parameters for initial testing EEPROM."},
    };
    const std::vector<uint8_t> firmware = MakeFirmware();
    CProgramFolder folder;
    folder.MakeMachine({firmware}, kPartOption);
    folder.WriteFile("new.rom", MakeFirmware(kNewer));
    folder.WriteFile("bad.csv", Bytes(PartFile({{"BytesPerPage", "zz"}})));
    // Valid rows, repeated past the size a settings file may have.
    std::string huge;
    while (huge.size() <= (1u << 20))
    {
        huge += PartFile();
    }
    folder.WriteFile("huge.csv", Bytes(huge));
    std::filesystem::create_directory(folder.PathOf("folder.csv"));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.option);
        const ProgramResult run = folder.Romvise(c.option + " --auto --force new.rom");
        EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, c.shown)) << run.out;
        EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
    }
}
