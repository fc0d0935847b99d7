#include "flasher/PreOSDescriptor.h"

#include "core/Range.h"
#include "flasher/FlasherImpl.h"

namespace
{
constexpr uint32_t kLayout1HeaderSize = 0x30;
constexpr uint32_t kLayout2FixedSize = 0x3C;

// Field offsets of the two layouts.
struct Layout
{
    uint32_t bootVector, codeBase, codeSize, secureBase, secureSize, dataOffset, dataBase, dataSize;
};
constexpr Layout kLayout1{0x08, 0x10, 0x14, 0x1C, 0x20, 0x24, 0x28, 0x2C};
constexpr Layout kLayout2{0x0C, 0x14, 0x18, 0x20, 0x24, 0x28, 0x2C, 0x30};
} // namespace

std::optional<PreOSDescriptor> ReadPreOSDescriptor(IROMImage& image, int32_t offset)
{
    const uint32_t limit = ImageViewSize(image);
    const uint64_t start = UnsignedOffset(offset);
    if (!OffsetFits(start, limit))
    {
        return std::nullopt;
    }
    const bool secondLayout = (image.GetByte(offset) & 1) != 0;
    const Layout& layout = secondLayout ? kLayout2 : kLayout1;
    const uint32_t fixedSize = secondLayout ? kLayout2FixedSize : kLayout1HeaderSize;
    if (!RangeFits(start, fixedSize, limit))
    {
        return std::nullopt;
    }
    auto field = [&](uint32_t at) { return image.GetDword(static_cast<int32_t>(start + at)); };
    const uint32_t headerSize =
        secondLayout ? image.GetWord(static_cast<int32_t>(start + 2)) : kLayout1HeaderSize;

    PreOSDescriptor descriptor;
    descriptor.bootVector = field(layout.bootVector);
    descriptor.codeBase = field(layout.codeBase);
    descriptor.codeSize = field(layout.codeSize);
    descriptor.secureCodeBase = field(layout.secureBase);
    descriptor.secureCodeSize = field(layout.secureSize);
    descriptor.dataBase = field(layout.dataBase);
    descriptor.dataSize = field(layout.dataSize);
    const uint64_t code = start + headerSize;
    const uint64_t data = code + field(layout.dataOffset);
    if (!RangeFits(code, descriptor.codeSize, limit) ||
        !RangeFits(data, descriptor.dataSize, limit))
    {
        return std::nullopt;
    }
    descriptor.codeOffset = static_cast<uint32_t>(code);
    descriptor.dataOffset = static_cast<uint32_t>(data);
    return descriptor;
}
