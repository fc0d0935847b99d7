// The engineering run: logging and the process-wide objects, the option values
// every command reads, the banner, one command of the chain, and the common
// tail (reboot, usage screen, display driver, exit code). Every failure ends
// in a message and an exit code; none leaves the run.

#include "app/EngineeringRun.h"
#include "app/UpdateRecords.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "eeprom/KestrixLoader.h"
#include "flasher/DisplayDriverGuard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace
{
// A set-up value that cannot be used: its hint has been shown and the run
// ends with the usage exit code before any hardware is touched.
struct SetupRefused
{
};

class CSetup
{
public:
    CSetup(ICommandLine& commandLine, IUserInterface* ui, std::string program)
        : m_commandLine(commandLine), m_ui(ui), m_program(std::move(program))
    {
    }

    // The headline, an empty line, "Example:" and the example command line.
    [[noreturn]] void Refuse(const std::string& headline, const std::string& example) const
    {
        ShowUsageHint(m_ui, headline, m_program, example);
        throw SetupRefused{};
    }

    [[noreturn]] void RefuseWith(const std::string& message) const
    {
        m_ui->ShowMessage(1, message);
        throw SetupRefused{};
    }

    const std::string& Program() const { return m_program; }

    // The option's value as a whole number of the base within the limit.
    uint32_t Number(const std::string& word, const std::string& text, int base, uint32_t limit,
                    const std::string& example) const
    {
        const std::optional<uint32_t> value = ReadWholeNumber(text, base, limit);
        if (!value)
        {
            Refuse("Invalid value \"" + text + "\" for --" + word + ".", example);
        }
        return *value;
    }

    std::string Value(const std::string& word, int occurrence = 0, int index = 0) const
    {
        return m_commandLine.GetValue(word, occurrence, index);
    }

private:
    ICommandLine& m_commandLine;
    IUserInterface* m_ui;
    std::string m_program;
};

void ReadIndex(const CSetup& setup, ICommandLine& commandLine, EngineeringValues& values)
{
    if (!commandLine.IsSet("index"))
    {
        return;
    }
    const std::string text = setup.Value("index");
    if (text == "ask")
    {
        values.index = -2;
        return;
    }
    if (text.empty())
    {
        setup.Refuse("No index number specified.", " --index=1 --version");
    }
    values.index =
        static_cast<int>(setup.Number("index", text, 10, 0x7FFFFFFF, " --index=1 --version"));
}

void ReadFilters(const CSetup& setup, ICommandLine& commandLine, EngineeringValues& values)
{
    const bool keep = commandLine.IsSet("filterdevid");
    const bool remove = commandLine.IsSet("reversefilterid");
    if (keep == remove)
    {
        return; // neither, or both: no filter
    }
    const std::string word = keep ? "filterdevid" : "reversefilterid";
    const std::string example =
        keep ? " --filterdevid=0800,FFF0 --list" : " --reversefilterid=0800 --list";
    for (int occurrence = 0; occurrence < commandLine.GetOccurrenceCount(word); ++occurrence)
    {
        const std::string id = setup.Value(word, occurrence, 0);
        if (id.empty())
        {
            break;
        }
        DeviceIdFilter filter;
        filter.value = static_cast<uint16_t>(setup.Number(word, id, 16, 0xFFFF, example));
        filter.mask = 0xFFFF;
        const std::string mask = keep ? setup.Value(word, occurrence, 1) : std::string();
        if (!mask.empty())
        {
            filter.mask = static_cast<uint16_t>(setup.Number(word, mask, 16, 0xFFFF, example));
        }
        values.filters.push_back(filter);
    }
}

// SEG:BUS, SEG:BUS:DEV or SEG:BUS:DEV.FUN, or a bus alone: a location with
// more parts would be taken without them, naming another function.
bool HasLocationForm(const std::string& text)
{
    const size_t colons = static_cast<size_t>(std::count(text.begin(), text.end(), ':'));
    const size_t dots = static_cast<size_t>(std::count(text.begin(), text.end(), '.'));
    return colons <= 2 && dots <= (colons == 2 ? 1u : 0u);
}

void ReadLocation(const CSetup& setup, ICommandLine& commandLine, EngineeringValues& values,
                  CLog* log)
{
    if (!commandLine.IsSet("pcisegbus"))
    {
        return;
    }
    const std::string text = setup.Value("pcisegbus");
    if (text.empty())
    {
        setup.RefuseWith(
            "ERROR: Incorrect format with --pcisegbus, the argument should comply\n"
            "       with the <SEG#>:<BUS#>[:<DEV#>.<FUN#>] format.\n\n"
            "Example: Display version when a device match with Segment# = 0 and Bus# = 2.\n"
            "  > " +
            setup.Program() + " --pcisegbus 0:2 --version");
    }
    try
    {
        if (!HasLocationForm(text))
        {
            throw std::runtime_error("malformed location");
        }
        commandLine.GetPCIAddress("pcisegbus", 0, 0, &values.address);
    }
    catch (const std::runtime_error&)
    {
        setup.Refuse("Invalid value \"" + text + "\" for --pcisegbus.",
                     " --pcisegbus 0:2 --version");
    }
    char line[80];
    std::snprintf(line, sizeof line, "Specified device by PCI Segment# = %04X, Bus# = %02X.",
                  static_cast<unsigned>(values.address.segment),
                  static_cast<unsigned>(values.address.bus));
    std::cout << line << std::endl;
    *log << LogLevel(3) << line << LogEndl;
}

void ReadImageIndex(const CSetup& setup, ICommandLine& commandLine, EngineeringValues& values)
{
    if (!commandLine.IsSet("fwindex"))
    {
        return;
    }
    const std::string text = setup.Value("fwindex");
    if (text == "match")
    {
        values.fwindex = -3;
    }
    else if (text == "ask")
    {
        values.fwindex = -2;
    }
    else
    {
        values.fwindex = static_cast<int>(setup.Number("fwindex", text, 16, 0x7FFFFFFF,
                                                       " --fwindex=1 --version <FILE_NAME>.krr"));
    }
}

void ReadOverride(const CSetup& setup, ICommandLine& commandLine, EngineeringValues& values)
{
    if (!commandLine.IsSet("override"))
    {
        return;
    }
    const uint32_t value =
        setup.Number("override", setup.Value("override"), 16, 0xFFFFFFFF, " --override=2 --list");
    values.overrideEEPROM = value == 1 || value == 3;
    values.overrideAdapter = value == 2 || value == 3;
}

void ReadFileName(const CSetup& setup, CRomviseBaseApp& app, ICommandLine& commandLine,
                  EngineeringValues& values)
{
    FileTypeList types = {CRomviseBaseApp::MakeFileType(-1, ""),
                          CRomviseBaseApp::MakeFileType(0, ".rom")};
    if (app.HasEngineeringFeatures())
    {
        types.push_back(CRomviseBaseApp::MakeFileType(1, ".krr"));
        types.push_back(CRomviseBaseApp::MakeFileType(2, ".efr"));
        types.push_back(CRomviseBaseApp::MakeFileType(2, ".efirom"));
    }
    const std::vector<std::string>& plain = commandLine.GetPlainArguments();
    if (plain.empty())
    {
        return;
    }
    values.fileName = plain.front();
    const size_t dot = values.fileName.rfind('.');
    if (dot == std::string::npos)
    {
        std::string message = "Firmware image filename must have a valid extension. (";
        for (const FileType& type : types)
        {
            message += type.extension + " ";
        }
        setup.RefuseWith(message + ")");
    }
    std::string extension = values.fileName.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const FileType& type : types)
    {
        if (type.extension == extension)
        {
            values.fileType = type;
            break;
        }
    }
}
} // namespace

