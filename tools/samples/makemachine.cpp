// makemachine: writes a simulated machine with Korvan adapters into a folder.

#include "SampleAdapters.h"
#include "SampleBridge.h"
#include "SampleKeys.h"
#include "ToolArguments.h"
#include "core/NewFile.h"
#include "core/TextHelpers.h"
#include "sim/SimFlashParts.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <string>
#include <vector>

namespace
{
constexpr size_t kMostGpus = 16;
constexpr uint32_t kGpuBarBase = 0xC0000000;
constexpr uint32_t kGpuBarStride = 0x2000000;
constexpr uint32_t kPlxBarBase = 0xF0000000;
constexpr uint32_t kPlxBarSize = 0x20000;
constexpr uint32_t kDefaultStraps = 0x400000;
constexpr const char* kDefaultPart = "EF/3013";
constexpr const char* kMachineFile = "machine.json";
// A ZX22 bridge's own EEPROM: a small standard SPI part, which the strap
// value in bits 6-7 of its register 0xB00 names to the EEPROM layer.
constexpr const char* kBridgePart = "C2/2010";
constexpr const char* kBridgeStraps = "0x40";
constexpr const char* kRebootsFile = "reboots.txt";
constexpr const char* kDisplayFile = "display.txt";
// The key folder made for a machine with secure adapters that names no root.
constexpr const char* kMachineKeys = "keys";

// The faults a chip, a GPU or a Kestrix microcontroller can be given, with the
// machine-file key each sets, whether it takes a value, and the device kinds
// whose GPUs have what it acts on.
struct FaultSpec
{
    const char* name;
    const char* section; // "eeprom", "gpu" or "kestrix"
    const char* key;
    const char* value; // what the value is; null for a fault without one
    uint32_t lowestKind;
    uint32_t highestKind;
    const char* meaning;
};

constexpr FaultSpec kFaults[] = {
    {"stuck-bits", "eeprom", "stuck_bits", "OFFSET:MASK:VALUE", 5, 13,
     "the chip's bits of MASK at OFFSET always read VALUE (hex)"},
    {"never-ready", "eeprom", "never_ready", nullptr, 5, 13, "the chip never leaves busy"},
    {"lose-write-enable", "eeprom", "lose_write_enable", nullptr, 5, 13,
     "the chip drops every write enable"},
    {"write-protect-pin", "eeprom", "write_protect_pin", nullptr, 5, 13,
     "the chip's write-protect pin is held: its status register cannot be written"},
    {"extra-busy-reads", "eeprom", "extra_busy_reads", "N", 5, 13,
     "the chip reads busy N (decimal) more times after each operation"},
    {"pll-never-locks", "gpu", "pll_never_locks", nullptr, 10, 12,
     "the GPU's PLL never locks (kinds 10-12)"},
    {"kestrix-reset-never-ready", "kestrix", "reset_never_ready", nullptr, 9, 13,
     "the Kestrix engine never leaves reset (kinds 9-13)"},
    {"kestrix-dma-never-idle", "kestrix", "dma_never_idle", nullptr, 9, 13,
     "the Kestrix DMA never goes idle (kinds 9-13)"},
};

std::string Usage()
{
    std::string usage =
        "Usage: makemachine [--gpu FIRMWARE[:DEVICE-ID[:KIND[:STRAPS]]]]... [--part MAKER/DEVICE]\n"
        "                   [--bridge root|zx22|plx] [--battery PERCENT [--charging]]\n"
        "                   [--stop-after-programs N] [--stop-after-erases N]\n"
        "                   [--fault NAME[=VALUE]]... [--root-certificate KEYS] FOLDER\n"
        "       makemachine --power-on FOLDER\n"
        "Writes FOLDER/machine.json: a simulated machine with one Korvan GPU for each --gpu.\n"
        "Run a program on it with ROMVISE_MACHINE=FOLDER/machine.json.\n"
        "\n"
        "  --gpu FIRMWARE[:DEVICE-ID[:KIND[:STRAPS]]]\n"
        "      A GPU whose serial flash chip starts with the file FIRMWARE (makefirmware\n"
        "      --help; any file up to the part's size, the rest reads erased). The chip's\n"
        "      contents live in FOLDER/chip<N>.bin and change as programs write them;\n"
        "      making the machine again starts them afresh from the files and removes\n"
        "      the update records (FOLDER/update-*.rec) an unfinished update left\n"
        "      (--power-on keeps both).\n"
        "      DEVICE-ID (hex, default 0800) is one of the adapters the updater knows;\n"
        "      KIND (decimal) is the device kind, the adapter's own when left out, and\n"
        "      must agree with it; STRAPS (hex, default 400000) is what the GPU's strap\n"
        "      register reads. Kinds 9-13 get their Kestrix microcontroller.\n"
        "      Device IDs and kinds:\n";
    usage += SampleGpuList();
    usage += "  --part MAKER/DEVICE\n"
             "      The chip of every GPU (hex IDs, default " +
             std::string(kDefaultPart) + "):\n";
    for (const SimFlashPart& part : GetSimFlashParts())
    {
        char line[80];
        std::snprintf(line, sizeof line, "        %02X/%04X  %-12s %4u KiB\n", part.manufacturerId,
                      part.deviceId, part.name, part.sizeBytes / 1024);
        usage += line;
    }
    usage +=
        "  --bridge root|zx22|plx\n"
        "      What each GPU sits behind: a plain root port (default), a Korvan ZX22\n"
        "      bridge (then a plain port), or a PLX PEX 8747 switch port. A ZX22 has its\n"
        "      own EEPROM, FOLDER/bridge<N>.bin, holding the image of makefirmware --zx22.\n"
        "  --battery PERCENT\n"
        "      The machine runs on battery at that charge, 0-100 (below 35 the updater\n"
        "      refuses to write); without it the machine is on AC power.\n"
        "  --charging\n"
        "      With --battery: the battery is charging.\n"
        "  --stop-after-programs N, --stop-after-erases N\n"
        "      The process ends after N program (or erase) operations on each chip, as a\n"
        "      power loss would end it (exit code 86, the chip half written).\n"
        "  --power-on\n"
        "      Turns the power of the machine in FOLDER back on after such a stop: its\n"
        "      stops are removed, and the chips, the update records and the rest of the\n"
        "      machine stay as they are, so that running the update again finishes it.\n"
        "      Takes no other option.\n"
        "  --root-certificate KEYS\n"
        "      The programs on this machine trust the root certificate in the folder KEYS\n"
        "      (made by makefirmware --sign KEYS) in place of their built-in root, so\n"
        "      that images signed under it pass the certificate check (a simulated\n"
        "      machine only: on real hardware the built-in root is always used).\n"
        "      Without it, a machine with a GPU of kind 9-13 gets a root of its own: its\n"
        "      keys are made in FOLDER/keys (kept when that folder holds them already),\n"
        "      and makefirmware --sign FOLDER/keys signs images it accepts. Those\n"
        "      adapters' microcontroller writes only images signed under the root the\n"
        "      machine trusts, and the built-in root's private key exists nowhere.\n"
        "  --fault NAME[=VALUE]   (on every GPU; may be given more than once)\n";
    for (const FaultSpec& fault : kFaults)
    {
        usage += "      " + std::string(fault.name) +
                 (fault.value ? "=" + std::string(fault.value) : "") + "\n          " +
                 fault.meaning + "\n";
    }
    usage += "\n"
             "The machine counts the reboots asked of it in FOLDER/" +
             std::string(kRebootsFile) +
             ",\nand records every unbind and bind of a display driver and the state each display\n"
             "ends in in FOLDER/" +
             kDisplayFile + " (both empty at first).";
    return usage;
}

const std::vector<ToolOptionSpec> kOptions = {
    {"gpu", true, true},        {"part"},
    {"bridge"},                 {"battery"},
    {"charging", false},        {"stop-after-programs"},
    {"stop-after-erases"},      {"fault", true, true},
    {"root-certificate"},       {"power-on", false},
};

struct GpuSpec
{
    std::string firmware;
    uint16_t deviceId = 0x0800;
    uint32_t kind = 0;
    uint32_t straps = kDefaultStraps;
};

std::vector<std::string> Fields(const std::string& text, char separator)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string::npos;
         start = at + 1, at = text.find(separator, start))
    {
        fields.push_back(text.substr(start, at - start));
    }
    fields.push_back(text.substr(start));
    return fields;
}

