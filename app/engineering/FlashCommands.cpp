// The engineering flash: a firmware file (one image or a pack) into every
// selected adapter it fits. With one adapter and one image each mismatch is
// explained and may be overridden; otherwise a mismatching image is passed
// over. Every outcome becomes a row of the closing results table.

#include "app/engineering/FlashCommands.h"
#include "app/engineering/EngineeringCommands.h"
#include "flasher/StrapRefresh.h"

#include "app/UpdateRecords.h"
#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "eeprom/IEEPROM.h"
#include "eeprom/KestrixLoader.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/ImageCompatibility.h"

#include <iostream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace
{
// Flash flags: bit 0 compares only the init-from-ROM segment, bit 1
// programs only that segment.
constexpr uint32_t kVerifySegment = 1;
constexpr uint32_t kSegmentOnly = 2;
// The newest program level this program understands.
constexpr uint8_t kNewestProgramLevel = 0x12;

// A line to standard output and the same line to the log.
void ShowAndLog(CLog* log, int level, const std::string& text)
{
    std::cout << text << std::endl;
    LogLine(log, level, text);
}

bool AskKey(const std::string& prompt)
{
    std::cout << prompt << std::flush;
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    std::cout << std::endl;
    return key == 'y' || key == 'Y';
}

bool AskTypedYes(const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
    {
        std::cout << line << "\n";
    }
    std::cout << "\nAre you sure you want to continue?\nType \"YES\" to confirm (all caps):  "
              << std::endl;
    std::string answer;
    const bool read = GetCrossPlatform()->ReadLine(answer);
    std::cout << std::endl;
    return read && answer == "YES";
}

std::vector<std::string> DangerBlock(const std::string& what, bool longLine)
{
    return {"",
            "*** WARNING: Overriding the " + what + " can be very dangerous. ***",
            "Upgrading to an image with the wrong " + what + " can render the video card",
            "unusable.",
            "Overriding the " + what + " is only needed for extreme circumstances.",
            longLine
                ? "A mismatched " + what + " almost always means the wrong firmware image is being "
                : "A mismatched " + what + " almost always means the wrong firmware image is ",
            longLine ? "used for the specific video card."
                     : "being used for the specific video card."};
}

// One mismatch bit a one-to-one flash may override.
struct OverrideCheck
{
    uint32_t bit;
    const char* option;
    const char* refusal;
    const char* skipped;
    const char* accepted;
};
constexpr OverrideCheck kOverrideChecks[] = {
    {kMismatchDeviceId, "overridetype", "GPU mismatch",
     "PCI Device ID override confirmation skipped.", "Overriding GPU mismatch"},
    {kMismatchSubsystemId, "overridesub", "PCI subsystem ID mismatch",
     "PCI Subsystem ID override confirmation skipped.", "Overriding PCI subsystem ID mismatch"},
    {kMismatchBoardId, "overrideboard", "Board ID mismatch",
     "Board ID override confirmation skipped.", "Overrding Board ID mismatch"},
    {kMismatchGpuPosition, "overridehierarchy", "Hierarchy mismatch",
     "Hierarchy ID override confirmation skipped.", "Overrding hierarchy mismatch"},
    {kMismatchSelection, "overrideselection", "Selection ID mismatch",
     "Selection ID override confirmation skipped.", "Overrding selection ID mismatch"},
};

bool AskOverride(uint32_t bit)
{
    switch (bit)
    {
    case kMismatchDeviceId:
        return AskTypedYes({"", "PCI Device ID override detected.",
                            "(This is usually only needed for very special circumstances.)"});
    case kMismatchSubsystemId:
        std::cout << "\n";
        return AskKey("Please press 'y' to confirm override of PCI Subsystem ID's:  ");
    case kMismatchBoardId:
        return AskTypedYes(DangerBlock("Board ID", true));
    case kMismatchGpuPosition:
        return AskTypedYes(DangerBlock("Hierarchy ID", false));
    default:
        return AskTypedYes(DangerBlock("Selection ID", false));
    }
}

class CFlashRun
{
public:
    CFlashRun(EngineeringCommand& command, uint32_t flashFlags)
        : m_command(command), m_values(command.values), m_line(*command.values.commandLine),
          m_flags(flashFlags), m_detailed(command.app.HasEngineeringFeatures())
    {
    }

    void Run();

private:
    bool Set(const char* word) const { return m_line.IsSet(word); }
    void FlashAdapter(int32_t index, CRefPtr<IDisplayAdapter> adapter, bool last);
    // True when the image matched (programmed, verified or skipped).
    bool TryImage(int32_t index, uint32_t imageNumber, CRefPtr<IDisplayAdapter> adapter,
                  CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image, CRefPtr<IROMImage>& head,
                  bool blank);
    // False, with a row not matched, when the image does not fit the adapter.
    bool ImageFits(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> copy,
                   CRefPtr<IROMImage> head, bool erased);
    bool NeedsNewerProgram(CRefPtr<IROMImage> copy);
    void Program(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                 CRefPtr<IROMImage> copy);
    uint32_t AdjustedMask(uint32_t mask, bool ifrImageMode) const;
    void OverrideOneToOne(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> head,
                          uint32_t mask) const;
    uint32_t SecondPass(uint32_t mask) const;
    void ShowMatch(CRefPtr<IROMImage> head, CRefPtr<IROMImage> copy, uint32_t imageNumber);
    bool Confirm(int32_t index, CRefPtr<IDisplayAdapter> adapter);
    void Finish();

    EngineeringCommand& m_command;
    EngineeringValues& m_values;
    ICommandLine& m_line;
    uint32_t m_flags;
    bool m_detailed;
    ROMImageList m_images;
    SelectionCriteria m_selection;
    bool m_oneToOne = false;
    FlashResultList m_results;
    bool m_anyFlashed = false;
    bool m_anyMatched = false;
    bool m_newerNeeded = false;
    bool m_skippedAdapter = false;
    bool m_programming = false; // inside a programming of the chip
};

void CFlashRun::Run()
{
    EngineeringValues& values = m_values;
    const FileTypeList types = {CRomviseBaseApp::MakeFileType(1, ".krr"),
                                CRomviseBaseApp::MakeFileType(0, ".rom")};
    m_images =
        m_command.app.LoadFirmwareFile(values.ui, values.boards, values.fileName, types,
                                       values.extVersion, values.fwindex, m_selection, values.log);
    const DisplayAdapterList adapters =
        m_command.app.SelectAdapters(values.ui, values.adapters, values.boards, values.filters,
                                     false, GetPCIBus(), values.index, values.log);
    m_oneToOne = adapters.size() == 1 && m_images.size() == 1;
    if (m_oneToOne)
    {
        LogLine(values.log, 3, "One to one mode");
    }
    std::cout << "Checking for matches between display adapter(s) and image(s)...\n" << std::endl;
    CDisplayDriverRestoreGuard restoreOnFailure(values.log, DisplayRestore::OnFailure);
    try
    {
        for (size_t i = 0; i < adapters.size(); ++i)
        {
            FlashAdapter(static_cast<int32_t>(i), adapters[i], i + 1 == adapters.size());
        }
        GetCrossPlatform()->RestoreDisplayDriver(values.log);
        Finish();
    }
    catch (...)
    {
        LogLine(values.log, 3, "NOTE: Exception caught.");
        PrintResults(m_results, m_detailed,
                     m_programming ? ResultsClosing::NoClaim : ResultsClosing::ByOutcome);
        throw;
    }
}

void CFlashRun::Finish()
{
    if (m_newerNeeded && !m_anyMatched)
    {
        throw std::runtime_error("A newer version of ROMVISE is required.");
    }
    if (!m_oneToOne)
    {
        std::cout << (m_anyMatched ? "No more matches found." : "No matches found.") << std::endl;
        PrintResults(m_results, m_detailed);
    }
    else if (m_skippedAdapter)
    {
        throw std::runtime_error(" Detecting GPU failed.");
    }
    else if (m_anyFlashed)
    {
        m_values.ui->ShowMessage(1, "A reboot is required for the update to take effect.");
    }
    if (!m_anyMatched)
    {
        m_values.result = engineering_exit::kNothingMatched;
    }
}

void CFlashRun::FlashAdapter(int32_t index, CRefPtr<IDisplayAdapter> adapter, bool last)
{
    EngineeringValues& values = m_values;
    CLog* log = values.log;
    *log << LogLevel(3) << "Testing adapter: ";
    adapter->PrintDescription(*log, false, m_detailed);
    *log << LogEndl;
    if (!adapter->GetDevice()->InitializeClocks())
    {
        LogLine(log, 3, "Failed to raise ROM and uC perf clocks.");
        LogLine(log, 3, "Flashing on blank EEPROMs will be slow.");
    }
    // A verification writes nothing: it only reads the adapter. The session
    // holds the adapter until it is done.
    CRefPtr<IAdapterSession> session = OpenAdapterSession(
        values, adapter, Set("sec") ? KESTRIX_SEC : KESTRIX_PMU, m_detailed, m_detailed,
        (m_flags & kVerifySegment) ? AdapterUse::Reads : AdapterUse::Writes);
    CRefPtr<IEEPROM> eeprom = session->EEPROM();
    if (m_oneToOne && Set("romstrap"))
    {
        values.flasher->OverrideSubvendorStrap(values.ui, adapter, log);
    }
    const AdapterHead read =
        ReadAdapterHead(*values.flasher, values.ui, adapter, values.eeproms, eeprom, log);
    CRefPtr<IROMImage> head = read.head;
    const bool blank = read.blank;
    if (!head)
    {
        LogLine(log, 3, "NOTE: Exception caught: " + read.failure);
        LogLine(log, 3, "Adapter not accessible, skipping");
        m_skippedAdapter = true;
        m_results.push_back({index, adapter, false, false});
    }
    else if (blank && !m_oneToOne && m_selection.kind == SelectionCriteria::None)
    {
        LogLine(log, 4,
                "WARNING: EEPROM is erased, must update this specific adapter with a specific "
                "image using --index and/or --fwindex");
    }
    else
    {
        CBoardType board;
        values.boards->GetBoardType(board, head->GetBoardID());
        if (board.IsKnown())
        {
            head->SetBoardName(board.name);
        }
        const bool noIfrData = head->GetIFRDataSize() == 0;
        if (blank && noIfrData)
        {
            LogLine(log, 4, "NOTE: EEPROM appears to be erased:");
            LogLine(log, 4, "NOTE: Skipping PCI Subsystem ID and board ID checks.");
            LogLine(log, 4, "NOTE: Only correct GPU checked.");
        }
        else if (blank)
        {
            LogLine(log, 4, "NOTE: Only IFR present:");
            LogLine(log, 4, "NOTE: Skipping Board ID and Device ID checks.");
        }
        if (head->GetBoardID() == 0 && m_oneToOne)
        {
            LogLine(log, 4, "NOTE: EEPROM does not contain board ID, skipping board ID check.");
        }
        for (uint32_t i = 0; i < m_images.size(); ++i)
        {
            if (TryImage(index, i, adapter, eeprom, m_images[i], head, blank && noIfrData))
            {
                break;
            }
        }
    }
    std::cout << std::endl;
    if (!m_oneToOne)
    {
        values.flasher->RestoreDisplayDriver(last);
    }
}

uint32_t CFlashRun::AdjustedMask(uint32_t mask, bool ifrImageMode) const
{
    constexpr uint32_t kVersionBits = kMismatchVersionOrder | kMismatchSameVersion;
    // The check never sets 0x100; it is cleared as the version rules say.
    constexpr uint32_t kFivePartVersion = 0x100;
    if (!Set("upgradeonly") && !Set("nodowngrade"))
    {
        mask &= ~(kVersionBits | kFivePartVersion);
    }
    if (Set("nodowngrade"))
    {
        mask &= ~uint32_t{kMismatchSameVersion};
    }
    mask &= Set("vercmp5part") ? ~kVersionBits : ~kFivePartVersion;
    if (ifrImageMode)
    {
        mask &= ~uint32_t{kMismatchVendorId | kMismatchDeviceId | kMismatchBoardId};
    }
    return mask;
}

void CFlashRun::OverrideOneToOne(CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> head,
                                 uint32_t mask) const
{
    if (mask & (kMismatchVersionOrder | kMismatchSameVersion))
    {
        if (Set("upgradeonly"))
        {
            throw std::runtime_error(
                "Only firmware upgrades are allowed with the '--upgradeonly' option.");
        }
        if (Set("nodowngrade"))
        {
            throw std::runtime_error(
                "firmware downgrades is not allowed with the '--nodowngrade' option.");
        }
    }
    for (const OverrideCheck& check : kOverrideChecks)
    {
        if (!(mask & check.bit))
        {
            continue;
        }
        // A switch whose image carries its own IDs may take other subsystem
        // IDs without the option.
        const bool bridgeException = check.bit == kMismatchSubsystemId &&
                                     adapter->GetDevice()->GetDeviceKind() == kDeviceKindPLX8747 &&
                                     head->GetVendorID() == adapter->GetVendorID() &&
                                     head->GetDeviceID() == adapter->GetDeviceID();
        if (!Set(check.option) && !bridgeException)
        {
            throw std::runtime_error(check.refusal);
        }
        if (m_values.autoNoConfirm)
        {
            LogLine(m_values.log, 4, check.skipped);
            continue;
        }
        if (!AskOverride(check.bit))
        {
            throw user_abort_error("Update aborted");
        }
        LogLine(m_values.log, 4, check.accepted);
    }
}

uint32_t CFlashRun::SecondPass(uint32_t mask) const
{
    if (Set("overridesub") && (mask & kMismatchSubsystemId))
    {
        LogLine(m_values.log, 4, "Overriding PCI subsystem ID mismatch");
        mask &= ~uint32_t{kMismatchSubsystemId};
    }
    if ((Set("altdevid") || Set("relaxdevid")) && Set("overrideboard") && (mask & kMismatchBoardId))
    {
        LogLine(m_values.log, 4, "Overriding Board ID mismatch");
        mask &= ~uint32_t{kMismatchBoardId};
    }
    LogLine(m_values.log, 3, "Mismatch Type: Adjusted: 0x" + ToHex(mask, 8));
    return mask;
}

void CFlashRun::ShowMatch(CRefPtr<IROMImage> head, CRefPtr<IROMImage> copy, uint32_t imageNumber)
{
    if (!m_oneToOne)
    {
        std::cout << "Match found." << std::endl;
    }
    const auto version = [&](const char* label, CRefPtr<IROMImage> image)
    {
        std::ostringstream text;
        text << label;
        m_values.flasher->PrintImageVersion(image, m_values.extVersion, text, m_detailed, false);
        ShowAndLog(m_values.log, 3, text.str());
    };
    version("Current      - Version:", head);
    version((m_flags & kVerifySegment) ? "Verify with  - Version:" : "Replace with - Version:",
            copy);
    if (m_images.size() > 1)
    {
        ShowAndLog(m_values.log, 3,
                   "               ROM Pack Index: " + std::to_string(imageNumber));
    }
    std::cout << std::endl;
}

bool CFlashRun::Confirm(int32_t index, CRefPtr<IDisplayAdapter> adapter)
{
    if (m_values.autoConfirm)
    {
        if (!m_oneToOne)
        {
            LogLine(m_values.log, 3, " Operation in auto mode and non-One-to-One proceeding.");
        }
        return true;
    }
    if (m_flags & kVerifySegment)
    {
        std::cout << "Verify display adapter IFR firmware with file image." << std::endl;
        return true;
    }
    std::cout << ((m_flags & kSegmentOnly) ? "Update display adapter IFR firmware?"
                                           : "Update display adapter firmware?")
              << std::endl;
    std::cout << (m_oneToOne ? "Press 'y' to confirm (any other key to abort):  "
                             : "Press 'y' to confirm ('s' to skip, 'a' to abort):  ")
              << std::flush;
    const int key = GetCrossPlatform()->GetAnswerKey(false);
    std::cout << std::endl;
    if (key == 'y' || key == 'Y')
    {
        return true;
    }
    if (key == 's' || key == 'S')
    {
        return false;
    }
    m_results.push_back({index, adapter, true, false});
    throw user_abort_error("Update aborted");
}

bool CFlashRun::TryImage(int32_t index, uint32_t imageNumber, CRefPtr<IDisplayAdapter> adapter,
                         CRefPtr<IEEPROM> eeprom, CRefPtr<IROMImage> image,
                         CRefPtr<IROMImage>& head, bool erased)
{
    const char* fileName = image->GetFileNameCStr();
    LogLine(m_values.log, 3, std::string("Testing Image: ") + (fileName ? fileName : ""));
    const CRefPtr<IROMImage> copy = IROMImage::Clone(image.get());
    if (!ImageFits(index, adapter, copy, head, erased) || NeedsNewerProgram(copy))
    {
        return false;
    }
    m_anyMatched = true;
    ShowMatch(head, copy, imageNumber);
    // Programming or verifying only the segment needs a file that carries
    // one; else the adapter's own content would be written back and called
    // an update, or nothing compared and called a match.
    if ((m_flags & (kSegmentOnly | kVerifySegment)) && copy->GetIFRImageSize() == 0)
    {
        throw std::runtime_error("File image DOES NOT contains IFR.");
    }
    const bool go = Confirm(index, adapter);
    head = nullptr;
    if (!go)
    {
        return true;
    }
    if (m_flags & kVerifySegment)
    {
        // A verification reads and compares; it writes nothing.
        m_values.flasher->CompareROMImage(m_values.ui, copy, GetPCIBus(), adapter, m_values.boards,
                                          m_values.eeproms, m_values.extVersion, false, false, true,
                                          false, m_values.log);
        m_results.push_back({index, adapter, true, false});
        return true;
    }
    Program(index, adapter, eeprom, copy);
    return true;
}

bool CFlashRun::ImageFits(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IROMImage> copy,
                          CRefPtr<IROMImage> head, bool erased)
{
    CLog* log = m_values.log;
    const bool ifrImageMode = copy->GetLoadedSize() == copy->GetIFRImageSize() ||
                              (Set("ifronly") && Set("verify") && copy->GetIFRImageSize() > 0);
    if (ifrImageMode)
    {
        LogLine(log, 3, "IFR image mode");
    }
    CompatibilityRequest request;
    request.blank = erased;
    request.skipZeroBoard = m_oneToOne || ifrImageMode;
    TakeEngineSettings(request, m_values.flasher->Settings());
    uint32_t mask = CheckImageCompatibility(adapter, copy, head, &m_selection, request, log);
    LogLine(log, 3, "Mismatch Type: Computed: 0x" + ToHex(mask, 8));
    mask = AdjustedMask(mask, ifrImageMode);
    if (m_oneToOne)
    {
        ReportImageMismatch(adapter, copy, head, &m_selection, request, mask, log);
        OverrideOneToOne(adapter, head, mask);
        mask = 0; // what survived is accepted after its warning
    }
    if (SecondPass(mask) != 0)
    {
        m_results.push_back({index, adapter, false, false});
        return false;
    }
    return true;
}

bool CFlashRun::NeedsNewerProgram(CRefPtr<IROMImage> copy)
{
    if (copy->GetInfoByte35() <= kNewestProgramLevel)
    {
        return false;
    }
    m_newerNeeded = true;
    LogLine(m_values.log, 4, "NOTE: Firmware image requires a newer version of ROMVISE.");
    std::ostringstream text;
    text << "Firmware Image Version:";
    m_values.flasher->PrintImageVersion(copy, m_values.extVersion, text, m_detailed, false);
    ShowAndLog(m_values.log, 4, text.str());
    return true;
}

void CFlashRun::Program(int32_t index, CRefPtr<IDisplayAdapter> adapter, CRefPtr<IEEPROM> eeprom,
                        CRefPtr<IROMImage> copy)
{
    // The row stands as matched while the chip is written, so that a failure
    // shows which adapter it left in doubt.
    m_results.push_back({index, adapter, true, false});
    m_programming = true;
    m_values.flasher->FlashImage(m_values.ui, copy, m_detailed, Set("keepstraps"),
                                 !Set("nopreserve"), adapter, eeprom, m_values.eeproms, m_flags,
                                 m_values.log, nullptr, true);
    m_programming = false;
    m_anyFlashed = true;
    m_results.back().flashed = true;
    // The console after the flash opens only inside the adapter's session,
    // after its claim.
    if (IAdapterSession* session = dynamic_cast<IAdapterSession*>(eeprom.get()))
    {
        session->RunConsoleIfAsked("Console after Flash\n");
    }
    if (Set("refreshstraps"))
    {
        RefreshStraps(*adapter, *copy, m_values.log);
    }
}
} // namespace

