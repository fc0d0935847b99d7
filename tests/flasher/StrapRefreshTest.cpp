// Loading a programmed image's straps into the GPU after a flash: the GPU's
// strap registers take the image's words, a bridge's are left alone.

#include "FirmwareImages.h"
#include "FlasherMachine.h"
#include "flasher/StrapRefresh.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/SimGpu.h"
#include "testkit/image/GpuImageBuilder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

TEST(StrapRefresh, LoadsTheImageStrapsOnlyWhereTheEEPROMHoldsThem)
{
    CFlasherMachine rig({{0x0800, 8, MakeFirmware()}});
    CSimGpu* gpu = &rig.Gpu(0);
    CLog log;
    PCIDeviceAccessorList functions;
    rig.bus->FindPCIDevices(functions, 0, nullptr, false, &log);
    CRefPtr<IPCIDeviceAccessor> function;
    for (const CRefPtr<IPCIDeviceAccessor>& candidate : functions)
    {
        if (candidate->GetBus() == 1)
        {
            function = candidate;
        }
    }
    ASSERT_TRUE(function);
    CDisplayAdapterType gpuType;
    CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase())
        ->GetAdapterType(gpuType, 0x7E2B, 0x0800);
    ASSERT_TRUE(gpuType.HasEEPROMStraps());
    // The same function seen as an adapter whose straps are not in its EEPROM.
    CDisplayAdapterType bridgeType = gpuType;
    bridgeType.eepromStraps = 0;
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, 0x1000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001, {0x11111111, 0x22222222, 0x33333333, 0x44444444});
    const CRefPtr<IROMImage> image = builder.BuildImage();
    constexpr uint32_t kBefore = 0xA5A5A5A5;
    struct Case
    {
        const char* name;
        const CDisplayAdapterType& type;
        std::string logged;
        uint32_t subsystem; // register 0x88040
        uint32_t straps1;   // register 0x101004
    };
    const std::vector<Case> cases = {
        {"GPU", gpuType,
         "Refreshing straps:SSID:0x00017E2B:1:0x11111111:2:0x22222222:4:0x33333333:5:0x44444444\n",
         0x00017E2B, 0x11111111},
        {"bridge", bridgeType, "", kBefore, kBefore},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        for (const uint32_t reg : {0x88040u, 0x101004u})
        {
            gpu->SetRegister(reg, kBefore);
        }
        const CRefPtr<IDisplayAdapter> adapter =
            CreateDisplayAdapter(c.type, 0x7E2B, 0x0001, function);
        rig.bus->MapAdapter(adapter);
        std::ostringstream logged;
        {
            const CScopedLogSink sink(&log, &logged, 3, 3);
            RefreshStraps(*adapter, *image, &log);
        }
        EXPECT_EQ(logged.str(), c.logged);
        EXPECT_EQ(gpu->Register(0x88040), c.subsystem);
        EXPECT_EQ(gpu->Register(0x101004), c.straps1);
    }
}
