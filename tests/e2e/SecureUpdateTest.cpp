// romuvise on adapters whose EEPROM only the Kestrix microcontroller reaches:
// a signed image is written and reads back equal on a Cendra1 (kind 9),
// whose images are checked in software against the root the machine file
// names, and on a Dolvik1 (kind 12), whose microcode verifies them; an image
// either check refuses leaves the chip as it was. romvise on the same
// adapters: no command opens the microcontroller's console unless asked, the
// pattern tests are refused before they erase, and a UEFI update the gate
// refuses leaves no update record.

#include "ProgramRun.h"

#include "testkit/crypto/SignedImageBuilder.h"
#include "testkit/image/UefiBuilder.h"
#include "testkit/machine/MachineDescription.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <future>

namespace
{
constexpr uint32_t kOldVersion = 0x86041B00;
constexpr uint32_t kNewVersion = 0x86041C00;

// A signed image that romuvise finds fit for the adapter: its device, the
// board and a newer version.
std::vector<uint8_t> SignedPackage(uint16_t deviceId, size_t masterSigner = testkit::kRootKey)
{
    testkit::SignedImageSpec spec;
    spec.masterSigner = masterSigner;
    spec.describeBody = [deviceId](testkit::CGpuImageBuilder& builder)
    {
        testkit::InfoToken info;
        info.boardId = 0x0201;
        info.version = kNewVersion;
        builder.DeviceId(deviceId).HardwareDataArea(0x7E2B, 0x0001).Info(info).Version(
            kNewVersion, 2);
    };
    return testkit::BuildSignedImage(spec).bytes;
}
// One adapter of the kind holding chip0.bin of the folder; the machine
// trusts the test root when it names it.
nlohmann::json SecureMachine(CProgramFolder& folder, uint16_t deviceId, uint32_t kind,
                             bool namesTestRoot)
{
    nlohmann::json machine =
        testkit::MachineWithGpus({{deviceId, kind, "chip0.bin", "EF/3013", true}});
    if (namesTestRoot)
    {
        folder.WriteFile("root.salted", testkit::TestRootContainer());
        folder.WriteFile("root.pass", testkit::TestRootPassPhrase());
        machine["certificate_root"] = {{"container", "root.salted"}, {"pass_phrase", "root.pass"}};
    }
    return machine;
}
} // namespace

TEST(SecureUpdate, SignedImagesAreWrittenThroughTheMicrocontroller)
{
    struct Case
    {
        const char* name;
        uint16_t deviceId;
        uint32_t kind;
        bool namesTestRoot;
        // The microcode's answer to the image verification.
        uint32_t verification;
        int exitCode;
        // A text of the run's output (standard output, then error output).
        std::string shown;
        // The board's block of the firmware on the chip, which the update
        // appends to the new image after the certificate gate.
        std::vector<uint8_t> boardBlock = {};
    };
    const std::vector<Case> cases = {
        {"Cendra1, checked in software", 0x0900, 9, true, 0, 0, "Update successful."},
        {"Dolvik1, verified by the microcode", 0x0C00, 12, true, 0, 0, "Update successful."},
        {"Cendra1 whose firmware carries the board's block", 0x0900, 9, true, 0, 0,
         "Update successful.", std::vector<uint8_t>(0x40, 0x5A)},
        {"Dolvik1 whose firmware carries the board's block", 0x0C00, 12, true, 0, 0,
         "Update successful.", std::vector<uint8_t>(0x40, 0x5A)},
        // The built-in root does not trust the test chain.
        {"Cendra1 trusting the built-in root", 0x0900, 9, false, 0, 3,
         "I/O ERROR:  Error: Failed certification sanity check."},
        // CMD_VBIOS_VERIFY_CERT_VERIFY_FAIL.
        {"Dolvik1 whose microcode refuses", 0x0C00, 12, true, 15, 5,
         "\nUpdate Aborted - Invalid firmware image detected.\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        const std::vector<uint8_t> old = MakeFirmware(
            {.deviceId = c.deviceId, .version = kOldVersion, .boardBlock = c.boardBlock});
        folder.WriteFile("chip0.bin", old);
        nlohmann::json machine = SecureMachine(folder, c.deviceId, c.kind, c.namesTestRoot);
        if (c.verification != 0)
        {
            machine["devices"][0]["error_codes"] = {
                {std::to_string(14), c.verification}}; // the verification command
        }
        folder.UseMachine(machine);
        const std::vector<uint8_t> package = SignedPackage(c.deviceId);
        ASSERT_EQ(folder.Stamp(package).exitCode, 0);

        const ProgramResult run = folder.Updater("", "y");

        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(c.shown), std::string::npos) << run.out << run.err;
        if (c.exitCode != 0)
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(0), old));
        }
        else if (c.boardBlock.empty())
        {
            EXPECT_TRUE(ChipHolds(folder.Chip(0), package));
        }
        else
        {
            // The signed image's x86 block, and the board's block behind
            // the image's chain.
            const std::vector<uint8_t> chip = folder.Chip(0);
            EXPECT_TRUE(std::equal(package.begin(), package.begin() + 0x10000, chip.begin()));
            EXPECT_NE(std::search(chip.begin(), chip.end(), c.boardBlock.begin(),
                                  c.boardBlock.end()),
                      chip.end());
        }
    }
}

