// The packaged update run: set-up, the embedded package, the adapters the
// package fits, and for each matching adapter-and-image pair an update, a
// backup or a restore.

#include "app/PackagedRunState.h"

#include "app/UpdateRecords.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "eeprom/KestrixLoader.h"
#include "flasher/AdapterHead.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/IFlasher.h"
#include "flasher/ImageCompatibility.h"
#include "flasher/UpdateJournal.h"
#include "hw/catalogue/AdapterCatalogue.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace
{
constexpr uint32_t kCountdownMicroseconds = 3000000;

void ShowPowerWarning()
{
    std::cout << '\n'
              << "                              *** IMPORTANT ***\n"
              << "Do not turn off the computer or attempt to reboot your computer while the \n"
              << "Korvan firmware is being updated.  If the computer is turned off, or \n"
              << "power is lost, you may be unable to restart your computer.\n\n"
              << "Searching for display adapters to update..." << std::endl;
}

void NameBoard(CRefPtr<IBoardDatabase> boards, CRefPtr<IROMImage> image)
{
    CBoardType board;
    boards->GetBoardType(board, image->GetBoardID());
    if (board.IsKnown())
    {
        image->SetBoardName(board.name);
    }
}
} // namespace

int CKRUserFlashApp::RunPackage(RunState& state)
{
    // The one restore of the run's failures: whatever leaves the run, the
    // display comes back before the failure is reported.
    CDisplayDriverRestoreGuard restoreOnExit(state.log, DisplayRestore::OnEveryExit);
    SetUpRun(state);
    LoadPackage(state);
    OpenRecords(state);
    CUpdateJournalInstall journalInstalled(state.flasher, state.journal);
    if (const int status = HandleAdapters(state); status != 0)
    {
        // The Varnex pre-merge ends the run with its status.
        return status;
    }
    GetCrossPlatform()->RestoreDisplayDriver(state.log);
    return FinishRun(state);
}

void CKRUserFlashApp::SetUpRun(RunState& state)
{
    state.eeproms = GetEEPROMDatabase();
    state.adapters = CreateDisplayAdapterDatabase();
    state.boards = GetBoardDatabase();
    state.bus = GetPCIBus();
    state.flasher = GetFlasher();
    state.flasher->SetModeFlags(GetFeatureFlags());
    std::cout << "\nKorvan Firmware Update Utility\nVersion " << GetProgramVersionText()
              << std::endl;
}

void CKRUserFlashApp::LoadPackage(RunState& state)
{
    if (IsPackageSlotEmpty(state.store))
    {
        throw std::runtime_error("No embedded ROM image.  romstamp.exe was never executed.  See "
                                 "romuvise.doc for details.");
    }
    const std::span<const uint8_t> package = GetPackageBytes(state.store);
    LoadPackagedImages(state.images, state.boards, package.data(),
                       static_cast<uint32_t>(package.size()),
                       (state.store.control.flags & kPackageIsPack) != 0, state.selection);
    if (!state.quiet && !commandLine->IsSet("backup"))
    {
        ShowPowerWarning();
    }
}

void CKRUserFlashApp::OpenRecords(RunState& state)
{
    // A backup reads records (after an update that did not finish it saves
    // the firmware the record holds) but never writes one, and goes on
    // without them where the state folder cannot be used.
    try
    {
        state.journal = OpenUpdateJournal();
    }
    catch (const io_error&)
    {
        if (!commandLine->IsSet("backup"))
        {
            throw;
        }
    }
}

int CKRUserFlashApp::HandleAdapters(RunState& state)
{
    DisplayAdapterList adapters;
    EnumerateAdapters(adapters, state.bus, state.adapters, {}, false, false, state.log, false);
    state.adapterCount = static_cast<int>(adapters.size());
    int handled = 0;
    for (CRefPtr<IDisplayAdapter>& adapter : adapters)
    {
        if (const int status = HandleAdapter(state, adapter); status != 0)
        {
            return status;
        }
        ++handled;
        state.flasher->RestoreDisplayDriver(handled == state.adapterCount);
    }
    return 0;
}

int CKRUserFlashApp::FinishRun(RunState& state)
{
    if (!state.matchedAny)
    {
        if (!state.quiet)
        {
            std::cout << "No display adapters were found that are compatible with this update."
                      << std::endl;
        }
        return kExitNoMatch;
    }
    if (!state.quiet)
    {
        std::cout << "No more matches found." << std::endl;
    }
    if (state.store.control.flags & kPackageReboot)
    {
        if (!state.quiet)
        {
            std::cout << "\nSystem will reset now!" << std::endl;
        }
        GetCrossPlatform()->DelayMicroseconds(kCountdownMicroseconds);
        GetCrossPlatform()->Reboot();
    }
    return state.result;
}

