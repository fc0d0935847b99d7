// The EEPROM test part: a part the catalogue lacks, described in a settings
// file named with --partopts, joins the catalogue for the rest of the run
// before the command that will identify the adapter's EEPROM.

#include "app/EngineeringRun.h"

#include "core/CsvSettings.h"

#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr const char* kTemplateLocation = "docs/eeprom-test-part.csv";

// The described part is already in the catalogue: then the catalogue's own
// record serves and the run goes on.
bool IsKnownPart(IEEPROMDatabase& eeproms, const CsvSettings& settings)
{
    CEEPROMType part;
    std::ostringstream ignored;
    return eeproms.ReadTestPart(part, settings, ignored) &&
           eeproms.IsSupported(part.ManufacturerID, part.DeviceID);
}
} // namespace

int SetPartOptions(EngineeringValues& values)
{
    CLog* log = values.log;
    log->SetLevel(3);
    *log << "Specify the parameters for the certain part. " << LogEndl;
    const std::string file = values.commandLine->GetValue("partopts", 0, 0);
    if (file.empty())
    {
        throw std::runtime_error(std::string("No filename specified for --partopts.\n"
                                             "Usage: --partopts=<filename>.csv --<PrimaryCommand>\n"
                                             "\nA file template can be found at \n") +
                                 kTemplateLocation + "\n");
    }
    CsvSettings settings;
    if (!settings.PrintCsvTable(file.c_str(), log))
    {
        return engineering_exit::kUsage;
    }
    const bool known = IsKnownPart(*values.eeproms, settings);
    std::ostringstream report;
    const bool added = values.eeproms->AddTestPart(settings, report);
    values.ui->ShowMessage(1, report.str());
    *log << report.str() << LogEndl;
    if (!added)
    {
        std::cout
            << "Invalid parameters. Skip to specify the parameters for initial testing EEPROM."
            << std::endl;
        return known ? 0 : engineering_exit::kUsage;
    }
    if (!values.autoConfirm)
    {
        std::cout << "\nPress 'y' to confirm (any other key to abort): " << std::flush;
        ConfirmOrAbort(log);
    }
    return 0;
}
