// romuvise as a process on simulated machines: the embedded package, the
// command line, the prompts, the version rules, the power check, backup and
// restore files, and one run at a time per adapter.

#include "ProgramRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace
{
const std::string kUsageLine = "Usage: romuvise [-s LEVEL] [-L LOGFILE] [-b DIR | -r DIR] [-S]\n";
const std::string kBanner = "\nKorvan Firmware Update Utility\nVersion ";
} // namespace

TEST(PackagedRun, UnstampedProgramStopsBeforeAnyAdapter)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware(kOld)});
    std::filesystem::copy_file(ROMUVISE_PATH, folder.PathOf("romuvise"));
    const ProgramResult run = folder.Updater("", "yy");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "\nERROR: No embedded ROM image.  romstamp.exe was never executed.  See "
                       "romuvise.doc for details.\n" +
                           kSupportParagraph);
    EXPECT_TRUE(Contains(run.out, kBanner));
    EXPECT_FALSE(Contains(run.out, "Adapter: "));
}

TEST(PackagedRun, CommandLineErrorsEndTheRunBeforeAnyHardware)
{
    struct Case
    {
        const char* arguments;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"--auto", "", "Unknown option: --auto\n" + kUsageLine},
        {"-s 1 --nopowerchk", "", "Unknown option: --nopowerchk\n" + kUsageLine},
        {"-x", "", "Unknown option: -x\n" + kUsageLine},
        {"-L", "No filename specified for --log.\n\n\n", ""},
        {"-L -s 3", "No filename specified for --log.\n\n\n", ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
        const ProgramResult run = folder.Updater(c.arguments, "yyyy");
        EXPECT_EQ(run.exitCode, 5);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, c.err);
        EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    }
}

// One adapter with older firmware; the package, its flags, the machine's
// power and the keys vary.
TEST(PackagedRun, MatchesPromptsAndRefusesAsTheControlBlockSays)
{
    struct Case
    {
        const char* name;
        FirmwareSpec package;
        const char* stampOptions;
        const char* machineOptions;
        const char* arguments;
        const char* keys;
        int exitCode;
        std::vector<std::string> outParts;
        std::string err;
        std::vector<std::string> outAbsent = {};
    };
    const std::string prompt = "CONFIRM: You are about to update the firmware of the display "
                               "adapter.\nAre you sure you want to do this?\nPress 'y' to confirm "
                               "('s' to skip, 'a' to abort):  ";
    // Named rather than written into the rows: GCC 12 at -O3 takes the vector
    // member a row's braced spec leaves to its default for uninitialized.
    const FirmwareSpec older{.version = 0x86041A00};
    const FirmwareSpec otherDevice{.deviceId = 0x0C00, .version = 0x86041C00};
    const FirmwareSpec otherDeviceOld{.deviceId = 0x0C00};
    const std::string found = "Found display adapter suitable for this update:\n"
                              "Korvan Avrel2 800    Device Path: S:00,B:01,D:00,F:00\n"
                              "                     Current Firmware Version: 86.04.1B.00.02\n";
    const std::vector<Case> cases = {
        {"abort", kNewer, "", "", "", "a", 5,
         {"Firmware Image Version: 86.04.1C.00.02\n" + found + prompt}, "\nERROR: User aborted\n"},
        {"skip", kNewer, "", "", "", "s", 0, {prompt, "\n\nNo more matches found.\n"}, ""},
        {"already updated", kOld, "--flags 0x80", "", "", "", 1,
         {"Board is already updated with firmware version 86.04.1B.00.02.\n\n",
          "No display adapters were found that are compatible with this update.\n"},
         ""},
        {"older image with the newer-only rule", older, "--flags 0x80", "", "", "", 1,
         {"Board is already updated with firmware version 86.04.1B.00.02.\n"}, ""},
        {"equal version accepted", kOld, "--flags 0x2000", "", "", "s", 0,
         {"Firmware Image Version: 86.04.1B.00.02\n", prompt}, ""},
        {"no version rule", kOld, "", "", "", "s", 0, {prompt}, ""},
        {"incompatible", otherDevice, "", "", "", "", 1,
         {"Board is incompatible with firmware version 86.04.1B.00.02.\n\n"}, ""},
        {"incompatible, quiet", otherDevice, "", "", "-s 3", "", 1,
         {kBanner}, "", {"Board is incompatible", "No display adapters"}},
        {"quiet by the control block", otherDeviceOld, "--flags 0x10", "", "", "", 1,
         {kBanner}, "", {"Board is incompatible", "*** IMPORTANT ***"}},
        {"quiet flag overridden by -s 1", otherDeviceOld, "--flags 0x10", "", "-s 1", "", 1,
         {"Board is incompatible with firmware version 86.04.1B.00.02.\n\n"}, ""},
        {"Varnex merge without a Varnex image", kNewer, "--flags 0x1000", "", "", "y", 16,
         {prompt, "Reading VBIOS image for updating Varnex Backup region...\n",
          "\nVarnex image is not present.\n"},
         "",
         {"Update successful."}},
        {"low battery", kNewer, "", "--battery 20", "", "y", 2, {prompt},
         "\nERROR: EEPROM updating prevented due to no AC power detected and battery level "
         "below 35%\n" +
             kSupportParagraph},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)}, c.machineOptions);
        ASSERT_EQ(folder.Stamp(MakeFirmware(c.package), c.stampOptions).exitCode, 0);
        const ProgramResult run = folder.Updater(c.arguments, c.keys);
        EXPECT_EQ(run.exitCode, c.exitCode);
        for (const std::string& part : c.outParts)
        {
            EXPECT_TRUE(Contains(run.out, part)) << "missing: " << part << "\nin:\n" << run.out;
        }
        for (const std::string& part : c.outAbsent)
        {
            EXPECT_FALSE(Contains(run.out, part)) << part;
        }
        EXPECT_EQ(run.err, c.err);
        EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    }
}

