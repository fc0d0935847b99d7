// Run-time ROM packs: a GPU image whose first PCI block carries, after its own
// bytes, a 1.03 KRROM of the first blocks of several board variants (each a
// delta against the first). The BIOS-data token's run-time pack word holds
// the length of the base block; 0 means the image holds no pack.
//
//   0        the base block (image 0's first PCI block, L0 bytes)
//   L0       the KRROM data
//   to P     0xFF; the first block's length fields say P and its checksum fits
//   P        image 0's further PCI blocks, if any

#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <sstream>

namespace
{
constexpr uint32_t kPackUnit = 512;
constexpr uint32_t kMaxPackBlock = 0x10000;
// The smallest base an image factory reads: the signature it detects a kind by.
constexpr uint32_t kMinBaseLength = 4;

// The single image of a pack-mode meld, made ready to stand alone: its first
// block's size fields and checksum brought up to date.
void PrepareSingleImage(IROMImage* image)
{
    image->SetOffsetMode(true);
    image->ReadKPDEFlags();
    const bool offsetModeChain = image->CheckOffsetModeChain();
    const bool flag1 = image->GetKPDEFlag1();
    if (offsetModeChain && !flag1)
    {
        image->UpdateROMSize(image->GetKPDEImageLength(0));
    }
    if (offsetModeChain && flag1)
    {
        image->UpdateROMSizeFlagged(image->GetPCIBlockLength(0));
    }
    image->FixPCIBlockChecksum(0);
}

// The whole stream (up to one image buffer) as bytes. Read in chunks: a pack
// is mostly far smaller than the buffer, and filling 3 MiB first would cost
// more than the read.
std::vector<uint8_t> ReadWholeStream(std::istream& input)
{
    constexpr size_t kChunk = 0x10000;
    std::vector<uint8_t> bytes;
    while (bytes.size() < kImageBufferSize)
    {
        const size_t wanted = std::min(kChunk, kImageBufferSize - bytes.size());
        const size_t before = bytes.size();
        bytes.resize(before + wanted);
        input.read(reinterpret_cast<char*>(bytes.data() + before),
                   static_cast<std::streamsize>(wanted));
        const auto read = static_cast<size_t>(input.gcount());
        bytes.resize(before + read);
        if (read < wanted)
        {
            break;
        }
    }
    if (bytes.empty() || input.bad())
    {
        throw io_error("Error reading stream into buffer");
    }
    return bytes;
}
} // namespace

void CROMMeldImpl::WriteRuntimePack(std::ostream& output, CLog* log)
{
    if (m_content.version != kMegaROMVersion103)
    {
        throw io_error("Only ROM Pack format version 1.03 is supported for run-time ROM packs");
    }
    if (m_content.images.empty())
    {
        throw io_error("A run-time ROM pack needs at least one image");
    }
    IROMImage* first = m_content.images.front().get();
    CRefPtr<IROMImage> image;
    if (m_content.images.size() == 1)
    {
        PrepareSingleImage(first);
        image = first;
    }
    else
    {
        // The pack carries each variant's first PCI block only, behind the
        // base block at the start of the file: an init-from-ROM segment in
        // front of a chain would be lost or taken for the base.
        for (const CRefPtr<IROMImage>& variant : m_content.images)
        {
            if (variant->GetIFRHeader() != nullptr)
            {
                throw io_error("Run-time ROM packs of images with an init-from-ROM segment are "
                               "not supported.");
            }
        }
        const uint32_t baseLength = first->GetPCIBlockLength(0);
        std::ostringstream packStream(std::ios::binary);
        WriteMegaROM(packStream, baseLength, log);
        const std::string bytes = packStream.str();
        // The block length rounded up to whole 512-byte units, with room for
        // at least one byte of fill after the data.
        const uint64_t packLength = (bytes.size() + kPackUnit) / kPackUnit * kPackUnit;
        if (packLength > kMaxPackBlock)
        {
            throw io_error("Only run-time ROM packs with a total size of less than or equal 64 KB "
                           "are currently supported.");
        }
        const auto pack = static_cast<uint32_t>(packLength);
        image = IROMImage::CreateFromBuffer(reinterpret_cast<const uint8_t*>(bytes.data()),
                                            static_cast<uint32_t>(bytes.size()));
        image->SetRuntimePackWord(static_cast<uint16_t>(baseLength));
        image->SetLoadedSize(pack);
        image->UpdateROMSize(pack);
        image->FixPCIBlockChecksum(0);
        COffsetModeScope firstScope(first, false);
        const uint32_t firstLoaded = first->GetLoadedSize();
        if (firstLoaded > baseLength)
        {
            COffsetModeScope packScope(image.get(), false);
            image->CopyBlock(static_cast<int32_t>(pack), first, static_cast<int32_t>(baseLength),
                             firstLoaded - baseLength);
        }
    }
    CRefPtr<IROMImage> certified = CertifyImage(image.get(), log);
    if (!certified)
    {
        throw io_error("Error: VBIOS Certification process failed.");
    }
    {
        COffsetModeScope scope(certified.get(), false);
        certified->WriteToStream(output, 0, certified->GetLoadedSize());
    }
    OnImageWritten(certified.get(), log);
}

void CROMMeldImpl::ReadRuntimePack(std::istream& input, CLog* log)
{
    const std::vector<uint8_t> bytes = ReadWholeStream(input);
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(bytes.data(), static_cast<uint32_t>(bytes.size()));
    m_content.varnexVersion = image->GetVarnexVersion();
    m_content.hasVarnexBlock = image->HasVarnexBlock();
    m_content.hasVarnexBackupBlock = image->HasVarnexBackupBlock();
    if (!VerifyImageCertificate(image.get(), log))
    {
        throw io_error(" Image failed certification check.");
    }
    const uint32_t baseLength = image->GetRuntimePackWord();
    if (baseLength == 0)
    {
        AddImage(image);
        return;
    }
    const uint32_t packLength = image->GetPCIBlockLength(0);
    if (baseLength < kMinBaseLength || baseLength >= packLength)
    {
        throw io_error("Run-time ROM pack word 0x" + ToHex(baseLength, 4) +
                       " does not leave a base block inside the pack block");
    }
    image->UpdateROMSize(baseLength);
    image->SetRuntimePackWord(0);
    {
        COffsetModeScope scope(image.get(), false);
        const uint8_t* buffer = IROMImage::ReadOnlyBuffer(image.get());
        std::istringstream packStream(
            std::string(reinterpret_cast<const char*>(buffer), image->GetLoadedSize()),
            std::ios::binary);
        ReadMegaROM(packStream, baseLength, log);
    }
    COffsetModeScope scope(image.get(), false);
    const uint32_t loaded = image->GetLoadedSize();
    if (loaded <= packLength)
    {
        return;
    }
    // Every variant carries the pack image's further PCI blocks.
    for (CRefPtr<IROMImage>& variant : m_content.images)
    {
        COffsetModeScope variantScope(variant.get(), false);
        variant->CopyBlock(static_cast<int32_t>(variant->GetLoadedSize()), image.get(),
                           static_cast<int32_t>(packLength), loaded - packLength);
    }
}
