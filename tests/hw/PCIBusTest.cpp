// The PCI bus scan over simulated machines: which functions are probed, which
// become adapters, the hierarchy behind recognised bridge ports, the primary
// adapter, the rescan for a GPU the walk missed, and the plain listing.

#include "core/CrossPlatform.h"
#include "hw/adapter/IPCIBus.h"
#include "sim/SimDisplay.h"
#include "sim/SimZX22Bridge.h"
#include "testkit/TextCount.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <sstream>

using testkit::CountOf;

namespace
{
constexpr uint32_t kBusBar = 0xC0000000;

struct ScanResult
{
    DisplayAdapterList adapters;
    std::string log;
};

ScanResult Scan(bool keepUnknown = false)
{
    CLog log;
    std::ostringstream out;
    log.AddSink(&out, 1, 5);
    ScanResult result;
    CRefPtr<IDisplayAdapterDatabase> database(CreateDisplayAdapterDatabase());
    IPCIBus::Create()->FindDevices(result.adapters, database, keepUnknown, &log);
    result.log = out.str();
    return result;
}

std::string Names(const DisplayAdapterList& adapters)
{
    std::string names;
    for (const CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        std::ostringstream location;
        adapter->GetDevice()->PrintLocation(location, true);
        names += (names.empty() ? "" : "; ") + adapter->GetName() + " @" + location.str() + " " +
                 adapter->GetHierarchyShortName() + "/" + adapter->GetParentBusText();
    }
    return names;
}

void MarkMultiFunction(CSimPciFunction& function)
{
    function.Store(0x0E, 1, function.Stored(0x0E, 1) | 0x80);
}

TEST(PCIBusScan, TopologiesGiveTheirAdapters)
{
    struct Case
    {
        const char* name;
        void (*build)(CSimMachine&);
        const char* adapters;
    };
    const Case cases[] = {
        {"single function: function 1 is never probed",
         [](CSimMachine& m)
         {
             AddSimRootPort(m, {0, 1, 0}, 1, 1);
             AddSimGpu(m, {1, 0, 0}, 0x0610, 6, kBusBar);
             AddSimGpu(m, {1, 0, 1}, 0x0611, 6, kBusBar + 0x1000000);
         },
         "Korvan ISO 610 @00:01:00.0 NRM/--"},
        {"multi-function: both functions",
         [](CSimMachine& m)
         {
             AddSimRootPort(m, {0, 1, 0}, 1, 1);
             MarkMultiFunction(AddSimGpu(m, {1, 0, 0}, 0x0610, 6, kBusBar).Function());
             AddSimGpu(m, {1, 0, 1}, 0x0611, 6, kBusBar + 0x1000000);
         },
         "Korvan ISO 610 @00:01:00.0 NRM/--; Korvan ISO 611 @00:01:00.1 NRM/--"},
        {"absent function 0 does not stop the probing",
         [](CSimMachine& m)
         {
             AddSimRootPort(m, {0, 1, 0}, 1, 1);
             AddSimGpu(m, {1, 0, 2}, 0x0610, 6, kBusBar);
         },
         "Korvan ISO 610 @00:01:00.2 NRM/--"},
        {"behind a ZX22 bridge",
         [](CSimMachine& m)
         {
             AddSimZX22Bridge(m, {0, 2, 0}, 2, 2);
             AddSimGpu(m, {2, 0, 0}, 0x0610, 6, kBusBar);
         },
         "Korvan ZX22 Bridge @00:00:02.0 NRM/--; Korvan ISO 610 @00:02:00.0 SP2/00"},
        {"behind a PLX port with device number 8",
         [](CSimMachine& m)
         {
             AddSimPlxPort(m, {0, 1, 0}, 1, 2, 0);
             AddSimPlxPort(m, {1, 8, 0}, 2, 2, 1);
             AddSimGpu(m, {2, 0, 0}, 0x0C00, 12, kBusBar);
         },
         "PLX PEX 8747 Switch @00:00:01.0 NRM/--; PLX PEX 8747 Switch @00:01:08.0 SP1/00; "
         "Korvan Dolvik1 C00 @00:02:00.0 SP8/01"},
        {"a bridge port numbered 6 is no adapter but still leads to its bus",
         [](CSimMachine& m)
         {
             AddSimPlxPort(m, {0, 1, 0}, 1, 1, 6);
             AddSimGpu(m, {1, 0, 0}, 0x0610, 6, kBusBar);
         },
         "Korvan ISO 610 @00:01:00.0 SP1/00"},
        {"an unknown VGA function is dropped",
         [](CSimMachine& m)
         {
             AddSimRootPort(m, {0, 1, 0}, 1, 2);
             AddSimGpu(m, {1, 0, 0}, 0x0F10, 6, kBusBar);
             AddSimGpu(m, {0, 3, 0}, 0x0B00, 11, kBusBar + 0x1000000);
         },
         "Korvan Dolvik B00 @00:00:03.0 NRM/--"},
    };
    for (const Case& c : cases)
    {
        CSimHardwareScope scope(MakeMachineWithMcfg());
        c.build(scope.Machine());
        EXPECT_EQ(Names(Scan().adapters), c.adapters) << c.name;
    }
}

TEST(PCIBusScan, LogsEveryPresentFunctionAndItsRole)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    AddSimZX22Bridge(scope.Machine(), {0, 2, 0}, 2, 2);
    AddSimGpu(scope.Machine(), {2, 0, 0}, 0x0F10, 6, kBusBar, 0x1043, 0x8A21);
    const ScanResult result = Scan();
    EXPECT_NE(result.log.find("FindDevices:\n"), std::string::npos);
    EXPECT_NE(result.log.find("Device:00:02:00=7E2B:1E00:FFFF:FFFF BRIDGE GPU\n"),
              std::string::npos)
        << result.log;
    EXPECT_NE(result.log.find("Device:02:00:00=7E2B:0F10:1043:8A21 GPU\n"), std::string::npos)
        << result.log;
    EXPECT_EQ(result.adapters.size(), 1u);
}