void ShowUsageHint(IUserInterface* ui, const std::string& headline, const std::string& program,
                   const std::string& example)
{
    ui->ShowMessage(1, headline + "\n\nExample:\n  > " + program + example);
}

void EndWithFileNameUsage(EngineeringCommand& command, const std::string& example)
{
    ShowUsageHint(command.values.ui.get(), "No filename specified.", command.app.GetProgramName(),
                  example);
    command.values.result = engineering_exit::kUsage;
    command.values.endsAtOnce = true;
}

int ReportRunFailure(std::exception_ptr failure, CLog* log, IUserInterface* ui)
{
    const char* prefix = "ERROR: ";
    int beepLevel = 1;
    int exitCode = engineering_exit::kRuntimeError;
    bool dosNote = false;
    std::string text;
    try
    {
        std::rethrow_exception(failure);
    }
    catch (const io_error& error)
    {
        prefix = "I/O ERROR: ";
        beepLevel = 2;
        exitCode = engineering_exit::kIoError;
        text = error.what();
    }
    catch (const std::domain_error& error)
    {
        prefix = "PROGRAMMING ERROR: ";
        beepLevel = 2;
        exitCode = engineering_exit::kProgrammingError;
        text = error.what();
    }
    catch (const std::out_of_range& error)
    {
        prefix = "PROGRAMMING ERROR: ";
        beepLevel = 2;
        exitCode = engineering_exit::kProgrammingError;
        text = error.what();
    }
    catch (const environment_error& error)
    {
        exitCode = engineering_exit::kEnvironmentError;
        dosNote = true;
        text = error.what();
    }
    // Runtime errors (user aborts and user errors among them) and every
    // other failure, which must not leave the run unreported.
    catch (const std::exception& error)
    {
        text = error.what();
    }
    catch (...)
    {
        text = "Unknown failure.";
    }
    *log << LogLevel(4) << '\n' << prefix << text << LogEndl;
    if (dosNote)
    {
        *log << "NOTE: This program can only be run under DOS." << LogEndl;
    }
    log->SetLevel(3);
    if (ui)
    {
        ui->ReportErrorLevel(beepLevel);
    }
    return exitCode;
}

