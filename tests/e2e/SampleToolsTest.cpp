// The sample tools as processes: what they refuse, and boards they make that
// romuvise then updates on the simulated machine (board data kept, a package
// choosing its image by board, the display driver given back, an update
// stopped by a power loss finished once the power is back on), and a UEFI
// driver file romvise puts into an adapter's firmware.

#include "ProgramRun.h"

#include "image/IROMImage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace
{
const std::string kMakeFirmware = MAKEFIRMWARE_PATH;
const std::string kMakeMachine = MAKEMACHINE_PATH;

size_t CountOf(const std::vector<uint8_t>& chip, const std::vector<uint8_t>& part)
{
    size_t count = 0;
    for (auto at = std::search(chip.begin(), chip.end(), part.begin(), part.end()); at != chip.end();
         at = std::search(at + 1, chip.end(), part.begin(), part.end()))
    {
        ++count;
    }
    return count;
}

// Runs a sample tool in the folder and expects it to succeed.
void Make(CProgramFolder& folder, const std::string& tool, const std::string& arguments)
{
    const ProgramResult made = folder.Run(tool + " " + arguments);
    ASSERT_EQ(made.exitCode, 0) << arguments << "\n" << made.err;
}

// Stamps the package into romuvise in the folder, with ROMVISE_MACHINE unset
// while the machine is made by hand.
void StampPackage(CProgramFolder& folder, const std::string& package, const std::string& flags)
{
    std::filesystem::copy_file(ROMUVISE_PATH, folder.PathOf("romuvise"),
                               std::filesystem::copy_options::overwrite_existing);
    Make(folder, ROMSTAMP_PATH, flags + " romuvise " + package);
}

// romuvise on the folder's machine, which makemachine made in "machine".
ProgramResult Update(const CProgramFolder& folder, const std::string& arguments,
                     const std::string& keys)
{
    return folder.Run("ROMVISE_MACHINE=machine/machine.json ./romuvise " + arguments, keys);
}

// An older and a newer firmware, a machine of one GPU carrying the older one
// with the machine options, and romuvise stamped with the newer one, updating
// only to newer versions.
void MakeOlderBoardAndNewerPackage(CProgramFolder& folder, const std::string& machineOptions)
{
    Make(folder, kMakeFirmware, "--version 86041B00 old.rom");
    Make(folder, kMakeFirmware, "--version 86041C00 new.rom");
    Make(folder, kMakeMachine, "--gpu old.rom " + machineOptions + " machine");
    StampPackage(folder, "new.rom", "--flags 0x80");
}

std::string DisplayRecord(const CProgramFolder& folder)
{
    const std::vector<uint8_t> bytes = folder.ReadFile("machine/display.txt");
    return std::string(bytes.begin(), bytes.end());
}
} // namespace

