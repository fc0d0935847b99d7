// The delta coding of multi-image ROM files: finding and merging the ranges in
// which an image differs from its master, sizing, writing and applying the
// delta records that carry them.

#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"

#include <istream>
#include <ostream>
#include <stdexcept>

namespace
{
constexpr const char* kPatchCorrupted = "Patch corrupted";

uint32_t Length(const DiffRange& range)
{
    return range.last - range.first + 1;
}

// Chunks of a range: the first carries the remainder, the rest 256 each.
uint32_t ChunkCount(uint32_t length)
{
    return (length + delta::kChunk - 1) / delta::kChunk;
}

std::string ShortRecordTrace(uint32_t skip, uint32_t countByte)
{
    return "S:0x" + ToHex(skip, 2) + ":      " + ":0x" + ToHex(countByte, 2);
}

std::string LongRecordTrace(uint32_t skip, uint32_t countByte)
{
    return "B:0x" + ToHex(delta::kLongRecordMark, 2) + ":0x" + ToHex(skip, 4) + ":0x" +
           ToHex(countByte, 2);
}

void WriteBytes(std::ostream& output, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t byte : bytes)
    {
        output.put(static_cast<char>(byte));
    }
}

void RequireInsideDelta(uint64_t end, uint32_t deltaLength)
{
    if (end > deltaLength)
    {
        throw std::out_of_range(kPatchCorrupted);
    }
}

// Reads exactly count bytes of the delta; anything less is a cut delta.
void ReadDeltaBytes(std::istream& input, uint8_t* destination, uint32_t count)
{
    input.read(reinterpret_cast<char*>(destination), count);
    if (input.fail() || input.bad() || static_cast<uint32_t>(input.gcount()) != count)
    {
        throw io_error("Error reading file");
    }
}
} // namespace

DiffRangeList CROMMeldImpl::ComputeDiffRanges(IROMImage* master, IROMImage* image)
{
    // Loaded sizes count from the buffer start, so compare buffer bytes.
    COffsetModeScope masterScope(master, false);
    COffsetModeScope imageScope(image, false);
    const uint8_t* masterBytes = IROMImage::ReadOnlyBuffer(master);
    const uint8_t* imageBytes = IROMImage::ReadOnlyBuffer(image);
    const uint32_t masterSize = std::min(master->GetLoadedSize(), kImageBufferSize);
    const uint32_t imageSize = std::min(image->GetLoadedSize(), kImageBufferSize);

    DiffRangeList ranges;
    bool inRange = false;
    for (uint32_t i = 0; i < imageSize; ++i)
    {
        const bool differs = i >= masterSize || masterBytes[i] != imageBytes[i];
        if (differs && !inRange)
        {
            ranges.push_back({i, i});
            inRange = true;
        }
        else if (differs)
        {
            ranges.back().last = i;
        }
        else
        {
            inRange = false;
        }
    }
    return ranges;
}

DiffRangeList CROMMeldImpl::MergeDiffRanges(const DiffRangeList& ranges)
{
    DiffRangeList merged;
    if (ranges.empty())
    {
        return merged;
    }
    DiffRange current = ranges.front();
    for (size_t i = 1; i < ranges.size(); ++i)
    {
        const DiffRange& next = ranges[i];
        // Joining across one equal byte saves a record header, but only while
        // the joined range needs no more chunks (and so headers) than before.
        const int64_t gap = int64_t{next.first} - current.last - 1;
        const uint64_t currentLength = uint64_t{current.last} - current.first + 1;
        const uint64_t mergedLength = uint64_t{next.last} - current.first + 1;
        if (gap < 2 && (mergedLength - 1) / delta::kChunk <= (currentLength - 1) / delta::kChunk)
        {
            current.last = next.last;
        }
        else
        {
            merged.push_back(current);
            current = next;
        }
    }
    merged.push_back(current);
    return merged;
}

uint32_t CROMMeldImpl::GetDeltaSize(const DiffRangeList& ranges)
{
    uint64_t total = 0;
    uint64_t position = 0;
    for (const DiffRange& range : ranges)
    {
        const uint32_t length = Length(range);
        total += length + 2ull * ChunkCount(length);
        uint64_t skip = range.first - position;
        if (skip > delta::kMaxLongSkip)
        {
            // Each jump is a long record of one byte: 4 header bytes and 1 data.
            total += 5 * (skip / 0x10000);
            skip &= 0xFFFF;
        }
        if (skip > delta::kMaxShortSkip)
        {
            total += 2;
        }
        position = uint64_t{range.last} + 1;
    }
    return static_cast<uint32_t>(total);
}