TEST(PackagedRun, BackupOfTwoAdaptersNeverOverwritesAndForeignBackupsAreRefused)
{
    CProgramFolder folder;
    const std::vector<uint8_t> first = MakeFirmware(kOld);
    const std::vector<uint8_t> second = MakeFirmware({.version = 0x86041A00});
    folder.MakeMachine({first, second});
    const std::vector<uint8_t> package = MakeFirmware(kNewer);
    ASSERT_EQ(folder.Stamp(package).exitCode, 0);
    std::filesystem::create_directory(folder.PathOf("saved"));

    ProgramResult run = folder.Updater("-b saved", "yy");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Backing up firmware image on display adapter found\n"
                                  "that is suitable for packaged upgrade.\n"));
    EXPECT_FALSE(Contains(run.out, "*** IMPORTANT ***"));
    auto withTrailer = [&](std::vector<uint8_t> image)
    {
        const std::vector<uint8_t> trailer = TrailerOf(package);
        image.insert(image.end(), trailer.begin(), trailer.end());
        return image;
    };
    EXPECT_TRUE(folder.ReadFile("saved/image000.bkr") == withTrailer(first));
    EXPECT_TRUE(folder.ReadFile("saved/image001.bkr") == withTrailer(second));

    // A second backup into the same folder keeps the first files.
    run = folder.Updater("-b saved", "yy");
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_EQ(run.err, "\nI/O ERROR: Backup file already exists: saved/image000.bkr\n" +
                           kSupportParagraph);
    EXPECT_TRUE(folder.ReadFile("saved/image000.bkr") == withTrailer(first));

    // A program with another package refuses these files before writing.
    std::filesystem::remove(folder.PathOf("romuvise"));
    ASSERT_EQ(folder.Stamp(MakeFirmware({.length = 0x8000})).exitCode, 0);
    run = folder.Updater("-r saved", "yy");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "\nERROR: Invalid firmare restore image file: backup image not saved "
                       "with this utility.\n" +
                           kSupportParagraph);
    EXPECT_TRUE(ChipHolds(folder.Chip(0), first));
    EXPECT_TRUE(ChipHolds(folder.Chip(1), second));
}

