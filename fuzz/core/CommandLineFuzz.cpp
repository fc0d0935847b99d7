// Parses arbitrary argument lists against an option table with options of no,
// one and many values, then asks every typed reader for every value it got:
// the packaged updater parses the user's own arguments this way. Any input
// must end in a value, a false result or an exception, never in a read
// outside a value or a write outside the caller's buffer.
//
// The input is the arguments, separated by zero bytes.

#include "core/CommandLine.h"
#include "core/Singleton.h"
#include "fuzz/FuzzSeeds.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const OptionDescriptor kOptions[] = {
    {"help", '?', 0, "", "Show this screen."},
    {"version", 'v', 0, "", "Show the version."},
    {"index", 'i', 1, "<index>", "Adapter index."},
    {"pci", 'p', 1, "<seg:bus:dev.fn>", "Adapter at a PCI address."},
    {"filterdevid", 'f', 1, "<id>", "Only adapters of this device ID."},
    {"reg", 'r', 4, "<reg.w[=value[:mask]]>", "Read or write registers."},
    {"tune", 't', 8, "<reg[msb:lsb]=value | id=data...>", "Preservation tuning."},
    {"owpbl", ' ', 0, "", ""},
    {"save", 's', 1, "<file>", "Save the firmware."},
};

template <class F> void Try(F&& action)
{
    try
    {
        action();
    }
    catch (const std::exception&)
    {
    }
}

// Every typed reader on one value of one occurrence.
void ReadValue(ICommandLine* commandLine, const std::string& name, int occurrence, int index)
{
    Try([&] { commandLine->GetValue(name, occurrence, index); });
    Try([&] { commandLine->GetValueDec(name, occurrence, index); });
    Try([&] { commandLine->GetValueHex(name, occurrence, index); });
    Try(
        [&]
        {
            PciAddress address{};
            commandLine->GetPCIAddress(name, occurrence, index, &address);
        });
    Try(
        [&]
        {
            RegisterSpec spec{};
            commandLine->GetRegisterSpec(name, occurrence, index, &spec);
        });
    for (const bool field : {true, false})
    {
        Try(
            [&]
            {
                TuneSpec spec{};
                const bool read = field ? commandLine->GetRegisterFieldSpec(name, occurrence, index, &spec)
                                        : commandLine->GetValuePair(name, occurrence, index, &spec);
                if (read)
                {
                    std::vector<uint8_t> data(spec.dataLength);
                    commandLine->GetHexList(name, occurrence, &spec, data.data());
                }
            });
    }
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const auto arguments = [](std::initializer_list<std::string> list)
    {
        std::vector<uint8_t> bytes;
        for (const std::string& argument : list)
        {
            bytes.insert(bytes.end(), argument.begin(), argument.end());
            bytes.push_back(0);
        }
        return bytes;
    };
    return {
        {"updater", arguments({"--index=1", "-p", "0:3:0.0", "--save", "old.rom", "new.rom"})},
        {"registers", arguments({"--reg", "0x88000.4=0x12345678:0xFFFF", "/r", "0x10.2"})},
        {"tune", arguments({"--tune", "0x1000[7:4]=3", "-t", "5=01,02,03", "--tune=0x20+=1"})},
        {"flags", arguments({"-?", "--version", "--owpbl", "--filterdevid=0x2204", "-i0"})},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> arguments = {"romuvise"};
    std::string current;
    for (size_t i = 0; i < size && arguments.size() < 64; ++i)
    {
        if (data[i] == 0)
        {
            arguments.push_back(current);
            current.clear();
        }
        else
        {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (!current.empty())
    {
        arguments.push_back(current);
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    Try(
        [&]
        {
            ICommandLine* commandLine =
                ICommandLine::Create(static_cast<int>(std::size(kOptions)), kOptions,
                                     static_cast<int>(arguments.size()), argv.data());
            commandLine->HasError();
            commandLine->GetPlainArguments();
            for (const OptionDescriptor& option : kOptions)
            {
                const int occurrences = commandLine->GetOccurrenceCount(option.longName);
                for (int occurrence = 0; occurrence < occurrences && occurrence < 4; ++occurrence)
                {
                    for (int index = 0; index <= option.maxValues && index < 9; ++index)
                    {
                        ReadValue(commandLine, option.longName, occurrence, index);
                    }
                }
                commandLine->RemoveOption(option.longName, 0);
            }
            std::ostringstream usage;
            commandLine->PrintUsage(&usage, false, 0, "", "");
        });
    ReleaseSingletons();
    return 0;
}
