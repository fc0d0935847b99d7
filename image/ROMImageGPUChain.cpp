// GPU image: the PCI expansion-ROM block chain: structure lookups, the
// effective-length rule, walks, ROM size, checksums, cached KPDE flags and the
// block listing.

#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"

#include <iomanip>
#include <limits>
#include <sstream>
#include <stdexcept>

using namespace pcirom;

namespace
{
bool IsBlockMark(uint16_t word)
{
    return word == kPublicMark || word == kPrivateMark || word == kAlternateMark;
}

bool IsPcirSignature(uint32_t signature)
{
    return signature == kPcirSignature || signature == kKpdsSignature ||
           signature == kRgisSignature;
}

// An offset computed in 64 bits as an image offset; -1 when it cannot be one.
int32_t ToImageOffset(uint64_t offset)
{
    return offset <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max())
               ? static_cast<int32_t>(offset)
               : -1;
}

struct CodeTypeNames
{
    const char* longName;
    const char* dumpName;
};

// The four signature characters of a structure.
std::string SignatureText(IROMImage* image, int32_t at)
{
    std::string text;
    for (int32_t i = 0; i < 4; ++i)
    {
        text.push_back(static_cast<char>(image->GetByte(at + i)));
    }
    return text;
}

CodeTypeNames NamesOf(uint8_t codeType)
{
    switch (codeType)
    {
    case kCodeX86:
        return {"x86, PC-AT", "x86"};
    case kCodeOpenFirmware:
        return {"Open Firmware", "Open Firmware"};
    case kCodeHpPaRisc:
        return {"HP PA RISC", "HP PA RISC"};
    case kCodeEfi:
        return {"EFI", "EFI"};
    case kCodeNbsi:
        return {"Korvan NBSI", "NBSI"};
    case kCodeX86Extension:
        return {"Korvan x86 Extension", "Extended"};
    default:
        return {"Unavailable (Unknown)", nullptr};
    }
}
} // namespace

// ---- structure lookups ---------------------------------------------------

int32_t CROMImageGPUImpl::FindPCIR(int32_t block)
{
    const uint32_t limit = ViewLimit();
    if (!RangeFits(UnsignedOffset(block), kMinimumHeaderSize, limit))
    {
        return -1;
    }
    const uint64_t pcir = UnsignedOffset(block) + GetWord(block + kPcirPointerOffset);
    if (!RangeFits(pcir, kPcirSize, limit))
    {
        return -1;
    }
    const auto offset = static_cast<int32_t>(pcir);
    return IsPcirSignature(GetDword(offset)) ? offset : -1;
}

uint32_t CROMImageGPUImpl::GetPCIBlockLength(int32_t block)
{
    const int32_t pcir = FindPCIR(block);
    return pcir == -1 ? 0 : uint32_t{GetWord(pcir + kPcirImageLength)} * kUnit;
}

int32_t CROMImageGPUImpl::FindKPDEForPCIR(int32_t pcir)
{
    // The extension starts on the first 16-byte boundary after the structure.
    const uint64_t end = UnsignedOffset(pcir) + GetWord(pcir + kPcirStructureLength);
    const uint64_t kpde = (end + 15) & ~uint64_t{15};
    if (!RangeFits(kpde, 12, ViewLimit()))
    {
        return -1;
    }
    const auto offset = static_cast<int32_t>(kpde);
    return GetDword(offset) == kKpdeSignature ? offset : -1;
}

int32_t CROMImageGPUImpl::FindKPDE(int32_t block)
{
    const int32_t pcir = FindPCIR(block);
    return pcir == -1 ? -1 : FindKPDEForPCIR(pcir);
}

uint32_t CROMImageGPUImpl::GetKPDELength(int32_t kpde)
{
    if (kpde == -1 || !RangeFits(UnsignedOffset(kpde), 8, ViewLimit()) ||
        GetDword(kpde) != kKpdeSignature)
    {
        return 0;
    }
    return GetWord(kpde + kKpdeStructureLength);
}

uint32_t CROMImageGPUImpl::GetKPDEImageLength(int32_t block)
{
    const int32_t kpde = FindKPDE(block);
    return kpde == -1 ? 0 : uint32_t{GetWord(kpde + kKpdeImageLength)} * kUnit;
}

int32_t CROMImageGPUImpl::GetKPDESubsystemVendorIDOffset()
{
    const int32_t kpde = FindKPDE(0);
    return kpde == -1 ? -1 : kpde + static_cast<int32_t>(kKpdeSubsystemVendorId);
}