TEST(PackagedRun, RestoreFileIsCheckedBeforeAnythingIsWritten)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> firmware;
        std::string message;
    };
    std::vector<uint8_t> badSum = MakeFirmware(kOld);
    badSum[0x200] ^= 0x01;
    std::vector<uint8_t> cut = MakeFirmware(kOld);
    cut.resize(0x8000);
    const std::vector<Case> cases = {
        {"block sum", badSum, "not a valid firmware image."},
        {"cut short", cut, "not a valid firmware image."},
        {"another board", MakeFirmware({.deviceId = 0x0C00}),
         "image does not fit this display adapter."},
        {"too large", std::vector<uint8_t>(0x300001, 0xFF), "the file is too large."},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        const std::vector<uint8_t> package = MakeFirmware(kNewer);
        ASSERT_EQ(folder.Stamp(package).exitCode, 0);
        std::vector<uint8_t> file = c.firmware;
        const std::vector<uint8_t> trailer = TrailerOf(package);
        file.insert(file.end(), trailer.begin(), trailer.end());
        folder.WriteFile("image000.bkr", file);
        const ProgramResult run = folder.Updater("-r", "y");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "\nERROR: Invalid firmare restore image file: " + c.message + "\n" +
                               kSupportParagraph);
        EXPECT_FALSE(Contains(run.out, "CONFIRM"));
        EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    }
}

// A failure after the display driver was disabled still gives it back, and
// the log file names the program's version.
TEST(PackagedRun, FailureAfterTheDriverWasDisabledRestoresIt)
{
    struct Case
    {
        const char* arguments;
        const char* keys;
        int exitCode;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"-L run.log -r missing", "y", 3,
         "\nI/O ERROR: Cannot open file: missing/image000.bkr\n" + kSupportParagraph},
        {"-L run.log", "n", 5, "\nERROR: User aborted\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.arguments);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
        const ProgramResult run = folder.Updater(c.arguments, c.keys);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(run.err, c.err);
        const std::vector<uint8_t> logBytes = folder.ReadFile("run.log");
        const std::string log(logBytes.begin(), logBytes.end());
        EXPECT_EQ(
            log.rfind(
                "*** Korvan FIRMWARE UPDATE UTILITY LOG FILE ***\nVersion " PROJECT_VERSION_TEXT
                "\n\n\n",
                0),
            0u)
            << log;
        EXPECT_TRUE(
            Contains(log, "Restore the KR driver state automatically, and a reboot is required."));
    }
}

TEST(PackagedRun, UpdateWithCountdownAndReboot)
{
    struct Case
    {
        const char* name;
        const char* stampOptions;
        const char* arguments;
        std::vector<std::string> outParts;
        std::vector<std::string> outAbsent;
        // What the machine's reboot record holds after the run.
        std::string reboots;
    };
    const std::vector<Case> cases = {
        {"countdown", "--flags 0x420", "",
         {"UPDATE WILL BEGIN IN ABOUT 3 SECONDS.\n\n", "Update successful.",
          "No more matches found.\n\nSystem will reset now!\n"},
         {"CONFIRM"},
         "1\n"},
        {"quiet countdown", "--flags 0x430", "",
         {kBanner, "Firmware Image Version: 86.04.1C.00.02\n",
          "UPDATE WILL BEGIN IN ABOUT 3 SECONDS.\n\n"},
         {"CONFIRM", "*** IMPORTANT ***", "No more matches found.", "System will reset now!"},
         "1\n"},
        {"countdown with reboot in quiet mode (the simulated reboot recorded)", "--flags 0x420",
         "-s 3", {kBanner, "UPDATE WILL BEGIN IN ABOUT 3 SECONDS.\n\n"},
         {"CONFIRM", "No more matches found.", "System will reset now!"}, "1\n"},
        {"countdown without reboot", "--flags 0x20", "",
         {"Update successful.", "No more matches found.\n"}, {"System will reset now!"}, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        folder.MakeMachine({MakeFirmware(kOld)});
        ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer), c.stampOptions).exitCode, 0);
        const ProgramResult run = folder.Updater(c.arguments);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const std::vector<uint8_t> reboots = folder.ReadFile("reboots.txt");
        EXPECT_EQ(std::string(reboots.begin(), reboots.end()), c.reboots);
        for (const std::string& part : c.outParts)
        {
            EXPECT_TRUE(Contains(run.out, part)) << "missing: " << part << "\nin:\n" << run.out;
        }
        for (const std::string& part : c.outAbsent)
        {
            EXPECT_FALSE(Contains(run.out, part)) << part;
        }
        EXPECT_FALSE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    }
}

