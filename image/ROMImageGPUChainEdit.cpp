// GPU image: editing the PCI block chain: appending, inserting and removing
// blocks, and turning a chain into its private form. Every edit runs under a
// snapshot of the image, so an edit that fails part-way leaves it unchanged.

#include "core/Range.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"

#include <cstring>
#include <optional>
#include <stdexcept>

using namespace pcirom;

namespace
{
uint8_t WithLastImage(uint8_t indicator, bool last)
{
    return last ? static_cast<uint8_t>(indicator | kLastImage)
                : static_cast<uint8_t>(indicator & ~kLastImage);
}

void ClearLast(uint8_t& indicator)
{
    indicator = WithLastImage(indicator, false);
}

bool IsMarkedPrivate(const PCIBlockInfo& block)
{
    return block.kpdeOffset != -1 && (block.kpdeFlags & kFlagPrivate) != 0;
}

// The image length its PCI data structure gives a block held in bytes, or
// none when the structure's pointer or length field lies outside them.
std::optional<uint64_t> PcirLengthOf(const uint8_t* bytes, uint32_t size)
{
    if (bytes == nullptr || !RangeFits(kPcirPointerOffset, 2, size))
    {
        return std::nullopt;
    }
    const uint32_t pcir = bytes[kPcirPointerOffset] | bytes[kPcirPointerOffset + 1] << 8;
    if (!RangeFits(uint64_t{pcir} + kPcirImageLength, 2, size))
    {
        return std::nullopt;
    }
    const uint32_t units = bytes[pcir + kPcirImageLength] | bytes[pcir + kPcirImageLength + 1] << 8;
    return uint64_t{units} * kUnit;
}
} // namespace

CROMImageGPUImpl::CEditSnapshot::CEditSnapshot(CROMImageGPUImpl& image)
    : m_image(image), m_loadedSize(image.GetLoadedSize()), m_offsetMode(image.GetOffsetMode())
{
    m_bytes.CopyFrom(image.Buffer());
}

CROMImageGPUImpl::CEditSnapshot::~CEditSnapshot()
{
    if (m_committed)
    {
        return;
    }
    m_image.Buffer().CopyFrom(m_bytes);
    m_image.SetLoadedSize(m_loadedSize);
    m_image.m_offsetMode = m_offsetMode;
    m_image.ResetBITCache();
}

// ---- block records -------------------------------------------------------

void CROMImageGPUImpl::GetPCIBlockInfo(PCIBlockInfo& info, int32_t block)
{
    info = PCIBlockInfo{};
    const int32_t pcir = FindPCIR(block);
    info.pcirOffset = pcir;
    if (pcir == -1)
    {
        info.isPrivate = true;
        return;
    }
    info.pcirLength = GetPCIBlockLength(block);
    info.blockOffset = info.pcirLength != 0 ? block : -1;
    info.isPrivate = !(GetWord(block) == kPublicMark && GetDword(pcir) == kPcirSignature);
    info.codeType = GetByte(pcir + kPcirCodeType);
    if (info.codeType == kCodeX86 || info.codeType == kCodeX86Extension)
    {
        info.initLength = uint32_t{GetByte(block + kInitSizeOffset)} * kUnit;
    }
    else if (info.codeType == kCodeEfi)
    {
        info.initLength = uint32_t{GetWord(block + kInitSizeOffset)} * kUnit;
    }
    info.pcirIndicator = GetByte(pcir + kPcirIndicator);
    info.kpdeOffset = FindKPDEForPCIR(pcir);
    info.length = info.pcirLength;
    info.indicator = info.pcirIndicator;
    GetSubImageLength(pcir, info.length, info.indicator);
    info.kpdeFlags = info.kpdeOffset != -1 ? GetByte(info.kpdeOffset + kKpdeFlags) : 0;
}

