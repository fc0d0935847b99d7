// The GMAC microcontroller commands on a simulated machine: Dolvik1 GPUs
// whose firmware lists the board microcontroller in its I2C device table, the
// microcontroller running its application. Programming, saving and listing,
// the menu of several microcontrollers, and a microcontroller left without
// the new image.

#include "EngineeringRig.h"

#include "sim/SimGpu.h"
#include "sim/SimMcu.h"
#include "sim/SimSpiFlash.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <iterator>

namespace
{
constexpr uint16_t kGmacGpuId = 0x0800;
// Device type 0x98 at slave address 0x98 on port 1.
constexpr uint32_t kGmacEntry = 0x00109898;

std::vector<uint8_t> GmacFirmware()
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(kGmacGpuId)
        .HardwareDataArea(0x7E2B, 0x0001)
        .Dcb({kGmacEntry});
    testkit::InfoToken info;
    info.boardId = 0x0201;
    info.version = 0x86041B00;
    builder.Info(info).Version(0x86041B00, 2);
    return builder.Build();
}

struct GmacMachine
{
    std::shared_ptr<CSimMachine> machine;
    std::vector<CSimMcuSlave*> mcus;
};

// One Dolvik1 per bus, each behind its own root port with its own
// microcontroller.
GmacMachine MakeGmacMachine(size_t count, SimMcuConfig config = {})
{
    GmacMachine made;
    made.machine = MakeMachineWithMcfg();
    const SimFlashPart& part = CSimSpiFlash::FindPart(0xEF, 0x3013);
    for (size_t i = 0; i < count; ++i)
    {
        const auto bus = static_cast<uint8_t>(1 + i);
        AddSimRootPort(*made.machine, {0, bus, 0}, bus, bus);
        CSimGpu& gpu = AddSimGpu(*made.machine, {bus, 0, 0}, kGmacGpuId, 8,
                                 kDolvikBar + static_cast<uint32_t>(i) * 0x2000000, 0x7E2B, 0x0001,
                                 0x030000, 0x400000);
        AddSimSpiChip(*made.machine, gpu, part, "chip" + std::to_string(i), GmacFirmware());
        made.mcus.push_back(&AddSimMcu(gpu, MakeMcuFirmware(0x7E2B, kGmacGpuId, 3000), config));
    }
    return made;
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
} // namespace

TEST(GmacCommands, ProgrammedApplicationIsWhatSaveReadsBack)
{
    GmacMachine made = MakeGmacMachine(1);
    std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
    CEngineeringRig& rig = *owned;
    const std::vector<uint8_t> update =
        MakeMcuFirmware(0x7E2B, kGmacGpuId, 3000, "KRVN", "S100", "B1", "08");
    const std::string updatePath = rig.folder.WriteBytes("update.rom", update);
    ASSERT_EQ(rig.Run({"--proggmac=" + updatePath}, "y"), 0) << rig.out << rig.err;
    const std::string savedPath = (rig.folder / "saved.rom").string();
    ASSERT_EQ(rig.Run({"--savegmac=" + savedPath}, "y"), 0) << rig.out << rig.err;
    std::vector<uint8_t> saved = ReadBytes(savedPath);
    ASSERT_GE(saved.size(), update.size());
    saved.resize(update.size());
    EXPECT_EQ(saved, update);
}

TEST(GmacCommands, FailedProgrammingIsAnErrorAndLeavesThePortFree)
{
    SimMcuConfig stuck;
    stuck.stuckBusy = true;
    GmacMachine made = MakeGmacMachine(1, stuck);
    std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
    CEngineeringRig& rig = *owned;
    const std::string updatePath = rig.folder.WriteBytes(
        "update.rom", MakeMcuFirmware(0x7E2B, kGmacGpuId, 3000, "KRVN", "S100", "B1", "08"));
    EXPECT_EQ(rig.Run({"--proggmac=" + updatePath}, "y"), 2);
    EXPECT_TRUE(Contains(rig.err, "ERROR: GMAC application image not updated.")) << rig.err;
    // No hardware mutex of the GPU is left held for the port.
    auto* gpu = dynamic_cast<CSimGpu*>(made.machine->FindFunction(1, 0, 0)->Model());
    for (unsigned mutex = 0; mutex < 16; ++mutex)
    {
        EXPECT_EQ(gpu->MutexOwner(mutex), 0) << mutex;
    }
    made.mcus[0]->Config().stuckBusy = false;
    // The port is free for the next run, which finds the microcontroller
    // without a valid application: a failure, said by the exit code.
    EXPECT_EQ(rig.Run({"--querygmac"}, "y"), 2) << rig.err;
    EXPECT_TRUE(Contains(rig.out + rig.err, "Version display completed with failure.")) << rig.out;
    EXPECT_FALSE(Contains(rig.err, "in use by another program")) << rig.err;
}