TEST(SampleTools, RefuseWhatTheyCannotMakeWithTheReason)
{
    struct Case
    {
        std::string tool;
        std::string arguments;
        std::string reason;
    };
    const std::string tooLarge = "tool-big.rom";
    const std::vector<Case> cases = {
        {"makefirmware", "--device 0700", "unknown option --device"},
        {"makefirmware", "--device-id 0999", "device ID 0999 is no Korvan GPU the updater knows "
                                             "(see --help for the device IDs)"},
        {"makefirmware", "--version 1 --version 2", "--version is given more than once"},
        {"makefirmware", "--size 300", "--size must be a multiple of 200 (hex) of at least 1000: "
                                       "\"300\""},
        {"makefirmware", "--guid 1234", "invalid --guid (16 hex digits): \"1234\""},
        {"makefirmware", "--board-block B0A", "invalid --board-block (1 to 256 bytes as "
                                              "hexadecimal digit pairs): \"B0A\""},
        {"makefirmware", "--varnex-serial 0123456789ABCDEFG",
         "invalid --varnex-serial (1 to 16 characters): \"0123456789ABCDEFG\""},
        {"makefirmware", "--sign keys --uefi-driver 1.0",
         "--sign cannot cover a UEFI driver: its certificate signs the x86 block only"},
        {"makefirmware", "--pack tool-ok.rom --board-id 0201",
         "--pack takes no other option: make each IMAGE first"},
        {"makefirmware", "--pack tool-big.rom:5-4", "--pack range 5-4 is empty"},
        {"makefirmware", "--efirom 2.0 --version 84041B00", "--efirom takes no other option"},
        {"makefirmware", "--zx22 --version 86041B00", "--zx22 takes no other option"},
        {"makemachine", "--gpus tool-ok.rom", "unknown option --gpus"},
        {"makemachine", "--gpu tool-ok.rom:0800:12",
         "kind 12 is not the kind of device 0800 (Korvan Avrel2 800, kind 8)"},
        {"makemachine", "--gpu tool-ok.rom:0800:3",
         "kind 3 is not the kind of device 0800 (Korvan Avrel2 800, kind 8)"},
        {"makemachine", "--gpu tool-ok.rom:1E00", "device ID 1E00 is no Korvan GPU the updater "
                                                  "knows (see --help for the device IDs)"},
        {"makemachine", "--gpu tool-ok.rom --part EF/9999",
         "unknown part \"EF/9999\" (see --help for the parts)"},
        {"makemachine", "--gpu " + tooLarge,
         tooLarge + " (1048576 bytes) is larger than the part W25X40 (524288 bytes)"},
        {"makemachine", "--gpu tool-ok.rom --bridge pci", "unknown bridge \"pci\" (root, zx22 or plx)"},
        {"makemachine", "--gpu tool-ok.rom --battery 101", "invalid --battery percentage: \"101\""},
        {"makemachine", "--gpu tool-ok.rom --charging", "--charging needs --battery"},
        {"makemachine", "--gpu tool-ok.rom --fault stuck", "unknown fault \"stuck\" (see --help for "
                                                           "the faults)"},
        {"makemachine", "--gpu tool-ok.rom --fault stuck-bits=80000:01:00",
         "stuck-bits offset 80000 lies beyond the part"},
        {"makemachine", "--gpu tool-ok.rom --fault never-ready=1", "fault never-ready takes no value"},
        {"makemachine", "--gpu tool-ok.rom --fault kestrix-dma-never-idle",
         "fault kestrix-dma-never-idle needs a GPU of kind 9-13"},
        {"makemachine", "--power-on --gpu tool-ok.rom",
         "--power-on takes no other option: it keeps the machine as it is"},
        {"makemachine", "--power-on", "cannot read out/machine.json (make the machine first)"},
        {"makemachine", "--gpu tool-ok.rom --root-certificate nokeys",
         "the key folder nokeys holds no root-certificate.bin (makefirmware --sign nokeys writes "
         "it)"},
    };
    CProgramFolder folder;
    Make(folder, kMakeFirmware, "tool-ok.rom");
    folder.WriteFile(tooLarge, std::vector<uint8_t>(0x100000, 0xFF));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.tool + " " + c.arguments);
        const std::string tool = c.tool == "makefirmware" ? kMakeFirmware : kMakeMachine;
        const ProgramResult run = folder.Run(tool + " " + c.arguments + " out");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, c.tool + ": " + c.reason + "\nRun '" + c.tool +
                               " --help' for its options.\n");
        EXPECT_FALSE(std::filesystem::exists(folder.PathOf("out")));
        std::filesystem::remove_all(folder.PathOf("out"));
    }
}