void CROMImageGPUImpl::SetPCIBlockInfo(PCIBlockInfo& info, int32_t block)
{
    info.blockOffset = block;
    info.pcirOffset = FindPCIR(block);
    if (info.pcirOffset == -1)
    {
        throw std::runtime_error("PCI chain corrupted: structure not found");
    }
    info.kpdeOffset = FindKPDEForPCIR(info.pcirOffset);
    const int32_t pcir = info.pcirOffset;
    if (info.pcirLength / kUnit > 0xFFFF)
    {
        throw std::domain_error("PCI block length does not fit the PCI data structure");
    }
    SetWord(pcir + kPcirImageLength, static_cast<uint16_t>(info.pcirLength / kUnit));
    if (info.codeType == kCodeX86 || info.codeType == kCodeX86Extension)
    {
        if (info.initLength / kUnit > 0xFF)
        {
            throw std::domain_error("PCI block length does not fit the block header");
        }
        SetByte(block + kInitSizeOffset, static_cast<uint8_t>(info.initLength / kUnit));
    }
    else if (info.codeType == kCodeEfi)
    {
        SetWord(block + kInitSizeOffset, static_cast<uint16_t>(info.initLength / kUnit));
    }
    const uint8_t storedPcirIndicator = GetByte(pcir + kPcirIndicator);
    SetByte(pcir + kPcirIndicator,
            WithLastImage(storedPcirIndicator, (info.pcirIndicator & kLastImage) != 0));

    // A stored non-zero sub-image length is kept; only the last-image bit of
    // the stored indicator comes from the record.
    const bool last = (info.indicator & kLastImage) != 0;
    uint32_t length = info.length;
    uint8_t indicator = info.indicator;
    GetSubImageLength(pcir, length, indicator);
    indicator = WithLastImage(indicator, last);
    SetSubImageLength(pcir, length, indicator);
    info.length = length;
    info.indicator = indicator;
    if (info.kpdeOffset != -1)
    {
        SetByte(info.kpdeOffset + kKpdeFlags, info.kpdeFlags);
    }
}

uint64_t CROMImageGPUImpl::BlockEnd(int32_t block, int32_t pcir)
{
    uint32_t length = uint32_t{GetWord(pcir + kPcirImageLength)} * kUnit;
    uint8_t indicator = 0;
    GetSubImageLength(pcir, length, indicator);
    return std::min<uint64_t>(UnsignedOffset(block) + length, ViewLimit());
}

// ---- appending -----------------------------------------------------------

CROMImageGPUImpl::NewBlockPlace CROMImageGPUImpl::GetNewPCIBlockInfo()
{
    NewBlockPlace place;
    uint64_t offset = 0;
    for (uint32_t step = 0; step < kMaxChainBlocks; ++step)
    {
        const auto block = static_cast<int32_t>(offset);
        const int32_t pcir = FindPCIR(block);
        if (pcir == -1)
        {
            throw std::runtime_error("PCI Block corrupted - no valid PCI data structure found. "
                                     "GetNewPCIBlockInfo failed");
        }
        uint32_t length = GetPCIBlockLength(block);
        if (length == 0)
        {
            throw std::runtime_error(
                "PCI Block corrupted - invalid PCI block size. GetNewPCIBlockInfo failed");
        }
        if (m_kpdeFlag1 && block == 0)
        {
            place.firstLength = length;
        }
        uint8_t indicator = GetByte(pcir + kPcirIndicator);
        GetSubImageLength(pcir, length, indicator);
        place.hasPrivate |= (GetKPDEFlags(block) & kFlagPrivate) != 0;
        if ((indicator & kLastImage) != 0)
        {
            place.newOffset = static_cast<int32_t>(offset + length);
            place.lastOffset = block;
            return place;
        }
        offset += length;
        if (offset >= ViewLimit())
        {
            break;
        }
    }
    throw std::runtime_error("PCI block chain corrupted - GetNewPCIBlockInfo failed");
}

int32_t CROMImageGPUImpl::GetOffsetNewPCIBlock()
{
    return GetNewPCIBlockInfo().newOffset;
}

