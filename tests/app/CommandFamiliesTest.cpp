// The tables derived from the command families: the chain in its order with
// every row's words, one row per option word, a handler for every row, and
// usage lines that each have a place of their own.

#include "app/engineering/EngineeringCommands.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

TEST(CommandFamilies, ChainIsTheRowsInTheirOrder)
{
    // Each row's rank and its words, as the chain tests them.
    const std::vector<std::pair<int, std::vector<std::string>>> expected = {
        {1, {"version"}},
        {2, {"proggmac"}},
        {3, {"savegmac"}},
        {4, {"querygmac"}},
        {5, {"listpatches"}},
        {6, {"buildinfo"}},
        {7, {"lspci"}},
        {8, {"setpci"}},
        {9, {"list"}},
        {10, {"listgmac"}},
        {11, {"save"}},
        {12, {"wroem"}},
        {13, {"rdoem"}},
        {14, {"wrobd"}},
        {15, {"rdobd"}},
        {16, {"erasevarnex"}},
        {17, {"clpbl"}},
        {18, {"clearvarnex", "clbbx", "clecc"}},
        {19, {"repairvarnex"}},
        {20, {"wrbbo"}},
        {21, {"rdbbo"}},
        {22, {"recovervarnex"}},
        {23, {"wrkrpn"}},
        {24, {"addpp"}},
        {25, {"delpp"}},
        {26, {"listpp"}},
        {27, {"backupvarnex"}},
        {28, {"flashfs"}},
        {29, {"savefs"}},
        {30, {"rdobj"}},
        {31, {"createfs"}},
        {32, {"flashvarnex"}},
        {33, {"compare"}},
        {34, {"ifronly"}},
        {35, {"verify"}},
        {36, {"erasefull"}},
        {37, {"delete"}},
        {38, {"straps"}},
        {39, {"guid"}},
        {40, {"guidsource"}},
        {41, {"tv"}},
        {42, {"pciblocks"}},
        {43, {"protecton", "protectoff"}},
        {44, {"check"}},
        {45, {"display"}},
        {46, {"test"}},
        {47, {"stress"}},
        {48, {"readtest"}},
        {49, {"speed"}},
        {50, {"install"}},
        {51, {"updateuefi"}},
        {52, {"loadkestrix"}},
        {53, {"attachkestrix"}},
        {54, {"ecid"}},
        {55, {"presregtune", "presdatatune"}},
    };
    std::vector<std::pair<int, std::vector<std::string>>> chain;
    for (const ChainRow& row : EngineeringChain())
    {
        chain.emplace_back(row.rank, row.words);
    }
    EXPECT_EQ(chain, expected);
    // The flash of the file named comes after every row with a word.
    EXPECT_TRUE(DefaultFlashRow().words.empty());
    EXPECT_EQ(DefaultFlashRow().rank, 56);
    EXPECT_EQ(DefaultFlashRow().logText, "flash");
}

TEST(CommandFamilies, EveryWordHasOneRowAndEveryRowItsHandler)
{
    std::map<std::string, int> wordRows;
    std::set<int> positions;
    for (const CommandFamily& family : EngineeringFamilies())
    {
        for (const WordRow& row : family.words)
        {
            ++wordRows[row.word];
            EXPECT_TRUE(positions.insert(row.position).second) << row.word;
        }
    }
    for (const auto& [word, rows] : wordRows)
    {
        EXPECT_EQ(rows, 1) << word;
    }
    // The option table the command line gets has each word once.
    EXPECT_EQ(EngineeringOptions().size(), wordRows.size());

    std::vector<const ChainRow*> rows;
    for (const ChainRow& row : EngineeringChain())
    {
        rows.push_back(&row);
    }
    rows.push_back(&DefaultFlashRow());
    for (const ChainRow* row : rows)
    {
        EXPECT_NE(row->handler, nullptr) << row->rank;
        for (const std::string& word : row->words)
        {
            EXPECT_EQ(wordRows.count(word), 1u) << word;
        }
    }
}

TEST(CommandFamilies, UsageLinesHaveAPlaceEach)
{
    std::set<std::pair<int, int>> places;
    int lines[3] = {0, 0, 0};
    for (const UsageRow& row : EngineeringUsage())
    {
        ASSERT_TRUE(row.page == 1 || row.page == 2) << row.label;
        EXPECT_TRUE(places.insert({row.page, row.position}).second) << row.label;
        ++lines[row.page];
    }
    EXPECT_EQ(lines[1], 30);
    EXPECT_EQ(lines[2], 10);
}
