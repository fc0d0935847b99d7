#pragma once
// The flashing engine. One class, its operations in one file per family:
//   FlasherImpl.cpp            object, mode word, display driver, adapter set-up
//   FlasherIdentify.cpp        EEPROM identification, image reads, the fit check
//   FlasherMaintenance.cpp     protection, check, dump, erase
//   FlasherSection.cpp         programming one changed range of an image
//   FlasherBoardSettings.cpp   strap override, preservation table, I2C lookup
//   FlasherPreOS.cpp           the pre-OS application start
//   FlasherCertificateGate.cpp the certificate gate before programming
//   FlasherVersions.cpp        version, applied run-time packs, the one-line version
//   FlasherFieldUpdate.cpp     TV block, straps, GUID and GUID source in place
//   FlasherDelete.cpp          VBIOS deletion that keeps the Varnex store
//   FlasherTests.cpp           write/verify and read tests of a range
//   FlasherTuning.cpp          preservation-data tuning
//   FlasherStress.cpp          the EEPROM stress test
//   FlasherProgram.cpp         programming a whole image and proving it
//   FlasherRecord.cpp          the update record around a write
//   FlasherUEFI.cpp            a UEFI driver merged into the firmware and programmed
//   FlasherSave.cpp            save, compare, image information
//   FlasherVarnexTypes.cpp     Varnex flash types and presence tests
//   FlasherVarnexObd.cpp       OBD board-data fields
//   FlasherVarnexMerge.cpp     Varnex block processing, merge, OEM and BBO
//   FlasherVarnexImages.cpp    adapter images, super image, Varnex image writing