void CROMImageGPUImpl::ValidateNewBlock(const uint8_t* bytes, uint32_t size, uint32_t placeOffset)
{
    auto refuse = [](const std::string& why)
    { throw std::runtime_error("Invalid PCI block: " + why); };
    if (bytes == nullptr || size < kMinimumHeaderSize)
    {
        refuse("too short for a block header");
    }
    if (!RangeFits(UnsignedOffset(static_cast<int32_t>(placeOffset)) + GetWindowOffset(), size,
                   kImageBufferSize))
    {
        refuse("no room in the image buffer");
    }
    auto word = [bytes](uint32_t at)
    { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); };
    const uint16_t mark = word(0);
    if (mark != kPublicMark && mark != kPrivateMark && mark != kAlternateMark)
    {
        refuse("no block mark");
    }
    const uint32_t pcir = word(kPcirPointerOffset);
    if (!RangeFits(pcir, kPcirSize, size))
    {
        refuse("PCI data structure outside the block");
    }
    uint32_t signature = 0;
    std::memcpy(&signature, bytes + pcir, sizeof signature);
    if (signature != kPcirSignature && signature != kKpdsSignature && signature != kRgisSignature)
    {
        refuse("no PCI data structure");
    }
    if (word(pcir + kPcirImageLength) == 0)
    {
        refuse("image length is 0");
    }
    // The chain steps by this field: one that disagrees with the bytes given
    // would send the walk into the middle of a block or past the image.
    if (PcirLengthOf(bytes, size) != size)
    {
        refuse("its length does not match its size");
    }
}

void CROMImageGPUImpl::AddPCIBlock(const uint8_t* bytes, uint32_t size, bool extendFirstImage)
{
    NewBlockPlace place = GetNewPCIBlockInfo();
    ValidateNewBlock(bytes, size, static_cast<uint32_t>(place.newOffset));
    CEditSnapshot snapshot(*this);

    const int32_t last = place.lastOffset;
    const int32_t added = place.newOffset;
    const uint8_t lastCodeType = GetByte(FindPCIR(last) + kPcirCodeType);
    WriteBlock(bytes, added, size);

    // The appended block's own chain fields must close the chain exactly.
    const int32_t addedPcir = FindPCIR(added);
    uint32_t addedLength = 0;
    uint8_t addedIndicator = 0;
    EffectiveLength(added, addedPcir, addedLength, addedIndicator);
    if (addedLength != size)
    {
        throw std::runtime_error("Invalid PCI block: its length does not match its size");
    }
    if ((addedIndicator & kLastImage) == 0)
    {
        throw std::runtime_error("Invalid PCI block: not marked as the last image");
    }
    place.hasPrivate |= (GetKPDEFlags(added) & kFlagPrivate) != 0;
    const uint8_t addedCodeType = GetByte(addedPcir + kPcirCodeType);

    bool keepLast = false;
    if (place.firstLength == static_cast<uint32_t>(added) && extendFirstImage)
    {
        UpdateROMSizeFlagged(place.firstLength + size);
        keepLast = last == 0;
    }
    else
    {
        // A private part behind the public chain: the public chain ends here.
        keepLast = place.hasPrivate && lastCodeType < kCodeNbsi && addedCodeType >= kCodeNbsi;
    }
    const int32_t lastPcir = FindPCIR(last);
    SetByte(lastPcir + kPcirIndicator, WithLastImage(GetByte(lastPcir + kPcirIndicator), keepLast));
    ClearKPDELastImage(last, 0);

    FixPCIBlockChecksum(last);
    if (m_kpdeFlag1)
    {
        FixPCIBlockChecksum(0);
    }
    ReparseInOffsetMode();
    snapshot.Commit();
}

// ---- inserting -----------------------------------------------------------

