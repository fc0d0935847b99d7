#include "core/UserInterface.h"
#include "core/CommandLine.h"
#include "core/CrossPlatformImpl.h"
#include "core/UserInterfaceCmdLineImpl.h"

#include <gtest/gtest.h>

#include <array>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/support/FakePlatform.h"

namespace
{
// A console user interface with sound and progress beeps on, writing into
// strings, over the fake platform.
struct UserInterfaceFixture : ::testing::Test
{
    CRefPtr<IUserInterface> Make(bool lights, bool sound, bool beep)
    {
        return CreateUserInterface(lights, sound, beep, out, err);
    }

    CFakePlatform fakes;
    std::ostringstream out;
    std::ostringstream err;
    CRefPtr<IUserInterface> ui = Make(true, true, true);
};

std::string DotPositions(IUserInterface& ui, std::ostringstream& err, int from, int to, int end,
                         int total, int operation)
{
    std::string positions;
    for (int position = from; position <= to; ++position)
    {
        const size_t before = err.str().size();
        ui.ShowProgress(position, end, total, operation);
        if (err.str().size() != before)
        {
            positions += std::to_string(position) + " ";
        }
    }
    return positions;
}
} // namespace

TEST_F(UserInterfaceFixture, MessageLayoutsByKind)
{
    struct Case
    {
        int kind;
        const char* expected;
        uint64_t pause;
    };
    const Case cases[] = {
        {0, "Erasing EEPROM...\n", 0},      {1, "Erasing EEPROM\n", 0},
        {2, "Erasing EEPROM", 0},           {3, "NOTE: Erasing EEPROM\n", 0},
        {4, "Erasing EEPROM\n\n", 3000000}, {5, "\nWARNING: Erasing EEPROM\n\n", 0},
        {6, "Erasing EEPROM\n", 0},         {-1, "Erasing EEPROM\n", 0},
    };
    for (const Case& c : cases)
    {
        out.str("");
        const uint64_t start = fakes.clock->now;
        ui->ShowMessage(c.kind, "Erasing EEPROM");
        EXPECT_EQ(out.str(), c.expected) << "kind " << c.kind;
        EXPECT_EQ(fakes.clock->now - start, c.pause) << "kind " << c.kind;
    }
    EXPECT_EQ(err.str(), "");
}

TEST_F(UserInterfaceFixture, ConfirmAcceptsOnlyYOrTheTypedWordYes)
{
    struct Case
    {
        bool typed;
        std::optional<std::string> input; // empty: end of input
        bool agreed;
    };
    // Enter comes first: after an answer the next read would take it for
    // the line end typed with that answer.
    const Case cases[] = {
        {false, "\n", false}, {false, "y", true},           {false, "Y", true},
        {false, "n", false},  {false, std::nullopt, false}, {true, "YES", true},
        {true, "yes", false}, {true, "Yes", false},         {true, "YES!", false},
        {true, "", false},    {true, std::nullopt, false},
    };
    for (const Case& c : cases)
    {
        fakes.console->keys.clear();
        fakes.console->lines.clear();
        if (c.input && c.typed)
        {
            fakes.console->lines.push_back(*c.input);
        }
        else if (c.input)
        {
            fakes.console->keys.push_back(static_cast<unsigned char>((*c.input)[0]));
        }
        out.str("");
        const std::string label = (c.typed ? "line " : "key ") + c.input.value_or("<end>");
        EXPECT_EQ(ui->Confirm(c.typed, "Erase the EEPROM? "), c.agreed) << label;
        EXPECT_EQ(out.str(), "WARNING: Erase the EEPROM? \n") << label;
    }
    // A key prompt reads one key with echo, a typed prompt one line.
    EXPECT_EQ(fakes.console->keysWithEcho, 5);
    EXPECT_EQ(fakes.console->keysWithoutEcho, 0);
    EXPECT_EQ(fakes.console->linesRead, 6);
}