GpuSpec ReadGpu(const std::string& text)
{
    const std::vector<std::string> fields = Fields(text, ':');
    if (fields.size() > 4 || fields[0].empty())
    {
        throw ToolRefusal("invalid --gpu (FIRMWARE[:DEVICE-ID[:KIND[:STRAPS]]]): \"" + text +
                          "\"");
    }
    GpuSpec gpu;
    gpu.firmware = fields[0];
    if (fields.size() > 1)
    {
        gpu.deviceId = static_cast<uint16_t>(ParseToolNumber(fields[1], 0xFFFF, "device ID"));
    }
    const AdapterCatalogueRecord& adapter = SampleGpu(gpu.deviceId);
    gpu.kind = adapter.deviceKind;
    if (fields.size() > 2 && !fields[2].empty())
    {
        const auto kind = static_cast<uint32_t>(ParseToolNumber(fields[2], 0xFF, "kind", 10));
        if (kind != adapter.deviceKind)
        {
            throw ToolRefusal("kind " + std::to_string(kind) + " is not the kind of device " +
                              fields[1] + " (" + adapter.name + ", kind " +
                              std::to_string(adapter.deviceKind) + ")");
        }
    }
    if (fields.size() > 3)
    {
        gpu.straps = static_cast<uint32_t>(ParseToolNumber(fields[3], 0xFFFFFFFF, "straps"));
    }
    return gpu;
}

