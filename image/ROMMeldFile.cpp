// The KRROM file format: a header (key, version and, from 1.02 on, the
// selection type and the VField table), then one record per image, each
// followed by the image bytes or the delta it announces.
//
//   1.01 record (172 bytes): image size, stored size, flags, 0, master index,
//        name[32], detailed name[128]
//   1.02 record (180 bytes): the 1.01 record, selection minimum and maximum
//   1.03 record (14 bytes + names + 9 bytes a selection): image size, stored
//        size, flags, master index, name length, detailed name length,
//        selection count
// Flags: bit 0 stored whole, bit 1 last record. Master index 0xFFFF: whole.

#include "core/Exceptions.h"
#include "core/Log.h"
#include "core/Range.h"
#include "core/TextHelpers.h"
#include "image/OffsetModeScope.h"
#include "image/ROMMeldImpl.h"

#include <algorithm>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint8_t kFlagFull = 0x01;
constexpr uint8_t kFlagLast = 0x02;
constexpr uint16_t kNoMaster = 0xFFFF;

constexpr uint32_t kHeaderLength101 = 12;
constexpr uint32_t kRecordLength101 = 172;
constexpr uint32_t kRecordLength102 = 180;
constexpr uint32_t kRecordLength103 = 14;
constexpr uint32_t kNameField101 = 32;
constexpr uint32_t kDetailedField101 = 128;
constexpr uint32_t kMaxName103 = 128;
// What one file may make the reader hold. A package is written into the
// program's 3 MiB slot, and each of its images, whole or a delta against an
// earlier one, is a board variant of at most 3 MiB: 32 variants and 32 MiB
// of images in all is well above any package and keeps a crafted file of a
// few kilobytes from making the reader allocate gigabytes.
constexpr uint32_t kMaxImages = 32;
constexpr uint64_t kMaxDecodedBytes = 32u << 20;
constexpr uint32_t kMaxSelections103 = 20;
constexpr uint32_t kSelectionLength103 = 9;

constexpr const char* kCorruptHeader = "Corrupt image header";

// One image record as the file holds it.
struct ImageRecord
{
    uint32_t imageSize = 0;
    uint32_t storedSize = 0;
    uint8_t flags = 0;
    uint16_t masterIndex = kNoMaster;
    std::string name;
    std::string detailedName;
    std::vector<VFieldSelection> selections;
};

// ---- little-endian fields ---------------------------------------------------

void Put16(std::vector<uint8_t>& bytes, uint32_t value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& bytes, uint32_t value)
{
    Put16(bytes, value & 0xFFFF);
    Put16(bytes, value >> 16);
}

uint32_t Get16(const uint8_t* bytes)
{
    return bytes[0] | static_cast<uint32_t>(bytes[1]) << 8;
}

uint32_t Get32(const uint8_t* bytes)
{
    return Get16(bytes) | Get16(bytes + 2) << 16;
}

// A text in a zero-filled field of fixed width; it must leave room for the
// terminating zero.
void PutField(std::vector<uint8_t>& bytes, const std::string& text, uint32_t width)
{
    if (text.size() >= width)
    {
        throw std::runtime_error("Image name \"" + text + "\" is too long for this MEGA ROM file version");
    }
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), width - text.size(), 0);
}

