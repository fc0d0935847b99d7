// The I2C side of the GPU devices: ports by architecture, line registers by
// generation, controller ports, the hardware mutex with its contention, the
// display probe and the pad configuration, on simulated GPUs.

#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceGPUGenerationsImpl.h"
#include "hw/device/DeviceGPULegacyImpl.h"
#include "hw/device/I2CPortScope.h"
#include "sim/SimI2CSlaves.h"
#include "testkit/machine/SimGpuRig.h"

#include <gtest/gtest.h>

namespace
{
using Ports = std::vector<uint8_t>;

SimGpuConfig ConfigOfArchitecture(uint32_t kind, uint32_t architecture, uint32_t implementation = 0)
{
    SimGpuConfig config = SimGpuConfigForKind(kind);
    config.architecture = architecture;
    config.implementation = implementation;
    return config;
}

// A rig with a GPU device of the kind over it.
struct GpuUnderTest
{
    GpuUnderTest(uint32_t kind, uint32_t architecture, uint32_t implementation = 0)
        : rig(ConfigOfArchitecture(kind, architecture, implementation), 0x1000),
          device(IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(kind)))
    {
    }
    CDeviceGPUISOImpl& Iso() { return dynamic_cast<CDeviceGPUISOImpl&>(*device.get()); }

    CSimGpuRig rig;
    CRefPtr<IDevice> device;
};

Ports Range(uint8_t count)
{
    Ports ports;
    for (uint8_t port = 0; port < count; ++port)
    {
        ports.push_back(port);
    }
    return ports;
}

TEST(GpuPorts, PortsAndMutexFollowArchitectureAndImplementation)
{
    struct Case
    {
        uint32_t architecture;
        uint32_t implementation;
        uint8_t portCount;
        bool mutex;
    };
    const Case cases[] = {
        {5, 3, 4, false},  {8, 0, 4, false},  {9, 2, 4, false},
        {9, 1, 6, false},  {10, 6, 6, false}, {10, 12, 6, false},
        {10, 8, 10, true}, {11, 0, 10, true}, {0x13, 15, 10, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.architecture << "/" << c.implementation);
        GpuUnderTest gpu(kDeviceKindIso, c.architecture, c.implementation);
        EXPECT_EQ(gpu.device->GetI2CPorts(), Range(c.portCount));
        EXPECT_EQ(gpu.Iso().HasHardwareMutex(), c.mutex);
    }
    GpuUnderTest legacy(kDeviceKindLegacyGpu, 4);
    EXPECT_EQ(legacy.device->GetI2CPorts(), (Ports{0, 1, 2}));
    EXPECT_FALSE(legacy.device->AcquireI2CPort(0));
}

