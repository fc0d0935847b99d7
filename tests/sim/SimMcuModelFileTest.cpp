// The board MCU's machine-file section.

#include "sim/MachineFile.h"
#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "sim/SimMcu.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace
{
using json = nlohmann::json;

class SimMcuMachineFileTest : public ::testing::Test
{
protected:
    SimMcuMachineFileTest()
    {
        m_directory.WriteBytes("mcu.bin", MakeMcuFirmware(0x7E2B, 0x0C00, 2000));
    }

    static json Machine(const json& mcu)
    {
        return json{
            {"pci",
             json::array(
                 {{{"address", "00:01.0"},
                   {"vendor", "0x7E2B"},
                   {"device", "0x0C00"},
                   {"class", "0x030000"},
                   {"model",
                    {{"kind", "gpu"},
                     {"name", "gpu"},
                     {"device_kind", 12},
                     {"i2c", json::array({{{"port", 1}, {"slaves", json::array({mcu})}}})}}}}})}};
    }

    CSimMcuSlave& McuOf(CSimMachine& machine)
    {
        auto* gpu = dynamic_cast<CSimGpu*>(machine.FindDevice("gpu"));
        return *dynamic_cast<CSimMcuSlave*>(gpu->Port(1).FindSlave("mcu"));
    }

    testkit::CScratchDirectory m_directory{"romvise-sim-mcu"};
};

TEST_F(SimMcuMachineFileTest, ReadsTheMcuSection)
{
    std::shared_ptr<CSimMachine> running =
        LoadMachineJson(Machine({{"kind", "mcu"}, {"application", "mcu.bin"}}), m_directory);
    CSimMcuSlave& app = McuOf(*running);
    EXPECT_EQ(app.Mode(), 1);
    EXPECT_TRUE(app.IsApplicationValid());

    std::shared_ptr<CSimMachine> loader = LoadMachineJson(Machine({{"kind", "mcu"},
                                                                   {"application", "mcu.bin"},
                                                                   {"mode", "bootloader"},
                                                                   {"refuses_read_page", true},
                                                                   {"busy_polls", 5}}),
                                                          m_directory);
    CSimMcuSlave& bootLoader = McuOf(*loader);
    EXPECT_EQ(bootLoader.Mode(), 0);
    EXPECT_TRUE(bootLoader.Config().refusesReadPage);
    EXPECT_EQ(bootLoader.Config().busyPolls, 5);

    // Without an application the MCU can only run its boot loader.
    EXPECT_EQ(McuOf(*LoadMachineJson(Machine({{"kind", "mcu"}}), m_directory)).Mode(), 0);
}

TEST_F(SimMcuMachineFileTest, BadSectionsAreRefused)
{
    const struct
    {
        json section;
        const char* error;
    } cases[] = {
        {{{"kind", "mcu"}, {"mode", "sleep"}}, "\"mode\" must be \"app\" or \"bootloader\""},
        {{{"kind", "mcu"}, {"application", "missing.bin"}}, "cannot open \"application\""},
        {{{"kind", "mcu"}, {"address", "0x1FF"}}, "\"address\" is out of range"},
    };
    for (const auto& c : cases)
    {
        try
        {
            LoadMachineJson(Machine(c.section), m_directory);
            ADD_FAILURE() << c.error;
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
        }
    }
}
} // namespace