namespace
{
// The console's prompt, and what the console would do with standard input:
// identify the part and program the file at offset 0 of the chip.
const char* const kConsolePrompt = "vez? ";
const char* const kConsoleCommands = "cmd 2\ncmd 3\ncmd 5 0 evil.bin\nexit\n";

enum class ChipAfterCommand
{
    Unchanged,
    Erased,
};

struct ConsoleRow
{
    const char* arguments;
    ChipAfterCommand chip = ChipAfterCommand::Unchanged;
    const char* shown = "";
    // Typed before the console's commands.
    const char* keys = "";
};

// A UEFI option ROM file: one EFI block holding a driver.
std::vector<uint8_t> UefiFile()
{
    const std::vector<uint8_t> driver =
        testkit::CUefiDriverBuilder()
            .BuildInfo(testkit::UefiBuildRecord({{"VER", "2.0"}, {"VAR", "0204"}}))
            .Certificate(2, testkit::SignedDataFor("Korvan Test Signer"))
            .Build();
    return testkit::CGpuImageBuilder()
        .Block(testkit::CGpuImageBuilder::kEfi, 0x200)
        .Payload(testkit::EfiPayload(driver))
        .Build();
}

// A folder with a machine of one secure adapter whose chip holds `firmware`,
// and the files the commands name.
void PrepareSecureMachine(CProgramFolder& folder, uint16_t deviceId, uint32_t kind,
                          const std::vector<uint8_t>& firmware)
{
    folder.WriteFile("chip0.bin", firmware);
    folder.UseMachine(SecureMachine(folder, deviceId, kind, false));
}
} // namespace

