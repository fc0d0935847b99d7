#pragma once
// Builds the EEPROM images of the two bridges as the image model expects to
// read them.
//
// ZX22: signature "22XZ", revision, device digit, subsystem IDs and a BIT
// whose token 'R' carries the information record; the last byte of the ROM
// makes the bytes sum to 0 unless BadChecksum:
//
//   std::vector<uint8_t> zx22 = CZx22ImageBuilder()
//       .Revision(0x00010002).Subsystem(0x7E2B, 0x1234)
//       .Record({0x04030201, 5, 4, "12/31/99", "Bridge"})
//       .Build();
//
// PLX8747: signature 0x5A, register entries and their CRC (computed here
// independently of the image model; BadCrc leaves it wrong):
//
//   std::vector<uint8_t> plx = CPlxImageBuilder()
//       .Register(0x00, 0, 0x874710B5).Register(0xA8, 0, 0x12347E2B).Build();

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testkit
{
// Token 'R': the information record of a bridge image.
struct BridgeRecord
{
    uint32_t version = 0;
    uint8_t oemVersion = 0;
    uint16_t romSizeUnits = 0; // 512-byte units; 0 = the built size
    std::string date = "01/02/03";
    std::string productName{}; // empty: a 19-byte token without the name
};

class CZx22ImageBuilder
{
public:
    static constexpr uint32_t kBitOffset = 0x180;

    // The image length in bytes (at least 0x200 with a BIT).
    CZx22ImageBuilder& Size(uint32_t bytes);
    CZx22ImageBuilder& Revision(uint32_t revision);
    CZx22ImageBuilder& DeviceDigit(uint8_t digit);
    CZx22ImageBuilder& Subsystem(uint16_t vendor, uint16_t device);
    CZx22ImageBuilder& Record(const BridgeRecord& record);
    // No BIT at all.
    CZx22ImageBuilder& NoBit();
    CZx22ImageBuilder& BitVersion(uint16_t version);
    CZx22ImageBuilder& BadChecksum();

    std::vector<uint8_t> Build() const;

private:
    uint32_t m_size = 0x800;
    uint32_t m_revision = 0;
    uint8_t m_deviceDigit = 0;
    uint16_t m_subsystemVendor = 0x7E2B;
    uint16_t m_subsystemDevice = 0x0001;
    std::optional<BridgeRecord> m_record;
    bool m_bit = true;
    uint16_t m_bitVersion = 0x0100;
    bool m_badChecksum = false;
};

// The CRC of the PLX switch's EEPROM, for the bytes from offset 2 up to the
// end of the register entries.
uint32_t PlxCrc(const std::vector<uint8_t>& image);

class CPlxImageBuilder
{
public:
    CPlxImageBuilder& Register(uint32_t registerOffset, uint8_t port, uint32_t value);
    // The count field in place of the entries' true byte count.
    CPlxImageBuilder& CountField(uint16_t count);
    CPlxImageBuilder& BadCrc();
    // Bytes after the CRC.
    CPlxImageBuilder& Trailer(std::vector<uint8_t> bytes);

    std::vector<uint8_t> Build() const;

private:
    std::vector<uint8_t> m_entries;
    std::optional<uint16_t> m_countField;
    bool m_badCrc = false;
    std::vector<uint8_t> m_trailer;
};
} // namespace testkit
