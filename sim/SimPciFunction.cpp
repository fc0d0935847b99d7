#include "sim/SimPciFunction.h"

#include "core/Range.h"
#include "sim/AddressRange.h"
#include "sim/ISimDevice.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint32_t kCommand = 0x04;
constexpr uint32_t kStatus = 0x06;
constexpr uint32_t kHeaderType = 0x0E;
constexpr uint32_t kBar0 = 0x10;
constexpr uint32_t kCapabilityPointer = 0x34;
constexpr uint32_t kFirstExtendedCapability = 0x100;
constexpr uint16_t kStatusCapabilityList = 0x10;
constexpr uint8_t kPciExpressCapabilityId = 0x10;

// Building may store 1 to 4 bytes at once; the bus makes 1-, 2- and 4-byte
// accesses only.
void CheckRange(uint32_t offset, unsigned width)
{
    if (width == 0 || width > 4 || !RangeFits(offset, width, CSimPciFunction::kConfigSize))
    {
        throw std::out_of_range("configuration access outside the function's space");
    }
}

void CheckAccess(uint32_t offset, unsigned width)
{
    if (width == 3)
    {
        throw std::invalid_argument("configuration access width must be 1, 2 or 4 bytes");
    }
    CheckRange(offset, width);
}
} // namespace

CSimPciFunction::CSimPciFunction(uint8_t bus, uint8_t device, uint8_t function)
    : m_bus(bus), m_device(device), m_function(function)
{
    // Command: I/O, memory, bus master, parity, SERR, interrupt disable.
    SetWritableMask(kCommand, 2, 0x0547);
    // Status: the error bits clear when written with one.
    SetWriteOneToClearMask(kStatus, 2, 0xF900);
    SetWritableMask(0x0C, 1, 0xFF); // cache line size
    SetWritableMask(0x3C, 1, 0xFF); // interrupt line
}

