#include "sim/SimDriverTransport.h"

#include "sim/SimMachine.h"

#include <cerrno>

CSimDriverTransport::CSimDriverTransport(std::shared_ptr<CSimMachine> machine)
    : m_machine(std::move(machine))
{
}

uint32_t CSimDriverTransport::MapPhysical(uint64_t physical, uint64_t length, uint64_t& linear)
{
    ++m_machine->Counters().mapRequests;
    if (physical >= kLinearOffset || length == 0)
    {
        linear = 0;
        return EINVAL;
    }
    linear = physical + kLinearOffset;
    return 0;
}

uint32_t CSimDriverTransport::UnmapPhysical(uint64_t, uint64_t)
{
    ++m_machine->Counters().unmapRequests;
    return 0;
}

uint32_t CSimDriverTransport::ReadPort32(uint32_t port, uint32_t& value)
{
    value = m_machine->ReadPort(static_cast<uint16_t>(port), 4);
    return 0;
}

uint32_t CSimDriverTransport::WritePort32(uint32_t port, uint32_t value)
{
    m_machine->WritePort(static_cast<uint16_t>(port), 4, value);
    return 0;
}

uint32_t CSimDriverTransport::QueryBarSize(uint16_t segment, uint8_t bus, uint8_t device,
                                           uint8_t function, uint32_t bar, uint64_t& size)
{
    size = 0;
    CSimPciFunction* found =
        segment == 0 ? m_machine->FindFunction(bus, device, function) : nullptr;
    if (!found)
    {
        return ENODEV;
    }
    if (bar >= static_cast<uint32_t>(CSimPciFunction::kBarCount))
    {
        return EINVAL;
    }
    const int index = static_cast<int>(bar);
    // The upper half of a 64-bit BAR is no BAR of its own.
    if (index > 0 && found->Bar(index - 1).kind == ESimBarKind::Memory64 &&
        found->Bar(index - 1).size != 0)
    {
        return 0;
    }
    // An unassigned BAR, as the system reports it, has no range.
    if (found->BarAddress(index) != 0)
    {
        size = found->Bar(index).size;
    }
    return 0;
}

uint8_t CSimDriverTransport::ReadMemory8(uint64_t linear)
{
    return static_cast<uint8_t>(m_machine->ReadMemory(linear - kLinearOffset, 1));
}
uint16_t CSimDriverTransport::ReadMemory16(uint64_t linear)
{
    return static_cast<uint16_t>(m_machine->ReadMemory(linear - kLinearOffset, 2));
}
uint32_t CSimDriverTransport::ReadMemory32(uint64_t linear)
{
    return m_machine->ReadMemory(linear - kLinearOffset, 4);
}
void CSimDriverTransport::WriteMemory8(uint64_t linear, uint8_t value)
{
    m_machine->WriteMemory(linear - kLinearOffset, 1, value);
}
void CSimDriverTransport::WriteMemory16(uint64_t linear, uint16_t value)
{
    m_machine->WriteMemory(linear - kLinearOffset, 2, value);
}
void CSimDriverTransport::WriteMemory32(uint64_t linear, uint32_t value)
{
    m_machine->WriteMemory(linear - kLinearOffset, 4, value);
}
