// The engineering flash in process on one adapter: the overrides of a
// one-to-one flash by option and answer, the version rules, and the
// init-from-ROM segment commands, judged by what the user sees and by what
// the chip was asked to erase or program; and the head read that skips an
// adapter only when the read itself failed.

#include "EngineeringRig.h"

#include "app/engineering/EngineeringCommands.h"
#include "app/engineering/FlashCommands.h"
#include "core/Exceptions.h"
#include "flasher/FlasherImpl.h"
#include "hw/adapter/IPCIBus.h"
#include "sim/SimGpu.h"
#include "testkit/image/GpuImageBuilder.h"
#include "testkit/image/KrromWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

namespace
{
const RigGpu kFlashGpu{1, 0, 0x0800, RigFirmware()};
constexpr uint32_t kSameVersion = 0x86041B00;
constexpr uint32_t kOlderVersion = 0x86041A00;
constexpr uint32_t kNewerVersion = 0x86041C00;

uint64_t FlashChipWrites(CEngineeringRig& rig)
{
    const SimCounters& counters = rig.Machine().Counters();
    return counters.Get("spi.erases") + counters.Get("spi.programs");
}

// A file name as the first plain argument: relative, since a word that
// starts with '/' reads as an option.
std::string PlainArgument(const std::string& path)
{
    return std::filesystem::relative(path).string();
}

// Firmware of the rig's adapter with an init-from-ROM segment in front.
std::vector<uint8_t> FirmwareWithSegment(uint32_t version)
{
    testkit::CGpuImageBuilder builder;
    builder.InitFromRom(0x400, 0x7E2B, 0x0001)
        .Block(testkit::CGpuImageBuilder::kX86, 0x10000)
        .DeviceId(0x0800)
        .HardwareDataArea(0x7E2B, 0x0001);
    testkit::InfoToken info;
    info.boardId = 0x0201;
    info.version = version;
    builder.Info(info).Version(version, 2);
    return builder.Build();
}
} // namespace

TEST(OneToOneFlash, BoardMismatchIsOverriddenOnlyByOptionAndExactAnswer)
{
    const std::string warning = "*** WARNING: Overriding the Board ID can be very dangerous. ***";
    const std::string aborted = "\nERROR: Update aborted\n";
    struct Case
    {
        std::vector<std::string> words;
        std::vector<std::string> lines; // typed answers, each a whole line
        std::string keys;
        int exitCode;
        std::vector<std::string> shown;
        bool programmed;
    };
    const std::vector<Case> cases = {
        {{}, {}, "", 2, {"\nERROR: Board ID mismatch\n"}, false},
        {{"--overrideboard"},
         {"YES"},
         "y",
         0,
         {warning, "A reboot is required for the update to take effect."},
         true},
        {{"--overrideboard"}, {"yes"}, "y", 2, {warning, aborted}, false},
        {{"--overrideboard"}, {"YES "}, "y", 2, {warning, aborted}, false},
        {{"--overrideboard"}, {}, "", 2, {warning, aborted}, false},
        {{"--overrideboard"}, {"YES"}, "n", 2, {"Results:", aborted}, false},
        {{"--overrideboard", "--auto", "--noconfirm"},
         {},
         "",
         0,
         {"Board ID override confirmation skipped.", "A reboot is required"},
         true},
        {{"--auto", "--noconfirm"}, {}, "", 2, {"\nERROR: Board ID mismatch\n"}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(c.words) + ::testing::PrintToString(c.lines) +
                     " keys " + c.keys);
        CEngineeringRig rig({kFlashGpu});
        rig.console->lines.assign(c.lines.begin(), c.lines.end());
        std::vector<std::string> words = c.words;
        words.push_back(
            PlainArgument(rig.folder.WriteBytes("b.rom", RigFirmware(kNewerVersion, 0x0202))));
        EXPECT_EQ(rig.Run(words, c.keys), c.exitCode) << rig.out << rig.err;
        for (const std::string& text : c.shown)
        {
            EXPECT_TRUE(Contains(rig.out + rig.err, text)) << text << "\n" << rig.out << rig.err;
        }
        EXPECT_EQ(FlashChipWrites(rig) > 0, c.programmed);
    }
}