int32_t CROMImageGPUImpl::GetKPDESubsystemDeviceIDOffset()
{
    const int32_t kpde = FindKPDE(0);
    return kpde == -1 ? -1 : kpde + static_cast<int32_t>(kKpdeSubsystemDeviceId);
}

bool CROMImageGPUImpl::HasPCIR()
{
    return FindPCIR(0) != -1;
}

uint8_t CROMImageGPUImpl::GetKPDEFlags(int32_t block)
{
    const int32_t kpde = FindKPDE(block);
    if (kpde == -1 || GetKPDELength(kpde) < 12)
    {
        return 0;
    }
    return GetByte(kpde + kKpdeFlags);
}

void CROMImageGPUImpl::GetSubImageLength(int32_t pcir, uint32_t& length, uint8_t& indicator)
{
    const int32_t kpde = FindKPDEForPCIR(pcir);
    if (kpde == -1 || GetWord(kpde + kKpdeVersion) > kKpdeVersion101)
    {
        return;
    }
    const uint32_t pcirLength = length;
    const uint32_t subImageLength = uint32_t{GetWord(kpde + kKpdeImageLength)} * kUnit;
    if (subImageLength != 0)
    {
        length = subImageLength;
    }
    if (GetWord(kpde + kKpdeStructureLength) >= 11)
    {
        indicator = GetByte(kpde + kKpdeIndicator);
    }
    else if (length < pcirLength)
    {
        // More images follow inside this block's PCIR length.
        indicator &= static_cast<uint8_t>(~kLastImage);
    }
}

void CROMImageGPUImpl::SetSubImageLength(int32_t pcir, uint32_t length, uint8_t indicator)
{
    const int32_t kpde = FindKPDEForPCIR(pcir);
    if (kpde == -1 || GetWord(kpde + kKpdeVersion) > kKpdeVersion101)
    {
        return;
    }
    SetWord(kpde + kKpdeImageLength, static_cast<uint16_t>(length / kUnit));
    if (GetWord(kpde + kKpdeStructureLength) >= 11)
    {
        SetByte(kpde + kKpdeIndicator, indicator);
    }
}

void CROMImageGPUImpl::EffectiveLength(int32_t, int32_t pcir, uint32_t& length, uint8_t& indicator)
{
    length = uint32_t{GetWord(pcir + kPcirImageLength)} * kUnit;
    indicator = GetByte(pcir + kPcirIndicator);
    GetSubImageLength(pcir, length, indicator);
}

// ---- validity and kind ---------------------------------------------------

bool CROMImageGPUImpl::HasValidSignature()
{
    return ViewLimit() >= 2 && IsBlockMark(GetWord(0));
}

bool CROMImageGPUImpl::IsValid()
{
    return HasValidSignature() && HasPCIR();
}

bool CROMImageGPUImpl::IsPCIROM()
{
    COffsetModeScope scope(this, true);
    const uint16_t mark = ViewLimit() >= 2 ? GetWord(0) : 0;
    const int32_t pcir = FindPCIR(0);
    return mark == kPublicMark && pcir != -1 && GetDword(pcir) == kPcirSignature &&
           GetWord(pcir + kPcirVendorId) != 0xFFFF;
}

bool CROMImageGPUImpl::IsErased()
{
    const uint32_t size = ViewLimit();
    if (size <= 128)
    {
        throw std::runtime_error("Not enough of image read to determine if EEPROM is erased");
    }
    const uint32_t probes[] = {0, 1, 0x18, 0x19, 0x80, size / 2, size - 1};
    for (uint32_t probe : probes)
    {
        if (GetByte(static_cast<int32_t>(probe)) != 0xFF)
        {
            return false;
        }
    }
    return true;
}

uint8_t CROMImageGPUImpl::GetFirstCodeType()
{
    if (!IsValid())
    {
        return kCodeNone;
    }
    return GetByte(FindPCIR(0) + kPcirCodeType);
}

std::string CROMImageGPUImpl::GetCodeTypeName()
{
    return NamesOf(GetFirstCodeType()).longName;
}

std::string CROMImageGPUImpl::GetTypeName()
{
    return IsErased() ? "Erased" : GetCodeTypeName();
}

// ---- walking and searching -----------------------------------------------

