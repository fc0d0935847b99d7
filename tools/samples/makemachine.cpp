// makemachine: writes a simulated machine with Korvan adapters into a folder.

#include "ToolArguments.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace
{
const char kUsage[] =
    "Usage: makemachine [--gpu FIRMWARE[:DEVICE-ID[:KIND]]]... [--part MAKER/DEVICE]\n"
    "                   [--battery PERCENT] [--stop-after-programs N] [--stop-after-erases N]\n"
    "                   FOLDER\n"
    "Writes FOLDER/machine.json: a machine with one Korvan GPU (default device 0800,\n"
    "kind 8) behind a root port for each --gpu, whose serial flash chip (default part\n"
    "EF/3013, 512 KiB) starts with the FIRMWARE file (makefirmware --help). The chip\n"
    "contents live in FOLDER/chip<N>.bin and change as programs write them; making the\n"
    "machine again starts them afresh from the firmware files and removes the update\n"
    "records (FOLDER/update-*.rec) an unfinished update left. --battery runs the\n"
    "machine on battery at that charge (below 35 the updater refuses to write);\n"
    "--stop-after-programs ends the process after that many program operations on\n"
    "each chip, like a power loss; --stop-after-erases does the same after that many\n"
    "erase operations.\n"
    "The machine counts the reboots asked of it in FOLDER/reboots.txt (none at first).\n"
    "Run a program on the machine with ROMVISE_MACHINE=FOLDER/machine.json.";

struct GpuSpec
{
    std::string firmware;
    uint32_t deviceId = 0x0800;
    uint32_t kind = 8;
};

GpuSpec ReadGpu(const std::string& text)
{
    GpuSpec gpu;
    const size_t first = text.find(':');
    gpu.firmware = text.substr(0, first);
    if (first != std::string::npos)
    {
        const size_t second = text.find(':', first + 1);
        gpu.deviceId = ParseToolNumber(text.substr(first + 1, second - first - 1), 0xFFFF);
        if (second != std::string::npos)
        {
            gpu.kind = ParseToolNumber(text.substr(second + 1), 13, 10);
        }
    }
    return gpu;
}

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

// The power-loss stops of each chip (0: never).
struct ChipStops
{
    uint32_t afterPrograms = 0;
    uint32_t afterErases = 0;
};

nlohmann::json GpuFunctions(const GpuSpec& gpu, size_t index, const std::string& part,
                            const ChipStops& stop)
{
    const int bus = static_cast<int>(index) + 1;
    char port[16];
    char address[16];
    std::snprintf(port, sizeof port, "00:%02x.0", bus);
    std::snprintf(address, sizeof address, "%02x:00.0", bus);
    nlohmann::json eeprom = {{"kind", "spi_flash"},
                             {"part", part},
                             {"file", "chip" + std::to_string(index) + ".bin"}};
    if (stop.afterPrograms != 0)
    {
        eeprom["faults"]["stop_after_programs"] = stop.afterPrograms;
    }
    if (stop.afterErases != 0)
    {
        eeprom["faults"]["stop_after_erases"] = stop.afterErases;
    }
    return nlohmann::json::array(
        {{{"address", port},
          {"vendor", "0x8086"},
          {"device", "0x7A38"},
          {"class", "0x060400"},
          {"bridge", {{"secondary", bus}, {"subordinate", bus}}}},
         {{"address", address},
          {"vendor", "0x7E2B"},
          {"device", Hex(gpu.deviceId)},
          {"class", "0x030000"},
          {"revision", "0xA1"},
          {"subsystem", {{"vendor", "0x7E2B"}, {"device", "0x0001"}}},
          {"bars",
           {{{"index", 0}, {"size", "0x1000000"}, {"address", Hex(0xC0000000u + index * 0x2000000u)}}}},
          {"model",
           {{"kind", "gpu"},
            {"name", "gpu" + std::to_string(index)},
            {"device_kind", gpu.kind},
            {"straps", "0x400000"},
            {"eeprom", eeprom}}}}});
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

int Make(const ToolArguments& arguments)
{
    if (arguments.plain.size() != 1)
    {
        throw std::runtime_error("expected one FOLDER");
    }
    const std::filesystem::path folder = arguments.plain[0];
    std::filesystem::create_directories(folder);
    const std::string part = ToolOption(arguments, "part", "EF/3013");
    ChipStops stop;
    stop.afterPrograms =
        ParseToolNumber(ToolOption(arguments, "stop-after-programs", "0"), 0x7FFFFFFF, 10);
    stop.afterErases =
        ParseToolNumber(ToolOption(arguments, "stop-after-erases", "0"), 0x7FFFFFFF, 10);

    nlohmann::json pci = nlohmann::json::array();
    size_t index = 0;
    for (auto [at, end] = arguments.options.equal_range("gpu"); at != end; ++at, ++index)
    {
        const GpuSpec gpu = ReadGpu(at->second);
        // The chip starts with the firmware (the rest reads as erased) and
        // keeps what programs write into it from run to run.
        std::filesystem::copy_file(gpu.firmware, folder / ("chip" + std::to_string(index) + ".bin"),
                                   std::filesystem::copy_options::overwrite_existing);
        for (const nlohmann::json& function : GpuFunctions(gpu, index, part, stop))
        {
            pci.push_back(function);
        }
    }
    nlohmann::json machine = {
        {"acpi", {{"mcfg", {{{"base", "0xE0000000"}, {"start_bus", 0}, {"end_bus", 255}}}}}},
        {"pci", pci},
        {"reboots_file", "reboots.txt"}};
    // A machine made again has not been rebooted yet, and no update of its
    // chips is unfinished.
    std::filesystem::remove(folder / "reboots.txt");
    RemoveUpdateRecords(folder);
    const std::string battery = ToolOption(arguments, "battery", "");
    if (!battery.empty())
    {
        machine["power"] = {{"ac", false},
                            {"battery_percent", ParseToolNumber(battery, 100, 10)},
                            {"charging", false}};
    }
    std::ofstream out(folder / "machine.json", std::ios::trunc);
    out << machine.dump(2) << std::endl;
    if (!out)
    {
        throw std::runtime_error("cannot write " + (folder / "machine.json").string());
    }
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    return RunTool("makemachine", kUsage, argc, argv, Make);
}
