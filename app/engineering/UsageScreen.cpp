// The engineering flasher's banner, its paged usage screen and the paged list
// of supported EEPROM parts.

#include "app/RomviseBaseApp.h"

#include "core/CrossPlatform.h"

#include <iomanip>
#include <iostream>
#include <sstream>

namespace
{
struct UsageLine
{
    const char* label;
    const char* sample; // after the program name
};

const UsageLine kPageOne[] = {
    {"Update VBIOS firmware:", " [options] <filename>"},
    {"Update UEFI firmware:", " [options] --updateuefi <filename>"},
    {"Save VBIOS firmware to file:", " [options] --save <filename>"},
    {"Display firmware bytes:", " [options] --display [bytes]"},
    {"Check for supported EEPROM:", " [options] --check"},
    {"Display VBIOS version:", " [options] --version [<filename>]"},
    {"List adapters:", " [options] --list"},
    {"Compare adapter firmware:", " [options] --compare <filename>"},
    {"Verify adapter firmware:", " [options] --verify <filename>"},
    {"Verify adapter IFR firmware:", " [options] --verify --ifronly <filename>"},
    {"Display GPU ECID:", " [options] --ecid"},
    {"List out all the PCI devices:", " [options] --lspci"},
    {"Access PCI Configure register:", " [options] --setpci"},
    {"Display Build information:", " [options] --buildinfo"},
    {"Display OBD information:", " [options] --rdobd"},
    {"Display MCU version:", " [options] --querygmac"},
    {"Update MCU firmware:", " [options] --proggmac"},
    {"Save MCU firmware to file:", " [options] --savegmac"},
    {"List MCUs:", " [options] --listgmac"},
    {"Tune Preserved Register:", " [options] --presregtune <REG>=<Value>"},
    {"Tune Preserved Data Block:", " [options] --presdatatune <ID>,[<DW>]"},
    {"EEPROM Stress-test:", " [options] --stress"},
    {"Write protect EEPROM:", " [options] --protecton"},
    {"Remove write protect:", " [options] --protectoff"},
    {"Update TV data:", " [options] --tv <filename>"},
    {"Change soft straps:", " [options] --straps=<straps>"},
    {"Set IEEE 1394 GUID:", " [options] --guid=<guid>"},
    {"Set IEEE 1394 GUID source:", " [options] --guidsource=<location>"},
    {"List PCI firmware blocks:", " [options] --pciblocks"},
    {"List applied patches:", " [options] --listpatches"},
};

const UsageLine kPageTwo[] = {
    {"Update Varnex firmware:", " [options] --flashvarnex <filename>.vnx"},
    {"Save Varnex firmware to file:", " [options] --save <filename>.vnx"},
    {"Backup Varnex to embedded IB:", " [options] --backupvarnex"},
    {"Restore Varnex from embedded IB:", " [options] --recovervarnex"},
    {"Erase entire Varnex:", " [options] --erasevarnex"},
    {"Read Varnex OBD info to file:", " [options] --rdobd <filename>"},
    {"Update Varnex OBD info:", " [options] --wrobd <filename>.csv"},
    {"Read Varnex OEM info to file:", " [options] --rdoem <filename>"},
    {"Update Varnex OEM info:", " [options] --wroem <filename>"},
    {"Skip PCI access for merger IR.", " [options] --romin <filenameIn> --romout <filenameOut>"},
};

const char kContinuePrompt[] = "Press 'Enter' to continue, or 'Q' to quit.";

void PrintPage(std::span<const UsageLine> lines, const std::string& program)
{
    for (const UsageLine& line : lines)
    {
        std::cout << std::left << std::setw(33) << line.label << std::right << program
                  << line.sample << std::endl;
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
    PrintPage(kPageOne, program);
    std::cout << std::endl;
    if (AskToContinue())
    {
        return;
    }
    PrintPage(kPageTwo, program);
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
    // A piece runs up to and including the next line end; the rest without
    // one is the last piece. The first prompt comes after 22 pieces (the two
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