TEST(GpuPorts, RegisterBlocksByGeneration)
{
    GpuUnderTest iso(kDeviceKindIso, 11);
    GpuUnderTest avrel(kDeviceKindAvrel2, 11);
    struct Case
    {
        uint32_t kind;
        uint8_t port;
        uint32_t iso;
        uint32_t later;
    };
    const Case cases[] = {
        {3, 0, 0xE138, 0xD014}, {3, 5, 0xE274, 0xD0B4}, {3, 7, 0xE780, 0xD0F4},
        {4, 5, 0xE270, 0xD0B0}, {0, 5, 0xE25C, 0xD0A4}, {6, 2, 0xE368, 0xD058},
        {7, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(iso.Iso().GetI2CPortRegister(c.kind, c.port), c.iso)
            << c.kind << "/" << int(c.port);
        EXPECT_EQ(avrel.Iso().GetI2CPortRegister(c.kind, c.port), c.later)
            << c.kind << "/" << int(c.port);
    }
}

TEST(GpuPorts, BeginAndEndPutThePortUnderSoftwareControlAndBack)
{
    GpuUnderTest gpu(kDeviceKindAvrel2, 12);
    CSimGpu& sim = *gpu.rig.gpu;
    sim.SetRegister(0xD014 + 32 * 7, 0x0B);
    EXPECT_TRUE(gpu.Iso().IsControllerPort(7));
    ASSERT_TRUE(gpu.device->AcquireI2CPort(7));
    gpu.device->BeginI2CPortAccess(7);
    EXPECT_EQ(sim.Register(0xE550), 0xC001u);
    // Bits 4-5 hold the live levels the device read back with the register.
    EXPECT_EQ(sim.Register(0xD014 + 32 * 7) & 0xFu, 0x07u);
    gpu.device->EndI2CPortAccess(7);
    EXPECT_EQ(sim.Register(0xD014 + 32 * 7) & 0xFu, 0x0Bu);
    EXPECT_EQ(sim.Register(0xE550), 0u);
    EXPECT_TRUE(gpu.device->ReleaseI2CPort(7));

    GpuUnderTest other(kDeviceKindAvrel2, 11);
    EXPECT_FALSE(other.Iso().IsControllerPort(7));
    EXPECT_FALSE(other.Iso().IsControllerPort(5));
}

TEST(GpuLines, LinesReadLiveLevelsAndWritesKeepTheUnknownLineAlone)
{
    for (const uint32_t kind : {6u, 9u})
    {
        SCOPED_TRACE(kind);
        GpuUnderTest gpu(kind, 11);
        CDeviceGPUISOImpl& iso = gpu.Iso();
        CSimI2CBus& bus = gpu.rig.gpu->Port(2);
        if (kind == 6)
        {
            EXPECT_EQ(iso.GetCachedI2CLines(2), (I2CLineState{-1, -1}));
        }
        iso.SetI2CLines(2, {0, -1});
        EXPECT_FALSE(bus.Sda());
        EXPECT_TRUE(bus.Scl());
        EXPECT_EQ(iso.GetCachedI2CLines(2), (I2CLineState{0, 1}));
        bus.HoldClockLow(true);
        EXPECT_EQ(iso.GetI2CLines(2), (I2CLineState{0, 0}));
        // The cache keeps what was driven, not what the bus shows.
        EXPECT_EQ(iso.GetCachedI2CLines(2), (I2CLineState{0, 1}));
        EXPECT_EQ(iso.WaitI2CLines(2, {-1, 1}), 6);
        EXPECT_EQ(iso.WaitI2CLines(2, {0, -1}), 0);
        gpu.rig.gpu->RecordAccesses(true);
        EXPECT_EQ(iso.WaitI2CLines(2, {-1, -1}), 0);
        EXPECT_EQ(gpu.rig.gpu->Accesses().size(), 1u);
    }
}

TEST(GpuLines, AByteTransferStopsAtTheFirstBitThatTimesOut)
{
    GpuUnderTest gpu(kDeviceKindIso, 11);
    CDeviceGPUISOImpl& iso = gpu.Iso();
    gpu.device->BeginI2CPortAccess(0);
    uint8_t in = 0;
    EXPECT_EQ(iso.TransferI2CByte(0, 0x00, in), 0);
    EXPECT_EQ(in, 0x00);
    gpu.rig.gpu->Port(0).HoldClockLow(true);
    gpu.rig.gpu->RecordAccesses(true);
    in = 0;
    EXPECT_EQ(iso.TransferI2CByte(0, 0xFF, in), 6);
    // One bit: the clock rose no further than the first wait.
    size_t lineWrites = 0;
    for (const CSimGpu::Access& access : gpu.rig.gpu->Accesses())
    {
        lineWrites += access.write ? 1 : 0;
    }
    EXPECT_EQ(lineWrites, 3u);
}

// Mutex 5 and the ports that hold it.
TEST(GpuMutex, APortTakenByAnotherAgentIsRefusedAndTheMutexLeftToIt)
{
    GpuUnderTest gpu(kDeviceKindIso, 11);
    CSimGpu& sim = *gpu.rig.gpu;
    sim.HoldMutex(5, 0x42);
    const uint64_t before = gpu.rig.machine->Clock().NowMicroseconds();
    EXPECT_FALSE(gpu.device->AcquireI2CPort(1));
    EXPECT_GE(gpu.rig.machine->Clock().NowMicroseconds() - before, 100000u);
    EXPECT_EQ(gpu.Iso().GetAcquiredPortMask(), 0u);
    EXPECT_EQ(sim.MutexOwner(5), 0x42) << "the refused request released nothing";
    // When the other agent lets go, the mutex is free.
    sim.ReleaseHeldMutex(5);
    EXPECT_EQ(sim.MutexOwner(5), 0);

    EXPECT_TRUE(gpu.device->AcquireI2CPort(1));
    const uint32_t id = gpu.Iso().GetMutexOwnerId();
    EXPECT_NE(id, CDeviceGPUISOImpl::kNoMutexId);
    EXPECT_EQ(sim.MutexOwner(5), id);
}

TEST(GpuMutex, AnAgentThatGivesUpNeverTakesTheMutexFromItsHolder)
{
    // Two agents of the program on one GPU, both reaching it over the bus:
    // they differ only in the IDs the mutex unit gave them.
    GpuUnderTest gpu(kDeviceKindIso, 11);
    CSimGpu& sim = *gpu.rig.gpu;
    CRefPtr<IDevice> second = IDevice::Create(gpu.rig.OpenAccessor(), kDeviceKindIso);
    auto& a = gpu.Iso();
    auto& b = dynamic_cast<CDeviceGPUISOImpl&>(*second.get());

    ASSERT_TRUE(gpu.device->AcquireI2CPort(1));
    const uint32_t aId = a.GetMutexOwnerId();
    EXPECT_EQ(sim.MutexOwner(5), aId);

    EXPECT_FALSE(second->AcquireI2CPort(1));
    EXPECT_NE(b.GetMutexOwnerId(), aId);
    EXPECT_EQ(b.GetAcquiredPortMask(), 0u);
    // A still holds mutex 5, as it believes.
    EXPECT_EQ(sim.MutexOwner(5), aId);
    EXPECT_TRUE(a.IsMutexOwned(5));
    EXPECT_FALSE(b.IsMutexOwned(5));

    // When A lets go the mutex is free: B's abandoned request does not take it.
    EXPECT_TRUE(gpu.device->ReleaseI2CPort(1));
    EXPECT_EQ(sim.MutexOwner(5), 0);
    EXPECT_TRUE(second->AcquireI2CPort(1));
    EXPECT_EQ(sim.MutexOwner(5), b.GetMutexOwnerId());
    EXPECT_FALSE(gpu.device->AcquireI2CPort(1));
    EXPECT_EQ(sim.MutexOwner(5), b.GetMutexOwnerId());
    EXPECT_TRUE(second->ReleaseI2CPort(1));
    EXPECT_EQ(sim.MutexOwner(5), 0);
}

TEST(GpuMutex, TheMutexIsHeldFromTheFirstPortToTheLast)
{
    GpuUnderTest gpu(kDeviceKindDolvik, 0x10);
    CSimGpu& sim = *gpu.rig.gpu;
    sim.RecordAccesses(true);
    ASSERT_TRUE(gpu.device->AcquireI2CPort(1));
    ASSERT_TRUE(gpu.device->AcquireI2CPort(2));
    EXPECT_EQ(gpu.Iso().GetAcquiredPortMask(), 0x6u);
    EXPECT_FALSE(gpu.device->ReleaseI2CPort(1));
    EXPECT_NE(sim.MutexOwner(5), 0);
    EXPECT_TRUE(gpu.device->ReleaseI2CPort(2));
    EXPECT_EQ(sim.MutexOwner(5), 0);
    // Dolvik's mutex unit: mutex 5 at 0xDF08 + 20.
    bool dolvikRegister = false;
    for (const CSimGpu::Access& access : sim.Accesses())
    {
        dolvikRegister |= access.write && access.offset == 0xDF1C;
    }
    EXPECT_TRUE(dolvikRegister);

    // Releasing every port with none held still gives back a mutex held.
    ASSERT_TRUE(gpu.Iso().AcquireMutex(5));
    EXPECT_TRUE(gpu.device->ReleaseI2CPort(CDeviceGPUISOImpl::kAllPorts));
    EXPECT_EQ(sim.MutexOwner(5), 0);
    EXPECT_FALSE(gpu.Iso().AcquireMutex(32));
}

TEST(GpuMutex, WithoutAHardwareMutexPortsAreTakenWithoutTouchingIt)
{
    GpuUnderTest gpu(kDeviceKindCendra1, 9, 1);
    gpu.rig.gpu->RecordAccesses(true);
    EXPECT_TRUE(gpu.device->AcquireI2CPort(5));
    EXPECT_TRUE(gpu.device->ReleaseI2CPort(5));
    for (const CSimGpu::Access& access : gpu.rig.gpu->Accesses())
    {
        EXPECT_LT(access.offset, 0x10A480u);
    }
}

TEST(GpuMutex, InvalidPortsAreReportedAndUnmappingGivesEverythingBack)
{
    GpuUnderTest gpu(kDeviceKindIso, 9, 2);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(gpu.device->AcquireI2CPort(4));
    gpu.device->ReleaseI2CPort(0x0C);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ERROR : Invalid I2C Port 04\nERROR : Invalid I2C Port 0C\n");

    GpuUnderTest held(kDeviceKindIso, 11);
    ASSERT_TRUE(held.device->AcquireI2CPort(3));
    held.device->UnmapRegisters();
    EXPECT_EQ(held.Iso().GetAcquiredPortMask(), 0u);
    EXPECT_EQ(held.Iso().GetMutexOwnerId(), CDeviceGPUISOImpl::kNoMutexId);
    EXPECT_EQ(held.rig.gpu->MutexOwner(5), 0);
}

TEST(GpuMutex, ADeviceThatGoesWhileHoldingAPortLetsTheMutexGo)
{
    // Each generation gives the mutex back through its own mutex unit.
    for (const uint32_t kind : {kDeviceKindIso, kDeviceKindDolvik, kDeviceKindEstrel})
    {
        SCOPED_TRACE(kind);
        GpuUnderTest gpu(kind, 11);
        ASSERT_TRUE(gpu.device->AcquireI2CPort(3));
        ASSERT_NE(gpu.rig.gpu->MutexOwner(5), 0);
        gpu.device = nullptr;
        EXPECT_EQ(gpu.rig.gpu->MutexOwner(5), 0);
    }
}

TEST(GpuMutex, APortScopeGivesThePortBackWhenTheWorkInsideThrows)
{
    GpuUnderTest gpu(kDeviceKindIso, 11);
    CSimGpu& sim = *gpu.rig.gpu;
    EXPECT_THROW(
        {
            const CI2CPortScope held(*gpu.device, 1);
            ASSERT_TRUE(held.IsHeld());
            EXPECT_EQ(sim.Register(0xE150), 0x7u);
            EXPECT_NE(sim.MutexOwner(5), 0);
            throw std::runtime_error("transaction failed");
        },
        std::runtime_error);
    EXPECT_EQ(sim.Register(0xE150), 0x3u);
    EXPECT_EQ(sim.MutexOwner(5), 0);
    EXPECT_EQ(gpu.Iso().GetAcquiredPortMask(), 0u);

    sim.HoldMutex(5, 0x42);
    const CI2CPortScope refused(*gpu.device, 1);
    EXPECT_FALSE(refused.IsHeld());
    EXPECT_EQ(sim.Register(0xE150), 0x3u);
}

TEST(GpuProbe, ADisplayOnAnyPortOrABusyControllerMeansI2CIsActive)
{
    {
        GpuUnderTest gpu(kDeviceKindIso, 11);
        gpu.rig.gpu->Port(2).AddSlave(std::make_shared<CSimDisplaySlave>());
        EXPECT_TRUE(gpu.device->IsI2CActive());
        EXPECT_EQ(gpu.rig.gpu->Port(0).TraceText(), "S A0- P");
        EXPECT_EQ(gpu.rig.gpu->Port(2).TraceText(), "S A0+ P");
        EXPECT_EQ(gpu.rig.gpu->Port(3).TraceText(), "");
        EXPECT_EQ(gpu.rig.gpu->MutexOwner(5), 0);
    }
    {
        GpuUnderTest gpu(kDeviceKindCendra1, 11);
        EXPECT_FALSE(gpu.device->IsI2CActive());
        gpu.rig.gpu->SetRegister(0xE4E8 + 80 * 3, 1u << 28);
        EXPECT_TRUE(gpu.device->IsI2CActive());
    }
    {
        GpuUnderTest gpu(kDeviceKindCendra2, 11);
        gpu.rig.gpu->SetRegister(0xE4E8, 1u << 28);
        EXPECT_FALSE(gpu.device->IsI2CActive());
        gpu.rig.gpu->SetRegister(0xD958 + 80, 1u << 28);
        EXPECT_TRUE(gpu.device->IsI2CActive());
    }
    {
        // A port another agent holds is skipped.
        GpuUnderTest gpu(kDeviceKindIso, 11);
        gpu.rig.gpu->Port(2).AddSlave(std::make_shared<CSimDisplaySlave>());
        gpu.rig.gpu->HoldMutex(5, 0x42);
        EXPECT_FALSE(gpu.device->IsI2CActive());
    }
}

TEST(GpuPads, ConfigurationRoundTripsThroughEachLayout)
{
    const I2CPortConfig wanted{2, 1, 0, 1, 0};
    {
        GpuUnderTest gpu(kDeviceKindIso, 11);
        gpu.rig.gpu->SetRegister(0xE108, 0x40);
        gpu.device->SetI2CPortConfig(9, wanted);
        EXPECT_EQ(gpu.rig.gpu->Register(0xE108), 0xD0u);
        EXPECT_EQ(gpu.rig.gpu->Register(0xE100), 1u << 25);
        I2CPortConfig read;
        gpu.device->GetI2CPortConfig(9, read);
        EXPECT_EQ(read.mode, 2);
        EXPECT_EQ(read.option1, 1);
        EXPECT_EQ(read.option2, 0);
        EXPECT_EQ(read.option3, 1);
        EXPECT_EQ(read.state, 1);
    }
    {
        GpuUnderTest gpu(kDeviceKindAvrel2, 11);
        gpu.rig.gpu->SetRegister(0xD61C, 0x4000);
        gpu.device->SetI2CPortConfig(3, wanted);
        EXPECT_EQ(gpu.rig.gpu->Register(0xD61C), 0xD002u);
        EXPECT_EQ(gpu.rig.gpu->Register(0xD604), 0u);
        I2CPortConfig read;
        gpu.device->GetI2CPortConfig(3, read);
        EXPECT_EQ(read.mode, 2);
        EXPECT_EQ(read.option1, 1);
        EXPECT_EQ(read.option3, 1);
        EXPECT_EQ(read.state, 1);
    }
}
} // namespace
