// The driver's request records, the kernel side's checks and the service
// steps around the driver's life.

#include "core/Singleton.h"
#include "hw/DriverRequest.h"
#include "hw/IRomviseDriver.h"
#include "hw/ServiceControl.h"
#include "testkit/ErrorOf.h"
#include "tests/hw/FakeTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

using testkit::ErrorOf;

using ::testing::ElementsAre;

namespace
{
CRefPtr<CFakeTransport> MakeTransport()
{
    return CRefPtr<CFakeTransport>(new CFakeTransport);
}

TEST(DriverRequest, RecordsCarryTagAndLittleEndianFields)
{
    const auto bytes = DriverRequest{kDriverRequestTag, 0x11223344, 0x4000000}.Encode();
    EXPECT_THAT(bytes, ElementsAre('V', 'p', 'l', 'q', 0, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 0, 0, 0,
                                   0, 0, 0, 0, 4, 0, 0, 0, 0));
}

TEST(DriverRequest, LayoutsOfTheFourRequests)
{
    struct Case
    {
        uint32_t code;
        size_t input;
        size_t output;
    };
    for (const Case& c : {Case{0x81DE804F, 24, 8}, Case{0x81DE8053, 24, 8}, Case{0x81DE8057, 16, 8},
                          Case{0x81DE8063, 24, 0}})
    {
        const DriverRequestLayout* layout = FindRequestLayout(c.code);
        ASSERT_NE(layout, nullptr) << std::hex << c.code;
        EXPECT_EQ(layout->inputSize, c.input) << std::hex << c.code;
        EXPECT_EQ(layout->outputSize, c.output) << std::hex << c.code;
    }
    EXPECT_EQ(FindRequestLayout(0x81DE805B), nullptr);
}

TEST(KernelRequestHandler, RefusesMalformedRequests)
{
    CKernelRequestHandler kernel(MakeTransport());
    std::array<uint8_t, 8> output{};
    auto map = [&](uint64_t tag, uint64_t length, size_t inputSize = 24)
    {
        const auto input = DriverRequest{tag, 0x1000, length}.Encode();
        return kernel.Dispatch(kRequestMapPhysical, std::span(input).first(inputSize), output);
    };
    struct Case
    {
        const char* what;
        uint32_t status;
    };
    const Case cases[] = {
        {"well formed", map(kDriverRequestTag, 0x1000)},
        {"64 MiB", map(kDriverRequestTag, 0x4000000)},
        {"64 MiB + 1", map(kDriverRequestTag, 0x4000001)},
        {"length above 32 bits", map(kDriverRequestTag, 0x100000000ull)},
        {"zero length", map(kDriverRequestTag, 0)},
        {"other tag", map(0x716C7057, 0x1000)},
        {"tag with high bytes", map(kDriverRequestTag | 0x100000000ull, 0x1000)},
        {"short record", map(kDriverRequestTag, 0x1000, 16)},
    };
    const uint32_t expected[] = {0, 0, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL, EINVAL};
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        EXPECT_EQ(cases[i].status, expected[i]) << cases[i].what;
    }
    const auto input = DriverRequest{}.Encode();
    EXPECT_EQ(kernel.Dispatch(0x81DE805B, input, output), static_cast<uint32_t>(ENOTTY));
}

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

TEST(ServiceControl, StoppingAServiceThatIsNotRunningFails)
{
    CRefPtr<CFakeTransport> transport = MakeTransport();
    CRefPtr<IServiceManager> manager = CreateServiceManager(transport);
    EXPECT_EQ(manager->OpenService("ROMVISE"), nullptr);
    CRefPtr<IService> service = manager->CreateService("ROMVISE", "/dev/mem");
    EXPECT_EQ(ErrorOf([&] { service->Stop(); }),
              "Unable to stop service (0x00000426)\nDetailed :The service has not been started.");
    service->Start();
    service->Start(); // already running: accepted
    service->Stop();
    service->Remove();
    EXPECT_EQ(ErrorOf([&] { service->Remove(); }),
              "Unable to remove service (0x00000424)\nDetailed :The specified service does not "
              "exist as an installed service.");
}
} // namespace
