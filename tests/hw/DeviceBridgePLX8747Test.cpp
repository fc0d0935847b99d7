// The PLX PEX 8747 switch device on a simulated switch: the EEPROM
// controller's command words, the bounded busy poll, BAR0 borrowing and its
// release on both revisions, and the refusals of borrowing.

#include "core/Log.h"
#include "core/platform/PlatformServices.h"
#include "hw/IRomviseDriver.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/device/DeviceBridgePLX8747Impl.h"
#include "sim/SimPlxSwitch.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <optional>
#include <sstream>

using testkit::ErrorOf;

namespace
{
constexpr uint32_t kAssignedBar = 0xD0000000;
constexpr uint32_t kMemoryWindow = 0x2FF02000; // 0x20000000-0x2FFFFFFF
constexpr uint32_t kBit26 = 1u << 26;
constexpr uint32_t kBit16 = 1u << 16;

CRefPtr<IPCIDeviceAccessor> Open(uint8_t bus, uint8_t device)
{
    return CreatePCIDeviceAccessor(GetRomviseDriver(), 0, bus, device, 0, -1, 0, 0);
}

class PLX8747SwitchTest : public ::testing::Test
{
protected:
    // The switch's upstream function at 00:01.0, forwarding buses 1-2 and
    // memory kMemoryWindow; BAR0 (128 KiB) at `bar`, 0 for unassigned.
    CSimPlxSwitch& AddSwitch(uint32_t bar, const SimPlxConfig& config = SimPlxConfig{},
                             uint32_t window = kMemoryWindow)
    {
        CSimPciFunction& function = machine().AddFunction(0, 1, 0);
        function.SetIds(kPlxVendorId, 0x8747, 0x060400, config.revision);
        function.MakeBridge(0, 1, 2);
        function.Store(0x04, 2, 0x6);
        function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, bar});
        auto model = std::make_shared<CSimPlxSwitch>("plx", function, config);
        function.Store(0x20, 4, window);
        for (uint32_t i = 0; i < CSimPlxSwitch::kEepromSize; i += 4)
        {
            const uint32_t value = 0xA5000000 | i;
            const std::array<uint8_t, 4> bytes{
                static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
            model->Eeprom().Write(i, bytes);
        }
        machine().AddDevice(model);
        return *model;
    }

    // A port of the switch on bus 1 whose memory window is `window`.
    void AddDownstreamPort(uint32_t window)
    {
        CSimPciFunction& port = machine().AddFunction(1, 0, 0);
        port.SetIds(kPlxVendorId, 0x8747, 0x060400, 0xCA);
        port.MakeBridge(1, 2, 2);
        port.Store(0x20, 4, window);
    }

    CRefPtr<CDeviceBridgePLX8747Impl> Switch()
    {
        return CRefPtr<CDeviceBridgePLX8747Impl>(new CDeviceBridgePLX8747Impl(Open(0, 1)));
    }

    CSimPciFunction& Function() { return *machine().FindFunction(0, 1, 0); }
    uint32_t Config(uint32_t offset) { return Function().Stored(offset, 4); }
    CSimMachine& machine() { return scope.Machine(); }

    CSimHardwareScope scope{MakeMachineWithMcfg()};
    std::ostringstream logged;
    CScopedLogSink sink{GetLog(), &logged, 1, 5};
};

TEST_F(PLX8747SwitchTest, ControlWordsCarryTheCommandAndTheDwordIndex)
{
    CSimPlxSwitch& model = AddSwitch(kAssignedBar);
    CRefPtr<CDeviceBridgePLX8747Impl> plx = Switch();
    struct Case
    {
        const char* what;
        std::function<uint32_t()> run;
        uint32_t control;
        uint32_t result;
    };
    const Case cases[] = {
        // Bits 0-1 of the offset are ignored: dword 0x40.
        {"ReadROMDword(0x103)", [&] { return plx->ReadROMDword(0x103); }, 0x00046040, 0xA5000100},
        // Bit 13 of the index goes to bit 20 (the 4 KiB part wraps to dword 1).
        {"ReadEEPROMDword(0x2001)", [&] { return plx->ReadEEPROMDword(0x2001); }, 0x00146001,
         0xA5000004},
        {"ReadROMByte(6)", [&] { return plx->ReadROMByte(6); }, 0x00046001, 0x00},
        {"ReadROMByte(7)", [&] { return plx->ReadROMByte(7); }, 0x00046001, 0xA5},
        {"ReadROMWindowByte(4)", [&] { return plx->ReadROMWindowByte(4); }, 0x00046001, 0x04},
    };
    for (const Case& c : cases)
    {
        const size_t before = model.ControlWrites().size();
        EXPECT_EQ(c.run(), c.result) << c.what;
        ASSERT_EQ(model.ControlWrites().size(), before + 1) << c.what;
        EXPECT_EQ(model.ControlWrites().back(), c.control) << c.what;
    }

    // Bits outside the address and command come from the register as read.
    plx->WriteROMControl(0x00800000);
    plx->ReadEEPROMDword(2);
    EXPECT_EQ(model.ControlWrites().back(), 0x00846002u);
    EXPECT_EQ(ErrorOf([&] { plx->ReadEEPROMDword(0x4000); }),
              "PLX EEPROM dword 0x00004000 is beyond the controller's reach.");
    EXPECT_EQ(ErrorOf([&] { plx->ReadROMByte(-1); }), "PLX EEPROM offset 0xFFFFFFFF is negative.");
}

