// GPU image identification: IDs, versions, board texts, the hardware data
// area of the first block with its straps and IEEE 1394 GUID, a few tables
// found by signature or token, and the Varnex version of the NBSI block.

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"
#include "varnex/VarnexTag.h"
#include "varnex/VarnexTypedObjects.h"

#include <array>
#include <stdexcept>

using namespace pcirom;

namespace
{
const char* const kNoHardwareDataArea = "No hardware data area present in image.";

// Hardware data area fields, from the first block's start.
constexpr int32_t kHdaSubsystemVendor = 0x54;
constexpr int32_t kHdaSubsystemDevice = 0x56;
constexpr int32_t kHdaStrap0 = 0x58;
constexpr int32_t kHdaStrap3 = 0x64;
constexpr int32_t kHdaGuidPointer = 0x68;
constexpr int32_t kHdaMarker = 0x6A;
constexpr int32_t kHdaChecksum = 0x6B;
constexpr int32_t kHdaStrap4 = 0x6C;
constexpr int32_t kHdaStrap5 = 0x70;
constexpr int32_t kHdaMarker45 = 0x74;
constexpr uint8_t kHdaMarkerValue = 0xA5;
constexpr uint8_t kHdaMarker45Value = 0xB5;
constexpr uint32_t kGuidSourceBit = 0x80000000u;

constexpr uint16_t kBitVersion = 0x0100;
constexpr uint16_t kNbsiVarnexImage = 0x4952;  // "IR"
constexpr uint16_t kNbsiVarnexBackup = 0x4942; // "IB"

} // namespace

// ---- IDs and versions ----------------------------------------------------

uint16_t CROMImageGPUImpl::GetVendorID()
{
    const int32_t pcir = IsValid() ? FindPCIR(0) : -1;
    return pcir == -1 ? 0 : GetWord(pcir + kPcirVendorId);
}

uint16_t CROMImageGPUImpl::GetDeviceID()
{
    const int32_t pcir = IsValid() ? FindPCIR(0) : -1;
    return pcir == -1 ? 0 : GetWord(pcir + kPcirDeviceId);
}

uint16_t CROMImageGPUImpl::GetDeviceIDListEntry(uint32_t index)
{
    const int32_t pcir = IsValid() ? FindPCIR(0) : -1;
    if (pcir == -1 || GetByte(pcir + kPcirRevision) < 3)
    {
        return 0;
    }
    const uint16_t pointer = GetWord(pcir + 8);
    if (pointer == 0)
    {
        return 0;
    }
    const int32_t entry = OffsetAfter(pcir, uint64_t{pointer} + 2ull * index);
    return IsRangeLoaded(entry, 2) ? GetWord(entry) : 0;
}

uint16_t CROMImageGPUImpl::GetSubsystemVendorID()
{
    if (HasIFRHeader())
    {
        return m_windowOffset < 16 ? 0 : static_cast<uint16_t>(GetIFRSubsystemID());
    }
    if (HasHardwareDataArea())
    {
        COffsetModeScope scope(this, true);
        return IsRangeLoaded(0, 88) ? GetWord(kHdaSubsystemVendor) : 0;
    }
    const int32_t at = GetKPDESubsystemVendorIDOffset();
    return at != -1 && IsRangeLoaded(at, 2) ? GetWord(at) : 0;
}

uint16_t CROMImageGPUImpl::GetSubsystemDeviceID()
{
    if (HasIFRHeader())
    {
        return m_windowOffset < 16 ? 0 : static_cast<uint16_t>(GetIFRSubsystemID() >> 16);
    }
    if (HasHardwareDataArea())
    {
        COffsetModeScope scope(this, true);
        return IsRangeLoaded(0, 88) ? GetWord(kHdaSubsystemDevice) : 0;
    }
    const int32_t at = GetKPDESubsystemDeviceIDOffset();
    return at != -1 && IsRangeLoaded(at, 2) ? GetWord(at) : 0;
}

std::string CROMImageGPUImpl::GetVersionString(int32_t variant)
{
    if (!IsValid())
    {
        return "Unavailable (Invalid)";
    }
    const int32_t bit = LoadedBITHeader(true);
    if (bit == -1)
    {
        return "Unavailable (Not found)";
    }
    if (GetBITVersion(bit) != kBitVersion)
    {
        return "Unavailable (BIT ver 0)";
    }
    const int32_t data =
        variant == 1 ? TokenDataLoaded('i', 0, 0, 13, true) : TokenDataLoaded('B', 0, 0, 20, true);
    if (data == -1)
    {
        return "";
    }
    return ToHex(GetByte(data + 3), 2) + "." + ToHex(GetByte(data + 2), 2) + "." +
           ToHex(GetByte(data + 1), 2) + "." + ToHex(GetByte(data), 2) + "." +
           ToHex(GetByte(data + 4), 2);
}

