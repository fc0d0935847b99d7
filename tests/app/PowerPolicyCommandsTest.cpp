// The product number and power-policy commands (wrkrpn, addpp, delpp,
// listpp): the status, the text, and the store the chip holds afterwards.

#include "VarnexRig.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

TEST(PowerPolicyCommands, EditsReachTheChipOnlyWhenTheTableTakesThem)
{
    StoreFacts rated;
    rated.policies = {
        {CVarnexImagePpoObject::kPolicyTgp, CVarnexImagePpoObject::kAttributeRated, 10000}};
    StoreFacts twenty;
    twenty.productNumber = "12345678901234567890";
    const std::string updated = "Varnex image updated successfully.";
    RunStoreCases({
        {{"--addpp=TGP,limitRated,0x2710", "--auto"}, "", 0, updated, rated},
        {{"--addpp=TGP,limitRated,10000"}, "y", 0, "Are you sure you want to continue?", rated},
        {{"--addpp=tgp,limitRated,5", "--auto"},
         "",
         5,
         "Error: Invalid policy name 'tgp'",
         std::nullopt},
        {{"--addpp=TGP,limitMax,5", "--auto"}, "", 5, "can't be set", std::nullopt},
        {{"--addpp=TGP,limitRated"},
         "",
         2,
         "ERROR: Not all parameters for addpp command specified.",
         std::nullopt},
        {{"--addpp=TGP,limitRated,5"}, "n", 2, "ERROR: User aborted!", std::nullopt},
        {{"--delpp=TGP,limitRated", "--auto"},
         "",
         5,
         "Error: Empty power policy override table",
         std::nullopt},
        {{"--delpp=TGP"},
         "",
         2,
         "ERROR: Not all parameters for delpp command specified.",
         std::nullopt},
        {{"--listpp", "--debug"}, "", 0, "Entry count: 0", std::nullopt},
        {{"--wrkrpn=12345678901234567890", "--auto"}, "", 0, updated, twenty},
        {{"--wrkrpn=123456789012345678901", "--auto"},
         "",
         5,
         "Error: Invalid board product number (too big)",
         std::nullopt},
    });
}

// A table of sixteen entries takes no new pair but still updates one it
// holds; a store without the table has nothing to list.
TEST(PowerPolicyCommands, AFullOrMissingTableIsRefusedUnwritten)
{
    StoreFacts full;
    for (uint8_t policy = 3; policy < 18; ++policy)
    {
        full.policies.push_back({policy, 1, 1000});
    }
    StoreFacts fullWithRated = full;
    fullWithRated.policies.push_back(
        {CVarnexImagePpoObject::kPolicyTgp, CVarnexImagePpoObject::kAttributeRated, 5});
    full.policies.push_back({18, 1, 1000});
    StoreFacts updated = fullWithRated;
    updated.policies.back().valueMilliwatts = 7;
    const std::vector<uint8_t> noTable =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .BuildRaw();
    struct Case
    {
        std::vector<uint8_t> store;
        std::vector<std::string> arguments;
        int exit;
        std::string shown;
        std::optional<StoreFacts> after;
    };
    const std::vector<Case> cases = {
        {PrimaryStore(full), {"--addpp=TGP,limitRated,7", "--auto"}, 5,
         "Error: Power Policy Table is full.", std::nullopt},
        {PrimaryStore(fullWithRated), {"--addpp=TGP,limitRated,7", "--auto"}, 0,
         "Varnex image updated successfully.", updated},
        {noTable, {"--listpp"}, 5, "Read failed: Varnex does not have PPO Object.", std::nullopt},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.arguments) + " " + c.shown);
        CEngineeringRig rig({{1, 0, 0x0800, testkit::WithVarnexBlock(RigFirmware(), c.store)}});
        EXPECT_EQ(rig.Run(c.arguments), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        EXPECT_EQ(ChipOf(rig).Programs().empty(), !c.after);
        if (c.after)
        {
            EXPECT_EQ(StoreOnChip(rig, kPrimaryBlock), ObjectsOf(PrimaryStore(*c.after)));
        }
    }
}

TEST(PowerPolicyCommands, FirmwareWithoutAStoreChangesNothing)
{
    struct Case
    {
        std::vector<std::string> arguments;
        int exit;
    };
    for (const Case& c : std::vector<Case>{{{"--wrkrpn=1234", "--auto"}, 16},
                                           {{"--addpp=TGP,limitRated,5", "--auto"}, 16},
                                           {{"--delpp=TGP,limitRated", "--auto"}, 16},
                                           {{"--listpp"}, 0}})
    {
        SCOPED_TRACE(c.arguments.front());
        CEngineeringRig rig({{1, 0, 0x0800, RigFirmware()}});
        EXPECT_EQ(rig.Run(c.arguments), c.exit) << rig.out << rig.err;
        EXPECT_TRUE(Contains(rig.out, "Varnex image is not present\n")) << rig.out;
        EXPECT_TRUE(ChipOf(rig).Programs().empty());
    }
}
