#pragma once
// One row of the built-in EEPROM part table.

#include <cstdint>
#include <span>

struct EEPROMPartRecord
{
    uint8_t ManufacturerID;
    uint16_t DeviceID;
    uint16_t BytesPerPage;
    uint16_t KbytesPerBlock;
    bool EraseReqBeforeChipSectorWrite;
    bool TvBlockUpdateSupported;
    bool SerialPart;
    const char* ManufacturerCodeName;
    const char* Voltage;
    const char* PartName;
    uint16_t SizeDepthInKbit;
    uint16_t SizeWidthBits;
    uint8_t ChipEraseCommand;
    uint8_t BulkEraseCommand;
    uint8_t WriteProtectMask;
    bool WriteProtectOff;
    uint8_t ChipFeatureFlag;
};

// The built-in parts in table order. The simulated machine's flash chips carry
// their own datasheet facts, and the tests hold these rows against them.
std::span<const EEPROMPartRecord> GetBuiltInEEPROMParts();
