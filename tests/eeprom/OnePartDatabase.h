#pragma once
// A catalogue that knows one part under every key, for tests that drive a
// chip with a part record of their own.

#include "eeprom/IEEPROMDatabase.h"

class COnePartDatabase : public CReferenceCountImpl, public IEEPROMDatabase
{
public:
    ROMVISE_REFCOUNT_FORWARD

    explicit COnePartDatabase(const CEEPROMType& part) : m_part(part) {}

    CEEPROMType GetEEPROMType(uint8_t, uint16_t) override { return m_part; }
    void PrintSupportedParts(std::ostream&) override {}
    bool ApplyPartParameter(CEEPROMType&, const CsvSettings&, const std::string&,
                            const ParameterSetter&, std::ostream&) override
    {
        return false;
    }
    bool ReadTestPart(CEEPROMType&, const CsvSettings&, std::ostream&) override { return false; }
    bool IsSupported(uint8_t, uint16_t) override { return true; }
    bool AddTestPart(const CsvSettings&, std::ostream&) override { return false; }

private:
    CEEPROMType m_part;
};
