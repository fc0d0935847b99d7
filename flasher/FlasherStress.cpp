// The EEPROM stress test: chosen sectors erased, programmed and verified many
// times, each sector erase timed against a limit and each iteration written
// as a row of a CSV file. The adapter's firmware is saved to a backup file
// first and written back at the end of a passing run; the backup file goes
// only once the written-back firmware has been read back and found equal.

#include "core/CrossPlatform.h"
#include "core/Exceptions.h"
#include "core/TextHelpers.h"
#include "core/platform/PlatformServices.h"
#include "flasher/DisplayDriverGuard.h"
#include "flasher/FlasherImpl.h"
#include "flasher/StressTestStatus.h"
#include "image/OffsetModeScope.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace
{
const char* const kOutcomeFile = "Stress-Testing-Outcome.csv";
const char* const kBackupStem = "Stress-Testing-Backup";
const char* const kOperation = "CFlasherImpl::StressTest";
constexpr uint32_t kMaxLoops = 100000;
constexpr uint32_t kMaxEraseTimeMs = 30000;
constexpr int kInvalidAnswersAllowed = 2;

struct TestTypeText
{
    const char* menu;
    const char* summary;
};
const TestTypeText kTestTypes[] = {
    {"(1) Single sector with randomly selected", "Single Sector with Randomly selected"},
    {"(2) Single sector with user specified", "Single Sector with User specified"},
    {"(3) Block of N sectors with randomly selected ", "Block of N sectors with Randomly selected "},
    {"(4) Block of N sectors with User specified", "Block of N sectors with User specified "},
    {"(5) Iterate to erase sector", "Iterate to erase sector "},
};

std::string Decimal(uint64_t value, int width)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", width, static_cast<unsigned long long>(value));
    return text;
}

// Milliseconds on the monotonic clock: a change of the wall clock during a
// run must not pass or fail an erase.
uint64_t NowMs()
{
    return GetClock().NowMicroseconds() / 1000;
}

std::string CurrentTimeText()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y\n", &local);
    return text;
}

uint32_t RandomBelow(uint32_t n)
{
    std::mt19937 generator(static_cast<uint32_t>(std::time(nullptr)));
    return n == 0 ? 0 : static_cast<uint32_t>(generator() % n);
}

// A number from the console: 1 to max, or 0 to max - 1 when zero-based.
uint32_t ReadNumberInRange(IUserInterface& ui, uint32_t max, bool zeroBased)
{
    const uint32_t lowest = zeroBased ? 0 : 1;
    const uint32_t highest = zeroBased ? max - 1 : max;
    for (int failures = 0;; ++failures)
    {
        std::string line;
        if (GetCrossPlatform()->ReadLine(line))
        {
            std::istringstream text(line);
            long long number = 0;
            if (text >> number && number >= lowest && number <= highest)
            {
                return static_cast<uint32_t>(number);
            }
        }
        if (failures == kInvalidAnswersAllowed)
        {
            throw user_abort_error("User aborted due to invalid inputs.");
        }
        ui.ShowMessage(1, "That's not a number between " + std::to_string(lowest) + " and " +
                              std::to_string(highest) + ", type it again.");
    }
}

void Question(IUserInterface& ui, const std::string& text)
{
    ui.ShowMessage(1, "\n" + text);
}

// A backup name that no earlier file has: an earlier run's backup may be the
// only copy of an adapter's firmware.
std::filesystem::path FreshBackupPath(const std::filesystem::path& folder)
{
    std::filesystem::path path = folder / (std::string(kBackupStem) + ".rom");
    for (int n = 1; std::filesystem::exists(path); ++n)
    {
        path = folder / (std::string(kBackupStem) + "-" + std::to_string(n) + ".rom");
    }
    return path;
}

