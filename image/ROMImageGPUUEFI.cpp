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

// What the merge of a supplied EFI block knows of both images as it goes.
struct UefiMerge
{
    CRefPtr<IROMImage> working; // the current image's chain alone
    CRefPtr<IROMImage> supplied;
    std::string support;
    bool isPrivate = false;
    bool isSuper = false;
    int32_t oldEfi = -1;
    int32_t newEfi = -1;
    uint32_t oldSize = 0;
    uint32_t newSize = 0;
    // The block whose IDs the new block takes: the old EFI block, or the x86
    // block when there is none.
    int32_t pattern = -1;
    bool clearKpdeLastLater = false;
    uint64_t insertAt = 0;
    uint64_t replaced = 0;
};

void RefuseUnsupportedUpdate(const std::string& check, CLog* log)
{
    if (check == kYes)
    {
        return;
    }
    const std::string text = "GPU doesn't support having a UEFI update:\n" + check + "\n";
    LogLine(log, "");
    LogLine(log, "");
    if (log != nullptr)
    {
        *log << LogLevel(3) << text << std::flush;
    }
    throw std::runtime_error(text);
}

void DescribeBothImages(UefiMerge& merge, CLog* log)
{
    IROMImage& working = *merge.working;
    merge.support = working.GetUEFISupport();
    LogLine(log, "Current UEFI support is: " + merge.support);
    merge.isPrivate = working.CheckOffsetModeChain();
    merge.isSuper = working.GetKPDEFlag1();
    LogLine(log, std::string("Private image: ") + TrueFalse(merge.isPrivate));
    LogLine(log, std::string("Super image:   ") + TrueFalse(merge.isSuper));

    merge.oldEfi = working.FindNthPCIBlock(kCodeEfi, 0);
    merge.newEfi = merge.supplied->FindNthPCIBlock(kCodeEfi, 0);
    merge.oldSize = working.GetPCIBlockLength(merge.oldEfi);
    merge.newSize = merge.supplied->GetPCIBlockLength(merge.newEfi);
    LogLine(log, "  Current UEFI size:  " + std::to_string(merge.oldSize) + " bytes");
    LogLine(log, "  Supplied UEFI size: " + std::to_string(merge.newSize) + " bytes");
}

void CopyIdsToNewBlock(UefiMerge& merge, CLog* log)
{
    IROMImage& working = *merge.working;
    IROMImage& supplied = *merge.supplied;
    merge.pattern = merge.support == kNo ? working.FindNthPCIBlock(kCodeX86, 0) : merge.oldEfi;
    const int32_t oldPcir = working.FindPCIR(merge.pattern);
    const int32_t newPcir = supplied.FindPCIR(merge.newEfi);
    if (oldPcir == -1 || newPcir == -1)
    {
        Fail(log, "Couldn't find the offset to where the EFI block will go.",
             "Could not find offset to UEFI image.");
    }
    supplied.SetWord(newPcir + kPcirDeviceId, working.GetWord(oldPcir + kPcirDeviceId));
    supplied.SetWord(newPcir + kPcirVendorId, working.GetWord(oldPcir + kPcirVendorId));
    for (int32_t i = 0; i < 3; ++i)
    {
        supplied.SetByte(newPcir + kPcirClassCode + i,
                         working.GetByte(oldPcir + kPcirClassCode + i));
    }
    LogLine(log, "Copied DevID, VendorID, and ClassCode to UEFI image.");
    supplied.SetPCIRLastImage(merge.newEfi, 0);
}