namespace
{
const EngineeringCommandSet* g_engineeringCommands = nullptr;
} // namespace

void InstallEngineeringCommands(const EngineeringCommandSet& commands)
{
    g_engineeringCommands = &commands;
}

const EngineeringCommandSet& InstalledEngineeringCommands()
{
    if (g_engineeringCommands == nullptr)
    {
        throw std::logic_error("The engineering commands are not installed.");
    }
    return *g_engineeringCommands;
}

void ConfirmOrAbort(CLog* log)
{
    CDisplayDriverRestoreGuard restoreOnFailure(log, DisplayRestore::OnFailure);
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    if (key == 'y' || key == 'Y')
    {
        std::cout << std::endl;
        return;
    }
    throw user_abort_error("User aborted!");
}

CRomviseBaseApp::CRomviseBaseApp(int argc, char** argv)
{
    const std::span<const OptionDescriptor> options = InstalledEngineeringCommands().options;
    commandLine =
        ICommandLine::Create(static_cast<int>(options.size()), options.data(), argc, argv);
}

namespace
{
// The log file and the crash-log stream of a run, each a sink for levels 1-5
// while the run lasts. A file that cannot be created ends the run before any
// hardware is touched.
class CRunLogFiles
{
public:
    explicit CRunLogFiles(CLog* log) : m_log(log), m_crashStream(&m_crashBuffer) {}

    void OpenLog(const std::string& name)
    {
        if (!OpenLogFile(m_logFile, name, true))
        {
            throw io_error("Cannot open file: " + name);
        }
        m_logSink.emplace(m_log, &m_logFile, 1, 5);
    }

    void OpenCrashLog(const std::string& name)
    {
        // The stream opens the file only while it flushes; make sure now
        // that it can.
        std::ofstream probe;
        if (!OpenLogFile(probe, name, false))
        {
            throw io_error("Cannot open file: " + name);
        }
        m_crashBuffer.SetFileName(name.c_str());
        m_crashSink.emplace(m_log, &m_crashStream, 1, 5);
    }

    void CloseLog()
    {
        m_logSink.reset();
        m_logFile.close();
    }

private:
    CLog* m_log;
    std::ofstream m_logFile;
    filebufunbuf m_crashBuffer;
    std::ostream m_crashStream;
    // Declared after their streams: a sink goes before its stream does.
    std::optional<CScopedLogSink> m_logSink;
    std::optional<CScopedLogSink> m_crashSink;
};

bool ShowsUsageScreen(ICommandLine& commandLine)
{
    return commandLine.HasError() || commandLine.IsSet("help") ||
           (commandLine.GetPlainArguments().empty() && commandLine.GetOptionCount() == 0);
}

// The file the log option names; nothing, with the usage hint shown, when it
// names none.
std::optional<std::string> LogFileName(ICommandLine& commandLine, const std::string& option,
                                       const std::string& program)
{
    const std::string name = commandLine.GetValue(option, 0, 0);
    if (name.empty())
    {
        ShowUsageHint(GetUserInterface(), "No filename specified for --" + option + ".", program,
                      " --version --" + option + "=<FILE_NAME>.log");
        return std::nullopt;
    }
    return name;
}

// The log files and the debug echo the command line asks for, and the values
// every command reads. The usage exit code when a log option names no file.
std::optional<int> SetUpRun(ICommandLine& commandLine, const std::string& program,
                            CRunLogFiles& files, std::optional<CScopedLogSink>& debugSink,
                            EngineeringValues& values)
{
    if (commandLine.IsSet("log"))
    {
        const std::optional<std::string> name = LogFileName(commandLine, "log", program);
        if (!name)
        {
            return engineering_exit::kUsage;
        }
        files.OpenLog(*name);
    }
    if (commandLine.IsSet("crashlog"))
    {
        const std::optional<std::string> name = LogFileName(commandLine, "crashlog", program);
        if (!name)
        {
            return engineering_exit::kUsage;
        }
        files.OpenCrashLog(*name);
        GetUserInterface()->ShowMessage(1, "Generated a log file \"" + *name + "\".");
    }
    if (commandLine.IsSet("debug"))
    {
        debugSink.emplace(values.log, &std::cout, 1, 3);
    }
    *values.log << LogLevel(3) << "*** ROMVISE LOG FILE ***" << LogEndl << LogEndl;
    values.ui = GetUserInterface();
    values.autoConfirm = commandLine.IsSet("auto");
    values.autoNoConfirm = values.autoConfirm && commandLine.IsSet("noconfirm");
    if (commandLine.IsSet("swspi"))
    {
        SetKestrixSoftwareSpi(true);
    }
    return std::nullopt;
}

// The common tail of a run that got past its set-up: the log file closed,
// the run's objects let go, the display driver given back, the exit code
// logged.
int EndRun(CRunLogFiles& files, EngineeringValues& values, int result)
{
    CLog* log = values.log;
    files.CloseLog();
    const CRefPtr<IUserInterface> ui = values.ui;
    values = EngineeringValues{};
    try
    {
        GetCrossPlatform()->RestoreDisplayDriver(log);
    }
    catch (...)
    {
        result = ReportRunFailure(std::current_exception(), log, ui.get());
    }
    *log << LogLevel(3) << "Exit Code: " << result << LogEndl;
    return result;
}
} // namespace

