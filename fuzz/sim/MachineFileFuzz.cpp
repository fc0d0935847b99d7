// Fuzzes machine files: the JSON text, the parts every machine has (RAM,
// power, ACPI tables, PCI functions and their BARs, configuration and
// capabilities) and each model kind's reader (GPU with its EEPROM, I2C ports
// and slaves, ZX22 and PLX bridges, MCU, Kestrix, register files). Any input
// must end in a machine or an exception carrying the reason, never in a
// crash, a read outside a value or an endless walk.
//
// The fuzzer keeps what it writes in a folder of its own: every file a
// machine file names is looked up by its last path component in that folder,
// files the machine writes (chip contents, the reboot count) get names of
// their own there and are removed after each input, so nothing outside the
// folder is touched and the files read ("firmware.rom", "mcu.bin") stay as
// they were made. Sizes above 16 MiB are read as 16 MiB: the machine would
// only fill more memory with the same bytes.
//
// fuzz-link: romvise_testkit_machine romvise_testkit_image
// fuzz-seconds: 4

#include "fuzz/FuzzSeeds.h"
#include "sim/MachineFile.h"
#include "sim/SimMachine.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"

#include <unistd.h>

#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{
constexpr uint64_t kLargestSize = 0x1000000;
const char kWrittenPrefix[] = "written-";

// The fuzzer's folder, with the files read made once; removed at exit.
class CFuzzFolder
{
public:
    CFuzzFolder()
        : m_path(std::filesystem::temp_directory_path() /
                 ("romvise-machine-fuzz-" + std::to_string(getpid())))
    {
        std::filesystem::create_directories(m_path);
        const std::vector<uint8_t> firmware =
            testkit::CGpuImageBuilder().Block(testkit::CGpuImageBuilder::kX86, 0x1000).Build();
        const std::vector<uint8_t> mcu = MakeMcuFirmware(0x7E2B, 0x0C00, 1500);
        for (const auto& [name, bytes] : {std::pair{"firmware.rom", &firmware}, {"mcu.bin", &mcu}})
        {
            std::ofstream(m_path / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes->data()),
                       static_cast<std::streamsize>(bytes->size()));
        }
    }
    ~CFuzzFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(m_path, error);
    }
    CFuzzFolder(const CFuzzFolder&) = delete;
    CFuzzFolder& operator=(const CFuzzFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

const std::filesystem::path& Folder()
{
    static const CFuzzFolder folder;
    return folder.Path();
}

// The folder, with the files the last machine wrote removed.
void RemoveWrittenFiles()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), error))
    {
        if (entry.path().filename().string().rfind(kWrittenPrefix, 0) == 0)
        {
            std::filesystem::remove_all(entry.path(), error);
        }
    }
}

std::string LastComponent(const std::string& path)
{
    const std::string name = std::filesystem::path(path).filename().string();
    return name.empty() ? "unnamed" : name;
}

void Confine(nlohmann::json& value)
{
    if (value.is_array())
    {
        for (nlohmann::json& item : value)
        {
            Confine(item);
        }
        return;
    }
    if (!value.is_object())
    {
        return;
    }
    for (auto item = value.begin(); item != value.end(); ++item)
    {
        const std::string& key = item.key();
        nlohmann::json& field = item.value();
        if (field.is_string() && (key == "file" || key == "reboots_file"))
        {
            field = kWrittenPrefix + LastComponent(field.get<std::string>());
        }
        else if (field.is_string() && (key == "image" || key == "application"))
        {
            field = LastComponent(field.get<std::string>());
        }
        else if (key == "size")
        {
            try
            {
                if (SimJsonNumber(field, "size") > kLargestSize)
                {
                    field = kLargestSize;
                }
            }
            catch (const std::exception&)
            {
            }
        }
        else
        {
            Confine(field);
        }
    }
}

