#include "sim/MachineFile.h"

#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "sim/AcpiTableBuilder.h"
#include "sim/SimMachine.h"
#include "sim/SimPlatform.h"

#include <fstream>
#include <iomanip>
#include <iterator>
#include <sstream>
#include <stdexcept>

using nlohmann::json;

std::string SimLoadContext::ResolvePath(const std::string& path) const
{
    const std::filesystem::path given(path);
    return given.is_absolute() ? path : (baseDirectory / given).string();
}

void CSimModelRegistry::Register(const std::string& kind, SimModelReader reader)
{
    m_readers[kind] = std::move(reader);
}

const SimModelReader* CSimModelRegistry::Find(const std::string& kind) const
{
    const auto found = m_readers.find(kind);
    return found == m_readers.end() ? nullptr : &found->second;
}

const CSimModelRegistry& CSimModelRegistry::Builtin()
{
    static const CSimModelRegistry registry = []
    {
        CSimModelRegistry built;
        RegisterBuiltinSimModels(built);
        return built;
    }();
    return registry;
}

uint64_t SimJsonNumber(const json& value, const std::string& what)
{
    if (value.is_number_unsigned())
    {
        return value.get<uint64_t>();
    }
    if (value.is_number_integer() && value.get<int64_t>() >= 0)
    {
        return static_cast<uint64_t>(value.get<int64_t>());
    }
    if (value.is_string())
    {
        const std::string text = value.get<std::string>();
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const std::string digits = hex ? text.substr(2) : text;
        size_t used = 0;
        try
        {
            const uint64_t number = std::stoull(digits, &used, hex ? 16 : 10);
            if (used == digits.size() && !digits.empty() && digits[0] != '-' && digits[0] != '+')
            {
                return number;
            }
        }
        catch (const std::exception&)
        {
        }
    }
    throw std::runtime_error(what + " is not a number: " + value.dump());
}

uint64_t SimJsonNumber(const json& object, const std::string& key, uint64_t fallback)
{
    return object.contains(key) ? SimJsonNumber(object.at(key), key) : fallback;
}

uint64_t SimJsonRequiredNumber(const json& object, const std::string& key)
{
    if (!object.is_object() || !object.contains(key))
    {
        throw std::runtime_error("missing \"" + key + "\"");
    }
    return SimJsonNumber(object.at(key), key);
}

namespace
{
template <class T> T Narrow(uint64_t value, uint64_t limit, const std::string& what)
{
    if (value > limit)
    {
        throw std::runtime_error(what + " is out of range: " + std::to_string(value));
    }
    return static_cast<T>(value);
}

// "BB:DD.F" in hexadecimal.
void ParseAddress(const json& section, uint8_t& bus, uint8_t& device, uint8_t& function)
{
    if (!section.contains("address") || !section.at("address").is_string())
    {
        throw std::runtime_error("a PCI function needs \"address\": \"BB:DD.F\"");
    }
    const std::string text = section.at("address").get<std::string>();
    unsigned b = 0;
    unsigned d = 0;
    unsigned f = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%x:%x.%x%c", &b, &d, &f, &tail) != 3 || b > 0xFF || d > 31 ||
        f > 7)
    {
        throw std::runtime_error("bad PCI address \"" + text + "\"");
    }
    bus = static_cast<uint8_t>(b);
    device = static_cast<uint8_t>(d);
    function = static_cast<uint8_t>(f);
}

ESimBarKind ParseBarKind(const json& bar)
{
    const std::string type = bar.value("type", std::string("mem32"));
    if (type == "mem32")
    {
        return ESimBarKind::Memory32;
    }
    if (type == "mem64")
    {
        return ESimBarKind::Memory64;
    }
    if (type == "io")
    {
        return ESimBarKind::Io;
    }
    throw std::runtime_error("unknown BAR type \"" + type + "\"");
}