// Asks for the test type and, as the type asks, the sectors to test.
void ChooseSectors(IUserInterface& ui, StressTestParams& p, uint32_t sectors)
{
    p.testType = static_cast<int32_t>(ReadNumberInRange(ui, 5, false));
    switch (p.testType)
    {
    case 1:
        p.sectorCount = 1;
        p.startSector = RandomBelow(sectors);
        break;
    case 2:
        p.sectorCount = 1;
        Question(ui, "Q: Which sector do you want to start to test (0-" + Decimal(sectors - 1, 2) +
                         " in decimal) ?");
        p.startSector = ReadNumberInRange(ui, sectors, true);
        break;
    case 3:
        Question(ui, "Q: How many sectors do you want to test (1-" + Decimal(sectors, 2) +
                         " in decimal)?");
        p.sectorCount = ReadNumberInRange(ui, sectors, false);
        p.startSector = RandomBelow(sectors);
        break;
    case 4:
        Question(ui, "Q: Which sector do you want to test and where to start (0-" +
                         Decimal(sectors - 1, 2) + " in decimal)?");
        p.startSector = ReadNumberInRange(ui, sectors, true);
        Question(ui, "Q: How many sectors do you want to test (1-" +
                         Decimal(sectors - p.startSector, 2) + " in decimal) ?");
        p.sectorCount = ReadNumberInRange(ui, sectors - p.startSector, false);
        break;
    default:
        p.startSector = 0;
        p.sectorCount = sectors;
        break;
    }
}

// The settings of the test, as shown and logged before it starts.
std::string StressSummary(const StressTestParams& p)
{
    const bool random = p.testType == 1 || p.testType == 3;
    std::ostringstream summary;
    summary << "* Stress-testing information:\n"
            << "  - Test Type             : " << kTestTypes[p.testType - 1].summary << "\n"
            << "  - Sector count(s)       : " << Decimal(p.sectorCount, 2) << "\n"
            << "  - Sector Offset Start   : " << Decimal(p.startSector, 2)
            << (random ? " (Randomly selected)" : "") << "\n"
            << "  - Offset Start in bytes : 0x" << ToHex64(p.startOffset, 4) << "\n"
            << "  - Length in bytes       : 0x" << ToHex64(p.testLength, 4) << "\n"
            << "  - Loop Times            : " << Decimal(static_cast<uint64_t>(p.loopCount), 2)
            << "\n"
            << "  - Max Erase Time        : " << Decimal(static_cast<uint64_t>(p.maxEraseTimeMs), 4)
            << " ms\n"
            << "  - Start Time            : " << p.startTimeText;
    return summary.str();
}

// Ends the iteration's row of the outcome file as failed and reports the
// error; gives the iteration's status back.
int32_t FailIteration(std::ofstream& outcome, const char* row, const std::string& error,
                      int32_t status)
{
    outcome << row << "\n";
    outcome.close();
    std::cerr << error << std::endl;
    return status;
}

// Erases the tested range sector by sector, each within the longest erase
// time asked for; 0, or the iteration's failed status.
int32_t EraseTestRange(IUserInterface& ui, IEEPROM& eeprom, const StressTestParams& params,
                       int32_t n, std::ofstream& outcome, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    const uint32_t sectorSize = uint32_t{eeprom.GetType().KbytesPerBlock} * 1024;
    uint64_t sectorStart = 0;
    try
    {
        for (uint32_t erased = 0, address = params.startOffset; erased < params.testLength;
             erased += sectorSize, address += sectorSize)
        {
            sectorStart = NowMs();
            LogLine(log, 3,
                    "Erasing Sector: Offset = 0x" + ToHex64(address, 4) + ", Length = 0x" +
                        ToHex64(sectorSize, 4));
            if (eeprom.ErasePages(&ui, address, sectorSize, true, out) != sectorSize)
            {
                return FailIteration(outcome, " , , FAIL",
                                     "ERROR: Unexpected Size of erased bytes at loop " +
                                         std::to_string(n) + kOperation,
                                     kStressShortCount);
            }
            if (NowMs() - sectorStart > static_cast<uint64_t>(params.maxEraseTimeMs))
            {
                return FailIteration(outcome, " , , FAIL",
                                     "ERROR: Erase time took longer than expected." +
                                         std::to_string(n) + kOperation,
                                     kStressEraseTooSlow);
            }
        }
    }
    catch (const std::exception&)
    {
        LogLine(log, 3, std::string("ERROR: EEPROM erase failed at") + kOperation);
        return FailIteration(outcome, " , , FAIL",
                             std::string("ERROR: EEPROM erase failed at") + kOperation,
                             kStressFailed);
    }
    LogLine(log, 3, "Erase Successful");
    outcome << NowMs() - sectorStart << ", ";
    return kStressPassed;
}
} // namespace

