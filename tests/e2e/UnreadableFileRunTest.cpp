// Every program command that reads a file, given a file that cannot be read
// whole: a FIFO no one writes, a link to /dev/zero, a directory and a sparse
// file of 2 GiB. Each run ends with its command's text and exit code, under a
// memory limit and a time limit that only a hang or a runaway read reaches.
// The runs ignore the stop signals, so the time limit kills.

#include "ProgramRun.h"

#include "testkit/varnex/VarnexStoreBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{
enum class FileKind
{
    Fifo,
    DevZero,
    Directory,
    Oversized,
};

struct KindCase
{
    FileKind kind;
    const char* stem;
};

const KindCase kKinds[] = {
    {FileKind::Fifo, "fifo"},
    {FileKind::DevZero, "zero"},
    {FileKind::Directory, "dir"},
    {FileKind::Oversized, "big"},
};

// One command: `command` holds "{}" where the file's name goes.
struct CommandRow
{
    std::string command;
    std::string extension;
    int exitCode;
    std::string shown;
    // For the oversized file, when the command says so in its own words.
    std::string shownOversized = "";
    int exitCodeOversized = -1;
    const char* keys = "";
};

std::string Replace(std::string text, const std::string& name)
{
    for (size_t at = text.find("{}"); at != std::string::npos; at = text.find("{}"))
    {
        text.replace(at, 2, name);
    }
    return text;
}

// Makes the four files of one extension in the folder.
void MakeFiles(const CProgramFolder& folder, const std::string& extension)
{
    for (const KindCase& kind : kKinds)
    {
        const std::string path = folder.PathOf(kind.stem + extension);
        switch (kind.kind)
        {
        case FileKind::Fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            break;
        case FileKind::DevZero:
            std::filesystem::create_symlink("/dev/zero", path);
            break;
        case FileKind::Directory:
            std::filesystem::create_directory(path);
            break;
        case FileKind::Oversized:
            folder.WriteFile(kind.stem + extension, {});
            std::filesystem::resize_file(path, 2ull << 30);
            break;
        }
    }
}

// The command under a kill after 20 seconds (a hang) and a memory limit (a
// read of the whole file). An address-space limit stops an address-sanitized
// process at its start, so there the sanitizer's own limits apply.
std::string Limited(const std::string& command)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    constexpr bool kSanitized = true;
#else
    constexpr bool kSanitized = false;
#endif
#else
    constexpr bool kSanitized = false;
#endif
    if (kSanitized)
    {
        return "ASAN_OPTIONS=\"$ASAN_OPTIONS:max_allocation_size_mb=256:hard_rss_limit_mb=768\" "
               "timeout -s KILL 20 " +
               command;
    }
    return "timeout -s KILL 20 sh -c 'ulimit -v 1048576; exec " + command + "'";
}

void ExpectRows(CProgramFolder& folder, const std::vector<CommandRow>& rows)
{
    for (const CommandRow& row : rows)
    {
        if (!std::filesystem::exists(folder.PathOf(std::string("fifo") + row.extension)))
        {
            MakeFiles(folder, row.extension);
        }
        for (const KindCase& kind : kKinds)
        {
            const std::string name = kind.stem + row.extension;
            SCOPED_TRACE(Replace(row.command, name));
            const bool oversized = kind.kind == FileKind::Oversized;
            const ProgramResult run =
                folder.Run(Limited(Replace(row.command, name)), row.keys);
            const bool ownText = oversized && !row.shownOversized.empty();
            EXPECT_EQ(run.exitCode, ownText && row.exitCodeOversized >= 0 ? row.exitCodeOversized
                                                                           : row.exitCode)
                << run.out << run.err;
            const std::string shown = Replace(ownText ? row.shownOversized : row.shown, name);
            EXPECT_TRUE(Contains(run.out + run.err, shown)) << run.out << run.err;
        }
    }
}

const std::string kRomvise = ROMVISE_PATH;

testkit::CVarnexStoreBuilder Store()
{
    return testkit::CVarnexStoreBuilder()
        .Img("G001.0001", 0x0800, 0x7E2B, 0x0001, 0x7E2B, true)
        .Obd("900-10800-0000-A01", "Board Of The Adapter", "SN-ADAPTER-42")
        .Oem({0x11, 0x22, 0x33, 0x44});
}
} // namespace

