// The words that explain a mismatch mask before the user is asked to
// override it: each mismatching value of the image beside the adapter's.

#include "ResultsAdapters.h"

#include "app/engineering/FlashCommands.h"
#include "core/Log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

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