int CRomviseBaseApp::Run()
{
    CLog* log = GetLog();
    const std::string program = GetProgramName();
    CScopedLogSink errorSink(log, &std::cerr, 4, 5);
    CRunLogFiles files(log);
    std::optional<CScopedLogSink> debugSink;
    EngineeringValues values;
    values.log = log;
    values.commandLine = commandLine;

    // Set-up: a refused value ends the run with 5 and a failure with its
    // report, both before any hardware is touched.
    try
    {
        if (const std::optional<int> refused =
                SetUpRun(*commandLine, program, files, debugSink, values))
        {
            return *refused;
        }
    }
    catch (...)
    {
        return ReportRunFailure(std::current_exception(), log, values.ui.get());
    }

    int result = engineering_exit::kDone;
    try
    {
        result = RunCommandOrUsage(values);
    }
    catch (const SetupRefused&)
    {
        return engineering_exit::kUsage;
    }
    catch (...)
    {
        result = ReportRunFailure(std::current_exception(), log, values.ui.get());
    }
    return EndRun(files, values, result);
}

int CRomviseBaseApp::RunCommandOrUsage(EngineeringValues& values)
{
    values.eeproms = GetEEPROMDatabase();
    values.adapters = CreateDisplayAdapterDatabase();
    values.boards = GetBoardDatabase();
    values.flasher = GetFlasher();
    values.flasher->SetModeFlags(GetFeatureFlags());
    PrintBanner();
    if (!ShowsUsageScreen(*commandLine))
    {
        RunCommand(values);
        return values.result;
    }
    if (commandLine->HasError())
    {
        std::cout << "Unknown option: " << commandLine->GetUnknownWord() << std::endl;
    }
    PrintUsage(commandLine, values.eeproms);
    if (commandLine->GetValue("help", 0, 0) == "pp")
    {
        PrintPowerPolicyHelp();
    }
    return engineering_exit::kUsage;
}

void CRomviseBaseApp::RunCommand(EngineeringValues& values)
{
    ICommandLine& line = *commandLine;
    const CSetup setup(line, values.ui.get(), GetProgramName());
    ReadIndex(setup, line, values);
    ReadLocation(setup, line, values, values.log);
    selectedSegment = values.address.segment;
    selectedBus = values.address.bus;
    selectedDevice = values.address.device;
    selectedFunction = values.address.function;
    ReadFilters(setup, line, values);
    ReadImageIndex(setup, line, values);
    ReadOverride(setup, line, values);
    values.retryMode = line.IsSet("noretries") ? 1 : 3;
    ReadFileName(setup, *this, line, values);
    values.extVersion = line.IsSet("extversion");

    if (line.IsSet("partopts"))
    {
        values.result = SetPartOptions(values);
        if (values.result != 0)
        {
            return;
        }
    }
    // Every command's writes to an adapter keep update records.
    const CUpdateJournalInstall journalInstalled(values.flasher.get(),
                                                 OpenUpdateJournalOrUnusable());
    EngineeringCommand command{*this, values, nullptr};
    if (!InstalledEngineeringCommands().runCommand(command))
    {
        // No command word and no file: the usage screen.
        values.usageFlag = true;
    }
    if (line.IsSet("reboot") && !values.endsAtOnce)
    {
        GetCrossPlatform()->Reboot();
        values.usageFlag = false;
    }
    if (values.usageFlag)
    {
        PrintUsage(commandLine, values.eeproms);
        values.result = engineering_exit::kUsage;
    }
}
