// The packaged updater's object, its option table and the mapping of the
// run's outcome and failures to exit codes and messages.

#include "app/KRUserFlashApp.h"
#include "app/PackagedRunState.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"

#include <exception>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#ifndef ROMVISE_VERSION_TEXT
#error "the build defines ROMVISE_VERSION_TEXT from the project version"
#endif

namespace
{
const OptionDescriptor kOptions[] = {
    {"silence", 's', 1, "", ""},
    {"log", 'L', 1, "", ""},
    {"backup", 'b', 1, "", ""},
    {"restore", 'r', 1, "", ""},
    {"offswdriver", 'S', 0, "", "Turn off automatic switch driver state."},
};

const char kUsageLine[] = "Usage: romuvise [-s LEVEL] [-L LOGFILE] [-b DIR | -r DIR] [-S]";

void ShowSupportParagraph()
{
    std::cerr << "Please note this error and contact your display adapter manufacturer's \n"
              << "technical support line.  It is important that you leave your system ON and NOT \n"
              << "reboot until instructed by your manufacturer on how to proceed." << std::endl;
}

void ReportError(const char* prefix, const std::exception& error, int beepLevel, bool support)
{
    std::cerr << '\n' << prefix << error.what() << std::endl;
    GetUserInterface()->ReportErrorLevel(beepLevel);
    if (support)
    {
        ShowSupportParagraph();
    }
}
} // namespace

void ReportImageRefused(CLog* log, const std::exception& error, bool quiet)
{
    *log << LogLevel(4) << "\nERROR: " << error.what() << LogEndl;
    log->SetLevel(3);
    if (!quiet)
    {
        GetUserInterface()->ReportErrorLevel(1);
    }
}

const char* GetProgramVersionText()
{
    return ROMVISE_VERSION_TEXT;
}

CKRUserFlashApp::CKRUserFlashApp(int argc, char** argv)
{
    commandLine = ICommandLine::Create(static_cast<int>(std::size(kOptions)), kOptions, argc, argv);
}

CKRUserFlashApp::~CKRUserFlashApp() = default;

std::string CKRUserFlashApp::GetProgramName()
{
    return "romuvise";
}

int32_t CKRUserFlashApp::GetFeatureFlags()
{
    return 8;
}

bool CKRUserFlashApp::IsQuiet(const PackageControlBlock& control)
{
    if (commandLine->IsSet("silence"))
    {
        return commandLine->GetValueDec("silence", 0, 0) == 3;
    }
    return (control.flags & kPackageQuiet) != 0;
}


int CKRUserFlashApp::Run()
{
    const PackageStore& store = GetPackageStore();
    RunState state(store);
    state.quiet = IsQuiet(store.control);
    state.log = GetLog();
    CScopedLogSink errorSink(state.log, &std::cerr, 4, 5);

    std::ofstream logFile;
    std::optional<CScopedLogSink> fileSink;
    if (commandLine->IsSet("log"))
    {
        const std::string name = commandLine->GetValue("log", 0, 0);
        if (name.empty())
        {
            GetUserInterface()->ShowMessage(1, "No filename specified for --log.\n\n");
            return kExitUserAbort;
        }
        OpenLogFile(logFile, name, true);
        fileSink.emplace(state.log, &logFile, 1, 5);
    }
    // An option word outside the table, or one without its value, would leave
    // the run with only the options parsed before it: refuse it before any
    // hardware is touched.
    if (commandLine->HasError())
    {
        std::cerr << "Unknown option: " << commandLine->GetUnknownWord() << '\n'
                  << kUsageLine << std::endl;
        return kExitUserAbort;
    }
    state.log->SetLevel(3);
    *state.log << "*** Korvan FIRMWARE UPDATE UTILITY LOG FILE ***" << LogEndl << "Version "
               << GetProgramVersionText() << LogEndl << LogEndl << LogEndl;
    state.ui = GetUserInterface();

    try
    {
        return RunPackage(state);
    }
    catch (...)
    {
        return ReportFailure(std::current_exception(), state);
    }
}

int CKRUserFlashApp::ReportFailure(std::exception_ptr failure, const RunState& state)
{
    try
    {
        std::rethrow_exception(failure);
    }
    // Ahead of the user-abort clause, which would take it as a declined
    // prompt and stay silent when quiet.
    catch (const image_refused_error& error)
    {
        ReportImageRefused(state.log, error, state.quiet);
        return kExitUserAbort;
    }
    catch (const user_abort_error& error)
    {
        if (!state.quiet)
        {
            ReportError("ERROR: ", error, 1, false);
        }
        return kExitUserAbort;
    }
    catch (const io_error& error)
    {
        ReportError("I/O ERROR: ", error, 2, !state.quiet);
        return kExitIoError;
    }
    catch (const std::domain_error& error)
    {
        ReportError("PROGRAMMING ERROR: ", error, 2, !state.quiet);
        return kExitProgrammingError;
    }
    catch (const std::out_of_range& error)
    {
        ReportError("PROGRAMMING ERROR: ", error, 2, !state.quiet);
        return kExitProgrammingError;
    }
    catch (const environment_error& error)
    {
        if (!state.quiet)
        {
            ReportError("ERROR: ", error, 1, false);
            std::cerr << "NOTE: This program can only be run under DOS." << std::endl;
        }
        return kExitEnvironmentError;
    }
    catch (const std::runtime_error& error)
    {
        ReportError("ERROR: ", error, 1, !state.quiet);
        return kExitRuntimeError;
    }
}
