// Preservation-data tuning: read requests answered from the adapter's current
// firmware, change requests applied to a working copy through the
// preservation tuner, and the copy written back only when every requested
// change succeeded and the user agrees.

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/IPreserveTune.h"

#include <vector>

namespace
{
// Every answer line stands between line ends on the console.
void Answer(IUserInterface& ui, const std::string& text)
{
    ui.ShowMessage(2, "\n" + text + "\n");
}

std::string TuningLine(const PreservationTuneRequest& request)
{
    std::string line = " Tuning preserved setting for  REG 0x" + ToHex(request.registerAddress, 8);
    line += request.highBit == kNoBitRange
                ? " "
                : "[" + FormatNumber(request.highBit, 2) + ":" + FormatNumber(request.lowBit, 2) + "] ";
    if (request.requestKind == kTuneAddRegister)
    {
        line += "to plus with ";
    }
    else if (request.requestKind == kTuneSubtractRegister)
    {
        line += "to minus with ";
    }
    else
    {
        line += "to ";
    }
    return line + "0x" + ToHex(request.value, 8);
}

PreservedRegisterTune RegisterTune(const PreservationTuneRequest& request)
{
    PreservedRegisterTune tune;
    tune.registerAddress = request.registerAddress;
    tune.value = request.value;
    tune.lowestBit = request.lowBit;
    tune.highestBit = request.highBit;
    tune.operation = request.requestKind;
    return tune;
}

// The block's DWORDs, four to a line, while the position is below its size.
std::string DataBlockText(IROMImage& image, const PreservationTuneRequest& request)
{
    std::string text = " Reading Preserved Data for Data ID " + FormatNumber(request.dataId, 2) + " in DWORD =";
    for (uint32_t at = 0; at < request.dataSize; at += 4)
    {
        if (at % 16 == 0)
        {
            text += "\n";
        }
        text += " 0x" + ToHex(image.GetDword(static_cast<int32_t>(request.dataOffset + at)), 8);
    }
    return text;
}
} // namespace

bool CFlasherImpl::ApplyTuneRequest(IUserInterface& ui, ICommandLine* commandLine,
                                    IPreserveTune& tuner, IROMImage& current, IROMImage& working,
                                    PreservationTuneRequest& request, CLog* log)
{
    switch (request.requestKind)
    {
    case kTuneReadRegister:
    {
        uint32_t value = 0;
        if (tuner.FindRegister(&current, request.registerAddress, value, log))
        {
            Answer(ui, " Reading Preserved setting for REG 0x" + ToHex(request.registerAddress, 8) +
                           " = 0x" + ToHex(value, 8));
        }
        else
        {
            Answer(ui, " Preserved setting for REG 0x" + ToHex(request.registerAddress, 8) +
                           " : Not Found !");
        }
        return true;
    }
    case kTuneSetRegister:
    case kTuneAddRegister:
    case kTuneSubtractRegister:
    {
        Answer(ui, TuningLine(request));
        if (tuner.TuneRegister(&working, RegisterTune(request), log))
        {
            return true;
        }
        Answer(ui, " Preserved setting for Register 0x" + ToHex(request.registerAddress, 8) +
                       " : Not Found !");
        return false;
    }
    case kTuneReadData:
    {
        PreservedDataTune data{request.dataId, 0, 0};
        if (tuner.FindData(&current, data, log))
        {
            request.dataOffset = data.offset;
            request.dataSize = static_cast<uint16_t>(data.size);
            Answer(ui, DataBlockText(current, request));
        }
        else
        {
            Answer(ui, " Preserved Data for Data ID " + FormatNumber(request.dataId, 2) + " : Not Found !");
        }
        return true;
    }
    case kTuneWriteData:
    {
        std::vector<uint8_t> values(request.dataSize);
        TuneSpec spec{};
        spec.id = request.dataId;
        spec.dataLength = request.dataSize;
        spec.kind = TuneSpec::DataIdWithData;
        if (!commandLine ||
            !commandLine->GetHexList("presdatatune", request.occurrence, &spec, values.data()))
        {
            Answer(ui, " Invalid tuning data input");
            return false;
        }
        PreservedDataTune data{request.dataId, 0, request.dataSize};
        if (tuner.TuneData(&working, data, values.data(), log))
        {
            return true;
        }
        Answer(ui, " Preserved Data for Data ID " + FormatNumber(request.dataId, 2) + " : Not Found !");
        return false;
    }
    default:
        RestoreDisplayDriverNow(log);
        throw user_abort_error("Unknown Preservation Data Tuning request!");
    }
}

void CFlasherImpl::TunePreservationData(CRefPtr<IUserInterface> ui, ICommandLine* commandLine,
                                        CRefPtr<IPCIBus> bus, CRefPtr<IDisplayAdapter> adapter,
                                        CRefPtr<IEEPROMDatabase> database,
                                        std::vector<PreservationTuneRequest>& requests,
                                        bool skipConfirmation, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Tune Vbios Preservation Data.");
    CRefPtr<IEEPROM> eeprom =
        OpenAdapterSession(adapter, EngineOpening(AdapterUse::Writes, bus, database, true), ui,
                           log)
            ->EEPROM();
    ui->Signal(0);
    IdentifyEEPROM(ui, eeprom, database, log, true);
    CRefPtr<IROMImage> current =
        ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
    CRefPtr<IROMImage> working = IROMImage::Clone(current.get());
    if (VerifyImageCertificate(adapter, working, eeprom, nullptr, log, IsVerbose()) !=
        kCertificateAccepted)
    {
        throw image_refused_error("Invalid firmware image detected. \n");
    }
    CRefPtr<IPreserveTune> tuner = IPreserveTune::Create(adapter.get());

    // The copy is written only when there was a change to write and every
    // requested change took: a partly applied list is not what was asked for.
    bool anyChange = false;
    bool allChangesApplied = true;
    for (PreservationTuneRequest& request : requests)
    {
        const bool isChange = request.requestKind != kTuneReadRegister &&
                              request.requestKind != kTuneReadData;
        const bool applied =
            ApplyTuneRequest(*ui, commandLine, *tuner, *current, *working, request, log);
        if (isChange)
        {
            anyChange = true;
            allChangesApplied = allChangesApplied && applied;
        }
    }
    if (!anyChange || !allChangesApplied)
    {
        RestoreDisplayDriverNow(log);
        ui->Signal(1);
        return;
    }

    ui->ShowMessage(2, "\n\n");
    if (skipConfirmation)
    {
        LogLine(log, 4, "Preservation Data Tuning confirmation skipped.");
    }
    else if (!ui->Confirm(false, "Updating Preservation Data may cause severe performance lost and "
                                 "display corruption.\nStil process Preservation Data Tuning?\n"
                                 "Press 'y' to confirm (any other key to abort): "))
    {
        throw user_abort_error("Preservation Data Tuning aborted");
    }
    // The flash lifts the part's write protection once its record is saved.
    try
    {
        FlashImage(ui, working, /*showProgress=*/true, /*keepStraps=*/false,
                   /*keepBoardSettings=*/false, adapter, eeprom, database, kFlashWholeImage, log,
                   nullptr, /*processVarnex=*/true);
    }
    catch (...)
    {
        LogLine(log, 4, "Flash Update for Preservation Data Tuning failed !");
        throw;
    }
    ui->ShowMessage(1, "Preservation Data Tuning completed.");
    LogLine(log, 3, "Preservation Data Tuning completed.");
    RestoreDisplayDriverNow(log);
    ui->Signal(1);
}