TEST_F(PLX8747SwitchTest, WritesWaitForTheControllerBetweenCommands)
{
    SimPlxConfig config;
    config.busyPolls = 3;
    CSimPlxSwitch& model = AddSwitch(kAssignedBar, config);
    const std::array<uint8_t, 4> dword{0x44, 0x33, 0x22, 0x11};
    model.Eeprom().Write(4, dword);
    CRefPtr<CDeviceBridgePLX8747Impl> plx = Switch();

    plx->WriteROMByte(5, 0xAB);

    EXPECT_EQ(model.Eeprom().Read(4, 4), (std::vector<uint8_t>{0x44, 0xAB, 0x22, 0x11}));
    // Read, write enable, then the write command keeping the bits the write
    // enable left.
    EXPECT_EQ(model.ControlWrites(), (std::vector<uint32_t>{0x00046001, 0x00A4C000, 0x00A44001}));
    EXPECT_EQ(machine().Counters().Get("plx commands while busy"), 0u);

    plx->WriteROMDword(0x10, 0xCAFEF00D);
    EXPECT_EQ(plx->ReadROMDword(0x10), 0xCAFEF00Du);
    EXPECT_EQ(machine().Counters().Get("plx eeprom writes"), 2u);
}

TEST_F(PLX8747SwitchTest, BusyPollIsBoundedAndTimesOut)
{
    SimPlxConfig config;
    config.stuckBusy = true;
    AddSwitch(kAssignedBar, config);
    CRefPtr<CDeviceBridgePLX8747Impl> plx = Switch();
    const uint64_t start = GetClock().NowMicroseconds();
    EXPECT_EQ(ErrorOf([&] { plx->ReadROMDword(0); }),
              "The EEPROM controller of PLX switch 00:00:01.0 is still busy after 50 ms (control "
              "0x00046000).");
    EXPECT_EQ(GetClock().NowMicroseconds() - start, 50000u);
    EXPECT_EQ(ErrorOf([&] { plx->WriteROMDword(0, 0); }).substr(0, 47),
              "The EEPROM controller of PLX switch 00:00:01.0 ");
}

class PLX8747BorrowTest : public PLX8747SwitchTest, public ::testing::WithParamInterface<uint8_t>
{
};

TEST_P(PLX8747BorrowTest, BorrowsTheTopMebibyteAndGivesEverythingBack)
{
    const uint8_t revision = GetParam();
    const bool configPath = revision >= 0xCA;
    SimPlxConfig config;
    config.revision = revision;
    CSimPlxSwitch& model = AddSwitch(0, config);
    model.SetRegister(0x760, 0x00000003);
    CRefPtr<CDeviceBridgePLX8747Impl> plx = Switch();

    // The test finds BAR0 settable and leaves it and 0xF60 as they were.
    EXPECT_TRUE(plx->IsBar0Assigned());
    EXPECT_EQ(Config(0x10), 0u);
    EXPECT_EQ(Config(0xF60) & kBit26, kBit26);

    plx->MapRegisters();
    EXPECT_TRUE(plx->IsBorrowed());
    EXPECT_EQ(Config(0x10), 0x2FF00000u);
    EXPECT_EQ(Config(0x20), 0x2FE02000u);
    EXPECT_EQ(Config(0xF60) & kBit26, 0u);
    EXPECT_EQ(plx->GetChipRevision(), revision);
    EXPECT_EQ(plx->IsControllerInConfigSpace(), configPath);
    EXPECT_EQ(model.Register(0x760), configPath ? 0x00010003u : 0x00000003u);
    EXPECT_EQ(plx->ReadROMDword(0x20), 0xA5000020u);
    plx->WriteROMDword(0x24, 0x600DF00D);
    EXPECT_EQ(plx->ReadROMDword(0x24), 0x600DF00Du);
    plx->MapRegisters(); // already borrowed: nothing more
    EXPECT_EQ(Config(0x20), 0x2FE02000u);

    plx->UnmapRegisters();
    EXPECT_FALSE(plx->IsBorrowed());
    EXPECT_FALSE(plx->IsControllerInConfigSpace());
    EXPECT_EQ(Config(0x10), 0u);
    EXPECT_EQ(Config(0x20), kMemoryWindow);
    EXPECT_EQ(Config(0xF60) & kBit26, kBit26);
    EXPECT_EQ(model.Register(0x760), 0x00000003u);
    EXPECT_EQ(logged.str(), "BAR0 is disabled and configurable.\n"
                            "BAR0 is disabled and configurable.\n"
                            "BAR0 is not configured and borrowable, borrowing the resource for "
                            "BAR0.\n"
                            "Assigned 0x2FF00000 with size 0x00100000 to BAR0.\n");

    // The controller is reached through BAR0 again once the firmware assigns
    // one; the closed configuration-space path is not used.
    Function().ConfigWrite(0x10, 4, kAssignedBar);
    EXPECT_EQ(plx->ReadROMDword(0x24), 0x600DF00Du);
}

