// Machine-file form, in "devices" (the GPU must be declared before) or as the
// "model" of the bridge's own PCI function when the GPU comes earlier:
//
//   {"kind": "zx22", "name": "zx22", "function": "00:02.0", "gpu": "gpu0",
//    "window": 7, "debug": 1, "straps": "0x40", "placement": "0x401",
//    "eeprom": {"kind": "plain", "size": "0x1000", "file": "zx22.rom"}}

#include "sim/SimZX22Bridge.h"

#include "sim/MachineFile.h"
#include "sim/SimGpu.h"
#include "sim/SimMachine.h"
#include "sim/SimPartReaders.h"
#include "sim/SimPciFunction.h"

#include <cstdio>
#include <stdexcept>

namespace
{
constexpr uint32_t kIds = 0x0000;
constexpr uint32_t kBusNumbers = 0x0018;
constexpr uint32_t kDebug = 0x0210;
constexpr uint32_t kPlacement = 0x0600;
constexpr uint32_t kWindowOffset = 0x0604;
constexpr uint32_t kStraps = 0x0B00;
constexpr uint32_t kControl = 0x0B04;
constexpr uint32_t kROMWindow = 0x1000;
constexpr uint32_t kROMWindowEnd = 0x2000;
constexpr uint32_t kControlDataIn = 1u << 4;
constexpr uint32_t kWindowShift = 14;
constexpr uint32_t kWindowIndexMask = 0x3FF;

class CWindowHook : public ISimGpuRegisterHook
{
public:
    explicit CWindowHook(CSimZX22Bridge& bridge) : m_bridge(bridge) {}
    std::optional<uint32_t> ReadRegister(uint64_t offset, unsigned width) override
    {
        return m_bridge.ReadWindow(offset, width);
    }
    bool WriteRegister(uint64_t offset, unsigned width, uint32_t value) override
    {
        return m_bridge.WriteWindow(offset, width, value);
    }

private:
    CSimZX22Bridge& m_bridge;
};
} // namespace

CSimZX22Bridge::CSimZX22Bridge(std::string name, CSimPciFunction& function, CSimGpu& gpu,
                               const SimZX22Config& config)
    : m_name(std::move(name)), m_function(function), m_gpu(gpu), m_config(config),
      m_window(config.window & kWindowIndexMask)
{
    m_registers[kDebug] = config.debug;
    m_registers[kStraps] = config.straps;
}

CSimZX22Bridge::~CSimZX22Bridge() = default;

void CSimZX22Bridge::Attach(CSimMachine&)
{
    const uint32_t top = static_cast<uint32_t>(m_gpu.Function().BarAddress(0)) & 0xFF000000;
    m_registers[kPlacement] =
        top | m_window << kWindowShift | (m_config.placementSettings & 0x3FFF);
    m_registers[kWindowOffset] = m_window << kWindowShift;
    m_function.AttachModel(this);
    m_gpu.AddHook(std::make_shared<CWindowHook>(*this));
}

void CSimZX22Bridge::SetRegister(uint32_t offset, uint32_t value)
{
    m_registers[offset & ~3u] = value;
}

uint32_t CSimZX22Bridge::Register(uint32_t offset) const
{
    const auto found = m_registers.find(offset & ~3u);
    return found == m_registers.end() ? 0 : found->second;
}

std::optional<uint32_t> CSimZX22Bridge::WindowOffset(uint64_t gpuOffset, unsigned width) const
{
    const uint64_t start = static_cast<uint64_t>(m_window) * kWindowSize;
    if (gpuOffset < start || gpuOffset + width > start + kWindowSize)
    {
        return std::nullopt;
    }
    return static_cast<uint32_t>(gpuOffset - start);
}

uint8_t CSimZX22Bridge::ROMByte(uint32_t offset) const
{
    if (!m_chip || offset >= m_chip->Contents().Size())
    {
        return 0xFF;
    }
    return m_chip->Contents().At(offset);
}

uint32_t CSimZX22Bridge::ReadDword(uint32_t offset)
{
    switch (offset)
    {
    case kIds:
        return m_function.Stored(0x00, 4);
    case kBusNumbers:
        return m_function.Stored(0x18, 4);
    case kControl:
    {
        const bool dataIn = !m_chip || m_chip->DataOut();
        return (Register(kControl) & ~kControlDataIn) | (dataIn ? kControlDataIn : 0);
    }
    default:
        return Register(offset);
    }
}