TEST_F(UserInterfaceFixture, DotEveryTenthOfTheTotal)
{
    EXPECT_EQ(DotPositions(*ui, err, 0, 50, 50, 50, 1), "0 5 10 15 20 25 30 35 40 45 50 ");
    EXPECT_EQ(fakes.tones->played.size(), 11u); // a click with each dot
    EXPECT_EQ(fakes.tones->played[0].size(), 110u);
}

TEST_F(UserInterfaceFixture, DotEvery32BlocksAfterWhichEverySecondCallAndAtTheEnd)
{
    const std::string dots = DotPositions(*ui, err, 0, 768, 768, 768, 3);
    std::string expected;
    for (int position = 32; position <= 768; position += 2)
    {
        expected += std::to_string(position) + " ";
    }
    EXPECT_EQ(dots, expected);

    // A fresh run of 10 blocks: nothing until the last one.
    CRefPtr<IUserInterface> fresh = Make(true, true, true);
    err.str("");
    EXPECT_EQ(DotPositions(*fresh, err, 0, 10, 10, 10, 3), "10 ");
}

TEST_F(UserInterfaceFixture, SmallTotalsDoNotDivideByZero)
{
    // A tenth (or 128th) of a small total is zero; each position then counts.
    EXPECT_EQ(DotPositions(*ui, err, 0, 4, 4, 4, 1), "0 1 2 3 4 ");
    EXPECT_NO_THROW(ui->ShowProgress(100, 100, 100, 3));
}

TEST_F(UserInterfaceFixture, DotEveryCallAndNothingForOperationsZeroAndFour)
{
    EXPECT_EQ(DotPositions(*ui, err, 0, 3, 3, 3, 2), "0 1 2 3 ");
    EXPECT_EQ(DotPositions(*ui, err, 0, 3, 3, 3, 0), "");
    EXPECT_EQ(DotPositions(*ui, err, 0, 3, 3, 3, 4), "");
    EXPECT_EQ(out.str(), "");
}

TEST_F(UserInterfaceFixture, EndProgressEndsTheLineUnlessTurnedOff)
{
    for (int operation = 0; operation <= 4; ++operation)
    {
        ui->EndProgress(operation);
    }
    EXPECT_EQ(err.str(), "\n\n\n");
    ui->SetProgressNewline(false);
    ui->EndProgress(3);
    EXPECT_EQ(err.str(), "\n\n\n");
}

TEST_F(UserInterfaceFixture, OutOfRangeCodesAreProgrammingErrors)
{
    const auto expectDomainError = [](auto call, const char* text)
    {
        try
        {
            call();
            ADD_FAILURE() << "no exception for " << text;
        }
        catch (const std::domain_error& error)
        {
            EXPECT_STREQ(error.what(), text);
        }
    };
    expectDomainError([&] { ui->ShowProgress(0, 1, 1, 5); }, "Invalid progress operation");
    expectDomainError([&] { ui->ShowProgress(0, 1, 1, -1); }, "Invalid progress operation");
    expectDomainError([&] { ui->EndProgress(7); }, "Invalid progress operation");
    expectDomainError([&] { ui->ReportErrorLevel(3); }, "Invalid error level reported");
    expectDomainError([&] { ui->Signal(3); }, "Invalid signal type");
}

TEST_F(UserInterfaceFixture, ErrorLevelsBeepOneToThreeTimesWithPauses)
{
    ui->ReportErrorLevel(2);
    ASSERT_EQ(fakes.tones->played.size(), 3u);
    EXPECT_EQ(fakes.tones->played[0].size(), 220u); // 10 ms
    EXPECT_EQ(fakes.clock->waits, (std::vector<uint64_t>{300000, 300000, 300000}));

    ui->Signal(0);
    ui->Signal(1);
    ui->Signal(2);
    ASSERT_EQ(fakes.tones->played.size(), 5u);
    EXPECT_EQ(fakes.tones->played[3].size(), 1323u); // 60 ms start tone
    EXPECT_EQ(fakes.tones->played[4].size(), 220u);  // 10 ms end tone
}

