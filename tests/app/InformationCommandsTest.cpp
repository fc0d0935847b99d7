// The reading commands run whole on a simulated machine: the configuration
// register access of setpci, versions of a file, the adapter list, the
// EEPROM dump and the PCI listing.

#include "EngineeringRig.h"

#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

namespace
{
const RigGpu kGpu{1, 0, 0x0800, RigFirmware()};
constexpr uint32_t kScratchRegister = 0x40;
} // namespace

TEST(SetPci, WritesTheMaskedBitsAndShowsEachStep)
{
    struct Case
    {
        const char* argument;
        unsigned width;
        uint32_t before;
        uint32_t after;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"--setpci=40.B=5A:0F", 1, 0xA3, 0xAA,
         "Configure PCI device in the system:\nWrite BYTE:  offset 0040 value 5A mask 0F\n"
         "  [0x0040] -> 0xA3\n  [0x0040] <- 0xAA\n"},
        {"--setpci=40.W=5A5A:0F0F", 2, 0xA3A3, 0xAAAA,
         "Write WORD:  offset 0040 value 5A5A mask 0F0F\n  [0x0040] -> 0xA3A3\n  [0x0040] <- "
         "0xAAAA\n"},
        {"--setpci=40.D=5A5A5A5A:0F0F0F0F", 4, 0xA3A3A3A3, 0xAAAAAAAA,
         "Write DWORD:  offset 0040 value 5A5A5A5A mask 0F0F0F0F\n"
         "  [0x0040] -> 0xA3A3A3A3\n  [0x0040] <- 0xAAAAAAAA\n"},
        {"--setpci=40.b=5A", 1, 0xA3, 0x5A, "Write BYTE:  offset 0040 value 5A mask FF\n"},
        {"--setpci=40.B", 1, 0xA3, 0xA3, "Read BYTE:  offset 0040\n  [0x0040] -> 0xA3\n"},
        {"--setpci=40.W", 2, 0xA3A3, 0xA3A3, "Read WORD:  offset 0040\n  [0x0040] -> 0xA3A3\n"},
        {"--setpci=40.D", 4, 0xA3A3A3A3, 0xA3A3A3A3,
         "Read DWORD:  offset 0040\n  [0x0040] -> 0xA3A3A3A3\n"},
        // The width is the first letter after the '.'.
        {"--setpci=40.Byte", 1, 0xA3, 0xA3, "Read BYTE:  offset 0040\n  [0x0040] -> 0xA3\n"},
        {"--setpci=40.Word=5A5A", 2, 0xA3A3, 0x5A5A,
         "Write WORD:  offset 0040 value 5A5A mask FFFF\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.argument);
        CEngineeringRig rig({kGpu});
        CSimPciFunction& function = *rig.Machine().FindFunction(1, 0, 0);
        function.Store(kScratchRegister, 4, 0);
        function.Store(kScratchRegister, c.width, c.before);
        function.SetWritableMask(kScratchRegister, 4, 0xFFFFFFFF);
        EXPECT_EQ(rig.Run({"--pcisegbus", "0:1:0.0", c.argument}), 0) << rig.err;
        EXPECT_EQ(function.Stored(kScratchRegister, c.width), c.after);
        EXPECT_TRUE(Contains(rig.out, c.shown)) << rig.out;
    }
}

TEST(SetPci, MalformedRegisterSpecsAreRefusedBeforeAnyFunctionIsTouched)
{
    for (const char* argument : {"--setpci=41.W", "--setpci=40.B=1FF", "--setpci=40.W=1:1FFFF",
                                 "--setpci=40", "--setpci=zz.B"})
    {
        SCOPED_TRACE(argument);
        CEngineeringRig rig({kGpu});
        CSimPciFunction& function = *rig.Machine().FindFunction(1, 0, 0);
        function.Store(kScratchRegister, 4, 0xA3A3A3A3);
        function.SetWritableMask(kScratchRegister, 4, 0xFFFFFFFF);
        EXPECT_EQ(rig.Run({"--pcisegbus", "0:1:0.0", argument}), 2);
        EXPECT_EQ(rig.err,
                  "\nERROR: Invalid input, the argument must comply with the <REG>.<WIDTH> \n"
                  "\tor <REG>.<WIDTH>=<VALUE:<MASK> format.\n");
        EXPECT_EQ(function.Stored(kScratchRegister, 4), 0xA3A3A3A3u);
        EXPECT_EQ(rig.Machine().Counters().configWrites, 0u);
    }
}