int32_t CFlasherImpl::GetStressTestParams(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                          StressTestParams* params, CLog* log)
{
    try
    {
        if (log)
        {
            log->SetLevel(3);
        }
        const CEEPROMType type = eeprom->GetType();
        const uint32_t sectorSize = uint32_t{type.KbytesPerBlock} * 1024;
        const uint32_t partSize = type.GetSizeInBytes();
        if (sectorSize == 0 || partSize % sectorSize != 0)
        {
            std::cerr << "UNSUPPORTED: Incorrect sector size or block size." << std::endl;
            return kStressUnsupportedPart;
        }
        const uint32_t sectors = partSize / sectorSize;
        Question(*ui, "Q: What is the stress-test type?");
        for (const TestTypeText& type : kTestTypes)
        {
            ui->ShowMessage(1, type.menu);
        }
        StressTestParams& p = *params;
        ChooseSectors(*ui, p, sectors);
        p.testLength = sectorSize * p.sectorCount;
        p.startOffset = sectorSize * p.startSector;
        if (p.testType == 3 && uint64_t{p.startOffset} + p.testLength > partSize)
        {
            p.sectorCount = (partSize - p.startOffset) / sectorSize;
            p.testLength = sectorSize * p.sectorCount;
            ShowAndLog(*ui, log, "Enforce boundary alignment: Sector Count = " + Decimal(p.sectorCount, 2) +
                               ", Length in bytes = " + Decimal(p.testLength, 2));
        }
        Question(*ui, "Q: How many test iterations do you want (Max = 100000 times)?");
        p.loopCount = static_cast<int32_t>(ReadNumberInRange(*ui, kMaxLoops, false));
        Question(*ui, "Q: What is the maximum erase time for a single sector (Max = 30000 ms)?");
        p.maxEraseTimeMs = ReadNumberInRange(*ui, kMaxEraseTimeMs, false);
        p.startTimeMs = NowMs();
        p.startTimeText = CurrentTimeText();

        const std::string summary = StressSummary(p);
        ui->ShowMessage(2, summary);
        LogLine(log, 3, summary);
        ui->ShowMessage(2, "Type \"y\" to confirm and continue:  ");
        std::string answer;
        if (!GetCrossPlatform()->ReadLine(answer) || answer != "y")
        {
            throw user_abort_error(" User aborted");
        }
        return kStressPassed;
    }
    catch (const std::out_of_range& error)
    {
        std::cerr << "ERROR: " << "CFlasherImpl::GetStressTestParams" << error.what() << std::endl;
        return kStressOutOfRange;
    }
    catch (const std::overflow_error& error)
    {
        std::cerr << "ERROR: " << "CFlasherImpl::GetStressTestParams" << error.what() << std::endl;
        return kStressOverflow;
    }
    catch (const std::runtime_error& error)
    {
        std::cerr << "ERROR: " << error.what() << std::endl;
        return kStressFailed;
    }
}

