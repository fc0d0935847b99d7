// GPU devices on simulated GPUs: the factory's kind table, EEPROM windows and
// straps, enable and restore around EEPROM access, the 0x1084 gate, the
// timer, hardware set-up and clock raising.

#include "core/Log.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "hw/device/DeviceBridgeZX22Impl.h"
#include "hw/device/DeviceGPUGenerationsImpl.h"
#include "hw/device/DeviceGPULegacyImpl.h"
#include "hw/device/ROMAccessScope.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimGpuRig.h"

#include <gtest/gtest.h>

#include <sstream>
#include <typeindex>

using testkit::ErrorOf;

namespace
{
using Access = CSimGpu::Access;

SimGpuConfig Config(uint32_t kind, uint32_t straps = 0)
{
    SimGpuConfig config = SimGpuConfigForKind(kind);
    config.straps = straps;
    return config;
}

std::vector<Access> WritesOf(const CSimGpu& gpu)
{
    std::vector<Access> writes;
    for (const Access& access : gpu.Accesses())
    {
        if (access.write)
        {
            writes.push_back(access);
        }
    }
    return writes;
}

bool Touched(const CSimGpu& gpu, uint64_t offset)
{
    for (const Access& access : gpu.Accesses())
    {
        if (access.offset == offset)
        {
            return true;
        }
    }
    return false;
}

TEST(DeviceFactory, EachKindBuildsItsClassAndKeepsTheCatalogueKind)
{
    CSimGpuRig rig(Config(kDeviceKindIso));
    const std::pair<int32_t, std::type_index> cases[] = {
        {2, typeid(CDeviceBridgeZX22Impl)}, {3, typeid(CDeviceBridgePLX8747Impl)},
        {5, typeid(CDeviceGPULegacyImpl)},  {6, typeid(CDeviceGPUISOImpl)},
        {7, typeid(CDeviceGPUAvrel2Impl)},  {8, typeid(CDeviceGPUAvrel2Impl)},
        {9, typeid(CDeviceGPUCendra1Impl)}, {10, typeid(CDeviceGPUCendra2Impl)},
        {11, typeid(CDeviceGPUDolvikImpl)}, {12, typeid(CDeviceGPUDolvik1Impl)},
        {13, typeid(CDeviceGPUEstrelImpl)},
    };
    for (const auto& [kind, type] : cases)
    {
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kind);
        const IDevice& built = *device;
        EXPECT_EQ(std::type_index(typeid(built)), type) << kind;
        EXPECT_EQ(device->GetDeviceKind(), kind);
    }
    for (const int32_t kind : {0, 1, 4, 14, -1})
    {
        EXPECT_EQ(ErrorOf([&] { IDevice::Create(rig.OpenAccessor(), kind); }),
                  "IDevice::Create: Unknown/unsupported device type")
            << kind;
    }
}

TEST(GpuRom, TheRomTypeComesFromEachGenerationsStrapBits)
{
    struct Case
    {
        uint32_t kind;
        uint32_t straps;
        bool fromStraps;
        uint32_t type;
        bool typeZero;
    };
    const Case cases[] = {
        {5, 1u << 29, true, 1, true},   {5, 3u << 29, true, 4, true},
        {5, 3u << 22, true, 0, true},   {5, 3u << 29, false, 0, true},
        {6, 2u << 22, true, 2, false},  {6, 3u << 22, true, 4, false},
        {9, 3u << 29, true, 0, true},   {12, 1u << 22, true, 1, false},
        {12, 1u << 22, false, 0, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " straps " << c.straps);
        CSimGpuRig rig(Config(c.kind, c.straps), 0x1000);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), c.kind);
        rig.gpu->RecordAccesses(true);
        EXPECT_EQ(device->GetROMType(c.fromStraps), c.type);
        EXPECT_EQ(device->IsROMTypeZero(c.fromStraps), c.typeZero);
        if (!c.fromStraps)
        {
            EXPECT_FALSE(Touched(*rig.gpu, 0x101000));
        }
    }
}

uint32_t RigDword(size_t offset)
{
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
    {
        value |= static_cast<uint32_t>(RigEepromByte(offset + i)) << (8 * i);
    }
    return value;
}

