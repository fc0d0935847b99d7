#include "core/CommandLine.h"
#include "core/Singleton.h"
#include "tests/support/FakePlatform.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace
{
// The packaged updater's five options, plus a three-value option and the
// engineering readers' options for the typed-reader tables.
const OptionDescriptor kTable[] = {
    {"silence", 's', 1, "", ""},
    {"log", 'L', 1, "", ""},
    {"backup", 'b', 1, "", ""},
    {"restore", 'r', 1, "", ""},
    {"offswdriver", 'S', 0, "", "Turn off automatic switch driver state."},
    {"x", ' ', 3, "", ""},
    {"pci", ' ', 1, "", ""},
    {"reg", ' ', 1, "", ""},
    {"tune", ' ', 1, "", ""},
    {"data", ' ', 8, "", ""},
};

class CommandLineTest : public ::testing::Test
{
protected:
    void TearDown() override { ReleaseSingletons(); }

    ICommandLine* Parse(std::vector<std::string> arguments)
    {
        m_storage = std::move(arguments);
        m_storage.insert(m_storage.begin(), "romuvise");
        m_argv.clear();
        for (auto& argument : m_storage)
        {
            m_argv.push_back(argument.data());
        }
        return ICommandLine::Create(std::size(kTable), kTable, static_cast<int>(m_argv.size()),
                                    m_argv.data());
    }

    // "name=v1|v2;name2=..." in map order, for compact expectations.
    static std::string Recorded(ICommandLine* line)
    {
        std::string text;
        for (const auto& [name, values] : line->GetOptions())
        {
            text += (text.empty() ? "" : ";") + name + "=";
            for (size_t i = 0; i < values.size(); ++i)
            {
                text += (i ? "|" : "") + values[i];
            }
        }
        return text;
    }

private:
    std::vector<std::string> m_storage;
    std::vector<char*> m_argv;
};
} // namespace

TEST_F(CommandLineTest, GetInstanceBeforeCreateThrows)
{
    try
    {
        ICommandLine::GetInstance();
        FAIL() << "expected an exception";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "Error: No instance with CommandLine interface");
    }
}

TEST_F(CommandLineTest, ParseTable)
{
    struct Case
    {
        std::vector<std::string> arguments;
        std::string recorded;
        bool stopped;
        std::vector<std::string> plain;
        std::string unknown = ""; // the word that stopped the parse
    };
    const Case cases[] = {
        {{"--log=x.txt"}, "log=x.txt", false, {}},
        {{"--log", "x.txt"}, "log=x.txt", false, {}},
        {{"-Lx.txt"}, "log=x.txt", false, {}},
        {{"-L", "x.txt"}, "log=x.txt", false, {}},
        {{"/L", "x.txt"}, "log=x.txt", false, {}},
        {{"/Lx.txt"}, "log=x.txt", false, {}},
        {{"/S", "/s", "3"}, "offswdriver=;silence=3", false, {}},
        {{"--log=a,b"}, "log=a", false, {}},
        {{"--log=", "y"}, "log=y", false, {}},
        {{"--log", "y"}, "log=y", false, {}},
        {{"--log=", "-s", "3"}, "log=;silence=3", false, {}},
        {{"--log"}, "log=", false, {}},
        {{"--log", "/tmp"}, "log=/tmp", false, {}},
        {{"--log", ""}, "log=", false, {}},
        {{"--offswdriver=x"}, "offswdriver=", false, {}},
        {{"--x=a,b", "c"}, "x=a|b|c", false, {}},
        {{"--x=a,,b"}, "x=a||b", false, {}},
        {{"-s", "3", "-L", "run.log"}, "log=run.log;silence=3", false, {}},
        {{"--frobnicate=1", "-s", "3"}, "", true, {}, "--frobnicate=1"},
        {{"x", "-s", "3", "-", "-L", "y"}, "silence=3", true, {"x"}, "-"},
        {{"-log", "x"}, "", true, {}, "-log"},
        {{"-q"}, "", true, {}, "-q"},
        {{"--"}, "", true, {}, "--"},
        // A word that begins with '/' and is not '/' and a letter of the
        // table (a flag's letter taking nothing after it) is a path.
        {{"-s", "3", "/"}, "silence=3", false, {"/"}},
        {{"/home/me/new.rom", "-S"}, "offswdriver=", false, {"/home/me/new.rom"}},
        {{"/Sx", "/q", "/-x"}, "", false, {"/Sx", "/q", "/-x"}},
    };
    for (const Case& c : cases)
    {
        ICommandLine* line = Parse(c.arguments);
        std::string joined;
        for (const auto& a : c.arguments)
        {
            joined += "[" + a + "]";
        }
        SCOPED_TRACE(joined);
        EXPECT_EQ(Recorded(line), c.recorded);
        EXPECT_EQ(line->HasError(), c.stopped);
        EXPECT_EQ(line->GetPlainArguments(), c.plain);
        EXPECT_EQ(line->GetUnknownWord(), c.unknown);
    }
}

