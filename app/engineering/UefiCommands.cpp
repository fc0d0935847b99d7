// The UEFI driver update: the driver image of a file merged into the firmware
// of every selected adapter, the rest of each adapter's firmware kept. An
// adapter whose firmware cannot take the driver ends the command; one the
// engine refuses before writing is passed over. Every outcome becomes a row
// of the closing results table. The update keeps the same update records as
// the flash: an update stopped by a power loss is finished by running it
// again, merged into the firmware the adapter held before.

#include "app/EngineeringExitCodes.h"
#include "app/UpdateRecords.h"
#include "app/engineering/EngineeringCommands.h"
#include "app/engineering/FlashCommands.h"

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "eeprom/KestrixLoader.h"

#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace
{
class CUefiUpdate
{
public:
    CUefiUpdate(EngineeringCommand& command, CRefPtr<IROMImage> uefiImage)
        : m_command(command), m_values(command.values), m_uefiImage(std::move(uefiImage)),
          m_detailed(command.app.HasEngineeringFeatures())
    {
    }

    void Run();

private:
    void Line(int level, const std::string& text) const
    {
        *m_values.log << LogLevel(level) << text << LogEndl;
    }
    void UpdateAdapter(int32_t index, CRefPtr<IDisplayAdapter> adapter, bool last);
    // False when the adapter cannot be read or its EEPROM is blank.
    bool CanBeUpdated(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom);
    void OfferImage(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom);
    CRefPtr<IROMImage> ReadCurrentFirmware(CRefPtr<IDisplayAdapter> adapter,
                                           CRefPtr<IEEPROM> eeprom);
    void ShowVersions(CRefPtr<IROMImage> current);
    bool Confirm(int32_t index, CRefPtr<IDisplayAdapter> adapter);
    void Flash(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom);

    EngineeringCommand& m_command;
    EngineeringValues& m_values;
    CRefPtr<IROMImage> m_uefiImage;
    bool m_detailed;
    FlashResultList m_results;
    bool m_anyMatched = false;
    bool m_programming = false; // inside the engine's merge and programming
};

void CUefiUpdate::Run()
{
    EngineeringValues& values = m_values;
    const DisplayAdapterList adapters =
        m_command.app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                                     false, GetPCIBus(), values.index, values.log);
    *values.log << "Checking for compatibility between display adapter(s) and image..." << LogEndl
                << LogEndl;
    try
    {
        for (size_t i = 0; i < adapters.size(); ++i)
        {
            UpdateAdapter(static_cast<int32_t>(i), adapters[i], i + 1 == adapters.size());
        }
        GetCrossPlatform()->RestoreDisplayDriver(values.log);
        PrintResults(m_results, m_detailed);
    }
    catch (...)
    {
        Line(3, "NOTE: Exception caught.");
        PrintResults(m_results, m_detailed,
                     m_programming ? ResultsClosing::NoClaim : ResultsClosing::ByOutcome);
        GetCrossPlatform()->RestoreDisplayDriver(values.log);
        throw;
    }
    if (!m_anyMatched)
    {
        values.result = engineering_exit::kNothingMatched;
    }
}

void CUefiUpdate::UpdateAdapter(int32_t index, CRefPtr<IDisplayAdapter> adapter, bool last)
{
    EngineeringValues& values = m_values;
    *values.log << LogLevel(3) << "Testing adapter #" << index << ": " << LogEndl;
    adapter->PrintDescription(*values.log, false, m_detailed);
    *values.log << LogEndl;
    values.ui->ShowMessage(1, "Adapter: " + adapter->GetName() + "\n");
    // The session holds the adapter, and its update record, until it is done.
    CRefPtr<IAdapterSession> session =
        OpenAdapterSession(values, adapter, KESTRIX_PMU, false, m_detailed, AdapterUse::Writes);
    CRefPtr<IEEPROM> eeprom = session->EEPROM();
    if (CanBeUpdated(adapter, eeprom))
    {
        OfferImage(index, adapter, eeprom);
    }
    else
    {
        values.ui->ShowMessage(1, "This graphics card does not support this firmware update.");
    }
    std::cout << "\n" << std::endl;
    values.flasher->RestoreDisplayDriver(last);
}

bool CUefiUpdate::CanBeUpdated(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom)
{
    const AdapterHead read = ReadAdapterHead(*m_values.flasher, m_values.ui, adapter,
                                             m_values.eeproms, eeprom, m_values.log);
    const CRefPtr<IROMImage>& head = read.head;
    const bool blank = read.blank;
    if (!head)
    {
        Line(3, "NOTE: Exception caught: " + read.failure);
        Line(3, "Adapter not accessible, skipping");
        GetCrossPlatform()->RestoreDisplayDriver(m_values.log);
        return false;
    }
    if (blank)
    {
        *m_values.log << "WARNING: EEPROM is erased, must update this specific adapter with a "
                         "specific image using Romvise."
                      << LogEndl;
        return false;
    }
    return true;
}