std::string FieldText(const uint8_t* field, uint32_t width)
{
    const void* end = std::memchr(field, 0, width);
    const size_t length = end ? static_cast<const uint8_t*>(end) - field : width;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// ---- reading ----------------------------------------------------------------

// Reads the bytes a record or image body announces. A stream that ends inside
// them is a cut file, named by the record it cut.
class CRecordReader
{
public:
    explicit CRecordReader(std::istream& input) : m_input(input) {}

    void Read(uint8_t* destination, uint32_t count, const std::string& where)
    {
        m_input.read(reinterpret_cast<char*>(destination), count);
        if (m_input.bad())
        {
            throw io_error("Error reading file");
        }
        if (static_cast<uint32_t>(m_input.gcount()) != count)
        {
            throw io_error("Error reading file: the stream ended inside " + where);
        }
    }

    std::vector<uint8_t> Read(uint32_t count, const std::string& where)
    {
        std::vector<uint8_t> bytes(count);
        Read(bytes.data(), count, where);
        return bytes;
    }

    bool AtEnd() { return m_input.peek() == std::char_traits<char>::eof(); }

private:
    std::istream& m_input;
};

std::string RecordName(uint32_t index)
{
    return "record " + std::to_string(index);
}

// Refuses the record before its image is made when the file would then
// hold more images, or more image bytes, than a package can.
void RequireWithinFileLimits(const ImageRecord& record, uint32_t index, uint64_t& decoded)
{
    if (index >= kMaxImages)
    {
        throw std::runtime_error("The ROM file holds more than " + std::to_string(kMaxImages) +
                                 " images");
    }
    decoded += record.imageSize;
    if (decoded > kMaxDecodedBytes)
    {
        throw std::runtime_error("The images of the ROM file take more than " +
                                 std::to_string(kMaxDecodedBytes >> 20) + " MiB");
    }
}

void RequireSizesBounded(const ImageRecord& record)
{
    if (record.imageSize > kImageBufferSize || record.storedSize > kImageBufferSize)
    {
        throw std::runtime_error(kCorruptHeader);
    }
}

ImageRecord ReadFixedRecord(CRecordReader& reader, uint32_t version, uint32_t index)
{
    const uint32_t length = version == kMegaROMVersion101 ? kRecordLength101 : kRecordLength102;
    const std::vector<uint8_t> bytes = reader.Read(length, RecordName(index));
    ImageRecord record;
    record.imageSize = Get32(&bytes[0]);
    record.storedSize = Get32(&bytes[4]);
    record.flags = bytes[8];
    record.masterIndex = static_cast<uint16_t>(Get16(&bytes[10]));
    record.name = FieldText(&bytes[12], kNameField101);
    record.detailedName = FieldText(&bytes[44], kDetailedField101);
    if (version == kMegaROMVersion102)
    {
        record.selections.push_back({0, Get32(&bytes[172]), Get32(&bytes[176])});
    }
    return record;
}

ImageRecord ReadVariableRecord(CRecordReader& reader, uint32_t index)
{
    const std::string where = RecordName(index);
    uint8_t fixed[kRecordLength103] = {};
    reader.Read(fixed, kRecordLength103, where);
    ImageRecord record;
    record.imageSize = Get32(&fixed[0]);
    record.storedSize = Get32(&fixed[4]);
    record.flags = fixed[8];
    record.masterIndex = static_cast<uint16_t>(Get16(&fixed[9]));
    const uint32_t nameLength = fixed[11];
    const uint32_t detailedLength = fixed[12];
    const uint32_t selectionCount = fixed[13];
    if (nameLength > kMaxName103 || detailedLength > kMaxName103 ||
        selectionCount > kMaxSelections103)
    {
        throw std::runtime_error(kCorruptHeader);
    }
    RequireSizesBounded(record);
    const std::vector<uint8_t> name = reader.Read(nameLength, where);
    const std::vector<uint8_t> detailed = reader.Read(detailedLength, where);
    record.name.assign(name.begin(), name.end());
    record.detailedName.assign(detailed.begin(), detailed.end());
    for (uint32_t i = 0; i < selectionCount; ++i)
    {
        uint8_t selection[kSelectionLength103] = {};
        reader.Read(selection, kSelectionLength103, where);
        record.selections.push_back({selection[0], Get32(&selection[1]), Get32(&selection[5])});
    }
    return record;
}

void TraceSelection(CLog* log, const VFieldSelection& selection)
{
    TraceLine(log, "Selection VField ID: 0x" + ToHex(selection.vfieldId & 0xFF, 2));
    TraceLine(log, "Selection ID Min: 0x" + ToHex(selection.minimum, 8));
    TraceLine(log, "Selection ID Max: 0x" + ToHex(selection.maximum, 8));
}

void TraceRecord(CLog* log, const std::string& name, const std::string& detailedName,
                 uint8_t flags, uint32_t imageSize, uint32_t storedSize)
{
    TraceLine(log, "Image Name: " + name);
    TraceLine(log, "Detailed Name: " + detailedName);
    TraceLine(log, "Flags: 0x" + ToHex(flags, 2));
    TraceLine(log, "Image Size: 0x" + ToHex(imageSize, 5));
    TraceLine(log, "Stored Size: 0x" + ToHex(storedSize, 5));
}

// ---- writing ----------------------------------------------------------------

std::vector<uint8_t> EncodeRecord(uint32_t version, IROMImage* image, uint8_t flags,
                                  uint32_t imageSize, uint32_t storedSize, uint16_t masterIndex,
                                  CLog* log)
{
    const std::string name = image->GetFileNameCStr();
    const std::string& detailedName = image->GetBoardName();
    const uint32_t selectionCount = image->GetSelectionCount();
    std::vector<uint8_t> bytes;
    Put32(bytes, imageSize);
    Put32(bytes, storedSize);
    bytes.push_back(flags);
    if (version == kMegaROMVersion101 || version == kMegaROMVersion102)
    {
        if (version == kMegaROMVersion101 && selectionCount != 0)
        {
            throw std::runtime_error(
                "Version 1.01 MEGA ROM files must not have any selection criteria");
        }
        if (version == kMegaROMVersion102 && selectionCount != 1)
        {
            throw std::runtime_error(
                "Version 1.02 MEGA ROM files must have one and only one selection criteria");
        }
        bytes.push_back(0);
        Put16(bytes, masterIndex);
        PutField(bytes, name, kNameField101);
        PutField(bytes, detailedName, kDetailedField101);
        if (version == kMegaROMVersion102)
        {
            const VFieldSelection selection = image->GetSelection(0);
            TraceLine(log, "Min Selection ID: 0x" + ToHex(selection.minimum, 8));
            TraceLine(log, "Max Selection ID: 0x" + ToHex(selection.maximum, 8));
            Put32(bytes, selection.minimum);
            Put32(bytes, selection.maximum);
        }
        return bytes;
    }
    // The reader refuses what does not fit its limits, so the writer does too.
    if (name.size() > kMaxName103 || detailedName.size() > kMaxName103)
    {
        throw std::runtime_error("Image name \"" + name +
                                 "\" or its detailed name is too long for a MEGA ROM file");
    }
    if (selectionCount > kMaxSelections103)
    {
        throw std::runtime_error("Image \"" + name + "\" has more than 20 selection criteria");
    }
    Put16(bytes, masterIndex);
    bytes.push_back(static_cast<uint8_t>(name.size()));
    bytes.push_back(static_cast<uint8_t>(detailedName.size()));
    bytes.push_back(static_cast<uint8_t>(selectionCount));
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.insert(bytes.end(), detailedName.begin(), detailedName.end());
    for (uint32_t i = 0; i < selectionCount; ++i)
    {
        const VFieldSelection selection = image->GetSelection(i);
        TraceSelection(log, selection);
        bytes.push_back(static_cast<uint8_t>(selection.vfieldId));
        Put32(bytes, selection.minimum);
        Put32(bytes, selection.maximum);
    }
    return bytes;
}

void WriteAll(std::ostream& output, const std::vector<uint8_t>& bytes)
{
    output.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
}

// The part of an image a file stores: the image itself, or for a run-time
// ROM pack a new image holding only its first PCI block.
CRefPtr<IROMImage> WorkingCopy(IROMImage* image, uint32_t baseLength)
{
    if (baseLength == 0)
    {
        return image;
    }
    CRefPtr<IROMImage> copy = IROMImage::Create(image->GetImageType());
    copy->CopyBlock(0, image, 0, image->GetPCIBlockLength(0));
    return copy;
}
// The base image a run-time ROM pack's data starts with, if there is one.
CRefPtr<IROMImage> ReadBaseImage(CRecordReader& reader, uint32_t baseLength, CLog* log)
{
    if (baseLength == 0 || reader.AtEnd())
    {
        return nullptr;
    }
    TraceLine(log, "Reading base image for run-time ROM pack");
    const std::vector<uint8_t> bytes = reader.Read(baseLength, "the base image");
    return IROMImage::CreateFromBuffer(bytes.data(), baseLength);
}

// The next image record, refused when its sizes or the file's totals pass
// the limits, traced once accepted.
ImageRecord ReadCheckedRecord(CRecordReader& reader, uint32_t version, uint32_t index,
                              uint64_t& decoded, CLog* log)
{
    const ImageRecord record = version == kMegaROMVersion103
                                   ? ReadVariableRecord(reader, index)
                                   : ReadFixedRecord(reader, version, index);
    RequireSizesBounded(record);
    RequireWithinFileLimits(record, index, decoded);
    TraceRecord(log, record.name, record.detailedName, record.flags, record.imageSize,
                record.storedSize);
    return record;
}

CRefPtr<IROMImage> ReadFullImage(CRecordReader& reader, const ImageRecord& record, uint32_t index,
                                 CLog* log)
{
    TraceLine(log, "Full Image");
    if (record.storedSize != record.imageSize)
    {
        throw std::runtime_error("Image size mismatch for master image");
    }
    const std::vector<uint8_t> bytes = reader.Read(record.imageSize, RecordName(index));
    return IROMImage::CreateFromBuffer(bytes.data(), record.imageSize);
}

// Gives the image the record's names and VField selections.
void ApplyRecord(IROMImage& image, const ImageRecord& record, CLog* log)
{
    image.SetFileName(record.name);
    image.SetBoardName(record.detailedName);
    for (const VFieldSelection& selection : record.selections)
    {
        TraceSelection(log, selection);
        image.AddSelection(selection);
    }
}
} // namespace

