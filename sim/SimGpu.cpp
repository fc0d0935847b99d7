#include "sim/SimGpu.h"

#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/SimMachine.h"
#include "sim/SimPciFunction.h"
#include "sim/VirtualClock.h"

#include <stdexcept>

namespace
{
constexpr uint64_t kIdentRegister = 0x0;
constexpr uint64_t kGateRegister = 0x1084;
constexpr uint32_t kGateBit = 0x800;
constexpr uint64_t kGatedFirst = 0x21000;
constexpr uint64_t kGatedEnd = 0x22000;
constexpr uint64_t kLegacyDebugPort = 0x1090;
constexpr uint64_t kLegacyControl = 0x1204;
constexpr uint64_t kPromPins = 0x1850;
constexpr uint64_t kTimer = 0x9400;
constexpr uint64_t kPadCommit = 0xD604;
constexpr uint64_t kDebugPort = 0xE194;
constexpr uint64_t kControl = 0xE204;
constexpr uint64_t kWindowOffset = 0xE208;
constexpr uint64_t kClockStatus = 0xE800;
constexpr uint64_t kPllControl = 0x1370A0;
constexpr uint64_t kPllConfig = 0x1370A8;
constexpr uint64_t kStraps = 0x101000;
constexpr uint64_t kPromWindow = 0x300000;
constexpr uint64_t kPromWindowEnd = 0x400000;
constexpr uint64_t kLegacyRomWindow = 0x700000;
constexpr uint64_t kIsoRomWindow = 0x7E0000;
constexpr uint64_t kRomWindowEnd = 0x800000;
constexpr uint32_t kControlDataIn = 1u << 4;
constexpr uint64_t kSpeedometerReading = 0x121C;
constexpr uint64_t kSpeedometerSelect = 0x1228;
constexpr uint64_t kSpeedometerControl = 0x100A40;
constexpr uint32_t kSpeedometerEnable = 1u << 28;

bool InRange(uint64_t offset, uint64_t first, uint64_t end)
{
    return offset >= first && offset < end;
}

uint64_t IsoLineRegister(unsigned port)
{
    if (port < 4)
    {
        return 0xE138 + 24ull * port;
    }
    if (port < 6)
    {
        return 0xE254 + 32ull * (port - 4);
    }
    return 0xE764 + 28ull * (port - 6);
}

uint64_t LaterLineRegister(unsigned port)
{
    return 0xD014 + 32ull * port;
}
} // namespace

SimGpuConfig SimGpuConfigForKind(uint32_t deviceKind)
{
    if (!TraitsOfDeviceKind(deviceKind).simulatedGpu)
    {
        throw std::invalid_argument("no simulated GPU of device kind " +
                                    std::to_string(deviceKind));
    }
    SimGpuConfig config;
    config.deviceKind = deviceKind;
    // One typical part per generation: from kind 6 on, architectures 0x0B up.
    config.architecture =
        deviceKind == kDeviceKindLegacyGpu ? 0x04 : 0x0B + (deviceKind - kDeviceKindIso);
    config.implementation = 0;
    return config;
}

CSimGpu::CSimGpu(std::string name, CSimPciFunction& function, const SimGpuConfig& config)
    : m_name(std::move(name)), m_function(function), m_config(config)
{
    if (!TraitsOfDeviceKind(config.deviceKind).simulatedGpu)
    {
        throw std::invalid_argument("no simulated GPU of device kind " +
                                    std::to_string(config.deviceKind));
    }
    for (unsigned port = 0; port < kPortCount; ++port)
    {
        m_ports[port] = std::make_unique<CSimI2CBus>(m_name + " port " + std::to_string(port));
    }
    // Reset state: the EEPROM lines under hardware control with chip select
    // high, the debug port on, the lines released.
    if (IsLegacy())
    {
        m_registers.Set(kPromPins, 1);
        m_registers.Set(kLegacyDebugPort, 1);
        m_registers.Set(kLegacyControl, 2);
        return;
    }
    m_registers.Set(kDebugPort, 1);
    m_registers.Set(kControl, 2);
    if (TraitsOfDeviceKind(m_config.deviceKind).windowOffsetRegister)
    {
        m_registers.Set(kWindowOffset, 1);
    }
    for (unsigned port = 0; port < kPortCount; ++port)
    {
        m_registers.Set(IsIsoLineLayout() ? IsoLineRegister(port) : LaterLineRegister(port), 3);
    }
    m_mutexes.resize(Mutexes().count);
}

