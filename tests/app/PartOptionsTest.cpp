// The EEPROM test part of --partopts: added before the command runs, a
// known part left to the catalogue, and the files and parts that end the
// run before its command.

#include "EngineeringRig.h"
#include "testkit/TestPartRows.h"

#include <gtest/gtest.h>

#include <map>

namespace
{
// A part file of the seventeen fields; `changes` replaces single values.
std::string PartFile(const std::map<std::string, std::string>& changes = {})
{
    std::string text;
    for (const auto& [name, value] : testkit::TestPartRows(changes))
    {
        text += name + "," + value + "\n";
    }
    return text;
}
} // namespace

TEST(PartOptions, ThePartJoinsTheCatalogueOrTheRunEndsBeforeItsCommand)
{
    struct Case
    {
        std::string file; // empty: no file written
        std::vector<std::string> arguments;
        std::string keys;
        int exit;
        std::string shown;
        bool commandRuns;
    };
    const std::string added =
        "Adding a new part with the following parameters for testing purpose:";
    const std::vector<Case> cases = {
        {PartFile(), {"--auto"}, "", 0, added, true},
        {PartFile(), {}, "y", 0, "Press 'y' to confirm (any other key to abort): ", true},
        {PartFile(), {}, "n", 2, "ERROR: User aborted!", false},
        {PartFile({{"ManufacturerID", "EF"}, {"DeviceID", "3013"}}),
         {},
         "",
         0,
         "ERROR: EEPROM (EF,3013) already be supported.",
         true},
        {PartFile({{"BytesPerPage", "zz"}}),
         {},
         "",
         5,
         "Invalid parameters. Skip to specify the parameters for initial testing EEPROM.",
         false},
        {"", {}, "", 5, "Couldn't open ", false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.exit);
        CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
        const std::string path = (rig.folder / "p.csv").string();
        if (!c.file.empty())
        {
            rig.folder.WriteText("p.csv", c.file);
        }
        std::vector<std::string> arguments = {"--partopts=" + path, "--check"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(rig.Run(arguments, c.keys), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_EQ(Contains(rig.out, "S:00,B:01,D:00,F:00"), c.commandRuns) << rig.out;
    }
}

TEST(PartOptions, WithoutAFileNameTheRunStopsWithTheUsage)
{
    CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
    EXPECT_EQ(rig.Run({"--partopts", "--check"}), 2);
    EXPECT_TRUE(Contains(rig.err, "ERROR: No filename specified for --partopts.\n"
                                  "Usage: --partopts=<filename>.csv --<PrimaryCommand>\n"))
        << rig.err;
    EXPECT_FALSE(Contains(rig.out, "S:00,B:01,D:00,F:00"));
}
