// romstamp on copies of the built romuvise: what it writes into the slot and
// the control block, and the programs and packages it refuses.

#include "ProgramRun.h"
#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>

namespace
{
constexpr size_t kSlotSize = 0x300000;

struct StampedFields
{
    std::vector<uint8_t> slot;
    uint16_t subsystemVendor = 0;
    uint16_t subsystemDevice = 0;
    uint32_t flags = 0;
    uint16_t boardId = 0;
    std::string name;
};

std::vector<uint8_t> ControlBlockPattern()
{
    std::vector<uint8_t> pattern(24, 0);
    std::memcpy(pattern.data() + 8, "ROMUVISE_STRUCT", 15);
    pattern[23] = 0xFF;
    return pattern;
}

// The control block: the last match, as a package in the slot in front of
// it may hold the pattern too.
size_t FindControlBlock(const std::vector<uint8_t>& program)
{
    const std::vector<uint8_t> pattern = ControlBlockPattern();
    const auto at = std::find_end(program.begin(), program.end(), pattern.begin(), pattern.end());
    EXPECT_NE(at, program.end());
    return static_cast<size_t>(at - program.begin());
}

StampedFields ReadStamp(const std::vector<uint8_t>& program)
{
    const size_t at = FindControlBlock(program);
    StampedFields fields;
    fields.slot.assign(program.begin() + static_cast<long>(at - kSlotSize),
                       program.begin() + static_cast<long>(at));
    auto word = [&](size_t offset) { return static_cast<uint16_t>(program[at + offset] | program[at + offset + 1] << 8); };
    fields.subsystemVendor = word(0x1A);
    fields.subsystemDevice = word(0x1C);
    fields.flags = static_cast<uint32_t>(word(0x20) | word(0x22) << 16);
    fields.boardId = word(0x26);
    fields.name = reinterpret_cast<const char*>(&program[at + 0x28]);
    return fields;
}

std::vector<uint8_t> SlotWith(const std::vector<uint8_t>& package)
{
    std::vector<uint8_t> slot(kSlotSize, 0);
    const uint32_t length = static_cast<uint32_t>(package.size());
    std::memcpy(slot.data(), &length, 4);
    std::copy(package.begin(), package.end(), slot.begin() + 4);
    return slot;
}
} // namespace

TEST(Romstamp, WritesPackageAndControlBlockAndReplacesAnEarlierPackage)
{
    CProgramFolder folder;
    const std::vector<uint8_t> large = MakeFirmware({.length = 0x20000});
    ProgramResult stamped =
        folder.Stamp(large, "--flags 0x430 --subsystem 7E2B:1234 --board-id 0201 --name board.rom");
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;
    StampedFields fields = ReadStamp(folder.ReadFile("romuvise"));
    EXPECT_EQ(fields.slot, SlotWith(large));
    EXPECT_EQ(fields.subsystemVendor, 0x7E2B);
    EXPECT_EQ(fields.subsystemDevice, 0x1234);
    EXPECT_EQ(fields.boardId, 0x0201);
    EXPECT_EQ(fields.flags, 0x430u);
    EXPECT_EQ(fields.name, "board.rom");

    // A second stamp replaces the package whole: no byte of the larger one
    // stays behind, and unset IDs go back to 0xFFFF.
    const std::vector<uint8_t> small = MakeFirmware({.version = 0x86041C00});
    stamped = folder.Stamp(small);
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;
    fields = ReadStamp(folder.ReadFile("romuvise"));
    EXPECT_EQ(fields.slot, SlotWith(small));
    EXPECT_EQ(fields.subsystemVendor, 0xFFFF);
    EXPECT_EQ(fields.subsystemDevice, 0xFFFF);
    EXPECT_EQ(fields.boardId, 0xFFFF);
    EXPECT_EQ(fields.flags, 0u);
    EXPECT_EQ(fields.name, "flash.rom");
    // The stamped program still runs.
    EXPECT_EQ(folder.Updater("--nothing").exitCode, 5);
}

TEST(Romstamp, StampsAgainOverAPackageHoldingTheControlBlockPattern)
{
    CProgramFolder folder;
    std::vector<uint8_t> first = MakeFirmware({.length = 0x20000});
    const std::vector<uint8_t> pattern = ControlBlockPattern();
    std::copy(pattern.begin(), pattern.end(), first.begin() + 0x8000);
    ASSERT_EQ(folder.Stamp(first, "--board-id 0201").exitCode, 0);
    ASSERT_EQ(ReadStamp(folder.ReadFile("romuvise")).slot, SlotWith(first));

    const std::vector<uint8_t> second = MakeFirmware({.version = 0x86041C00});
    const ProgramResult stamped = folder.Stamp(second, "--board-id 0302");
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;
    const StampedFields fields = ReadStamp(folder.ReadFile("romuvise"));
    EXPECT_EQ(fields.slot, SlotWith(second));
    EXPECT_EQ(fields.boardId, 0x0302);
    EXPECT_EQ(folder.Updater("--nothing").exitCode, 5);
}