const SimFlashPart& ReadPart(const std::string& text)
{
    const std::vector<std::string> ids = Fields(text, '/');
    const SimFlashPart* part = nullptr;
    if (ids.size() == 2)
    {
        part = FindSimFlashPart(static_cast<uint8_t>(ParseToolNumber(ids[0], 0xFF, "part maker")),
                                static_cast<uint16_t>(ParseToolNumber(ids[1], 0xFFFF, "part")));
    }
    if (!part)
    {
        throw ToolRefusal("unknown part \"" + text + "\" (see --help for the parts)");
    }
    return *part;
}

std::string PciAddress(int bus, int device)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.0", bus, device);
    return text;
}

// The faults asked, as the sections of the machine file they go into.
struct Faults
{
    nlohmann::json eeprom = nlohmann::json::object();
    nlohmann::json gpu = nlohmann::json::object();
    nlohmann::json kestrix = nlohmann::json::object();
};

nlohmann::json StuckBits(const std::string& text, uint32_t partSize)
{
    const std::vector<std::string> fields = Fields(text, ':');
    if (fields.size() != 3)
    {
        throw ToolRefusal("invalid stuck-bits (OFFSET:MASK:VALUE): \"" + text + "\"");
    }
    const uint64_t offset = ParseToolNumber(fields[0], 0xFFFFFFFF, "stuck-bits offset");
    if (offset >= partSize)
    {
        throw ToolRefusal("stuck-bits offset " + fields[0] + " lies beyond the part");
    }
    return {{"offset", ToHexString64(offset, 1)},
            {"mask", ToHexString64(ParseToolNumber(fields[1], 0xFF, "stuck-bits mask"), 1)},
            {"value", ToHexString64(ParseToolNumber(fields[2], 0xFF, "stuck-bits value"), 1)}};
}

