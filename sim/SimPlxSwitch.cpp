// Machine-file form, as the "model" of the switch's upstream function:
//
//   "model": {"kind": "plx8747", "name": "plx", "revision": "0xCA",
//             "busy_polls": 2, "stuck_busy": false, "debug_control": "0x4000000",
//             "eeprom": {"size": "0x1000", "file": "plx.eeprom"}}

#include "sim/SimPlxSwitch.h"

#include "sim/MachineFile.h"
#include "sim/SimMachine.h"
#include "sim/SimPartReaders.h"
#include "sim/SimPciFunction.h"

#include <array>
#include <stdexcept>

namespace
{
constexpr uint32_t kControl = 0x260;
constexpr uint32_t kData = 0x264;
constexpr uint32_t kPortControl = 0x760;
constexpr uint32_t kPortControlConfigPath = 1u << 16;
constexpr uint32_t kStart = 1u << 18;
constexpr uint32_t kConfigMemoryWindow = 0x20;
constexpr uint32_t kConfigRevision = 0xB7C;
constexpr uint32_t kConfigDebugControl = 0xF60;
constexpr uint8_t kConfigPathRevision = 0xCA;

constexpr uint32_t kCommandWriteStatus = 1;
constexpr uint32_t kCommandWrite = 2;
constexpr uint32_t kCommandRead = 3;
constexpr uint32_t kCommandWriteDisable = 4;
constexpr uint32_t kCommandReadStatus = 5;
constexpr uint32_t kCommandWriteEnable = 6;
// Status bits that a write-status command sets: WPEN, BP1, BP0.
constexpr uint8_t kStatusWritable = 0x8C;

bool IsControllerOffset(uint32_t offset)
{
    return offset >= kControl && offset < kData + 4;
}
} // namespace

CSimPlxSwitch::CSimPlxSwitch(std::string name, CSimPciFunction& function,
                             const SimPlxConfig& config, std::shared_ptr<CSimChipStore> eeprom)
    : m_name(std::move(name)), m_function(function), m_config(config),
      m_eeprom(eeprom ? std::move(eeprom) : std::make_shared<CSimChipStore>(kEepromSize))
{
    if (m_eeprom->Size() < 4 || m_eeprom->Size() % 4 != 0)
    {
        throw std::runtime_error("the PLX switch's EEPROM must hold whole dwords");
    }
    m_function.Store(kConfigRevision, 4, config.revision);
    m_function.SetWritableMask(kConfigRevision, 4, 0);
    m_function.Store(kConfigDebugControl, 4, config.debugControl);
    m_function.SetWritableMask(kConfigDebugControl, 4, 0xFFFFFFFF);
    m_function.SetWritableMask(kConfigMemoryWindow, 4, 0xFFF0FFF0);
}

void CSimPlxSwitch::Attach(CSimMachine& machine)
{
    m_machine = &machine;
    m_function.AttachModel(this);
}

void CSimPlxSwitch::Count(const std::string& name)
{
    if (m_machine)
    {
        m_machine->Counters().Add(name);
    }
}

void CSimPlxSwitch::SetRegister(uint32_t offset, uint32_t value)
{
    m_registers[offset & ~3u] = value;
}

uint32_t CSimPlxSwitch::Register(uint32_t offset) const
{
    const auto found = m_registers.find(offset & ~3u);
    return found == m_registers.end() ? 0 : found->second;
}

bool CSimPlxSwitch::IsConfigPathOpen() const
{
    return m_config.revision >= kConfigPathRevision &&
           (Register(kPortControl) & kPortControlConfigPath) != 0;
}

uint8_t CSimPlxSwitch::Status() const
{
    return static_cast<uint8_t>((m_statusBits & kStatusWritable) | (m_writeEnabled ? 2 : 0) |
                                (IsBusy() ? 1 : 0));
}

uint32_t CSimPlxSwitch::ArrayDword(uint32_t index) const
{
    const size_t at = (static_cast<size_t>(index) * 4) % m_eeprom->Size();
    uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i)
    {
        value |= static_cast<uint32_t>(m_eeprom->At(at + i)) << (8 * i);
    }
    return value;
}

