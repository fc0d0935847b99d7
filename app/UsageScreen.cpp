// The engineering flasher's banner, its paged usage screen and the paged list
// of supported EEPROM parts.

#include "app/EngineeringRun.h"

#include "core/CrossPlatform.h"

#include <iomanip>
#include <iostream>
#include <sstream>

namespace
{
const char kContinuePrompt[] = "Press 'Enter' to continue, or 'Q' to quit.";

// The lines of one page, in the order the commands' rows place them.
void PrintPage(int page, const std::string& program)
{
    for (const UsageRow& line : InstalledEngineeringCommands().usage)
    {
        if (line.page == page)
        {
            std::cout << std::left << std::setw(33) << line.label << std::right << program
                      << line.sample << std::endl;
        }
    }
}

bool IsQuitKey(int key)
{
    return key == 'Q' || key == 'q';
}

// Whether the screen stops for a key every page: only for a person at a
// terminal. Written to a file or a pager, or read from a file, it runs
// through: no one would see the prompt, or the pager pages itself.
bool IsPaged()
{
    return GetCrossPlatform()->IsConsoleInteractive();
}

// The prompt and one key when the screen is paged; true when the reader quit.
bool AskToContinue()
{
    if (!IsPaged())
    {
        return false;
    }
    std::cout << kContinuePrompt << std::endl;
    return IsQuitKey(GetCrossPlatform()->GetKey());
}
} // namespace

void CRomviseBaseApp::PrintBanner()
{
    std::ostringstream text;
    text << "\nKorvan Firmware Update Utility (Version " << GetProgramVersionText() << ")\n"
         << "******************************************************************\n"
         << "*  WARNING                                              WARNING  *\n"
         << "*                    ENGINEERING Romvise                         *\n"
         << "*                    Not for use outside Korvan                  *\n"
         << "*  WARNING                                              WARNING  *\n"
         << "******************************************************************\n";
    CLog* log = GetLog();
    *log << text.str() << std::flush;
    std::cout << text.str() << std::flush;
}

void CRomviseBaseApp::PrintUsage(CRefPtr<ICommandLine> commandLine,
                                 CRefPtr<IEEPROMDatabase> database)
{
    const std::string program = GetProgramName();
    std::cout << "-- Primary Commands --" << std::endl;
    PrintPage(1, program);
    std::cout << std::endl;
    if (AskToContinue())
    {
        return;
    }
    PrintPage(2, program);
    std::cout << std::endl;
    if (AskToContinue())
    {
        return;
    }
    std::cout << std::endl << "-- Commands and Options -- " << std::endl;
    if (commandLine->PrintUsage(&std::cout, IsPaged(), 6, "", ""))
    {
        return;
    }
    std::cout << std::endl
              << "Use a single dash (\"-\") to use the single letter version of a command."
              << std::endl
              << "Use a double dash (\"--\") to use the longer descriptive version of a command."
              << std::endl
              << "Use equals (\"=\") to specify parameters, with separating commas (\",\")."
              << std::endl;
    std::cout << std::endl
              << "-- Sample Usage --" << std::endl
              << program << " --index=1 firmware.rom" << std::endl;
    ListSupportedEEPROMs(database);
}

void CRomviseBaseApp::ListSupportedEEPROMs(CRefPtr<IEEPROMDatabase> database)
{
    if (AskToContinue())
    {
        return;
    }
    std::cout << "-- Supported EEPROM's --" << std::endl;
    std::ostringstream parts;
    database->PrintSupportedParts(parts);
    const std::string text = parts.str();
    // A line runs up to and including the next line end; the rest without
    // one is the last line. The first prompt comes after 22 lines (the two
    // lines above count), every later one after 24.
    int shown = 2;
    size_t position = 0;
    while (true)
    {
        const size_t end = text.find('\n', position);
        const bool last = end == std::string::npos;
        std::cout << text.substr(position, last ? std::string::npos : end + 1 - position)
                  << std::flush;
        if (last)
        {
            return;
        }
        position = end + 1;
        if (++shown > 23)
        {
            shown = 0;
            if (AskToContinue())
            {
                return;
            }
        }
    }
}

void CRomviseBaseApp::PrintPowerPolicyHelp()
{
    std::cout << "-- Help for --addpp/--delpp power policies descriptions --\n"
              << "    Policy         Description\n"
              << "  ------------------------------\n"
              << "    TGP            Total GPU Power\n"
              << "\n"
              << "    Attributes     Description\n"
              << "  ------------------------------\n"
              << "    limitRated  :  Default power capping limit (mW)" << std::endl;
}
