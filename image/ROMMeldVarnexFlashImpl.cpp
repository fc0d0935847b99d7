// The Varnex block's place in the ROM chain: its layout around the 4096-byte
// boundary, a stand-alone image of the block, and appending a block to
// another image's chain.

#include "image/ROMMeldVarnexFlashImpl.h"

#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"

#include <stdexcept>
#include <utility>

namespace
{
constexpr uint32_t kBlockAlignment = 512;
constexpr uint32_t kSectorSize = 4096;
constexpr uint32_t kHeaderBytes = 32;
constexpr uint32_t kPcirInBlock = 0x20;
constexpr uint32_t kPcirEndInBlock = 0x38;
constexpr uint32_t kKpdeAlignment = 16;

// Keeps a whole image buffer and puts it back unless committed: a failed
// append must leave the target exactly as it was.
class CImageRestorePoint
{
public:
    explicit CImageRestorePoint(IROMImage* image)
        : m_image(image), m_offsetMode(image->GetOffsetMode()), m_loadedSize(image->GetLoadedSize())
    {
        COffsetModeScope scope(image, false);
        const uint8_t* bytes = IROMImage::ReadOnlyBuffer(image);
        m_bytes.assign(bytes, bytes + kImageBufferSize);
    }
    ~CImageRestorePoint()
    {
        if (m_committed)
        {
            return;
        }
        m_image->SetOffsetMode(false);
        m_image->WriteBlock(m_bytes.data(), 0, kImageBufferSize);
        m_image->SetLoadedSize(m_loadedSize);
        m_image->SetOffsetMode(m_offsetMode);
        try
        {
            m_image->ReadKPDEFlags();
        }
        catch (const std::exception&)
        {
            // The bytes are back as they were; flags they cannot give stay unread.
        }
    }
    CImageRestorePoint(const CImageRestorePoint&) = delete;
    CImageRestorePoint& operator=(const CImageRestorePoint&) = delete;
    void Commit() { m_committed = true; }

private:
    IROMImage* m_image;
    bool m_offsetMode;
    uint32_t m_loadedSize;
    std::vector<uint8_t> m_bytes;
    bool m_committed = false;
};

void AppendZeros(IROMImage* image, uint32_t count)
{
    const std::vector<uint8_t> zeros(count, 0);
    image->WriteBlock(zeros.data(), static_cast<int32_t>(image->GetLoadedSize()), count);
}

void AppendBytes(IROMImage* image, const uint8_t* bytes, uint32_t count)
{
    image->WriteBlock(bytes, static_cast<int32_t>(image->GetLoadedSize()), count);
}

// Bytes [offset, offset + count) of the image's buffer, which must lie in it.
std::vector<uint8_t> BufferBytes(IROMImage* image, uint64_t offset, uint64_t count)
{
    if (!RangeFits(offset, count, kImageBufferSize))
    {
        throw std::out_of_range("Invalid offset");
    }
    COffsetModeScope scope(image, false);
    const uint8_t* start = IROMImage::ReadOnlyBuffer(image) + offset;
    return {start, start + count};
}
// Whether the source's chain is private. A stand-alone block image holds only
// the bytes up to its last store, not its whole rounded-up block, so its
// chain cannot be walked; its own block then tells by its mark.
bool IsPrivateSource(IROMImage* source, int32_t sourceBlock)
{
    try
    {
        return source->CheckOffsetModeChain();
    }
    catch (const std::runtime_error&)
    {
        return sourceBlock != -1 && source->GetWord(sourceBlock) == pcirom::kPrivateMark;
    }
}
} // namespace

