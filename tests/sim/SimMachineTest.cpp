// The simulated machine's bus: configuration space semantics, BAR sizing,
// reachability through bridges, the access cost and the counters, and memory
// decoding that follows every change to where an address goes.

#include "sim/SimMachine.h"
#include "sim/RegisterFileModel.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
constexpr uint16_t kAddressPort = 0xCF8;
constexpr uint16_t kDataPort = 0xCFC;

uint32_t ReadMechanism1(CSimMachine& machine, uint8_t bus, uint8_t device, uint8_t function,
                        uint32_t offset)
{
    machine.WritePort(kAddressPort, 4,
                      0x80000000u | bus << 16 | device << 11 | function << 8 | (offset & 0xFC));
    return machine.ReadPort(kDataPort, 4);
}

TEST(SimPciFunction, WritesFollowTheMasks)
{
    CSimPciFunction function(0, 0, 0);
    function.Store(0x04, 4, 0x80100000); // status: error latched, capabilities
    function.Store(0x40, 4, 0xAAAAAAAA);
    function.SetWritableMask(0x40, 4, 0x0000FFFF);
    function.SetWriteOneToClearMask(0x40, 4, 0xFF000000);

    function.ConfigWrite(0x04, 4, 0xFFFF0006);
    EXPECT_EQ(function.Stored(0x04, 4), 0x00100006u) << "error bit cleared by one, RO kept";
    function.ConfigWrite(0x40, 4, 0x0F001234);
    EXPECT_EQ(function.Stored(0x40, 4), 0xA0AA1234u);
    function.ConfigWrite(0x00, 4, 0);
    EXPECT_EQ(function.Stored(0x00, 4), 0u);
    EXPECT_THROW(function.ConfigRead(0xFFE, 4), std::out_of_range);
}

TEST(SimPciFunction, BarsSizeTheStandardWay)
{
    CSimPciFunction function(0, 0, 0);
    function.SetBar(0, SimBar{0x1000000, ESimBarKind::Memory32, false, 0xF0000000});
    function.SetBar(2, SimBar{0x20000000, ESimBarKind::Memory64, true, 0x3C0000000ull});
    function.SetBar(4, SimBar{0x80, ESimBarKind::Io, false, 0xE000});
    struct Case
    {
        uint32_t offset;
        uint32_t before;
        uint32_t sized;
    };
    for (const Case& c :
         {Case{0x10, 0xF0000000, 0xFF000000}, Case{0x18, 0xC000000C, 0xE000000C},
          Case{0x1C, 0x00000003, 0xFFFFFFFF}, Case{0x20, 0x0000E001, 0xFFFFFF81}, Case{0x24, 0, 0}})
    {
        EXPECT_EQ(function.ConfigRead(c.offset, 4), c.before) << std::hex << c.offset;
        function.ConfigWrite(c.offset, 4, 0xFFFFFFFF);
        EXPECT_EQ(function.ConfigRead(c.offset, 4), c.sized) << std::hex << c.offset;
        function.ConfigWrite(c.offset, 4, c.before);
    }
    EXPECT_EQ(function.BarAddress(2), 0x3C0000000ull);
}

TEST(SimPciFunction, CapabilityListsChain)
{
    CSimPciFunction function(0, 0, 0);
    EXPECT_EQ(function.AddCapability(0x01, {1, 2, 3, 4, 5, 6}), 0x40);
    EXPECT_EQ(function.AddCapability(0x05, {0}), 0x48);
    function.SetPortNumber(3);
    EXPECT_EQ(function.Stored(0x34, 1), 0x40u);
    EXPECT_EQ(function.Stored(0x06, 2) & 0x10, 0x10u);
    EXPECT_EQ(function.Stored(0x41, 1), 0x48u);
    EXPECT_EQ(function.Stored(0x49, 1), 0x4Cu);
    EXPECT_EQ(function.Stored(0x4C, 1), 0x10u);
    EXPECT_EQ(function.Stored(0x4C + 0x0C, 4) >> 24, 3u) << "link capabilities port number";
    EXPECT_EQ(function.AddExtendedCapability(0x0B, 1, {0, 0, 0, 0}), 0x100);
    EXPECT_EQ(function.AddExtendedCapability(0x01, 2, {}), 0x108);
    EXPECT_EQ(function.Stored(0x100, 4), 0x1081000Bu);
}