TEST(GmacCommands, ListAndMenuShowEachMicrocontrollerWithItsAdapter)
{
    GmacMachine made = MakeGmacMachine(2);
    std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
    CEngineeringRig& rig = *owned;
    EXPECT_EQ(rig.Run({"--listgmac"}, "y"), 0) << rig.err;
    const std::string listed = rig.out + rig.err;
    EXPECT_TRUE(Contains(listed, "GMAC devices present in Korvan display adapter on the system:"));
    EXPECT_TRUE(Contains(listed, "<0> ")) << listed;
    EXPECT_TRUE(Contains(listed, "<1> ")) << listed;
    EXPECT_TRUE(Contains(listed, "    |__ ")) << listed;
    EXPECT_FALSE(Contains(listed, "does not contain a GMAC entry")) << listed;
    EXPECT_TRUE(Contains(listed, "Completed list of GMAC MCU device(s) successfully."));

    EXPECT_EQ(rig.Run({"--querygmac"}, "y1\ry"), 0) << rig.err;
    EXPECT_TRUE(Contains(rig.err, "Select a GMAC device:\n<0> ")) << rig.out << rig.err;
    EXPECT_TRUE(Contains(rig.err, "    |__ ")) << rig.err;
}

TEST(GmacCommands, ProgrammingNeedsAFileAndPower)
{
    struct Case
    {
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--proggmac"},
         "No filename specified.\n  Flash GMAC MCU Usage: romvise_eng --proggmac <filename>\n"},
        {{"--savegmac"},
         "No filename specified.\n  Save GMAC APP Usage: romvise_eng --savegmac <filename>\n"},
        {{"--proggmac=update.bin"}, ""},
        {{"--proggmac=update.rom", "--override=1"},
         "EEPROM override not allowed for write operations"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.front());
        GmacMachine made = MakeGmacMachine(1);
        std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
        CEngineeringRig& rig = *owned;
        EXPECT_EQ(rig.Run(c.words), 2);
        EXPECT_TRUE(Contains(rig.err, "ERROR: " + c.err)) << rig.err;
        EXPECT_FALSE(Contains(rig.err, "Using I2C port")) << rig.err;
    }
}

TEST(GmacCommands, OverrideTypeAcceptsAnImageOfAnotherDeviceId)
{
    struct Case
    {
        std::vector<std::string> extra;
        int exitCode;
        std::string version; // the application's after the run
    };
    const std::vector<Case> cases = {
        {{"--overridetype"}, 0, "KRVN.S100.B1.08"},
        {{}, 2, "KRVN.S100.B1.07"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.extra.size());
        GmacMachine made = MakeGmacMachine(1);
        std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
        CEngineeringRig& rig = *owned;
        const std::string otherBoard = rig.folder.WriteBytes(
            "other.rom", MakeMcuFirmware(0x7E2B, 0x0999, 3000, "KRVN", "S100", "B1", "08"));
        std::vector<std::string> words = {"--proggmac=" + otherBoard};
        words.insert(words.end(), c.extra.begin(), c.extra.end());
        rig.console->lines = {"YES"};
        EXPECT_EQ(rig.Run(words, "y"), c.exitCode) << rig.out << rig.err;
        ASSERT_EQ(rig.Run({"--querygmac"}), 0) << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, "Full Version          : " + c.version))
            << rig.out << rig.err;
    }
}

TEST(GmacCommands, PortHeldByAnotherAgentIsRefused)
{
    GmacMachine made = MakeGmacMachine(1);
    auto* gpu = dynamic_cast<CSimGpu*>(made.machine->FindFunction(1, 0, 0)->Model());
    for (unsigned mutex = 0; mutex < 16; ++mutex)
    {
        gpu->HoldMutex(mutex, 0x7F);
    }
    std::unique_ptr<CEngineeringRig> owned = CEngineeringRig::OnMachine(made.machine);
    EXPECT_EQ(owned->Run({"--querygmac"}), 2);
    EXPECT_TRUE(Contains(owned->err, "\nERROR: This I2C port is in use by another program.\n"))
        << owned->err;
}