// A BAR as hardware can have it: a size that is a power of two of at least
// 16 bytes, an address aligned to that size, and a 32-bit memory BAR wholly
// below 4 GiB. The error names the function and the BAR.
void ValidateBar(uint8_t bus, uint8_t device, uint8_t function, int index, const SimBar& bar)
{
    std::ostringstream where;
    where << "PCI function " << std::uppercase << std::hex << std::setfill('0') << std::setw(2)
          << unsigned{bus} << ":" << std::setw(2) << unsigned{device} << "." << unsigned{function}
          << " BAR" << std::dec << index << ": ";
    const auto hex = [](uint64_t value) { return ToHexString64(value, 1, HexCase::Lower); };
    if (bar.size < 16 || (bar.size & (bar.size - 1)) != 0)
    {
        throw std::runtime_error(where.str() + "size " + hex(bar.size) +
                                 " is not a power of two of at least 16 bytes");
    }
    if ((bar.address & (bar.size - 1)) != 0)
    {
        throw std::runtime_error(where.str() + "address " + hex(bar.address) +
                                 " is not aligned to its size " + hex(bar.size));
    }
    if (bar.kind == ESimBarKind::Memory32 &&
        (bar.address >= 0x100000000ull || bar.size > 0x100000000ull - bar.address))
    {
        throw std::runtime_error(where.str() +
                                 "a 32-bit memory BAR must lie below 4 GiB (address " +
                                 hex(bar.address) + ", size " + hex(bar.size) + ")");
    }
}

std::vector<uint8_t> ParseBytes(const json& list, const std::string& what)
{
    std::vector<uint8_t> bytes;
    if (!list.is_array())
    {
        throw std::runtime_error(what + " must be a list of bytes");
    }
    for (const json& item : list)
    {
        bytes.push_back(Narrow<uint8_t>(SimJsonNumber(item, what), 0xFF, what));
    }
    return bytes;
}

std::shared_ptr<ISimDevice> ReadModel(const json& section, SimLoadContext& context,
                                      const CSimModelRegistry& registry)
{
    if (!section.is_object() || !section.contains("kind") || !section.at("kind").is_string())
    {
        throw std::runtime_error("a device model needs a \"kind\"");
    }
    const std::string kind = section.at("kind").get<std::string>();
    const SimModelReader* reader = registry.Find(kind);
    if (!reader)
    {
        throw std::runtime_error("unknown device model kind \"" + kind + "\"");
    }
    return (*reader)(section, context);
}