Faults ReadFaults(const ToolArguments& arguments, uint32_t partSize,
                  const std::vector<GpuSpec>& gpus)
{
    Faults faults;
    for (auto [at, end] = arguments.options.equal_range("fault"); at != end; ++at)
    {
        const size_t equals = at->second.find('=');
        const std::string name = at->second.substr(0, equals);
        const FaultSpec* spec = nullptr;
        for (const FaultSpec& fault : kFaults)
        {
            spec = name == fault.name ? &fault : spec;
        }
        if (!spec)
        {
            throw ToolRefusal("unknown fault \"" + name + "\" (see --help for the faults)");
        }
        const bool takesValue = spec->value != nullptr;
        if (takesValue != (equals != std::string::npos))
        {
            throw ToolRefusal(std::string("fault ") + spec->name +
                              (takesValue ? " needs a value" : " takes no value"));
        }
        const bool honoured = std::any_of(gpus.begin(), gpus.end(), [&](const GpuSpec& gpu)
                                          { return gpu.kind >= spec->lowestKind && gpu.kind <= spec->highestKind; });
        if (!honoured)
        {
            throw ToolRefusal("fault " + name + " needs a GPU of kind " +
                              std::to_string(spec->lowestKind) + "-" +
                              std::to_string(spec->highestKind));
        }
        const std::string value = takesValue ? at->second.substr(equals + 1) : "";
        nlohmann::json& section = std::string(spec->section) == "eeprom" ? faults.eeprom
                                  : std::string(spec->section) == "gpu"  ? faults.gpu
                                                                         : faults.kestrix;
        if (name == "stuck-bits")
        {
            section[spec->key].push_back(StuckBits(value, partSize));
        }
        else if (takesValue)
        {
            section[spec->key] = ParseToolNumber(value, 0x7FFFFFFF, name, 10);
        }
        else
        {
            section[spec->key] = true;
        }
    }
    const uint64_t programs =
        ParseToolNumber(ToolOption(arguments, "stop-after-programs", "0"), 0x7FFFFFFF,
                        "--stop-after-programs", 10);
    const uint64_t erases = ParseToolNumber(ToolOption(arguments, "stop-after-erases", "0"),
                                            0x7FFFFFFF, "--stop-after-erases", 10);
    if (programs != 0)
    {
        faults.eeprom["stop_after_programs"] = programs;
    }
    if (erases != 0)
    {
        faults.eeprom["stop_after_erases"] = erases;
    }
    return faults;
}

// What a machine is made of, filled GPU by GPU.
struct MachinePlan
{
    std::string part;
    std::string bridge;
    Faults faults;
    nlohmann::json pci = nlohmann::json::array();
    nlohmann::json devices = nlohmann::json::array();
    int nextBus = 1;
};

nlohmann::json Bridge(const std::string& address, uint16_t vendor, uint16_t device, int secondary,
                      int subordinate)
{
    return {{"address", address},
            {"vendor", ToHexString64(vendor, 1)},
            {"device", ToHexString64(device, 1)},
            {"class", "0x060400"},
            {"bridge", {{"secondary", secondary}, {"subordinate", subordinate}}}};
}

// The ports in front of GPU `index`; returns the bus the GPU sits on.
int AddPorts(MachinePlan& plan, size_t index)
{
    const std::string port = PciAddress(0, static_cast<int>(index) + 1);
    const int bus = plan.nextBus;
    if (plan.bridge == "zx22")
    {
        plan.pci.push_back(Bridge(port, kKorvanVendorId, GetZX22DeviceIdBase(), bus, bus + 1));
        plan.pci.back()["port"] = 0;
        plan.pci.push_back(Bridge(PciAddress(bus, 0), 0x8086, 0x7A38, bus + 1, bus + 1));
        plan.nextBus += 2;
        return bus + 1;
    }
    if (plan.bridge == "plx")
    {
        nlohmann::json plx = Bridge(port, kPlxVendorId, 0x8747, bus, bus);
        plx["port"] = index;
        plx["bars"] = {{{"index", 0},
                        {"size", ToHexString64(kPlxBarSize, 1)},
                        {"address", ToHexString64(kPlxBarBase + index * kPlxBarSize, 1)}}};
        plx["model"] = {{"kind", "plx8747"}, {"name", "plx" + std::to_string(index)}};
        plan.pci.push_back(plx);
    }
    else
    {
        plan.pci.push_back(Bridge(port, 0x8086, 0x7A38, bus, bus));
    }
    plan.nextBus += 1;
    return bus;
}

