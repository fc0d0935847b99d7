// Fuzzes what the Kestrix microcontroller's users hand the program: microcode
// images with their data-memory map, and the lines typed at its debug
// console. Any input must end in a load status, a refusal or console output,
// never in a read outside a segment, a register write the console did not
// ask for through its checks, or an endless wait.
//
// The first byte picks what the rest is (by its two lowest bits):
//   0  a microcode image, parsed for the engine bits 2-4 name (with the
//      signature blocks of a built-in image patched in when bit 5 is set), and
//      its data-memory map read at the offset its first word gives as well as
//      where the scan finds it
//   1  a microcode image given as a file to a loader on a simulated adapter,
//      which writes it into the engine's memories and starts it
//   2, 3  keys typed at the console of a loader of the built-in microcode on the
//      simulated adapter
// The simulated adapter and the console's loader are made once; each image
// gets a loader of its own.
//
// fuzz-link: romvise_testkit_kestrix romvise_testkit_machine
// fuzz-seconds: 4

#include "eeprom/KestrixLoader.h"
#include "fuzz/FuzzSeeds.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "sim/SimKestrix.h"
#include "sim/SimSpiFlash.h"
#include "testkit/kestrix/KestrixImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <exception>
#include <memory>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace
{
enum EKestrixInput : uint8_t
{
    kParsedImage = 0,
    kLoadedImage = 1,
    kConsoleKeys = 2,
};

// A Dolvik1 adapter with a serial flash chip and the Kestrix engines, made
// the process's hardware.
struct KestrixMachine
{
    KestrixMachine() : console(InstallTypedConsole()), scope(MakeMachineWithMcfg())
    {
        AddSimRootPort(scope.Machine(), {0, 1, 0}, 1, 1);
        CSimGpu& gpu = AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0C00, 12, 0xC0000000);
        const SimFlashPart& part = CSimSpiFlash::FindPart(0xC2, 0x2013);
        gpu.AttachChip(std::make_shared<CSimSpiFlash>(
            "flash", part, ESimSpiFlavour::Standard, std::make_shared<CSimChipStore>(part.sizeBytes),
            &scope.Machine().Clock(), &scope.Machine().Counters()));
        scope.Machine().AddDevice(std::make_shared<CSimKestrix>("kestrix", gpu, SimKestrixConfig{}));
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, IPCIBus::Create(),
                          CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                          &log);
        adapter = adapters.at(0);
    }

    KestrixLoadRequest Request(const std::string& fileName)
    {
        KestrixLoadRequest request;
        request.adapter = adapter;
        request.engineType = KESTRIX_PMU;
        request.userImage = !fileName.empty();
        request.fileName = fileName;
        request.log = &log;
        return request;
    }

    CRefPtr<CTypedConsole> console;
    CSimHardwareScope scope;
    CLog log; // no sinks: the loader's reports go nowhere
    CRefPtr<IDisplayAdapter> adapter;
};

KestrixMachine& Machine()
{
    static KestrixMachine machine;
    return machine;
}

void ParseImage(uint8_t flags, std::span<const uint8_t> image)
{
    static const std::array<uint8_t, kSignatureSize> production{1, 2, 3};
    static const std::array<uint8_t, kSignatureSize> alternate{4, 5, 6};
    KestrixUcodeDescriptor descriptor;
    descriptor.productionSignature = production.data();
    descriptor.alternateProductionSignature = alternate.data();
    const auto engine = static_cast<uint8_t>((flags >> 2) & 7);
    const KestrixParsedImage parsed =
        ParseKestrixImage(image, engine, (flags & 0x20) != 0 ? &descriptor : nullptr);
    KestrixLoadStatusName(parsed.status);
    if (image.size() >= 4)
    {
        ReadKestrixDmemMapper(image, KestrixWordAt(image, 0));
    }
    KestrixWordsOf(parsed.data);
}

void LoadImage(std::span<const uint8_t> image)
{
    const int fd = memfd_create("ucode.bin", 0);
    if (fd < 0)
    {
        return;
    }
    if (image.empty() || write(fd, image.data(), image.size()) == static_cast<ssize_t>(image.size()))
    {
        try
        {
            CreateKestrixLoader(Machine().Request("/proc/self/fd/" + std::to_string(fd)));
        }
        catch (const std::exception&)
        {
        }
    }
    close(fd);
}

// The console's loader is made once: loading the microcode costs far more
// than a typed line, and each session starts from the console's own reset.
void TypeKeys(std::span<const uint8_t> keys)
{
    KestrixMachine& machine = Machine();
    static const CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(machine.Request(""));
    std::ostringstream output;
    loader->SetConsoleOutput(output);
    machine.console->keys.assign(keys.begin(), keys.end());
    try
    {
        loader->RunConsole();
    }
    catch (const std::exception&)
    {
    }
    machine.console->keys.clear();
}

std::vector<uint8_t> Tagged(uint8_t kind, const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> input = {kind};
    input.insert(input.end(), bytes.begin(), bytes.end());
    return input;
}

std::vector<uint8_t> Typed(const std::string& keys)
{
    return Tagged(kConsoleKeys, std::vector<uint8_t>(keys.begin(), keys.end()));
}

KestrixImageSpec VersionOne()
{
    KestrixImageSpec spec;
    spec.version = 1;
    spec.mapperVersion = 1;
    spec.withPrintf = false;
    return spec;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    KestrixImageSpec alternate;
    alternate.ucodeFeature = kUcodeFeatureAlternateSignatures;
    alternate.alternateSecureSize = 0x80;
    return {
        {"image-v2-map-v3", Tagged(kParsedImage | 0x20 | (1 << 2), BuildKestrixImage())},
        {"image-v1-map-v1", Tagged(kParsedImage, BuildKestrixImage(VersionOne()))},
        {"image-alternate-signatures", Tagged(kParsedImage | 0x20, BuildKestrixImage(alternate))},
        {"loaded-image", Tagged(kLoadedImage, BuildKestrixImage())},
        {"console-registers", Typed("rd 0x100 4\nwr 0x100 5\nprd 0x88000\npwr 0x88000 1\n")},
        {"console-memories", Typed("dmem 0 16\nimem 0x10 8\ndmemwr 0x100 1 2 3\ndmap\ngetlog\n")},
        {"console-commands", Typed("cmd 1 2 3\nicd 1\ni2c 0 0x50 1\nvv\nhelp dmemwr\n")},
        {"console-editing", Typed("abc\b\x1b[D\x17zz\x04rd 1\n\x1b[A\x1b[A\n\"open quote\nexit\n")},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
    {
        return 0;
    }
    const std::span<const uint8_t> rest(data + 1, size - 1);
    switch (data[0] & 3)
    {
    case kParsedImage:
        ParseImage(data[0], rest);
        break;
    case kLoadedImage:
        LoadImage(rest);
        break;
    default:
        TypeKeys(rest);
        break;
    }
    return 0;
}