void CROMImageGPUImpl::InsertPCIBlock(int32_t offset, const uint8_t* bytes, uint32_t size,
                                      bool joinContainer)
{
    InsertPlace place = FindInsertPlace(offset);
    // The chain steps by the PCI data structure's length: a block whose field
    // disagrees with its size would send the walk to the wrong place.
    if (bytes == nullptr || size == 0 || PcirLengthOf(bytes, size) != size)
    {
        throw std::runtime_error("Inserted PCI block invalid");
    }
    CEditSnapshot snapshot(*this);
    PCIBlockInfo inserted = PlaceInsertedBlock(place, bytes, size);
    LinkInsertedBlock(place, inserted, joinContainer);
    WriteInsertedRecords(place, inserted);
    snapshot.Commit();
}

CROMImageGPUImpl::InsertPlace CROMImageGPUImpl::FindInsertPlace(int32_t offset)
{
    InsertPlace place;
    uint64_t position = 0;
    for (uint32_t step = 0;; ++step)
    {
        if (step >= kMaxChainBlocks)
        {
            throw std::runtime_error("PCI chain corrupted: image offset out of range");
        }
        const PCIBlockInfo current = ReadChainBlock(position);
        NoteInsertNeighbours(place, current, position, offset);
        if ((current.indicator & kLastImage) != 0)
        {
            break;
        }
        position += current.length;
        if (position >= ViewLimit())
        {
            throw std::runtime_error("PCI chain corrupted: image offset out of range");
        }
    }
    if (place.newOffset == -1)
    {
        throw std::runtime_error("PCI block insertion offset not found");
    }
    return place;
}

PCIBlockInfo CROMImageGPUImpl::ReadChainBlock(uint64_t position)
{
    PCIBlockInfo block;
    GetPCIBlockInfo(block, static_cast<int32_t>(position));
    if (block.pcirOffset == -1)
    {
        throw std::runtime_error("PCI chain corrupted: structure not found");
    }
    if (block.pcirLength == 0)
    {
        throw std::runtime_error("PCI chain corrupted: image length is null");
    }
    return block;
}

// Records what one block of the chain, found at position, is to the place
// the new block goes: the super image holding it, the block before it or
// the block after it.
void CROMImageGPUImpl::NoteInsertNeighbours(InsertPlace& place, const PCIBlockInfo& block,
                                            uint64_t position, int32_t offset)
{
    const uint64_t target = UnsignedOffset(offset);
    place.hasPrivate |= IsMarkedPrivate(block);
    if (m_kpdeFlag3 && position == 0 && target > 0 && target < block.initLength)
    {
        throw std::domain_error("PCI block insertion into init segment not supported");
    }
    const bool superImage = block.pcirLength > block.length;
    if (((position == 0 && m_kpdeFlag1) || superImage) && position < target &&
        target <= position + block.pcirLength)
    {
        place.container = block;
    }
    if (target == position + block.length)
    {
        place.previous = block;
        place.newOffset = offset;
    }
    if (target == position)
    {
        place.next = block;
        place.newOffset = offset;
    }
}

// Writes the new block's bytes in and reads back its record and that of the
// block it pushed along.
PCIBlockInfo CROMImageGPUImpl::PlaceInsertedBlock(InsertPlace& place, const uint8_t* bytes,
                                                  uint32_t size)
{
    InsertBlock(place.newOffset, bytes, size);
    if (place.next)
    {
        GetPCIBlockInfo(*place.next, place.newOffset + static_cast<int32_t>(size));
        if (place.next->blockOffset == -1)
        {
            throw std::runtime_error("Relocated PCI block invalid");
        }
    }
    PCIBlockInfo inserted;
    GetPCIBlockInfo(inserted, place.newOffset);
    if (inserted.blockOffset == -1)
    {
        throw std::runtime_error("Inserted PCI block invalid");
    }
    place.hasPrivate |= IsMarkedPrivate(inserted);
    return inserted;
}

