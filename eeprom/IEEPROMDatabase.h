#pragma once
// The catalogue of EEPROM parts the program can drive, keyed by JEDEC
// manufacturer and device ID.

#include "core/CsvSettings.h"
#include "core/RefCount.h"
#include "eeprom/EEPROMType.h"

#include <functional>
#include <ostream>
#include <string>

class IEEPROMDatabase : public IReferenceCount
{
public:
    // Parses a parameter's text into the part; false when the value is refused.
    using ParameterSetter = std::function<bool(CEEPROMType&, const std::string&)>;

    // The part's record, or the unknown part.
    virtual CEEPROMType GetEEPROMType(uint8_t manufacturerId, uint16_t deviceId) = 0;
    virtual void PrintSupportedParts(std::ostream& out) = 0;
    virtual bool ApplyPartParameter(CEEPROMType& part, const CsvSettings& fields,
                                    const std::string& name, const ParameterSetter& setter,
                                    std::ostream& out) = 0;
    // True when all seventeen parameters were found and accepted.
    virtual bool ReadTestPart(CEEPROMType& part, const CsvSettings& fields, std::ostream& out) = 0;
    virtual bool IsSupported(uint8_t manufacturerId, uint16_t deviceId) = 0;
    // Adds a test part read from the settings; false (with the reason on out)
    // when a parameter is missing or refused, or the key is already known.
    virtual bool AddTestPart(const CsvSettings& fields, std::ostream& out) = 0;
};

IEEPROMDatabase* CreateEEPROMDatabase();
// The process-wide catalogue, created on first call; the pointer is borrowed.
IEEPROMDatabase* GetEEPROMDatabase();
