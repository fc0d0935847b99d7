#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/wait.h>

const std::string kSupportParagraph =
    "Please note this error and contact your display adapter manufacturer's \n"
    "technical support line.  It is important that you leave your system ON and NOT \n"
    "reboot until instructed by your manufacturer on how to proceed.\n";

std::vector<uint8_t> TrailerOf(const std::vector<uint8_t>& package)
{
    std::vector<uint8_t> trailer(1024, 0);
    const uint32_t length = static_cast<uint32_t>(package.size());
    std::memcpy(trailer.data(), &length, 4);
    std::copy(package.begin(), package.begin() + std::min<size_t>(package.size(), 1020),
              trailer.begin() + 4);
    return trailer;
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::vector<uint8_t> Bytes(const std::string& text)
{
    return {text.begin(), text.end()};
}

void ExpectTexts(const std::string& text, const std::vector<std::string>& shown,
                 const std::vector<std::string>& notShown)
{
    for (const std::string& part : shown)
    {
        EXPECT_TRUE(Contains(text, part)) << "missing: " << part << "\n" << text;
    }
    for (const std::string& part : notShown)
    {
        EXPECT_FALSE(Contains(text, part)) << "unexpected: " << part << "\n" << text;
    }
}

std::vector<uint8_t> MakeFirmware(const FirmwareSpec& spec)
{
    testkit::CGpuImageBuilder builder;
    builder.Block(testkit::CGpuImageBuilder::kX86, spec.length)
        .DeviceId(spec.deviceId)
        .HardwareDataArea(0x7E2B, 0x0001);
    if (!spec.i2cDevices.empty())
    {
        builder.Dcb(spec.i2cDevices);
    }
    testkit::InfoToken info;
    info.boardId = spec.boardId;
    info.version = spec.version;
    builder.Info(info).Version(spec.version, 2);
    if (spec.guid != 0)
    {
        builder.GuidRecord(static_cast<uint32_t>(spec.guid >> 32), static_cast<uint32_t>(spec.guid));
    }
    if (!spec.varnexStore.empty())
    {
        // The directory and the store's record sit right below the boundary:
        // the directory of two objects takes 14 bytes, a record 16.
        constexpr uint16_t kDirectoryInBlock = 0x1000 - 16 - 14;
        EXPECT_EQ(spec.length % 0x1000, 0u) << "the Varnex block must start on a 4096-byte boundary";
        builder.VarnexBlock(spec.varnexStore, spec.varnexBackup)
            .NbsiDirectoryOffset(spec.varnexDirectory != 0 ? spec.varnexDirectory : kDirectoryInBlock);
    }
    if (!spec.boardBlock.empty())
    {
        builder.Block(0x85, 0x200).Payload(spec.boardBlock);
    }
    return builder.Build();
}

ProgramResult CProgramFolder::Run(const std::string& command, const std::string& keys) const
{
    WriteFile("keys.txt", std::vector<uint8_t>(keys.begin(), keys.end()));
    std::string line = "cd '" + m_folder.Path().string() + "' && ";
    line += m_hasMachine ? "ROMVISE_MACHINE=machine.json " : "";
    line += command + " < keys.txt > out.txt 2> err.txt";
    const int status = std::system(line.c_str());
    ProgramResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const std::vector<uint8_t> out = ReadFile("out.txt");
    const std::vector<uint8_t> err = ReadFile("err.txt");
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

ProgramResult CProgramFolder::Stamp(const std::vector<uint8_t>& package, const std::string& options)
{
    if (!std::filesystem::exists(PathOf("romuvise")))
    {
        std::filesystem::copy_file(ROMUVISE_PATH, PathOf("romuvise"));
    }
    WriteFile("package.rom", package);
    return Run(std::string(ROMSTAMP_PATH) + " " + options + " romuvise package.rom");
}

ProgramResult CProgramFolder::Updater(const std::string& arguments, const std::string& keys) const
{
    return Run("./romuvise " + arguments, keys);
}

ProgramResult CProgramFolder::Romvise(const std::string& arguments, const std::string& keys) const
{
    return Run(std::string(ROMVISE_PATH) + " " + arguments, keys);
}

void CProgramFolder::MakeMachine(const std::vector<std::vector<uint8_t>>& firmware,
                                 const std::string& options)
{
    std::string command = std::string(MAKEMACHINE_PATH) + " " + options;
    for (size_t i = 0; i < firmware.size(); ++i)
    {
        const std::string name = "start" + std::to_string(i) + ".rom";
        WriteFile(name, firmware[i]);
        command += " --gpu " + name;
    }
    m_hasMachine = false;
    const ProgramResult made = Run(command + " .");
    ASSERT_EQ(made.exitCode, 0) << made.err;
    m_hasMachine = true;
}

void CProgramFolder::UseMachine(const nlohmann::json& description)
{
    m_folder.WriteText("machine.json", description.dump(2));
    m_hasMachine = true;
}

std::vector<uint8_t> CProgramFolder::Chip(size_t index) const
{
    return ReadFile("chip" + std::to_string(index) + ".bin");
}

std::vector<uint8_t> CProgramFolder::ReadFile(const std::string& name) const
{
    std::ifstream file(PathOf(name), std::ios::binary | std::ios::ate);
    if (!file)
    {
        return {};
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(file.tellg()));
    file.seekg(0);
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

std::string CProgramFolder::PathOf(const std::string& name) const
{
    return (m_folder.Path() / name).string();
}

void CProgramFolder::WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) const
{
    m_folder.WriteBytes(name, bytes);
}

bool ChipHolds(const std::vector<uint8_t>& chip, const std::vector<uint8_t>& firmware)
{
    return chip.size() >= firmware.size() &&
           std::equal(firmware.begin(), firmware.end(), chip.begin()) &&
           std::all_of(chip.begin() + static_cast<std::ptrdiff_t>(firmware.size()), chip.end(),
                       [](uint8_t byte) { return byte == 0xFF; });
}

nlohmann::json Dolvik1Machine(const nlohmann::json& extraModel, const nlohmann::json& devices)
{
    nlohmann::json model = {
        {"kind", "gpu"},
        {"name", "dolvik1"},
        {"device_kind", 12},
        {"eeprom", {{"kind", "spi_flash"}, {"part", "C2/2013"}, {"file", "chip0.bin"}}}};
    model.update(extraModel);
    return {
        {"acpi", {{"mcfg", {{{"base", "0xE0000000"}, {"start_bus", 0}, {"end_bus", 255}}}}}},
        {"display_file", "display.txt"},
        {"pci",
         {{{"address", "00:01.0"},
           {"vendor", "0x8086"},
           {"device", "0x7A38"},
           {"class", "0x060400"},
           {"bridge", {{"secondary", 1}, {"subordinate", 1}}}},
          {{"address", "01:00.0"},
           {"vendor", "0x7E2B"},
           {"device", "0x0C00"},
           {"class", "0x030000"},
           {"revision", "0xA1"},
           {"subsystem", {{"vendor", "0x7E2B"}, {"device", "0x0C10"}}},
           {"bars", {{{"index", 0}, {"size", "0x1000000"}, {"address", "0xC0000000"}}}},
           {"model", model}}}},
        {"devices", devices},
    };
}

nlohmann::json McuMachine(const std::string& applicationFile, const nlohmann::json& mcuKeys)
{
    nlohmann::json mcu = {{"kind", "mcu"}, {"address", "0x98"}, {"application", applicationFile}};
    mcu.update(mcuKeys);
    const nlohmann::json ports = {{{"port", 1}, {"slaves", {mcu}}}};
    return Dolvik1Machine({{"i2c", ports}}, {{{"kind", "kestrix"}, {"gpu", "dolvik1"}}});
}

void PowerBackOn(CProgramFolder& folder)
{
    const ProgramResult powered = folder.Run(std::string(MAKEMACHINE_PATH) + " --power-on .");
    ASSERT_EQ(powered.exitCode, 0) << powered.err;
}
