// The display adapter object over a simulated GPU: its description, hierarchy
// names, straps, ROM-access masking, speedometer, device-ID switch and MCU
// accessor.

#include "hw/IRomviseDriver.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
constexpr uint32_t kBar = 0xC0000000;

CDisplayAdapterType TypeFor(uint16_t deviceId, uint32_t kind, const std::string& name)
{
    CDisplayAdapterType type;
    type.vendorId = 0x7E2B;
    type.deviceId = deviceId;
    type.deviceKind = kind;
    type.name = name;
    type.eepromStraps = 1;
    type.masksC040 = 1;
    return type;
}

// A machine with a root port at 00:01.0 leading to bus 1.
std::shared_ptr<CSimMachine> MakeMachine()
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    AddSimRootPort(*machine, {0, 1, 0}, 1, 1);
    return machine;
}

class DisplayAdapterTest : public ::testing::Test
{
protected:
    DisplayAdapterTest() : m_scope(MakeMachine()) {}

    CSimGpu& AddGpu(uint16_t deviceId, uint32_t kind, PciLocation at = {1, 0, 0},
                    uint32_t straps = 0)
    {
        return AddSimGpu(m_scope.Machine(), at, deviceId, kind, kBar, 0x1111, 0x2222, 0x030000,
                         straps);
    }

    CRefPtr<IDisplayAdapter> Open(const CDisplayAdapterType& type, PciLocation at = {1, 0, 0},
                                  int32_t switchPort = -1, uint8_t parentBus = 0)
    {
        return CreateDisplayAdapter(type, 0x1111, 0x2222,
                                    CreatePCIDeviceAccessor(GetRomviseDriver(), 0, at.bus,
                                                            at.device, at.function, switchPort,
                                                            parentBus, 0));
    }

    CSimHardwareScope m_scope;
};

TEST_F(DisplayAdapterTest, DescribesItselfWithIdsHierarchyAndLocation)
{
    AddGpu(0xABCD, 6);
    CRefPtr<IDisplayAdapter> adapter = Open(TypeFor(0xABCD, 6, "Korvan Test"));

    std::ostringstream detailed;
    adapter->PrintDescription(detailed, false, true);
    EXPECT_EQ(detailed.str(), "Korvan Test          (7E2B,ABCD,1111,2222) H:--:NRM  "
                              "S:00,B:01,D:00,F:00");

    std::ostringstream line;
    adapter->PrintDescriptionLine(line, false);
    EXPECT_EQ(line.str(), "Korvan Test          Device Path: S:00,B:01,D:00,F:00\n");
}

TEST_F(DisplayAdapterTest, HierarchyNamesFollowTheSwitchPort)
{
    AddGpu(0x0610, 6);
    struct Case
    {
        int32_t switchPort;
        uint32_t index;
        const char* name;
        const char* shortName;
        const char* parentBus;
    };
    const Case cases[] = {
        {-1, 0, "Normal Board", "NRM", "--"},
        {2, 3, "Switch Port 2", "SP2", "05"},
        {17, 18, "Switch Port 17", "SP17", "05"},
        // Ports beyond the table keep the last name; the index stays true.
        {25, 26, "Switch Port 17", "SP17", "05"},
    };
    for (const Case& c : cases)
    {
        CRefPtr<IDisplayAdapter> adapter =
            Open(TypeFor(0x0610, 6, "Korvan ISO 610"), {1, 0, 0}, c.switchPort, 5);
        EXPECT_EQ(adapter->GetHierarchyIndex(), c.index) << c.switchPort;
        EXPECT_EQ(adapter->GetHierarchyName(), c.name) << c.switchPort;
        EXPECT_EQ(adapter->GetHierarchyShortName(), c.shortName) << c.switchPort;
        EXPECT_EQ(adapter->GetParentBusText(), c.parentBus) << c.switchPort;
    }
}

TEST_F(DisplayAdapterTest, BridgesHaveNoMcuAndGpusDo)
{
    AddSimZX22Bridge(m_scope.Machine(), {0, 2, 0}, 2, 2);
    AddGpu(0x0610, 6);
    CDisplayAdapterType bridge = TypeFor(GetZX22DeviceIdBase(), 2, "Korvan ZX22 Bridge");
    CRefPtr<IDisplayAdapter> bridgeAdapter = Open(bridge, {0, 2, 0});
    EXPECT_FALSE(bridgeAdapter->GetGmacAccessor());
    EXPECT_EQ(bridgeAdapter->GetGmacName(), "");

    CRefPtr<IDisplayAdapter> gpu = Open(TypeFor(0x0610, 6, "Korvan ISO 610"));
    ASSERT_TRUE(gpu->GetGmacAccessor());
    EXPECT_EQ(gpu->GetGmacName(), "GMAC Device");
    EXPECT_EQ(gpu->GetGmacAccessor()->GetI2CPort(), 1);
    EXPECT_EQ(gpu->GetGmacAccessor()->GetSlaveAddress(), 0x98);
}