// The adapter's whole firmware; after an update that did not finish, the
// session reads the firmware it held before, which the chip may no longer
// hold whole.
CRefPtr<IROMImage> CUefiUpdate::ReadCurrentFirmware(CRefPtr<IDisplayAdapter> adapter,
                                                    CRefPtr<IEEPROM> eeprom)
{
    EngineeringValues& values = m_values;
    CRefPtr<IROMImage> current;
    try
    {
        current = values.flasher->ReadAdapterImage(values.ui, adapter, values.eeproms, eeprom,
                                                   values.log, m_detailed);
        Line(4, "Read Full EEPROM Image.");
    }
    catch (...)
    {
        Line(4, "EEPROM read failed.");
        throw;
    }
    return current;
}

void CUefiUpdate::OfferImage(int32_t index, CRefPtr<IDisplayAdapter> adapter,
                             CRefPtr<IEEPROM> eeprom)
{
    CRefPtr<IROMImage> current = ReadCurrentFirmware(adapter, eeprom);
    m_uefiImage->SetPCIRLastImage(0, 0);
    m_uefiImage->SetKPDELastImage(0, 0);
    Line(4, "Checking if the UEFI is updatable.");
    const std::string verdict =
        current->CheckUEFIImage(m_uefiImage->GetBuffer(), m_uefiImage->GetLoadedSize());
    if (verdict != "Yes")
    {
        Line(4, "Cannot update UEFI: " + verdict);
        m_results.push_back({index, adapter, false, false});
        throw std::runtime_error("Unsupported UEFI file.");
    }
    m_anyMatched = true;
    ShowVersions(current);
    if (Confirm(index, adapter))
    {
        Flash(index, adapter, eeprom);
    }
}

// "Match found:" on the screen; the versions only in the log.
void CUefiUpdate::ShowVersions(CRefPtr<IROMImage> current)
{
    Line(4, "");
    Line(4, "Match found:");
    std::ostringstream text;
    text << "Current      - Version: ";
    m_values.flasher->PrintImageVersion(current, m_values.extVersion, text, m_detailed, true);
    text << "\nReplace with - UEFI Version: " << m_uefiImage->GetUEFIVersion() << "\n";
    Line(3, text.str());
}

// True to flash; false when the user skips the adapter.
bool CUefiUpdate::Confirm(int32_t index, CRefPtr<IDisplayAdapter> adapter)
{
    if (m_values.autoConfirm)
    {
        return true;
    }
    IUserInterface& ui = *m_values.ui;
    ui.ShowMessage(1, "Do not power down your PC while the EEPROM is being updated, or the EEPROM "
                      "will be corrupted.");
    ui.ShowMessage(1, "");
    ui.ShowMessage(1, "Press 'y' to confirm ('s' to skip, any other key to abort):  ");
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    std::cout << "\n" << std::endl;
    if (key == 'y' || key == 'Y')
    {
        return true;
    }
    m_results.push_back({index, adapter, true, false});
    if (key == 's' || key == 'S')
    {
        return false;
    }
    throw user_abort_error("Update aborted");
}

void CUefiUpdate::Flash(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom)
{
    Line(3, "Going ahead to flash.");
    // The row stands as matched while the chip is written, so that a failure
    // shows which adapter it left in doubt.
    m_results.push_back({index, adapter, true, false});
    m_programming = true;
    try
    {
        m_values.flasher->FlashUEFIImage(m_values.ui, m_uefiImage, adapter, eeprom, m_values.log);
    }
    catch (const uefi_refused_error& refusal)
    {
        // Refused before anything was written: the adapter keeps its
        // firmware and the command goes on with the next one.
        m_programming = false;
        Line(3, "");
        Line(3, std::string("ERROR: ") + refusal.what());
        Line(3, "FlashUEFIImage failed!");
        std::cout << "Error: Incompatible ROM and EFI image. Did not flash." << std::endl;
        return;
    }
    m_programming = false;
    m_results.back().flashed = true;
}

void RunUefiUpdate(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    const FileTypeList types = {CRomviseBaseApp::MakeFileType(2, ".efirom"),
                                CRomviseBaseApp::MakeFileType(2, ".efr")};
    SelectionCriteria selection;
    const ROMImageList images =
        command.app.LoadFirmwareFile(values.ui, values.boards, values.fileName, types,
                                     values.extVersion, values.fwindex, selection, values.log);
    CUefiUpdate(command, images.front()).Run();
}
} // namespace

static void UpdateAdapterUEFI(EngineeringCommand& command)
{
    if (command.values.fileName.empty())
    {
        throw std::runtime_error("No filename specified.\n    Usage: " +
                                 command.app.GetProgramName() + " --updateuefi <filename>\n");
    }
    RefuseAdapterWrite(command.values);
    RunUefiUpdate(command);
}

CommandFamily UefiCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"updateuefi", 0, "", "Replace the UEFI driver in the adapters' firmware with the file's.",
         540},
    };
    static const ChainRow kChain[] = {
        {{"updateuefi"}, 51, {LogCommand}, "", UpdateAdapterUEFI},
    };
    static const UsageRow kUsage[] = {
        {1, 20, "Update UEFI firmware:", " [options] --updateuefi <filename>"},
    };
    return {kWords, kChain, kUsage};
}