int CKRUserFlashApp::HandleAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter)
{
    // The session holds the adapter (and its lock) until the adapter is done.
    CRefPtr<IAdapterSession> session = OpenAdapter(state, adapter);
    CRefPtr<IEEPROM> eeprom = session->EEPROM();
    // The session reads the head of the firmware a stopped update's record
    // saved in place of a half-written part.
    const AdapterHead read =
        ReadAdapterHead(*state.flasher, state.ui, adapter, state.eeproms, eeprom, state.log);
    if (!read.head)
    {
        // Only a failed read skips the adapter; the run goes on with the next.
        std::ostringstream note;
        note << "NOTE: Exception caught: " << read.failure;
        LogMessage(note, 3, true);
        note << "Adapter not accessible, skipping";
        LogMessage(note, 3, true);
        return 0;
    }
    if (read.blank && state.selection.kind == 0)
    {
        std::cerr << "WARNING: EEPROM is erased, unable to check for update." << std::endl;
        return 0;
    }
    NameBoard(state.boards, read.head);
    for (CRefPtr<IROMImage>& image : state.images)
    {
        if (const int status = TryImage(state, adapter, eeprom, read.head, read.blank, image);
            status != 0)
        {
            return status;
        }
    }
    return 0;
}

CRefPtr<IAdapterSession> CKRUserFlashApp::OpenAdapter(RunState& state,
                                                      CRefPtr<IDisplayAdapter> adapter)
{
    const bool backup = commandLine->IsSet("backup");
    AdapterOpening opening;
    // A backup reads; after an update that did not finish it saves the
    // firmware the record holds.
    opening.use = backup ? AdapterUse::Saves : AdapterUse::Writes;
    opening.rememberDisabled = true;
    opening.loaderVerbose = HasEngineeringFeatures();
    opening.announcePending = !state.quiet && !backup;
    opening.bus = state.bus;
    opening.eeproms = state.eeproms;
    opening.boards = state.boards;
    CRefPtr<IAdapterSession> session =
        state.flasher->OpenAdapterSession(adapter, opening, state.ui, state.log);
    if (backup && session->PendingWrite() && !state.quiet)
    {
        std::cout << "NOTE: The last update of this display adapter did not finish; the backup "
                     "saves the firmware it held before."
                  << std::endl;
    }
    return session;
}

uint32_t CKRUserFlashApp::MaskedMismatch(uint32_t mismatch)
{
    const uint32_t flags = GetPackageStore().control.flags;
    if (flags & kPackageIgnoreSubsystem)
    {
        mismatch &= ~uint32_t{kMismatchSubsystemId};
    }
    if (!(flags & (kPackageNewerOnly | kPackageNewerOrEqual)))
    {
        mismatch &= ~uint32_t{kMismatchVersionOrder | kMismatchSameVersion};
    }
    if (flags & kPackageNewerOrEqual)
    {
        mismatch &= ~uint32_t{kMismatchSameVersion};
    }
    if (flags & kPackageAnyVersion)
    {
        mismatch &= ~uint32_t{kMismatchVersionOrder | kMismatchSameVersion};
    }
    return mismatch;
}

int CKRUserFlashApp::TryImage(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> head, bool blank,
                              CRefPtr<IROMImage> image)
{
    const PackageControlBlock& control = state.store.control;
    SelectionCriteria selection = state.selection;
    CompatibilityRequest request;
    request.blank = blank;
    request.acceptedSubsystemVendorId = control.subsystemVendorId;
    request.acceptedSubsystemDeviceId = control.subsystemDeviceId;
    request.acceptedBoardId = control.boardId;
    const uint32_t mismatch = MaskedMismatch(
        CheckImageCompatibility(adapter, image, head, &selection, request, state.log));
    if (mismatch != 0)
    {
        ReportMismatch(state, adapter, head, image, mismatch);
        return 0;
    }
    state.matchedAny = true;
    std::cout << "Firmware Image Version: " << image->GetVersionString(0) << std::endl;
    if (commandLine->IsSet("backup"))
    {
        BackupAdapter(state, adapter, head);
    }
    else if (commandLine->IsSet("restore"))
    {
        RestoreAdapter(state, adapter, eeprom, head);
    }
    else
    {
        // Each adapter gets its own copy: the engine writes the adapter's
        // board data into the image it programs.
        if (const int status =
                UpdateAdapter(state, adapter, eeprom, head, IROMImage::Clone(image.get()));
            status != 0)
        {
            return status;
        }
    }
    std::cout << std::endl;
    return 0;
}

