// romvise as a process writing every kind of output file into every kind of
// name: a new name is created, an existing regular file replaced whole (its
// mode kept), anything else refused and left alone, and a write that fails
// part way leaves the old file as it was and no temporary file beside it.

#include "ProgramRun.h"

#include "testkit/machine/AdapterMachine.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
enum class OutputMachine
{
    Varnex, // one GPU whose firmware carries a Varnex store
    Mcu,    // a Dolvik1 with its board microcontroller
};

struct OutputCommand
{
    const char* name;
    OutputMachine machine;
    // The arguments that write the named file.
    std::string (*arguments)(const std::string& file);
    const char* keys;
    const char* file; // the name of the file the command writes
    // The command takes a name without a given extension, so a device's.
    bool anyName = false;
};

std::vector<uint8_t> VarnexStore()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
        .Oem({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88})
        .Bbo(7, 2, 0xBEEF)
        .BuildRaw();
}

const std::vector<OutputCommand> kCommands = {
    {"save firmware", OutputMachine::Varnex, [](const std::string& f) { return "--save=" + f; },
     "", "out.rom"},
    {"save store", OutputMachine::Varnex, [](const std::string& f) { return "--save=" + f; }, "",
     "out.vnx"},
    {"rdobj", OutputMachine::Varnex, [](const std::string& f) { return "--rdobj=obd," + f; }, "",
     "obd.bin", true},
    {"rdoem", OutputMachine::Varnex, [](const std::string& f) { return "--rdoem " + f; }, "",
     "oem.bin", true},
    {"savefs", OutputMachine::Varnex, [](const std::string& f) { return "--savefs " + f; }, "",
     "dump.fs", true},
    // The output is the input's name with ".fs" for ".vnx".
    {"createfs", OutputMachine::Varnex,
     [](const std::string& f) { return "--createfs " + f.substr(0, f.size() - 3) + ".vnx"; }, "",
     "store.fs"},
    {"rdbbo", OutputMachine::Varnex, [](const std::string& f) { return "--rdbbo " + f; }, "",
     "bbo.txt", true},
    {"rdobd", OutputMachine::Varnex, [](const std::string& f) { return "--rdobd=" + f; }, "",
     "obd.txt", true},
    {"savegmac", OutputMachine::Mcu, [](const std::string& f) { return "--savegmac=" + f; }, "",
     "app.rom"},
};

enum class NameHolds
{
    Nothing,
    RegularFile,
    Link,
    Folder,
    Device,
    Fifo,
    RegularFileWriteFails,
};

struct NameCase
{
    const char* name;
    NameHolds holds;
};

const std::vector<NameCase> kNames = {
    {"new file", NameHolds::Nothing},
    {"existing regular file", NameHolds::RegularFile},
    {"link", NameHolds::Link},
    {"folder", NameHolds::Folder},
    {"device", NameHolds::Device},
    {"FIFO", NameHolds::Fifo},
    {"write failing part way", NameHolds::RegularFileWriteFails},
};

const std::vector<uint8_t> kOldBytes(4000, 0x5A);

void PrepareMachine(CProgramFolder& folder, OutputMachine machine)
{
    if (machine == OutputMachine::Mcu)
    {
        folder.WriteFile("chip0.bin",
                         MakeFirmware({.deviceId = kDolvik1Id, .i2cDevices = {kGmacEntry}}));
        folder.WriteFile("mcu.rom", MakeMcuFirmware(0x7E2B, kDolvik1Id, 3000));
        nlohmann::json machineFile = McuMachine("mcu.rom");
        // No display record: the size limit of the failing case would stop
        // its lines before the file is written.
        machineFile.erase("display_file");
        folder.UseMachine(machineFile);
        return;
    }
    folder.MakeMachine({MakeFirmware({.varnexStore = VarnexStore()})});
    const std::vector<uint8_t> bytes = folder.ReadFile("machine.json");
    nlohmann::json machineFile = nlohmann::json::parse(bytes.begin(), bytes.end());
    machineFile.erase("display_file");
    folder.UseMachine(machineFile);
    // The inputs of createfs, one for each case's output name.
    for (size_t k = 0; k < kNames.size(); ++k)
    {
        folder.WriteFile(std::to_string(k) + "-store.vnx", VarnexStore());
    }
}

// The folder's entries whose name starts with '.' (a temporary file left).
std::vector<std::string> HiddenEntries(const CProgramFolder& folder)
{
    std::vector<std::string> hidden;
    for (const auto& entry : std::filesystem::directory_iterator(folder.PathOf("")))
    {
        const std::string name = entry.path().filename().string();
        if (name.starts_with("."))
        {
            hidden.push_back(name);
        }
    }
    return hidden;
}