std::string BridgeChipName(size_t index)
{
    return "bridge" + std::to_string(index) + ".bin";
}

void AddGpu(MachinePlan& plan, const GpuSpec& gpu, size_t index)
{
    const int bus = AddPorts(plan, index);
    const std::string name = "gpu" + std::to_string(index);
    nlohmann::json eeprom = {
        {"kind", "spi_flash"}, {"part", plan.part}, {"file", "chip" + std::to_string(index) + ".bin"}};
    if (!plan.faults.eeprom.empty())
    {
        eeprom["faults"] = plan.faults.eeprom;
    }
    nlohmann::json model = {{"kind", "gpu"},
                            {"name", name},
                            {"device_kind", gpu.kind},
                            {"straps", ToHexString64(gpu.straps, 1)},
                            {"eeprom", eeprom}};
    model.update(plan.faults.gpu);
    plan.pci.push_back(
        {{"address", PciAddress(bus, 0)},
         {"vendor", ToHexString64(kKorvanVendorId, 1)},
         {"device", ToHexString64(gpu.deviceId, 1)},
         {"class", "0x030000"},
         {"revision", "0xA1"},
         {"subsystem", {{"vendor", ToHexString64(kKorvanVendorId, 1)}, {"device", "0x0001"}}},
         {"bars",
          {{{"index", 0},
            {"size", "0x1000000"},
            {"address", ToHexString64(kGpuBarBase + index * kGpuBarStride, 1)}}}},
         {"model", model}});
    if (plan.bridge == "zx22")
    {
        plan.devices.push_back(
            {{"kind", "zx22"},
             {"name", "zx22-" + std::to_string(index)},
             {"function", PciAddress(0, static_cast<int>(index) + 1)},
             {"gpu", name},
             {"straps", kBridgeStraps},
             {"eeprom",
              {{"kind", "spi_flash"}, {"part", kBridgePart}, {"file", BridgeChipName(index)}}}});
    }
    if (!TraitsOfDeviceKind(gpu.kind).directEeprom)
    {
        nlohmann::json kestrix = {
            {"kind", "kestrix"}, {"name", "kestrix" + std::to_string(index)}, {"gpu", name}};
        kestrix.update(plan.faults.kestrix);
        plan.devices.push_back(kestrix);
    }
}

void CheckFirmwareFits(const GpuSpec& gpu, const SimFlashPart& part)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(gpu.firmware, error);
    if (error)
    {
        throw ToolRefusal("cannot read " + gpu.firmware);
    }
    if (size > part.sizeBytes)
    {
        throw ToolRefusal(gpu.firmware + " (" + std::to_string(size) +
                          " bytes) is larger than the part " + part.name + " (" +
                          std::to_string(part.sizeBytes) + " bytes)");
    }
}

// Whether a GPU reaches its EEPROM through the Kestrix microcontroller.
bool HasSecureGpu(const std::vector<GpuSpec>& gpus)
{
    return std::any_of(gpus.begin(), gpus.end(), [](const GpuSpec& gpu)
                       { return !TraitsOfDeviceKind(gpu.kind).directEeprom; });
}