TEST(GpuRom, PromBytesComeFromTheirDwordAndReadsStayInsideTheWindows)
{
    CSimGpuRig rig(Config(kDeviceKindIso));
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindIso);
    rig.gpu->RecordAccesses(true);
    EXPECT_EQ(device->ReadROMByte(5), RigEepromByte(5));
    EXPECT_EQ(device->ReadROMByte(0), RigEepromByte(0));
    EXPECT_EQ(rig.gpu->Accesses(), (std::vector<Access>{{false, 0x300004, 4, RigDword(4)},
                                                        {false, 0x300000, 4, RigDword(0)}}));
    EXPECT_EQ(device->ReadROMByte(0xFFFFF), RigEepromByte(0xFFFFF));
    EXPECT_EQ(device->ReadROMWindowByte(0x1FFFF), RigEepromByte(0x1FFFF));
    rig.gpu->ClearAccesses();
    EXPECT_EQ(ErrorOf([&] { device->ReadROMByte(-1); }),
              "PROM window offset 0xFFFFFFFF is outside the window of 0x100000 bytes");
    EXPECT_EQ(ErrorOf([&] { device->ReadROMByte(0x100000); }),
              "PROM window offset 0x100000 is outside the window of 0x100000 bytes");
    EXPECT_EQ(ErrorOf([&] { device->ReadROMWindowByte(0x20000); }),
              "ROM window offset 0x20000 is outside the window of 0x20000 bytes");
    EXPECT_EQ(ErrorOf([&] { device->WriteROMByte(0x100000, 0); }),
              "PROM window offset 0x100000 is outside the window of 0x100000 bytes");
    EXPECT_TRUE(rig.gpu->Accesses().empty());

    CSimGpuRig legacyRig(Config(kDeviceKindLegacyGpu));
    CRefPtr<IDevice> legacy = IDevice::Create(legacyRig.OpenAccessor(), kDeviceKindLegacyGpu);
    EXPECT_EQ(legacy->ReadROMWindowByte(0xFFFFF), RigEepromByte(0xFFFFF));
    EXPECT_EQ(ErrorOf([&] { legacy->ReadROMWindowByte(0x100000); }),
              "ROM window offset 0x100000 is outside the window of 0x100000 bytes");
    // The legacy PROM window answers only while the PROM pins are enabled.
    EXPECT_EQ(legacy->ReadROMByte(3), 0xFF);
    CROMAccessScope access(*legacy);
    EXPECT_EQ(legacy->ReadROMByte(3), RigEepromByte(3));
}

TEST(GpuRom, TheWindowOffsetMovesTheRomWindowOnKindsFromEight)
{
    for (const uint32_t kind : {6u, 7u, 8u, 13u})
    {
        SCOPED_TRACE(kind);
        CSimGpuRig rig(Config(kind));
        rig.gpu->SetRegister(0xE208, 0xAB000001);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(kind));
        rig.gpu->RecordAccesses(true);
        device->UpdateROMWindowOffset(0x12345);
        const bool moves = kind >= 8;
        EXPECT_EQ(rig.gpu->Register(0xE208), moves ? 0xAB012345u : 0xAB000001u);
        EXPECT_EQ(Touched(*rig.gpu, 0xE208), moves);
        EXPECT_EQ(device->ReadROMWindowByte(0), RigEepromByte(moves ? 0x12344 : 0));
    }
}

// Enable and restore, checked on the registers and on the order of writes.
TEST(GpuRomAccess, IsoEnableSavesOnceAndTheOutermostRestorePutsEverythingBack)
{
    CSimGpuRig rig(Config(kDeviceKindAvrel2b));
    rig.gpu->SetRegister(0xE194, 0x101);
    rig.gpu->SetRegister(0xE208, 0xAB000001);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindAvrel2b);
    rig.gpu->RecordAccesses(true);

    EXPECT_TRUE(device->IsDebugPortEnabled());
    device->EnableROMAccess();
    EXPECT_EQ(WritesOf(*rig.gpu),
              (std::vector<Access>{{true, 0xE194, 4, 0x100}, {true, 0xE208, 4, 0xAB000000}}));
    EXPECT_FALSE(device->IsDebugPortEnabled());
    // A second enable before the restore saves nothing: the saved state stays
    // the one found before the first.
    device->EnableROMAccess();
    device->RestoreROMAccess();
    EXPECT_EQ(rig.gpu->Register(0xE194), 0x100u);
    EXPECT_EQ(rig.gpu->Register(0xE208), 0xAB000000u);

    rig.gpu->ClearAccesses();
    device->RestoreROMAccess();
    EXPECT_EQ(WritesOf(*rig.gpu),
              (std::vector<Access>{{true, 0xE208, 4, 0xAB000001}, {true, 0xE194, 4, 0x101}}));
    EXPECT_TRUE(device->IsROMAccessEnabled());

    // A restore with nothing enabled writes nothing.
    rig.gpu->ClearAccesses();
    device->RestoreROMAccess();
    EXPECT_TRUE(WritesOf(*rig.gpu).empty());
}

