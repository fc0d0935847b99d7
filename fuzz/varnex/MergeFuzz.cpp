// Merges two Varnex stores taken from the input by the merge rules, with the
// override options the first byte sets, and validates the result: every
// object class's transition and merge, the retired-page list conversions
// between the PBL versions among them. Any input must end in a merged image
// or a refusal, never in a read outside an object or an endless walk.
//
// Input: one byte of override flags (bit 0 --owpbl, bit 1 --owecc, bit 2
// --owobd), the new store's length (16 bits, little-endian), the new store,
// then the old store.
//
// fuzz-max-len: 24576

#include "core/CommandLine.h"
#include "core/Singleton.h"
#include "fuzz/FuzzSeeds.h"
#include "testkit/varnex/VarnexStoreBuilder.h"
#include "varnex/VarnexMerge.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace
{
const OptionDescriptor kOptions[] = {
    {"owpbl", ' ', 0, "", ""},
    {"owecc", ' ', 0, "", ""},
    {"owobd", ' ', 0, "", ""},
};

ICommandLine* CommandLineFor(uint8_t flags)
{
    std::vector<std::string> arguments = {"romvise"};
    for (size_t bit = 0; bit < std::size(kOptions); ++bit)
    {
        if ((flags >> bit) & 1)
        {
            arguments.push_back(std::string("--") + kOptions[bit].longName);
        }
    }
    std::vector<char*> argv;
    for (std::string& argument : arguments)
    {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return ICommandLine::Create(static_cast<int>(std::size(kOptions)), kOptions,
                                static_cast<int>(arguments.size()), argv.data());
}

// A store with an object of every kind that merges by a rule of its own and
// a retired-page list of the given version.
std::vector<uint8_t> Store(uint8_t pblVersion, uint8_t pblSubversion, uint32_t pages,
                           const std::string& imgVersion = "1.0")
{
    std::vector<uint64_t> eccOn;
    std::vector<uint64_t> eccOff;
    for (uint32_t i = 0; i < pages; ++i)
    {
        eccOn.push_back(0x20001000u + 0x1000u * i);
        eccOff.push_back(0x40002000u + 0x1000u * i);
    }
    return testkit::CVarnexStoreBuilder()
        .Directory(19)
        .Img(imgVersion, 0x2204, 0x10DE, 0x1454, 0x10DE)
        .Obd("699-12345-0000-A01")
        .Oem({1, 2, 3, 4})
        .WithAttribute(0x01)
        .Ecc(std::vector<uint8_t>(40, 0xEC))
        .WithAttribute(0x03)
        .Pbl(pblVersion, pblSubversion, eccOn, eccOff)
        .WithAttribute(0x01)
        .Ppo({{1, 2, 250}})
        .Een({0xFFFFFFFE})
        .Bbo(7, 1, 0x1234)
        .Generic("PGM", std::vector<uint8_t>(12, 0xFF))
        .BuildRaw();
}

std::vector<uint8_t> Pair(uint8_t flags, const std::vector<uint8_t>& newStore,
                          const std::vector<uint8_t>& oldStore)
{
    std::vector<uint8_t> bytes = {flags, static_cast<uint8_t>(newStore.size()),
                                  static_cast<uint8_t>(newStore.size() >> 8)};
    bytes.insert(bytes.end(), newStore.begin(), newStore.end());
    bytes.insert(bytes.end(), oldStore.begin(), oldStore.end());
    return bytes;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"same-versions", Pair(0, Store(2, 1, 3), Store(2, 1, 2))},
        {"pbl-2.0-to-2.1", Pair(1, Store(2, 1, 1), Store(2, 0, 4))},
        {"pbl-2.1-to-3.0", Pair(1, Store(3, 0, 2), Store(2, 1, 5))},
        {"pbl-2.0-to-3.0", Pair(7, Store(3, 0, 0), Store(2, 0, 6))},
        {"pbl-3.0-back-to-2.0", Pair(1, Store(2, 0, 1), Store(3, 0, 3))},
        {"other-img-version", Pair(0, Store(2, 1, 1, "2.0"), Store(2, 1, 1))},
        {"file-system-old-store",
         Pair(2, Store(2, 1, 1),
              testkit::CVarnexStoreBuilder().Img("1.0", 1, 2, 3, 4).Pbl(2, 0, {1}, {2}).BuildFileSystem())},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
    {
        return 0;
    }
    const size_t newSize = std::min<size_t>(data[1] | data[2] << 8, size - 3);
    const std::span<const uint8_t> newBytes(data + 3, newSize);
    const std::span<const uint8_t> oldBytes(data + 3 + newSize, size - 3 - newSize);
    CLog log; // no sinks: the merge's reports go nowhere
    CRefPtr<CVarnexImage> newImage(new CVarnexImage(newBytes));
    CRefPtr<CVarnexImage> oldImage(new CVarnexImage(oldBytes));
    ICommandLine* commandLine = CommandLineFor(data[0]);
    CRefPtr<CVarnexImage> merged =
        MergeVarnexImages(newImage.get(), oldImage.get(), commandLine, &log);
    if (merged)
    {
        ValidateMergedVarnexImage(newImage.get(), merged.get(), &log);
        merged->UpdateDirectory(CreateFixedVarnexCalendar({5, 3, 2024}).get());
        merged->SerializeRaw();
    }
    // The merge of an image with itself must always be possible to attempt.
    MergeVarnexObjects(oldImage.get(), oldImage.get(), commandLine, &log);
    ReleaseSingletons();
    return 0;
}