// Each tool's help names every option and the values it takes.
TEST(SampleTools, HelpListsEveryOptionAndItsValues)
{
    struct Case
    {
        std::string tool;
        std::vector<std::string> parts;
    };
    const std::vector<Case> cases = {
        {kMakeFirmware,
         {"--device-id", "--subsystem", "--board-id", "--version", "--size", "--guid",
          "--board-settings", "--board-block", "--varnex-serial", "--init-from-rom",
          "--uefi-driver", "--sign", "--pack IMAGE[:LOW-HIGH] [--pack IMAGE[:LOW-HIGH]]... OUTPUT",
          "--efirom TEXT OUTPUT.efirom", "--zx22", "  0C00  kind 12  Korvan Dolvik1 C00\n"}},
        {kMakeMachine,
         {"--gpu", "--part", "--bridge root|zx22|plx", "--battery", "--charging",
          "--stop-after-programs", "--stop-after-erases", "--power-on", "--fault", "stuck-bits=OFFSET:MASK:VALUE",
          "kestrix-reset-never-ready", "--root-certificate", "  0900  kind 9   Korvan Cendra1 900\n",
          "  EF/3013  W25X40", "display.txt", "FOLDER/bridge<N>.bin"}},
        {ROMSTAMP_PATH,
         {"--flags", "--subsystem", "--board-id", "--name", "0x80    update only to a newer version",
          "0x1000  merge the adapter's Varnex store"}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.tool);
        CProgramFolder folder;
        const ProgramResult help = folder.Run(c.tool + " --help");
        EXPECT_EQ(help.exitCode, 0);
        for (const std::string& part : c.parts)
        {
            EXPECT_NE(help.out.find(part), std::string::npos) << "missing: " << part;
        }
    }
}

// The adapter's board settings, board block and Varnex store (with its serial
// number, in the primary and the backup store) are in the chip after the
// update, the package's own are not, and the chip carries the new version.
TEST(SampleTools, UpdateKeepsTheBoardData)
{
    const std::vector<uint8_t> boardSettings = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
    const std::vector<uint8_t> boardBlock = {0xB0, 0xA4, 0xD0, 0xA7, 0xA0, 0x11, 0x22, 0x33};
    for (const std::string flags : {"--flags 0x80", "--flags 0x1080"})
    {
        SCOPED_TRACE(flags);
        CProgramFolder folder;
        Make(folder, kMakeFirmware,
             "--version 86041B00 --board-settings A1A2A3A4A5A6 --board-block B0A4D0A7A0112233 "
             "--varnex-serial SN-BOARD-0042 old.rom");
        Make(folder, kMakeFirmware,
             "--version 86041C00 --board-settings 000000000000 --varnex-serial SN-PACKAGE "
             "new.rom");
        Make(folder, kMakeMachine, "--gpu old.rom machine");
        StampPackage(folder, "new.rom", flags);

        ProgramResult run = Update(folder, "", "yy");
        ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
        const std::vector<uint8_t> chip = folder.ReadFile("machine/chip0.bin");
        EXPECT_EQ(CountOf(chip, boardSettings), 1u);
        EXPECT_EQ(CountOf(chip, boardBlock), 1u);
        EXPECT_EQ(CountOf(chip, Bytes("SN-BOARD-0042")), 2u);
        EXPECT_EQ(CountOf(chip, Bytes("SN-PACKAGE")), 0u);

        run = Update(folder, "", "y");
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(run.out.find("Board is already updated with firmware version 86.04.1C.00.02."),
                  std::string::npos)
            << run.out;
    }
}

// A package of two images, each for its own strap setting: each adapter gets
// the image its board asks for.
TEST(SampleTools, PackageImageIsChosenByTheBoard)
{
    CProgramFolder folder;
    Make(folder, kMakeFirmware, "--version 86041B00 old.rom");
    Make(folder, kMakeFirmware, "--version 86041C00 --board-block 4444 for4.rom");
    Make(folder, kMakeFirmware, "--version 86041D00 --board-block 5555 for5.rom");
    Make(folder, kMakeFirmware, "--pack for4.rom:4-4 --pack for5.rom:5-5 package.krrom");
    Make(folder, kMakeMachine, "--gpu old.rom:0800:8:400000 --gpu old.rom:0800:8:500000 machine");
    StampPackage(folder, "package.krrom", "--flags 0x80");

    const ProgramResult run = Update(folder, "", "yyy");
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(ChipHolds(folder.ReadFile("machine/chip0.bin"), folder.ReadFile("for4.rom")));
    EXPECT_TRUE(ChipHolds(folder.ReadFile("machine/chip1.bin"), folder.ReadFile("for5.rom")));
}