#include "core/Log.h"
#include "flasher/AdapterSessionImpl.h"
#include "flasher/CertificateGate.h"
#include "flasher/IFlasher.h"
#include "flasher/MicrocodeLoader.h"
#include "flasher/UEFIImageServices.h"
#include "image/IPreserveTune.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CFlasherImpl : public CReferenceCountImpl, public IFlasher
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // With no services given, the process-wide ones (as GetFlasher gives).
    explicit CFlasherImpl(const EngineSettings& settings,
                          const EngineServices& services = ProcessEngineServices());
    ~CFlasherImpl() override;

    // IFlasher.
    CRefPtr<IAdapterSession> OpenAdapterSession(CRefPtr<IDisplayAdapter> adapter,
                                                const AdapterOpening& opening,
                                                CRefPtr<IUserInterface> ui, CLog* log) override;
    const EngineSettings& Settings() const override { return m_settings; }
    const EngineServices& Services() const override { return m_services; }
    void SelectAdapter(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                       CRefPtr<IDisplayAdapter> adapter, bool detailed) override;
    void DisableDisplayDriver(CRefPtr<IDisplayAdapter> adapter, CLog* log,
                              bool rememberDisabled) override;
    void RestoreDisplayDriver(bool last) override;
    void ResetDriverState() override;
    bool OverrideSubvendorStrap(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                                CLog* log) override;
    void PreserveBoardSettings(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                               bool showProgress, CLog* log) override;
    void FlashUEFIImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> uefiImage,
                        CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                        CLog* log) override;
    bool FindI2CDevice(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                       CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                       int32_t deviceType, uint8_t& slaveAddress, uint8_t& port,
                       CLog* log) override;
    void EraseEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                     CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                     bool skipConfirmation, CLog* log) override;
    void SetSoftwareProtect(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                            CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                            bool enable, CLog* log) override;
    void CheckEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                     CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                     CLog* log) override;
    void DisplayEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                       CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                       uint32_t count, CLog* log) override;
    CRefPtr<IROMImage> ReadEEPROMImage(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                       uint32_t count, CLog* log) override;
    CRefPtr<IROMImage> ReadImageHead(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                                     CRefPtr<IEEPROMDatabase> database, CRefPtr<IEEPROM> eeprom,
                                     bool& blank, CLog* log) override;
    CRefPtr<IROMImage> ReadAdapterImage(CRefPtr<IUserInterface> ui,
                                        CRefPtr<IDisplayAdapter> adapter,
                                        CRefPtr<IEEPROMDatabase> database, CRefPtr<IEEPROM> eeprom,
                                        CLog* log, bool showProgress) override;
    bool CheckImageFitsEEPROM(CRefPtr<IROMImage> image, CRefPtr<IEEPROM> eeprom,
                              CLog* log) override;
    bool IsVerbose() override { return (m_modeFlags & kFlasherVerbose) != 0; }
    void SetModeFlags(int32_t flags) override { m_modeFlags = flags; }
    int32_t GetModeFlags() override { return m_modeFlags; }
    void SetUpdateJournal(CRefPtr<IUpdateJournal> journal) override
    {
        m_journal = std::move(journal);
    }
    bool LoadPreOSApp(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                      CRefPtr<IEEPROM> eeprom, CRefPtr<IEEPROMDatabase> database,
                      CLog* log) override;
    void FlashImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> newImage, bool showProgress,
                    bool keepStraps, bool keepBoardSettings, CRefPtr<IDisplayAdapter> adapter,
                    CRefPtr<IEEPROM> eeprom, CRefPtr<IEEPROMDatabase> database, uint32_t flashFlags,
                    CLog* log, CRefPtr<IBCRTCert> certificate, bool processVarnex) override;
    void DisplaySpeedometerValue(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IDisplayAdapter> adapter, CLog* log) override;
    std::vector<uint8_t> ReadROMImageToSave(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                            CRefPtr<IDisplayAdapter> adapter,
                                            CRefPtr<IDisplayAdapterDatabase> adapters,
                                            CRefPtr<IBoardDatabase> boards,
                                            CRefPtr<IEEPROMDatabase> database, bool keepAll,
                                            bool wholeEEPROM, bool detail, CLog* log) override;
    void SaveROMImage(CRefPtr<IUserInterface> ui, const std::string& fileName, CRefPtr<IPCIBus> bus,
                      CRefPtr<IDisplayAdapter> adapter, CRefPtr<IDisplayAdapterDatabase> adapters,
                      CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> database,
                      bool keepAll, bool wholeEEPROM, bool detail, CLog* log) override;
    void CompareROMImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> fileImage,
                         CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                         CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> database,
                         bool withIds, bool verify, bool doVarnex, bool ifrOnly,
                         bool checkCertificates, CLog* log) override;
    void PrintImageVersion(CRefPtr<IROMImage> image, bool boardName, std::ostream& out, bool detail,
                           bool withUEFI) override;
    void PrintImageInfo(CRefPtr<IROMImage> image, CRefPtr<IDisplayAdapterDatabase> adapters,
                        CRefPtr<IBoardDatabase> boards, bool full, bool boardNames, bool detail,
                        std::ostream& out, CLog* log, CRefPtr<IDisplayAdapter> adapter) override;
    void DisplayPCIBlocks(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                          CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                          bool keepAll, CLog* log) override;
    CRefPtr<CVarnexImage> ReadVarnexObject(CRefPtr<IROMImage> image, bool backup) override;
    bool IsGenericVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release, uint32_t* level,
                                bool backup) override;
    bool IsProductVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release, uint32_t* level,
                                bool backup) override;
    int32_t GetVarnexFlashType(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                               CLog* log) override;
    int32_t ProcessVarnexBlock(int32_t flashType, CRefPtr<IROMImage> newImage,
                               CRefPtr<IROMImage> current, CLog* log) override;
    int32_t MergeVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current, bool keepOBD,
                        bool refreshBackup, bool deleteBlock, bool keepOEM, bool keepBBO,
                        CLog* log) override;
    void MergeVarnexImage(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                          CLog* log) override;
    void RemoveVarnexBlock(CRefPtr<IROMImage> image) override;
    void RefactorNBSIVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                            CLog* log) override;
    int32_t BuildVarnexBlocks(CRefPtr<IROMImage> image, std::vector<uint8_t>& mainPayload,
                              std::vector<uint8_t>& backupPayload, bool hasBackup,
                              CLog* log) override;
    bool PrintOBDFieldDiffs(CVarnexImageObject* newObd, CVarnexImageObject* currentObd,
                            std::ostream& out) override;
    bool IsOBDFieldsMatched(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current, bool backup,
                            std::ostream& out) override;
    void PrintOutOBDFields(CRefPtr<IROMImage> image, bool backup, std::ostream& out) override;
    void PrintOBDObjectFields(CVarnexImageObject* obd, std::ostream& out) override;
    int32_t CopyVarnexImageObdObject(CRefPtr<CVarnexImage> newStore,
                                     CRefPtr<CVarnexImage> currentStore, bool flag,
                                     CLog* log) override;
    int32_t UpdateOBDFields(CRefPtr<CVarnexImage> store, const CsvSettings& settings,
                            CLog* log) override;
    // The settings' value of the field, when they name it, set with the
    // field's own limits: 0 set or not named, 5 refused.
    int32_t ApplyOBDSetting(CVarnexImageObject& obd, const CsvSettings& settings, CLog* log,
                            const char* fieldName);
    int32_t GetAdapterImages(CRefPtr<IDisplayAdapterDatabase> adapters,
                             CRefPtr<IDisplayAdapter>& adapter, IMicrocodeLoader* loader,
                             CRefPtr<IEEPROM>& eeprom, CRefPtr<IROMImage>& image,
                             CRefPtr<CVarnexImage>& store, bool detailed) override;
    bool BuildAndFlashSuperImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                 CRefPtr<IROMImage> image, std::vector<uint8_t>& mainPayload,
                                 std::vector<uint8_t>& backupPayload, bool hasBackup, CLog* log,
                                 CRefPtr<IBCRTCert> certificate) override;
    bool WriteVarnexImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                          CRefPtr<IROMImage> image, CRefPtr<IBCRTCert> certificate,
                          CLog* log) override;
    int32_t DisplayVarnexOBD(CRefPtr<IDisplayAdapter> adapter,
                             CRefPtr<IDisplayAdapterDatabase> adapters, CLog* log) override;
    int32_t BackupOEMObject(CRefPtr<CVarnexImage> backupStore, CRefPtr<CVarnexImage> primaryStore,
                            std::vector<uint8_t>& data, CLog* log) override;
    int32_t UpdateBBOObject(CRefPtr<CVarnexImage> store, uint8_t id, uint8_t revision,
                            uint16_t value, CLog* log) override;
    int32_t UpdateOEMObject(CRefPtr<CVarnexImage> store, std::vector<uint8_t>& data,
                            CLog* log) override;
    int32_t PreserveOEMObject(CRefPtr<CVarnexImage> newStore, CRefPtr<CVarnexImage> currentStore,
                              CLog* log) override;
    // Carries the adapter's BBO record into the new store: 0 carried or
    // skipped, 4 not carried, 9 the new store has no BBO object.
    virtual int32_t PreserveBBOObject(CRefPtr<CVarnexImage> newStore,
                                      CRefPtr<CVarnexImage> currentStore, CLog* log);

    // Version displays, field updates, deletion, tuning and tests.
    void DisplayVersion(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                        CRefPtr<IDisplayAdapter> adapter,
                        CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                        CRefPtr<IBoardDatabase> boardDatabase, CRefPtr<IEEPROMDatabase> database,
                        bool boardNames, bool detail, CLog* log) override;
    void DisplayAppliedRuntimePatches(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                      CRefPtr<IDisplayAdapter> adapter,
                                      CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                      CRefPtr<IBoardDatabase> boardDatabase,
                                      CRefPtr<IEEPROMDatabase> database, CLog* log) override;
    void PrintVersionQuick(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                           CRefPtr<IDisplayAdapter> adapter,
                           CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                           CRefPtr<IBoardDatabase> boardDatabase, CRefPtr<IEEPROMDatabase> database,
                           std::ostream& out, bool showVarnexVersion, CLog* log,
                           bool indent) override;
    void UpdateTVType(CRefPtr<IUserInterface> ui, const std::string& fileName,
                      CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                      CRefPtr<IEEPROMDatabase> database, CLog* log) override;
    void UpdateStraps(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                      CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                      uint32_t word0, uint32_t word1, uint32_t word2, uint32_t word3,
                      CLog* log) override;
    void UpdateGUID(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                    CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                    uint32_t high, uint32_t low, CLog* log) override;
    void UpdateGUIDSource(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                          CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                          uint32_t source, CLog* log) override;
    void DeleteVbios(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                     CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                     bool skipConfirmation, CLog* log) override;
    void TestFlashing(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                      CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                      int32_t passes, uint32_t start, uint32_t length, CLog* log) override;
    void TestReading(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                     CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                     int32_t passes, uint32_t start, uint32_t length, CLog* log) override;
    void TunePreservationData(CRefPtr<IUserInterface> ui, ICommandLine* commandLine,
                              CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IEEPROMDatabase> database,
                              std::vector<PreservationTuneRequest>& requests,
                              bool skipConfirmation, CLog* log) override;
    int32_t StressTest(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                       CRefPtr<IDisplayAdapter> adapter,
                       CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                       CRefPtr<IBoardDatabase> boardDatabase, CRefPtr<IEEPROMDatabase> database,
                       CLog* log) override;
    int32_t GetStressTestParams(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                StressTestParams* params, CLog* log) override;
    // The folder of the stress test's backup and outcome files; the working
    // directory unless set.
    void SetStressTestFolder(std::filesystem::path folder) { m_stressTestFolder = std::move(folder); }

    // The engine's own operations, used by the operations above (and reached
    // by tests through this class, not through IFlasher).
    // 0 when the image may be written to the adapter's EEPROM; -1 or the
    // microcode's error code when it is refused (the refusal is logged and
    // shown). Only EEPROMs reached through the microcontroller are checked.
    virtual int32_t VerifyImageCertificate(CRefPtr<IDisplayAdapter> adapter,
                                           CRefPtr<IROMImage> image, CRefPtr<IEEPROM> eeprom,
                                           CRefPtr<IBCRTCert> certificate, CLog* log,
                                           bool showProgress);
    // Throws "Supported EEPROM not found" when no supported part answers.
    virtual void IdentifyEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                CRefPtr<IEEPROMDatabase> database, CLog* log, bool showProgress);
    virtual CRefPtr<IROMImage> ReadEEPROMImageCopy(CRefPtr<IUserInterface> ui,
                                                   CRefPtr<IEEPROM> eeprom, uint32_t count,
                                                   CLog* log);
    // Programs [start, start + length) of the edited image (widened to whole
    // programming units) and reads the whole part back to prove it.
    // On an EEPROM a session guards, the write is recorded as `kind` (or,
    // in a session that destroys by design, only claimed).
    virtual void UpdateSection(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                               CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image, uint32_t start,
                               int32_t length, CLog* log,
                               UpdateWriteKind kind = UpdateWriteKind::Field);

    // Settings the engine hands to the EEPROM objects it creates.
    int32_t GetRetryCount() const { return m_settings.retries; }
    bool IsDriverDisabled() const { return m_driverDisabled; }
    // Installs the certificate and microcode checks of the gate.
    void SetCertificateGateServices(CertificateGateServices services);
    // Installs the UEFI image merge.
    void SetUEFIImageServices(UEFIImageServices services);
    // Installs the maker of microcode loaders for secure EEPROMs.
    void SetMicrocodeLoaderFactory(MicrocodeLoaderFactory factory);
    // Makes the loader the one of the adapter being worked on: the engine and
    // the operating-system layer's flash context (with the EEPROM and the part
    // catalogue) share it, and the one of an earlier adapter is let go of.
    void AttachMicrocodeLoader(CRefPtr<IMicrocodeLoader> loader, CRefPtr<IEEPROM> eeprom,
                               CRefPtr<IEEPROMDatabase> database);
    // The operating-system layer's restore has run the pre-OS step and is
    // about to let go of the flash context: the engine lets go of its loader.
    void ReleaseMicrocodeLoader() { m_loader = nullptr; }