uint32_t CROMMeldImpl::WriteDelta(std::ostream& output, const DiffRangeList& ranges,
                                  IROMImage* image, CLog* log)
{
    uint32_t written = 0;
    uint32_t position = 0;
    for (const DiffRange& range : ranges)
    {
        if (range.last < range.first || range.last == 0xFFFFFFFF)
        {
            throw std::out_of_range("Difference block with size less than or equal to zero detected");
        }
        if (range.first < position)
        {
            throw std::out_of_range("Difference blocks overlap or are out of order");
        }
        uint32_t first = range.first;
        uint32_t length = Length(range);
        TraceLine(log, "D:0x" + ToHex(first, 5) + ":0x" + ToHex(range.last, 5) + ":0x" +
                       ToHex(length, 4));
        while (first - position > delta::kMaxLongSkip)
        {
            // A skip longer than 16 bits: jump with a record of one byte.
            WriteBytes(output, {delta::kLongRecordMark, 0x01, 0xFF, 0xFF});
            TraceLine(log, LongRecordTrace(delta::kMaxLongSkip, 1));
            position += delta::kMaxLongSkip;
            image->WriteToStream(output, position, 1);
            position += 1;
            written += 5;
        }
        while (length > 0)
        {
            const uint32_t count = length % delta::kChunk == 0 ? delta::kChunk : length % delta::kChunk;
            const uint32_t countByte = count % delta::kChunk;
            const uint32_t skip = first - position;
            if (skip <= delta::kMaxShortSkip)
            {
                WriteBytes(output, {static_cast<uint8_t>(skip), static_cast<uint8_t>(countByte)});
                TraceLine(log, ShortRecordTrace(skip, countByte));
                written += 2;
            }
            else
            {
                WriteBytes(output, {delta::kLongRecordMark, static_cast<uint8_t>(countByte),
                                    static_cast<uint8_t>(skip & 0xFF),
                                    static_cast<uint8_t>(skip >> 8)});
                TraceLine(log, LongRecordTrace(skip, countByte));
                written += 4;
            }
            image->WriteToStream(output, first, count);
            first += count;
            position = first;
            length -= count;
            written += count;
        }
        TraceLine(log, "F:0x" + ToHex(position, 5));
    }
    TraceLine(log, "E:0x" + ToHex(position, 5) + ":0x" + ToHex(written, 5));
    return written;
}

uint32_t CROMMeldImpl::ApplyDelta(std::istream& input, uint32_t deltaLength, uint32_t imageSize,
                                  IROMImage* image, CLog* log)
{
    uint64_t consumed = 0;
    uint64_t position = 0;
    std::vector<uint8_t> data(delta::kChunk);
    while (consumed < deltaLength)
    {
        // Every record must lie inside the delta: a record that runs past the
        // delta's end would eat the bytes of whatever follows it.
        uint8_t header[2] = {};
        RequireInsideDelta(consumed + 2, deltaLength);
        ReadDeltaBytes(input, header, 2);
        const bool isLong = header[0] == delta::kLongRecordMark;
        uint32_t skip = header[0];
        uint32_t headerLength = 2;
        if (isLong)
        {
            RequireInsideDelta(consumed + 4, deltaLength);
            uint8_t skipBytes[2] = {};
            ReadDeltaBytes(input, skipBytes, 2);
            skip = skipBytes[0] | static_cast<uint32_t>(skipBytes[1]) << 8;
            headerLength = 4;
        }
        const uint32_t count = header[1] == 0 ? delta::kChunk : header[1];
        position += skip;
        TraceLine(log, "D:0x" + ToHex(static_cast<uint32_t>(position), 5) + ":0x" +
                       ToHex(static_cast<uint32_t>(position + count - 1), 5) + ":0x" +
                       ToHex(count, 4));
        if (!RangeFits(position, count, imageSize))
        {
            throw std::out_of_range(kPatchCorrupted);
        }
        RequireInsideDelta(consumed + headerLength + count, deltaLength);
        ReadDeltaBytes(input, data.data(), count);
        image->WriteBytes(static_cast<int32_t>(position), data.data(), count, true);
        position += count;
        TraceLine(log, isLong ? LongRecordTrace(skip, header[1]) : ShortRecordTrace(skip, header[1]));
        TraceLine(log, "F:0x" + ToHex(static_cast<uint32_t>(position), 5));
        consumed += headerLength + count;
    }
    TraceLine(log, "E:0x" + ToHex(static_cast<uint32_t>(position), 5) + ":0x" +
                   ToHex(static_cast<uint32_t>(consumed), 5));
    return static_cast<uint32_t>(consumed);
}
