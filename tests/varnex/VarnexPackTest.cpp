#include "varnex/VarnexPack.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

struct PackCase
{
    const char* format;
    std::vector<int32_t> values;
    std::vector<uint8_t> bytes;
};

// The format stands for the case in test output; the case's bytes would
// show addresses that change from run to run.
void PrintTo(const PackCase& c, std::ostream* out)
{
    *out << c.format;
}

class PackLanguage : public testing::TestWithParam<PackCase>
{
};

TEST_P(PackLanguage, PacksToBytesAndUnpacksBack)
{
    const PackCase& c = GetParam();
    const auto size = MeasureFormat(c.format);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->bytes, c.bytes.size());
    EXPECT_EQ(size->values, c.values.size());

    std::vector<uint8_t> packed(c.bytes.size(), 0xEE);
    ASSERT_TRUE(PackFields(c.format, packed, c.values));
    EXPECT_EQ(packed, c.bytes);

    std::vector<int32_t> unpacked(c.values.size(), 0x5A5A);
    ASSERT_TRUE(UnpackFields(c.format, c.bytes, unpacked));
    EXPECT_EQ(unpacked, c.values);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PackLanguage,
    testing::Values(
        // A count of 0 means 1.
        PackCase{"0b", {0x7F}, {0x7F}},
        // Words and double words are little-endian.
        PackCase{"wd", {0x1234, 0x0A0B0C0D}, {0x34, 0x12, 0x0D, 0x0C, 0x0B, 0x0A}},
        // s sign-extends, b zero-extends.
        PackCase{"sb", {-128, 128}, {0x80, 0x80}},
        // q takes two values, low word first.
        PackCase{"q", {1, 2}, {1, 0, 0, 0, 2, 0, 0, 0}},
        PackCase{"3s2bwb", {'R', 'O', 'M', 1, 2, 0x40, 0}, {'R', 'O', 'M', 1, 2, 0x40, 0, 0}}),
    [](const testing::TestParamInfo<PackCase>& info) { return std::string(info.param.format); });

TEST(PackLanguageSizes, SystemFormatsHaveTheirRecordLengths)
{
    struct
    {
        const char* format;
        size_t bytes;
        size_t values;
    } const table[] = {
        {"3s2bwb16b4w32b", 64, 59},
        {"3s2bwbw4b3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw", 64, 52},
        {"3s2bwbw4b3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3sw3b", 112, 91},
        {"3s2bwbd116b", 128, 124},
        {"3s2bwb3b128q5b", 1040, 271},
        {"3s2bwb3b40q5b", 336, 95},
        {"3s2bwb3b128q64d1b", 1292, 331},
        {"3s2bwb4b2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd2bd4b", 112, 63},
        {"3s2bwb26d", 112, 33},
        {"3s2bwbbbw100b", 112, 110},
        {"b3sw10b", 16, 15},
        {"300b", 300, 300},
    };
    for (const auto& row : table)
    {
        const auto size = MeasureFormat(row.format);
        ASSERT_TRUE(size) << row.format;
        EXPECT_EQ(size->bytes, row.bytes) << row.format;
        EXPECT_EQ(size->values, row.values) << row.format;
    }
}

TEST(PackLanguageErrors, BadFormatsAndShortBuffersFail)
{
    std::vector<uint8_t> bytes(8, 0);
    std::vector<int32_t> values(8, 0);
    for (const char* format : {"x", "2", "b3", "bz"})
    {
        EXPECT_FALSE(MeasureFormat(format)) << format;
        EXPECT_FALSE(PackFields(format, bytes, values)) << format;
        EXPECT_FALSE(UnpackFields(format, bytes, values)) << format;
    }
    // The file-system record routines know b, s, w and d only.
    EXPECT_FALSE(PackRecord("q", bytes, values));
    EXPECT_FALSE(UnpackRecord("bq", bytes, values));
    EXPECT_TRUE(PackRecord("b3sw", bytes, values));

    // What was packed before the bad letter stays written.
    std::vector<uint8_t> out(2, 0);
    EXPECT_FALSE(PackFields("bx", out, std::vector<int32_t>{0x11, 0x22}));
    EXPECT_EQ(out[0], 0x11);

    // A record longer than the buffer, or more elements than values, fails
    // without writing outside.
    std::vector<uint8_t> shortBuffer(3, 0);
    EXPECT_FALSE(PackFields("d", shortBuffer, std::vector<int32_t>{1}));
    EXPECT_FALSE(UnpackFields("d", shortBuffer, values));
    std::vector<int32_t> oneValue(1, 0);
    EXPECT_FALSE(UnpackFields("q", bytes, oneValue));
    EXPECT_FALSE(PackFields("2b", bytes, oneValue));
}

TEST(PackLanguageErrors, RepeatCountWrapsAtSixteenBits)
{
    // 65537 wraps to 1.
    const auto size = MeasureFormat("65537b");
    ASSERT_TRUE(size);
    EXPECT_EQ(size->bytes, 1u);
}

} // namespace