// Every run that unbinds the display driver binds it again, whichever way it
// ends; a run stopped by a power loss is the one that cannot.
TEST(SampleTools, EveryRunGivesTheDisplayBack)
{
    struct Case
    {
        const char* name;
        const char* machineOptions;
        const char* stampOptions;
        const char* arguments;
        const char* keys;
        int exitCode;
        std::string record;
    };
    // The run binds again after its last write and once more as it ends.
    const std::string given = "unbind 0000:01:00.0\nbind 0000:01:00.0\nbind 0000:01:00.0\n"
                              "end 0000:01:00.0 bound\n";
    const std::vector<Case> cases = {
        {"update", "", "", "", "yy", 0, given},
        {"restore from a missing folder", "", "", "-r missing", "y", 3, given},
        {"chip that never gets ready", "--fault never-ready", "", "", "yy", 2, given},
        {"already updated", "", "--flags 0x80", "", "", 1, given},
        {"aborted at the prompt", "", "", "", "a", 5, given},
        // The pre-merge finds no Varnex store and ends the run with its
        // status, by a return rather than an exception.
        {"Varnex pre-merge without a store", "", "--flags 0x1000", "", "y", 16, given},
        {"power lost while writing", "--stop-after-programs 1", "", "", "yy", 86,
         "unbind 0000:01:00.0\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        CProgramFolder folder;
        Make(folder, kMakeFirmware, "--version 86041B00 old.rom");
        Make(folder, kMakeFirmware, "--version 86041C00 new.rom");
        Make(folder, kMakeMachine, std::string("--gpu old.rom ") + c.machineOptions + " machine");
        StampPackage(folder, c.stampOptions[0] != 0 ? "old.rom" : "new.rom", c.stampOptions);
        const ProgramResult run = Update(folder, c.arguments, c.keys);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_EQ(DisplayRecord(folder), c.record);
    }
}

// Adapters whose EEPROM only their Kestrix microcontroller reaches, updated
// with an image signed under the root the machine trusts: the keys
// makefirmware made, named with --root-certificate, or the machine's own root,
// which makemachine makes when none is named. An image signed under other
// keys is refused and leaves the chip as it was.
TEST(SampleTools, KestrixAdaptersAreUpdated)
{
    struct Case
    {
        const char* name;
        std::string makeMachine; // options besides --gpu
        std::string signWith;
        bool written;
    };
    const std::vector<Case> cases = {
        {"named root", "--root-certificate keys", "keys", true},
        {"the machine's own root", "", "machine/keys", true},
        {"keys the machine does not trust", "", "keys", false},
    };
    for (const std::string device : {"0900", "0C00"})
    {
        for (const Case& c : cases)
        {
            SCOPED_TRACE(device + ", " + c.name);
            CProgramFolder folder;
            Make(folder, kMakeFirmware, "--device-id " + device + " --version 86041B00 old.rom");
            if (c.signWith == "keys")
            {
                Make(folder, kMakeFirmware, "--sign keys other.rom");
            }
            Make(folder, kMakeMachine, "--gpu old.rom:" + device + " " + c.makeMachine + " machine");
            Make(folder, kMakeFirmware,
                 "--device-id " + device + " --version 86041C00 --sign " + c.signWith + " new.rom");
            StampPackage(folder, "new.rom", "--flags 0x80");

            const ProgramResult run = Update(folder, "", "yy");
            EXPECT_EQ(run.exitCode == 0, c.written) << run.out << run.err;
            EXPECT_TRUE(ChipHolds(folder.ReadFile("machine/chip0.bin"),
                                  folder.ReadFile(c.written ? "new.rom" : "old.rom")));
        }
    }
}

// An adapter behind a PLX switch port, or behind a ZX22 bridge, is found and
// updated like one behind a root port. The ZX22, with its own EEPROM holding
// the bridge firmware makefirmware makes, is identified and passed over by a
// package that does not fit it, its EEPROM untouched.
TEST(SampleTools, AdapterBehindABridgeIsUpdatedAndTheBridgeIsNot)
{
    for (const std::string bridge : {"plx", "zx22"})
    {
        SCOPED_TRACE(bridge);
        CProgramFolder folder;
        Make(folder, kMakeFirmware, "--zx22 bridge.rom");
        MakeOlderBoardAndNewerPackage(folder, "--bridge " + bridge);

        const ProgramResult run = Update(folder, "", "yy");
        EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
        EXPECT_TRUE(ChipHolds(folder.ReadFile("machine/chip0.bin"), folder.ReadFile("new.rom")));
        if (bridge == "zx22")
        {
            EXPECT_TRUE(Contains(run.out, "Adapter: Korvan ZX22 Bridge")) << run.out;
            EXPECT_TRUE(
                ChipHolds(folder.ReadFile("machine/bridge0.bin"), folder.ReadFile("bridge.rom")));
            // The bridge's own firmware is read and named.
            const ProgramResult versions = folder.Run(
                std::string("ROMVISE_MACHINE=machine/machine.json ") + ROMVISE_PATH + " --version",
                "y");
            EXPECT_TRUE(Contains(versions.out, "<0> Korvan ZX22 Bridge (7E2B,1E00,FFFF,FFFF) --:NRM  "
                                               "01.02.03.00.01 REV:00010002\n"))
                << versions.out;
        }
    }
}

// The README's power-loss walk: a machine whose power goes out in the middle
// of an update, the power turned back on with makemachine --power-on, and the
// update run again finishes it from the record the stopped run left.
TEST(SampleTools, PowerOnLetsTheUpdateFinish)
{
    CProgramFolder folder;
    MakeOlderBoardAndNewerPackage(folder, "--stop-after-programs 5");

    ProgramResult run = Update(folder, "", "y");
    ASSERT_EQ(run.exitCode, kStoppedExitCode) << run.out << run.err;
    const std::string record = std::string("machine/") + kRecordName;
    ASSERT_TRUE(std::filesystem::exists(folder.PathOf(record)));
    const std::vector<uint8_t> halfWritten = folder.ReadFile("machine/chip0.bin");

    Make(folder, kMakeMachine, "--power-on machine");
    EXPECT_TRUE(folder.ReadFile("machine/chip0.bin") == halfWritten);
    EXPECT_TRUE(std::filesystem::exists(folder.PathOf(record)));

    run = Update(folder, "", "y");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "NOTE: The last update of this display adapter did not finish; "
                                  "it will be updated again from the firmware it held before."))
        << run.out;
    EXPECT_TRUE(ChipHolds(folder.ReadFile("machine/chip0.bin"), folder.ReadFile("new.rom")));
    EXPECT_FALSE(std::filesystem::exists(folder.PathOf(record)));
}

