#include "core/CsvSettings.h"
#include "testkit/ScratchDirectory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{
class CsvSettingsTest : public ::testing::Test
{
protected:
    void TearDown() override { GetLog()->SetLevel(3); }

    std::string Write(const std::string& contents)
    {
        return m_dir.WriteText("settings.csv", contents);
    }

    // Loads the file with a log capturing every level; returns the result.
    bool Load(const std::string& contents)
    {
        const std::string path = Write(contents);
        CScopedLogSink all(GetLog(), &logged, 1, 5);
        CScopedLogSink console(GetLog(), &consoleLogged, 4, 5);
        return settings.PrintCsvTable(path.c_str(), GetLog());
    }

    std::vector<std::pair<std::string, std::string>> Loaded() const
    {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (const auto& pair : settings.GetPairs())
        {
            pairs.emplace_back(pair.name, pair.value);
        }
        return pairs;
    }

    testkit::CScratchDirectory m_dir{"romvise-csv"};
    CsvSettings settings;
    std::ostringstream logged;
    std::ostringstream consoleLogged;
};
using Pairs = std::vector<std::pair<std::string, std::string>>;
} // namespace

TEST_F(CsvSettingsTest, CommentsAndEmptyRowsAreSkippedButCounted)
{
    ASSERT_TRUE(Load("// board settings\n\nName1 , 0x10\n"));
    EXPECT_EQ(Loaded(), (Pairs{{"Name1", "0x10"}}));
    EXPECT_NE(
        logged.str().find("ROW #02: Name1 , 0x10" + std::string(43 - 12, ' ') + "( Width = 12 )\n"),
        std::string::npos)
        << logged.str();
    EXPECT_NE(logged.str().find("Field: Name1  -->  0x10\n"), std::string::npos);
    EXPECT_NE(logged.str().find("Contents: \n"), std::string::npos);
}

TEST_F(CsvSettingsTest, RowShapes)
{
    ASSERT_TRUE(Load("A,1\r\nB,2,extra\r\nC,\r\nC,3\r\n"));
    EXPECT_EQ(Loaded(), (Pairs{{"A", "1"}, {"B", "2"}, {"C", ""}, {"C", "3"}}));
    std::string value = "untouched";
    EXPECT_TRUE(settings.FindCsvValue("A", &value));
    EXPECT_EQ(value, "1");
    EXPECT_FALSE(settings.FindCsvValue("C", &value)); // the first C is empty
    EXPECT_FALSE(settings.FindCsvValue("a", &value)); // names are case-sensitive
    EXPECT_EQ(value, "1");
    EXPECT_EQ(consoleLogged.str(), "");
}

TEST_F(CsvSettingsTest, RowWithoutNameOrCommaStopsTheLoad)
{
    for (const char* bad : {",orphan", "NoComma"})
    {
        SCOPED_TRACE(bad);
        settings = CsvSettings();
        logged.str("");
        consoleLogged.str("");
        EXPECT_FALSE(Load(std::string("A,1\n") + bad + "\nB,2\n"));
        EXPECT_EQ(Loaded(), (Pairs{{"A", "1"}}));
        EXPECT_EQ(consoleLogged.str(), "Failed to parse the CSV file.\n");
    }
}

TEST_F(CsvSettingsTest, PlusInValueWarnsAtLevelFour)
{
    ASSERT_TRUE(Load("Sum,1+2\n"));
    EXPECT_EQ(Loaded(), (Pairs{{"Sum", "1+2"}}));
    EXPECT_EQ(consoleLogged.str().rfind("\n  Warning: Detected a '+' character in the Sum field.\n"
                                        "  Field: Sum, Value: 1+2\n",
                                        0),
              0u)
        << consoleLogged.str();
}

TEST_F(CsvSettingsTest, MissingFileIsReportedOnStandardOutput)
{
    const std::string path = (m_dir / "absent.csv").string();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(settings.PrintCsvTable(path.c_str(), GetLog()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Couldn't open " + path + "\n");
    EXPECT_TRUE(settings.GetPairs().empty());
}
