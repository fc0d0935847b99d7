// Finding the root pointer and the MCFG table in a simulated machine's memory,
// and refusing damaged tables.

#include "hw/IAcpiTableAccessor.h"
#include "hw/IRomviseDriver.h"
#include "sim/AcpiTableBuilder.h"
#include "sim/SimDriverTransport.h"
#include "sim/SimMachine.h"
#include "testkit/ErrorOf.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using testkit::ErrorOf;

namespace
{
const McfgAllocation kEntry{0xE0000000, 0, 0x00, 0x3F};

class AcpiTableAccessorTest : public ::testing::Test
{
protected:
    CRefPtr<IAcpiTableAccessor> Open(const std::string& tableDirectory = "")
    {
        m_driver = CreateRomviseDriver(CRefPtr<IDriverTransport>(new CSimDriverTransport(machine)));
        return CreateAcpiTableAccessor(m_driver, tableDirectory);
    }

    void Poke(uint64_t address, std::vector<uint8_t> bytes) { machine->WriteRam(address, bytes); }

    std::shared_ptr<CSimMachine> machine = std::make_shared<CSimMachine>();

private:
    CRefPtr<IRomviseDriver> m_driver;
};

TEST_F(AcpiTableAccessorTest, FindsTheRootPointerWhereverFirmwarePutsIt)
{
    struct Case
    {
        const char* where;
        CAcpiTableBuilder builder;
    };
    Case cases[] = {
        {"unaligned, revision 0 with RSDT",
         CAcpiTableBuilder().SetRevision(0).SetRsdpAddress(0xE0003)},
        {"revision 2 with XSDT", CAcpiTableBuilder().SetRevision(2).SetRsdpAddress(0xF5A31)},
        {"last place that holds 36 bytes", CAcpiTableBuilder().SetRsdpAddress(0xFFFDC)},
        {"EBDA at a segment above 0xFF", CAcpiTableBuilder().UseEbda(0x9FC0, 0x21)},
        {"tables above 1 MiB", CAcpiTableBuilder().SetTableAddress(0x7FF0000)},
    };
    for (Case& c : cases)
    {
        machine = std::make_shared<CSimMachine>();
        machine->AddRam(0x7FF0000, 0x10000);
        c.builder.AddMcfg({kEntry, McfgAllocation{0xD0000000, 1, 0, 0xFF}}).Build(*machine);
        CRefPtr<IAcpiTableAccessor> acpi = Open();
        ASSERT_TRUE(acpi->IsMcfgPresent()) << c.where;
        uint64_t base = 0;
        uint16_t segment = 0xFFFF;
        uint8_t start = 0xFF;
        uint8_t end = 0;
        ASSERT_TRUE(acpi->GetMcfgEntry(0, &base, &segment, &start, &end)) << c.where;
        EXPECT_EQ(base, 0xE0000000u);
        EXPECT_EQ(segment, 0);
        EXPECT_EQ(start, 0);
        EXPECT_EQ(end, 0x3F);
        ASSERT_TRUE(acpi->GetMcfgEntry(1, &base, nullptr, nullptr, nullptr)) << c.where;
        EXPECT_EQ(base, 0xD0000000u);
        EXPECT_FALSE(acpi->GetMcfgEntry(2, nullptr, nullptr, nullptr, nullptr)) << c.where;
    }
}

TEST_F(AcpiTableAccessorTest, MachineWithoutMcfg)
{
    CAcpiTableBuilder().AddTable("APIC", std::vector<uint8_t>(8, 0)).Build(*machine);
    CRefPtr<IAcpiTableAccessor> acpi = Open();
    EXPECT_FALSE(acpi->IsMcfgPresent());
    EXPECT_FALSE(acpi->GetMcfgEntry(0, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(acpi->MapConfigSpace(0, 0, 0), 0u);
    EXPECT_EQ(acpi->GetConfigOffset(1, 2, 3, 0x10), 0x113010u);
}

TEST_F(AcpiTableAccessorTest, DamagedStructuresAreNotUsed)
{
    struct Case
    {
        const char* what;
        std::function<void(CSimMachine&, const AcpiLayout&)> damage;
    };
    const Case cases[] = {
        {"root pointer checksum", [](CSimMachine& m, const AcpiLayout& l)
         { m.WriteRam(l.rsdp + 8, std::vector<uint8_t>{0x55}); }},
        {"root pointer extended checksum", [](CSimMachine& m, const AcpiLayout& l)
         { m.WriteRam(l.rsdp + 32, std::vector<uint8_t>{0x55}); }},
        {"XSDT checksum", [](CSimMachine& m, const AcpiLayout& l)
         { m.WriteRam(l.root + 9, std::vector<uint8_t>{0x55}); }},
        {"XSDT signature", [](CSimMachine& m, const AcpiLayout& l)
         { m.WriteRam(l.root, std::vector<uint8_t>{'R'}); }},
        {"MCFG checksum", [](CSimMachine& m, const AcpiLayout& l)
         { m.WriteRam(l.tables[0] + 50, std::vector<uint8_t>{1}); }},
        {"MCFG length beyond any table",
         [](CSimMachine& m, const AcpiLayout& l) {
             m.WriteRam(l.tables[0] + 4, std::vector<uint8_t>{0, 0, 0, 0x80});
         }},
        {"MCFG shorter than its header",
         [](CSimMachine& m, const AcpiLayout& l) {
             m.WriteRam(l.tables[0] + 4, std::vector<uint8_t>{20, 0, 0, 0});
         }},
    };
    for (const Case& c : cases)
    {
        machine = std::make_shared<CSimMachine>();
        const AcpiLayout layout = CAcpiTableBuilder().AddMcfg({kEntry}).Build(*machine);
        c.damage(*machine, layout);
        EXPECT_FALSE(Open()->IsMcfgPresent()) << c.what;
    }
}

TEST_F(AcpiTableAccessorTest, StructuresRunningPastOneMebibyteAreNotRead)
{
    // A signature in the last bytes below 1 MiB, whose 36 bytes cannot fit,
    // and a root table at the top of low memory that runs past it into
    // nothing: neither is read past its end nor taken.
    const AcpiLayout layout = CAcpiTableBuilder().SetRevision(0).AddMcfg({kEntry}).Build(*machine);
    std::vector<uint8_t> root = machine->ReadRam(layout.root, 40);
    root.resize(0x100000 - 0xFFFE0);
    Poke(0xFFFE0, root);
    std::vector<uint8_t> rsdp = machine->ReadRam(layout.rsdp, 20);
    rsdp[16] = 0xE0;
    rsdp[17] = 0xFF;
    rsdp[18] = 0x0F;
    rsdp[8] = 0;
    uint8_t sum = 0;
    for (uint8_t b : rsdp)
    {
        sum = static_cast<uint8_t>(sum + b);
    }
    rsdp[8] = static_cast<uint8_t>(-sum);
    Poke(layout.rsdp, rsdp);
    Poke(0xFFFF8, {'R', 'S', 'D', ' ', 'P', 'T', 'R', ' '});
    CRefPtr<IAcpiTableAccessor> acpi = Open();
    EXPECT_FALSE(acpi->IsMcfgPresent());
}

TEST_F(AcpiTableAccessorTest, EbdaIsSearchedOnlyWhenMarked)
{
    CAcpiTableBuilder().UseEbda(0x9FC0, 0x40).AddMcfg({kEntry}).Build(*machine);
    Poke(0x9FC00 + 1, {'X'});
    EXPECT_FALSE(Open()->IsMcfgPresent());
}

TEST_F(AcpiTableAccessorTest, ConfigurationPagesComeFromEntryZeroWithinItsBusRange)
{
    CAcpiTableBuilder().AddMcfg({kEntry}).Build(*machine);
    CRefPtr<IAcpiTableAccessor> acpi = Open();
    const uint64_t page = acpi->MapConfigSpace(0x3F, 31, 7);
    EXPECT_EQ(page, CSimDriverTransport::kLinearOffset + 0xE0000000 + 0x3FFF000);
    acpi->UnmapConfigSpace(page);
    acpi->UnmapConfigSpace(0);
    EXPECT_EQ(ErrorOf([&] { acpi->MapConfigSpace(0x40, 0, 0); }),
              "PCI bus 0x40 is outside the PCI-E MMConfig bus range 0x00-0x3F.");
}

TEST_F(AcpiTableAccessorTest, EcamAbove4GiBIsRefused)
{
    CAcpiTableBuilder()
        .AddMcfg({McfgAllocation{0x1E0000000ull, 0, 0, 0xFF}})
        .RouteEcam(false)
        .Build(*machine);
    CRefPtr<IAcpiTableAccessor> acpi = Open();
    EXPECT_EQ(ErrorOf([&] { acpi->MapConfigSpace(0, 0, 0); }),
              "PCI-E MMConfig address space lies above 4 GB.");
}

TEST_F(AcpiTableAccessorTest, TableDirectoryServesWhenMemoryHoldsNoRootPointer)
{
    const testkit::CScratchDirectory directory{"romvise-acpi"};
    std::vector<uint8_t> body(8 + 16, 0);
    body[8 + 3] = 0xE0; // base 0xE0000000
    body[8 + 11] = 0xFF;
    const std::vector<uint8_t> mcfg = CAcpiTableBuilder::MakeTable("MCFG", body);
    directory.WriteBytes("MCFG", mcfg);

    CRefPtr<IAcpiTableAccessor> acpi = Open(directory.Path().string());
    EXPECT_TRUE(acpi->IsMcfgPresent());
    uint64_t base = 0;
    EXPECT_TRUE(acpi->GetMcfgEntry(0, &base, nullptr, nullptr, nullptr));
    EXPECT_EQ(base, 0xE0000000u);
    std::ostringstream dump;
    acpi->DumpTables(dump);
    EXPECT_EQ(dump.str(), "RSDP: NULL\n");
}

TEST_F(AcpiTableAccessorTest, DumpShowsTheCachedHeaders)
{
    CAcpiTableBuilder().SetRevision(0).AddMcfg({kEntry}).Build(*machine);
    CRefPtr<IAcpiTableAccessor> acpi = Open();
    std::ostringstream dump;
    acpi->DumpTables(dump);
    const std::string text = dump.str();
    EXPECT_EQ(text.substr(0, text.find("  rsdt_addr")),
              "RSDP:\n  checksum:      " + text.substr(23, 2) +
                  "\n  oem_id:        ROMVSM\n  revision:      00\n");
    EXPECT_NE(text.find("  rsdt_addr:     000f1000\n"), std::string::npos);
    EXPECT_NE(text.find("RSDT:\n  length:        00000028\n"), std::string::npos);
    EXPECT_NE(text.find("MCFG:\n  length:        0000003c\n  revision:      01\n"),
              std::string::npos);
    EXPECT_NE(text.find("  oem_table_id:  SIMTABLE\n"), std::string::npos);
}
} // namespace