CRefPtr<IAdapterSession> OpenAdapterSession(EngineeringValues& values,
                                            CRefPtr<IDisplayAdapter> adapter, uint32_t engineType,
                                            bool detailedLine, bool loaderVerbose, AdapterUse use)
{
    AdapterOpening opening;
    opening.use = use;
    opening.rememberDisabled = values.index == -1;
    opening.verbose = detailedLine;
    opening.loaderVerbose = loaderVerbose;
    opening.kestrixEngineType = engineType;
    opening.bus = GetPCIBus();
    opening.eeproms = values.eeproms;
    opening.boards = values.boards;
    return values.flasher->OpenAdapterSession(adapter, opening, values.ui, values.log);
}

static void FlashFirmwareFile(EngineeringCommand& command)
{
    // The run's compare mode is the flash flags: 0, or 1 to verify or 2 to
    // program only the init-from-ROM segment.
    CFlashRun(command, static_cast<uint32_t>(command.values.compareMode)).Run();
}

static void FlashSegmentOnly(EngineeringCommand& command)
{
    EngineeringValues& values = command.values;
    if (values.fileName.empty())
    {
        const std::string program = command.app.GetProgramName();
        throw std::runtime_error("No filename specified.\n Flash IFR Usage: " + program +
                                 " <filename> --ifronly\n Verify IFR Usage: " + program +
                                 " <filename> --verify --ifronly \n");
    }
    values.compareMode = values.commandLine->IsSet("verify") ? 1 : 2;
    RefuseAdapterWrite(values);
    FlashFirmwareFile(command);
}

