#include "image/ROMImageBaseImpl.h"

#include "core/Exceptions.h"
#include "core/NewFile.h"
#include "core/Range.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <istream>
#include <ostream>
#include <stdexcept>

namespace
{
const char* const kInvalidOffset = "Invalid offset";

// The reflected CRC-32 table (polynomial 0xEDB88320), built once.
const std::array<uint32_t, 256>& Crc32Table()
{
    static const std::array<uint32_t, 256> table = []
    {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i)
        {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
            {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return table;
}
// The sum of the bytes, eight a step: blocks run to megabytes and every edit
// sums them. Each step adds the eight bytes in four 16-bit lanes (at most
// 2 x 255 a lane), emptied every 128 steps before a lane can overflow.
uint64_t SumOfBytes(const uint8_t* bytes, size_t count)
{
    constexpr uint64_t kAlternateBytes = 0x00FF00FF00FF00FFull;
    constexpr size_t kStepsPerRound = 128;
    const size_t words = count / 8;
    uint64_t total = 0;
    for (size_t word = 0; word < words;)
    {
        const size_t roundEnd = std::min(words, word + kStepsPerRound);
        uint64_t lanes = 0;
        for (; word < roundEnd; ++word)
        {
            uint64_t value = 0;
            std::memcpy(&value, bytes + 8 * word, sizeof value);
            lanes += (value & kAlternateBytes) + ((value >> 8) & kAlternateBytes);
        }
        total += (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                 (lanes >> 48);
    }
    for (size_t i = 8 * words; i < count; ++i)
    {
        total += bytes[i];
    }
    return total;
}
} // namespace

CROMImageBaseImpl::CROMImageBaseImpl(int32_t type) : m_type(type) {}

CROMImageBaseImpl::CROMImageBaseImpl(int32_t type, const uint8_t* bytes, uint32_t length)
    : CROMImageBaseImpl(type)
{
    if (length > kImageBufferSize)
    {
        throw std::domain_error("Image is larger than the image buffer");
    }
    if (length > 0)
    {
        std::memcpy(m_buffer.Write(length), bytes, length);
    }
    m_loadedSize = length;
    CROMImageBaseImpl::Parse();
}

void CROMImageBaseImpl::EraseBuffer()
{
    m_buffer.Erase();
    m_loadedSize = 0;
}

void CROMImageBaseImpl::RequireBufferRange(uint64_t start, uint64_t count, const char* what)
{
    if (!RangeFits(start, count, kImageBufferSize))
    {
        throw std::domain_error(what);
    }
}

// ---- private byte access -------------------------------------------------

uint64_t CROMImageBaseImpl::TranslateOffset(int32_t offset)
{
    return UnsignedOffset(offset) + GetWindowOffset();
}

uint8_t CROMImageBaseImpl::ReadRawByte(int32_t offset, bool raw)
{
    return *GetRawBytePointer(offset, raw);
}

const uint8_t* CROMImageBaseImpl::GetRawBytePointer(int32_t offset, bool raw)
{
    const uint64_t position = raw ? UnsignedOffset(offset) : TranslateOffset(offset);
    if (!OffsetFits(position, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    return m_buffer.Bytes() + position;
}

void CROMImageBaseImpl::ResetBITCache()
{
    m_bitBufferOffset = -1;
    m_bitState = 0;
    m_bitSearched = false;
}

int32_t CROMImageBaseImpl::FindBytes(const uint8_t* pattern, uint32_t length)
{
    if (length == 0 || length > m_loadedSize)
    {
        return -1;
    }
    const uint8_t* begin = m_buffer.Bytes();
    const auto* hit = static_cast<const uint8_t*>(memmem(begin, m_loadedSize, pattern, length));
    return hit == nullptr ? -1 : static_cast<int32_t>(hit - begin);
}

// ---- interface byte access -----------------------------------------------

void CROMImageBaseImpl::ReadBytes(int32_t offset, uint8_t* destination, uint32_t count, bool raw)
{
    if (!OffsetFits(UnsignedOffset(offset), kImageBufferSize))
    {
        return;
    }
    const uint64_t start = raw ? UnsignedOffset(offset) : TranslateOffset(offset);
    if (!RangeFits(start, count, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    std::memcpy(destination, m_buffer.Bytes() + start, count);
}

void CROMImageBaseImpl::WriteBytes(int32_t offset, const uint8_t* source, uint32_t count, bool raw)
{
    // The whole range is checked first, so a refused write changes nothing.
    const uint64_t start = raw ? UnsignedOffset(offset) : TranslateOffset(offset);
    if (!RangeFits(start, count, kImageBufferSize) || !OffsetFits(start, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    std::memcpy(m_buffer.Write(start + count) + start, source, count);
    m_loadedSize = std::max<uint32_t>(m_loadedSize, static_cast<uint32_t>(start + count));
}

uint8_t CROMImageBaseImpl::GetByte(int32_t offset)
{
    // Offsets past the buffer (-1 for a missing table) read as blank bytes.
    uint8_t value = 0xFF;
    ReadBytes(offset, &value, 1, false);
    return value;
}

uint16_t CROMImageBaseImpl::GetWord(int32_t offset)
{
    uint8_t bytes[2] = {0xFF, 0xFF};
    ReadBytes(offset, bytes, 2, false);
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

uint32_t CROMImageBaseImpl::GetDword(int32_t offset)
{
    uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    ReadBytes(offset, bytes, 4, false);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void CROMImageBaseImpl::SetByte(int32_t offset, uint8_t value)
{
    WriteBytes(offset, &value, 1, false);
}

void CROMImageBaseImpl::SetWord(int32_t offset, uint16_t value)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    WriteBytes(offset, bytes, 2, false);
}

void CROMImageBaseImpl::SetDword(int32_t offset, uint32_t value)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    WriteBytes(offset, bytes, 4, false);
}

std::string CROMImageBaseImpl::GetStringAt(int32_t offset)
{
    // The text ends at its zero byte, or at the buffer end when none follows.
    std::string text;
    for (uint64_t position = TranslateOffset(offset); OffsetFits(position, kImageBufferSize);
         ++position)
    {
        const uint8_t c = m_buffer.Bytes()[position];
        if (c == 0)
        {
            break;
        }
        text.push_back(static_cast<char>(c));
    }
    return text;
}

void CROMImageBaseImpl::SetLoadedSize(uint32_t size)
{
    if (size > kImageBufferSize)
    {
        throw std::domain_error("Loaded size is larger than the image buffer");
    }
    m_loadedSize = size;
}

void CROMImageBaseImpl::Parse()
{
    // A fresh parse finds the tables again.
    ResetBITCache();
    GetBITOffset();
}

// ---- sums, CRC, comparison -----------------------------------------------

uint8_t CROMImageBaseImpl::Sum8(uint32_t start, uint32_t end)
{
    if (start >= kImageBufferSize || end >= kImageBufferSize || end < start)
    {
        throw std::out_of_range(kInvalidOffset);
    }
    // One check for the range as the current mode maps it, then a plain sum.
    const uint64_t first = TranslateOffset(static_cast<int32_t>(start));
    if (!RangeFits(first, end - start, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    return static_cast<uint8_t>(SumOfBytes(m_buffer.Bytes() + first, end - start));
}

uint8_t CROMImageBaseImpl::GetChecksumByte(uint32_t start, uint32_t end)
{
    return static_cast<uint8_t>(0x100 - Sum8(start, end));
}

uint32_t CROMImageBaseImpl::GetCRC32(uint32_t count)
{
    if (!IsRangeLoaded(0, count))
    {
        throw std::domain_error("Improper size used for CRC calculation");
    }
    if (count == 0)
    {
        return 0;
    }
    const auto& table = Crc32Table();
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < count; ++i)
    {
        crc = table[(crc ^ GetByte(static_cast<int32_t>(i))) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

bool CROMImageBaseImpl::IsBlank()
{
    // Past the dirty end every byte is 0xFF.
    const uint8_t* b = m_buffer.Bytes();
    return std::all_of(b, b + m_buffer.DirtyEnd(), [](uint8_t c) { return c == 0xFF; });
}

int32_t CROMImageBaseImpl::CompareRange(IROMImage* other, uint32_t start, uint32_t count)
{
    for (uint64_t i = start; i < uint64_t{start} + count; ++i)
    {
        const int32_t offset = static_cast<int32_t>(i);
        if (ReadRawByte(offset, false) != other->GetByte(offset))
        {
            return offset;
        }
    }
    return -1;
}

int32_t CROMImageBaseImpl::Compare(IROMImage* other)
{
    const uint32_t size = GetROMSize();
    const uint32_t otherSize = other->GetROMSize();
    const int32_t firstDifference = CompareRange(other, 0, std::min(size, otherSize));
    if (firstDifference != -1 || size == otherSize)
    {
        return firstDifference;
    }
    return static_cast<int32_t>(std::min(size, otherSize));
}

// ---- block editing -------------------------------------------------------

void CROMImageBaseImpl::CopyBlock(int32_t destination, IROMImage* source, int32_t sourceOffset,
                                  uint32_t count)
{
    if (!RangeFits(UnsignedOffset(sourceOffset), count, kImageBufferSize))
    {
        throw std::domain_error("Source block is out of range");
    }
    const uint64_t target = TranslateOffset(destination);
    if (!RangeFits(target, count, kImageBufferSize) || !OffsetFits(target, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    // Read everything first: the source may be this image. One of ours reads
    // the range at once, as its byte reads would one by one (they translate
    // offsets linearly, so the range fails where its first byte would).
    std::vector<uint8_t> bytes(count);
    auto* ours = dynamic_cast<CROMImageBaseImpl*>(source);
    if (ours != nullptr && count > 0)
    {
        ours->ReadBytes(sourceOffset, bytes.data(), count, false);
    }
    else
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            bytes[i] = source->GetByte(static_cast<int32_t>(UnsignedOffset(sourceOffset) + i));
        }
    }
    std::copy(bytes.begin(), bytes.end(), m_buffer.Write(target + count) + target);
    m_loadedSize = std::max<uint32_t>(m_loadedSize, static_cast<uint32_t>(target + count));
    ResetBITCache();
}

uint32_t CROMImageBaseImpl::InsertBlock(int32_t offset, const uint8_t* source, uint32_t length)
{
    const uint64_t insertPoint = TranslateOffset(offset);
    const uint64_t dataEnd = std::max<uint64_t>(m_loadedSize, insertPoint);
    if (!RangeFits(dataEnd, length, kImageBufferSize))
    {
        throw std::domain_error("InsertBlock: insufficient space");
    }
    const auto sourceAddress = reinterpret_cast<uintptr_t>(source);
    const auto bufferAddress = reinterpret_cast<uintptr_t>(m_buffer.Bytes());
    if (length > 0 && sourceAddress >= bufferAddress &&
        sourceAddress < bufferAddress + kImageBufferSize)
    {
        const uint64_t sourceStart = sourceAddress - bufferAddress;
        if (!RangeFits(sourceStart, length, m_loadedSize))
        {
            throw std::domain_error("InsertBlock: invalid source block");
        }
        if (sourceStart < insertPoint && insertPoint < sourceStart + length)
        {
            throw std::domain_error("InsertBlock: insert point within source block");
        }
    }
    // The source is copied aside, so a source inside the moving part is safe.
    const std::vector<uint8_t> bytes(source, source + length);
    uint8_t* buffer = m_buffer.Write(std::max<uint64_t>(m_loadedSize, insertPoint) + length);
    if (insertPoint < m_loadedSize)
    {
        std::memmove(buffer + insertPoint + length, buffer + insertPoint,
                     m_loadedSize - insertPoint);
    }
    std::copy(bytes.begin(), bytes.end(), buffer + insertPoint);
    m_loadedSize = static_cast<uint32_t>(dataEnd + length);
    return m_loadedSize;
}

void CROMImageBaseImpl::RemoveBlock(int32_t offset, uint32_t length)
{
    const uint64_t start = TranslateOffset(offset);
    if (!RangeFits(start, length, m_loadedSize))
    {
        throw std::domain_error("RemoveBlock: block is out of range");
    }
    uint8_t* buffer = m_buffer.Write(m_loadedSize);
    std::memmove(buffer + start, buffer + start + length, m_loadedSize - start - length);
    m_loadedSize -= length;
    std::memset(buffer + m_loadedSize, 0xFF, length);
    ResetBITCache();
}

void CROMImageBaseImpl::ReadBlock(uint8_t* destination, int32_t offset, uint32_t length)
{
    if (!RangeFits(UnsignedOffset(offset), length, m_loadedSize))
    {
        throw std::domain_error("Source block is out of range");
    }
    // An empty block may come with no buffer at all, which memcpy must not be given.
    if (length != 0)
    {
        std::memcpy(destination, m_buffer.Bytes() + UnsignedOffset(offset), length);
    }
}

void CROMImageBaseImpl::WriteBlock(const uint8_t* source, int32_t offset, uint32_t length)
{
    const uint64_t start = UnsignedOffset(offset);
    if (!RangeFits(start, length, kImageBufferSize))
    {
        throw std::out_of_range(kInvalidOffset);
    }
    std::memcpy(m_buffer.Write(start + length) + start, source, length);
    m_loadedSize = std::max<uint32_t>(m_loadedSize, static_cast<uint32_t>(start + length));
    ResetBITCache();
}

// ---- files and streams ---------------------------------------------------

static_assert(MaxUserFileBytes(UserFileFormat::kFirmwareImage) == kImageBufferSize);

namespace
{
// A file that was not opened as a regular file.
void RequireOpened(const UserFileContents& file, const std::string& fileName)
{
    if (file.status == UserFileStatus::kCannotOpen ||
        file.status == UserFileStatus::kNotRegularFile)
    {
        throw io_error("Cannot open file: " + fileName);
    }
}

// An opened file that cannot be loaded whole.
void RequireLoadable(const UserFileContents& file, const std::string& fileName)
{
    if (file.status == UserFileStatus::kTooLarge)
    {
        throw io_error("File is larger than the image buffer: " + fileName);
    }
    if (!file.Read() || file.bytes.empty())
    {
        throw io_error("Error reading file into buffer");
    }
}
} // namespace

void RequireImageFileRead(const UserFileContents& file, const std::string& fileName)
{
    RequireOpened(file, fileName);
    RequireLoadable(file, fileName);
}

UserFileContents ReadImageFile(const std::string& fileName)
{
    UserFileContents file = ReadUserFile(fileName, UserFileFormat::kFirmwareImage);
    RequireImageFileRead(file, fileName);
    return file;
}

uint32_t CROMImageBaseImpl::LoadFromFile(const std::string& fileName)
{
    const UserFileContents file = ReadUserFile(fileName, UserFileFormat::kFirmwareImage);
    RequireOpened(file, fileName);
    // A file that opens but cannot be loaded leaves an erased, empty image.
    EraseBuffer();
    RequireLoadable(file, fileName);
    const auto count = static_cast<uint32_t>(file.bytes.size());
    std::copy(file.bytes.begin(), file.bytes.end(), m_buffer.WriteAll());
    m_buffer.ErasedFrom(count);
    m_loadedSize = count;
    Parse();
    ReadKPDEFlags();
    return count;
}

uint32_t CROMImageBaseImpl::SaveToFile(const std::string& fileName, uint32_t start, uint32_t count)
{
    RequireBufferRange(start, count, "Save range is outside the image buffer");
    // Never through a link; a failed write keeps an old file as it was.
    WriteOutputFileOrThrow(fileName, {std::span<const uint8_t>(m_buffer.Bytes() + start, count)},
                           "Error writing image to file");
    return count;
}

uint32_t CROMImageBaseImpl::ReadFromStream(std::istream& input, uint32_t offset, uint32_t count)
{
    RequireBufferRange(offset, count, "Stream range is outside the image buffer");
    input.read(reinterpret_cast<char*>(m_buffer.Write(uint64_t{offset} + count) + offset), count);
    const auto read = static_cast<uint32_t>(input.gcount());
    if (read == 0 || input.bad())
    {
        throw io_error("Error reading stream into buffer");
    }
    m_loadedSize = std::max(m_loadedSize, offset + read);
    Parse();
    ReadKPDEFlags();
    return read;
}

uint32_t CROMImageBaseImpl::WriteToStream(std::ostream& output, uint32_t offset, uint32_t count)
{
    RequireBufferRange(offset, count, "Stream range is outside the image buffer");
    output.write(reinterpret_cast<const char*>(m_buffer.Bytes() + offset), count);
    if (output.fail() || output.bad())
    {
        throw io_error("Error writing image to file");
    }
    return count;
}

// ---- selections and attached objects ------------------------------------

void CROMImageBaseImpl::AddSelection(const VFieldSelection& record)
{
    m_selections.push_back(record);
}

VFieldSelection CROMImageBaseImpl::GetSelection(uint32_t index)
{
    return m_selections.at(index);
}

uint32_t CROMImageBaseImpl::GetSelectionCount()
{
    return static_cast<uint32_t>(m_selections.size());
}

bool CROMImageBaseImpl::IsInSelectionRange(uint32_t index, uint32_t value)
{
    const VFieldSelection& record = m_selections.at(index);
    return record.minimum <= value && value <= record.maximum;
}

void CROMImageBaseImpl::AttachObject(IImageAttachment* object)
{
    if (object->GetAttachmentKind() == 1)
    {
        m_attached2 = object;
    }
    else
    {
        m_attached1 = object;
    }
    m_attachedList.push_back(object);
}

void CROMImageBaseImpl::DetachObject(IImageAttachment* object)
{
    std::erase(m_attachedList, object);
}
