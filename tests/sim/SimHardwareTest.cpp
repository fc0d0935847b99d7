// The test kit's scope that makes a machine the process's hardware.

#include "core/platform/PlatformServices.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

namespace
{
TEST(SimHardwareScope, InstallsTheMachineAndReleasesTheDriverAfterwards)
{
    {
        CSimHardwareScope scope(MakeMachineWithMcfg());
        AddTestFunction(scope.Machine(), 0, 4, 0, 0x10DE, 0x2504, 0xF0000000, 0x1000);
        CRefPtr<IPCIDeviceAccessor> pci =
            CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 0, 4, 0, -1, 0, 0);
        EXPECT_EQ(pci->ReadExtConfig32(0), 0x250410DEu);
        EXPECT_EQ(pci->ReadConfig32(0x08), 0x030000A1u);
        scope.Machine().Clock().WaitMicroseconds(5);
        EXPECT_EQ(GetClock().NowMicroseconds(), 5u);
    }
    EXPECT_THROW(GetRomviseDriver(), std::logic_error);
}
} // namespace
