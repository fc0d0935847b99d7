// Reads arbitrary settings files: the comma-separated rows of the settings
// reader, from a file as from single rows, and the EEPROM test part the
// engineering flasher builds from such settings. Any input must end in a
// value or a false result, never in a read outside a row.

#include "core/CsvSettings.h"
#include "eeprom/IEEPROMDatabase.h"
#include "fuzz/FuzzMemoryFile.h"
#include "fuzz/FuzzSeeds.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const char* const kPartFields[] = {
    "ManufacturerID", "DeviceID",    "BytesPerPage",    "KbytesPerBlock",
    "EraseReqBeforeChipSectorWrite", "TvBlockUpdateSupported",
    "SerialPart",     "ManufacturerCodeName",           "Voltage",
    "PartName",       "SizeDepthInKbit",                "SizeWidthBits",
    "ChipEraseCommand", "BulkEraseCommand",             "WriteProtectMask",
    "WriteProtectOff", "ChipFeatureFlag",
};
} // namespace

std::vector<FuzzSeed> FuzzSeeds()
{
    const std::string part = "ManufacturerID,0xAA\nDeviceID,1234\nBytesPerPage,100\n"
                             "KbytesPerBlock,4\nEraseReqBeforeChipSectorWrite,true\n"
                             "TvBlockUpdateSupported,false\nSerialPart,true\n"
                             "ManufacturerCodeName,Test\nVoltage,2.7-3.6\nPartName,TP25X40\n"
                             "SizeDepthInKbit,1000\nSizeWidthBits,1\nChipEraseCommand,C7\n"
                             "BulkEraseCommand,20\nWriteProtectMask,0\nWriteProtectOff,false\n"
                             "ChipFeatureFlag,0\n";
    const std::string settings = "# settings\r\nname,value\r\nempty,\r\n,novalue\r\nquoted,\"a,b\"\r\n";
    return {
        {"test-part", std::vector<uint8_t>(part.begin(), part.end())},
        {"settings", std::vector<uint8_t>(settings.begin(), settings.end())},
    };
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CLog log; // no sinks: the dumps go nowhere
    CsvSettings fromFile;
    const CFuzzMemoryFile file(std::span<const uint8_t>(data, size));
    if (file.IsOpen())
    {
        fromFile.PrintCsvTable(file.Path().c_str(), &log);
    }

    CsvSettings byRow;
    std::string row;
    for (size_t i = 0; i <= size; ++i)
    {
        if (i == size || data[i] == '\n')
        {
            byRow.ParseCsvLine(row.c_str(), &log);
            row.clear();
        }
        else
        {
            row.push_back(static_cast<char>(data[i]));
        }
    }

    std::string value;
    for (const char* field : kPartFields)
    {
        fromFile.FindCsvValue(field, &value);
    }
    CRefPtr<IEEPROMDatabase> database = CreateEEPROMDatabase();
    std::ostringstream out;
    CEEPROMType part;
    database->ReadTestPart(part, fromFile, out);
    if (database->AddTestPart(byRow, out))
    {
        std::ostringstream list;
        database->PrintSupportedParts(list);
    }
    return 0;
}