bool CROMMeldVarnexFlashImpl::ComputeVarnexRomLayout(uint32_t blockOffset, VarnexRomLayout& layout,
                                                     CNBSIPCIBlock* block, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    if (blockOffset % kBlockAlignment != 0)
    {
        TraceLine(log, "Invalid starting offset of the PCI Block (" + ToHexString(blockOffset, 8) +
                           ") is not aligned to 512 bytes.");
        return false;
    }
    const uint64_t directorySize = block->GetDirectorySize();
    const uint64_t recordSize = block->GetObjectRecordSize();
    const uint64_t kpde = (uint64_t{blockOffset} + kPcirEndInBlock + kKpdeAlignment - 1) &
                          ~uint64_t{kKpdeAlignment - 1};
    const uint64_t varnex =
        (kpde + nbsi::kKpdeSize + directorySize + recordSize + kSectorSize - 1) / kSectorSize *
        kSectorSize;
    if (varnex > kImageBufferSize)
    {
        TraceLine(log, "Invalid starting offset of the PCI Block (" + ToHexString(blockOffset, 8) +
                           ") leaves no room for the Varnex image.");
        return false;
    }
    layout.blockOffset = blockOffset;
    layout.pcirOffset = blockOffset + kPcirInBlock;
    layout.kpdeOffset = static_cast<uint32_t>(kpde);
    layout.gap1 = layout.kpdeOffset - (blockOffset + kPcirEndInBlock);
    layout.varnexOffset = static_cast<uint32_t>(varnex);
    layout.directoryOffset = static_cast<uint32_t>(varnex - recordSize - directorySize);
    layout.gap2 = layout.directoryOffset - (layout.kpdeOffset + nbsi::kKpdeSize);

    TraceLine(log, "Varnex Expansion ROM parameters:");
    TraceLine(log, "    PCI Block Offset  = " + ToHexString(blockOffset, 8));
    TraceLine(log, "    PCI Struct Offset = " + ToHexString(layout.pcirOffset, 8));
    TraceLine(log, "    KPDE Offset       = " + ToHexString(layout.kpdeOffset, 8));
    TraceLine(log, "    NBSI Offset       = " + ToHexString(layout.directoryOffset, 8));
    TraceLine(log, "    Varnex Offset    = " + ToHexString(layout.varnexOffset, 8));
    return true;
}

void CROMMeldVarnexFlashImpl::WriteVarnexRomHeaderFields(IROMImage* image,
                                                         const VarnexRomLayout& layout,
                                                         uint32_t blockLength, bool isPrivate,
                                                         bool isLast)
{
    const auto at = [](uint32_t offset) { return static_cast<int32_t>(offset); };
    const uint32_t block = layout.blockOffset;
    image->SetWord(at(block + nbsi::kDirectoryPointer),
                   static_cast<uint16_t>(layout.directoryOffset - block));
    image->SetWord(at(block + pcirom::kPcirPointerOffset),
                   static_cast<uint16_t>(layout.pcirOffset - block));
    const auto units =
        static_cast<uint16_t>((uint64_t{blockLength} + kBlockAlignment - 1) / kBlockAlignment);
    image->SetWord(at(layout.pcirOffset + pcirom::kPcirImageLength), units);
    image->SetWord(at(layout.kpdeOffset + pcirom::kKpdeImageLength), units);
    if (isPrivate)
    {
        image->SetWord(at(block), pcirom::kPrivateMark);
        image->SetDword(at(layout.pcirOffset), pcirom::kKpdsSignature);
    }
    if (isLast)
    {
        image->SetByte(at(layout.pcirOffset + pcirom::kPcirIndicator), pcirom::kLastImage);
        image->SetByte(at(layout.kpdeOffset + pcirom::kKpdeIndicator), pcirom::kLastImage);
    }
}

CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::BuildBlankVarnexRom(IROMImage* reference,
                                                                CNBSIPCIBlock* block, CLog* log)
{
    if (block == nullptr)
    {
        return nullptr;
    }
    TraceLine(log, "Calculating Varnex offsets for the blank ROM image...");
    VarnexRomLayout layout;
    if (!ComputeVarnexRomLayout(0, layout, block, log))
    {
        return nullptr;
    }
    const auto& header = block->GetHeader();
    CRefPtr<IROMImage> image = IROMImage::CreateFromBuffer(header.data(), kHeaderBytes);
    COffsetModeScope scope(image.get(), false);
    AppendBytes(image.get(), header.data() + kHeaderBytes, nbsi::kHeaderSize - kHeaderBytes);
    AppendZeros(image.get(), layout.gap1);
    AppendBytes(image.get(), block->GetKPDE().data(), nbsi::kKpdeSize);
    AppendZeros(image.get(), layout.gap2);
    AppendBytes(image.get(), block->GetDirectory().data(), block->GetDirectorySize());
    for (uint32_t index = 0; const uint8_t* record = block->GetObjectRecord(index); ++index)
    {
        AppendBytes(image.get(), record, block->GetObjectRecordSize());
        const std::vector<uint8_t>& data = block->GetObjectData(index);
        if (!data.empty())
        {
            AppendBytes(image.get(), data.data(), static_cast<uint32_t>(data.size()));
        }
    }
    const bool isPrivate = reference != nullptr && reference->CheckOffsetModeChain();
    WriteVarnexRomHeaderFields(image.get(), layout, image->GetLoadedSize(), isPrivate, false);
    return image;
}

CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::AppendVarnexToRomChain(IROMImage* target,
                                                                   IROMImage* source, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    // Both images go back to the offset modes they came in.
    COffsetModeScope targetMode(target, target->GetOffsetMode());
    COffsetModeScope sourceMode(source, source->GetOffsetMode());

    const AppendSource from = FindAppendSource(source);
    const AppendTarget to = FindAppendTarget(target, source, from.block);
    CNBSIPCIBlockVarnex block = ReadSourceBlock(source);
    VarnexRomLayout targetLayout;
    VarnexRomLayout sourceLayout;
    TraceLine(log, "Calculating Varnex offsets for the existing ROM image...");
    if (to.block == -1 || !ComputeVarnexRomLayout(static_cast<uint32_t>(to.block + to.window),
                                                  targetLayout, &block, log))
    {
        return FailMerge(log, "Invalid image offsets for the existing Varnex image.");
    }
    TraceLine(log, "Calculating Varnex offsets for the input ROM image...");
    if (from.block == -1 || !ComputeVarnexRomLayout(static_cast<uint32_t>(from.block) + from.window,
                                                    sourceLayout, &block, log))
    {
        return FailMerge(log, "Invalid image offsets for the new Varnex image.");
    }
    if (!IsLaidOutForItsPlace(source, sourceLayout))
    {
        return AppendLaidOutAfresh(target, source, block, log);
    }
    if (sourceLayout.directoryOffset - sourceLayout.blockOffset > from.length)
    {
        return FailMerge(log, "Invalid image offsets for the new Varnex image.");
    }
    CRefPtr<IROMImage> added =
        BuildAppendedBlock(source, sourceLayout, from.length, targetLayout, to.isPrivate, log);
    return WriteIntoChain(target, added.get(), targetLayout, to.window, log);
}

CROMMeldVarnexFlashImpl::AppendSource CROMMeldVarnexFlashImpl::FindAppendSource(IROMImage* source)
{
    AppendSource from;
    from.block = source->FindNBSIBlock();
    from.length = from.block == -1 ? 0 : source->GetPCIBlockLength(from.block);
    from.window = source->GetWindowOffset();
    return from;
}

// The place of the new block in the target's chain, and whether that chain is
// private; an empty target takes the source's kind of chain.
CROMMeldVarnexFlashImpl::AppendTarget
CROMMeldVarnexFlashImpl::FindAppendTarget(IROMImage* target, IROMImage* source, int32_t sourceBlock)
{
    AppendTarget to;
    to.window = target->GetWindowOffset();
    if (target->GetLoadedSize() == 0)
    {
        to.isPrivate = IsPrivateSource(source, sourceBlock);
    }
    else
    {
        to.block = target->GetOffsetNewPCIBlock();
        to.isPrivate = target->CheckOffsetModeChain();
    }
    return to;
}

CNBSIPCIBlockVarnex CROMMeldVarnexFlashImpl::ReadSourceBlock(IROMImage* source)
{
    std::vector<uint8_t> store = ReadVarnexObjectBytes(source, nbsi::kTypeVarnexImage);
    if (store.empty())
    {
        throw std::runtime_error("Varnex Image size is zero");
    }
    return CNBSIPCIBlockVarnex(std::move(store),
                               ReadVarnexObjectBytes(source, nbsi::kTypeVarnexBackup));
}

CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::FailMerge(CLog* log, const char* what)
{
    TraceLine(log, what);
    TraceLine(log, "Merge failed.");
    return nullptr;
}

// The source's bytes from its directory to its block end are copied as they
// are, so its directory must sit where the layout puts it.
bool CROMMeldVarnexFlashImpl::IsLaidOutForItsPlace(IROMImage* source,
                                                   const VarnexRomLayout& sourceLayout)
{
    const uint64_t sourceStart = sourceLayout.blockOffset;
    const uint64_t directoryInBlock = sourceLayout.directoryOffset - sourceStart;
    const std::vector<uint8_t> pointer =
        BufferBytes(source, sourceStart + nbsi::kDirectoryPointer, 2);
    const uint32_t storedDirectory = pointer[0] | static_cast<uint32_t>(pointer[1]) << 8;
    return storedDirectory == directoryInBlock;
}

// A block that sits elsewhere than it was laid out for (moved with the blocks
// in front of it) still holds its objects: they are laid out afresh, and that
// block is the one appended.
CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::AppendLaidOutAfresh(IROMImage* target,
                                                                IROMImage* source,
                                                                CNBSIPCIBlockVarnex& block,
                                                                CLog* log)
{
    TraceLine(log, "The Varnex block is not laid out for its place; its objects are laid out "
                   "afresh.");
    CRefPtr<IROMImage> laidOut = BuildBlankVarnexRom(source, &block, log);
    if (!laidOut)
    {
        return FailMerge(log, "Invalid image offsets for the new Varnex image.");
    }
    // The fresh block sits where it was laid out for: no further round.
    return AppendVarnexToRomChain(target, laidOut.get(), log);
}

