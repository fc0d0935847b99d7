// One PCI function through the driver: which path serves each configuration
// access, the register window at BAR0, and the function's description.

#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
#include "sim/AcpiTableBuilder.h"
#include "sim/RegisterFileModel.h"
#include "sim/SimDriverTransport.h"
#include "testkit/ErrorOf.h"
#include "testkit/machine/SimHardware.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <utility>

using testkit::ErrorOf;

namespace
{
constexpr uint32_t kAccessorBar = 0xF0000000;

// A simulated machine that notes the configuration register of every
// mechanism #1 write.
class CConfigWriteRecorder : public CSimDriverTransport
{
public:
    using CSimDriverTransport::CSimDriverTransport;

    uint32_t WritePort32(uint32_t port, uint32_t value) override
    {
        if (port == 0xCF8)
        {
            m_address = value;
        }
        else if (port == 0xCFC)
        {
            written.push_back(m_address & 0xFC);
        }
        return CSimDriverTransport::WritePort32(port, value);
    }

    uint32_t QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device, uint8_t function,
                          uint32_t bar, uint64_t& size) override
    {
        if (!knowsBars)
        {
            size = 0;
            return ENOSYS;
        }
        return CSimDriverTransport::QueryBarSize(segment, bus, device, function, bar, size);
    }

    bool knowsBars = true;

    std::vector<uint32_t> written;

private:
    uint32_t m_address = 0;
};

class PCIDeviceAccessorTest : public ::testing::Test
{
protected:
    PCIDeviceAccessorTest()
        : function(AddTestFunction(*machine, 1, 2, 3, 0x10DE, 0x2204, kAccessorBar, 0x1000000))
    {
        machine->AddFunction(0, 1, 0).MakeBridge(0, 1, 1);
        auto model = std::make_shared<CSimRegisterFile>("gpu", function);
        registers = model.get();
        machine->AddDevice(model);
    }

    CRefPtr<IPCIDeviceAccessor> Open(uint8_t bus = 1, uint8_t device = 2, uint8_t number = 3)
    {
        if (!driver)
        {
            driver =
                CreateRomviseDriver(CRefPtr<IDriverTransport>(new CSimDriverTransport(machine)));
            acpi = CreateAcpiTableAccessor(driver, "");
        }
        return CreatePCIDeviceAccessor(driver, 0, bus, device, number, -1, 0, 0, acpi);
    }

    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    CSimPciFunction& function;
    CSimRegisterFile* registers = nullptr;
    CRefPtr<IRomviseDriver> driver;
    CRefPtr<IAcpiTableAccessor> acpi;
};

TEST_F(PCIDeviceAccessorTest, EachConfigurationAccessTakesItsPath)
{
    for (uint32_t offset = 0x40; offset < 0x108; ++offset)
    {
        function.Store(offset, 1, offset & 0xFF);
    }
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    struct Case
    {
        const char* access;
        std::function<uint32_t()> run;
        uint32_t value;
        bool throughPorts;
    };
    const Case cases[] = {
        {"ReadConfig32(0xFF)", [&] { return pci->ReadConfig32(0xFF); }, 0xFFFEFDFC, true},
        {"ReadConfig32(0x40)", [&] { return pci->ReadConfig32(0x40); }, 0x43424140, true},
        {"ReadConfig32(0x100)", [&] { return pci->ReadConfig32(0x100); }, 0x03020100, false},
        {"ReadExtConfig32(0x42)", [&] { return pci->ReadExtConfig32(0x42); }, 0x43424140, false},
        {"ReadExtConfig16(0x41)", [&] { return pci->ReadExtConfig16(0x41); }, 0x4140, false},
        {"ReadExtConfig8(0x41)", [&] { return pci->ReadExtConfig8(0x41); }, 0x41, false},
    };
    for (const Case& c : cases)
    {
        const SimCounters before = machine->Counters();
        EXPECT_EQ(c.run(), c.value) << c.access;
        const SimCounters& after = machine->Counters();
        EXPECT_EQ(after.portReads - before.portReads, c.throughPorts ? 1u : 0u) << c.access;
        EXPECT_EQ(after.mapRequests - before.mapRequests, c.throughPorts ? 0u : 1u) << c.access;
        EXPECT_EQ(after.unmapRequests - before.unmapRequests, c.throughPorts ? 0u : 1u) << c.access;
    }
    EXPECT_EQ(machine->Counters().portWrites, 2u) << "one address write per mechanism #1 access";
}

