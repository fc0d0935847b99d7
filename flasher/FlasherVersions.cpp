// Version displays: the run-time ROM pack images the running firmware reports
// as applied, and the one-line identity and version of an adapter for
// listings of many adapters. Neither writes to the EEPROM.

#include "core/TextHelpers.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "image/IROMMeld.h"

#include <algorithm>
#include <cxxabi.h>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <typeinfo>

namespace
{
// The lines of a report, shown on the console at the end and written to the
// log as they come.
class CReport
{
public:
    explicit CReport(CLog* log) : m_log(log) {}
    void Line(const std::string& text)
    {
        m_text << text << '\n';
        LogLine(m_log, 3, text);
    }
    std::string Text() const { return m_text.str(); }

private:
    CLog* m_log;
    std::ostringstream m_text;
};

// The readable name of an exception's type.
std::string TypeName(const std::exception& error)
{
    int status = 0;
    char* name = abi::__cxa_demangle(typeid(error).name(), nullptr, nullptr, &status);
    std::string text = status == 0 && name ? name : typeid(error).name();
    std::free(name);
    return text;
}

// The read image without its first PCI block of code type 0x85.
void RemoveFirstBlock85(IROMImage& image)
{
    const int32_t block = image.FindNthPCIBlock(0x85, 0);
    if (block >= 0)
    {
        image.RemovePCIBlock(block);
    }
}

// One applied image's lines. A record names an image of the pack; one the
// pack does not hold is reported, not looked up.
void ReportAppliedImage(CReport& report, uint32_t index, int32_t record, IROMMeld& pack,
                        IDisplayAdapterDatabase& adapterDatabase, IBoardDatabase& boardDatabase,
                        CLog* log)
{
    if (record < 0 || static_cast<uint32_t>(record) >= pack.GetImageCount())
    {
        report.Line("Applied image record " + std::to_string(index) +
                    " names no image of the ROM pack (" + std::to_string(record) + ")");
        return;
    }
    CRefPtr<IROMImage> packImage = pack.GetImage(static_cast<uint32_t>(record));
    std::ostringstream info;
    PrintRuntimePackImageInfo(static_cast<int32_t>(index), *packImage, adapterDatabase,
                              boardDatabase, info, log);
    std::istringstream lines(info.str());
    for (std::string line; std::getline(lines, line);)
    {
        report.Line(line);
    }
    report.Line("");
}

// The images of the pack the frame buffer copy records as applied, at most
// as many as it has room to record.
void ReportAppliedImages(CReport& report, IROMImage& copy, IROMMeld& pack, uint32_t recorded,
                         IDisplayAdapterDatabase& adapterDatabase, IBoardDatabase& boardDatabase,
                         CLog* log)
{
    for (const char* line : {"", "Applied ROM Pack Images", "-----------------------", ""})
    {
        report.Line(line);
    }
    const uint32_t applied = copy.GetRuntimePackAppliedCount();
    if (applied > recorded)
    {
        report.Line("NOTE: Total run-time images applied (" + std::to_string(applied) +
                    ") is more than what is recorded");
    }
    if (applied == 0)
    {
        report.Line("<None>");
    }
    for (uint32_t i = 0; i < std::min(applied, recorded); ++i)
    {
        ReportAppliedImage(report, i, copy.GetRuntimePackRecord(i), pack, adapterDatabase,
                           boardDatabase, log);
    }
}
} // namespace

void PrintRuntimePackImageInfo(int32_t index, IROMImage& image,
                               IDisplayAdapterDatabase& adapterDatabase,
                               IBoardDatabase& boardDatabase, std::ostream& out, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    out << "Image Index           : " << index << '\n';
    const std::string product = image.GetProductName();
    if (!product.empty())
    {
        out << "Product Name          : " << product << '\n';
    }
    CDisplayAdapterType type;
    adapterDatabase.GetAdapterType(type, image.GetVendorID(), image.GetDeviceID());
    out << "Device Name(s)        : " << (type.IsKnown() ? type.name : "Unknown") << '\n';
    if (const uint16_t boardId = image.GetBoardID(); boardId != 0)
    {
        CBoardType board;
        boardDatabase.GetBoardType(board, boardId);
        out << "Board ID              : " << ToHex(boardId, 4);
        if (board.IsKnown())
        {
            out << " (" << board.name << ")";
        }
        else
        {
            LogLine(log, 4, "WARNING: Unknown Board ID " + ToHex(boardId, 4));
            LogLine(log, 4, "(It is recommended you obtain a newer version of ROMVISE.)");
            LogLine(log, 3, "");
        }
        out << '\n';
    }
    out << "PCI ID                : " << ToHex(image.GetVendorID(), 4) << "-"
        << ToHex(image.GetDeviceID(), 4) << '\n';
    if (const uint16_t gpu = image.GetGPUDeviceID(); gpu != 0)
    {
        out << "GPU Device ID         : " << ToHex(gpu, 4) << '\n';
    }
    out << "Subsystem ID          : " << ToHex(image.GetSubsystemVendorID(), 4) << "-"
        << ToHex(image.GetSubsystemDeviceID(), 4) << '\n';
    out << '\n';
}

