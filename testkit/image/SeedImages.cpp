#include "testkit/image/SeedImages.h"

#include "testkit/image/BridgeImageBuilder.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/UefiBuilder.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace testkit
{

std::vector<uint8_t> ImageWithEveryTable(bool initFromRom)
{
    CGpuImageBuilder b;
    if (initFromRom)
    {
        b.InitFromRom(0x200);
    }
    b.Block(CGpuImageBuilder::kX86, 0x8000)
        .Kpde()
        .Patch(0x4C, {0x00, 0x80})
        .CommandList({0x08001000, 1, 0x08002003, 2, 3})
        .HardwareDataArea(0x7E2B, 0x1454, {1, 2, 3, 4, 5, 6})
        .GuidRecord(0x11223344, 0x55667788)
        .ModificationDate("12/31/99")
        .FlagByte49(0x01)
        .Pmid()
        .Dcb({0x11111111, 0x22222222})
        .BoardTexts("Sign-on", "OEM", "Korvan", "Board", "A1")
        .VFieldTables({{0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}}, {{7, 0xE4, 0x00}});

    const std::vector<uint8_t> script = Join({
        ScriptWriteRun(0x1000, {1, 2}),
        ScriptWrite(0x3000, 5),
        ScriptStrapSelect(0x0C, 2, 0x5000, {1, 2, 3, 4}),
        ScriptRamConfig(0x6000, 4, 2, {1, 2, 3, 4, 5, 6}),
        ScriptWriteAB(0x4000, 1, 2),
    });
    const uint32_t scripts = b.Place(script);
    const uint32_t dataBlock = b.Place(std::vector<uint8_t>(16, 0x11));
    const uint32_t strapTable = b.Place({0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0, 1, 2, 0});
    b.Token('M', 1, Join({{0, 0, 3}, Words({strapTable})}));
    InfoToken info;
    info.version = 0x86041B00;
    info.boardId = 0x0E2B;
    info.gpuDeviceId = 0x2204;
    info.pointer7Value = 0xAE6CEF;
    info.preservationTable = static_cast<uint16_t>(b.PreservationTable(
        0x11,
        {{static_cast<uint16_t>(scripts), static_cast<uint16_t>(script.size()), 0x40, 0},
         {static_cast<uint16_t>(dataBlock), 16, 0x90, 1},
         {0, 0, 0x80, 0}},
        2));
    b.Info(info);
    BiosDataToken bios;
    bios.version = 0x86041B00;
    bios.appliedRecord = static_cast<uint16_t>(b.Place({1, 2, 3, 4}));
    bios.recordCapacity = 4;
    bios.appliedCount = 2;
    b.BiosData(bios);

    const uint32_t words = b.Place(Words({0x1111, 0x2222}));
    const uint32_t pairs = b.Place(std::vector<uint8_t>(16, 2));
    const uint32_t scriptTable = b.Place(Words({0x0600, 0x0700, 0, 0, 0x0102}));
    const uint32_t devinit = b.Place({0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0});
    b.Token('I', 1,
            Words({scriptTable, words, pairs, pairs, pairs, pairs, 0, 0x0ABC, words, 0, scriptTable,
                   0, devinit, 0}));
    const uint32_t links = b.Place(std::vector<uint8_t>(32, 0x22));
    b.Token('T', 0, Words({links, links}));
    b.Token('L', 0, Words({links}));
    const uint32_t pllRecord = b.Place(std::vector<uint8_t>(16, 0x33));
    const uint32_t pllTable = b.Place(Join({{0x40, 5, 3, 1, 0, 1}, Words({pllRecord})}));
    b.Token('C', 2, Join({Words({pllTable}), {0, 0}}));
    b.UcodeTable({{1, b.Place(std::vector<uint8_t>(8, 0x44))}}, 8);

    b.Block(CGpuImageBuilder::kEfi, 0x800)
        .VarnexBlock({'R', 'O', 'M', 0, 1, 2, 3}, {'R', 'O', 'M'})
        .Block(CGpuImageBuilder::kX86Extension, 0x400);
    return b.Build();
}

namespace
{
// A first block whose PCIR length covers the next one (a SuperImage), with a
// fixed init segment flag, and an EFI block behind.
std::vector<uint8_t> SuperImage()
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x10000)
        .PcirLength(0x18000)
        .InitSize(0x18000)
        .Kpde()
        .KpdeSubImageLength(0x10000)
        .KpdeIndicator(0)
        .KpdeFlags(0x0A)
        .Block(CGpuImageBuilder::kEfi, 0x8000);
    return builder.Build();
}