TEST_F(PCIDeviceAccessorTest, ConfigurationWritesLandThroughBothPaths)
{
    function.SetWritableMask(0x48, 4, 0xFFFFFFFF);
    function.SetWritableMask(0x104, 4, 0xFFFFFFFF);
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    pci->WriteConfig32(0x48, 0x11223344);
    pci->WriteExtConfig8(0x4B, 0xAA);
    pci->WriteExtConfig16(0x49, 0xBBCC);
    pci->WriteConfig32(0x104, 0x55667788);
    EXPECT_EQ(function.Stored(0x48, 4), 0xAA22BBCCu)
        << "16-bit access at an odd offset lands on the even one";
    EXPECT_EQ(function.Stored(0x104, 4), 0x55667788u);
}

TEST_F(PCIDeviceAccessorTest, ExtendedAccessFailures)
{
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    EXPECT_EQ(pci->ReadExtConfig32(0xFFF), 0u);
    EXPECT_EQ(ErrorOf([&] { pci->ReadExtConfig16(0x1000); }),
              "Configuration offset 0x1000 of S:00,B:01,D:02,F:03 is outside configuration space.");

    auto bare = std::make_shared<CSimMachine>();
    AddTestFunction(*bare, 0, 1, 0, 0x10DE, 1, kAccessorBar, 0x1000);
    machine = bare;
    driver = nullptr;
    CRefPtr<IPCIDeviceAccessor> noMcfg = Open(0, 1, 0);
    EXPECT_EQ(noMcfg->ReadConfig32(0), 0x000110DEu);
    EXPECT_EQ(ErrorOf([&] { noMcfg->ReadExtConfig8(0x41); }),
              "ACPI Enhanced PCIe Mechanism NOT available.");
}

TEST_F(PCIDeviceAccessorTest, FirstRegisterAccessMapsBar0AndEnablesDecoding)
{
    registers->SetRegister32(0x88000, 0x12345678);
    function.Store(0x06, 2, 0x8000); // a latched error: write-one-to-clear
    function.Store(0x64, 4, 0x3);
    function.SetWritableMask(0x64, 4, 0xFFFFFFFF);
    CRefPtr<IPCIDeviceAccessor> pci = Open();

    EXPECT_EQ(pci->Read32(0x88000), 0x12345678u);
    EXPECT_EQ(pci->Read16(0x88002), 0x1234u);
    pci->Write8(0x10, 0x5A);
    EXPECT_EQ(registers->Register32(0x10), 0x5Au);
    EXPECT_EQ(function.Stored(0x04, 2) & 0x2, 0x2u);
    EXPECT_EQ(function.Stored(0x06, 2), 0x8000u) << "status bits survive the command write";
    EXPECT_EQ(function.Stored(0x64, 4), 0u);
    EXPECT_EQ(function.Stored(0x10, 4), kAccessorBar) << "the BAR is only read";

    // The window is 8 MiB of the 16 MiB BAR; nothing past it is reached.
    EXPECT_EQ(ErrorOf([&] { pci->Read32(0x7FFFFE); }),
              "Register offset 0x007FFFFE lies outside the register window of S:00,B:01,D:02,F:03 "
              "(size 0x00800000).");

    // Mapped again on every call: the vendor bits are cleared each time.
    function.Store(0x64, 4, 0x1);
    pci->MapRegisters();
    EXPECT_EQ(function.Stored(0x64, 4), 0u);
}

TEST_F(PCIDeviceAccessorTest, WindowIsEightMiBOrTheBarWhicheverIsSmaller)
{
    struct Case
    {
        const char* what;
        SimBar bar;
        const char* error;
        uint32_t window;
    };
    const Case cases[] = {
        {"small BAR", SimBar{0x20000, ESimBarKind::Memory32, false, kAccessorBar}, "(no error)", 0x20000},
        {"64-bit BAR below 4 GiB", SimBar{0x20000, ESimBarKind::Memory64, true, kAccessorBar}, "(no error)",
         0x20000},
        {"BAR of 8 MiB", SimBar{0x800000, ESimBarKind::Memory32, false, kAccessorBar}, "(no error)",
         0x800000},
        {"BAR of 32 MiB", SimBar{0x2000000, ESimBarKind::Memory32, false, kAccessorBar}, "(no error)",
         0x800000},
        {"64-bit BAR above 4 GiB", SimBar{0x20000, ESimBarKind::Memory64, true, 0x2F0000000ull},
         "BAR0 of S:00,B:01,D:02,F:03 lies above 4 GB (0x00000002F0000000).", 0},
        {"I/O BAR", SimBar{0x100, ESimBarKind::Io, false, 0xE000},
         "BAR0 of S:00,B:01,D:02,F:03 is an I/O BAR.", 0},
        {"unassigned BAR", SimBar{0x20000, ESimBarKind::Memory32, false, 0},
         "BAR0 of S:00,B:01,D:02,F:03 is not assigned.", 0},
    };
    for (const Case& c : cases)
    {
        function.SetBar(0, c.bar);
        CRefPtr<IPCIDeviceAccessor> pci = Open();
        EXPECT_EQ(pci->GetBarSize(0), c.bar.address != 0 ? c.bar.size : 0) << c.what;
        registers->SetRegister32(0x1FFFC, 0xCAFEF00D);
        EXPECT_EQ(ErrorOf([&] { pci->MapRegisters(); }), c.error) << c.what;
        if (c.window != 0)
        {
            EXPECT_EQ(pci->Read32(0x1FFFC), 0xCAFEF00Du) << c.what;
            EXPECT_EQ(ErrorOf([&] { pci->Read32(c.window - 4); }), "(no error)") << c.what;
            EXPECT_EQ(ErrorOf([&] { pci->Read32(c.window); }),
                      "Register offset " + ToHexString(c.window, 8) +
                          " lies outside the register window of S:00,B:01,D:02,F:03 (size " +
                          ToHexString(c.window, 8) + ").")
                << c.what;
        }
    }
}

