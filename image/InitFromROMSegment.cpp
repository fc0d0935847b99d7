// The init-from-ROM segment's register commands: parity, encoding, reading,
// copying and converting command lists, and removing, building and
// refreshing the segment in front of a GPU image.
//
// A command is one word (type in bits 0-1, register address in bits 2-23,
// data word count minus 1 in bits 25-30, odd parity in bit 31) followed by its
// data words; type 3 ends the list.

#include "core/Range.h"
#include "image/OffsetModeScope.h"
#include "image/PCIExpansionROM.h"
#include "image/ROMImageGPUImpl.h"

#include <bit>
#include <stdexcept>

using namespace pcirom;

namespace
{
constexpr uint32_t kParityBit = 0x80000000u;
constexpr uint32_t kAddressMask = 0x00FFFFFCu;
constexpr uint32_t kTypeLast = 3;
constexpr uint32_t kHeaderBase = 0x100000; // the size record at offset 16
constexpr uint32_t kFixedWords = 15;       // header and the fixed commands
constexpr uint32_t kEndCommand = 0x0200E20B;
constexpr uint32_t kMinimumCopyVersion = 0xAE6CEF;

uint32_t CountField(uint32_t command)
{
    return (command >> 25) & 0x3F;
}

uint32_t RoundUp(uint64_t value, uint32_t unit)
{
    return static_cast<uint32_t>((value + unit - 1) / unit * unit);
}
} // namespace

uint32_t CROMImageGPUImpl::SetOddParity(uint32_t word)
{
    const uint32_t low = word & ~kParityBit;
    return std::popcount(low) % 2 == 0 ? low | kParityBit : low;
}

uint32_t CROMImageGPUImpl::EncodeIFRCommand(uint32_t countField, uint32_t address, uint32_t type)
{
    return SetOddParity((address & kAddressMask) | (type & 3) | ((countField & 0x3F) << 25));
}

bool CROMImageGPUImpl::ReadIFRCommands(std::vector<uint32_t>& words, int32_t source)
{
    const uint64_t loaded = GetLoadedSize();
    if (loaded < 4)
    {
        return false;
    }
    const uint64_t limit = loaded - 4;
    uint64_t s = UnsignedOffset(source);
    while (s <= limit)
    {
        const uint32_t command = GetDword(static_cast<int32_t>(s));
        s += 4;
        words.push_back(SetOddParity(command));
        for (uint32_t i = 0; i <= CountField(command); ++i, s += 4)
        {
            if (s > limit)
            {
                return false;
            }
            words.push_back(GetDword(static_cast<int32_t>(s)));
        }
        if ((command & 3) == kTypeLast)
        {
            return true;
        }
    }
    return false;
}

bool CROMImageGPUImpl::CopyIFRCommands(int32_t destination, int32_t source,
                                       int64_t destinationLimit)
{
    // The whole list is read before any word is written, so a list that runs
    // out or does not fit writes nothing, and a destination overlapping the
    // source cannot feed written words back into the copy.
    std::vector<uint32_t> words;
    if (!ReadIFRCommands(words, source))
    {
        return false;
    }
    const uint64_t limit = GetLoadedSize() - 4;
    const uint64_t dLimit = destinationLimit < 0 ? limit : static_cast<uint64_t>(destinationLimit);
    const uint64_t first = UnsignedOffset(destination);
    if (first > dLimit || 4 * uint64_t{words.size() - 1} > dLimit - first)
    {
        return false;
    }
    for (size_t i = 0; i < words.size(); ++i)
    {
        SetDword(static_cast<int32_t>(first + 4 * i), words[i]);
    }
    return true;
}

bool CROMImageGPUImpl::ConvertIFRCommands(int32_t destination, int32_t source,
                                          int64_t destinationLimit)
{
    const uint64_t loaded = GetLoadedSize();
    if (loaded < 4)
    {
        return false;
    }
    const uint64_t limit = loaded - 4;
    const uint64_t dLimit = destinationLimit < 0 ? limit : static_cast<uint64_t>(destinationLimit);
    uint64_t d = UnsignedOffset(destination);
    uint64_t s = UnsignedOffset(source);
    bool done = false;
    while (!done && d <= dLimit && s <= limit)
    {
        const uint32_t old = GetDword(static_cast<int32_t>(s));
        s += 4;
        const uint32_t address = ((old >> 17) & 0x7FFF) << 12 | ((old >> 2) & 0x3FF) << 2;
        const uint32_t count = (old >> 12) & 0xF;
        SetDword(static_cast<int32_t>(d), SetOddParity((address & kAddressMask) | count << 25));
        d += 4;
        for (uint32_t i = 0; i <= count; ++i, s += 4, d += 4)
        {
            if (s > limit || d > dLimit)
            {
                return false;
            }
            SetDword(static_cast<int32_t>(d), GetDword(static_cast<int32_t>(s)));
        }
        done = (old & 0x2) != 0;
    }
    if (!done)
    {
        return false;
    }
    // A converted list without room for its end command is not complete.
    if (d > dLimit)
    {
        return false;
    }
    SetDword(static_cast<int32_t>(d), SetOddParity(kEndCommand));
    return true;
}

