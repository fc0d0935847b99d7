// The PLX PEX 8747 switch image: signature, the register entries that give
// its IDs, and the CRC over the entries.

#include "image/ROMImageBridgePLX8747Impl.h"

#include "core/Range.h"

#include <stdexcept>

namespace
{
constexpr uint8_t kPlxSignature = 0x5A;
constexpr int32_t kCountOffset = 2;
constexpr uint32_t kEntriesOffset = 4;
constexpr uint32_t kRegisterEntrySize = 6;
constexpr uint32_t kCRCSize = 4;
constexpr uint32_t kCRCPolynomial = 0xDB710641;
// Register 0x00 holds vendor (low) and device ID (high), 0xA8 the subsystem
// IDs; a switch without entries for them reports the part's own IDs.
constexpr uint32_t kIdRegister = 0x00;
constexpr uint32_t kSubsystemRegister = 0xA8;
constexpr uint32_t kDefaultIds = 0x874710B5;
} // namespace

bool CROMImageBridgePLX8747Impl::HasValidSignature()
{
    return GetLoadedSize() != 0 && GetByte(0) == kPlxSignature;
}

bool CROMImageBridgePLX8747Impl::IsErased()
{
    return GetByte(0) != kPlxSignature;
}

bool CROMImageBridgePLX8747Impl::FindRegisterValue(uint32_t registerOffset, uint32_t port,
                                                   uint32_t& value)
{
    if (!IsValid())
    {
        return false;
    }
    const uint32_t key = ((registerOffset / 4) & 0x3FF) | ((port & 0x3F) << 10);
    const uint32_t end = kEntriesOffset + GetWord(kCountOffset);
    for (uint32_t entry = kEntriesOffset; entry < end; entry += kRegisterEntrySize)
    {
        // An entry cut by the end of the loaded bytes holds no value.
        if (!IsRangeLoaded(static_cast<int32_t>(entry), kRegisterEntrySize))
        {
            return false;
        }
        if (GetWord(static_cast<int32_t>(entry)) == key)
        {
            value = GetDword(static_cast<int32_t>(entry + 2));
            return true;
        }
    }
    return false;
}

uint32_t CROMImageBridgePLX8747Impl::RegisterOrDefault(uint32_t registerOffset,
                                                       uint32_t defaultValue)
{
    uint32_t value = defaultValue;
    FindRegisterValue(registerOffset, 0, value);
    return value;
}

uint16_t CROMImageBridgePLX8747Impl::GetSubsystemVendorID()
{
    return static_cast<uint16_t>(RegisterOrDefault(kSubsystemRegister, kDefaultIds));
}

uint16_t CROMImageBridgePLX8747Impl::GetSubsystemDeviceID()
{
    return static_cast<uint16_t>(RegisterOrDefault(kSubsystemRegister, kDefaultIds) >> 16);
}

uint16_t CROMImageBridgePLX8747Impl::GetDeviceID()
{
    return static_cast<uint16_t>(RegisterOrDefault(kIdRegister, kDefaultIds) >> 16);
}

uint16_t CROMImageBridgePLX8747Impl::GetVendorID()
{
    return static_cast<uint16_t>(RegisterOrDefault(kIdRegister, kDefaultIds));
}

void CROMImageBridgePLX8747Impl::CRCStep(uint32_t& crc, uint32_t value)
{
    for (uint32_t i = 0; i < 32; ++i)
    {
        const bool top = ((crc ^ (value << i)) & 0x80000000u) != 0;
        crc = top ? (crc << 1) ^ kCRCPolynomial : crc << 1;
    }
}

uint32_t CROMImageBridgePLX8747Impl::UpdateCRC(bool store)
{
    const uint32_t end = kEntriesOffset + GetWord(kCountOffset);
    if (!RangeFits(end, kCRCSize, GetLoadedSize()))
    {
        throw std::domain_error("Invalid offset for CRC");
    }
    uint32_t crc = 0xFFFFFFFF;
    // The bytes from the count field on, as 32-bit values of two words; a
    // last value that would reach past the entries has a zero high half.
    for (uint32_t offset = kCountOffset; offset < end; offset += 4)
    {
        uint32_t value = GetWord(static_cast<int32_t>(offset));
        if (offset + 2 < end)
        {
            value |= static_cast<uint32_t>(GetWord(static_cast<int32_t>(offset + 2))) << 16;
        }
        CRCStep(crc, value);
    }
    if (store)
    {
        SetDword(static_cast<int32_t>(end), crc);
    }
    return crc;
}

uint32_t CROMImageBridgePLX8747Impl::SaveToFile(const std::string& fileName, uint32_t start,
                                                uint32_t count)
{
    UpdateCRC(true);
    return CROMImageBridgeImpl::SaveToFile(fileName, start, count);
}

uint32_t CROMImageBridgePLX8747Impl::WriteToStream(std::ostream& output, uint32_t offset,
                                                   uint32_t count)
{
    UpdateCRC(true);
    return CROMImageBridgeImpl::WriteToStream(output, offset, count);
}
