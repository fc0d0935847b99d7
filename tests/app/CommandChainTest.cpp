// The guard of the chain rows of the commands that write the adapter's
// store: the refusals on low power, with --override or with --romin alone,
// before any adapter is looked at, and --romin with --romout writing only the
// file.

#include "VarnexRig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

TEST(VarnexWriteCommands, LowPowerRefusesAWriterUnlessOnlyAFileIsWritten)
{
    RunStoreCases({{{"--wrbbo", "id=1.1", "value=1", "--force"}, "", 2, "ERROR: ", std::nullopt}},
                  true);
    CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, true);
    const std::string in = rig.folder.WriteBytes("f.rom", FirmwareWithStores());
    const std::string out = (rig.folder / "g.rom").string();
    EXPECT_EQ(
        rig.Run({"--romin=" + in, "--romout=" + out, "--wrbbo", "id=1.1", "value=1", "--force"}), 0)
        << rig.out << rig.err;
    EXPECT_TRUE(ChipOf(rig).Programs().empty());
    EXPECT_TRUE(std::filesystem::exists(out));
}

// Every command that changes the store is refused on low power, with
// --override, or with --romin alone, before any adapter is looked at.
TEST(VarnexWriteCommands, EveryWriterIsRefusedBeforeTheAdapterIsSelected)
{
    const std::vector<std::vector<std::string>> writers = {
        {"--wroem=four.oem"},         {"--wrobd=o.csv"},
        {"--erasevarnex"},            {"--clpbl"},
        {"--clearvarnex=BBX"},        {"--clbbx"},
        {"--clecc"},                  {"--repairvarnex"},
        {"--wrbbo", "id=1.1", "value=1"}, {"--recovervarnex"},
        {"--wrkrpn=1234"},            {"--addpp=TGP,limitRated,5"},
        {"--delpp=TGP,limitRated"},   {"--backupvarnex"},
        {"--flashfs=new.fs"},         {"--flashvarnex=s.vnx"},
    };
    struct Refusal
    {
        std::vector<std::string> words;
        bool lowPower;
        std::string shown;
    };
    const std::vector<Refusal> refusals = {
        {{}, true, "\nERROR: EEPROM updating prevented due to no AC power"},
        {{"--override=1"}, false, "ERROR: EEPROM override not allowed for write operations"},
        {{"--romin=f.rom"}, false, "ERROR: Option --romin needs --romout."},
    };
    for (const Refusal& refusal : refusals)
    {
        for (const std::vector<std::string>& writer : writers)
        {
            SCOPED_TRACE(writer.front() + " " + refusal.shown);
            CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}}, refusal.lowPower);
            std::vector<std::string> words = writer;
            words.insert(words.end(), refusal.words.begin(), refusal.words.end());
            words.push_back("--auto");
            EXPECT_EQ(rig.Run(words), 2) << rig.out << rig.err;
            EXPECT_TRUE(Contains(rig.err, refusal.shown)) << rig.err;
            EXPECT_EQ(rig.HardwareAccesses(), 0u);
        }
    }
}
