#pragma once
// The engineering run's frame: the values set-up prepares for every command,
// the command one run dispatches, the failure report, and the hook through
// which the run reaches the engineering commands. The commands themselves
// live in app/engineering/, a library only the engineering program links:
// its main installs them before it creates the application, so that the
// packaged updater, which shares this frame's base class, carries none of
// them.

#include "app/EngineeringExitCodes.h"
#include "app/RomviseBaseApp.h"
#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/IFlasher.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <exception>
#include <span>
#include <string>
#include <vector>

struct EngineeringValues
{
    CLog* log = nullptr;
    CRefPtr<ICommandLine> commandLine;
    CRefPtr<IUserInterface> ui;
    CRefPtr<IEEPROMDatabase> eeproms;
    CRefPtr<IDisplayAdapterDatabase> adapters;
    CRefPtr<IBoardDatabase> boards;
    CRefPtr<IFlasher> flasher;

    int index = -1;   // -1 none given, -2 ask, else the adapter's number
    int fwindex = -1; // -1 none given, -2 ask, -3 match, else the image's number
    bool overrideEEPROM = false;
    bool overrideAdapter = false;
    int retryMode = 3;
    bool autoConfirm = false;
    bool autoNoConfirm = false;
    bool extVersion = false;
    int compareMode = 0;
    std::vector<DeviceIdFilter> filters;
    PciAddress address{-1, -1, -1, -1}; // from --pcisegbus
    std::string fileName;               // the first plain argument
    FileType fileType;
    bool usageFlag = false;
    // A command's usage lines were shown: the run ends at once, without the
    // tail's reboot.
    bool endsAtOnce = false;
    int result = engineering_exit::kDone;
};

// The command one run dispatches: the application, the run's values and the
// adapter the command's guards selected.
struct EngineeringCommand
{
    CRomviseBaseApp& app;
    EngineeringValues& values;
    CRefPtr<IDisplayAdapter> adapter;
};

// A line of the usage screen: its page (1 or 2), its place on the page, its
// label and the command line after the program's name.
struct UsageRow
{
    int page;
    int position;
    const char* label;
    const char* sample;
};

// What the engineering run reaches of the engineering commands, every table
// in the order it is shown or tested.
struct EngineeringCommandSet
{
    // The option table, in the help screen's order.
    std::span<const OptionDescriptor> options;
    // The usage screen's lines, page by page.
    std::span<const UsageRow> usage;
    // Runs the command the command line names, or the flash of the file when
    // it names none; false when it names neither.
    bool (*runCommand)(EngineeringCommand& command);
};

// Installs the engineering commands the run reaches; the set must outlive
// every application created after it.
void InstallEngineeringCommands(const EngineeringCommandSet& commands);
// The installed commands; std::logic_error when none are (a program that
// creates the engineering application without them).
const EngineeringCommandSet& InstalledEngineeringCommands();

// Reports a failure of the run at level 4 (standard error and the log) with
// the prefix of its type, beeps through the user interface when there is one,
// and returns the exit code: io_error 3, domain_error and out_of_range 4,
// environment_error 6, every other failure 2.
int ReportRunFailure(std::exception_ptr failure, CLog* log, IUserInterface* ui);

// Shows "<headline>", an empty line, "Example:" and "  > <program><example>"
// as one message.
void ShowUsageHint(IUserInterface* ui, const std::string& headline, const std::string& program,
                   const std::string& example);

// A command's usage lines for a missing file name ("No filename specified."
// and the example): result 5, and the run ends at once.
void EndWithFileNameUsage(EngineeringCommand& command, const std::string& example);

// Waits for the answer to a question already shown: 'y' or 'Y' goes on, any
// other key restores the display driver and raises "User aborted!".
void ConfirmOrAbort(CLog* log);

// Adds the EEPROM part the --partopts file describes to the catalogue: 0
// added or already known, 5 a file that cannot be read or an invalid part.
int SetPartOptions(EngineeringValues& values);