TEST_F(CommandLineTest, QueriesOverOccurrences)
{
    ICommandLine* line = Parse({"-b", "d1", "-b", "d2", "-s", "3", "--backup"});
    EXPECT_EQ(line, ICommandLine::GetInstance());
    EXPECT_EQ(line->GetOccurrenceCount("backup"), 3);
    EXPECT_EQ(line->GetOptionCount(), 4);
    EXPECT_EQ(line->GetValue("backup", 1, 0), "d2");
    EXPECT_EQ(line->GetValue("backup", 2, 0), "");
    EXPECT_EQ(line->GetValue("backup", 3, 0), "");
    EXPECT_EQ(line->GetValue("backup", 0, 1), "");
    EXPECT_EQ(line->GetValueDec("silence", 0, 0), 3u);
    EXPECT_TRUE(line->IsSet("backup"));
    EXPECT_FALSE(line->IsSet("restore"));

    EXPECT_TRUE(line->RemoveOption("backup", 0));
    EXPECT_EQ(line->GetValue("backup", 0, 0), "d2");
    EXPECT_FALSE(line->RemoveOption("backup", 5));
    line->AddOption("backup", {"d3"});
    EXPECT_EQ(line->GetValue("backup", 2, 0), "d3");
    line->AddOption("reg", {"0x1F"});
    EXPECT_EQ(line->GetValueHex("reg", 0, 0), 0x1Fu);
}

TEST_F(CommandLineTest, CreateReplacesTheHeldInstance)
{
    Parse({"-s", "3"});
    ICommandLine* second = Parse({"-L", "a"});
    EXPECT_EQ(ICommandLine::GetInstance(), second);
    EXPECT_FALSE(second->IsSet("silence"));
}

TEST_F(CommandLineTest, PciAddressTable)
{
    struct Case
    {
        const char* value;
        PciAddress expected;
        const char* error;
    };
    const Case cases[] = {
        {"3", {0, 3, -1, -1}, nullptr},
        {"0:1:0.0", {0, 1, 0, 0}, nullptr},
        {"0:1:1f", {0, 1, 0x1F, -1}, nullptr},
        {"1:2", {1, 2, -1, -1}, nullptr},
        {"0:1:2.3.4", {0, 1, -1, -1}, nullptr},
        {"0:100", {}, " Invalid PCI bus number"},
        {"10000:1", {}, " Invalid PCI segment number"},
        {"0:1:20.0", {}, " Invalid device number"},
        {"0:1:0.8", {}, " Invalid function number"},
        {"0:1:-1", {}, " Invalid device number"},
        {"0:zz", {}, " Invalid PCI bus number"},
        {"0:1z", {}, " Invalid PCI bus number"},
        {"x:1", {}, " Invalid PCI segment number"},
        {"0:1:0.f", {}, " Invalid function number"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.value);
        ICommandLine* line = Parse({std::string("--pci=") + c.value});
        PciAddress address{};
        if (c.error)
        {
            try
            {
                line->GetPCIAddress("pci", 0, 0, &address);
                ADD_FAILURE() << "expected an exception";
            }
            catch (const std::runtime_error& error)
            {
                EXPECT_STREQ(error.what(), c.error);
            }
            continue;
        }
        line->GetPCIAddress("pci", 0, 0, &address);
        EXPECT_EQ(address.segment, c.expected.segment);
        EXPECT_EQ(address.bus, c.expected.bus);
        EXPECT_EQ(address.device, c.expected.device);
        EXPECT_EQ(address.function, c.expected.function);
    }

    PciAddress absent{1, 1, 1, 1};
    Parse({})->GetPCIAddress("pci", 0, 0, &absent);
    EXPECT_EQ(absent.segment, -1);
    EXPECT_EQ(absent.function, -1);
}

