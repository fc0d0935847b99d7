// One PCI function through the driver: which path serves each configuration
// access, the register window at BAR0, and the function's description.

#include "hw/IAcpiTableAccessor.h"
#include "hw/IPCIDeviceAccessor.h"
#include "hw/IRomviseDriver.h"
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
constexpr uint32_t kBar = 0xF0000000;

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

    std::vector<uint32_t> written;

private:
    uint32_t m_address = 0;
};

class PCIDeviceAccessorTest : public ::testing::Test
{
protected:
    PCIDeviceAccessorTest()
        : function(AddTestFunction(*machine, 1, 2, 3, 0x10DE, 0x2204, kBar, 0x1000000))
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
    AddTestFunction(*bare, 0, 1, 0, 0x10DE, 1, kBar, 0x1000);
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
    EXPECT_EQ(function.Stored(0x10, 4), kBar) << "the BAR is only read";

    // The window is 8 MiB of the 16 MiB BAR; nothing past it is reached.
    EXPECT_EQ(ErrorOf([&] { pci->Read32(0x7FFFFE); }),
              "Register offset 0x007FFFFE lies outside the register window of S:00,B:01,D:02,F:03 "
              "(size 0x00800000).");

    // Mapped again on every call: the vendor bits are cleared each time.
    function.Store(0x64, 4, 0x1);
    pci->MapRegisters();
    EXPECT_EQ(function.Stored(0x64, 4), 0u);
}

TEST_F(PCIDeviceAccessorTest, WindowIsEightMiBOfAnyMemoryBarBelow4GiB)
{
    struct Case
    {
        const char* what;
        SimBar bar;
        const char* error;
    };
    const Case cases[] = {
        {"small BAR", SimBar{0x20000, ESimBarKind::Memory32, false, kBar}, "(no error)"},
        {"64-bit BAR below 4 GiB", SimBar{0x20000, ESimBarKind::Memory64, true, kBar},
         "(no error)"},
        {"64-bit BAR above 4 GiB", SimBar{0x20000, ESimBarKind::Memory64, true, 0x2F0000000ull},
         "BAR0 of S:00,B:01,D:02,F:03 lies above 4 GB (0x00000002F0000000)."},
        {"I/O BAR", SimBar{0x100, ESimBarKind::Io, false, 0xE000},
         "BAR0 of S:00,B:01,D:02,F:03 is an I/O BAR."},
        {"unassigned BAR", SimBar{0x20000, ESimBarKind::Memory32, false, 0},
         "BAR0 of S:00,B:01,D:02,F:03 is not assigned."},
    };
    for (const Case& c : cases)
    {
        function.SetBar(0, c.bar);
        CRefPtr<IPCIDeviceAccessor> pci = Open();
        registers->SetRegister32(0x1FFFC, 0xCAFEF00D);
        EXPECT_EQ(ErrorOf([&] { pci->MapRegisters(); }), c.error) << c.what;
        if (c.bar.address == kBar)
        {
            EXPECT_EQ(pci->Read32(0x1FFFC), 0xCAFEF00Du) << c.what;
            EXPECT_EQ(ErrorOf([&] { pci->Read32(0x7FFFFC); }), "(no error)") << c.what;
            EXPECT_EQ(ErrorOf([&] { pci->Read32(0x800000); }),
                      "Register offset 0x00800000 lies outside the register window of "
                      "S:00,B:01,D:02,F:03 (size 0x00800000).")
                << c.what;
        }
    }
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
    EXPECT_EQ(function.Stored(0x10, 4), kBar);
}

TEST_F(PCIDeviceAccessorTest, MapPhysicalRangeKeepsAMappedWindow)
{
    function.Store(0x04, 2, 0x2);
    CRefPtr<IPCIDeviceAccessor> pci = Open();
    pci->MapPhysicalRange(kBar + 0x1000, 0x100);
    registers->SetRegister32(0x1010, 7);
    EXPECT_EQ(pci->Read32(0x10), 7u);
    pci->MapPhysicalRange(kBar, 0x10000);
    EXPECT_EQ(pci->Read32(0x10), 7u);
    EXPECT_THROW(pci->Read32(0x100), std::runtime_error);
    pci->UnmapRegisters();
    pci->MapPhysicalRange(kBar, 0x10000);
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