// The new block: the source's header, PCI data structure and KPDE, the
// target's gap, then the source's directory, records and stores, with its
// header fields set for the target's place.
CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::BuildAppendedBlock(IROMImage* source,
                                                               const VarnexRomLayout& sourceLayout,
                                                               uint32_t sourceLength,
                                                               const VarnexRomLayout& targetLayout,
                                                               bool isPrivate, CLog* log)
{
    const uint64_t sourceStart = sourceLayout.blockOffset;
    const uint64_t directoryInBlock = sourceLayout.directoryOffset - sourceStart;
    const std::vector<uint8_t> head =
        BufferBytes(source, sourceStart, sourceLayout.kpdeOffset + nbsi::kKpdeSize - sourceStart);
    CRefPtr<IROMImage> added =
        IROMImage::CreateFromBuffer(head.data(), static_cast<uint32_t>(head.size()));
    COffsetModeScope addedMode(added.get(), false);
    AppendZeros(added.get(), targetLayout.gap2);
    const std::vector<uint8_t> tail =
        BufferBytes(source, sourceLayout.directoryOffset, sourceLength - directoryInBlock);
    AppendBytes(added.get(), tail.data(), static_cast<uint32_t>(tail.size()));
    const uint32_t addedLength = added->GetLoadedSize();
    TraceLine(log, "Final PCI expansion ROM size is " + std::to_string(addedLength) + " bytes.");

    VarnexRomLayout relative = targetLayout;
    relative.blockOffset = 0;
    relative.pcirOffset -= targetLayout.blockOffset;
    relative.kpdeOffset -= targetLayout.blockOffset;
    relative.directoryOffset -= targetLayout.blockOffset;
    relative.varnexOffset -= targetLayout.blockOffset;
    WriteVarnexRomHeaderFields(added.get(), relative, addedLength, isPrivate, true);
    return added;
}

// Writes the block at the target's place; the target is put back unless its
// Varnex store then begins on a sector boundary.
CRefPtr<IROMImage> CROMMeldVarnexFlashImpl::WriteIntoChain(IROMImage* target, IROMImage* added,
                                                           const VarnexRomLayout& targetLayout,
                                                           uint32_t targetWindow, CLog* log)
{
    const uint32_t addedLength = added->GetLoadedSize();
    CImageRestorePoint restorePoint(target);
    TraceLine(log, "Appending Varnex to the PCI ROM chain...");
    if (targetLayout.blockOffset == 0)
    {
        COffsetModeScope scope(target, false);
        target->WriteBlock(IROMImage::ReadOnlyBuffer(added), 0, addedLength);
    }
    else
    {
        target->AddPCIBlock(IROMImage::ReadOnlyBuffer(added), addedLength, false);
    }
    const int32_t varnex = target->FindNBSIObject(nbsi::kTypeVarnexImage);
    const uint64_t absolute = UnsignedOffset(varnex) + targetWindow;
    TraceLine(log, "Final Varnex Offset = " + ToHexString(static_cast<uint32_t>(varnex), 8) + " (" +
                       ToHexString(static_cast<uint32_t>(absolute), 8) + ")");
    if (varnex == -1 || absolute % kSectorSize != 0)
    {
        TraceLine(log, "Error: Varnex image is not sector aligned");
        return nullptr;
    }
    restorePoint.Commit();
    return target;
}

std::vector<uint8_t> ReadVarnexObjectBytes(IROMImage* image, uint16_t type)
{
    const int32_t data = image->FindNBSIObject(type);
    const uint32_t length = data == -1 ? 0 : image->GetNBSIObjectLength(type);
    std::vector<uint8_t> bytes(length);
    if (length != 0)
    {
        image->ReadBlock(bytes.data(), data, length);
    }
    return bytes;
}

CRefPtr<CVarnexImage> ReadVarnexStore(IROMImage* image, bool backup)
{
    const std::vector<uint8_t> bytes =
        ReadVarnexObjectBytes(image, backup ? nbsi::kTypeVarnexBackup : nbsi::kTypeVarnexImage);
    if (bytes.empty())
    {
        return nullptr;
    }
    return CRefPtr<CVarnexImage>(new CVarnexImage(bytes));
}
