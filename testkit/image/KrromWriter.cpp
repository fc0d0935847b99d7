#include "testkit/image/KrromWriter.h"

#include <stdexcept>

namespace testkit
{
namespace
{
void Put16(std::vector<uint8_t>& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// A text in a zero-filled field of the given width (cut to fit).
void PutField(std::vector<uint8_t>& out, const std::string& text, size_t width)
{
    std::string field = text.substr(0, width - 1);
    field.resize(width, '\0');
    out.insert(out.end(), field.begin(), field.end());
}
} // namespace

std::vector<uint8_t> DeltaRecords(const std::vector<DeltaPatch>& patches)
{
    std::vector<uint8_t> out;
    uint32_t position = 0;
    for (const DeltaPatch& patch : patches)
    {
        if (patch.bytes.empty() || patch.bytes.size() > 256 || patch.offset < position ||
            patch.offset - position > 0xFFFF)
        {
            throw std::invalid_argument("DeltaRecords: patch cannot be written as one record");
        }
        const uint32_t skip = patch.offset - position;
        const auto count = static_cast<uint8_t>(patch.bytes.size() % 256);
        if (skip <= 254)
        {
            out.push_back(static_cast<uint8_t>(skip));
            out.push_back(count);
        }
        else
        {
            out.push_back(0xFF);
            out.push_back(count);
            Put16(out, skip);
        }
        out.insert(out.end(), patch.bytes.begin(), patch.bytes.end());
        position = patch.offset + static_cast<uint32_t>(patch.bytes.size());
    }
    return out;
}

CKrromWriter::CKrromWriter(uint32_t version) : m_version(version) {}

CKrromWriter& CKrromWriter::Key(const std::string& eightBytes)
{
    m_key = eightBytes;
    m_key.resize(8, '\0');
    return *this;
}

CKrromWriter& CKrromWriter::SelectionType(uint32_t type)
{
    m_selectionType = type;
    return *this;
}

CKrromWriter& CKrromWriter::VFieldRegister(const std::array<uint8_t, 13>& record)
{
    m_registers.push_back(record);
    return *this;
}

CKrromWriter& CKrromWriter::VFieldField(const std::array<uint8_t, 3>& record)
{
    m_fields.push_back(record);
    return *this;
}

CKrromWriter& CKrromWriter::Full(std::vector<uint8_t> image, const std::string& name,
                                 const std::string& detailedName)
{
    Record record;
    record.imageSize = static_cast<uint32_t>(image.size());
    record.body = std::move(image);
    record.name = name;
    record.detailedName = detailedName;
    m_records.push_back(std::move(record));
    return *this;
}

CKrromWriter& CKrromWriter::Delta(uint16_t master, uint32_t imageSize, std::vector<uint8_t> delta,
                                  const std::string& name, const std::string& detailedName)
{
    Record record;
    record.imageSize = imageSize;
    record.master = master;
    record.body = std::move(delta);
    record.name = name;
    record.detailedName = detailedName;
    m_records.push_back(std::move(record));
    return *this;
}

CKrromWriter::Record& CKrromWriter::Last()
{
    if (m_records.empty())
    {
        throw std::logic_error("CKrromWriter: no record yet");
    }
    return m_records.back();
}

CKrromWriter& CKrromWriter::Name(const std::string& name)
{
    Last().name = name;
    return *this;
}

CKrromWriter& CKrromWriter::DetailedName(const std::string& name)
{
    Last().detailedName = name;
    return *this;
}

CKrromWriter& CKrromWriter::Selection(uint8_t vfieldId, uint32_t minimum, uint32_t maximum)
{
    Last().selections.push_back({vfieldId, minimum, maximum});
    return *this;
}

CKrromWriter& CKrromWriter::Flags(uint8_t flags)
{
    Last().flags = flags;
    return *this;
}

CKrromWriter& CKrromWriter::ImageSizeField(uint32_t size)
{
    Last().imageSizeField = size;
    return *this;
}

CKrromWriter& CKrromWriter::StoredSizeField(uint32_t size)
{
    Last().storedSizeField = size;
    return *this;
}

CKrromWriter& CKrromWriter::NameLengthField(uint8_t length)
{
    Last().nameLengthField = length;
    return *this;
}

CKrromWriter& CKrromWriter::SelectionCountField(uint8_t count)
{
    Last().selectionCountField = count;
    return *this;
}

CKrromWriter& CKrromWriter::Trailer(std::vector<uint8_t> bytes)
{
    m_trailer = std::move(bytes);
    return *this;
}

void CKrromWriter::EmitRecord(std::vector<uint8_t>& out, const Record& record, bool isLast) const
{
    const bool full = record.master == 0xFFFF;
    const uint8_t flags =
        record.flags.value_or(static_cast<uint8_t>((full ? 0x01 : 0) | (isLast ? 0x02 : 0)));
    Put32(out, record.imageSizeField.value_or(record.imageSize));
    Put32(out, record.storedSizeField.value_or(static_cast<uint32_t>(record.body.size())));
    out.push_back(flags);
    if (m_version == 0x101 || m_version == 0x102)
    {
        out.push_back(0);
        Put16(out, record.master);
        PutField(out, record.name, 32);
        PutField(out, record.detailedName, 128);
        if (m_version == 0x102)
        {
            const VFieldSelection selection =
                record.selections.empty() ? VFieldSelection{} : record.selections.front();
            Put32(out, selection.minimum);
            Put32(out, selection.maximum);
        }
    }
    else
    {
        Put16(out, record.master);
        out.push_back(record.nameLengthField.value_or(static_cast<uint8_t>(record.name.size())));
        out.push_back(static_cast<uint8_t>(record.detailedName.size()));
        out.push_back(
            record.selectionCountField.value_or(static_cast<uint8_t>(record.selections.size())));
        out.insert(out.end(), record.name.begin(), record.name.end());
        out.insert(out.end(), record.detailedName.begin(), record.detailedName.end());
        for (const VFieldSelection& selection : record.selections)
        {
            out.push_back(static_cast<uint8_t>(selection.vfieldId));
            Put32(out, selection.minimum);
            Put32(out, selection.maximum);
        }
    }
    out.insert(out.end(), record.body.begin(), record.body.end());
}

std::vector<uint8_t> CKrromWriter::Build() const
{
    std::vector<uint8_t> out(m_key.begin(), m_key.end());
    Put32(out, m_version);
    if (m_version != 0x101)
    {
        Put32(out, m_selectionType);
        out.insert(out.end(), {0x10, 13, static_cast<uint8_t>(m_registers.size())});
        for (const auto& r : m_registers)
        {
            out.insert(out.end(), r.begin(), r.end());
        }
        out.insert(out.end(), {0x10, 3, static_cast<uint8_t>(m_fields.size())});
        for (const auto& f : m_fields)
        {
            out.insert(out.end(), f.begin(), f.end());
        }
    }
    for (size_t i = 0; i < m_records.size(); ++i)
    {
        EmitRecord(out, m_records[i], i + 1 == m_records.size());
    }
    out.insert(out.end(), m_trailer.begin(), m_trailer.end());
    return out;
}
} // namespace testkit