uint32_t CROMImageGPUImpl::GetVersionNumber()
{
    const int32_t data = TokenDataLoaded('B', 0, 0, 20, true);
    return data == -1 ? 0 : GetDword(data);
}

uint8_t CROMImageGPUImpl::GetVersionByte(uint32_t index)
{
    // Any BIT version from 0x0100 up: the version bytes are read even where
    // the version text is not given.
    if (!IsValid() || index > 4 || LoadedBITHeader(true) == -1)
    {
        return 0;
    }
    uint8_t version = 0;
    uint16_t size = 0;
    const int32_t data = GetBITTokenDataOffset(WalkBITTokens('B', version, size, false));
    if (data == -1 || !IsRangeLoaded(data, 20))
    {
        return 0;
    }
    return index == 4 ? GetByte(data + 4) : GetByte(data + 3 - static_cast<int32_t>(index));
}

uint16_t CROMImageGPUImpl::GetGPUDeviceID()
{
    const int32_t data = TokenDataLoaded('i', 2, 25, 25, false);
    return data == -1 ? 0 : GetWord(data + 23);
}

uint16_t CROMImageGPUImpl::GetInfoWord38()
{
    const int32_t data = TokenDataLoaded('i', 2, 40, 40, false);
    return data == -1 ? 0 : GetWord(data + 38);
}

bool CROMImageGPUImpl::GetInfoFlag37()
{
    const int32_t data = TokenDataLoaded('i', 2, 40, 40, false);
    return data != -1 && (GetByte(data + 37) & 0x04) != 0;
}

bool CROMImageGPUImpl::GetInfoFlag5Bit4()
{
    const int32_t data = TokenDataLoaded('i', 2, 7, 7, false);
    return data != -1 && (GetWord(data + 5) & 0x10) != 0;
}

bool CROMImageGPUImpl::GetInfoFlag68Bit1()
{
    const int32_t data = TokenDataLoaded('i', 2, 69, 69, true);
    return data != -1 && (GetByte(data + 68) & 0x02) != 0;
}

bool CROMImageGPUImpl::GetInfoFlag68Bit0()
{
    const int32_t data = TokenDataLoaded('i', 2, 69, 69, true);
    return data != -1 && (GetByte(data + 68) & 0x01) != 0;
}

bool CROMImageGPUImpl::GetUEFITokenFlag()
{
    const int32_t data = TokenDataLoaded('U', 1, 3, 3, false);
    return data != -1 && (GetByte(data + 2) & 0x02) != 0;
}

bool CROMImageGPUImpl::GetHeaderFlag49()
{
    if (!IsValid())
    {
        return false;
    }
    if (GetVersionByte(0) >= 0x84)
    {
        return IsRangeLoaded(0x49, 1) && (GetByte(0x49) & 0x0C) == 0;
    }
    return GetVersionByte(2) != 0;
}

bool CROMImageGPUImpl::NeedsWriteProtectRemoval()
{
    return GetVersionByte(0) > 0x60 && IsRangeLoaded(0x49, 1) && (GetByte(0x49) & 0x01) != 0;
}

std::string CROMImageGPUImpl::GetModificationDate()
{
    if (!IsValid() || !IsRangeLoaded(0x38, 8))
    {
        return "";
    }
    std::string date;
    for (int32_t i = 0; i < 8; ++i)
    {
        date.push_back(static_cast<char>(GetByte(0x38 + i)));
    }
    return date;
}

// ---- hardware data area, straps and GUID ----------------------------------

bool CROMImageGPUImpl::HasHardwareDataArea()
{
    COffsetModeScope scope(this, true);
    return IsRangeLoaded(kHdaStrap0, kHdaChecksum + 1 - kHdaStrap0) &&
           GetByte(kHdaMarker) == kHdaMarkerValue && Sum8(kHdaStrap0, kHdaChecksum + 1) == 0;
}

void CROMImageGPUImpl::SetStraps(uint32_t word0, uint32_t word1, uint32_t word2, uint32_t word3,
                                 uint32_t word4, uint32_t word5)
{
    // Without the area these places hold code; nothing is written then.
    if (!HasHardwareDataArea())
    {
        throw std::domain_error(kNoHardwareDataArea);
    }
    COffsetModeScope scope(this, true);
    SetDword(kHdaStrap0, word0);
    SetDword(kHdaStrap0 + 4, word1);
    SetDword(kHdaStrap0 + 8, word2);
    SetDword(kHdaStrap3, (word3 & ~kGuidSourceBit) | (GetDword(kHdaStrap3) & kGuidSourceBit));
    SetByte(kHdaChecksum, GetChecksumByte(kHdaStrap0, kHdaChecksum));
    if (IsRangeLoaded(kHdaStrap4, kHdaMarker45 + 1 - kHdaStrap4) &&
        GetByte(kHdaMarker45) == kHdaMarker45Value)
    {
        SetDword(kHdaStrap4, word4);
        SetDword(kHdaStrap5, word5);
    }
}

