// Fuzzes the delta coding. With an even first byte the input is a delta
// applied to an image: bytes 1-2 give the image size, bytes 3-4 the delta
// length, the rest is the delta stream; it must end in a rebuilt image or an
// exception, never in a write outside the image size or a read past the
// delta. With an odd first byte the rest is split into a master and an image;
// their delta must have the length GetDeltaSize predicts and rebuild the
// image exactly, or the target aborts.

#include "fuzz/FuzzSeeds.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <vector>

namespace
{
// Images are reused from run to run: each holds a 3 MiB buffer, and making
// three of them a run would cost more than the coding under test. Only the
// loaded bytes matter to the coding.
IROMImage* Reused(int slot)
{
    static CRefPtr<IROMImage> images[3] = {IROMImage::Create(kROMImageGPU),
                                           IROMImage::Create(kROMImageGPU),
                                           IROMImage::Create(kROMImageGPU)};
    IROMImage* image = images[slot].get();
    image->SetOffsetMode(false);
    image->SetLoadedSize(0);
    return image;
}

IROMImage* Holding(int slot, const std::vector<uint8_t>& bytes)
{
    IROMImage* image = Reused(slot);
    image->WriteBlock(bytes.data(), 0, static_cast<uint32_t>(bytes.size()));
    return image;
}

void ApplyRaw(CROMMeldImpl* meld, const uint8_t* data, size_t size)
{
    if (size < 5)
    {
        return;
    }
    const uint32_t imageSize = data[1] | data[2] << 8;
    const uint32_t deltaLength = data[3] | data[4] << 8;
    std::istringstream delta(std::string(reinterpret_cast<const char*>(data + 5), size - 5),
                             std::ios::binary);
    IROMImage* image = Reused(0);
    try
    {
        meld->ApplyDelta(delta, deltaLength, imageSize, image, nullptr);
    }
    catch (const std::exception&)
    {
        return;
    }
    if (image->GetLoadedSize() > imageSize)
    {
        abort();
    }
}

void RoundTrip(CROMMeldImpl* meld, const uint8_t* data, size_t size)
{
    if (size < 3)
    {
        return;
    }
    // Byte 1 splits the rest; byte 2 stretches the image with a long run so
    // that skips beyond 16 bits are reached too.
    const size_t split = std::min<size_t>(size - 3, data[1] * (size - 3) / 255);
    std::vector<uint8_t> master(data + 3, data + 3 + split);
    std::vector<uint8_t> image(data + 3 + split, data + size);
    if (data[2] > 0xF0)
    {
        master.resize(master.size() + 0x18000, 0);
        image.insert(image.begin(), master.begin(), master.end());
    }
    if (master.empty() || image.empty())
    {
        return;
    }
    IROMImage* masterImage = Holding(0, master);
    IROMImage* target = Holding(1, image);
    const DiffRangeList ranges =
        meld->MergeDiffRanges(meld->ComputeDiffRanges(masterImage, target));
    std::ostringstream out(std::ios::binary);
    const uint32_t written = meld->WriteDelta(out, ranges, target, nullptr);
    const std::string delta = out.str();
    if (written != delta.size() || written != meld->GetDeltaSize(ranges))
    {
        abort();
    }
    IROMImage* rebuilt = Reused(2);
    const auto imageSize = static_cast<uint32_t>(image.size());
    rebuilt->CopyBlock(0, masterImage, 0, std::min(imageSize, static_cast<uint32_t>(master.size())));
    std::istringstream in(delta, std::ios::binary);
    meld->ApplyDelta(in, written, imageSize, rebuilt, nullptr);
    if (!std::equal(image.begin(), image.end(), rebuilt->GetBuffer()))
    {
        abort();
    }
}

// An even first byte, the image size and the delta length (little-endian),
// then the delta.
std::vector<uint8_t> RawDelta(uint16_t imageSize, const std::vector<uint8_t>& delta)
{
    const auto length = static_cast<uint16_t>(delta.size());
    std::vector<uint8_t> input = {0, static_cast<uint8_t>(imageSize),
                                  static_cast<uint8_t>(imageSize >> 8),
                                  static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    input.insert(input.end(), delta.begin(), delta.end());
    return input;
}

// An odd first byte, the split at byte 1, the stretch at byte 2, then the
// master and the image.
std::vector<uint8_t> Pair(uint8_t stretch, const std::vector<uint8_t>& master,
                          const std::vector<uint8_t>& image)
{
    const auto split = static_cast<uint8_t>(master.size() * 255 / (master.size() + image.size()));
    std::vector<uint8_t> input = {1, split, stretch};
    input.insert(input.end(), master.begin(), master.end());
    input.insert(input.end(), image.begin(), image.end());
    return input;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::vector<uint8_t> master = testkit::CGpuImageBuilder()
                                            .Block(testkit::CGpuImageBuilder::kX86, 0x1000)
                                            .Block(testkit::CGpuImageBuilder::kEfi, 0x800)
                                            .Build();
    std::vector<uint8_t> changed = master;
    changed[0x40] ^= 0xFF;
    std::fill(changed.begin() + 0x300, changed.begin() + 0x500, 0x77);
    changed.insert(changed.end(), {1, 2, 3, 4});
    return {
        {"delta-short-skips",
         RawDelta(0x1000, testkit::DeltaRecords({{0x10, {1, 2, 3}}, {0x20, {4}}}))},
        {"delta-long-skip-and-run",
         RawDelta(0x9000, testkit::DeltaRecords({{0x10, {1}},
                                                 {0x4000, std::vector<uint8_t>(256, 9)},
                                                 {0x8FF0, {5, 6, 7, 8}}}))},
        {"delta-past-the-size",
         RawDelta(0x100, testkit::DeltaRecords({{0xF0, std::vector<uint8_t>(32, 1)}}))},
        {"round-trip-images", Pair(0, master, changed)},
        {"round-trip-stretched", Pair(0xF8, master, changed)},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0 || size > 0x10000)
    {
        return 0;
    }
    static CRefPtr<CROMMeldImpl> meld(new CROMMeldImpl());
    if ((data[0] & 1) == 0)
    {
        ApplyRaw(meld.get(), data, size);
    }
    else
    {
        RoundTrip(meld.get(), data, size);
    }
    return 0;
}