TEST(InformationCommands, VersionOfASingleImageFileHasNoImageHeadings)
{
    CEngineeringRig rig({kGpu});
    rig.folder.WriteBytes("one.rom", RigFirmware(0x86041C00));
    // A plain argument may not start with '/', which marks an option.
    const std::string name = std::filesystem::relative(rig.folder.Path() / "one.rom").string();
    EXPECT_EQ(rig.Run({"--version", name}), 0) << rig.err;
    EXPECT_TRUE(Contains(rig.out, "86.04.1C.00")) << rig.out;
    EXPECT_FALSE(Contains(rig.out, "Image 0:"));
    EXPECT_FALSE(Contains(rig.out, "** Firmware Versions **"));
    EXPECT_EQ(rig.HardwareAccesses(), 0u);
}

TEST(InformationCommands, ListWithoutAdaptersEndsNormally)
{
    CEngineeringRig rig({});
    EXPECT_EQ(rig.Run({"--list"}), 0);
    EXPECT_TRUE(Contains(rig.out, "Korvan display adapters present in system:\n"
                                  "No Korvan display adapters found.\n"))
        << rig.out;
}

TEST(InformationCommands, DisplayDumpsTheCountOfBytes)
{
    CEngineeringRig rig({kGpu});
    EXPECT_EQ(rig.Run({"--auto", "--display"}), 0) << rig.err;
    const std::string all = rig.out;
    EXPECT_EQ(rig.Run({"--auto", "--display=16"}), 0) << rig.err;
    const std::string sixteen = rig.out;
    EXPECT_LT(sixteen.size(), all.size());
    EXPECT_EQ(rig.Run({"--auto", "--display=1x"}), 2);
    EXPECT_TRUE(Contains(rig.err, "\nERROR: Invalid value \"1x\" for --display.\n")) << rig.err;
}

TEST(InformationCommands, LspciListsEveryFunctionAndDumpsWithDisplay)
{
    CEngineeringRig rig({kGpu, {2, 0, 0x0800, RigFirmware()}});
    EXPECT_EQ(rig.Run({"--lspci"}), 0);
    EXPECT_TRUE(Contains(rig.out, "<03> ")) << rig.out;
    EXPECT_FALSE(Contains(rig.out, "<04> "));
    const std::string plain = rig.out;
    EXPECT_EQ(rig.Run({"--lspci", "--pcisegbus", "0:2"}), 0);
    EXPECT_TRUE(Contains(rig.out, "<00> ")) << rig.out;
    EXPECT_FALSE(Contains(rig.out, "<01> "));
    EXPECT_EQ(rig.Run({"--lspci", "--display"}), 0);
    EXPECT_GT(rig.out.size(), plain.size() + 4 * 256);
    EXPECT_EQ(rig.Run({"--lspci", "--display=4097"}), 2);
    EXPECT_TRUE(Contains(rig.err, "Invalid value \"4097\" for --display.")) << rig.err;
}

TEST(InformationCommands, VersionOfAPackShowsItsImagesAndVFieldTables)
{
    CEngineeringRig rig({kGpu});
    // Register: type 1, read width 2, index width 1; data 0x1234, index 0x5678,
    // index value 9. Field 7: bits 4 to 11 of register 0.
    const std::array<uint8_t, 13> reg = {0x32, 0x34, 0x12, 0, 0, 0x78, 0x56, 0, 0, 0x09, 0, 0, 0};
    const uint16_t bits = 4 | 11 << 5 | 0 << 10;
    const std::vector<uint8_t> pack =
        testkit::CKrromWriter()
            .SelectionType(1)
            .VFieldRegister(reg)
            .VFieldField({7, static_cast<uint8_t>(bits & 0xFF), static_cast<uint8_t>(bits >> 8)})
            .Full(RigFirmware(0x86041B00), "A")
            .Selection(7, 0, 3)
            .Full(RigFirmware(0x86041C00), "B")
            .Selection(7, 4, 7)
            .Build();
    rig.folder.WriteBytes("p.krr", pack);
    const std::string name = std::filesystem::relative(rig.folder.Path() / "p.krr").string();
    EXPECT_EQ(rig.Run({"--version", name}), 0) << rig.err;
    EXPECT_TRUE(
        Contains(rig.out, "** Firmware Versions **\n\nImage 0:\nImage Name            : A\n"))
        << rig.out;
    EXPECT_TRUE(Contains(rig.out, "Image 1:\nImage Name            : B\n")) << rig.out;
    EXPECT_TRUE(Contains(rig.out, "86.04.1C.00"));
    EXPECT_TRUE(Contains(rig.out, "VField Register Table:\n"
                                  "Entry[0x00]: 0x00001234:0x00005678:0x00000009:0x1:0x2:0x1\n"
                                  "VField Table:\n"
                                  "Entry[0x00]: 0x07:0x04:0x0:0x0B\n"))
        << rig.out;
    EXPECT_EQ(rig.HardwareAccesses(), 0u);
}
