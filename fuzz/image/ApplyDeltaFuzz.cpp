// Fuzzes the delta coding. With an even first byte the input is a delta
// applied to an image: bytes 1-2 give the image size, bytes 3-4 the delta
// length, the rest is the delta stream; it must end in a rebuilt image or an
// exception, never in a write outside the image size or a read past the
// delta. With an odd first byte the rest is split into a master and an image;
// their delta must have the length GetDeltaSize predicts and rebuild the
// image exactly, or the target aborts.

#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"

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
} // namespace

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