void CROMImageGPUImpl::SetGUIDSource(uint32_t source)
{
    if (!HasHardwareDataArea())
    {
        throw std::domain_error(kNoHardwareDataArea);
    }
    COffsetModeScope scope(this, true);
    const uint32_t strap3 = GetDword(kHdaStrap3);
    SetDword(kHdaStrap3, (strap3 & ~kGuidSourceBit) | ((source & 1) != 0 ? kGuidSourceBit : 0));
    SetByte(kHdaChecksum, GetChecksumByte(kHdaStrap0, kHdaChecksum));
}

bool CROMImageGPUImpl::HasIEEE1394GUID()
{
    COffsetModeScope scope(this, true);
    if (!IsRangeLoaded(kHdaGuidPointer, 2))
    {
        return false;
    }
    const uint32_t pointer = GetWord(kHdaGuidPointer);
    if (pointer == 0 || !IsRangeLoaded(0, pointer * 4 + 8))
    {
        return false;
    }
    const int32_t record = static_cast<int32_t>(pointer * 4 - 2);
    const uint8_t length = GetByte(record);
    if (length == 0 || !IsRangeLoaded(record, length))
    {
        return false;
    }
    return Sum8(static_cast<uint32_t>(record), static_cast<uint32_t>(record) + length) == 0;
}

int32_t CROMImageGPUImpl::GetIEEE1394GUIDOffset()
{
    COffsetModeScope scope(this, true);
    const uint32_t pointer = IsRangeLoaded(kHdaGuidPointer, 2) ? GetWord(kHdaGuidPointer) : 0;
    if (pointer == 0 || !IsRangeLoaded(0, pointer * 4 + 8))
    {
        throw std::domain_error(kNoHardwareDataArea);
    }
    return static_cast<int32_t>(pointer * 4 - 2);
}

uint8_t CROMImageGPUImpl::GetIEEE1394GUIDSize()
{
    const int32_t record = GetIEEE1394GUIDOffset();
    COffsetModeScope scope(this, true);
    return GetByte(record);
}

void CROMImageGPUImpl::SetIEEE1394GUID(uint32_t high, uint32_t low)
{
    const int32_t record = GetIEEE1394GUIDOffset();
    COffsetModeScope scope(this, true);
    const uint8_t length = GetByte(record);
    // The record must hold the GUID and lie in the image, or the checksum
    // would not cover what is written.
    if (length < 10 || !IsRangeLoaded(record, length))
    {
        throw std::domain_error(kNoHardwareDataArea);
    }
    SetDword(record + 2, low);
    SetDword(record + 6, high);
    SetByte(record + 1, 0);
    SetByte(record + 1,
            GetChecksumByte(static_cast<uint32_t>(record), static_cast<uint32_t>(record) + length));
}

// ---- board texts and tables ----------------------------------------------

std::string CROMImageGPUImpl::BoardText(uint32_t which)
{
    static constexpr std::array<uint32_t, 5> kVersion2 = {0, 9, 12, 15, 18};
    static constexpr std::array<uint32_t, 5> kVersion1 = {0, 3, 6, 9, 12};
    if (which >= kVersion2.size())
    {
        return "";
    }
    int32_t data = TokenDataLoaded('S', 2, 0, 21, true);
    uint32_t field = kVersion2[which];
    if (data == -1)
    {
        data = TokenDataLoaded('S', 1, 0, 15, true);
        field = kVersion1[which];
    }
    if (data == -1)
    {
        return "";
    }
    const int32_t text = GetWord(OffsetAfter(data, field));
    // The text ends at its zero byte or at the end of the loaded bytes.
    std::string result;
    for (uint32_t i = UnsignedOffset(text); IsRangeLoaded(static_cast<int32_t>(i), 1); ++i)
    {
        const uint8_t c = GetByte(static_cast<int32_t>(i));
        if (c == 0)
        {
            break;
        }
        result.push_back(static_cast<char>(c));
    }
    return result;
}

int32_t CROMImageGPUImpl::FindPMID()
{
    static constexpr std::array<uint8_t, 4> kPmid = {'P', 'M', 'I', 'D'};
    return FindBytes(kPmid.data(), kPmid.size());
}