int32_t CROMImageGPUImpl::NextPCIBlock(int32_t block)
{
    const int32_t pcir = FindPCIR(block);
    if (pcir == -1)
    {
        return -1;
    }
    uint32_t units = GetWord(pcir + kPcirImageLength);
    uint8_t indicator = GetByte(pcir + kPcirIndicator);
    const int32_t kpde = FindKPDEForPCIR(pcir);
    if (kpde != -1)
    {
        // This step reads the extension whatever its version.
        const uint16_t structureLength = GetWord(kpde + kKpdeStructureLength);
        if (structureLength >= 11)
        {
            indicator = GetByte(kpde + kKpdeIndicator);
        }
        const uint16_t subUnits = GetWord(kpde + kKpdeImageLength);
        if (subUnits != 0)
        {
            if (structureLength < 11 && units > subUnits)
            {
                indicator &= static_cast<uint8_t>(~kLastImage);
            }
            units = subUnits;
        }
    }
    if ((indicator & kLastImage) != 0 || units == 0)
    {
        return -1;
    }
    const int32_t next = ToImageOffset(UnsignedOffset(block) + uint64_t{units} * kUnit);
    if (next == -1 || FindPCIR(next) == -1 || !IsBlockMark(GetWord(next)))
    {
        return -1;
    }
    return next;
}

int32_t CROMImageGPUImpl::FindPCIBlockByCodeType(uint8_t codeType, int32_t start)
{
    if (codeType == kCodeNone)
    {
        return start;
    }
    const char* const corrupted = "PCI Block chain corrupted - PCI block search failed";
    uint64_t offset = UnsignedOffset(start);
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        const int32_t block = ToImageOffset(offset);
        const int32_t pcir = block == -1 ? -1 : FindPCIR(block);
        if (pcir == -1)
        {
            return -1;
        }
        uint32_t length = GetPCIBlockLength(block);
        if (length == 0)
        {
            return -1;
        }
        uint8_t indicator = GetByte(pcir + kPcirIndicator);
        if (GetByte(pcir + kPcirCodeType) == codeType)
        {
            return block;
        }
        GetSubImageLength(pcir, length, indicator);
        offset += length;
        if ((indicator & kLastImage) != 0)
        {
            return -1;
        }
        if (offset >= ViewLimit())
        {
            throw std::runtime_error(corrupted);
        }
    }
    throw std::runtime_error(corrupted);
}

int32_t CROMImageGPUImpl::FindNthPCIBlock(uint8_t codeType, uint32_t n)
{
    int32_t from = 0;
    int32_t found = -1;
    for (uint64_t i = 0; i <= n; ++i)
    {
        found = FindPCIBlockByCodeType(codeType, from);
        if (found == -1)
        {
            break;
        }
        uint32_t step = GetKPDEImageLength(found);
        if (step == 0)
        {
            step = GetPCIBlockLength(found);
        }
        from = step == 0 ? -1 : ToImageOffset(UnsignedOffset(found) + step);
    }
    return found;
}

int32_t CROMImageGPUImpl::GetPCIBlockEnd(int32_t block)
{
    const int32_t pcir = FindPCIR(block);
    if (pcir == -1)
    {
        return -1;
    }
    uint32_t length = GetPCIBlockLength(block);
    if (length == 0)
    {
        return -1;
    }
    if (GetByte(pcir + kPcirCodeType) == kCodeX86)
    {
        const uint32_t firstSubImage = GetKPDEImageLength(0);
        if (firstSubImage != 0)
        {
            length = firstSubImage;
        }
    }
    return ToImageOffset(UnsignedOffset(block) + length - 1);
}

bool CROMImageGPUImpl::CheckOffsetModeChain()
{
    bool hasPrivate = false;
    uint64_t offset = 0;
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        const int32_t block = ToImageOffset(offset);
        const int32_t pcir = block == -1 ? -1 : FindPCIR(block);
        if (pcir == -1)
        {
            throw std::runtime_error(GetOffsetMode() ? "PCI Block corrupted 1.OffsetMode is true"
                                                     : "OffsetMode is false.");
        }
        if (GetPCIBlockLength(block) == 0)
        {
            throw std::runtime_error("PCI Block corrupted 2");
        }
        uint32_t length = 0;
        uint8_t indicator = 0;
        EffectiveLength(block, pcir, length, indicator);
        hasPrivate |= (GetKPDEFlags(block) & kFlagPrivate) != 0;
        if ((indicator & kLastImage) != 0)
        {
            return hasPrivate;
        }
        offset += length;
        if (offset >= ViewLimit())
        {
            break;
        }
    }
    throw std::runtime_error("PCI block chain corrupted");
}

