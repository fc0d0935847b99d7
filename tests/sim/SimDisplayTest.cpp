// The simulated machine's display devices and D3-cold settings.

#include "sim/SimDisplay.h"
#include "core/DisplayDevices.h"
#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
TEST(SimDisplayDevices, ListTheReachableFunctionsWithTheMakersGpusStarted)
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    AddSimRootPort(*machine, {0, 1, 0}, 1, 1);
    AddSimGpu(*machine, {1, 0, 0}, 0x0C00, 12, 0xC0000000);
    // No bridge leads to bus 5: the system cannot see that GPU.
    AddSimGpu(*machine, {5, 0, 0}, 0x0B00, 11, 0xC1000000);
    auto* displays = new CSimDisplayDevices(machine);
    CRefPtr<IDisplayDeviceManager> manager(displays);
    CRefPtr<ID3ColdControl> d3Cold(displays);

    std::vector<DeviceEntry> devices;
    ASSERT_TRUE(manager->ListDevices(devices));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].instanceId, "0000:00:01.0");
    EXPECT_EQ(devices[1].instanceId, "0000:01:00.0");
    EXPECT_EQ(devices[1].description, "Korvan Dolvik1 C00");
    EXPECT_EQ(devices[1].location, "PCI bus 1, device 0, function 0");
    EXPECT_EQ(FindDisplayDevices(devices), (std::vector<DisplayDeviceRecord>{
                                               {0x7E2B, 0x0C00, "PCI\\VEN_7E2B&DEV_0C00&REV_A1"}}));

    DeviceStatus status;
    ASSERT_EQ(manager->GetDeviceStatus("0000:01:00.0", status), 0u);
    EXPECT_EQ(status.status & DeviceStatus::kStarted, DeviceStatus::kStarted);
    ASSERT_EQ(manager->GetDeviceStatus("0000:00:01.0", status), 0u);
    EXPECT_EQ(status.problem, DeviceStatus::kProblemNoDriver) << "no display driver for a port";
    EXPECT_NE(manager->GetDeviceStatus("0000:05:00.0", status), 0u);
    EXPECT_NE(manager->ChangeDeviceState("0000:00:01.0", EDeviceStateChange::Disable,
                                         EDeviceStateScope::Global),
              0u);

    ASSERT_EQ(manager->ChangeDeviceState("0000:01:00.0", EDeviceStateChange::Disable,
                                         EDeviceStateScope::Global),
              0u);
    ASSERT_EQ(manager->GetDeviceStatus("0000:01:00.0", status), 0u);
    EXPECT_EQ(status.problem, DeviceStatus::kProblemDisabled);
    EXPECT_FALSE(displays->IsDriverBound("0000:01:00.0"));

    std::vector<std::string> gpus;
    ASSERT_EQ(d3Cold->EnumerateGpus(gpus), 0);
    EXPECT_EQ(gpus, std::vector<std::string>{"0000:01:00.0"});
    uint32_t allowed = 0;
    ASSERT_EQ(d3Cold->QueryD3Cold("0000:01:00.0", allowed), 0);
    EXPECT_EQ(allowed, 1u);
    ASSERT_EQ(d3Cold->SetD3Cold("0000:01:00.0", false), 0);
    EXPECT_FALSE(displays->IsD3ColdAllowed("0000:01:00.0"));
    EXPECT_NE(d3Cold->SetD3Cold("0000:09:00.0", false), 0);
}
} // namespace