int32_t CROMImageGPUImpl::ReadI2CDeviceList(std::vector<uint32_t>& entries)
{
    static constexpr std::array<uint8_t, 4> kDcbSignature = {0xCB, 0xBD, 0xDC, 0x4E};
    if (!IsValid())
    {
        return -1;
    }
    const int32_t signature = FindBytes(kDcbSignature.data(), kDcbSignature.size());
    if (signature < 6)
    {
        return -1;
    }
    const int32_t header = signature - 6;
    if (!IsRangeLoaded(header, 32))
    {
        return -1;
    }
    const int32_t table = GetWord(header + 18);
    if (!IsRangeLoaded(table, 5))
    {
        return -1;
    }
    const uint32_t count = GetByte(table + 2);
    const size_t before = entries.size();
    for (uint32_t i = 0; i < count; ++i)
    {
        const int32_t entry = OffsetAfter(table, 5 + 4ull * i);
        if (!IsRangeLoaded(entry, 4))
        {
            break;
        }
        entries.push_back(GetDword(entry));
    }
    return entries.size() == before ? -1 : table;
}

std::pair<int32_t, uint32_t> CROMImageGPUImpl::UpdateDisplayConfig()
{
    int32_t header = 0;
    if (GetLoadedSize() >= 4096)
    {
        const int32_t pcir = IsValid() ? FindPCIR(0) : -1;
        if (pcir == -1)
        {
            throw std::runtime_error("PCI signature not found");
        }
        if (GetWord(pcir + kPcirImageLength) == 0)
        {
            throw std::runtime_error("PCI signature found, but ROM size is zero");
        }
        if (GetByte(pcir + kPcirCodeType) != kCodeX86)
        {
            throw std::runtime_error("TV block update only supported on PC BIOS images");
        }
        if ((GetByte(0x34) & 0x80) == 0)
        {
            throw std::runtime_error(
                "TV data structure not supported in the ROM image of this display adapter");
        }
        header = GetWord(0x36);
        if (header == 0 || !IsRangeLoaded(header, 2) || GetByte(header) >= 18)
        {
            throw std::runtime_error(
                "Display config block not found in ROM image of display adapter");
        }
    }
    else if (!IsRangeLoaded(0, 2) || GetByte(0) > 17)
    {
        throw std::runtime_error("Invalid display config block file");
    }
    return {header, uint32_t{GetByte(header + 1)} * 128};
}

std::array<uint8_t, 16> CROMImageGPUImpl::GetPLLInfo(uint8_t pllId)
{
    std::array<uint8_t, 16> record{};
    if (!IsValid() || !IsBITState(1))
    {
        return record;
    }
    int32_t table = -1;
    if (const int32_t v2 = GetBITTokenData('C', 2, 0); v2 != -1 && IsRangeLoaded(v2, 4))
    {
        table = static_cast<int32_t>(GetDword(v2));
    }
    else if (const int32_t v1 = GetBITTokenData('C', 1, 0); v1 != -1 && IsRangeLoaded(v1, 10))
    {
        table = GetWord(v1 + 8);
    }
    else
    {
        throw std::runtime_error("ERROR: BIT_CLOCK_PTRS setting is invalid.");
    }
    if (!IsRangeLoaded(table, 5) || GetByte(table) != 0x40)
    {
        throw std::runtime_error("ERROR: PLL Info Table version not supported.");
    }
    const uint32_t entrySize = GetByte(table + 2);
    const uint32_t count = GetByte(table + 3);
    for (uint32_t i = 0; i < count; ++i)
    {
        const int32_t entry = OffsetAfter(table, 5 + uint64_t{i} * entrySize);
        if (!IsRangeLoaded(entry, 3))
        {
            break;
        }
        if (GetByte(entry) == pllId)
        {
            ReadBlock(record.data(), GetWord(entry + 1), static_cast<uint32_t>(record.size()));
            return record;
        }
    }
    throw std::runtime_error("ERROR: PLL Parameters not found.");
}

// ---- Varnex version --------------------------------------------------------

CRefPtr<CVarnexImage> CROMImageGPUImpl::CreateVarnexImage(bool backup)
{
    const uint16_t type = backup ? kNbsiVarnexBackup : kNbsiVarnexImage;
    const int32_t data = FindNBSIObject(type);
    const uint32_t length = data == -1 ? 0 : GetNBSIObjectLength(type);
    if (length == 0)
    {
        return nullptr;
    }
    std::vector<uint8_t> bytes(length);
    ReadBlock(bytes.data(), data, length);
    return CRefPtr<CVarnexImage>(new CVarnexImage(bytes));
}

std::string CROMImageGPUImpl::GetVarnexVersionText(bool backup)
{
    CRefPtr<CVarnexImage> store;
    try
    {
        store = CreateVarnexImage(backup);
    }
    catch (const std::exception&)
    {
        // A corrupted NBSI block holds no store the version can be read from.
        store = nullptr;
    }
    if (!store)
    {
        return "N/A";
    }
    const auto* img = dynamic_cast<CVarnexImageImgObject*>(store->FindObject(VarnexTag("IMG")));
    if (img == nullptr)
    {
        return "No Version Found";
    }
    const std::string text = img->GetVersionText();
    return text.empty() ? "<Empty>" : text;
}