bool CROMImageGPUImpl::ReadPCIBlockPayload(std::vector<uint8_t>& payload, uint8_t codeType)
{
    payload.clear();
    const int32_t block = FindPCIBlockByCodeType(codeType, 0);
    const int32_t pcir = block == -1 ? -1 : FindPCIR(block);
    if (pcir == -1)
    {
        return false;
    }
    const int32_t kpde = FindKPDEForPCIR(pcir);
    const uint64_t start = kpde != -1 ? UnsignedOffset(kpde) + GetKPDELength(kpde)
                                      : UnsignedOffset(pcir) + GetWord(pcir + kPcirStructureLength);
    const uint64_t end = UnsignedOffset(block) + GetPCIBlockLength(block);
    if (start > end || !RangeFits(start, end - start, ViewLimit()))
    {
        return false;
    }
    const uint8_t* view = BufferStart() + GetWindowOffset();
    payload.assign(view + start, view + end);
    return true;
}

// ---- indicators ----------------------------------------------------------

bool CROMImageGPUImpl::GetPCIRIndicator(uint8_t& indicator, int32_t block)
{
    const int32_t pcir = FindPCIR(block);
    if (pcir == -1)
    {
        return false;
    }
    indicator = GetByte(pcir + kPcirIndicator);
    return true;
}

int32_t CROMImageGPUImpl::KPDEIndicatorOffset(int32_t block)
{
    const int32_t kpde = FindKPDE(block);
    if (kpde == -1 || GetKPDELength(kpde) < 11)
    {
        return -1;
    }
    return kpde + static_cast<int32_t>(kKpdeIndicator);
}

bool CROMImageGPUImpl::GetKPDEIndicator(uint8_t& indicator, int32_t block)
{
    const int32_t at = KPDEIndicatorOffset(block);
    if (at == -1)
    {
        return false;
    }
    indicator = GetByte(at);
    return true;
}

bool CROMImageGPUImpl::SetIndicatorBits(int32_t at, uint8_t bits, bool set)
{
    if (at == -1)
    {
        return false;
    }
    const uint8_t value = GetByte(at);
    SetByte(at, set ? static_cast<uint8_t>(value | bits) : static_cast<uint8_t>(value & ~bits));
    return true;
}

bool CROMImageGPUImpl::SetPCIRLastImage(int32_t block, uint8_t extraBits)
{
    const int32_t pcir = FindPCIR(block);
    return SetIndicatorBits(pcir == -1 ? -1 : pcir + static_cast<int32_t>(kPcirIndicator),
                            kLastImage | extraBits, true);
}

bool CROMImageGPUImpl::ClearPCIRLastImage(int32_t block, uint8_t extraBits)
{
    const int32_t pcir = FindPCIR(block);
    return SetIndicatorBits(pcir == -1 ? -1 : pcir + static_cast<int32_t>(kPcirIndicator),
                            kLastImage | extraBits, false);
}

bool CROMImageGPUImpl::SetKPDELastImage(int32_t block, uint8_t extraBits)
{
    return SetIndicatorBits(KPDEIndicatorOffset(block), kLastImage | extraBits, true);
}

bool CROMImageGPUImpl::ClearKPDELastImage(int32_t block, uint8_t extraBits)
{
    return SetIndicatorBits(KPDEIndicatorOffset(block), kLastImage | extraBits, false);
}

// ---- sizes ---------------------------------------------------------------

