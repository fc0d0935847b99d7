// The image factories: the kind of an image follows from its first bytes.

#include "core/Exceptions.h"
#include "image/IROMImage.h"
#include "image/OffsetModeScope.h"
#include "image/ROMImageBridgePLX8747Impl.h"
#include "image/ROMImageBridgeZX22Impl.h"
#include "image/ROMImageGPUEFIImpl.h"
#include "image/ROMImageGPUImpl.h"

#include <algorithm>
#include <istream>
#include <stdexcept>

namespace
{
// The first four bytes as a little-endian value; missing bytes are 0.
int32_t DetectType(uint32_t signature)
{
    if (signature == 0x5A583232) // "22XZ"
    {
        return kROMImageBridgeZX22;
    }
    if ((signature & 0xFFFF) == 0x5A4D) // "MZ", a PE image
    {
        return kROMImageGPUEFI;
    }
    if ((signature & 0xFF) == 0x5A)
    {
        return kROMImageBridgePLX8747;
    }
    return kROMImageGPU;
}

uint32_t SignatureOf(const uint8_t* bytes, uint32_t length)
{
    uint32_t signature = 0;
    if (length >= 2)
    {
        signature |= static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
    }
    if (length >= 4)
    {
        signature |= static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    }
    return signature;
}

// The signature of the four bytes read from a file or stream (zero where the
// input ended early).
uint32_t SignatureOfRead(const char (&bytes)[4])
{
    return SignatureOf(reinterpret_cast<const uint8_t*>(bytes), sizeof bytes);
}
} // namespace

CRefPtr<IROMImage> IROMImage::Create(int32_t type)
{
    switch (type)
    {
    case kROMImageBridgeZX22:
        return CRefPtr<IROMImage>(new CROMImageBridgeZX22Impl());
    case kROMImageBridgePLX8747:
        return CRefPtr<IROMImage>(new CROMImageBridgePLX8747Impl());
    case kROMImageGPU:
        return CRefPtr<IROMImage>(new CROMImageGPUImpl());
    case kROMImageGPUEFI:
        return CRefPtr<IROMImage>(new CROMImageGPUEFIImpl());
    default:
        throw std::runtime_error("IROMImage::Create: Unknown/unsupported ROM image type");
    }
}

CRefPtr<IROMImage> IROMImage::CreateFromBuffer(const uint8_t* bytes, uint32_t length)
{
    if (length > kImageBufferSize)
    {
        throw std::domain_error("Image is larger than the image buffer");
    }
    switch (DetectType(SignatureOf(bytes, length)))
    {
    case kROMImageBridgeZX22:
        return CRefPtr<IROMImage>(new CROMImageBridgeZX22Impl(bytes, length));
    case kROMImageBridgePLX8747:
        return CRefPtr<IROMImage>(new CROMImageBridgePLX8747Impl(bytes, length));
    case kROMImageGPUEFI:
        return CRefPtr<IROMImage>(new CROMImageGPUEFIImpl(bytes, length));
    default:
        return CRefPtr<IROMImage>(new CROMImageGPUImpl(bytes, length));
    }
}

CRefPtr<IROMImage> IROMImage::CreateFromFile(const std::string& fileName)
{
    // The whole file, so that one that cannot be loaded is refused here,
    // before an image is made for it.
    const UserFileContents file = ReadImageFile(fileName);
    char signature[4] = {0, 0, 0, 0};
    std::copy_n(file.bytes.begin(), std::min<size_t>(file.bytes.size(), sizeof signature), signature);
    CRefPtr<IROMImage> image = Create(DetectType(SignatureOfRead(signature)));
    image->LoadFromFile(fileName);
    return image;
}

CRefPtr<IROMImage> IROMImage::CreateFromStream(std::istream& input, uint32_t totalLength)
{
    if (totalLength < 4 || totalLength > kImageBufferSize)
    {
        throw std::domain_error("Image length in stream is out of range");
    }
    char signature[4] = {0, 0, 0, 0};
    input.read(signature, sizeof signature);
    if (input.bad())
    {
        throw io_error("Error reading signature from input stream");
    }
    CRefPtr<IROMImage> image = Create(DetectType(SignatureOfRead(signature)));
    image->WriteBlock(reinterpret_cast<const uint8_t*>(signature), 0, sizeof signature);
    // The caller gives the image's length: fewer bytes are a cut image, which
    // must not pass as a shorter one.
    const uint32_t rest = totalLength - sizeof signature;
    if (image->ReadFromStream(input, sizeof signature, rest) != rest)
    {
        throw io_error("Stream ended before the image did");
    }
    image->ReadKPDEFlags();
    return image;
}

CRefPtr<IROMImage> IROMImage::Clone(IROMImage* source)
{
    const bool mode = source->GetOffsetMode();
    CRefPtr<IROMImage> copy;
    {
        COffsetModeScope scope(source, false);
        // Only the firmware's bytes are copied, straight from the source's
        // buffer when it is one of ours (handing out its writable pointer
        // would count the whole buffer as written).
        const uint32_t size = source->GetROMSize();
        copy = CreateFromBuffer(ReadOnlyBuffer(source), size);
    }
    copy->SetOffsetMode(mode);
    return copy;
}

const uint8_t* IROMImage::ReadOnlyBuffer(IROMImage* image)
{
    auto* ours = dynamic_cast<CROMImageBaseImpl*>(image);
    return ours ? ours->BufferView() : image->GetBuffer();
}
