#include "sim/SimMachine.h"

#include "core/Range.h"
#include "sim/AddressRange.h"

#include "core/Exceptions.h"

#include <fstream>
#include <stdexcept>

namespace
{
constexpr uint16_t kConfigAddressPort = 0xCF8;
constexpr uint16_t kConfigDataPort = 0xCFC;
constexpr uint32_t kAllOnes = 0xFFFFFFFF;

uint32_t WidthMask(unsigned width)
{
    return width >= 4 ? kAllOnes : (1u << (8 * width)) - 1;
}

void CheckWidth(unsigned width)
{
    if (width != 1 && width != 2 && width != 4)
    {
        throw std::invalid_argument("access width must be 1, 2 or 4 bytes");
    }
}

bool Holds(uint64_t base, uint64_t size, uint64_t address, uint64_t length)
{
    return address >= base && RangeFits(address - base, length, size);
}
} // namespace

CSimMachine::CSimMachine() : m_clock(new CVirtualClock)
{
    AddRam(0, kLowMemorySize);
}

void CSimMachine::KeepRebootsInFile(const std::string& path)
{
    m_rebootFile = path;
    std::ifstream file(path);
    if (!file)
    {
        return;
    }
    if (!(file >> m_reboots))
    {
        throw std::runtime_error("reboot record " + path + " does not hold a count");
    }
}

void CSimMachine::RecordReboot()
{
    ++m_reboots;
    if (m_rebootFile.empty())
    {
        return;
    }
    std::ofstream file(m_rebootFile, std::ios::trunc);
    file << m_reboots << std::endl;
    if (!file)
    {
        throw io_error("Cannot write reboot record " + m_rebootFile);
    }
}

void CSimMachine::AddRam(uint64_t base, uint64_t size)
{
    m_ram.push_back(RamRegion{base, std::vector<uint8_t>(size, 0)});
    ++m_layoutChanges;
}

CSimMachine::RamRegion* CSimMachine::FindRam(uint64_t address, uint64_t length)
{
    for (RamRegion& region : m_ram)
    {
        if (Holds(region.base, region.bytes.size(), address, length))
        {
            return &region;
        }
    }
    return nullptr;
}

const CSimMachine::RamRegion* CSimMachine::FindRam(uint64_t address, uint64_t length) const
{
    return const_cast<CSimMachine*>(this)->FindRam(address, length);
}

void CSimMachine::WriteRam(uint64_t address, std::span<const uint8_t> bytes)
{
    RamRegion* region = FindRam(address, bytes.size());
    if (!region)
    {
        throw std::out_of_range("simulated RAM does not hold the range");
    }
    std::copy(bytes.begin(), bytes.end(), region->bytes.begin() + (address - region->base));
}

std::vector<uint8_t> CSimMachine::ReadRam(uint64_t address, uint64_t length) const
{
    const RamRegion* region = FindRam(address, length);
    if (!region)
    {
        throw std::out_of_range("simulated RAM does not hold the range");
    }
    const auto begin = region->bytes.begin() + static_cast<ptrdiff_t>(address - region->base);
    return std::vector<uint8_t>(begin, begin + static_cast<ptrdiff_t>(length));
}

void CSimMachine::SetEcamWindow(uint64_t base, uint8_t startBus, uint8_t endBus)
{
    m_ecam = EcamWindow{base, startBus, endBus, true};
    ++m_layoutChanges;
}

uint64_t CSimMachine::EcamFirst() const
{
    return m_ecam.base + (uint64_t{m_ecam.startBus} << 20);
}

uint64_t CSimMachine::EcamSize() const
{
    return (uint64_t{m_ecam.endBus} - m_ecam.startBus + 1) << 20;
}

void CSimMachine::ClaimMemory(uint64_t base, uint64_t size, ISimDevice& device, int tag)
{
    m_memoryClaims.push_back(MemoryClaim{base, size, &device, tag});
    ++m_layoutChanges;
}

void CSimMachine::ClaimPorts(uint16_t first, uint16_t count, ISimDevice& device)
{
    m_portClaims.push_back(PortClaim{first, count, &device});
}

CSimPciFunction& CSimMachine::AddFunction(uint8_t bus, uint8_t device, uint8_t function)
{
    if (device > 31 || function > 7)
    {
        throw std::invalid_argument("PCI device or function number out of range");
    }
    if (FindFunction(bus, device, function))
    {
        throw std::invalid_argument("PCI function defined twice");
    }
    m_functions.push_back(std::make_unique<CSimPciFunction>(bus, device, function));
    m_functions.back()->SetChangeCounter(&m_layoutChanges);
    ++m_layoutChanges;
    return *m_functions.back();
}

CSimPciFunction* CSimMachine::FindFunction(uint8_t bus, uint8_t device, uint8_t function)
{
    for (const auto& candidate : m_functions)
    {
        if (candidate->Bus() == bus && candidate->Device() == device &&
            candidate->Function() == function)
        {
            return candidate.get();
        }
    }
    return nullptr;
}