void ReadFunction(const json& section, SimLoadContext& context, const CSimModelRegistry& registry)
{
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t number = 0;
    ParseAddress(section, bus, device, number);
    CSimPciFunction& function = context.machine.AddFunction(bus, device, number);
    function.SetIds(Narrow<uint16_t>(SimJsonRequiredNumber(section, "vendor"), 0xFFFF, "vendor"),
                    Narrow<uint16_t>(SimJsonRequiredNumber(section, "device"), 0xFFFF, "device"),
                    Narrow<uint32_t>(SimJsonNumber(section, "class", 0), 0xFFFFFF, "class"),
                    Narrow<uint8_t>(SimJsonNumber(section, "revision", 0), 0xFF, "revision"));
    if (section.contains("subsystem"))
    {
        const json& subsystem = section.at("subsystem");
        function.SetSubsystem(
            Narrow<uint16_t>(SimJsonRequiredNumber(subsystem, "vendor"), 0xFFFF, "vendor"),
            Narrow<uint16_t>(SimJsonRequiredNumber(subsystem, "device"), 0xFFFF, "device"));
    }
    if (section.contains("bridge"))
    {
        const json& bridge = section.at("bridge");
        function.MakeBridge(
            bus, Narrow<uint8_t>(SimJsonRequiredNumber(bridge, "secondary"), 0xFF, "secondary"),
            Narrow<uint8_t>(SimJsonRequiredNumber(bridge, "subordinate"), 0xFF, "subordinate"));
    }
    for (const json& bar : section.value("bars", json::array()))
    {
        const int index = Narrow<int>(SimJsonRequiredNumber(bar, "index"), 5, "BAR index");
        const SimBar parsed{SimJsonRequiredNumber(bar, "size"), ParseBarKind(bar),
                            bar.value("prefetchable", false), SimJsonNumber(bar, "address", 0)};
        ValidateBar(bus, device, number, index, parsed);
        function.SetBar(index, parsed);
    }
    if (section.contains("command"))
    {
        function.Store(
            0x04, 2,
            Narrow<uint16_t>(SimJsonNumber(section.at("command"), "command"), 0xFFFF, "command"));
    }
    if (section.contains("status"))
    {
        function.Store(
            0x06, 2,
            Narrow<uint16_t>(SimJsonNumber(section.at("status"), "status"), 0xFFFF, "status"));
    }
    for (const json& entry : section.value("config", json::array()))
    {
        const uint32_t offset =
            Narrow<uint32_t>(SimJsonRequiredNumber(entry, "offset"), 0xFFF, "config offset");
        const unsigned width = Narrow<unsigned>(SimJsonNumber(entry, "width", 4), 4, "width");
        function.Store(offset, width,
                       Narrow<uint32_t>(SimJsonNumber(entry, "value", 0), 0xFFFFFFFF, "value"));
        function.SetWritableMask(
            offset, width,
            Narrow<uint32_t>(SimJsonNumber(entry, "writable", 0), 0xFFFFFFFF, "writable"));
        function.SetWriteOneToClearMask(
            offset, width, Narrow<uint32_t>(SimJsonNumber(entry, "w1c", 0), 0xFFFFFFFF, "w1c"));
    }
    for (const json& capability : section.value("capabilities", json::array()))
    {
        function.AddCapability(
            Narrow<uint8_t>(SimJsonRequiredNumber(capability, "id"), 0xFF, "capability id"),
            ParseBytes(capability.value("body", json::array()), "capability body"));
    }
    if (section.contains("port"))
    {
        function.SetPortNumber(
            Narrow<uint8_t>(SimJsonNumber(section.at("port"), "port"), 0xFF, "port"));
    }
    if (section.contains("model"))
    {
        SimLoadContext modelContext{context.machine, context.baseDirectory, &function};
        context.machine.AddDevice(ReadModel(section.at("model"), modelContext, registry));
    }
}

// {"ac": true, "battery_percent": 50, "charging": false}; no battery_percent
// means no battery.
void ReadPower(const json& section, CSimMachine& machine)
{
    PowerStatus& power = machine.Power();
    power.acLineStatus =
        section.value("ac", true) ? PowerStatus::kAcOnline : PowerStatus::kAcOffline;
    if (section.contains("battery_percent"))
    {
        power.batteryLifePercent =
            Narrow<uint8_t>(SimJsonNumber(section.at("battery_percent"), "battery_percent"), 100,
                            "battery_percent");
        power.batteryFlag =
            BatteryFlagFor(power.batteryLifePercent, section.value("charging", false));
    }
    else
    {
        power.batteryFlag = PowerStatus::kNoSystemBattery;
        power.batteryLifePercent = PowerStatus::kPercentUnknown;
    }
}

void ReadAcpi(const json& section, CSimMachine& machine)
{
    CAcpiTableBuilder builder;
    builder.SetRevision(Narrow<uint8_t>(SimJsonNumber(section, "revision", 2), 0xFF, "revision"));
    if (section.contains("ebda"))
    {
        const json& ebda = section.at("ebda");
        builder.UseEbda(
            Narrow<uint16_t>(SimJsonRequiredNumber(ebda, "segment"), 0xFFFF, "EBDA segment"),
            Narrow<uint32_t>(SimJsonNumber(ebda, "offset", 16), 0x3DC, "EBDA offset"));
    }
    else
    {
        builder.SetRsdpAddress(
            Narrow<uint32_t>(SimJsonNumber(section, "rsdp", 0xF0000), 0xFFFDC, "rsdp"));
    }
    builder.SetTableAddress(
        Narrow<uint32_t>(SimJsonNumber(section, "tables_at", 0xF1000), 0xFFFFFFFF, "tables_at"));
    if (section.contains("mcfg"))
    {
        std::vector<McfgAllocation> entries;
        for (const json& entry : section.at("mcfg"))
        {
            entries.push_back(McfgAllocation{
                SimJsonRequiredNumber(entry, "base"),
                Narrow<uint16_t>(SimJsonNumber(entry, "segment", 0), 0xFFFF, "segment"),
                Narrow<uint8_t>(SimJsonNumber(entry, "start_bus", 0), 0xFF, "start_bus"),
                Narrow<uint8_t>(SimJsonNumber(entry, "end_bus", 0xFF), 0xFF, "end_bus")});
        }
        builder.AddMcfg(entries);
    }
    builder.Build(machine);
}
} // namespace

