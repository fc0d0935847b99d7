#pragma once
// The flashing engine: every user-level operation on one adapter's EEPROM and
// firmware, and the few settings those operations share. One engine per
// process, reached through GetFlasher.
//
// Every operation on an adapter writes "Action: " and its name to the log at
// level 3, hands the display driver to the operating-system layer, selects the
// adapter and opens its EEPROM with the engine's retry count and access
// settings. Destructive operations ask for confirmation unless their caller
// passes the skip flag. When an operation leaves by an exception the display
// driver is restored first.

#include "common/core/crypto/Certificate.h"
#include "core/CommandLine.h"
#include "core/CsvSettings.h"
#include "core/DisplayDriverHook.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/AdapterSession.h"
#include "flasher/IUpdateJournal.h"
#include "flasher/MicrocodeLoader.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "image/IROMImage.h"
#include "varnex/VarnexImage.h"
#include "varnex/VarnexTypedObjects.h"

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

// A UEFI image flash refused before its first write (the merge failed, the
// merged firmware does not fit the part, or the certificate gate of a secure
// EEPROM refused it): the EEPROM holds what it held before and no update
// record was begun, so a caller may go on with the next adapter.
class uefi_refused_error : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One preservation-tuning request, in command-line order.
enum PreservationTuneKind : uint32_t
{
    kTuneSetRegister = 1,
    kTuneReadRegister = 2,
    kTuneAddRegister = 3,
    kTuneSubtractRegister = 4,
    kTuneReadData = 5,
    kTuneWriteData = 6,
};
// lowBit and highBit when the request names no bit range.
inline constexpr uint8_t kNoBitRange = 255;
// The length of the firmware head ReadImageHead reads.
inline constexpr uint32_t kImageHeadSize = 0x1000;
struct PreservationTuneRequest
{
    uint32_t registerAddress = 0;
    uint32_t value = 0;
    uint8_t lowBit = kNoBitRange;
    uint8_t highBit = kNoBitRange;
    uint8_t dataId = 0;
    // The occurrence of "presdatatune" that holds the data values.
    uint8_t occurrence = 0;
    uint32_t dataOffset = 0;
    // Bytes to write (values x 4), or the block's size once found.
    uint16_t dataSize = 0;
    uint32_t requestKind = 0;
};

// What the stress test's questions chose.
struct StressTestParams
{
    int32_t testType = 0;
    uint32_t sectorCount = 0;
    uint32_t startSector = 0;
    uint32_t startOffset = 0;
    uint32_t testLength = 0;
    int32_t loopCount = 0;
    int64_t maxEraseTimeMs = 0;
    // On the monotonic clock, in milliseconds.
    uint64_t startTimeMs = 0;
    std::string startTimeText;
};

// The engine's mode word.
// The flag word of IFlasher::FlashImage.
enum FlashImageFlags : uint32_t
{
    kFlashWholeImage = 0x0,
    // Verifies and compares the init-from-ROM segment only, writing nothing.
    kFlashCompareSegmentOnly = 0x1,
    // Programs only the init-from-ROM segment.
    kFlashProgramSegmentOnly = 0x2,
};

enum FlasherModeFlags : int32_t
{
    kFlasherVerbose = 0x1,
    // FlashImage names the old and the new version after a successful update.
    kFlasherShowVersionChange = 0x8,
    kFlasherPackagedMode = 0x8,
    kFlasherEngineeringMode = 0xF,
};

class IFlasher : public IReferenceCount
{
public:
    // Opens the adapter for work (see flasher/AdapterSession.h), or gives the
    // session already open for it. The session closes, and gives the adapter
    // free, when its last holder lets go.
    virtual CRefPtr<IAdapterSession> OpenAdapterSession(CRefPtr<IDisplayAdapter> adapter,
                                                        const AdapterOpening& opening,
                                                        CRefPtr<IUserInterface> ui,
                                                        CLog* log) = 0;
    // The settings the engine read from the command line when it was made.
    virtual const EngineSettings& Settings() const = 0;
    // Where the operations find the services their callers do not hand in.
    virtual const EngineServices& Services() const = 0;

