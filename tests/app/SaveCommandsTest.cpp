// Saving an adapter's firmware to a file and comparing or verifying it against
// one: the file is checked before any hardware is read, a saved file is new
// (never an existing file, never through a link) and reads back equal.

#include "EngineeringRig.h"

#include "testkit/ErrorOf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace
{
const RigGpu kSaveGpu{1, 0, 0x0800, RigFirmware()};

std::string ReadSavedText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

uint64_t SaveChipWrites(CEngineeringRig& rig)
{
    const SimCounters& counters = rig.Machine().Counters();
    return counters.Get("spi.erases") + counters.Get("spi.programs");
}

} // namespace

TEST(SaveCommand, SavedFileVerifiesAgainstTheAdapter)
{
    CEngineeringRig rig({kSaveGpu});
    const std::string name = (rig.folder.Path() / "s.rom").string();
    ASSERT_EQ(rig.Run({"--auto", "--save=" + name}), 0) << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Saving of image completed.")) << rig.out;
    EXPECT_FALSE(ReadSavedText(name).empty());
    // A plain argument starting with '/' would read as an option.
    const std::string relative = std::filesystem::relative(name).string();
    EXPECT_EQ(rig.Run({"--auto", "--verify", relative}), 0) << rig.err;
    EXPECT_EQ(rig.Run({"--auto", "--compare", relative}), 0) << rig.err;
    EXPECT_EQ(SaveChipWrites(rig), 0u);
}

TEST(SaveCommand, RefusalsComeBeforeAnyHardwareIsRead)
{
    struct Case
    {
        std::vector<std::string> words;
        int exitCode;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {{"--save=firmware.bin"}, 2, "ERROR: "},
        {{"--save"},
         5,
         "No filename specified.\n\nExample:\n  > romvise_eng --save=firmware.rom\n"},
        {{"--entire", "--save"},
         5,
         "No filename specified.\n\nExample:\n  > romvise_eng --entire --save=firmware.rom\n"},
        {{"--compare"}, 2, "\nERROR: No filename specified.\n"},
        {{"--verify"}, 2, "\nERROR: No filename specified.\n"},
        {{"--verify", "absent.rom"}, 3, "I/O ERROR: Cannot open file: absent.rom"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.words.back());
        CEngineeringRig rig({kSaveGpu});
        EXPECT_EQ(rig.Run(c.words), c.exitCode);
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_EQ(rig.HardwareAccesses(), 0u);
    }
}

// A saved file replaces an existing regular file whole, and never goes
// through a link.
TEST(SaveCommand, ReplacesARegularFileButNeverWritesThroughALink)
{
    CEngineeringRig rig({kSaveGpu});
    const std::filesystem::path existing = rig.folder.Path() / "existing.rom";
    const std::filesystem::path target = rig.folder.Path() / "target.txt";
    const std::filesystem::path link = rig.folder.Path() / "link.rom";
    rig.folder.WriteText(existing.filename(), "kept");
    rig.folder.WriteText(target.filename(), "kept");
    std::filesystem::create_symlink(target, link);

    EXPECT_EQ(rig.Run({"--auto", "--save=" + link.string()}), 3);
    EXPECT_TRUE(Contains(rig.err, "I/O ERROR: Cannot create file: " + link.string() +
                                      " (not a regular file)"))
        << rig.err;
    EXPECT_FALSE(Contains(rig.out, "Saving of image completed.")) << rig.out;
    EXPECT_EQ(ReadSavedText(target), "kept");
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    EXPECT_EQ(rig.Run({"--auto", "--save=" + existing.string()}), 0) << rig.err;
    EXPECT_TRUE(Contains(rig.out, "Saving of image completed.")) << rig.out;
    EXPECT_EQ(std::filesystem::file_size(existing), 0x10000u);
}

TEST(CompareCommand, ReportsTheFirstDifferenceWithTheAdapter)
{
    struct Case
    {
        const char* command;
        uint32_t fileVersion;
        int exitCode;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"--compare", 0x86041B00, 0, ""},
        {"--compare", 0x86041C00, 2, "Mismatch at offset 0x"},
        {"--verify", 0x86041C00, 2, "Mismatch at offset 0x"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.command) + " " + std::to_string(c.fileVersion));
        CEngineeringRig rig({kSaveGpu});
        const std::filesystem::path file = rig.folder.Path() / "f.rom";
        rig.folder.WriteBytes(file.filename(), RigFirmware(c.fileVersion));
        EXPECT_EQ(rig.Run({"--auto", c.command, std::filesystem::relative(file).string()}),
                  c.exitCode)
            << rig.err;
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_EQ(SaveChipWrites(rig), 0u);
    }
}
