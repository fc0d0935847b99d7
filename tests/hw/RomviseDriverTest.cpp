// The driver: requests reaching the transport, its mapping table and memory
// access, and the service steps around its life.

#include "core/Singleton.h"
#include "hw/IRomviseDriver.h"
#include "testkit/ErrorOf.h"
#include "tests/hw/FakeTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

using testkit::ErrorOf;

using ::testing::ElementsAre;

namespace
{
TEST(RomviseDriver, RequestsReachTheTransportAndFailuresCarryTheStep)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CRefPtr<IRomviseDriver> driver = CreateRomviseDriver(transport);

    EXPECT_EQ(driver->MapPhysicalToLinear(0x1234, 0x10), CFakeTransport::kLinearBase + 0x1234);
    EXPECT_EQ(transport->lastMapPhysical, 0x1234u);
    EXPECT_EQ(transport->lastMapLength, 0x10u);
    EXPECT_EQ(driver->ReadPortULONG(0xCFC), 0xC0DE0CFCu);

    EXPECT_EQ(ErrorOf([&] { driver->MapPhysicalToLinear(0, 0x4000001); }),
              "Error attempting to map adapter (0x00000016)\nDetailed :Invalid argument");
    transport->failures["ReadPort32"] = EIO;
    EXPECT_EQ(ErrorOf([&] { driver->ReadPortULONG(0xCFC); }),
              "Error reading I/O port (0x00000005)\nDetailed :Input/output error");
    transport->failures["WritePort32"] = EPERM;
    EXPECT_EQ(ErrorOf([&] { driver->WritePortULONG(0xCF8, 1); }),
              "Error writing I/O port (0x00000001)\nDetailed :Operation not permitted");
    transport->failures["UnmapPhysical"] = EINVAL;
    EXPECT_EQ(
        ErrorOf([&] { driver->UnmapPhysicalToLinear(CFakeTransport::kLinearBase + 0x1234, 0x10); }),
        "Error attempting to unmap adapter (0x00000016)\nDetailed :Invalid argument");
}

TEST(RomviseDriver, MappingTableHoldsAHundredAndTwentyEightAndRefusesMore)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CRefPtr<IRomviseDriver> driver = CreateRomviseDriver(transport);
    std::vector<uint64_t> mapped;
    for (uint32_t i = 0; i < 128; ++i)
    {
        mapped.push_back(driver->MapPhysicalToLinear(i * 0x10, 0x10));
    }
    EXPECT_EQ(ErrorOf([&] { driver->MapPhysicalToLinear(0x8000, 0x10); }),
              "Error attempting to map adapter (0x0000000C)\nDetailed :Cannot allocate memory");

    // Unmapping an address no entry holds changes nothing; a freed entry is
    // used again.
    driver->UnmapPhysicalToLinear(0xDEAD0000, 0x10);
    EXPECT_THROW(driver->MapPhysicalToLinear(0x8000, 0x10), std::runtime_error);
    driver->UnmapPhysicalToLinear(mapped[5], 0x10);
    EXPECT_EQ(driver->MapPhysicalToLinear(0x8000, 0x10), CFakeTransport::kLinearBase + 0x8000);
}

TEST(RomviseDriver, MemoryAccessStaysInsideMappings)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CRefPtr<IRomviseDriver> driver = CreateRomviseDriver(transport);
    const uint64_t linear = driver->MapPhysicalToLinear(0x100, 4);
    driver->WriteMemory8(linear + 3, 0x5A);
    EXPECT_EQ(transport->memory[0x103], 0x5A);
    EXPECT_EQ(driver->ReadMemory8(linear + 3), 0x5A);

    EXPECT_EQ(ErrorOf([&] { driver->ReadMemory32(linear + 1); }),
              "Access outside any mapped range at linear address 0x0000000000010101");
    EXPECT_THROW(driver->ReadMemory8(linear + 4), std::runtime_error);
    driver->UnmapPhysicalToLinear(linear, 4);
    EXPECT_THROW(driver->ReadMemory8(linear), std::runtime_error);
}

TEST(RomviseDriver, InstallsStartsAndReleasesInOrder)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CreateRomviseDriver(transport);
    EXPECT_THAT(transport->calls,
                ElementsAre("OpenService", "CreateService", "StartService", "OpenDevice",
                            "CloseDevice", "StopService", "RemoveService"));
    EXPECT_FALSE(transport->IsRunning());
    EXPECT_FALSE(transport->IsServiceInstalled());
}

TEST(RomviseDriver, ServiceLeftRunningIsOpenedAndAccepted)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    transport->CreateService("ROMVISE", "");
    transport->StartService();
    transport->calls.clear();
    {
        CRefPtr<IRomviseDriver> driver = CreateRomviseDriver(transport);
        EXPECT_THAT(transport->calls, ElementsAre("OpenService", "StartService", "OpenDevice"));
    }
}

TEST(RomviseDriver, ConstructionFailuresNameTheStep)
{
    struct Case
    {
        const char* failingStep;
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {"StartService", EACCES,
         "Unable to start service (0x0000000D)\nDetailed :Permission denied"},
        // A disabled service counts as started; the device then cannot open.
        {"StartService", 1058,
         "Unable to open ROMVISE driver (0x00000013)\nDetailed :No such device"},
        {"CreateService", 1073,
         "Unable to create service (0x00000431)\nDetailed :The specified service already exists."},
        {"OpenService", EIO, "Unable to open service (0x00000005)\nDetailed :Input/output error"},
        {"OpenDevice", EBUSY,
         "Unable to open ROMVISE driver (0x00000010)\nDetailed :Device or resource busy"},
    };
    for (const Case& c : cases)
    {
        CRefPtr<CFakeTransport> transport = MakeTransport();
        transport->failures[c.failingStep] = c.code;
        EXPECT_EQ(ErrorOf([&] { CreateRomviseDriver(transport); }), c.text) << c.failingStep;
    }
}

TEST(RomviseDriver, CompatibilityModeIsRefusedBeforeAnyServiceStep)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    transport->compatibilityMode = true;
    EXPECT_EQ(ErrorOf([&] { CreateRomviseDriver(transport); }),
              "No longer supports WoW64 flasher.\n");
    EXPECT_TRUE(transport->calls.empty());
}

TEST(RomviseDriver, ReleaseRunsEveryStepWhenOneFails)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    {
        CRefPtr<IRomviseDriver> driver = CreateRomviseDriver(transport);
        transport->failures["CloseDevice"] = EIO;
        transport->calls.clear();
    }
    EXPECT_THAT(transport->calls, ElementsAre("CloseDevice", "StopService", "RemoveService"));
}

TEST(RomviseDriver, SingletonRetriesAFailedConstruction)
{
    ReleaseSingletons();
    CRefPtr<CFakeTransport> transport = MakeTransport();
    InstallDriverTransport(transport);
    transport->failures["OpenDevice"] = EBUSY;
    EXPECT_THROW(GetRomviseDriver(), std::runtime_error);
    transport->failures.clear();
    IRomviseDriver* driver = GetRomviseDriver();
    EXPECT_EQ(GetRomviseDriver(), driver);
    ReleaseSingletons();
    EXPECT_FALSE(transport->IsRunning());
    InstallDriverTransport(nullptr);
}

} // namespace