bool CROMImageGPUImpl::ParseAvrelRomData(AvrelRomData& record)
{
    COffsetModeScope scope(this, true);
    if (!IsRangeLoaded(0, 0x75) || GetWord(0) != kPublicMark)
    {
        throw std::runtime_error("ParseAvrelRomData: Invalid PCI header");
    }
    record.strap0 = GetDword(0x58) & ~kParityBit;
    record.strap1 = GetDword(0x5C) & ~kParityBit;
    record.strap2 = GetDword(0x60) & ~kParityBit;
    record.strap3 = GetDword(0x64) & ~kParityBit;
    record.commandListOffset = uint32_t{GetWord(0x68)} * 4;
    record.strap4 = GetDword(0x6C);
    record.strap5 = GetDword(0x70);
    record.subsystemIds = GetDword(0x54);
    record.marker = GetByte(0x74);
    return true;
}

bool CROMImageGPUImpl::StripIFR()
{
    COffsetModeScope scope(this, true);
    const uint32_t window = GetWindowOffset();
    if (window == 0)
    {
        return false;
    }
    CEditSnapshot snapshot(*this);
    SetOffsetMode(false);
    RemoveBlock(0, window);
    ResetWindow();
    snapshot.Commit();
    return true;
}

bool CROMImageGPUImpl::CreateBexorIFR(uint32_t variant)
{
    COffsetModeScope scope(this, false);
    if (GetLoadedSize() >= 4 && GetDword(0) == kIfrSignature)
    {
        throw std::runtime_error("CreateBexorIFR: Image already has IFR");
    }
    CEditSnapshot snapshot(*this);
    AvrelRomData data;
    ParseAvrelRomData(data);

    const bool hasStraps45 = data.marker == 0xB5;
    std::vector<uint32_t> words = {
        kIfrSignature,
        (variant & 0xFF) << 8 | kHeaderBase,
        0, // data size
        data.subsystemIds,
        EncodeIFRCommand(0, 0xE208, 0),
        0, // IFR image size
        EncodeIFRCommand(1, 0x101000, 2),
        data.strap0,
        data.strap1 | kParityBit,
        EncodeIFRCommand(1, 0x10100C, 2),
        data.strap2,
        data.strap3 | kParityBit,
    };
    if (variant == 1)
    {
        words.push_back(EncodeIFRCommand(1, 0x101034, 2));
    }
    else if (variant == 2)
    {
        words.push_back(EncodeIFRCommand(1, 0x10EBB8, 0));
    }
    else
    {
        words.push_back(words[9]);
    }
    words.push_back(hasStraps45 ? data.strap4 : 0xFFFFFFFFu);
    words.push_back(hasStraps45 ? (variant == 1 ? data.strap5 | kParityBit : data.strap5) : 0);

    {
        // The image's own list follows; the window is 0 here, so its offset
        // is a buffer offset.
        COffsetModeScope listScope(this, true);
        if (!ReadIFRCommands(words, static_cast<int32_t>(data.commandListOffset)))
        {
            // A list that runs out before its end still gets one, so the
            // segment always ends its commands.
            words.push_back(SetOddParity(kEndCommand));
            words.push_back(0);
            words.push_back(0);
        }
    }

    const uint64_t dataSize = 4ull * words.size();
    const uint32_t imageSize = RoundUp(dataSize, kUnit);
    words[2] = SetOddParity(static_cast<uint32_t>(dataSize));
    words[5] = imageSize;
    uint32_t sum = 0;
    for (uint32_t word : words)
    {
        sum += (word & 0xFF) + ((word >> 8) & 0xFF) + ((word >> 16) & 0xFF) + (word >> 24);
    }
    words[1] = SetOddParity(words[1] | ((0u - sum) & 0xFF));
    words.resize(imageSize / 4, 0);

    std::vector<uint8_t> bytes(imageSize);
    for (size_t i = 0; i < words.size(); ++i)
    {
        for (size_t b = 0; b < 4; ++b)
        {
            bytes[4 * i + b] = static_cast<uint8_t>(words[i] >> (8 * b));
        }
    }
    InsertBlock(0, bytes.data(), imageSize);
    ResetBITCache();
    snapshot.Commit();
    return true;
}