void CSimZX22Bridge::WriteControl(uint32_t value)
{
    const uint32_t previous = Register(kControl);
    m_registers[kControl] = value & ~kControlDataIn;
    if (!m_chip || (Register(kDebug) & 1u))
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

void CSimZX22Bridge::WriteDword(uint32_t offset, uint32_t value)
{
    switch (offset)
    {
    case kIds:
    case kBusNumbers:
        return; // read-only mirrors of configuration space
    case kControl:
        WriteControl(value);
        return;
    case kPlacement:
        m_registers[kPlacement] = value;
        m_window = (value >> kWindowShift) & kWindowIndexMask;
        return;
    default:
        m_registers[offset] = value;
    }
}

std::optional<uint32_t> CSimZX22Bridge::ReadWindow(uint64_t gpuOffset, unsigned width)
{
    const std::optional<uint32_t> offset = WindowOffset(gpuOffset, width);
    if (!offset)
    {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
    {
        const uint32_t at = *offset + i;
        const uint8_t byte = at >= kROMWindow && at < kROMWindowEnd
                                 ? ROMByte(at - kROMWindow)
                                 : static_cast<uint8_t>(ReadDword(at & ~3u) >> (8 * (at & 3)));
        value |= static_cast<uint32_t>(byte) << (8 * i);
    }
    return value;
}

bool CSimZX22Bridge::WriteWindow(uint64_t gpuOffset, unsigned width, uint32_t value)
{
    const std::optional<uint32_t> offset = WindowOffset(gpuOffset, width);
    if (!offset)
    {
        return false;
    }
    if (*offset >= kROMWindow && *offset < kROMWindowEnd)
    {
        for (unsigned i = 0; i < width && *offset + i < kROMWindowEnd; ++i)
        {
            if (m_chip)
            {
                m_chip->WriteWindowByte(*offset + i - kROMWindow,
                                        static_cast<uint8_t>(value >> (8 * i)));
            }
        }
        return true;
    }
    if (width == 4 && (*offset & 3) == 0)
    {
        WriteDword(*offset, value);
        return true;
    }
    // A narrow write merges into the stored dword.
    const uint32_t base = *offset & ~3u;
    uint32_t merged = Register(base);
    for (unsigned i = 0; i < width && ((*offset + i) & ~3u) == base; ++i)
    {
        const unsigned lane = (*offset + i) & 3;
        merged = (merged & ~(0xFFu << (8 * lane))) | ((value >> (8 * i)) & 0xFFu) << (8 * lane);
    }
    WriteDword(base, merged);
    return true;
}

// ---------------------------------------------------------------------------
// Machine file

namespace
{
CSimPciFunction& FunctionAt(CSimMachine& machine, const std::string& address)
{
    unsigned bus = 0;
    unsigned device = 0;
    unsigned function = 0;
    char tail = 0;
    if (std::sscanf(address.c_str(), "%x:%x.%x%c", &bus, &device, &function, &tail) != 3 ||
        bus > 0xFF || device > 0x1F || function > 7)
    {
        throw std::runtime_error("\"function\" must be \"BB:DD.F\"");
    }
    CSimPciFunction* found = machine.FindFunction(
        static_cast<uint8_t>(bus), static_cast<uint8_t>(device), static_cast<uint8_t>(function));
    if (!found)
    {
        throw std::runtime_error("\"function\" " + address + " is not declared");
    }
    return *found;
}

std::shared_ptr<ISimDevice> ReadZX22(const nlohmann::json& section, SimLoadContext& context)
{
    CSimPciFunction& function =
        context.function ? *context.function
                         : FunctionAt(context.machine, section.value("function", std::string()));
    const std::string gpuName = section.value("gpu", std::string());
    auto* gpu = dynamic_cast<CSimGpu*>(context.machine.FindDevice(gpuName));
    if (!gpu)
    {
        throw std::runtime_error("\"gpu\" \"" + gpuName + "\" names no GPU model declared before");
    }
    SimZX22Config config;
    config.window = static_cast<uint32_t>(SimJsonNumber(section, "window", config.window));
    if (config.window == 0 || config.window > kWindowIndexMask ||
        (static_cast<uint64_t>(config.window) + 1) * CSimZX22Bridge::kWindowSize >
            CSimGpu::kBarSize)
    {
        throw std::runtime_error("\"window\" lies outside the GPU's BAR0");
    }
    config.debug = static_cast<uint32_t>(SimJsonNumber(section, "debug", config.debug));
    config.straps = static_cast<uint32_t>(SimJsonNumber(section, "straps", config.straps));
    config.placementSettings =
        static_cast<uint32_t>(SimJsonNumber(section, "placement", config.placementSettings));
    const std::string name = section.value("name", std::string("zx22"));
    auto bridge = std::make_shared<CSimZX22Bridge>(name, function, *gpu, config);
    if (section.contains("eeprom"))
    {
        bridge->AttachChip(ReadSimEepromChip(section["eeprom"], context, name + " eeprom"));
    }
    return bridge;
}
} // namespace

void RegisterSimZX22Model(CSimModelRegistry& registry)
{
    registry.Register("zx22", ReadZX22);
}
