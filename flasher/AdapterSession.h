#pragma once
// One adapter opened for work: the one way both programs and the engine's
// operations reach an adapter's EEPROM.
//
// Opening does, in this order: the display driver handed over (once per
// adapter, under the caller's display guard), the adapter selected, the EEPROM
// driver made with its microcode loader, the update record's claim (the
// adapter's lock, and a pending record read), so that every read of the
// firmware after it, the head included, sees the content a stopped write
// saved in place of a half-written chip.
//
// The write contract: the session's EEPROM erases or programs only inside a
// recorded write (BeginWrite ... FinishWrite) or after AllowDestructiveWrites;
// any other write is a fault of the engine and throws before it touches the
// chip. BeginWrite is called after every check that can refuse and before the
// first erase; it settles a pending record (finished by this write when it
// aims at the same content, otherwise the content before written back and
// verified first; refused and kept when it does not explain the chip) and
// saves the new record (the content before and the whole target). FinishWrite,
// after the read-back compared equal, removes the record; the adapter stays
// locked until the session closes, so no other run takes it between two
// writes of one session.
//
// One session per adapter per process: an operation that opens one while
// another is open for the adapter gets the open one (no second loader, no
// second display-driver hand-over).

#include "core/CommandLine.h"
#include "core/Log.h"
#include "core/RefCount.h"
#include "core/UserInterface.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/IEEPROMDatabase.h"
#include "flasher/IUpdateJournal.h"
#include "hw/adapter/IDisplayAdapter.h"
#include "hw/adapter/IPCIBus.h"
#include "hw/catalogue/BoardCatalogue.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

// The adapter's EEPROM type has no driver.
class unsupported_eeprom_error : public std::runtime_error
{
public:
    unsupported_eeprom_error() : std::runtime_error("Cannot program unsupported EEPROM type") {}
};

// The engine's settings, read from the command line once when the engine is
// made; nothing in the engine asks the command line again.
struct EngineSettings
{
    int32_t retries = 3;
    bool manualRead = false;
    bool noKestrix = false;
    bool autoConfirm = false;
    bool diffsOnly = false;
    bool wiuConsole = false;
    // The display driver is left alone (offswdriver).
    bool keepDisplayDriver = false;
    bool mergeVarnex = false;
    bool relaxDeviceId = false;
    // The alternative device ID given, when one is.
    std::optional<uint16_t> altDeviceId = std::nullopt;
    bool ifrOnly = false;
    bool verify = false;
    // The files of romin and romout, when given.
    std::optional<std::string> romIn = std::nullopt;
    std::optional<std::string> romOut = std::nullopt;

    // A program's command line may lack some of these options: those read
    // as not set.
    static EngineSettings FromCommandLine(ICommandLine& line);
};

// Where the engine finds the process's user interface, log, PCI bus and EEPROM
// catalogue for the operations whose callers hand in none. Each is asked at the
// moment of use, so a service made or replaced after the engine is the one used.
struct EngineServices
{
    IUserInterface* (*userInterface)() = nullptr;
    CLog* (*log)() = nullptr;
    IPCIBus* (*bus)() = nullptr;
    IEEPROMDatabase* (*database)() = nullptr;
};

// The process-wide services, as GetFlasher hands them to the engine it makes.
EngineServices ProcessEngineServices();

// What a session is opened for.
enum class AdapterUse
{
    // Shows what the chip holds; a pending record is only reported.
    Reads,
    // Saves the adapter's firmware: a pending record is reported and its
    // content before stands in for a half-written chip; nothing is claimed.
    Saves,
    // Changes the chip through recorded writes.
    Writes,
    // Destroys the content by design (erase, tests, protection): the lock
    // only.
    Destroys,
};

// What differs between the programs and operations opening an adapter.
struct AdapterOpening
{
    AdapterUse use = AdapterUse::Reads;
    // The display driver is handed over (the operations that change one
    // field in place, or test a range, keep it).
    bool handOverDisplay = true;
    // The display driver stays disabled for the next adapter.
    bool rememberDisabled = false;
    // A pending record is announced on the console (a quiet run, or one that
    // says it its own way, does not).
    bool announcePending = true;
    // The adapter is announced ("Adapter: ...") and mapped; otherwise only
    // mapped.
    bool select = true;
    // The adapter's line in detail.
    bool verbose = false;
    // The microcode loader's own lines.
    bool loaderVerbose = false;
    // The Kestrix engine the microcode loader starts (0: the PMU).
    uint32_t kestrixEngineType = 0;
    CRefPtr<IPCIBus> bus;
    CRefPtr<IEEPROMDatabase> eeproms;
    CRefPtr<IBoardDatabase> boards;
};

class IAdapterSession : public IReferenceCount
{
public:
    virtual CRefPtr<IDisplayAdapter> Adapter() = 0;
    // The adapter's EEPROM as the session guards it: reads see a pending
    // record's content before until the first recorded write; erases and
    // programs happen only under the contract above.
    virtual CRefPtr<IEEPROM> EEPROM() = 0;
    // The kind of the pending write this session found, when one stands in
    // for the chip.
    virtual std::optional<UpdateWriteKind> PendingWrite() = 0;
    // Widens what the session is open for (an operation that writes inside a
    // session opened to read): claims the adapter then.
    virtual void Use(AdapterUse use, IUserInterface& ui, CLog* log) = 0;
    // The contract's start, before the first erase: `target` is the part's
    // whole content once the write is done.
    virtual void BeginWrite(UpdateWriteKind kind, std::span<const uint8_t> target,
                            IUserInterface& ui, CLog* log) = 0;
    // The part's whole content the next write starts from: a pending
    // record's content before while it stands in, else the chip's.
    virtual std::vector<uint8_t> ContentBefore(CLog* log) = 0;
    // After the read-back compared equal: the record goes.
    virtual void FinishWrite() = 0;
    // A destructive command's writes: the adapter is claimed, no record.
    virtual void AllowDestructiveWrites(IUserInterface& ui, CLog* log) = 0;
    // The Kestrix console, when the settings ask for it, on a claimed secure
    // adapter.
    virtual void RunConsoleIfAsked(const std::string& message) = 0;

protected:
    ~IAdapterSession() = default;
};

// The part's whole content after `written` is put at `address` over
// `before`; bytes past the end of the part are dropped.
std::vector<uint8_t> ContentWith(std::span<const uint8_t> before, uint32_t address,
                                 std::span<const uint8_t> written);