namespace
{
std::string CertificateRootPath(const json& section, const std::string& key,
                                const SimLoadContext& context)
{
    if (!section.contains(key) || !section.at(key).is_string())
    {
        throw std::runtime_error("\"certificate_root\" needs \"" + key + "\" as a file name");
    }
    return context.ResolvePath(section.at(key).get<std::string>());
}

std::vector<uint8_t> ReadCertificateRootFile(const std::string& key, const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        throw std::runtime_error("cannot open \"" + key + "\" " + path);
    }
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void ReadCertificateRoot(const json& section, SimLoadContext& context)
{
    if (!section.is_object())
    {
        throw std::runtime_error("\"certificate_root\" must be an object");
    }
    const std::string container = CertificateRootPath(section, "container", context);
    const std::string passPhrase = CertificateRootPath(section, "pass_phrase", context);
    context.machine.SetTrustedRoot({ReadCertificateRootFile("container", container),
                                    ReadCertificateRootFile("pass_phrase", passPhrase)});
}
} // namespace

std::shared_ptr<CSimMachine> LoadMachineJson(const json& description,
                                             const std::filesystem::path& baseDirectory,
                                             const CSimModelRegistry& registry)
{
    if (!description.is_object())
    {
        throw std::runtime_error("the description must be a JSON object");
    }
    auto machine = std::make_shared<CSimMachine>();
    SimLoadContext context{*machine, baseDirectory, nullptr};
    machine->SetAccessCostNanoseconds(SimJsonNumber(description, "access_cost_ns", 0));
    for (const json& region : description.value("ram", json::array()))
    {
        machine->AddRam(
            SimJsonRequiredNumber(region, "base"),
            Narrow<uint64_t>(SimJsonRequiredNumber(region, "size"), 0x40000000, "RAM size"));
    }
    if (description.contains("power"))
    {
        ReadPower(description.at("power"), *machine);
    }
    if (description.contains("reboots_file"))
    {
        const json& record = description.at("reboots_file");
        if (!record.is_string())
        {
            throw std::runtime_error("\"reboots_file\" must be a file name");
        }
        machine->KeepRebootsInFile(context.ResolvePath(record.get<std::string>()));
    }
    if (description.contains("certificate_root"))
    {
        ReadCertificateRoot(description.at("certificate_root"), context);
    }
    if (description.contains("acpi"))
    {
        ReadAcpi(description.at("acpi"), *machine);
    }
    if (description.contains("display_file"))
    {
        const json& record = description.at("display_file");
        if (!record.is_string())
        {
            throw std::runtime_error("\"display_file\" must be a file name");
        }
        machine->KeepDisplayRecordInFile(context.ResolvePath(record.get<std::string>()));
    }
    for (const json& function : description.value("pci", json::array()))
    {
        ReadFunction(function, context, registry);
    }
    for (const json& device : description.value("devices", json::array()))
    {
        machine->AddDevice(ReadModel(device, context, registry));
    }
    return machine;
}

std::shared_ptr<CSimMachine> LoadMachineFile(const std::string& path,
                                             const CSimModelRegistry& registry)
{
    std::ifstream file(path);
    if (!file)
    {
        throw io_error("Machine file " + path + ": cannot be opened");
    }
    try
    {
        const json description = json::parse(file);
        std::shared_ptr<CSimMachine> machine =
            LoadMachineJson(description, std::filesystem::path(path).parent_path(), registry);
        machine->SetStateDirectory(std::filesystem::absolute(path).parent_path().string());
        return machine;
    }
    catch (const json::exception& error)
    {
        throw user_error("Machine file " + path + ": " + error.what());
    }
    catch (const std::exception& error)
    {
        throw user_error("Machine file " + path + ": " + error.what());
    }
}