CSimGpu::~CSimGpu() = default;

void CSimGpu::AttachChip(std::shared_ptr<ISimEepromChip> chip)
{
    m_chip = std::move(chip);
}

void CSimGpu::SetContents(std::shared_ptr<CSimChipStore> contents)
{
    m_chip = std::make_shared<CSimPlainEeprom>(m_name + " eeprom", std::move(contents));
}

CSimI2CBus& CSimGpu::Port(unsigned port)
{
    if (port >= kPortCount)
    {
        throw std::out_of_range("a simulated GPU has I2C ports 0-9");
    }
    return *m_ports[port];
}

void CSimGpu::AddHook(std::shared_ptr<ISimGpuRegisterHook> hook)
{
    m_hooks.push_back(std::move(hook));
}

void CSimGpu::SetRegister(uint64_t offset, uint32_t value)
{
    m_registers.Set(offset, value);
}

uint32_t CSimGpu::Register(uint64_t offset) const
{
    return m_registers.Get(offset);
}

CSimGpu::MutexUnit CSimGpu::Mutexes() const
{
    if (IsLegacy())
    {
        return {0, 0, 0, 0};
    }
    if (TraitsOfDeviceKind(m_config.deviceKind).simulatedNewMailbox)
    {
        return {0xDF00, 0xDF04, 0xDF08, 32};
    }
    return {0x10A488, 0x10A48C, 0x10A580, 16};
}

void CSimGpu::HoldMutex(unsigned mutex, uint8_t id)
{
    m_mutexes.at(mutex).owner = id;
}

void CSimGpu::ReleaseHeldMutex(unsigned mutex)
{
    m_mutexes.at(mutex).owner = 0;
}

void CSimGpu::SetSpeedometerReading(unsigned speedometer, uint32_t reading)
{
    m_speedometers[speedometer] = reading;
}

uint8_t CSimGpu::MutexOwner(unsigned mutex) const
{
    return m_mutexes.at(mutex).owner;
}

void CSimGpu::Attach(CSimMachine& machine)
{
    m_clock = &machine.Clock();
    m_function.AttachModel(this);
}

std::optional<unsigned> CSimGpu::LinePortAt(uint64_t offset) const
{
    if (IsLegacy())
    {
        return std::nullopt;
    }
    for (unsigned port = 0; port < kPortCount; ++port)
    {
        if (offset == (IsIsoLineLayout() ? IsoLineRegister(port) : LaterLineRegister(port)))
        {
            return port;
        }
    }
    return std::nullopt;
}

uint64_t CSimGpu::ControlRegister() const
{
    return IsLegacy() ? kLegacyControl : kControl;
}

uint64_t CSimGpu::DebugPortRegister() const
{
    return IsLegacy() ? kLegacyDebugPort : kDebugPort;
}

uint8_t CSimGpu::ChipByte(uint64_t offset) const
{
    if (!m_chip || offset >= m_chip->Contents().Size())
    {
        return 0xFF;
    }
    return m_chip->Contents().At(offset);
}

// The EEPROM byte a PROM or ROM window offset shows.
uint8_t CSimGpu::WindowByte(uint64_t offset)
{
    if (InRange(offset, kPromWindow, kPromWindowEnd))
    {
        if (IsLegacy() && Register(kPromPins) != 0)
        {
            return 0xFF;
        }
        return ChipByte(offset - kPromWindow);
    }
    if (IsLegacy())
    {
        return ChipByte(offset - kLegacyRomWindow);
    }
    const uint64_t start = TraitsOfDeviceKind(m_config.deviceKind).windowOffsetRegister
                               ? (Register(kWindowOffset) & 0x00FFFFFC)
                               : 0;
    return ChipByte(start + (offset - kIsoRomWindow));
}