// Sets the last-image marks of the new block and its neighbours, so that the
// public chain, and the private one behind it, each still end at their last
// block.
void CROMImageGPUImpl::LinkInsertedBlock(InsertPlace& place, PCIBlockInfo& inserted,
                                         bool joinContainer)
{
    const bool previousPrivate = place.previous && place.previous->isPrivate;
    const bool nextPrivate = !place.next || place.next->isPrivate;
    if (place.previous)
    {
        ClearLast(place.previous->indicator);
    }
    inserted.pcirIndicator = WithLastImage(inserted.pcirIndicator, !place.next);
    inserted.indicator = WithLastImage(inserted.indicator, !place.next);

    if (!place.hasPrivate || m_kpdeFlag1)
    {
        LinkIntoPublicChain(place, inserted, joinContainer);
    }
    else if (previousPrivate || inserted.isPrivate)
    {
        LinkIntoPrivateChain(place.previous, previousPrivate, inserted.isPrivate, nextPrivate);
    }
    else
    {
        LinkBeforePrivateChain(place, inserted);
    }
}

void CROMImageGPUImpl::LinkIntoPublicChain(InsertPlace& place, const PCIBlockInfo& inserted,
                                           bool joinContainer)
{
    if (!place.container)
    {
        if (place.previous)
        {
            ClearLast(place.previous->pcirIndicator);
        }
        return;
    }
    const PCIBlockInfo& container = *place.container;
    const bool atContainerEnd = UnsignedOffset(inserted.blockOffset) ==
                                UnsignedOffset(container.blockOffset) + container.pcirLength;
    if (!atContainerEnd || joinContainer)
    {
        GrowContainer(place, inserted);
    }
    else
    {
        FollowContainer(place);
    }
}

// The new block becomes part of the super image that holds it.
void CROMImageGPUImpl::GrowContainer(InsertPlace& place, const PCIBlockInfo& inserted)
{
    if (inserted.pcirLength != inserted.length)
    {
        throw std::runtime_error("Inserting a SuperImage into a SuperImage not supported");
    }
    PCIBlockInfo& container = *place.container;
    if (!m_kpdeFlag3)
    {
        container.initLength += inserted.pcirLength;
    }
    container.pcirLength += inserted.pcirLength;
    ClearLast(container.indicator);
    if (place.previous)
    {
        ClearLast(place.previous->indicator);
        if (place.previous->blockOffset != container.blockOffset)
        {
            ClearLast(place.previous->pcirIndicator);
        }
    }
}

// The new block goes right behind the super image, outside it.
void CROMImageGPUImpl::FollowContainer(InsertPlace& place)
{
    ClearLast(place.container->pcirIndicator);
    ClearLast(place.container->indicator);
    if (place.previous)
    {
        ClearLast(place.previous->pcirIndicator);
        ClearLast(place.previous->indicator);
    }
}

void CROMImageGPUImpl::LinkIntoPrivateChain(std::optional<PCIBlockInfo>& previous,
                                            bool previousPrivate, bool insertedPrivate,
                                            bool nextPrivate)
{
    if (insertedPrivate && nextPrivate)
    {
        if (previous)
        {
            ClearLast(previous->indicator);
            if (previousPrivate)
            {
                ClearLast(previous->pcirIndicator);
            }
        }
    }
    else if (insertedPrivate)
    {
        throw std::runtime_error("Cannot insert private image into public chain");
    }
    else
    {
        throw std::runtime_error("Cannot insert public image into private chain");
    }
}

// A public block between public blocks of a chain that has a private part.
void CROMImageGPUImpl::LinkBeforePrivateChain(InsertPlace& place, PCIBlockInfo& inserted)
{
    if (place.previous)
    {
        ClearLast(place.previous->pcirIndicator);
        ClearLast(place.previous->indicator);
    }
    if (place.next && place.next->isPrivate)
    {
        // The new public block ends the public chain.
        inserted.pcirIndicator = WithLastImage(inserted.pcirIndicator, true);
    }
}

void CROMImageGPUImpl::WriteInsertedRecords(InsertPlace& place, PCIBlockInfo& inserted)
{
    WriteBlockRecord(inserted);
    for (std::optional<PCIBlockInfo>* neighbour : {&place.previous, &place.next, &place.container})
    {
        if (*neighbour)
        {
            WriteBlockRecord(**neighbour);
        }
    }
}

