// The Kestrix microcode commands on a Dolvik1 with its Kestrix engines: the
// engine named in a refused image, the load style the images carry into the
// engines, the ECID hash and a failed ECID read, and attaching to running
// microcode.

#include "KestrixMachine.h"

#include "eeprom/KestrixLoader.h"
#include "sim/SimGpu.h"
#include "sim/SimKestrix.h"
#include "testkit/kestrix/KestrixImageBuilder.h"

#include <gtest/gtest.h>

namespace
{
SimKestrixConfig WithEcid()
{
    SimKestrixConfig config;
    for (uint8_t i = 0; i < 32; ++i)
    {
        config.ecid[i] = static_cast<uint8_t>(0xA0 + i);
    }
    return config;
}
} // namespace

TEST(MicrocodeCommands, RefusedImagesAreNamedByTheirEngine)
{
    struct Case
    {
        std::vector<std::string> words;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--loadkestrix", "--pmu=none.bin"}, "PMU:  KESTRIX_IMAGE_FILE_NOT_FOUND"},
        {{"--loadkestrix", "--krdec=none.bin"}, "KRDEC:  UNKNOWN KESTRIX IMAGE ERROR"},
        {{"--loadkestrix", "--sec=none.bin"}, "SEC:  UNKNOWN KESTRIX IMAGE ERROR"},
        {{"--loadkestrix", "--pmu"},
         "loadkestrix command failed,  you must specify a Kestrix uCode image, using \"pmu\" or "
         "\"krdec\" "},
        {{"--ecid", "--pmu=none.bin"}, "PMU:  KESTRIX_IMAGE_FILE_NOT_FOUND"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.back());
        std::unique_ptr<CEngineeringRig> rig = CEngineeringRig::OnMachine(MakeKestrixMachine({}));
        EXPECT_EQ(rig->Run(c.words), 2);
        EXPECT_TRUE(Contains(rig->err, "\nERROR: " + c.err + "\n")) << rig->err;
    }
}

TEST(MicrocodeCommands, LoadStyleReachesEveryImageTheCommandLoads)
{
    struct Case
    {
        std::string word;
        uint8_t style; // the load-style byte of the image's target record
    };
    const KestrixImageSpec spec;
    for (const Case& c : {Case{"--loadkestrix=alt", 1}, Case{"--loadkestrix", 0}})
    {
        SCOPED_TRACE(c.word);
        std::shared_ptr<CSimMachine> machine = MakeKestrixMachine({});
        auto* kestrix = dynamic_cast<CSimKestrix*>(machine->FindDevice("kestrix"));
        std::unique_ptr<CEngineeringRig> rig = CEngineeringRig::OnMachine(machine);
        const std::string image = rig->folder.WriteBytes("ucode.bin", BuildKestrixImage(spec));
        ASSERT_EQ(rig->Run({c.word, "--pmu=" + image, "--sec=" + image}), 0) << rig->err;
        for (const uint32_t engine : {CSimKestrix::kPmuBase, CSimKestrix::kSecBase})
        {
            EXPECT_EQ(kestrix->ReadDmem(engine, spec.targetRecordOffset + 9, 1),
                      std::vector<uint8_t>{c.style})
                << std::hex << engine;
        }
    }
}

TEST(MicrocodeCommands, AdapterChosenFromTheMenuIsTheOneLoaded)
{
    const KestrixImageSpec spec;
    std::shared_ptr<CSimMachine> machine = MakeKestrixMachine({}, 2);
    auto* first = dynamic_cast<CSimKestrix*>(machine->FindDevice("kestrix"));
    auto* second = dynamic_cast<CSimKestrix*>(machine->FindDevice("kestrix1"));
    std::unique_ptr<CEngineeringRig> rig = CEngineeringRig::OnMachine(machine);
    const std::string image = rig->folder.WriteBytes("ucode.bin", BuildKestrixImage(spec));
    // Adapter 1 from the menu, then yes to the monitor warning.
    ASSERT_EQ(rig->Run({"--loadkestrix=alt", "--pmu=" + image}, "1\ry"), 0) << rig->err;
    EXPECT_TRUE(Contains(rig->err, "Select a display adapter:")) << rig->err;
    const uint32_t styleByte = spec.targetRecordOffset + 9;
    EXPECT_EQ(second->ReadDmem(CSimKestrix::kPmuBase, styleByte, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(first->ReadDmem(CSimKestrix::kPmuBase, styleByte, 1), std::vector<uint8_t>{0});
}

TEST(MicrocodeCommands, EcidShowsTheHashOrFails)
{
    {
        std::unique_ptr<CEngineeringRig> rig =
            CEngineeringRig::OnMachine(MakeKestrixMachine(WithEcid()));
        EXPECT_EQ(rig->Run({"--ecid"}), 0) << rig->err;
        EXPECT_TRUE(Contains(rig->err, "ECID ID( SHA2 Hash ):\nA0A1A2A3A4A5A6A7A8A9AAABACADAEAF"
                                       "B0B1B2B3B4B5B6B7B8B9BABBBCBDBEBF\n"))
            << rig->err;
    }
    {
        SimKestrixConfig config = WithEcid();
        config.errorCodes[KR_UCODE_CMD_COMMAND_ECID] = 5;
        std::unique_ptr<CEngineeringRig> rig =
            CEngineeringRig::OnMachine(MakeKestrixMachine(config));
        EXPECT_EQ(rig->Run({"--ecid"}), 2);
        EXPECT_TRUE(Contains(rig->err, "\nERROR: ECID read failed (status 5).\n")) << rig->err;
        EXPECT_FALSE(Contains(rig->err, "ECID ID( SHA2 Hash ):")) << rig->err;
    }
}

TEST(MicrocodeCommands, AttachNamesItsLoaderType)
{
    std::unique_ptr<CEngineeringRig> rig = CEngineeringRig::OnMachine(MakeKestrixMachine({}));
    rig->Run({"--attachkestrix", "--pmu=none.bin"});
    EXPECT_TRUE(Contains(rig->out, "type = KESTRIX_PMU_ATTACH \n")) << rig->out;
    // The attached loader builds no image, so the named file is not looked for.
    EXPECT_FALSE(Contains(rig->err, "KESTRIX_IMAGE_FILE_NOT_FOUND")) << rig->err;
}
