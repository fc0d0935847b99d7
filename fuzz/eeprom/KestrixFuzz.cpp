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
//      as `loadkestrix` gives it, for the engine bits 2-3 pick (PMU, KRDEC or
//      SEC), which writes it into the engine's memories and starts it
//   2  keys typed at the console of a loader of the built-in microcode on the
//      simulated adapter
//   3  a file the console's raw program command (`cmd 5`, EWR) writes to the
//      flash chip, at the offset the next two bytes give (in 256-byte units)
// The simulated adapter and the console's loader are made once; each image
// gets a loader of its own.
//
// What one input may ask of the console is capped here, not in the console:
// a typed "rd 0 0xFFFFFFFF" reads that many registers, as the engineer asked,
// and a command the microcode leaves unanswered is polled 50000 times before
// it times out; either would hold the fuzzer on one input for seconds or
// minutes. A session ends once it has printed kMostConsoleOutput bytes or
// read kMostRegisterReads registers (the next session's reset starts afresh;
// making the loader again would cost more than the session).
//
// fuzz-link: romvise_testkit_kestrix romvise_testkit_machine
// fuzz-seconds: 4

#include "eeprom/KestrixLoader.h"
#include "fuzz/FuzzMemoryFile.h"
#include "fuzz/FuzzSeeds.h"
#include "hw/adapter/EnumerateAdapters.h"
#include "hw/IDriverTransport.h"
#include "sim/SimDriverTransport.h"
#include "sim/SimKestrix.h"
#include "sim/SimSpiFlash.h"
#include "testkit/kestrix/KestrixImageBuilder.h"
#include "testkit/machine/AdapterMachine.h"
#include "testkit/machine/SimHardware.h"
#include "testkit/machine/TypedConsole.h"

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
    kFlashFile = 3,
};

constexpr size_t kMostConsoleOutput = 16 * 1024;
constexpr uint64_t kMostRegisterReads = 5000;

// Ends a console session that has asked more than one input may.
struct CapReached
{
};

// The machine's transport, counting register reads while a session runs.
class CCountingTransport : public CSimDriverTransport
{
public:
    using CSimDriverTransport::CSimDriverTransport;

    void StartCounting() { m_reads = 0, m_counting = true; }
    void StopCounting() { m_counting = false; }

    uint32_t ReadMemory32(uint64_t linear) override
    {
        if (m_counting && ++m_reads > kMostRegisterReads)
        {
            m_counting = false;
            throw CapReached{};
        }
        return CSimDriverTransport::ReadMemory32(linear);
    }

private:
    uint64_t m_reads = 0;
    bool m_counting = false;
};

class CCappedOutput : public std::streambuf
{
protected:
    int_type overflow(int_type character) override
    {
        Count(1);
        return traits_type::not_eof(character);
    }
    std::streamsize xsputn(const char*, std::streamsize count) override
    {
        Count(static_cast<size_t>(count));
        return count;
    }

private:
    void Count(size_t count)
    {
        m_written += count;
        if (m_written > kMostConsoleOutput)
        {
            throw CapReached{};
        }
    }
    size_t m_written = 0;
};

// A Dolvik1 adapter with a serial flash chip and the Kestrix engines, made
// the process's hardware.
struct KestrixMachine
{
    KestrixMachine()
        : console(InstallTypedConsole()), made(MakeMachineWithMcfg()), scope(made)
    {
        transport = new CCountingTransport(made);
        InstallDriverTransport(CRefPtr<IDriverTransport>(transport));
        AddSimRootPort(scope.Machine(), {0, 1, 0}, 1, 1);
        CSimGpu& gpu = AddSimGpu(scope.Machine(), {1, 0, 0}, 0x0C00, 12, 0xC0000000);
        AddSimSpiChip(scope.Machine(), gpu, CSimSpiFlash::FindPart(0xC2, 0x2013), "flash");
        scope.Machine().AddDevice(std::make_shared<CSimKestrix>("kestrix", gpu, SimKestrixConfig{}));
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, IPCIBus::Create(),
                          CRefPtr<IDisplayAdapterDatabase>(CreateDisplayAdapterDatabase()), {}, {},
                          &log);
        adapter = adapters.at(0);
    }

    KestrixLoadRequest Request(const std::string& fileName, uint32_t engineType = KESTRIX_PMU)
    {
        KestrixLoadRequest request;
        request.adapter = adapter;
        request.engineType = engineType;
        request.userImage = !fileName.empty();
        request.fileName = fileName;
        request.log = &log;
        return request;
    }

    CRefPtr<CTypedConsole> console;
    std::shared_ptr<CSimMachine> made;
    CSimHardwareScope scope;
    CCountingTransport* transport = nullptr; // held by the installed reference
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

void LoadImage(uint8_t flags, std::span<const uint8_t> image)
{
    static const uint32_t kEngines[] = {KESTRIX_PMU, KESTRIX_KRDEC, KESTRIX_SEC};
    const CFuzzMemoryFile file(image);
    if (!file.IsOpen())
    {
        return;
    }
    try
    {
        CreateKestrixLoader(Machine().Request(file.Path(), kEngines[((flags >> 2) & 3) % 3]));
    }
    catch (const std::exception&)
    {
    }
}

// The console's loader is made once: loading the microcode costs far more
// than a typed line, and each session starts from the console's own reset.
void TypeKeys(std::span<const uint8_t> keys)
{
    KestrixMachine& machine = Machine();
    static const CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(machine.Request(""));
    CCappedOutput capped;
    std::ostream output(&capped);
    // The cap's exception passes through the stream to end the session.
    output.exceptions(std::ios::badbit);
    loader->SetConsoleOutput(output);
    machine.console->keys.assign(keys.begin(), keys.end());
    machine.transport->StartCounting();
    try
    {
        loader->RunConsole();
    }
    catch (const std::exception&)
    {
    }
    catch (const CapReached&)
    {
    }
    machine.transport->StopCounting();
    machine.console->keys.clear();
}

// The raw program command writes the file where the chip was identified and
// its write enabled.
void ProgramFile(std::span<const uint8_t> input)
{
    if (input.size() < 2)
    {
        return;
    }
    const uint32_t offset = (uint32_t{input[0]} | uint32_t{input[1]} << 8) * 256;
    const CFuzzMemoryFile file(input.subspan(2));
    if (!file.IsOpen())
    {
        return;
    }
    const std::string keys =
        "cmd 2\ncmd 3\ncmd 5 " + std::to_string(offset) + " " + file.Path() + "\nexit\n";
    TypeKeys({reinterpret_cast<const uint8_t*>(keys.data()), keys.size()});
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
        {"loaded-krdec-image", Tagged(kLoadedImage | (1 << 2), BuildKestrixImage())},
        {"loaded-sec-image", Tagged(kLoadedImage | (2 << 2), BuildKestrixImage())},
        {"flash-file", Tagged(kFlashFile, {0x01, 0x00, 0x12, 0x34, 0x56, 0x78, 0x9A})},
        {"console-many-registers", Typed("rd 0 0xFFFFFFFF\n")},
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
        LoadImage(data[0], rest);
        break;
    case kConsoleKeys:
        TypeKeys(rest);
        break;
    default:
        ProgramFile(rest);
        break;
    }
    return 0;
}
