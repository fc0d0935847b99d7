#include "core/Singleton.h"
#include "core/TextHelpers.h"
#include "eeprom/IEEPROMDatabase.h"

#include <cctype>
#include <iomanip>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

CEEPROMType::CEEPROMType(const EEPROMPartRecord& record)
    : ManufacturerID(record.ManufacturerID), DeviceID(record.DeviceID),
      BytesPerPage(record.BytesPerPage), KbytesPerBlock(record.KbytesPerBlock),
      EraseReqBeforeChipSectorWrite(record.EraseReqBeforeChipSectorWrite),
      TvBlockUpdateSupported(record.TvBlockUpdateSupported), SerialPart(record.SerialPart),
      ManufacturerCodeName(record.ManufacturerCodeName), Voltage(record.Voltage),
      PartName(record.PartName), SizeDepthInKbit(record.SizeDepthInKbit),
      SizeWidthBits(record.SizeWidthBits), ChipEraseCommand(record.ChipEraseCommand),
      BulkEraseCommand(record.BulkEraseCommand), WriteProtectMask(record.WriteProtectMask),
      WriteProtectOff(record.WriteProtectOff), ChipFeatureFlag(record.ChipFeatureFlag)
{
}

std::string CEEPROMType::GetSizeText() const
{
    return FormatNumber(SizeDepthInKbit, 1) + "Kx" + FormatNumber(SizeWidthBits, 1);
}

uint32_t CEEPROMType::GetSizeInBytes() const
{
    if (!IsIdentified())
    {
        throw std::runtime_error("Cannot determine size of unknown EEPROM type");
    }
    return uint32_t{SizeDepthInKbit} * SizeWidthBits * 128;
}

std::array<uint16_t, 13> CEEPROMType::GetParameterWords() const
{
    return {ManufacturerID,
            DeviceID,
            BytesPerPage,
            KbytesPerBlock,
            EraseReqBeforeChipSectorWrite,
            SerialPart,
            SizeDepthInKbit,
            SizeWidthBits,
            ChipEraseCommand,
            BulkEraseCommand,
            WriteProtectMask,
            WriteProtectOff,
            ChipFeatureFlag};
}

namespace
{
using PartKey = std::pair<uint8_t, uint16_t>;

// The largest program page the drivers' page buffers take.
constexpr uint16_t kMaxBytesPerPage = 1024;

// Unsigned hexadecimal: leading blanks skipped, an optional "0x", then digits
// up to the first character that is none. A sign is no digit, so "-1" reads
// as 0 rather than as the largest value.
uint64_t ReadHex(const std::string& text)
{
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
    {
        ++at;
    }
    if (text.size() - at > 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(text[at + 2])))
    {
        at += 2;
    }
    uint64_t value = 0;
    for (; at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at])); ++at)
    {
        const char digit = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
        value = value * 16 + static_cast<uint64_t>(digit <= '9' ? digit - '0' : digit - 'a' + 10);
    }
    return value;
}

template <class Field>
IEEPROMDatabase::ParameterSetter HexSetter(Field CEEPROMType::*field, bool zeroAllowed)
{
    return [field, zeroAllowed](CEEPROMType& part, const std::string& text)
    {
        using Value = std::remove_reference_t<decltype(part.*field)>;
        part.*field = static_cast<Value>(ReadHex(text));
        return zeroAllowed || part.*field != 0;
    };
}

IEEPROMDatabase::ParameterSetter FlagSetter(bool CEEPROMType::*field)
{
    return [field](CEEPROMType& part, const std::string& text)
    {
        part.*field = text == "true";
        return true;
    };
}

IEEPROMDatabase::ParameterSetter TextSetter(std::string CEEPROMType::*field)
{
    return [field](CEEPROMType& part, const std::string& text)
    {
        part.*field = text;
        return !text.empty();
    };
}

