// GPU image: the UEFI driver in the chain's EFI block: its support state, the
// texts of its reader, and the merge of a supplied EFI block into the image.

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"
#include "image/UEFIDecompressor.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <stdexcept>

using namespace pcirom;

namespace
{
const char* const kYes = "Yes";
const char* const kPlaceholder = "Placeholder";
const char* const kHidden = "No (hidden)";
const char* const kNo = "No";

bool IsUEFIBlockMark(uint16_t word)
{
    return word == kPublicMark || word == kPrivateMark || word == kAlternateMark;
}

// The version bytes of the firmware generations whose UEFI driver may be
// replaced.
constexpr std::array<uint8_t, 5> kUpdatableCores = {0x84, 0x82, 0x80, 0x75, 0x70};

// The reader of the image's first EFI block.
std::unique_ptr<UEFIDecompressor> CreateUEFIReader(IROMImage* image)
{
    COffsetModeScope scope(image, true);
    std::vector<uint8_t> payload;
    image->ReadPCIBlockPayload(payload, kCodeEfi);
    return std::make_unique<UEFIDecompressor>(std::move(payload), image->GetUEFISupport());
}

// True when the image's first EFI block holds a driver that decompresses.
bool EfiPayloadDecompresses(IROMImage* image)
{
    std::vector<uint8_t> payload;
    if (!image->ReadPCIBlockPayload(payload, kCodeEfi))
    {
        return false;
    }
    return UEFIDecompressor(std::move(payload), kYes).IsDecompressed();
}

void LogLine(CLog* log, const std::string& text)
{
    if (log != nullptr)
    {
        *log << LogLevel(3) << text << LogEndl;
    }
}

[[noreturn]] void Fail(CLog* log, const std::string& logText, const std::string& errorText)
{
    LogLine(log, logText);
    throw std::runtime_error(errorText);
}

const char* TrueFalse(bool value)
{
    return value ? "True" : "False";
}
} // namespace

// ---- support state and the reader's texts ------------------------------------

std::string CROMImageGPUImpl::GetUEFISupport()
{
    COffsetModeScope scope(this, true);
    std::string result = kNo;
    if (!IsValid())
    {
        return result;
    }
    bool passedLast = false;
    uint64_t offset = 0;
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        if (!RangeFits(offset, kMinimumHeaderSize, ViewLimit()) ||
            !IsUEFIBlockMark(GetWord(static_cast<int32_t>(offset))))
        {
            throw std::runtime_error("PCI Block chain corrupted - PCI Expansion ROM Header not "
                                     "found - GetUEFISupport() failed");
        }
        const auto block = static_cast<int32_t>(offset);
        const int32_t pcir = FindPCIR(block);
        if (pcir == -1)
        {
            throw std::runtime_error(
                "PCI Block Corrupted - PCI Data Structure not found - GetUEFISupport() failed");
        }
        const bool hasPcir = GetDword(pcir) == kPcirSignature;
        if (GetByte(pcir + kPcirCodeType) == kCodeEfi)
        {
            if (hasPcir && !passedLast)
            {
                result = kYes;
            }
            else if (!hasPcir && result != kYes)
            {
                result = kPlaceholder;
            }
            else if (hasPcir && result != kYes && result != kPlaceholder)
            {
                result = kHidden;
            }
        }
        uint8_t indicator = 0;
        uint32_t length = 0;
        passedLast |= (GetByte(pcir + kPcirIndicator) & kLastImage) != 0;
        EffectiveLength(block, pcir, length, indicator);
        // A block of length 0 would not advance: the walk ends there.
        if (length == 0 || (indicator & kLastImage) != 0)
        {
            break;
        }
        offset += length;
    }
    return result;
}

std::string CROMImageGPUImpl::GetUEFIVersion()
{
    return CreateUEFIReader(this)->GetVersionString();
}

std::string CROMImageGPUImpl::GetUEFIVariantID()
{
    return CreateUEFIReader(this)->GetVariantID();
}

std::string CROMImageGPUImpl::GetUEFIFeatureString()
{
    return CreateUEFIReader(this)->GetFeatureString();
}

std::vector<std::string> CROMImageGPUImpl::GetUEFISigners()
{
    return CreateUEFIReader(this)->GetSigner();
}

// ---- checks before a merge ---------------------------------------------------

