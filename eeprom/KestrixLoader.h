#pragma once
// The microcode loader of one Kestrix engine of one adapter: chooses and
// parses a microcode image, resets the engine, writes its code and data
// memories, starts it and prepares it (PREP); from then on it is the command
// channel to the microcode (mailbox handshake, EEPROM, ECID and verification
// commands) and dumps the microcode's printf log. Built-in microcode is told
// to CLOSE when the loader registered with the operating-system layer goes.
//
// Microcode operations return an unsigned 32-bit status: 0 done, 1 not
// completed, 2 part not identified, 10 no microcode loaded, any other value
// the microcode's error code. They report failures themselves and never throw.
//
//   CRefPtr<CKestrixLoader> loader = CreateKestrixLoader(request);
//   loader->IdentifyEEPROM();
//   loader->ReadEEPROM(0, bytes);

#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/EEPROMType.h"
#include "eeprom/IEEPROMDatabase.h"
#include "eeprom/KestrixImage.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/AdapterCatalogue.h"
#include "hw/catalogue/BoardCatalogue.h"
#include "image/IROMImage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

enum KestrixEngineType : uint32_t
{
    KESTRIX_PMU = 0,
    KESTRIX_KRDEC = 1,
    KESTRIX_SEC = 2,
    KESTRIX_PMU_ATTACH = 3,
    KESTRIX_KRDEC_ATTACH = 4,
    KESTRIX_SEC_ATTACH = 5,
};

// "KESTRIX_PMU" and the like; "UNKNOWN" outside the table.
std::string KestrixEngineName(uint32_t engineType);

// The process-wide software-SPI choice of the engineering command mode: PREP
// then asks the microcode to drive the EEPROM by software SPI.
void SetKestrixSoftwareSpi(bool on);

// Memory kinds of the memory operations.
constexpr uint32_t kKestrixDmem = 0;
constexpr uint32_t kKestrixImem = 1;

// Command ids and statuses of the mailbox.
enum KestrixCommand : uint32_t
{
    KR_UCODE_CMD_COMMAND_NONE = 0,
    KR_UCODE_CMD_COMMAND_EID = 2,
    KR_UCODE_CMD_COMMAND_ESI = 3,
    KR_UCODE_CMD_COMMAND_ERD = 4,
    KR_UCODE_CMD_COMMAND_EWR = 5,
    KR_UCODE_CMD_COMMAND_ESE = 6,
    KR_UCODE_CMD_COMMAND_ECE = 7,
    KR_UCODE_CMD_COMMAND_RRD = 8,
    KR_UCODE_CMD_COMMAND_RWR = 9,
    KR_UCODE_CMD_COMMAND_PREP = 10,
    KR_UCODE_CMD_COMMAND_CLOSE = 11,
    KR_UCODE_CMD_COMMAND_EPROT = 12,
    KR_UCODE_CMD_COMMAND_ERDSR = 13,
    KR_UCODE_CMD_COMMAND_VV = 14,
    KR_UCODE_CMD_COMMAND_ECID = 15,
    KR_UCODE_CMD_COMMAND_BSI_INFO = 17,
    KR_UCODE_CMD_COMMAND_ARB = 19,
};

enum KestrixCommandStatus : uint32_t
{
    KR_UCODE_CMD_STS_NONE = 0,
    KR_UCODE_CMD_STS_NEW = 1,
    KR_UCODE_CMD_STS_PENDING = 2,
    KR_UCODE_CMD_STS_COMPLETE = 3,
};

// Shown for a command refused because an earlier one never completed.
inline constexpr const char* kNotSentAfterAbandoned =
    " Command not sent: the microcode did not complete an earlier command";

// Results of the loader's own that are not microcode error codes.
constexpr uint32_t kKestrixNotCompleted = 1;
constexpr uint32_t kKestrixNotIdentified = 2;
constexpr uint32_t kKestrixNotLoaded = 10;

// The text a failed command's report gives for an error code.
std::string KestrixErrorText(uint32_t errorCode);
// The report name of a command id ("KR_UCODE_CMD_COMMAND_EID " and the like).
std::string KestrixCommandName(uint32_t id);
std::string KestrixStatusName(uint32_t status);

// Asked by the load, with the adapter and the log, for the certificate that
// travels with PREP; nullopt when the adapter has none.
class IKestrixPrepPayloadSource
{
public:
    virtual std::optional<std::vector<uint8_t>> GetAdapterCertificate(IDisplayAdapter& adapter,
                                                                      CLog* log) = 0;

protected:
    ~IKestrixPrepPayloadSource() = default;
};

