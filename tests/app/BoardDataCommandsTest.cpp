// The board-data commands that change the adapter's store (wrbbo, wroem,
// wrobd): for each command line and typed keys, the status, the text, and
// both stores as the chip holds them afterwards; refusals leave the chip
// unwritten.

#include "VarnexRig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
StoreFacts Bbo(uint8_t id, uint8_t revision, uint16_t value)
{
    StoreFacts facts;
    facts.bboId = id;
    facts.bboRevision = revision;
    facts.bboValue = value;
    return facts;
}
} // namespace

TEST(VarnexWriteCommands, WriteBboReadsBothPiecesWholeBeforeAsking)
{
    const std::string updated = "Varnex image updated successfully.";
    RunStoreCases({
        {{"--wrbbo", "id=3.1", "value=0x1234", "--force"}, "", 0, updated, Bbo(3, 1, 0x1234)},
        {{"--wrbbo", "value=0x1234", "id=3.1", "--force"}, "", 0, updated, Bbo(3, 1, 0x1234)},
        {{"--wrbbo", "id=010.0xFF", "value=65535", "--force"}, "", 0, updated, Bbo(8, 255, 0xFFFF)},
        {{"--wrbbo", "id=3.1", "value=5", "--auto"}, "y", 0, "Update BBO data?", Bbo(3, 1, 5)},
        {{"--wrbbo", "id=300.1", "value=5", "--force"},
         "",
         2,
         "ERROR: Invalid value \"300\" for --wrbbo.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value=0x12345", "--force"},
         "",
         2,
         "ERROR: Invalid value \"0x12345\" for --wrbbo.",
         std::nullopt},
        {{"--wrbbo", "id=3.1x", "value=1", "--force"},
         "",
         2,
         "ERROR: Invalid value \"1x\"",
         std::nullopt},
        {{"--wrbbo", "id=3", "value=5", "--force"},
         "",
         2,
         "ERROR: Unrecognized format for \"id\" argument.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "val=5", "--force"},
         "",
         2,
         "ERROR: Unrecognized argument",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value", "--force"},
         "",
         2,
         "ERROR: Unrecognized argument",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "--force"},
         "",
         2,
         "ERROR: Missing arguments for wrbbo command.",
         std::nullopt},
        {{"--wrbbo", "id=3.1", "value=5"}, "n", 2, "ERROR: Aborted!", std::nullopt},
        {{"--wrbbo", "id=3.1", "value=5"}, "", 2, "ERROR: Aborted!", std::nullopt},
        {{"--romin=@/f.rom", "--wrbbo", "id=1.1", "value=1", "--force"},
         "",
         2,
         "ERROR: Option --romin needs --romout.",
         std::nullopt},
    });
}

TEST(VarnexWriteCommands, OemDataIsBoundedByTheObjectsBody)
{
    StoreFacts padded;
    padded.oem = {0xA1, 0xA2, 0xA3, 0xA4, 0, 0, 0, 0};
    RunStoreCases({
        {{"--wroem=@/four.oem", "--auto"}, "", 0, "Varnex image updated successfully.", padded},
        {{"--wroem=@/long.oem", "--auto"},
         "",
         5,
         "Incorrect Configuration Setting file '",
         std::nullopt},
        {{"--wroem=@/missing.oem", "--auto"},
         "",
         5,
         "Incorrect Configuration Setting file '",
         std::nullopt},
        {{"--wroem=@/four.oem"}, "q", 2, "ERROR: Aborted!", std::nullopt},
        {{"--wrobd=@/missing.csv", "--auto"}, "", 5,
         "Failed to parse Configuration Setting file '", std::nullopt},
        {{"--wrobd=@/four.oem", "--auto"}, "", 2, "ERROR: ", std::nullopt},
    });
}

// wrobd changes the named field and nothing else; a settings file past the
// size such a file may have is refused before it is parsed.
TEST(VarnexWriteCommands, ObdFieldsComeFromABoundedSettingsFile)
{
    const std::string row = "BoardSerialNumber,SN-NEW-7\n";
    std::string huge;
    while (huge.size() <= (1u << 20))
    {
        huge += row;
    }
    struct Case
    {
        std::string text;
        int exit;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {row, 0, "Varnex image updated successfully."},
        {huge, 5, "Failed to parse Configuration Setting file '"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.exit);
        CEngineeringRig rig({{1, 0, 0x0800, FirmwareWithStores()}});
        const std::string file = rig.folder.WriteText("o.csv", c.text);
        EXPECT_EQ(rig.Run({"--wrobd=" + file, "--auto"}), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        ObjectMap objects = StoreOnChip(rig, kPrimaryBlock);
        ObjectMap expected = ObjectsOf(PrimaryStore());
        EXPECT_EQ(objects.at("OBD") != expected.at("OBD"), c.exit == 0);
        objects.erase("OBD");
        expected.erase("OBD");
        EXPECT_EQ(objects, expected);
        ASSERT_EQ(rig.Run({"--rdobd"}), 0);
        EXPECT_EQ(Contains(rig.out, "BoardSerialNumber: SN-NEW-7\n"), c.exit == 0) << rig.out;
    }
}
