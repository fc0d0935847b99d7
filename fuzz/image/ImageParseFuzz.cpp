// Fuzzes image creation from bytes and everything that walks the PCI block
// chain: any input must end in a value or in an exception, never in a read
// outside the buffer or an endless walk.

#include "image/IROMImage.h"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

namespace
{
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
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kImageBufferSize)
    {
        return 0;
    }
    CRefPtr<IROMImage> image;
    Try([&] { image = IROMImage::CreateFromBuffer(data, static_cast<uint32_t>(size)); });
    if (!image)
    {
        return 0;
    }
    Try([&] { image->GetROMSize(); });
    Try([&] { image->CheckOffsetModeChain(); });
    Try([&] { image->DumpPCIBlocks(1); });
    Try([&] { image->DumpPCIBlocks(3); });
    Try([&] { image->GetOffsetNewPCIBlock(); });
    Try([&] { image->FindNthPCIBlock(0x70, 1); });
    Try([&] { image->HasVarnexBlock(); });
    Try([&] { image->HasVarnexBackupBlock(); });
    Try([&] { image->GetNBSIObjectLength(0x4942); });
    Try(
        [&]
        {
            std::vector<uint8_t> payload;
            image->ReadPCIBlockPayload(payload, 0x03);
        });
    Try([&] { image->IsPCIROM(); });
    Try([&] { image->GetTypeName(); });
    Try([&] { image->GetIFRImageSize(); });

    std::vector<int32_t> blocks;
    for (int32_t block = 0; block != -1 && blocks.size() < 64; block = image->NextPCIBlock(block))
    {
        blocks.push_back(block);
    }
    for (int32_t block : blocks)
    {
        Try([&] { image->FixPCIBlockChecksum(block); });
    }
    if (!blocks.empty())
    {
        Try([&] { image->RemovePCIBlock(blocks.back()); });
    }
    Try([&] { image->ConvertToPrivateChain(); });
    Try([&] { IROMImage::Clone(image.get()); });
    return 0;
}