struct KestrixLoadRequest
{
    CRefPtr<IUserInterface> userInterface;
    CRefPtr<IPCIBus> bus;
    CRefPtr<IDisplayAdapterDatabase> adapterDatabase;
    CRefPtr<IBoardDatabase> boardDatabase;
    CRefPtr<IEEPROMDatabase> eepromDatabase;
    CRefPtr<IDisplayAdapter> adapter;
    uint32_t engineType = KESTRIX_PMU;
    bool userImage = false;
    std::string fileName;
    // The engineer's console (option wiuconsole): the load report, then the
    // debug console once the microcode is prepared. Its raw commands bypass
    // every check of the program, so nothing else may turn it on.
    bool console = false;
    // The caller's detail flag: sets the loader's detail field only.
    bool detailed = false;
    IKestrixPrepPayloadSource* payloadSource = nullptr;
    CLog* log = nullptr;
};

class CKestrixLoader;

// The engine's status word: the top bit says a printf record waits in the
// log ring, the rest is the command's error code.
inline constexpr uint32_t kKestrixPrintfPending = 0x80000000;
inline constexpr uint32_t kKestrixErrorMask = 0x7FFFFFFF;

// One row of the debug console's command table.
struct KestrixConsoleCommand
{
    void (CKestrixLoader::*handler)();
    void (CKestrixLoader::*help)();
    const char* name;
    uint32_t reserved;
};

// The engine registers the in-circuit debugger reads, by its numbering.
struct KestrixIcdRegisters
{
    std::array<uint32_t, 29> words{};
};

// The certificate-information block the last verification returned.
struct KestrixCertificateInformation
{
    uint32_t flags = 0;
    uint32_t byteCount = 0;
    std::vector<uint8_t> bytes;
};

class CKestrixLoader : public CReferenceCountImpl, public IReferenceCount
{
public:
    ROMVISE_REFCOUNT_FORWARD

    // Chooses and parses the image; the outcome is GetLoadStatus(). Throws
    // std::runtime_error for an engine type above 5 and for a device without
    // built-in microcode. `console` is the option wiuconsole: the load
    // report and the debug console after the load.
    CKestrixLoader(CRefPtr<IDisplayAdapter> adapter, const std::string& fileName,
                   uint32_t engineType, bool console);
    ~CKestrixLoader() override;

    void AttachAdapter(CRefPtr<IUserInterface> userInterface, CRefPtr<IDisplayAdapter> adapter,
                       bool routeToUserInterface);
    // Loads, starts and prepares the engine (types 0-2) or reads back the
    // running microcode's DMEM (attach types). Throws std::runtime_error when
    // the engine does not come out of reset or PREP fails.
    void LoadMicrocode(CRefPtr<IUserInterface> userInterface, CRefPtr<IDisplayAdapter> adapter,
                       IKestrixPrepPayloadSource* payloadSource, CLog* log);

    static const KestrixUcodeDescriptor* FindMicrocodeForDevice(CRefPtr<IDisplayAdapter> adapter);

    uint32_t ReadMemoryWord(uint32_t kind, uint32_t address, IDisplayAdapter& adapter);
    void ReadMemory(uint32_t kind, uint32_t address, std::span<uint32_t> words,
                    IDisplayAdapter& adapter);
    // Writes `byteCount` bytes from whole words (the count rounded up).
    void WriteMemory(uint32_t kind, uint32_t address, uint32_t byteCount,
                     std::span<const uint32_t> words, IDisplayAdapter& adapter);
    // False when the engine did not leave reset or its DMA did not go idle.
    bool ResetEngine(IDisplayAdapter& adapter);
    void StartEngine(IDisplayAdapter& adapter, uint32_t bootVector);
    void Close();
    // The microcode's printf log (and, with `secureScratch`, the BSI secure
    // scratch structure first).
    void GetLog(bool secureScratch = false);

    // The mailbox handshake.
    uint32_t SendCommand(uint32_t id);
    void DecodeErrorCode(uint32_t commandWord, uint32_t errorCode);

    // EEPROM, ECID and verification commands.
    uint32_t IdentifyEEPROM();
    uint32_t EraseSectors(uint32_t address, uint32_t blockCount);
    uint32_t EraseChip();
    uint32_t ReadEEPROM(uint32_t address, std::span<uint8_t> destination);
    uint32_t SetProtection(uint32_t state);
    uint32_t ReadStatusRegister(uint32_t index, uint32_t& value);
    uint32_t ProgramEEPROM(uint32_t address, std::span<const uint8_t> source, uint32_t flags);
    uint32_t ReadECID(std::span<uint8_t, 32> destination, uint32_t kind);
    // `certificate` is the data of a valid signing certificate, or null.
    uint32_t SendVVCommand(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> image,
                           const std::vector<uint8_t>* certificate, CLog* log);
    CEEPROMType GetPartType() const { return m_part; }
    uint8_t GetEEPROMManufacturerID() const { return static_cast<uint8_t>(m_eepromId); }
    uint16_t GetEEPROMDeviceID() const { return static_cast<uint16_t>(m_eepromId >> 16); }
    uint32_t GetEEPROMId() const { return m_eepromId; }
    bool IsPartIdentified() const { return m_partBlock.has_value(); }
    uint32_t GetDataBufferSize() const;
    const KestrixCertificateInformation& GetCertificateInformation() const { return m_certInfo; }