std::vector<uint8_t> Text(const char* text)
{
    const std::string bytes(text);
    return {bytes.begin(), bytes.end()};
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"gpu-chip-mcu-display", Text(R"({
  "access_cost_ns": 100, "reboots_file": "reboots.txt",
  "power": {"ac": false, "battery_percent": 40, "charging": true},
  "ram": [{"base": "0x100000", "size": "0x10000"}],
  "acpi": {"revision": 2, "rsdp": "0xF0010", "tables_at": "0xF1000",
           "mcfg": [{"base": "0xE0000000", "start_bus": 0, "end_bus": 255}]},
  "pci": [
    {"address": "00:01.0", "vendor": "0x8086", "device": "0x7A38", "class": "0x060400",
     "bridge": {"secondary": 1, "subordinate": 1}, "command": "0x6",
     "config": [{"offset": "0x64", "value": "0x3", "writable": "0x3"}],
     "capabilities": [{"id": "0x05", "body": [0, 0]}, {"id": "0x10", "body": [1, 2, 3, 4]}]},
    {"address": "01:00.0", "vendor": "0x7E2B", "device": "0x0C00", "class": "0x030000",
     "revision": "0xA1", "subsystem": {"vendor": "0x7E2B", "device": "0x0001"},
     "bars": [{"index": 0, "size": "0x1000000", "address": "0xC0000000"}],
     "model": {"kind": "gpu", "name": "gpu0", "device_kind": 12, "straps": "0x400000",
               "registers": {"0xE4E8": "0x10000000"}, "speedometers": ["0x1200"],
               "eeprom": {"kind": "spi_flash", "part": "EF/3013", "file": "chip0.bin",
                          "image": "firmware.rom",
                          "faults": {"stop_after_programs": 9, "stop_after_erases": 3}},
               "i2c": [{"port": 1, "hold_clock_low": false, "slaves": [
                 {"kind": "mcu", "address": "0x98", "application": "mcu.bin", "busy_polls": 2},
                 {"kind": "display", "address": "0x50"},
                 {"kind": "regulator", "address": "0x20"}]}]}}
  ],
  "devices": [{"kind": "kestrix", "gpu": "gpu0", "pending_polls": 3, "ecid": [1, 2, 3, 4]}]
})")},
        {"zx22-bridge", Text(R"({
  "acpi": {"mcfg": [{"base": "0xE0000000", "end_bus": 15}]},
  "pci": [
    {"address": "00:01.0", "vendor": "0x7E2B", "device": 0, "class": "0x060400",
     "revision": "0xA0", "bridge": {"secondary": 1, "subordinate": 2}},
    {"address": "01:00.0", "vendor": "0x1B36", "device": "0x000C", "class": "0x060400",
     "bridge": {"secondary": 2, "subordinate": 2}},
    {"address": "02:00.0", "vendor": "0x7E2B", "device": "0x2204", "class": "0x030000",
     "command": "0x6", "bars": [{"index": 0, "size": "0x1000000", "address": "0xF1000000"}],
     "model": {"kind": "gpu", "name": "gpu0", "device_kind": 6}}
  ],
  "devices": [
    {"kind": "zx22", "name": "zx22", "function": "00:01.0", "gpu": "gpu0", "window": 7,
     "straps": "0x80", "placement": "0x3FFF",
     "eeprom": {"kind": "plain", "size": "0x1000", "fill": "0x5A"}}
  ]
})")},
        {"plx-switch-registers", Text(R"({
  "acpi": {"ebda": {"segment": "0x9FC0", "offset": 16}},
  "pci": [{"address": "00:01.0", "vendor": "0x10B5", "device": "0x8747",
           "class": "0x060400", "revision": "0xCA", "command": "0x6",
           "bridge": {"secondary": 1, "subordinate": 1},
           "bars": [{"index": 0, "size": "0x20000", "address": "0xD0000000"}],
           "model": {"kind": "plx8747", "name": "plx", "busy_polls": 0,
                     "eeprom": {"size": "0x1000", "file": "plx.eeprom", "image": "firmware.rom"}}},
          {"address": "00:02.0", "vendor": 1, "device": 2,
           "bars": [{"index": 0, "size": "0x1000", "address": "0xD1000000"}],
           "model": {"kind": "registers", "name": "regs", "values": {"0x0": "0x2204A100"}}}]
})")},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    nlohmann::json description = nlohmann::json::parse(data, data + size, nullptr, false);
    if (description.is_discarded())
    {
        return 0;
    }
    Confine(description);
    try
    {
        std::shared_ptr<CSimMachine> machine = LoadMachineJson(description, Folder());
        machine->ReadConfig(0, 1, 0, 0, 4);
    }
    catch (const std::exception&)
    {
    }
    RemoveWrittenFiles();
    return 0;
}