// The public x86 and EFI pair, then a private NBSI part. The EFI block is no
// larger than the chain walk needs, so the whole image stays within the
// fuzzers' longest input.
std::vector<uint8_t> X86EfiChain()
{
    CGpuImageBuilder builder;
    builder.Block(CGpuImageBuilder::kX86, 0x10000)
        .Kpde()
        .HardwareDataArea(0x7E2B, 0x1454)
        .Block(CGpuImageBuilder::kEfi, 0x4000)
        .Kpde()
        .VarnexBlock({'R', 'O', 'M', 0, 1, 2, 3}, {'R', 'O', 'M'})
        .Private()
        .Kpde()
        .KpdeFlags(0x01)
        .NbsiBlock({{0x4952, std::vector<uint8_t>(64, 0x11)}, {0x4942, {1, 2, 3}}});
    return builder.Build();
}

// A signed EFI driver with a build record, compressed into the EFI block at
// the given position, behind an init-from-ROM segment.
std::vector<uint8_t> UefiImage(EfiPosition position)
{
    static const std::vector<uint8_t> driver =
        CUefiDriverBuilder()
            .BuildInfo(UefiBuildRecord({{"VER", "1.0"}, {"VAR", "0101"}}))
            .Certificate(2, SignedDataFor("Seed Signer"))
            .Build();
    return UefiGpuImage(position, driver, 0x200).Version(0x80011000, 1).Build();
}

// A real option ROM longer than the fuzzers' longest input, made to fit: the
// blocks that fit stay whole, the block that crosses the limit is cut to the
// 512-byte units that fit, with its image length and initialisation size
// set to the cut and marked the last, so the chain stays whole and the cut
// block's header is still read. A ROM that fits is returned as it is.
std::vector<uint8_t> FitToLongestSeed(std::vector<uint8_t> rom)
{
    constexpr size_t kUnit = 512;
    size_t block = 0;
    while (rom.size() > kLongestSeedImage && block + 0x1A <= rom.size())
    {
        const size_t pcir = block + (rom[block + 0x18] | rom[block + 0x19] << 8);
        if (pcir + 0x18 > rom.size())
        {
            break;
        }
        const size_t length = kUnit * (rom[pcir + 0x10] | rom[pcir + 0x11] << 8);
        if (length == 0 || (rom[pcir + 0x15] & 0x80) != 0 ||
            block + length > kLongestSeedImage)
        {
            const size_t units = (kLongestSeedImage - block) / kUnit;
            rom.resize(block + units * kUnit);
            rom[block + 2] = static_cast<uint8_t>(std::min<size_t>(units, 0xFF));
            rom[pcir + 0x10] = static_cast<uint8_t>(units);
            rom[pcir + 0x11] = static_cast<uint8_t>(units >> 8);
            rom[pcir + 0x15] |= 0x80;
            break;
        }
        block += length;
    }
    return rom;
}
} // namespace

std::vector<NamedBytes> SeedImages()
{
    std::vector<NamedBytes> seeds = {
        {"gpu-every-table", ImageWithEveryTable(false)},
        {"gpu-every-table-init-from-rom", ImageWithEveryTable(true)},
        {"gpu-x86-efi-private-nbsi", X86EfiChain()},
        {"gpu-superimage", SuperImage()},
        {"gpu-uefi-public", UefiImage(EfiPosition::Public)},
        {"gpu-uefi-hidden", UefiImage(EfiPosition::Hidden)},
        {"gpu-uefi-placeholder", UefiImage(EfiPosition::Placeholder)},
        {"bridge-zx22", CZx22ImageBuilder().Record({0x04030201, 5, 0, "12/31/99", "Name"}).Build()},
        {"bridge-plx8747",
         CPlxImageBuilder().Register(0x00, 0, 0x874710B5).Register(0xA8, 0, 0x12347E2B).Build()},
    };
    // One real ROM of each form: the others of a package differ in their code
    // only. The EFI ROM is longer than the fuzzers take: its EFI block is cut.
    for (const char* name : {"efi-e1000.rom", "pxe-e1000.rom", "vgabios-cirrus.bin"})
    {
        for (const std::filesystem::path& path : DebianOptionRoms())
        {
            if (path.filename() == name)
            {
                seeds.push_back(
                    {"debian-" + path.filename().string(), FitToLongestSeed(ReadFileBytes(path))});
            }
        }
    }
    return seeds;
}

std::vector<std::filesystem::path> DebianOptionRoms()
{
    std::vector<std::filesystem::path> files;
    const std::pair<const char*, const char*> places[] = {{"/usr/lib/ipxe/qemu", ".rom"},
                                                          {"/usr/share/seabios", ".bin"}};
    for (const auto& [folder, extension] : places)
    {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        {
            const std::string name = entry.path().filename().string();
            const bool wanted = entry.path().extension() == extension &&
                                (extension == std::string(".rom") || name.rfind("vgabios", 0) == 0);
            if (wanted)
            {
                files.push_back(entry.path());
            }
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadFileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace testkit
