// The paged usage screen and part list: 'q' at any prompt ends the screen
// there; the part list pauses after 22 lines and then after every 24.

#include "EngineeringRig.h"
#include "testkit/CapturedOutput.h"
#include "testkit/TextCount.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace
{
const std::string kPrompt = "Press 'Enter' to continue, or 'Q' to quit.\n";

using testkit::CountOf;

// A part list of numbered lines.
class CListedParts : public CReferenceCountImpl, public IEEPROMDatabase
{
public:
    ROMVISE_REFCOUNT_FORWARD
    explicit CListedParts(int lines, std::string tail) : m_lines(lines), m_tail(std::move(tail)) {}
    CEEPROMType GetEEPROMType(uint8_t, uint16_t) override { return {}; }
    void PrintSupportedParts(std::ostream& out) override
    {
        for (int i = 1; i <= m_lines; ++i)
        {
            out << "part " << i << '\n';
        }
        out << m_tail;
    }
    bool ApplyPartParameter(CEEPROMType&, const CsvSettings&, const std::string&,
                            const ParameterSetter&, std::ostream&) override
    {
        return false;
    }
    bool ReadTestPart(CEEPROMType&, const CsvSettings&, std::ostream&) override { return false; }
    bool IsSupported(uint8_t, uint16_t) override { return false; }
    bool AddTestPart(const CsvSettings&, std::ostream&) override { return false; }

private:
    int m_lines;
    std::string m_tail;
};
} // namespace

TEST(UsageScreen, QuitAtEachPromptEndsTheScreenThere)
{
    CEngineeringRig rig({});
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({"--help"});
    // Every prompt answered: the whole screen and how many prompts it has.
    ASSERT_EQ(rig.Run(*app, std::string(40, '\r')), 5);
    const std::string whole = rig.out;
    const size_t prompts = CountOf(whole, kPrompt);
    ASSERT_GE(prompts, 4u);
    EXPECT_NE(whole.find("-- Supported EEPROM's --"), std::string::npos);

    for (size_t quitAt = 0; quitAt < prompts; ++quitAt)
    {
        SCOPED_TRACE(quitAt);
        ASSERT_EQ(rig.Run(*app, std::string(quitAt, '\r') + "q"), 5);
        EXPECT_EQ(CountOf(rig.out, kPrompt), quitAt + 1);
        // Nothing follows the prompt that was answered with 'q'.
        EXPECT_TRUE(rig.out.ends_with(kPrompt)) << rig.out;
        EXPECT_TRUE(whole.starts_with(rig.out));
    }
    ASSERT_EQ(rig.Run(*app, "q"), 5);
    EXPECT_EQ(rig.out.find("Update Varnex firmware:"), std::string::npos);
    EXPECT_NE(rig.out.find("-- Primary Commands --\nUpdate VBIOS firmware:           romvise_eng "
                           "[options] <filename>\n"),
              std::string::npos)
        << rig.out;
    ASSERT_EQ(rig.Run(*app, "\rq"), 5);
    EXPECT_NE(rig.out.find("Skip PCI access for merger IR.   romvise_eng [options] --romin"),
              std::string::npos);
    EXPECT_EQ(rig.out.find("-- Commands and Options --"), std::string::npos);
}

// Each option has one row with its help; the commands among them too.
TEST(UsageScreen, EachOptionHasOneHelpRow)
{
    CEngineeringRig rig({});
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({"--help"});
    ASSERT_EQ(rig.Run(*app, std::string(40, '\r')), 5);
    const std::string screen = rig.out;
    EXPECT_EQ(CountOf(screen, "\noverridetype "), 1u) << screen;
    for (const std::string help :
         {"Allow a device ID mismatch (asks for YES); with --proggmac, the image's.\n",
          "Verify the adapter's firmware against the file's image.\n",
          "Flash only the file's IFR segment (with --verify: verify it).\n",
          "Write this run's log to a file at every message.\n"})
    {
        EXPECT_EQ(CountOf(screen, help), 1u) << help;
    }
    EXPECT_EQ(CountOf(screen, "\nverify "), 1u);
    EXPECT_EQ(CountOf(screen, "\nifronly "), 1u);
}

TEST(UsageScreen, PartListPausesAfter22LinesThenEvery24)
{
    struct Case
    {
        int lines;
        std::string tail;
        std::vector<int> linesBeforePrompts;
    };
    const std::vector<Case> cases = {
        {10, "", {}},
        {22, "", {22}},
        {21, "last without line end", {}},
        {23, "last without line end", {22}},
        {60, "", {22, 24}},
        {70, "", {22, 24, 24}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.lines);
        CEngineeringRig rig({});
        std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({});
        rig.Type(std::string(10, '\r'));
        std::string text;
        {
            testkit::CCapturedOutput shown;
            app->ListSupportedEEPROMs(CRefPtr<IEEPROMDatabase>(new CListedParts(c.lines, c.tail)));
            text = shown.Text();
        }
        ASSERT_TRUE(text.starts_with(kPrompt + "-- Supported EEPROM's --\n")) << text;
        text = text.substr(kPrompt.size() + 25);
        std::vector<int> linesBeforePrompts;
        int lines = 0;
        std::istringstream reader(text);
        for (std::string line; std::getline(reader, line);)
        {
            if (line + "\n" == kPrompt)
            {
                linesBeforePrompts.push_back(lines);
                lines = 0;
            }
            else
            {
                ++lines;
            }
        }
        EXPECT_EQ(linesBeforePrompts, c.linesBeforePrompts);
        EXPECT_TRUE(Contains(text, "part " + std::to_string(c.lines) + "\n" + c.tail)) << text;
    }
    // 'q' at a pause stops the list.
    CEngineeringRig rig({});
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({});
    rig.Type("\rq");
    std::string text;
    {
        testkit::CCapturedOutput shown;
        app->ListSupportedEEPROMs(CRefPtr<IEEPROMDatabase>(new CListedParts(60, "")));
        text = shown.Text();
    }
    EXPECT_TRUE(text.ends_with("part 22\n" + kPrompt)) << text;
}

// Written to a file or a pager, or read from a file, the screen runs through
// without a prompt and reads no key.
TEST(UsageScreen, RunsThroughWithoutAPersonAtATerminal)
{
    CEngineeringRig rig({});
    std::unique_ptr<CTestRomviseApp> app = rig.MakeApp({"--help"});
    rig.console->interactive = false;
    ASSERT_EQ(rig.Run(*app, "qq"), 5);
    EXPECT_EQ(CountOf(rig.out, kPrompt), 0u) << rig.out;
    EXPECT_TRUE(Contains(rig.out, "Update Varnex firmware:"));
    EXPECT_TRUE(Contains(rig.out, "-- Commands and Options -- "));
    EXPECT_TRUE(Contains(rig.out, "-- Supported EEPROM's --"));
    EXPECT_EQ(rig.console->keys.size(), 2u);
}
