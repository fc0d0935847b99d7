#include "sim/SimEepromChip.h"

#include <stdexcept>

CSimPlainEeprom::CSimPlainEeprom(std::string name, std::shared_ptr<CSimChipStore> contents)
    : m_name(std::move(name)), m_contents(std::move(contents))
{
    if (!m_contents)
    {
        throw std::invalid_argument("an EEPROM needs its contents");
    }
}