TEST_F(PCIDeviceAccessorTest, ARegisterWriteNeverLandsInTheNeighbouringDevice)
{
    // Two functions whose 128 KiB BARs lie back to back: the first one's
    // window ends where the second one's registers begin.
    function.SetBar(0, SimBar{0x20000, ESimBarKind::Memory32, false, kAccessorBar});
    CSimPciFunction& neighbour =
        AddTestFunction(*machine, 1, 4, 0, 0x10DE, 0x2206, kAccessorBar + 0x20000, 0x20000);
    neighbour.Store(0x04, 2, 0x2);
    auto model = std::make_shared<CSimRegisterFile>("neighbour", neighbour);
    CSimRegisterFile* next = model.get();
    machine->AddDevice(model);
    next->SetRegister32(0x10, 0x11111111);

    CRefPtr<IPCIDeviceAccessor> pci = Open();
    EXPECT_EQ(ErrorOf([&] { pci->Write32(0x20010, 0xDEADBEEF); }),
              "Register offset 0x00020010 lies outside the register window of "
              "S:00,B:01,D:02,F:03 (size 0x00020000).");
    EXPECT_EQ(ErrorOf([&] { pci->Read8(0x20000); }),
              "Register offset 0x00020000 lies outside the register window of "
              "S:00,B:01,D:02,F:03 (size 0x00020000).");
    EXPECT_EQ(next->Register32(0x10), 0x11111111u);
    pci->Write32(0x1FFFC, 0x22222222);
    EXPECT_EQ(registers->Register32(0x1FFFC), 0x22222222u);
}

TEST_F(PCIDeviceAccessorTest, ABarAtTheTopOfThe32BitSpaceMaps)
{
    function.SetBar(0, SimBar{0x100000, ESimBarKind::Memory32, false, 0xFFF00000});
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    EXPECT_EQ(ErrorOf([&] { pci->MapRegisters(); }), "(no error)");
    pci->Write32(0xFFFFC, 0x600DF00D);
    EXPECT_EQ(registers->Register32(0xFFFFC), 0x600DF00Du);
    EXPECT_EQ(pci->Read32(0xFFFFC), 0x600DF00Du);
    EXPECT_THROW(pci->Read32(0x100000), std::runtime_error);
}

TEST_F(PCIDeviceAccessorTest, WithAnMcfgOfNoEntriesExtendedAccessesAreErrors)
{
    auto empty = std::make_shared<CSimMachine>();
    CAcpiTableBuilder().AddMcfg({}).Build(*empty);
    CSimPciFunction& added = AddTestFunction(*empty, 0, 1, 0, 0x10DE, 1, kAccessorBar, 0x1000);
    added.SetWritableMask(0x104, 4, 0xFFFFFFFF);
    machine = empty;
    driver = nullptr;
    CRefPtr<IPCIDeviceAccessor> pci = Open(0, 1, 0);
    ASSERT_TRUE(acpi->IsMcfgPresent());
    EXPECT_EQ(pci->ReadConfig32(0), 0x000110DEu);
    const std::string error = "The ACPI MCFG table has no entries: PCI Express extended "
                              "configuration space cannot be reached.";
    EXPECT_EQ(ErrorOf([&] { pci->ReadExtConfig32(0x104); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->ReadExtConfig16(0x40); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->ReadExtConfig8(0x40); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->WriteExtConfig32(0x104, 1); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->WriteExtConfig16(0x104, 1); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->WriteExtConfig8(0x104, 1); }), error);
    EXPECT_EQ(ErrorOf([&] { pci->WriteConfig32(0x104, 1); }), error);
    EXPECT_EQ(added.Stored(0x104, 4), 0u);
}

