// Machine-file readers of the simulated GPU and of the parts behind it.
//
//   "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6,
//             "architecture": "0x0B", "implementation": 0, "straps": "0x400000",
//             "clocks_ready": true, "pll_never_locks": false,
//             "prom_pins_stuck": false,
//             "registers": {"0xE4E8": "0x10000000"},
//             "speedometers": ["0x1200", "0x1300"],
//             "eeprom": {...},
//             "i2c": [{"port": 1, "hold_clock_low": false, "slaves": [...]}]}

#include "hw/catalogue/AdapterCatalogue.h"
#include "sim/ChipStore.h"
#include "sim/SimGpu.h"
#include "sim/SimI2CSlaves.h"
#include "sim/SimPartReaders.h"

#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace
{
std::map<std::string, SimEepromChipReader>& ChipReaders()
{
    static std::map<std::string, SimEepromChipReader> readers;
    return readers;
}

std::map<std::string, SimI2CSlaveReader>& SlaveReaders()
{
    static std::map<std::string, SimI2CSlaveReader> readers;
    return readers;
}

std::string KindOf(const nlohmann::json& section, const std::string& what)
{
    if (!section.is_object() || !section.contains("kind") || !section["kind"].is_string())
    {
        throw std::runtime_error(what + " needs a \"kind\"");
    }
    return section["kind"].get<std::string>();
}

uint8_t ReadByteValue(const nlohmann::json& value, const std::string& what)
{
    const uint64_t number = SimJsonNumber(value, what);
    if (number > 0xFF)
    {
        throw std::runtime_error("\"" + what + "\" is out of range");
    }
    return static_cast<uint8_t>(number);
}

uint8_t ReadAddress(const nlohmann::json& section, uint8_t fallback)
{
    return section.contains("address") ? ReadByteValue(section["address"], "address") : fallback;
}

std::shared_ptr<ISimEepromChip> ReadPlainEeprom(const nlohmann::json& section,
                                                SimLoadContext& context,
                                                const std::string& defaultName)
{
    return std::make_shared<CSimPlainEeprom>(section.value("name", defaultName),
                                             ReadSimChipContents(section, context));
}

void ReadSlaveCommon(CSimI2CByteSlave& slave, const nlohmann::json& section)
{
    slave.SetHangAfterAddress(section.value("hang_after_address", false));
}

std::shared_ptr<ISimI2CSlave> ReadDisplaySlave(const nlohmann::json& section, SimLoadContext&)
{
    auto slave = std::make_shared<CSimDisplaySlave>(section.value("name", std::string("display")),
                                                    ReadAddress(section, 0xA0));
    ReadSlaveCommon(*slave, section);
    const nlohmann::json bytes = section.value("bytes", nlohmann::json::array());
    if (!bytes.is_array() || bytes.size() > slave->Bytes().size())
    {
        throw std::runtime_error("\"bytes\" holds at most 256 values");
    }
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        slave->Bytes()[i] = ReadByteValue(bytes[i], "bytes");
    }
    if (section.contains("refuse_from"))
    {
        slave->SetRefuseFrom(
            static_cast<int>(SimJsonNumber(section["refuse_from"], "refuse_from")));
    }
    return slave;
}

std::shared_ptr<ISimI2CSlave> ReadRegulatorSlave(const nlohmann::json& section, SimLoadContext&)
{
    auto slave = std::make_shared<CSimRegulatorSlave>(
        section.value("name", std::string("regulator")), ReadAddress(section, 0xE0));
    ReadSlaveCommon(*slave, section);
    const nlohmann::json registers = section.value("registers", nlohmann::json::object());
    for (const auto& [reg, value] : registers.items())
    {
        slave->Registers()[ReadByteValue(nlohmann::json(reg), "register")] =
            ReadByteValue(value, "register value");
    }
    return slave;
}

