// The packaged updater is built on the engineering flasher's application
// frame but links none of its commands: texts only the engineering commands
// carry are in romvise's binary and not in romuvise's.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

namespace
{
std::string ProgramBytes(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}
} // namespace

TEST(ProgramLinkage, PackagedUpdaterCarriesNoEngineeringCommand)
{
    const std::string engineering = ProgramBytes(ROMVISE_PATH);
    const std::string packaged = ProgramBytes(ROMUVISE_PATH);
    ASSERT_FALSE(engineering.empty());
    ASSERT_FALSE(packaged.empty());
    // A store writer's guard, the GMAC row's usage line, the patch listing's
    // refusal and the word row of the EEPROM write test.
    for (const std::string text : {"Option --romin needs --romout.", "Update MCU firmware:",
                                   "Must specify a specific display adapter.",
                                   "EEPROM write test (passes 0: until it fails)."})
    {
        SCOPED_TRACE(text);
        EXPECT_NE(engineering.find(text), std::string::npos);
        EXPECT_EQ(packaged.find(text), std::string::npos);
    }
}