TEST(PCIBusScan, BridgeSubsystemComesFromItsCapabilityAndALoopingListEnds)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    CSimPciFunction& zx22 = AddSimZX22Bridge(scope.Machine(), {0, 2, 0}, 2, 2);
    zx22.AddCapability(0x05, {0, 0});
    zx22.AddCapability(0x0D, {0, 0, 0x2B, 0x7E, 0x34, 0x12});
    CSimPciFunction& looping = AddSimZX22Bridge(scope.Machine(), {0, 3, 0}, 3, 3);
    const uint8_t first = looping.AddCapability(0x05, {0, 0});
    const uint8_t second = looping.AddCapability(0x10, {0, 0});
    looping.Store(second + 1u, 1, first); // the list points back at its start

    const ScanResult result = Scan();
    EXPECT_NE(result.log.find("Device:00:02:00=7E2B:1E00:7E2B:1234 BRIDGE GPU\n"),
              std::string::npos)
        << result.log;
    EXPECT_NE(result.log.find("Device:00:03:00=7E2B:1E00:FFFF:FFFF BRIDGE GPU\n"),
              std::string::npos);
    EXPECT_EQ(result.adapters.size(), 2u);
}

TEST(PCIBusScan, KeptUnknownDisplayFunctionDoesNotEndTheScan)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    AddSimRootPort(scope.Machine(), {0, 1, 0}, 1, 2);
    AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0F10, 6, kBusBar);
    AddSimGpu(scope.Machine(), {0, 3, 0}, 0x0B00, 11, kBusBar + 0x1000000);
    const ScanResult result = Scan(true);
    EXPECT_EQ(Names(result.adapters), "Korvan Dolvik B00 @00:00:03.0 NRM/--");
    EXPECT_NE(result.log.find(" GPU skipped: IDevice::Create: Unknown/unsupported device type"),
              std::string::npos);
}

TEST(PCIBusScan, ScansUpToAndIncludingTheEndBus)
{
    auto machine = std::make_shared<CSimMachine>();
    CAcpiTableBuilder().AddMcfg({McfgAllocation{kTestEcamBase, 0, 0, 0x3F}}).Build(*machine);
    CSimHardwareScope scope(machine);
    AddSimRootPort(*machine, {0, 1, 0}, 0x3F, 0x40);
    AddSimGpu(*machine, {0x3F, 0, 0}, 0x0610, 6, kBusBar);
    AddSimGpu(*machine, {0x40, 0, 0}, 0x0611, 6, kBusBar + 0x1000000);
    EXPECT_EQ(Names(Scan().adapters), "Korvan ISO 610 @00:3F:00.0 NRM/--");
}

TEST(PCIBusScan, StackedZX22BridgesEachKeepReachingTheirOwnRegisters)
{
    // Upstream bridge U at 00:01.0 and lower bridge B at 02:00.0, both shown
    // in the GPU's window 7 where U hides B: B's search moves U away, and U,
    // found first, must follow the move.
    CSimHardwareScope scope(MakeMachineWithMcfg());
    CSimMachine& machine = scope.Machine();
    CSimPciFunction& upstream = AddSimZX22Bridge(machine, {0, 1, 0}, 1, 4);
    AddSimRootPort(machine, {1, 0, 0}, 2, 4);
    CSimPciFunction& lower = AddSimZX22Bridge(machine, {2, 0, 0}, 3, 4);
    AddSimRootPort(machine, {3, 0, 0}, 4, 4);
    CSimGpu& gpu = AddSimGpu(machine, {4, 0, 0}, 0x0610, 6, kBusBar);
    SimZX22Config config;
    config.window = 7;
    config.placementSettings = 0x3FFF;
    config.debug = 0x9;
    machine.AddDevice(std::make_shared<CSimZX22Bridge>("upstream", upstream, gpu, config));
    config.debug = 0x5;
    machine.AddDevice(std::make_shared<CSimZX22Bridge>("lower", lower, gpu, config));

    const ScanResult result = Scan();
    ASSERT_EQ(result.adapters.size(), 3u);
    EXPECT_EQ(result.adapters[0]->GetDevice()->Read32(0x210), 0x9u) << result.log;
    EXPECT_EQ(result.adapters[1]->GetDevice()->Read32(0x210), 0x5u);
}

