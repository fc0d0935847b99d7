// Fuzzes the update-record reader and the check that a record explains what
// an adapter's EEPROM holds. A record file is the program's own, but it is
// what a stopped update leaves for the next run to trust, so it is read as
// any file from outside is. Any input must end in content or a refusal, never
// in a read outside the record; and what the reader accepts, and what the
// check answers, must hold to their rules:
//   - an accepted record encodes back to the very bytes it was read from;
//   - a chip that still holds the content before, an erased chip, and a chip
//     that holds the content after are each explained, whatever the block size.
//
// Input: one byte (the erase block is 1 << (byte % 17) bytes), the record's
// length (16 bits, little-endian), the record, then the chip's and the content
// after's bytes interleaved (erased where the input ends first).
//
// fuzz-max-len: 16384

#include "flasher/UpdateJournal.h"
#include "fuzz/FuzzSeeds.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace
{
const UpdateRecordOwner kOwner{0, 1, 0, 0, 0x7E2B, 0x0800};

void Require(bool rule)
{
    if (!rule)
    {
        __builtin_trap();
    }
}

std::vector<uint8_t> Input(uint8_t blockByte, const std::vector<uint8_t>& record,
                           const std::vector<uint8_t>& tail)
{
    std::vector<uint8_t> input = {blockByte, static_cast<uint8_t>(record.size()),
                                  static_cast<uint8_t>(record.size() >> 8)};
    input.insert(input.end(), record.begin(), record.end());
    input.insert(input.end(), tail.begin(), tail.end());
    return input;
}
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    std::vector<uint8_t> content(256);
    std::vector<uint8_t> tail(512, 0xFF);
    for (size_t i = 0; i < content.size(); ++i)
    {
        content[i] = static_cast<uint8_t>(i);
        tail[2 * i + 1] = static_cast<uint8_t>(~i);
    }
    std::vector<uint8_t> otherOwner = EncodeUpdateRecord({0, 2, 0, 0, 0x7E2B, 0x0800}, content);
    return {
        {"record-and-chip", Input(6, EncodeUpdateRecord(kOwner, content), tail)},
        {"empty-content", Input(0, EncodeUpdateRecord(kOwner, std::span<const uint8_t>{}), {})},
        {"with-target",
         Input(6, EncodeUpdateRecord(kOwner, UpdateRecord{UpdateWriteKind::Flash, content, tail}), tail)},
        {"other-adapter", Input(12, otherOwner, tail)},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
    {
        return 0;
    }
    const uint32_t blockSize = uint32_t{1} << (data[0] % 17);
    const size_t recordLength = std::min<size_t>(data[1] | (size_t{data[2]} << 8), size - 3);
    const std::span<const uint8_t> record(data + 3, recordLength);
    const std::span<const uint8_t> tail(data + 3 + recordLength, size - 3 - recordLength);

    const UpdateRecordReading reading = DecodeUpdateRecord(record, kOwner);
    Require(reading.record.has_value() == reading.refusal.empty());
    if (!reading.record)
    {
        return 0;
    }
    // An accepted record written again reads back as the same record.
    const UpdateRecordReading again =
        DecodeUpdateRecord(EncodeUpdateRecord(kOwner, *reading.record), kOwner);
    Require(again.record && again.record->kind == reading.record->kind &&
            again.record->before == reading.record->before &&
            again.record->target == reading.record->target);
    const std::vector<uint8_t>& before = reading.record->before;

    std::vector<uint8_t> chip(before.size(), 0xFF);
    std::vector<uint8_t> after(before.size(), 0xFF);
    for (size_t i = 0; i < before.size(); ++i)
    {
        if (2 * i + 1 < tail.size())
        {
            chip[i] = tail[2 * i];
            after[i] = tail[2 * i + 1];
        }
    }
    UpdateRecordExplainsChip(chip, before, after, blockSize);
    const std::vector<uint8_t> erased(before.size(), 0xFF);
    Require(UpdateRecordExplainsChip(before, before, after, blockSize));
    Require(UpdateRecordExplainsChip(erased, before, after, blockSize));
    Require(UpdateRecordExplainsChip(after, before, after, blockSize));
    // A chip of another size is never explained.
    chip.push_back(0xFF);
    Require(!UpdateRecordExplainsChip(chip, before, after, blockSize));
    return 0;
}
