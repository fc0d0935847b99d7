// Version displays on the simulated machine: the one-line version of an
// adapter and the run-time ROM pack images its firmware reports as applied.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "image/IROMMeld.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
// A board variant of a run-time ROM pack, told apart by its subsystem ID. The
// first variant also carries the record of applied pack images that the
// running firmware keeps.
std::vector<uint8_t> PackVariant(uint16_t subsystem, const std::vector<uint8_t>& applied = {},
                                 uint8_t appliedCount = 0)
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x1000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, subsystem);
    testkit::BiosDataToken data{.version = 0x86041B00, .oemVersion = 2};
    if (!applied.empty())
    {
        data.appliedRecord = static_cast<uint16_t>(builder.Place(applied));
        data.recordCapacity = static_cast<uint8_t>(applied.size());
        data.appliedCount = appliedCount;
    }
    builder.BiosData(data);
    return builder.Block(testkit::CGpuImageBuilder::kEfi, 0x800).Build();
}

std::vector<uint8_t> RuntimePack(const std::vector<std::vector<uint8_t>>& variants)
{
    CRefPtr<IROMMeld> pack = IROMMeld::Create();
    pack->SetRuntimePackMode(true);
    for (const auto& bytes : variants)
    {
        pack->AddImage(IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size())));
    }
    std::ostringstream out(std::ios::binary);
    pack->WriteToStream(out, nullptr);
    const std::string text = out.str();
    return {text.begin(), text.end()};
}

std::string AppliedPatches(const std::vector<uint8_t>& firmware)
{
    CFlasherMachine rig({{0x0800, 8, firmware}}, {"auto"});
    rig.flasher->DisplayAppliedRuntimePatches(rig.ui, rig.bus, rig.Adapter(0),
                                              CreateDisplayAdapterDatabase(), GetBoardDatabase(),
                                              rig.database, &rig.log);
    const std::string shown = rig.Shown();
    const std::string marker = "Reading adapter firmware image...\n";
    const size_t at = shown.find(marker);
    return at == std::string::npos ? shown : shown.substr(at + marker.size());
}
} // namespace

TEST(FlasherVersionQuick, WritesIdentityVersionAndVarnexOrNA)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()},
                         {0x0900, 9, MakeFirmware({.deviceId = 0x0900})}},
                        {"auto"});
    std::ostringstream out;
    rig.flasher->PrintVersionQuick(rig.ui, rig.bus, rig.Adapter(0), nullptr, nullptr, rig.database,
                                   out, true, &rig.log, true);
    EXPECT_EQ(out.str(), "Korvan Avrel2 800 (7E2B,0800,7E2B,0001) --:NRM  86.04.1B.00.02\n"
                         "    Varnex Version  : N/A\n");
    EXPECT_NE(rig.Logged().find("VBIOS Version   : 86.04.1B.00.02\n"), std::string::npos);

    out.str("");
    rig.flasher->PrintVersionQuick(rig.ui, rig.bus, rig.Adapter(0), nullptr, nullptr, rig.database,
                                   out, false, &rig.log, true);
    EXPECT_EQ(out.str(), "Korvan Avrel2 800 (7E2B,0800,7E2B,0001) --:NRM  86.04.1B.00.02");

    // An adapter whose EEPROM is reached only through its microcontroller, on
    // a board where the microcontroller never comes out of reset: the line
    // still ends, with the reason logged.
    out.str("");
    rig.logText.str("");
    CRefPtr<CFlasherImpl> throughMicrocontroller(new CFlasherImpl(EngineSettings{}));
    throughMicrocontroller->PrintVersionQuick(rig.ui, rig.bus, rig.Adapter(1), nullptr, nullptr,
                                              rig.database, out, true, &rig.log, false);
    EXPECT_EQ(out.str(), "Korvan Cendra1 900 (7E2B,0900,7E2B,0001) --:NRM  Version N/A");
    EXPECT_NE(rig.Logged().find("Exception: std::runtime_error: Kestrix engine reset did not "
                                "complete.  kestrix uCode load failed.\nVersion string not "
                                "available.\n"),
              std::string::npos);
}

TEST(FlasherAppliedPatches, ReportsAnImageThatIsNoPack)
{
    EXPECT_EQ(AppliedPatches(MakeFirmware()), "Image is not a runtime ROM pack\n");
}

TEST(FlasherAppliedPatches, ListsTheRecordedImagesAndNotesTheOnesNotRecorded)
{
    // Five images applied, three recorded: pack image 2, a record naming no
    // image of the pack, and pack image 0.
    const std::vector<uint8_t> firmware =
        RuntimePack({PackVariant(0x0010, {2, 7, 0}, 5), PackVariant(0x0011), PackVariant(0x0012)});
    const std::string image = "Device Name(s)        : Korvan Avrel2 800\n"
                              "PCI ID                : 7E2B-0800\n";
    EXPECT_EQ(AppliedPatches(firmware),
              "\nApplied ROM Pack Images\n-----------------------\n\n"
              "NOTE: Total run-time images applied (5) is more than what is recorded\n"
              "Image Index           : 0\n" +
                  image + "Subsystem ID          : 7E2B-0012\n\n\n"
                  "Applied image record 1 names no image of the ROM pack (7)\n"
                  "Image Index           : 2\n" +
                  image + "Subsystem ID          : 7E2B-0010\n\n\n");
}

TEST(FlasherDisplayVersion, ShowsTheImageInformationOfTheAdaptersFirmware)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}}, {"auto"});
    rig.flasher->DisplayVersion(rig.ui, rig.bus, rig.Adapter(0), CreateDisplayAdapterDatabase(),
                                GetBoardDatabase(), rig.database, false, false, &rig.log);
    const std::string info = "Image Size            : 65536 bytes\n"
                             "Version               : 86.04.1B.00.02\n"
                             "Device Name(s)        : Korvan Avrel2 800\n"
                             "PCI ID                : 7E2B-0800\n"
                             "GPU Device ID         : 0000\n"
                             "Subsystem ID          : 7E2B-0001\n";
    const std::string shown = rig.Shown();
    EXPECT_NE(shown.find("Reading adapter firmware image...\n" + info), std::string::npos) << shown;
    EXPECT_NE(rig.Logged().find("Action: Display version.\n"), std::string::npos);
    EXPECT_NE(rig.Logged().find(info), std::string::npos);
}
