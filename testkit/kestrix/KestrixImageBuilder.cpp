#include "testkit/kestrix/KestrixImageBuilder.h"

#include "eeprom/KestrixImage.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>

namespace
{
void Put(std::vector<uint8_t>& bytes, uint32_t offset, uint32_t value)
{
    if (uint64_t{offset} + 4 <= bytes.size())
    {
        KestrixPutWord(bytes, offset, value);
    }
}

void PutText(std::vector<uint8_t>& bytes, uint32_t offset, const std::string& text)
{
    if (uint64_t{offset} + text.size() < bytes.size())
    {
        std::copy(text.begin(), text.end(), bytes.begin() + offset);
    }
}

std::vector<uint8_t> BuildData(const KestrixImageSpec& spec)
{
    std::vector<uint8_t> data(spec.dmemSize, 0);
    if (data.size() >= 0x40)
    {
        std::copy(spec.productionSignature.begin(), spec.productionSignature.end(), data.begin());
        std::fill_n(data.begin() + 0x10, 16, uint8_t{0xDB}); // debug signature
        std::copy(spec.alternateProductionSignature.begin(),
                  spec.alternateProductionSignature.end(), data.begin() + 0x20);
        std::fill_n(data.begin() + 0x30, 16, uint8_t{0xAD});
    }
    if (!spec.withMapper)
    {
        return data;
    }
    const uint32_t m = spec.mapperOffset;
    Put(data, m, kKestrixDmapMagic);
    Put(data, m + 4, spec.mapperVersion);
    Put(data, m + 0x08, spec.cmdInOffset);
    Put(data, m + 0x0C, spec.cmdInSize);
    Put(data, m + 0x10, spec.cmdOutOffset);
    Put(data, m + 0x14, spec.cmdOutSize);
    Put(data, m + 0x18, spec.dataBufferOffset);
    Put(data, m + 0x1C, spec.dataBufferSize);
    Put(data, m + 0x20, spec.withPrintf ? spec.printfHeaderOffset : 0);
    Put(data, m + 0x24, spec.buildStampOffset);
    Put(data, m + 0x28, spec.signatureTableOffset);
    Put(data, m + 0x30, spec.ucodeFeature);
    Put(data, m + 0x34, 0x0000FFFC);
    Put(data, m + 0x38, 0);
    Put(data, m + 0x3C, spec.targetRecordOffset);
    Put(data, spec.buildStampOffset, 0xC0);
    Put(data, spec.buildStampOffset + 4, 0xD0);
    PutText(data, 0xC0, "Mar 14 2026");
    PutText(data, 0xD0, "09:26:53");
    Put(data, spec.signatureTableOffset, 0x00);
    Put(data, spec.signatureTableOffset + 4, 0x20);
    Put(data, spec.targetRecordOffset, spec.targetRecordVersion);
    if (spec.withPrintf)
    {
        Put(data, spec.printfHeaderOffset, 0);
        Put(data, spec.printfHeaderOffset + 4, spec.ringOffset);
        Put(data, spec.printfHeaderOffset + 8, spec.ringSize);
        Put(data, spec.printfHeaderOffset + 12, 0);
    }
    return data;
}
} // namespace

uint8_t KestrixCodeByte(const KestrixImageSpec& spec, uint32_t offset)
{
    return static_cast<uint8_t>(offset * 13 + spec.codeSeed);
}

std::vector<uint8_t> BuildKestrixImage(const KestrixImageSpec& spec)
{
    std::vector<uint8_t> image(std::max<uint32_t>(spec.headerSize, 32), 0);
    const uint32_t words[8] = {
        spec.version,
        spec.headerSize,
        spec.imemSize,
        spec.dmemSize,
        spec.secureStart,
        spec.version == 1 ? spec.secureEnd : spec.alternateSecureSize,
        spec.version == 1 ? 0 : spec.secureEnd - spec.secureStart,
        spec.version == 1 ? 0 : spec.alternateDmemSize,
    };
    for (uint32_t i = 0; i < 8; ++i)
    {
        KestrixPutWord(image, i * 4, words[i]);
    }
    image.resize(spec.headerSize);
    for (uint32_t i = 0; i < spec.imemSize; ++i)
    {
        image.push_back(KestrixCodeByte(spec, i));
    }
    const std::vector<uint8_t> data = BuildData(spec);
    image.insert(image.end(), data.begin(), data.end());
    if (spec.extraBytes > 0)
    {
        image.resize(image.size() + static_cast<size_t>(spec.extraBytes), 0);
    }
    else if (spec.extraBytes < 0)
    {
        image.resize(image.size() - static_cast<size_t>(-spec.extraBytes));
    }
    return image;
}
