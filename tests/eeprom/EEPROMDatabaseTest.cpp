#include "core/Singleton.h"
#include "eeprom/IEEPROMDatabase.h"
#include "testkit/TestPartRows.h"

#include <gtest/gtest.h>

#include <sstream>

namespace
{
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
    }
    return lines;
}

// The seventeen parameters of a valid test part; tests change single rows,
// and a row whose value is "<absent>" is left out.
CsvSettings TestPartSettings(const std::map<std::string, std::string>& changes = {})
{
    const auto rows = testkit::TestPartRows(changes);
    CsvSettings settings;
    CLog quiet;
    for (const auto& [name, value] : rows)
    {
        if (value != "<absent>")
        {
            settings.ParseCsvLine((name + "," + value).c_str(), &quiet);
        }
    }
    return settings;
}
} // namespace

TEST(EEPROMDatabase, LookupsAndTheUnknownPart)
{
    CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
    const CEEPROMType pm25 = database->GetEEPROMType(0x7F, 0x9D7E);
    EXPECT_EQ(pm25.GetPartName(), "Pm25LV040");
    EXPECT_EQ(pm25.BulkEraseCommand, 0xD7);
    EXPECT_EQ(pm25.WriteProtectMask, 0x1C);
    EXPECT_EQ(pm25.GetSizeInBytes(), 512u * 1024);
    EXPECT_EQ(pm25.GetSizeText(), "4096Kx1");

    const CEEPROMType aai = database->GetEEPROMType(0xBF, 0x258C);
    EXPECT_EQ(aai.ChipFeatureFlag, CEEPROMType::kFeatureWordAutoIncrement);
    EXPECT_EQ(aai.GetParameterWords(), (std::array<uint16_t, 13>{0xBF, 0x258C, 256, 4, 1, 1, 2048,
                                                                 1, 0x60, 0x20, 0x0C, 1, 1}));

    const CEEPROMType unknown = database->GetEEPROMType(0, 0);
    EXPECT_FALSE(unknown.IsIdentified());
    EXPECT_TRUE(unknown.EraseReqBeforeChipSectorWrite);
    EXPECT_FALSE(database->IsSupported(0, 0));
    EXPECT_TRUE(database->IsSupported(0x47, 0x8747));
    try
    {
        unknown.GetSizeInBytes();
        FAIL();
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "Cannot determine size of unknown EEPROM type");
    }
}

TEST(EEPROMDatabase, ListingIsInKeyOrder)
{
    CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
    std::ostringstream out;
    database->PrintSupportedParts(out);
    const auto lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 95u);
    EXPECT_EQ(lines.front(),
              "AMD   AM29LV001B     128Kx8         2.7vV,   1B page, 16k blk, ID=(01,006D)");
    EXPECT_EQ(lines.back(),
              "WBond W25Q80EW      8192Kx1S   1.65-1.95V, 256B page,  4k blk, ID=(EF,6014)");
    EXPECT_NE(
        std::find(lines.begin(), lines.end(),
                  "uChip 25AA320A         4Kx8S     1.8-5.5V,  32B page,  0k blk, ID=(47,8747)"),
        lines.end());
}

TEST(EEPROMDatabase, TestPartFromSettings)
{
    CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
    std::ostringstream out;
    ASSERT_TRUE(database->AddTestPart(TestPartSettings(), out));
    const auto lines = Lines(out.str());
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "Adding a new part with the following parameters for testing purpose:");
    EXPECT_EQ(lines[1], "                  ManufacturerID : 0xAA");
    const CEEPROMType part = database->GetEEPROMType(0xAA, 0x1234);
    EXPECT_EQ(part.GetPartName(), "TP25X40");
    EXPECT_EQ(part.BytesPerPage, 0x100);
    EXPECT_EQ(part.GetSizeInBytes(), 0x1000u * 128);

    out.str("");
    EXPECT_FALSE(database->AddTestPart(TestPartSettings(), out));
    EXPECT_EQ(Lines(out.str()).back(), "ERROR: EEPROM (AA,1234) already be supported.");
}

TEST(EEPROMDatabase, RefusedTestParts)
{
    struct Case
    {
        const char* name;
        const char* value;
        size_t echoedParameters;
    };
    const Case cases[] = {
        {"ChipFeatureFlag", "<absent>", 16},
        {"ManufacturerID", "100", 0}, // truncated to 0
        {"ManufacturerID", "-1", 0},  // a sign is no hexadecimal digit
        {"PartName", "", 9},
        {"BytesPerPage", "800", 17}, // 2 KiB pages are more than a page buffer holds
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.name) + "=" + c.value);
        CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
        std::ostringstream out;
        EXPECT_FALSE(database->AddTestPart(TestPartSettings({{c.name, c.value}}), out));
        const auto lines = Lines(out.str());
        // The header, one echoed line per accepted parameter, then the error.
        ASSERT_EQ(lines.size(), c.echoedParameters + 2);
        EXPECT_EQ(lines.back(), "ERROR: Invalid parameter be detected.");
    }

    CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
    std::ostringstream out;
    EXPECT_FALSE(database->AddTestPart(
        TestPartSettings({{"ManufacturerID", "1F"}, {"DeviceID", "6601"}}), out));
    const auto lines = Lines(out.str());
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_EQ(lines.back(), "ERROR: EEPROM (1F,6601) already be supported.");
    EXPECT_EQ(database->GetEEPROMType(0x1F, 0x6601).GetPartName(), "AT25FS010");
}

TEST(EEPROMDatabase, FlagsAndZeroValues)
{
    CRefPtr<IEEPROMDatabase> database(CreateEEPROMDatabase());
    std::ostringstream out;
    ASSERT_TRUE(database->AddTestPart(
        TestPartSettings({{"SerialPart", "True"}, {"WriteProtectMask", "0"}}), out));
    const CEEPROMType part = database->GetEEPROMType(0xAA, 0x1234);
    EXPECT_FALSE(part.SerialPart); // only "true" counts
    EXPECT_EQ(part.WriteProtectMask, 0);
}

TEST(EEPROMDatabase, SingletonIsKeptUntilRelease)
{
    // A test part added to the process-wide catalogue marks that instance.
    std::ostringstream out;
    IEEPROMDatabase* first = GetEEPROMDatabase();
    ASSERT_TRUE(first->AddTestPart(TestPartSettings(), out));
    EXPECT_EQ(first, GetEEPROMDatabase());
    EXPECT_TRUE(GetEEPROMDatabase()->IsSupported(0xAA, 0x1234));

    ReleaseSingletons();
    EXPECT_FALSE(GetEEPROMDatabase()->IsSupported(0xAA, 0x1234));
    ReleaseSingletons();
}