// The README's UEFI walk: firmware of a core whose driver can be replaced, a
// driver file, and romvise --updateuefi putting the new driver into the
// adapter's firmware while keeping its version.
TEST(SampleTools, UefiDriverFileReplacesTheDriver)
{
    CProgramFolder folder;
    Make(folder, kMakeFirmware, "--version 84041B00 --uefi-driver 1.0 uefi.rom");
    Make(folder, kMakeFirmware, "--efirom 2.0 driver.efirom");
    Make(folder, kMakeMachine, "--gpu uefi.rom machine");

    const ProgramResult run =
        folder.Run("ROMVISE_MACHINE=machine/machine.json " ROMVISE_PATH
                   " --log=uefi.log --updateuefi driver.efirom",
                   "y");
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    const std::vector<uint8_t> logBytes = folder.ReadFile("uefi.log");
    const std::string log(logBytes.begin(), logBytes.end());
    EXPECT_TRUE(Contains(log, "UEFI Version: 1.0 (10.12.2026 @ 00001 )\n"
                              "Replace with - UEFI Version: 2.0 (10.12.2026 @ 00001 )"))
        << log;
    EXPECT_TRUE(Contains(run.out, "Firmware update process is completed.")) << run.out;
    const std::vector<uint8_t> chip = folder.ReadFile("machine/chip0.bin");
    CRefPtr<IROMImage> image =
        IROMImage::CreateFromBuffer(chip.data(), static_cast<uint32_t>(chip.size()));
    EXPECT_EQ(image->GetUEFIVersion(), "2.0 (10.12.2026 @ 00001 )");
    EXPECT_EQ(image->GetVersionNumber(), 0x84041B00u);
}