// A package that asks no confirmation (flag 0x20) still asks about the
// primary adapter's monitor on a machine of two adapters: it runs unattended
// with -S, which leaves the display driver alone, or with that question
// answered on standard input.
TEST(PackagedRun, NoConfirmationPackageOnTwoAdapters)
{
    struct Case
    {
        const char* arguments;
        const char* keys;
        int exitCode;
        bool asked;
    };
    const std::vector<Case> cases = {
        {"-S", "", 0, false},
        {"", "y", 0, true},
        {"", "", 5, true},
    };
    const std::vector<uint8_t> older = MakeFirmware(kOld);
    const std::vector<uint8_t> newer = MakeFirmware(kNewer);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.arguments) + " with keys \"" + c.keys + "\"");
        CProgramFolder folder;
        folder.MakeMachine({older, older});
        ASSERT_EQ(folder.Stamp(newer, "--flags 0x20").exitCode, 0);
        const ProgramResult run = folder.Updater(c.arguments, c.keys);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_EQ(Contains(run.out, "Please press 'y' to continue:"), c.asked) << run.out;
        EXPECT_FALSE(Contains(run.out, "CONFIRM")) << run.out;
        for (size_t i = 0; i < 2; ++i)
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(i), c.exitCode == 0 ? newer : older)) << i;
        }
    }
}

// Each adapter is programmed from its own copy of the package image: the
// board block the engine carries from the first adapter's firmware must not
// reach the second adapter, which has none.
TEST(PackagedRun, TwoAdaptersKeepTheirOwnBoardData)
{
    CProgramFolder folder;
    const std::vector<uint8_t> boardData = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    folder.MakeMachine({MakeFirmware({.boardBlock = boardData}), MakeFirmware(kOld)});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer), "--flags 0x80").exitCode, 0);
    ProgramResult run = folder.Updater("", "yyy");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto holdsBoardData = [&](const std::vector<uint8_t>& chip)
    { return std::search(chip.begin(), chip.end(), boardData.begin(), boardData.end()) != chip.end(); };
    EXPECT_TRUE(holdsBoardData(folder.Chip(0)));
    EXPECT_FALSE(holdsBoardData(folder.Chip(1)));

    run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 1);
    const std::string already = "Board is already updated with firmware version 86.04.1C.00.02.\n";
    const size_t first = run.out.find(already);
    ASSERT_NE(first, std::string::npos) << run.out;
    EXPECT_NE(run.out.find(already, first + 1), std::string::npos) << run.out;
}