std::string CROMImageGPUImpl::CanUpdateUEFI()
{
    COffsetModeScope scope(this, true);
    if (!IsValid())
    {
        return "Cannot update: Image is not valid. ";
    }
    const int32_t mxm = GetBITTokenData('x', 0, 0);
    if (mxm != -1 && GetByte(mxm + 1) != 0)
    {
        return "Cannot update: Image is an MXM. ";
    }
    if (GetKPDEFlag1())
    {
        return "Cannot update: Image is a SuperImage. ";
    }
    const uint8_t core = GetVersionByte(0);
    if (std::find(kUpdatableCores.begin(), kUpdatableCores.end(), core) == kUpdatableCores.end())
    {
        return "Cannot update: Image is not a Vove80 or Vezo70. [ Read as Core" + ToHex(core, 2) +
               "]";
    }
    return kYes;
}

std::string CROMImageGPUImpl::CheckUEFIImage(const uint8_t* bytes, uint32_t length)
{
    std::string result = CanUpdateUEFI();
    if (result != kYes)
    {
        return result;
    }
    COffsetModeScope scope(this, true);
    const std::string currentSupport = GetUEFISupport();
    CRefPtr<IROMImage> supplied;
    try
    {
        supplied = CreateFromBuffer(bytes, length);
    }
    catch (const std::exception&)
    {
        // Bytes that make no image at all (too large, a refused first block,
        // a driver file without its support list) are no UEFI image either.
        return "Didn't provide valid UEFI image.";
    }
    supplied->SetOffsetMode(true);
    const int32_t efi = supplied->FindNthPCIBlock(kCodeEfi, 0);
    supplied->SetPCIRLastImage(efi, 0);
    supplied->SetKPDELastImage(efi, 0);
    const std::string suppliedSupport = supplied->GetUEFISupport();
    if (suppliedSupport != kYes && suppliedSupport != kHidden)
    {
        result = "Didn't provide valid UEFI image.";
    }
    else if (!EfiPayloadDecompresses(supplied.get()))
    {
        // A payload that can be taken but not decoded is no driver: merging
        // it would put an unreadable driver on the board.
        result = "Could not decompress provided UEFI image.";
    }
    std::vector<uint8_t> payload;
    if ((currentSupport == kYes || currentSupport == kHidden) &&
        !ReadPCIBlockPayload(payload, kCodeEfi))
    {
        result = "Could not read (decompress) UEFI image in EEPROM.";
    }
    return result;
}

// ---- the merge ---------------------------------------------------------------

