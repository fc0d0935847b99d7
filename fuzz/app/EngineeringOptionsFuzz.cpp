// Fuzzes the values the engineering program's own commands take, through its
// real option table and a whole run on a simulated adapter: `wrbbo`, `guid`,
// `addpp`, `delpp`, `repairvarnex` and `straps`. Any input must end in the
// command's result or a refusal with its message, never in a read outside a
// value, an exception that escapes the run, or a write the value did not ask
// for.
//
// Input: one byte picks the command (modulo six); the rest are the words
// after it, separated by zero bytes (the first word is the option's value as
// "--<command>=<word>" when the byte's bit 7 is set, else a word of its own).
// A word of its own that begins with a dash or a slash would be an option or
// a file, not a value: such an input is skipped, so that no run writes a log,
// a backup or an output file wherever the fuzzer happened to name one.
// Each input runs on a machine made afresh, so a crash reproduces alone.
//
// fuzz-link: romvise_engineering romvise_sim romvise_testkit_machine romvise_testkit_image romvise_testkit_varnex
// fuzz-max-len: 256
// fuzz-seconds: 10

#include "app/RomviseBaseApp.h"
#include "app/engineering/EngineeringCommands.h"
#include "core/CrossPlatform.h"
#include "flasher/IFlasher.h"
#include "fuzz/FuzzSeeds.h"
#include "sim/SimSpiFlash.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"
#include "testkit/varnex/VarnexFirmware.h"
#include "testkit/varnex/VarnexStoreBuilder.h"

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace
{
const char* const kCommands[] = {"wrbbo", "guid", "addpp", "delpp", "repairvarnex", "straps"};

std::vector<uint8_t> Firmware()
{
    const std::vector<uint8_t> plain = testkit::CGpuImageBuilder()
                                           .Block(testkit::CGpuImageBuilder::kX86, 0x10000)
                                           .DeviceId(0x0800)
                                           .HardwareDataArea(0x7E2B, 0x0001)
                                           .GuidRecord(0x01234567, 0x89ABCDEF)
                                           .Build();
    const std::vector<uint8_t> store =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Bbo(7, 2, 0xBEEF)
            .Ppo({{1, 2, 3}})
            .Pbl(2, 1, {0x1000}, {0x2000})
            .BuildRaw();
    const std::vector<uint8_t> backup =
        testkit::CVarnexStoreBuilder()
            .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
            .Pbl(2, 1, {0x1000}, {})
            .BuildRaw();
    return testkit::WithVarnexBlock(plain, store, backup);
}

std::shared_ptr<CSimMachine> MakeMachine(const std::vector<uint8_t>& firmware)
{
    std::shared_ptr<CSimMachine> machine = MakeMachineWithMcfg();
    AddSimRootPort(*machine, {0, 1, 0}, 1, 1);
    CSimGpu& gpu = AddSimGpu(*machine, {1, 0, 0}, 0x0800, 8, 0xC0000000);
    AddSimSpiChip(*machine, gpu, CSimSpiFlash::FindPart(0xEF, 0x3013), "chip", firmware);
    return machine;
}

// What the runs print goes nowhere.
struct QuietOutput
{
    QuietOutput()
    {
        std::cout.rdbuf(sink.rdbuf());
        std::cerr.rdbuf(sink.rdbuf());
    }
    std::ostringstream sink;
};

std::vector<uint8_t> Words(uint8_t command, std::initializer_list<std::string> words)
{
    std::vector<uint8_t> input = {command};
    bool first = true;
    for (const std::string& word : words)
    {
        if (!first)
        {
            input.push_back(0);
        }
        first = false;
        input.insert(input.end(), word.begin(), word.end());
    }
    return input;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"wrbbo", Words(0, {"id=7.2", "value=0x1234"})},
        {"guid", Words(0x81, {"0123456789ABCDEF"})},
        {"addpp", Words(2, {"1", "2", "3"})},
        {"delpp", Words(3, {"1", "2"})},
        {"repairvarnex", Words(0x84, {"16"})},
        {"straps", Words(5, {"1", "2", "3", "4"})},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QuietOutput quiet;
    static const std::vector<uint8_t> firmware = Firmware();
    // The run reaches the commands as romvise's does once its main installed them.
    static const bool installed = (InstallEngineeringCommands(EngineeringCommands()), true);
    (void)installed;
    if (size == 0)
    {
        return 0;
    }
    const std::string command = kCommands[(data[0] & 0x7F) % std::size(kCommands)];
    std::vector<std::string> words = {"romvise", "--auto", "--noconfirm", "--force"};
    std::string word;
    bool joined = (data[0] & 0x80) != 0;
    words.push_back("--" + command);
    for (size_t i = 1; i <= size; ++i)
    {
        if (i < size && data[i] != 0)
        {
            if (word.empty() && !joined && (data[i] == '-' || data[i] == '/'))
            {
                return 0;
            }
            word.push_back(static_cast<char>(data[i]));
            continue;
        }
        if (joined)
        {
            words.back() += "=" + word;
            joined = false;
        }
        else
        {
            words.push_back(word);
        }
        word.clear();
    }
    std::vector<char*> argv;
    for (std::string& each : words)
    {
        argv.push_back(each.data());
    }
    CSimHardwareScope scope(MakeMachine(firmware));
    CRefPtr<CTypedConsole> console = InstallTypedConsole();
    try
    {
        CRomviseBaseApp app(static_cast<int>(argv.size()), argv.data());
        GetCrossPlatform()->SetDisplayDriverHook(CreateDisplayDriverHook(GetFlasher()));
        app.Run();
    }
    catch (const std::exception&)
    {
        // A refusal of the command line itself, before the run.
    }
    GetCrossPlatform()->SetDisplayDriverHook(nullptr);
    GetCrossPlatform()->SetFlashContext(nullptr, nullptr, nullptr);
    GetCrossPlatform()->SetActiveAdapter(nullptr);
    return 0;
}