TEST(Romstamp, SetsThePackFlagForAMultiImageFile)
{
    CProgramFolder folder;
    const std::vector<uint8_t> pack =
        testkit::CKrromWriter().Full(MakeFirmware(), "A", "Board A").Build();
    const ProgramResult stamped = folder.Stamp(pack, "--flags 0x20");
    ASSERT_EQ(stamped.exitCode, 0) << stamped.err;
    const StampedFields fields = ReadStamp(folder.ReadFile("romuvise"));
    EXPECT_EQ(fields.flags, 0x220u);
    EXPECT_EQ(fields.slot, SlotWith(pack));
}

// The stamped program replaces the old one in one step; nothing is written
// through a link, neither one lying beside the program nor the program's
// own name.
TEST(Romstamp, WritesThroughNoLink)
{
    const std::vector<uint8_t> package = MakeFirmware();
    const std::vector<uint8_t> elsewhere = {1, 2, 3, 4};
    {
        CProgramFolder folder;
        folder.WriteFile("elsewhere", elsewhere);
        std::filesystem::create_symlink(folder.PathOf("elsewhere"),
                                        folder.PathOf("romuvise.stamping"));
        const ProgramResult stamped = folder.Stamp(package);
        ASSERT_EQ(stamped.exitCode, 0) << stamped.err;
        EXPECT_EQ(folder.ReadFile("elsewhere"), elsewhere);
        EXPECT_FALSE(std::filesystem::is_symlink(folder.PathOf("romuvise")));
        EXPECT_EQ(ReadStamp(folder.ReadFile("romuvise")).slot, SlotWith(package));
    }
    {
        CProgramFolder folder;
        std::filesystem::copy_file(ROMUVISE_PATH, folder.PathOf("program"));
        std::filesystem::create_symlink(folder.PathOf("program"), folder.PathOf("romuvise"));
        const std::vector<uint8_t> before = folder.ReadFile("program");
        const ProgramResult stamped = folder.Stamp(package);
        EXPECT_NE(stamped.exitCode, 0);
        EXPECT_EQ(stamped.err.substr(0, stamped.err.find('\n')), "romstamp: cannot replace romuvise");
        EXPECT_TRUE(std::filesystem::is_symlink(folder.PathOf("romuvise")));
        EXPECT_TRUE(folder.ReadFile("program") == before);
    }
}

TEST(Romstamp, RefusesAndLeavesTheProgramUnchanged)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> package;
        // Turns the copy of romuvise into the program to stamp.
        std::function<std::vector<uint8_t>(std::vector<uint8_t>)> program;
        const char* message;
    };
    auto same = [](std::vector<uint8_t> program) { return program; };
    std::vector<uint8_t> cut = MakeFirmware();
    cut.resize(0x8000);
    const std::vector<Case> cases = {
        {"no control block", MakeFirmware(),
         [](std::vector<uint8_t>) { return std::vector<uint8_t>(0x400000, 0x5A); },
         "romstamp: the program holds no control block (not a romuvise program)"},
        {"two control blocks", MakeFirmware(),
         [](std::vector<uint8_t> program)
         {
             const size_t at = FindControlBlock(program);
             program.insert(program.end(), program.begin() + static_cast<long>(at),
                            program.begin() + static_cast<long>(at + 24));
             return program;
         },
         "romstamp: the program holds more than one control block"},
        {"package too large", std::vector<uint8_t>(0x2FFFFD, 0), same,
         "romstamp: package size 3145725 is outside 1 to 3145724 bytes"},
        {"not firmware", std::vector<uint8_t>(0x1000, 0x33), same,
         "romstamp: the package is neither a firmware image nor a multi-image file"},
        // The updater would accept these for the adapter and then fail to
        // write them.
        {"firmware cut short", cut, same,
         "romstamp: the firmware image cannot be written: its blocks do not fit in the 32768 "
         "bytes it holds (the file is cut short)"},
        {"multi-image file with an image cut short",
         testkit::CKrromWriter().Full(MakeFirmware(), "A").Full(cut, "B").Build(), same,
         "romstamp: image 2 of the multi-image file cannot be written: its blocks do not fit in "
         "the 32768 bytes it holds (the file is cut short)"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        std::filesystem::copy_file(ROMUVISE_PATH, folder.PathOf("romuvise"));
        folder.WriteFile("romuvise", c.program(folder.ReadFile("romuvise")));
        const std::vector<uint8_t> before = folder.ReadFile("romuvise");
        const ProgramResult stamped = folder.Stamp(c.package);
        EXPECT_NE(stamped.exitCode, 0);
        EXPECT_EQ(stamped.err.substr(0, stamped.err.find('\n')), c.message);
        EXPECT_TRUE(folder.ReadFile("romuvise") == before);
    }
}