TEST(GpuRomAccess, KindsWithoutAWindowOffsetLeaveItAlone)
{
    CSimGpuRig rig(Config(kDeviceKindAvrel2));
    rig.gpu->SetRegister(0xE208, 0x1);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindAvrel2);
    rig.gpu->RecordAccesses(true);
    {
        CROMAccessScope access(*device);
    }
    EXPECT_FALSE(Touched(*rig.gpu, 0xE208));
    EXPECT_EQ(rig.gpu->Register(0xE194), 1u);
}

TEST(GpuRomAccess, AScopeRestoresWhenTheWorkInsideThrows)
{
    CSimGpuRig rig(Config(kDeviceKindCendra1));
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindCendra1);
    EXPECT_THROW(
        {
            CROMAccessScope access(*device);
            EXPECT_FALSE(device->IsDebugPortEnabled());
            device->ReadROMByte(-4);
        },
        std::out_of_range);
    EXPECT_TRUE(device->IsDebugPortEnabled());
    EXPECT_EQ(rig.gpu->Register(0xE208), 1u);
}

TEST(GpuRomAccess, LegacyPinsAndDebugPortRoundTrip)
{
    CSimGpuRig rig(Config(kDeviceKindLegacyGpu));
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindLegacyGpu);
    EXPECT_FALSE(device->IsROMAccessEnabled());
    device->EnableROMAccess();
    EXPECT_TRUE(device->IsROMAccessEnabled());
    EXPECT_FALSE(device->IsDebugPortEnabled());
    device->EnableROMAccess();
    device->RestoreROMAccess();
    EXPECT_TRUE(device->IsROMAccessEnabled());
    device->RestoreROMAccess();
    EXPECT_EQ(rig.gpu->Register(0x1850), 1u);
    EXPECT_EQ(rig.gpu->Register(0x1090), 1u);
}

TEST(GpuRomAccess, LegacyPinsThatWillNotEnableStopBeforeTheDebugPort)
{
    SimGpuConfig config = Config(kDeviceKindLegacyGpu);
    config.promPinsStuck = true;
    CSimGpuRig rig(config);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindLegacyGpu);
    rig.gpu->RecordAccesses(true);
    EXPECT_EQ(ErrorOf([&] { device->EnableROMAccess(); }), "Could not enable the PROM pins");
    EXPECT_FALSE(Touched(*rig.gpu, 0x1090));
    // The failed enable left nothing to restore.
    rig.gpu->ClearAccesses();
    device->RestoreROMAccess();
    EXPECT_TRUE(WritesOf(*rig.gpu).empty());
}

// Swallows writes that set the PROM pins again, as pins stuck enabled would.
class CPinsStuckEnabled : public ISimGpuRegisterHook
{
public:
    std::optional<uint32_t> ReadRegister(uint64_t, unsigned) override { return std::nullopt; }
    bool WriteRegister(uint64_t offset, unsigned, uint32_t value) override
    {
        return offset == 0x1850 && value == 1;
    }
};

TEST(GpuRomAccess, LegacyPinsThatWillNotDisableAreLoggedAndTheDebugPortIsStillRestored)
{
    CSimGpuRig rig(Config(kDeviceKindLegacyGpu));
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindLegacyGpu);
    device->EnableROMAccess();
    rig.gpu->AddHook(std::make_shared<CPinsStuckEnabled>());
    std::ostringstream log;
    {
        CScopedLogSink sink(GetLog(), &log, 4, 4);
        EXPECT_NO_THROW(device->RestoreROMAccess());
    }
    EXPECT_EQ(log.str(), "Could not restore the PROM pins after EEPROM access: Could not "
                         "disable the PROM pins\n");
    EXPECT_EQ(rig.gpu->Register(0x1090), 1u);
    EXPECT_EQ(rig.gpu->Register(0x1850), 0u);
}

