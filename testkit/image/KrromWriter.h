#pragma once
// Writes KRROM multi-image files byte by byte from their format, independent
// of the reader: versions 1.01, 1.02 and 1.03, full and delta records, names,
// selections and the VField table, and a switch for every field so that each
// malformation can be written on purpose.
//
//   std::vector<uint8_t> file = CKrromWriter(0x103)
//       .VFieldRegister({...}).VFieldField({7, 0xE4, 0x00})
//       .Full(imageA, "A", "Board A").Selection(7, 0, 3)
//       .Delta(0, imageB.size(), DeltaRecords({{0x10, {1, 2}}})).Name("B")
//       .Build();
//
// The last record carries the last-record flag unless Flags says otherwise.

#include "image/IROMImage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testkit
{
// One piece of a delta: bytes that replace the image's bytes at an offset.
struct DeltaPatch
{
    uint32_t offset = 0;
    std::vector<uint8_t> bytes;
};

// Delta records for the patches (ordered, not overlapping, each at most 256
// bytes), in the short form when the skip fits a byte and the long form
// otherwise; skips beyond 16 bits are not supported here.
std::vector<uint8_t> DeltaRecords(const std::vector<DeltaPatch>& patches);

class CKrromWriter
{
public:
    explicit CKrromWriter(uint32_t version = 0x103);

    // Header fields.
    CKrromWriter& Key(const std::string& eightBytes);
    CKrromWriter& SelectionType(uint32_t type);
    CKrromWriter& VFieldRegister(const std::array<uint8_t, 13>& record);
    CKrromWriter& VFieldField(const std::array<uint8_t, 3>& record);

    // Records: an image stored whole, or a delta against the image at master.
    CKrromWriter& Full(std::vector<uint8_t> image, const std::string& name = "",
                       const std::string& detailedName = "");
    CKrromWriter& Delta(uint16_t master, uint32_t imageSize, std::vector<uint8_t> delta,
                        const std::string& name = "", const std::string& detailedName = "");

    // Settings of the record added last.
    CKrromWriter& Name(const std::string& name);
    CKrromWriter& DetailedName(const std::string& name);
    CKrromWriter& Selection(uint8_t vfieldId, uint32_t minimum, uint32_t maximum);
    CKrromWriter& Flags(uint8_t flags);
    CKrromWriter& ImageSizeField(uint32_t size);
    CKrromWriter& StoredSizeField(uint32_t size);
    // 1.03 length bytes in place of the true lengths (the texts stay).
    CKrromWriter& NameLengthField(uint8_t length);
    CKrromWriter& SelectionCountField(uint8_t count);

    // Bytes appended after the last record.
    CKrromWriter& Trailer(std::vector<uint8_t> bytes);

    std::vector<uint8_t> Build() const;

private:
    struct Record
    {
        std::vector<uint8_t> body;
        uint32_t imageSize = 0;
        uint16_t master = 0xFFFF;
        std::string name;
        std::string detailedName;
        std::vector<VFieldSelection> selections;
        std::optional<uint8_t> flags;
        std::optional<uint32_t> imageSizeField;
        std::optional<uint32_t> storedSizeField;
        std::optional<uint8_t> nameLengthField;
        std::optional<uint8_t> selectionCountField;
    };
    Record& Last();
    void EmitRecord(std::vector<uint8_t>& out, const Record& record, bool isLast) const;

    uint32_t m_version;
    std::string m_key = std::string("KRROM\0\0\0", 8);
    uint32_t m_selectionType = 0;
    std::vector<std::array<uint8_t, 13>> m_registers;
    std::vector<std::array<uint8_t, 3>> m_fields;
    std::vector<Record> m_records;
    std::vector<uint8_t> m_trailer;
};
} // namespace testkit
