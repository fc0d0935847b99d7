#pragma once
// One EEPROM part: identification, geometry, opcodes and protection bits,
// copied by value. The default value is the unknown part.

#include "eeprom/EEPROMPartTable.h"

#include <array>
#include <cstdint>
#include <string>

class CEEPROMType
{
public:
    // ChipFeatureFlag values.
    static constexpr uint8_t kFeaturePlain = 0;
    static constexpr uint8_t kFeatureWordAutoIncrement = 1;
    static constexpr uint8_t kFeatureGlobalUnlock = 2;

    CEEPROMType() = default;
    explicit CEEPROMType(const EEPROMPartRecord& record);
    virtual ~CEEPROMType() = default;
    CEEPROMType(const CEEPROMType&) = default;
    CEEPROMType& operator=(const CEEPROMType&) = default;

    // A part is identified exactly when its manufacturer is not 0.
    bool IsIdentified() const { return ManufacturerID != 0; }

    std::string GetManufacturerCodeName() const { return ManufacturerCodeName; }
    std::string GetSupplyRange() const { return Voltage; }
    std::string GetPartName() const { return PartName; }
    // "<depth>Kx<width>", e.g. 4096Kx1.
    std::string GetSizeText() const;
    // Throws std::runtime_error for the unknown part.
    uint32_t GetSizeInBytes() const;
    // The part description the microcode receives: the parameters as 16-bit
    // words, always in step with the fields.
    std::array<uint16_t, 13> GetParameterWords() const;

    uint8_t ManufacturerID = 0;
    uint16_t DeviceID = 0;
    uint16_t BytesPerPage = 0;
    uint16_t KbytesPerBlock = 0;
    bool EraseReqBeforeChipSectorWrite = true;
    bool TvBlockUpdateSupported = false;
    bool SerialPart = false;
    std::string ManufacturerCodeName;
    std::string Voltage;
    std::string PartName;
    uint16_t SizeDepthInKbit = 0;
    uint16_t SizeWidthBits = 0;
    uint8_t ChipEraseCommand = 0;
    uint8_t BulkEraseCommand = 0;
    uint8_t WriteProtectMask = 0;
    bool WriteProtectOff = false;
    uint8_t ChipFeatureFlag = 0;
};
