// A machine file with two GPUs of different generations, one behind a ZX22
// bridge, and the board MCU on the other: the adapters are found in bus order
// with their catalogue names and descriptions, their display drivers are
// disabled and enabled again in the simulated machine, and the MCU firmware
// of one is updated.

#include "core/CrossPlatform.h"
#include "core/Log.h"
#include "core/platform/PlatformServices.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "sim/MachineFile.h"
#include "sim/SimDisplay.h"
#include "sim/SimGpu.h"
#include "sim/SimMcu.h"
#include "testkit/ScratchDirectory.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace
{
namespace fs = std::filesystem;

const char* const kMachine = R"({
  "acpi": {"mcfg": [{"base": "0xE0000000", "start_bus": 0, "end_bus": 255}]},
  "pci": [
    {"address": "00:01.0", "vendor": "0x8086", "device": "0x7A38", "class": "0x060400",
     "bridge": {"secondary": 1, "subordinate": 1}},
    {"address": "00:02.0", "vendor": "0x7E2B", "device": "0x1E00", "class": "0x060400",
     "bridge": {"secondary": 2, "subordinate": 3},
     "config": [{"offset": "0x60", "value": "0x00000000"}]},
    {"address": "02:00.0", "vendor": "0x1B36", "device": "0x000C", "class": "0x060400",
     "bridge": {"secondary": 3, "subordinate": 3}},
    {"address": "01:00.0", "vendor": "0x7E2B", "device": "0x0C00", "class": "0x030000",
     "revision": "0xA1", "subsystem": {"vendor": "0x7E2B", "device": "0x0C10"},
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xC0000000"}],
     "model": {"kind": "gpu", "name": "dolvik1", "device_kind": 12,
               "i2c": [{"port": 1, "slaves": [{"kind": "mcu", "application": "mcu-07.bin"}]}]}},
    {"address": "03:00.0", "vendor": "0x7E2B", "device": "0x0610", "class": "0x030000",
     "revision": "0xA1", "subsystem": {"vendor": "0x7E2B", "device": "0x0611"},
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xC2000000"}],
     "model": {"kind": "gpu", "name": "iso", "device_kind": 6}}
  ],
  "devices": [{"kind": "zx22", "function": "00:02.0", "gpu": "iso", "window": 6}]
})";

class TwoGpuMachineFile : public ::testing::Test
{
protected:
    TwoGpuMachineFile() : m_scope(Load(m_folder)), m_console(InstallTypedConsole()) {}

    static std::shared_ptr<CSimMachine> Load(const testkit::CScratchDirectory& folder)
    {
        folder.WriteBytes("mcu-07.bin",
                          MakeMcuFirmware(0x7E2B, 0x0C00, 3000, "KRVN", "S100", "B1", "07"));
        return LoadMachineFile(folder.WriteText("machine.json", kMachine));
    }

    CSimMcuSlave& Mcu()
    {
        auto* gpu = dynamic_cast<CSimGpu*>(m_scope.Machine().FindDevice("dolvik1"));
        return *dynamic_cast<CSimMcuSlave*>(gpu->Port(1).FindSlave("mcu"));
    }

    testkit::CScratchDirectory m_folder{"romvise-two-gpu"};
    CSimHardwareScope m_scope;
    CRefPtr<CTypedConsole> m_console;
};

TEST_F(TwoGpuMachineFile, FindsDrivesAndUpdatesItsAdapters)
{
    CLog log;
    std::ostringstream logged;
    log.AddSink(&logged, 1, 5);
    DisplayAdapterList adapters;
    EnumerateAdapters(adapters, IPCIBus::Create(),
                      CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                      &log);

    std::ostringstream descriptions;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        adapter->PrintDescriptionLine(descriptions, false);
        adapter->PrintDescriptionLine(descriptions, true);
    }
    EXPECT_EQ(descriptions.str(),
              "Korvan ZX22 Bridge   Device Path: S:00,B:00,D:02,F:00\n"
              "Korvan ZX22 Bridge   (7E2B,1E00,FFFF,FFFF) H:--:NRM  S:00,B:00,D:02,F:00\n"
              "Korvan Dolvik1 C00   Device Path: S:00,B:01,D:00,F:00\n"
              "Korvan Dolvik1 C00   (7E2B,0C00,7E2B,0C10) H:--:NRM  S:00,B:01,D:00,F:00\n"
              "Korvan ISO 610       Device Path: S:00,B:03,D:00,F:00\n"
              "Korvan ISO 610       (7E2B,0610,7E2B,0611) H:--:NRM  S:00,B:03,D:00,F:00\n");
    ASSERT_EQ(adapters.size(), 3u);
    CRefPtr<IDisplayAdapter> dolvik = adapters[1];

    // The drivers of both GPUs go off, the active adapter's last, and come
    // back.
    ICrossPlatform* os = GetCrossPlatform();
    CSimDisplayDevices& displays = *GetSimDisplayDevices();
    os->SetActiveAdapter(CRefPtr<IAdapterContext>(dolvik));
    os->SetAdapterCount(1);
    ASSERT_TRUE(os->ToggleDisplayDriver(&log));
    EXPECT_FALSE(displays.IsDriverBound("0000:01:00.0"));
    EXPECT_FALSE(displays.IsDriverBound("0000:03:00.0"));
    EXPECT_FALSE(displays.IsD3ColdAllowed("0000:01:00.0"));
    os->RestoreDisplayDriver(&log);
    EXPECT_TRUE(displays.IsDriverBound("0000:01:00.0"));
    EXPECT_TRUE(displays.IsDriverBound("0000:03:00.0"));
    EXPECT_TRUE(displays.IsD3ColdAllowed("0000:01:00.0"));
    EXPECT_EQ(displays.Changes(),
              (std::vector<std::string>{"disable 0000:03:00.0", "disable 0000:01:00.0",
                                        "enable 0000:01:00.0", "enable 0000:01:00.0",
                                        "enable 0000:03:00.0", "enable 0000:03:00.0"}));

    // The MCU of the Dolvik1 takes new firmware without a question.
    const std::vector<uint8_t> firmware =
        MakeMcuFirmware(0x7E2B, 0x0C00, 5000, "KRVN", "S100", "B1", "08");
    const std::string update = m_folder.WriteBytes("mcu-08.bin", firmware);
    ASSERT_TRUE(dolvik->GetGmacAccessor());
    EXPECT_FALSE(adapters[0]->GetGmacAccessor()) << "bridges have no MCU";
    std::ostringstream messages;
    CScopedLogSink sink(GetLog(), &messages, 4, 5);
    // End of input answers the prompt with no 'y'.
    EXPECT_FALSE(dolvik->GetGmacAccessor()->Flash(update, &log));
    EXPECT_NE(messages.str().find("Update aborted."), std::string::npos);

    m_console->keys = {'y'};
    const uint64_t before = m_scope.Machine().Clock().NowMicroseconds();
    EXPECT_TRUE(dolvik->GetGmacAccessor()->Flash(update, &log));
    EXPECT_TRUE(Mcu().IsApplicationValid());
    EXPECT_EQ(Mcu().Mode(), 1);
    EXPECT_EQ(std::vector<uint8_t>(Mcu().Flash().begin() + 4096,
                                   Mcu().Flash().begin() + 4096 + firmware.size()),
              firmware);
    // Five pages at no less than 1.85 s each.
    EXPECT_GE(m_scope.Machine().Clock().NowMicroseconds() - before, 5u * 1850000u);
}
} // namespace