void CROMMeldImpl::TraceFileHeader(CLog* log)
{
    TraceLine(log, "Mega ROM Key: " + std::string(m_content.key.data(), 5));
    TraceLine(log, "Version: 0x" + ToHex(m_content.version, 4));
    if (m_content.version != kMegaROMVersion101)
    {
        TraceLine(log, "Selection Type: 0x" + ToHex(m_content.selectionType, 4));
    }
}

// The key, the version and, after version 1.01, the selection type and the
// VField table.
void CROMMeldImpl::WriteFileHeader(std::ostream& output, CLog* log)
{
    std::vector<uint8_t> header(m_content.key.begin(), m_content.key.end());
    Put32(header, m_content.version);
    if (m_content.version != kMegaROMVersion101)
    {
        Put32(header, m_content.selectionType);
    }
    WriteAll(output, header);
    if (m_content.version != kMegaROMVersion101)
    {
        m_content.vfieldTable->WriteToStream(output, log);
    }
}

// One image's record and body: a delta against the last full image when that
// is smaller than the image, else the whole image, which becomes the master
// of the images after it. A run-time ROM pack's base image is not repeated.
void CROMMeldImpl::WriteImageRecord(std::ostream& output, uint32_t i, uint32_t baseLength,
                                    std::optional<uint32_t>& master, CLog* log)
{
    IROMImage* image = m_content.images[i].get();
    CRefPtr<IROMImage> working = WorkingCopy(image, baseLength);
    COffsetModeScope workingScope(working.get(), false);
    const uint32_t imageSize = working->GetLoadedSize();
    uint8_t flags = i + 1 == m_content.images.size() ? kFlagLast : 0;
    uint32_t storedSize = 0;
    uint16_t masterIndex = kNoMaster;
    DiffRangeList ranges;
    bool full = true;
    if (master)
    {
        CRefPtr<IROMImage> masterCopy = WorkingCopy(m_content.images[*master].get(), baseLength);
        COffsetModeScope masterScope(masterCopy.get(), false);
        ranges = MergeDiffRanges(ComputeDiffRanges(masterCopy.get(), working.get()));
        const uint32_t deltaSize = GetDeltaSize(ranges);
        if (deltaSize < imageSize)
        {
            full = false;
            storedSize = deltaSize;
            masterIndex = static_cast<uint16_t>(*master);
        }
        else if (baseLength != 0)
        {
            throw io_error("Full image other than base image required with given images but "
                           "not supported for run-time ROM packs");
        }
    }
    if (full)
    {
        flags |= kFlagFull;
        master = i;
        storedSize = (baseLength != 0 && i == 0) ? 0 : imageSize;
    }
    TraceRecord(log, image->GetFileNameCStr(), image->GetBoardName(), flags, imageSize, storedSize);
    WriteAll(output, EncodeRecord(m_content.version, image, flags, imageSize, storedSize,
                                  masterIndex, log));
    if (storedSize != 0 && full)
    {
        TraceLine(log, "Full image");
        working->WriteToStream(output, 0, imageSize);
    }
    else if (storedSize != 0)
    {
        TraceLine(log, "Master Index: " + std::to_string(*master));
        WriteDelta(output, ranges, working.get(), log);
    }
}

