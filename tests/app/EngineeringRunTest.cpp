// The engineering run's set-up refusals, its failure report and exit codes,
// and the command chain with its guards.

#include "EngineeringRig.h"

#include "app/engineering/EngineeringCommands.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "flasher/IFlasher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>

namespace
{
class CBeepRecorder : public CReferenceCountImpl, public IUserInterface
{
public:
    ROMVISE_REFCOUNT_FORWARD
    void ShowProgress(int, int, int, int) override {}
    void EndProgress(int) override {}
    void ReportErrorLevel(int level) override { beepLevel = level; }
    void ShowMessage(int, const std::string&) override {}
    bool Confirm(bool, const std::string&) override { return false; }
    void Signal(int) override {}
    void SetProgressNewline(bool) override {}
    int beepLevel = -1;
};

const RigGpu kFirstGpu{1, 0, 0x0800, RigFirmware()};
const RigGpu kSecondGpu{2, 0, 0x0800, RigFirmware()};
} // namespace

TEST(EngineeringSetup, RefusedValuesEndWithFiveBeforeAnyHardware)
{
    struct Case
    {
        std::vector<std::string> words;
        std::string shown;
    };
    const std::string example = "\n\nExample:\n  > romvise_eng ";
    const std::vector<Case> cases = {
        {{"--log"},
         "No filename specified for --log." + example + "--version --log=<FILE_NAME>.log\n"},
        {{"--crashlog"},
         "No filename specified for --crashlog." + example +
             "--version --crashlog=<FILE_NAME>.log\n"},
        {{"--index", "--list"}, "No index number specified." + example + "--index=1 --version\n"},
        {{"--index=abc", "--list"},
         "Invalid value \"abc\" for --index." + example + "--index=1 --version\n"},
        {{"--index=-1", "--list"}, "Invalid value \"-1\" for --index."},
        {{"--index=1x", "--list"}, "Invalid value \"1x\" for --index."},
        {{"--pcisegbus", "--list"},
         "ERROR: Incorrect format with --pcisegbus, the argument should comply\n"
         "       with the <SEG#>:<BUS#>[:<DEV#>.<FUN#>] format.\n\n"
         "Example: Display version when a device match with Segment# = 0 and Bus# = 2.\n"
         "  > romvise_eng --pcisegbus 0:2 --version\n"},
        {{"--pcisegbus", "0:zz", "--list"},
         "Invalid value \"0:zz\" for --pcisegbus." + example + "--pcisegbus 0:2 --version\n"},
        {{"--pcisegbus", "0:100", "--list"}, "Invalid value \"0:100\" for --pcisegbus."},
        {{"--pcisegbus", "0:1:0.9", "--list"}, "Invalid value \"0:1:0.9\" for --pcisegbus."},
        {{"--pcisegbus", "0:1:0.0.1", "--list"}, "Invalid value \"0:1:0.0.1\" for --pcisegbus."},
        {{"--pcisegbus", "0:1:0:0", "--list"}, "Invalid value \"0:1:0:0\" for --pcisegbus."},
        {{"--pcisegbus", "0:1.0", "--list"}, "Invalid value \"0:1.0\" for --pcisegbus."},
        {{"--filterdevid=08g0", "--list"}, "Invalid value \"08g0\" for --filterdevid."},
        {{"--filterdevid=0800,1FFFF", "--list"}, "Invalid value \"1FFFF\" for --filterdevid."},
        {{"--reversefilterid=zz", "--list"}, "Invalid value \"zz\" for --reversefilterid."},
        {{"--fwindex=q", "--version", "a.krr"}, "Invalid value \"q\" for --fwindex."},
        {{"--override=two", "--list"}, "Invalid value \"two\" for --override."},
        {{"image"},
         "Firmware image filename must have a valid extension. ( .rom .krr .efr .efirom )\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.front() + " " + c.shown);
        CEngineeringRig rig({kFirstGpu});
        EXPECT_EQ(rig.Run(c.words), 5);
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
        EXPECT_FALSE(Contains(rig.out, "Korvan display adapters present")) << rig.out;
        EXPECT_EQ(rig.HardwareAccesses(), 0u);
    }
}

TEST(EngineeringSetup, LogFilesThatCannotBeCreatedEndWithThreeBeforeAnyHardware)
{
    for (const std::string word : {"--log=", "--crashlog="})
    {
        SCOPED_TRACE(word);
        CEngineeringRig rig({kFirstGpu});
        const std::string name = rig.folder.Path().string() + "/missing/run.log";
        EXPECT_EQ(rig.Run({word + name, "--list"}), 3);
        EXPECT_EQ(rig.err, "\nI/O ERROR: Cannot open file: " + name + "\n");
        EXPECT_EQ(rig.HardwareAccesses(), 0u);
    }
}

// The crash log holds one run's log: a second run empties it first.
TEST(EngineeringSetup, CrashLogReceivesEveryFlushedMessageOfOneRun)
{
    CEngineeringRig rig({kFirstGpu, kSecondGpu});
    const std::string name = rig.folder.Path().string() + "/crash.log";
    const auto logged = [&]
    {
        std::ifstream file(name);
        return std::string((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(rig.Run({"--crashlog=" + name, "--list"}), 0);
    EXPECT_TRUE(Contains(rig.out, "Generated a log file \"" + name + "\".\n"));
    EXPECT_TRUE(Contains(logged(), "Command: list\n")) << logged();
    EXPECT_TRUE(Contains(logged(), "<1> Korvan Avrel2 800")) << logged();

    EXPECT_EQ(rig.Run({"--crashlog=" + name, "--buildinfo"}), 0);
    EXPECT_TRUE(Contains(logged(), "Command: buildinfo\n")) << logged();
    EXPECT_FALSE(Contains(logged(), "Command: list\n")) << logged();
}

TEST(EngineeringFailures, EachKindHasItsPrefixBeepAndExitCode)
{
    struct Case
    {
        const char* name;
        std::function<void()> raise;
        std::string logged;
        int beep;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {"io", [] { throw io_error("disk"); }, "\nI/O ERROR: disk\n", 2, 3},
        {"domain", [] { throw std::domain_error("d"); }, "\nPROGRAMMING ERROR: d\n", 2, 4},
        {"range", [] { throw std::out_of_range("r"); }, "\nPROGRAMMING ERROR: r\n", 2, 4},
        {"environment", [] { throw environment_error("e"); },
         "\nERROR: e\nNOTE: This program can only be run under DOS.\n", 1, 6},
        {"runtime", [] { throw std::runtime_error("x"); }, "\nERROR: x\n", 1, 2},
        {"abort", [] { throw user_abort_error("Update aborted"); }, "\nERROR: Update aborted\n", 1,
         2},
        {"user", [] { throw user_error("bad"); }, "\nERROR: bad\n", 1, 2},
        {"logic", [] { throw std::logic_error("l"); }, "\nERROR: l\n", 1, 2},
        {"memory", [] { throw std::bad_alloc(); }, "\nERROR: std::bad_alloc\n", 1, 2},
        {"other", [] { throw 7; }, "\nERROR: Unknown failure.\n", 1, 2},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CLog log;
        std::ostringstream console;
        std::ostringstream belowFour;
        CScopedLogSink errorSink(&log, &console, 4, 5);
        CScopedLogSink lowSink(&log, &belowFour, 1, 3);
        CRefPtr<CBeepRecorder> ui(new CBeepRecorder);
        std::exception_ptr failure;
        try
        {
            c.raise();
        }
        catch (...)
        {
            failure = std::current_exception();
        }
        EXPECT_EQ(ReportRunFailure(failure, &log, ui.get()), c.exitCode);
        EXPECT_EQ(console.str(), c.logged);
        EXPECT_EQ(belowFour.str(), "");
        EXPECT_EQ(ui->beepLevel, c.beep);
        EXPECT_EQ(log.GetLevel(), 3);
    }
}

namespace
{
// Takes the display driver of the first adapter away, then fails.
class CFailingApp : public CTestRomviseApp
{
public:
    CFailingApp(int argc, char** argv) : CTestRomviseApp(argc, argv) {}
    std::function<void()> raise;

protected:
    void RunCommand(EngineeringValues& values) override
    {
        DisplayAdapterList adapters;
        EnumerateAdapters(adapters, GetPCIBus(), values.adapters, {}, false, false, values.log,
                          false);
        values.flasher->DisableDisplayDriver(adapters.front(), values.log, true);
        raise();
    }
};
} // namespace

TEST(EngineeringFailures, EveryFailureOfACommandGivesTheDisplayDriverBack)
{
    struct Case
    {
        const char* name;
        std::function<void()> raise;
        int exitCode;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"runtime", [] { throw std::runtime_error("x"); }, 2, "\nERROR: x\n"},
        {"io", [] { throw io_error("disk"); }, 3, "\nI/O ERROR: disk\n"},
        {"memory", [] { throw std::bad_alloc(); }, 2, "\nERROR: std::bad_alloc\n"},
        {"other", [] { throw 7; }, 2, "\nERROR: Unknown failure.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CEngineeringRig rig({kFirstGpu, kSecondGpu});
        std::unique_ptr<CFailingApp> app =
            rig.MakeApp<CFailingApp>({"--auto", "--list", "--reboot"});
        bool takenBeforeTheFailure = false;
        app->raise = [&]
        {
            takenBeforeTheFailure = !rig.DriverBound(1, 0);
            c.raise();
        };
        EXPECT_EQ(rig.Run(*app), c.exitCode);
        EXPECT_TRUE(takenBeforeTheFailure);
        EXPECT_TRUE(rig.DriverBound(1, 0));
        EXPECT_TRUE(Contains(rig.err, c.shown)) << rig.err;
        // No reboot after a failed command.
        EXPECT_EQ(rig.Machine().RebootCount(), 0u);
    }
}

TEST(EngineeringChain, TheFirstSetWordOfTheChainRuns)
{
    CEngineeringRig rig({kFirstGpu, kSecondGpu});
    EXPECT_EQ(rig.Run({"--auto", "--list", "--version"}), 0);
    EXPECT_TRUE(Contains(rig.out, "BIOS Versions of Korvan display adapters present in system:"));
    EXPECT_FALSE(Contains(rig.out, "Korvan display adapters present in system:\n<0>"));
}

TEST(EngineeringSetup, DeviceIdFiltersOfTheCommandLine)
{
    struct Case
    {
        std::vector<std::string> words;
        std::vector<std::string> listed;
        std::vector<std::string> notListed;
    };
    const std::string first = "<0> Korvan Avrel2 800 ";
    const std::string duo = "Korvan Avrel2 801 Duo";
    const std::vector<Case> cases = {
        {{"--filterdevid=0801"}, {"<0> " + duo}, {"<1> "}},
        {{"--filterdevid=0800", "--filterdevid=0801"}, {first, "<1> " + duo}, {"<2> "}},
        {{"--filterdevid=0800,FFFE"}, {first, "<1> " + duo}, {"<2> "}},
        {{"--filterdevid=0801,FFFF"}, {"<0> " + duo}, {"<1> "}},
        {{"--reversefilterid=0801"}, {first}, {duo, "<1> "}},
        {{"--filterdevid=0900"}, {"No Korvan display adapters found."}, {"<0> "}},
        // Both given: no filter at all.
        {{"--filterdevid=0801", "--reversefilterid=0801"}, {first, "<1> " + duo}, {}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.front());
        CEngineeringRig rig({kFirstGpu, {2, 0, 0x0801, RigFirmware()}});
        std::vector<std::string> words = c.words;
        words.push_back("--list");
        EXPECT_EQ(rig.Run(words), 0);
        for (const std::string& text : c.listed)
        {
            EXPECT_TRUE(Contains(rig.out, text)) << rig.out;
        }
        for (const std::string& text : c.notListed)
        {
            EXPECT_FALSE(Contains(rig.out, text)) << rig.out;
        }
    }
}

TEST(EngineeringChain, NoCommandShowsTheUsageScreenUnlessARebootFollows)
{
    CEngineeringRig rig({kFirstGpu});
    EXPECT_EQ(rig.Run({"--auto"}, "q"), 5);
    EXPECT_TRUE(Contains(rig.out, "-- Primary Commands --"));
    EXPECT_EQ(rig.Run({"--auto", "--reboot"}), 0);
    EXPECT_EQ(rig.Machine().RebootCount(), 1u);
}

namespace
{
// Counts the adapter selections a guard asks for.
class CCountingApp : public CTestRomviseApp
{
public:
    CCountingApp(int argc, char** argv) : CTestRomviseApp(argc, argv) {}
    DisplayAdapterList
    SelectAdapters(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapterDatabase> database,
                   CRefPtr<IBoardDatabase> boards, const std::vector<DeviceIdFilter>& filters,
                   bool includeUncatalogued, CRefPtr<IPCIBus> bus, int index, CLog* log) override
    {
        ++selections;
        lastIndex = index;
        lastIncludeUncatalogued = includeUncatalogued;
        return CTestRomviseApp::SelectAdapters(ui, database, boards, filters, includeUncatalogued,
                                               bus, index, log);
    }
    int selections = 0;
    int lastIndex = 0;
    bool lastIncludeUncatalogued = false;
};
} // namespace

TEST(EngineeringChain, GuardsApplyInTheRowsOrderAndRefuseBeforeSelection)
{
    struct Case
    {
        const char* name;
        std::vector<ChainGuard> guards;
        bool lowPower;
        bool overrideEEPROM;
        bool overrideAdapter;
        std::string error; // empty: the handler runs
        int selections;
    };
    using enum ChainGuard;
    const std::vector<ChainGuard> writing = {LogCommand, PowerCheck, RefuseOverride, OneAdapter};
    const std::string lowPower = ICrossPlatform::GetLowPowerMessage();
    const std::vector<Case> cases = {
        {"all pass", writing, false, false, false, "", 1},
        {"low power", writing, true, false, false, lowPower, 0},
        {"power before override", writing, true, true, false, lowPower, 0},
        {"EEPROM override", writing, false, true, true,
         "EEPROM override not allowed for write operations", 0},
        {"adapter override", writing, false, false, true,
         "Display adapter override not allowed for write operations", 0},
        {"selection first",
         {LogCommand, OneAdapter, RefuseOverride},
         false,
         true,
         false,
         "EEPROM override not allowed for write operations",
         1},
        {"file", {FileRequired, OneAdapter}, false, false, false, "No filename specified.", 0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CEngineeringRig rig({kFirstGpu, kSecondGpu}, c.lowPower);
        std::unique_ptr<CCountingApp> app = rig.MakeApp<CCountingApp>({"--index=1"});
        EngineeringValues values;
        CLog log;
        std::ostringstream logged;
        CScopedLogSink sink(&log, &logged, 1, 5);
        values.log = &log;
        values.commandLine = ICommandLine::GetInstance();
        values.ui = GetUserInterface();
        values.adapters = CreateDisplayAdapterDatabase();
        values.boards = GetBoardDatabase();
        values.index = 1;
        values.overrideEEPROM = c.overrideEEPROM;
        values.overrideAdapter = c.overrideAdapter;
        int handled = 0;
        const ChainRow row{{"test"}, 0, c.guards, "", nullptr};
        ChainRow runnable = row;
        static int* handledCount = nullptr;
        handledCount = &handled;
        runnable.handler = [](EngineeringCommand&) { ++*handledCount; };
        EngineeringCommand command{*app, values, nullptr};
        std::string error;
        try
        {
            RunChainRow(runnable, command);
        }
        catch (const std::runtime_error& failure)
        {
            error = failure.what();
        }
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(handled, c.error.empty() ? 1 : 0);
        EXPECT_EQ(app->selections, c.selections);
        EXPECT_EQ(logged.str().rfind("Command: test\n", 0),
                  c.guards.front() == LogCommand ? 0u : std::string::npos);
        if (c.error.empty())
        {
            EXPECT_EQ(command.adapter->GetDevice()->GetBus(), 2);
        }
    }
}

TEST(EngineeringChain, OneAdapterGuardsAskInsteadOfTakingAll)
{
    CEngineeringRig rig({kFirstGpu, kSecondGpu});
    std::unique_ptr<CCountingApp> app = rig.MakeApp<CCountingApp>({"--check", "--override=2"});
    EXPECT_EQ(rig.Run(*app, "\x1b"), 2);
    EXPECT_EQ(app->lastIndex, -2);
    EXPECT_FALSE(app->lastIncludeUncatalogued);
    EXPECT_TRUE(Contains(rig.err, "Select a display adapter:\n<0> "));
    EXPECT_TRUE(Contains(rig.err, "\nERROR: Update aborted\n"));
}