TEST(OneToOneFlash, VersionRulesRefuseOnlyWhatTheirOptionForbids)
{
    struct Case
    {
        const char* option; // empty: none
        uint32_t version;
        std::string refusal; // empty: programmed
    };
    const std::string upgrade =
        "Only firmware upgrades are allowed with the '--upgradeonly' option.";
    const std::string downgrade =
        "firmware downgrades is not allowed with the '--nodowngrade' option.";
    const std::vector<Case> cases = {
        {"", kOlderVersion, ""},
        {"", kSameVersion, ""},
        {"--upgradeonly", kOlderVersion, upgrade},
        {"--upgradeonly", kSameVersion, upgrade},
        {"--nodowngrade", kOlderVersion, downgrade},
        {"--nodowngrade", kSameVersion, ""},
        {"--vercmp5part", kOlderVersion, ""},
        {"--vercmp5part", kSameVersion, ""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::string(c.option) + " " + std::to_string(c.version));
        CEngineeringRig rig({kFlashGpu});
        std::vector<std::string> words = {"--auto"};
        if (*c.option)
        {
            words.push_back(c.option);
        }
        words.push_back(PlainArgument(rig.folder.WriteBytes("v.rom", RigFirmware(c.version))));
        const int exitCode = rig.Run(words);
        if (c.refusal.empty())
        {
            EXPECT_EQ(exitCode, 0) << rig.err;
            // The same version programs no block, yet is an update.
            EXPECT_TRUE(Contains(rig.out, "Update successful.")) << rig.out;
        }
        else
        {
            EXPECT_EQ(exitCode, 2);
            EXPECT_TRUE(Contains(rig.err, "\nERROR: " + c.refusal + "\n")) << rig.err;
            EXPECT_TRUE(Contains(rig.err, "WARNING: Firmware image version (")) << rig.err;
            EXPECT_EQ(FlashChipWrites(rig), 0u);
        }
    }
}

TEST(SegmentFlash, VerifyWritesNothingAndAFileWithoutSegmentIsRefused)
{
    struct Case
    {
        const char* name;
        std::vector<uint8_t> chip;
        std::vector<uint8_t> file;
        std::vector<std::string> words;
        int exitCode;
        std::string shown;
    };
    const std::vector<Case> cases = {
        {"verify an equal segment",
         FirmwareWithSegment(kSameVersion),
         FirmwareWithSegment(kSameVersion),
         {"--ifronly", "--verify"},
         0,
         "Verify with  - Version:"},
        {"program from a file without segment",
         RigFirmware(),
         RigFirmware(kNewerVersion),
         {"--ifronly"},
         2,
         "\nERROR: File image DOES NOT contains IFR.\n"},
        {"verify with a file without segment",
         RigFirmware(),
         RigFirmware(),
         {"--ifronly", "--verify"},
         2,
         "\nERROR: File image DOES NOT contains IFR.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CEngineeringRig rig({{1, 0, 0x0800, c.chip}});
        // Nothing is programmed, so no straps are loaded either.
        auto* gpu = dynamic_cast<CSimGpu*>(rig.Machine().FindDevice("gpu 01:00.0"));
        ASSERT_NE(gpu, nullptr);
        gpu->SetRegister(0x88040, 0xA5A5A5A5);
        std::vector<std::string> words = c.words;
        words.push_back("--auto");
        words.push_back("--refreshstraps");
        words.push_back(PlainArgument(rig.folder.WriteBytes("i.rom", c.file)));
        EXPECT_EQ(rig.Run(words), c.exitCode) << rig.out << rig.err;
        EXPECT_EQ(gpu->Register(0x88040), 0xA5A5A5A5u);
        EXPECT_TRUE(Contains(rig.out + rig.err, c.shown)) << rig.out << rig.err;
        EXPECT_FALSE(Contains(rig.out, "A reboot is required")) << rig.out;
        EXPECT_FALSE(Contains(rig.out, "Firmware update process is completed.")) << rig.out;
        EXPECT_EQ(FlashChipWrites(rig), 0u);
    }
}

TEST(PackFlash, OneAdapterAndTwoImagesOfferSkipAndAbort)
{
    struct Case
    {
        std::string key;
        int exitCode;
        std::vector<std::string> shown;
        bool programmed;
    };
    const std::string row = "  <00>     *       *     Korvan Avrel2 800";
    const std::vector<Case> cases = {
        {"y",
         0,
         {"               ROM Pack Index: 1", row, "Firmware update process is completed."},
         true},
        {"s", 0, {"No more matches found.", "Nothing changed!"}, false},
        {"a",
         2,
         {"  <00>     *             Korvan Avrel2 800", "\nERROR: Update aborted\n"},
         false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.key);
        CEngineeringRig rig({kFlashGpu});
        // The first image is made for another board: passed over, not explained.
        const std::vector<uint8_t> pack = testkit::CKrromWriter()
                                              .Full(RigFirmware(kNewerVersion, 0x0202), "B")
                                              .Full(RigFirmware(kNewerVersion), "N")
                                              .Build();
        const std::string file = PlainArgument(rig.folder.WriteBytes("p.krr", pack));
        EXPECT_EQ(rig.Run({file}, c.key), c.exitCode) << rig.out << rig.err;
        const std::string all = rig.out + rig.err;
        EXPECT_TRUE(Contains(rig.out, "Press 'y' to confirm ('s' to skip, 'a' to abort):  "));
        for (const std::string& text : c.shown)
        {
            EXPECT_TRUE(Contains(all, text)) << text << "\n" << all;
        }
        EXPECT_FALSE(Contains(all, "WARNING: None of the firmware image compatible Board ID's"));
        EXPECT_EQ(Contains(rig.out, "Update successful."), c.programmed);
    }
}