void CROMMeldImpl::WriteMegaROM(std::ostream& output, uint32_t baseLength, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    TraceFileHeader(log);
    if (baseLength != 0)
    {
        TraceLine(log, "Writing base image for run-time ROM pack");
        m_content.images.at(0)->WriteToStream(output, 0, baseLength);
    }
    WriteFileHeader(output, log);
    std::optional<uint32_t> master;
    for (uint32_t i = 0; i < m_content.images.size(); ++i)
    {
        WriteImageRecord(output, i, baseLength, master, log);
    }
    if (output.fail())
    {
        throw io_error("Error writing image to file");
    }
}

// The key and version, checked, and after version 1.01 the selection type
// and the VField table.
void CROMMeldImpl::ReadFileHeader(std::istream& input, CLog* log)
{
    uint8_t header[kHeaderLength101] = {};
    input.read(reinterpret_cast<char*>(header), kHeaderLength101);
    if (input.fail() || input.bad())
    {
        throw io_error("Error reading file");
    }
    std::memcpy(m_content.key.data(), header, m_content.key.size());
    m_content.version = Get32(&header[8]);
    TraceLine(log, "Mega ROM Key: " + std::string(m_content.key.data(), 5));
    TraceLine(log, "Version: 0x" + ToHex(m_content.version, 4));
    if (std::memcmp(m_content.key.data(), "KRROM", 5) != 0)
    {
        throw std::runtime_error("Specified file is not a MEGA ROM file");
    }
    if (m_content.version != kMegaROMVersion101 && m_content.version != kMegaROMVersion102 &&
        m_content.version != kMegaROMVersion103)
    {
        throw std::runtime_error("Unrecognized MEGA ROM file version");
    }
    if (m_content.version != kMegaROMVersion101)
    {
        uint8_t type[4] = {};
        CRecordReader(input).Read(type, sizeof type, "the header");
        m_content.selectionType = Get32(type);
        TraceLine(log, "Selection Type: 0x" + ToHex(m_content.selectionType, 4));
        m_content.vfieldTable->ReadFromStream(input, log);
    }
}