int32_t CFlasherImpl::StressTest(CRefPtr<IUserInterface> ui, CRefPtr<IPCIBus> bus,
                                 CRefPtr<IDisplayAdapter> adapter,
                                 CRefPtr<IDisplayAdapterDatabase> /*adapterDatabase*/,
                                 CRefPtr<IBoardDatabase> /*boardDatabase*/,
                                 CRefPtr<IEEPROMDatabase> database, CLog* log)
{
    if (log)
    {
        log->SetLevel(3);
    }
    ShowAndLog(*ui, log,
         std::string("Action: Stress-testing, generate csv file: ") + kOutcomeFile);
    // Never through a link, never into anything but a regular file; a file
    // that cannot be opened so leaves the run without its table.
    std::ofstream outcome;
    OpenLogFile(outcome, (m_stressTestFolder / kOutcomeFile).string(), true);
    outcome << "Iteration, Start Offset (0x), Data Range (0x), Erase Time (s), Write Time (s), "
               "Pass/Fail\n";
    CDisplayDriverRestoreGuard guard(log, DisplayRestore::OnFailure);
    CRefPtr<IEEPROM> eeprom =
        OpenAdapterSession(adapter, EngineOpening(AdapterUse::Destroys, bus, database, true), ui,
                           log)
            ->EEPROM();
    RefusePatternTestOnSecureEEPROM(*eeprom, "The stress test");
    IdentifyEEPROM(ui, eeprom, database, log, true);
    const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
    ui->ShowMessage(0, "Reading adapter firmware image");
    CRefPtr<IROMImage> working = ReadEEPROMImage(ui, eeprom, partSize, log);
    CRefPtr<IROMImage> backup = ReadEEPROMImage(ui, eeprom, partSize, log);

    const std::filesystem::path backupPath = FreshBackupPath(m_stressTestFolder);
    ShowAndLog(*ui, log, "Backing up ROM from display adapter to " + backupPath.filename().string());
    {
        COffsetModeScope whole(backup.get(), false);
        backup->SaveToFile(backupPath.string(), 0, partSize);
    }
    if (VerifyImageCertificate(adapter, working, eeprom, nullptr, log, IsVerbose()) !=
        kCertificateAccepted)
    {
        throw image_refused_error("Invalid firmware image detected. \n");
    }
    StressTestParams params;
    if (const int32_t status = GetStressTestParams(ui, eeprom, &params, log);
        status != kStressPassed)
    {
        return status;
    }
    working->SetOffsetMode(false);
    for (uint32_t i = 0; i < params.sectorCount; ++i)
    {
        working->SetByte(static_cast<int32_t>(params.startOffset + i), static_cast<uint8_t>(i % 251));
    }
    ui->ShowMessage(0, "Proceeding with erase/write/verify test");
    LogLine(log, 3, "Starting erase/write/verify test.");
    for (int32_t n = 1; n <= params.loopCount; ++n)
    {
        const int32_t status = RunStressIteration(ui, eeprom, working, backup, params, n, outcome, log);
        if (status != kStressPassed)
        {
            return status;
        }
    }
    outcome.close();
    return RestoreAfterStressTest(ui, eeprom, backup, backupPath, params, log);
}

