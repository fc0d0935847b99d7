// EEPROM maintenance: software write protection, the part check, the
// hexadecimal dump and the chip erase.

#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/OffsetModeScope.h"

#include <algorithm>
#include <stdexcept>

namespace
{
constexpr uint32_t kDumpBytesPerLine = 16;

char Printable(uint8_t value)
{
    return value >= 0x20 && value <= 0x7E ? static_cast<char>(value) : '.';
}
} // namespace

// The listing of whole 16-byte lines from address 0 while the address is
// below the count, bytes as hexadecimal and as characters.
std::string FormatEEPROMDump(IROMImage& image, uint32_t count)
{
    std::string listing;
    for (uint64_t address = 0; address < count; address += kDumpBytesPerLine)
    {
        std::string hex;
        std::string characters;
        for (uint32_t i = 0; i < kDumpBytesPerLine; ++i)
        {
            const uint8_t value = image.GetByte(static_cast<int32_t>(address + i));
            hex += ToHex(value, 2) + " ";
            characters += Printable(value);
        }
        listing += '\n';
        listing += ToHex(static_cast<uint32_t>(address), 4) + ":  " + hex + "  " + characters;
    }
    return listing + "\n";
}

CRefPtr<IEEPROM>
CFlasherImpl::BeginIdentifiedOperation(const std::string& action, CRefPtr<IUserInterface> ui,
                                       CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                       CRefPtr<IEEPROMDatabase> database, CLog* log,
                                       AdapterUse use)
{
    CRefPtr<IEEPROM> eeprom =
        BeginAdapterOperation(action, ui, bus, adapter, database, true, true, log, use);
    IdentifyEEPROM(ui, eeprom, database, log, true);
    return eeprom;
}

void CFlasherImpl::SetSoftwareProtect(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                      CRefPtr<IDisplayAdapter> adapter,
                                      CRefPtr<IEEPROMDatabase> database, bool enable, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        BeginIdentifiedOperation("Set software protect.", ui, bus, adapter, database, log,
                                 AdapterUse::Destroys);
    ui->ShowMessage(0, "Setting EEPROM software protect setting");
    ui->Signal(0);
    CLogOrDiscard logOrDiscard(log);
    try
    {
        eeprom->SetProtection(enable, *logOrDiscard);
    }
    catch (...)
    {
        LogLine(log, 4, "\nSetting of EEPROM protect failed.");
        throw;
    }
    const std::string done =
        enable ? "Write protecting EEPROM complete." : "Remove EEPROM write protect complete.";
    ui->ShowMessage(1, done);
    LogLine(log, 3, done);
    ui->Signal(1);
}

void CFlasherImpl::CheckEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        BeginIdentifiedOperation("Check EEPROM.", ui, bus, adapter, database, log);
}

void CFlasherImpl::DisplayEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IDisplayAdapter> adapter,
                                 CRefPtr<IEEPROMDatabase> database, uint32_t count, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        BeginIdentifiedOperation("Display EEPROM.", ui, bus, adapter, database, log);
    ui->ShowMessage(0, "Reading adapter firmware image");
    const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
    CRefPtr<IROMImage> image = ReadEEPROMImage(ui, eeprom, partSize, log);
    ui->ShowMessage(0, "Dumping EEPROM image");
    LogLine(log, 3, "Dumping EEPROM image.");
    COffsetModeScope offsetOff(image.get(), false);
    // Only what the part holds can be shown.
    const std::string listing = FormatEEPROMDump(*image, std::min(count, partSize));
    ui->ShowMessage(2, listing);
    LogLine(log, 3, listing);
}

CRefPtr<IEEPROM> CFlasherImpl::BeginDestructiveOperation(const DestructiveQuestions& questions,
                                                         CRefPtr<IUserInterface> ui,
                                                         CRefPtr<IPCIBus> bus,
                                                         CRefPtr<IDisplayAdapter> adapter,
                                                         CRefPtr<IEEPROMDatabase> database,
                                                         bool skipConfirmation, CLog* log,
                                                         AdapterUse use)
{
    LogLine(log, 3, "Action: " + questions.action);
    CRefPtr<IEEPROM> eeprom =
        OpenAdapterSession(adapter, EngineOpening(use, bus, database, true), ui, log)->EEPROM();
    ui->Signal(0);
    IdentifyEEPROM(ui, eeprom, database, log, true);
    if (skipConfirmation)
    {
        LogLine(log, 4, questions.skippedLine);
        return eeprom;
    }
    ConfirmOrAbort(*ui, false, questions.question, questions.abortText);
    // Adapters that keep their straps in the EEPROM may not boot afterwards.
    if (adapter->HasEEPROMStraps() && !adapter->GetCatalogueFlagA())
    {
        ConfirmOrAbort(*ui, true,
                       "The display adapter may become unbootable after erasing the EEPROM.\n",
                       questions.typedAbortText);
    }
    return eeprom;
}

void CFlasherImpl::EraseEEPROM(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                               CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROMDatabase> database,
                               bool skipConfirmation, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    const DestructiveQuestions questions{
        "Erase EEPROM.", "Erase EEPROM confirmation skipped.",
        "Erasing the EEPROM completely erases all data from the EEPROM part including "
        "preservation (krtune) data.\nCompletely erase EEPROM?\n",
        "Erase aborted", "Erase aborted"};
    CRefPtr<IEEPROM> eeprom = BeginDestructiveOperation(questions, ui, bus, adapter, database,
                                                        skipConfirmation, log,
                                                        AdapterUse::Destroys);
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    LiftWriteProtectionIfNeeded(*ui, *eeprom, out);
    ui->ShowMessage(0, "Erasing EEPROM");
    try
    {
        eeprom->EraseChip(ui.get(), out);
    }
    catch (...)
    {
        LogLine(log, 4, "EEPROM erase failed.");
        throw;
    }
    ui->ShowMessage(1, "EEPROM erase completed.");
    LogLine(log, 3, "EEPROM erase completed.");
    ui->Signal(1);
}
