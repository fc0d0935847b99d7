// romvise's usage screen written to a file: every page, the option list and
// the part list run through without a prompt, byte for byte as the screens
// kept in tests/e2e/screens show them.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
std::string ReadScreen(const std::string& name)
{
    std::ifstream file(std::string(ROMVISE_SCREENS_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The kept screen with the programs' version in place of its marker.
std::string ExpectedScreen(const std::string& name)
{
    std::string screen = ReadScreen(name);
    const std::string marker = "@VERSION@";
    const size_t at = screen.find(marker);
    if (at != std::string::npos)
    {
        screen.replace(at, marker.size(), PROJECT_VERSION_TEXT);
    }
    return screen;
}
} // namespace

TEST(UsageScreenRun, EveryPageByteForByte)
{
    const std::string help = ExpectedScreen("romvise-help.txt");
    ASSERT_FALSE(help.empty());
    struct Case
    {
        const char* arguments;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"--help", help},
        {"", help},
        {"--help pp", help + ReadScreen("romvise-help-pp-tail.txt")},
    };
    CProgramFolder folder;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        const ProgramResult result = folder.Romvise(c.arguments, "q");
        EXPECT_EQ(result.exitCode, 5);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}