    // Shows "Adapter: " and its description and maps its registers.
    virtual void SelectAdapter(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, bool detailed) = 0;
    // Disables the maker's display driver before the adapter is worked on
    // (kinds 8 to 13), at most once per run when `rememberDisabled` is set.
    virtual void DisableDisplayDriver(CRefPtr<IDisplayAdapter> adapter, CLog* log,
                                      bool rememberDisabled) = 0;
    // After an adapter: the last one (or a run that never disabled the driver)
    // gives the display driver back; any other starts the adapter's pre-OS
    // application and keeps the driver disabled.
    virtual void RestoreDisplayDriver(bool last) = 0;
    // The operating-system layer enabled the driver again.
    virtual void ResetDriverState() = 0;

    // Forces the subsystem-vendor strap through the GPU's strap override.
    virtual bool OverrideSubvendorStrap(CRefPtr<IUserInterface> ui,
                                        CRefPtr<IDisplayAdapter> adapter, CLog* log) = 0;
    // Merges a UEFI driver image into the adapter's firmware, programs the
    // result into the identified EEPROM and reads it back. A refusal before
    // the first write is a uefi_refused_error; any other failure may leave
    // the part partly written.
    virtual void FlashUEFIImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> uefiImage,
                                CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                CLog* log) = 0;
    // Copies the board's settings of the preservation table from the adapter's
    // current image into the new one.
    virtual void PreserveBoardSettings(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                       bool showProgress, CLog* log) = 0;
    // The slave address and port of the I2C device of `deviceType` in the
    // adapter firmware's device table.
    virtual bool FindI2CDevice(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               int32_t deviceType, uint8_t& slaveAddress, uint8_t& port,
                               CLog* log) = 0;

    // EEPROM maintenance.
    virtual void EraseEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                             CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                             bool skipConfirmation, CLog* log) = 0;
    virtual void SetSoftwareProtect(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                    CRefPtr<IDisplayAdapter> adapter,
                                    CRefPtr<IEEPROMDatabase> database, bool enable, CLog* log) = 0;
    virtual void CheckEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                             CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                             CLog* log) = 0;
    // A hexadecimal listing of the first `count` bytes.
    virtual void DisplayEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               uint32_t count, CLog* log) = 0;

    // Image reads from an identified EEPROM.
    virtual CRefPtr<IROMImage> ReadEEPROMImage(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                               uint32_t count, CLog* log) = 0;
    // The first kImageHeadSize bytes of the adapter's firmware; `blank` tells an erased
    // EEPROM.
    virtual CRefPtr<IROMImage> ReadImageHead(CRefPtr<IUserInterface> ui,
                                             CRefPtr<IDisplayAdapter> adapter,
                                             CRefPtr<IEEPROMDatabase> database,
                                             CRefPtr<IEEPROM> eeprom, bool& blank, CLog* log) = 0;
    // The whole part.
    virtual CRefPtr<IROMImage> ReadAdapterImage(CRefPtr<IUserInterface> ui,
                                                CRefPtr<IDisplayAdapter> adapter,
                                                CRefPtr<IEEPROMDatabase> database,
                                                CRefPtr<IEEPROM> eeprom, CLog* log,
                                                bool showProgress) = 0;
    // True when the image fits the identified part.
    virtual bool CheckImageFitsEEPROM(CRefPtr<IROMImage> image, CRefPtr<IEEPROM> eeprom,
                                      CLog* log) = 0;

    virtual bool IsVerbose() = 0;
    virtual void SetModeFlags(int32_t flags) = 0;
    virtual int32_t GetModeFlags() = 0;
    // The record FlashImage keeps while it writes (null, the default, keeps
    // none): the adapter's content is saved before the first write and the
    // record removed after the verified write; a pending record's content
    // stands in for the part's when the board's data is taken over.
    virtual void SetUpdateJournal(CRefPtr<IUpdateJournal> journal) = 0;

    // Loads the pre-OS application of the adapter's firmware into its
    // microcontroller and starts it; true when it was started.
    virtual bool LoadPreOSApp(CRefPtr<IUserInterface> ui, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IEEPROM> eeprom, CRefPtr<IEEPROMDatabase> database,
                              CLog* log) = 0;


    // ---- version displays, field updates, deletion, tuning and tests -----
    // The full image information of the adapter's firmware; `boardNames`
    // names the boards on the console, `detail` adds the detailed fields.
    virtual void DisplayVersion(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                CRefPtr<IDisplayAdapter> adapter,
                                CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                CRefPtr<IBoardDatabase> boardDatabase,
                                CRefPtr<IEEPROMDatabase> database, bool boardNames, bool detail,
                                CLog* log) = 0;
    // The run-time ROM pack images the running firmware reports as applied.
    virtual void DisplayAppliedRuntimePatches(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                              CRefPtr<IDisplayAdapter> adapter,
                                              CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                              CRefPtr<IBoardDatabase> boardDatabase,
                                              CRefPtr<IEEPROMDatabase> database, CLog* log) = 0;
    // One line of identity and firmware version; "Version N/A" when the
    // firmware cannot be read.
    virtual void PrintVersionQuick(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                   CRefPtr<IDisplayAdapter> adapter,
                                   CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                   CRefPtr<IBoardDatabase> boardDatabase,
                                   CRefPtr<IEEPROMDatabase> database, std::ostream& out,
                                   bool showVarnexVersion, CLog* log, bool indent) = 0;
    // Field updates of the adapter's current firmware; only the changed
    // range is programmed, then the whole part is read back.
    virtual void UpdateTVType(CRefPtr<IUserInterface> ui, const std::string& fileName,
                              CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IEEPROMDatabase> database, CLog* log) = 0;
    virtual void UpdateStraps(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                              CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                              uint32_t word0, uint32_t word1, uint32_t word2, uint32_t word3,
                              CLog* log) = 0;
    // Refused for an image without a GUID record.
    virtual void UpdateGUID(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                            CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                            uint32_t high, uint32_t low, CLog* log) = 0;
    // Source 1 main, 0 dedicated.
    virtual void UpdateGUIDSource(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                  CRefPtr<IDisplayAdapter> adapter,
                                  CRefPtr<IEEPROMDatabase> database, uint32_t source,
                                  CLog* log) = 0;
    // Removes the firmware from the EEPROM and keeps only its Varnex store;
    // firmware without one is erased whole.
    virtual void DeleteVbios(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                             CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                             bool skipConfirmation, CLog* log) = 0;
    // EEPROM qualification over [start, start + length) widened to whole
    // programming units (length 0: one unit); passes 0 runs until a pass
    // fails. A range reaching past the part is refused whole.
    virtual void TestFlashing(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                              CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                              int32_t passes, uint32_t start, uint32_t length, CLog* log) = 0;
    virtual void TestReading(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                             CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                             int32_t passes, uint32_t start, uint32_t length, CLog* log) = 0;
    // Answers read requests from the adapter's firmware and writes the
    // change requests back, only when every change succeeded and the user
    // agrees; data requests get their offset and size filled in.
    virtual void TunePreservationData(CRefPtr<IUserInterface> ui, ICommandLine* commandLine,
                                      CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                      CRefPtr<IEEPROMDatabase> database,
                                      std::vector<PreservationTuneRequest>& requests,
                                      bool skipConfirmation, CLog* log) = 0;
    // Erases, programs and verifies chosen sectors many times, with the
    // firmware saved first and written back after a passing run; the status
    // is 0 or the failure's code.
    virtual int32_t StressTest(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter,
                               CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                               CRefPtr<IBoardDatabase> boardDatabase,
                               CRefPtr<IEEPROMDatabase> database, CLog* log) = 0;
    // The stress test's questions on the console; 0 when the user confirmed.
    virtual int32_t GetStressTestParams(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                        StressTestParams* params, CLog* log) = 0;
    // Image programming, save and compare, and the Varnex store carried from
    // the adapter's current image into a new one.
    // Programs `newImage` into the adapter's EEPROM with the board's data
    // carried over, reads it back and compares it. `flashFlags` is one of
    // FlashImageFlags. `certificate` (may be null) goes to the certificate
    // gate. Throws on every failure, with the display driver restored.
    virtual void FlashImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> newImage,
                            bool showProgress, bool keepStraps, bool keepBoardSettings,
                            CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                            CRefPtr<IEEPROMDatabase> database, uint32_t flashFlags, CLog* log,
                            CRefPtr<IBCRTCert> certificate, bool processVarnex) = 0;

    // Save, compare and image information, without programming.
    virtual void DisplaySpeedometerValue(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                         CRefPtr<IDisplayAdapter> adapter, CLog* log) = 0;
    // The bytes SaveROMImage writes, after the same information is shown:
    // after an update that did not finish, those of the content the update
    // record saved, the firmware the adapter held before.
    virtual std::vector<uint8_t> ReadROMImageToSave(
        CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
        CRefPtr<IDisplayAdapterDatabase> adapters, CRefPtr<IBoardDatabase> boards,
        CRefPtr<IEEPROMDatabase> database, bool keepAll, bool wholeEEPROM, bool detail,
        CLog* log) = 0;
    // Writes the adapter's image to the file: the block chain without the
    // board's 0x85 block (all of it with `keepAll`), or the whole part.
    virtual void SaveROMImage(CRefPtr<IUserInterface> ui, const std::string& fileName,
                              CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                              CRefPtr<IDisplayAdapterDatabase> adapters,
                              CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> database,
                              bool keepAll, bool wholeEEPROM, bool detail, CLog* log) = 0;
    // Throws the first difference between the file image and the adapter's.
    virtual void CompareROMImage(CRefPtr<IUserInterface> ui, CRefPtr<IROMImage> fileImage,
                                 CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                 CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> database,
                                 bool withIds, bool verify, bool doVarnex, bool ifrOnly,
                                 bool checkCertificates, CLog* log) = 0;
    virtual void PrintImageVersion(CRefPtr<IROMImage> image, bool boardName, std::ostream& out,
                                   bool detail, bool withUEFI) = 0;
    virtual void PrintImageInfo(CRefPtr<IROMImage> image, CRefPtr<IDisplayAdapterDatabase> adapters,
                                CRefPtr<IBoardDatabase> boards, bool full, bool boardNames,
                                bool detail, std::ostream& out, CLog* log,
                                CRefPtr<IDisplayAdapter> adapter) = 0;
    virtual void DisplayPCIBlocks(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                  CRefPtr<IDisplayAdapter> adapter,
                                  CRefPtr<IEEPROMDatabase> database, bool keepAll, CLog* log) = 0;

    // The Varnex store an image carries ("IB", its backup, when `backup`);
    // null without one.
    virtual CRefPtr<CVarnexImage> ReadVarnexObject(CRefPtr<IROMImage> image, bool backup) = 0;
    // Presence tests: the store is valid and generic (or product); its release
    // number and level are stored where the pointers are not null.
    virtual bool IsGenericVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release,
                                        uint32_t* level, bool backup) = 0;
    virtual bool IsProductVarnexPresent(CRefPtr<IROMImage> image, uint32_t* release,
                                        uint32_t* level, bool backup) = 0;
    // The Varnex flash type (0 to 24) of programming `newImage` over `current`.
    virtual int32_t GetVarnexFlashType(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                       CLog* log) = 0;
    // Carries the adapter's store into the new image as the flash type says:
    // 0 done, 9 failed.
    virtual int32_t ProcessVarnexBlock(int32_t flashType, CRefPtr<IROMImage> newImage,
                                       CRefPtr<IROMImage> current, CLog* log) = 0;
    // Merges the adapter's objects into the new image's store and rebuilds the
    // new image's Varnex block: 0 done, else the failure (nothing usable built).
    virtual int32_t MergeVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                bool keepOBD, bool refreshBackup, bool deleteBlock, bool keepOEM,
                                bool keepBBO, CLog* log) = 0;
    // The adapter's whole Varnex block replaces the new image's.
    virtual void MergeVarnexImage(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                  CLog* log) = 0;
    virtual void RemoveVarnexBlock(CRefPtr<IROMImage> image) = 0;
    // Rebuilds the Varnex blocks of both images in the engine's own layout.
    virtual void RefactorNBSIVarnex(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                    CLog* log) = 0;
    // Rebuilds the image's Varnex block from the two payloads (padded in
    // place): 0 done, 4 failed (the image then unchanged).
    virtual int32_t BuildVarnexBlocks(CRefPtr<IROMImage> image, std::vector<uint8_t>& mainPayload,
                                      std::vector<uint8_t>& backupPayload, bool hasBackup,
                                      CLog* log) = 0;

    // OBD board data by field.
    virtual bool PrintOBDFieldDiffs(CVarnexImageObject* newObd, CVarnexImageObject* currentObd,
                                    std::ostream& out) = 0;
    virtual bool IsOBDFieldsMatched(CRefPtr<IROMImage> newImage, CRefPtr<IROMImage> current,
                                    bool backup, std::ostream& out) = 0;
    virtual void PrintOutOBDFields(CRefPtr<IROMImage> image, bool backup, std::ostream& out) = 0;
    virtual void PrintOBDObjectFields(CVarnexImageObject* obd, std::ostream& out) = 0;
    // 0 copied; 4 a store missing or invalid or a field refused; 12 an OBD
    // object missing or of another version.
    virtual int32_t CopyVarnexImageObdObject(CRefPtr<CVarnexImage> newStore,
                                             CRefPtr<CVarnexImage> currentStore, bool flag,
                                             CLog* log) = 0;

    // Fills the store's OBD fields from name/value settings: 0 done, 4 no
    // store, 5 invalid store, no OBD object or a refused value.
    virtual int32_t UpdateOBDFields(CRefPtr<CVarnexImage> store, const CsvSettings& settings,
                                    CLog* log) = 0;

    // Opens the adapter for Varnex work and reads its image and store: 0
    // done, 16 no supported EEPROM or no image.
    virtual int32_t GetAdapterImages(CRefPtr<IDisplayAdapterDatabase> adapters,
                                     CRefPtr<IDisplayAdapter>& adapter, IMicrocodeLoader* loader,
                                     CRefPtr<IEEPROM>& eeprom, CRefPtr<IROMImage>& image,
                                     CRefPtr<CVarnexImage>& store, bool detailed) = 0;
    // Rebuilds the image's Varnex block from the payloads and programs it (or
    // saves it with the option romout); false when the block was not built.
    virtual bool BuildAndFlashSuperImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                         CRefPtr<IROMImage> image,
                                         std::vector<uint8_t>& mainPayload,
                                         std::vector<uint8_t>& backupPayload, bool hasBackup,
                                         CLog* log, CRefPtr<IBCRTCert> certificate) = 0;
    // Programs an image whose Varnex block is built (or saves it with the
    // option romout); false for an empty image.
    virtual bool WriteVarnexImage(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                                  CRefPtr<IROMImage> image, CRefPtr<IBCRTCert> certificate,
                                  CLog* log) = 0;
    virtual int32_t DisplayVarnexOBD(CRefPtr<IDisplayAdapter> adapter,
                                     CRefPtr<IDisplayAdapterDatabase> adapters, CLog* log) = 0;

    // OEM and BBO objects.
    virtual int32_t UpdateBBOObject(CRefPtr<CVarnexImage> store, uint8_t id, uint8_t revision,
                                    uint16_t value, CLog* log) = 0;
    virtual int32_t UpdateOEMObject(CRefPtr<CVarnexImage> store, std::vector<uint8_t>& data,
                                    CLog* log) = 0;
    // Writes OEM data into the backup store once the primary has it.
    virtual int32_t BackupOEMObject(CRefPtr<CVarnexImage> backupStore,
                                    CRefPtr<CVarnexImage> primaryStore, std::vector<uint8_t>& data,
                                    CLog* log) = 0;
    virtual int32_t PreserveOEMObject(CRefPtr<CVarnexImage> newStore,
                                      CRefPtr<CVarnexImage> currentStore, CLog* log) = 0;

protected:
    ~IFlasher() = default;
};

// A new engine with the settings given, no reference taken.
IFlasher* CreateFlasher(const EngineSettings& settings, const EngineServices& services);
// The process-wide engine, created on first call from the command line's
// options; the pointer is borrowed.
IFlasher* GetFlasher();
// The hook through which the operating-system layer's display-driver restore
// reaches the engine; the application registers it with
// ICrossPlatform::SetDisplayDriverHook.
CRefPtr<IDisplayDriverHook> CreateDisplayDriverHook(CRefPtr<IFlasher> flasher);