private:
    // The certificate gate's check of the older kinds: the chain of trust in
    // software. 0 accepts; a refusal is logged and shown and gives -1.
    int32_t CheckInSoftware(CRefPtr<IROMImage> image, CLog* log, bool showProgress);
    // The last step before the first write of `target` from offset 0: the
    // session settles a pending record and saves the new one (the content
    // before and after); gives the image to write, `target` followed up to
    // the end of its last write unit by the content the part held before.
    CRefPtr<IROMImage> BeginRecordedWrite(IAdapterSession& session, UpdateWriteKind kind,
                                          CRefPtr<IROMImage> target, IUserInterface& ui,
                                          CLog* log);
    // Shows the blank-display warning and waits, unless verbose.
    virtual void WarnDisplayBlank(CRefPtr<IUserInterface> ui);

    // CompareROMImage's Varnex step: the board's store merged into the file
    // image, and the current image's own store merged into itself.
    void MergeVarnexForCompare(CRefPtr<IROMImage> fileImage, CRefPtr<IROMImage> current,
                               CRefPtr<IEEPROM> eeprom, CLog* log);
    // The steps of FlashImage, in its order, over what the call carries.
    struct FlashJob;
    void IdentifyPartForImage(FlashJob& job, CRefPtr<IEEPROMDatabase> database);
    void ReadCurrentContent(FlashJob& job);
    void CarryVarnexStore(FlashJob& job);
    void CarryBoardData(FlashJob& job, bool keepStraps, bool keepBoardSettings);
    void CarryBoardBlockInto(FlashJob& job);
    void PlanTarget(FlashJob& job);
    void BeginUpdateRecord(FlashJob& job);
    void PrepareWrite(FlashJob& job);
    void WriteTarget(FlashJob& job, uint32_t writeSize);
    CRefPtr<IROMImage> ReadBack(FlashJob& job, uint32_t writeSize);
    void CompareReadBack(FlashJob& job, IROMImage& readBack, uint32_t writeSize);
    void ReportOutcome(FlashJob& job, IROMImage& readBack);

    // The shared start of an operation on one adapter: the action line, the
    // display driver, the adapter selected (or only mapped) and its EEPROM
    // opened, with the microcode loader for a secure one.
    CRefPtr<IEEPROM> BeginAdapterOperation(const std::string& action, CRefPtr<IUserInterface> ui,
                                           CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                           CRefPtr<IEEPROMDatabase> database, bool detailed,
                                           bool select, CLog* log,
                                           AdapterUse use = AdapterUse::Reads);
    // The same with the adapter selected in detail and its part identified.
    CRefPtr<IEEPROM> BeginIdentifiedOperation(const std::string& action, CRefPtr<IUserInterface> ui,
                                              CRefPtr<IPCIBus> bus,
                                              CRefPtr<IDisplayAdapter> adapter,
                                              CRefPtr<IEEPROMDatabase> database, CLog* log,
                                              AdapterUse use = AdapterUse::Reads);
    // The adapter's whole part read after identification, as the read-only
    // operations start.
    CRefPtr<IROMImage> ReadIdentifiedAdapterImage(CRefPtr<IUserInterface> ui,
                                                  CRefPtr<IEEPROM> eeprom,
                                                  CRefPtr<IEEPROMDatabase> database, bool detail,
                                                  CLog* log);
    // The adapter's session for an operation that selects the adapter and
    // hands the display over itself (or keeps it): its guarded EEPROM, which
    // keeps the session open while held. Throws "Cannot program unsupported
    // EEPROM type" without an EEPROM class.
    CRefPtr<IEEPROM> OpenEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                                bool detailed, AdapterUse use, CLog* log);
    // The opening every engine operation starts from.
    AdapterOpening EngineOpening(AdapterUse use, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IEEPROMDatabase> database, bool verbose) const;
    // The session guarding `eeprom`, or one opened around it for an engine
    // operation called with a bare EEPROM driver (as tests do).
    CRefPtr<IAdapterSession> SessionFor(CRefPtr<IDisplayAdapter> adapter,
                                            CRefPtr<IEEPROM> eeprom, AdapterUse use,
                                            IUserInterface& ui, CLog* log);
    // The whole-part target of a write of `count` bytes of `image` at
    // `address`, begun on the session (no record without one).
    void BeginSessionWrite(CAdapterSessionImpl* session, UpdateWriteKind kind, IROMImage& image,
                           uint32_t address, uint32_t count, IUserInterface& ui, CLog* log);
    // Lifts the part's software write protection when its record asks for it.
    void LiftWriteProtectionIfNeeded(IUserInterface& ui, IEEPROM& eeprom, CLog& log);
    // The texts of a destructive operation: its action, the log line when
    // its questions are skipped, the single-key question and the abort texts
    // of that and of the typed question.
    struct DestructiveQuestions
    {
        std::string action;
        std::string skippedLine;
        std::string question;
        std::string abortText;
        std::string typedAbortText;
    };
    // The shared start of the erase and the VBIOS deletion: the display
    // driver, the adapter, its EEPROM identified, then the questions unless
    // the caller skips them.
    CRefPtr<IEEPROM> BeginDestructiveOperation(const DestructiveQuestions& questions,
                                               CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                               CRefPtr<IDisplayAdapter> adapter,
                                               CRefPtr<IEEPROMDatabase> database,
                                               bool skipConfirmation, CLog* log, AdapterUse use);
    // The single-key question and, for the gravest operations, the typed one.
    void ConfirmOrAbort(IUserInterface& ui, bool typed, const std::string& question,
                        const std::string& abortText);

    // The common start of the version displays: the adapter's whole
    // firmware, without its first block of code type 0x85.
    CRefPtr<IROMImage> ReadImageForVersion(const std::string& action, CRefPtr<IUserInterface> ui,
                                           CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                           CRefPtr<IEEPROMDatabase> database, bool detailed,
                                           CRefPtr<IEEPROM>& eeprom, CLog* log);
    // The common start of the field updates: the adapter selected, its
    // EEPROM opened and identified, the whole part read.
    CRefPtr<IROMImage> ReadImageForFieldUpdate(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                               CRefPtr<IDisplayAdapter> adapter,
                                               CRefPtr<IEEPROMDatabase> database,
                                               bool needsTvBlockUpdate, CRefPtr<IEEPROM>& eeprom,
                                               CLog* log);
    // Programs an image whose ROM chain is the current image's Varnex block
    // alone.
    void WriteVarnexOnlyImage(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> current,
                              int32_t varnexBlock, CLog* log);
    // Erases the whole part as a recorded write and proves it erased.
    void EraseWholePart(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom, CLog* log);
    // The common start of the EEPROM tests: the part identified and read,
    // the range widened to whole units and checked against the part.
    CRefPtr<IROMImage> BeginEEPROMTest(bool writeVerify, CRefPtr<IUserInterface> ui,
                                       CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IEEPROMDatabase> database, CRefPtr<IEEPROM>& eeprom,
                                       uint32_t& start, uint32_t& length, uint32_t& unit,
                                       CLog* log);
    // One tuning request: its answer shown, a change applied to the working
    // copy; false when a change could not be made.
    bool ApplyTuneRequest(IUserInterface& ui, ICommandLine* commandLine, IPreserveTune& tuner,
                          IROMImage& current, IROMImage& working,
                          PreservationTuneRequest& request, CLog* log);
    // One erase/write/verify iteration of the stress test; 0 when it passed.
    int32_t RunStressIteration(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                               CRefPtr<IROMImage> working, CRefPtr<IROMImage> backup,
                               const StressTestParams& params, int32_t n, std::ofstream& outcome,
                               CLog* log);
    // Writes the saved firmware back, proves it and only then deletes the
    // backup file.
    int32_t RestoreAfterStressTest(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                   CRefPtr<IROMImage> backup,
                                   const std::filesystem::path& backupPath,
                                   const StressTestParams& params, CLog* log);

    std::filesystem::path m_stressTestFolder;
    int32_t m_modeFlags = 1;
    EngineSettings m_settings;
    EngineServices m_services;
    bool m_driverDisabled = false;
    // The open sessions by adapter location; each removes itself when it
    // closes.
    std::shared_ptr<std::map<std::string, CAdapterSessionImpl*>> m_sessions =
        std::make_shared<std::map<std::string, CAdapterSessionImpl*>>();
    MicrocodeLoaderFactory m_loaderFactory;
    CertificateGateServices m_certificateGate;
    UEFIImageServices m_uefi;
    CRefPtr<IMicrocodeLoader> m_loader;
    CRefPtr<IUpdateJournal> m_journal;
};