// A dword of the segment, which ends at the window: every write stays inside.
void CROMImageGPUImpl::PutSegmentDword(uint32_t window, uint32_t at, uint32_t value)
{
    if (!RangeFits(at, 4, window))
    {
        throw std::runtime_error("Init-from-ROM segment too small for its header");
    }
    SetDword(static_cast<int32_t>(at), value);
}

// The subsystem IDs and straps of the board's data, with parity bits where
// the segment wants them.
void CROMImageGPUImpl::WriteIFRStraps(uint32_t window, const AvrelRomData& data, uint32_t variant)
{
    PutSegmentDword(window, 12, data.subsystemIds);
    PutSegmentDword(window, 28, data.strap0);
    PutSegmentDword(window, 32, data.strap1 | kParityBit);
    PutSegmentDword(window, 40, data.strap2);
    PutSegmentDword(window, 44, data.strap3 | kParityBit);
    if (data.marker == 0xB5)
    {
        PutSegmentDword(window, 52, data.strap4);
        PutSegmentDword(window, 56, variant == 1 ? data.strap5 | kParityBit : data.strap5);
    }
}

// The board's register commands, found in the first image or in the
// extension after it, copied (or converted, for older images) behind the
// segment's fixed words.
bool CROMImageGPUImpl::ReplaceIFRCommands(uint32_t window, int32_t extension, uint32_t version,
                                          const AvrelRomData& data)
{
    const uint32_t firstLength = RoundUp(GetWord(static_cast<int32_t>(window + 0x4C)), kUnit);
    uint64_t source = 0;
    if (data.commandListOffset < firstLength)
    {
        source = uint64_t{window} + data.commandListOffset;
    }
    else
    {
        if (extension == -1)
        {
            throw std::runtime_error("Extension image not found");
        }
        source =
            uint64_t{window} + UnsignedOffset(extension) + data.commandListOffset - firstLength;
    }
    if (source >= kImageBufferSize || window < kFixedWords * 4 + 4)
    {
        return false;
    }
    const int64_t destinationLimit = int64_t{window} - 4;
    const auto from = static_cast<int32_t>(source);
    const auto to = static_cast<int32_t>(kFixedWords * 4);
    return version >= kMinimumCopyVersion ? CopyIFRCommands(to, from, destinationLimit)
                                          : ConvertIFRCommands(to, from, destinationLimit);
}

// The header word with the variant and, in its low byte, the checksum of
// the segment's data.
void CROMImageGPUImpl::SealIFRHeader(uint32_t window, uint32_t variant)
{
    const uint32_t dataSize = GetDword(kIfrDataSize) & kIfrDataSizeMask;
    if (dataSize > window)
    {
        throw std::runtime_error("Init-from-ROM data size exceeds the segment");
    }
    const uint32_t header = variant * 256 + kHeaderBase;
    SetDword(kIfrHeaderWord, header);
    SetDword(kIfrHeaderWord, SetOddParity(header | GetChecksumByte(0, dataSize)));
}

bool CROMImageGPUImpl::UpdateBexorIFR(bool replaceCommands)
{
    COffsetModeScope scope(this, true);
    const uint32_t window = GetWindowOffset();
    const int32_t extension = FindNthPCIBlock(kCodeX86Extension, 0);
    const uint32_t version = GetInfoPointer7Value();
    SetOffsetMode(false);
    if (GetLoadedSize() < kIfrMinimumData || GetDword(0) != kIfrSignature || window == 0)
    {
        return true;
    }
    CEditSnapshot snapshot(*this);
    const uint32_t variant = (GetDword(kIfrHeaderWord) >> 8) & 0xFF;
    AvrelRomData data;
    ParseAvrelRomData(data);
    if (HasHardwareDataArea())
    {
        WriteIFRStraps(window, data, variant);
        if (replaceCommands && !ReplaceIFRCommands(window, extension, version, data))
        {
            // The snapshot puts the segment back as it was.
            return false;
        }
    }
    SealIFRHeader(window, variant);
    snapshot.Commit();
    return true;
}