TEST_F(DisplayAdapterTest, UnknownDeviceKindFailsCreation)
{
    AddGpu(0x0F00, 6);
    EXPECT_THROW(
        {
            try
            {
                Open(CDisplayAdapterType::CreateUnknown(0x7E2B, 0x0F00, "Unknown display adapter"));
            }
            catch (const std::runtime_error& error)
            {
                EXPECT_STREQ(error.what(), "IDevice::Create: Unknown/unsupported device type");
                throw;
            }
        },
        std::runtime_error);
}

TEST_F(DisplayAdapterTest, StrapsModeAndRomAccessMask)
{
    CSimGpu& gpu = AddGpu(0x0610, 6, {1, 0, 0}, 0x00400040);
    gpu.SetRegister(0x10100C, 0x12345678);
    gpu.SetRegister(0xC040, 0xFFFFFFFF);
    CRefPtr<IDisplayAdapter> adapter = Open(TypeFor(0x0610, 6, "Korvan ISO 610"));

    EXPECT_EQ(adapter->ReadStraps(0), 0x00400040u);
    EXPECT_EQ(adapter->ReadStraps(1), 0x12345678u);
    EXPECT_EQ(adapter->ReadStraps(2), 0u);
    EXPECT_EQ(adapter->GetGpuModeText(), "Graphics");
    EXPECT_TRUE(adapter->IsConfigured());

    adapter->EnableROMAccess();
    EXPECT_EQ(gpu.Register(0xC040), 0xCFFFFFFFu);
    adapter->RestoreROMAccess();
    EXPECT_EQ(gpu.Register(0xC040), 0xFFFFFFFFu);
    // A nested enable keeps the value the outer one saved.
    adapter->EnableROMAccess();
    adapter->EnableROMAccess();
    adapter->RestoreROMAccess();
    EXPECT_EQ(gpu.Register(0xC040), 0xCFFFFFFFu);
    adapter->RestoreROMAccess();
    EXPECT_EQ(gpu.Register(0xC040), 0xFFFFFFFFu);

    CDisplayAdapterType noStraps = TypeFor(0x0610, 6, "Korvan ISO 610");
    noStraps.eepromStraps = 0;
    EXPECT_EQ(Open(noStraps)->ReadStraps(0), 0u);
}

TEST_F(DisplayAdapterTest, ComputeClassAndUnassignedBar)
{
    // A legacy GPU device touches no register when it is made.
    AddSimGpu(m_scope.Machine(), {1, 0, 0}, 0x0500, 5, 0, 0x1111, 0x2222, 0x030200);
    CRefPtr<IDisplayAdapter> adapter = Open(TypeFor(0x0500, 5, "Korvan Legacy"));
    EXPECT_EQ(adapter->GetGpuModeText(), "Compute");
    EXPECT_FALSE(adapter->IsConfigured());
}

TEST_F(DisplayAdapterTest, SpeedometerAveragesItsCounters)
{
    struct Case
    {
        uint16_t deviceId;
        uint32_t straps;
        std::vector<uint32_t> readings;
        uint32_t average;
    };
    // Crystal codes 0 and 1 double the average; code 2 does not.
    const Case cases[] = {
        {0x0C00, 0x00000000, {100, 200, 300, 400}, 500},
        {0x0C05, 0x00000040, {10, 10, 10, 10}, 20},
        {0x0B00, 0x00400000, {100, 301}, 200},
    };
    for (const Case& c : cases)
    {
        CSimHardwareScope scope(MakeMachine());
        CSimGpu& gpu = AddSimGpu(scope.Machine(), {1, 0, 0}, c.deviceId, 12, kBar, 0x1111, 0x2222,
                                 0x030000, c.straps);
        gpu.SetRegister(0x1228, 0xABCD0000);
        gpu.SetRegister(0x100A40, 0x00000001);
        for (unsigned i = 0; i < c.readings.size(); ++i)
        {
            gpu.SetSpeedometerReading(i, c.readings[i]);
        }
        CRefPtr<IDisplayAdapter> adapter =
            CreateDisplayAdapter(TypeFor(c.deviceId, 12, "Korvan Dolvik1"), 0, 0,
                                 CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0));
        CLog log;
        std::ostringstream out;
        log.AddSink(&out, 1, 5);
        EXPECT_EQ(adapter->GetSpeedometerValue(&log), c.average) << c.deviceId;
        EXPECT_NE(out.str().find("Speedometer Value(0): 0x"), std::string::npos);
        // The registers it used are put back.
        EXPECT_EQ(gpu.Register(0x1228), 0xABCD0000u);
        EXPECT_EQ(gpu.Register(0x100A40), 0x00000001u);
    }
}