// The seventeen test-part parameters in the order they are read.
const std::vector<std::pair<const char*, IEEPROMDatabase::ParameterSetter>>& TestPartParameters()
{
    static const std::vector<std::pair<const char*, IEEPROMDatabase::ParameterSetter>> parameters =
        {
            {"ManufacturerID", HexSetter(&CEEPROMType::ManufacturerID, false)},
            {"DeviceID", HexSetter(&CEEPROMType::DeviceID, false)},
            {"BytesPerPage", HexSetter(&CEEPROMType::BytesPerPage, false)},
            {"KbytesPerBlock", HexSetter(&CEEPROMType::KbytesPerBlock, false)},
            {"EraseReqBeforeChipSectorWrite",
             FlagSetter(&CEEPROMType::EraseReqBeforeChipSectorWrite)},
            {"TvBlockUpdateSupported", FlagSetter(&CEEPROMType::TvBlockUpdateSupported)},
            {"SerialPart", FlagSetter(&CEEPROMType::SerialPart)},
            {"ManufacturerCodeName", TextSetter(&CEEPROMType::ManufacturerCodeName)},
            {"Voltage", TextSetter(&CEEPROMType::Voltage)},
            {"PartName", TextSetter(&CEEPROMType::PartName)},
            {"SizeDepthInKbit", HexSetter(&CEEPROMType::SizeDepthInKbit, false)},
            {"SizeWidthBits", HexSetter(&CEEPROMType::SizeWidthBits, false)},
            {"ChipEraseCommand", HexSetter(&CEEPROMType::ChipEraseCommand, false)},
            {"BulkEraseCommand", HexSetter(&CEEPROMType::BulkEraseCommand, false)},
            {"WriteProtectMask", HexSetter(&CEEPROMType::WriteProtectMask, true)},
            {"WriteProtectOff", FlagSetter(&CEEPROMType::WriteProtectOff)},
            {"ChipFeatureFlag", HexSetter(&CEEPROMType::ChipFeatureFlag, true)},
        };
    return parameters;
}

std::string KeyText(const CEEPROMType& part)
{
    return ToHex(part.ManufacturerID, 2) + "," + ToHex(part.DeviceID, 4);
}

class CEEPROMDatabaseImpl : public CReferenceCountImpl, public IEEPROMDatabase
{
public:
    CEEPROMDatabaseImpl()
    {
        for (const EEPROMPartRecord& record : GetBuiltInEEPROMParts())
        {
            // An existing key keeps its first record.
            m_parts.emplace(PartKey{record.ManufacturerID, record.DeviceID}, CEEPROMType(record));
        }
    }
    ROMVISE_REFCOUNT_FORWARD

    CEEPROMType GetEEPROMType(uint8_t manufacturerId, uint16_t deviceId) override
    {
        const auto found = m_parts.find({manufacturerId, deviceId});
        return found == m_parts.end() ? CEEPROMType() : found->second;
    }

    bool IsSupported(uint8_t manufacturerId, uint16_t deviceId) override
    {
        return m_parts.count({manufacturerId, deviceId}) != 0;
    }

    void PrintSupportedParts(std::ostream& out) override
    {
        out << std::right;
        for (const auto& [key, part] : m_parts)
        {
            out << std::left << std::setw(5) << part.ManufacturerCodeName << " " << std::setw(13)
                << part.PartName << " " << std::right << std::setw(7) << part.GetSizeText()
                << (part.SerialPart ? "S" : " ") << std::setw(12) << part.Voltage << "V, "
                << std::setw(3) << part.BytesPerPage << "B page, " << std::setw(2)
                << part.KbytesPerBlock << "k blk, ID=(" << KeyText(part) << ")\n";
            out.flush();
        }
    }

    bool ApplyPartParameter(CEEPROMType& part, const CsvSettings& fields, const std::string& name,
                            const ParameterSetter& setter, std::ostream& out) override
    {
        std::string value;
        if (!fields.FindCsvValue(name.c_str(), &value))
        {
            return false;
        }
        const bool accepted = setter(part, value);
        if (accepted)
        {
            out << "  " << std::right << std::setw(30) << name << " : " << value << "\n";
            out.flush();
        }
        return accepted;
    }

    bool ReadTestPart(CEEPROMType& part, const CsvSettings& fields, std::ostream& out) override
    {
        out << "Adding a new part with the following parameters for testing purpose:\n";
        for (const auto& [name, setter] : TestPartParameters())
        {
            if (!ApplyPartParameter(part, fields, name, setter, out))
            {
                return false;
            }
        }
        return true;
    }

    bool AddTestPart(const CsvSettings& fields, std::ostream& out) override
    {
        CEEPROMType part;
        // Beyond the seventeen parameters, the write algorithm needs a page it
        // can buffer and, for a part that must be erased, a block to erase.
        if (!ReadTestPart(part, fields, out) || part.BytesPerPage > kMaxBytesPerPage ||
            (part.EraseReqBeforeChipSectorWrite && part.KbytesPerBlock == 0))
        {
            out << "ERROR: Invalid parameter be detected.\n";
            return false;
        }
        if (!m_parts.emplace(PartKey{part.ManufacturerID, part.DeviceID}, part).second)
        {
            out << "\nERROR: EEPROM (" << KeyText(part) << ") already be supported.\n";
            return false;
        }
        return true;
    }

private:
    std::map<PartKey, CEEPROMType> m_parts;
};
} // namespace

IEEPROMDatabase* CreateEEPROMDatabase()
{
    return new CEEPROMDatabaseImpl();
}

IEEPROMDatabase* GetEEPROMDatabase()
{
    static CSingletonHolder<IEEPROMDatabase> holder(ESingletonSlot::EepromDatabase);
    return GetOrCreateSingleton(holder, CreateEEPROMDatabase);
}