TEST_F(UserInterfaceFixture, SoundOffPlaysNothingAndBeepsNeedSound)
{
    CRefPtr<IUserInterface> quiet = Make(true, false, true);
    quiet->ReportErrorLevel(2);
    quiet->Signal(0);
    quiet->Signal(2);
    quiet->ShowProgress(0, 1, 1, 2);
    EXPECT_TRUE(fakes.tones->played.empty());
    EXPECT_TRUE(fakes.clock->waits.empty());

    // Sound on without the beep option: tones, but no progress clicks.
    CRefPtr<IUserInterface> noClicks = Make(true, true, false);
    noClicks->ShowProgress(0, 1, 1, 2);
    EXPECT_TRUE(fakes.tones->played.empty());
    noClicks->Signal(2);
    EXPECT_EQ(fakes.tones->played.size(), 1u);
}

TEST(UserInterfaceSingleton, OptionsFromTheCommandLine)
{
    CFakePlatform fakes;
    const OptionDescriptor table[] = {
        {"silence", 's', 1, "", ""},
        {"nolight", ' ', 0, "", ""},
        {"beep", ' ', 0, "", ""},
    };
    char program[] = "romvise";
    char silence[] = "-s0";
    char* argv[] = {program, silence};
    ICommandLine::Create(static_cast<int>(std::size(table)), table, 2, argv);

    IUserInterface* ui = GetUserInterface();
    EXPECT_EQ(GetUserInterface(), ui);
    // Any value of silence turns the sound off.
    ui->ReportErrorLevel(1);
    ui->Signal(0);
    EXPECT_TRUE(fakes.tones->played.empty());
}

namespace
{
// The operating-system layer over the fakes, with keyboard lights that can be
// read and that record every setting.
class CLightsPlatform : public CCrossPlatformImpl
{
public:
    using CCrossPlatformImpl::CCrossPlatformImpl;
    void SetKeyboardLights(uint8_t light0, uint8_t light1, uint8_t light2) override
    {
        settings.push_back({light0, light1, light2});
    }
    bool GetKeyboardLight(int32_t index) override
    {
        ++reads;
        return lights.at(static_cast<size_t>(index));
    }

    std::array<bool, 3> lights{};
    int reads = 0;
    std::vector<std::array<uint8_t, 3>> settings;
};
} // namespace

TEST(UserInterfaceLights, ProgressCyclesThePatternAndRestoreSetsTheSavedLights)
{
    using Lights = std::vector<std::array<uint8_t, 3>>;
    CFakePlatform fakes;
    CRefPtr<CLightsPlatform> platform(new CLightsPlatform(fakes.Services()));
    platform->lights = {true, false, true};
    std::ostringstream out;
    std::ostringstream err;
    CRefPtr<IUserInterface> ui(
        new CUserInterfaceCmdLineImpl(platform.get(), true, false, false, out, err));
    EXPECT_EQ(platform->reads, 3);

    for (int position = 0; position < 5; ++position)
    {
        ui->ShowProgress(position, 50, 50, 1);
    }
    EXPECT_EQ(platform->settings, (Lights{{0, 1, 0}, {1, 0, 0}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}}));

    // The start signal saves the lights as they are now; restore puts them back.
    platform->lights = {false, true, true};
    ui->Signal(0);
    EXPECT_EQ(platform->reads, 6);
    platform->settings.clear();
    ui->Signal(1);
    EXPECT_EQ(platform->settings, (Lights{{0, 1, 1}}));

    // With the lights off they are read but never set.
    platform->settings.clear();
    CRefPtr<IUserInterface> dark(
        new CUserInterfaceCmdLineImpl(platform.get(), false, false, false, out, err));
    EXPECT_EQ(platform->reads, 9);
    dark->ShowProgress(0, 50, 50, 1);
    dark->ShowProgress(0, 50, 50, 2);
    dark->Signal(1);
    EXPECT_TRUE(platform->settings.empty());
}
