// The ZX22 bridge device on simulated bridges whose registers show in a
// simulated GPU's BAR0: binding to a window, moving an upstream bridge's
// window, the search position of one scan, refusal while unbound, the EEPROM
// byte window, straps and the debug switch.

#include "core/Log.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "hw/device/DeviceBridgeZX22Impl.h"
#include "sim/SimGpu.h"
#include "sim/SimZX22Bridge.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <sstream>

using testkit::ErrorOf;

namespace
{
using Access = CSimGpu::Access;
using Accessors = std::vector<CRefPtr<IPCIDeviceAccessor>>;

constexpr uint32_t kGpuBar = 0xF1000000;

CRefPtr<IPCIDeviceAccessor> OpenBridgeFunction(uint8_t bus, uint8_t device)
{
    return CreatePCIDeviceAccessor(GetRomviseDriver(), 0, bus, device, 0, -1, 0, 0);
}

class ZX22BridgeTest : public ::testing::Test
{
protected:
    // A ZX22 function (vendor 0x7E2B, an ID of the ZX22 block) bridging its
    // bus to [secondary, subordinate].
    CSimPciFunction& AddZX22(uint8_t bus, uint8_t secondary, uint8_t subordinate,
                             uint8_t revision = 0xA0)
    {
        CSimPciFunction& function = machine().AddFunction(bus, 1, 0);
        function.SetIds(kKorvanVendorId, static_cast<uint16_t>(GetZX22DeviceIdBase() + 5), 0x060400,
                        revision);
        function.MakeBridge(bus, secondary, subordinate);
        return function;
    }

    // A switch port that is no ZX22.
    void AddPort(uint8_t bus, uint8_t device, uint8_t secondary, uint8_t subordinate)
    {
        CSimPciFunction& function = machine().AddFunction(bus, device, 0);
        function.SetIds(0x1B36, 0x000C, 0x060400, 0);
        function.MakeBridge(bus, secondary, subordinate);
    }

    CSimGpu& AddGpu(uint8_t bus, uint32_t bar = kGpuBar, uint64_t barSize = CSimGpu::kBarSize)
    {
        CSimPciFunction& function =
            AddTestFunction(machine(), bus, 0, 0, kKorvanVendorId, 0x2204, bar, barSize);
        auto gpu = std::make_shared<CSimGpu>("gpu", function, SimGpuConfigForKind(6));
        gpu->RecordAccesses(true);
        machine().AddDevice(gpu);
        return *gpu;
    }

    CSimZX22Bridge& Host(CSimPciFunction& function, CSimGpu& gpu, const SimZX22Config& config)
    {
        auto bridge = std::make_shared<CSimZX22Bridge>("zx22", function, gpu, config);
        auto contents = std::make_shared<CSimChipStore>(0x2000);
        for (size_t i = 0; i < contents->Size(); ++i)
        {
            const uint8_t byte = static_cast<uint8_t>(i * 7 + i / 256);
            contents->Write(i, std::span(&byte, 1));
        }
        bridge->AttachChip(std::make_shared<CSimPlainEeprom>("zx22 eeprom", contents));
        machine().AddDevice(bridge);
        return *bridge;
    }

    // Every function of the machine, in bus order, as the bus scan hands them.
    Accessors Candidates()
    {
        Accessors all;
        for (uint32_t bus = 0; bus < 8; ++bus)
        {
            for (uint8_t device = 0; device < 2; ++device)
            {
                if (machine().FindFunction(static_cast<uint8_t>(bus), device, 0))
                {
                    all.push_back(OpenBridgeFunction(static_cast<uint8_t>(bus), device));
                }
            }
        }
        return all;
    }

    CRefPtr<CDeviceBridgeZX22Impl> Bridge(uint8_t bus)
    {
        return CRefPtr<CDeviceBridgeZX22Impl>(new CDeviceBridgeZX22Impl(OpenBridgeFunction(bus, 1)));
    }