void CSimPlxSwitch::SetArrayDword(uint32_t index, uint32_t value)
{
    const size_t at = (static_cast<size_t>(index) * 4) % m_eeprom->Size();
    const std::array<uint8_t, 4> bytes{
        static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
        static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    m_eeprom->Write(at, bytes);
}

bool CSimPlxSwitch::IsProtected(uint32_t index) const
{
    // BP1:BP0 protect the upper quarter, the upper half or all of the array.
    const unsigned blocks = (m_statusBits >> 2) & 3;
    if (blocks == 0)
    {
        return false;
    }
    const size_t size = m_eeprom->Size();
    const size_t protectedFrom = blocks == 1 ? size - size / 4 : (blocks == 2 ? size / 2 : 0);
    return (static_cast<size_t>(index) * 4) % size >= protectedFrom;
}

void CSimPlxSwitch::RunCommand(uint32_t command, uint32_t index)
{
    switch (command)
    {
    case kCommandRead:
        m_data = ArrayDword(index);
        Count("plx eeprom reads");
        break;
    case kCommandWrite:
        if (m_writeEnabled && !IsProtected(index))
        {
            SetArrayDword(index, m_data);
            Count("plx eeprom writes");
        }
        m_writeEnabled = false;
        break;
    case kCommandWriteEnable:
        m_writeEnabled = true;
        break;
    case kCommandWriteDisable:
        m_writeEnabled = false;
        break;
    case kCommandReadStatus:
        m_control = (m_control & 0x00FFFFFF) | static_cast<uint32_t>(Status()) << 24;
        break;
    case kCommandWriteStatus:
        if (m_writeEnabled)
        {
            m_statusBits = static_cast<uint8_t>(m_data & kStatusWritable);
        }
        m_writeEnabled = false;
        break;
    default:
        break;
    }
}

void CSimPlxSwitch::WriteControl(uint32_t value)
{
    m_controlWrites.push_back(value);
    if (IsBusy())
    {
        Count("plx commands while busy");
        return;
    }
    m_control = value & ~kStart;
    if ((value & kStart) == 0)
    {
        return;
    }
    const uint32_t index = (value & 0x1FFF) | ((value >> 20) & 1) << 13;
    RunCommand((value >> 13) & 7, index);
    m_busyLeft = m_config.busyPolls;
    m_stuck = m_config.stuckBusy;
}

uint32_t CSimPlxSwitch::ReadDword(uint32_t offset)
{
    switch (offset)
    {
    case kControl:
    {
        const bool busy = IsBusy();
        if (m_busyLeft > 0)
        {
            --m_busyLeft;
        }
        return m_control | (busy ? kStart : 0);
    }
    case kData:
        return m_data;
    default:
        return Register(offset);
    }
}

void CSimPlxSwitch::WriteDword(uint32_t offset, uint32_t value)
{
    switch (offset)
    {
    case kControl:
        WriteControl(value);
        return;
    case kData:
        m_data = value;
        return;
    default:
        m_registers[offset] = value;
    }
}

uint32_t CSimPlxSwitch::ReadBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width)
{
    if (bar != 0 || offset > 0xFFFFFFFFull)
    {
        return 0xFFFFFFFF;
    }
    const uint32_t at = static_cast<uint32_t>(offset);
    const uint32_t dword = ReadDword(at & ~3u);
    const uint32_t shifted = dword >> (8 * (at & 3));
    return width >= 4 ? shifted : shifted & ((1u << (8 * width)) - 1);
}

void CSimPlxSwitch::WriteBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width,
                             uint32_t value)
{
    if (bar != 0 || offset > 0xFFFFFFFFull)
    {
        return;
    }
    const uint32_t at = static_cast<uint32_t>(offset);
    if (width == 4 && (at & 3) == 0)
    {
        WriteDword(at, value);
        return;
    }
    // A narrow write merges into the stored dword.
    const uint32_t base = at & ~3u;
    const unsigned shift = 8 * (at & 3);
    const uint32_t mask = (width >= 4 ? 0xFFFFFFFFu : ((1u << (8 * width)) - 1)) << shift;
    const uint32_t current =
        base == kControl ? m_control : (base == kData ? m_data : Register(base));
    WriteDword(base, (current & ~mask) | ((value << shift) & mask));
}

std::optional<uint32_t> CSimPlxSwitch::ReadConfig(CSimPciFunction&, uint32_t offset, unsigned width)
{
    if (!IsControllerOffset(offset) || !IsConfigPathOpen())
    {
        return std::nullopt;
    }
    const uint32_t shifted = ReadDword(offset & ~3u) >> (8 * (offset & 3));
    return width >= 4 ? shifted : shifted & ((1u << (8 * width)) - 1);
}

void CSimPlxSwitch::OnConfigWrite(CSimPciFunction&, uint32_t offset, unsigned width, uint32_t value)
{
    if (!IsControllerOffset(offset) || !IsConfigPathOpen() || width != 4 || (offset & 3) != 0)
    {
        return;
    }
    WriteDword(offset, value);
}

// ---------------------------------------------------------------------------
// Machine file

namespace
{
std::shared_ptr<ISimDevice> ReadPlx(const nlohmann::json& section, SimLoadContext& context)
{
    if (!context.function)
    {
        throw std::runtime_error("a \"plx8747\" model belongs inside a PCI function");
    }
    SimPlxConfig config;
    const uint64_t revision = SimJsonNumber(section, "revision", config.revision);
    if (revision > 0xFF)
    {
        throw std::runtime_error("\"revision\" is out of range");
    }
    config.revision = static_cast<uint8_t>(revision);
    const uint64_t polls = SimJsonNumber(section, "busy_polls", config.busyPolls);
    if (polls > 1000000)
    {
        throw std::runtime_error("\"busy_polls\" is out of range");
    }
    config.busyPolls = static_cast<uint32_t>(polls);
    config.stuckBusy = section.value("stuck_busy", false);
    config.debugControl =
        static_cast<uint32_t>(SimJsonNumber(section, "debug_control", config.debugControl));
    std::shared_ptr<CSimChipStore> eeprom;
    if (section.contains("eeprom"))
    {
        eeprom = ReadSimChipContents(section["eeprom"], context);
        if (eeprom->Size() % 4 != 0 || eeprom->Size() > 0x10000)
        {
            throw std::runtime_error(
                "the PLX switch's \"eeprom\" holds whole dwords, at most 64 KiB");
        }
    }
    return std::make_shared<CSimPlxSwitch>(section.value("name", std::string("plx")),
                                           *context.function, config, std::move(eeprom));
}
} // namespace

void RegisterSimPlxModel(CSimModelRegistry& registry)
{
    registry.Register("plx8747", ReadPlx);
}