TEST_F(PCIDeviceAccessorTest, ABarOfUnknownSizeIsNotMapped)
{
    // A transport that cannot tell BAR sizes: no window is guessed.
    auto* unknowing = new CConfigWriteRecorder(machine);
    unknowing->knowsBars = false;
    driver = CreateRomviseDriver(CRefPtr<IDriverTransport>(unknowing));
    acpi = CreateAcpiTableAccessor(driver, "");
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    EXPECT_EQ(pci->GetBarSize(0), 0u);
    EXPECT_EQ(ErrorOf([&] { pci->Read32(0); }),
              "Unable to map device address space: the size of BAR0 of S:00,B:01,D:02,F:03 is "
              "not known.");
}

TEST_F(PCIDeviceAccessorTest, MappingOnlyReadsTheBar)
{
    // The display driver may be using the device while it is mapped: its BAR
    // is never rewritten, nor its decoding switched off.
    auto* recorder = new CConfigWriteRecorder(machine);
    driver = CreateRomviseDriver(CRefPtr<IDriverTransport>(recorder));
    acpi = CreateAcpiTableAccessor(driver, "");
    function.Store(0x04, 2, 0x0006);
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    pci->MapRegisters();
    EXPECT_EQ(recorder->written, std::vector<uint32_t>{0x04}) << "the command word alone";
    EXPECT_EQ(function.Stored(0x04, 2), 0x0006u);
    EXPECT_EQ(function.Stored(0x10, 4), kAccessorBar);
}

TEST_F(PCIDeviceAccessorTest, MapPhysicalRangeKeepsAMappedWindow)
{
    function.Store(0x04, 2, 0x2);
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    pci->MapPhysicalRange(kAccessorBar + 0x1000, 0x100);
    registers->SetRegister32(0x1010, 7);
    EXPECT_EQ(pci->Read32(0x10), 7u);
    pci->MapPhysicalRange(kAccessorBar, 0x10000);
    EXPECT_EQ(pci->Read32(0x10), 7u);
    EXPECT_THROW(pci->Read32(0x100), std::runtime_error);
    pci->UnmapRegisters();
    pci->MapPhysicalRange(kAccessorBar, 0x10000);
    EXPECT_EQ(pci->Read32(0x1010), 7u);
}

TEST_F(PCIDeviceAccessorTest, DescribesTheFunction)
{
    machine->AddFunction(0x0A, 0, 1).SetIds(0x10DE, 1, 0, 0);
    CRefPtr<IPCIDeviceAccessor> pci = Open(0x0A, 0, 1);
    std::ostringstream shortForm;
    std::ostringstream longForm;
    pci->PrintLocation(shortForm, true);
    pci->PrintLocation(longForm, false);
    EXPECT_EQ(shortForm.str(), "00:0A:00.1");
    EXPECT_EQ(longForm.str(), "S:00,B:0A,D:00,F:01");
    EXPECT_TRUE(pci->IsNormalBoard());
    EXPECT_EQ(pci->GetSwitchPort(), -1);

    CRefPtr<IPCIDeviceAccessor> behindSwitch =
        CreatePCIDeviceAccessor(driver, 0, 3, 0, 0, 2, 2, 0, acpi);
    EXPECT_FALSE(behindSwitch->IsNormalBoard());
    EXPECT_EQ(behindSwitch->GetSwitchPortIndex(), 2);
    EXPECT_EQ(behindSwitch->GetParentBus(), 2);
}

TEST_F(PCIDeviceAccessorTest, Bar0AssignmentAndCapabilityWalk)
{
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    struct Case
    {
        uint32_t bar;
        bool assigned;
    };
    for (const Case& c :
         {Case{0, false}, Case{0xF0000000, true}, Case{0xFEFFFFF0, true}, Case{0xFF000000, false}})
    {
        function.Store(0x10, 4, c.bar);
        EXPECT_EQ(pci->IsBar0Assigned(), c.assigned) << std::hex << c.bar;
    }

    EXPECT_FALSE(pci->HasAGPCapability());
    function.AddCapability(0x01, {0, 0, 0, 0, 0, 0});
    EXPECT_FALSE(pci->HasAGPCapability());
    function.AddCapability(0x02, {0x30, 0});
    EXPECT_TRUE(pci->HasAGPCapability());

    // A function that is not there reads all ones: its list points at itself.
    CRefPtr<IPCIDeviceAccessor> absent = Open(9, 9, 0);
    EXPECT_FALSE(absent->HasAGPCapability());
}
} // namespace