    // One ZX22 on bus 0 behind which a port leads to a GPU on bus 2.
    CSimGpu& SingleBridge(uint32_t window = 6, uint8_t revision = 0xA0,
                          uint64_t gpuBarSize = CSimGpu::kBarSize, uint32_t gpuBar = kGpuBar)
    {
        CSimPciFunction& zx22 = AddZX22(0, 1, 2, revision);
        AddPort(1, 0, 2, 2);
        CSimGpu& gpu = AddGpu(2, gpuBar, gpuBarSize);
        SimZX22Config config;
        config.window = window;
        config.debug = 0x5;
        config.straps = 0xC0;
        bridgeModel = &Host(zx22, gpu, config);
        return gpu;
    }

    // Upstream ZX22 U on bus 0 (debug 0x9), ZX22 B on bus 2 (debug 0x5), the
    // GPU on bus 4; both bridges start at window 7, where U (nearer the root)
    // hides B. Returns U's model.
    CSimZX22Bridge& StackedBridges()
    {
        CSimPciFunction& upstream = AddZX22(0, 1, 5);
        AddPort(1, 0, 2, 5);
        CSimPciFunction& lower = AddZX22(2, 3, 5);
        AddPort(3, 0, 4, 5);
        stackedGpu = &AddGpu(4);
        SimZX22Config upstreamConfig;
        upstreamConfig.window = 7;
        upstreamConfig.debug = 0x9;
        upstreamConfig.placementSettings = 0x3FFF;
        CSimZX22Bridge& upstreamModel = Host(upstream, *stackedGpu, upstreamConfig);
        SimZX22Config lowerConfig = upstreamConfig;
        lowerConfig.debug = 0x5;
        Host(lower, *stackedGpu, lowerConfig);
        return upstreamModel;
    }

    CSimMachine& machine() { return scope.Machine(); }

