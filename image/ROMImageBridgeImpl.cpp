// What both bridge kinds read from their information record, token 'R'.

#include "image/ROMImageBridgeImpl.h"

#include "core/TextHelpers.h"

#include <stdexcept>

namespace
{
constexpr uint8_t kTokenRecord = 'R';
constexpr uint8_t kTokenRecordVersion = 1;
constexpr uint16_t kRecordSize = 19;
constexpr uint16_t kRecordSizeWithName = 22;
constexpr uint32_t kVersionOffset = 0;
constexpr uint32_t kOemVersionOffset = 4;
constexpr uint32_t kROMSizeOffset = 5;
constexpr uint32_t kDateOffset = 7;
constexpr uint32_t kDateLength = 8;
constexpr uint32_t kNamePointerOffset = 19;
constexpr uint32_t kNameLengthOffset = 21;
constexpr uint32_t kROMSizeUnit = 512;
constexpr const char* kUnavailable = "Unavailable";
} // namespace

int32_t CROMImageBridgeImpl::RecordTokenData(uint16_t minimumSize)
{
    try
    {
        return TokenDataLoaded(kTokenRecord, kTokenRecordVersion, minimumSize, minimumSize, false);
    }
    catch (const std::runtime_error&)
    {
        // A token list that runs past the loaded bytes: no usable token.
        return -1;
    }
}

uint32_t CROMImageBridgeImpl::GetROMSize()
{
    if (!IsValid())
    {
        return 0;
    }
    const int32_t data = RecordTokenData(kRecordSize);
    return data == -1 ? GetLoadedSize() : GetWord(data + kROMSizeOffset) * kROMSizeUnit;
}

void CROMImageBridgeImpl::UpdateROMSize(uint32_t size)
{
    const int32_t data = RecordTokenData(kRecordSize);
    if (data == -1)
    {
        return;
    }
    SetByte(data + kROMSizeOffset, static_cast<uint8_t>(size >> 9));
    SetByte(data + kROMSizeOffset + 1, static_cast<uint8_t>(size >> 17));
}

uint32_t CROMImageBridgeImpl::GetVersionNumber()
{
    const int32_t data = RecordTokenData(kRecordSize);
    return data == -1 ? 0 : GetDword(data + kVersionOffset);
}

uint8_t CROMImageBridgeImpl::GetVersionByte(uint32_t index)
{
    const int32_t data = RecordTokenData(kRecordSize);
    if (data == -1 || index > 4)
    {
        return 0;
    }
    // Byte 0 is the most significant byte of the version, byte 4 the OEM's.
    return index == 4 ? GetByte(data + kOemVersionOffset)
                      : GetByte(data + kVersionOffset + 3 - static_cast<int32_t>(index));
}

std::string CROMImageBridgeImpl::GetVersionString(int32_t)
{
    if (!IsValid())
    {
        return "Unavailable (Invalid)      ";
    }
    std::string text;
    if (GetVersionNumber() != 0)
    {
        for (uint32_t n = 0; n < 5; ++n)
        {
            text += (n == 0 ? "" : ".") + ToHex(GetVersionByte(n), 2);
        }
    }
    else
    {
        text = "(Not Found)   ";
    }
    return text + RevisionSuffix();
}

std::string CROMImageBridgeImpl::GetModificationDate()
{
    const int32_t data = RecordTokenData(kRecordSize);
    std::string date;
    if (data == -1)
    {
        return date;
    }
    for (uint32_t i = 0; i < kDateLength; ++i)
    {
        date.push_back(static_cast<char>(GetByte(data + static_cast<int32_t>(kDateOffset + i))));
    }
    return date;
}

std::string CROMImageBridgeImpl::GetProductName()
{
    const int32_t data = RecordTokenData(kRecordSizeWithName);
    if (data == -1)
    {
        return kUnavailable;
    }
    const int32_t name = GetWord(data + kNamePointerOffset);
    const uint32_t length = GetByte(data + kNameLengthOffset);
    if (!IsRangeLoaded(name, length))
    {
        return kUnavailable;
    }
    std::string text;
    for (uint32_t i = 0; i < length; ++i)
    {
        text.push_back(static_cast<char>(GetByte(name + static_cast<int32_t>(i))));
    }
    return text;
}