// A delta image's body, read whole first so that a cut file is reported as
// such and the delta cannot reach into the next record, applied to its master.
CRefPtr<IROMImage> CROMMeldImpl::ReadDeltaImage(std::istream& input, uint32_t masterIndex,
                                                uint32_t storedSize, uint32_t imageSize,
                                                uint32_t index, CLog* log)
{
    TraceLine(log, "Master Index: " + std::to_string(masterIndex));
    if (masterIndex >= m_content.images.size())
    {
        throw std::runtime_error("Delta image with no master image in file");
    }
    const std::vector<uint8_t> delta = CRecordReader(input).Read(storedSize, RecordName(index));
    return RebuildFromDelta(m_content.images[masterIndex].get(), delta, imageSize, log);
}

void CROMMeldImpl::ReadMegaROM(std::istream& input, uint32_t baseLength, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    CRecordReader reader(input);
    CRefPtr<IROMImage> base = ReadBaseImage(reader, baseLength, log);
    ReadFileHeader(input, log);
    uint64_t decoded = 0;
    for (uint32_t index = 0; !reader.AtEnd(); ++index)
    {
        const ImageRecord record =
            ReadCheckedRecord(reader, m_content.version, index, decoded, log);
        CRefPtr<IROMImage> image;
        if (base)
        {
            image = std::move(base);
        }
        else if (record.masterIndex != kNoMaster)
        {
            image = ReadDeltaImage(input, record.masterIndex, record.storedSize, record.imageSize,
                                   index, log);
        }
        else
        {
            image = ReadFullImage(reader, record, index, log);
        }
        ApplyRecord(*image, record, log);
        AddImage(std::move(image));
        if (m_content.version == kMegaROMVersion103 && (record.flags & kFlagLast) != 0)
        {
            break;
        }
    }
    if (input.bad())
    {
        throw io_error("Error reading file");
    }
}

CRefPtr<IROMImage> CROMMeldImpl::RebuildFromDelta(IROMImage* master,
                                                  const std::vector<uint8_t>& delta,
                                                  uint32_t imageSize, CLog* log)
{
    CRefPtr<IROMImage> patched = IROMImage::Create(master->GetImageType());
    const bool patchedMode = patched->GetOffsetMode();
    {
        COffsetModeScope patchedScope(patched.get(), false);
        COffsetModeScope masterScope(master, false);
        patched->CopyBlock(0, master, 0, std::min(imageSize, master->GetLoadedSize()));
        std::istringstream input(std::string(delta.begin(), delta.end()), std::ios::binary);
        ApplyDelta(input, static_cast<uint32_t>(delta.size()), imageSize, patched.get(), log);
    }
    COffsetModeScope patchedScope(patched.get(), false);
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(IROMImage::ReadOnlyBuffer(patched.get()), imageSize);
    image->SetOffsetMode(patchedMode);
    return image;
}
