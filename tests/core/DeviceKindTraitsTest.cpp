// The device-kind traits table every kind rule reads.

#include "core/DeviceKindTraits.h"

#include <gtest/gtest.h>

#include <cstdint>

// The rows of the kinds the rules word without naming them: the unknown kind
// 0, the unused 1, the bridge-era 4, the uncatalogued 14 and the last row 15.
TEST(DeviceKindTraits, RowsOfTheUnlistedKinds)
{
    struct Case
    {
        int64_t kind;
        bool directEeprom, softwareGate, driverManaged, preOsApplication, preservationTuning,
            isoTimerSetup, windowOffsetRegister, romWindows, olderPmuReset, bridge, gpu,
            switchesDeviceId, simulatedGpu;
    };
    // clang-format off
    const Case cases[] = {
        // kind direct gate   managed preOS  tuning isoTimer winOff romWin oldPmu bridge gpu    devId  simGpu
        {  0,   false, false, true,   true,  false, true,    true,  false, false, false, false, true,  false },
        {  1,   false, false, true,   true,  false, true,    true,  false, false, false, false, true,  false },
        {  4,   true,  true,  false,  false, false, true,    false, false, true,  false, true,  false, false },
        {  14,  true,  true,  false,  false, false, false,   false, true,  true,  false, true,  false, false },
        {  15,  false, false, true,   true,  false, false,   true,  true,  false, false, true,  true,  false },
        // Kinds beyond the table read as its last row.
        {  16,  false, false, true,   true,  false, false,   true,  true,  false, false, true,  true,  false },
    };
    // clang-format on
    for (const Case& c : cases)
    {
        const DeviceKindTraits& row = TraitsOfDeviceKind(c.kind);
        EXPECT_EQ(row.directEeprom, c.directEeprom) << c.kind;
        EXPECT_EQ(row.softwareGate, c.softwareGate) << c.kind;
        EXPECT_EQ(row.driverManaged, c.driverManaged) << c.kind;
        EXPECT_EQ(row.preOsApplication, c.preOsApplication) << c.kind;
        EXPECT_EQ(row.preservationTuning, c.preservationTuning) << c.kind;
        EXPECT_EQ(row.isoTimerSetup, c.isoTimerSetup) << c.kind;
        EXPECT_EQ(row.windowOffsetRegister, c.windowOffsetRegister) << c.kind;
        EXPECT_EQ(row.romWindows, c.romWindows) << c.kind;
        EXPECT_EQ(row.olderPmuReset, c.olderPmuReset) << c.kind;
        EXPECT_EQ(row.bridge, c.bridge) << c.kind;
        EXPECT_EQ(row.gpu, c.gpu) << c.kind;
        EXPECT_EQ(row.switchesDeviceId, c.switchesDeviceId) << c.kind;
        EXPECT_EQ(row.simulatedGpu, c.simulatedGpu) << c.kind;
    }
}