uint32_t CSimGpu::ReadLineRegister(unsigned port)
{
    const uint32_t stored =
        Register(IsIsoLineLayout() ? IsoLineRegister(port) : LaterLineRegister(port));
    const uint32_t sda = m_ports[port]->Sda() ? 1 : 0;
    const uint32_t scl = m_ports[port]->Scl() ? 1 : 0;
    if (IsIsoLineLayout())
    {
        return (stored & ~3u) | (sda << 1) | scl;
    }
    return (stored & ~0x30u) | (sda << 5) | (scl << 4);
}

void CSimGpu::WriteLineRegister(unsigned port, uint32_t value)
{
    m_registers.Set(IsIsoLineLayout() ? IsoLineRegister(port) : LaterLineRegister(port), value);
    if (value & 4u)
    {
        m_ports[port]->DriveMaster((value & 2u) != 0, (value & 1u) != 0);
    }
    else
    {
        m_ports[port]->DriveMaster(true, true);
    }
}

void CSimGpu::WriteControl(uint32_t value)
{
    const uint32_t previous = Register(ControlRegister());
    m_registers.Set(ControlRegister(), value & ~kControlDataIn);
    if (!m_chip || (Register(DebugPortRegister()) & 1u))
    {
        return;
    }
    if (value & 1u)
    {
        m_chip->SetLines((value & 2u) == 0, (value & 4u) != 0, (value & 8u) != 0);
    }
    else if (previous & 1u)
    {
        m_chip->Release();
    }
}

uint32_t CSimGpu::ReadDword(uint64_t offset)
{
    // The EEPROM control register is read on every clock edge of a bit-banged
    // transfer; no window or other special register shares its offset, so it
    // is served first.
    if (offset == ControlRegister())
    {
        const bool dataIn = !m_chip || m_chip->DataOut();
        return (Register(offset) & ~kControlDataIn) | (dataIn ? kControlDataIn : 0);
    }
    const bool inRomWindow = IsLegacy() ? InRange(offset, kLegacyRomWindow, kRomWindowEnd)
                                        : InRange(offset, kIsoRomWindow, kRomWindowEnd);
    if (InRange(offset, kPromWindow, kPromWindowEnd) || inRomWindow)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < 4; ++i)
        {
            value |= static_cast<uint32_t>(WindowByte(offset + i)) << (8 * i);
        }
        return value;
    }
    if (InRange(offset, kGatedFirst, kGatedEnd) && !(Register(kGateRegister) & kGateBit))
    {
        return kGatedValue;
    }
    if (offset == kIdentRegister)
    {
        return ((m_config.architecture & 0x1F) << 24) | ((m_config.implementation & 0xF) << 20);
    }
    if (offset == kTimer)
    {
        return m_clock ? static_cast<uint32_t>(m_clock->NowNanoseconds() << 5) : 0;
    }
    if (offset == kStraps)
    {
        return m_config.straps;
    }
    if (offset == kSpeedometerReading)
    {
        const unsigned selected = Register(kSpeedometerSelect) & 0xFu;
        const auto found = m_speedometers.find(selected);
        const bool enabled = Register(kSpeedometerControl + 4ull * selected) & kSpeedometerEnable;
        return found != m_speedometers.end() && enabled ? found->second : 0;
    }
    if (const auto port = LinePortAt(offset))
    {
        return ReadLineRegister(*port);
    }
    const MutexUnit unit = Mutexes();
    if (unit.count != 0)
    {
        if (offset == unit.idRegister)
        {
            const uint8_t id = m_nextMutexId;
            m_nextMutexId = static_cast<uint8_t>(m_nextMutexId >= 0xFE ? 1 : m_nextMutexId + 1);
            return id;
        }
        if (InRange(offset, unit.first, unit.first + 4ull * unit.count))
        {
            return m_mutexes[(offset - unit.first) / 4].owner;
        }
    }
    if (!IsLegacy() && offset == kClockStatus)
    {
        const uint32_t stored = Register(offset);
        return (stored & ~0x30000u) | (m_config.clocksReady ? (1u << 16) : 0) |
               ((stored & 1u) ? (1u << 17) : 0);
    }
    if (!IsLegacy() && offset == kPllControl)
    {
        const uint32_t stored = Register(offset);
        const bool locked =
            !m_config.pllNeverLocks && ((stored & 1u) || (Register(kPllConfig) & (1u << 24)));
        return (stored & ~(1u << 17)) | (locked ? (1u << 17) : 0);
    }
    return Register(offset);
}