    CSimHardwareScope scope{MakeMachineWithMcfg()};
    CSimZX22Bridge* bridgeModel = nullptr;
    CSimGpu* stackedGpu = nullptr;
    std::ostringstream trace;
    CLog log;
    int sink = log.AddSink(&trace, 1, 5);
};

TEST_F(ZX22BridgeTest, BindsToTheWindowThatShowsItsOwnBusAndReadsThroughIt)
{
    CSimGpu& gpu = SingleBridge();
    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(0);
    EXPECT_FALSE(zx22->IsBar0Assigned());

    zx22->ScanForChildren(Candidates(), log);

    EXPECT_EQ(trace.str(), "ScanForChildren(ZX22),00:00:01.0,PRI:00,SEC:01,SUB:02\n"
                           "DSG,00:02:00.0\n"
                           "FindMCCRegOffsetAddr(ZX22),REV:A0,AT:0\n"
                           "00:02:00.0,00018000:00:0\n");
    EXPECT_EQ(zx22->GetWindowIndex(), 6);
    EXPECT_EQ(zx22->GetWindowAccessor()->GetBus(), 2);
    EXPECT_TRUE(zx22->IsBar0Assigned());
    gpu.ClearAccesses();
    EXPECT_EQ(zx22->Read32(0x210), 0x5u);
    EXPECT_EQ(gpu.Accesses(), (std::vector<Access>{{false, 0x18210, 4, 0x5}}));
}

TEST_F(ZX22BridgeTest, MovesTheUpstreamBridgeOutOfTheWayWithExactPlacementValues)
{
    CSimZX22Bridge& upstreamModel = StackedBridges();
    CSimGpu& gpu = *stackedGpu;
    const uint32_t oldPlacement = upstreamModel.Register(0x600);
    ASSERT_EQ(oldPlacement, 0xF101FFFFu);

    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(2);
    const Accessors candidates = Candidates();
    // Probing alone finds no window of this bridge.
    ASSERT_EQ(zx22->FindMCCRegOffsetAddr(candidates.back(), 0, log), -1);
    gpu.ClearAccesses();

    auto context = CRefPtr<CZX22SearchContext>(new CZX22SearchContext);
    zx22->ScanForChildren(candidates, log, context);

    ASSERT_EQ(zx22->GetUpstreamBridges().size(), 1u);
    EXPECT_EQ(zx22->GetWindowIndex(), 7);
    EXPECT_EQ(context->CurrentMode(), 1);
    std::vector<Access> writes;
    for (const Access& access : gpu.Accesses())
    {
        if (access.write)
        {
            writes.push_back(access);
        }
    }
    EXPECT_EQ(writes, (std::vector<Access>{
                          {true, 0x1C604, 4, 0x18000},
                          {true, 0x1C600, 4, (0xF1000000 + 0x18000) | (oldPlacement & 0x3BFF)},
                      }));
    EXPECT_EQ(upstreamModel.WindowIndex(), 6u);
    EXPECT_NE(trace.str().find("ModifyMCCRegOffsetAddr,00:04:00.0,00018000,0001C000,00050100\n"),
              std::string::npos);

    // Bound in the arranging mode, every access looks at the windows again.
    gpu.ClearAccesses();
    EXPECT_EQ(zx22->Read32(0x210), 0x5u);
    EXPECT_EQ(gpu.Accesses().back(), (Access{false, 0x1C210, 4, 0x5}));
    EXPECT_GT(gpu.Accesses().size(), 1u);
}

TEST_F(ZX22BridgeTest, BridgesOfOneScanFollowAWindowThatTheOtherMoved)
{
    // U is searched first and binds by probing; B then moves U to window 6.
    // Sharing the scan's search position, U looks at the windows again and
    // keeps reaching its own registers, not B's.
    CSimZX22Bridge& upstreamModel = StackedBridges();

    const Accessors candidates = Candidates();
    auto scan = CRefPtr<CZX22SearchContext>(new CZX22SearchContext);
    CRefPtr<CDeviceBridgeZX22Impl> first = Bridge(0);
    CRefPtr<CDeviceBridgeZX22Impl> second = Bridge(2);
    first->ScanForChildren(candidates, log, scan);
    ASSERT_EQ(first->GetWindowIndex(), 7);
    second->ScanForChildren(candidates, log, scan);
    ASSERT_EQ(upstreamModel.WindowIndex(), 6u);

    EXPECT_EQ(first->Read32(0x210), 0x9u);
    EXPECT_EQ(first->GetWindowIndex(), 6);
    EXPECT_EQ(second->Read32(0x210), 0x5u);
    EXPECT_EQ(second->GetWindowIndex(), 7);
}

TEST_F(ZX22BridgeTest, SearchPositionBelongsToOneScan)
{
    SingleBridge();
    const Accessors candidates = Candidates();
    auto arranged = CRefPtr<CZX22SearchContext>(new CZX22SearchContext);
    arranged->AdvanceTo(1);
    CRefPtr<CDeviceBridgeZX22Impl> first = Bridge(0);
    first->ScanForChildren(candidates, log, arranged);
    EXPECT_NE(trace.str().find("AT:1"), std::string::npos);
    EXPECT_EQ(trace.str().find("AT:0"), std::string::npos);
    EXPECT_EQ(first->GetWindowIndex(), 6);

    // A scan of its own starts again at probing, whatever another scan did.
    trace.str("");
    CRefPtr<CDeviceBridgeZX22Impl> second = Bridge(0);
    second->ScanForChildren(candidates, log);
    EXPECT_NE(trace.str().find("AT:0"), std::string::npos);
    EXPECT_EQ(trace.str().find("AT:1"), std::string::npos);
    EXPECT_EQ(second->GetWindowIndex(), 6);
}

TEST_F(ZX22BridgeTest, RefusesRegisterAccessWhileNoWindowIsBound)
{
    // The GPU shows no bridge: nothing binds.
    AddZX22(0, 1, 2);
    AddPort(1, 0, 2, 2);
    CSimGpu& gpu = AddGpu(2);
    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(0);
    zx22->ScanForChildren(Candidates(), log);
    EXPECT_EQ(zx22->GetWindowIndex(), -1);
    EXPECT_FALSE(zx22->IsBar0Assigned());
    gpu.ClearAccesses();

    const std::string refusal = "The registers of ZX22 bridge 00:00:01.0 are not reachable: no "
                                "GPU behind it shows its register window.";
    EXPECT_EQ(ErrorOf([&] { zx22->Read32(0x210); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->Write32(0x600, 0); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->Write8(0x1000, 0); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->ReadROMByte(0); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->EnableROMAccess(); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->MapRegisters(); }), refusal);
    EXPECT_EQ(ErrorOf([&] { zx22->UnmapRegisters(); }), "(no error)");
    EXPECT_TRUE(gpu.Accesses().empty());
}

TEST_F(ZX22BridgeTest, EepromByteWindowIsBoundedToFourKiB)
{
    CSimGpu& gpu = SingleBridge();
    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(0);
    zx22->ScanForChildren(Candidates(), log);
    struct Case
    {
        int32_t offset;
        uint8_t value;
        std::vector<Access> accesses;
    };
    const uint8_t last = static_cast<uint8_t>(0xFFF * 7 + 0xFFF / 256);
    const Case cases[] = {
        {0x000, 0x00, {{false, 0x19000, 1, 0x00}}},
        {0xFFF, last, {{false, 0x19FFF, 1, last}}},
        {0x1000, 0xFF, {}},
        {-1, 0xFF, {}},
        {-0x1000, 0xFF, {}},
    };
    for (const Case& c : cases)
    {
        gpu.ClearAccesses();
        EXPECT_EQ(zx22->ReadROMByte(c.offset), c.value) << c.offset;
        EXPECT_EQ(gpu.Accesses(), c.accesses) << c.offset;
    }
    gpu.ClearAccesses();
    EXPECT_EQ(ErrorOf([&] { zx22->WriteROMByte(0x1000, 0); }),
              "ZX22 EEPROM offset 0x00001000 lies outside its 4 KiB window.");
    EXPECT_EQ(ErrorOf([&] { zx22->WriteROMByte(-4, 0); }),
              "ZX22 EEPROM offset 0xFFFFFFFC lies outside its 4 KiB window.");
    EXPECT_EQ(ErrorOf([&] { zx22->WriteROMDword(0xFFE, 0); }),
              "ZX22 EEPROM offset 0x00000FFE lies outside its 4 KiB window.");
    // A dword that does not fit is refused before any of its bytes is written.
    EXPECT_TRUE(gpu.Accesses().empty());
    EXPECT_EQ(zx22->ReadROMDword(0x10), 0x857E7770u);
}

TEST_F(ZX22BridgeTest, RevisionA1RewritesTheGpuBarWithItsLow24BitsClear)
{
    struct Case
    {
        uint8_t revision;
        uint32_t barAfter;
    };
    for (const Case& c : {Case{0xA1, 0xF1000000}, Case{0xA0, 0xF1100000}})
    {
        CSimHardwareScope own(MakeMachineWithMcfg());
        CSimPciFunction& zx22 = own.Machine().AddFunction(0, 1, 0);
        zx22.SetIds(kKorvanVendorId, GetZX22DeviceIdBase(), 0x060400, c.revision);
        zx22.MakeBridge(0, 1, 2);
        CSimPciFunction& port = own.Machine().AddFunction(1, 0, 0);
        port.SetIds(0x1B36, 0x000C, 0x060400, 0);
        port.MakeBridge(1, 2, 2);
        CSimPciFunction& gpuFunction =
            AddTestFunction(own.Machine(), 2, 0, 0, kKorvanVendorId, 0x2204, 0xF1100000, 0x100000);
        auto gpu = std::make_shared<CSimGpu>("gpu", gpuFunction, SimGpuConfigForKind(6));
        own.Machine().AddDevice(gpu);
        own.Machine().AddDevice(
            std::make_shared<CSimZX22Bridge>("zx22", zx22, *gpu, SimZX22Config{}));

        CRefPtr<CDeviceBridgeZX22Impl> bridge(new CDeviceBridgeZX22Impl(OpenBridgeFunction(0, 1)));
        bridge->ScanForChildren({OpenBridgeFunction(0, 1), OpenBridgeFunction(1, 0), OpenBridgeFunction(2, 0)}, log);
        EXPECT_EQ(gpuFunction.Stored(0x10, 4), c.barAfter) << int{c.revision};
        EXPECT_EQ(bridge->GetWindowIndex(), 6) << int{c.revision};
    }
}

TEST_F(ZX22BridgeTest, FirstGpuInListOrderWinsWhenTwoAnswer)
{
    CSimPciFunction& zx22 = AddZX22(0, 1, 3);
    AddPort(1, 0, 2, 2);
    AddPort(1, 1, 3, 3);
    CSimGpu& first = AddGpu(2, 0xF1000000);
    CSimGpu& second = AddGpu(3, 0xF2000000);
    Host(zx22, first, SimZX22Config{});
    SimZX22Config upper;
    upper.window = 7;
    Host(zx22, second, upper);
    CRefPtr<CDeviceBridgeZX22Impl> bridge = Bridge(0);
    bridge->ScanForChildren(Candidates(), log);
    EXPECT_EQ(bridge->GetWindowAccessor()->GetBus(), 2);
    EXPECT_EQ(bridge->GetWindowIndex(), 6);
}

TEST_F(ZX22BridgeTest, StrapsAndDebugSwitch)
{
    SingleBridge();
    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(0);
    zx22->ScanForChildren(Candidates(), log);

    const uint32_t typeByStrap[4] = {0, 1, 2, 4};
    for (uint32_t strap = 0; strap < 4; ++strap)
    {
        bridgeModel->SetRegister(0xB00, 0x12 | strap << 6);
        EXPECT_EQ(zx22->GetROMType(true), typeByStrap[strap]) << strap;
    }
    EXPECT_EQ(zx22->GetROMType(false), 0u);
    EXPECT_FALSE(zx22->IsROMTypeZero(true));
    EXPECT_TRUE(zx22->IsROMAccessEnabled());

    // A nested enable keeps the state the outer one saved.
    EXPECT_TRUE(zx22->IsDebugPortEnabled());
    zx22->EnableROMAccess();
    zx22->EnableROMAccess();
    EXPECT_EQ(bridgeModel->Register(0x210), 0x4u);
    EXPECT_FALSE(zx22->IsDebugPortEnabled());
    zx22->RestoreROMAccess();
    EXPECT_EQ(bridgeModel->Register(0x210), 0x4u);
    zx22->RestoreROMAccess();
    EXPECT_EQ(bridgeModel->Register(0x210), 0x5u);
    // A restore without an enable leaves the switch alone.
    bridgeModel->SetRegister(0x210, 0x7);
    zx22->RestoreROMAccess();
    EXPECT_EQ(bridgeModel->Register(0x210), 0x7u);

    zx22->WriteROMControl(0xFF);
    zx22->IdleROMControl();
    EXPECT_EQ(bridgeModel->Register(0xB04), 0xEBu);
}

TEST_F(ZX22BridgeTest, RecognisesTheBlockByVendorAndDeviceId)
{
    SingleBridge();
    CRefPtr<CDeviceBridgeZX22Impl> zx22 = Bridge(0);
    const uint32_t base = GetZX22DeviceIdBase();
    struct Case
    {
        uint32_t ids;
        bool zx22;
    };
    const Case cases[] = {
        {(base + 5) << 16 | kKorvanVendorId, true},
        {(base + 15) << 16 | kKorvanVendorId, true},
        {(base + 5) << 16 | kPlxVendorId, false},
        {(base + 16) << 16 | kKorvanVendorId, false},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(zx22->IsZX22DeviceId(c.ids), c.zx22) << std::hex << c.ids;
    }
}

TEST_F(ZX22BridgeTest, BothBridgesTakeTheirSecondaryBusFromConfigurationDword0x18)
{
    CSimPciFunction& zx22 = AddZX22(0, 1, 2);
    zx22.Store(0x18, 4, 0x00050403);
    CSimPciFunction& plx = machine().AddFunction(0, 2, 0);
    plx.SetIds(kPlxVendorId, 0x8747, 0x060400, 0xCA);
    plx.MakeBridge(3, 4, 5);
    CRefPtr<IDevice> bridges[] = {IDevice::Create(OpenBridgeFunction(0, 1), kDeviceKindZX22),
                                  IDevice::Create(OpenBridgeFunction(0, 2), kDeviceKindPLX8747)};
    for (const CRefPtr<IDevice>& bridge : bridges)
    {
        EXPECT_EQ(bridge->GetSecondaryBus(), 4) << bridge->GetDeviceKind();
        EXPECT_EQ(bridge->GetTimerValue(), 0u);
        EXPECT_FALSE(bridge->IsI2CActive());
        EXPECT_FALSE(bridge->InitializeClocks());
    }
}
} // namespace
