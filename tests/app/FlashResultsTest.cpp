// The results table that closes a flash: one row per adapter (its first
// matched outcome, else its first), matched rows first, and a closing that
// never claims nothing changed after a programming that failed part way.

#include "EngineeringRig.h"

#include "app/engineering/FlashCommands.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
// Three adapters: two on bus 1 (devices 0 and 1), one on bus 2.
const std::vector<RigGpu> kResultsGpus = {
    {1, 0, 0x0800, RigFirmware()}, {1, 1, 0x0800, RigFirmware()}, {2, 0, 0x0800, RigFirmware()}};

DisplayAdapterList ResultsAdapters()
{
    DisplayAdapterList adapters;
    CLog log;
    EnumerateAdapters(adapters, GetPCIBus(), CreateDisplayAdapterDatabase(), {}, {}, &log);
    return adapters;
}

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

TEST(MismatchReport, EachReasonSetsTheImageValueBesideTheAdapters)
{
    CEngineeringRig rig({kResultsGpus.front()});
    const CRefPtr<IDisplayAdapter> adapter = ResultsAdapters().front();
    const auto image = [](const std::vector<uint8_t>& bytes)
    {
        CRefPtr<IROMImage> parsed =
            IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
        parsed->Parse();
        return parsed;
    };
    const CRefPtr<IROMImage> current = image(RigFirmware());
    const CRefPtr<IROMImage> file = image(RigFirmware(0x86041C00, 0x0202));
    struct Case
    {
        uint32_t mask;
        std::string written;
    };
    const std::vector<Case> cases = {
        {0, ""},
        {0x100, ""},
        {0x200, "WARNING: Firmware image version (86.04.1C.00.02) is not newer \n\t than the "
                "existing firmware (86.04.1B.00.02).\n"},
        {0x04, "WARNING: None of the firmware image compatible Board ID's \nmatch the Board ID of "
               "the adapter.\nAdapter Board ID:        0201\nFirmware image Board ID: 0202\n"},
        {0x01, "WARNING: None of the firmware image compatible PCI Device ID's \nmatch the PCI "
               "Device ID of the adapter.\nAdapter PCI Device ID:        0800\nFirmware image "
               "PCI Device ID: 0800\n"},
        // The groups follow their own order, not the bits'.
        {0x42, "WARNING: Firmware image PCI Vendor ID (7E2B)\n  does not match adapter PCI Vendor "
               "ID (7E2B).\nWARNING: Firmware image PCI Subsystem ID (7E2B.0001)\n  does not match "
               "adapter PCI Subsystem ID (7E2B.0001).\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.mask);
        CLog log;
        std::ostringstream warned;
        const CScopedLogSink sink(&log, &warned, 4, 4);
        ReportImageMismatch(adapter, file, current, nullptr, CompatibilityRequest{}, c.mask, &log);
        EXPECT_EQ(warned.str(), c.written);
    }
}