// Without --wiuconsole no command reaches the microcontroller's console, so
// its raw writes stay out of reach: the console's commands on standard input
// are never read as such, and the chip changes only as the command does.
TEST(SecureUpdate, NoCommandOpensTheConsoleWithoutWiuconsole)
{
    const char* const kPatternRefused = "cannot run on this display adapter: its EEPROM takes "
                                        "only firmware that passed the certificate check.";
    const std::vector<ConsoleRow> rows = {
        {"--version"}, {"--listpatches"}, {"--buildinfo"}, {"--lspci"}, {"--list"},
        {"--listgmac"}, {"--save s.rom"}, {"--save s.rom --entire"}, {"--save s.vnx"},
        {"--compare fw.rom"}, {"--ifronly fw.rom"}, {"--verify fw.rom"}, {"--pciblocks"},
        {"--check"}, {"--display"}, {"--speed"}, {"--install"}, {"--updateuefi d.efirom"},
        {"fw.rom"}, {"--erasefull", ChipAfterCommand::Erased},
        // Firmware without a Varnex store to keep is deleted by erasing the chip.
        {"--delete", ChipAfterCommand::Erased}, {"--protecton"},
        {"--protectoff"}, {"--straps=1,2,3,4"}, {"--guid=0123456789ABCDEF"},
        {"--guidsource=main"}, {"--tv fw.rom"},
        {"--test=1,0", ChipAfterCommand::Unchanged, kPatternRefused, "YES\n"},
        {"--readtest=1,0", ChipAfterCommand::Unchanged, kPatternRefused, "YES\n"},
        {"--stress", ChipAfterCommand::Unchanged, "The stress test cannot run on this display adapter"},
        {"--presregtune=0x1000=1"}, {"--presdatatune=1"}, {"--ecid"}, {"--attachkestrix"},
        {"--loadkestrix"}, {"--querygmac"}, {"--savegmac=g.rom"}, {"--proggmac=fw.rom"},
        {"--setpci=0.W"}, {"--rdoem=o.bin"}, {"--wroem=fw.rom"}, {"--rdobd"}, {"--wrobd=o.csv"},
        {"--erasevarnex"}, {"--clpbl"}, {"--clearvarnex=BBX"}, {"--clbbx"}, {"--clecc"},
        {"--repairvarnex"}, {"--wrbbo id=1.1 value=2"}, {"--rdbbo"}, {"--recovervarnex"},
        {"--wrkrpn=123"}, {"--addpp=1,2,3"}, {"--delpp=1,2"}, {"--listpp"}, {"--backupvarnex"},
        {"--flashfs=v.fs"}, {"--savefs=v.fs"}, {"--rdobj=BBX,o.bin"}, {"--createfs=v.vnx"},
        {"--flashvarnex=v.vnx"}, {"--help"},
    };
    struct Outcome
    {
        std::string name;
        ProgramResult run;
        std::vector<uint8_t> before; // the firmware the chip started with
        std::vector<uint8_t> after;
        ChipAfterCommand expected;
        std::string shown;
    };
    auto runRow = [](uint16_t deviceId, uint32_t kind, const ConsoleRow& row)
    {
        Outcome outcome{std::string(row.arguments) + " on kind " + std::to_string(kind),
                        {}, {}, {}, row.chip, row.shown};
        CProgramFolder folder;
        const std::vector<uint8_t> firmware =
            MakeFirmware({.deviceId = deviceId, .version = kOldVersion});
        PrepareSecureMachine(folder, deviceId, kind, firmware);
        folder.WriteFile("fw.rom", MakeFirmware({.deviceId = deviceId, .version = kNewVersion}));
        folder.WriteFile("d.efirom", UefiFile());
        folder.WriteFile("evil.bin", std::vector<uint8_t>(0x100, 0x42));
        outcome.before = firmware;
        outcome.run = folder.Romvise(std::string("--auto --noconfirm ") + row.arguments,
                                     std::string(row.keys) + kConsoleCommands);
        outcome.after = folder.Chip(0);
        return outcome;
    };
    struct Task
    {
        uint16_t deviceId;
        uint32_t kind;
        const ConsoleRow* row;
    };
    std::vector<Task> tasks;
    for (const auto& [deviceId, kind] : {std::pair<uint16_t, uint32_t>{0x0900, 9}, {0x0C00, 12}})
    {
        for (const ConsoleRow& row : rows)
        {
            tasks.push_back({deviceId, kind, &row});
        }
    }
    // The runs are independent processes in folders of their own: a few at
    // a time keep the test short.
    constexpr size_t kAtOnce = 4;
    for (size_t first = 0; first < tasks.size(); first += kAtOnce)
    {
        std::vector<std::future<Outcome>> batch;
        for (size_t i = first; i < std::min(tasks.size(), first + kAtOnce); ++i)
        {
            batch.push_back(std::async(std::launch::async, runRow, tasks[i].deviceId,
                                       tasks[i].kind, *tasks[i].row));
        }
        for (std::future<Outcome>& result : batch)
        {
            const Outcome o = result.get();
            SCOPED_TRACE(o.name);
            const std::string text = o.run.out + o.run.err;
            EXPECT_EQ(text.find(kConsolePrompt), std::string::npos) << text;
            EXPECT_EQ(text.find("Enter console mode"), std::string::npos) << text;
            EXPECT_NE(text.find(o.shown), std::string::npos) << text;
            if (o.expected == ChipAfterCommand::Erased)
            {
                EXPECT_TRUE(std::all_of(o.after.begin(), o.after.end(),
                                        [](uint8_t byte) { return byte == 0xFF; }));
            }
            else
            {
                EXPECT_TRUE(ChipHolds(o.after, o.before)) << text;
            }
        }
    }
}

