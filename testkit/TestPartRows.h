#pragma once
// The seventeen fields of a valid EEPROM test part, as a settings file lists
// them, for tests of the part a file describes. `changes` replaces single
// values by field name.

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testkit
{
inline std::vector<std::pair<std::string, std::string>> TestPartRows(
    const std::map<std::string, std::string>& changes = {})
{
    std::vector<std::pair<std::string, std::string>> rows = {
        {"ManufacturerID", "0xAA"},
        {"DeviceID", "1234"},
        {"BytesPerPage", "100"},
        {"KbytesPerBlock", "4"},
        {"EraseReqBeforeChipSectorWrite", "true"},
        {"TvBlockUpdateSupported", "false"},
        {"SerialPart", "true"},
        {"ManufacturerCodeName", "Test"},
        {"Voltage", "2.7-3.6"},
        {"PartName", "TP25X40"},
        {"SizeDepthInKbit", "1000"},
        {"SizeWidthBits", "1"},
        {"ChipEraseCommand", "C7"},
        {"BulkEraseCommand", "20"},
        {"WriteProtectMask", "0"},
        {"WriteProtectOff", "false"},
        {"ChipFeatureFlag", "0"},
    };
    for (auto& [name, value] : rows)
    {
        if (const auto change = changes.find(name); change != changes.end())
        {
            value = change->second;
        }
    }
    return rows;
}
} // namespace testkit