bool CROMImageGPUImpl::UpdateUEFIImage(const uint8_t* bytes, uint32_t length, CLog* log)
{
    LogLine(log, "");
    LogLine(log, "updating UEFI block in image.");
    const std::string check = CheckUEFIImage(bytes, length);
    if (check != kYes)
    {
        const std::string text = "GPU doesn't support having a UEFI update:\n" + check + "\n";
        LogLine(log, "");
        LogLine(log, "");
        if (log != nullptr)
        {
            *log << LogLevel(3) << text << std::flush;
        }
        throw std::runtime_error(text);
    }
    LogLine(log, "Image supports having UEFI updated.");

    // The current image is only read until the merged image is complete; its
    // mode comes back on every way out.
    COffsetModeScope scope(this, true);
    CRefPtr<IROMImage> supplied = CreateFromBuffer(bytes, length);
    // The working copy holds the chain alone: the loaded bytes that follow the
    // window start, no more.
    CRefPtr<IROMImage> working = CreateFromBuffer(BufferView(), ViewLimit());
    supplied->SetOffsetMode(true);
    working->SetOffsetMode(true);

    const std::string support = working->GetUEFISupport();
    LogLine(log, "Current UEFI support is: " + support);
    const bool isPrivate = working->CheckOffsetModeChain();
    const bool isSuper = working->GetKPDEFlag1();
    LogLine(log, std::string("Private image: ") + TrueFalse(isPrivate));
    LogLine(log, std::string("Super image:   ") + TrueFalse(isSuper));

    const int32_t oldEfi = working->FindNthPCIBlock(kCodeEfi, 0);
    const int32_t newEfi = supplied->FindNthPCIBlock(kCodeEfi, 0);
    const uint32_t oldSize = working->GetPCIBlockLength(oldEfi);
    uint32_t newSize = supplied->GetPCIBlockLength(newEfi);
    LogLine(log, "  Current UEFI size:  " + std::to_string(oldSize) + " bytes");
    LogLine(log, "  Supplied UEFI size: " + std::to_string(newSize) + " bytes");

    // The block whose IDs the new block takes: the old EFI block, or the x86
    // block when there is none.
    const int32_t pattern = support == kNo ? working->FindNthPCIBlock(kCodeX86, 0) : oldEfi;
    const int32_t oldPcir = working->FindPCIR(pattern);
    const int32_t newPcir = supplied->FindPCIR(newEfi);
    if (oldPcir == -1 || newPcir == -1)
    {
        Fail(log, "Couldn't find the offset to where the EFI block will go.",
             "Could not find offset to UEFI image.");
    }
    supplied->SetWord(newPcir + kPcirDeviceId, working->GetWord(oldPcir + kPcirDeviceId));
    supplied->SetWord(newPcir + kPcirVendorId, working->GetWord(oldPcir + kPcirVendorId));
    for (int32_t i = 0; i < 3; ++i)
    {
        supplied->SetByte(newPcir + kPcirClassCode + i, working->GetByte(oldPcir + kPcirClassCode + i));
    }
    LogLine(log, "Copied DevID, VendorID, and ClassCode to UEFI image.");
    supplied->SetPCIRLastImage(newEfi, 0);

    bool clearKpdeLastLater = false;
    const int32_t oldKpde = working->FindKPDE(pattern);
    const int32_t newKpde = supplied->FindKPDE(newEfi);
    if (oldKpde == -1)
    {
        LogLine(log, "KPDE block doesn't exist in the old image. Only copying PCIR portion.");
        supplied->SetKPDELastImage(newEfi, 0);
    }
    else if (newKpde == -1)
    {
        if (isPrivate || isSuper)
        {
            Fail(log, "KPDE blocks doesn't exist in the new image. Possible loss of data.",
                 "Incompatible ROM and EFI file.");
        }
    }
    else
    {
        LogLine(log, "Valid KPDE blocks in both sources.");
        const uint32_t oldKpdeLength = working->GetKPDELength(oldKpde);
        const uint32_t newKpdeLength = supplied->GetKPDELength(newKpde);
        LogLine(log, "  Existing Image size KPDE: " + ToHex(oldKpdeLength, 2));
        LogLine(log, "  New UEFI Image size KPDE: " + ToHex(newKpdeLength, 2));
        if (newKpdeLength < oldKpdeLength)
        {
            Fail(log, "KPDE table size mismatch.", "KPDE table size mismatch.");
        }
        supplied->SetKPDELastImage(newEfi, 0);
        if (isPrivate)
        {
            uint8_t indicator = 0;
            clearKpdeLastLater =
                working->GetKPDEIndicator(indicator, pattern) && (indicator & kLastImage) == 0;
        }
        else if (support == kYes || support == kPlaceholder)
        {
            LogLine(log, "Placeholder/UEFI image already exists.");
            if (oldKpdeLength >= 12)
            {
                supplied->SetByte(newKpde + kKpdeFlags, working->GetByte(oldKpde + kKpdeFlags));
            }
        }
    }

    if (newSize < oldSize)
    {
        // A smaller block keeps the old block's room, so what follows it
        // keeps its offsets.
        LogLine(log, "Padding the new UEFI image to fit into bigger block.");
        supplied->SetPCIBlockLength(newEfi, oldSize);
        const std::vector<uint8_t> fill(oldSize - newSize, 0xFF);
        supplied->WriteBytes(newEfi + static_cast<int32_t>(newSize), fill.data(),
                             static_cast<uint32_t>(fill.size()), false);
        newSize = oldSize;
    }

    const int32_t x86 = working->FindNthPCIBlock(kCodeX86, 0);
    if (x86 == -1)
    {
        Fail(log, "Could not find offset to X86 image. [Unsupported ROM type].",
             "Could not find offset to X86 image. [Unsupported ROM type]");
    }
    const uint64_t afterX86 = UnsignedOffset(x86) + working->GetPCIBlockLength(x86);
    uint64_t insertAt = 0;
    uint64_t replaced = 0;
    if (support == kNo)
    {
        const char* where = isSuper     ? "end of ROM."
                            : isPrivate ? "directly after X86 block. [Priv-Image]"
                                        : "directly after X86 block. [Std-Image]";
        LogLine(log, std::string("EFI block doesn't exist in old image. Appending to ") + where);
        insertAt = isSuper ? working->GetLoadedSize() : afterX86;
    }
    else
    {
        LogLine(log, "EFI-Block already exists. Copying image in EEPROM up to the EFI block.");
        insertAt = UnsignedOffset(oldEfi);
        if (insertAt != afterX86)
        {
            Fail(log, "EFI block is located in a non-standard location. [Unsupported ROM type].",
                 "EFI block is located in a non-standard location. [Unsupported ROM type]");
        }
        replaced = oldSize;
    }

    // The merged image: this image's init-from-ROM segment, the chain up to
    // the insertion point, the new block, and the rest of the chain.
    const uint32_t chainSize = working->GetLoadedSize();
    const uint32_t suppliedView = supplied->GetLoadedSize() - supplied->GetWindowOffset();
    if (insertAt > chainSize || !RangeFits(UnsignedOffset(newEfi), newSize, suppliedView))
    {
        Fail(log, "Couldn't find the offset to where the EFI block will go.",
             "Could not find offset to UEFI image.");
    }
    const uint32_t window = GetWindowOffset();
    const uint8_t* chain = ReadOnlyBuffer(working.get());
    const uint8_t* newBlock = ReadOnlyBuffer(supplied.get()) + newEfi;
    std::vector<uint8_t> merged(BufferStart(), BufferStart() + window);
    merged.insert(merged.end(), chain, chain + insertAt);
    merged.insert(merged.end(), newBlock, newBlock + newSize);
    if (insertAt + replaced < chainSize)
    {
        merged.insert(merged.end(), chain + insertAt + replaced, chain + chainSize);
    }
    if (merged.size() > kImageBufferSize)
    {
        Fail(log, "The merged image does not fit the image buffer.",
             "The merged image does not fit the image buffer.");
    }
    CRefPtr<IROMImage> result =
        CreateFromBuffer(merged.data(), static_cast<uint32_t>(merged.size()));
    result->SetOffsetMode(true);

    if (support != kYes)
    {
        LogLine(log, "Clearing any pre-EFI block's last-flag.");
        int32_t block = 0;
        for (uint32_t step = 0; step < kMaxChainBlocks && block != -1 &&
                                UnsignedOffset(block) <
                                    UnsignedOffset(result->FindNthPCIBlock(kCodeEfi, 0));
             ++step)
        {
            uint8_t indicator = 0;
            if (result->GetPCIRIndicator(indicator, block) && (indicator & kLastImage) != 0)
            {
                result->ClearPCIRLastImage(block, 0);
                result->FixPCIBlockChecksum(block);
            }
            block = result->NextPCIBlock(block);
        }
    }
    if (isPrivate && clearKpdeLastLater &&
        !result->ClearKPDELastImage(static_cast<int32_t>(insertAt), 0))
    {
        Fail(log, "Could not clear the KPDE-last flag of the EFI-block in the combined ROM.",
             "Could not clear the KPDE-last flag of the EFI-block in the combined ROM.");
    }
    LogLine(log, "Updating the checksum.");
    const int32_t mergedEfi = result->FindNthPCIBlock(kCodeEfi, 0);
    if (mergedEfi == -1)
    {
        Fail(log, "Couldnt't find the offset to the UEFI image in the NEW ROM.",
             "Could not find offset to UEFI image in NEW ROM.");
    }
    result->FixPCIBlockChecksum(mergedEfi);

    // Only now does this image change: it takes the merged bytes whole.
    result->SetOffsetMode(false);
    const uint32_t mergedSize = result->GetLoadedSize();
    const uint32_t oldLoaded = GetLoadedSize();
    uint8_t* target = Buffer().Write(std::max(mergedSize, oldLoaded));
    std::copy_n(ReadOnlyBuffer(result.get()), mergedSize, target);
    if (oldLoaded > mergedSize)
    {
        std::fill(target + mergedSize, target + oldLoaded, 0xFF);
    }
    SetLoadedSize(mergedSize);
    ResetBITCache();
    Parse();
    ReadKPDEFlags();
    LogLine(log, "Successful UEFI update.");
    LogLine(log, "");
    return true;
}
