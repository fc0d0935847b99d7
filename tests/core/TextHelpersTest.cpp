#include "core/TextHelpers.h"
#include "core/Exceptions.h"

#include <gtest/gtest.h>

TEST(TextHelpers, HexAndNumberFormatting)
{
    struct Case
    {
        uint32_t value;
        uint32_t digits;
        const char* hex;
    };
    const Case hexCases[] = {
        {0x1234, 2, "1234"},          {0x2A, 4, "002A"},       {0, 1, "0"}, {0, 0, ""},
        {0xFFFFFFFF, 12, "FFFFFFFF"}, {0xABCDEF, 0, "ABCDEF"},
    };
    for (const Case& c : hexCases)
    {
        EXPECT_EQ(ToHex(c.value, c.digits), c.hex) << c.value << "/" << c.digits;
    }
    EXPECT_EQ(ToHexString(0x10, 4), "0x0010");

    struct WideCase
    {
        uint64_t value;
        uint32_t digits;
        HexCase letters;
        const char* hex;
    };
    const WideCase wideCases[] = {
        {0x1122334455667788ull, 4, HexCase::Upper, "0x1122334455667788"},
        {0, 1, HexCase::Upper, "0x0"},
        {0xABCull, 20, HexCase::Upper, "0x0000000000000ABC"},
        {0xC0FFEEull, 8, HexCase::Lower, "0x00c0ffee"},
    };
    for (const WideCase& c : wideCases)
    {
        EXPECT_EQ(ToHexString64(c.value, c.digits, c.letters), c.hex) << c.value << "/" << c.digits;
    }

    EXPECT_EQ(FormatNumber(7, 3), "007");
    EXPECT_EQ(FormatNumber(12345, 3), "12345");
    EXPECT_EQ(FormatNumber(0, 0), "0");
    EXPECT_EQ(FormatNumber(4294967295u, 12), "004294967295");
}

TEST(TextHelpers, Splitting)
{
    using Pieces = std::vector<std::string>;
    struct Case
    {
        std::string text;
        std::string delimiter;
        Pieces pieces;
    };
    const Case atDelimiter[] = {
        {"a,b", ",", {"a", "b"}},
        {"a,,b,", ",", {"a", "", "b", ""}},
        {"", ",", {""}},
        {"x", ",", {"x"}},
        {"a\nb\n", "\n", {"a", "b", ""}},
        {"1<>2<>", "<>", {"1", "2", ""}},
    };
    for (const Case& c : atDelimiter)
    {
        Pieces pieces{"kept"};
        SplitAtDelimiter(c.text, c.delimiter, pieces);
        Pieces expected{"kept"};
        expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(pieces, expected) << c.text;
    }

    const Case atCharacter[] = {
        {"0:1:0.0", ":", {"0", "1", "0.0"}},
        {"10", ":", {}},
        {":", ":", {"", ""}},
        {"", ":", {}},
    };
    for (const Case& c : atCharacter)
    {
        Pieces pieces{"stale"};
        SplitString(c.text, c.delimiter[0], pieces);
        // Without a delimiter the list is emptied, stale entries included.
        Pieces expected = c.pieces.empty() ? Pieces{} : Pieces{"stale"};
        expected.insert(expected.end(), c.pieces.begin(), c.pieces.end());
        EXPECT_EQ(pieces, expected) << c.text;
    }
}

TEST(TextHelpers, Trimming)
{
    EXPECT_EQ(TrimWhitespace("  a b \t"), "a b");
    EXPECT_EQ(TrimWhitespace("   "), "");
    EXPECT_EQ(TrimWhitespace(""), "");
    EXPECT_EQ(TrimWhitespace("\r\n\v\fx\r\n"), "x");
}

TEST(Exceptions, CarryTheUserText)
{
    EXPECT_STREQ(io_error("Cannot open file: x").what(), "Cannot open file: x");
    const std::runtime_error& asRuntime = user_abort_error("User aborted");
    EXPECT_STREQ(asRuntime.what(), "User aborted");
    const environment_error environment("no power");
    const std::exception& base = environment;
    EXPECT_STREQ(base.what(), "no power");
    EXPECT_EQ(dynamic_cast<const std::runtime_error*>(&base), nullptr);
}