TEST(PCIBusScan, PrimaryAdapterIsTheFirstThatIsNoBridge)
{
    TwoGpuMachine made = MakeTwoGpuMachine();
    CSimHardwareScope scope(made.machine);
    const ScanResult result = Scan();
    ASSERT_EQ(result.adapters.size(), 3u);
    EXPECT_EQ(result.adapters[0]->GetDeviceKind(), kDeviceKindZX22);
    EXPECT_EQ(GetCrossPlatform()->GetPrimaryAdapter().get(),
              static_cast<IAdapterContext*>(result.adapters[1].get()));
}

TEST(PCIBusScan, GpuMissingFromTheWalkIsDisabledAndTheWalkRepeatedTwice)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    AddSimRootPort(scope.Machine(), {0, 1, 0}, 1, 1);
    AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0C00, 12, kBusBar);
    GetSimDisplayDevices()->AddHiddenGpu(3, 0, 0, 0x0C01);

    const ScanResult result = Scan();
    EXPECT_EQ(result.adapters.size(), 1u);
    EXPECT_EQ(CountOf(result.log, "The specific GPU (0C01) is missed in the PCI enumeration, "
                                  "disabling KR driver and re-scan PCI devices.\n"),
              2u);
    EXPECT_EQ(CountOf(result.log, "Device:01:00:00="), 3u) << "three passes in all";
    EXPECT_FALSE(GetSimDisplayDevices()->IsDriverBound("0000:03:00.0"));
    EXPECT_TRUE(GetSimDisplayDevices()->IsDriverBound("0000:01:00.0"));
    EXPECT_EQ(GetSimDisplayDevices()->Changes(), std::vector<std::string>{"disable 0000:03:00.0"});

    // The device disabled for the scan comes back with the device-driver
    // enabling.
    GetCrossPlatform()->EnableDeviceDriver(nullptr);
    EXPECT_TRUE(GetSimDisplayDevices()->IsDriverBound("0000:03:00.0"));
}

TEST(PCIBusScan, GpuThatAppearsOnceItsDriverLetsGoIsFoundByTheSecondPass)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    CSimMachine& machine = scope.Machine();
    AddSimRootPort(machine, {0, 1, 0}, 1, 1);
    AddSimRootPort(machine, {0, 3, 0}, 3, 3);
    AddSimGpu(machine, {1, 0, 0}, 0x0C00, 12, kBusBar);
    GetSimDisplayDevices()->AddHiddenGpu(
        3, 0, 0, 0x0C01,
        [&machine] {
            AddSimGpu(machine, {3, 0, 0}, 0x0C01, 12, kBusBar + 0x1000000);
        });

    const ScanResult result = Scan();
    EXPECT_EQ(Names(result.adapters),
              "Korvan Dolvik1 C00 @00:01:00.0 NRM/--; Korvan Dolvik1 C01 Duo @00:03:00.0 NRM/--");
    EXPECT_EQ(CountOf(result.log, "is missed in the PCI enumeration"), 1u);
    EXPECT_EQ(CountOf(result.log, "Device:01:00:00="), 2u) << "two passes";
    EXPECT_FALSE(GetSimDisplayDevices()->IsDriverBound("0000:03:00.0"));
    GetCrossPlatform()->EnableDeviceDriver(nullptr);
    EXPECT_TRUE(GetSimDisplayDevices()->IsDriverBound("0000:03:00.0"));
}

TEST(PCIBusScan, ListsFunctionsOfABusWithTheirConfigurationSpace)
{
    CSimHardwareScope scope(MakeMachineWithMcfg());
    AddSimRootPort(scope.Machine(), {0, 1, 0}, 1, 1);
    MarkMultiFunction(AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0610, 6, kBusBar).Function());
    AddSimGpu(scope.Machine(), {1, 0, 3}, 0x0C00, 12, kBusBar + 0x1000000);

    CLog log;
    std::ostringstream logged;
    log.AddSink(&logged, 1, 5);
    PCIFilter filter;
    filter.bus = 1;
    PCIDeviceAccessorList accessors;
    ::testing::internal::CaptureStdout();
    IPCIBus::Create()->FindPCIDevices(accessors, 64, &filter, true, &log);
    const std::string printed = ::testing::internal::GetCapturedStdout();

    ASSERT_EQ(accessors.size(), 2u);
    EXPECT_EQ(accessors[1]->GetFunctionNumber(), 3);
    EXPECT_NE(printed.find("     [S#:B#:D#.F#]  [Description]\n"
                           "<00> 00:0001:00.00  Korvan ISO 610(7E2B:0610)\n"
                           "  \t\t  00: 2B 7E 10 06 00 00 00 00 - A1 00 00 03 00 00 80 00 \n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("<01> 00:0001:00.03  Korvan Dolvik1 C00(7E2B:0C00)\n"),
              std::string::npos);
    EXPECT_EQ(CountOf(printed, "  \t\t  "), 8u) << "four rows per function";
    EXPECT_NE(logged.str().find("<01> 00:0001:00.03"), std::string::npos);
}
} // namespace