uint32_t CROMImageGPUImpl::GetROMSize()
{
    uint64_t size = 0;
    bool savedMode = false;
    {
        COffsetModeScope scope(this, true);
        savedMode = scope.SavedMode();
        const uint32_t limit = ViewLimit();
        const int32_t firstPcir = FindPCIR(0);
        if (IsValid() && firstPcir != -1)
        {
            size = GetPCIBlockLength(0);
            if (GetByte(firstPcir + kPcirCodeType) == kCodeX86)
            {
                size = std::max<uint64_t>(size, uint64_t{GetByte(kInitSizeOffset)} * kUnit);
                if (limit >= 0x38 && (GetByte(0x34) & 0x80) != 0)
                {
                    // The display configuration block may lie behind the code.
                    const uint32_t configuration = GetWord(0x36);
                    if (configuration > size && uint64_t{configuration} + 2 < limit)
                    {
                        const uint64_t end =
                            configuration +
                            uint64_t{GetByte(static_cast<int32_t>(configuration + 1))} * 128;
                        size = (end + 1023) & ~uint64_t{1023};
                    }
                }
            }
            uint64_t sum = 0;
            for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
            {
                const int32_t block = ToImageOffset(sum);
                const int32_t pcir = block == -1 ? -1 : FindPCIR(block);
                if (pcir == -1)
                {
                    break;
                }
                if (GetPCIBlockLength(block) == 0)
                {
                    // A block the chain leads to cannot be empty: sizing the
                    // image without it would cut off what follows.
                    if (step != 0)
                    {
                        throw std::runtime_error("PCI Block corrupted - size mismatch");
                    }
                    break;
                }
                uint32_t length = 0;
                uint8_t indicator = 0;
                EffectiveLength(block, pcir, length, indicator);
                sum += length;
                if ((indicator & kLastImage) != 0)
                {
                    break;
                }
                if (sum >= limit)
                {
                    throw std::runtime_error("PCI Block corrupted - size mismatch");
                }
            }
            size = std::max(size, sum);
        }
    }
    if (!savedMode && HasCompleteIFR())
    {
        size += m_windowOffset;
    }
    return size > ViewLimit() ? 0 : static_cast<uint32_t>(size);
}

namespace
{
uint8_t SizeInUnitsByte(uint32_t size)
{
    if (size / kUnit > 0xFF)
    {
        throw std::domain_error("ROM size does not fit the image header: " + std::to_string(size));
    }
    return static_cast<uint8_t>(size / kUnit);
}

uint16_t SizeInUnitsWord(uint32_t size)
{
    if (size / kUnit > 0xFFFF)
    {
        throw std::domain_error("ROM size does not fit the PCI data structure: " +
                                std::to_string(size));
    }
    return static_cast<uint16_t>(size / kUnit);
}
} // namespace

void CROMImageGPUImpl::UpdateROMSize(uint32_t size)
{
    if (!IsValid())
    {
        return;
    }
    // Both fields are checked before either is written.
    const uint8_t headerUnits = SizeInUnitsByte(size);
    const uint16_t units = SizeInUnitsWord(size);
    SetByte(kInitSizeOffset, headerUnits);
    SetWord(FindPCIR(0) + kPcirImageLength, units);
    const int32_t kpde = FindKPDE(0);
    if (kpde != -1)
    {
        SetWord(kpde + kKpdeImageLength, units);
    }
}

void CROMImageGPUImpl::UpdateROMSizeFlagged(uint32_t size)
{
    if (!IsValid() || !m_kpdeFlag1)
    {
        return;
    }
    const uint16_t units = SizeInUnitsWord(size);
    if (!m_kpdeFlag3)
    {
        SetByte(kInitSizeOffset, SizeInUnitsByte(size));
    }
    SetWord(FindPCIR(0) + kPcirImageLength, units);
}

void CROMImageGPUImpl::SetPCIBlockLength(int32_t block, uint32_t length)
{
    const int32_t pcir = FindPCIR(block);
    if (!IsValid() || pcir == -1)
    {
        return;
    }
    const uint8_t headerUnits = SizeInUnitsByte(length);
    const uint16_t units = SizeInUnitsWord(length);
    SetByte(block + kInitSizeOffset, headerUnits);
    SetWord(pcir + kPcirImageLength, units);
    const int32_t kpde = FindKPDEForPCIR(pcir);
    if (kpde != -1)
    {
        SetWord(kpde + kKpdeImageLength, units);
    }
}

// ---- checksums -----------------------------------------------------------

void CROMImageGPUImpl::FixChecksum()
{
    const uint32_t covered = uint32_t{GetByte(kInitSizeOffset)} * kUnit;
    if (ViewLimit() < covered)
    {
        return;
    }
    // A header size of 0 asks for an empty range ending at -1: "Invalid offset".
    const uint8_t checksum = GetChecksumByte(0, covered - 1);
    SetByte(static_cast<int32_t>(covered - 1), checksum);
}

void CROMImageGPUImpl::FixPCIBlockChecksum(int32_t block)
{
    uint32_t length = GetPCIBlockLength(block);
    if (length == 0)
    {
        throw std::runtime_error("PCI Block corrupted - PCI Block size invalid");
    }
    if ((GetKPDEFlags(block) & kFlagNoChecksum) != 0)
    {
        return;
    }
    uint8_t indicator = 0;
    GetSubImageLength(FindPCIR(block), length, indicator);
    if (!RangeFits(UnsignedOffset(block), length, ViewLimit()))
    {
        return;
    }
    const auto start = static_cast<uint32_t>(block);
    const uint8_t checksum = GetChecksumByte(start, start + length - 1);
    const int32_t end = GetPCIBlockEnd(block);
    if (end != -1 && UnsignedOffset(end) >= start && UnsignedOffset(end) < uint64_t{start} + length)
    {
        SetByte(end, checksum);
    }
}