TEST(ReadWholeNumber, TakesOnlyWholeNumbersOfTheBaseWithinTheLimit)
{
    struct Case
    {
        const char* text;
        int base;
        uint32_t limit;
        std::optional<uint32_t> expected;
    };
    const Case cases[] = {
        {"0", 10, 5, 0},
        {"5", 10, 5, 5},
        {"6", 10, 5, std::nullopt},
        {"abc", 10, 100, std::nullopt},
        {"12abc", 10, 100, std::nullopt},
        {"", 10, 100, std::nullopt},
        {"-1", 10, 100, std::nullopt},
        {"+1", 10, 100, std::nullopt},
        {" 1", 10, 100, std::nullopt},
        {"0x10", 10, 100, std::nullopt},
        {"FfFf", 16, 0xFFFF, 0xFFFF},
        {"0x1F", 16, 0xFF, 0x1F},
        {"0X1F", 16, 0xFF, 0x1F},
        {"0x", 16, 0xFF, std::nullopt},
        {"10000", 16, 0xFFFF, std::nullopt},
        {"FFFFFFFF", 16, 0xFFFFFFFF, 0xFFFFFFFF},
        {"100000000", 16, 0xFFFFFFFF, std::nullopt},
        {"99999999999999999999", 10, 0xFFFFFFFF, std::nullopt},
        {"g", 16, 0xFF, std::nullopt},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadWholeNumber(c.text, c.base, c.limit), c.expected);
    }
}

TEST_F(CommandLineTest, RegisterSpecTable)
{
    struct Case
    {
        const char* value;
        bool ok;
        RegisterSpec expected;
    };
    const Case cases[] = {
        {"10.D=AB:F0", true, {0x10, 4, 1, 0xAB, 0xF0}},
        {"12.w", true, {0x12, 2, -1, 0, 0}},
        {"FFC.d", true, {0xFFC, 4, -1, 0, 0}},
        {"3C.B=5A:0F", true, {0x3C, 1, 1, 0x5A, 0x0F}},
        {"10.W=FFFF:0x00FF", true, {0x10, 2, 1, 0xFFFF, 0xFF}},
        // Unaligned offsets and values or masks wider than the register are
        // refused rather than rounded or cut.
        {"13.w", false, {}},
        {"3D.W", false, {}},
        {"12.d", false, {}},
        {"10.B=1FF:1", false, {}},
        {"10.B=1:1FF", false, {}},
        {"10.W=1:12345", false, {}},
        {"10.B=zz", false, {}},
        {"10.B=1:", false, {}},
        {"10.B=1:2:3", false, {}},
        {"1z.B", false, {}},
        // The first letter after the '.' is the width.
        {"3C.Byte", true, {0x3C, 1, -1, 0, 0}},
        {"3C.Word=1234", true, {0x3C, 2, 1, 0x1234, 0xFFFF}},
        {"10.xB", false, {}},
        {"10.b=5", true, {0x10, 1, 1, 5, 0xFF}},
        {"10.D=5", true, {0x10, 4, 1, 5, 0xFFFFFFFF}},
        {"10.Q", false, {}},
        {"1000.B", false, {}},
        {"10010.B", false, {}}, // not wrapped to 0x10
        {"10.B=", false, {}},
        {"10.", false, {}},
        {"10", false, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.value);
        ICommandLine* line = Parse({std::string("--reg=") + c.value});
        RegisterSpec spec{};
        ASSERT_EQ(line->GetRegisterSpec("reg", 0, 0, &spec), c.ok);
        if (!c.ok)
        {
            continue;
        }
        EXPECT_EQ(spec.offset, c.expected.offset);
        EXPECT_EQ(spec.width, c.expected.width);
        EXPECT_EQ(spec.access, c.expected.access);
        EXPECT_EQ(spec.value, c.expected.value);
        EXPECT_EQ(spec.mask, c.expected.mask);
    }

    RegisterSpec spec{7, 7, 7, 7, 7};
    EXPECT_TRUE(Parse({})->GetRegisterSpec("reg", 0, 0, &spec));
    EXPECT_EQ(spec.access, 0);
    EXPECT_FALSE(Parse({"--reg"})->GetRegisterSpec("reg", 0, 0, &spec));
}