bool CSimMachine::IsBusReachable(uint8_t bus, int depth) const
{
    if (bus == 0)
    {
        return true;
    }
    // Bridges nest at most 255 deep; a loop of bridges ends here.
    if (depth > 255)
    {
        return false;
    }
    for (const auto& bridge : m_functions)
    {
        if (bridge->IsBridge() && bridge->Bus() != bus && bridge->SecondaryBus() <= bus &&
            bus <= bridge->SubordinateBus() && bridge->SecondaryBus() != 0 &&
            IsBusReachable(bridge->Bus(), depth + 1))
        {
            return true;
        }
    }
    return false;
}

CSimPciFunction* CSimMachine::FindReachableFunction(uint8_t bus, uint8_t device, uint8_t function)
{
    CSimPciFunction* found = FindFunction(bus, device, function);
    return found && IsBusReachable(bus, 0) ? found : nullptr;
}

ISimDevice& CSimMachine::AddDevice(std::shared_ptr<ISimDevice> device)
{
    if (!device)
    {
        throw std::invalid_argument("no device model");
    }
    m_devices.push_back(std::move(device));
    ISimDevice& added = *m_devices.back();
    added.Attach(*this);
    return added;
}

ISimDevice* CSimMachine::FindDevice(const std::string& name) const
{
    for (const auto& device : m_devices)
    {
        if (device->Name() == name)
        {
            return device.get();
        }
    }
    return nullptr;
}

uint32_t CSimMachine::ReadMemory(uint64_t address, unsigned width)
{
    CheckWidth(width);
    if (InLastBar(address, width))
    {
        ++m_counters.registerReads;
        ChargeAccess();
        return m_lastBar.model->ReadBar(*m_lastBar.function, m_lastBar.bar,
                                        address - m_lastBar.base, width) &
               WidthMask(width);
    }
    if (const RamRegion* region = FindRam(address, width))
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < width; ++i)
        {
            value |= static_cast<uint32_t>(region->bytes[address - region->base + i]) << (8 * i);
        }
        return value;
    }
    ++m_counters.registerReads;
    ChargeAccess();
    if (m_ecam.present && Holds(EcamFirst(), EcamSize(), address, width))
    {
        const uint64_t offset = address - m_ecam.base;
        return ReadConfig(static_cast<uint8_t>(offset >> 20), (offset >> 15) & 0x1F,
                          (offset >> 12) & 0x7, offset & 0xFFF, width);
    }
    for (const MemoryClaim& claim : m_memoryClaims)
    {
        if (Holds(claim.base, claim.size, address, width))
        {
            return claim.device->ReadMemory(claim.tag, address - claim.base, width) &
                   WidthMask(width);
        }
    }
    for (size_t index = 0; index < m_functions.size(); ++index)
    {
        CSimPciFunction& function = *m_functions[index];
        if (ISimDevice* model = function.Model())
        {
            if (const auto hit = function.DecodeMemory(address, width))
            {
                RememberBar(index, hit->first);
                return model->ReadBar(function, hit->first, hit->second, width) & WidthMask(width);
            }
        }
    }
    return WidthMask(width);
}

