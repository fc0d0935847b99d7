// Fuzzes the KRROM reader, plain and in run-time pack mode: any input must end
// in a meld or an exception, never in a read outside a buffer, a record read
// past its bounds or an endless loop. A file that reads is written back and
// read again.
//
// An input is the file itself, unless its first byte is odd and below 16 (no
// file starts so): then the rest is a list of byte patches (16-bit offset,
// value) applied to a writer-made file of the version picked by bits 1-2
// (1.01, 1.02, 1.03) that holds a full image, a delta of it and a second full
// image, so that short runs reach the records and the delta coding; bit 3
// cuts the file at the first patch's offset. The seeds are those files whole
// and a few patch lists.

#include "fuzz/FuzzSeeds.h"
#include "image/IROMMeld.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <sstream>
#include <vector>

namespace
{
std::vector<uint8_t> SeedFile(uint32_t version)
{
    std::vector<uint8_t> image = testkit::CGpuImageBuilder()
                                     .Block(testkit::CGpuImageBuilder::kX86, 0x400)
                                     .Block(testkit::CGpuImageBuilder::kEfi, 0x200)
                                     .Build();
    testkit::CKrromWriter writer(version);
    if (version != 0x101)
    {
        writer.VFieldRegister({0x30, 0x00, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        writer.VFieldField({7, 0xE4, 0x00});
        writer.SelectionType(1);
    }
    writer.Full(image, "first", "Board A").Selection(7, 0, 3);
    writer.Delta(0, static_cast<uint32_t>(image.size()) + 16,
                 testkit::DeltaRecords({{0x10, {1, 2, 3}}, {0x300, std::vector<uint8_t>(256, 9)},
                                        {static_cast<uint32_t>(image.size()), {4, 5}}}),
                 "second", "Board B")
        .Selection(7, 4, 9);
    image[0x20] ^= 0xFF;
    writer.Full(image, "third").Selection(7, 10, 12);
    return writer.Build();
}

// A run-time pack: the first variant's image whose first block carries the
// others as deltas, its pack word the base block's length (non-zero).
std::vector<uint8_t> RuntimePack()
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetRuntimePackMode(true);
    for (uint16_t boardId : {0x0E2B, 0x0E2C})
    {
        testkit::InfoToken info;
        info.boardId = boardId;
        const std::vector<uint8_t> image = testkit::CGpuImageBuilder()
                                               .Block(testkit::CGpuImageBuilder::kX86, 0x1000)
                                               .Info(info)
                                               .BiosData(testkit::BiosDataToken{})
                                               .Block(testkit::CGpuImageBuilder::kEfi, 0x400)
                                               .Build();
        meld->AddImage(
            IROMImage::CreateFromBuffer(image.data(), static_cast<uint32_t>(image.size())));
    }
    std::ostringstream out(std::ios::binary);
    meld->WriteToStream(out, nullptr);
    const std::string bytes = out.str();
    return {bytes.begin(), bytes.end()};
}

std::vector<uint8_t> Patched(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> seeds[3] = {SeedFile(0x101), SeedFile(0x102),
                                                  SeedFile(0x103)};
    std::vector<uint8_t> file = seeds[(data[0] >> 1) % 3];
    for (size_t i = 1; i + 3 <= size; i += 3)
    {
        file[(data[i] | data[i + 1] << 8) % file.size()] = data[i + 2];
    }
    if ((data[0] & 8) != 0 && size >= 3)
    {
        file.resize((data[1] | data[2] << 8) % (file.size() + 1));
    }
    return file;
}

void ReadAndRewrite(const std::vector<uint8_t>& file, bool packMode)
{
    CRefPtr<IROMMeld> meld = IROMMeld::Create();
    meld->SetRuntimePackMode(packMode);
    try
    {
        meld->ReadFromBuffer(file.data(), static_cast<uint32_t>(file.size()), nullptr);
    }
    catch (const std::exception&)
    {
        return;
    }
    for (uint32_t i = 0; i < meld->GetImageCount(); ++i)
    {
        meld->GetImage(i)->GetSelectionCount();
    }
    try
    {
        std::ostringstream out(std::ios::binary);
        meld->WriteToStream(out, nullptr);
        const std::string text = out.str();
        CRefPtr<IROMMeld> again = IROMMeld::Create();
        again->SetRuntimePackMode(packMode);
        again->ReadFromBuffer(reinterpret_cast<const uint8_t*>(text.data()),
                              static_cast<uint32_t>(text.size()), nullptr);
    }
    catch (const std::exception&)
    {
    }
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    return {
        {"krrom-1.01", SeedFile(0x101)},
        {"krrom-1.02", SeedFile(0x102)},
        {"krrom-1.03", SeedFile(0x103)},
        {"patches-1.01", {1, 0x10, 0x00, 0x02}},
        {"patches-1.02", {3, 0x40, 0x00, 0x7F}},
        {"patches-1.03", {5, 0x08, 0x00, 0x00, 0x30, 0x00, 0x01}},
        {"cut-1.03", {13, 0x00, 0x03, 0x00}},
        {"runtime-pack", RuntimePack()},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 0x10000)
    {
        return 0;
    }
    if (size > 0 && data[0] < 16 && (data[0] & 1) != 0)
    {
        ReadAndRewrite(Patched(data, size), false);
        return 0;
    }
    const std::vector<uint8_t> file(data, data + size);
    ReadAndRewrite(file, false);
    ReadAndRewrite(file, true);
    return 0;
}