// Refuses a test that writes its own patterns on an EEPROM reached through
// the Kestrix microcontroller, before anything is erased: the patterns are no
// image the certificate check could accept, and a write refused after the
// test's erase would leave the adapter without firmware.
void RefusePatternTestOnSecureEEPROM(IEEPROM& eeprom, const std::string& test);
// Shows the text on the console and writes it to the log at level 3.
void ShowAndLog(IUserInterface& ui, CLog* log, const std::string& text);
// Writes the text to the log at level 3 (a null log takes nothing) and then,
// as a line, to standard output, whatever the message level: the failure
// lines of the Varnex object updates.
void PrintAndLog(CLog* log, const std::string& text);
// Restores the display driver through the operating-system layer, for an
// operation that gives the display back and goes on (or returns a status);
// a failure leaves through the operation's CDisplayDriverRestoreGuard instead.
void RestoreDisplayDriverNow(CLog* log);

// The code type of the board's own PCI block, which carries data the board
// keeps across updates.
inline constexpr uint8_t kBoardBlockCodeType = 0x85;
// Where the byte a read-back is checked against comes from: the image just
// written (Expected), or the image a compare-only run holds the part to.
enum class MismatchSource
{
    Expected,
    Image,
};
// "Mismatch at offset 0x..." with the byte expected and the byte read back.
std::string MismatchText(int32_t offset, uint8_t expected, uint8_t readBack,
                         MismatchSource source = MismatchSource::Expected);
// The lines describing one image of a run-time ROM pack.
void PrintRuntimePackImageInfo(int32_t index, IROMImage& image,
                               IDisplayAdapterDatabase& adapterDatabase,
                               IBoardDatabase& boardDatabase, std::ostream& out, CLog* log);
