// The results table that closes a flash: one row per adapter (its first
// matched outcome, else its first), matched rows first, and a closing that
// never claims nothing changed after a programming that failed part way.

#include "ResultsAdapters.h"

#include "app/engineering/FlashCommands.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
const std::string kResultsHeading = "\nResults:\n Index | Match | Flash | Name \n";
// The catalogue name is longer than the 16-character column: written whole.
std::string ResultLine(const std::string& index, bool matched, bool flashed, const std::string& bus)
{
    return "  <" + index + ">  " + (matched ? "   *    " : "        ") +
           (flashed ? "   *     " : "         ") +
           "Korvan Avrel2 800 (7E2B,0800,7E2B,0001) S:00, B:" + bus + "\n";
}
const std::string kCompleted =
    "\nFirmware update process is completed.\nA reboot is required for the update to take effect.";
} // namespace

TEST(ResultsTable, OneRowPerAdapterMatchedFirstWithTheClosingOfTheOutcome)
{
    CEngineeringRig rig(kResultsGpus);
    const DisplayAdapterList a = ResultsAdapters();
    ASSERT_EQ(a.size(), 3u);
    struct Case
    {
        const char* name;
        FlashResultList rows;
        ResultsClosing closing;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"empty", {}, ResultsClosing::ByOutcome, "Nothing changed!"},
        {"empty after a failed programming", {}, ResultsClosing::NoClaim, ""},
        {"three outcomes of one adapter",
         {{0, a[0], false, false}, {0, a[0], false, false}, {0, a[0], true, true}},
         ResultsClosing::ByOutcome,
         kResultsHeading + ResultLine("00", true, true, "01") + kCompleted},
        {"two adapters on one bus keep their own rows, matched first",
         {{0, a[0], false, false}, {1, a[1], true, false}},
         ResultsClosing::ByOutcome,
         kResultsHeading + ResultLine("01", true, false, "01") +
             ResultLine("00", false, false, "01") + "Nothing changed!"},
        {"indexes are at least two digits",
         {{7, a[0], false, false}, {12, a[1], false, false}, {100, a[2], false, false}},
         ResultsClosing::ByOutcome,
         kResultsHeading + ResultLine("07", false, false, "01") +
             ResultLine("12", false, false, "01") + ResultLine("100", false, false, "02") +
             "Nothing changed!"},
        {"a programming failed part way",
         {{0, a[0], true, false}},
         ResultsClosing::NoClaim,
         kResultsHeading + ResultLine("00", true, false, "01")},
    };
    for (Case c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string expected = c.shown;
        if (!expected.empty() && expected.back() == '\n')
        {
            expected.pop_back();
        }
        EXPECT_EQ(FormatResults(c.rows, true, c.closing), expected);
    }
}