TEST_F(CommandLineTest, RegisterFieldSpecTable)
{
    struct Case
    {
        const char* value;
        bool ok;
        uint32_t reg;
        uint8_t msb;
        uint8_t lsb;
        uint32_t value32;
        int32_t kind;
    };
    const Case cases[] = {
        {"88[7:4]=3", true, 0x88, 7, 4, 3, TuneSpec::Assign},
        {"88+=10", true, 0x88, 255, 255, 0x10, TuneSpec::Add},
        {"88[3:3]-=1", true, 0x88, 3, 3, 1, TuneSpec::Subtract},
        {"88=1F", true, 0x88, 255, 255, 0x1F, TuneSpec::Assign},
        {"88", true, 0x88, 255, 255, 0, TuneSpec::Read},
        {"88[4:7]=1", false, 0, 0, 0, 0, 0},
        {"88[32:0]=1", false, 0, 0, 0, 0, 0},
        {"88[263:0]=1", false, 0, 0, 0, 0, 0}, // not wrapped to 7
        {"88[7:263]=1", false, 0, 0, 0, 0, 0},
        {"0=5", false, 0, 0, 0, 0, 0},
        {"88+-=1", false, 0, 0, 0, 0, 0},
        {"8+8+=1", false, 0, 0, 0, 0, 0},
        {"88[=1", false, 0, 0, 0, 0, 0},
        {"88[7]=1", false, 0, 0, 0, 0, 0},
        {"88[7:]=1", true, 0x88, 7, 0, 1, TuneSpec::Assign}, // an empty lsb reads as 0
        {"88[7:4=1", false, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.value);
        ICommandLine* line = Parse({std::string("--tune=") + c.value});
        TuneSpec spec{};
        ASSERT_EQ(line->GetRegisterFieldSpec("tune", 0, 0, &spec), c.ok);
        if (!c.ok)
        {
            continue;
        }
        EXPECT_EQ(spec.reg, c.reg);
        EXPECT_EQ(spec.msb, c.msb);
        EXPECT_EQ(spec.lsb, c.lsb);
        EXPECT_EQ(spec.value, c.value32);
        EXPECT_EQ(spec.kind, c.kind);
    }
    TuneSpec absent{};
    EXPECT_TRUE(Parse({})->GetRegisterFieldSpec("tune", 0, 0, &absent));
    EXPECT_EQ(absent.kind, TuneSpec::Absent);
}

