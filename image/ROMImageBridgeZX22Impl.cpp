// The ZX22 bridge image: signature, validity, IDs and the checksum.

#include "image/ROMImageBridgeZX22Impl.h"

#include "core/TextHelpers.h"

#include <cstring>

namespace
{
constexpr uint8_t kZX22Signature[4] = {'2', '2', 'X', 'Z'};
// A valid image holds at least the fixed fields up to the subsystem IDs.
constexpr uint32_t kMinimumValidSize = 368;
constexpr int32_t kRevisionOffset = 4;
constexpr int32_t kDeviceDigitOffset = 0x70;
constexpr int32_t kSubsystemOffset = 0x16C;
constexpr uint16_t kDeviceIdBase = 0x05B0;
constexpr uint16_t kVendorId = 0x7E2B;
} // namespace

bool CROMImageBridgeZX22Impl::HasValidSignature()
{
    return GetLoadedSize() >= sizeof kZX22Signature &&
           std::memcmp(BufferStart(), kZX22Signature, sizeof kZX22Signature) == 0;
}

bool CROMImageBridgeZX22Impl::IsErased()
{
    for (int32_t i = 0; i < static_cast<int32_t>(kMinimumValidSize); ++i)
    {
        if (GetByte(i) != 0xFF)
        {
            return false;
        }
    }
    // The middle and the last loaded byte; an empty image has neither.
    const uint32_t loaded = GetLoadedSize();
    if (loaded == 0)
    {
        return true;
    }
    return GetByte(static_cast<int32_t>(loaded / 2)) == 0xFF &&
           GetByte(static_cast<int32_t>(loaded - 1)) == 0xFF;
}

bool CROMImageBridgeZX22Impl::IsValid()
{
    return HasValidSignature() && GetLoadedSize() >= kMinimumValidSize;
}

uint16_t CROMImageBridgeZX22Impl::GetSubsystemVendorID()
{
    return IsValid() ? static_cast<uint16_t>(GetDword(kSubsystemOffset)) : 0;
}

uint16_t CROMImageBridgeZX22Impl::GetSubsystemDeviceID()
{
    return IsValid() ? static_cast<uint16_t>(GetDword(kSubsystemOffset) >> 16) : 0;
}

uint16_t CROMImageBridgeZX22Impl::GetDeviceID()
{
    return IsValid() ? static_cast<uint16_t>(kDeviceIdBase | (GetDword(kDeviceDigitOffset) & 0xF0))
                     : 0;
}

uint16_t CROMImageBridgeZX22Impl::GetVendorID()
{
    return IsValid() ? kVendorId : 0;
}

uint32_t CROMImageBridgeZX22Impl::GetRevisionDword()
{
    return IsValid() ? GetDword(kRevisionOffset) : 0;
}

std::string CROMImageBridgeZX22Impl::RevisionSuffix()
{
    return " REV:" + ToHex(GetRevisionDword(), 8);
}

void CROMImageBridgeZX22Impl::FixChecksum()
{
    if (!IsValid() || LoadedBITHeader(true) == -1)
    {
        return;
    }
    // The record's size may claim more than an image buffer holds.
    const uint32_t size = GetROMSize();
    if (size <= kMinimumValidSize || size > kImageBufferSize)
    {
        return;
    }
    SetByte(static_cast<int32_t>(size - 1), GetChecksumByte(0, size - 1));
}