TEST(UnreadableFileRun, FirmwareFiles)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware()});
    const std::string cannotOpen = "I/O ERROR: Cannot open file: {}\n";
    const std::string tooLarge = "I/O ERROR: File is larger than the image buffer: {}\n";
    ExpectRows(folder, {
        {kRomvise + " --auto --noconfirm {}", ".rom", 3, cannotOpen, tooLarge},
        {kRomvise + " --version {}", ".rom", 3, cannotOpen, tooLarge},
        {kRomvise + " --tv {}", ".rom", 3, cannotOpen, tooLarge},
        {kRomvise + " --compare {}", ".rom", 3, cannotOpen, tooLarge},
        {kRomvise + " --auto --noconfirm {}", ".krr", 3, cannotOpen},
        {kRomvise + " --auto --noconfirm --updateuefi {}", ".efirom", 3, cannotOpen, tooLarge},
        {kRomvise + " --querygmac={}", ".rom", 3, "Couldn't open {}\n"},
    });
}

TEST(UnreadableFileRun, StoreAndSettingsFiles)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware({.varnexStore = Store().BuildRaw()})});
    ExpectRows(folder, {
        {kRomvise + " --auto --noconfirm --flashvarnex {}", ".vnx", 3,
         "Incorrect Configuration Setting file '{}'.",
         "Incorrect Configuration Setting file format '{}size:2147483648", 5},
        {kRomvise + " --auto --noconfirm --flashfs {}", ".fs", 3,
         "Error reading input file system image file '{}'.",
         "Incorrect file system image file '{}'.", 5},
        {kRomvise + " --createfs {}", ".vnx", 3,
         "Error reading input Configuration Setting file '{}'.",
         "Incorrect Configuration Setting file format '{}size:2147483648", 5},
        {kRomvise + " --auto --noconfirm --wroem {}", ".oem", 5,
         "Incorrect Configuration Setting file '{}'."},
        {kRomvise + " --auto --noconfirm --wrobd {}", ".csv", 5,
         "Couldn't open {}\n"},
        {kRomvise + " --partopts={} --check", ".csv", 5, "Couldn't open {}\n"},
    });
}

TEST(UnreadableFileRun, MicrocodeFiles)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware({.deviceId = 0x0C00})}, "");
    ExpectRows(folder, {
        {kRomvise + " --loadkestrix --pmu={}", ".bin", 2,
         "ERROR: PMU:  KESTRIX_IMAGE_FILE_NOT_FOUND"},
        {kRomvise + " --loadkestrix --krdec={}", ".bin", 2,
         "ERROR: KRDEC:  UNKNOWN KESTRIX IMAGE ERROR"},
        {kRomvise + " --loadkestrix --sec={}", ".bin", 2,
         "ERROR: SEC:  UNKNOWN KESTRIX IMAGE ERROR"},
    });
}

// The packaged updater's backup file and romstamp's package.
TEST(UnreadableFileRun, BackupAndPackageFiles)
{
    CProgramFolder folder;
    folder.MakeMachine({MakeFirmware()});
    ASSERT_EQ(folder.Stamp(MakeFirmware(kNewer)).exitCode, 0);
    for (const KindCase& kind : kKinds)
    {
        SCOPED_TRACE(kind.stem);
        CProgramFolder backup;
        backup.MakeMachine({MakeFirmware()});
        std::filesystem::copy_file(folder.PathOf("romuvise"), backup.PathOf("romuvise"));
        MakeFiles(backup, ".bkr");
        std::filesystem::rename(backup.PathOf(kind.stem + std::string(".bkr")),
                                backup.PathOf("image000.bkr"));
        const ProgramResult run = backup.Run(Limited("./romuvise -r"), "y");
        const bool oversized = kind.kind == FileKind::Oversized;
        EXPECT_EQ(run.exitCode, oversized ? 2 : 3) << run.out << run.err;
        EXPECT_TRUE(Contains(run.err, oversized ? "ERROR: Invalid firmare restore image file: "
                                                  "the file is too large.\n"
                                                : "I/O ERROR: Cannot open file: ./image000.bkr\n"))
            << run.err;
    }
    ExpectRows(folder, {
        {std::string(ROMSTAMP_PATH) + " romuvise {}", ".rom", 1, "romstamp: cannot open {}\n",
         "romstamp: cannot read {}\n"},
    });
}