// The IEEE 1394 GUID is the board's: an update keeps each board's own,
// whatever the adapter's catalogue row says, and only a board without one (a
// blank record, or none) takes the package's.
TEST(PackagedRun, EachBoardKeepsItsOwnGuid)
{
    struct Board
    {
        const char* name;
        uint64_t guid; // in the board's firmware; 0 for no record
        uint64_t after;
    };
    constexpr uint64_t kPackageGuid = 0x0A0B0C0D0E0F1011;
    const std::vector<Board> boards = {
        {"a board's own GUID", 0x0011223344556677, 0x0011223344556677},
        {"another board's own GUID", 0x8899AABBCCDDEEF0, 0x8899AABBCCDDEEF0},
        {"a blank GUID", 0xFFFFFFFFFFFFFFFF, kPackageGuid},
        {"no GUID record", 0, kPackageGuid},
    };
    std::vector<std::vector<uint8_t>> firmware;
    for (const Board& board : boards)
    {
        firmware.push_back(MakeFirmware({.guid = board.guid}));
    }
    CProgramFolder folder;
    folder.MakeMachine(firmware);
    ASSERT_EQ(folder.Stamp(MakeFirmware({.version = 0x86041C00, .guid = kPackageGuid})).exitCode,
              0);
    // One key for the display warning, then one for each board.
    const ProgramResult run = folder.Updater("", std::string(boards.size() + 1, 'y'));
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    for (size_t i = 0; i < boards.size(); ++i)
    {
        SCOPED_TRACE(boards[i].name);
        EXPECT_TRUE(ChipHolds(folder.Chip(i),
                              MakeFirmware({.version = 0x86041C00, .guid = boards[i].after})));
    }
}

TEST(PackagedRun, BackupThenChangedChipThenRestoreGivesTheFirmwareBack)
{
    CProgramFolder folder;
    const std::vector<uint8_t> original = MakeFirmware(kOld);
    folder.MakeMachine({original});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
    ASSERT_EQ(folder.Updater("-b", "").exitCode, 0);
    ASSERT_EQ(folder.Updater("", "y").exitCode, 0);
    ASSERT_FALSE(ChipHolds(folder.Chip(0), original));

    const ProgramResult run = folder.Updater("-r", "y");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "CONFIRM: You are about to restore the firmware of the display "
                                  "adapter.\nAre you sure you want to do this?\n"));
    EXPECT_TRUE(ChipHolds(folder.Chip(0), original));
}

// The versions the engine names after an update are the ones the run showed
// for the adapter and the package, in the same form.
TEST(PackagedRun, UpdateNamesTheVersionsAsTheRunShowedThem)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware(kOld)});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
    const ProgramResult run = folder.Updater("", "y");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    auto shownAfter = [&](const std::string& label)
    {
        const size_t at = run.out.find(label);
        return at == std::string::npos
                   ? std::string("(not shown)")
                   : run.out.substr(at + label.size(), run.out.find('\n', at) - at - label.size());
    };
    const std::string current = shownAfter("Current Firmware Version: ");
    const std::string package = shownAfter("Firmware Image Version: ");
    EXPECT_EQ(current, "86.04.1B.00.02");
    EXPECT_EQ(package, "86.04.1C.00.02");
    EXPECT_TRUE(Contains(run.out, "Firmware image has been updated from version " + current +
                                      " to " + package + ".\n"))
        << run.out;
}

// While another process holds the adapter's lock, a run refuses that adapter
// at once and writes nothing; the lock file a finished holder leaves behind
// blocks nobody.
TEST(PackagedRun, SecondRunOnABusyAdapterIsRefused)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware(kOld)});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
    const std::string lockPath = folder.PathOf("update-0000-01-00.0.lock");
    const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);

    ProgramResult run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, "\nERROR: Another run is updating this display adapter (it holds " +
                           lockPath + "). The display adapter is not updated.\n" +
                           kSupportParagraph);
    EXPECT_FALSE(Contains(run.out, "Update successful."));
    EXPECT_TRUE(ChipHolds(folder.Chip(0), MakeFirmware(kOld)));
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf("update-0000-01-00.0.rec")));

    ::close(lock);
    run = folder.Updater("", "y");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Update successful."));
}