void MatchKpdeExtensions(UefiMerge& merge, CLog* log)
{
    IROMImage& working = *merge.working;
    IROMImage& supplied = *merge.supplied;
    const int32_t oldKpde = working.FindKPDE(merge.pattern);
    const int32_t newKpde = supplied.FindKPDE(merge.newEfi);
    if (oldKpde == -1)
    {
        LogLine(log, "KPDE block doesn't exist in the old image. Only copying PCIR portion.");
        supplied.SetKPDELastImage(merge.newEfi, 0);
        return;
    }
    if (newKpde == -1)
    {
        if (merge.isPrivate || merge.isSuper)
        {
            Fail(log, "KPDE blocks doesn't exist in the new image. Possible loss of data.",
                 "Incompatible ROM and EFI file.");
        }
        return;
    }
    LogLine(log, "Valid KPDE blocks in both sources.");
    const uint32_t oldKpdeLength = working.GetKPDELength(oldKpde);
    const uint32_t newKpdeLength = supplied.GetKPDELength(newKpde);
    LogLine(log, "  Existing Image size KPDE: " + ToHex(oldKpdeLength, 2));
    LogLine(log, "  New UEFI Image size KPDE: " + ToHex(newKpdeLength, 2));
    if (newKpdeLength < oldKpdeLength)
    {
        Fail(log, "KPDE table size mismatch.", "KPDE table size mismatch.");
    }
    supplied.SetKPDELastImage(merge.newEfi, 0);
    if (merge.isPrivate)
    {
        uint8_t indicator = 0;
        merge.clearKpdeLastLater =
            working.GetKPDEIndicator(indicator, merge.pattern) && (indicator & kLastImage) == 0;
    }
    else if (merge.support == kYes || merge.support == kPlaceholder)
    {
        LogLine(log, "Placeholder/UEFI image already exists.");
        if (oldKpdeLength >= 12)
        {
            supplied.SetByte(newKpde + kKpdeFlags, working.GetByte(oldKpde + kKpdeFlags));
        }
    }
}

// A smaller block keeps the old block's room, so what follows it keeps its
// offsets.
void PadNewBlock(UefiMerge& merge, CLog* log)
{
    if (merge.newSize >= merge.oldSize)
    {
        return;
    }
    LogLine(log, "Padding the new UEFI image to fit into bigger block.");
    merge.supplied->SetPCIBlockLength(merge.newEfi, merge.oldSize);
    const std::vector<uint8_t> fill(merge.oldSize - merge.newSize, 0xFF);
    merge.supplied->WriteBytes(merge.newEfi + static_cast<int32_t>(merge.newSize), fill.data(),
                               static_cast<uint32_t>(fill.size()), false);
    merge.newSize = merge.oldSize;
}

// The new block goes right after the x86 block, or at the end of a super
// image that has none yet; an existing one must sit right after the x86
// block, and is replaced.
void FindInsertionPoint(UefiMerge& merge, CLog* log)
{
    IROMImage& working = *merge.working;
    const int32_t x86 = working.FindNthPCIBlock(kCodeX86, 0);
    if (x86 == -1)
    {
        Fail(log, "Could not find offset to X86 image. [Unsupported ROM type].",
             "Could not find offset to X86 image. [Unsupported ROM type]");
    }
    const uint64_t afterX86 = UnsignedOffset(x86) + working.GetPCIBlockLength(x86);
    if (merge.support == kNo)
    {
        const char* where = merge.isSuper     ? "end of ROM."
                            : merge.isPrivate ? "directly after X86 block. [Priv-Image]"
                                              : "directly after X86 block. [Std-Image]";
        LogLine(log, std::string("EFI block doesn't exist in old image. Appending to ") + where);
        merge.insertAt = merge.isSuper ? working.GetLoadedSize() : afterX86;
        return;
    }
    LogLine(log, "EFI-Block already exists. Copying image in EEPROM up to the EFI block.");
    merge.insertAt = UnsignedOffset(merge.oldEfi);
    if (merge.insertAt != afterX86)
    {
        Fail(log, "EFI block is located in a non-standard location. [Unsupported ROM type].",
             "EFI block is located in a non-standard location. [Unsupported ROM type]");
    }
    merge.replaced = merge.oldSize;
}

// The merged image: the current image's init-from-ROM segment (the window
// bytes before its chain), the chain up to the insertion point, the new
// block, and the rest of the chain.
CRefPtr<IROMImage> BuildMergedImage(const UefiMerge& merge, const uint8_t* initSegment,
                                    uint32_t window, CLog* log)
{
    const uint32_t chainSize = merge.working->GetLoadedSize();
    const uint32_t suppliedView =
        merge.supplied->GetLoadedSize() - merge.supplied->GetWindowOffset();
    if (merge.insertAt > chainSize ||
        !RangeFits(UnsignedOffset(merge.newEfi), merge.newSize, suppliedView))
    {
        Fail(log, "Couldn't find the offset to where the EFI block will go.",
             "Could not find offset to UEFI image.");
    }
    const uint8_t* chain = IROMImage::ReadOnlyBuffer(merge.working.get());
    const uint8_t* newBlock = IROMImage::ReadOnlyBuffer(merge.supplied.get()) + merge.newEfi;
    std::vector<uint8_t> merged(initSegment, initSegment + window);
    merged.insert(merged.end(), chain, chain + merge.insertAt);
    merged.insert(merged.end(), newBlock, newBlock + merge.newSize);
    if (merge.insertAt + merge.replaced < chainSize)
    {
        merged.insert(merged.end(), chain + merge.insertAt + merge.replaced, chain + chainSize);
    }
    if (merged.size() > kImageBufferSize)
    {
        Fail(log, "The merged image does not fit the image buffer.",
             "The merged image does not fit the image buffer.");
    }
    CRefPtr<IROMImage> result =
        IROMImage::CreateFromBuffer(merged.data(), static_cast<uint32_t>(merged.size()));
    result->SetOffsetMode(true);
    return result;
}