    uint32_t GetLoadStatus() const { return m_loadStatus; }
    uint32_t GetEngineType() const { return m_engineType; }
    const std::optional<KestrixDmemMapper>& GetMapper() const { return image.mapper; }
    uint32_t GetEngineImemSize() const { return m_engineImemSize; }
    uint32_t GetEngineDmemSize() const { return m_engineDmemSize; }
    bool IsBuiltIn() const { return !m_notBuiltIn; }
    void SetCatalogues(CRefPtr<IBoardDatabase> boards, CRefPtr<IEEPROMDatabase> parts);
    // Set to 1 by the engineering command mode when the user named the file.
    // The image's target record takes the mode too.
    void SetUserImageMode(uint32_t mode)
    {
        m_userImageMode = mode;
        SetKestrixUserImageMode(image, static_cast<uint8_t>(mode));
    }
    // True: the loader's messages go to the user interface, else to the log.
    void SetRouteToUserInterface(bool on) { m_routeToUserInterface = on; }
    // The caller's detail flag; it never opens the console.
    void SetDetailed(bool on) { m_detailed = on; }
    bool IsDetailed() const { return m_detailed; }

    // The debug console: an interactive command line on the program's own
    // console (keys through the operating-system layer, text to the console
    // output). Returns 0 when the user leaves with exit or quit, or at the
    // end of input.
    uint32_t RunConsole();
    uint32_t RunConsoleWithMessage(const std::string& message);
    // Where the console writes; standard output unless a test redirects it.
    void SetConsoleOutput(std::ostream& out) { m_consoleOut = &out; }

    // The console's pieces.
    static constexpr size_t kConsoleTokens = 20;
    static constexpr size_t kConsoleTokenSize = 50;
    static constexpr size_t kConsoleLineSize = 256;
    static constexpr size_t kConsoleHistory = 30;
    // Characters entered (the line is in `buffer`), or -1 at end of input.
    int ReadLine(std::string& buffer, size_t size);
    void SplitLine(const std::string& line);
    static std::string NextToken(const std::string& line, size_t& position);
    static uint32_t ParseNumber(const std::string& text);
    static uint32_t ParseDigits(const std::string& text, uint32_t base);
    uint32_t DecodeKey(int character);
    // The steps of reading a line.
    struct ConsoleLine;
    std::optional<int> TranslateKey(ConsoleLine& line, int c);
    void RecallHistory(ConsoleLine& line);
    void EditLine(ConsoleLine& line, int c);
    void EraseWord(ConsoleLine& line);
    void TypeCharacter(ConsoleLine& line, int c);
    int FinishLine(ConsoleLine& line);
    // Takes back the last count characters shown.
    void EraseShown(size_t count);
    void ResetConsoleState();
    void PrintCommandList();
    void PrintCommandHelp();
    void DispatchCommand();
    const std::vector<std::string>& ConsoleTokens() const { return m_tokens; }

    // Command handlers and help printers of the console.
    void ConsoleCmd();
    void ConsoleImem();
    void ConsoleDmem();
    void ConsoleDmemWrite();
    void ConsoleDmap();
    void ConsoleGetlog();
    void ConsoleRd();
    void ConsoleWr();
    void ConsolePrd();
    void ConsolePwr();
    void ConsoleIcd();
    void ConsoleI2c();
    void ConsoleVv();
    void HelpCmd();
    void HelpDmem();
    void HelpDmemwr();
    void HelpDmap();
    void HelpGetlog();
    void HelpRd();
    void HelpWr();
    void HelpPrd();
    void HelpPwr();
    void HelpIcd();
    void HelpI2c();
    void HelpVv();
    uint32_t ReadIcdRegisters(KestrixIcdRegisters& record, uint32_t mask, bool print);
    bool WaitIcdReady();

    // The parsed image; the flashing engine sets the secure members of its
    // own microcode here before it writes that microcode.
    KestrixParsedImage image;
    // Set while foreign microcode runs on the engine: no CLOSE at the end.
    bool keepRunning = false;

private:
    struct Registers
    {
        uint32_t mailbox0, mailbox1, cpuControl, bootVector, hardwareConfig, dmaControl,
            resetStatus, imemControl, imemData, imemTag, dmemControl, dmemData, icdCommand, icdData;
    };