INSTANTIATE_TEST_SUITE_P(Revisions, PLX8747BorrowTest, ::testing::Values(0xC9, 0xCA));

TEST_F(PLX8747SwitchTest, BorrowingIsRefusedWhenTheWindowCannotGiveTheTopMebibyte)
{
    struct Case
    {
        const char* what;
        uint32_t window;
        std::optional<uint32_t> downstreamWindow;
        std::optional<uint32_t> downstreamBar;
        bool borrowable;
        std::string log;
        uint64_t downstreamBarSize = 0x10000;
    };
    const std::string inUse = "BAR0 is disabled and cannot be borrowed: a device behind the "
                              "switch uses 0x2FF00000.\n";
    const Case cases[] = {
        {"limit below base", 0x1FF02000, std::nullopt, std::nullopt, false, ""},
        {"a port forwards the top", kMemoryWindow, 0x2FF02FF0, std::nullopt, false, inUse},
        {"a device's BAR lies in the top", kMemoryWindow, std::nullopt, 0x2FF80000, false, inUse},
        {"a port below the top", kMemoryWindow, 0x2FE02000, 0x2FE00000, true,
         "BAR0 is disabled and configurable.\n"},
        // The BAR starts 3 MiB below the top mebibyte and runs through it.
        {"a device's BAR reaches into the top", kMemoryWindow, std::nullopt, 0x2FC00000, false,
         inUse, 0x400000},
        {"a device's BAR ends just below the top", kMemoryWindow, std::nullopt, 0x2FC00000, true,
         "BAR0 is disabled and configurable.\n", 0x200000},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        CSimHardwareScope own(MakeMachineWithMcfg());
        CSimPciFunction& function = own.Machine().AddFunction(0, 1, 0);
        function.SetIds(kPlxVendorId, 0x8747, 0x060400, 0xCA);
        function.MakeBridge(0, 1, 2);
        function.Store(0x04, 2, 0x6);
        function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, 0});
        own.Machine().AddDevice(std::make_shared<CSimPlxSwitch>("plx", function, SimPlxConfig{}));
        function.Store(0x20, 4, c.window);
        if (c.downstreamWindow)
        {
            CSimPciFunction& port = own.Machine().AddFunction(1, 0, 0);
            port.SetIds(kPlxVendorId, 0x8747, 0x060400, 0xCA);
            port.MakeBridge(1, 2, 2);
            port.Store(0x20, 4, *c.downstreamWindow);
        }
        if (c.downstreamBar)
        {
            AddTestFunction(own.Machine(), 1, 1, 0, kKorvanVendorId, 0x0610, *c.downstreamBar,
                            c.downstreamBarSize);
        }
        logged.str("");
        CRefPtr<CDeviceBridgePLX8747Impl> plx(new CDeviceBridgePLX8747Impl(Open(0, 1)));
        EXPECT_EQ(plx->IsBar0Assigned(), c.borrowable);
        EXPECT_EQ(logged.str(), c.log);
        EXPECT_EQ(function.Stored(0x10, 4), 0u);
        EXPECT_EQ(function.Stored(0xF60, 4) & kBit26, kBit26);
        if (!c.borrowable)
        {
            EXPECT_EQ(ErrorOf([&] { plx->MapRegisters(); }),
                      "BAR0 of S:00,B:00,D:01,F:00 is not assigned.");
            EXPECT_EQ(function.Stored(0x20, 4), c.window);
        }
    }
}

TEST_F(PLX8747SwitchTest, AssignedBar0IsUsedAsItIs)
{
    CSimPlxSwitch& model = AddSwitch(kAssignedBar);
    CRefPtr<IDevice> plx = IDevice::Create(Open(0, 1), kDeviceKindPLX8747);
    EXPECT_TRUE(plx->IsBar0Assigned());
    plx->MapRegisters();
    EXPECT_EQ(Config(0x10), kAssignedBar);
    EXPECT_EQ(Config(0x20), kMemoryWindow);
    EXPECT_EQ(Config(0xF60) & kBit26, kBit26);
    EXPECT_EQ(plx->ReadROMDword(8), 0xA5000008u);
    EXPECT_EQ(model.Register(0x760) & kBit16, 0u);
    EXPECT_EQ(logged.str(), "");
    EXPECT_EQ(plx->GetROMType(false), 3u);
    EXPECT_EQ(plx->GetROMType(true), 3u);
    EXPECT_FALSE(plx->IsROMTypeZero(true));
    EXPECT_TRUE(plx->IsROMAccessEnabled());
    EXPECT_FALSE(plx->IsDebugPortEnabled());
}
} // namespace
