#include "sim/RegisterFileModel.h"

#include "sim/MachineFile.h"
#include "sim/SimMachine.h"

#include <stdexcept>

CSimRegisterFile::CSimRegisterFile(std::string name, CSimPciFunction& function, int bar)
    : m_name(std::move(name)), m_function(function), m_bar(bar)
{
}

void CSimRegisterFile::SetRegister32(uint64_t offset, uint32_t value)
{
    for (unsigned i = 0; i < 4; ++i)
    {
        m_bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t CSimRegisterFile::Register32(uint64_t offset) const
{
    uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i)
    {
        const auto found = m_bytes.find(offset + i);
        value |= static_cast<uint32_t>(found == m_bytes.end() ? 0 : found->second) << (8 * i);
    }
    return value;
}

void CSimRegisterFile::Attach(CSimMachine&)
{
    m_function.AttachModel(this);
}

uint32_t CSimRegisterFile::ReadBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width)
{
    if (bar != m_bar)
    {
        return 0xFFFFFFFF;
    }
    uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i)
    {
        const auto found = m_bytes.find(offset + i);
        value |= static_cast<uint32_t>(found == m_bytes.end() ? 0 : found->second) << (8 * i);
    }
    return value;
}

void CSimRegisterFile::WriteBar(CSimPciFunction&, int bar, uint64_t offset, unsigned width,
                                uint32_t value)
{
    if (bar != m_bar)
    {
        return;
    }
    for (unsigned i = 0; i < width; ++i)
    {
        m_bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

namespace
{
// {"kind": "registers", "name": "...", "bar": 0, "values": {"0x0": "0x12345678"}}
std::shared_ptr<ISimDevice> ReadRegisterFile(const nlohmann::json& section, SimLoadContext& context)
{
    if (!context.function)
    {
        throw std::runtime_error("a \"registers\" model belongs inside a PCI function");
    }
    const std::string name = section.value("name", std::string("registers"));
    const uint64_t bar = SimJsonNumber(section, "bar", 0);
    if (bar > 5)
    {
        throw std::runtime_error("\"bar\" is out of range");
    }
    auto model = std::make_shared<CSimRegisterFile>(name, *context.function, static_cast<int>(bar));
    const nlohmann::json values = section.value("values", nlohmann::json::object());
    for (const auto& [offset, value] : values.items())
    {
        model->SetRegister32(SimJsonNumber(nlohmann::json(offset), "register offset"),
                             static_cast<uint32_t>(SimJsonNumber(value, "register value")));
    }
    return model;
}
} // namespace

void RegisterRegisterFileModel(CSimModelRegistry& registry)
{
    registry.Register("registers", ReadRegisterFile);
}