void CKRUserFlashApp::ReportMismatch(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                     CRefPtr<IROMImage> head, CRefPtr<IROMImage> image,
                                     uint32_t mismatch)
{
    if (state.quiet)
    {
        return;
    }
    const bool versionOnly =
        (mismatch & ~uint32_t{kMismatchVersionOrder | kMismatchSameVersion}) == 0;
    const std::string text =
        std::string(versionOnly ? "Board is already updated with firmware version "
                                : "Board is incompatible with firmware version ") +
        head->GetVersionString(0) + ".";
    const int32_t imageKind = image->GetImageType();
    const int32_t deviceKind = adapter->GetDevice()->GetDeviceKind();
    const bool kindsFit =
        (imageKind > 2 && TraitsOfDeviceKind(deviceKind).gpu) ||
        (imageKind == 2 && deviceKind == static_cast<int32_t>(kDeviceKindPLX8747));
    if (versionOnly || kindsFit)
    {
        state.ui->ShowMessage(1, text);
        state.ui->ShowMessage(1, "");
        return;
    }
    std::ostringstream message;
    message << text;
    LogMessage(message, 3, true);
}

void CKRUserFlashApp::ShowAdapterAndVersion(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                            CRefPtr<IROMImage> head)
{
    adapter->PrintDescription(std::cout, false, false);
    std::cout << '\n' << std::setw(21) << ' ' << "Current Firmware Version: ";
    state.flasher->PrintImageVersion(head, false, std::cout, false, false);
    std::cout << std::endl;
}

bool CKRUserFlashApp::ConfirmOrAbort(RunState& state, const std::string& action,
                                     const std::string& abortText)
{
    const bool countdown = (state.store.control.flags & kPackageCountdown) != 0;
    if (countdown)
    {
        std::string upper = action;
        for (char& c : upper)
        {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        std::cout << upper << " WILL BEGIN IN ABOUT 3 SECONDS.\n" << std::endl;
        GetCrossPlatform()->DelayMicroseconds(kCountdownMicroseconds);
        return true;
    }
    std::cout << "CONFIRM: You are about to " << action
              << " the firmware of the display adapter.\nAre you sure you want to do this?\n"
              << "Press 'y' to confirm ('s' to skip, 'a' to abort):  " << std::flush;
    const int key = GetCrossPlatform()->GetAnswerKey(true);
    std::cout << std::endl;
    if (key == 'y' || key == 'Y')
    {
        return true;
    }
    if (key == 's' || key == 'S')
    {
        return false;
    }
    throw user_abort_error(abortText);
}

void CKRUserFlashApp::CheckPower()
{
    if (!GetCrossPlatform()->IsPowerSufficient() && !commandLine->IsSet("nopowerchk"))
    {
        throw std::runtime_error("EEPROM updating prevented due to no AC power detected and "
                                 "battery level below 35%");
    }
}

int CKRUserFlashApp::UpdateAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                   CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> head,
                                   CRefPtr<IROMImage> image)
{
    std::cout << "Found display adapter suitable for this update:" << std::endl;
    ShowAdapterAndVersion(state, adapter, head);
    if (!ConfirmOrAbort(state, "update", "User aborted"))
    {
        return 0;
    }
    bool processVarnex = true;
    if (state.store.control.flags & kPackageMergeVarnex)
    {
        // The power check comes before the pre-merge, which may write the
        // adapter's Varnex backup block.
        CheckPower();
        if (const int status = PremergeVarnex(state, adapter, image); status != 0)
        {
            return status;
        }
        processVarnex = false;
    }
    ProgramImage(state, adapter, eeprom, image, processVarnex);
    return 0;
}

void CKRUserFlashApp::ProgramImage(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                   CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image,
                                   bool processVarnex)
{
    // The power check comes before anything is written to the adapter.
    CheckPower();
    const uint32_t flags = state.store.control.flags;
    if (flags & kPackageRemoveWriteProtect)
    {
        state.flasher->SetSoftwareProtect(state.ui, state.bus, adapter, state.eeproms, false,
                                          state.log);
    }
    const bool keepBoardSettings = (flags & kPackageReplaceBoardSettings) == 0;
    state.flasher->FlashImage(state.ui, image, /*showProgress=*/false, /*keepStraps=*/false,
                              keepBoardSettings, adapter, eeprom, state.eeproms, kFlashWholeImage,
                              state.log, nullptr, processVarnex);
}
