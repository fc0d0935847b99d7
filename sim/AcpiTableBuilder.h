#pragma once
// Lays ACPI tables into a simulated machine's RAM as firmware would: the root
// pointer at any byte address in 0xE0000-0xFFFFF or in the extended BIOS data
// area, an RSDT (revision 0) or XSDT (revision 2 and up), an MCFG table, and
// any other tables. Checksums come out right; tests damage them afterwards
// through CSimMachine::WriteRam at the addresses the layout reports.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CSimMachine;

struct McfgAllocation
{
    uint64_t base = 0;
    uint16_t segment = 0;
    uint8_t startBus = 0;
    uint8_t endBus = 0xFF;
};

struct AcpiLayout
{
    uint32_t rsdp = 0;
    uint32_t root = 0;
    // Address of each further table, in the order added (MCFG first when
    // present).
    std::vector<uint32_t> tables;
};

class CAcpiTableBuilder
{
public:
    // A system description table: the 36-byte header, then the body, with
    // the length and the checksum filled in.
    static std::vector<uint8_t> MakeTable(const std::string& signature,
                                          const std::vector<uint8_t>& body, uint8_t revision = 1);
    // Sets the byte at `at` so that the whole table sums to zero.
    static void FixChecksum(std::vector<uint8_t>& table, size_t at);

    CAcpiTableBuilder& SetRevision(uint8_t revision);
    // Where the root pointer goes.
    CAcpiTableBuilder& SetRsdpAddress(uint32_t address);
    // Puts the root pointer into an extended BIOS data area at segment:0,
    // whose segment the word at 0x40E names, marked "EBDA" after its size
    // byte; the offset is the root pointer's place inside it.
    CAcpiTableBuilder& UseEbda(uint16_t segment, uint32_t offset);
    // Where the root table goes; further tables follow it.
    CAcpiTableBuilder& SetTableAddress(uint32_t address);
    CAcpiTableBuilder& AddMcfg(const std::vector<McfgAllocation>& entries);
    CAcpiTableBuilder& AddTable(const std::string& signature, const std::vector<uint8_t>& body);
    // Also route the machine's ECAM window to MCFG entry 0 (on by default).
    CAcpiTableBuilder& RouteEcam(bool route);

    AcpiLayout Build(CSimMachine& machine) const;

private:
    uint8_t m_revision = 2;
    uint32_t m_rsdpAddress = 0xF0000;
    std::optional<uint16_t> m_ebdaSegment;
    uint32_t m_tableAddress = 0xF1000;
    std::optional<std::vector<McfgAllocation>> m_mcfg;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> m_tables;
    bool m_routeEcam = true;
};