TEST(SimMachine, FunctionsBehindBridgesAreReachedOnlyThroughThem)
{
    CSimMachine machine;
    CSimPciFunction& bridge = machine.AddFunction(0, 1, 0);
    bridge.SetIds(0x10B5, 0x8747, 0x060400, 0);
    bridge.MakeBridge(0, 0, 0); // not yet given a bus
    machine.AddFunction(2, 0, 0).SetIds(0x10DE, 0x2204, 0x030000, 0);

    EXPECT_EQ(ReadMechanism1(machine, 2, 0, 0, 0), 0xFFFFFFFFu);
    machine.WritePort(kAddressPort, 4, 0x80000800u | 0x18);
    machine.WritePort(kDataPort, 4, 0x00020100); // secondary 1, subordinate 2
    EXPECT_EQ(ReadMechanism1(machine, 2, 0, 0, 0), 0x220410DEu);
    EXPECT_EQ(ReadMechanism1(machine, 0, 1, 0, 0x18), 0x00020100u);
    EXPECT_EQ(ReadMechanism1(machine, 0, 9, 0, 0), 0xFFFFFFFFu) << "absent function";

    machine.WritePort(kAddressPort, 4, 0x00000000); // enable bit clear
    EXPECT_EQ(machine.ReadPort(kDataPort, 4), 0xFFFFFFFFu);
}

TEST(SimMachine, MemoryDecodesRamEcamClaimsAndBars)
{
    CSimMachine machine;
    machine.SetAccessCostNanoseconds(250);
    machine.SetEcamWindow(0xE0000000, 0, 0xFF);
    CSimPciFunction& gpu = machine.AddFunction(0, 2, 0);
    gpu.SetIds(0x10DE, 0x1234, 0x030000, 0);
    gpu.SetBar(0, SimBar{0x1000, ESimBarKind::Memory32, false, 0xF0000000});
    auto model = std::make_shared<CSimRegisterFile>("gpu", gpu);
    machine.AddDevice(model);
    model->SetRegister32(0x20, 0xABCD1234);

    machine.WriteMemory(0x500, 2, 0xBEEF);
    EXPECT_EQ(machine.ReadMemory(0x500, 4), 0x0000BEEFu);
    EXPECT_EQ(machine.Clock().NowNanoseconds(), 0u) << "RAM costs nothing";

    EXPECT_EQ(machine.ReadMemory(0xF0000020, 4), 0xFFFFFFFFu) << "decoding off";
    machine.WriteMemory(0xE0000000 + (2 << 15) + 4, 2, 0x0002);
    EXPECT_EQ(machine.ReadMemory(0xF0000020, 4), 0xABCD1234u);
    EXPECT_EQ(machine.ReadMemory(0xF0000022, 2), 0xABCDu);
    EXPECT_EQ(machine.ReadMemory(0xF0001000, 4), 0xFFFFFFFFu) << "past the BAR";
    EXPECT_EQ(machine.ReadMemory(0xE0000000 + (2 << 15), 4), 0x123410DEu);

    EXPECT_EQ(machine.Counters().registerReads, 5u);
    EXPECT_EQ(machine.Counters().registerWrites, 1u);
    EXPECT_EQ(machine.Counters().configReads, 1u);
    EXPECT_EQ(machine.Clock().NowNanoseconds(), 6u * 250);
    machine.Clock().WaitMicroseconds(10);
    EXPECT_EQ(machine.Clock().NowMicroseconds(), 11u);
}

constexpr uint64_t kEcam = 0xE0000000;
constexpr uint64_t kGpuBar = 0xF0000000;
constexpr uint32_t kGpuValue = 0x22222222;

uint64_t EcamAddress(uint8_t device, uint32_t offset)
{
    return kEcam + (uint64_t{device} << 15) + offset;
}

// Memory claimed from the machine, answering every read with one value.
class CClaimedMemory : public ISimDevice
{
public:
    static constexpr uint32_t kValue = 0xC1A1C1A1;
    std::string Name() const override { return "claim"; }
    void Attach(CSimMachine&) override {}
    uint32_t ReadMemory(int, uint64_t, unsigned) override { return kValue; }
};

// Function 0:1.0 with a 4 KiB BAR not yet given an address, then function
// 0:2.0 with a 2 MiB BAR at kGpuBar; register 0x20 of each tells them apart.
struct DecodeFixture
{
    DecodeFixture()
    {
        machine.SetEcamWindow(kEcam, 0, 0);
        first = AddGpu(1, 0x1000, 0, 0x11111111);
        second = AddGpu(2, 0x200000, kGpuBar, kGpuValue);
    }