void CSimMachine::WriteMemory(uint64_t address, unsigned width, uint32_t value)
{
    CheckWidth(width);
    if (InLastBar(address, width))
    {
        ++m_counters.registerWrites;
        ChargeAccess();
        m_lastBar.model->WriteBar(*m_lastBar.function, m_lastBar.bar, address - m_lastBar.base,
                                  width, value & WidthMask(width));
        return;
    }
    if (RamRegion* region = FindRam(address, width))
    {
        for (unsigned i = 0; i < width; ++i)
        {
            region->bytes[address - region->base + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        return;
    }
    ++m_counters.registerWrites;
    ChargeAccess();
    value &= WidthMask(width);
    if (m_ecam.present && Holds(EcamFirst(), EcamSize(), address, width))
    {
        const uint64_t offset = address - m_ecam.base;
        WriteConfig(static_cast<uint8_t>(offset >> 20), (offset >> 15) & 0x1F, (offset >> 12) & 0x7,
                    offset & 0xFFF, width, value);
        return;
    }
    for (const MemoryClaim& claim : m_memoryClaims)
    {
        if (Holds(claim.base, claim.size, address, width))
        {
            claim.device->WriteMemory(claim.tag, address - claim.base, width, value);
            return;
        }
    }
    for (size_t index = 0; index < m_functions.size(); ++index)
    {
        CSimPciFunction& function = *m_functions[index];
        if (ISimDevice* model = function.Model())
        {
            if (const auto hit = function.DecodeMemory(address, width))
            {
                RememberBar(index, hit->first);
                model->WriteBar(function, hit->first, hit->second, width, value);
                return;
            }
        }
    }
}

// Keeps the window of the BAR an access just decoded to, unless RAM, the ECAM
// window, a claim, a function ahead of this one or an earlier BAR of the same
// function could take part of it: those are looked at first, so the window
// could not stand in for the whole decode.
void CSimMachine::RememberBar(size_t functionIndex, int bar)
{
    m_lastBar.model = nullptr;
    CSimPciFunction& function = *m_functions[functionIndex];
    const uint64_t base = function.BarAddress(bar);
    const uint64_t size = function.Bar(bar).size;
    // A BAR narrower than an access decodes every address above its base.
    if (size < 4)
    {
        return;
    }
    for (const RamRegion& region : m_ram)
    {
        if (RangesOverlap(region.base, region.bytes.size(), base, size))
        {
            return;
        }
    }
    if (m_ecam.present && RangesOverlap(EcamFirst(), EcamSize(), base, size))
    {
        return;
    }
    for (const MemoryClaim& claim : m_memoryClaims)
    {
        if (RangesOverlap(claim.base, claim.size, base, size))
        {
            return;
        }
    }
    for (size_t index = 0; index < functionIndex; ++index)
    {
        const CSimPciFunction& ahead = *m_functions[index];
        if (ahead.Model() && ahead.DecodesInside(base, size, CSimPciFunction::kBarCount))
        {
            return;
        }
    }
    if (function.DecodesInside(base, size, bar))
    {
        return;
    }
    m_lastBar = LastBar{m_layoutChanges, base, size, &function, function.Model(), bar};
}

uint32_t CSimMachine::ReadPort(uint16_t port, unsigned width)
{
    CheckWidth(width);
    ++m_counters.portReads;
    ChargeAccess();
    if (port >= kConfigAddressPort && port < kConfigDataPort + 4)
    {
        return ReadConfigMechanism1(port, width);
    }
    for (const PortClaim& claim : m_portClaims)
    {
        if (Holds(claim.first, claim.count, port, width))
        {
            return claim.device->ReadPort(port, width) & WidthMask(width);
        }
    }
    return WidthMask(width);
}

void CSimMachine::WritePort(uint16_t port, unsigned width, uint32_t value)
{
    CheckWidth(width);
    ++m_counters.portWrites;
    ChargeAccess();
    value &= WidthMask(width);
    if (port >= kConfigAddressPort && port < kConfigDataPort + 4)
    {
        WriteConfigMechanism1(port, width, value);
        return;
    }
    for (const PortClaim& claim : m_portClaims)
    {
        if (Holds(claim.first, claim.count, port, width))
        {
            claim.device->WritePort(port, width, value);
            return;
        }
    }
}

// 0xCF8 holds the address as a whole dword; 0xCFC-0xCFF reach the
// configuration dword it selects while its enable bit is set.
uint32_t CSimMachine::ReadConfigMechanism1(uint16_t port, unsigned width)
{
    if (port < kConfigDataPort)
    {
        return port == kConfigAddressPort && width == 4 ? m_configAddress : WidthMask(width);
    }
    if (!(m_configAddress & 0x80000000u) || port - kConfigDataPort + width > 4)
    {
        return WidthMask(width);
    }
    return ReadConfig(static_cast<uint8_t>(m_configAddress >> 16), (m_configAddress >> 11) & 0x1F,
                      (m_configAddress >> 8) & 0x7,
                      (m_configAddress & 0xFC) + (port - kConfigDataPort), width);
}

void CSimMachine::WriteConfigMechanism1(uint16_t port, unsigned width, uint32_t value)
{
    if (port < kConfigDataPort)
    {
        if (port == kConfigAddressPort && width == 4)
        {
            m_configAddress = value & 0x80FFFFFCu;
        }
        return;
    }
    if (!(m_configAddress & 0x80000000u) || port - kConfigDataPort + width > 4)
    {
        return;
    }
    WriteConfig(static_cast<uint8_t>(m_configAddress >> 16), (m_configAddress >> 11) & 0x1F,
                (m_configAddress >> 8) & 0x7, (m_configAddress & 0xFC) + (port - kConfigDataPort),
                width, value);
}

uint32_t CSimMachine::ReadConfig(uint8_t bus, uint8_t device, uint8_t function, uint32_t offset,
                                 unsigned width)
{
    ++m_counters.configReads;
    CSimPciFunction* target = FindReachableFunction(bus, device, function);
    return target ? target->ConfigRead(offset, width) : WidthMask(width);
}

void CSimMachine::WriteConfig(uint8_t bus, uint8_t device, uint8_t function, uint32_t offset,
                              unsigned width, uint32_t value)
{
    ++m_counters.configWrites;
    if (CSimPciFunction* target = FindReachableFunction(bus, device, function))
    {
        target->ConfigWrite(offset, width, value);
    }
}