mode_t ModeOf(const std::string& path)
{
    struct stat status{};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode;
}
// Puts what the case names into the file's place; false when the case does
// not apply to the command. A device stands in for the file by its own name.
bool PrepareName(CProgramFolder& folder, const OutputCommand& command, NameHolds holds,
                 std::string& file)
{
    const std::string path = folder.PathOf(file);
    switch (holds)
    {
    case NameHolds::Nothing:
        return true;
    case NameHolds::RegularFile:
    case NameHolds::RegularFileWriteFails:
        folder.WriteFile(file, kOldBytes);
        return ::chmod(path.c_str(), 0640) == 0;
    case NameHolds::Link:
        folder.WriteFile("target.bin", kOldBytes);
        std::filesystem::create_symlink(folder.PathOf("target.bin"), path);
        return true;
    case NameHolds::Folder:
        return std::filesystem::create_directory(path);
    case NameHolds::Device:
        file = "/dev/null";
        return command.anyName;
    case NameHolds::Fifo:
        return ::mkfifo(path.c_str(), 0644) == 0;
    }
    return false;
}

// The command line; a write that must fail part way runs under a file-size
// limit below the file's size (none at all for a file of one block), with
// the signal that would end the process ignored so that the write fails.
std::string CommandLine(const OutputCommand& command, NameHolds holds, const std::string& file,
                        size_t writtenSize)
{
    const std::string run = std::string(ROMVISE_PATH) + " " + command.arguments(file);
    if (holds != NameHolds::RegularFileWriteFails)
    {
        return run;
    }
    const char* blocks = writtenSize > 512 ? "1" : "0";
    return "sh -c \"trap '' XFSZ; ulimit -f " + std::string(blocks) + "; exec " + run + "\"";
}

// What the run left: the file's bytes and mode, a refusal that changed
// nothing, and no temporary file beside it.
void ExpectOutcome(const CProgramFolder& folder, NameHolds holds, const std::string& file,
                   const ProgramResult& result, const std::vector<uint8_t>& written)
{
    const std::string all = result.out + result.err;
    const std::string path = folder.PathOf(file);
    switch (holds)
    {
    case NameHolds::Nothing:
        EXPECT_EQ(result.exitCode, 0) << all;
        break;
    case NameHolds::RegularFile:
    case NameHolds::RegularFileWriteFails:
    {
        // Replaced whole, or on failure kept as it was; its mode kept.
        const bool fails = holds == NameHolds::RegularFileWriteFails;
        EXPECT_EQ(result.exitCode != 0, fails) << all;
        EXPECT_EQ(folder.ReadFile(file), fails ? kOldBytes : written);
        EXPECT_EQ(ModeOf(path) & 07777, 0640u);
        break;
    }
    case NameHolds::Link:
    case NameHolds::Folder:
    case NameHolds::Device:
    case NameHolds::Fifo:
        EXPECT_EQ(result.exitCode, 3) << all;
        EXPECT_TRUE(
            Contains(all, "I/O ERROR: Cannot create file: " + file + " (not a regular file)"))
            << all;
        break;
    }
    if (holds == NameHolds::Link)
    {
        EXPECT_TRUE(std::filesystem::is_symlink(path));
        EXPECT_EQ(folder.ReadFile("target.bin"), kOldBytes);
    }
    if (holds == NameHolds::Folder)
    {
        EXPECT_TRUE(std::filesystem::is_empty(path));
    }
    if (holds == NameHolds::Fifo)
    {
        EXPECT_TRUE(S_ISFIFO(ModeOf(path)));
    }
    EXPECT_EQ(HiddenEntries(folder), std::vector<std::string>{});
}
} // namespace

TEST(OutputFilesRun, EveryCommandWritesEveryNameByOneRule)
{
    for (const OutputCommand& command : kCommands)
    {
        SCOPED_TRACE(command.name);
        CProgramFolder folder;
        PrepareMachine(folder, command.machine);
        // The bytes of the first case, a new file, which every later
        // successful write must give again.
        std::vector<uint8_t> written;
        for (size_t k = 0; k < kNames.size(); ++k)
        {
            const NameCase& c = kNames[k];
            SCOPED_TRACE(c.name);
            std::string file = std::to_string(k) + "-" + command.file;
            if (!PrepareName(folder, command, c.holds, file))
            {
                continue;
            }
            const ProgramResult result =
                folder.Run(CommandLine(command, c.holds, file, written.size()), command.keys);
            if (c.holds == NameHolds::Nothing)
            {
                written = folder.ReadFile(file);
                ASSERT_FALSE(written.empty()) << result.out << result.err;
            }
            ExpectOutcome(folder, c.holds, file, result, written);
        }
    }
}