void CROMImageGPUImpl::WriteBlockRecord(PCIBlockInfo& block)
{
    SetPCIBlockInfo(block, block.blockOffset);
    FixPCIBlockChecksum(block.blockOffset);
}

// ---- removing ------------------------------------------------------------

void CROMImageGPUImpl::RemovePCIBlock(int32_t block)
{
    const char* const noStructure =
        "PCI Block corrupted - No valid PCI data structure found. Remove ROM failed";
    const char* const noLength = "PCI Block corrupted - Invalid PCI block size. Remove ROM failed";
    auto readRecord = [&](PCIBlockInfo& info, int32_t at)
    {
        GetPCIBlockInfo(info, at);
        if (info.pcirOffset == -1)
        {
            throw std::runtime_error(noStructure);
        }
        if (info.pcirLength == 0)
        {
            throw std::runtime_error(noLength);
        }
    };

    PCIBlockInfo removed;
    readRecord(removed, block);
    const bool lastP = (removed.pcirIndicator & kLastImage) != 0;
    const bool lastK = (removed.indicator & kLastImage) != 0;

    std::optional<PCIBlockInfo> previous;
    std::optional<PCIBlockInfo> first;
    if (block != 0)
    {
        uint64_t position = 0;
        for (uint32_t step = 0;; ++step)
        {
            PCIBlockInfo current;
            readRecord(current, static_cast<int32_t>(position));
            if (position == 0 && m_kpdeFlag1)
            {
                first = current;
            }
            const uint64_t end = position + current.length;
            if (end == UnsignedOffset(block))
            {
                previous = current;
                break;
            }
            if ((current.indicator & kLastImage) != 0 || end >= ViewLimit() ||
                end > UnsignedOffset(block) || step >= kMaxChainBlocks)
            {
                throw std::runtime_error("PCI block chain corrupted - Remove ROM failed");
            }
            position = end;
        }
    }
    if (m_kpdeFlag3 && first && UnsignedOffset(block) < first->initLength)
    {
        throw std::domain_error("PCI block removal from init segment not supported");
    }

    CEditSnapshot snapshot(*this);
    if (previous && (lastP || lastK))
    {
        const int32_t pcir = previous->pcirOffset;
        SetByte(pcir + kPcirIndicator, WithLastImage(GetByte(pcir + kPcirIndicator), lastP));
        SetSubImageLength(pcir, previous->length, WithLastImage(previous->indicator, lastK));
        FixPCIBlockChecksum(previous->blockOffset);
    }
    if (first && UnsignedOffset(block) == first->pcirLength && lastP)
    {
        SetPCIRLastImage(0, 0);
    }
    RemoveBlock(block, removed.length);
    if (first && UnsignedOffset(block) < first->pcirLength)
    {
        UpdateROMSizeFlagged(first->pcirLength - removed.length);
    }
    if (m_kpdeFlag1)
    {
        FixPCIBlockChecksum(0);
    }
    ReparseInOffsetMode();
    snapshot.Commit();
}

// ---- private chain -------------------------------------------------------

void CROMImageGPUImpl::ConvertToPrivateChain()
{
    CEditSnapshot snapshot(*this);
    COffsetModeScope scope(this, true);
    int32_t block = 0;
    for (uint32_t step = 0; block != -1; ++step)
    {
        if (step >= kMaxChainBlocks)
        {
            throw std::runtime_error("PCI block chain corrupted");
        }
        const int32_t pcir = FindPCIR(block);
        if (pcir == -1)
        {
            break;
        }
        // The next block is found before this one is marked as the last image.
        const int32_t following = NextPCIBlock(block);
        if (GetByte(pcir + kPcirCodeType) == kCodeX86)
        {
            SetWord(pcir + kPcirVendorId, 0xFFFF);
            SetPCIRLastImage(block, 0);
        }
        SetWord(block, kPrivateMark);
        SetDword(pcir, kKpdsSignature);
        FixPCIBlockChecksum(block);
        block = following;
    }
    snapshot.Commit();
}
