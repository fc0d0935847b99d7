#include "core/Log.h"
#include "core/Range.h"
#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "hw/IAcpiTableAccessor.h"
#include "hw/IRomviseDriver.h"

#include <array>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iterator>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace
{
using Table = std::vector<uint8_t>;

constexpr uint32_t kLowMemorySize = 0x100000;
constexpr uint32_t kScanStart = 0xE0000;
constexpr uint32_t kEbdaPointer = 0x40E;
constexpr uint32_t kEbdaScanLength = 0x400;
constexpr uint32_t kRsdpLength = 36;
constexpr uint32_t kRsdpV1ChecksumLength = 20;
constexpr uint32_t kHeaderLength = 36;
constexpr uint32_t kMcfgEntriesOffset = 44;
constexpr uint32_t kMcfgEntryLength = 16;
constexpr uint32_t kConfigPageLength = 0x1000;
// No table the program asks for comes near this; a larger length field is
// taken as damage rather than copied.
constexpr uint32_t kMaxTableLength = 0x100000;

struct McfgEntry
{
    uint64_t base;
    uint16_t segment;
    uint8_t startBus;
    uint8_t endBus;
};

uint32_t Field32(const Table& table, size_t offset)
{
    return static_cast<uint32_t>(table[offset]) | static_cast<uint32_t>(table[offset + 1]) << 8 |
           static_cast<uint32_t>(table[offset + 2]) << 16 |
           static_cast<uint32_t>(table[offset + 3]) << 24;
}

uint64_t Field64(const Table& table, size_t offset)
{
    return Field32(table, offset) | static_cast<uint64_t>(Field32(table, offset + 4)) << 32;
}

bool ChecksumIsZero(const uint8_t* bytes, size_t length)
{
    return std::accumulate(bytes, bytes + length, uint8_t{0},
                           [](uint8_t sum, uint8_t b)
                           { return static_cast<uint8_t>(sum + b); }) == 0;
}

std::string Signature(const Table& table)
{
    return std::string(table.begin(), table.begin() + 4);
}

// A system description table's header fields agree with its bytes.
bool IsSoundTable(const Table& table, const std::string& signature)
{
    return table.size() >= kHeaderLength && Signature(table) == signature &&
           Field32(table, 4) == table.size() && ChecksumIsZero(table.data(), table.size());
}

// A fixed-width text field, ending early at a NUL as "%.Ns" would.
std::string FixedText(const Table& table, size_t at, size_t width)
{
    std::string text;
    for (size_t i = 0; i < width && table[at + i] != 0; ++i)
    {
        text += static_cast<char>(table[at + i]);
    }
    return text;
}

std::string Printf(const char* format, auto... values)
{
    std::array<char, 96> buffer{};
    std::snprintf(buffer.data(), buffer.size(), format, values...);
    return buffer.data();
}

class CAcpiTableAccessorImpl : public CReferenceCountImpl, public IAcpiTableAccessor
{
public:
    ROMVISE_REFCOUNT_FORWARD

    CAcpiTableAccessorImpl(CRefPtr<IRomviseDriver> driver, std::string tableDirectory)
        : m_driver(std::move(driver)), m_tableDirectory(std::move(tableDirectory))
    {
        m_lowMemory = m_driver->MapPhysicalToLinear(0, kLowMemorySize);
        m_mcfgPresent = FindTable("MCFG") != nullptr;
    }

    ~CAcpiTableAccessorImpl() override
    {
        if (m_lowMemory == 0)
        {
            return;
        }
        try
        {
            m_driver->UnmapPhysicalToLinear(m_lowMemory, kLowMemorySize);
        }
        catch (const std::exception& error)
        {
            GetLog()->SetLevel(3);
            *GetLog() << error.what() << LogEndl;
        }
    }

    uint32_t GetConfigOffset(uint32_t bus, uint32_t device, uint32_t function,
                             uint32_t reg) override
    {
        return bus << 20 | device << 15 | function << 12 | reg;
    }

    uint32_t Read32(uint64_t base, uint32_t offset) override
    {
        return m_driver->ReadMemory32(base + offset);
    }
    uint16_t Read16(uint64_t base, uint32_t offset) override
    {
        return m_driver->ReadMemory16(base + offset);
    }
    uint8_t Read8(uint64_t base, uint32_t offset) override
    {
        return m_driver->ReadMemory8(base + offset);
    }
    void Write32(uint64_t base, uint32_t offset, uint32_t value) override
    {
        m_driver->WriteMemory32(base + offset, value);
    }
    void Write16(uint64_t base, uint32_t offset, uint16_t value) override
    {
        m_driver->WriteMemory16(base + offset, value);
    }
    void Write8(uint64_t base, uint32_t offset, uint8_t value) override
    {
        m_driver->WriteMemory8(base + offset, value);
    }

    bool GetMcfgEntry(uint32_t index, uint64_t* baseAddress, uint16_t* segment, uint8_t* startBus,
                      uint8_t* endBus) override
    {
        if (m_mcfgEntries.empty() && !LoadMcfgEntries())
        {
            return false;
        }
        if (index >= m_mcfgEntries.size())
        {
            return false;
        }
        const McfgEntry& entry = m_mcfgEntries[index];
        if (baseAddress)
        {
            *baseAddress = entry.base;
        }
        if (segment)
        {
            *segment = entry.segment;
        }
        if (startBus)
        {
            *startBus = entry.startBus;
        }
        if (endBus)
        {
            *endBus = entry.endBus;
        }
        return true;
    }

    bool IsMcfgPresent() override { return m_mcfgPresent; }
    bool IsMcfgLocked() override { return false; }
    uint32_t GetConfigBase(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0xFFFFFFFF; }
    void ReleaseConfigBase(uint32_t, uint32_t) override {}

    uint64_t MapConfigSpace(uint8_t bus, uint8_t device, uint8_t function) override
    {
        uint64_t base = 0;
        uint8_t startBus = 0;
        uint8_t endBus = 0;
        if (!GetMcfgEntry(0, &base, nullptr, &startBus, &endBus))
        {
            return 0;
        }
        if (bus < startBus || bus > endBus)
        {
            throw std::runtime_error("PCI bus " + ToHexString(bus, 2) +
                                     " is outside the PCI-E MMConfig bus range " +
                                     ToHexString(startBus, 2) + "-" + ToHexString(endBus, 2) + ".");
        }
        if (device > 31 || function > 7)
        {
            throw std::runtime_error("Invalid PCI device " + ToHexString(device, 2) + " function " +
                                     ToHexString(function, 1) + ".");
        }
        const uint64_t page = base + GetConfigOffset(bus, device, function, 0);
        if (!RangeFits(page, kConfigPageLength, kFourGiB))
        {
            throw std::runtime_error("PCI-E MMConfig address space lies above 4 GB.");
        }
        const uint64_t linear =
            m_driver->MapPhysicalToLinear(static_cast<uint32_t>(page), kConfigPageLength);
        if (linear == 0)
        {
            throw std::runtime_error("Unable to map PCI-E MMConfig address space.");
        }
        return linear;
    }

    void UnmapConfigSpace(uint64_t linear) override
    {
        if (linear != 0)
        {
            m_driver->UnmapPhysicalToLinear(linear, kConfigPageLength);
        }
    }

    void DumpTables(std::ostream& out) override
    {
        const Table* rsdp = FindCachedTable("RSDP");
        if (!rsdp)
        {
            out << "RSDP: NULL\n";
            return;
        }
        out << "RSDP:\n";
        out << Printf("  checksum:      %02x\n", (*rsdp)[8]);
        out << "  oem_id:        " << FixedText(*rsdp, 9, 6) << "\n";
        out << Printf("  revision:      %02x\n", (*rsdp)[15]);
        out << Printf("  rsdt_addr:     %08lx\n", static_cast<unsigned long>(Field32(*rsdp, 16)));
        out << Printf("  length:        %08lx\n", static_cast<unsigned long>(Field32(*rsdp, 20)));
        out << Printf("  xsdt_addr:     %016llx\n",
                      static_cast<unsigned long long>(Field64(*rsdp, 24)));
        out << Printf("  ext_checksum:  %02x\n", (*rsdp)[32]);
        if (const Table* xsdt = FindCachedTable("XSDT"))
        {
            DumpHeader(out, "XSDT", *xsdt);
        }
        else if (const Table* rsdt = FindCachedTable("RSDT"))
        {
            DumpHeader(out, "RSDT", *rsdt);
        }
        else
        {
            out << "RSDT: NULL\nXSDT: NULL\n";
            return;
        }
        if (const Table* mcfg = FindCachedTable("MCFG"))
        {
            DumpHeader(out, "MCFG", *mcfg);
        }
    }

private:
    static void DumpHeader(std::ostream& out, const char* name, const Table& table)
    {
        out << name << ":\n";
        out << Printf("  length:        %08lx\n", static_cast<unsigned long>(Field32(table, 4)));
        out << Printf("  revision:      %02x\n", table[8]);
        out << Printf("  checksum:      %02x\n", table[9]);
        out << "  oem_id:        " << FixedText(table, 10, 6) << "\n";
        out << "  oem_table_id:  " << FixedText(table, 16, 8) << "\n";
        out << Printf("  oem_revision:  %08lx\n", static_cast<unsigned long>(Field32(table, 24)));
        out << Printf("  creator_id:    %08lx\n", static_cast<unsigned long>(Field32(table, 28)));
        out << Printf("  creator_rev:   %08lx\n", static_cast<unsigned long>(Field32(table, 32)));
    }

    // Low memory: the 1 MiB mapping made at construction.
    uint8_t ReadLowByte(uint32_t physical) { return m_driver->ReadMemory8(m_lowMemory + physical); }
    uint16_t ReadLowWord(uint32_t physical)
    {
        return static_cast<uint16_t>(ReadLowByte(physical) | ReadLowByte(physical + 1) << 8);
    }
    Table CopyFromLowMemory(uint32_t physical, uint32_t count)
    {
        Table bytes(count);
        for (uint32_t i = 0; i < count; ++i)
        {
            bytes[i] = ReadLowByte(physical + i);
        }
        return bytes;
    }

    // Above low memory: one small mapping per read, none kept open.
    uint8_t ReadPhysicalByte(uint32_t physical)
    {
        const uint64_t linear = m_driver->MapPhysicalToLinear(physical, 4);
        if (linear == 0)
        {
            return 0xFF;
        }
        const uint8_t value = m_driver->ReadMemory8(linear);
        m_driver->UnmapPhysicalToLinear(linear, 4);
        return value;
    }
    uint32_t ReadPhysicalDword(uint32_t physical)
    {
        const uint64_t linear = m_driver->MapPhysicalToLinear(physical, 4);
        if (linear == 0)
        {
            return 0xFFFFFFFF;
        }
        const uint32_t value = m_driver->ReadMemory32(linear);
        m_driver->UnmapPhysicalToLinear(linear, 4);
        return value;
    }
    Table CopyFromPhysical(uint32_t physical, uint32_t count)
    {
        Table bytes(count);
        for (uint32_t i = 0; i < count; ++i)
        {
            bytes[i] = ReadPhysicalByte(physical + i);
        }
        return bytes;
    }

    // A root pointer whose signature, checksums and length hold, with all 36
    // bytes inside low memory.
    bool IsRsdpAt(uint32_t address)
    {
        static constexpr char kSignature[] = "RSD PTR";
        if (!RangeFits(address, kRsdpLength, kLowMemorySize))
        {
            return false;
        }
        for (uint32_t i = 0; i < 7; ++i)
        {
            if (ReadLowByte(address + i) != static_cast<uint8_t>(kSignature[i]))
            {
                return false;
            }
        }
        const Table candidate = CopyFromLowMemory(address, kRsdpLength);
        if (!ChecksumIsZero(candidate.data(), kRsdpV1ChecksumLength))
        {
            return false;
        }
        if (candidate[15] >= 1)
        {
            return Field32(candidate, 20) == kRsdpLength &&
                   ChecksumIsZero(candidate.data(), kRsdpLength);
        }
        return true;
    }

    uint32_t ScanForRsdp()
    {
        for (uint32_t address = kScanStart; address + kRsdpLength <= kLowMemorySize; ++address)
        {
            if (IsRsdpAt(address))
            {
                return address;
            }
        }
        const uint32_t ebda = static_cast<uint32_t>(ReadLowWord(kEbdaPointer)) * 16;
        if (ebda == 0 || !RangeFits(ebda, kEbdaScanLength, kLowMemorySize))
        {
            return 0;
        }
        static constexpr char kEbdaMark[] = "EBDA";
        for (uint32_t i = 0; i < 4; ++i)
        {
            if (ReadLowByte(ebda + 1 + i) != static_cast<uint8_t>(kEbdaMark[i]))
            {
                return 0;
            }
        }
        for (uint32_t address = ebda; address < ebda + kEbdaScanLength; ++address)
        {
            if (IsRsdpAt(address))
            {
                return address;
            }
        }
        return 0;
    }

    bool FindRsdp()
    {
        if (FindCachedTable("RSDP"))
        {
            return true;
        }
        const uint32_t address = ScanForRsdp();
        if (address == 0)
        {
            return false;
        }
        AddTableToCache("RSDP", CopyFromLowMemory(address, kRsdpLength));
        return true;
    }

    // Copies the table at a physical address when its header and checksum
    // hold; nullopt otherwise.
    std::optional<Table> CopyTable(uint64_t physical, const std::string& signature)
    {
        if (physical == 0 || !RangeFits(physical, kHeaderLength, kFourGiB))
        {
            return std::nullopt;
        }
        const uint32_t address = static_cast<uint32_t>(physical);
        const uint32_t length = ReadPhysicalDword(address + 4);
        if (length < kHeaderLength || length > kMaxTableLength ||
            !RangeFits(address, length, kFourGiB))
        {
            ReportDamagedTable(signature, address, "length");
            return std::nullopt;
        }
        Table table = CopyFromPhysical(address, length);
        if (!IsSoundTable(table, signature))
        {
            ReportDamagedTable(signature, address, "checksum");
            return std::nullopt;
        }
        return table;
    }

    static void ReportDamagedTable(const std::string& signature, uint32_t address, const char* what)
    {
        GetLog()->SetLevel(3);
        *GetLog() << "ACPI table " << signature << " at " << ToHexString(address, 8)
                  << " has a bad " << what << "; ignored." << LogEndl;
    }

    const Table* FindTable(const std::string& signature)
    {
        if (const Table* cached = FindCachedTable(signature))
        {
            return cached;
        }
        if (!FindRsdp())
        {
            return FindTableInDirectory(signature);
        }
        const Table& rsdp = *FindCachedTable("RSDP");
        const bool extended = rsdp[15] >= 1;
        const std::string rootSignature = extended ? "XSDT" : "RSDT";
        const uint32_t entrySize = extended ? 8 : 4;
        const Table* root = FindCachedTable(rootSignature);
        if (!root)
        {
            const uint64_t rootAddress = extended ? Field64(rsdp, 24) : Field32(rsdp, 16);
            std::optional<Table> copy = CopyTable(rootAddress, rootSignature);
            if (!copy)
            {
                return nullptr;
            }
            root = AddTableToCache(rootSignature, std::move(*copy));
        }
        const size_t entries = (root->size() - kHeaderLength) / entrySize;
        for (size_t i = 0; i < entries; ++i)
        {
            const size_t at = kHeaderLength + i * entrySize;
            const uint64_t address = extended ? Field64(*root, at) : Field32(*root, at);
            if (address == 0 || !RangeFits(address, kHeaderLength, kFourGiB))
            {
                continue;
            }
            const uint32_t raw = ReadPhysicalDword(static_cast<uint32_t>(address));
            const std::string found{static_cast<char>(raw), static_cast<char>(raw >> 8),
                                    static_cast<char>(raw >> 16), static_cast<char>(raw >> 24)};
            if (found != signature)
            {
                continue;
            }
            if (std::optional<Table> copy = CopyTable(address, signature))
            {
                return AddTableToCache(signature, std::move(*copy));
            }
        }
        return nullptr;
    }

    const Table* FindTableInDirectory(const std::string& signature)
    {
        if (m_tableDirectory.empty())
        {
            return nullptr;
        }
        std::ifstream file(m_tableDirectory + "/" + signature, std::ios::binary);
        if (!file)
        {
            return nullptr;
        }
        Table table;
        char byte = 0;
        while (table.size() <= kMaxTableLength && file.get(byte))
        {
            table.push_back(static_cast<uint8_t>(byte));
        }
        if (!IsSoundTable(table, signature))
        {
            ReportDamagedTable(signature, 0, "content");
            return nullptr;
        }
        return AddTableToCache(signature, std::move(table));
    }

    bool LoadMcfgEntries()
    {
        const Table* mcfg = FindTable("MCFG");
        if (!mcfg || mcfg->size() < kMcfgEntriesOffset)
        {
            return false;
        }
        const size_t count = (mcfg->size() - kMcfgEntriesOffset) / kMcfgEntryLength;
        for (size_t i = 0; i < count; ++i)
        {
            const size_t at = kMcfgEntriesOffset + i * kMcfgEntryLength;
            m_mcfgEntries.push_back(McfgEntry{
                Field64(*mcfg, at),
                static_cast<uint16_t>((*mcfg)[at + 8] | (*mcfg)[at + 9] << 8),
                (*mcfg)[at + 10],
                (*mcfg)[at + 11],
            });
        }
        return !m_mcfgEntries.empty();
    }

    const Table* FindCachedTable(const std::string& signature) const
    {
        for (const auto& [name, table] : m_cache)
        {
            if (name == signature)
            {
                return &table;
            }
        }
        return nullptr;
    }

    const Table* AddTableToCache(const std::string& signature, Table table)
    {
        m_cache.emplace_back(signature, std::move(table));
        return &m_cache.back().second;
    }

    CRefPtr<IRomviseDriver> m_driver;
    std::string m_tableDirectory;
    uint64_t m_lowMemory = 0;
    bool m_mcfgPresent = false;
    // A deque keeps every cached table in place as the cache grows, so the
    // pointers handed out stay valid for the accessor's life.
    std::deque<std::pair<std::string, Table>> m_cache;
    std::vector<McfgEntry> m_mcfgEntries;
};

std::string& TableDirectory()
{
    static std::string directory;
    return directory;
}

CSingletonHolder<IAcpiTableAccessor>& AccessorHolder()
{
    static CSingletonHolder<IAcpiTableAccessor> holder(ESingletonSlot::AcpiTableAccessor);
    return holder;
}
} // namespace

void SetAcpiTableDirectory(const std::string& directory)
{
    TableDirectory() = directory;
}

CRefPtr<IAcpiTableAccessor> CreateAcpiTableAccessor(CRefPtr<IRomviseDriver> driver,
                                                    const std::string& tableDirectory)
{
    return CRefPtr<IAcpiTableAccessor>(
        new CAcpiTableAccessorImpl(std::move(driver), tableDirectory));
}

IAcpiTableAccessor* GetAcpiTableAccessor()
{
    CSingletonHolder<IAcpiTableAccessor>& holder = AccessorHolder();
    if (holder.empty())
    {
        const CRefPtr<IAcpiTableAccessor> created =
            CreateAcpiTableAccessor(GetRomviseDriver(), TableDirectory());
        holder.Set(created.get());
    }
    return holder.get();
}