std::shared_ptr<ISimDevice> ReadGpu(const nlohmann::json& section, SimLoadContext& context)
{
    if (!context.function)
    {
        throw std::runtime_error("a \"gpu\" model belongs inside a PCI function");
    }
    const uint64_t kind = SimJsonRequiredNumber(section, "device_kind");
    if (!TraitsOfDeviceKind(static_cast<int64_t>(kind)).simulatedGpu)
    {
        throw std::runtime_error("\"device_kind\" must be 5-13");
    }
    SimGpuConfig config = SimGpuConfigForKind(static_cast<uint32_t>(kind));
    config.architecture =
        static_cast<uint32_t>(SimJsonNumber(section, "architecture", config.architecture) & 0x1F);
    config.implementation = static_cast<uint32_t>(
        SimJsonNumber(section, "implementation", config.implementation) & 0xF);
    config.straps = static_cast<uint32_t>(SimJsonNumber(section, "straps", 0));
    config.clocksReady = section.value("clocks_ready", true);
    config.pllNeverLocks = section.value("pll_never_locks", false);
    config.promPinsStuck = section.value("prom_pins_stuck", false);
    const std::string name = section.value("name", std::string("gpu"));
    auto gpu = std::make_shared<CSimGpu>(name, *context.function, config);

    const nlohmann::json registers = section.value("registers", nlohmann::json::object());
    for (const auto& [offset, value] : registers.items())
    {
        gpu->SetRegister(SimJsonNumber(nlohmann::json(offset), "register offset"),
                         static_cast<uint32_t>(SimJsonNumber(value, "register value")));
    }
    const nlohmann::json speedometers = section.value("speedometers", nlohmann::json::array());
    if (!speedometers.is_array() || speedometers.size() > 16)
    {
        throw std::runtime_error("\"speedometers\" holds at most 16 readings");
    }
    for (size_t i = 0; i < speedometers.size(); ++i)
    {
        gpu->SetSpeedometerReading(static_cast<unsigned>(i), static_cast<uint32_t>(SimJsonNumber(
                                                                 speedometers[i], "speedometers")));
    }
    if (section.contains("eeprom"))
    {
        gpu->AttachChip(ReadSimEepromChip(section["eeprom"], context, name + " eeprom"));
    }
    const nlohmann::json ports = section.value("i2c", nlohmann::json::array());
    if (!ports.is_array())
    {
        throw std::runtime_error("\"i2c\" must be a list");
    }
    for (const nlohmann::json& port : ports)
    {
        const uint64_t number = SimJsonRequiredNumber(port, "port");
        if (number >= CSimGpu::kPortCount)
        {
            throw std::runtime_error("\"port\" must be 0-9");
        }
        CSimI2CBus& bus = gpu->Port(static_cast<unsigned>(number));
        for (const nlohmann::json& slave : port.value("slaves", nlohmann::json::array()))
        {
            bus.AddSlave(ReadSimI2CSlave(slave, context));
        }
        if (port.value("hold_clock_low", false))
        {
            bus.HoldClockLow(true);
        }
    }
    return gpu;
}

void RegisterBuiltinParts()
{
    RegisterSimEepromChipKind("plain", ReadPlainEeprom);
    RegisterSimI2CSlaveKind("display", ReadDisplaySlave);
    RegisterSimI2CSlaveKind("regulator", ReadRegulatorSlave);
}
} // namespace

void RegisterSimEepromChipKind(const std::string& kind, SimEepromChipReader reader)
{
    ChipReaders()[kind] = std::move(reader);
}

void RegisterSimI2CSlaveKind(const std::string& kind, SimI2CSlaveReader reader)
{
    SlaveReaders()[kind] = std::move(reader);
}

std::shared_ptr<ISimEepromChip> ReadSimEepromChip(const nlohmann::json& section,
                                                  SimLoadContext& context,
                                                  const std::string& defaultName)
{
    const std::string kind = KindOf(section, "an \"eeprom\" section");
    const auto found = ChipReaders().find(kind);
    if (found == ChipReaders().end())
    {
        throw std::runtime_error("unknown EEPROM kind \"" + kind + "\"");
    }
    return found->second(section, context, defaultName);
}

std::shared_ptr<ISimI2CSlave> ReadSimI2CSlave(const nlohmann::json& section,
                                              SimLoadContext& context)
{
    const std::string kind = KindOf(section, "an I2C slave");
    const auto found = SlaveReaders().find(kind);
    if (found == SlaveReaders().end())
    {
        throw std::runtime_error("unknown I2C slave kind \"" + kind + "\"");
    }
    return found->second(section, context);
}

std::shared_ptr<CSimChipStore> ReadSimChipContents(const nlohmann::json& section,
                                                   SimLoadContext& context)
{
    const uint64_t size = SimJsonRequiredNumber(section, "size");
    if (size == 0 || size > 0x10000000)
    {
        throw std::runtime_error("\"size\" must be 1 byte to 256 MiB");
    }
    const uint64_t fill = SimJsonNumber(section, "fill", 0xFF);
    if (fill > 0xFF)
    {
        throw std::runtime_error("\"fill\" is out of range");
    }
    const auto fillByte = static_cast<uint8_t>(fill);
    std::shared_ptr<CSimChipStore> contents =
        section.contains("file")
            ? std::make_shared<CSimChipStore>(
                  context.ResolvePath(section["file"].get<std::string>()), size, fillByte)
            : std::make_shared<CSimChipStore>(size, fillByte);
    if (section.contains("image"))
    {
        const std::string path = context.ResolvePath(section["image"].get<std::string>());
        std::ifstream file(path, std::ios::binary);
        if (!file)
        {
            throw std::runtime_error("cannot open \"image\" " + path);
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                         std::istreambuf_iterator<char>()};
        if (bytes.size() > size)
        {
            throw std::runtime_error("\"image\" " + path + " is larger than the EEPROM");
        }
        contents->Write(0, bytes);
    }
    return contents;
}

void RegisterSimGpuModel(CSimModelRegistry& registry)
{
    RegisterBuiltinParts();
    registry.Register("gpu", ReadGpu);
}
