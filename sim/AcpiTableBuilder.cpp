#include "sim/AcpiTableBuilder.h"

#include "sim/SimMachine.h"

#include <numeric>
#include <stdexcept>

namespace
{
void Put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; ++i)
    {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void PutText(std::vector<uint8_t>& bytes, size_t at, const std::string& text, size_t width)
{
    for (size_t i = 0; i < width; ++i)
    {
        bytes[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
    }
}

uint8_t Sum(const std::vector<uint8_t>& bytes, size_t length)
{
    return std::accumulate(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(length),
                           uint8_t{0},
                           [](uint8_t sum, uint8_t b) { return static_cast<uint8_t>(sum + b); });
}
} // namespace

std::vector<uint8_t> CAcpiTableBuilder::MakeTable(const std::string& signature,
                                                  const std::vector<uint8_t>& body,
                                                  uint8_t revision)
{
    std::vector<uint8_t> table(36, 0);
    PutText(table, 0, signature, 4);
    Put(table, 4, 36 + body.size(), 4);
    table[8] = revision;
    PutText(table, 10, "ROMVSM", 6);
    PutText(table, 16, "SIMTABLE", 8);
    Put(table, 24, 1, 4);
    PutText(table, 28, "RVSM", 4);
    Put(table, 32, 1, 4);
    table.insert(table.end(), body.begin(), body.end());
    FixChecksum(table, 9);
    return table;
}

void CAcpiTableBuilder::FixChecksum(std::vector<uint8_t>& table, size_t at)
{
    table[at] = 0;
    table[at] = static_cast<uint8_t>(-Sum(table, table.size()));
}

CAcpiTableBuilder& CAcpiTableBuilder::SetRevision(uint8_t revision)
{
    m_revision = revision;
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::SetRsdpAddress(uint32_t address)
{
    m_rsdpAddress = address;
    m_ebdaSegment.reset();
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::UseEbda(uint16_t segment, uint32_t offset)
{
    m_ebdaSegment = segment;
    m_rsdpAddress = static_cast<uint32_t>(segment) * 16 + offset;
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::SetTableAddress(uint32_t address)
{
    m_tableAddress = address;
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::AddMcfg(const std::vector<McfgAllocation>& entries)
{
    m_mcfg = entries;
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::AddTable(const std::string& signature,
                                               const std::vector<uint8_t>& body)
{
    m_tables.emplace_back(signature, body);
    return *this;
}

CAcpiTableBuilder& CAcpiTableBuilder::RouteEcam(bool route)
{
    m_routeEcam = route;
    return *this;
}

AcpiLayout CAcpiTableBuilder::Build(CSimMachine& machine) const
{
    std::vector<std::vector<uint8_t>> tables;
    if (m_mcfg)
    {
        std::vector<uint8_t> body(8 + 16 * m_mcfg->size(), 0);
        for (size_t i = 0; i < m_mcfg->size(); ++i)
        {
            const McfgAllocation& entry = (*m_mcfg)[i];
            const size_t at = 8 + 16 * i;
            Put(body, at, entry.base, 8);
            Put(body, at + 8, entry.segment, 2);
            body[at + 10] = entry.startBus;
            body[at + 11] = entry.endBus;
        }
        tables.push_back(MakeTable("MCFG", body));
    }
    for (const auto& [signature, body] : m_tables)
    {
        tables.push_back(MakeTable(signature, body));
    }

    const bool extended = m_revision >= 1;
    const size_t entrySize = extended ? 8 : 4;
    const size_t rootLength = 36 + entrySize * tables.size();
    AcpiLayout layout;
    layout.root = m_tableAddress;
    uint64_t next = (uint64_t{m_tableAddress} + rootLength + 15) & ~uint64_t{15};
    std::vector<uint8_t> rootBody(entrySize * tables.size(), 0);
    for (size_t i = 0; i < tables.size(); ++i)
    {
        layout.tables.push_back(static_cast<uint32_t>(next));
        Put(rootBody, entrySize * i, next, entrySize);
        machine.WriteRam(next, tables[i]);
        next = (next + tables[i].size() + 15) & ~uint64_t{15};
    }
    machine.WriteRam(m_tableAddress, MakeTable(extended ? "XSDT" : "RSDT", rootBody));

    std::vector<uint8_t> rsdp(36, 0);
    PutText(rsdp, 0, "RSD PTR ", 8);
    PutText(rsdp, 9, "ROMVSM", 6);
    rsdp[15] = m_revision;
    Put(rsdp, 16, extended ? 0 : m_tableAddress, 4);
    Put(rsdp, 20, 36, 4);
    Put(rsdp, 24, extended ? m_tableAddress : 0, 8);
    rsdp[8] = static_cast<uint8_t>(-Sum(rsdp, 20));
    rsdp[32] = static_cast<uint8_t>(-Sum(rsdp, 36));
    if (!extended)
    {
        rsdp.resize(20);
    }
    machine.WriteRam(m_rsdpAddress, rsdp);
    layout.rsdp = m_rsdpAddress;

    if (m_ebdaSegment)
    {
        const std::vector<uint8_t> pointer{static_cast<uint8_t>(*m_ebdaSegment),
                                           static_cast<uint8_t>(*m_ebdaSegment >> 8)};
        machine.WriteRam(0x40E, pointer);
        const std::vector<uint8_t> mark{1, 'E', 'B', 'D', 'A'};
        machine.WriteRam(uint64_t{*m_ebdaSegment} * 16, mark);
    }
    if (m_routeEcam && m_mcfg && !m_mcfg->empty())
    {
        const McfgAllocation& first = m_mcfg->front();
        machine.SetEcamWindow(first.base, first.startBus, first.endBus);
    }
    return layout;
}