TEST(GpuRomAccess, IdleControlSetsSelectAndSoftwareControlAndDropsTheClock)
{
    for (const uint32_t kind : {5u, 6u, 11u})
    {
        CSimGpuRig rig(Config(kind), 0x1000);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(kind));
        device->WriteROMControl(0xF4);
        device->IdleROMControl();
        EXPECT_EQ(rig.gpu->Register(kind == 5 ? 0x1204 : 0xE204), 0xE3u) << kind;
    }
}

TEST(GpuGate, ReadsOfTheGatedRangeOpenTheGateAroundTheAccess)
{
    CSimGpuRig rig(Config(kDeviceKindIso), 0x1000);
    rig.gpu->SetRegister(0x1084, 0x12);
    rig.gpu->SetRegister(0x20FFC, 0x66000000);
    rig.gpu->SetRegister(0x21000, 0xCAFE0001);
    rig.gpu->SetRegister(0x21FFC, 0x77000000);
    rig.gpu->SetRegister(0x22000, 0x88);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindIso);
    struct Case
    {
        uint32_t offset;
        bool byte;
        uint32_t value;
        bool gated;
    };
    const Case cases[] = {
        {0x20FFF, true, 0x66, false},
        {0x21000, false, 0xCAFE0001, true},
        {0x21FFF, true, 0x77, true},
        {0x22000, false, 0x88, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.offset);
        rig.gpu->RecordAccesses(true);
        rig.gpu->ClearAccesses();
        const uint32_t value = c.byte ? device->Read8(c.offset) : device->Read32(c.offset);
        EXPECT_EQ(value, c.value);
        const unsigned width = c.byte ? 1 : 4;
        const std::vector<Access> direct{{false, c.offset, width, c.value}};
        const std::vector<Access> throughGate{{false, 0x1084, 4, 0x12},
                                              {true, 0x1084, 4, 0x812},
                                              {false, c.offset, width, c.value},
                                              {true, 0x1084, 4, 0x12}};
        EXPECT_EQ(rig.gpu->Accesses(), c.gated ? throughGate : direct);
        EXPECT_EQ(rig.gpu->Register(0x1084), 0x12u);
    }
    // The legacy class has no gate: the read sees the gate shut.
    CSimGpuRig legacyRig(Config(kDeviceKindLegacyGpu), 0x1000);
    CRefPtr<IDevice> legacy = IDevice::Create(legacyRig.OpenAccessor(), kDeviceKindLegacyGpu);
    EXPECT_EQ(legacy->Read32(0x21000), CSimGpu::kGatedValue);
}

TEST(GpuTimer, CountsVirtualNanosecondsUntilTheRegistersAreUnmapped)
{
    CSimGpuRig rig(Config(kDeviceKindDolvik), 0x1000);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindDolvik);
    const uint32_t first = device->GetTimerValue();
    rig.machine->Clock().WaitMicroseconds(25);
    EXPECT_EQ(device->GetTimerValue() - first, 25000u);
    device->UnmapRegisters();
    EXPECT_EQ(device->GetTimerValue(), 0u);

    CSimGpuRig legacyRig(Config(kDeviceKindLegacyGpu), 0x1000);
    CRefPtr<IDevice> legacy = IDevice::Create(legacyRig.OpenAccessor(), kDeviceKindLegacyGpu);
    legacyRig.machine->Clock().WaitMicroseconds(25);
    EXPECT_EQ(legacy->GetTimerValue(), 0u);
    EXPECT_FALSE(legacy->IsI2CActive());
}

TEST(GpuSetUp, BuildingADeviceSetsUpTheHardwareOnce)
{
    struct Case
    {
        uint32_t kind;
        bool timerSetUp;
    };
    for (const Case c : {Case{6, true}, Case{8, true}, Case{9, false}, Case{13, false}})
    {
        SCOPED_TRACE(c.kind);
        CSimGpuRig rig(Config(c.kind), 0x1000);
        rig.function->Store(0x64, 4, 0x7);
        rig.function->SetWritableMask(0x64, 4, 0x3);
        rig.gpu->SetRegister(0x200, 0x1);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(c.kind));
        EXPECT_EQ(rig.function->Stored(0x64, 4), 0x4u);
        EXPECT_EQ(rig.gpu->Register(0x200), 0x110001u);
        EXPECT_EQ(rig.gpu->Register(0x9200), c.timerSetUp ? 31250u : 0u);
        EXPECT_EQ(rig.gpu->Register(0x9210), c.timerSetUp ? 625u : 0u);
    }
    CSimGpuRig legacyRig(Config(kDeviceKindLegacyGpu), 0x1000);
    CRefPtr<IDevice> legacy = IDevice::Create(legacyRig.OpenAccessor(), kDeviceKindLegacyGpu);
    EXPECT_EQ(legacyRig.gpu->Register(0x200), 0u);
}