// ---- cached KPDE flags ---------------------------------------------------

void CROMImageGPUImpl::ReadKPDEFlags()
{
    COffsetModeScope scope(this, true);
    m_kpdeFlag1 = false;
    m_kpdeFlag3 = false;
    if (GetKPDEImageLength(0) == 0)
    {
        return;
    }
    const int32_t kpde = FindKPDE(0);
    if (GetWord(kpde + kKpdeVersion) == kKpdeVersion100)
    {
        m_kpdeFlag1 = GetByte(FindPCIR(0) + kPcirRevision) == 3;
        return;
    }
    const uint8_t flags = GetByte(kpde + kKpdeFlags);
    m_kpdeFlag1 = (flags & kFlagSuperImage) != 0;
    m_kpdeFlag3 = (flags & kFlagFixedInitSegment) != 0;
}

// ---- listing -------------------------------------------------------------

std::string CROMImageGPUImpl::DumpPCIBlocks(int32_t detail)
{
    const bool effective = detail == 2 || detail == 3;
    std::ostringstream out;
    out << std::left << std::setw(13) << "Location" << ' ' << std::right << std::setw(6) << "Size"
        << ' ' << std::left << std::setw(15) << "Type" << '\n';
    uint64_t offset = 0;
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        const int32_t block = ToImageOffset(offset);
        const int32_t pcir = block == -1 ? -1 : FindPCIR(block);
        const uint32_t pcirLength = pcir == -1 ? 0 : GetPCIBlockLength(block);
        if (pcirLength == 0)
        {
            out << '\n' << "PCI Block corrupted 3";
            throw std::runtime_error(out.str());
        }
        const uint8_t codeType = GetByte(pcir + kPcirCodeType);
        const CodeTypeNames names = NamesOf(codeType);
        out << ToHex(static_cast<uint32_t>(block), 6) << ':'
            << ToHex(static_cast<uint32_t>(block) + pcirLength - 1, 6) << ' ' << std::right
            << std::setw(6) << pcirLength << ' ' << std::left;
        if (names.dumpName != nullptr)
        {
            out << std::setw(15) << names.dumpName;
        }
        else
        {
            out << std::setw(15) << "Unknown[" << ToHex(codeType, 2) << ']';
        }
        out << '\n';
        const int32_t kpde = FindKPDEForPCIR(pcir);
        if (detail == 3)
        {
            out << "------- PCI BLOCK -------\n"
                << " Signature    = " << SignatureText(this, pcir) << '\n'
                << " Vendor ID    = " << ToHex(GetWord(pcir + kPcirVendorId), 2) << '\n'
                << " Device ID    = " << ToHex(GetWord(pcir + kPcirDeviceId), 2) << '\n'
                << " Class-code   = " << ToHex(GetByte(pcir + kPcirClassCode), 1)
                << ToHex(GetByte(pcir + kPcirClassCode + 1), 1)
                << ToHex(GetByte(pcir + kPcirClassCode + 2), 1) << '\n'
                << " Length       = " << ToHex(GetWord(pcir + kPcirImageLength), 4) << '\n'
                << " Last Image   = " << ToHex(GetByte(pcir + kPcirIndicator), 2) << '\n';
            if (kpde != -1)
            {
                out << "------- KPDE BLOCK ------\n"
                    << " Signature    = " << SignatureText(this, kpde) << '\n'
                    << " Length       = " << ToHex(GetWord(kpde + kKpdeImageLength), 2) << '\n'
                    << " Last Image   = " << ToHex(GetByte(kpde + kKpdeIndicator), 2) << '\n'
                    << " Flags-0      = " << ToHex(GetByte(kpde + kKpdeFlags), 2) << '\n';
            }
            out << "-------------------------\n";
        }
        uint32_t length = pcirLength;
        uint8_t indicator = GetByte(pcir + kPcirIndicator);
        if (effective)
        {
            GetSubImageLength(pcir, length, indicator);
        }
        if ((indicator & kLastImage) != 0)
        {
            return out.str();
        }
        offset += length;
    }
    out << '\n' << "PCI Block corrupted 3";
    throw std::runtime_error(out.str());
}