int32_t CFlasherImpl::RunStressIteration(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                         CRefPtr<IROMImage> working, CRefPtr<IROMImage> backup,
                                         const StressTestParams& params, int32_t n,
                                         std::ofstream& outcome, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    CLog& out = *logOrDiscard;
    ShowAndLog(*ui, log, "Test Iteration: " + std::to_string(n));
    outcome << "N = " << n << ", " << ToHex64(params.startOffset, 8) << "h, "
            << ToHex64(params.testLength, 8) << "h, ";
    ui->Signal(0);
    ui->ShowMessage(0, "Erasing sector...");
    if (const int32_t status = EraseTestRange(*ui, *eeprom, params, n, outcome, log);
        status != kStressPassed)
    {
        return status;
    }

    CRefPtr<IROMImage> reference = working;
    if (params.testType != 5)
    {
        if (IsVerbose())
        {
            ui->ShowMessage(0, "Storing updated firmware image");
        }
        LogLine(log, 3, "Storing updated firmware image.");
        const uint64_t writeStart = NowMs();
        try
        {
            if (eeprom->WriteImage(ui.get(), params.startOffset, working.get(),
                                   static_cast<int32_t>(params.startOffset), params.testLength,
                                   false, false, out) < params.testLength)
            {
                return FailIteration(outcome, " , FAIL",
                                     "ERROR: Unexpected Size of program bytes at loop " +
                                         std::to_string(n) + kOperation,
                                     kStressShortCount);
            }
        }
        catch (const std::exception&)
        {
            LogLine(log, 3, std::string("ERROR: EEPROM programming failed at") + kOperation);
            return FailIteration(outcome, " , FAIL",
                                 std::string("ERROR: EEPROM programming failed at") + kOperation,
                                 kStressFailed);
        }
        const uint64_t elapsed = NowMs() - writeStart;
        ui->ShowMessage(1, "Write time: " + std::to_string(elapsed) + "s");
        outcome << elapsed << ", ";
    }
    else
    {
        reference = IROMImage::Create(backup->GetImageType());
        outcome << ", ";
    }
    ui->ShowMessage(0, "Verifying update");
    LogLine(log, 3, "Verifying update.");
    const uint32_t partSize = eeprom->GetType().GetSizeInBytes();
    CRefPtr<IROMImage> readBack = ReadEEPROMImage(ui, eeprom, partSize, log);
    readBack->SetOffsetMode(false);
    reference->SetOffsetMode(false);
    // Every byte of the part is compared: the tested range may lie past the
    // firmware's chain, and an erased part has no chain at all, so the
    // images' ROM sizes would leave it unchecked.
    const int32_t mismatch = reference->CompareRange(readBack.get(), 0, partSize);
    if (mismatch != -1)
    {
        std::cerr << MismatchText(mismatch, reference->GetByte(mismatch),
                                  readBack->GetByte(mismatch));
        outcome << "FAIL\n";
        outcome.close();
        return kStressMismatch;
    }
    outcome << "PASS\n";
    LogLine(log, 3, "Update successful");
    ui->ShowMessage(1, "Update successful");
    return kStressPassed;
}

int32_t CFlasherImpl::RestoreAfterStressTest(CRefPtr<IUserInterface> ui, CRefPtr<IEEPROM> eeprom,
                                             CRefPtr<IROMImage> backup,
                                             const std::filesystem::path& backupPath,
                                             const StressTestParams& params, CLog* log)
{
    CLogOrDiscard logOrDiscard(log);
    ShowAndLog(*ui, log, "Restoring original ROM image now.");
    backup->SetOffsetMode(false);
    // The backup file stays until the chip is proven to hold the firmware
    // again: a failed restore leaves it as the only copy.
    bool restored = false;
    try
    {
        eeprom->WriteImage(ui.get(), 0, backup.get(), 0, backup->GetLoadedSize(), true, true,
                           *logOrDiscard);
        CRefPtr<IROMImage> readBack =
            ReadEEPROMImage(ui, eeprom, eeprom->GetType().GetSizeInBytes(), log);
        readBack->SetOffsetMode(false);
        restored = backup->Compare(readBack.get()) == -1;
    }
    catch (const std::exception& error)
    {
        LogLine(log, 3, error.what());
    }
    ShowAndLog(*ui, log, "Stress-testing end time: " + Decimal(NowMs() - params.startTimeMs, 4) + "ms");
    if (!restored)
    {
        const std::string error = "ERROR: Restoring the original ROM image failed; the backup stays in " +
                                  backupPath.string();
        LogLine(log, 4, error);
        std::cerr << error << std::endl;
        return kStressRestoreFailed;
    }
    LogLine(log, 3, "Delete the backup ROM " + backupPath.filename().string());
    std::filesystem::remove(backupPath);
    ShowAndLog(*ui, log, "STRESS-TESTING PASS");
    return kStressPassed;
}
