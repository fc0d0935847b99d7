#include "eeprom/KestrixImage.h"

#include "core/Range.h"

#include <algorithm>
#include <cstring>

namespace
{
constexpr uint32_t kSignatureAreaSize = 2 * kSignatureSize;
constexpr uint32_t kTableSize = 8; // two words

uint16_t HalfWordAt(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

KestrixImageHeader ReadHeader(std::span<const uint8_t> image)
{
    KestrixImageHeader header;
    uint32_t* const words[] = {&header.version,  &header.headerSize,  &header.imemSize,
                               &header.dmemSize, &header.secureStart, &header.word5,
                               &header.word6,    &header.word7};
    for (size_t i = 0; i < std::size(words); ++i)
    {
        *words[i] = KestrixWordAt(image, i * 4);
    }
    return header;
}

void TakeSecureValues(const KestrixImageHeader& header, KestrixParsedImage& parsed)
{
    parsed.secureStart = header.secureStart;
    if (header.version == 1)
    {
        parsed.secureEnd = header.word5;
    }
    else
    {
        parsed.secureEnd = header.secureStart + header.word6;
        parsed.alternateSecureSize = header.word5;
        parsed.entireSecureSize = header.word6;
        parsed.alternateDmemSize = header.word7;
    }
    parsed.secure = header.secureStart != 0;
}

void PatchSignature(std::vector<uint8_t>& data, uint32_t slot, const uint8_t* signature)
{
    if (signature && RangeFits(slot, kSignatureSize, data.size()))
    {
        std::memcpy(data.data() + slot, signature, kSignatureSize);
    }
}

// The built-in image's signature blocks go into the production slots of the
// data segment: the signature table's areas for an extended mapper, else the
// segment's first 32 bytes.
void PatchSignatures(KestrixParsedImage& parsed, const KestrixUcodeDescriptor& descriptor)
{
    uint32_t productionSlot = 0;
    uint32_t alternateSlot = kSignatureSize;
    if (parsed.mapper && parsed.mapper->IsExtended())
    {
        productionSlot = KestrixWordAt(parsed.data, parsed.mapper->signatureTableOffset);
        alternateSlot = KestrixWordAt(parsed.data, parsed.mapper->signatureTableOffset + 4);
    }
    PatchSignature(parsed.data, productionSlot, descriptor.productionSignature);
    PatchSignature(parsed.data, alternateSlot, descriptor.alternateProductionSignature);
}

// The target record's byte, when the image has a record of the version this
// program understands; null otherwise.
uint8_t* TargetRecordByte(KestrixParsedImage& parsed, uint32_t at)
{
    if (!parsed.mapper || parsed.mapper->version != 3)
    {
        return nullptr;
    }
    const uint32_t record = parsed.mapper->targetRecordOffset;
    return HalfWordAt(parsed.data, record) == 1 ? &parsed.data[record + at] : nullptr;
}

void SetTargetEngine(KestrixParsedImage& parsed, uint8_t targetEngine)
{
    uint8_t* engine = TargetRecordByte(parsed, kTargetRecordEngine);
    if (engine && targetEngine != 0)
    {
        *engine = targetEngine;
    }
}
} // namespace

void SetKestrixUserImageMode(KestrixParsedImage& parsed, uint8_t mode)
{
    if (uint8_t* byte = TargetRecordByte(parsed, kTargetRecordUserImage))
    {
        *byte = mode;
    }
}

uint32_t KestrixWordAt(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

void KestrixPutWord(std::span<uint8_t> bytes, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
    {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<uint32_t> KestrixWordsOf(std::span<const uint8_t> bytes)
{
    std::vector<uint32_t> words((bytes.size() + 3) / 4, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        words[i / 4] |= uint32_t{bytes[i]} << (8 * (i % 4));
    }
    return words;
}

std::string KestrixLoadStatusName(uint32_t status)
{
    switch (status)
    {
    case KESTRIX_IMAGE_FILE_FORMAT_ERROR:
        return "KESTRIX_IMAGE_FILE_FORMAT_ERROR";
    case KESTRIX_IMAGE_FILE_NOT_FOUND:
        return "KESTRIX_IMAGE_FILE_NOT_FOUND";
    case KESTRIX_IMAGE_FILE_UNSUPPORTED_VERSION:
        return "KESTRIX_IMAGE_FILE_UNSUPPORTED_VERSION";
    case KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND:
        return "KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND";
    default:
        return {};
    }
}

std::optional<uint32_t> FindKestrixDmapMagic(std::span<const uint8_t> data)
{
    const size_t words = std::min<size_t>(data.size() / 4, kKestrixMapperScanWords);
    for (size_t word = 0; word < words; ++word)
    {
        if (KestrixWordAt(data, word * 4) == kKestrixDmapMagic)
        {
            return static_cast<uint32_t>(word * 4);
        }
    }
    return std::nullopt;
}

std::optional<KestrixDmemMapper> ReadKestrixDmemMapper(std::span<const uint8_t> data,
                                                       uint32_t offset)
{
    if (!RangeFits(offset, kDmapBasicSize, data.size()))
    {
        return std::nullopt;
    }
    KestrixDmemMapper mapper;
    mapper.offset = offset;
    mapper.version = HalfWordAt(data, offset + kDmapVersion);
    const auto field = [&](uint32_t at) { return KestrixWordAt(data, offset + at); };
    mapper.cmd_in_buffer_offset = field(0x08);
    mapper.cmd_in_buffer_size = field(0x0C);
    mapper.cmd_out_buffer_offset = field(0x10);
    mapper.cmd_out_buffer_size = field(0x14);
    mapper.rmv_img_data_buffer_offset = field(0x18);
    mapper.rmv_img_data_buffer_size = field(0x1C);
    mapper.printfHeaderOffset = field(kDmapPrintfHeader);
    if (mapper.printfHeaderOffset != 0 &&
        !RangeFits(mapper.printfHeaderOffset, kPrintfHeaderWords * 4, data.size()))
    {
        return std::nullopt;
    }
    if (!mapper.IsExtended())
    {
        return mapper;
    }
    const uint32_t size = mapper.version == 3 ? kDmapExtendedSize : kDmapSignatureTable + 4;
    if (!RangeFits(offset, size, data.size()))
    {
        return std::nullopt;
    }
    mapper.buildStampOffset = field(kDmapBuildStamp);
    mapper.signatureTableOffset = field(kDmapSignatureTable);
    if (!RangeFits(mapper.buildStampOffset, kTableSize, data.size()) ||
        !RangeFits(mapper.signatureTableOffset, kTableSize, data.size()))
    {
        return std::nullopt;
    }
    for (uint32_t area = 0; area < 2; ++area)
    {
        const uint32_t at = KestrixWordAt(data, mapper.signatureTableOffset + 4 * area);
        if (!RangeFits(at, kSignatureAreaSize, data.size()))
        {
            return std::nullopt;
        }
    }
    if (mapper.version == 3)
    {
        mapper.ucodeFeature = field(kDmapUcodeFeature);
        mapper.commandMask0 = field(0x34);
        mapper.commandMask1 = field(0x38);
        mapper.targetRecordOffset = field(kDmapTargetRecord);
        if (!RangeFits(mapper.targetRecordOffset, kTargetRecordSize, data.size()))
        {
            return std::nullopt;
        }
    }
    return mapper;
}

KestrixParsedImage ParseKestrixImage(std::span<const uint8_t> image, uint8_t targetEngine,
                                     const KestrixUcodeDescriptor* descriptor)
{
    KestrixParsedImage parsed;
    if (image.size() <= kKestrixHeaderSize)
    {
        parsed.status = KESTRIX_IMAGE_FILE_FORMAT_ERROR;
        return parsed;
    }
    const KestrixImageHeader header = ReadHeader(image);
    if (header.version != 1 && header.version != 2)
    {
        parsed.status = KESTRIX_IMAGE_FILE_UNSUPPORTED_VERSION;
        return parsed;
    }
    // Summed in 64 bits: sizes that wrap a 32-bit sum to the length are not a
    // layout. The code segment never starts inside the header.
    const uint64_t total =
        uint64_t{header.headerSize} + uint64_t{header.imemSize} + uint64_t{header.dmemSize};
    if (header.headerSize < kKestrixHeaderSize || total != image.size())
    {
        parsed.status = KESTRIX_IMAGE_FILE_FORMAT_ERROR;
        return parsed;
    }
    parsed.version = header.version;
    parsed.imemSize = header.imemSize;
    parsed.dmemSize = header.dmemSize;
    const auto code = image.subspan(header.headerSize, header.imemSize);
    const auto data = image.subspan(header.headerSize + size_t{header.imemSize});
    parsed.code.assign(code.begin(), code.end());
    parsed.data.assign(data.begin(), data.end());
    TakeSecureValues(header, parsed);

    const std::optional<uint32_t> magic = FindKestrixDmapMagic(parsed.data);
    if (magic)
    {
        parsed.mapper = ReadKestrixDmemMapper(parsed.data, *magic);
        if (!parsed.mapper)
        {
            parsed.status = KESTRIX_IMAGE_FILE_FORMAT_ERROR;
            return parsed;
        }
        SetTargetEngine(parsed, targetEngine);
    }
    else
    {
        parsed.status = KESTRIX_IMAGE_FILE_DMEM_MAPPER_NOT_FOUND;
    }
    if (descriptor)
    {
        PatchSignatures(parsed, *descriptor);
    }
    return parsed;
}