// Asked for, the console opens once the microcode is ready, and its raw
// program command writes the chip with no check at all: the engineer's own
// access.
TEST(SecureUpdate, WiuconsoleOpensTheConsoleWhoseWritesAreRaw)
{
    CProgramFolder folder;
    PrepareSecureMachine(folder, 0x0C00, 12, MakeFirmware({.deviceId = 0x0C00}));
    const std::vector<uint8_t> evil(0x100, 0x42);
    folder.WriteFile("evil.bin", evil);

    const ProgramResult run = folder.Romvise("--wiuconsole --save s.rom", kConsoleCommands);

    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find(kConsolePrompt), std::string::npos) << run.out;
    const std::vector<uint8_t> chip = folder.Chip(0);
    EXPECT_TRUE(std::equal(evil.begin(), evil.end(), chip.begin()));
}

// A UEFI update on a Dolvik1 gates the merged firmware before it begins its
// update record: an image the gate refuses leaves the chip and no record.
TEST(SecureUpdate, UefiUpdateRefusedByTheGateLeavesNoRecord)
{
    CProgramFolder folder;
    const std::vector<uint8_t> firmware =
        testkit::UefiGpuImage(testkit::EfiPosition::Public,
                              testkit::CUefiDriverBuilder()
                                  .BuildInfo(testkit::UefiBuildRecord(
                                      {{"VER", "1.0"}, {"VAR", "0204"}}))
                                  .Certificate(2, testkit::SignedDataFor("Korvan Test Signer"))
                                  .Build())
            .DeviceId(0x0C00)
            .Version(0x80011000, 1)
            .Build();
    PrepareSecureMachine(folder, 0x0C00, 12, firmware);
    folder.WriteFile("d.efirom", UefiFile());

    const ProgramResult run = folder.Romvise("--auto --updateuefi d.efirom");

    const std::string text = run.out + run.err;
    EXPECT_NE(text.find("ERROR: VBIOS uncertified, Update aborted"), std::string::npos) << text;
    EXPECT_NE(text.find("Error: Incompatible ROM and EFI image. Did not flash."), std::string::npos)
        << text;
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf(kRecordName)));
    EXPECT_TRUE(ChipHolds(folder.Chip(0), firmware));
}

// Both programs on every secure adapter kind the updater knows (Cendra1,
// Cendra2, Dolvik, Dolvik1) of a machine that names its own root: an image
// signed under that root is written by romuvise and by romvise alike, and one
// whose master certificate a throwaway key signed is refused by both (by the
// software check on Cendra1, by the microcode's check on the later kinds)
// and leaves the chip as it was.
TEST(SecureUpdate, BothProgramsWriteWhatTheMachinesRootSignedAndNothingElse)
{
    struct Case
    {
        uint16_t deviceId;
        uint32_t kind;
        size_t masterSigner;
        bool written;
    };
    const std::vector<Case> cases = {
        {0x0900, 9, testkit::kRootKey, true},  {0x0900, 9, testkit::kStrangerKey, false},
        {0x0A00, 10, testkit::kRootKey, true}, {0x0A00, 10, testkit::kStrangerKey, false},
        {0x0B00, 11, testkit::kRootKey, true}, {0x0B00, 11, testkit::kStrangerKey, false},
        {0x0C00, 12, testkit::kRootKey, true}, {0x0C00, 12, testkit::kStrangerKey, false},
    };
    for (const Case& c : cases)
    {
        const std::vector<uint8_t> old =
            MakeFirmware({.deviceId = c.deviceId, .version = kOldVersion});
        const std::vector<uint8_t> image = SignedPackage(c.deviceId, c.masterSigner);
        for (const std::string program : {"romuvise", "romvise"})
        {
            SCOPED_TRACE("kind " + std::to_string(c.kind) + ", " + program + ", " +
                         (c.written ? "signed under the machine's root" : "throwaway signer"));
            CProgramFolder folder;
            folder.WriteFile("chip0.bin", old);
            folder.UseMachine(SecureMachine(folder, c.deviceId, c.kind, true));
            ProgramResult run;
            if (program == "romuvise")
            {
                ASSERT_EQ(folder.Stamp(image).exitCode, 0);
                run = folder.Updater("", "y");
            }
            else
            {
                folder.WriteFile("n.rom", image);
                run = folder.Romvise("--auto --index=0 n.rom");
            }
            EXPECT_EQ(run.exitCode == 0, c.written) << run.out << run.err;
            EXPECT_TRUE(ChipHolds(folder.Chip(0), c.written ? image : old));
        }
    }
}