TEST(GpuClocks, Cendra2RaisesTheClocksItFindsAtTheirResetState)
{
    CSimGpuRig rig(Config(kDeviceKindCendra2), 0x1000);
    rig.gpu->SetRegister(0x137280, 0x01100000);
    rig.gpu->SetRegister(0x13726C, 0x01100001);
    rig.gpu->SetRegister(0xE9F8, 0x5);
    rig.gpu->SetRegister(0x13717C, 0x1);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindCendra2);
    EXPECT_TRUE(device->InitializeClocks());
    EXPECT_EQ(rig.gpu->Register(0xE800) & 1u, 1u);
    EXPECT_EQ(rig.gpu->Register(0x137280), 0x87100808u);
    EXPECT_EQ(rig.gpu->Register(0x13726C), 0x01100001u);
    EXPECT_EQ(rig.gpu->Register(0xE9F8), 0x4u);
    EXPECT_EQ(rig.gpu->Register(0x137190), 0x3u);
    EXPECT_EQ(rig.gpu->Register(0x13717C), 0x1u);
}

TEST(GpuClocks, Cendra2GivesUpWhenTheClockIsNotReadyOrTheKindIsAnother)
{
    SimGpuConfig config = Config(kDeviceKindCendra2);
    config.clocksReady = false;
    CSimGpuRig rig(config, 0x1000);
    CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindCendra2);
    EXPECT_FALSE(device->InitializeClocks());
    EXPECT_EQ(rig.gpu->Register(0xE800), 0u);

    CRefPtr<IDevice> otherKind(new CDeviceGPUCendra2Impl(rig.OpenAccessor(), kDeviceKindCendra1));
    rig.gpu->RecordAccesses(true);
    EXPECT_FALSE(otherKind->InitializeClocks());
    EXPECT_TRUE(rig.gpu->Accesses().empty());
}

TEST(GpuClocks, DolvikKindsRaiseTheirPllAndEstrelNone)
{
    {
        CSimGpuRig rig(Config(kDeviceKindDolvik), 0x1000);
        rig.gpu->SetRegister(0x1370A0, 0x2A);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindDolvik);
        EXPECT_TRUE(device->InitializeClocks());
        EXPECT_EQ(rig.gpu->Register(0x1370A0), 0x25u);
        EXPECT_EQ(rig.gpu->Register(0x137190), 0x03000002u);
        EXPECT_EQ(rig.gpu->Register(0x13717C), 0x03000002u);
    }
    {
        SimGpuConfig config = Config(kDeviceKindDolvik);
        config.pllNeverLocks = true;
        CSimGpuRig rig(config, 0x1000);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindDolvik);
        EXPECT_FALSE(device->InitializeClocks());
        EXPECT_EQ(rig.gpu->Register(0x137190), 0u);
    }
    {
        CSimGpuRig rig(Config(kDeviceKindDolvik1), 0x1000);
        rig.gpu->SetRegister(0x1370A8, 0x12800000);
        rig.gpu->SetRegister(0x1370B8, 0xE01);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), kDeviceKindDolvik1);
        EXPECT_TRUE(device->InitializeClocks());
        EXPECT_EQ(rig.gpu->Register(0x1370A0), 0x4u);
        EXPECT_EQ(rig.gpu->Register(0x1370A8), 0x09000000u);
        EXPECT_EQ(rig.gpu->Register(0x1370B8), 0x801u);
    }
    for (const uint32_t kind : {5u, 6u, 9u, 13u})
    {
        CSimGpuRig rig(Config(kind), 0x1000);
        CRefPtr<IDevice> device = IDevice::Create(rig.OpenAccessor(), static_cast<int32_t>(kind));
        rig.gpu->RecordAccesses(true);
        EXPECT_FALSE(device->InitializeClocks()) << kind;
        EXPECT_TRUE(rig.gpu->Accesses().empty()) << kind;
    }
}
} // namespace
