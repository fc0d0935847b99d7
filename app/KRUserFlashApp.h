#pragma once
// The packaged updater: finds the adapters its embedded package fits and
// updates them, or saves their firmware into backup files, or writes such
// files back. Five options make up its whole command line.

#include "app/PackageSlot.h"
#include "app/RomviseBaseApp.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/AdapterSession.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "image/IROMImage.h"
#include "image/IROMMeld.h"
#include "image/IVFieldTable.h"

#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

class IFlasher;

// Exit codes of the packaged updater.
enum PackagedExitCode : int
{
    kExitMatched = 0,
    kExitNoMatch = 1,
    kExitRuntimeError = 2,
    kExitIoError = 3,
    kExitProgrammingError = 4,
    kExitUserAbort = 5,
    kExitEnvironmentError = 6,
    kExitNoVarnexImage = 16,
};

class CKRUserFlashApp : public CRomviseBaseApp
{
public:
    CKRUserFlashApp(int argc, char** argv);
    ~CKRUserFlashApp() override;

    std::string GetProgramName() override;
    int32_t GetFeatureFlags() override;
    // The whole job; returns the exit code.
    int Run() override;

    virtual void LoadPackagedImages(std::vector<CRefPtr<IROMImage>>& images,
                                    CRefPtr<IBoardDatabase> boards, const uint8_t* package,
                                    uint32_t length, bool isPack, SelectionCriteria& selection);
    // Creates the backup file (never over a file, never through a link) with
    // the firmware and the package's trailer; a failed write removes it.
    virtual void WriteBackupFile(const std::string& fileName, std::span<const uint8_t> firmware);
    // The backup file as an image without its trailer, refused unless it was
    // written by a program carrying this very package.
    CRefPtr<IROMImage> CheckRestoreImage(const std::string& fileName);

private:
    struct RunState;

    bool IsQuiet(const PackageControlBlock& control);
    // The message and exit code of a failure that ended the run; a failure
    // of a kind the run does not know goes on to the caller.
    int ReportFailure(std::exception_ptr failure, const RunState& state);
    int RunPackage(RunState& state);
    // The run's objects and the banner.
    void SetUpRun(RunState& state);
    // The embedded package's images, and the power warning before anything
    // is searched for.
    void LoadPackage(RunState& state);
    // The update records, where the run can keep them.
    void OpenRecords(RunState& state);
    // Each adapter in bus order; a non-zero status (the Varnex pre-merge's)
    // ends the run at once.
    int HandleAdapters(RunState& state);
    // The summary of the run, the reboot the package asks for, and the exit
    // code.
    int FinishRun(RunState& state);
    int HandleAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter);
    // The adapter's session for the run: display driver off, selected, its
    // EEPROM (with the microcode loader a secure part needs), its update
    // record claimed.
    CRefPtr<IAdapterSession> OpenAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter);
    int TryImage(RunState& state, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                  CRefPtr<IROMImage> head, bool blank, CRefPtr<IROMImage> image);
    uint32_t MaskedMismatch(uint32_t mismatch);
    void ReportMismatch(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                        CRefPtr<IROMImage> head, CRefPtr<IROMImage> image, uint32_t mismatch);
    // 'y' goes on, 's' skips (false); any other key aborts the run.
    bool ConfirmOrAbort(RunState& state, const std::string& action, const std::string& abortText);
    void CheckPower();
    // Carries the adapter's Varnex store into the image before programming,
    // writing the adapter's Varnex backup block first when it lacks one; a
    // non-zero status ends the run with it.
    int PremergeVarnex(RunState& state, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image);
    // The power check, the write-protection removal the package asks for,
    // and the programming itself.
    void ProgramImage(RunState& state, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                      CRefPtr<IROMImage> image, bool processVarnex = true);
    // Returns a non-zero status when the Varnex pre-merge ends the run.
    int UpdateAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                       CRefPtr<IROMImage> head, CRefPtr<IROMImage> image);
    void BackupAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> head);
    void RestoreAdapter(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                        CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> head);
    CRefPtr<IROMImage> AdapterFirmware(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IEEPROM> eeprom);
    void ShowAdapterAndVersion(RunState& state, CRefPtr<IDisplayAdapter> adapter,
                               CRefPtr<IROMImage> head);
    std::string NextFileName(RunState& state, const std::string& option);
};

// Logs an image refused by the certificate and signature check at level 4
// (standard error and the log file), also when quiet; beeps when not quiet.
void ReportImageRefused(CLog* log, const std::exception& error, bool quiet);