void CSimPciFunction::Store(uint32_t offset, unsigned width, uint32_t value)
{
    CheckRange(offset, width);
    NoteChange();
    for (unsigned i = 0; i < width; ++i)
    {
        m_config[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t CSimPciFunction::Stored(uint32_t offset, unsigned width) const
{
    CheckRange(offset, width);
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
    {
        value |= static_cast<uint32_t>(m_config[offset + i]) << (8 * i);
    }
    return value;
}

void CSimPciFunction::SetWritableMask(uint32_t offset, unsigned width, uint32_t mask)
{
    CheckRange(offset, width);
    for (unsigned i = 0; i < width; ++i)
    {
        m_writable[offset + i] = static_cast<uint8_t>(mask >> (8 * i));
    }
}

void CSimPciFunction::SetWriteOneToClearMask(uint32_t offset, unsigned width, uint32_t mask)
{
    CheckRange(offset, width);
    for (unsigned i = 0; i < width; ++i)
    {
        m_writeOneToClear[offset + i] = static_cast<uint8_t>(mask >> (8 * i));
    }
}

void CSimPciFunction::SetIds(uint16_t vendorId, uint16_t deviceId, uint32_t classCode,
                             uint8_t revision)
{
    Store(0x00, 2, vendorId);
    Store(0x02, 2, deviceId);
    Store(0x08, 4, classCode << 8 | revision);
}

void CSimPciFunction::SetSubsystem(uint16_t vendorId, uint16_t deviceId)
{
    Store(0x2C, 2, vendorId);
    Store(0x2E, 2, deviceId);
}

void CSimPciFunction::MakeBridge(uint8_t primary, uint8_t secondary, uint8_t subordinate)
{
    Store(kHeaderType, 1, (Stored(kHeaderType, 1) & 0x80) | 0x01);
    Store(0x18, 4, static_cast<uint32_t>(subordinate) << 16 | secondary << 8 | primary);
    SetWritableMask(0x18, 3, 0xFFFFFF);
    for (int index = BarRegisterCount(); index < 6; ++index)
    {
        m_bars[static_cast<size_t>(index)] = SimBar{};
    }
    NoteChange();
}

bool CSimPciFunction::IsBridge() const
{
    return (m_config[kHeaderType] & 0x7F) == 0x01;
}

uint8_t CSimPciFunction::SecondaryBus() const
{
    return static_cast<uint8_t>(Stored(0x19, 1));
}

uint8_t CSimPciFunction::SubordinateBus() const
{
    return static_cast<uint8_t>(Stored(0x1A, 1));
}

int CSimPciFunction::BarRegisterCount() const
{
    return IsBridge() ? 2 : 6;
}

void CSimPciFunction::SetBar(int index, const SimBar& bar)
{
    const int last = bar.kind == ESimBarKind::Memory64 ? index + 1 : index;
    if (index < 0 || last >= BarRegisterCount())
    {
        throw std::out_of_range("BAR index outside the header");
    }
    if (bar.size != 0 && (bar.size & (bar.size - 1)) != 0)
    {
        throw std::invalid_argument("BAR size must be a power of two");
    }
    m_bars[static_cast<size_t>(index)] = bar;
    NoteChange();
    ApplyBarMasks(index);
}

void CSimPciFunction::ApplyBarMasks(int index)
{
    const SimBar& bar = m_bars[static_cast<size_t>(index)];
    const uint32_t offset = kBar0 + 4 * static_cast<uint32_t>(index);
    if (bar.size == 0)
    {
        Store(offset, 4, 0);
        SetWritableMask(offset, 4, 0);
        return;
    }
    uint32_t typeBits = 0;
    uint64_t addressMask = ~(bar.size - 1);
    switch (bar.kind)
    {
    case ESimBarKind::Io:
        typeBits = 0x1;
        addressMask &= ~uint64_t{0x3};
        break;
    case ESimBarKind::Memory64:
        typeBits = 0x4;
        addressMask &= ~uint64_t{0xF};
        break;
    case ESimBarKind::Memory32:
        addressMask &= 0xFFFFFFF0ull;
        break;
    }
    if (bar.prefetchable && bar.kind != ESimBarKind::Io)
    {
        typeBits |= 0x8;
    }
    SetWritableMask(offset, 4, static_cast<uint32_t>(addressMask));
    Store(offset, 4,
          (static_cast<uint32_t>(bar.address) & static_cast<uint32_t>(addressMask)) | typeBits);
    if (bar.kind == ESimBarKind::Memory64)
    {
        SetWritableMask(offset + 4, 4, static_cast<uint32_t>(addressMask >> 32));
        Store(offset + 4, 4, static_cast<uint32_t>((bar.address & addressMask) >> 32));
    }
}

uint64_t CSimPciFunction::BarAddress(int index) const
{
    const SimBar& bar = m_bars.at(static_cast<size_t>(index));
    return DecodedBarAddress(bar, kBar0 + 4 * static_cast<uint32_t>(index));
}

// The BAR registers and the command word sit at fixed offsets inside the
// header, so the decode path reads them without Stored's range checks: it
// runs on every register access the bus makes.
uint32_t CSimPciFunction::HeaderDword(uint32_t offset) const
{
    return uint32_t{m_config[offset]} | uint32_t{m_config[offset + 1]} << 8 |
           uint32_t{m_config[offset + 2]} << 16 | uint32_t{m_config[offset + 3]} << 24;
}

uint64_t CSimPciFunction::DecodedBarAddress(const SimBar& bar, uint32_t offset) const
{
    const uint32_t low = HeaderDword(offset);
    if (bar.kind == ESimBarKind::Io)
    {
        return low & ~0x3u;
    }
    uint64_t address = low & ~0xFu;
    if (bar.kind == ESimBarKind::Memory64)
    {
        address |= static_cast<uint64_t>(HeaderDword(offset + 4)) << 32;
    }
    return address;
}

bool CSimPciFunction::MemoryDecodingEnabled() const
{
    return (m_config[kCommand] & 0x2) != 0;
}

std::optional<std::pair<int, uint64_t>> CSimPciFunction::DecodeMemory(uint64_t address,
                                                                      unsigned width) const
{
    if (!MemoryDecodingEnabled())
    {
        return std::nullopt;
    }
    const int count = BarRegisterCount();
    for (int index = 0; index < count; ++index)
    {
        const SimBar& bar = m_bars[static_cast<size_t>(index)];
        if (bar.size == 0 || bar.kind == ESimBarKind::Io)
        {
            continue;
        }
        const uint64_t base = DecodedBarAddress(bar, kBar0 + 4 * static_cast<uint32_t>(index));
        // An unassigned BAR decodes nothing.
        if (base != 0 && address >= base && address - base <= bar.size - width)
        {
            return std::make_pair(index, address - base);
        }
    }
    return std::nullopt;
}

bool CSimPciFunction::DecodesInside(uint64_t base, uint64_t size, int barLimit) const
{
    if (!MemoryDecodingEnabled())
    {
        return false;
    }
    const int count = std::min(barLimit, BarRegisterCount());
    for (int index = 0; index < count; ++index)
    {
        const SimBar& bar = m_bars[static_cast<size_t>(index)];
        if (bar.size == 0 || bar.kind == ESimBarKind::Io)
        {
            continue;
        }
        const uint64_t barBase = DecodedBarAddress(bar, kBar0 + 4 * static_cast<uint32_t>(index));
        if (barBase == 0)
        {
            continue;
        }
        // A BAR narrower than an access decodes every address above its base
        // (see DecodeMemory), so one narrower than a dword overlaps anything.
        if (bar.size < 4 || RangesOverlap(barBase, bar.size, base, size))
        {
            return true;
        }
    }
    return false;
}

uint8_t CSimPciFunction::AddCapability(uint8_t id, const std::vector<uint8_t>& body)
{
    const uint32_t offset = m_nextCapability;
    if (offset + 2 + body.size() > kFirstExtendedCapability)
    {
        throw std::out_of_range("capability list full");
    }
    Store(offset, 1, id);
    Store(offset + 1, 1, 0);
    for (size_t i = 0; i < body.size(); ++i)
    {
        Store(offset + 2 + static_cast<uint32_t>(i), 1, body[i]);
    }
    if (m_lastCapability == 0)
    {
        Store(kCapabilityPointer, 1, offset);
        Store(kStatus, 2, Stored(kStatus, 2) | kStatusCapabilityList);
    }
    else
    {
        Store(m_lastCapability + 1u, 1, offset);
    }
    m_lastCapability = static_cast<uint8_t>(offset);
    m_nextCapability = (offset + 2 + static_cast<uint32_t>(body.size()) + 3) & ~3u;
    return m_lastCapability;
}

uint16_t CSimPciFunction::AddExtendedCapability(uint16_t id, uint8_t version,
                                                const std::vector<uint8_t>& body)
{
    const uint32_t offset = m_nextExtendedCapability;
    if (offset + 4 + body.size() > kConfigSize)
    {
        throw std::out_of_range("extended capability list full");
    }
    Store(offset, 4, static_cast<uint32_t>(id) | static_cast<uint32_t>(version & 0xF) << 16);
    for (size_t i = 0; i < body.size(); ++i)
    {
        Store(offset + 4 + static_cast<uint32_t>(i), 1, body[i]);
    }
    if (m_lastExtendedCapability != 0)
    {
        const uint32_t header = Stored(m_lastExtendedCapability, 4);
        Store(m_lastExtendedCapability, 4, (header & 0x000FFFFF) | offset << 20);
    }
    m_lastExtendedCapability = static_cast<uint16_t>(offset);
    m_nextExtendedCapability = (offset + 4 + static_cast<uint32_t>(body.size()) + 3) & ~3u;
    return m_lastExtendedCapability;
}

void CSimPciFunction::SetPortNumber(uint8_t port)
{
    // PCI Express capability: capabilities register (version 2, downstream
    // port), device capabilities, control and status, then link capabilities
    // whose bits 31-24 are the port number.
    std::vector<uint8_t> body(0x3A, 0);
    body[0] = 0x62;
    body[0x0A] = 0x11;
    body[0x0D] = port;
    AddCapability(kPciExpressCapabilityId, body);
    m_portNumber = port;
}

uint32_t CSimPciFunction::ConfigRead(uint32_t offset, unsigned width)
{
    CheckAccess(offset, width);
    if (m_model)
    {
        if (const std::optional<uint32_t> value = m_model->ReadConfig(*this, offset, width))
        {
            return *value;
        }
    }
    return Stored(offset, width);
}

void CSimPciFunction::ConfigWrite(uint32_t offset, unsigned width, uint32_t value)
{
    CheckAccess(offset, width);
    for (unsigned i = 0; i < width; ++i)
    {
        const uint32_t at = offset + i;
        const uint8_t written = static_cast<uint8_t>(value >> (8 * i));
        uint8_t byte =
            static_cast<uint8_t>((m_config[at] & ~m_writable[at]) | (written & m_writable[at]));
        byte = static_cast<uint8_t>(byte & ~(written & m_writeOneToClear[at]));
        m_config[at] = byte;
    }
    NoteChange();
    if (m_model)
    {
        m_model->OnConfigWrite(*this, offset, width, value);
    }
}