void CSimGpu::WriteDword(uint64_t offset, uint32_t value)
{
    if (offset == ControlRegister())
    {
        WriteControl(value);
        return;
    }
    if (const auto port = LinePortAt(offset))
    {
        WriteLineRegister(*port, value);
        return;
    }
    const MutexUnit unit = Mutexes();
    if (unit.count != 0 && (offset == unit.idRegister || offset == unit.releaseRegister))
    {
        return;
    }
    if (unit.count != 0 && InRange(offset, unit.first, unit.first + 4ull * unit.count))
    {
        Mutex& mutex = m_mutexes[(offset - unit.first) / 4];
        const auto id = static_cast<uint8_t>(value);
        if (id == 0)
        {
            mutex.owner = 0; // whoever holds it
        }
        else if (mutex.owner == 0)
        {
            mutex.owner = id;
        }
        return;
    }
    if (IsLegacy() && offset == kPromPins && m_config.promPinsStuck)
    {
        return;
    }
    if (offset == kIdentRegister || offset == kTimer || offset == kStraps)
    {
        return;
    }
    if (!IsLegacy() && offset == kPadCommit)
    {
        m_registers.Set(offset, value & ~1u);
        return;
    }
    m_registers.Set(offset, value);
}

uint32_t CSimGpu::ReadRegister(uint64_t offset, unsigned width)
{
    const uint64_t base = offset & ~3ull;
    const unsigned lane = static_cast<unsigned>(offset & 3);
    const uint32_t widthMask = width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1);
    if (lane + width <= 4)
    {
        return (ReadDword(base) >> (8 * lane)) & widthMask;
    }
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
    {
        const uint64_t at = offset + i;
        value |= ((ReadDword(at & ~3ull) >> (8 * (at & 3))) & 0xFFu) << (8 * i);
    }
    return value;
}

void CSimGpu::WriteRegister(uint64_t offset, unsigned width, uint32_t value)
{
    if (InRange(offset, kPromWindow, kPromWindowEnd))
    {
        if (m_chip)
        {
            for (unsigned i = 0; i < width; ++i)
            {
                m_chip->WriteWindowByte(static_cast<uint32_t>(offset + i - kPromWindow),
                                        static_cast<uint8_t>(value >> (8 * i)));
            }
        }
        return;
    }
    if (width == 4 && (offset & 3) == 0)
    {
        WriteDword(offset, value);
        return;
    }
    // A narrow write merges into the stored dword(s).
    for (unsigned i = 0; i < width;)
    {
        const uint64_t at = offset + i;
        const uint64_t base = at & ~3ull;
        uint32_t merged = Register(base);
        for (; i < width && ((offset + i) & ~3ull) == base; ++i)
        {
            const unsigned lane = static_cast<unsigned>((offset + i) & 3);
            merged =
                (merged & ~(0xFFu << (8 * lane))) | (((value >> (8 * i)) & 0xFFu) << (8 * lane));
        }
        WriteDword(base, merged);
    }
}

uint32_t CSimGpu::ReadBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width)
{
    if (bar != 0)
    {
        return 0xFFFFFFFF;
    }
    std::optional<uint32_t> value;
    for (const auto& hook : m_hooks)
    {
        value = hook->ReadRegister(offset, width);
        if (value)
        {
            break;
        }
    }
    if (!value)
    {
        value = ReadRegister(offset, width);
    }
    if (m_recording)
    {
        m_accesses.push_back({false, offset, width, *value});
    }
    return *value;
}

void CSimGpu::WriteBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width, uint32_t value)
{
    if (bar != 0)
    {
        return;
    }
    if (m_recording)
    {
        m_accesses.push_back({true, offset, width, value});
    }
    for (const auto& hook : m_hooks)
    {
        if (hook->WriteRegister(offset, width, value))
        {
            return;
        }
    }
    WriteRegister(offset, width, value);
}