TEST_F(CommandLineTest, ValuePairAndHexList)
{
    TuneSpec spec{};
    ICommandLine* line = Parse({"--data=2,10,20"});
    ASSERT_TRUE(line->GetValuePair("data", 0, 0, &spec));
    EXPECT_EQ(spec.id, 2);
    EXPECT_EQ(spec.kind, TuneSpec::DataIdWithData);
    EXPECT_EQ(spec.dataLength, 8);
    uint32_t words[2] = {};
    ASSERT_TRUE(line->GetHexList("data", 0, &spec, words));
    EXPECT_EQ(words[0], 0x10u);
    EXPECT_EQ(words[1], 0x20u);

    line = Parse({"--data=2:2,10,20"});
    ASSERT_TRUE(line->GetValuePair("data", 0, 0, &spec));
    EXPECT_EQ(spec.dataLength, 4);
    uint16_t halves[2] = {};
    ASSERT_TRUE(line->GetHexList("data", 0, &spec, halves));
    EXPECT_EQ(halves[0], 0x10);
    EXPECT_EQ(halves[1], 0x20);

    line = Parse({"--data=2:3,10"});
    ASSERT_TRUE(line->GetValuePair("data", 0, 0, &spec));
    uint8_t bytes[3] = {};
    EXPECT_FALSE(line->GetHexList("data", 0, &spec, bytes)); // no 3-byte elements

    line = Parse({"--data=7"});
    ASSERT_TRUE(line->GetValuePair("data", 0, 0, &spec));
    EXPECT_EQ(spec.kind, TuneSpec::DataIdOnly);
    EXPECT_FALSE(line->GetHexList("data", 0, &spec, bytes)); // no data: no element size

    EXPECT_FALSE(Parse({"--data=300,1"})->GetValuePair("data", 0, 0, &spec)); // not wrapped
    EXPECT_FALSE(Parse({})->GetValuePair("data", 0, 0, &spec));
}

TEST_F(CommandLineTest, UsageLines)
{
    std::ostringstream out;
    EXPECT_FALSE(Parse({})->PrintUsage(&out, false, 0, "", ""));
    EXPECT_EQ(out.str(), "offswdriver S  Turn off automatic switch driver state.\n");

    const OptionDescriptor table[] = {
        {"first", 'f', 1, "<n>", "One.\nTwo.\n<Flush left."},
        {"hidden", 'h', 0, "", ""},
        {"second", ' ', 0, "", "Three."},
        {"third", 0, 0, "", "Four."},
    };
    char program[] = "romvise";
    char* argv[] = {program};
    ICommandLine* line = ICommandLine::Create(std::size(table), table, 1, argv);

    out.str("");
    line->PrintUsage(&out, false, 0, "", "");
    EXPECT_EQ(out.str(), "first  f <n> One.\n"
                         "             Two.\n"
                         "Flush left.\n"
                         "second       Three.\n"
                         "third        Four.\n");

    out.str("");
    line->PrintUsage(&out, false, 0, "second", "second");
    EXPECT_EQ(out.str(), "second       Three.\n");

    out.str("");
    line->PrintUsage(&out, false, 0, "hidden", "");
    EXPECT_EQ(out.str(), "second       Three.\n"
                         "third        Four.\n");
}

TEST_F(CommandLineTest, UsagePagesAfterTwentyTwoLines)
{
    CFakePlatform platform;
    const OptionDescriptor table[] = {
        {"one", 'o', 0, "", "First."},
        {"two", 't', 0, "", "Second."},
    };
    char program[] = "romvise";
    char* argv[] = {program};
    ICommandLine* line = ICommandLine::Create(std::size(table), table, 1, argv);

    // 22 lines already on screen: the prompt comes before the first option.
    platform.console->keys = {'\n', 'q'};
    std::ostringstream out;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(line->PrintUsage(&out, true, 22, "", ""));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Press 'Enter' to continue, or 'Q' to quit.\n");
    EXPECT_EQ(out.str(), "one o  First.\ntwo t  Second.\n");

    out.str("");
    platform.console->keys = {'Q'};
    testing::internal::CaptureStdout();
    EXPECT_TRUE(line->PrintUsage(&out, true, 22, "", ""));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.str(), "");

    // End of input is no quit: the listing goes on.
    out.str("");
    platform.console->keys.clear();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(line->PrintUsage(&out, true, 22, "", ""));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.str(), "one o  First.\ntwo t  Second.\n");
}