    void ChooseImage(CRefPtr<IDisplayAdapter> adapter, const std::string& fileName);
    // Attached, with a mapper to find the command buffers by.
    bool IsReady() const { return m_adapter && image.mapper.has_value(); }
    bool IsRegisteredLoader();
    void Show(const std::string& text);
    void ResetPmu(IDisplayAdapter& adapter);
    void ResetByEnableBit(IDisplayAdapter& adapter, uint32_t bit);
    bool Poll(IDisplayAdapter& adapter, uint32_t reg, uint32_t mask, uint32_t wanted);
    void WriteImem(uint32_t address, uint32_t byteCount, std::span<const uint32_t> words,
                   IDisplayAdapter& adapter);
    void ReadBackAttachedDmem(IDisplayAdapter& adapter);
    std::string ComposeLoadReport();
    void ComposeImageLayout(std::ostream& out, bool alternate);
    void ComposeBuildAndSignatures(std::ostream& out, const KestrixDmemMapper& mapper,
                                   bool alternate);
    void ComposeMapperBuffers(std::ostream& out, const KestrixDmemMapper& mapper);
    std::string DmemText(uint32_t offset);
    void ShowSecureScratch();
    bool SendPrep(CLog* log);
    void Delay(uint32_t microseconds);
    void CloseIfRegistered();

    // Argument and result blocks.
    void WriteArguments(std::span<const uint32_t> words);
    void WriteDataBuffer(std::span<const uint8_t> bytes);
    std::vector<uint8_t> ReadDmemBytes(uint32_t offset, uint32_t count);
    uint32_t ReadResultWord();
    bool GuardIdentified(const std::string& firstLine);
    uint32_t SendAndReport(uint32_t id);
    // Looks the identified EEPROM up and writes its part block for ESI.
    void PreparePartBlock();

    // Verification.
    enum class EVVWait
    {
        Complete,
        Failed,   // the command word read back with a status the wait does not know
        TimedOut, // still running when the wait gave up
    };
    void ServePushRequest(uint32_t request, IROMImage& image);
    void ServeDevinitRequest(uint32_t request, IROMImage& image);
    bool PrepareVVArguments(IROMImage& image, const std::vector<uint8_t>* certificate);
    EVVWait RunVVCommand(IROMImage& image, uint32_t& lastMailbox0, CLog* log);
    EVVWait WaitForVV(IROMImage& image, uint32_t& lastMailbox0, CLog* log);
    void ShowVVNotCompleted(uint32_t lastMailbox0);
    uint32_t TakeVVResult(IROMImage& image, uint32_t lastMailbox0);
    void KeepVVResult(IROMImage& image);

    std::string m_fileName;
    uint32_t m_engineType = KESTRIX_PMU;
    uint32_t m_engineDmemSize = 0;
    uint32_t m_engineImemSize = 0;
    uint32_t m_loadStatus = KESTRIX_IMAGE_OK;
    CRefPtr<IDisplayAdapter> m_adapter;
    CRefPtr<IBoardDatabase> m_boardDatabase;
    CRefPtr<IEEPROMDatabase> m_eepromDatabase;
    CRefPtr<IUserInterface> m_userInterface;
    bool m_routeToUserInterface = false;
    CEEPROMType m_part;
    Registers m_registers{};
    bool m_console = false;
    bool m_detailed = false;
    uint32_t m_eepromId = 0;
    std::optional<std::array<uint16_t, 14>> m_partBlock;
    bool m_notBuiltIn = false;
    uint32_t m_userImageMode = 0;
    KestrixCertificateInformation m_certInfo;
    std::optional<std::vector<uint8_t>> m_prepPayload;
    // A command timed out: the mailbox stays untouched until the next reset.
    bool m_mailboxAbandoned = false;
    bool m_mapped = false;

    // Console state, kept across the commands of one console run.
    void ConsolePrint(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void PrintHelpOf(const char* command);
    uint32_t TokenNumber(size_t index) const { return ParseNumber(m_tokens.at(index)); }
    void DumpWords(const char* title, uint32_t address, const std::vector<uint32_t>& words);
    void DumpMemory(uint32_t kind);
    bool PrepareConsoleCommand(uint32_t id, std::vector<uint32_t>& arguments);
    void ShowConsoleCommandResult(uint32_t id, const std::vector<uint32_t>& arguments);
    std::ostream* m_consoleOut = nullptr;
    std::vector<std::string> m_tokens;
    std::array<std::string, kConsoleHistory> m_history;
    size_t m_historyIndex = 0;
    uint32_t m_keyState = 0;
    uint32_t m_registerAddress = 0;
    uint32_t m_registerCount = 1;
    uint32_t m_dmemDumpLength = 8;
    uint32_t m_imemDumpLength = 8;
};

// A loader that is attached and loaded, or std::runtime_error.
CRefPtr<CKestrixLoader> CreateKestrixLoader(KestrixLoadRequest request);