CommandFamily FlashCommandFamily()
{
    using enum ChainGuard;
    static const WordRow kWords[] = {
        {"ifronly", 0, "", "Flash only the file's IFR segment (with --verify: verify it).", 370},
        {"upgradeonly", 0, "", "Flash only a newer firmware.", 840},
        {"nodowngrade", 0, "", "Flash a newer or the same firmware, never an older one.", 850},
        {"vercmp5part", 0, "", "Compare versions in five parts (no version rule applies).", 860},
        {"overridetype", 0, "",
         "Allow a device ID mismatch (asks for YES); with --proggmac, the image's.", 870},
        {"overridesub", 0, "", "Allow a PCI subsystem ID mismatch.", 880},
        {"overrideboard", 0, "", "Allow a board ID mismatch (asks for YES).", 890},
        {"overridehierarchy", 0, "", "Allow a hierarchy ID mismatch (asks for YES).", 900},
        {"overrideselection", 0, "", "Allow a selection ID mismatch (asks for YES).", 910},
        {"keepstraps", 0, "", "Keep the adapter's straps when flashing.", 920},
        {"nopreserve", 0, "", "Do not carry the board's settings into the new firmware.", 930},
        {"refreshstraps", 0, "", "Load the new straps into the GPU after flashing.", 940},
        {"romstrap", 0, "", "Force the subsystem vendor strap before flashing.", 950},
    };
    static const ChainRow kChain[] = {
        {{"ifronly"}, 34, {LogCommand}, "", FlashSegmentOnly},
        {{}, 56, {LogCommand, PowerCheck, RefuseOverride}, "flash", FlashFirmwareFile},
    };
    static const UsageRow kUsage[] = {
        {1, 10, "Update VBIOS firmware:", " [options] <filename>"},
        {1, 100, "Verify adapter IFR firmware:", " [options] --verify --ifronly <filename>"},
    };
    return {kWords, kChain, kUsage};
}