// The bridge's chip starts with the sample bridge image, the rest erased.
void WriteBridgeChip(const std::filesystem::path& file)
{
    const std::vector<uint8_t> image = SampleZX22Image();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    out.close();
    if (!out)
    {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void CheckRootCertificate(const std::filesystem::path& keys)
{
    for (const char* name : {kRootCertificateFile, kRootPassPhraseFile})
    {
        if (!std::filesystem::is_regular_file(keys / name))
        {
            throw ToolRefusal("the key folder " + keys.string() + " holds no " + name +
                              " (makefirmware --sign " + keys.string() + " writes it)");
        }
    }
}

// Copies the root certificate's files from the key folder beside the machine
// file; returns the machine file's section naming them.
nlohmann::json CertificateRoot(const std::filesystem::path& keys,
                               const std::filesystem::path& folder)
{
    for (const char* name : {kRootCertificateFile, kRootPassPhraseFile})
    {
        std::filesystem::copy_file(keys / name, folder / name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
    return {{"container", kRootCertificateFile}, {"pass_phrase", kRootPassPhraseFile}};
}

nlohmann::json Power(const ToolArguments& arguments)
{
    const std::string battery = ToolOption(arguments, "battery", "");
    if (battery.empty())
    {
        if (HasToolOption(arguments, "charging"))
        {
            throw ToolRefusal("--charging needs --battery");
        }
        return nullptr;
    }
    return {{"ac", false},
            {"battery_percent", ParseToolNumber(battery, 100, "--battery percentage", 10)},
            {"charging", HasToolOption(arguments, "charging")}};
}

// The update records of the machine's state folder (the machine file's
// folder), with their temporary and set-aside forms ("<record>.tmp",
// "<record>.refused").
void RemoveUpdateRecords(const std::filesystem::path& folder)
{
    std::vector<std::filesystem::path> records;
    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(folder))
    {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("update-") && name.find(".rec") != std::string::npos)
        {
            records.push_back(entry.path());
        }
    }
    for (const std::filesystem::path& record : records)
    {
        std::filesystem::remove(record);
    }
}

// The keys of the stops a machine file's chips may carry.
constexpr const char* kStopKeys[] = {"stop_after_programs", "stop_after_erases"};

// Removes the stops from every fault section of the description, and the
// sections the removal leaves empty.
void RemoveStops(nlohmann::json& description)
{
    if (!description.is_structured())
    {
        return;
    }
    for (nlohmann::json& element : description)
    {
        RemoveStops(element);
    }
    const auto faults = description.is_object() ? description.find("faults") : description.end();
    if (faults != description.end() && faults->is_object())
    {
        for (const char* key : kStopKeys)
        {
            faults->erase(key);
        }
        if (faults->empty())
        {
            description.erase(faults);
        }
    }
}

// The machine file replaced in one step: a stop while it is written, or a
// --power-on that fails, leaves the machine file as it was.
void WriteMachineFile(const std::filesystem::path& file, const nlohmann::json& machine)
{
    const std::string text = machine.dump(2) + "\n";
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (WriteOutputFile(file.string(), {bytes}).status != OutputFileStatus::Written)
    {
        throw std::runtime_error("cannot write " + file.string());
    }
}

// The machine in the folder as it stands after a power loss, with the power
// back on: the stops go, and the chips, the update records and everything
// else the machine keeps stay for the next run.
int PowerOn(const ToolArguments& arguments, const std::filesystem::path& folder)
{
    if (arguments.options.size() != 1)
    {
        throw ToolRefusal("--power-on takes no other option: it keeps the machine as it is");
    }
    const std::filesystem::path file = folder / kMachineFile;
    std::ifstream in(file);
    if (!in)
    {
        throw ToolRefusal("cannot read " + file.string() + " (make the machine first)");
    }
    nlohmann::json machine = nlohmann::json::parse(in, nullptr, false);
    if (machine.is_discarded() || !machine.is_object())
    {
        throw ToolRefusal(file.string() + " is no machine file");
    }
    in.close();
    RemoveStops(machine);
    WriteMachineFile(file, machine);
    return 0;
}

// The machine file's contents: the planned PCI functions and devices, the
// power source, and the root the machine's secure adapters trust (one of its
// own, made beside it, when none is named and a GPU is of a secure kind).
nlohmann::json DescribeMachine(const ToolArguments& arguments, const MachinePlan& plan,
                               const nlohmann::json& power, const std::vector<GpuSpec>& gpus,
                               const std::filesystem::path& folder)
{
    nlohmann::json machine = {
        {"acpi", {{"mcfg", {{{"base", "0xE0000000"}, {"start_bus", 0}, {"end_bus", 255}}}}}},
        {"pci", plan.pci},
        {"reboots_file", kRebootsFile},
        {"display_file", kDisplayFile}};
    if (!plan.devices.empty())
    {
        machine["devices"] = plan.devices;
    }
    if (!power.is_null())
    {
        machine["power"] = power;
    }
    if (HasToolOption(arguments, "root-certificate"))
    {
        machine["certificate_root"] =
            CertificateRoot(ToolOption(arguments, "root-certificate", ""), folder);
    }
    else if (HasSecureGpu(gpus))
    {
        UseSampleKeys(folder / kMachineKeys);
        machine["certificate_root"] = CertificateRoot(folder / kMachineKeys, folder);
    }
    return machine;
}

int Make(const ToolArguments& arguments)
{
    if (arguments.plain.size() != 1)
    {
        throw ToolRefusal("expected one FOLDER");
    }
    const std::filesystem::path folder = arguments.plain[0];
    if (HasToolOption(arguments, "power-on"))
    {
        return PowerOn(arguments, folder);
    }
    MachinePlan plan;
    const SimFlashPart& part = ReadPart(ToolOption(arguments, "part", kDefaultPart));
    plan.part = ToolOption(arguments, "part", kDefaultPart);
    plan.bridge = ToolOption(arguments, "bridge", "root");
    if (plan.bridge != "root" && plan.bridge != "zx22" && plan.bridge != "plx")
    {
        throw ToolRefusal("unknown bridge \"" + plan.bridge + "\" (root, zx22 or plx)");
    }
    std::vector<GpuSpec> gpus;
    for (auto [at, end] = arguments.options.equal_range("gpu"); at != end; ++at)
    {
        gpus.push_back(ReadGpu(at->second));
    }
    plan.faults = ReadFaults(arguments, part.sizeBytes, gpus);
    if (gpus.size() > kMostGpus)
    {
        throw ToolRefusal("a machine holds at most " + std::to_string(kMostGpus) + " GPUs");
    }
    const nlohmann::json power = Power(arguments);

    for (const GpuSpec& gpu : gpus)
    {
        CheckFirmwareFits(gpu, part);
    }
    if (HasToolOption(arguments, "root-certificate"))
    {
        CheckRootCertificate(ToolOption(arguments, "root-certificate", ""));
    }
    std::filesystem::create_directories(folder);
    for (size_t index = 0; index < gpus.size(); ++index)
    {
        // The chip starts with the firmware (the rest reads as erased) and
        // keeps what programs write into it from run to run.
        std::filesystem::copy_file(gpus[index].firmware,
                                   folder / ("chip" + std::to_string(index) + ".bin"),
                                   std::filesystem::copy_options::overwrite_existing);
        if (plan.bridge == "zx22")
        {
            WriteBridgeChip(folder / BridgeChipName(index));
        }
        AddGpu(plan, gpus[index], index);
    }
    const nlohmann::json machine = DescribeMachine(arguments, plan, power, gpus, folder);
    // A machine made again has not been rebooted yet, nor had its display
    // driver unbound, and no update of its chips is unfinished.
    std::filesystem::remove(folder / kRebootsFile);
    std::filesystem::remove(folder / kDisplayFile);
    RemoveUpdateRecords(folder);
    WriteMachineFile(folder / kMachineFile, machine);
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    return RunTool("makemachine", Usage(), argc, argv, kOptions, Make);
}