TEST_F(DisplayAdapterTest, SpeedometerErrors)
{
    struct Case
    {
        uint16_t deviceId;
        uint32_t straps;
        bool readingsPresent;
        const char* error;
    };
    const Case cases[] = {
        {0x0610, 0, true, "Speedometer reading not supported for this GPU"},
        {0x0C00, 0x00400040, true, "Unknown crystal value"},
        {0x0C00, 0, false, "Speedometer reading not ready"},
    };
    for (const Case& c : cases)
    {
        CSimHardwareScope scope(MakeMachine());
        CSimGpu& gpu =
            AddSimGpu(scope.Machine(), {1, 0, 0}, c.deviceId, 12, kBar, 0, 0, 0x030000, c.straps);
        gpu.SetRegister(0x1228, 0x5);
        if (c.readingsPresent)
        {
            for (unsigned i = 0; i < 4; ++i)
            {
                gpu.SetSpeedometerReading(i, 7);
            }
        }
        CRefPtr<IDisplayAdapter> adapter =
            CreateDisplayAdapter(TypeFor(c.deviceId, 12, "Korvan"), 0, 0,
                                 CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0));
        try
        {
            adapter->GetSpeedometerValue(nullptr);
            ADD_FAILURE() << c.error;
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_STREQ(error.what(), c.error);
        }
        EXPECT_EQ(gpu.Register(0x1228), 0x5u) << c.error;
    }
}

TEST_F(DisplayAdapterTest, SwitchDevIdBetweenPrimaryAndSecondaryIds)
{
    CSimGpu& gpu = AddGpu(0x0C01, 12);
    gpu.SetRegister(0x214D8, 0x0C01);
    gpu.SetRegister(0x2156C, 0x0C02);
    gpu.SetRegister(0x1800, 0x0C010000);
    CDisplayAdapterType type = TypeFor(0x0C01, 12, "Korvan Dolvik1 C01 Duo");
    type.registerDeviceIdFlag = 1;
    CRefPtr<IDisplayAdapter> adapter = Open(type);
    adapter->MapRegisters();
    ASSERT_EQ(adapter->GetRegisterDeviceID(), 0x0C01);

    struct Case
    {
        DevIdImageFacts image;
        bool switches;
        const char* log;
    };
    const Case cases[] = {
        {{true, 0x0, 0x2, 0x0C02}, true, "DevID: Primary to Secondary.\n"},
        {{true, 0x0, 0x2, 0x0C01}, false, ""},
        {{true, 0x2, 0x2, 0x0C02}, false, ""},
        // An image with no legacy block cannot be told apart.
        {{false, 0x0, 0x2, 0x0C02}, false, ""},
    };
    for (const Case& c : cases)
    {
        CLog log;
        std::ostringstream out;
        log.AddSink(&out, 1, 5);
        EXPECT_EQ(adapter->SwitchDevID(&c.image, &log), c.switches);
        EXPECT_EQ(out.str(), c.log);
    }
    EXPECT_FALSE(adapter->SwitchDevID(nullptr, nullptr));

    // From the secondary ID back to the primary.
    gpu.SetRegister(0x1800, 0x0C020000);
    adapter->MapRegisters();
    const DevIdImageFacts primaryImage{true, 0x2, 0x0, 0x0C01};
    EXPECT_TRUE(adapter->SwitchDevID(&primaryImage, nullptr));

    // Older generations never switch.
    CSimHardwareScope scope(MakeMachine());
    AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0610, 6, kBar, 0, 0);
    CRefPtr<IDisplayAdapter> iso =
        CreateDisplayAdapter(TypeFor(0x0610, 6, "Korvan ISO 610"), 0, 0,
                             CreatePCIDeviceAccessor(GetRomviseDriver(), 0, 1, 0, 0, -1, 0, 0));
    EXPECT_FALSE(iso->SwitchDevID(&primaryImage, nullptr));
}
// An image as the device-ID switch reads it: a legacy block at a given offset
// (-1: none) and its two words.
struct FakeImage
{
    int32_t block;
    int32_t FindNthPCIBlock(uint8_t codeType, uint32_t n)
    {
        return codeType == 0 && n == 0 ? block : -1;
    }
    uint32_t GetDword(int32_t offset) { return offset == block + 0x60 ? 0x1 : 0x2; }
    uint16_t GetDeviceID() { return 0x0C02; }
};

TEST(DevIdImageFacts, AreReadFromTheFirstLegacyBlockOnlyWhenThereIsOne)
{
    FakeImage withBlock{0x200};
    const DevIdImageFacts read = ReadDevIdImageFacts(withBlock);
    EXPECT_TRUE(read.hasLegacyBlock);
    EXPECT_EQ(read.legacyWord60, 0x1u);
    EXPECT_EQ(read.legacyWord64, 0x2u);
    EXPECT_EQ(read.imageDeviceId, 0x0C02);

    for (const int32_t missing : {-1, std::numeric_limits<int32_t>::max() - 0x10})
    {
        FakeImage without{missing};
        const DevIdImageFacts none = ReadDevIdImageFacts(without);
        EXPECT_FALSE(none.hasLegacyBlock) << missing;
        EXPECT_EQ(none.legacyWord60 | none.legacyWord64, 0u) << missing;
    }
}
} // namespace