// Blocks before a newly added EFI block no longer end the chain.
void ClearEarlierLastFlags(const UefiMerge& merge, IROMImage& result, CLog* log)
{
    if (merge.support == kYes)
    {
        return;
    }
    LogLine(log, "Clearing any pre-EFI block's last-flag.");
    int32_t block = 0;
    for (uint32_t step = 0;
         step < kMaxChainBlocks && block != -1 &&
         UnsignedOffset(block) < UnsignedOffset(result.FindNthPCIBlock(kCodeEfi, 0));
         ++step)
    {
        uint8_t indicator = 0;
        if (result.GetPCIRIndicator(indicator, block) && (indicator & kLastImage) != 0)
        {
            result.ClearPCIRLastImage(block, 0);
            result.FixPCIBlockChecksum(block);
        }
        block = result.NextPCIBlock(block);
    }
}

void FinishMergedEfiBlock(const UefiMerge& merge, IROMImage& result, CLog* log)
{
    if (merge.isPrivate && merge.clearKpdeLastLater &&
        !result.ClearKPDELastImage(static_cast<int32_t>(merge.insertAt), 0))
    {
        Fail(log, "Could not clear the KPDE-last flag of the EFI-block in the combined ROM.",
             "Could not clear the KPDE-last flag of the EFI-block in the combined ROM.");
    }
    LogLine(log, "Updating the checksum.");
    const int32_t mergedEfi = result.FindNthPCIBlock(kCodeEfi, 0);
    if (mergedEfi == -1)
    {
        Fail(log, "Couldnt't find the offset to the UEFI image in the NEW ROM.",
             "Could not find offset to UEFI image in NEW ROM.");
    }
    result.FixPCIBlockChecksum(mergedEfi);
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
    RefuseUnsupportedUpdate(CheckUEFIImage(bytes, length), log);
    LogLine(log, "Image supports having UEFI updated.");

    // The current image is only read until the merged image is complete; its
    // mode comes back on every way out.
    COffsetModeScope scope(this, true);
    UefiMerge merge;
    merge.supplied = CreateFromBuffer(bytes, length);
    // The working copy holds the chain alone: the loaded bytes that follow the
    // window start, no more.
    merge.working = CreateFromBuffer(BufferView(), ViewLimit());
    merge.supplied->SetOffsetMode(true);
    merge.working->SetOffsetMode(true);

    DescribeBothImages(merge, log);
    CopyIdsToNewBlock(merge, log);
    MatchKpdeExtensions(merge, log);
    PadNewBlock(merge, log);
    FindInsertionPoint(merge, log);
    CRefPtr<IROMImage> result = BuildMergedImage(merge, BufferStart(), GetWindowOffset(), log);
    ClearEarlierLastFlags(merge, *result, log);
    FinishMergedEfiBlock(merge, *result, log);
    TakeMergedImage(*result);
    LogLine(log, "Successful UEFI update.");
    LogLine(log, "");
    return true;
}

// Only now does this image change: it takes the merged bytes whole.
void CROMImageGPUImpl::TakeMergedImage(IROMImage& result)
{
    result.SetOffsetMode(false);
    const uint32_t mergedSize = result.GetLoadedSize();
    const uint32_t oldLoaded = GetLoadedSize();
    uint8_t* target = Buffer().Write(std::max(mergedSize, oldLoaded));
    std::copy_n(ReadOnlyBuffer(&result), mergedSize, target);
    if (oldLoaded > mergedSize)
    {
        std::fill(target + mergedSize, target + oldLoaded, 0xFF);
    }
    SetLoadedSize(mergedSize);
    ResetBITCache();
    Parse();
    ReadKPDEFlags();
}