    CSimPciFunction* AddGpu(uint8_t device, uint64_t size, uint64_t address, uint32_t value)
    {
        CSimPciFunction& function = machine.AddFunction(0, device, 0);
        function.SetIds(0x10DE, 0x1230 + device, 0x030000, 0);
        function.SetBar(0, SimBar{size, ESimBarKind::Memory32, false, address});
        function.Store(0x04, 2, 0x0002);
        auto model = std::make_shared<CSimRegisterFile>("gpu", function);
        machine.AddDevice(model);
        model->SetRegister32(0x20, value);
        return &function;
    }

    CSimMachine machine;
    CSimPciFunction* first = nullptr;
    CSimPciFunction* second = nullptr;
    CClaimedMemory claim;
};

TEST(SimMachine, BarAccessesFollowDecodingAndBarChanges)
{
    DecodeFixture fixture;
    CSimMachine& machine = fixture.machine;
    const uint64_t moved = kGpuBar + 0x400000;
    ASSERT_EQ(machine.ReadMemory(kGpuBar + 0x20, 4), kGpuValue);

    machine.WriteMemory(EcamAddress(2, 0x04), 2, 0);
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x20, 4), 0xFFFFFFFFu) << "decoding off";
    machine.WriteMemory(EcamAddress(2, 0x04), 2, 0x0002);
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x20, 4), kGpuValue) << "decoding on again";

    machine.WriteMemory(EcamAddress(2, 0x10), 4, static_cast<uint32_t>(moved));
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x20, 4), 0xFFFFFFFFu) << "BAR moved away";
    EXPECT_EQ(machine.ReadMemory(moved + 0x20, 4), kGpuValue) << "BAR moved";

    fixture.second->Store(0x10, 4, static_cast<uint32_t>(kGpuBar));
    EXPECT_EQ(machine.ReadMemory(moved + 0x20, 4), 0xFFFFFFFFu) << "stored back by a builder";
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x1FFFFC, 4), 0u) << "last dword";
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x1FFFFE, 4), 0xFFFFFFFFu) << "straddles the end";
    EXPECT_EQ(machine.ReadMemory(kGpuBar - 2, 4), 0xFFFFFFFFu) << "straddles the start";

    fixture.second->SetBar(0, SimBar{0x1000, ESimBarKind::Memory32, false, kGpuBar});
    EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x1000, 4), 0xFFFFFFFFu) << "BAR made smaller";
    EXPECT_EQ(machine.Counters().registerReads, 10u);
    EXPECT_EQ(machine.Counters().registerWrites, 3u);
}

// Whatever the bus looks at before a BAR takes the part of the BAR's window
// it covers, even after an access elsewhere in that window.
TEST(SimMachine, RamEcamClaimsAndEarlierFunctionsComeBeforeABar)
{
    struct Case
    {
        const char* what;
        std::function<void(DecodeFixture&)> add;
        uint64_t address;
        uint32_t value;
    };
    const Case cases[] = {
        {"RAM",
         [](DecodeFixture& f)
         {
             f.machine.AddRam(kGpuBar + 0x800, 0x100);
             f.machine.WriteRam(kGpuBar + 0x800, std::vector<uint8_t>{0x5A, 0x5B, 0x5C, 0x5D});
         },
         kGpuBar + 0x800, 0x5D5C5B5A},
        {"ECAM window", [](DecodeFixture& f) { f.machine.SetEcamWindow(kGpuBar + 0x100000, 0, 0); },
         kGpuBar + 0x100000 + (2 << 15), 0x123210DE},
        {"claim", [](DecodeFixture& f) { f.machine.ClaimMemory(kGpuBar + 0x900, 4, f.claim, 0); },
         kGpuBar + 0x900, CClaimedMemory::kValue},
        {"earlier function",
         [](DecodeFixture& f) { f.first->Store(0x10, 4, static_cast<uint32_t>(kGpuBar)); },
         kGpuBar + 0x20, 0x11111111},
    };
    for (const Case& c : cases)
    {
        DecodeFixture fixture;
        CSimMachine& machine = fixture.machine;
        ASSERT_EQ(machine.ReadMemory(kGpuBar + 0x20, 4), kGpuValue) << c.what;
        c.add(fixture);
        EXPECT_EQ(machine.ReadMemory(c.address, 4), c.value) << c.what;
        EXPECT_EQ(machine.ReadMemory(kGpuBar + 0x2000, 4), 0u) << c.what << ": BAR elsewhere";
        EXPECT_EQ(machine.ReadMemory(c.address, 4), c.value) << c.what << ": after the BAR";
    }
}
} // namespace