CRefPtr<IROMImage> CFlasherImpl::ReadImageForVersion(const std::string& action,
                                                     CRefPtr<IUserInterface> ui,
                                                     CRefPtr<IPCIBus> bus,
                                                     CRefPtr<IDisplayAdapter> adapter,
                                                     CRefPtr<IEEPROMDatabase> database,
                                                     bool detailed, CRefPtr<IEEPROM>& eeprom,
                                                     CLog* log)
{
    eeprom = BeginAdapterOperation(action, ui, bus, adapter, database, detailed, true, log);
    CRefPtr<IROMImage> image = ReadIdentifiedAdapterImage(ui, eeprom, database, detailed, log);
    RemoveFirstBlock85(*image);
    return image;
}

void CFlasherImpl::DisplayVersion(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                  CRefPtr<IDisplayAdapter> adapter,
                                  CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                  CRefPtr<IBoardDatabase> boardDatabase,
                                  CRefPtr<IEEPROMDatabase> database, bool boardNames, bool detail,
                                  CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image = ReadImageForVersion("Display version.", ui, bus, adapter, database,
                                                   detail, eeprom, log);
    std::ostringstream shown;
    PrintImageInfo(image, adapterDatabase, boardDatabase, true, boardNames, detail, shown, log,
                   adapter);
    std::ostringstream logged;
    PrintImageInfo(image, adapterDatabase, boardDatabase, true, true, detail, logged, log, adapter);
    LogLine(log, 3, logged.str());
    ui->ShowMessage(2, shown.str());
}

void CFlasherImpl::DisplayAppliedRuntimePatches(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                                CRefPtr<IDisplayAdapter> adapter,
                                                CRefPtr<IDisplayAdapterDatabase> adapterDatabase,
                                                CRefPtr<IBoardDatabase> boardDatabase,
                                                CRefPtr<IEEPROMDatabase> database, CLog* log)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom;
    CRefPtr<IROMImage> image = ReadImageForVersion("Display applied runtime patches.", ui, bus,
                                                   adapter, database, true, eeprom, log);
    CReport report(log);
    // Whatever the path, the lines gathered so far are shown at the end.
    struct ShowAtEnd
    {
        IUserInterface& ui;
        CReport& report;
        ~ShowAtEnd() { ui.ShowMessage(2, report.Text()); }
    } show{*ui, report};

    if (image->GetRuntimePackWord() == 0)
    {
        report.Line("Image is not a runtime ROM pack");
        return;
    }
    const bool romAccess = adapter->IsROMAccessEnabled();
    adapter->RestoreROMAccess();
    LogLine(log, 3, "Reading frame buffer copy.");
    CRefPtr<IROMImage> copy =
        ReadEEPROMImageCopy(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
    if (romAccess)
    {
        adapter->EnableROMAccess();
    }
    copy->Parse();
    if (!copy->IsValid())
    {
        report.Line("Adapter does not appear to be primary");
        return;
    }
    const uint32_t recorded = copy->GetRuntimePackRecordCapacity();
    if (recorded == 0)
    {
        report.Line("Image does not have applied runtime ROM pack reporting support");
        return;
    }
    CRefPtr<IROMMeld> pack = IROMMeld::Create();
    pack->SetRuntimePackMode(true);
    pack->ReadFromBuffer(image->GetBuffer(), image->GetROMSize(), log);

    ReportAppliedImages(report, *copy, *pack, recorded, *adapterDatabase, *boardDatabase, log);
}

void CFlasherImpl::PrintVersionQuick(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                     CRefPtr<IDisplayAdapter> adapter,
                                     CRefPtr<IDisplayAdapterDatabase> /*adapterDatabase*/,
                                     CRefPtr<IBoardDatabase> /*boardDatabase*/,
                                     CRefPtr<IEEPROMDatabase> database, std::ostream& out,
                                     bool showVarnexVersion, CLog* log, bool indent)
{
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    LogLine(log, 3, "Action: Print version (quick).");
    DisableDisplayDriver(adapter, log, false);
    bus->MapAdapter(adapter);
    out << std::left << std::setw(16) << adapter->GetName() << std::right << " ("
        << ToHex(adapter->GetVendorID(), 4) << "," << ToHex(adapter->GetDeviceID(), 4);
    if (const uint16_t registerId = adapter->GetRegisterDeviceID(); registerId != 0)
    {
        out << "/" << ToHex(registerId, 4);
    }
    out << "," << ToHex(adapter->GetSubsystemVendorID(), 4) << ","
        << ToHex(adapter->GetSubsystemDeviceID(), 4) << ") " << adapter->GetParentBusText() << ":"
        << std::left << std::setw(4) << adapter->GetHierarchyShortName() << std::right << " ";
    try
    {
        CRefPtr<IEEPROM> eeprom =
            OpenEEPROM(ui, bus, adapter, database, false, AdapterUse::Reads, log);
        IdentifyEEPROM(ui, eeprom, database, log, false);
        CRefPtr<IROMImage> image =
            ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
        const std::string version = image->GetVersionString(0);
        out << version;
        LogLine(log, 3, "VBIOS Version   : " + version);
        const int32_t kind = image->GetImageType();
        if (kind != kROMImageBridgeZX22 && kind != kROMImageBridgePLX8747 && showVarnexVersion)
        {
            const std::string line = std::string(indent ? "    " : "") +
                                     "Varnex Version  : " + image->GetVarnexVersion();
            out << '\n' << line << '\n';
            LogLine(log, 3, "");
            LogLine(log, 3, line);
        }
    }
    catch (const std::exception& error)
    {
        out << "Version N/A";
        LogLine(log, 3,
                "Exception: " + TypeName(error) + ": " + error.what());
        LogLine(log, 3, "Version string not available.");
    }
}
